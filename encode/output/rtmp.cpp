// RTMP publisher and FLV packaging.
//
// Threads: the writer and the AAC audio thread only copy units into the queue (its own lock, held for
// the copy and nothing else). The sender thread takes them out and packages and sends them; the link
// thread connects, installs the connection, watches the sends and reconnects. The installed connection
// and the state of the stream on it are guarded by sendLock: the sender holds it for a unit, the link
// thread to install, drop or retire a connection. The flags and counters everyone reads are atomics.
//
// librtmp (2.4) sends with plain blocking send() and bounds only receives, so a stalled server would
// hold the sender for ever. Two bounds stop that: the socket gets a 1 s send timeout, and the link
// thread shuts the socket down when a send runs past its deadline. The shutdown matters because
// librtmp closes the connection itself after a failed send and sends two more commands while closing;
// on a shut-down socket those fail at once instead of each waiting out its own timeout. The link thread
// keeps a dup() of the socket for that, so that it never shuts down a descriptor number librtmp has
// already closed and the system has handed out again. The TCP connection is made here rather than by
// librtmp, so that it is bounded too and a stop can cut it short through that same dup.
//
// Hand-over: a sender that sees a send fail shuts the socket down, closes the connection and clears
// the connected flag, all under sendLock; from then on the sender does not touch the object. The link
// thread frees it and installs a new one under sendLock as well.
#include "encode/output/rtmp.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/core/status_board.h"

#include <nlohmann/json.hpp>

#include <librtmp/log.h>
#include <librtmp/rtmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;
using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kVideoBodyBytes = 2097152;   // one access unit, with its lengths and tag header
constexpr int kAudioBodyBytes = 1024;      // one AAC frame without its ADTS header, plus two bytes
constexpr int kSmallBodyBytes = 1024;      // metadata and sequence headers
constexpr int kHeaderRoom = RTMP_MAX_HEADER_SIZE; // librtmp writes the chunk header in front of a body
constexpr int kChunkSize = 1024;
constexpr int kSendTimeoutMs = 1000;
constexpr int kCloseTimeoutMs = 200;       // the two commands of an orderly end, on a server that may be gone
constexpr int kWatchTickMs = 50;
constexpr int kRetryMs = 1000;
constexpr int kReceiveTimeoutS = 5;        // TCP connect, handshake and connect answers
constexpr int kFlushMs = 1000;             // what is queued at the end gets this long to go out
constexpr int kIdleTickMs = 100;           // the sender looks for an ended run of drops this often
constexpr int kAudioWaitMs = 1000;         // a connection's first key frame waits this long for audio
constexpr int kQueueUnits = 1024;          // about 13 s of 30 frames and 47 AAC frames a second
constexpr int kUrlScanBytes = 1024;
constexpr size_t kUrlChars = 255;          // a value of 256 characters or more is no URL
constexpr int kParamSetSearch = 200;       // an SPS or a PPS ends within this many bytes
constexpr int64_t kTimestampLimitMs = 950400000; // 11 days: past it the appliance restarts
constexpr int64_t kAudioRebaseMs = 10;
constexpr int kAdtsMinBytes = 11;
constexpr int kAdtsMaxBytes = 1024;

constexpr uint8_t kTypeChunkSize = 1;
constexpr uint8_t kTypeAudio = 8;
constexpr uint8_t kTypeVideo = 9;
constexpr uint8_t kTypeMetadata = 18;
constexpr int kChannelControl = 2;
constexpr int kChannelVideo = 3; // metadata too
constexpr int kChannelAudio = 4;

constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;

constexpr uint8_t kFlvKeyFrame = 0x17;
constexpr uint8_t kFlvInterFrame = 0x27;
constexpr uint8_t kFlvAac = 0xAF;

// ISO/IEC 14496-3 sampling frequencies by ADTS index.
constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

struct Connection {
    RTMP *r = nullptr;
    int guardFd = -1;
    char url[kUrlChars + 1] = {}; // librtmp keeps pointers into it for the connection's life
};

// A stream clock in milliseconds: offset + (time - base), rebased when the capture clock steps back.
struct StreamClock {
    FrameTime base{};
    int64_t offset = 0;
    int64_t last = 0;
    bool started = false;
};

// What the sender keeps of the stream on the installed connection.
struct Stream {
    Connection *conn = nullptr;
    StreamClock video;
    StreamClock audio;
    int64_t resumeMs = 0;      // where the timestamps of the next connection start
    bool headersSent = false;  // metadata and AVC sequence header on this connection
    uint8_t aacConfig[2] = {}; // AudioSpecificConfig of the ADTS stream, once a frame has passed the check
    bool aacKnown = false;      // on this connection
    bool aacHeaderSent = false; // on this connection
    const char *adtsRefused = nullptr; // the first-frame ADTS check's last complaint on this connection
    bool audioAwaited = false;         // the first key frame has waited for audio on this connection
    uint8_t lastSps[kParamSetSearch] = {};
    uint8_t lastPps[kParamSetSearch] = {};
    int lastSpsLen = 0;
    int lastPpsLen = 0;
    std::unique_ptr<uint8_t[]> videoBuf; // kHeaderRoom + kVideoBodyBytes, made at create
    uint8_t audioBuf[kHeaderRoom + kAudioBodyBytes] = {};
    uint8_t smallBuf[kHeaderRoom + kSmallBodyBytes] = {};
};

enum class Kind : uint8_t { Video, Audio };

struct QueuedUnit {
    int offset;
    int bytes;
    Kind kind;
    FrameTime time;
};

enum class Taken { Unit, Idle, Closed };

// Copies of the units handed in, in one ring of bytes made at create, so that a unit costs its copy
// and nothing else. A unit lies whole in the ring (one that does not fit before the ring's end starts
// again at its beginning); the sender reads the oldest in place and gives its room back once it has
// been sent.
class UnitQueue {
public:
    bool make(int bytes)
    {
        bytes_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]);
        capacity_ = bytes_ != nullptr ? bytes : 0;
        return bytes_ != nullptr;
    }

    // Producers. The drop rule lives here, under the same lock as the room it judges.
    int put(Kind kind, const uint8_t *data, int bytes, FrameTime time, bool beginsWithSps, bool connected)
    {
        ScopedLock lock(lock_);
        if (!connected) {
            // The connection's loss is said on its own; a new one starts at an SPS anyway.
            inRun_ = false;
            videoWaits_ = false;
            return Rtmp_ENOTCONNECTED;
        }
        if (kind == Kind::Video && videoWaits_ && !beginsWithSps) {
            runDrops_++;
            return Rtmp_EWAITKEY;
        }
        int at = count_ < kQueueUnits ? room(bytes) : -1;
        if (at < 0) {
            inRun_ = true;
            runDrops_++;
            videoWaits_ = videoWaits_ || kind == Kind::Video;
            return Rtmp_EFULL;
        }
        std::memcpy(bytes_.get() + at, data, static_cast<size_t>(bytes));
        units_[(first_ + count_) % kQueueUnits] = {at, bytes, kind, time};
        count_++;
        tail_ = at + bytes;
        videoWaits_ = videoWaits_ && kind != Kind::Video;
        // A run ends once nothing waits any more: video back at a key frame, or only audio was lost.
        inRun_ = inRun_ && videoWaits_;
        changed_.notify_all();
        return Rtmp_EOK;
    }

    // Sender: the oldest unit, left in place until release().
    Taken take(QueuedUnit *unit, const uint8_t **data, int waitMs)
    {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return count_ > 0 || closed_; });
        if (closed_) {
            return Taken::Closed;
        }
        if (count_ == 0) {
            return Taken::Idle;
        }
        *unit = units_[first_];
        *data = bytes_.get() + unit->offset;
        return Taken::Unit;
    }
    void release()
    {
        ScopedLock lock(lock_);
        first_ = (first_ + 1) % kQueueUnits;
        count_--;
        changed_.notify_all();
    }
    // Sender, holding the oldest unit: the first audio frame queued behind it, once one is, within
    // `waitMs`. False when none came.
    bool awaitAudio(const uint8_t **data, int *bytes, int waitMs)
    {
        std::unique_lock<std::mutex> lock(lock_);
        int at = -1;
        changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
            at = firstAudio();
            return at >= 0 || closed_;
        });
        if (at < 0 || closed_) {
            return false;
        }
        *data = bytes_.get() + units_[at].offset;
        *bytes = units_[at].bytes;
        return true;
    }
    // Sender: the units of a run of drops once it has ended (0 while none has).
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
    int firstAudio() const
    {
        for (int i = 1; i < count_; i++) {
            int k = (first_ + i) % kQueueUnits;
            if (units_[k].kind == Kind::Audio) {
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
    int capacity_ = 0;
    int tail_ = 0;
    QueuedUnit units_[kQueueUnits] = {};
    int first_ = 0;
    int count_ = 0;
    bool closed_ = false;
    bool videoWaits_ = false; // a video unit was dropped: only one that begins with an SPS is taken
    bool inRun_ = false;      // units are being dropped for lack of room
    uint64_t runDrops_ = 0;   // units of the current run, or of the ended one not yet printed
};

} // namespace

struct RtmpPublisher_Object {
    std::string configuredUrl; // fixed at create; empty: the start script's
    int destination = 1;       // fixed at create
    char tag[24] = {};         // what the lines of a destination past the first begin with

    // Set by the link thread, read by everyone.
    std::atomic<bool> connected{false};
    std::atomic<bool> videoOff{false};
    std::atomic<bool> publishing{false};
    std::atomic<int64_t> sendDeadline{0}; // steady-clock ns of the running send's deadline, 0 when none
    std::atomic<int> longestSendMs{0};

    // What the status and the stats say: bumped where it happens, read by anyone.
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> unitsSent{0};
    std::atomic<uint64_t> unitsRefused{0};
    std::atomic<uint64_t> unitsDropped{0};
    std::atomic<uint64_t> reconnects{0};
    StatusError lastError;
    int statusId = 0;

    mutable std::mutex urlLock;
    std::string url; // guarded by urlLock: the server the status names

    UnitQueue queue;

    std::mutex sendLock;
    Stream stream; // guarded by sendLock

    std::mutex lifeLock;
    std::condition_variable lifeCv;
    bool stopAsked = false; // guarded by lifeLock
    int connectingFd = -1;  // guarded by lifeLock: the guard of a connection being made

    std::thread sender;
    std::thread link;
};

namespace {

using Publisher = RtmpPublisher_Object;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A line of this publisher. Destination 1 prints exactly what a lone publisher always printed; the
// others put their number in front, so that a log of several tells them apart.
__attribute__((format(printf, 2, 3))) void say(const Publisher &p, const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Console_say("%s%s", p.tag, line);
}

void report(const void *ctx, nlohmann::json &out)
{
    const auto &p = *static_cast<const Publisher *>(ctx);
    out["kind"] = "rtmp";
    out["name"] = p.destination == 1 ? std::string("RTMP") : "RTMP " + std::to_string(p.destination);
    out["destination"] = p.destination;
    {
        // The stream name is the ingest's key: the status, which the page shows, never holds it.
        ScopedLock lock(p.urlLock);
        out["target"] = RtmpUrl_public(p.url);
    }
    out["state"] = p.connected.load() ? "ok" : p.publishing.load() ? "waiting" : "off";
    out["reconnects"] = p.reconnects.load(std::memory_order_relaxed);
    out["bytes"] = p.bytesSent.load(std::memory_order_relaxed);
    out["dropped"] = p.unitsDropped.load(std::memory_order_relaxed);
    p.lastError.report(out);
}

// What the sender made of a unit.
enum class Outcome { Sent, Skipped, Failed };

// --- Connection loss ---

// Under sendLock: the socket is shut down first, so that librtmp's close (two more commands) fails at
// once instead of waiting out the send timeout again.
void dropConnection(Publisher &p, const char *why)
{
    if (!p.connected.load()) {
        return;
    }
    Stream &s = p.stream;
    // The connection is abandoned: its close resets it, so that the server ends the stream at once
    // instead of reading what was still queued for it first (seconds of it after a stall), and takes
    // the next connection's stream of the same name.
    linger reset{1, 0};
    setsockopt(s.conn->guardFd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    shutdown(s.conn->guardFd, SHUT_RDWR);
    RTMP_Close(s.conn->r);
    int64_t last = std::max(s.video.last, s.audio.last);
    s.resumeMs = last + 1000000 / std::max(Pipeline_frameRate(), 1000);
    p.connected.store(false);
    char line[96];
    std::snprintf(line, sizeof line, "rtmp connection lost (%s), reconnecting", why);
    say(p, "%s\n", line);
    p.lastError.set(line);
}

// Under sendLock. The body must have kHeaderRoom bytes in front of it; librtmp overwrites them and
// parts of the body with chunk headers, so a body is built anew for every send.
bool sendPacket(Publisher &p, uint8_t type, int channel, int64_t timestamp, uint8_t *body, uint32_t size)
{
    RTMP *r = p.stream.conn->r;
    RTMPPacket packet{};
    // Always the large header: the compressed forms have an extended-timestamp fault in this librtmp.
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_packetType = type;
    packet.m_nChannel = channel;
    packet.m_nTimeStamp = static_cast<uint32_t>(timestamp);
    packet.m_nInfoField2 = r->m_stream_id;
    packet.m_nBodySize = size;
    packet.m_body = reinterpret_cast<char *>(body);
    int64_t start = nowNs();
    p.sendDeadline.store(start + int64_t{kSendTimeoutMs} * 1000000);
    int ok = RTMP_SendPacket(r, &packet, 0);
    p.sendDeadline.store(0);
    int ms = static_cast<int>((nowNs() - start) / 1000000);
    if (ms > p.longestSendMs.load()) {
        p.longestSendMs.store(ms);
    }
    if (!ok || !RTMP_IsConnected(r)) {
        dropConnection(p, ms >= kSendTimeoutMs ? "send timed out" : "send failed");
        return false;
    }
    p.bytesSent.fetch_add(size, std::memory_order_relaxed);
    return true;
}

// --- Clocks ---

bool earlier(FrameTime a, FrameTime b)
{
    return a.seconds < b.seconds || (a.seconds == b.seconds && a.microseconds < b.microseconds);
}

// The timestamp of a unit at `t`; a clock step back continues `rebaseMs` after the last one sent.
// The clock is updated as if the unit went out (a failed send drops the connection anyway).
int64_t stamp(StreamClock &c, FrameTime t, int64_t rebaseMs, bool *overflow)
{
    bool rebased = earlier(t, c.base);
    int64_t delta;
    if (rebased) {
        c.base = t;
        c.offset = c.last;
        delta = rebaseMs;
    } else {
        delta = (static_cast<int64_t>(t.seconds) - c.base.seconds) * 1000 + t.microseconds / 1000 -
                c.base.microseconds / 1000;
    }
    int64_t ts = 0;
    *overflow = __builtin_add_overflow(c.offset, delta, &ts);
    if (rebased) {
        c.offset = ts;
    }
    c.last = ts;
    return ts;
}

// The stream RTMP carries: the second stream when it is on and routed to RTSP/RTMP, else the main one.
void carriedGeometry(int *width, int *height, int *fps)
{
    SecondStreamSettings ss = SecondStream_get();
    if (ss.enabled != 0 && ss.rtspCarriesSecond != 0) {
        *width = ss.width;
        *height = ss.height;
        *fps = ss.framerate;
        return;
    }
    SharedStatus st = SharedStatus_snapshot();
    *width = st.imageWidth;
    *height = st.imageHeight;
    *fps = Pipeline_frameRate() / 1000;
}

int64_t framePeriodMs()
{
    int w = 0;
    int h = 0;
    int fps = 0;
    carriedGeometry(&w, &h, &fps);
    return fps > 0 ? 1000 / fps : 1000000 / std::max(Pipeline_frameRate(), 1);
}

// --- Metadata and sequence headers ---

class Amf {
public:
    Amf(uint8_t *p, int cap) : p_(p), cap_(cap) {}
    void raw(const void *d, int n)
    {
        if (len_ + n <= cap_) {
            std::memcpy(p_ + len_, d, static_cast<size_t>(n));
        }
        len_ += n;
    }
    void byte(uint8_t b) { raw(&b, 1); }
    void name(const char *s)
    {
        uint8_t l[2];
        put16(l, static_cast<uint32_t>(std::strlen(s)));
        raw(l, 2);
        raw(s, static_cast<int>(std::strlen(s)));
    }
    void string(const char *s)
    {
        byte(0x02);
        name(s);
    }
    void number(double v)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        uint8_t b[9] = {0x00};
        for (int i = 0; i < 8; i++) {
            b[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        }
        raw(b, 9);
    }
    int length() const { return len_ <= cap_ ? len_ : -1; }

private:
    uint8_t *p_;
    int cap_;
    int len_ = 0;
};

bool sendMetadata(Publisher &p)
{
    int width = 0;
    int height = 0;
    int fps = 0;
    carriedGeometry(&width, &height, &fps);
    bool audio = Pipeline_audioPresent();
    uint8_t *body = p.stream.smallBuf + kHeaderRoom;
    Amf a(body, kSmallBodyBytes);
    a.string("@setDataFrame");
    a.string("onMetaData");
    a.byte(0x03);
    a.name("copyright");
    a.string("kavex");
    a.name("width");
    a.number(width);
    a.name("height");
    a.number(height);
    a.name("framerate");
    a.number(fps);
    if (audio) {
        a.name("audiocodecid");
        a.number(10.0);
    }
    a.name("videocodecid");
    a.number(7.0);
    if (audio) {
        a.name("audiodelay");
        a.number(0.0);
    }
    a.name("");
    a.byte(0x09);
    return sendPacket(p, kTypeMetadata, kChannelVideo, 0, body, static_cast<uint32_t>(a.length()));
}

bool sendAvcHeader(Publisher &p, const uint8_t *sps, int spsLen, const uint8_t *pps, int ppsLen)
{
    uint8_t *b = p.stream.smallBuf + kHeaderRoom;
    const uint8_t head[] = {kFlvKeyFrame, 0x00, 0x00, 0x00, 0x00, 0x01, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    std::memcpy(b, head, sizeof head);
    int n = sizeof head;
    put16(b + n, static_cast<uint32_t>(spsLen));
    std::memcpy(b + n + 2, sps, static_cast<size_t>(spsLen));
    n += 2 + spsLen;
    b[n++] = 0x01;
    put16(b + n, static_cast<uint32_t>(ppsLen));
    std::memcpy(b + n + 2, pps, static_cast<size_t>(ppsLen));
    n += 2 + ppsLen;
    return sendPacket(p, kTypeVideo, kChannelVideo, 0, b, static_cast<uint32_t>(n));
}

bool sendAacHeader(Publisher &p)
{
    Stream &s = p.stream;
    uint8_t *b = s.smallBuf + kHeaderRoom;
    b[0] = kFlvAac;
    b[1] = 0x00;
    b[2] = s.aacConfig[0];
    b[3] = s.aacConfig[1];
    s.aacHeaderSent = sendPacket(p, kTypeAudio, kChannelAudio, 0, b, 4);
    return s.aacHeaderSent;
}

// --- Access units ---

// One NAL unit of an Annex B access unit (start code excluded).
struct Nal {
    const uint8_t *p;
    int len;
    int startCode; // 3 or 4
};

// The start code at `i` (00 00 01 or 00 00 00 01): its length, else 0.
int startCodeAt(const uint8_t *u, int bytes, int i)
{
    if (i + 4 <= bytes && u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 0 && u[i + 3] == 1) {
        return 4;
    }
    if (i + 3 <= bytes && u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1) {
        return 3;
    }
    return 0;
}

// The NAL unit behind the start code at `at`; `next` gets the offset of the following start code (or
// `bytes`). Trailing zero bytes belong to no NAL unit.
Nal nalAt(const uint8_t *u, int bytes, int at, int *next)
{
    int sc = startCodeAt(u, bytes, at);
    int begin = at + sc;
    int i = begin;
    while (i + 3 <= bytes && !(u[i] == 0 && u[i + 1] == 0 && (u[i + 2] == 1 || u[i + 2] == 0))) {
        i++;
    }
    int end = i + 3 <= bytes ? i : bytes;
    int scan = end;
    while (scan < bytes && startCodeAt(u, bytes, scan) == 0) {
        scan++; // zeros before the next start code, or inside a stray 00 00 00
    }
    *next = scan;
    while (end > begin && u[end - 1] == 0) {
        end--;
    }
    return {u + begin, end - begin, sc};
}

// The FLV body: tag byte, AVC NALU type, composition time 0, then every NAL unit of the unit from
// `from` on with its own 4-byte length, leaving out parameter sets. The body length, or -1.
int buildVideoBody(uint8_t *out, uint8_t tag, const uint8_t *u, int bytes, int from)
{
    out[0] = tag;
    out[1] = 0x01;
    out[2] = out[3] = out[4] = 0;
    int n = 5;
    int at = from;
    while (at < bytes) {
        int next = 0;
        Nal nal = nalAt(u, bytes, at, &next);
        uint8_t type = nal.len > 0 ? (nal.p[0] & 0x1F) : 0;
        if (nal.len > 0 && type != kNalSps && type != kNalPps) {
            if (n + 4 + nal.len > kVideoBodyBytes) {
                return -1;
            }
            put32(out + n, static_cast<uint32_t>(nal.len));
            std::memcpy(out + n + 4, nal.p, static_cast<size_t>(nal.len));
            n += 4 + nal.len;
        }
        at = next;
    }
    return n > 5 ? n : -1;
}

// A parameter set behind a start code at `at`, ending within the search bound: false when it is not
// of `type`, is too short to be one (an SPS carries profile, constraints and level) or does not end
// in time.
bool paramSet(const uint8_t *u, int bytes, int at, uint8_t type, Nal *nal, int *next)
{
    if (at >= bytes || startCodeAt(u, bytes, at) == 0) {
        return false;
    }
    *nal = nalAt(u, bytes, at, next);
    int shortest = type == kNalSps ? 4 : 2;
    return nal->len >= shortest && nal->len <= kParamSetSearch && (nal->p[0] & 0x1F) == type &&
           *next - at - nal->startCode <= kParamSetSearch;
}

bool beginsWithSps(const uint8_t *u, int bytes)
{
    return bytes > 4 && startCodeAt(u, bytes, 0) == 4 && (u[4] & 0x1F) == kNalSps;
}

bool sameParamSets(const Stream &s, const Nal &sps, const Nal &pps)
{
    return sps.len == s.lastSpsLen && pps.len == s.lastPpsLen && std::memcmp(sps.p, s.lastSps, sps.len) == 0 &&
           std::memcmp(pps.p, s.lastPps, pps.len) == 0;
}

// The metadata, the AVC sequence header (again whenever the parameter sets change) and the AAC one,
// as the key frame about to go out needs them.
bool sendHeaders(Publisher &p, const Nal &sps, const Nal &pps)
{
    Stream &s = p.stream;
    if (!s.headersSent && !sendMetadata(p)) {
        return false;
    }
    if (!s.headersSent || !sameParamSets(s, sps, pps)) {
        if (!sendAvcHeader(p, sps.p, sps.len, pps.p, pps.len)) {
            return false;
        }
        std::memcpy(s.lastSps, sps.p, static_cast<size_t>(sps.len));
        std::memcpy(s.lastPps, pps.p, static_cast<size_t>(pps.len));
        s.lastSpsLen = sps.len;
        s.lastPpsLen = pps.len;
    }
    if (!s.headersSent && s.aacKnown && !s.aacHeaderSent && !sendAacHeader(p)) {
        return false;
    }
    s.headersSent = true;
    return true;
}

// Start code, SPS, start code, PPS, start code, slices. The sequence header goes out on the first key
// frame of a connection and again whenever the encoder's parameter sets change.
Outcome sendKeyFrame(Publisher &p, const uint8_t *u, int bytes, int64_t ts)
{
    Nal sps{};
    Nal pps{};
    int afterSps = 0;
    int afterPps = 0;
    if (!paramSet(u, bytes, 0, kNalSps, &sps, &afterSps) || sps.startCode != 4) {
        say(p, "error found sps\n");
        return Outcome::Failed;
    }
    if (!paramSet(u, bytes, afterSps, kNalPps, &pps, &afterPps)) {
        say(p, "error found pps\n");
        return Outcome::Failed;
    }
    if (afterPps >= bytes) {
        say(p, "error found iframe\n");
        return Outcome::Failed;
    }
    uint8_t *body = p.stream.videoBuf.get() + kHeaderRoom;
    int n = buildVideoBody(body, kFlvKeyFrame, u, bytes, afterPps);
    if (n < 0) {
        say(p, "error found iframe\n");
        return Outcome::Failed;
    }
    // The body was built before the headers go out: they use their own buffer.
    if (!sendHeaders(p, sps, pps)) {
        return Outcome::Failed;
    }
    return sendPacket(p, kTypeVideo, kChannelVideo, ts, body, static_cast<uint32_t>(n)) ? Outcome::Sent
                                                                                      : Outcome::Failed;
}

Outcome sendInterFrame(Publisher &p, const uint8_t *u, int bytes, int64_t ts)
{
    if (startCodeAt(u, bytes, 0) == 0) {
        say(p, "error found frame start code\n");
        return Outcome::Failed;
    }
    uint8_t *body = p.stream.videoBuf.get() + kHeaderRoom;
    bool idr = false;
    for (int at = 0; at < bytes;) {
        int next = 0;
        Nal nal = nalAt(u, bytes, at, &next);
        idr = idr || (nal.len > 0 && (nal.p[0] & 0x1F) == kNalIdr);
        at = next;
    }
    int n = buildVideoBody(body, idr ? kFlvKeyFrame : kFlvInterFrame, u, bytes, 0);
    if (n < 0) {
        say(p, "error found frame data\n");
        return Outcome::Failed;
    }
    return sendPacket(p, kTypeVideo, kChannelVideo, ts, body, static_cast<uint32_t>(n)) ? Outcome::Sent
                                                                                      : Outcome::Failed;
}

void checkTimestampLimit(int64_t ts, bool overflow)
{
    if (overflow || ts > kTimestampLimitMs) {
        Shell_run("/sbin/reboot");
    }
}

// Under sendLock, connected. Skipped while the connection waits for a unit that begins with an SPS.
Outcome sendVideoUnit(Publisher &p, const uint8_t *unit, int bytes, FrameTime time)
{
    Stream &s = p.stream;
    if (p.videoOff.load()) {
        return Outcome::Skipped;
    }
    bool key = beginsWithSps(unit, bytes);
    if (!s.video.started && !key) {
        return Outcome::Skipped;
    }
    if (!s.video.started) {
        // A failed key frame leaves the clock waiting for the next one.
        StreamClock fresh;
        fresh.base = time;
        fresh.offset = fresh.last = s.resumeMs;
        StreamClock keep = s.video;
        s.video = fresh;
        checkTimestampLimit(s.resumeMs, false); // reconnections carry the timestamps on
        Outcome r = sendKeyFrame(p, unit, bytes, s.resumeMs);
        s.video.started = r == Outcome::Sent;
        if (r != Outcome::Sent) {
            s.video = keep;
        }
        return r;
    }
    bool overflow = false;
    int64_t rebaseMs = earlier(time, s.video.base) ? framePeriodMs() : 0;
    int64_t ts = stamp(s.video, time, rebaseMs, &overflow);
    checkTimestampLimit(ts, overflow);
    return key ? sendKeyFrame(p, unit, bytes, ts) : sendInterFrame(p, unit, bytes, ts);
}

// --- Audio ---

// A stream that is no ADTS at all would print the same line for every frame: each refusal is said
// once in a row.
void adtsRefused(Publisher &p, const char *line)
{
    Stream &s = p.stream;
    if (s.adtsRefused != line) {
        say(p, "%s\n", line);
        s.adtsRefused = line;
    }
}

// The first frame's checks, with their messages. The sampling index, or -1 (the frame is dropped and
// the next one checked again: a sequence header without a valid configuration helps no player).
int checkAdtsHeader(Publisher &p, const uint8_t *f)
{
    if (f[0] != 0xFF || f[1] < 0xF0) {
        adtsRefused(p, "Bad 'syncword' at start of ADTS file");
        return -1;
    }
    if ((f[2] >> 6) == 3) {
        adtsRefused(p, "Bad (reserved) 'profile': 3 in first frame of ADTS file");
        return -1;
    }
    int index = (f[2] >> 2) & 0x0F;
    if (index >= static_cast<int>(std::size(kAacRates))) {
        adtsRefused(p, "Bad 'sampling_frequency_index' in first frame of ADTS file");
        return -1;
    }
    say(p, "sample rate=%d\n", kAacRates[index]);
    say(p, "sample rate=%d\n", index);
    return index;
}

// The AudioSpecificConfig an ADTS header describes: object type (profile + 1), sampling index,
// channel configuration.
void learnAacConfig(Stream &s, const uint8_t *f, int index)
{
    int objectType = (f[2] >> 6) + 1;
    int channels = ((f[2] & 0x01) << 2) | (f[3] >> 6);
    s.aacConfig[0] = static_cast<uint8_t>((objectType << 3) | (index >> 1));
    s.aacConfig[1] = static_cast<uint8_t>(((index & 1) << 7) | (channels << 3));
    s.aacKnown = true;
}

bool startAudio(Publisher &p, FrameTime time)
{
    Stream &s = p.stream;
    if (!s.aacHeaderSent && !sendAacHeader(p)) {
        return false;
    }
    s.audio = StreamClock{};
    if (p.videoOff.load()) {
        s.audio.base = time;
        s.audio.offset = s.audio.last = s.resumeMs;
    } else {
        s.audio.base = s.video.base;
        s.audio.offset = s.audio.last = s.video.offset;
    }
    s.audio.started = true;
    return true;
}

// Under sendLock, connected.
Outcome sendAudioFrame(Publisher &p, const uint8_t *frame, int bytes, FrameTime time)
{
    Stream &s = p.stream;
    if (bytes < kAdtsMinBytes || bytes > kAdtsMaxBytes) {
        say(p, "audio error\n");
        return Outcome::Failed;
    }
    if (!s.aacKnown) {
        int index = checkAdtsHeader(p, frame);
        if (index < 0) {
            return Outcome::Failed;
        }
        learnAacConfig(s, frame, index);
    }
    // Frames before the first video key frame are dropped; the configuration they carry goes out with
    // the key frame, so that the stream begins with both sequence headers.
    if (!p.videoOff.load() && !s.video.started) {
        return Outcome::Skipped;
    }
    if (!s.audio.started && !startAudio(p, time)) {
        return Outcome::Failed;
    }
    // A CRC makes the header 9 bytes; what follows must still be one whole frame.
    int header = (frame[1] & 0x01) != 0 ? 7 : 9;
    if (frame[0] != 0xFF || (frame[1] & 0xF0) != 0xF0 || bytes <= header) {
        say(p, "audio error\n");
        return Outcome::Failed;
    }
    bool overflow = false;
    int64_t ts = stamp(s.audio, time, kAudioRebaseMs, &overflow);
    uint8_t *b = s.audioBuf + kHeaderRoom;
    b[0] = kFlvAac;
    b[1] = 0x01;
    std::memcpy(b + 2, frame + header, static_cast<size_t>(bytes - header));
    return sendPacket(p, kTypeAudio, kChannelAudio, ts, b, static_cast<uint32_t>(bytes - header + 2))
               ? Outcome::Sent
               : Outcome::Failed;
}

// --- Sender thread ---

// A connection's stream begins with both sequence headers. With audio on, the first key frame of a
// connection that has seen no audio yet (the encoder's very first one, as a rule) waits, once and for
// at most kAudioWaitMs, for an audio frame to be queued behind it; that frame's configuration then goes
// out with the key frame, and the frame itself in its turn.
void learnAudioAhead(Publisher &p, const QueuedUnit &u, const uint8_t *data)
{
    {
        ScopedLock lock(p.sendLock);
        Stream &s = p.stream;
        if (u.kind != Kind::Video || !p.connected.load() || p.videoOff.load() || !Pipeline_audioPresent() ||
            s.video.started || s.aacKnown || s.audioAwaited || !beginsWithSps(data, u.bytes)) {
            return;
        }
        s.audioAwaited = true;
    }
    const uint8_t *frame = nullptr;
    int bytes = 0;
    if (!p.queue.awaitAudio(&frame, &bytes, kAudioWaitMs)) {
        return;
    }
    ScopedLock lock(p.sendLock);
    Stream &s = p.stream;
    if (p.connected.load() && !s.aacKnown && bytes >= kAdtsMinBytes && bytes <= kAdtsMaxBytes) {
        int index = checkAdtsHeader(p, frame);
        if (index >= 0) {
            learnAacConfig(s, frame, index);
        }
    }
}

// One unit taken from the queue, under sendLock so that the link thread never swaps the connection
// under a send. A unit that failed on a connection still up was refused (its message is out); one
// whose send lost the connection was dropped.
void handleUnit(Publisher &p, const QueuedUnit &u, const uint8_t *data)
{
    learnAudioAhead(p, u, data);
    ScopedLock lock(p.sendLock);
    if (!p.connected.load()) {
        p.unitsDropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Outcome r = u.kind == Kind::Video ? sendVideoUnit(p, data, u.bytes, u.time)
                                      : sendAudioFrame(p, data, u.bytes, u.time);
    if (r == Outcome::Sent) {
        p.unitsSent.fetch_add(1, std::memory_order_relaxed);
    } else if (r == Outcome::Failed) {
        (p.connected.load() ? p.unitsRefused : p.unitsDropped).fetch_add(1, std::memory_order_relaxed);
    }
}

void sendLoop(Publisher &p)
{
    pthread_setname_np(pthread_self(), "rtmp send");
    for (;;) {
        QueuedUnit u{};
        const uint8_t *data = nullptr;
        Taken t = p.queue.take(&u, &data, kIdleTickMs);
        if (t == Taken::Closed) {
            return;
        }
        if (t == Taken::Unit) {
            handleUnit(p, u, data);
        }
        // Said before the unit is given back: once the queue is empty, every run it saw end is said.
        if (uint64_t n = p.queue.endedRun()) {
            say(p, "rtmp queue full, %llu units dropped\n", static_cast<unsigned long long>(n));
        }
        if (t == Taken::Unit) {
            p.queue.release();
        }
    }
}

} // namespace

// --- The URL ---

bool Rtmp_readUrl(std::string &url)
{
    // One byte past the scanned head tells whether the head is the whole file.
    std::string head;
    if (!Config_readText("/mnt/autorun.sh", head, kUrlScanBytes + 1)) {
        Console_say("Can't open file autorun.sh\n");
        return false;
    }
    bool whole = head.size() <= static_cast<size_t>(kUrlScanBytes);
    std::string_view text(head.data(), std::min(head.size(), static_cast<size_t>(kUrlScanBytes)));
    for (size_t at = text.find("url="); at != std::string_view::npos; at = text.find("url=", at + 1)) {
        size_t begin = at + 4;
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string_view::npos && whole) {
            end = text.size(); // the file's last line
        }
        if (end == std::string_view::npos || end - begin > kUrlChars || end == begin) {
            continue;
        }
        // The settings page stores the URL single-quoted so that the start script cannot run it.
        std::string_view v = RtmpUrl_unstored(text.substr(begin, end - begin));
        if (!v.empty()) {
            url.assign(v);
            return true;
        }
    }
    return false;
}

// --- Link thread ---

namespace {

enum class ConnectResult { Ok, Retry, Fatal };

bool stopAsked(Publisher &p)
{
    ScopedLock lock(p.lifeLock);
    return p.stopAsked;
}

// Sleeps up to ms; true when a stop was asked.
bool sleepOrStop(Publisher &p, int ms)
{
    std::unique_lock<std::mutex> lock(p.lifeLock);
    return p.lifeCv.wait_for(lock, std::chrono::milliseconds(ms), [&p] { return p.stopAsked; });
}

// A connection still open is closed without ceremony: its socket is shut down first, so that the
// commands librtmp sends while closing fail at once.
void freeConnection(Connection *c)
{
    if (c == nullptr) {
        return;
    }
    if (c->r != nullptr) {
        if (RTMP_IsConnected(c->r)) {
            shutdown(c->guardFd, SHUT_RDWR);
            RTMP_Close(c->r);
        }
        RTMP_Free(c->r);
    }
    if (c->guardFd >= 0) {
        close(c->guardFd);
    }
    delete c;
}

// While a connection is being made, a stop shuts its socket down through the guard. False when a stop
// was asked already.
class ConnectingGuard {
public:
    ConnectingGuard(Publisher &p, int fd) : p_(p)
    {
        ScopedLock lock(p_.lifeLock);
        armed_ = !p_.stopAsked;
        p_.connectingFd = armed_ ? fd : -1;
    }
    ~ConnectingGuard()
    {
        ScopedLock lock(p_.lifeLock);
        p_.connectingFd = -1;
    }
    ConnectingGuard(const ConnectingGuard &) = delete;
    ConnectingGuard &operator=(const ConnectingGuard &) = delete;
    bool armed() const { return armed_; }

private:
    Publisher &p_;
    bool armed_ = false;
};


// The socket to the server librtmp parsed from the URL, and the guard's handle on it. librtmp owns the
// socket from here on (its close closes it).
bool makeSocket(Connection *c, sockaddr_in *server)
{
    RTMP *r = c->r;
    std::string host(r->Link.hostname.av_val, static_cast<size_t>(std::max(r->Link.hostname.av_len, 0)));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    std::memcpy(server, found->ai_addr, sizeof *server);
    freeaddrinfo(found);
    server->sin_port = htons(r->Link.port != 0 ? r->Link.port : 1935);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    r->m_sb.sb_socket = fd;
    c->guardFd = dup(fd);
    return c->guardFd >= 0;
}

// The TCP connection, bounded, and then the socket's send and receive bounds.
bool connectSocket(int fd, const sockaddr_in &server)
{
    timeval connectBound{kReceiveTimeoutS, 0};
    timeval sendBound{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    timeval receiveBound{kReceiveTimeoutS, 0};
    int on = 1;
    // On Linux the send timeout bounds connect() as well.
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &connectBound, sizeof connectBound) == 0 &&
           connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendBound, sizeof sendBound) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveBound, sizeof receiveBound) == 0 &&
           setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

// Socket, handshake, connect and publish, each bounded; a stop cuts any of them short. Says what
// failed unless `quiet` (or stopping).
bool reach(Publisher &p, Connection *c, bool quiet)
{
    sockaddr_in server{};
    bool made = makeSocket(c, &server);
    ConnectingGuard guard(p, made ? c->guardFd : -1);
    if (!guard.armed()) {
        return false;
    }
    if (made && connectSocket(c->r->m_sb.sb_socket, server)) {
        c->r->m_bSendCounter = TRUE;
        made = RTMP_Connect1(c->r, nullptr) != 0;
    } else {
        made = false;
    }
    if (!made) {
        if (!quiet && !stopAsked(p)) {
            say(p, "connect error\n");
        }
        return false;
    }
    if (!RTMP_ConnectStream(c->r, 0)) {
        if (!quiet && !stopAsked(p)) {
            say(p, "connect stream erro \n");
        }
        RTMP_Close(c->r);
        return false;
    }
    return true;
}

// Under sendLock: the stream starts afresh on the new connection (next SPS, metadata and both sequence
// headers again), its timestamps going on from where the last connection stopped.
bool install(Publisher &p, Connection *c)
{
    ScopedLock lock(p.sendLock);
    Stream &s = p.stream;
    s.conn = c;
    p.connected.store(true);
    uint8_t *b = s.smallBuf + kHeaderRoom;
    put32(b, kChunkSize);
    bool ok = sendPacket(p, kTypeChunkSize, kChannelControl, 0, b, 4);
    if (ok) {
        c->r->m_outChunkSize = kChunkSize;
        s.video = StreamClock{};
        s.audio = StreamClock{};
        s.headersSent = false;
        s.adtsRefused = nullptr;
        s.audioAwaited = false;
        s.aacKnown = false;
        s.aacHeaderSent = false;
    } else {
        s.conn = nullptr;
    }
    return ok;
}

// The installed connection in `*installed` when the result is Ok.
ConnectResult connectOnce(Publisher &p, const std::string &url, bool quiet, Connection **installed)
{
    auto c = std::unique_ptr<Connection, void (*)(Connection *)>(new (std::nothrow) Connection, freeConnection);
    if (!c || url.size() > kUrlChars || (c->r = RTMP_Alloc()) == nullptr) {
        return ConnectResult::Retry;
    }
    RTMP_Init(c->r);
    std::memcpy(c->url, url.data(), url.size());
    if (!RTMP_SetupURL(c->r, c->url)) {
        say(p, "setupurl error\n");
        return ConnectResult::Fatal;
    }
    c->r->Link.timeout = kReceiveTimeoutS;
    RTMP_EnableWrite(c->r);
    if (!reach(p, c.get(), quiet)) {
        return ConnectResult::Retry;
    }
    say(p, "connect stream ok \n");
    FlagRead v = Config_readFlag("/mnt/rtmpv.ini");
    say(p, "rtmpv.ini read=%d\n", v.state == FileState::Read ? v.digit() : 0);
    p.videoOff.store(v.on());
    if (!install(p, c.get())) {
        return ConnectResult::Retry; // install() said why
    }
    *installed = c.release();
    return ConnectResult::Ok;
}

// Drains what the server sends (acknowledgements, pings: never read by a publisher, they would fill
// the socket in the end) and notices a server that has gone away while nothing was being sent. The
// drain reads the guard outside sendLock: the watch must never wait behind a stalled send. A gone
// server's socket is shut down first, which ends any send at once, so taking sendLock afterwards to
// retire the connection is short.
void drain(Publisher &p, Connection *c)
{
    char sink[4096];
    for (int i = 0; i < 64; i++) {
        ssize_t r = recv(c->guardFd, sink, sizeof sink, MSG_DONTWAIT);
        if (r > 0) {
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            shutdown(c->guardFd, SHUT_RDWR);
            ScopedLock lock(p.sendLock);
            dropConnection(p, "server closed the connection");
        }
        return;
    }
}

// While connected: a send past its deadline gets its socket shut down, which ends it at once.
void watch(Publisher &p, Connection *c)
{
    int sinceDrain = 0;
    while (p.connected.load()) {
        if (sleepOrStop(p, kWatchTickMs)) {
            return;
        }
        int64_t deadline = p.sendDeadline.load();
        if (deadline != 0 && nowNs() > deadline) {
            shutdown(c->guardFd, SHUT_RDWR);
        }
        sinceDrain += kWatchTickMs;
        if (sinceDrain >= kRetryMs) {
            sinceDrain = 0;
            drain(p, c);
        }
    }
}

// Under sendLock the installed connection is taken away (ended in order when still up), then freed.
void retire(Publisher &p)
{
    Connection *c = nullptr;
    {
        ScopedLock lock(p.sendLock);
        c = p.stream.conn;
        if (p.connected.load()) {
            // The two commands of the orderly end get a short bound: the server may be stalled.
            timeval bound{0, kCloseTimeoutMs * 1000};
            setsockopt(c->guardFd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
            RTMP_Close(c->r);
            p.connected.store(false);
        }
        p.stream.conn = nullptr;
    }
    freeConnection(c);
}

void linkLoop(Publisher &p)
{
    pthread_setname_np(pthread_self(), "rtmp link");
    std::string url = p.configuredUrl;
    if (url.empty() && !Rtmp_readUrl(url)) {
        say(p, "error url input\n");
        p.lastError.set("error url input");
        return;
    }
    {
        ScopedLock lock(p.urlLock);
        p.url = url;
    }
    p.publishing.store(true);
    bool quiet = false;
    bool dropped = false;
    while (!stopAsked(p)) {
        Connection *c = nullptr;
        ConnectResult r = connectOnce(p, url, quiet, &c);
        if (r == ConnectResult::Fatal) {
            break;
        }
        if (r == ConnectResult::Retry) {
            quiet = true; // one line per outage, not one per second
            if (sleepOrStop(p, kRetryMs)) {
                break;
            }
            continue;
        }
        if (dropped) {
            say(p, "rtmp reconnected\n");
            p.reconnects.fetch_add(1, std::memory_order_relaxed);
        }
        watch(p, c);
        dropped = !p.connected.load();
        quiet = dropped; // the drop's own line says it; the failed tries until "reconnected" say nothing
        retire(p);
    }
    p.publishing.store(false);
}

// Every unit that is not taken is counted as dropped, except video on an audio-only connection.
int counted(Publisher &p, int r)
{
    if (r != Rtmp_EOK) {
        p.unitsDropped.fetch_add(1, std::memory_order_relaxed);
    }
    return r;
}

RtmpPublisher_Handle create(const RtmpPublisherConfig *config)
{
    std::unique_ptr<Publisher> p(new (std::nothrow) Publisher);
    int queueBytes = config != nullptr && config->queueBytes > 0 ? config->queueBytes : RTMP_QUEUE_BYTES;
    if (p != nullptr) {
        p->stream.videoBuf.reset(new (std::nothrow) uint8_t[kHeaderRoom + kVideoBodyBytes]);
    }
    if (p == nullptr || p->stream.videoBuf == nullptr || !p->queue.make(queueBytes)) {
        std::fputs("Error: Failed to allocate the rtmp buffer\n", stderr);
        return nullptr;
    }
    if (config != nullptr && config->url != nullptr) {
        p->configuredUrl = config->url;
    }
    if (config != nullptr && config->destination > 1) {
        p->destination = config->destination;
        std::snprintf(p->tag, sizeof p->tag, "rtmp %d: ", p->destination);
    }
    RTMP_LogSetLevel(RTMP_LOGCRIT); // the publisher's own lines say what happened, once
    try {
        p->sender = std::thread(sendLoop, std::ref(*p));
        p->link = std::thread(linkLoop, std::ref(*p));
    } catch (const std::system_error &) {
        std::fputs("Error: Failed to create the rtmp thread\n", stderr);
        RtmpPublisher_destroy(p.release());
        return nullptr;
    }
    p->statusId = StatusBoard_add(StatusSection::Output, report, p.get());
    return p.release();
}

} // namespace

// --- The object ---

RtmpPublisher_Handle RtmpPublisher_create(const RtmpPublisherConfig *config)
{
    try {
        return create(config);
    } catch (...) {
        std::fputs("Error: Failed to create the rtmp publisher\n", stderr);
        return nullptr;
    }
}

void RtmpPublisher_destroy(RtmpPublisher_Handle h)
{
    if (h == nullptr) {
        return;
    }
    StatusBoard_remove(h->statusId);
    if (h->connected.load()) {
        h->queue.waitEmpty(kFlushMs);
    }
    // The sender first, while the link thread still bounds its last send.
    h->queue.close();
    if (h->sender.joinable()) {
        h->sender.join();
    }
    {
        ScopedLock lock(h->lifeLock);
        h->stopAsked = true;
        if (h->connectingFd >= 0) {
            shutdown(h->connectingFd, SHUT_RDWR);
        }
    }
    h->lifeCv.notify_all();
    if (h->link.joinable()) {
        h->link.join();
    }
    delete h;
}

int RtmpPublisher_sendVideo(RtmpPublisher_Handle h, const uint8_t *unit, int bytes, FrameTime time)
{
    if (h == nullptr || unit == nullptr || bytes <= 0) {
        return Rtmp_EINVAL;
    }
    if (h->videoOff.load()) {
        return Rtmp_EVIDEOOFF;
    }
    return counted(*h, h->queue.put(Kind::Video, unit, bytes, time, beginsWithSps(unit, bytes), h->connected.load()));
}

int RtmpPublisher_sendAudio(RtmpPublisher_Handle h, const uint8_t *frame, int bytes, FrameTime time)
{
    if (h == nullptr || frame == nullptr || bytes <= 0) {
        return Rtmp_EINVAL;
    }
    return counted(*h, h->queue.put(Kind::Audio, frame, bytes, time, false, h->connected.load()));
}

void RtmpPublishers_sendVideo(const RtmpPublishers *set, const uint8_t *unit, int bytes, FrameTime time)
{
    for (int i = 0; set != nullptr && i < RTMP_DESTINATIONS; i++) {
        if (set->at[i] != nullptr) {
            RtmpPublisher_sendVideo(set->at[i], unit, bytes, time);
        }
    }
}

void RtmpPublishers_sendAudio(const RtmpPublishers *set, const uint8_t *frame, int bytes, FrameTime time)
{
    for (int i = 0; set != nullptr && i < RTMP_DESTINATIONS; i++) {
        if (set->at[i] != nullptr) {
            RtmpPublisher_sendAudio(set->at[i], frame, bytes, time);
        }
    }
}

RtmpPublisherStats RtmpPublisher_stats(RtmpPublisher_Handle h)
{
    RtmpPublisherStats s{};
    if (h == nullptr) {
        return s;
    }
    s.connected = h->connected.load();
    s.videoOff = h->videoOff.load();
    s.sent = h->unitsSent.load(std::memory_order_relaxed);
    s.refused = h->unitsRefused.load(std::memory_order_relaxed);
    s.dropped = h->unitsDropped.load(std::memory_order_relaxed);
    s.bytes = h->bytesSent.load(std::memory_order_relaxed);
    s.reconnects = h->reconnects.load(std::memory_order_relaxed);
    s.queued = h->queue.count();
    s.longestSendMs = h->longestSendMs.load();
    return s;
}

bool RtmpPublisher_waitIdle(RtmpPublisher_Handle h, int timeoutMs)
{
    return h != nullptr && h->queue.waitEmpty(timeoutMs);
}
