// RTMP publisher: the stream on one connection, on the sender worker.
//
// Threads: the writer and the AAC audio thread only put units into the worker's queue. The worker's
// thread does the rest through the link calls below: it connects (RtmpLink), then takes the units in
// their order, packages each as FLV bodies (flv.h) with the connection's timestamps and sends them;
// being the only one that sends, it keeps the connection's chunks in order, and the stream state is
// its own. The flags and counters everyone reads are atomics.
#include "encode/output/rtmp.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/core/status_board.h"
#include "encode/media/annexb.h"
#include "encode/output/flv.h"
#include "encode/output/rtmp_link.h"
#include "encode/output/sender.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kRoom = RTMP_LINK_HEADER_ROOM;
constexpr int kVideoBodyBytes = 2097152; // one access unit, with its lengths and tag header
constexpr int kAudioBodyBytes = 1024;    // one AAC frame without its ADTS header, plus two bytes
constexpr int kSmallBodyBytes = 1024;    // metadata and sequence headers
constexpr int kQueueUnits = 1024;        // about 13 s of 30 frames and 47 AAC frames a second
constexpr int kTickMs = 100;             // an ended run of drops is said within this
constexpr int kDrainMs = 1000;           // what the server sends is read this often
constexpr int kSendBoundMs = 1000;       // a send past it drops the connection
constexpr int kFlushMs = 1000;           // what is queued at the end gets this long to go out
constexpr int kAudioWaitMs = 1000;       // a connection's first key frame waits this long for audio
constexpr int kUrlScanBytes = 1024;
constexpr size_t kUrlChars = 255; // a value of 256 characters or more is no URL
constexpr int64_t kTimestampLimitMs = 950400000; // 11 days: past it the appliance restarts
constexpr int64_t kAudioRebaseMs = 10;
constexpr int kAdtsMinBytes = 11;
constexpr int kAdtsMaxBytes = 1024;

// A stream clock in milliseconds: offset + (time - base), rebased when the capture clock steps back.
struct StreamClock {
    FrameTime base{};
    int64_t offset = 0;
    int64_t last = 0;
    bool started = false;
};

// What the worker keeps of the stream on the connection that is up.
struct Stream {
    StreamClock video;
    StreamClock audio;
    int64_t resumeMs = 0;      // where the timestamps of the next connection start
    bool headersSent = false;  // metadata and AVC sequence header on this connection
    FlvAacConfig aac{};        // the ADTS stream's, once a frame has passed the check
    bool aacKnown = false;     // on this connection
    bool aacHeaderSent = false; // on this connection
    int adtsRefused = Flv_EOK; // the first-frame ADTS check's last complaint on this connection
    bool audioAwaited = false; // the first key frame has waited for audio on this connection
    uint8_t lastSps[FLV_PARAM_SET_BYTES] = {};
    uint8_t lastPps[FLV_PARAM_SET_BYTES] = {};
    int lastSpsLen = 0;
    int lastPpsLen = 0;
    std::unique_ptr<uint8_t[]> videoBuf; // kRoom + kVideoBodyBytes, made at create
    uint8_t audioBuf[kRoom + kAudioBodyBytes] = {};
    uint8_t smallBuf[kRoom + kSmallBodyBytes] = {};
};

} // namespace

static void reportPublisher(const RtmpPublisher_Object &p, nlohmann::json &out);

struct RtmpPublisher_Object : Output, SenderLink {
    std::string configuredUrl; // fixed at create; empty: the start script's
    int destination = 1;       // fixed at create
    char tag[24] = {};         // what the lines of a destination past the first begin with

    StatusError lastError;
    RtmpLink link{tag, lastError};
    Sender_Handle sender = nullptr;

    std::atomic<bool> videoOff{false};
    std::atomic<bool> publishing{false}; // it has a URL to publish to
    mutable std::mutex urlLock;
    std::string url; // guarded by urlLock: the server the status names

    // The worker's.
    Stream stream;
    bool urlRead = false;
    bool quiet = false;   // the outage has been said: the tries until the next connection say nothing
    bool dropped = false; // a connection was lost: the next one is said as a reconnection
    int64_t lastDrainMs = 0;

    void video(const OutputUnit &u) override { RtmpPublisher_sendVideo(this, u.data, u.bytes, u.time); }
    void audio(const OutputUnit &u) override { RtmpPublisher_sendAudio(this, u.data, u.bytes, u.time); }
    void report(int, nlohmann::json &out) const override { reportPublisher(*this, out); }
    void stop() override { RtmpPublisher_destroy(this); }

    int connect(const MediaStop *stop) override;
    void prepare(const SenderUnit &unit) override;
    int send(const SenderUnit &unit) override;
    int tend() override;
    void disconnect(bool stopping) override;
    void abort() override { link.abort(); }
};

static void reportPublisher(const RtmpPublisher_Object &p, nlohmann::json &out)
{
    out["kind"] = "rtmp";
    out["name"] = p.destination == 1 ? std::string("RTMP") : "RTMP " + std::to_string(p.destination);
    out["destination"] = p.destination;
    {
        // The stream name is the ingest's key: the status, which the page shows, never holds it.
        ScopedLock lock(p.urlLock);
        out["target"] = RtmpUrl_public(p.url);
    }
    Sender_report(p.sender, out);
    if (!p.publishing.load()) {
        out["state"] = "off";
    }
    SenderStats s = Sender_stats(p.sender);
    out["bytes"] = p.link.bytesSent();
    out["frames"] = s.sent; // the worker's units: one audio or video frame each
    out["dropped"] = s.dropped;
    p.lastError.report(out);
}

namespace {

using Publisher = RtmpPublisher_Object;

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

// What the worker made of a unit, in its terms.
int outcome(Publisher &p, bool sent)
{
    return sent ? Sender_EOK : p.link.up() ? Sender_EREFUSED : Sender_ELOST;
}

bool sendBody(Publisher &p, uint8_t type, int channel, int64_t ts, uint8_t *body, int size)
{
    return size >= 0 && p.link.send(type, channel, ts, body, static_cast<uint32_t>(size));
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
FlvMetadata carriedStream()
{
    SecondStreamSettings ss = SecondStream_get();
    if (ss.enabled != 0 && ss.rtspCarriesSecond != 0) {
        return {ss.width, ss.height, ss.framerate, Pipeline_audioPresent()};
    }
    SharedStatus st = SharedStatus_snapshot();
    return {st.imageWidth, st.imageHeight, Pipeline_frameRate() / 1000, Pipeline_audioPresent()};
}

int64_t framePeriodMs()
{
    int fps = carriedStream().framerate;
    return fps > 0 ? 1000 / fps : 1000000 / std::max(Pipeline_frameRate(), 1);
}

void checkTimestampLimit(int64_t ts, bool overflow)
{
    if (overflow || ts > kTimestampLimitMs) {
        Shell_run("/sbin/reboot");
    }
}

// --- Video ---

bool sameParamSets(const Stream &s, const AnnexB_Nal &sps, const AnnexB_Nal &pps)
{
    return sps.len == s.lastSpsLen && pps.len == s.lastPpsLen && std::memcmp(sps.p, s.lastSps, sps.len) == 0 &&
           std::memcmp(pps.p, s.lastPps, pps.len) == 0;
}

bool sendAacHeader(Publisher &p)
{
    Stream &s = p.stream;
    uint8_t *b = s.smallBuf + kRoom;
    int n = Flv_aacSequenceHeader(s.aac, b, kSmallBodyBytes);
    s.aacHeaderSent = sendBody(p, RTMP_TYPE_AUDIO, RTMP_CHANNEL_AUDIO, 0, b, n);
    return s.aacHeaderSent;
}

// The metadata, the AVC sequence header (again whenever the parameter sets change) and the AAC one,
// as the key frame about to go out needs them.
bool sendHeaders(Publisher &p, const FlvKeyFrame &key)
{
    Stream &s = p.stream;
    uint8_t *b = s.smallBuf + kRoom;
    if (!s.headersSent &&
        !sendBody(p, RTMP_TYPE_METADATA, RTMP_CHANNEL_VIDEO, 0, b, Flv_metadata(carriedStream(), b, kSmallBodyBytes))) {
        return false;
    }
    if (!s.headersSent || !sameParamSets(s, key.sps, key.pps)) {
        int n = Flv_avcSequenceHeader(key.sps, key.pps, b, kSmallBodyBytes);
        if (!sendBody(p, RTMP_TYPE_VIDEO, RTMP_CHANNEL_VIDEO, 0, b, n)) {
            return false;
        }
        std::memcpy(s.lastSps, key.sps.p, static_cast<size_t>(key.sps.len));
        std::memcpy(s.lastPps, key.pps.p, static_cast<size_t>(key.pps.len));
        s.lastSpsLen = key.sps.len;
        s.lastPpsLen = key.pps.len;
    }
    if (!s.headersSent && s.aacKnown && !s.aacHeaderSent && !sendAacHeader(p)) {
        return false;
    }
    s.headersSent = true;
    return true;
}

// Start code, SPS, start code, PPS, start code, slices. The sequence header goes out on the first key
// frame of a connection and again whenever the encoder's parameter sets change.
int sendKeyFrame(Publisher &p, const uint8_t *u, int bytes, int64_t ts)
{
    static const char *const kMissing[] = {"error found sps\n", "error found pps\n", "error found iframe\n"};
    FlvKeyFrame key{};
    int split = Flv_splitKeyFrame(u, bytes, &key);
    uint8_t *body = p.stream.videoBuf.get() + kRoom;
    int n = split == Flv_EOK ? Flv_videoBody(FLV_VIDEO_KEY, u, bytes, key.slicesAt, body, kVideoBodyBytes) : -1;
    if (split != Flv_EOK || n < 0) {
        say(p, "%s", kMissing[split != Flv_EOK ? Flv_ENOSPS - split : 2]);
        return Sender_EREFUSED;
    }
    // The body was built before the headers go out: they use their own buffer.
    if (!sendHeaders(p, key)) {
        return outcome(p, false);
    }
    return outcome(p, sendBody(p, RTMP_TYPE_VIDEO, RTMP_CHANNEL_VIDEO, ts, body, n));
}

int sendInterFrame(Publisher &p, const uint8_t *u, int bytes, int64_t ts)
{
    if (AnnexB_startCodeAt(u, bytes, 0) == 0) {
        say(p, "error found frame start code\n");
        return Sender_EREFUSED;
    }
    uint8_t *body = p.stream.videoBuf.get() + kRoom;
    int n = Flv_videoBody(Flv_hasIdr(u, bytes) ? FLV_VIDEO_KEY : FLV_VIDEO_INTER, u, bytes, 0, body, kVideoBodyBytes);
    if (n < 0) {
        say(p, "error found frame data\n");
        return Sender_EREFUSED;
    }
    return outcome(p, sendBody(p, RTMP_TYPE_VIDEO, RTMP_CHANNEL_VIDEO, ts, body, n));
}

// Skipped while the connection waits for a unit that begins with an SPS.
int sendVideoUnit(Publisher &p, const uint8_t *unit, int bytes, FrameTime time)
{
    Stream &s = p.stream;
    if (p.videoOff.load()) {
        return Sender_ESKIPPED;
    }
    bool key = AnnexB_beginsWithSps(unit, bytes);
    if (!s.video.started && !key) {
        return Sender_ESKIPPED;
    }
    if (!s.video.started) {
        // A failed key frame leaves the clock waiting for the next one.
        StreamClock fresh;
        fresh.base = time;
        fresh.offset = fresh.last = s.resumeMs;
        StreamClock keep = s.video;
        s.video = fresh;
        checkTimestampLimit(s.resumeMs, false); // reconnections carry the timestamps on
        int r = sendKeyFrame(p, unit, bytes, s.resumeMs);
        s.video.started = r == Sender_EOK;
        if (r != Sender_EOK) {
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

// The first frame's checks, with their messages. A stream that is no ADTS at all would print the same
// line for every frame: each refusal is said once in a row. False: the frame is dropped and the next
// one checked again (a sequence header without a valid configuration helps no player).
bool learnAacConfig(Publisher &p, const uint8_t *f, int bytes)
{
    Stream &s = p.stream;
    int r = Flv_adtsConfig(f, bytes, &s.aac);
    if (r != Flv_EOK) {
        if (s.adtsRefused != r) {
            say(p, "%s\n", Flv_adtsRefusal(r));
            s.adtsRefused = r;
        }
        return false;
    }
    say(p, "sample rate=%d\n", s.aac.sampleRate);
    say(p, "sample rate=%d\n", s.aac.rateIndex);
    s.aacKnown = true;
    return true;
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

int sendAudioFrame(Publisher &p, const uint8_t *frame, int bytes, FrameTime time)
{
    Stream &s = p.stream;
    if (bytes < kAdtsMinBytes || bytes > kAdtsMaxBytes) {
        say(p, "audio error\n");
        return Sender_EREFUSED;
    }
    if (!s.aacKnown && !learnAacConfig(p, frame, bytes)) {
        return Sender_EREFUSED;
    }
    // Frames before the first video key frame are dropped; the configuration they carry goes out with
    // the key frame, so that the stream begins with both sequence headers.
    if (!p.videoOff.load() && !s.video.started) {
        return Sender_ESKIPPED;
    }
    if (!s.audio.started && !startAudio(p, time)) {
        return outcome(p, false);
    }
    uint8_t *b = s.audioBuf + kRoom;
    int n = Flv_aacBody(frame, bytes, b, kAudioBodyBytes);
    if (n < 0) {
        say(p, "audio error\n");
        return Sender_EREFUSED;
    }
    bool overflow = false;
    int64_t ts = stamp(s.audio, time, kAudioRebaseMs, &overflow);
    return outcome(p, sendBody(p, RTMP_TYPE_AUDIO, RTMP_CHANNEL_AUDIO, ts, b, n));
}

// A connection's stream begins with both sequence headers. With audio on, the first key frame of a
// connection that has seen no audio yet (the encoder's very first one, as a rule) waits, once and for
// at most kAudioWaitMs, for an audio frame to be queued behind it; that frame's configuration then goes
// out with the key frame, and the frame itself in its turn.
void learnAudioAhead(Publisher &p, const SenderUnit &u)
{
    Stream &s = p.stream;
    if (u.kind != SenderKind::Video || p.videoOff.load() || !Pipeline_audioPresent() || s.video.started ||
        s.aacKnown || s.audioAwaited || !u.key) {
        return;
    }
    s.audioAwaited = true;
    const uint8_t *frame = nullptr;
    int bytes = 0;
    if (Sender_awaitBehind(p.sender, SenderKind::Audio, kAudioWaitMs, &frame, &bytes) && bytes >= kAdtsMinBytes &&
        bytes <= kAdtsMaxBytes) {
        learnAacConfig(p, frame, bytes);
    }
}

// Every unit that is not taken is counted as dropped by the worker; video on an audio-only connection
// is not handed in at all.
int taken(int r)
{
    switch (r) {
    case Sender_EOK: return Rtmp_EOK;
    case Sender_EFULL: return Rtmp_EFULL;
    case Sender_EWAITKEY: return Rtmp_EWAITKEY;
    case Sender_ENOTUP: return Rtmp_ENOTCONNECTED;
    default: return Rtmp_EINVAL;
    }
}

} // namespace

// --- The link calls, on the worker's thread ---

int RtmpPublisher_Object::connect(const MediaStop *stop)
{
    if (!urlRead) {
        urlRead = true;
        std::string u = configuredUrl;
        if (u.empty() && !Rtmp_readUrl(u)) {
            say(*this, "error url input\n");
            lastError.set("error url input");
            return Sender_EFATAL;
        }
        ScopedLock lock(urlLock);
        url = u;
        publishing.store(true);
    }
    std::string to;
    {
        ScopedLock lock(urlLock);
        to = url;
    }
    RtmpLink::Opened r = link.open(to, stop, quiet);
    if (r == RtmpLink::BadUrl) {
        publishing.store(false);
        return Sender_EFATAL;
    }
    quiet = true; // one line per outage, not one per try
    if (r != RtmpLink::Up) {
        return Sender_ERETRY;
    }
    FlagRead v = Config_readFlag("/mnt/rtmpv.ini");
    say(*this, "rtmpv.ini read=%d\n", v.state == FileState::Read ? v.digit() : 0);
    videoOff.store(v.on());
    if (dropped) {
        say(*this, "rtmp reconnected\n");
    }
    // The stream starts afresh on the new connection (next SPS, metadata and both sequence headers
    // again), its timestamps going on from where the last connection stopped.
    Stream &s = stream;
    s.video = StreamClock{};
    s.audio = StreamClock{};
    s.headersSent = false;
    s.adtsRefused = Flv_EOK;
    s.audioAwaited = false;
    s.aacKnown = false;
    s.aacHeaderSent = false;
    lastDrainMs = Media_monotonicNs() / 1000000;
    return Sender_EOK;
}

void RtmpPublisher_Object::prepare(const SenderUnit &u)
{
    learnAudioAhead(*this, u);
}

int RtmpPublisher_Object::send(const SenderUnit &u)
{
    return u.kind == SenderKind::Video ? sendVideoUnit(*this, u.data, u.bytes, u.time)
                                       : sendAudioFrame(*this, u.data, u.bytes, u.time);
}

// Drains what the server sends and notices a server that has gone away while nothing was being sent.
int RtmpPublisher_Object::tend()
{
    int64_t now = Media_monotonicNs() / 1000000;
    if (now - lastDrainMs >= kDrainMs) {
        lastDrainMs = now;
        link.drain();
    }
    return link.up() ? Sender_EOK : Sender_ELOST;
}

void RtmpPublisher_Object::disconnect(bool stopping)
{
    if (link.up() || !stopping) {
        int64_t last = std::max(stream.video.last, stream.audio.last);
        stream.resumeMs = last + 1000000 / std::max(Pipeline_frameRate(), 1000);
    }
    dropped = dropped || !stopping;
    link.close(stopping);
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
        // The settings page stores the URL single-quoted so that the start script cannot run it.
        std::string_view v = RtmpUrl_unstored(text.substr(begin, end - begin));
        if (!v.empty()) {
            url.assign(v);
            return true;
        }
    }
    return false;
}

// --- The object ---

namespace {

RtmpPublisher_Handle create(const RtmpPublisherConfig *config)
{
    std::unique_ptr<Publisher> p(new (std::nothrow) Publisher);
    int queueBytes = config != nullptr && config->queueBytes > 0 ? config->queueBytes : RTMP_QUEUE_BYTES;
    if (p != nullptr) {
        p->stream.videoBuf.reset(new (std::nothrow) uint8_t[kRoom + kVideoBodyBytes]);
    }
    if (p == nullptr || p->stream.videoBuf == nullptr) {
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
    SenderConfig worker{"rtmp send", p->tag, "rtmp queue full, %llu units dropped\n", queueBytes, kQueueUnits,
                        kTickMs, kSendBoundMs, kFlushMs};
    p->sender = Sender_create(&worker, p.get());
    if (p->sender == nullptr) {
        return nullptr;
    }
    return p.release();
}

} // namespace

RtmpPublisher_Handle RtmpPublisher_create(const RtmpPublisherConfig *config)
{
    try {
        return create(config);
    } catch (...) {
        std::fputs("Error: Failed to create the rtmp publisher\n", stderr);
        return nullptr;
    }
}

Output *RtmpPublisher_output(RtmpPublisher_Handle h)
{
    return h;
}

void RtmpPublisher_destroy(RtmpPublisher_Handle h)
{
    if (h == nullptr) {
        return;
    }
    Sender_destroy(h->sender); // the stream ends in order on the worker, within its bound
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
    return taken(Sender_put(h->sender, SenderKind::Video, unit, bytes, time, AnnexB_beginsWithSps(unit, bytes)));
}

int RtmpPublisher_sendAudio(RtmpPublisher_Handle h, const uint8_t *frame, int bytes, FrameTime time)
{
    if (h == nullptr || frame == nullptr || bytes <= 0) {
        return Rtmp_EINVAL;
    }
    return taken(Sender_put(h->sender, SenderKind::Audio, frame, bytes, time, true));
}

RtmpPublisherStats RtmpPublisher_stats(RtmpPublisher_Handle h)
{
    RtmpPublisherStats s{};
    if (h == nullptr) {
        return s;
    }
    SenderStats w = Sender_stats(h->sender);
    s.connected = w.state == SenderState::Up;
    s.videoOff = h->videoOff.load();
    s.sent = w.sent;
    s.refused = w.refused;
    s.dropped = w.dropped;
    s.bytes = h->link.bytesSent();
    s.reconnects = w.reconnects;
    s.queued = w.queued;
    s.longestSendMs = w.longestSendMs;
    return s;
}

bool RtmpPublisher_waitIdle(RtmpPublisher_Handle h, int timeoutMs)
{
    return h != nullptr && Sender_waitIdle(h->sender, timeoutMs);
}
