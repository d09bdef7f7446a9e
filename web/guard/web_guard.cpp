// web_guard: the front door of the configuration pages. It listens on the pages' public ports and
// hands each connection to the web server's own socket (a UNIX socket only it reaches), prefixed with
// a PROXY protocol v1 line, so that the server and the programs still see the client's address.
//
// What it adds is what the web server lacks: limits that hold before a request is read. A client
// address may hold at most --per-address connections and all of them at most --total; a connection
// over either is reset at once, so that one address that opens thousands of connections and sends
// nothing costs the others no more than the accepts. A connection that sends nothing within
// --first-byte-ms of its accept, or carries nothing either way for --idle-ms, is closed.
//
//   web_guard --pair ADDR:PORT=SOCKET [--pair ...] [--per-address N] [--total N]
//             [--first-byte-ms N] [--idle-ms N] [--user NAME]
//
// With --user (started by root, for ports below 1024) it binds its ports and then runs as that user,
// the web server's: nothing it does afterwards needs more.
//
// One thread, one epoll set; every socket is non-blocking and nothing it does waits. SIGTERM and
// SIGINT end it.
#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kBufferBytes = 16384;
constexpr int kBacklog = 1024;
constexpr int kTickMs = 250;

struct Limits {
    int perAddress = 16;
    int total = 256;
    int64_t firstByteMs = 5000;
    int64_t idleMs = 120000;
};

struct Pair {
    sockaddr_in listen{};
    std::string upstream; // UNIX socket path
    int fd = -1;
};

// Bytes read from one side, waiting for the other side to take them.
struct Pipe {
    char bytes[kBufferBytes];
    size_t begin = 0;
    size_t end = 0;
    bool eof = false; // the reading side has closed: shut the writing side once this is empty
    size_t waiting() const { return end - begin; }
};

struct Link {
    int client = -1;
    int server = -1;
    std::string address; // the client's, the key of its count
    Pipe up;             // client to server (starts with the PROXY line)
    Pipe down;           // server to client
    int64_t acceptedMs = 0;
    int64_t lastByteMs = 0;
    bool clientSpoke = false;
};

volatile sig_atomic_t stopping = 0;

void onSignal(int)
{
    stopping = 1;
}

int64_t nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool parseListen(const std::string &text, sockaddr_in *sa)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    sa->sin_family = AF_INET;
    sa->sin_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return sa->sin_port != 0 && inet_pton(AF_INET, text.substr(0, colon).c_str(), &sa->sin_addr) == 1;
}

void resetAndClose(int fd)
{
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

class Guard {
public:
    Guard(std::vector<Pair> pairs, Limits limits) : pairs_(std::move(pairs)), limits_(limits) {}

    bool start()
    {
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        for (Pair &p : pairs_) {
            p.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(p.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (p.fd < 0 || bind(p.fd, reinterpret_cast<sockaddr *>(&p.listen), sizeof p.listen) != 0 ||
                listen(p.fd, kBacklog) != 0) {
                std::fprintf(stderr, "web_guard: cannot listen on port %d: %s\n", ntohs(p.listen.sin_port),
                             std::strerror(errno));
                return false;
            }
            watch(p.fd, EPOLLIN, &p);
        }
        return true;
    }

    void run()
    {
        epoll_event events[64];
        while (stopping == 0) {
            int n = epoll_wait(ep_, events, 64, kTickMs);
            for (int i = 0; i < n; i++) {
                void *tag = events[i].data.ptr;
                if (isPair(tag)) {
                    acceptAll(*static_cast<Pair *>(tag));
                } else {
                    serve(static_cast<Link *>(tag));
                }
            }
            expire();
            graveyard_.clear(); // no event of this batch names a dropped link any more
        }
    }

private:
    bool isPair(void *tag) const
    {
        for (const Pair &p : pairs_) {
            if (tag == &p) {
                return true;
            }
        }
        return false;
    }
    void watch(int fd, uint32_t events, void *tag, bool again = false)
    {
        epoll_event e{};
        e.events = events;
        e.data.ptr = tag;
        epoll_ctl(ep_, again ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &e);
    }

    void acceptAll(Pair &p)
    {
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            int c = accept4(p.fd, reinterpret_cast<sockaddr *>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) {
                return; // none left (or out of descriptors: the next tick tries again)
            }
            char ip[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
            int &held = perAddress_[ip];
            if (held >= limits_.perAddress || total_ >= limits_.total) {
                resetAndClose(c);
                if (held == 0) {
                    perAddress_.erase(ip);
                }
                continue;
            }
            open(p, c, from, ip);
        }
    }

    // The server side of a new client, and the PROXY line that starts what goes up to it.
    void open(const Pair &p, int client, const sockaddr_in &from, const char *ip)
    {
        int server = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::snprintf(to.sun_path, sizeof to.sun_path, "%s", p.upstream.c_str());
        if (server < 0 || (connect(server, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
            if (server >= 0) {
                close(server);
            }
            resetAndClose(client);
            return;
        }
        auto link = std::make_unique<Link>();
        link->client = client;
        link->server = server;
        link->address = ip;
        link->acceptedMs = link->lastByteMs = nowMs();
        char here[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &p.listen.sin_addr, here, sizeof here);
        int n = std::snprintf(link->up.bytes, sizeof link->up.bytes, "PROXY TCP4 %s %s %d %d\r\n", ip, here,
                              ntohs(from.sin_port), ntohs(p.listen.sin_port));
        link->up.end = static_cast<size_t>(n);
        Link *l = link.get();
        links_[l] = std::move(link);
        perAddress_[ip]++;
        total_++;
        watch(client, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, l);
        watch(server, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, l);
    }

    // Moves what one side has to the other as far as both take it; false when the link is done.
    static bool move(int from, int to, Pipe &pipe, bool *got)
    {
        for (;;) {
            if (pipe.waiting() > 0) {
                ssize_t w = send(to, pipe.bytes + pipe.begin, pipe.waiting(), MSG_NOSIGNAL);
                if (w < 0) {
                    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOTCONN;
                }
                pipe.begin += static_cast<size_t>(w);
                continue;
            }
            pipe.begin = pipe.end = 0;
            if (pipe.eof) {
                shutdown(to, SHUT_WR);
                return true;
            }
            ssize_t r = recv(from, pipe.bytes, sizeof pipe.bytes, 0);
            if (r == 0) {
                pipe.eof = true;
                continue;
            }
            if (r < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
            pipe.end = static_cast<size_t>(r);
            *got = true;
        }
    }

    void serve(Link *l)
    {
        if (l->client < 0) {
            return; // dropped by an earlier event of the same batch
        }
        bool fromClient = false;
        bool fromServer = false;
        bool ok = move(l->client, l->server, l->up, &fromClient) && move(l->server, l->client, l->down, &fromServer);
        if (fromClient || fromServer) {
            l->lastByteMs = nowMs();
        }
        l->clientSpoke = l->clientSpoke || fromClient;
        if (!ok || (l->up.eof && l->down.eof && l->up.waiting() == 0 && l->down.waiting() == 0)) {
            drop(l, false);
        }
    }

    void drop(Link *l, bool reset)
    {
        if (reset) {
            resetAndClose(l->client);
        } else {
            close(l->client);
        }
        close(l->server);
        l->client = l->server = -1;
        if (--perAddress_[l->address] <= 0) {
            perAddress_.erase(l->address);
        }
        total_--;
        auto it = links_.find(l);
        graveyard_.push_back(std::move(it->second));
        links_.erase(it);
    }

    void expire()
    {
        int64_t now = nowMs();
        if (now - lastExpiry_ < kTickMs) {
            return;
        }
        lastExpiry_ = now;
        std::vector<Link *> due;
        for (auto &[l, owned] : links_) {
            if ((!l->clientSpoke && now - l->acceptedMs > limits_.firstByteMs) || now - l->lastByteMs > limits_.idleMs) {
                due.push_back(l);
            }
        }
        for (Link *l : due) {
            drop(l, true);
        }
    }

    std::vector<Pair> pairs_;
    Limits limits_;
    int ep_ = -1;
    std::map<Link *, std::unique_ptr<Link>> links_;
    std::vector<std::unique_ptr<Link>> graveyard_; // dropped during the current batch of events
    std::map<std::string, int> perAddress_;
    int total_ = 0;
    int64_t lastExpiry_ = 0;
};

// The user's groups, group and user, in that order (a process that kept root's groups would keep
// root's files).
bool becomeUser(const std::string &name)
{
    const passwd *pw = getpwnam(name.c_str());
    if (pw == nullptr) {
        std::fprintf(stderr, "web_guard: no user %s\n", name.c_str());
        return false;
    }
    if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) {
        std::fprintf(stderr, "web_guard: cannot become %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

int usage()
{
    std::fputs("usage: web_guard --pair ADDR:PORT=SOCKET [--pair ...] [--per-address N] [--total N] "
               "[--first-byte-ms N] [--idle-ms N] [--user NAME]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<Pair> pairs;
    Limits limits;
    std::string user;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        std::string value = argv[i + 1];
        if (opt == "--pair") {
            Pair p;
            size_t eq = value.find('=');
            if (eq == std::string::npos || !parseListen(value.substr(0, eq), &p.listen)) {
                return usage();
            }
            p.upstream = value.substr(eq + 1);
            pairs.push_back(p);
        } else if (opt == "--per-address") {
            limits.perAddress = std::atoi(value.c_str());
        } else if (opt == "--total") {
            limits.total = std::atoi(value.c_str());
        } else if (opt == "--first-byte-ms") {
            limits.firstByteMs = std::atoll(value.c_str());
        } else if (opt == "--idle-ms") {
            limits.idleMs = std::atoll(value.c_str());
        } else if (opt == "--user") {
            user = value;
        } else {
            return usage();
        }
    }
    if (pairs.empty() || argc % 2 == 0 || limits.perAddress <= 0 || limits.total <= 0) {
        return usage();
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    Guard guard(std::move(pairs), limits);
    if (!guard.start() || (!user.empty() && !becomeUser(user))) {
        return 1;
    }
    guard.run();
    return 0;
}
