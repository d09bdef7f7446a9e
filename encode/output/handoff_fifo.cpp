// Hand-off FIFOs. An instance belongs to its owner thread alone; the only process-wide state is the
// open seam.
//
// Whether a record fits: the kernel keeps a pipe's bytes in pages and a write that cannot join the
// last page starts a new one, so queued bytes can occupy up to about twice their number in pages. A
// record goes in only when twice the queued bytes plus twice the record (and two pages of slack for
// the partly read first page and the partly filled last one) stay within the pipe's size: then a
// non-blocking write cannot come back short, and a reader never sees a record split.
#include "encode/output/handoff_fifo.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/media/wait.h"
#include "encode/output/stream_tag.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>

namespace {

constexpr int kReaderPollMs = 100;
// How long a record the kernel took only in part may wait for the rest to go in.
constexpr auto kFinishLimit = std::chrono::milliseconds(2000);
// A record too large for the pipe grows it, up to this size.
constexpr int kLargestPipe = 16 << 20;

int openDefault(const char *path, int flags)
{
    return ::open(path, flags);
}

long pageBytes()
{
    static const long page = ::sysconf(_SC_PAGESIZE) > 0 ? ::sysconf(_SC_PAGESIZE) : 4096;
    return page;
}

} // namespace

const HandoffFifoKind HandoffFifo_video = {"/dev/shm/v_fifo", "Failed to create vido fifo for writing",
                                           "Failed to create vido fifo for writing", true, 0, "RTSP video"};
// The audio FIFO's open failure has always printed the video text.
const HandoffFifoKind HandoffFifo_aac = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                                         "Failed to create vido fifo for writing", true, HANDOFF_FIFO_AAC_QUEUE_LIMIT,
                                         "RTSP audio"};
const HandoffFifoKind HandoffFifo_mp3 = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                                         "Failed to create vido fifo for writing", false, 0, "RTSP audio"};
const HandoffFifoKind HandoffFifo_webrtcMain = {"/dev/shm/webrtc_main", "webrtc: cannot make /dev/shm/webrtc_main",
                                                "webrtc: cannot open /dev/shm/webrtc_main", true, 0,
                                                "WebRTC main", false, true};
const HandoffFifoKind HandoffFifo_webrtcSecond = {"/dev/shm/webrtc_second",
                                                  "webrtc: cannot make /dev/shm/webrtc_second",
                                                  "webrtc: cannot open /dev/shm/webrtc_second", true, 0,
                                                  "WebRTC second", false, true};
const HandoffFifoKind HandoffFifo_webrtcAudio = {"/dev/shm/webrtc_audio", "webrtc: cannot make /dev/shm/webrtc_audio",
                                                 "webrtc: cannot open /dev/shm/webrtc_audio", true,
                                                 HANDOFF_FIFO_AAC_QUEUE_LIMIT, "WebRTC audio", false, false};

static void reportFifo(const HandoffFifo_Object &h, nlohmann::json &out);

struct HandoffFifo_Object : Output {
    const HandoffFifoKind *kind = nullptr;
    std::string path; // resolved once, so that a reopen allocates nothing
    HandoffFifo_OpenFunction open = nullptr;
    int fd = -1;
    long capacity = 0;
    bool started = false; // opened for a first reader: records go in from then on
    std::atomic<bool> stopped{false}; // a record went in torn: the output has ended for this run
    bool dropping = false;   // in a run of dropped records (its line is printed)
    bool awaitingKey = true; // a kind that resumes at key units: the last video record did not go in
    // What the status says of it: bumped by the owner thread, read by the status thread.
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> written{0};
    std::atomic<bool> reading{false}; // a reader has the FIFO open
    std::atomic<const char *> failure{nullptr}; // the FIFO could not be made or opened: no output this run

    void video(const OutputUnit &u) override
    {
        if (!kind->resumeAtKey) {
            HandoffFifo_write(this, u.data, u.bytes, u.time);
        } else if (u.key || !awaitingKey) {
            awaitingKey = !HandoffFifo_write(this, u.data, u.bytes, u.time);
        } else if (fd >= 0) {
            dropped.fetch_add(1, std::memory_order_relaxed); // a reader waits for the key unit
        }
    }
    void audio(const OutputUnit &u) override { HandoffFifo_write(this, u.data, u.bytes, u.time); }
    void begin() override { HandoffFifo_start(this); }
    void report(int, nlohmann::json &out) const override { reportFifo(*this, out); }
    void stop() override { HandoffFifo_close(this); }
};

namespace {

int openWriteEnd(const HandoffFifo_Object *h)
{
    return h->open(h->path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

// The pipe at least `bytes` large, as far as the system lets us; the size it has then.
void sizePipe(HandoffFifo_Object *h, long bytes)
{
    ::fcntl(h->fd, F_SETPIPE_SZ, static_cast<int>(bytes));
    int got = ::fcntl(h->fd, F_GETPIPE_SZ);
    h->capacity = got > 0 ? got : 0;
}

} // namespace

static void reportFifo(const HandoffFifo_Object &h, nlohmann::json &out)
{
    out["kind"] = "fifo";
    out["name"] = h.kind->name;
    out["target"] = h.kind->path;
    bool stopped = h.stopped.load(std::memory_order_relaxed);
    const char *failure = h.failure.load();
    bool failed = stopped || failure != nullptr;
    out["state"] = failed ? "error" : h.reading.load(std::memory_order_relaxed) ? "ok" : "waiting";
    out["bytes"] = h.written.load(std::memory_order_relaxed);
    out["dropped"] = h.dropped.load(std::memory_order_relaxed);
    const char *torn = "the reader stopped inside a record, no more records this run";
    out["error"] = failure != nullptr ? failure : stopped ? torn : "";
    out["error_time"] = 0;
}

namespace {

bool fits(const HandoffFifo_Object *h, long queued, long record)
{
    return 2 * (queued + record) + 2 * pageBytes() <= h->capacity;
}

bool drop(HandoffFifo_Object *h, const char *why)
{
    h->dropped.fetch_add(1, std::memory_order_relaxed);
    if (!h->dropping && why != nullptr) {
        Console_say("%s: %s, record dropped (%llu so far)\n", h->kind->path, why,
                    static_cast<unsigned long long>(h->dropped.load(std::memory_order_relaxed)));
    }
    h->dropping = true;
    return false;
}

// No reader has the FIFO open any more. Closing our end frees the pipe and whatever the old reader
// left in it half read, so that the next reader starts on a record boundary.
bool readerLeft(HandoffFifo_Object *h)
{
    ::close(h->fd);
    h->fd = -1;
    h->reading.store(false, std::memory_order_relaxed);
    Console_say("%s: the reader has gone, records dropped until one opens it again\n", h->kind->path);
    h->dropping = true;
    return drop(h, nullptr);
}

bool reopen(HandoffFifo_Object *h)
{
    h->fd = openWriteEnd(h);
    if (h->fd < 0) {
        return false; // no reader yet
    }
    sizePipe(h, HANDOFF_FIFO_PIPE_BYTES);
    h->reading.store(true, std::memory_order_relaxed);
    Console_say("%s: opened again for a new reader\n", h->kind->path);
    return true;
}

bool readerPresent(const HandoffFifo_Object *h)
{
    pollfd p{h->fd, POLLOUT, 0};
    return !(::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0);
}

// Why the record cannot go in now, or null when it can.
const char *roomFor(HandoffFifo_Object *h, long record, bool *gone)
{
    int queued = 0;
    if (::ioctl(h->fd, FIONREAD, &queued) != 0) {
        return "the pipe cannot be asked how full it is";
    }
    if (!fits(h, 0, record) && h->capacity < kLargestPipe) {
        long want = h->capacity > 0 ? h->capacity : pageBytes();
        while (want < kLargestPipe && !(2 * record + 2 * pageBytes() <= want)) {
            want *= 2;
        }
        sizePipe(h, want);
    }
    if ((h->kind->queueLimit <= 0 || queued <= h->kind->queueLimit) && fits(h, queued, record)) {
        return nullptr;
    }
    // A full pipe may be one nobody reads any more.
    *gone = !readerPresent(h);
    return fits(h, 0, record) ? "the reader is behind" : "the record is larger than the pipe";
}

// Moves past the first `done` bytes of a record's parts.
void advance(iovec *&parts, int &count, size_t done)
{
    while (count > 0 && done >= parts->iov_len) {
        done -= parts->iov_len;
        parts++;
        count--;
    }
    if (count > 0) {
        parts->iov_base = static_cast<uint8_t *>(parts->iov_base) + done;
        parts->iov_len -= done;
    }
}

// The kernel took only the first `done` bytes (someone made the pipe smaller behind our back). The
// rest goes in within a bound; a record left torn ends the output, since the reader could not find
// the start of any later record.
bool finish(HandoffFifo_Object *h, iovec *parts, int count, size_t done)
{
    auto until = std::chrono::steady_clock::now() + kFinishLimit;
    for (;;) {
        advance(parts, count, done);
        done = 0;
        if (count == 0) {
            h->dropping = false;
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{h->fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        if ((p.revents & POLLERR) != 0) {
            return readerLeft(h); // the pipe goes, and its torn record with it
        }
        ssize_t n = ::writev(h->fd, parts, count);
        if (n >= 0) {
            done = static_cast<size_t>(n);
        } else if (errno == EPIPE) {
            return readerLeft(h);
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    Console_say("%s: the reader stopped inside a record, no more records this run\n", h->kind->path);
    ::close(h->fd);
    h->fd = -1;
    h->reading.store(false, std::memory_order_relaxed);
    h->stopped = true;
    h->dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
}

} // namespace

HandoffFifo_Handle HandoffFifo_create(const HandoffFifoKind *kind, HandoffFifo_OpenFunction open)
{
    if (kind == nullptr) {
        return nullptr;
    }
    HandoffFifo_Object *h = new (std::nothrow) HandoffFifo_Object;
    if (h == nullptr) {
        Console_say("%s\n", kind->openFail);
        return nullptr;
    }
    h->kind = kind;
    h->path = Path_resolve(kind->path);
    h->open = open != nullptr ? open : openDefault;
    return h;
}

bool HandoffFifo_start(HandoffFifo_Handle h)
{
    const HandoffFifoKind *kind = h->kind;
    Shell_run(std::string("rm -f ") + kind->path);
    // A fresh node every run (a stale one may be a plain file, or a node an old reader still holds),
    // opened up to every user afterwards since the RTSP server need not run as ours.
    if (::mkfifo(h->path.c_str(), 0100) != 0) {
        Console_say("%s\n", kind->createFail);
        h->failure.store(kind->createFail);
        return false;
    }
    Shell_run(std::string("chmod 777 ") + kind->path);
    if (!kind->waitsForReader) {
        h->started = true;
        reopen(h);
        return true;
    }
    // Waits for the reader like a blocking open would, but looks at the quit flag between tries, so
    // that a run without an RTSP server can still be stopped.
    while ((h->fd = openWriteEnd(h)) < 0) {
        if (errno != ENXIO && errno != EINTR) {
            Console_say("%s\n", kind->openFail);
            h->failure.store(kind->openFail);
            return false;
        }
        if (!Media_waitMs(nullptr, kReaderPollMs)) {
            return false;
        }
    }
    sizePipe(h, HANDOFF_FIFO_PIPE_BYTES);
    h->reading.store(true, std::memory_order_relaxed);
    h->started = true;
    return true;
}

HandoffFifo_Handle HandoffFifo_open(const HandoffFifoKind *kind, HandoffFifo_OpenFunction open)
{
    HandoffFifo_Handle h = HandoffFifo_create(kind, open);
    if (h != nullptr && !HandoffFifo_start(h)) {
        HandoffFifo_close(h);
        return nullptr;
    }
    return h;
}

Output *HandoffFifo_output(HandoffFifo_Handle h)
{
    return h;
}

bool HandoffFifo_write(HandoffFifo_Handle h, const uint8_t *unit, int bytes, FrameTime time)
{
    if (h == nullptr || unit == nullptr || bytes <= 0) {
        return false;
    }
    if (!h->started || h->stopped) {
        h->dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (h->fd < 0 && !reopen(h)) {
        if (!h->kind->waitsForReader) {
            return false; // nobody watches: nothing is lost
        }
        return drop(h, nullptr); // still no reader; its line was printed when the last one left
    }
    uint8_t tag[STREAM_TAG_BYTES];
    StreamTag_encode(tag, time, static_cast<uint32_t>(bytes));
    iovec parts[2] = {{tag, sizeof tag}, {const_cast<uint8_t *>(unit), static_cast<size_t>(bytes)}};
    iovec *first = h->kind->tagged ? parts : parts + 1;
    int count = h->kind->tagged ? 2 : 1;
    const long record = bytes + (h->kind->tagged ? STREAM_TAG_BYTES : 0);

    bool gone = false;
    if (const char *why = roomFor(h, record, &gone)) {
        return gone ? readerLeft(h) : drop(h, why);
    }
    ssize_t n = ::writev(h->fd, first, count);
    if (n == record) {
        h->dropping = false;
        h->written.fetch_add(static_cast<uint64_t>(record), std::memory_order_relaxed);
        return true;
    }
    if (n < 0) {
        return errno == EPIPE ? readerLeft(h) : drop(h, "the reader is behind");
    }
    bool whole = finish(h, first, count, static_cast<size_t>(n));
    h->written.fetch_add(whole ? static_cast<uint64_t>(record) : 0, std::memory_order_relaxed);
    return whole;
}

uint64_t HandoffFifo_dropped(HandoffFifo_Handle h)
{
    return h != nullptr ? h->dropped.load(std::memory_order_relaxed) : 0;
}

void HandoffFifo_close(HandoffFifo_Handle h)
{
    if (h == nullptr) {
        return;
    }
    if (h->fd >= 0) {
        ::close(h->fd);
    }
    delete h;
}
