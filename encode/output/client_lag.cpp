// Lag bookkeeping of live-stream clients. The marks are read lock-free by other threads in one use
// (the HTTP ring's append times), so they follow the ring's seqlock reasoning: the writer announces a
// mark (`claimed_`) before it overwrites the oldest one and publishes it (`count_`) when done; a
// reader that finds, after its reads, that the writer has claimed a slot it read throws the answer
// away.
#include "encode/output/client_lag.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>

namespace {

constexpr auto kSkipAfter = std::chrono::milliseconds(CLIENT_LAG_SKIP_MS);
constexpr auto kStallAfter = std::chrono::milliseconds(CLIENT_LAG_STALL_MS);
constexpr auto kRateWindow = std::chrono::seconds(1);
// Readers search only the newest marks but this many, so that the writer may add a few while they do.
constexpr uint64_t kReaderSlack = 8;
constexpr uint64_t kReadable = LagMarks::kMarks - kReaderSlack;

// The send buffer asked for is a quarter second of the stream. The kernel reserves twice what is
// asked (half of it for its own bookkeeping) and fills between one and two times it with payload, so
// a client holds a quarter to half a second in its socket: enough for a network round trip and a key
// frame's burst, short enough that a reader at two thirds of the rate drains it well inside the 2 s
// it may be behind, and little memory per client. Until the rate is known (the stream's first
// second) the kernel sizes the buffer as it likes: no more than that second can be queued by then.
// The ceiling is a 32 Mbit/s stream's quarter second.
constexpr uint64_t kBufferFraction = 4; // of a second's bytes
constexpr uint64_t kMinSendBuffer = 4096;
constexpr uint64_t kMaxSendBuffer = 1 << 20;

int64_t nanos(LagClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Bytes written to the socket and not yet acknowledged by the peer; 0 when it cannot be told.
uint64_t queuedBytes(int fd)
{
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<uint64_t>(queued);
}

} // namespace

void LagMarks::add(uint64_t pos, LagClock::time_point t)
{
    uint64_t i = count_.load(std::memory_order_relaxed);
    claimed_.store(i + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    pos_[i % kMarks].store(pos, std::memory_order_relaxed);
    time_[i % kMarks].store(nanos(t), std::memory_order_relaxed);
    count_.store(i + 1, std::memory_order_release);
}

bool LagMarks::timeAt(uint64_t pos, LagClock::time_point *t) const
{
    uint64_t count = count_.load(std::memory_order_acquire);
    if (count == 0) {
        return false;
    }
    uint64_t oldest = count > kReadable ? count - kReadable : 0;
    // The first mark past `pos`; the one before it is the newest at or before it.
    uint64_t lo = oldest;
    uint64_t hi = count;
    while (lo < hi) {
        uint64_t mid = lo + (hi - lo) / 2;
        if (pos_[mid % kMarks].load(std::memory_order_relaxed) <= pos) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    uint64_t at = lo > oldest ? lo - 1 : oldest;
    int64_t ns = time_[at % kMarks].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    // Mark i is overwritten by mark i + kMarks, announced as claimed i + kMarks + 1.
    if (claimed_.load(std::memory_order_relaxed) > oldest + kMarks) {
        return false;
    }
    *t = LagClock::time_point(std::chrono::duration_cast<LagClock::duration>(std::chrono::nanoseconds(ns)));
    return true;
}

void LagMarks::clear()
{
    for (uint64_t i = 0; i < kMarks; i++) {
        pos_[i].store(0, std::memory_order_relaxed);
        time_[i].store(0, std::memory_order_relaxed);
    }
    claimed_.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_release);
}

void StreamRate::add(uint64_t bytes, LagClock::time_point now)
{
    if (windowStart_ == LagClock::time_point{}) {
        windowStart_ = now;
    }
    auto elapsed = now - windowStart_;
    if (elapsed >= kRateWindow) {
        auto ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
        rate_.store(static_cast<uint64_t>(static_cast<double>(windowBytes_) * 1e9 / static_cast<double>(ns)),
                    std::memory_order_relaxed);
        windowBytes_ = 0;
        windowStart_ = now;
    }
    windowBytes_ += bytes;
}

void StreamRate::clear()
{
    windowBytes_ = 0;
    windowStart_ = {};
    rate_.store(0, std::memory_order_relaxed);
}

void ClientLag::start(int fd, LagClock::time_point now, uint64_t bytesPerSecond)
{
    fd_ = fd;
    marks_.clear();
    lastMark_ = LagClock::time_point::min();
    written_ = 0;
    taken_ = 0;
    lastProgress_ = now;
    takeRate_ = kUnbounded;
    lastWindowRate_ = kUnbounded;
    windowStart_ = now;
    windowTaken_ = 0;
    windowFull_ = true;
    skipping_ = false;
    everSkipped_ = false;
    fittedBuffer_ = 0;
    wrote(queuedBytes(fd), now);
    fitSendBuffer(bytesPerSecond);
}

void ClientLag::observe(LagClock::time_point now)
{
    uint64_t queued = queuedBytes(fd_);
    uint64_t taken = written_ > queued ? written_ - queued : 0;
    // An empty queue is no stall either: there was nothing to take.
    if (taken > taken_ || queued == 0) {
        lastProgress_ = now;
    }
    taken_ = std::max(taken_, taken);
    windowFull_ = windowFull_ && queued > 0;
    auto elapsed = now - windowStart_;
    if (elapsed >= kRateWindow) {
        double seconds = std::chrono::duration<double>(elapsed).count();
        uint64_t rate =
            windowFull_ ? static_cast<uint64_t>(static_cast<double>(taken_ - windowTaken_) / seconds) : kUnbounded;
        takeRate_ = std::min(rate, lastWindowRate_);
        lastWindowRate_ = rate;
        windowStart_ = now;
        windowTaken_ = taken_;
        windowFull_ = true;
    }
}

void ClientLag::wrote(uint64_t bytes, LagClock::time_point produced)
{
    if (bytes == 0) {
        return;
    }
    LagClock::time_point at = produced;
    if (skipping_ && produced >= skippedSince_) {
        at = skippedSince_;
        skipping_ = false;
    }
    if (at != lastMark_) {
        marks_.add(written_, at);
        lastMark_ = at;
    }
    written_ += bytes;
}

bool ClientLag::skipped(LagClock::time_point produced)
{
    if (!skipping_) {
        skipping_ = true;
        skippedSince_ = produced;
    }
    bool first = !everSkipped_;
    everSkipped_ = true;
    return first;
}

bool ClientLag::late(LagClock::time_point produced, LagClock::time_point now, uint64_t ahead) const
{
    uint64_t bytes = written_ - taken_ + ahead;
    if (bytes == 0 || takeRate_ == kUnbounded) {
        return now - produced > kSkipAfter;
    }
    // A client that took nothing over a whole window would take these never.
    if (takeRate_ == 0) {
        return true;
    }
    auto wait = std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(takeRate_));
    return now - produced + std::chrono::duration_cast<LagClock::duration>(wait) > kSkipAfter;
}

bool ClientLag::behind(LagClock::time_point now) const
{
    LagClock::time_point oldest;
    return (taken_ < written_ && marks_.timeAt(taken_, &oldest) && now - oldest > kSkipAfter) || late(now, now);
}

bool ClientLag::stalled(LagClock::time_point now) const
{
    return taken_ < written_ && now - lastProgress_ >= kStallAfter;
}

void ClientLag::fitSendBuffer(uint64_t bytesPerSecond)
{
    if (bytesPerSecond == 0) {
        return;
    }
    auto want = static_cast<int>(std::clamp(bytesPerSecond / kBufferFraction, kMinSendBuffer, kMaxSendBuffer));
    // Within a quarter of the last fit: left alone, so that a rate that wobbles costs no calls.
    if (fittedBuffer_ > 0 && want * 5 > fittedBuffer_ * 4 && want * 4 < fittedBuffer_ * 5) {
        return;
    }
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
    fittedBuffer_ = want;
}

PeerAtAccept peerAtAccept(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) != 1) {
        return PeerAtAccept::Live;
    }
    if ((p.revents & (POLLERR | POLLHUP)) != 0) {
        return PeerAtAccept::Gone;
    }
    return (p.revents & POLLRDHUP) != 0 ? PeerAtAccept::DoneSending : PeerAtAccept::Live;
}
