// How far behind live a client of a live stream is: judged by what it has not yet taken, not by
// whether its socket still accepts bytes (a send buffer of several MiB takes minutes to fill at a few
// hundred kbit/s). One mechanism for the TCP stream slots and the HTTP TS clients.
//
// A client's lag is the time since the oldest byte it has not taken was produced: bytes written to its
// socket and still queued there (SIOCOUTQ: not yet acknowledged by the peer), and a stretch it skipped,
// which counts as the first bytes written after it. Marks (position, time) map its bytes to when they
// were produced. A client more than CLIENT_LAG_SKIP_MS behind gets nothing new until it has taken what
// it holds (its server skips whole units or jumps to the live edge); so does one whose socket would
// only hand new bytes over after that limit, judged by the rate it has been taking them at. One that
// took nothing for CLIENT_LAG_STALL_MS is dropped, whatever the stream's rate. Bytes the peer's kernel
// acknowledged count as taken: the client's own receive buffer is out of sight.
//
// Nothing here allocates or waits; a look at a client costs one system call (a send buffer fitted
// to a new rate, a second one).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

inline constexpr int CLIENT_LAG_SKIP_MS = 2000;
inline constexpr int CLIENT_LAG_STALL_MS = 3000;

using LagClock = std::chrono::steady_clock;

// Marks over a byte stream: the bytes from a mark's position on were produced at or after its time.
// One writer; readers may be other threads and take no lock: they read the newest marks, then check
// that the writer did not start to overwrite any of them meanwhile (seqlock fashion).
class LagMarks {
public:
    static constexpr uint64_t kMarks = 512;

    // Writer: the bytes from `pos` on (never before the last mark's position) were produced at `t`.
    void add(uint64_t pos, LagClock::time_point t);
    // When the byte at `pos` was produced: the time of the newest mark at or before it, or of the
    // oldest mark kept when it lies before them all (it is older still). False when there is no mark
    // yet, or when the writer overwrote marks while they were read (read again).
    bool timeAt(uint64_t pos, LagClock::time_point *t) const;
    // Writer only, while no reader looks.
    void clear();

private:
    std::atomic<uint64_t> pos_[kMarks]{};
    std::atomic<int64_t> time_[kMarks]{};
    std::atomic<uint64_t> claimed_{0}; // marks the writer has started to write
    std::atomic<uint64_t> count_{0};   // marks written
};

// A stream's rate over the last whole second, for sizing client send buffers. One writer; any thread
// may read the rate.
class StreamRate {
public:
    void add(uint64_t bytes, LagClock::time_point now);
    // 0 until a second of the stream has been seen.
    uint64_t bytesPerSecond() const { return rate_.load(std::memory_order_relaxed); }
    void clear();

private:
    uint64_t windowBytes_ = 0;
    LagClock::time_point windowStart_{};
    std::atomic<uint64_t> rate_{0};
};

// One client socket, used by the one thread that writes to it.
class ClientLag {
public:
    // Takes on client socket `fd` at `now`: what is already queued in it counts as written now. Its
    // send buffer is bounded for a stream of `bytesPerSecond` (0: not known yet).
    void start(int fd, LagClock::time_point now, uint64_t bytesPerSecond);
    // Looks at what the socket still holds (one ioctl): what the client took since the last look.
    void observe(LagClock::time_point now);
    // The socket accepted `bytes` more, produced at `produced`. A stretch skipped before them counts
    // as theirs, unless they are older than it (the rest of a unit begun before the skip).
    void wrote(uint64_t bytes, LagClock::time_point produced);
    // What was produced at `produced` was skipped. True on the first skip since start().
    bool skipped(LagClock::time_point produced);
    // Bytes produced at `produced`, written now after `ahead` more bytes, would be taken more than
    // CLIENT_LAG_SKIP_MS after that: after what the socket holds, at the rate the client has been
    // taking it.
    bool late(LagClock::time_point produced, LagClock::time_point now, uint64_t ahead = 0) const;
    // The oldest byte it holds was produced more than CLIENT_LAG_SKIP_MS ago, or even a byte produced
    // now would be late: give it nothing new.
    bool behind(LagClock::time_point now) const;
    // It holds something and took nothing for CLIENT_LAG_STALL_MS.
    bool stalled(LagClock::time_point now) const;
    // The send buffer fitted to a stream of `bytesPerSecond` (see client_lag.cpp; 0: not known yet,
    // left to the kernel); cheap when the rate has not moved much since the last fit.
    void fitSendBuffer(uint64_t bytesPerSecond);

private:
    int fd_ = -1;
    uint64_t written_ = 0;
    uint64_t taken_ = 0;
    LagClock::time_point lastProgress_{};
    // The rate it takes bytes at, measured over windows in which its socket never ran empty (it was
    // what held them up): the lower of the last two, since acknowledgements come in bursts.
    // kUnbounded while it takes all it is given.
    static constexpr uint64_t kUnbounded = UINT64_MAX;
    uint64_t takeRate_ = kUnbounded;
    uint64_t lastWindowRate_ = kUnbounded;
    LagClock::time_point windowStart_{};
    uint64_t windowTaken_ = 0;
    bool windowFull_ = true;
    LagClock::time_point lastMark_{};
    LagClock::time_point skippedSince_{};
    bool skipping_ = false;
    bool everSkipped_ = false;
    int fittedBuffer_ = 0;
    LagMarks marks_;
};

// What a client's socket says as it is accepted, before anything is sent to it: gone (reset, or
// closed both ways while it waited in the backlog: nothing will reach it), done sending (it hung up
// its own side after its request, as one of a crowd that came and went does, or a client that half-
// closes), or live. A listener full of gone or done clients must drain at once, or a real client
// waiting behind them waits for all of them.
enum class PeerAtAccept { Live, DoneSending, Gone };
PeerAtAccept peerAtAccept(int fd);
