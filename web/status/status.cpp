// The status program behind /cgi-bin/status.cgi: it serves what the encoder writes for the operator's
// view, as it stands and never cached (the form layer's headers say so): the status JSON
// (/tmp/encode.status, the default answer), the preview picture (?what=jpeg, /tmp/encode.jpg) and the
// last 200 lines of the console log (?what=log, /tmp/encode.log). It only reads: a request to another
// host than this box is refused first, then any request but GET or HEAD before its body is read, so
// not even the form layer's upload files are made.
//
// The status carries the WebRTC server's own (/tmp/webrtc.status) as its "webrtc" member, so that one
// request gives the page everything; without that file the member says {"state":"off"}.
//
// The files are read as web/status/status_files.h says.
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include "web/status/status_files.h"

#include <strings.h>

#include <cstdio>
#include <string>

namespace {

void answerLine(const char *status, const std::string &line)
{
    std::fprintf(cgiOut, "Status: %s\r\n", status);
    cgiHeaderContentType("text/plain; charset=utf-8");
    std::fprintf(cgiOut, "%s\n", line.c_str());
}

void serve(const StatusFile &f)
{
    std::string data;
    switch (StatusFile_read(f, data)) {
    case StatusRead::Missing:
        answerLine("404 Not Found", std::string(f.path) + " is missing: the encoder has not written it");
        return;
    case StatusRead::Unreadable: answerLine("500 Internal Server Error", std::string(f.path) + " cannot be read"); return;
    case StatusRead::TooLarge:
        answerLine("500 Internal Server Error",
                   std::string(f.path) + " is larger than " + std::to_string(f.limit) + " bytes");
        return;
    case StatusRead::Ok: break;
    }
    cgiHeaderContentType(f.type);
    std::fwrite(data.data(), 1, data.size(), cgiOut);
}

} // namespace

int cgiMain()
{
    char what[16] = "";
    cgiFormResultType r = cgiFormStringNoNewlines("what", what, sizeof what);
    const char *asked = r == cgiFormNotFound ? "status" : what;
    if (const StatusFile *f = StatusFile_find(asked)) {
        serve(*f);
        return 0;
    }
    answerLine("400 Bad Request", "what= takes status, jpeg or log");
    return 0;
}

int main()
{
    cgiInit();
    if (!cgiHostAllowed() || !cgiLoginRequired()) {
        return 0;
    }
    if (strcasecmp(cgiRequestMethod, "GET") != 0 && strcasecmp(cgiRequestMethod, "HEAD") != 0) {
        std::printf("Allow: GET, HEAD\r\n");
        answerLine("405 Method Not Allowed", "the status is read with GET");
        return 0;
    }
    int result = -1;
    if (cgiParseGetFormInput() == cgiParseSuccess) {
        result = cgiMain();
    }
    std::fflush(cgiOut);
    cgiFreeResources();
    return result;
}
