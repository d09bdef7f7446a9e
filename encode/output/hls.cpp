#include "encode/output/hls.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/output/hls_playlist.h"
#include "encode/output/hls_push.h"
#include "encode/output/hls_variant.h"

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kMostVariants = 2;
constexpr int kFirstBufferBytes = 4608000; // as the multiplexer stage's: a high-rate 1080p key frame

// Makes every directory of `path` that is missing. "" or why not.
std::string makeDirectories(const std::string &path)
{
    for (size_t at = 1; at <= path.size(); at++) {
        if (at == path.size() || path[at] == '/') {
            std::string part = path.substr(0, at);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                return std::strerror(errno);
            }
        }
    }
    return {};
}

// What an earlier run left: its segments, playlists and half-written files. Nothing else is touched.
void emptyDirectory(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        auto endsWith = [&name](const char *tail) {
            size_t n = std::strlen(tail);
            return name.size() > n && name.compare(name.size() - n, n, tail) == 0;
        };
        if (endsWith(".ts") || endsWith(".m3u8") || (name[0] == '.' && endsWith(".tmp"))) {
            unlink((dir + "/" + name).c_str());
        }
    }
    closedir(d);
}

} // namespace

// The other stream's variant, multiplexed here.
struct HlsOtherFeed : Output {
    HlsVariant_Handle variant = nullptr;
    HlsOut_Object *owner = nullptr;
    TsMux_Config config{};
    TsMux_Params params{};
    TsMux_Handle mux = nullptr;
    std::mutex lock; // the writer's and the audio thread's units, one at a time
    std::unique_ptr<uint8_t[]> buffer;
    int bufferBytes = 0;

    void multiplex(const OutputUnit &u, int32_t streamType, int32_t flags);
    void video(const OutputUnit &u) override { multiplex(u, TSMUX_STREAM_H264, TSMUX_FLAGS_VIDEO); }
    void audio(const OutputUnit &u) override
    {
        bool mp3 = config.streamType[0][1] == TSMUX_STREAM_MPEG_AUDIO;
        multiplex(u, mp3 ? TSMUX_STREAM_MPEG_AUDIO : TSMUX_STREAM_AAC_ADTS, TSMUX_FLAGS_AUDIO);
    }
    int reports() const override { return 0; } // the owner shows it
    void report(int, nlohmann::json &) const override {}
    void stop() override {} // the owner stops it
};

struct HlsOut_Object : Output {
    HlsOut_Attrs attrs;
    std::string dir;
    HlsVariant_Handle variants[kMostVariants] = {}; // main first
    const char *names[kMostVariants] = {};
    int count = 0;
    int tsVariant = 0; // which of them the multiplexer's TS feeds
    HlsOtherFeed other;
    bool hasOther = false;
    HlsPush_Handle push = nullptr;

    std::mutex masterLock;
    int statedBps[kMostVariants] = {}; // in the master as written; 0: not yet in it

    void ts(const uint8_t *data, int bytes) override
    {
        if (HlsVariant_ts(variants[tsVariant], data, bytes)) {
            segmentDone();
        }
    }
    int reports() const override { return count + (push != nullptr ? 1 : 0); }
    void report(int index, nlohmann::json &out) const override;
    void stop() override;
    void segmentDone();
};

void HlsOtherFeed::multiplex(const OutputUnit &u, int32_t streamType, int32_t flags)
{
    ScopedLock hold(lock);
    int need = TsMux_outputBound(u.bytes);
    if (need > bufferBytes) { // only a unit larger than any before
        std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[static_cast<size_t>(need)]);
        if (grown == nullptr) {
            return;
        }
        buffer = std::move(grown);
        bufferBytes = need;
    }
    params.data = u.data;
    params.dataLength = u.bytes;
    params.streamType = streamType;
    params.seconds = u.time.seconds;
    params.microseconds = u.time.microseconds;
    params.output = buffer.get();
    params.flags = flags;
    params.outBytes = 0;
    int n = TsMux_process(mux, &params);
    if (n > 0 && HlsVariant_ts(variant, buffer.get(), n)) {
        owner->segmentDone();
    }
}

// The master is written once every variant has a segment, and again when one's rate passes what it
// states (with a tenth more, so that it is not written again for every small rise).
void HlsOut_Object::segmentDone()
{
    ScopedLock hold(masterLock);
    HlsVariantInfo info[kMostVariants];
    bool again = false;
    for (int i = 0; i < count; i++) {
        HlsVariantStats s = HlsVariant_stats(variants[i]);
        if (s.segments == 0) {
            return;
        }
        again = again || statedBps[i] == 0 || s.peakBps > statedBps[i];
        info[i] = HlsVariantInfo{names[i], s.peakBps + s.peakBps / 10, s.averageBps, s.sps.width, s.sps.height,
                                 s.sps.profile, s.sps.compatibility, s.sps.level,
                                 attrs.audio == TsMux_Audio_AAC, attrs.audio == TsMux_Audio_MP3};
    }
    if (!again) {
        return;
    }
    std::string text = HlsPlaylist_master(info, count);
    std::string why = Hls_writeWhole(dir, "index.m3u8", reinterpret_cast<const uint8_t *>(text.data()), text.size());
    if (!why.empty()) {
        Console_say("hls: the master playlist could not be written: %s\n", why.c_str());
        return;
    }
    for (int i = 0; i < count; i++) {
        statedBps[i] = info[i].bandwidth;
    }
    if (push != nullptr) {
        HlsPush_master(push, text);
    }
}

void HlsOut_Object::report(int index, nlohmann::json &out) const
{
    if (index >= count) {
        HlsPush_report(push, out);
        return;
    }
    HlsVariantStats s = HlsVariant_stats(variants[index]);
    std::string error = HlsVariant_error(variants[index]);
    out["kind"] = "hls";
    out["name"] = names[index];
    out["target"] = std::string("/hls/") + names[index] + ".m3u8";
    out["state"] = s.writing ? "ok" : "waiting";
    out["segments"] = s.segments;
    out["bytes"] = s.bytes;
    out["failed"] = s.failed;
    out["last_duration_s"] = s.lastDurationMs / 1000.0;
    out["bandwidth"] = s.peakBps;
    out["error"] = error;
}

// The segments being made go to the push, the box's own playlists end, then the push ends.
void HlsOut_Object::stop()
{
    for (int i = 0; i < count; i++) {
        HlsVariant_finish(variants[i]);
    }
    HlsPush_destroy(push);
    for (int i = 0; i < count; i++) {
        HlsVariant_destroy(variants[i]);
    }
    TsMux_delete(other.mux);
    delete this;
}

namespace {

bool makeOther(HlsOut_Object &h)
{
    HlsOtherFeed &o = h.other;
    o.owner = &h;
    o.config = TsMux_encoderConfig(h.attrs.audio);
    o.params.size = TSMUX_PARAMS_SIZE;
    o.params.config = &o.config;
    o.mux = TsMux_create();
    o.buffer.reset(new (std::nothrow) uint8_t[kFirstBufferBytes]);
    o.bufferBytes = kFirstBufferBytes;
    return o.mux != nullptr && o.buffer != nullptr && TsMux_init(o.mux, &o.params) == Media_EOK;
}

bool makeVariants(HlsOut_Object &h)
{
    const HlsSettings &s = h.attrs.settings;
    h.count = h.attrs.otherVariant ? 2 : 1;
    h.names[0] = "main";
    h.names[1] = "second";
    h.tsVariant = h.attrs.tsCarriesSecond ? 1 : 0;
    if (h.count == 1) {
        h.names[0] = h.attrs.tsCarriesSecond ? "second" : "main";
        h.tsVariant = 0;
    }
    // Numbered from the run's start, so that a file of an earlier run is never mistaken for one of this.
    uint64_t first = static_cast<uint64_t>(time(nullptr));
    for (int i = 0; i < h.count; i++) {
        HlsVariant_Attrs va{h.names[i], h.dir, s.segmentS, s.segments, first,
                            h.push != nullptr ? HlsPush_segment : nullptr, h.push};
        h.variants[i] = HlsVariant_create(&va);
        if (h.variants[i] == nullptr) {
            return false;
        }
    }
    if (h.count == 2) {
        h.other.variant = h.variants[1 - h.tsVariant];
        h.hasOther = true;
        return makeOther(h);
    }
    return true;
}

} // namespace

HlsOut_Handle HlsOut_create(const HlsOut_Attrs *attrs)
{
    std::unique_ptr<HlsOut_Object> h(new (std::nothrow) HlsOut_Object);
    if (h == nullptr) {
        std::fputs("Error: Failed to create the hls output\n", stderr);
        return nullptr;
    }
    h->attrs = *attrs;
    h->dir = Path_resolve("/dev/shm/hls");
    if (std::string why = makeDirectories(h->dir); !why.empty()) {
        Console_say("hls: %s cannot be made: %s; HLS is off\n", h->dir.c_str(), why.c_str());
        return nullptr;
    }
    emptyDirectory(h->dir);
    if (!attrs->settings.pushUrl.empty()) {
        HlsPush_Attrs pa{attrs->settings.pushUrl, attrs->settings.segmentS, attrs->settings.segments};
        h->push = HlsPush_create(&pa); // a push that cannot start costs the push only; it said why
    }
    if (!makeVariants(*h)) {
        std::fputs("Error: Failed to create the hls output\n", stderr);
        for (HlsVariant_Handle v : h->variants) {
            HlsVariant_destroy(v);
        }
        HlsPush_destroy(h->push);
        TsMux_delete(h->other.mux);
        return nullptr;
    }
    return h.release();
}

Output *HlsOut_output(HlsOut_Handle h)
{
    return h;
}

Output *HlsOut_otherFeed(HlsOut_Handle h)
{
    return h->hasOther ? &h->other : nullptr;
}
