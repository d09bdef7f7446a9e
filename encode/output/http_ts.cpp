// Owns a server's HTTP TS ring, its server thread and its client threads; deleting the server stops
// and joins every one of them before anything is freed.
//
// The ring is written by whichever thread holds the multiplexer stage's lock and read by every client thread
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
#include "encode/output/http_ts_internal.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/media/media.h"
#include "encode/media/wait.h"
#include "encode/output/net.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

using namespace http_ts;
using ScopedLock = std::lock_guard<std::mutex>;
using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 20;
constexpr int kAcceptPauseMs = 100;
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

} // namespace

namespace {

using Server = HttpTs_Object;

bool stopping(const Server &s)
{
    return HttpTs_stopping(s);
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

void wakeIdleClients(Server &s)
{
    s.appendSeq.fetch_add(1, std::memory_order_release);
    if (s.idleClients.load() > 0) {
        ::syscall(SYS_futex, reinterpret_cast<int *>(&s.appendSeq), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    }
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
        Media_waitMs(&s.ending, 1000);
        closeClient(s, t);
        Console_say("error exit,,,,,,,,\n");
        return;
    }
    request[n] = '\0';
    answerRequest(fd, request);
    Console_say("client from %d(socket num)\n", fd);
    HttpTs_streamRing(s, fd);
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
    static const char *const kFailures[] = {"", "ERROR opening socket\n", "bind error!\n", "listen error!\n"};
    int fd = -1;
    int r = Net_listen(config.address, config.port, kBacklog, &fd);
    if (r != Net_EOK) {
        Console_say("%s", kFailures[-r]);
    }
    return fd;
}

void acceptLoop(Server &s, int fd)
{
    bool failing = false;
    while (!stopping(s)) {
        Console_say("wait tcp client\n");
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int client = ::accept4(fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (stopping(s)) {
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
            Media_waitMs(&s.ending, kAcceptPauseMs);
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
            Media_waitMs(&s.ending, kAcceptPauseMs);
        }
    }
}


void serve(Server &s)
{
    Console_say("My web server started...\n");
    Media_waitMs(&s.ending, 1000);
    // A server deleted before it listened must not take the port, nor fail on it and ask for a reboot.
    if (stopping(s)) {
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
    if (!stopping(s)) {
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

void HttpTs_Object::report(int, nlohmann::json &out) const
{
    const Server &s = *this;
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
    try {
        s->server = std::thread(serverMain, s.get());
    } catch (const std::system_error &) {
        return nullptr;
    }
    return s.release();
}

void HttpTs_delete(HttpTs_Handle s)
{
    if (s == nullptr) {
        return;
    }
    MediaStop_raise(&s->ending);
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

Output *HttpTs_output(HttpTs_Handle s)
{
    return s;
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
