// The WHEP requests and the viewer table. The socket's thread parses and answers; the table is under
// one lock, taken only to find, add or take out a viewer: a viewer is made and destroyed outside it
// (both wait on webrtcbin), so the janitor's status never waits behind an answer being made.
#include "webrtc/whep_server.h"

#include "webrtc/viewer.h"

#include "encode/core/paths.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;
using Clock = std::chrono::steady_clock;

constexpr const char *kSocketPath = "/tmp/webrtc.sock";
constexpr size_t kBodyLimit = 64 * 1024;
constexpr size_t kHeadLimit = 8 * 1024;
constexpr int kReadLimitMs = 2000;
constexpr int kWriteLimitMs = 2000;
constexpr int kTickMs = 200;

struct Session {
    std::string id;
    FeedStream stream;
    Viewer_Handle viewer;
};

} // namespace

struct WhepServer_Object {
    Feed_Handle feed = nullptr;
    WebrtcSettings settings;
    std::string path;
    int fd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<Session> sessions; // under lock
    int pending = 0;               // under lock: offers being answered, which hold a viewer's place
    std::mt19937_64 random{std::random_device{}()};
};

namespace {

WhepAnswer refusal(int code, const std::string &line)
{
    WhepAnswer a;
    a.code = code;
    a.body = line + "\n";
    return a;
}

const char *reason(int code)
{
    switch (code) {
    case 200: return "OK";
    case 201: return "Created";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 503: return "Service Unavailable";
    default: return "Internal Server Error";
    }
}

int streamOf(const std::string &name)
{
    return name == "main" ? Feed_MAIN : name == "second" ? Feed_SECOND : -1;
}

std::string newId(WhepServer_Object *h)
{
    char id[17];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(h->random()));
    return id;
}

WhepAnswer offer(WhepServer_Object *h, FeedStream stream, const std::string &contentType, const std::string &body,
                 const std::string &address)
{
    std::string type = contentType.substr(0, contentType.find(';'));
    if (type != "application/sdp") {
        return refusal(415, "refused: an offer is sent as application/sdp");
    }
    if (!h->settings.enable) {
        return refusal(503, "refused: WebRTC is off on this box");
    }
    std::string id;
    {
        ScopedLock g(h->lock);
        if (static_cast<int>(h->sessions.size()) + h->pending >= h->settings.viewers) {
            return refusal(503, "refused: all " + std::to_string(h->settings.viewers) + " viewers are in use");
        }
        h->pending++;
        id = newId(h);
    }
    ViewerOffer o;
    o.stream = stream;
    o.sdp = body;
    o.address = address;
    o.iceServer = h->settings.stun;
    Viewer_Handle v = nullptr;
    std::string text;
    int r = Viewer_create(h->feed, o, &v, &text);
    ScopedLock g(h->lock);
    h->pending--;
    if (r != Viewer_EOK) {
        std::fprintf(stderr, "webrtc: an offer from %s %s\n", address.c_str(), text.c_str() + (text.rfind("refused: ", 0) == 0 ? 9 : 0));
        return refusal(r == Viewer_EBADOFFER ? 400 : r == Viewer_ENOSTREAM ? 503 : 500, text);
    }
    h->sessions.push_back({id, stream, v});
    std::fprintf(stderr, "webrtc: viewer %s of the %s stream from %s\n", id.c_str(),
                 stream == Feed_MAIN ? "main" : "second", address.c_str());
    WhepAnswer a;
    a.code = 201;
    a.contentType = "application/sdp";
    a.location = std::string("/whep/") + (stream == Feed_MAIN ? "main/" : "second/") + id;
    a.body = text;
    return a;
}

WhepAnswer end(WhepServer_Object *h, FeedStream stream, const std::string &id)
{
    Viewer_Handle v = nullptr;
    {
        ScopedLock g(h->lock);
        for (auto it = h->sessions.begin(); it != h->sessions.end(); ++it) {
            if (it->id == id && it->stream == stream) {
                v = it->viewer;
                h->sessions.erase(it);
                break;
            }
        }
    }
    if (v == nullptr) {
        return refusal(404, "refused: no such session (it ended, or never was)");
    }
    Viewer_destroy(v);
    std::fprintf(stderr, "webrtc: viewer %s ended by its browser\n", id.c_str());
    WhepAnswer a;
    a.code = 200;
    a.body = "ended\n";
    return a;
}

} // namespace

WhepAnswer WhepServer_handle(WhepServer_Handle h, const std::string &method, const std::string &path,
                             const std::string &contentType, const std::string &body, const std::string &address)
{
    // /whep/<stream> or /whep/<stream>/<id>
    if (path.rfind("/whep/", 0) != 0) {
        return refusal(404, "refused: no such resource");
    }
    std::string rest = path.substr(6);
    size_t slash = rest.find('/');
    int stream = streamOf(rest.substr(0, slash));
    std::string id = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (stream < 0 || (slash != std::string::npos && (id.empty() || id.find('/') != std::string::npos))) {
        return refusal(404, "refused: no such resource");
    }
    if (id.empty()) {
        return method == "POST" ? offer(h, static_cast<FeedStream>(stream), contentType, body, address)
                                : refusal(405, "refused: a stream takes POST with an SDP offer");
    }
    return method == "DELETE" ? end(h, static_cast<FeedStream>(stream), id)
                              : refusal(405, "refused: a session takes DELETE (its answer carried every candidate)");
}

namespace {

// Reads until the head's end and the body's length are in, within the bound.
bool readRequest(int fd, std::string &head, std::string &body, WhepAnswer *refused)
{
    std::string data;
    auto until = Clock::now() + std::chrono::milliseconds(kReadLimitMs);
    size_t headEnd = std::string::npos;
    size_t length = 0;
    char buf[8192];
    for (;;) {
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            head = data.substr(0, headEnd);
            const char *cl = strcasestr(head.c_str(), "\r\nContent-Length:");
            length = cl != nullptr ? std::strtoul(cl + 17, nullptr, 10) : 0;
            if (length > kBodyLimit) {
                *refused = refusal(413, "refused: an offer is at most 64 KiB");
                return false;
            }
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length) {
            body = data.substr(headEnd + 4, length);
            return true;
        }
        if (headEnd == std::string::npos && data.size() > kHeadLimit) {
            *refused = refusal(400, "refused: the request's head is too long");
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            *refused = refusal(400, "refused: the request did not come whole within 2 s");
            return false;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            *refused = refusal(400, "refused: the request ended early");
            return false;
        }
        data.append(buf, static_cast<size_t>(n));
    }
}

std::string header(const std::string &head, const char *name)
{
    std::string key = std::string("\r\n") + name + ":";
    const char *at = strcasestr(head.c_str(), key.c_str());
    if (at == nullptr) {
        return {};
    }
    const char *v = at + key.size();
    while (*v == ' ') {
        v++;
    }
    const char *e = std::strstr(v, "\r\n");
    return e != nullptr ? std::string(v, e) : std::string(v);
}

void writeAll(int fd, const std::string &s)
{
    size_t done = 0;
    auto until = Clock::now() + std::chrono::milliseconds(kWriteLimitMs);
    while (done < s.size() && Clock::now() < until) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN) || ::poll(&p, 1, 100) < 0) {
            return;
        }
    }
}

void serveOne(WhepServer_Object *h, int fd)
{
    std::string head;
    std::string body;
    WhepAnswer a;
    if (readRequest(fd, head, body, &a)) {
        size_t sp1 = head.find(' ');
        size_t sp2 = head.find(' ', sp1 + 1);
        std::string method = head.substr(0, sp1);
        std::string path = sp1 == std::string::npos ? "" : head.substr(sp1 + 1, sp2 - sp1 - 1);
        a = WhepServer_handle(h, method, path, header(head, "Content-Type"), body, header(head, "X-Client-Address"));
    }
    std::string out = "HTTP/1.0 " + std::to_string(a.code) + " " + reason(a.code) + "\r\nContent-Type: " +
                      a.contentType + "\r\n";
    if (!a.location.empty()) {
        out += "Location: " + a.location + "\r\n";
    }
    out += "Content-Length: " + std::to_string(a.body.size()) + "\r\n\r\n" + a.body;
    writeAll(fd, out);
}

void serve(WhepServer_Object *h)
{
    while (!h->stopping.load(std::memory_order_acquire)) {
        pollfd p{h->fd, POLLIN, 0};
        if (::poll(&p, 1, kTickMs) <= 0) {
            continue;
        }
        int c = ::accept4(h->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            continue;
        }
        serveOne(h, c);
        ::close(c);
    }
}

int listenOn(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        return -1;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    // The web server's program runs as the web user, in the group the run directory has.
    struct stat dir {};
    std::string parent = path.substr(0, path.rfind('/'));
    if (::stat(parent.c_str(), &dir) == 0) {
        (void)::chown(path.c_str(), static_cast<uid_t>(-1), dir.st_gid);
    }
    ::chmod(path.c_str(), 0660);
    return fd;
}

} // namespace

WhepServer_Handle WhepServer_start(Feed_Handle feed, const WebrtcSettings &settings)
{
    auto h = std::unique_ptr<WhepServer_Object>(new (std::nothrow) WhepServer_Object);
    if (h == nullptr) {
        return nullptr;
    }
    h->feed = feed;
    h->settings = settings;
    h->path = Path_resolve(kSocketPath);
    h->fd = listenOn(h->path);
    if (h->fd < 0) {
        std::fprintf(stderr, "webrtc: cannot listen on %s (%s), no WHEP\n", h->path.c_str(), std::strerror(errno));
        return nullptr;
    }
    h->thread = std::thread(serve, h.get());
    return h.release();
}

void WhepServer_tend(WhepServer_Handle h, nlohmann::json &viewers)
{
    std::vector<Session> gone;
    {
        ScopedLock g(h->lock);
        for (auto it = h->sessions.begin(); it != h->sessions.end();) {
            std::string why;
            if (Viewer_gone(it->viewer, &why)) {
                std::fprintf(stderr, "webrtc: viewer %s freed: %s\n", it->id.c_str(), why.c_str());
                gone.push_back(*it);
                it = h->sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Session &s : gone) {
        Viewer_destroy(s.viewer);
    }
    viewers = nlohmann::json::array();
    // Reported under the lock, so that a DELETE cannot free a viewer being reported; each report's
    // wait on webrtcbin is short and bounded.
    ScopedLock g(h->lock);
    for (Session &s : h->sessions) {
        nlohmann::json v;
        Viewer_report(s.viewer, s.id, v);
        viewers.push_back(v);
    }
}

void WhepServer_stop(WhepServer_Handle h)
{
    if (h == nullptr) {
        return;
    }
    h->stopping.store(true, std::memory_order_release);
    h->thread.join();
    ::close(h->fd);
    ::unlink(h->path.c_str());
    for (Session &s : h->sessions) {
        Viewer_destroy(s.viewer);
    }
    delete h;
}
