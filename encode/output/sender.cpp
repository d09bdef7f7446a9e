// The sender worker. The queue has its own lock, held by a producer for its copy and by the worker to
// take or give back the oldest unit, never across a send. The worker thread owns the link's calls and
// the back-off; the state, the counters and the send deadline the others read are atomics. A stop is
// one MediaStop: it ends the back-off's wait, the watchdog's ticks, and (with the queue closed) the
// waits for units.
#include "encode/output/sender.h"

#include "encode/core/console.h"
#include "encode/media/wait.h"

#include <nlohmann/json.hpp>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <system_error>
#include <thread>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr int64_t kFastRetryMs = 1000;
constexpr int64_t kFastOutageMs = 10000; // an outage is retried every second this long
constexpr int64_t kFirstSlowRetryMs = 2000;
constexpr int64_t kLongestRetryMs = 30000;
constexpr double kJitter = 0.2;
constexpr int kWatchTickMs = 50;

enum class Taken { Unit, Idle, Closed };

struct QueuedUnit {
    int offset;
    int bytes;
    SenderKind kind;
    FrameTime time;
    bool key;
};

// Copies of the units put in, in one ring of bytes made at create, so that a unit costs its copy and
// nothing else. A unit lies whole in the ring (one that does not fit before the ring's end starts
// again at its beginning); the worker reads the oldest in place and gives its room back once it has
// been sent.
class Queue {
public:
    bool make(int bytes, int units)
    {
        bytes_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]);
        units_.reset(new (std::nothrow) QueuedUnit[static_cast<size_t>(units)]);
        capacity_ = bytes_ != nullptr ? bytes : 0;
        unitCapacity_ = units_ != nullptr ? units : 0;
        return capacity_ > 0 && unitCapacity_ > 0;
    }

    // Producers. The drop rule lives here, under the same lock as the room it judges.
    int put(const SenderUnit &u, bool up)
    {
        ScopedLock lock(lock_);
        if (!up || closed_) {
            // A new link starts at a key unit anyway; a loss is said on its own.
            inRun_ = false;
            videoWaits_ = false;
            return Sender_ENOTUP;
        }
        if (u.kind == SenderKind::Video && videoWaits_ && !u.key) {
            runDrops_++;
            return Sender_EWAITKEY;
        }
        int at = count_ < unitCapacity_ ? room(u.bytes) : -1;
        if (at < 0) {
            inRun_ = true;
            runDrops_++;
            videoWaits_ = videoWaits_ || u.kind == SenderKind::Video;
            return Sender_EFULL;
        }
        std::memcpy(bytes_.get() + at, u.data, static_cast<size_t>(u.bytes));
        units_[(first_ + count_) % unitCapacity_] = {at, u.bytes, u.kind, u.time, u.key};
        count_++;
        tail_ = at + u.bytes;
        videoWaits_ = videoWaits_ && u.kind != SenderKind::Video;
        // A run ends once nothing waits any more: video back at a key unit, or only other units lost.
        inRun_ = inRun_ && videoWaits_;
        changed_.notify_all();
        return Sender_EOK;
    }

    // Worker: the oldest unit, left in place until release().
    Taken take(SenderUnit *unit, int waitMs)
    {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return count_ > 0 || closed_; });
        if (closed_) {
            return Taken::Closed; // what the flush left goes no further
        }
        if (count_ == 0) {
            return Taken::Idle;
        }
        *unit = unitAt(first_);
        return Taken::Unit;
    }
    void release()
    {
        ScopedLock lock(lock_);
        first_ = (first_ + 1) % unitCapacity_;
        count_--;
        changed_.notify_all();
    }
    // Worker: every unit thrown away (the link was lost under them). How many.
    int clear()
    {
        ScopedLock lock(lock_);
        int n = count_;
        count_ = 0;
        changed_.notify_all();
        return n;
    }
    // Worker, holding the oldest unit: the first unit of `kind` behind it, once there is one.
    bool awaitBehind(SenderKind kind, int waitMs, SenderUnit *unit)
    {
        std::unique_lock<std::mutex> lock(lock_);
        int at = -1;
        changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
            at = firstBehind(kind);
            return at >= 0 || closed_;
        });
        if (at < 0 || closed_) {
            return false;
        }
        *unit = unitAt(at);
        return true;
    }
    // Worker: the units of a run of drops once it has ended (0 while none has).
    uint64_t endedRun()
    {
        ScopedLock lock(lock_);
        uint64_t n = inRun_ ? 0 : runDrops_;
        runDrops_ = inRun_ ? runDrops_ : 0;
        return n;
    }
    bool waitEmpty(int ms)
    {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return count_ == 0 || closed_; }) &&
               count_ == 0;
    }
    // Every wait returns, and nothing more is taken out.
    void close()
    {
        ScopedLock lock(lock_);
        closed_ = true;
        changed_.notify_all();
    }
    int count()
    {
        ScopedLock lock(lock_);
        return count_;
    }

private:
    SenderUnit unitAt(int k) const
    {
        const QueuedUnit &q = units_[k];
        return {q.kind, bytes_.get() + q.offset, q.bytes, q.time, q.key};
    }
    int firstBehind(SenderKind kind) const
    {
        for (int i = 1; i < count_; i++) {
            int k = (first_ + i) % unitCapacity_;
            if (units_[k].kind == kind) {
                return k;
            }
        }
        return -1;
    }
    // Where `n` bytes can be written, or -1.
    int room(int n) const
    {
        if (n > capacity_) {
            return -1;
        }
        if (count_ == 0) {
            return 0;
        }
        int head = units_[first_].offset;
        if (head < tail_) { // in use: [head, tail)
            if (capacity_ - tail_ >= n) {
                return tail_;
            }
            return head >= n ? 0 : -1;
        }
        return head - tail_ >= n ? tail_ : -1; // in use: [head, end) and [0, tail)
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::unique_ptr<uint8_t[]> bytes_; // guarded by lock_ from here on
    std::unique_ptr<QueuedUnit[]> units_;
    int capacity_ = 0;
    int unitCapacity_ = 0;
    int tail_ = 0;
    int first_ = 0;
    int count_ = 0;
    bool closed_ = false;
    bool videoWaits_ = false; // a video unit was dropped: only a key unit is taken
    bool inRun_ = false;      // units are being dropped for lack of room
    uint64_t runDrops_ = 0;   // units of the current run, or of the ended one not yet printed
};

// The pauses between tries of one outage.
class Backoff {
public:
    explicit Backoff(uint64_t seed) : random_(static_cast<std::minstd_rand::result_type>(seed | 1)) {}
    void reset() { outageStartMs_ = -1; }
    // The pause before the next try, the outage having lasted until `nowMs`.
    int64_t next(int64_t nowMs)
    {
        if (outageStartMs_ < 0) {
            outageStartMs_ = nowMs;
            slowMs_ = kFirstSlowRetryMs;
        }
        int64_t pause = kFastRetryMs;
        if (nowMs - outageStartMs_ >= kFastOutageMs) {
            pause = slowMs_;
            slowMs_ = std::min(slowMs_ * 2, kLongestRetryMs);
        }
        std::uniform_real_distribution<double> spread(1.0 - kJitter, 1.0 + kJitter);
        return std::min(static_cast<int64_t>(static_cast<double>(pause) * spread(random_)), kLongestRetryMs);
    }

private:
    std::minstd_rand random_;
    int64_t outageStartMs_ = -1;
    int64_t slowMs_ = kFirstSlowRetryMs;
};

int64_t nowMs()
{
    return Media_monotonicNs() / 1000000;
}

} // namespace

struct Sender_Object {
    SenderConfig config{};
    SenderLink *link = nullptr;
    Queue queue;
    Backoff backoff{0};
    MediaStop stop;
    MediaStop watchStop; // raised once the worker has ended: its last disconnect is watched too

    std::atomic<SenderState> state{SenderState::Connecting};
    std::atomic<bool> up{false};
    std::atomic<int64_t> retryAtMs{0};
    std::atomic<int64_t> sendDeadlineMs{0}; // of the running send, 0 when none
    std::atomic<int> longestSendMs{0};
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> reconnects{0};

    std::thread worker;
    std::thread watchdog;
};

namespace {

using Sender = Sender_Object;

void sayDrops(Sender &s)
{
    if (uint64_t n = s.queue.endedRun()) {
        char line[160];
        std::snprintf(line, sizeof line, s.config.dropLine, static_cast<unsigned long long>(n));
        Console_say("%s%s", s.config.tag, line);
    }
}

// One unit through the link, timed and watched.
int sendOne(Sender &s, const SenderUnit &u)
{
    s.link->prepare(u);
    int64_t start = nowMs();
    if (s.config.sendBoundMs > 0) {
        s.sendDeadlineMs.store(start + s.config.sendBoundMs);
    }
    int r = s.link->send(u);
    s.sendDeadlineMs.store(0);
    int took = static_cast<int>(nowMs() - start);
    if (took > s.longestSendMs.load(std::memory_order_relaxed)) {
        s.longestSendMs.store(took, std::memory_order_relaxed);
    }
    if (r == Sender_EOK) {
        s.sent.fetch_add(1, std::memory_order_relaxed);
    } else if (r == Sender_EREFUSED) {
        s.refused.fetch_add(1, std::memory_order_relaxed);
    } else if (r == Sender_ELOST) {
        s.dropped.fetch_add(1, std::memory_order_relaxed);
    }
    return r;
}

// While the link is up: units in their order, the link tended between them. Returns when the link
// is lost (false) or the queue is closed with nothing left in it (true: the stop).
bool serve(Sender &s)
{
    int64_t tended = nowMs();
    for (;;) {
        SenderUnit u{};
        Taken t = s.queue.take(&u, s.config.tickMs);
        if (t == Taken::Closed) {
            return true;
        }
        int r = t == Taken::Unit ? sendOne(s, u) : Sender_EOK;
        // Said before the unit is given back: once the queue is empty, every run it saw end is said.
        sayDrops(s);
        if (t == Taken::Unit) {
            s.queue.release();
        }
        if (r != Sender_ELOST && nowMs() - tended >= s.config.tickMs) {
            tended = nowMs();
            r = s.link->tend();
        }
        if (r == Sender_ELOST) {
            return false;
        }
    }
}

// Waits out the back-off; false when the stop came first.
bool pause(Sender &s)
{
    int64_t at = nowMs() + s.backoff.next(nowMs());
    s.retryAtMs.store(at);
    s.state.store(SenderState::Waiting);
    bool waited = Media_waitUntil(&s.stop, at * 1000000);
    s.state.store(SenderState::Connecting);
    return waited;
}

void run(Sender &s)
{
    pthread_setname_np(pthread_self(), s.config.threadName);
    bool everUp = false;
    // The first try is made even when a stop came at once: what the link says of its settings (an
    // address missing) is said once in every run.
    for (;;) {
        s.state.store(SenderState::Connecting);
        int r = s.link->connect(&s.stop);
        if (r == Sender_EFATAL) {
            s.state.store(SenderState::Off);
            break;
        }
        if (r != Sender_EOK) {
            if (MediaStop_raised(&s.stop) || !pause(s)) {
                break;
            }
            continue;
        }
        s.backoff.reset();
        int64_t upAt = nowMs();
        if (everUp) {
            s.reconnects.fetch_add(1, std::memory_order_relaxed);
        }
        everUp = true;
        s.up.store(true);
        s.state.store(SenderState::Up);
        bool stopping = serve(s);
        s.up.store(false);
        s.state.store(SenderState::Connecting);
        // What was queued for the lost connection is of no use to the next one.
        s.dropped.fetch_add(static_cast<uint64_t>(s.queue.clear()), std::memory_order_relaxed);
        s.link->disconnect(stopping);
        if (stopping || MediaStop_raised(&s.stop)) {
            break;
        }
        // A link that was up a while is made again at once; one that keeps failing as soon as it is
        // made (a server that takes the connection and drops it) waits like a failed try.
        if (nowMs() - upAt < kFastRetryMs && !pause(s)) {
            break;
        }
    }
    s.up.store(false);
}

// A send past its bound has its socket shut down, which ends it at once.
void watch(Sender &s)
{
    pthread_setname_np(pthread_self(), "sender watch");
    while (Media_waitMs(&s.watchStop, kWatchTickMs)) {
        int64_t deadline = s.sendDeadlineMs.load();
        if (deadline != 0 && nowMs() > deadline) {
            s.link->abort();
        }
    }
}

Sender_Handle create(const SenderConfig *config, SenderLink *link)
{
    std::unique_ptr<Sender> s(new (std::nothrow) Sender);
    if (s == nullptr || !s->queue.make(config->queueBytes, config->queueUnits)) {
        std::fprintf(stderr, "Error: Failed to allocate the %s queue\n", config->threadName);
        return nullptr;
    }
    s->config = *config;
    s->link = link;
    s->backoff = Backoff(static_cast<uint64_t>(Media_monotonicNs()) ^ reinterpret_cast<uintptr_t>(s.get()));
    try {
        s->worker = std::thread(run, std::ref(*s));
        if (config->sendBoundMs > 0) {
            s->watchdog = std::thread(watch, std::ref(*s));
        }
    } catch (const std::system_error &) {
        std::fprintf(stderr, "Error: Failed to create the %s thread\n", config->threadName);
        Sender_destroy(s.release());
        return nullptr;
    }
    return s.release();
}

} // namespace

Sender_Handle Sender_create(const SenderConfig *config, SenderLink *link)
{
    if (config == nullptr || link == nullptr) {
        return nullptr;
    }
    try {
        return create(config, link);
    } catch (...) {
        std::fprintf(stderr, "Error: Failed to create the %s thread\n", config->threadName);
        return nullptr;
    }
}

void Sender_destroy(Sender_Handle h)
{
    if (h == nullptr) {
        return;
    }
    if (h->up.load()) {
        h->queue.waitEmpty(h->config.flushMs);
    }
    MediaStop_raise(&h->stop);
    h->queue.close();
    // A link being made is cut short; one that is up ends in order on the worker, within its bound.
    if (!h->up.load()) {
        h->link->abort();
    }
    if (h->worker.joinable()) {
        h->worker.join();
    }
    MediaStop_raise(&h->watchStop);
    if (h->watchdog.joinable()) {
        h->watchdog.join();
    }
    delete h;
}

int Sender_put(Sender_Handle h, SenderKind kind, const uint8_t *data, int bytes, FrameTime time, bool key)
{
    if (h == nullptr || data == nullptr || bytes <= 0) {
        return Sender_EINVAL;
    }
    int r = h->queue.put({kind, data, bytes, time, key}, h->up.load());
    if (r != Sender_EOK) {
        h->dropped.fetch_add(1, std::memory_order_relaxed);
    }
    return r;
}

bool Sender_awaitBehind(Sender_Handle h, SenderKind kind, int waitMs, const uint8_t **data, int *bytes)
{
    SenderUnit u{};
    if (h == nullptr || !h->queue.awaitBehind(kind, waitMs, &u)) {
        return false;
    }
    *data = u.data;
    *bytes = u.bytes;
    return true;
}

bool Sender_waitIdle(Sender_Handle h, int timeoutMs)
{
    return h != nullptr && h->queue.waitEmpty(timeoutMs);
}

SenderStats Sender_stats(Sender_Handle h)
{
    SenderStats s{};
    if (h == nullptr) {
        s.state = SenderState::Off;
        return s;
    }
    s.state = h->state.load();
    s.retryInMs = s.state == SenderState::Waiting ? std::max<int64_t>(0, h->retryAtMs.load() - nowMs()) : 0;
    s.queued = h->queue.count();
    s.sent = h->sent.load(std::memory_order_relaxed);
    s.refused = h->refused.load(std::memory_order_relaxed);
    s.dropped = h->dropped.load(std::memory_order_relaxed);
    s.reconnects = h->reconnects.load(std::memory_order_relaxed);
    s.longestSendMs = h->longestSendMs.load(std::memory_order_relaxed);
    return s;
}

void Sender_report(Sender_Handle h, nlohmann::json &out)
{
    SenderStats s = Sender_stats(h);
    out["state"] = s.state == SenderState::Up ? "ok" : s.state == SenderState::Off ? "off" : "waiting";
    out["reconnects"] = s.reconnects;
    if (s.state == SenderState::Waiting) {
        out["retry_in_s"] = static_cast<double>(s.retryInMs) / 1000.0;
    }
}
