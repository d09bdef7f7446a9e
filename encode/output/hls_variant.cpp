#include "encode/output/hls_variant.h"

#include "encode/core/console.h"
#include "encode/media/annexb.h"
#include "encode/output/hls_playlist.h"
#include "encode/output/ts_scan.h"
#include "encode/output/tsmux.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr uint64_t kPtsWrap = uint64_t{1} << 33;
constexpr int kHeaderBytes = static_cast<int>(sizeof(HlsSegmentHeader));
constexpr int kKeptBehind = 2; // segments kept on the tmpfs after they left the playlist
// A segment that grows past this without a key frame is given up: memory is the tmpfs's too.
constexpr size_t kMostSegmentBytes = 64u << 20;
constexpr size_t kFirstSegmentBytes = 2u << 20;

// The wall-clock time of a PTS the multiplexer made from a capture time: its clock is the time of
// day's, in 90 kHz and wrapping every 26 hours, so the time is now less how far the PTS lies behind.
int64_t wallClockOf(uint64_t pts)
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    uint32_t t45 = static_cast<uint32_t>(tv.tv_usec) * 45u / 1000u + static_cast<uint32_t>(tv.tv_sec) * 45000u;
    uint64_t behind = (2ull * t45 - pts) & (kPtsWrap - 1);
    return int64_t{tv.tv_sec} * 1000 + tv.tv_usec / 1000 - static_cast<int64_t>(behind / 90);
}

uint64_t ptsSince(uint64_t later, uint64_t earlier)
{
    return (later - earlier) & (kPtsWrap - 1);
}

} // namespace

std::string Hls_writeWhole(const std::string &dir, const std::string &name, const uint8_t *data, size_t bytes)
{
    std::string tmp = dir + "/." + name + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return std::strerror(errno);
    }
    size_t done = 0;
    while (done < bytes) {
        ssize_t n = write(fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::string why = std::strerror(n < 0 ? errno : ENOSPC);
            close(fd);
            unlink(tmp.c_str());
            return why;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 || rename(tmp.c_str(), (dir + "/" + name).c_str()) != 0) {
        std::string why = std::strerror(errno);
        unlink(tmp.c_str());
        return why;
    }
    return {};
}

struct HlsVariant_Object {
    HlsVariant_Attrs attrs;
    HlsWindow window;
    uint64_t nextSeq = 0;
    uint64_t behind[kKeptBehind] = {};  // the last segments that left the playlist, still on the tmpfs
    int behindCount = 0;

    // The segment being made: a header's room, then its packets.
    std::vector<uint8_t> segment;
    bool started = false; // a key frame has begun the segment
    uint64_t startPts = 0;
    int64_t startWallMs = 0;
    uint64_t lastVideoPts = 0;
    uint64_t framePts = 0; // the last frame's duration, in 90 kHz
    bool missing = false;  // something was left out before the segment being made
    bool saidLong = false;
    bool saidOversize = false;

    mutable std::mutex statsLock; // the figures and the error, for the status thread
    HlsVariantStats stats{};
    std::string error;
    uint64_t totalMs = 0;

    void resetSegment()
    {
        segment.resize(kHeaderBytes);
        started = false;
    }
    void note(const HlsVariantStats &s, const std::string *why)
    {
        ScopedLock hold(statsLock);
        stats = s;
        if (why != nullptr) {
            error = *why;
        }
    }
    void say(const char *format, const char *what);
    void sps(const uint8_t *packet);
    int durationUntil(uint64_t pts) const
    {
        return static_cast<int>(ptsSince(pts, startPts) / 90);
    }
    void handOn(int durationMs);
    void publish(int durationMs);
    bool write(const HlsEntry &e);
    void removeLeft(uint64_t seq);
    void writePlaylist(bool ended);
    bool feedUnit(const uint8_t *data, int bytes);
};

void HlsVariant_Object::say(const char *format, const char *what)
{
    char line[256];
    std::snprintf(line, sizeof line, format, attrs.name, what);
    Console_say("%s\n", line);
}

void HlsVariant_Object::sps(const uint8_t *packet)
{
    int es = TsScan_esAt(packet);
    if (es < 0) {
        return;
    }
    int next = 0;
    int at = AnnexB_startCodeAt(packet + es, TS_PACKET_BYTES - es, 0);
    AnnexB_Nal nal = AnnexB_nalAt(packet + es, TS_PACKET_BYTES - es, at, &next);
    H264Sps s{};
    if (AnnexB_type(nal) == AnnexB_NAL_SPS && H264Sps_parse(nal.p, nal.len, s)) {
        ScopedLock hold(statsLock);
        stats.sps = s;
        stats.spsKnown = true;
    }
}

// The segments that left the playlist are kept until kKeptBehind more have left after them.
void HlsVariant_Object::removeLeft(uint64_t fileSeq)
{
    int slot = behindCount % kKeptBehind;
    if (behindCount >= kKeptBehind) {
        unlink((attrs.dir + "/" + HlsPlaylist_segmentName(attrs.name, behind[slot])).c_str());
    }
    behind[slot] = fileSeq;
    behindCount++;
}

void HlsVariant_Object::writePlaylist(bool ended)
{
    std::string text = HlsPlaylist_media(window, ended);
    std::string name = std::string(attrs.name) + ".m3u8";
    std::string why = Hls_writeWhole(attrs.dir, name, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    if (!why.empty()) {
        say("hls %s: the playlist could not be written: %s", why.c_str());
    }
}

// The segment's file, then the playlist with it. False when the file could not be written.
bool HlsVariant_Object::write(const HlsEntry &e)
{
    std::string name = HlsPlaylist_segmentName(attrs.name, e.fileSeq);
    std::string why = Hls_writeWhole(attrs.dir, name, segment.data() + kHeaderBytes, segment.size() - kHeaderBytes);
    HlsVariantStats s;
    {
        ScopedLock hold(statsLock);
        s = stats;
    }
    if (!why.empty()) {
        if (s.writing) {
            std::string line = "hls " + std::string(attrs.name) + ": segments are not written: " + why;
            say("hls %s: segments are not written (%s); the playlist waits", why.c_str());
            s.writing = false;
            note(s, &line);
        }
        s.failed++;
        note(s, nullptr);
        return false;
    }
    if (!s.writing) {
        say("hls %s: %s", "segments are written again");
        s.writing = true;
    }
    HlsEntry left{};
    if (HlsWindow_add(window, e, &left)) {
        removeLeft(left.fileSeq);
    }
    writePlaylist(false);
    uint64_t bytes = segment.size() - kHeaderBytes;
    int bps = e.durationMs > 0 ? static_cast<int>(std::min<uint64_t>(bytes * 8000 / e.durationMs, INT32_MAX)) : 0;
    totalMs += static_cast<uint64_t>(e.durationMs);
    s.segments++;
    s.bytes += bytes;
    s.lastDurationMs = e.durationMs;
    s.peakBps = std::max(s.peakBps, bps);
    s.averageBps = totalMs > 0 ? static_cast<int>(std::min<uint64_t>(s.bytes * 8000 / totalMs, INT32_MAX)) : 0;
    note(s, nullptr);
    return true;
}

// The segment being made, with its header, to the sink.
void HlsVariant_Object::handOn(int durationMs)
{
    if (attrs.sink == nullptr) {
        return;
    }
    HlsSegmentHeader h{};
    std::snprintf(h.variant, sizeof h.variant, "%s", attrs.name);
    h.seq = nextSeq;
    h.pdtMs = startWallMs;
    h.durationMs = durationMs;
    h.discontinuity = missing ? 1 : 0;
    std::memcpy(segment.data(), &h, sizeof h);
    attrs.sink(attrs.sinkCtx, segment.data(), static_cast<int>(segment.size()));
}

// The segment being made is done: handed on, written, entered in the playlist. Its number is used
// whether or not it could be written: the push may have it.
void HlsVariant_Object::publish(int durationMs)
{
    HlsEntry e{nextSeq, durationMs, startWallMs, missing};
    handOn(durationMs);
    missing = !write(e);
    nextSeq++;
    if (!saidLong && durationMs > attrs.targetS * 1100) {
        saidLong = true;
        char what[160];
        std::snprintf(what, sizeof what, "a segment of %d.%03d s against the target of %d s: key frames come less often",
                      durationMs / 1000, durationMs % 1000, attrs.targetS);
        say("hls %s: %s", what);
    }
}

bool HlsVariant_Object::feedUnit(const uint8_t *data, int bytes)
{
    // The unit's first video packet says whether it begins a key frame and when it is.
    const uint8_t *video = nullptr;
    for (int at = 0; at + TS_PACKET_BYTES <= bytes; at += TS_PACKET_BYTES) {
        if (TsScan_pid(data + at) == TSMUX_ENCODER_VIDEO_PID && TsScan_unitStart(data + at)) {
            video = data + at;
            break;
        }
    }
    uint64_t pts = 0;
    bool timed = video != nullptr && TsScan_pts(video, &pts);
    bool key = timed && TsScan_beginsKeyFrame(video);
    bool finished = false;
    int halfFrameMs = static_cast<int>(framePts / 180);
    if (key && started && durationUntil(pts) >= attrs.targetS * 1000 - halfFrameMs) {
        publish(durationUntil(pts));
        resetSegment();
        finished = true;
    }
    if (key && !started) {
        started = true;
        startPts = pts;
        startWallMs = wallClockOf(pts);
        sps(video);
    }
    if (timed) {
        framePts = lastVideoPts != 0 ? ptsSince(pts, lastVideoPts) : framePts;
        lastVideoPts = pts;
    }
    if (!started) {
        return finished;
    }
    if (segment.size() + static_cast<size_t>(bytes) > kMostSegmentBytes) {
        if (!saidOversize) {
            saidOversize = true;
            say("hls %s: %s", "a segment grew past 64 MiB without a key frame: it is left out");
        }
        resetSegment();
        missing = true;
        return finished;
    }
    segment.insert(segment.end(), data, data + bytes);
    return finished;
}

HlsVariant_Handle HlsVariant_create(const HlsVariant_Attrs *attrs)
{
    std::unique_ptr<HlsVariant_Object> v(new (std::nothrow) HlsVariant_Object);
    if (v == nullptr) {
        return nullptr;
    }
    v->attrs = *attrs;
    std::snprintf(v->window.variant, sizeof v->window.variant, "%s", attrs->name);
    v->window.targetS = attrs->targetS;
    v->window.length = std::clamp(attrs->length, 1, HLS_MOST_ENTRIES - kKeptBehind);
    v->nextSeq = attrs->firstSeq;
    v->window.mediaSeq = attrs->firstSeq;
    v->stats.writing = true;
    try {
        v->segment.reserve(kFirstSegmentBytes);
    } catch (...) {
        return nullptr;
    }
    v->resetSegment();
    return v.release();
}

void HlsVariant_destroy(HlsVariant_Handle h)
{
    delete h;
}

bool HlsVariant_ts(HlsVariant_Handle h, const uint8_t *data, int bytes)
{
    try {
        return h->feedUnit(data, bytes);
    } catch (...) { // a segment that cannot grow is left out like one that cannot be written
        h->resetSegment();
        h->missing = true;
        return false;
    }
}

void HlsVariant_finish(HlsVariant_Handle h)
{
    if (h->started) {
        h->handOn(h->durationUntil(h->lastVideoPts) + static_cast<int>(h->framePts / 90));
    }
    for (int i = 0; i < h->window.count; i++) {
        unlink((h->attrs.dir + "/" + HlsPlaylist_segmentName(h->attrs.name, h->window.entries[i].fileSeq)).c_str());
    }
    for (int i = 0; i < std::min(h->behindCount, kKeptBehind); i++) {
        unlink((h->attrs.dir + "/" + HlsPlaylist_segmentName(h->attrs.name, h->behind[i])).c_str());
    }
    h->behindCount = 0;
    h->window.count = 0;
    h->writePlaylist(true);
    h->resetSegment();
}

HlsVariantStats HlsVariant_stats(HlsVariant_Handle h)
{
    ScopedLock hold(h->statsLock);
    return h->stats;
}

std::string HlsVariant_error(HlsVariant_Handle h)
{
    ScopedLock hold(h->statsLock);
    return h->error;
}
