// The metrics program behind /metrics: the encoder's status document (/tmp/encode.status) as
// Prometheus text, for a scraper with the login. It only reads: a request to another host than this
// box is refused first, then one without the login, then any request but GET or HEAD before its body
// is read.
//
// A status the program cannot read is still answered with 200 and encoder_up 0: a failed scrape tells
// the operator only that the web server is away, encoder_up 0 that the encoder is. The document is
// read as the status program reads it (web/status/status_files.h: bounded, a regular file only,
// whole); its "webrtc" member, the WebRTC server's own document, is not the encoder's and is not shown.
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"
#include "web/metrics/metrics_text.h"
#include "web/status/status_files.h"

#include <strings.h>
#include <sys/time.h>

#include <cstdio>
#include <string>

namespace {

// The document's text, or "" with `why` set.
std::string readStatus(std::string &why)
{
    const StatusFile *f = StatusFile_find("status");
    std::string text;
    switch (f != nullptr ? StatusFile_read(*f, text) : StatusRead::Unreadable) {
    case StatusRead::Missing: why = "/tmp/encode.status is missing: the encoder has not written it"; break;
    case StatusRead::Unreadable: why = "/tmp/encode.status cannot be read"; break;
    case StatusRead::TooLarge:
        why = "/tmp/encode.status is larger than " + std::to_string(STATUS_DOC_LIMIT) + " bytes";
        break;
    case StatusRead::Ok: break;
    }
    return text;
}

double wallNow()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

} // namespace

int cgiMain()
{
    std::string why;
    std::string status = readStatus(why);
    std::string text = why.empty() ? Metrics_format(status, wallNow()) : Metrics_down(why);
    cgiHeaderContentType(METRICS_CONTENT_TYPE);
    std::fwrite(text.data(), 1, text.size(), cgiOut);
    return 0;
}

int main()
{
    cgiInit();
    if (!cgiHostAllowed() || !cgiLoginRequired()) {
        return 0;
    }
    if (strcasecmp(cgiRequestMethod, "GET") != 0 && strcasecmp(cgiRequestMethod, "HEAD") != 0) {
        std::fprintf(cgiOut, "Status: 405 Method Not Allowed\r\nAllow: GET, HEAD\r\n");
        cgiHeaderContentType("text/plain; charset=utf-8");
        std::fprintf(cgiOut, "the metrics are read with GET\n");
        return 0;
    }
    int result = cgiMain();
    std::fflush(cgiOut);
    cgiFreeResources();
    return result;
}
