// TCP stream slots. A set is one table's slots with a server thread each; it is owned by the thread
// that started it (writer or audio), which alone sends, drops clients and stops the set. A server
// thread touches only its own slot and the set's stop signal, and is joined before the set is freed.
#include "encode/output/stream_slots.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/media/wait.h"
#include "encode/output/net.h"
#include "encode/output/stream_tag.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr StreamSlotEntry kVideoMain[] = {
    {8888, "aTcpThread1Fxn", "close socket1"}, {8887, "aTcpThread2Fxn", "close socket2"},
    {8886, "aTcpThread3Fxn", "close socket3"}, {8885, "aTcpThread4Fxn", "close socket4"},
    {8884, "aTcpThread5Fxn", "close socket5"},
};
constexpr StreamSlotEntry kVideoSecond[] = {
    {7777, "aTcpThreadfmlFxn", "close socketfml"},
};

// The audio slots print the same names as the video ones: a client tells them apart by the port.
constexpr StreamSlotEntry kAudio[] = {
    {9999, "aTcpThread1Fxn", "close socket1"}, {9998, "aTcpThread2Fxn", "close socket2"},
    {9997, "aTcpThread3Fxn", "close socket3"}, {9996, "aTcpThread4Fxn", "close socket4"},
    {9995, "aTcpThread5Fxn", "close socket5"},
};

constexpr int kListenBacklog = 5;
// A freed slot listens again on its thread's next tick.
constexpr int kTickMs = 500;
// How long a wait for a client lasts before the thread looks at the stop signal again.
constexpr int kAcceptPollMs = 100;

} // namespace

struct StreamSlot {
    StreamSlots_Object *set = nullptr;
    const StreamSlotEntry *entry = nullptr;
    int port = 0;
    std::atomic<int> connected{0};
    // Written by the server thread before `connected` rises; the owner's from then until it lowers it.
    int client = -1;
    int listener = -1; // server thread only
    // Owner thread only. What the kernel did not take of a unit the client began (produced at
    // `pendingTime`): sent before anything else, so that the client's stream stays whole. Units that
    // come meanwhile are skipped.
    std::vector<uint8_t> pending;
    size_t pendingSent = 0;
    LagClock::time_point pendingTime{};
    // How far behind live the client is; set up by the server thread before it hands the client over.
    ClientLag lag;
    // Server thread only: the failure text printed last, so that a port that stays taken is reported
    // once and not every half second.
    const char *lastFailure = nullptr;
    pthread_t thread{};
    bool started = false;
    // What the status says of the slot: bumped by the owner, read by the status thread.
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> skippedUnits{0};
    std::atomic<uint64_t> drops{0};
};

static void reportSlot(const StreamSlot &slot, nlohmann::json &out);

struct StreamSlots_Object : Output {
    const StreamSlotTable *table = nullptr;
    bool tagged = false;
    uint32_t bindAddress = INADDR_ANY; // host byte order
    StreamSlots_SocketFunction socket = ::socket;
    std::unique_ptr<StreamSlot[]> slots;
    MediaStop ending; // ends the server threads' waits
    StreamRate rate; // the owner's stream, for the clients' send buffers
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> skipped{0};

    void video(const OutputUnit &u) override { StreamSlots_send(this, u.data, u.bytes, u.time); }
    void audio(const OutputUnit &u) override { StreamSlots_send(this, u.data, u.bytes, u.time); }
    int reports() const override { return table->count; }
    void report(int index, nlohmann::json &out) const override { reportSlot(slots[index], out); }
    void stop() override { StreamSlots_stop(this); }
};

static void reportSlot(const StreamSlot &slot, nlohmann::json &out)
{
    out["kind"] = "tcp";
    out["name"] = "TCP " + std::to_string(slot.entry->fixedPort);
    out["target"] = ":" + std::to_string(slot.port);
    out["state"] = slot.connected.load(std::memory_order_relaxed) != 0 ? "ok" : "waiting";
    out["bytes"] = slot.sent.load(std::memory_order_relaxed);
    out["dropped"] = slot.skippedUnits.load(std::memory_order_relaxed);
    out["clients_dropped"] = slot.drops.load(std::memory_order_relaxed);
    out["error"] = "";
    out["error_time"] = 0;
}

namespace {

// Reports a failure of the server body once per run of the same failure.
void reportOnce(StreamSlot &slot, const char *text)
{
    if (slot.lastFailure != text) {
        Console_say("%s", text);
        slot.lastFailure = text;
    }
}

// A listening socket on the slot's port, or -1 once the failure is reported.
int openListener(StreamSlot &slot)
{
    int fd = -1;
    int r = Net_listen(slot.set->bindAddress, slot.port, kListenBacklog, &fd, slot.set->socket);
    // A listen that fails after the bind means another listener took the port in between: the same
    // trouble as a bind that fails, and the same retry.
    if (r != Net_EOK) {
        reportOnce(slot, r == Net_ESOCKET ? "ERROR opening socket" : "ERROR on binding");
        return -1;
    }
    slot.lastFailure = nullptr;
    return fd;
}

// The client a listener has ready, -1 on a real accept failure (reported), -2 when there is none yet.
// What an accept gave besides a client's socket.
constexpr int kNoClientYet = -2;  // the client left before it was taken: keep waiting
constexpr int kListenerFailed = -1; // reported: the listener is made again

int takeClient(int listener)
{
    int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    // A client that was reset while it waited in the backlog (a storm of connects and resets) would
    // hold the slot until its first send fails and the next tick: skip it at once.
    if (c >= 0 && peerAtAccept(c) == PeerAtAccept::Gone) {
        ::close(c);
        return kNoClientYet;
    }
    if (c < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            return kNoClientYet;
        }
        std::fprintf(stderr, "ERROR on accept: %s\n", std::strerror(errno));
        return kListenerFailed;
    }
    return c;
}

// Waits for one client (looking at the stop signal between short polls) and hands it to the owner.
// The listener stays open while the client is served, so that a second client waits in the backlog
// and is taken on the first tick after the slot is freed, from the unit then being sent.
void listenForClient(StreamSlot &slot)
{
    if (slot.listener < 0) {
        slot.listener = openListener(slot);
        if (slot.listener < 0) {
            return;
        }
    }
    while (!MediaStop_raised(&slot.set->ending)) {
        pollfd p{slot.listener, POLLIN, 0};
        int ready = ::poll(&p, 1, kAcceptPollMs);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        int client = ready < 0 ? kListenerFailed : takeClient(slot.listener);
        if (client == kNoClientYet) {
            continue;
        }
        if (client < 0) {
            if (ready < 0) {
                std::fprintf(stderr, "ERROR on accept: %s\n", std::strerror(errno));
            }
            ::close(slot.listener);
            slot.listener = -1;
            return;
        }
        slot.client = client;
        slot.lag.start(client, LagClock::now(), slot.set->rate.bytesPerSecond());
        slot.connected.store(1, std::memory_order_release);
        return;
    }
}

void *serveSlot(void *arg)
{
    StreamSlot &slot = *static_cast<StreamSlot *>(arg);
    StreamSlots_Object &set = *slot.set;
    while (!MediaStop_raised(&set.ending)) {
        if (slot.connected.load(std::memory_order_acquire) == 0) {
            if (slot.lastFailure == nullptr) {
                Console_say("%s\n", slot.entry->threadName);
            }
            listenForClient(slot);
        }
        Media_waitMs(&set.ending, kTickMs);
    }
    if (slot.listener >= 0) {
        ::close(slot.listener);
    }
    return nullptr;
}

// The slot's client is gone for good: reset rather than a graceful close, since what it got of the
// last unit is torn anyway and a stalled peer would otherwise keep the connection lingering.
void dropClient(StreamSlot &slot)
{
    Console_say("%s\n", slot.entry->closeLine);
    Net_closeAbortively(slot.client);
    slot.client = -1;
    slot.pending.clear();
    slot.pendingSent = 0;
    slot.connected.store(0, std::memory_order_release);
}

// A client that took nothing for the stall limit: its own line (once, at the drop), then the slot's.
void dropStalled(StreamSlots_Object &set, StreamSlot &slot)
{
    uint64_t n = set.dropped.fetch_add(1) + 1;
    slot.drops.fetch_add(1, std::memory_order_relaxed);
    Console_say("port %d: the client took nothing for %d ms, dropped (%llu so far)\n", slot.port,
                STREAM_SLOT_SEND_TIMEOUT_MS, static_cast<unsigned long long>(n));
    dropClient(slot);
}

// Whole: all of it went; Begun: the kernel took part, the rest is pending; Skipped: none of it went.
enum class Progress { Whole, Begun, Skipped, Failed };

Progress sendFailure()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Progress::Skipped : Progress::Failed;
}

// The rest of a unit the client began, as far as the kernel takes it now: Whole once none is left.
Progress flushPending(StreamSlot &slot)
{
    while (slot.pendingSent < slot.pending.size()) {
        ssize_t n = ::send(slot.client, slot.pending.data() + slot.pendingSent, slot.pending.size() - slot.pendingSent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            Progress p = sendFailure();
            return p == Progress::Skipped ? Progress::Begun : p;
        }
        slot.pendingSent += static_cast<size_t>(n);
        slot.lag.wrote(static_cast<uint64_t>(n), slot.pendingTime);
        slot.sent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    slot.pending.clear();
    slot.pendingSent = 0;
    return Progress::Whole;
}

// One unit without waiting: whole, skipped whole (the client's buffers are full), or begun, with the
// remainder kept for the next turn.
Progress sendUnit(StreamSlot &slot, const msghdr &msg, LagClock::time_point now)
{
    size_t total = 0;
    for (size_t k = 0; k < msg.msg_iovlen; k++) {
        total += msg.msg_iov[k].iov_len;
    }
    ssize_t n = ::sendmsg(slot.client, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        return sendFailure();
    }
    slot.lag.wrote(static_cast<uint64_t>(n), now);
    slot.sent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    if (static_cast<size_t>(n) == total) {
        return Progress::Whole;
    }
    // Rare: the client fell behind inside this unit. Its rest is copied once, so that the caller's
    // buffer can go back to the encoder.
    slot.pending.clear();
    size_t skip = static_cast<size_t>(n);
    for (size_t k = 0; k < msg.msg_iovlen; k++) {
        const auto *base = static_cast<const uint8_t *>(msg.msg_iov[k].iov_base);
        size_t len = msg.msg_iov[k].iov_len;
        size_t from = std::min(skip, len);
        slot.pending.insert(slot.pending.end(), base + from, base + len);
        skip -= from;
    }
    slot.pendingSent = 0;
    slot.pendingTime = now;
    return Progress::Begun;
}

// This unit for one client: the rest of one it began comes first; then this one, unless the client
// is too far behind live, in which case it misses the unit whole (reported at its first miss).
Progress serveClient(StreamSlots_Object &set, StreamSlot &slot, const msghdr &msg, LagClock::time_point now)
{
    Progress p = flushPending(slot);
    if (p == Progress::Whole) {
        p = slot.lag.behind(now) ? Progress::Skipped : sendUnit(slot, msg, now);
    } else if (p == Progress::Begun) {
        p = Progress::Skipped;
    }
    if (p == Progress::Skipped) {
        set.skipped.fetch_add(1, std::memory_order_relaxed);
        slot.skippedUnits.fetch_add(1, std::memory_order_relaxed);
        if (slot.lag.skipped(now)) {
            Console_say("port %d: the client is behind live, it skips whole units while it is\n", slot.port);
        }
    }
    return p;
}

// Server threads only wait for clients: they run with ordinary scheduling even when their owner (the
// audio thread) is a real-time thread whose policy they would otherwise inherit.
class OrdinaryThread {
public:
    OrdinaryThread()
    {
        pthread_attr_init(&attr_);
        pthread_attr_setinheritsched(&attr_, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attr_, SCHED_OTHER);
        sched_param none{};
        pthread_attr_setschedparam(&attr_, &none);
    }
    ~OrdinaryThread() { pthread_attr_destroy(&attr_); }
    OrdinaryThread(const OrdinaryThread &) = delete;
    OrdinaryThread &operator=(const OrdinaryThread &) = delete;
    const pthread_attr_t *get() const { return &attr_; }

private:
    pthread_attr_t attr_;
};

} // namespace

const StreamSlotTable StreamSlots_videoMain = {kVideoMain, static_cast<int>(std::size(kVideoMain)),
                                                "aTcpThread1 creater error"};
const StreamSlotTable StreamSlots_videoSecond = {kVideoSecond, static_cast<int>(std::size(kVideoSecond)),
                                                  "aTcpThreadfml creater error"};
const StreamSlotTable StreamSlots_audio = {kAudio, static_cast<int>(std::size(kAudio)), "aTcpThread1 creater error"};

StreamSlots_Handle StreamSlots_start(const StreamSlotTable *table, bool tagged, const StreamSlots_Seams *seams)
{
    if (table == nullptr || table->count <= 0) {
        return nullptr;
    }
    std::unique_ptr<StreamSlots_Object> set(new (std::nothrow) StreamSlots_Object);
    if (set != nullptr) {
        set->slots.reset(new (std::nothrow) StreamSlot[table->count]);
    }
    if (set == nullptr || set->slots == nullptr) {
        Console_say("%s\n", table->startError);
        return nullptr;
    }
    set->table = table;
    set->tagged = tagged;
    set->bindAddress = Path_bindAddress();
    if (seams != nullptr && seams->socket != nullptr) {
        set->socket = seams->socket;
    }
    StreamSlots_ThreadFunction create = seams != nullptr && seams->thread != nullptr ? seams->thread : ::pthread_create;
    OrdinaryThread attrs;
    for (int i = 0; i < table->count; i++) {
        StreamSlot &slot = set->slots[i];
        slot.set = set.get();
        slot.entry = &table->slots[i];
        slot.port = Path_port(slot.entry->fixedPort);
        if (create(&slot.thread, attrs.get(), serveSlot, &slot) != 0) {
            Console_say("%s\n", table->startError);
            StreamSlots_stop(set.release());
            return nullptr;
        }
        slot.started = true;
    }
    return set.release();
}

int StreamSlots_send(StreamSlots_Handle h, const uint8_t *unit, int bytes, FrameTime time)
{
    if (h == nullptr || unit == nullptr || bytes <= 0) {
        return 0;
    }
    // Tag and unit leave in one call, straight from the caller's buffer.
    uint8_t tag[STREAM_TAG_BYTES];
    StreamTag_encode(tag, time, static_cast<uint32_t>(bytes));
    iovec parts[2] = {{tag, sizeof tag}, {const_cast<uint8_t *>(unit), static_cast<size_t>(bytes)}};
    msghdr msg{};
    msg.msg_iov = h->tagged ? parts : parts + 1;
    msg.msg_iovlen = h->tagged ? 2 : 1;

    int whole = 0;
    auto now = LagClock::now();
    h->rate.add(h->tagged ? sizeof tag + static_cast<size_t>(bytes) : static_cast<size_t>(bytes), now);
    for (int i = 0; i < h->table->count; i++) {
        StreamSlot &slot = h->slots[i];
        if (slot.connected.load(std::memory_order_acquire) == 0) {
            continue;
        }
        slot.lag.observe(now);
        if (slot.lag.stalled(now)) {
            dropStalled(*h, slot);
            continue;
        }
        slot.lag.fitSendBuffer(h->rate.bytesPerSecond());
        Progress p = serveClient(*h, slot, msg, now);
        if (p == Progress::Failed) {
            dropClient(slot);
        } else if (p == Progress::Whole) {
            whole++;
        }
    }
    return whole;
}

Output *StreamSlots_output(StreamSlots_Handle h)
{
    return h;
}

StreamSlotsStats StreamSlots_stats(StreamSlots_Handle h)
{
    if (h == nullptr) {
        return {0, 0};
    }
    return {h->dropped.load(), h->skipped.load(std::memory_order_relaxed)};
}

bool StreamSlots_connected(StreamSlots_Handle h, int index)
{
    if (h == nullptr || index < 0 || index >= h->table->count) {
        return false;
    }
    return h->slots[index].connected.load(std::memory_order_acquire) != 0;
}

void StreamSlots_stop(StreamSlots_Handle h)
{
    if (h == nullptr) {
        return;
    }
    MediaStop_raise(&h->ending);
    for (int i = 0; i < h->table->count; i++) {
        StreamSlot &slot = h->slots[i];
        if (slot.started) {
            ::pthread_join(slot.thread, nullptr);
        }
        // Joined: a client the thread handed over after the owner's last send is closed here too.
        if (slot.connected.load(std::memory_order_acquire) != 0) {
            ::close(slot.client);
        }
    }
    delete h;
}
