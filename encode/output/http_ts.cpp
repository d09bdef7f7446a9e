// Owns the HTTP TS ring, the server thread and the client threads.
//
// The ring is written by whichever thread holds the output semaphore and read by every client thread
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
#include "encode/output/http_ts.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/stage_thread.h"
#include "encode/output/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
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
#include <mutex>
#include <new>

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

const char kOkHeader[] =
    "HTTP/1.0 200 OK\r\nContent-type: application/octet-stream\r\nCache-control: no-cache\r\n\r\n";
const char *const kNotImplemented[] = {
    "HTTP/1.0 501 Not Implemented\r\n",
    "Content-type: text/plain\r\n",
    "\r\n",
    "The command is not yet completed\r\n",
};

std::atomic<uint64_t> ring[kRingWords];
std::atomic<uint64_t> ringTotal{0};   // bytes published
std::atomic<uint64_t> ringClaimed{0}; // bytes an append has started to write

std::atomic<bool> serverRunning{false};
std::atomic<bool> stopping{false};
std::atomic<int> threadsAlive{0}; // the server and its clients, for HttpTs_stop
std::atomic<int> clientsNow{0};
std::atomic<uint64_t> droppedClients{0};
std::atomic<uint64_t> lappedEvents{0};
std::atomic<int> requestTimeoutMs{HTTP_TS_REQUEST_TIMEOUT_MS};

// The listening socket, so that a stop can wake the accept; the mutex keeps the stop from shutting
// down a descriptor number the server has already closed and the system handed out again.
std::mutex listenMutex;
int listenFd = -1;


void sleepUs(long us)
{
    timespec t{us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// A sleep that a stop cuts short.
void napMs(int ms)
{
    for (int slept = 0; slept < ms && !stopping.load(); slept += 10) {
        sleepUs(10000);
    }
}

// --- The ring ---

// Bytes into the words at ring offset `pos` (pos + n stays within the ring). Only the appending
// thread stores, so a partly covered word can be read, merged and stored back.
void storeSpan(uint64_t pos, const uint8_t *src, uint64_t n)
{
    while (n > 0) {
        uint64_t w = pos / kWordBytes;
        uint64_t off = pos % kWordBytes;
        uint64_t take = std::min(kWordBytes - off, n);
        uint64_t v = take == kWordBytes ? 0 : ring[w].load(std::memory_order_relaxed);
        std::memcpy(reinterpret_cast<uint8_t *>(&v) + off, src, take);
        ring[w].store(v, std::memory_order_relaxed);
        pos += take;
        src += take;
        n -= take;
    }
}

void loadSpan(uint64_t pos, uint8_t *dst, uint64_t n)
{
    while (n > 0) {
        uint64_t w = pos / kWordBytes;
        uint64_t off = pos % kWordBytes;
        uint64_t take = std::min(kWordBytes - off, n);
        uint64_t v = ring[w].load(std::memory_order_relaxed);
        std::memcpy(dst, reinterpret_cast<const uint8_t *>(&v) + off, take);
        pos += take;
        dst += take;
        n -= take;
    }
}

// Copies the step at absolute position `from`. False when the writer had started to overwrite any of
// it before the copy was complete: the copy may then mix two laps and must not be sent.
bool copyStep(uint64_t from, uint8_t *out)
{
    uint64_t pos = from % kRingBytes;
    uint64_t first = std::min(kStep, kRingBytes - pos);
    loadSpan(pos, out, first);
    if (first < kStep) {
        loadSpan(0, out + first, kStep - first);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    return ringClaimed.load(std::memory_order_relaxed) <= from + kRingBytes;
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

// False when the client is to go: gone, or stalled past the send timeout (counted and reported).
bool sendToClient(int fd, const uint8_t *data, size_t len)
{
    Sent s = sendAll(fd, data, len);
    if (s == Sent::TimedOut) {
        uint64_t n = droppedClients.fetch_add(1) + 1;
        Console_say("http client %d dropped: it took nothing for %d ms (%llu dropped so far)\n", fd, HTTP_TS_SEND_TIMEOUT_MS,
            static_cast<unsigned long long>(n));
    }
    return s == Sent::All;
}

// The client's position is a whole ring behind: its next bytes are gone. What it was sent ends inside
// a packet, so that packet is completed with stuffing bytes (the client's stream stays on 188-byte
// boundaries and a demuxer needs no resync), and it goes on from a packet boundary at the live edge.
bool skipToLiveEdge(int fd, uint64_t &next)
{
    uint64_t to = liveStart(ringTotal.load(std::memory_order_acquire));
    lappedEvents.fetch_add(1);
    Console_say("http client %d lapped: %llu bytes were overwritten before they could be sent, moved to the live edge\n",
        fd, static_cast<unsigned long long>(to - next));
    uint64_t torn = next % kPacketBytes;
    next = to;
    if (torn == 0) {
        return true;
    }
    uint8_t stuffing[kPacketBytes];
    std::memset(stuffing, 0xFF, sizeof stuffing);
    return sendToClient(fd, stuffing, kPacketBytes - torn);
}

// Appends so far (wrapping), the word idle client threads sleep on, and how many of them do.
std::atomic<int> appendSeq{0};
std::atomic<int> idleClients{0};

void waitForAppend(int seen)
{
    idleClients.fetch_add(1);
    timespec limit{0, kIdleWaitMs * 1000000L};
    ::syscall(SYS_futex, reinterpret_cast<int *>(&appendSeq), FUTEX_WAIT_PRIVATE, seen, &limit, nullptr, 0);
    idleClients.fetch_sub(1);
}

void wakeIdleClients()
{
    appendSeq.fetch_add(1, std::memory_order_release);
    if (idleClients.load() > 0) {
        ::syscall(SYS_futex, reinterpret_cast<int *>(&appendSeq), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    }
}

// Whole steps from `next` on that are there and still intact, up to the batch; 0 when the first is
// already overwritten.
uint64_t copySteps(uint64_t next, uint64_t total, uint8_t *batch)
{
    uint64_t steps = 0;
    while (steps < kStepsPerSend && total - (next + steps * kStep) > kStep &&
           copyStep(next + steps * kStep, batch + steps * kStep)) {
        steps++;
    }
    return steps;
}

void streamRing(int fd)
{
    uint8_t batch[kStep * kStepsPerSend];
    uint64_t next = liveStart(ringTotal.load(std::memory_order_acquire));
    Console_say("start send\n");
    while (!stopping.load(std::memory_order_relaxed)) {
        int seen = appendSeq.load(std::memory_order_acquire);
        uint64_t total = ringTotal.load(std::memory_order_acquire);
        if (total - next <= kStep) {
            waitForAppend(seen);
            continue;
        }
        uint64_t steps = total - next > kRingBytes ? 0 : copySteps(next, total, batch);
        if (steps == 0) {
            if (!skipToLiveEdge(fd, next)) {
                break;
            }
            continue;
        }
        if (!sendToClient(fd, batch, steps * kStep)) {
            break;
        }
        next += steps * kStep;
    }
    Console_say("exit send.....\n");
}

void serveClient(int fd)
{
    setTimeout(fd, SO_SNDTIMEO, HTTP_TS_SEND_TIMEOUT_MS);
    setTimeout(fd, SO_RCVTIMEO, requestTimeoutMs.load());
    char request[100];
    ssize_t n;
    do {
        n = ::recv(fd, request, sizeof request - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        sleepUs(1000000);
        ::close(fd);
        Console_say("error exit,,,,,,,,\n");
        return;
    }
    request[n] = '\0';
    answerRequest(fd, request);
    Console_say("client from %d(socket num)\n", fd);
    streamRing(fd);
    Console_say("exit tcp thread\n");
    ::close(fd);
}

void *clientThread(void *arg)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    clientsNow.fetch_add(1);
    serveClient(fd);
    clientsNow.fetch_sub(1);
    threadsAlive.fetch_sub(1);
    return nullptr;
}

// The socket number travels by value in the thread's argument: each client has its own copy
// whatever the server accepts next.
void startClient(int fd)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    threadsAlive.fetch_add(1);
    pthread_t thread;
    int r = pthread_create(&thread, &attr, clientThread, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    pthread_attr_destroy(&attr);
    if (r != 0) {
        threadsAlive.fetch_sub(1);
        Console_say("http client %d refused: no thread for it (error %d)\n", fd, r);
        ::close(fd);
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

void acceptLoop(int fd)
{
    bool failing = false;
    while (!stopping.load()) {
        Console_say("wait tcp client\n");
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int client = ::accept4(fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (stopping.load()) {
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
        startClient(client);
        sleepUs(kAcceptPauseUs);
    }
}

void serve(const HttpTsServerConfig &config)
{
    Console_say("My web server started...\n");
    napMs(1000);
    int fd = openListener(config);
    if (fd < 0) {
        Console_say("Server exception!\n");
        Shell_run("reboot");
        return;
    }
    {
        ScopedLock lock(listenMutex);
        listenFd = fd;
    }
    // A stop that came before the socket was published could not wake the accept; it is seen here.
    if (!stopping.load()) {
        acceptLoop(fd);
    }
    {
        ScopedLock lock(listenMutex);
        listenFd = -1;
    }
    ::close(fd);
}

void *startedServer(void *arg)
{
    auto *config = static_cast<HttpTsServerConfig *>(arg);
    HttpTsServerConfig copy = *config;
    delete config;
    return httpTsThrFxn(&copy);
}

} // namespace

HttpTsServerConfig HttpTs_defaultConfig()
{
    return {Path_port(HTTP_TS_PORT), Path_bindAddress(), HTTP_TS_REQUEST_TIMEOUT_MS};
}

void HttpTs_append(const uint8_t *data, int bytes)
{
    if (data == nullptr || bytes <= 0) {
        return;
    }
    uint64_t n = static_cast<uint64_t>(bytes);
    uint64_t end = ringTotal.load(std::memory_order_relaxed) + n;
    if (n > kRingBytes) {
        // Only the last lap of an append this long can still be read.
        data += n - kRingBytes;
        n = kRingBytes;
    }
    uint64_t start = end - n;
    ringClaimed.store(end, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    uint64_t pos = start % kRingBytes;
    uint64_t first = std::min(n, kRingBytes - pos);
    storeSpan(pos, data, first);
    if (first < n) {
        storeSpan(0, data + first, n - first);
    }
    ringTotal.store(end, std::memory_order_release);
    wakeIdleClients();
}

uint64_t HttpTs_total()
{
    return ringTotal.load(std::memory_order_acquire);
}

HttpTsStats HttpTs_stats()
{
    return {serverRunning.load(), clientsNow.load(), droppedClients.load(), lappedEvents.load()};
}

void *httpTsThrFxn(void *arg)
{
    HttpTsServerConfig config = arg != nullptr ? *static_cast<const HttpTsServerConfig *>(arg) : HttpTs_defaultConfig();
    bool idle = false;
    if (!serverRunning.compare_exchange_strong(idle, true)) {
        Console_say("http ts server already running\n");
        return THREAD_FAILURE;
    }
    threadsAlive.fetch_add(1);
    requestTimeoutMs.store(config.requestTimeoutMs > 0 ? config.requestTimeoutMs : HTTP_TS_REQUEST_TIMEOUT_MS);
    TsOut_setHttpSink(HttpTs_append);
    serve(config);
    serverRunning.store(false);
    threadsAlive.fetch_sub(1);
    return THREAD_SUCCESS;
}

int HttpTs_start(const HttpTsServerConfig *config)
{
    auto *copy = new (std::nothrow) HttpTsServerConfig(config != nullptr ? *config : HttpTs_defaultConfig());
    if (copy == nullptr) {
        return -1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int r = pthread_create(&thread, &attr, startedServer, copy);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete copy;
        return -1;
    }
    return 0;
}

bool HttpTs_stop(int timeoutMs)
{
    stopping.store(true);
    {
        ScopedLock lock(listenMutex);
        if (listenFd >= 0) {
            ::shutdown(listenFd, SHUT_RDWR);
        }
    }
    TsOut_setHttpSink(nullptr);
    wakeIdleClients();
    auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (threadsAlive.load() > 0 && Clock::now() < until) {
        sleepUs(5000);
    }
    bool ended = threadsAlive.load() == 0;
    if (ended) {
        stopping.store(false);
    }
    return ended;
}

bool HttpTs_reset()
{
    if (serverRunning.load() || threadsAlive.load() > 0) {
        return false;
    }
    for (auto &w : ring) {
        w.store(0, std::memory_order_relaxed);
    }
    ringClaimed.store(0);
    ringTotal.store(0);
    droppedClients.store(0);
    lappedEvents.store(0);
    return true;
}
