// RTMP publisher and FLV packaging.
//
// Threads: the publisher thread connects, installs the connection, watches the sends and reconnects;
// the writer (video) and the AAC audio thread send. Every send, and every change of the installed
// connection or of the stream state below, happens under the output semaphore, so the senders and
// the publisher never touch the connection at the same time.
//
// librtmp (2.4) sends with plain blocking send() and bounds only receives, so a stalled server would
// hold a sender, and with it the semaphore and the whole box, for ever. Two bounds stop that: the
// socket gets a 1 s send timeout, and the publisher shuts the socket down when a send runs past its
// deadline. The shutdown matters because librtmp closes the connection itself after a failed send and
// sends two more commands while closing; on a shut-down socket those fail at once instead of each
// waiting out its own timeout. The publisher keeps a dup() of the socket for that, so that it never
// shuts down a descriptor number librtmp has already closed and the system has handed out again.
//
// Hand-over: a sender that sees a send fail shuts the socket down, closes the connection and clears
// the connected flag, all under the semaphore; from then on no sender touches the object. The
// publisher frees it and installs a new one under the semaphore as well.
#include "encode/output/rtmp.h"

#include "encode/core/console.h"
#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/core/status_board.h"
#include "encode/output/output_sem.h"

#include <nlohmann/json.hpp>

#include <librtmp/log.h>
#include <librtmp/rtmp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kVideoBodyBytes = 2097152;   // one access unit, with its lengths and tag header
constexpr int kAudioBodyBytes = 1024;      // one AAC frame without its ADTS header, plus two bytes
constexpr int kSmallBodyBytes = 1024;      // metadata and sequence headers
constexpr int kHeaderRoom = RTMP_MAX_HEADER_SIZE; // librtmp writes the chunk header in front of a body
constexpr int kChunkSize = 1024;
constexpr int kSendTimeoutMs = 1000;
constexpr int kWatchTickMs = 50;
constexpr int kRetryMs = 1000;
constexpr int kReceiveTimeoutS = 5;        // handshake and connect answers
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

constexpr uint8_t kNalSlice = 1;
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

// Set by the publisher, read by everyone.
std::atomic<bool> g_connected{false};
std::atomic<bool> g_videoOff{false};
std::atomic<int64_t> g_sendDeadline{0}; // steady-clock ns of the running send's deadline, 0 when none
std::atomic<int> g_longestSendMs{0};

// What the status says of the publisher: bumped where the sends and the publisher run, read by the
// status thread. The report is added at the first start and kept for the process.
std::atomic<uint64_t> g_bytesSent{0};
std::atomic<uint64_t> g_unitsDropped{0}; // units that came while no connection was up
std::atomic<uint64_t> g_reconnects{0};
std::atomic<bool> g_publishing{false};
StatusError g_lastError;
std::mutex g_urlLock;
std::string g_url; // guarded by g_urlLock
int g_statusId = 0;

void report(const void *, nlohmann::json &out)
{
    out["kind"] = "rtmp";
    out["name"] = "RTMP";
    {
        std::lock_guard<std::mutex> lock(g_urlLock);
        out["target"] = g_url;
    }
    out["state"] = g_connected.load() ? "ok" : g_publishing.load() ? "waiting" : "off";
    out["reconnects"] = g_reconnects.load(std::memory_order_relaxed);
    out["bytes"] = g_bytesSent.load(std::memory_order_relaxed);
    out["dropped"] = g_unitsDropped.load(std::memory_order_relaxed);
    g_lastError.report(out);
}

// The publisher thread's life. The publisher is detached and may still be waiting while the process
// exits, so nothing it touches is ever destroyed: the condition variable is made once and kept.
std::mutex g_lifeLock;
std::condition_variable &g_lifeCv = *new std::condition_variable;
bool g_running = false;
bool g_stopAsked = false;

// Under the output semaphore.
Connection *g_conn = nullptr;
StreamClock g_video;
StreamClock g_audio;
int64_t g_resumeMs = 0;     // where the timestamps of the next connection start
bool g_headersSent = false; // metadata and AVC sequence header on this connection
uint8_t g_aacConfig[2];       // AudioSpecificConfig of the ADTS stream, once a frame has passed the check
bool g_aacKnown = false;      // on this connection
bool g_aacHeaderSent = false; // on this connection
const char *g_adtsRefused = nullptr; // the first-frame ADTS check's last complaint on this connection
uint8_t g_lastSps[kParamSetSearch];
uint8_t g_lastPps[kParamSetSearch];
int g_lastSpsLen = 0;
int g_lastPpsLen = 0;
uint8_t *g_videoBuf = nullptr; // made at the first start and kept, as the publisher's state
uint8_t g_audioBuf[kHeaderRoom + kAudioBodyBytes];
uint8_t g_smallBuf[kHeaderRoom + kSmallBodyBytes];

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

// --- Connection loss ---

// Under the semaphore: the socket is shut down first, so that librtmp's close (two more commands)
// fails at once instead of waiting out the send timeout again.
void dropConnection(const char *why)
{
    if (!g_connected.load()) {
        return;
    }
    shutdown(g_conn->guardFd, SHUT_RDWR);
    RTMP_Close(g_conn->r);
    int64_t last = std::max(g_video.last, g_audio.last);
    g_resumeMs = last + 1000000 / std::max(Pipeline_frameRate(), 1000);
    g_connected.store(false);
    char line[96];
    std::snprintf(line, sizeof line, "rtmp connection lost (%s), reconnecting", why);
    std::printf("%s\n", line);
    std::fflush(stdout);
    g_lastError.set(line);
}

// Under the semaphore. The body must have kHeaderRoom bytes in front of it; librtmp overwrites them
// and parts of the body with chunk headers, so a body is built anew for every send.
bool sendPacket(uint8_t type, int channel, int64_t timestamp, uint8_t *body, uint32_t size)
{
    RTMPPacket p{};
    // Always the large header: the compressed forms have an extended-timestamp fault in this librtmp.
    p.m_headerType = RTMP_PACKET_SIZE_LARGE;
    p.m_packetType = type;
    p.m_nChannel = channel;
    p.m_nTimeStamp = static_cast<uint32_t>(timestamp);
    p.m_nInfoField2 = g_conn->r->m_stream_id;
    p.m_nBodySize = size;
    p.m_body = reinterpret_cast<char *>(body);
    int64_t start = nowNs();
    g_sendDeadline.store(start + int64_t{kSendTimeoutMs} * 1000000);
    int ok = RTMP_SendPacket(g_conn->r, &p, 0);
    g_sendDeadline.store(0);
    int ms = static_cast<int>((nowNs() - start) / 1000000);
    if (ms > g_longestSendMs.load()) {
        g_longestSendMs.store(ms);
    }
    if (!ok || !RTMP_IsConnected(g_conn->r)) {
        dropConnection(ms >= kSendTimeoutMs ? "send timed out" : "send failed");
        return false;
    }
    g_bytesSent.fetch_add(size, std::memory_order_relaxed);
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

} // namespace

// --- Metadata and sequence headers ---

namespace {

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

bool sendMetadata()
{
    int width = 0;
    int height = 0;
    int fps = 0;
    carriedGeometry(&width, &height, &fps);
    bool audio = Pipeline_audioPresent();
    Amf a(g_smallBuf + kHeaderRoom, kSmallBodyBytes);
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
    return sendPacket(kTypeMetadata, kChannelVideo, 0, g_smallBuf + kHeaderRoom, static_cast<uint32_t>(a.length()));
}

bool sendAvcHeader(const uint8_t *sps, int spsLen, const uint8_t *pps, int ppsLen)
{
    uint8_t *b = g_smallBuf + kHeaderRoom;
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
    return sendPacket(kTypeVideo, kChannelVideo, 0, b, static_cast<uint32_t>(n));
}

bool sendAacHeader()
{
    uint8_t *b = g_smallBuf + kHeaderRoom;
    b[0] = kFlvAac;
    b[1] = 0x00;
    b[2] = g_aacConfig[0];
    b[3] = g_aacConfig[1];
    g_aacHeaderSent = sendPacket(kTypeAudio, kChannelAudio, 0, b, 4);
    return g_aacHeaderSent;
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

bool sameParamSets(const Nal &sps, const Nal &pps)
{
    return sps.len == g_lastSpsLen && pps.len == g_lastPpsLen && std::memcmp(sps.p, g_lastSps, sps.len) == 0 &&
           std::memcmp(pps.p, g_lastPps, pps.len) == 0;
}

// Start code, SPS, start code, PPS, start code, slices. The sequence header goes out on the first key
// frame of a connection and again whenever the encoder's parameter sets change.
int sendKeyFrame(const uint8_t *u, int bytes, int64_t ts)
{
    Nal sps{};
    Nal pps{};
    int afterSps = 0;
    int afterPps = 0;
    if (!paramSet(u, bytes, 0, kNalSps, &sps, &afterSps) || sps.startCode != 4) {
        Console_say("error found sps\n");
        return -1;
    }
    if (!paramSet(u, bytes, afterSps, kNalPps, &pps, &afterPps)) {
        Console_say("error found pps\n");
        return -1;
    }
    if (afterPps >= bytes) {
        Console_say("error found iframe\n");
        return -1;
    }
    uint8_t *body = g_videoBuf + kHeaderRoom;
    int n = buildVideoBody(body, kFlvKeyFrame, u, bytes, afterPps);
    if (n < 0) {
        Console_say("error found iframe\n");
        return -1;
    }
    if (!g_headersSent && !sendMetadata()) {
        return -1;
    }
    if (!g_headersSent || !sameParamSets(sps, pps)) {
        if (!sendAvcHeader(sps.p, sps.len, pps.p, pps.len)) {
            return -1;
        }
        std::memcpy(g_lastSps, sps.p, static_cast<size_t>(sps.len));
        std::memcpy(g_lastPps, pps.p, static_cast<size_t>(pps.len));
        g_lastSpsLen = sps.len;
        g_lastPpsLen = pps.len;
    }
    if (!g_headersSent && g_aacKnown && !g_aacHeaderSent && !sendAacHeader()) {
        return -1;
    }
    g_headersSent = true;
    // The body was built before the headers went out: they use their own buffer.
    return sendPacket(kTypeVideo, kChannelVideo, ts, body, static_cast<uint32_t>(n)) ? 1 : -1;
}

int sendInterFrame(const uint8_t *u, int bytes, int64_t ts)
{
    if (startCodeAt(u, bytes, 0) == 0) {
        Console_say("error found frame start code\n");
        return -1;
    }
    uint8_t *body = g_videoBuf + kHeaderRoom;
    bool idr = false;
    for (int at = 0; at < bytes;) {
        int next = 0;
        Nal nal = nalAt(u, bytes, at, &next);
        idr = idr || (nal.len > 0 && (nal.p[0] & 0x1F) == kNalIdr);
        at = next;
    }
    int n = buildVideoBody(body, idr ? kFlvKeyFrame : kFlvInterFrame, u, bytes, 0);
    if (n < 0) {
        Console_say("error found frame data\n");
        return -1;
    }
    return sendPacket(kTypeVideo, kChannelVideo, ts, body, static_cast<uint32_t>(n)) ? 1 : -1;
}

void checkTimestampLimit(int64_t ts, bool overflow)
{
    if (overflow || ts > kTimestampLimitMs) {
        Shell_run("/sbin/reboot");
    }
}

} // namespace

int Rtmp_sendVideo(const uint8_t *unit, int bytes, FrameTime time)
{
    if (!g_connected.load() && unit != nullptr && bytes > 0) {
        g_unitsDropped.fetch_add(1, std::memory_order_relaxed);
    }
    if (!g_connected.load() || g_videoOff.load() || unit == nullptr || bytes <= 0) {
        return 0;
    }
    bool key = beginsWithSps(unit, bytes);
    if (!g_video.started && !key) {
        return 0;
    }
    if (!g_video.started) {
        // A failed key frame leaves the clock waiting for the next one.
        StreamClock fresh;
        fresh.base = time;
        fresh.offset = fresh.last = g_resumeMs;
        StreamClock keep = g_video;
        g_video = fresh;
        checkTimestampLimit(g_resumeMs, false); // reconnections carry the timestamps on
        int r = sendKeyFrame(unit, bytes, g_resumeMs);
        g_video.started = r == 1;
        if (r != 1) {
            g_video = keep;
        }
        return r;
    }
    bool overflow = false;
    int64_t rebaseMs = earlier(time, g_video.base) ? framePeriodMs() : 0;
    int64_t ts = stamp(g_video, time, rebaseMs, &overflow);
    checkTimestampLimit(ts, overflow);
    return key ? sendKeyFrame(unit, bytes, ts) : sendInterFrame(unit, bytes, ts);
}

// --- Audio ---

namespace {

// A stream that is no ADTS at all would print the same line for every frame: each refusal is said
// once in a row.
void adtsRefused(const char *line)
{
    if (g_adtsRefused != line) {
        Console_say("%s\n", line);
        g_adtsRefused = line;
    }
}

// The first frame's checks, with their messages. The sampling index, or -1 (the frame is dropped and
// the next one checked again: a sequence header without a valid configuration helps no player).
int checkAdtsHeader(const uint8_t *f)
{
    if (f[0] != 0xFF || f[1] < 0xF0) {
        adtsRefused("Bad 'syncword' at start of ADTS file");
        return -1;
    }
    if ((f[2] >> 6) == 3) {
        adtsRefused("Bad (reserved) 'profile': 3 in first frame of ADTS file");
        return -1;
    }
    int index = (f[2] >> 2) & 0x0F;
    if (index >= static_cast<int>(std::size(kAacRates))) {
        adtsRefused("Bad 'sampling_frequency_index' in first frame of ADTS file");
        return -1;
    }
    std::printf("sample rate=%d\n", kAacRates[index]);
    std::printf("sample rate=%d\n", index);
    std::fflush(stdout);
    return index;
}

// The AudioSpecificConfig an ADTS header describes: object type (profile + 1), sampling index,
// channel configuration.
void learnAacConfig(const uint8_t *f, int index)
{
    int objectType = (f[2] >> 6) + 1;
    int channels = ((f[2] & 0x01) << 2) | (f[3] >> 6);
    g_aacConfig[0] = static_cast<uint8_t>((objectType << 3) | (index >> 1));
    g_aacConfig[1] = static_cast<uint8_t>(((index & 1) << 7) | (channels << 3));
    g_aacKnown = true;
}

bool startAudio(FrameTime time)
{
    if (!g_aacHeaderSent && !sendAacHeader()) {
        return false;
    }
    g_audio = StreamClock{};
    if (g_videoOff.load()) {
        g_audio.base = time;
        g_audio.offset = g_audio.last = g_resumeMs;
    } else {
        g_audio.base = g_video.base;
        g_audio.offset = g_audio.last = g_video.offset;
    }
    g_audio.started = true;
    return true;
}

} // namespace

int Rtmp_sendAudio(const uint8_t *frame, int bytes, FrameTime time)
{
    if (!g_connected.load()) {
        return 1;
    }
    if (frame == nullptr || bytes < kAdtsMinBytes || bytes > kAdtsMaxBytes) {
        Console_say("audio error\n");
        return -1;
    }
    if (!g_aacKnown) {
        int index = checkAdtsHeader(frame);
        if (index < 0) {
            return -1;
        }
        learnAacConfig(frame, index);
    }
    // Frames before the first video key frame are dropped; the configuration they carry goes out with
    // the key frame, so that the stream begins with both sequence headers.
    if (!g_videoOff.load() && !g_video.started) {
        return 0;
    }
    if (!g_audio.started && !startAudio(time)) {
        return -1;
    }
    // A CRC makes the header 9 bytes; what follows must still be one whole frame.
    int header = (frame[1] & 0x01) != 0 ? 7 : 9;
    if (frame[0] != 0xFF || (frame[1] & 0xF0) != 0xF0 || bytes <= header) {
        Console_say("audio error\n");
        return -1;
    }
    bool overflow = false;
    int64_t ts = stamp(g_audio, time, kAudioRebaseMs, &overflow);
    uint8_t *b = g_audioBuf + kHeaderRoom;
    b[0] = kFlvAac;
    b[1] = 0x01;
    std::memcpy(b + 2, frame + header, static_cast<size_t>(bytes - header));
    return sendPacket(kTypeAudio, kChannelAudio, ts, b, static_cast<uint32_t>(bytes - header + 2)) ? 0 : -1;
}

bool Rtmp_videoOff(void)
{
    return g_videoOff.load();
}

bool Rtmp_connected(void)
{
    return g_connected.load();
}

int Rtmp_longestSendMs(void)
{
    return g_longestSendMs.load();
}

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
        std::string_view v = text.substr(begin, end - begin);
        // The settings page stores the URL single-quoted so that the start script cannot run it.
        if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') {
            v = v.substr(1, v.size() - 2);
        }
        if (!v.empty()) {
            url.assign(v);
            return true;
        }
    }
    return false;
}

// --- Publisher thread ---

namespace {

enum class ConnectResult { Ok, Retry, Fatal };

bool stopAsked()
{
    std::lock_guard<std::mutex> lock(g_lifeLock);
    return g_stopAsked;
}

// Sleeps up to ms; true when a stop was asked.
bool sleepOrStop(int ms)
{
    std::unique_lock<std::mutex> lock(g_lifeLock);
    return g_lifeCv.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_stopAsked; });
}

void freeConnection(Connection *c)
{
    if (c == nullptr) {
        return;
    }
    if (c->r != nullptr) {
        RTMP_Free(c->r);
    }
    if (c->guardFd >= 0) {
        close(c->guardFd);
    }
    delete c;
}

// The socket's send bound and the publisher's own handle on it.
bool armSocket(Connection *c)
{
    int fd = RTMP_Socket(c->r);
    timeval tv{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        return false;
    }
    c->guardFd = dup(fd);
    return c->guardFd >= 0;
}

// Under the semaphore: the stream starts afresh on the new connection (next SPS, metadata and both
// sequence headers again), its timestamps going on from where the last connection stopped.
bool install(Connection *c)
{
    OutputSem_wait();
    g_conn = c;
    g_connected.store(true);
    uint8_t *b = g_smallBuf + kHeaderRoom;
    put32(b, kChunkSize);
    bool ok = sendPacket(kTypeChunkSize, kChannelControl, 0, b, 4);
    if (ok) {
        c->r->m_outChunkSize = kChunkSize;
        g_video = StreamClock{};
        g_audio = StreamClock{};
        g_headersSent = false;
        g_adtsRefused = nullptr;
        g_aacKnown = false;
        g_aacHeaderSent = false;
    } else {
        g_conn = nullptr;
    }
    OutputSem_post();
    return ok;
}

ConnectResult connectOnce(const std::string &url, bool quiet)
{
    auto c = std::unique_ptr<Connection, void (*)(Connection *)>(new (std::nothrow) Connection, freeConnection);
    if (!c || url.size() > kUrlChars || (c->r = RTMP_Alloc()) == nullptr) {
        return ConnectResult::Retry;
    }
    RTMP_Init(c->r);
    std::memcpy(c->url, url.data(), url.size());
    if (!RTMP_SetupURL(c->r, c->url)) {
        Console_say("setupurl error\n");
        return ConnectResult::Fatal;
    }
    c->r->Link.timeout = kReceiveTimeoutS;
    RTMP_EnableWrite(c->r);
    if (RTMP_Connect(c->r, nullptr) <= 0) {
        if (!quiet) {
            Console_say("connect error\n");
        }
        return ConnectResult::Retry;
    }
    if (!RTMP_ConnectStream(c->r, 0) || !armSocket(c.get())) {
        if (!quiet) {
            Console_say("connect stream erro \n");
        }
        RTMP_Close(c->r);
        return ConnectResult::Retry;
    }
    Console_say("connect stream ok \n");
    FlagRead v = Config_readFlag("/mnt/rtmpv.ini");
    std::printf("rtmpv.ini read=%d\n", v.state == FileState::Read ? v.digit() : 0);
    std::fflush(stdout);
    g_videoOff.store(v.on());
    if (!install(c.get())) {
        return ConnectResult::Retry; // install() said why
    }
    c.release();
    return ConnectResult::Ok;
}

// Drains what the server sends (acknowledgements, pings: never read by a publisher, they would fill
// the socket in the end) and notices a server that has gone away while nothing was being sent. The
// drain reads the publisher's own handle outside the semaphore: the watchdog must never wait behind a
// stalled sender. A gone server's socket is shut down first, which ends any send at once, so taking
// the semaphore afterwards to retire the connection is short.
void drain(Connection *c)
{
    char sink[4096];
    for (int i = 0; i < 64; i++) {
        ssize_t r = recv(c->guardFd, sink, sizeof sink, MSG_DONTWAIT);
        if (r > 0) {
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            shutdown(c->guardFd, SHUT_RDWR);
            OutputSem_wait();
            dropConnection("server closed the connection");
            OutputSem_post();
        }
        return;
    }
}

// While connected: a send past its deadline gets its socket shut down, which ends it at once.
void watch(Connection *c)
{
    int sinceDrain = 0;
    while (g_connected.load()) {
        if (sleepOrStop(kWatchTickMs)) {
            return;
        }
        int64_t deadline = g_sendDeadline.load();
        if (deadline != 0 && nowNs() > deadline) {
            shutdown(c->guardFd, SHUT_RDWR);
        }
        sinceDrain += kWatchTickMs;
        if (sinceDrain >= kRetryMs) {
            sinceDrain = 0;
            drain(c);
        }
    }
}

// Under the semaphore the installed connection is taken away (closed politely when still up), then freed.
void retire(bool polite)
{
    OutputSem_wait();
    Connection *c = g_conn;
    if (g_connected.load() && polite) {
        RTMP_Close(c->r);
        g_connected.store(false);
    }
    g_conn = nullptr;
    OutputSem_post();
    freeConnection(c);
}

void publisherEnds()
{
    g_publishing.store(false);
    std::lock_guard<std::mutex> lock(g_lifeLock);
    g_running = false;
    g_lifeCv.notify_all();
}

} // namespace

void *rtmpThrFxn(void *)
{
    std::string url;
    if (!Rtmp_readUrl(url)) {
        Console_say("error url input\n");
        g_lastError.set("error url input");
        publisherEnds();
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_urlLock);
        g_url = url;
    }
    g_publishing.store(true);
    RTMP_LogSetLevel(RTMP_LOGCRIT); // the lines below say what happened, once
    bool quiet = false;
    bool dropped = false;
    while (!stopAsked()) {
        ConnectResult r = connectOnce(url, quiet);
        if (r == ConnectResult::Fatal) {
            break;
        }
        if (r == ConnectResult::Retry) {
            quiet = true; // one line per outage, not one per second
            if (sleepOrStop(kRetryMs)) {
                break;
            }
            continue;
        }
        if (dropped) {
            Console_say("rtmp reconnected\n");
            g_reconnects.fetch_add(1, std::memory_order_relaxed);
        }
        watch(g_conn);
        dropped = g_conn != nullptr && !g_connected.load();
        quiet = dropped; // the drop's own line says it; the failed tries until "reconnected" say nothing
        retire(true);
    }
    publisherEnds();
    return nullptr;
}

int Rtmp_start(void)
{
    {
        std::lock_guard<std::mutex> lock(g_lifeLock);
        if (g_running) {
            return -1;
        }
        if (!g_videoBuf) {
            g_videoBuf = new (std::nothrow) uint8_t[kHeaderRoom + kVideoBodyBytes];
            if (!g_videoBuf) {
                std::fputs("Error: Failed to allocate the rtmp buffer\n", stderr);
                return -1;
            }
        }
        g_running = true;
        g_stopAsked = false;
        if (g_statusId == 0) {
            g_statusId = StatusBoard_add(StatusSection::Output, report, nullptr);
        }
    }
    g_resumeMs = 0;
    g_longestSendMs.store(0);
    g_videoOff.store(false);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&t, &attr, rtmpThrFxn, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::fputs("Error: Failed to create the rtmp thread\n", stderr);
        publisherEnds();
        return -1;
    }
    return 0;
}

bool Rtmp_stop(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(g_lifeLock);
    g_stopAsked = true;
    g_lifeCv.notify_all();
    return g_lifeCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return !g_running; });
}
