// The HTTP TS server with 50 clients on loopback, against lighttpd serving the same bytes.
//
// Ours: a server (HttpTs_create, on 127.0.0.1 and a free port) in this process, fed 8 Mbit/s of TS
// packets in frame-sized appends through a TS output, under its lock, as the writer feeds it; 50
// clients in a child process, so that this process's CPU time (getrusage) is the server's and the
// feeder's only. Over a 10 s window: CPU per client (CPU seconds / clients / seconds), the bytes
// each client received against the bytes written (min, median, max), the clients lapped and dropped,
// and packets that arrived torn or out of order (sync byte and continuity counter, checked by the
// clients). The server holds back a step's last 2 KiB until more follows, so each end of the window
// can put up to 2 KiB on the other side: the ratio is 1 within that.
//
// The peer: lighttpd serving a static TS file of the same packets to the same 50 clients, throttled
// per connection to the same 8 Mbit/s. A static file is the cheapest thing a web server can send
// (sendfile, no copy through the process), so the peer is the floor, not a live server; its CPU is
// read from /proc at the same window marks.
//
// Then the limit: ours fed ever faster (doubling) for a few seconds each, until a client is lapped,
// dropped or short of what was written.
#include "encode/output/http_ts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 50;
constexpr double kRunSeconds = 10.0;
constexpr double kBitRate = 8e6;
constexpr int kFps = 30;
constexpr int kPacket = 188;
constexpr int kFramePackets = static_cast<int>(kBitRate / 8 / kFps / kPacket); // 177: 33276 bytes
constexpr int kFrameBytes = kFramePackets * kPacket;
constexpr int kPid = 0x64;
constexpr double kConnectSeconds = 30.0;  // the server waits 1 s, then accepts one client per 100 ms
constexpr int kStopTimeoutMs = 5000;
// The throttle of the peer, in lighttpd's KiB per second: 8 Mbit/s rounded up.
constexpr int kPeerKiBPerSecond = static_cast<int>((kBitRate / 8 + 1023) / 1024);
constexpr double kPeerFileSeconds = kRunSeconds + 8; // the file outlasts the connect time and the window
constexpr double kSweepStartRate = 16e6;
constexpr double kSweepMaxRate = 1024e6;
constexpr double kSweepSeconds = 3.0;
constexpr double kShortRatio = 0.999; // below this a client missed more than the window's edges
constexpr double kIdleSeconds = 3.0;
// Feeding pauses this long at each window mark, so that every client has sent what was appended
// (but the held-back part of a step) before its count is taken.
constexpr auto kDrain = std::chrono::milliseconds(300);

// --- The stream: frames of TS packets on one PID, continuity counter running ---

class TsSource {
public:
    TsSource() : frame_(kFrameBytes) {}
    const uint8_t *next()
    {
        for (int i = 0; i < kFramePackets; i++) {
            uint8_t *p = &frame_[static_cast<size_t>(i) * kPacket];
            p[0] = 0x47;
            p[1] = static_cast<uint8_t>((i == 0 ? 0x40 : 0) | (kPid >> 8));
            p[2] = kPid & 0xFF;
            p[3] = static_cast<uint8_t>(0x10 | (cc_++ & 0x0F));
            std::memset(p + 4, static_cast<int>(count_ & 0xFF), kPacket - 4);
        }
        count_++;
        return frame_.data();
    }

private:
    std::vector<uint8_t> frame_;
    uint8_t cc_ = 0;
    uint64_t count_ = 0;
};

// --- The clients: one child process, one poll loop over every socket ---

struct Job {
    int port;      // 0: the child exits
    char path[64]; // what the clients ask for
};

struct Result {
    uint64_t bytes[kClients];   // TS bytes received inside the window
    uint64_t torn[kClients];    // packets without a sync byte or out of continuity, whole run
    uint8_t closed[kClients];   // the server closed the connection
};

bool readAll(int fd, void *p, size_t n)
{
    auto *b = static_cast<uint8_t *>(p);
    while (n > 0) {
        ssize_t r = ::read(fd, b, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    while (n > 0) {
        ssize_t r = ::write(fd, b, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

class Client {
public:
    void start(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        int r = ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        state_ = (r == 0 || errno == EINPROGRESS) ? State::Connecting : State::Failed;
    }
    void reset()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        *this = Client();
    }
    short events() const { return state_ == State::Connecting ? POLLOUT : state_ == State::Failed ? 0 : POLLIN; }
    int fd() const { return fd_; }
    bool failed() const { return state_ == State::Failed; }
    bool closed() const { return state_ == State::Closed; }
    bool streaming() const { return state_ == State::Streaming && bytes_ > 0; }
    uint64_t bytes() const { return bytes_; }
    uint64_t torn() const { return torn_; }

    void ready(short revents, const char *path, uint8_t *buf, size_t size)
    {
        if (state_ == State::Connecting && (revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            connected(path);
        } else if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            receive(buf, size);
        }
    }

private:
    enum class State { Idle, Connecting, Header, Streaming, Closed, Failed };

    void connected(const char *path)
    {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        std::string req = std::string("GET ") + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        bool sent = err == 0 && ::send(fd_, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
        state_ = sent ? State::Header : State::Failed;
    }

    void receive(uint8_t *buf, size_t size)
    {
        ssize_t n = ::recv(fd_, buf, size, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            state_ = State::Closed;
            return;
        }
        for (ssize_t i = 0; i < n; i++) {
            if (state_ == State::Header) {
                header_ = (header_ << 8) | buf[i];
                state_ = (header_ & 0xFFFFFFFF) == 0x0D0A0D0A ? State::Streaming : State::Header;
                continue;
            }
            packet_[inPacket_++] = buf[i];
            bytes_++;
            if (inPacket_ == kPacket) {
                checkPacket();
                inPacket_ = 0;
            }
        }
    }

    void checkPacket()
    {
        int cc = packet_[3] & 0x0F;
        if (packet_[0] != 0x47 || (lastCc_ >= 0 && cc != ((lastCc_ + 1) & 0x0F))) {
            torn_++;
        }
        lastCc_ = cc;
    }

    int fd_ = -1;
    State state_ = State::Idle;
    uint64_t header_ = 0;
    uint8_t packet_[kPacket] = {};
    int inPacket_ = 0;
    int lastCc_ = -1;
    uint64_t bytes_ = 0;
    uint64_t torn_ = 0;
};

// One job: connect every client (again after a refusal, until kConnectSeconds), read them all,
// answer 'R' once every client streams ('F' if that never happens), 'S' to mark the window's start,
// the Result on 'E'.
void runJob(const Job &job, int cmd, int reply)
{
    std::vector<Client> clients(kClients);
    std::vector<uint64_t> marks(kClients, 0);
    std::vector<uint8_t> buf(1 << 16);
    std::vector<pollfd> fds(kClients + 1);
    for (Client &c : clients) {
        c.start(job.port);
    }
    auto deadline = Clock::now() + std::chrono::duration<double>(kConnectSeconds);
    bool announced = false;
    for (;;) {
        fds[0] = {cmd, POLLIN, 0};
        for (int i = 0; i < kClients; i++) {
            fds[i + 1] = {clients[i].fd(), clients[i].events(), 0};
        }
        ::poll(fds.data(), fds.size(), 20);
        for (int i = 0; i < kClients; i++) {
            clients[i].ready(fds[i + 1].revents, job.path, buf.data(), buf.size());
            if (clients[i].failed() && !announced && Clock::now() < deadline) {
                clients[i].reset();
                clients[i].start(job.port);
            }
        }
        if (!announced) {
            bool all = std::all_of(clients.begin(), clients.end(), [](const Client &c) { return c.streaming(); });
            if (all || Clock::now() > deadline) {
                writeAll(reply, all ? "R" : "F", 1);
                announced = true;
            }
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        char c = 0;
        if (!readAll(cmd, &c, 1)) {
            _exit(1);
        }
        if (c == 'S') {
            for (int i = 0; i < kClients; i++) {
                marks[i] = clients[i].bytes();
            }
            writeAll(reply, "S", 1);
            continue;
        }
        Result r{};
        for (int i = 0; i < kClients; i++) {
            r.bytes[i] = clients[i].bytes() - marks[i];
            r.torn[i] = clients[i].torn();
            r.closed[i] = clients[i].closed() ? 1 : 0;
            clients[i].reset();
        }
        writeAll(reply, &r, sizeof r);
        return;
    }
}

struct ClientProcess {
    pid_t pid = -1;
    int cmd = -1;   // to the child
    int reply = -1; // from the child
};

// Forked before any thread of this process exists.
ClientProcess startClients()
{
    int down[2];
    int up[2];
    ClientProcess p;
    if (::pipe(down) != 0 || ::pipe(up) != 0) {
        return p;
    }
    p.pid = ::fork();
    if (p.pid == 0) {
        ::close(down[1]);
        ::close(up[0]);
        Job job{};
        while (readAll(down[0], &job, sizeof job) && job.port != 0) {
            runJob(job, down[0], up[1]);
        }
        _exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    p.cmd = down[1];
    p.reply = up[0];
    return p;
}

bool askClients(const ClientProcess &p, int port, const char *path)
{
    Job job{};
    job.port = port;
    std::snprintf(job.path, sizeof job.path, "%s", path);
    return writeAll(p.cmd, &job, sizeof job);
}

// 1 when the child answered `expect`, 0 when it answered something else, -1 when nothing came yet.
int clientsSaid(const ClientProcess &p, char expect, int timeoutMs)
{
    pollfd f{p.reply, POLLIN, 0};
    if (::poll(&f, 1, timeoutMs) <= 0) {
        return -1;
    }
    char c = 0;
    return readAll(p.reply, &c, 1) && c == expect ? 1 : 0;
}

bool markStart(const ClientProcess &p)
{
    return writeAll(p.cmd, "S", 1) && clientsSaid(p, 'S', 5000) == 1;
}

bool markEnd(const ClientProcess &p, Result &r)
{
    return writeAll(p.cmd, "E", 1) && readAll(p.reply, &r, sizeof r);
}

// --- Measurements ---

int freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

double selfCpu()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

// CPU time of another process in nanoseconds as the scheduler counts it (/proc/PID/schedstat):
// exact, where the clock ticks of /proc/PID/stat are 10 ms, as long as the peer's whole window.
double processCpu(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

struct Window {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
    uint64_t written = 0; // bytes appended in the window (ours) or due at the throttle (peer)
    uint64_t lapped = 0;
    uint64_t dropped = 0;
    bool fellBehind = false; // the feeder could not append at the rate asked
    Result r{};
};

// Our server, fed as the multiplexer stage feeds it: through its output's ts().
struct Ours {
    HttpTs_Handle server;
    int port;
};

// Appends frames on a fixed schedule at `bitRate`, through the output interface as the writer does. One
// source runs through every measurement, so that a client joining at a rate change sees no break.
class Feeder {
public:
    Feeder(const Ours &ours, TsSource &source, double bitRate)
        : ours_(ours),
          source_(source),
          period_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(kFrameBytes * 8.0 / bitRate))),
          due_(Clock::now())
    {
    }
    void step()
    {
        std::this_thread::sleep_until(due_);
        behind_ = std::max(behind_, Clock::now() - due_);
        const uint8_t *frame = source_.next();
        HttpTs_output(ours_.server)->ts(frame, kFrameBytes);
        due_ += period_;
    }
    // A pause in the schedule: what was appended goes out meanwhile.
    void drain()
    {
        std::this_thread::sleep_for(kDrain);
        due_ = Clock::now();
    }
    bool fellBehind() const { return behind_ > std::chrono::milliseconds(100); }

private:
    const Ours &ours_;
    TsSource &source_;
    Clock::duration period_;
    Clock::time_point due_;
    Clock::duration behind_{0};
};

// With `feeding` false, the clients are connected and the window sees no append: the cost of waiting.
Window measureOurs(const ClientProcess &cp, TsSource &source, const Ours &ours, double bitRate, double seconds,
                   bool feeding)
{
    Window w;
    Feeder feed(ours, source, bitRate);
    if (!askClients(cp, ours.port, "/")) {
        return w;
    }
    int said = -1;
    while (said < 0) {
        feed.step();
        said = clientsSaid(cp, 'R', 0);
    }
    feed.drain();
    HttpTsStats s0 = HttpTs_stats(ours.server);
    uint64_t total0 = HttpTs_total(ours.server);
    bool marked = said == 1 && markStart(cp);
    double cpu0 = selfCpu();
    auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::duration<double>(seconds)) {
        feeding ? feed.step() : std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    w.cpu = selfCpu() - cpu0;
    w.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    feed.drain();
    HttpTsStats s1 = HttpTs_stats(ours.server);
    w.written = HttpTs_total(ours.server) - total0;
    w.ok = markEnd(cp, w.r) && marked;
    w.lapped = s1.lapped - s0.lapped;
    w.dropped = s1.dropped - s0.dropped;
    w.fellBehind = feed.fellBehind();
    // The server's client threads leave at their next failed send; the next job starts without them.
    auto until = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    while (HttpTs_stats(ours.server).clients > 0 && Clock::now() < until) {
        feed.step();
    }
    return w;
}

pid_t startLighttpd(const std::string &dir, int port)
{
    std::string conf = dir + "/lighttpd.conf";
    std::ofstream(conf) << "server.modules = ( \"mod_staticfile\" )\n"
                        << "server.bind = \"127.0.0.1\"\n"
                        << "server.port = " << port << "\n"
                        << "server.document-root = \"" << dir << "\"\n"
                        << "server.errorlog = \"" << dir << "/lighttpd-error.log\"\n"
                        << "mimetype.assign = ( \".ts\" => \"video/mp2t\" )\n"
                        << "connection.kbytes-per-second = " << kPeerKiBPerSecond << "\n";
    std::vector<std::string> args = {"lighttpd", "-D", "-f", conf};
    std::vector<char *> av;
    for (std::string &a : args) {
        av.push_back(a.data());
    }
    av.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

bool writePeerFile(const std::string &path)
{
    std::ofstream out(path, std::ios::binary);
    TsSource source;
    for (int i = 0; i < static_cast<int>(kPeerFileSeconds * kFps); i++) {
        out.write(reinterpret_cast<const char *>(source.next()), kFrameBytes);
    }
    return static_cast<bool>(out);
}

Window measurePeer(const ClientProcess &cp, const std::string &dir, double seconds)
{
    Window w;
    if (!writePeerFile(dir + "/stream.ts")) {
        return w;
    }
    int port = freePort();
    pid_t pid = startLighttpd(dir, port);
    if (pid < 0 || !askClients(cp, port, "/stream.ts")) {
        return w;
    }
    int said = clientsSaid(cp, 'R', static_cast<int>(kConnectSeconds * 1000) + 5000);
    double cpu0 = processCpu(pid);
    auto t0 = Clock::now();
    bool marked = said == 1 && markStart(cp);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    w.cpu = processCpu(pid) - cpu0;
    w.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    w.ok = markEnd(cp, w.r) && marked;
    w.written = static_cast<uint64_t>(kPeerKiBPerSecond * 1024.0 * w.seconds);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return w;
}

// --- Report ---

struct Summary {
    double minRatio, medianRatio, maxRatio;
    uint64_t received, torn;
    int closed;
};

Summary summarize(const Window &w)
{
    std::vector<double> ratios;
    Summary s{};
    for (int i = 0; i < kClients; i++) {
        ratios.push_back(w.written > 0 ? static_cast<double>(w.r.bytes[i]) / static_cast<double>(w.written) : 0);
        s.received += w.r.bytes[i];
        s.torn += w.r.torn[i];
        s.closed += w.r.closed[i];
    }
    std::sort(ratios.begin(), ratios.end());
    s.minRatio = ratios.front();
    s.medianRatio = ratios[ratios.size() / 2];
    s.maxRatio = ratios.back();
    return s;
}

double cpuPerClient(const Window &w)
{
    return w.seconds > 0 ? w.cpu / kClients / w.seconds : 0;
}

double cpuPerGB(const Window &w, const Summary &s)
{
    return s.received > 0 ? w.cpu / (static_cast<double>(s.received) / 1e9) : 0;
}

void report(FILE *out, const char *name, const Window &w, const char *against)
{
    Summary s = summarize(w);
    std::fprintf(out, "  %s:%s\n", name, w.ok ? "" : " (INCOMPLETE: clients did not all stream)");
    std::fprintf(out, "    CPU %.2f s in %.2f s: %.3f%% of a core per client, %.2f CPU s per GB sent\n", w.cpu,
                 w.seconds, 100 * cpuPerClient(w), cpuPerGB(w, s));
    std::fprintf(out, "    received / %s per client: min %.4f, median %.4f, max %.4f (%.1f MB %s)\n", against,
                 s.minRatio, s.medianRatio, s.maxRatio, static_cast<double>(w.written) / 1e6, against);
    std::fprintf(out,
                 "    torn or out-of-order packets %llu (a lap's jump to the live edge is one), "
                 "closed by the server %d\n",
                 static_cast<unsigned long long>(s.torn), s.closed);
}

bool healthy(const Window &w)
{
    Summary s = summarize(w);
    return w.ok && w.lapped == 0 && w.dropped == 0 && s.closed == 0 && s.torn == 0 && s.minRatio >= kShortRatio;
}

void sweep(FILE *out, const ClientProcess &cp, TsSource &source, const Ours &ours)
{
    std::fprintf(out, "limit: ours fed faster, %.0f s per rate, until a client is lapped, dropped or short:\n",
                 kSweepSeconds);
    for (double rate = kSweepStartRate; rate <= kSweepMaxRate; rate *= 2) {
        Window w = measureOurs(cp, source, ours, rate, kSweepSeconds, true);
        Summary s = summarize(w);
        std::fprintf(out,
                     "  %5.0f Mbit/s in, %6.0f Mbit/s out: %.3f%% of a core per client, min ratio %.4f, lapped %llu, "
                     "dropped %llu, torn %llu%s\n",
                     rate / 1e6, static_cast<double>(s.received) * 8 / w.seconds / 1e6, 100 * cpuPerClient(w),
                     s.minRatio, static_cast<unsigned long long>(w.lapped), static_cast<unsigned long long>(w.dropped),
                     static_cast<unsigned long long>(s.torn), w.fellBehind ? " (feeder fell behind)" : "");
        if (!healthy(w) || w.fellBehind) {
            return;
        }
    }
}

void compare(FILE *out, const ClientProcess &cp, TsSource &source, const Ours &us, const std::string &dir)
{
    std::fprintf(out, "%d clients on loopback, %.0f s, %.0f Mbit/s of TS in %d-byte frames (%d a second)\n",
                 kClients, kRunSeconds, kBitRate / 1e6, kFrameBytes, kFps);
    Window ours = measureOurs(cp, source, us, kBitRate, kRunSeconds, true);
    report(out, "ours (HTTP TS ring, appends through the TS output)", ours, "written");
    std::fprintf(out, "    lapped %llu, dropped %llu -> %s\n", static_cast<unsigned long long>(ours.lapped),
                 static_cast<unsigned long long>(ours.dropped),
                 healthy(ours) ? "every client got the stream" : "FAILED");
    Window idle = measureOurs(cp, source, us, kBitRate, kIdleSeconds, false);
    std::fprintf(out, "    the same %d clients connected, nothing appended for %.0f s: %.3f%% of a core per client\n",
                 kClients, kIdleSeconds, 100 * cpuPerClient(idle));
    Window peer = measurePeer(cp, dir, kRunSeconds);
    report(out, "lighttpd (static TS file, sendfile, throttled to the same rate per connection)", peer,
           "due at the throttle");
    double a = cpuPerClient(ours);
    double b = cpuPerClient(peer);
    std::fprintf(out, "  ratio ours/lighttpd: %.2fx CPU per client, %.2fx CPU per byte\n", b > 0 ? a / b : 0,
                 cpuPerGB(peer, summarize(peer)) > 0 ? cpuPerGB(ours, summarize(ours)) / cpuPerGB(peer, summarize(peer))
                                                     : 0);
}

} // namespace

int main()
{
    ::signal(SIGPIPE, SIG_IGN);
    ClientProcess cp = startClients();
    if (cp.pid <= 0) {
        std::fprintf(stderr, "cannot start the client process\n");
        return 1;
    }
    char tmpl[] = "/tmp/http-ts-bench-XXXXXX";
    const char *dir = ::mkdtemp(tmpl);
    // The server reports every client on standard output; the bench's own lines go to a copy of it.
    FILE *out = ::fdopen(::dup(1), "w");
    int null = ::open("/dev/null", O_WRONLY);
    if (dir == nullptr || out == nullptr || null < 0 || ::dup2(null, 1) < 0) {
        std::fprintf(stderr, "cannot set up\n");
        return 1;
    }
    std::setvbuf(out, nullptr, _IOLBF, 0);
    HttpTsServerConfig config{freePort(), INADDR_LOOPBACK, HTTP_TS_REQUEST_TIMEOUT_MS};
    Ours ours{HttpTs_create(&config), config.port};
    if (ours.server == nullptr) {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }
    TsSource source;
    compare(out, cp, source, ours, dir);
    sweep(out, cp, source, ours);
    auto stopStart = Clock::now();
    HttpTs_delete(ours.server);
    bool stopped = Clock::now() - stopStart < std::chrono::milliseconds(kStopTimeoutMs);
    askClients(cp, 0, "");
    ::waitpid(cp.pid, nullptr, 0);
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    if (!stopped) {
        std::fprintf(out, "the server's threads did not all end within %d ms\n", kStopTimeoutMs);
    }
    return stopped ? 0 : 1;
}
