// The feed. Each stream has a reader thread and a list of sinks under one lock; the reader opens the
// stream's FIFO when the first sink comes and closes it (the encoder then stops writing it) when the
// last has gone. The audio's reader hands its frames to the Opus pipeline, whose streaming thread
// hands each Opus packet to the audio sinks under the audio stream's lock.
#include "webrtc/feed.h"

#include "encode/media/annexb.h"
#include "rtsp/fifo_units.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kReadWaitMs = 200;
// A reader that opened and got no key unit asks again this often (the encoder may have been busy
// starting, or the request was held back by its one-a-second rule).
constexpr int64_t kAskAgainMs = 1000;

struct StreamInfo {
    const char *path;
    const char *name;
};

const StreamInfo kStreams[Feed_STREAMS] = {
    {"/dev/shm/webrtc_main", "webrtc main"},
    {"/dev/shm/webrtc_second", "webrtc second"},
    {"/dev/shm/webrtc_audio", "webrtc audio"},
};

int64_t monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Stream {
    FeedStream id = Feed_MAIN;
    std::mutex lock;
    std::condition_variable changed; // sinks came or went, or an SPS was seen
    std::vector<FeedSink *> sinks;
    GstBuffer *keyUnit = nullptr; // the last one read since the reader opened
    std::atomic<bool> reading{false};
    std::atomic<uint64_t> units{0};
    std::atomic<int64_t> ageUs{0}; // the last unit's, from its capture to its reading here
    std::thread thread;
};

// Opus made once from the encoder's AAC or MP3, on the feed's clock.
struct Opus {
    GstElement *pipeline = nullptr;
    GstElement *src = nullptr;
};

} // namespace

struct Feed_Object {
    Feed_AskKeyFrame ask = nullptr;
    GstClock *clock = nullptr;
    GstClockTime base = 0;
    int64_t wallAtBaseNs = 0; // the wall clock when the running time was 0
    std::atomic<bool> quit{false};
    Stream streams[Feed_STREAMS];
    std::mutex askLock;
    int64_t lastAskMs[2] = {INT64_MIN / 2, INT64_MIN / 2};
    Opus opus;
};

int64_t Feed_wallUs(int64_t tagUs, int64_t nowUs)
{
    constexpr int64_t kWrap = int64_t{1} << 32; // seconds
    int64_t tagS = tagUs / 1000000;
    int64_t nowS = nowUs / 1000000;
    int64_t s = (nowS & ~(kWrap - 1)) | tagS;
    if (s - nowS > kWrap / 2) {
        s -= kWrap;
    } else if (nowS - s > kWrap / 2) {
        s += kWrap;
    }
    return s * 1000000 + tagUs % 1000000;
}

namespace {

GstClockTime ptsOf(Feed_Object *h, int64_t tagUs)
{
    int64_t wallNs = Feed_wallUs(tagUs, g_get_real_time()) * 1000;
    return wallNs > h->wallAtBaseNs ? static_cast<GstClockTime>(wallNs - h->wallAtBaseNs) : 0;
}

void askKey(Feed_Object *h, FeedStream stream)
{
    if (stream == Feed_AUDIO || h->ask == nullptr) {
        return;
    }
    int64_t now = monotonicMs();
    {
        ScopedLock g(h->askLock);
        if (now - h->lastAskMs[stream] < 1000) {
            return;
        }
        h->lastAskMs[stream] = now;
    }
    h->ask(stream);
}

} // namespace

std::string Feed_spsOf(const uint8_t *unit, int bytes)
{
    int at = 0;
    while (at < bytes && AnnexB_startCodeAt(unit, bytes, at) > 0) {
        int next = bytes;
        AnnexB_Nal nal = AnnexB_nalAt(unit, bytes, at, &next);
        if (AnnexB_type(nal) == AnnexB_NAL_SPS) {
            return std::string(reinterpret_cast<const char *>(nal.p), static_cast<size_t>(nal.len));
        }
        at = next;
    }
    return {};
}

namespace {

void handVideo(Feed_Object *h, Stream &s, const FifoUnit &u)
{
    bool key = AnnexB_beginsWithSps(u.data, static_cast<int>(u.bytes));
    GstBuffer *b = gst_buffer_new_memdup(u.data, u.bytes);
    GST_BUFFER_PTS(b) = ptsOf(h, u.timeUs);
    GST_BUFFER_DTS(b) = GST_BUFFER_PTS(b);
    if (!key) {
        GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    }
    {
        ScopedLock g(s.lock);
        if (key) {
            gst_buffer_replace(&s.keyUnit, b);
            s.changed.notify_all();
        }
        for (FeedSink *sink : s.sinks) {
            sink->video(s.id, b, key);
        }
    }
    gst_buffer_unref(b);
}

GstFlowReturn opusPacket(GstAppSink *sink, gpointer data)
{
    auto *h = static_cast<Feed_Object *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    Stream &s = h->streams[Feed_AUDIO];
    {
        ScopedLock g(s.lock);
        for (FeedSink *k : s.sinks) {
            k->opus(gst_sample_get_buffer(sample));
        }
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void endOpus(Feed_Object *h)
{
    if (h->opus.pipeline != nullptr) {
        gst_element_set_state(h->opus.pipeline, GST_STATE_NULL);
        gst_object_unref(h->opus.src);
        gst_object_unref(h->opus.pipeline);
    }
    h->opus = Opus{};
}

// The Opus pipeline for audio of this kind: ADTS frames begin with a header whose layer bits are 0,
// MP3 frames with layer III's.
bool startOpus(Feed_Object *h, const FifoUnit &u)
{
    bool mp3 = u.bytes >= 2 && ((u.data[1] >> 1) & 3) == 1;
    std::string line = std::string("appsrc name=src is-live=true format=time max-bytes=262144 ") +
                       (mp3 ? "caps=audio/mpeg,mpegversion=1,layer=3 ! mpegaudioparse ! mpg123audiodec"
                            : "caps=audio/mpeg,mpegversion=4,stream-format=adts ! aacparse ! faad") +
                       " ! audioconvert ! audioresample ! audio/x-raw,rate=48000,channels=2"
                       " ! opusenc frame-size=20 bitrate=96000 ! appsink name=sink sync=false max-buffers=100 drop=true";
    GError *err = nullptr;
    GstElement *p = gst_parse_launch(line.c_str(), &err);
    if (p == nullptr) {
        std::fprintf(stderr, "webrtc audio: no Opus pipeline (%s), viewers get video alone\n",
                     err != nullptr ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    g_clear_error(&err);
    gst_pipeline_use_clock(GST_PIPELINE(p), h->clock);
    gst_element_set_base_time(p, h->base);
    gst_element_set_start_time(p, GST_CLOCK_TIME_NONE);
    GstElement *sink = gst_bin_get_by_name(GST_BIN(p), "sink");
    GstAppSinkCallbacks cb{};
    cb.new_sample = opusPacket;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &cb, h, nullptr);
    gst_object_unref(sink);
    h->opus.pipeline = p;
    h->opus.src = gst_bin_get_by_name(GST_BIN(p), "src");
    gst_element_set_state(p, GST_STATE_PLAYING);
    return true;
}

void handAudio(Feed_Object *h, const FifoUnit &u)
{
    if (h->opus.pipeline == nullptr && !startOpus(h, u)) {
        return;
    }
    GstBuffer *b = gst_buffer_new_memdup(u.data, u.bytes);
    GST_BUFFER_PTS(b) = ptsOf(h, u.timeUs);
    gst_app_src_push_buffer(GST_APP_SRC(h->opus.src), b);
}

// Closes the reader when nobody wants the stream any more; true while someone does.
bool wanted(Feed_Object *h, Stream &s, FifoUnits_Handle &units)
{
    std::unique_lock<std::mutex> g(s.lock);
    if (!s.sinks.empty()) {
        return true;
    }
    if (units != nullptr) {
        FifoUnits_delete(units);
        units = nullptr;
        s.reading = false;
        gst_buffer_replace(&s.keyUnit, nullptr);
        g.unlock();
        if (s.id == Feed_AUDIO) {
            endOpus(h);
        }
        return false;
    }
    s.changed.wait_for(g, std::chrono::milliseconds(kReadWaitMs));
    return false;
}

void readStream(Feed_Object *h, Stream &s)
{
    FifoUnits_Handle units = nullptr;
    int64_t lastAsk = 0;
    bool keySeen = false;
    while (!h->quit.load(std::memory_order_acquire)) {
        if (!wanted(h, s, units)) {
            continue;
        }
        if (units == nullptr) {
            units = FifoUnits_create(kStreams[s.id].path, FifoUnits_TAGGED, kStreams[s.id].name);
            keySeen = false;
            lastAsk = monotonicMs() - kAskAgainMs;
            if (units == nullptr) {
                continue;
            }
        }
        FifoUnit u{};
        bool got = FifoUnits_next(units, &u, kReadWaitMs);
        // The FIFO is open now: the encoder writes it from its next key frame on.
        if (s.id != Feed_AUDIO && !keySeen && monotonicMs() - lastAsk >= kAskAgainMs) {
            askKey(h, s.id);
            lastAsk = monotonicMs();
        }
        if (!got) {
            continue;
        }
        s.units.fetch_add(1, std::memory_order_relaxed);
        s.reading.store(true, std::memory_order_relaxed);
        int64_t now = g_get_real_time();
        s.ageUs.store(now - Feed_wallUs(u.timeUs, now), std::memory_order_relaxed);
        if (s.id == Feed_AUDIO) {
            handAudio(h, u);
        } else {
            keySeen = keySeen || AnnexB_beginsWithSps(u.data, static_cast<int>(u.bytes));
            handVideo(h, s, u);
        }
    }
    FifoUnits_delete(units);
}

} // namespace

Feed_Handle Feed_create(Feed_AskKeyFrame ask)
{
    auto *h = new (std::nothrow) Feed_Object;
    if (h == nullptr) {
        return nullptr;
    }
    h->ask = ask;
    h->clock = gst_system_clock_obtain();
    h->base = gst_clock_get_time(h->clock);
    h->wallAtBaseNs = g_get_real_time() * 1000;
    for (int i = 0; i < Feed_STREAMS; i++) {
        Stream &s = h->streams[i];
        s.id = static_cast<FeedStream>(i);
        s.thread = std::thread(readStream, h, std::ref(s));
    }
    return h;
}

void Feed_destroy(Feed_Handle h)
{
    if (h == nullptr) {
        return;
    }
    h->quit.store(true, std::memory_order_release);
    for (Stream &s : h->streams) {
        s.changed.notify_all();
        s.thread.join();
        gst_buffer_replace(&s.keyUnit, nullptr);
    }
    endOpus(h);
    gst_object_unref(h->clock);
    delete h;
}

GstClock *Feed_clock(Feed_Handle h)
{
    return h->clock;
}

GstClockTime Feed_baseTime(Feed_Handle h)
{
    return h->base;
}

void Feed_subscribe(Feed_Handle h, FeedStream stream, FeedSink *sink)
{
    Stream &s = h->streams[stream];
    ScopedLock g(s.lock);
    s.sinks.push_back(sink);
    s.changed.notify_all();
}

void Feed_unsubscribe(Feed_Handle h, FeedStream stream, FeedSink *sink)
{
    Stream &s = h->streams[stream];
    ScopedLock g(s.lock);
    s.sinks.erase(std::remove(s.sinks.begin(), s.sinks.end(), sink), s.sinks.end());
    s.changed.notify_all();
}

GstBuffer *Feed_keyUnit(Feed_Handle h, FeedStream stream, int waitMs)
{
    Stream &s = h->streams[stream];
    std::unique_lock<std::mutex> g(s.lock);
    s.changed.wait_for(g, std::chrono::milliseconds(waitMs), [&] { return s.keyUnit != nullptr; });
    return s.keyUnit != nullptr ? gst_buffer_ref(s.keyUnit) : nullptr;
}

void Feed_askKeyFrame(Feed_Handle h, FeedStream stream)
{
    askKey(h, stream);
}

bool Feed_reading(Feed_Handle h, FeedStream stream)
{
    return h->streams[stream].reading.load(std::memory_order_relaxed);
}

uint64_t Feed_units(Feed_Handle h, FeedStream stream)
{
    return h->streams[stream].units.load(std::memory_order_relaxed);
}

int64_t Feed_wallUsOfPts(Feed_Handle h, GstClockTime pts)
{
    return (h->wallAtBaseNs + static_cast<int64_t>(pts)) / 1000;
}

double Feed_ageMs(Feed_Handle h, FeedStream stream)
{
    return static_cast<double>(h->streams[stream].ageUs.load(std::memory_order_relaxed)) / 1000.0;
}
