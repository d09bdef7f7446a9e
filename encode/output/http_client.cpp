#include "encode/output/http_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <cstdio>
#include <mutex>

namespace {

constexpr size_t kAnswerBytes = 65536; // a longer answer is no answer
constexpr size_t kReasonChars = 120;

bool libraryReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

size_t takeBody(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<HttpReply *>(p);
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
    auto *r = static_cast<HttpReply *>(p);
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

void setOptions(CURL *c, const HttpRequest &q, curl_slist *headers, char *error, HttpReply &r)
{
    curl_easy_setopt(c, CURLOPT_URL, q.url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, q.followRedirects ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 3L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(q.connectMs));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(q.totalMs));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, takeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, takeHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    if (q.body != nullptr) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, reinterpret_cast<const char *>(q.body));
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(q.bodyBytes));
    }
    if (q.body == nullptr || std::string_view(q.method) != "POST") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, q.method);
    }
}

// Runs the transfer to its end, or until the stop or `aborted`.
CURLcode perform(CURLM *m, const MediaStop *stop, const std::atomic<bool> &aborted, char *error)
{
    for (;;) {
        int running = 0;
        if (curl_multi_perform(m, &running) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(m, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                return msg->data.result;
            }
        }
        if (aborted.load() || MediaStop_raised(stop)) {
            std::snprintf(error, CURL_ERROR_SIZE, "stopped");
            return CURLE_ABORTED_BY_CALLBACK;
        }
        curl_multi_poll(m, nullptr, 0, 20, nullptr);
    }
}

} // namespace

bool Http_request(const HttpRequest &q, const MediaStop *stop, const std::atomic<bool> &aborted, HttpReply &r)
{
    char error[CURL_ERROR_SIZE] = "";
    CURL *c = libraryReady() ? curl_easy_init() : nullptr;
    CURLM *m = c != nullptr ? curl_multi_init() : nullptr;
    if (c == nullptr || m == nullptr) {
        r.error = "libcurl could not be started";
        curl_easy_cleanup(c);
        return false;
    }
    curl_slist *headers = curl_slist_append(nullptr, "Expect:"); // no 100-continue round trip
    std::string type;
    if (q.contentType != nullptr) {
        type = std::string("Content-Type: ") + q.contentType;
        headers = curl_slist_append(headers, type.c_str());
    }
    std::string auth;
    if (!q.bearer.empty()) {
        auth = "Authorization: Bearer " + q.bearer;
        headers = curl_slist_append(headers, auth.c_str());
    }
    setOptions(c, q, headers, error, r);
    curl_multi_add_handle(m, c);
    CURLcode result = perform(m, stop, aborted, error);
    if (result == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        char *effective = nullptr;
        curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &effective);
        r.effectiveUrl = effective != nullptr ? effective : q.url;
    } else {
        r.error = error[0] != '\0' ? error : curl_easy_strerror(result);
    }
    curl_multi_remove_handle(m, c);
    curl_multi_cleanup(m);
    curl_easy_cleanup(c);
    curl_slist_free_all(headers);
    return result == CURLE_OK;
}

std::string Http_resolve(const std::string &base, const std::string &location)
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

std::string Http_publicUrl(std::string_view url)
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

std::string Http_reason(const std::string &body, const std::string &secret)
{
    std::string text = body.substr(0, body.find_first_of("\r\n"));
    if (!secret.empty()) {
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
            text.replace(at, secret.size(), "...");
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
