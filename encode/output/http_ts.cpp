// Owns a server's HTTP TS ring, its server thread and its client threads; deleting the server stops
// and joins every one of them before anything is freed.
//
// The ring is written by whichever thread holds the TS output's lock and read by every client thread
// at once, without a lock: the writer must never wait for a reader. It is kept as 64-bit words that
// both sides access as relaxed atomics, and the writer announces each append before it starts
// (`claimed`) and publishes it when done (`total`), seqlock fashion. A client copies its 2048-byte
// step into its own buffer, then looks at `claimed` again: if the writer has meanwhile started to
// overwrite any of those bytes, the copy is thrown away. So a client sends either bytes of the stream
// in their order or nothing, and no access is a data race.
//
// Positions are absolute 64-bit byte counts (never wrapping in practice); the ring offset is the count
// modulo the ring size. Every append is whole TS packets, so a count that is a multiple of 188 is a
// packet boundary: that is where new and lapped clients start.
//
// Each append also marks when its bytes came (at most every 10 ms, in a table that reaches back
// further than any client may lag), before it publishes them: a client maps what its socket still
// holds to those times to know how far behind live it is.
#include "encode/output/http_ts.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/status_board.h"
#include "encode/media/media.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kRingBytes = HTTP_TS_RING_BYTES;
constexpr uint64_t kWordBytes = sizeof(uint64_t);
constexpr uint64_t kRingWords = kRingBytes / kWordBytes;
static_assert(kRingBytes % kWordBytes == 0, "the ring wraps on a word boundary");
constexpr uint64_t kStep = HTTP_TS_STEP_BYTES;
constexpr uint64_t kPacketBytes = 188;
// Where a client starts: the whole packets that cover one step, so that its first step can go out at
// once and begins on a sync byte.
constexpr uint64_t kStartBehind = (kStep + kPacketBytes - 1) / kPacketBytes * kPacketBytes;
constexpr int kBacklog = 20;
// A client thread with nothing to send sleeps until the next append, looking at the stop signal at
// least this often.
constexpr int kIdleWaitMs = 100;
// Whole steps copied out of the ring and handed to the kernel in one call when the client is behind.
constexpr uint64_t kStepsPerSend = 16;
constexpr int kAcceptPauseUs = 100000;
// Append times are marked at most this often: a client's lag is known to this precision, and the
// table's marks reach back at least 5 s.
constexpr auto kMarkSpacing = std::chrono::milliseconds(10);

const char kOkHeader[] =
    "HTTP/1.0 200 OK\r\nContent-type: application/octet-stream\r\nCache-control: no-cache\r\n\r\n";
const char *const kNotImplemented[] = {
    "HTTP/1.0 501 Not Implemented\r\n",
    "Content-type: text/plain\r\n",
    "\r\n",
    "The command is not yet completed\r\n",
};

// A client thread and its socket. The socket is closed by the thread itself, under the server's
// threads mutex, so that a stop never shuts down a number the system has handed out again.
struct ClientThread {
    std::thread thread;
    int fd = -1;       // -1 once closed
    bool done = false; // the thread touches nothing of the server any more: it can be joined
};

} // namespace

struct HttpTs_Object {
    HttpTsServerConfig config{};

    std::unique_ptr<std::atomic<uint64_t>[]> ring;
    std::atomic<uint64_t> ringTotal{0};   // bytes published
    std::atomic<uint64_t> ringClaimed{0}; // bytes an append has started to write

    // When the ring's bytes were appended and the rate they come at: written by the appending thread,
    // read by client threads.
    LagMarks appendMarks;
    StreamRate appendRate;
    LagClock::time_point lastAppendMark{}; // appender only
    // Appends so far (wrapping), the word idle client threads sleep on, and how many of them do.
    std::atomic<int> appendSeq{0};
    std::atomic<int> idleClients{0};

    std::atomic<bool> stopping{false};
    std::atomic<bool> serverRunning{false};
    std::atomic<bool> listenFailed{false};
    std::atomic<int> listeningPort{0}; // 0 while the server does not listen
    std::atomic<int> clientsNow{0};
    std::atomic<uint64_t> droppedClients{0};
    std::atomic<uint64_t> sentBytes{0}; // to every client, for the status
    std::atomic<uint64_t> lappedEvents{0};
    std::atomic<uint64_t> behindEvents{0};
    int statusId = 0;

    std::mutex threadsMutex;
    // Guarded by threadsMutex: the listening socket (so that a stop can wake the accept) and the
    // client threads with their sockets.
    int listenFd = -1;
    std::list<ClientThread> clients;

    std::thread server;
};

namespace {

using Server = HttpTs_Object;

void sleepUs(long us)
{
    timespec t{us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// A sleep that a stop cuts short.
void napMs(const Server &s, int ms)
{
    for (int slept = 0; slept < ms && !s.stopping.load(); slept += 10) {
        sleepUs(10000);
    }
}

// --- The ring ---

// Bytes into the words at ring offset `pos` (pos + n stays within the ring). Only the appending
// thread stores, so a partly covered word can be read, merged and stored back.
void storeSpan(Server &s, uint64_t pos, const uint8_t *src, uint64_t n)
{
    while (n > 0) {
        uint64_t w = pos / kWordBytes;
        uint64_t off = pos % kWordBytes;
        uint64_t take = std::min(kWordBytes - off, n);
        uint64_t v = take == kWordBytes ? 0 : s.ring[w].load(std::memory_order_relaxed);
        std::memcpy(reinterpret_cast<uint8_t *>(&v) + off, src, take);
        s.ring[w].store(v, std::memory_order_relaxed);
        pos += take;
        src += take;
        n -= take;
    }
}

void loadSpan(const Server &s, uint64_t pos, uint8_t *dst, uint64_t n)
{
    while (n > 0) {
        uint64_t w = pos / kWordBytes;
        uint64_t off = pos % kWordBytes;
        uint64_t take = std::min(kWordBytes - off, n);
        uint64_t v = s.ring[w].load(std::memory_order_relaxed);
        std::memcpy(dst, reinterpret_cast<const uint8_t *>(&v) + off, take);
        pos += take;
        dst += take;
        n -= take;
    }
}

// Copies the step at absolute position `from`. False when the writer had started to overwrite any of
// it before the copy was complete: the copy may then mix two laps and must not be sent.
bool copyStep(const Server &s, uint64_t from, uint8_t *out)
{
    uint64_t pos = from % kRingBytes;
    uint64_t first = std::min(kStep, kRingBytes - pos);
    loadSpan(s, pos, out, first);
    if (first < kStep) {
        loadSpan(s, 0, out + first, kStep - first);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    return s.ringClaimed.load(std::memory_order_relaxed) <= from + kRingBytes;
}

uint64_t liveStart(uint64_t total)
{
    return total > kStartBehind ? total - kStartBehind : 0;
}

// --- Client threads ---

enum class Sent { All, Failed, TimedOut };

// Sends every byte, or gives up: a peer gone (error) or one that took no `len` bytes within the send
// timeout (a client that stalls must not hold its thread and its socket for ever).
Sent sendAll(int fd, const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    auto deadline = Clock::now() + std::chrono::milliseconds(HTTP_TS_SEND_TIMEOUT_MS);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Sent::TimedOut;
        }
        if (n < 1) {
            return Sent::Failed;
        }
        p += n;
        len -= static_cast<size_t>(n);
        if (len > 0 && Clock::now() >= deadline) {
            return Sent::TimedOut;
        }
    }
    return Sent::All;
}

void setTimeout(int fd, int option, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// The request: GET gets the stream's header, any other two-word request the 501 lines; the stream
// follows in every case.
void answerRequest(int fd, const char *request)
{
    char method[100] = "";
    char path[100] = "";
    int words = std::sscanf(request, "%99s %99s", method, path);
    if (words >= 1 && std::strcmp(method, "GET") == 0) {
        if (sendAll(fd, kOkHeader, sizeof kOkHeader - 1) != Sent::All) {
            Console_say("Sending error\n");
        }
    } else if (words == 2) {
        for (const char *line : kNotImplemented) {
            if (sendAll(fd, line, std::strlen(line)) != Sent::All) {
                Console_say("Sending failed!\n");
                break;
            }
        }
    }
}

void waitForAppend(Server &s, int seen)
{
    s.idleClients.fetch_add(1);
    timespec limit{0, kIdleWaitMs * 1000000L};
    ::syscall(SYS_futex, reinterpret_cast<int *>(&s.appendSeq), FUTEX_WAIT_PRIVATE, seen, &limit, nullptr, 0);
    s.idleClients.fetch_sub(1);
}

void wakeIdleClients(Server &s)
{
    s.appendSeq.fetch_add(1, std::memory_order_release);
    if (s.idleClients.load() > 0) {
        ::syscall(SYS_futex, reinterpret_cast<int *>(&s.appendSeq), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    }
}

// Until the socket has room again, looking at the stop signal at least as often as an idle client.
void waitWritable(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, kIdleWaitMs);
}

// When the ring byte at `pos` was appended; now when that cannot be told.
LagClock::time_point appendedAt(const Server &s, uint64_t pos)
{
    LagClock::time_point t;
    // Read again once when the appender overwrote the marks being read.
    if (s.appendMarks.timeAt(pos, &t) || s.appendMarks.timeAt(pos, &t)) {
        return t;
    }
    return LagClock::now();
}

// What a client thread copied out of the ring (or stuffing) and the kernel has not all taken yet:
// whole steps, each with the time its first byte was appended.
struct Outbox {
    uint8_t bytes[kStep * kStepsPerSend];
    LagClock::time_point times[kStepsPerSend];
    uint64_t length = 0;
    uint64_t sent = 0;
};

struct Client {
    explicit Client(Server &server, int socket) : s(server), fd(socket) {}
    Server &s;
    int fd;
    uint64_t next = 0; // the ring position after the last byte copied out
    ClientLag lag;
    Outbox box;
    bool reportedBehind = false;
};

enum class Push { Done, Full, Gone };

// What the outbox still holds, as far as the kernel takes it now.
Push pushOutbox(Client &c)
{
    Outbox &b = c.box;
    ssize_t n = ::send(c.fd, b.bytes + b.sent, b.length - b.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EINTR) {
            return Push::Done;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? Push::Full : Push::Gone;
    }
    c.s.sentBytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    for (auto left = static_cast<uint64_t>(n); left > 0;) {
        uint64_t step = b.sent / kStep;
        uint64_t take = std::min(left, (step + 1) * kStep - b.sent);
        c.lag.wrote(take, b.times[step]);
        b.sent += take;
        left -= take;
    }
    return b.sent < b.length ? Push::Full : Push::Done;
}

// The client's next bytes are overwritten (`lapped`) or older than the skip limit: it goes on from a
// packet boundary at the live edge. What it was sent ends inside a packet, so that packet is
// completed with stuffing bytes (the client's stream stays on 188-byte boundaries and a demuxer needs
// no resync); they carry the time of what was skipped, so the client counts as behind until it took
// them.
void moveToLiveEdge(Client &c, bool lapped)
{
    // Never back: an append longer than the ring may have overwritten the client's bytes before it
    // publishes its end.
    uint64_t to = std::max(c.next, liveStart(c.s.ringTotal.load(std::memory_order_acquire)));
    LagClock::time_point skipped = appendedAt(c.s, c.next);
    if (lapped) {
        c.s.lappedEvents.fetch_add(1);
        Console_say("http client %d lapped: %llu bytes were overwritten before they could be sent, moved to the live edge\n",
            c.fd, static_cast<unsigned long long>(to - c.next));
    } else {
        c.s.behindEvents.fetch_add(1);
        if (!c.reportedBehind) {
            Console_say("http client %d more than %d ms behind live, moved to the live edge (and again while it is)\n",
                c.fd, CLIENT_LAG_SKIP_MS);
            c.reportedBehind = true;
        }
    }
    c.lag.skipped(skipped);
    uint64_t torn = c.next % kPacketBytes;
    c.next = to;
    c.box.sent = 0;
    c.box.length = torn == 0 ? 0 : kPacketBytes - torn;
    std::memset(c.box.bytes, 0xFF, c.box.length);
    c.box.times[0] = skipped;
}

// Whole steps from the client's position on that are there and still intact, up to the batch, into
// its empty outbox; 0 when the first is already overwritten. The batch ends before a step that would
// reach a slow client too late behind those before it: the outbox is a queue the socket does not
// count.
uint64_t copySteps(Client &c, uint64_t total, LagClock::time_point now)
{
    uint64_t steps = 0;
    while (steps < kStepsPerSend && total - (c.next + steps * kStep) > kStep) {
        LagClock::time_point appended = appendedAt(c.s, c.next + steps * kStep);
        if ((steps > 0 && c.lag.late(appended, now, steps * kStep)) ||
            !copyStep(c.s, c.next + steps * kStep, c.box.bytes + steps * kStep)) {
            break;
        }
        c.box.times[steps] = appended;
        steps++;
    }
    c.box.sent = 0;
    c.box.length = steps * kStep;
    c.next += steps * kStep;
    return steps;
}

// Fills the client's empty outbox: the next steps, or stuffing on a move to the live edge. False when
// there is nothing new to send.
bool fillOutbox(Client &c, LagClock::time_point now)
{
    uint64_t total = c.s.ringTotal.load(std::memory_order_acquire);
    if (total - c.next <= kStep) {
        return false;
    }
    // Old bytes are skipped only when newer ones are there: a stream that paused goes on where it was.
    bool lapped = total - c.next > kRingBytes;
    if (lapped || (liveStart(total) > c.next && c.lag.late(appendedAt(c.s, c.next), now))) {
        moveToLiveEdge(c, lapped);
    } else if (copySteps(c, total, now) == 0) {
        moveToLiveEdge(c, true);
    }
    return true;
}

void reportDropped(Server &s, int fd)
{
    uint64_t n = s.droppedClients.fetch_add(1) + 1;
    Console_say("http client %d dropped: it took nothing for %d ms (%llu dropped so far)\n", fd, HTTP_TS_SEND_TIMEOUT_MS,
        static_cast<unsigned long long>(n));
    // Reset rather than closed gracefully: a stalled peer would keep the connection and its queue.
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// Streams the ring until the client goes, is dropped or the server stops. The socket is never waited
// on for longer than an idle wait, so the client's lag is looked at on every turn.
void streamRing(Server &s, int fd)
{
    Client c(s, fd);
    c.next = liveStart(s.ringTotal.load(std::memory_order_acquire));
    c.lag.start(fd, LagClock::now(), s.appendRate.bytesPerSecond());
    Console_say("start send\n");
    while (!s.stopping.load(std::memory_order_relaxed)) {
        int seen = s.appendSeq.load(std::memory_order_acquire);
        auto now = LagClock::now();
        c.lag.observe(now);
        if (c.lag.stalled(now)) {
            reportDropped(s, fd);
            break;
        }
        c.lag.fitSendBuffer(s.appendRate.bytesPerSecond());
        if (c.box.sent < c.box.length) {
            Push p = pushOutbox(c);
            if (p == Push::Gone) {
                break;
            }
            if (p == Push::Full) {
                waitWritable(fd);
            }
            continue;
        }
        // Nothing new for a client that still holds old bytes: the ring moves on meanwhile.
        if (c.lag.behind(now) || !fillOutbox(c, now)) {
            waitForAppend(s, seen);
        }
    }
    Console_say("exit send.....\n");
}

// The client's socket closed and forgotten, under the mutex a stop shuts sockets down with.
void closeClient(Server &s, ClientThread &t)
{
    ScopedLock lock(s.threadsMutex);
    ::close(t.fd);
    t.fd = -1;
}

void serveClient(Server &s, ClientThread &t, int fd)
{
    setTimeout(fd, SO_SNDTIMEO, HTTP_TS_SEND_TIMEOUT_MS);
    setTimeout(fd, SO_RCVTIMEO, s.config.requestTimeoutMs);
    char request[100];
    ssize_t n;
    do {
        n = ::recv(fd, request, sizeof request - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        napMs(s, 1000);
        closeClient(s, t);
        Console_say("error exit,,,,,,,,\n");
        return;
    }
    request[n] = '\0';
    answerRequest(fd, request);
    Console_say("client from %d(socket num)\n", fd);
    streamRing(s, fd);
    Console_say("exit tcp thread\n");
    closeClient(s, t);
}

void clientMain(Server *s, ClientThread *t, int fd)
{
    s->clientsNow.fetch_add(1);
    serveClient(*s, *t, fd);
    s->clientsNow.fetch_sub(1);
    ScopedLock lock(s->threadsMutex);
    t->done = true;
}

// Client threads that have ended are joined before the next one starts, so that a server that runs
// for months does not gather them.
void reapClients(Server &s)
{
    std::list<ClientThread> ended;
    {
        ScopedLock lock(s.threadsMutex);
        for (auto it = s.clients.begin(); it != s.clients.end();) {
            auto next = std::next(it);
            if (it->done) {
                ended.splice(ended.end(), s.clients, it);
            }
            it = next;
        }
    }
    for (ClientThread &t : ended) {
        t.thread.join();
    }
}

// The socket number travels by value in the thread's argument: each client has its own copy
// whatever the server accepts next.
void startClient(Server &s, int fd)
{
    reapClients(s);
    ScopedLock lock(s.threadsMutex);
    ClientThread &t = s.clients.emplace_back();
    t.fd = fd;
    try {
        t.thread = std::thread(clientMain, &s, &t, fd);
    } catch (const std::system_error &e) {
        s.clients.pop_back();
        Console_say("http client %d refused: no thread for it (error %d)\n", fd, e.code().value());
        ::close(fd);
    }
}

// Every socket of the server shut down: the accept and each client's receive or send return at once.
void shutDownSockets(Server &s)
{
    ScopedLock lock(s.threadsMutex);
    if (s.listenFd >= 0) {
        ::shutdown(s.listenFd, SHUT_RDWR);
    }
    for (const ClientThread &t : s.clients) {
        if (t.fd >= 0) {
            ::shutdown(t.fd, SHUT_RDWR);
        }
    }
}

// --- Server thread ---

// The listening socket, or -1 after printing what failed.
int openListener(const HttpTsServerConfig &config)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        Console_say("ERROR opening socket\n");
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(config.address);
    sa.sin_port = htons(static_cast<uint16_t>(config.port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        Console_say("bind error!\n");
        ::close(fd);
        return -1;
    }
    if (::listen(fd, kBacklog) != 0) {
        Console_say("listen error!\n");
        ::close(fd);
        return -1;
    }
    return fd;
}

void acceptLoop(Server &s, int fd)
{
    bool failing = false;
    while (!s.stopping.load()) {
        Console_say("wait tcp client\n");
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int client = ::accept4(fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (s.stopping.load()) {
            if (client >= 0) {
                ::close(client);
            }
            break;
        }
        if (client < 0) {
            // Out of descriptors or a connection reset before it was taken: reported once per run,
            // and the pause below keeps it from spinning.
            if (!failing && errno != EINTR && errno != ECONNABORTED) {
                Console_say("http accept error, errno = %d\n", errno);
                failing = true;
            }
            sleepUs(kAcceptPauseUs);
            continue;
        }
        failing = false;
        char addr[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        Console_say("user_socket.sin_addr=%s\n", addr);
        Console_say("acc_socket=%d\n", client);
        Console_say("http connect\n");
        // A peer that has already hung up (one of a crowd that came and went) costs no pause, so a
        // backlog full of them drains at once and a real player waiting behind is taken. One that
        // only stopped sending is served as before: its request may be all it meant to send.
        PeerAtAccept peerState = peerAtAccept(client);
        if (peerState == PeerAtAccept::Gone) {
            ::close(client);
            continue;
        }
        startClient(s, client);
        if (peerState == PeerAtAccept::Live) {
            sleepUs(kAcceptPauseUs);
        }
    }
}

void report(const void *ctx, nlohmann::json &out)
{
    const auto &s = *static_cast<const Server *>(ctx);
    int port = s.listeningPort.load();
    int clients = s.clientsNow.load();
    bool failed = s.listenFailed.load();
    out["kind"] = "http";
    out["name"] = "HTTP TS";
    out["target"] = port > 0 ? ":" + std::to_string(port) : "";
    out["state"] = failed ? "error" : port == 0 ? "off" : clients > 0 ? "ok" : "waiting";
    out["clients"] = clients;
    out["bytes"] = s.sentBytes.load(std::memory_order_relaxed);
    out["dropped"] = s.droppedClients.load() + s.lappedEvents.load();
    out["error"] = failed ? "Server exception!" : "";
    out["error_time"] = 0;
}

void serve(Server &s)
{
    Console_say("My web server started...\n");
    napMs(s, 1000);
    // A server deleted before it listened must not take the port, nor fail on it and ask for a reboot.
    if (s.stopping.load()) {
        return;
    }
    int fd = openListener(s.config);
    if (fd < 0) {
        Console_say("Server exception!\n");
        s.listenFailed.store(true);
        Shell_run("reboot");
        return;
    }
    s.listeningPort.store(s.config.port);
    {
        ScopedLock lock(s.threadsMutex);
        s.listenFd = fd;
    }
    // A stop that came before the socket was published could not wake the accept; it is seen here.
    if (!s.stopping.load()) {
        acceptLoop(s, fd);
    }
    {
        ScopedLock lock(s.threadsMutex);
        s.listenFd = -1;
    }
    ::close(fd);
}

void serverMain(Server *s)
{
    serve(*s);
    s->listeningPort.store(0);
    s->serverRunning.store(false);
}

} // namespace

HttpTsServerConfig HttpTs_defaultConfig()
{
    return {Path_port(HTTP_TS_PORT), Path_bindAddress(), HTTP_TS_REQUEST_TIMEOUT_MS};
}

HttpTs_Handle HttpTs_create(const HttpTsServerConfig *config)
{
    std::unique_ptr<Server> s(new (std::nothrow) Server);
    if (s == nullptr) {
        return nullptr;
    }
    s->config = config != nullptr ? *config : HttpTs_defaultConfig();
    if (s->config.requestTimeoutMs <= 0) {
        s->config.requestTimeoutMs = HTTP_TS_REQUEST_TIMEOUT_MS;
    }
    s->ring.reset(new (std::nothrow) std::atomic<uint64_t>[kRingWords]());
    if (s->ring == nullptr) {
        return nullptr;
    }
    s->serverRunning.store(true);
    s->statusId = StatusBoard_add(StatusSection::Output, report, s.get());
    try {
        s->server = std::thread(serverMain, s.get());
    } catch (const std::system_error &) {
        StatusBoard_remove(s->statusId);
        return nullptr;
    }
    return s.release();
}

void HttpTs_delete(HttpTs_Handle s)
{
    if (s == nullptr) {
        return;
    }
    s->stopping.store(true);
    shutDownSockets(*s);
    wakeIdleClients(*s);
    s->server.join();
    // Clients accepted while the stop came were not there to be shut down.
    shutDownSockets(*s);
    std::list<ClientThread> clients;
    {
        ScopedLock lock(s->threadsMutex);
        clients.swap(s->clients);
    }
    for (ClientThread &t : clients) {
        t.thread.join();
    }
    StatusBoard_remove(s->statusId);
    delete s;
}

void HttpTs_append(HttpTs_Handle s, const uint8_t *data, int bytes)
{
    MEDIA_ASSERT(s != nullptr);
    if (data == nullptr || bytes <= 0) {
        return;
    }
    uint64_t n = static_cast<uint64_t>(bytes);
    uint64_t end = s->ringTotal.load(std::memory_order_relaxed) + n;
    if (n > kRingBytes) {
        // Only the last lap of an append this long can still be read.
        data += n - kRingBytes;
        n = kRingBytes;
    }
    uint64_t start = end - n;
    auto now = LagClock::now();
    if (now - s->lastAppendMark >= kMarkSpacing) {
        s->appendMarks.add(start, now);
        s->lastAppendMark = now;
    }
    s->appendRate.add(n, now);
    s->ringClaimed.store(end, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    uint64_t pos = start % kRingBytes;
    uint64_t first = std::min(n, kRingBytes - pos);
    storeSpan(*s, pos, data, first);
    if (first < n) {
        storeSpan(*s, 0, data + first, n - first);
    }
    s->ringTotal.store(end, std::memory_order_release);
    wakeIdleClients(*s);
}

uint64_t HttpTs_total(HttpTs_Handle s)
{
    MEDIA_ASSERT(s != nullptr);
    return s->ringTotal.load(std::memory_order_acquire);
}

HttpTsStats HttpTs_stats(HttpTs_Handle s)
{
    MEDIA_ASSERT(s != nullptr);
    return {s->serverRunning.load(), s->clientsNow.load(), s->droppedClients.load(), s->lappedEvents.load(),
            s->behindEvents.load()};
}
