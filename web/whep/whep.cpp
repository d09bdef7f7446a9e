// The WHEP program behind /whep/: a browser's live picture is asked for here and relayed to the
// WebRTC server, which owns the sessions. A POST of an SDP offer to /whep/main or /whep/second starts
// one (201, the answer and its Location), a DELETE of that Location ends it. The server speaks plain
// HTTP/1.0 on a UNIX socket, one request per connection; what it answers (status, type, Location,
// body) goes back as it is, since it is the one that knows why it refused.
//
// Everything a browser could get wrong is refused here before the server is bothered, each with one
// line: the login and the request rules first (as every program), then the method, the type, the
// size (from Content-Length, before any of the body is read) and the text of the offer. Every wait
// on the server is bounded, so that a server that hangs costs a request at most kExchangeMs.
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include "encode/core/paths.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr char kSocket[] = "/tmp/webrtc.sock";
constexpr size_t kOfferLimit = 64 * 1024;
constexpr size_t kAnswerLimit = 256 * 1024; // the server's answer, head and body
constexpr int kConnectMs = 1000;
constexpr int kExchangeMs = 10000;
constexpr size_t kIdLimit = 64;

void refuse(const char *status, const std::string &line, const char *allow = nullptr)
{
    std::fprintf(cgiOut, "Status: %s\r\n", status);
    if (allow != nullptr) {
        std::fprintf(cgiOut, "Allow: %s\r\n", allow);
    }
    cgiHeaderContentType("text/plain; charset=utf-8");
    std::fprintf(cgiOut, "%s\n", line.c_str());
}

int64_t nowMs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What the request's path names: a stream (/main, /second) or a session of one (/main/<id>).
struct Target {
    std::string stream;
    std::string id; // empty for the stream itself
};

bool isIdChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The id goes onto the server's request line: only the characters a server's id is made of.
bool parseTarget(std::string_view path, Target &t)
{
    if (path.empty() || path[0] != '/') {
        return false;
    }
    path.remove_prefix(1);
    size_t slash = path.find('/');
    std::string_view stream = path.substr(0, slash);
    if (stream != "main" && stream != "second") {
        return false;
    }
    t.stream = stream;
    if (slash == std::string_view::npos) {
        return true;
    }
    std::string_view id = path.substr(slash + 1);
    if (id.empty() || id.size() > kIdLimit) {
        return false;
    }
    for (char c : id) {
        if (!isIdChar(c)) {
            return false;
        }
    }
    t.id = id;
    return true;
}

// An SDP offer is text: UTF-8 lines. A NUL or another control character is no offer a browser makes,
// and would reach the server's parser as it is.
bool isText(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F) {
                return false;
            }
            i++;
            continue;
        }
        size_t more = (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
        if (more == 0 || i + more >= s.size()) {
            return false;
        }
        for (size_t k = 1; k <= more; k++) {
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) {
                return false;
            }
        }
        i += more + 1;
    }
    return true;
}

// REMOTE_ADDR as the server's header takes it: an address, never anything that could end the line.
std::string clientAddress()
{
    std::string addr = cgiRemoteAddr;
    for (char c : addr) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' || c == ':';
        if (!ok) {
            return "unknown";
        }
    }
    return addr.empty() ? "unknown" : addr;
}

enum class Link { Ok, NotRunning, Denied, Slow, Broken };

// Connects to the server's socket within kConnectMs. A UNIX socket whose backlog is full refuses
// with EAGAIN at once: the server is alive and busy, and is tried again until the bound.
Link connectServer(int &fd)
{
    std::string path = Path_resolve(kSocket);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return Link::Broken;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Link::Broken;
    }
    const int64_t until = nowMs() + kConnectMs;
    for (;;) {
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            return Link::Ok;
        }
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return Link::NotRunning;
        }
        // The web server's user must be let in by the socket's mode: a setup fault, said as such.
        if (errno == EACCES || errno == EPERM) {
            return Link::Denied;
        }
        if (errno == EINPROGRESS) {
            pollfd p {fd, POLLOUT, 0};
            int64_t left = until - nowMs();
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                return Link::Slow;
            }
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            return err == 0 ? Link::Ok : err == ECONNREFUSED ? Link::NotRunning : Link::Broken;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return Link::Broken;
        }
        if (nowMs() + 50 >= until) {
            return Link::Slow;
        }
        ::usleep(50 * 1000);
    }
}

// The value of header `name` in the head's lines, "" without one.
std::string headerValue(std::string_view head, std::string_view name)
{
    size_t pos = head.find("\r\n");
    while (pos != std::string_view::npos && pos + 2 < head.size()) {
        size_t next = head.find("\r\n", pos + 2);
        std::string_view line = head.substr(pos + 2, next == std::string_view::npos ? next : next - pos - 2);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            strncasecmp(line.data(), name.data(), name.size()) == 0) {
            std::string_view v = line.substr(name.size() + 1);
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
                v.remove_prefix(1);
            }
            return std::string(v);
        }
        pos = next;
    }
    return {};
}

// Writes the whole request and reads the server's answer until it closes or its Content-Length is
// in, everything by `until`.
Link exchange(int fd, const std::string &request, std::string &answer, int64_t until)
{
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return Link::Broken;
        }
        pollfd p {fd, POLLOUT, 0};
        int64_t left = until - nowMs();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
            return Link::Slow;
        }
    }
    size_t wanted = kAnswerLimit; // until the head tells
    while (answer.size() < wanted) {
        char buf[16384];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0) {
            // Closed: the whole answer, unless its head promised more.
            return wanted == kAnswerLimit || answer.size() == wanted ? Link::Ok : Link::Broken;
        }
        if (n > 0) {
            answer.append(buf, static_cast<size_t>(n));
            if (answer.size() > kAnswerLimit) {
                return Link::Broken;
            }
            size_t end = answer.find("\r\n\r\n");
            if (end != std::string::npos && wanted == kAnswerLimit) {
                std::string length = headerValue(std::string_view(answer).substr(0, end + 2), "Content-Length");
                if (!length.empty()) {
                    unsigned long body = std::strtoul(length.c_str(), nullptr, 10);
                    if (body > kAnswerLimit - end - 4) {
                        return Link::Broken;
                    }
                    wanted = end + 4 + body;
                }
            }
            continue;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return Link::Broken;
        }
        pollfd p {fd, POLLIN, 0};
        int64_t left = until - nowMs();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
            return Link::Slow;
        }
    }
    return answer.size() == wanted ? Link::Ok : Link::Broken;
}

// The server's answer passed on; false when it is no HTTP answer at all.
bool relayAnswer(const std::string &answer)
{
    size_t end = answer.find("\r\n\r\n");
    bool http = answer.compare(0, 9, "HTTP/1.0 ") == 0 || answer.compare(0, 9, "HTTP/1.1 ") == 0;
    if (end == std::string::npos || !http) {
        return false;
    }
    std::string_view head(answer.data(), end + 2);
    std::string status(head.substr(9, head.find("\r\n") - 9));
    if (status.size() < 3 || status[0] < '1' || status[0] > '5' || !isdigit(static_cast<unsigned char>(status[1])) ||
        !isdigit(static_cast<unsigned char>(status[2])) || (status.size() > 3 && status[3] != ' ')) {
        return false;
    }
    std::string type = headerValue(head, "Content-Type");
    std::string location = headerValue(head, "Location");
    std::fprintf(cgiOut, "Status: %s\r\n", status.c_str());
    // Only a place of ours: the page sends its DELETE there with the login.
    if (location.rfind("/whep/", 0) == 0) {
        std::fprintf(cgiOut, "Location: %s\r\n", location.c_str());
    }
    cgiHeaderContentType(type.empty() ? "text/plain; charset=utf-8" : type.c_str());
    std::fwrite(answer.data() + end + 4, 1, answer.size() - end - 4, cgiOut);
    return true;
}

// The offer from standard input, after its declared size was checked; false (answered) otherwise.
bool readOffer(std::string &offer)
{
    const char *lengthText = std::getenv("CONTENT_LENGTH");
    char *endp = nullptr;
    errno = 0;
    unsigned long long length = lengthText != nullptr ? std::strtoull(lengthText, &endp, 10) : 0;
    if (lengthText == nullptr || *lengthText == '\0' || *endp != '\0' || errno != 0) {
        refuse("411 Length Required", "refused: the offer's length was not given");
        return false;
    }
    if (length > kOfferLimit) {
        refuse("413 Content Too Large", "refused: an offer is at most " + std::to_string(kOfferLimit) + " bytes");
        return false;
    }
    offer.resize(length);
    size_t got = length > 0 ? std::fread(offer.data(), 1, length, cgiIn) : 0;
    if (got != length) {
        refuse("400 Bad Request", "refused: the offer was cut short");
        return false;
    }
    if (offer.empty()) {
        refuse("400 Bad Request", "refused: no offer was sent");
        return false;
    }
    if (!isText(offer)) {
        refuse("400 Bad Request", "refused: the offer is not text");
        return false;
    }
    return true;
}

void relay(const std::string &request)
{
    int fd = -1;
    Link l = connectServer(fd);
    std::string answer;
    if (l == Link::Ok) {
        l = exchange(fd, request, answer, nowMs() + kExchangeMs);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    switch (l) {
    case Link::NotRunning: refuse("503 Service Unavailable", "refused: the WebRTC server is not running"); return;
    case Link::Denied:
        refuse("503 Service Unavailable", "refused: the web server may not open the WebRTC server's socket");
        return;
    case Link::Slow: refuse("504 Gateway Timeout", "refused: the WebRTC server did not answer in time"); return;
    case Link::Broken: refuse("502 Bad Gateway", "refused: the WebRTC server's answer was broken off"); return;
    case Link::Ok: break;
    }
    if (!relayAnswer(answer)) {
        refuse("502 Bad Gateway", "refused: the WebRTC server gave no answer");
    }
}

void handle()
{
    Target t;
    if (!parseTarget(cgiPathInfo, t)) {
        refuse("404 Not Found", "refused: no such stream; the streams are /whep/main and /whep/second");
        return;
    }
    const char *method = t.id.empty() ? "POST" : "DELETE";
    if (strcasecmp(cgiRequestMethod, method) != 0) {
        refuse("405 Method Not Allowed",
               t.id.empty() ? "refused: a stream is asked for with POST" : "refused: a session is ended with DELETE",
               method);
        return;
    }
    std::string path = "/whep/" + t.stream + (t.id.empty() ? "" : "/" + t.id);
    std::string request = std::string(method) + " " + path + " HTTP/1.0\r\nX-Client-Address: " + clientAddress() +
                          "\r\n";
    if (t.id.empty()) {
        if (strcasecmp(cgiContentType, "application/sdp") != 0) {
            refuse("415 Unsupported Media Type", "refused: the offer is sent as application/sdp");
            return;
        }
        std::string offer;
        if (!readOffer(offer)) {
            return;
        }
        request += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(offer.size()) + "\r\n\r\n" +
                   offer;
    } else {
        request += "Content-Length: 0\r\n\r\n";
    }
    relay(request);
}

} // namespace

int cgiMain()
{
    handle();
    return 0;
}

int main()
{
    cgiInit();
    // No form is parsed: the body is the offer, read here with its own bound.
    if (cgiRequestAllowed({})) {
        cgiMain();
    }
    std::fflush(cgiOut);
    cgiFreeResources();
    return 0;
}
