// The WHIP session on the sender worker's thread: the pipeline, the offer/answer exchange over HTTP,
// the units pushed in, and the session's end.
//
// Every wait here is bounded and looks at the stop and at abort() every few milliseconds: webrtcbin
// answers its promises on a thread of its own, and the HTTP exchange (whip_out.cpp) is polled alike.
//
// Units go into the appsrcs without a copy: each buffer wraps the sender queue's bytes, and send()
// returns only once the pipeline has let go of them (the payloader and SRTP copy what they keep), so
// the queue may reuse them. A pipeline that holds a unit past kReleaseMs is torn down before send()
// returns, which lets go of everything it held.
#include "webrtc/whip_out.h"

#include "encode/core/console.h"
#include "encode/media/annexb.h"
#include "encode/output/http_client.h"

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/pbutils/codec-utils.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr int kProfileWaitMs = 2000;    // a first session waits this long for the stream's SPS
constexpr int kPromiseMs = 3000;        // webrtcbin's offer and descriptions
constexpr int kGatherMs = 3000;         // ICE gathering; then the offer goes with what it has
constexpr int kConnectHttpMs = 3000;    // the endpoint's TCP (and TLS) connection
constexpr int kRequestMs = 5000;        // the whole POST
constexpr int kDeleteMs = 1000;         // the DELETE, the endpoint possibly stalled
constexpr int kConnectionMs = 5000;     // ICE and DTLS after the answer
constexpr int kSilenceMs = 10000;       // nothing from the endpoint this long: lost
constexpr int kReleaseMs = 1000;        // a unit's bytes back from the pipeline
constexpr uint32_t kProfileKnown = 1u << 24;
constexpr uint32_t kFallbackProfile = 0x42e01f; // constrained baseline 3.1: what every endpoint takes
constexpr GstClockTime kAudioDuration = 20 * GST_MSECOND;
constexpr int64_t kRebaseUs = 2000000; // a unit's time this far from the session's clock: rebased

bool cut(const MediaStop *stop, const std::atomic<bool> &aborted)
{
    return aborted.load() || MediaStop_raised(stop);
}

// Polls `done` every 10 ms for up to `ms`; false at the bound or when cut short.
template <typename Done> bool waitFor(Done done, int ms, const MediaStop *stop, const std::atomic<bool> &aborted)
{
    int64_t until = Media_monotonicNs() + int64_t{ms} * 1000000;
    while (!done()) {
        if (cut(stop, aborted) || Media_monotonicNs() >= until) {
            return false;
        }
        Media_waitMs(stop, 10);
    }
    return true;
}

// One webrtcbin promise, waited for with a bound. The waiter outlives whichever of the two sides lets
// go of it last, since a promise given up on may still be answered.
struct PromiseWaiter {
    std::mutex m;
    bool answered = false;
    std::atomic<int> refs{2};

    static void unref(gpointer p)
    {
        auto *w = static_cast<PromiseWaiter *>(p);
        if (w->refs.fetch_sub(1) == 1) {
            delete w;
        }
    }
    static void changed(GstPromise *, gpointer p)
    {
        auto *w = static_cast<PromiseWaiter *>(p);
        std::lock_guard<std::mutex> lock(w->m);
        w->answered = true;
    }
};

// Emits `signal` with `arg` (may be null) and a promise: the answered promise (the caller unrefs it),
// or null at the bound.
GstPromise *callPromised(GstElement *webrtc, const char *signal, gpointer arg, const MediaStop *stop,
                         const std::atomic<bool> &aborted)
{
    auto *w = new PromiseWaiter;
    GstPromise *promise = gst_promise_new_with_change_func(PromiseWaiter::changed, w, PromiseWaiter::unref);
    if (arg != nullptr) {
        g_signal_emit_by_name(webrtc, signal, arg, promise);
    } else {
        g_signal_emit_by_name(webrtc, signal, nullptr, promise);
    }
    bool answered = waitFor(
        [w] {
            std::lock_guard<std::mutex> lock(w->m);
            return w->answered;
        },
        kPromiseMs, stop, aborted);
    PromiseWaiter::unref(w);
    if (!answered) {
        gst_promise_interrupt(promise);
        gst_promise_unref(promise);
        return nullptr;
    }
    return promise;
}

bool promiseFailed(GstPromise *promise)
{
    const GstStructure *reply = promise != nullptr ? gst_promise_get_reply(promise) : nullptr;
    return promise == nullptr || (reply != nullptr && gst_structure_has_field(reply, "error"));
}

// --- The pipeline ---

int64_t microseconds(FrameTime t)
{
    return int64_t{t.seconds} * 1000000 + t.microseconds;
}

} // namespace

struct WhipLink::Session {
    GstElement *pipeline = nullptr;
    GstElement *webrtc = nullptr;
    GstElement *videoSrc = nullptr;
    GstElement *audioSrc = nullptr;
    std::string location; // absolute; empty: the endpoint gave none
    std::atomic<int64_t> heardNs{0};
    WhipKeyFrameAsk ask = nullptr;
    void *askCtx = nullptr;
    bool videoStarted = false;
    bool clockSet = false;
    GstClockTime baseRun = 0; // the running time of the session's first unit
    int64_t baseUs = 0;       // that unit's time
    GstClockTime lastPts[2] = {0, 0};
    bool stamped[2] = {false, false};

    ~Session()
    {
        if (pipeline != nullptr) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        for (GstElement *e : {videoSrc, audioSrc, webrtc, pipeline}) {
            if (e != nullptr) {
                gst_object_unref(e);
            }
        }
    }
};

namespace {

using Session = WhipLink::Session;

// The endpoint's PLI or FIR reaches the H.264 source as an upstream force-key-unit event.
GstPadProbeReturn onUpstreamEvent(GstPad *, GstPadProbeInfo *info, gpointer p)
{
    auto *s = static_cast<Session *>(p);
    GstEvent *ev = GST_PAD_PROBE_INFO_EVENT(info);
    const GstStructure *st = ev != nullptr ? gst_event_get_structure(ev) : nullptr;
    if (st != nullptr && gst_structure_has_name(st, "GstForceKeyUnit") && s->ask != nullptr) {
        s->ask(s->askCtx);
    }
    return GST_PAD_PROBE_OK;
}

// Whatever the endpoint sends that is not ICE (DTLS, its RTCP) comes out of the ICE sources.
GstPadProbeReturn onHeard(GstPad *, GstPadProbeInfo *, gpointer p)
{
    static_cast<Session *>(p)->heardNs.store(Media_monotonicNs(), std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

void watchIceSources(Session &s)
{
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(s.webrtc));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto *e = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory *f = gst_element_get_factory(e);
        if (f != nullptr && std::strcmp(GST_OBJECT_NAME(f), "nicesrc") == 0) {
            GstPad *pad = gst_element_get_static_pad(e, "src");
            if (pad != nullptr) {
                auto types = static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST);
                gst_pad_add_probe(pad, types, onHeard, &s, nullptr);
                gst_object_unref(pad);
            }
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

// The caps fields rtph264pay checks against the profile-level-id it is to put out, named as it
// names them: the profile and the level of the SPS whose bytes `profile` holds.
std::string h264Fields(uint32_t profile)
{
    const guint8 sps[3] = {static_cast<guint8>(profile >> 16), static_cast<guint8>(profile >> 8),
                           static_cast<guint8>(profile)};
    const char *name = gst_codec_utils_h264_get_profile(sps, sizeof sps);
    const char *level = gst_codec_utils_h264_get_level(sps, sizeof sps);
    std::string fields;
    if (name != nullptr) {
        fields += std::string(",profile=(string)") + name;
    }
    if (level != nullptr) {
        fields += std::string(",level=(string)") + level;
    }
    return fields;
}

// The pipeline, playing, its transceivers sendonly; false with `why` said.
bool buildPipeline(Session &s, uint32_t profile, std::string &why)
{
    if ((profile & kProfileKnown) == 0) {
        profile = kFallbackProfile;
    }
    char profileText[8];
    std::snprintf(profileText, sizeof profileText, "%06x", profile & 0xFFFFFFu);
    std::string description =
        "webrtcbin name=webrtc bundle-policy=max-bundle "
        "appsrc name=video is-live=true format=time do-timestamp=false max-bytes=0 min-latency=0 "
        "caps=video/x-h264,stream-format=byte-stream,alignment=au" +
        h264Fields(profile) +
        " ! rtph264pay config-interval=-1 aggregate-mode=zero-latency "
        "! application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,"
        "packetization-mode=(string)1,profile-level-id=(string)" +
        std::string(profileText) +
        " ! webrtc. "
        "appsrc name=audio is-live=true format=time do-timestamp=false max-bytes=0 min-latency=0 "
        "caps=audio/x-opus,channel-mapping-family=0,channels=2,rate=48000 "
        "! rtpopuspay ! application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000 ! webrtc.";
    GError *error = nullptr;
    s.pipeline = gst_parse_launch(description.c_str(), &error);
    if (s.pipeline == nullptr || error != nullptr) {
        why = std::string("whip: the pipeline could not be made: ") + (error != nullptr ? error->message : "");
        g_clear_error(&error);
        return false;
    }
    s.webrtc = gst_bin_get_by_name(GST_BIN(s.pipeline), "webrtc");
    s.videoSrc = gst_bin_get_by_name(GST_BIN(s.pipeline), "video");
    s.audioSrc = gst_bin_get_by_name(GST_BIN(s.pipeline), "audio");
    GArray *transceivers = nullptr;
    g_signal_emit_by_name(s.webrtc, "get-transceivers", &transceivers);
    for (guint i = 0; transceivers != nullptr && i < transceivers->len; i++) {
        GstWebRTCRTPTransceiver *t = g_array_index(transceivers, GstWebRTCRTPTransceiver *, i);
        g_object_set(t, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
    }
    if (transceivers != nullptr) {
        g_array_unref(transceivers);
    }
    GstPad *pad = gst_element_get_static_pad(s.videoSrc, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onUpstreamEvent, &s, nullptr);
    gst_object_unref(pad);
    if (gst_element_set_state(s.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        why = "whip: the pipeline would not start";
        return false;
    }
    return true;
}

// The offer made and set, ICE gathered (or its bound passed): the SDP text to send, empty on failure.
std::string makeOffer(Session &s, const MediaStop *stop, const std::atomic<bool> &aborted, std::string &why)
{
    GstPromise *p = callPromised(s.webrtc, "create-offer", nullptr, stop, aborted);
    const GstStructure *reply = p != nullptr ? gst_promise_get_reply(p) : nullptr;
    GstWebRTCSessionDescription *offer = nullptr;
    if (reply != nullptr) {
        gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    }
    if (p != nullptr) {
        gst_promise_unref(p);
    }
    if (offer == nullptr) {
        why = "whip: no offer could be made";
        return {};
    }
    p = callPromised(s.webrtc, "set-local-description", offer, stop, aborted);
    gst_webrtc_session_description_free(offer);
    bool failed = promiseFailed(p);
    if (p != nullptr) {
        gst_promise_unref(p);
    }
    if (failed) {
        why = "whip: the offer could not be set";
        return {};
    }
    waitFor(
        [&s] {
            GstWebRTCICEGatheringState g = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
            g_object_get(s.webrtc, "ice-gathering-state", &g, nullptr);
            return g == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE;
        },
        kGatherMs, stop, aborted);
    GstWebRTCSessionDescription *local = nullptr;
    g_object_get(s.webrtc, "local-description", &local, nullptr);
    std::string text;
    if (local != nullptr) {
        gchar *sdp = gst_sdp_message_as_text(local->sdp);
        text = sdp;
        g_free(sdp);
        gst_webrtc_session_description_free(local);
    }
    if (text.empty()) {
        why = "whip: no offer could be made";
    }
    return text;
}

bool setAnswer(Session &s, const std::string &answer, const MediaStop *stop, const std::atomic<bool> &aborted)
{
    GstSDPMessage *sdp = nullptr;
    if (gst_sdp_message_new_from_text(answer.c_str(), &sdp) != GST_SDP_OK || gst_sdp_message_medias_len(sdp) == 0) {
        if (sdp != nullptr) {
            gst_sdp_message_free(sdp);
        }
        return false;
    }
    GstWebRTCSessionDescription *desc = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    GstPromise *p = callPromised(s.webrtc, "set-remote-description", desc, stop, aborted);
    gst_webrtc_session_description_free(desc);
    bool failed = promiseFailed(p);
    if (p != nullptr) {
        gst_promise_unref(p);
    }
    return !failed;
}

GstWebRTCPeerConnectionState connectionState(const Session &s)
{
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(s.webrtc, "connection-state", &state, nullptr);
    return state;
}

// A unit's bytes, lent to the pipeline until it lets go of them.
struct Lent {
    std::mutex m;
    std::condition_variable cv;
    bool back = false;
    std::atomic<int> refs{2};

    static void unref(Lent *l)
    {
        if (l->refs.fetch_sub(1) == 1) {
            delete l;
        }
    }
    static void given(gpointer p)
    {
        auto *l = static_cast<Lent *>(p);
        {
            std::lock_guard<std::mutex> lock(l->m);
            l->back = true;
        }
        l->cv.notify_all();
        unref(l);
    }
    bool await(int ms)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return back; });
    }
};

// The unit's presentation time on the session's running clock: the capture times' distances kept,
// each stream strictly rising, and a clock that stepped (the wall clock set) taken up afresh.
GstClockTime stamp(Session &s, FrameTime t, bool video)
{
    GstClockTime now = gst_element_get_current_running_time(s.pipeline);
    int64_t us = microseconds(t);
    if (now == GST_CLOCK_TIME_NONE) {
        now = 0;
    }
    int64_t drift = (us - s.baseUs) - static_cast<int64_t>((now - std::min(now, s.baseRun)) / 1000);
    if (!s.clockSet || drift > kRebaseUs || drift < -kRebaseUs) {
        s.clockSet = true;
        s.baseRun = now;
        s.baseUs = us;
    }
    int64_t offsetNs = (us - s.baseUs) * 1000;
    GstClockTime pts = offsetNs >= 0 || s.baseRun >= static_cast<GstClockTime>(-offsetNs)
                           ? s.baseRun + offsetNs
                           : 0;
    int k = video ? 0 : 1;
    if (s.stamped[k] && pts <= s.lastPts[k]) {
        pts = s.lastPts[k] + GST_MSECOND;
    }
    s.stamped[k] = true;
    s.lastPts[k] = pts;
    return pts;
}

} // namespace

// --- The link ---

WhipLink::WhipLink(const WhipSettings &settings, WhipKeyFrameAsk ask, void *ctx, StatusError &error)
    : settings_(settings), target_(WhipUrl_public(settings.url)), ask_(ask), askCtx_(ctx), error_(error)
{
}

WhipLink::~WhipLink()
{
    delete session_;
}

void WhipLink::fail(const char *line)
{
    if (cut(stop_, aborted_)) {
        return;
    }
    error_.set(line);
    if (lastLine_ != line) {
        lastLine_ = line;
        Console_say("%s\n", line);
    }
}

void WhipLink::learnSps(const uint8_t *unit, int bytes)
{
    int at = AnnexB_startCodeAt(unit, bytes, 0);
    if (at == 0 || !AnnexB_beginsWithSps(unit, bytes) || bytes < at + 4) {
        return;
    }
    uint32_t p = (uint32_t{unit[at + 1]} << 16) | (uint32_t{unit[at + 2]} << 8) | unit[at + 3];
    profile_.store(p | kProfileKnown, std::memory_order_relaxed);
}

// The POST and what its answer says; the session's Location kept for its end.
bool WhipLink::exchange(const MediaStop *stop)
{
    std::string why;
    std::string offer = makeOffer(*session_, stop, aborted_, why);
    if (offer.empty()) {
        fail(why.c_str());
        return false;
    }
    HttpReply r;
    char line[384];
    HttpRequest q;
    q.method = "POST";
    q.url = settings_.url;
    q.contentType = "application/sdp";
    q.body = reinterpret_cast<const uint8_t *>(offer.data());
    q.bodyBytes = offer.size();
    q.bearer = settings_.token;
    q.connectMs = kConnectHttpMs;
    q.totalMs = kRequestMs;
    q.followRedirects = true; // an endpoint may send the offer on (307)
    if (!Http_request(q, stop, aborted_, r)) {
        std::snprintf(line, sizeof line, "whip: cannot reach %s: %s", target_.c_str(),
                      Http_reason(r.error, settings_.token).c_str());
        fail(line);
        return false;
    }
    if (r.status != 201) {
        std::snprintf(line, sizeof line, "whip: the endpoint answered %ld: %s", r.status,
                      Http_reason(r.body, settings_.token).c_str());
        fail(line);
        return false;
    }
    if (!r.location.empty()) {
        session_->location = Http_resolve(r.effectiveUrl, r.location);
    }
    if (strncasecmp(r.contentType.c_str(), "application/sdp", 15) != 0) {
        std::snprintf(line, sizeof line, "whip: the endpoint answered 201 without an SDP answer (%s)",
                      r.contentType.empty() ? "no content type" : Http_reason(r.contentType, "").c_str());
        fail(line);
        return false;
    }
    if (!setAnswer(*session_, r.body, stop, aborted_)) {
        fail("whip: the endpoint's SDP answer was refused");
        return false;
    }
    return true;
}

int WhipLink::connect(const MediaStop *stop)
{
    aborted_.store(false);
    stop_ = stop;
    if (cut(stop, aborted_)) {
        return Sender_ERETRY;
    }
    waitFor([this] { return (profile_.load() & kProfileKnown) != 0; }, kProfileWaitMs, stop, aborted_);
    delete session_;
    session_ = new Session;
    session_->ask = ask_;
    session_->askCtx = askCtx_;
    std::string why;
    if (!buildPipeline(*session_, profile_.load(), why)) {
        fail(why.c_str());
        disconnect(false);
        return Sender_ERETRY;
    }
    if (!exchange(stop)) {
        disconnect(false);
        return Sender_ERETRY;
    }
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    bool up = waitFor(
        [&] {
            state = connectionState(*session_);
            return state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED ||
                   state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED;
        },
        kConnectionMs, stop, aborted_);
    if (!up || state != GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
        fail(state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ? "whip: the connection to the endpoint failed"
                                                               : "whip: the connection did not come up within 5 s");
        disconnect(false);
        return Sender_ERETRY;
    }
    watchIceSources(*session_);
    // The RTP session stamps its reports on the running time, which it knows once the live
    // pipeline's latency has been given out.
    gst_bin_recalculate_latency(GST_BIN(session_->pipeline));
    session_->heardNs.store(Media_monotonicNs());
    lastLine_.clear();
    Console_say("whip: publishing to %s\n", target_.c_str());
    if (ask_ != nullptr) {
        ask_(askCtx_);
    }
    return Sender_EOK;
}

int WhipLink::send(const SenderUnit &u)
{
    Session &s = *session_;
    bool video = u.kind == SenderKind::Video;
    if (u.kind == SenderKind::Ts || (video && !s.videoStarted && !u.key)) {
        return Sender_ESKIPPED; // a session's picture starts at a key frame
    }
    s.videoStarted = s.videoStarted || video;
    auto *lent = new Lent;
    GstBuffer *b = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t *>(u.data),
                                               static_cast<gsize>(u.bytes), 0, static_cast<gsize>(u.bytes), lent,
                                               Lent::given);
    GST_BUFFER_PTS(b) = stamp(s, u.time, video);
    if (video && !u.key) {
        GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    }
    if (!video) {
        GST_BUFFER_DURATION(b) = kAudioDuration;
    }
    GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(video ? s.videoSrc : s.audioSrc), b);
    bool back = lent->await(kReleaseMs);
    if (!back) {
        // Torn down, the pipeline lets go of whatever it still held.
        gst_element_set_state(s.pipeline, GST_STATE_NULL);
        back = lent->await(kReleaseMs);
    }
    Lent::unref(lent);
    if (!back || flow != GST_FLOW_OK) {
        fail(!back ? "whip: the pipeline held a unit past 1 s" : "whip: the pipeline stopped taking units");
        return Sender_ELOST;
    }
    bytes_.fetch_add(static_cast<uint64_t>(u.bytes), std::memory_order_relaxed);
    return Sender_EOK;
}

int WhipLink::tend()
{
    Session &s = *session_;
    GstBus *bus = gst_element_get_bus(s.pipeline);
    GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    if (msg != nullptr) {
        GError *error = nullptr;
        gst_message_parse_error(msg, &error, nullptr);
        std::string line = std::string("whip: the session failed: ") + (error != nullptr ? error->message : "");
        g_clear_error(&error);
        gst_message_unref(msg);
        fail(line.c_str());
        return Sender_ELOST;
    }
    GstWebRTCPeerConnectionState state = connectionState(s);
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED || state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
        fail("whip: the connection to the endpoint was lost");
        return Sender_ELOST;
    }
    if (Media_monotonicNs() - s.heardNs.load(std::memory_order_relaxed) > int64_t{kSilenceMs} * 1000000) {
        fail("whip: nothing heard from the endpoint for 10 s");
        return Sender_ELOST;
    }
    return Sender_EOK;
}

void WhipLink::disconnect(bool)
{
    if (session_ == nullptr) {
        return;
    }
    // The endpoint frees the session at once instead of waiting for it to time out; it may be
    // stalled, so the DELETE has its own short bound and no stop cuts it.
    if (!session_->location.empty()) {
        HttpReply r;
        std::atomic<bool> never{false};
        MediaStop none;
        HttpRequest q;
        q.method = "DELETE";
        q.url = session_->location;
        q.bearer = settings_.token;
        q.connectMs = kDeleteMs;
        q.totalMs = kDeleteMs;
        Http_request(q, &none, never, r);
    }
    delete session_;
    session_ = nullptr;
}

void WhipLink::abort()
{
    aborted_.store(true);
}
