// The WHIP output as the output list sees it: the feeding calls put units into the sender worker's
// queue, the status reads the worker's figures and the link's counters, and the stop ends the
// worker, which ends the session (whip_link.cpp). Also the session's HTTP exchange with the endpoint.
//
// libcurl runs on its multi interface, polled every 20 ms: a blocking transfer could only be cut short
// by its progress callback, about once a second.
//
// Threads: the writer (video) and the audio thread only learn the SPS's profile and put units; the
// worker's thread alone drives the link; report() reads atomics and the error under its own lock.
#include "webrtc/whip_out.h"

#include "encode/media/annexb.h"

#include <curl/curl.h>
#include <gst/gst.h>
#include <nlohmann/json.hpp>
#include <strings.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

namespace {

constexpr int kQueueBytes = 4 << 20; // about 10 s of a 3 Mbit/s stream, and always its largest unit
constexpr int kQueueUnits = 1024;    // about 13 s of 30 frames and 50 Opus packets a second
constexpr int kTickMs = 100;         // the session's state looked at this often
constexpr int kFlushMs = 300;        // at the stop: the DELETE's second comes on top of it

constexpr size_t kAnswerBytes = 65536; // a longer answer is no answer
constexpr size_t kReasonChars = 120;   // of the endpoint's refusal text, in a line

// The elements a session is made of: missing ones make the output refuse at once instead of trying
// once a second for ever.
constexpr const char *kElements[] = {"appsrc", "rtph264pay", "rtpopuspay", "webrtcbin", "nicesrc", "dtlssrtpenc"};

bool libraries(std::string &missing)
{
    static std::once_flag once;
    static bool ready = false;
    static std::string absent;
    std::call_once(once, [] {
        GError *error = nullptr;
        ready = gst_init_check(nullptr, nullptr, &error) == TRUE && curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        g_clear_error(&error);
        for (const char *name : kElements) {
            GstElementFactory *f = ready ? gst_element_factory_find(name) : nullptr;
            if (f == nullptr) {
                absent += absent.empty() ? name : std::string(", ") + name;
            } else {
                gst_object_unref(f);
            }
        }
    });
    missing = ready ? absent : "GStreamer or libcurl";
    return ready && absent.empty();
}

size_t takeBody(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<WhipHttpReply *>(p);
    size_t bytes = size * n;
    if (r->body.size() + bytes > kAnswerBytes) {
        return 0; // the transfer fails: no answer is that long
    }
    r->body.append(data, bytes);
    return bytes;
}

std::string headerValue(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0 ||
        line[name.size()] != ':') {
        return {};
    }
    std::string_view v = line.substr(name.size() + 1);
    size_t begin = v.find_first_not_of(" \t");
    size_t end = v.find_last_not_of(" \t\r\n");
    return begin == std::string_view::npos ? std::string() : std::string(v.substr(begin, end - begin + 1));
}

size_t takeHeader(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<WhipHttpReply *>(p);
    std::string_view line(data, size * n);
    if (line.rfind("HTTP/", 0) == 0) {
        r->location.clear(); // a redirection's headers are not the answer's
        r->contentType.clear();
    }
    if (std::string v = headerValue(line, "Location"); !v.empty()) {
        r->location = v;
    }
    if (std::string v = headerValue(line, "Content-Type"); !v.empty()) {
        r->contentType = v;
    }
    return size * n;
}

} // namespace

static void reportWhip(const WhipOut_Object &w, nlohmann::json &out);

struct WhipOut_Object : Output {
    WhipOut_Object(const WhipSettings &s, WhipKeyFrameAsk ask, void *ctx)
        : target(WhipUrl_public(s.url)), link(s, ask, ctx, lastError)
    {
    }

    std::string target;
    StatusError lastError;
    WhipLink link;
    Sender_Handle sender = nullptr;

    void video(const OutputUnit &u) override
    {
        link.learnSps(u.data, u.bytes);
        Sender_put(sender, SenderKind::Video, u.data, u.bytes, u.time, AnnexB_beginsWithSps(u.data, u.bytes));
    }
    void audio(const OutputUnit &u) override { Sender_put(sender, SenderKind::Audio, u.data, u.bytes, u.time, true); }
    void report(int, nlohmann::json &out) const override { reportWhip(*this, out); }
    void stop() override { WhipOut_destroy(this); }
};

static void reportWhip(const WhipOut_Object &w, nlohmann::json &out)
{
    out["kind"] = "whip";
    out["name"] = "WHIP";
    out["target"] = w.target;
    Sender_report(w.sender, out);
    SenderStats s = Sender_stats(w.sender);
    out["bytes"] = w.link.bytesSent();
    out["dropped"] = s.dropped;
    w.lastError.report(out);
}

WhipOut_Handle WhipOut_create(const WhipSettings &settings, WhipKeyFrameAsk askKeyFrame, void *ctx)
{
    if (settings.url.empty()) {
        std::fputs("Error: whip: no url to publish to\n", stderr);
        return nullptr;
    }
    std::string missing;
    if (!libraries(missing)) {
        std::fprintf(stderr, "Error: whip: missing %s\n", missing.c_str());
        return nullptr;
    }
    std::unique_ptr<WhipOut_Object> w(new (std::nothrow) WhipOut_Object(settings, askKeyFrame, ctx));
    if (w == nullptr) {
        std::fputs("Error: Failed to create the whip output\n", stderr);
        return nullptr;
    }
    w->takes = OUTPUT_TAKES_MAIN;
    // No send bound of the worker's: a send waits for the pipeline to let go of the unit's bytes and
    // bounds that itself; cutting it short would free bytes the pipeline still reads.
    SenderConfig worker{"whip send", "", "whip queue full, %llu units dropped\n", kQueueBytes, kQueueUnits,
                        kTickMs, 0, kFlushMs};
    w->sender = Sender_create(&worker, &w->link);
    if (w->sender == nullptr) {
        return nullptr;
    }
    return w.release();
}

Output *WhipOut_output(WhipOut_Handle h)
{
    return h;
}

void WhipOut_destroy(WhipOut_Handle h)
{
    if (h == nullptr) {
        return;
    }
    Sender_destroy(h->sender);
    delete h;
}

SenderStats WhipOut_stats(WhipOut_Handle h)
{
    return h != nullptr ? Sender_stats(h->sender) : SenderStats{};
}

std::string WhipUrl_public(std::string_view url)
{
    size_t scheme = url.find("://");
    size_t hostAt = scheme == std::string_view::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("?#", hostAt);
    std::string_view rest = url.substr(hostAt, end == std::string_view::npos ? url.npos : end - hostAt);
    size_t pathAt = rest.find('/');
    size_t at = rest.rfind('@', pathAt == std::string_view::npos ? rest.npos : pathAt);
    if (at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    return std::string(url.substr(0, hostAt)) + std::string(rest);
}

// --- HTTP ---

bool WhipHttp_request(const char *method, const std::string &url, const std::string &token, const std::string *body,
                 int connectMs, int totalMs, const MediaStop *stop, const std::atomic<bool> &aborted, WhipHttpReply &r)
{
    char error[CURL_ERROR_SIZE] = "";
    CURL *c = curl_easy_init();
    CURLM *m = curl_multi_init();
    if (c == nullptr || m == nullptr) {
        r.error = "out of memory";
        curl_multi_cleanup(m);
        curl_easy_cleanup(c);
        return false;
    }
    curl_slist *headers = nullptr;
    headers = curl_slist_append(headers, "Expect:"); // no 100-continue round trip before the offer
    if (body != nullptr) {
        headers = curl_slist_append(headers, "Content-Type: application/sdp");
    }
    std::string auth;
    if (!token.empty()) {
        auth = "Authorization: Bearer " + token;
        headers = curl_slist_append(headers, auth.c_str());
    }
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L); // an endpoint may send the offer on (307)
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(totalMs));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, takeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, takeHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    if (body != nullptr) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
    }
    curl_multi_add_handle(m, c);
    CURLcode result = CURLE_OK;
    bool finished = false;
    while (!finished) {
        int running = 0;
        if (curl_multi_perform(m, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(m, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                result = msg->data.result;
                finished = true;
            }
        }
        if (!finished && (aborted.load() || MediaStop_raised(stop))) {
            result = CURLE_ABORTED_BY_CALLBACK;
            std::snprintf(error, sizeof error, "stopped");
            break;
        }
        if (!finished) {
            curl_multi_poll(m, nullptr, 0, 20, nullptr);
        }
    }
    if (result == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        char *effective = nullptr;
        curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &effective);
        r.effectiveUrl = effective != nullptr ? effective : url;
    } else {
        r.error = error[0] != '\0' ? error : curl_easy_strerror(result);
    }
    curl_multi_remove_handle(m, c);
    curl_multi_cleanup(m);
    curl_easy_cleanup(c);
    curl_slist_free_all(headers);
    return result == CURLE_OK;
}

std::string WhipHttp_resolve(const std::string &base, const std::string &location)
{
    std::string out;
    CURLU *u = curl_url();
    char *full = nullptr;
    if (u != nullptr && curl_url_set(u, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(u, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        out = full;
    }
    curl_free(full);
    curl_url_cleanup(u);
    return out;
}

std::string WhipHttp_reason(const std::string &body, const std::string &token)
{
    std::string text = body.substr(0, body.find_first_of("\r\n"));
    if (!token.empty()) {
        for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
            text.replace(at, token.size(), "...");
        }
    }
    for (char &ch : text) {
        ch = ch >= 0x20 && ch < 0x7f ? ch : '?';
    }
    if (text.size() > kReasonChars) {
        text.resize(kReasonChars);
    }
    return text.empty() ? "(no reason given)" : text;
}
