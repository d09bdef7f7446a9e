// A client thread's side of the HTTP TS server: copying whole steps out of the ring without a lock
// (seqlock fashion: a copy the writer overwrote meanwhile is thrown away), sending them without
// waiting on a full socket, and judging the client by how far behind live it is.
#include "encode/output/http_ts_internal.h"

#include "encode/core/console.h"
#include "encode/output/net.h"

#include <linux/futex.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using namespace http_ts;
using Server = HttpTs_Object;

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

void waitForAppend(Server &s, int seen)
{
    s.idleClients.fetch_add(1);
    timespec limit{0, kIdleWaitMs * 1000000L};
    ::syscall(SYS_futex, reinterpret_cast<int *>(&s.appendSeq), FUTEX_WAIT_PRIVATE, seen, &limit, nullptr, 0);
    s.idleClients.fetch_sub(1);
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
    Net_resetOnClose(fd);
}

// Streams the ring until the client goes, is dropped or the server stops. The socket is never waited
// on for longer than an idle wait, so the client's lag is looked at on every turn.
void streamRing(Server &s, int fd)
{
    Client c(s, fd);
    c.next = liveStart(s.ringTotal.load(std::memory_order_acquire));
    c.lag.start(fd, LagClock::now(), s.appendRate.bytesPerSecond());
    Console_say("start send\n");
    while (!HttpTs_stopping(s)) {
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

} // namespace

void HttpTs_streamRing(HttpTs_Object &s, int fd)
{
    streamRing(s, fd);
}
