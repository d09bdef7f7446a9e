// A WHEP viewer. Its pipeline is two sources (the access units as the encoder coded them, the feed's
// Opus), their payloaders and one webrtcbin, on the feed's clock and base time so that the feed's
// PTS hold. Answering is strictly in order: the offer set, the answer made and set, then the ICE
// gathering awaited, each step with a bound; the answer sent is the local description after the
// gathering, which carries the box's candidates.
#include "webrtc/viewer.h"

#include "webrtc/offer.h"

#include <gst/app/gstappsrc.h>
#define GST_USE_UNSTABLE_API
#include <gst/rtp/gstrtpbuffer.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSpsWaitMs = 2500;
constexpr int kStepMs = 2000;
constexpr int kGatherMs = 3000;
constexpr int64_t kConnectLimitMs = 10000;
constexpr int64_t kSilenceLimitMs = 6000;
constexpr int kStatsWaitMs = 300;
constexpr int kVideoQueueBytes = 4 << 20;

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// A payloader's output given the offer's payload type (retype() below).
struct Retype {
    int pt;
    std::string profileLevelId; // empty: none added
};

// A promise's reply within a bound; null when none came (the promise is interrupted then).
struct Waiter {
    std::mutex lock;
    std::condition_variable done;
    bool replied = false;
};

void promiseChanged(GstPromise *, gpointer data)
{
    auto *w = static_cast<Waiter *>(data);
    std::lock_guard<std::mutex> g(w->lock);
    w->replied = true;
    w->done.notify_all();
}

GstPromise *newPromise(Waiter *w)
{
    return gst_promise_new_with_change_func(promiseChanged, w, nullptr);
}

bool replied(GstPromise *p, Waiter *w, int ms)
{
    std::unique_lock<std::mutex> g(w->lock);
    if (!w->done.wait_for(g, std::chrono::milliseconds(ms), [&] { return w->replied; })) {
        g.unlock();
        gst_promise_interrupt(p);
        return false;
    }
    return gst_promise_wait(p) == GST_PROMISE_RESULT_REPLIED;
}

} // namespace

struct Viewer_Object : FeedSink {
    Feed_Handle feed = nullptr;
    FeedStream stream = Feed_MAIN;
    std::string address;
    GstElement *pipeline = nullptr;
    GstElement *webrtc = nullptr;
    GstElement *videoSrc = nullptr;
    GstElement *audioSrc = nullptr;
    bool subscribed = false;
    Retype videoType;
    Retype audioType;
    std::atomic<bool> ready{false};   // answered: its sources take units
    std::atomic<bool> started{false}; // the first key unit went in
    std::atomic<int64_t> heardMs{0};  // the last packet from the browser
    int64_t createdMs = 0;
    int64_t connectedMs = 0; // 0 until connected
    // The janitor's bit-rate figure.
    uint64_t lastBytes = 0;
    int64_t lastBytesMs = 0;
    double bitrateKbps = 0;

    void video(FeedStream, GstBuffer *b, bool key) override
    {
        if (!ready.load(std::memory_order_acquire) || (!started.load(std::memory_order_relaxed) && !key)) {
            return;
        }
        started.store(true, std::memory_order_relaxed);
        gst_app_src_push_buffer(GST_APP_SRC(videoSrc), gst_buffer_ref(b));
    }
    void opus(GstBuffer *b) override
    {
        if (started.load(std::memory_order_relaxed) && audioSrc != nullptr) {
            gst_app_src_push_buffer(GST_APP_SRC(audioSrc), gst_buffer_ref(b));
        }
    }
};

namespace {

// A browser that lost pictures sends PLI or FIR; the payloader turns either into a force-key-unit
// event upstream, which ends here as a request to the encoder.
GstPadProbeReturn upstreamEvent(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    auto *h = static_cast<Viewer_Object *>(data);
    GstEvent *e = GST_PAD_PROBE_INFO_EVENT(info);
    const GstStructure *s = e != nullptr ? gst_event_get_structure(e) : nullptr;
    if (s != nullptr && gst_structure_has_name(s, "GstForceKeyUnit")) {
        Feed_askKeyFrame(h->feed, h->stream);
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn heard(GstPad *, GstPadProbeInfo *, gpointer data)
{
    static_cast<Viewer_Object *>(data)->heardMs.store(nowMs(), std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

// Every packet the browser sends (its RTCP reports among them) passes a nicesrc inside webrtcbin;
// every packet to it a nicesink.
void watchIncoming(Viewer_Object *h)
{
    GstIterator *it = gst_bin_iterate_recurse(GST_BIN(h->webrtc));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto *e = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory *f = gst_element_get_factory(e);
        // The units come live from the encoder: they go out as they come, not held to the clock.
        if (f != nullptr && g_strcmp0(GST_OBJECT_NAME(f), "nicesink") == 0) {
            g_object_set(e, "sync", FALSE, nullptr);
        }
        if (f != nullptr && g_strcmp0(GST_OBJECT_NAME(f), "nicesrc") == 0) {
            GstPad *pad = gst_element_get_static_pad(e, "src");
            gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                              heard, h, nullptr);
            gst_object_unref(pad);
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

std::string pipelineLine(const OfferChoice &c)
{
    std::string line = "webrtcbin name=w bundle-policy=max-bundle latency=0 "
                       "appsrc name=v is-live=true format=time leaky-type=downstream max-bytes=" +
                       std::to_string(kVideoQueueBytes) +
                       " caps=video/x-h264,stream-format=byte-stream,alignment=au"
                       " ! rtph264pay name=vpay config-interval=-1 aggregate-mode=zero-latency mtu=1200 ! w.sink_0 ";
    if (c.audioPt >= 0) {
        line += "appsrc name=a is-live=true format=time leaky-type=downstream max-bytes=262144"
                " caps=audio/x-opus,channel-mapping-family=0,channels=2,rate=48000"
                " ! rtpopuspay name=apay ! w.sink_1 ";
    }
    return line;
}

// The payloaders know only payload types from 96 up (their pad templates), and browsers offer H.264
// below that too, while webrtcbin answers each section with the payload type its pad's caps carry.
// So each payloader works at its own type and a probe on its output gives the caps and every packet
// the offer's type, and the caps the offer's profile-level-id (a browser takes an answer only in a
// profile it offered). The packets are the payloader's own, so making them writable copies nothing.

gboolean retypePacket(GstBuffer **b, guint, gpointer data)
{
    *b = gst_buffer_make_writable(*b);
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (gst_rtp_buffer_map(*b, GST_MAP_WRITE, &rtp)) {
        gst_rtp_buffer_set_payload_type(&rtp, static_cast<guint8>(static_cast<Retype *>(data)->pt));
        gst_rtp_buffer_unmap(&rtp);
    }
    return TRUE;
}

GstPadProbeReturn retype(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    auto *r = static_cast<Retype *>(data);
    if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        GstBuffer *b = GST_PAD_PROBE_INFO_BUFFER(info);
        retypePacket(&b, 0, r);
        GST_PAD_PROBE_INFO_DATA(info) = b;
    } else if ((info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) != 0) {
        GstBufferList *l = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
        gst_buffer_list_foreach(l, retypePacket, r);
        GST_PAD_PROBE_INFO_DATA(info) = l;
    } else if (GstEvent *e = GST_PAD_PROBE_INFO_EVENT(info); e != nullptr && GST_EVENT_TYPE(e) == GST_EVENT_CAPS) {
        GstCaps *caps = nullptr;
        gst_event_parse_caps(e, &caps);
        GstCaps *changed = gst_caps_copy(caps);
        gst_caps_set_simple(changed, "payload", G_TYPE_INT, r->pt, nullptr);
        if (!r->profileLevelId.empty()) {
            gst_caps_set_simple(changed, "profile-level-id", G_TYPE_STRING, r->profileLevelId.c_str(),
                                "rtcp-fb-nack-pli", G_TYPE_BOOLEAN, TRUE, "rtcp-fb-ccm-fir", G_TYPE_BOOLEAN, TRUE,
                                nullptr);
        }
        gst_event_unref(e);
        GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(changed);
        gst_caps_unref(changed);
    }
    return GST_PAD_PROBE_OK;
}

void retypeOutput(GstElement *pipeline, const char *payloader, Retype *r)
{
    GstElement *e = gst_bin_get_by_name(GST_BIN(pipeline), payloader);
    GstPad *pad = gst_element_get_static_pad(e, "src");
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      retype, r, nullptr);
    gst_object_unref(pad);
    gst_object_unref(e);
}

void setIceServer(GstElement *webrtc, const std::string &server)
{
    if (server.rfind("stun://", 0) == 0) {
        g_object_set(webrtc, "stun-server", server.c_str(), nullptr);
    } else if (!server.empty()) {
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc, "add-turn-server", server.c_str(), &added);
    }
}

// The payloader settles its caps on its first buffer, and webrtcbin answers only for a pad whose caps
// it knows (the payloader's template, payload types 96 and up, does not cover what browsers offer
// H.264 at): the stream's last key unit goes in first, so that the caps are there when the answer is
// made. It reaches no browser (nothing is connected yet).
bool negotiate(Viewer_Object *h, GstBuffer *key)
{
    GstPad *pad = gst_element_get_static_pad(h->webrtc, "sink_0");
    gst_app_src_push_buffer(GST_APP_SRC(h->videoSrc), gst_buffer_ref(key));
    auto until = Clock::now() + std::chrono::milliseconds(kStepMs);
    bool has = false;
    while (!(has = gst_pad_has_current_caps(pad)) && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    gst_object_unref(pad);
    return has;
}

bool build(Viewer_Object *h, const OfferChoice &c, const ViewerOffer &offer, GstBuffer *key, std::string *why)
{
    GError *err = nullptr;
    h->pipeline = gst_parse_launch(pipelineLine(c).c_str(), &err);
    if (h->pipeline == nullptr) {
        *why = std::string("refused: the viewer's pipeline cannot be made (") + (err ? err->message : "?") + ")";
        g_clear_error(&err);
        return false;
    }
    g_clear_error(&err);
    gst_pipeline_use_clock(GST_PIPELINE(h->pipeline), Feed_clock(h->feed));
    gst_element_set_base_time(h->pipeline, Feed_baseTime(h->feed));
    gst_element_set_start_time(h->pipeline, GST_CLOCK_TIME_NONE);
    // A buffer's PTS is its capture time, already past: the sinks inside webrtcbin send it at once
    // unless a pipeline latency holds it back, which is what a latency of 0 makes sure of.
    gst_pipeline_set_latency(GST_PIPELINE(h->pipeline), 0);
    h->webrtc = gst_bin_get_by_name(GST_BIN(h->pipeline), "w");
    h->videoSrc = gst_bin_get_by_name(GST_BIN(h->pipeline), "v");
    h->audioSrc = gst_bin_get_by_name(GST_BIN(h->pipeline), "a");
    setIceServer(h->webrtc, offer.iceServer);
    h->videoType = {c.videoPt, c.profileLevelId};
    h->audioType = {c.audioPt, ""};
    retypeOutput(h->pipeline, "vpay", &h->videoType);
    if (c.audioPt >= 0) {
        retypeOutput(h->pipeline, "apay", &h->audioType);
    }
    GstPad *pad = gst_element_get_static_pad(h->videoSrc, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, upstreamEvent, h, nullptr);
    gst_object_unref(pad);
    if (gst_element_set_state(h->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        *why = "refused: the viewer's pipeline does not start";
        return false;
    }
    if (!negotiate(h, key)) {
        *why = "refused: the viewer's H.264 payloader settled no caps";
        return false;
    }
    return true;
}

// The offer set, the answer made and set, the gathering awaited: the local description's text.
bool answer(Viewer_Object *h, GstSDPMessage *offerSdp, std::string *text)
{
    GstSDPMessage *copy = nullptr; // the description takes the message it is given
    gst_sdp_message_copy(offerSdp, &copy);
    GstWebRTCSessionDescription *offer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, copy);
    Waiter w1;
    GstPromise *p = newPromise(&w1);
    g_signal_emit_by_name(h->webrtc, "set-remote-description", offer, p);
    gst_webrtc_session_description_free(offer);
    bool ok = replied(p, &w1, kStepMs);
    gst_promise_unref(p);
    if (!ok) {
        *text = "refused: the offer could not be set";
        return false;
    }
    Waiter w2;
    p = newPromise(&w2);
    g_signal_emit_by_name(h->webrtc, "create-answer", nullptr, p);
    GstWebRTCSessionDescription *ans = nullptr;
    if (replied(p, &w2, kStepMs)) {
        const GstStructure *reply = gst_promise_get_reply(p);
        if (reply != nullptr && gst_structure_has_field(reply, "answer")) {
            gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &ans, nullptr);
        }
    }
    gst_promise_unref(p);
    // webrtcbin gives no answer (rather than an error) for an offer it cannot match; setting a null
    // description would abort the process.
    if (ans == nullptr) {
        *text = "refused: the offer cannot be answered with this box's streams";
        return false;
    }
    Waiter w3;
    p = newPromise(&w3);
    g_signal_emit_by_name(h->webrtc, "set-local-description", ans, p);
    gst_webrtc_session_description_free(ans);
    ok = replied(p, &w3, kStepMs);
    gst_promise_unref(p);
    if (!ok) {
        *text = "refused: the answer could not be set";
        return false;
    }
    watchIncoming(h);
    auto until = Clock::now() + std::chrono::milliseconds(kGatherMs);
    GstWebRTCICEGatheringState gathering = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    while (Clock::now() < until) {
        g_object_get(h->webrtc, "ice-gathering-state", &gathering, nullptr);
        if (gathering == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    GstWebRTCSessionDescription *local = nullptr;
    g_object_get(h->webrtc, "local-description", &local, nullptr);
    if (local == nullptr) {
        *text = "refused: no answer was made";
        return false;
    }
    gchar *sdp = gst_sdp_message_as_text(local->sdp);
    *text = sdp;
    g_free(sdp);
    gst_webrtc_session_description_free(local);
    return true;
}

} // namespace

int Viewer_create(Feed_Handle feed, const ViewerOffer &offer, Viewer_Handle *viewer, std::string *text)
{
    *viewer = nullptr;
    GstSDPMessage *sdp = nullptr;
    if (offer.sdp.rfind("v=0", 0) != 0 || gst_sdp_message_new_from_text(offer.sdp.c_str(), &sdp) != GST_SDP_OK ||
        gst_sdp_message_medias_len(sdp) == 0) {
        if (sdp != nullptr) {
            gst_sdp_message_free(sdp);
        }
        *text = "refused: the body is no SDP offer";
        return Viewer_EBADOFFER;
    }
    auto *h = new (std::nothrow) Viewer_Object;
    if (h == nullptr) {
        gst_sdp_message_free(sdp);
        *text = "refused: out of memory";
        return Viewer_EFAIL;
    }
    h->feed = feed;
    h->stream = offer.stream;
    h->address = offer.address;
    h->createdMs = nowMs();
    // Subscribed before anything else: the feed's reader opens the FIFO and asks for the key frame
    // whose SPS says the stream's profile, and whose picture starts the viewer.
    Feed_subscribe(feed, offer.stream, h);
    h->subscribed = true;
    GstBuffer *key = Feed_keyUnit(feed, offer.stream, kSpsWaitMs);
    std::string sps;
    if (key != nullptr) {
        GstMapInfo m{};
        if (gst_buffer_map(key, &m, GST_MAP_READ)) {
            sps = Feed_spsOf(m.data, static_cast<int>(m.size));
            gst_buffer_unmap(key, &m);
        }
    }
    std::string refused;
    OfferChoice c = Offer_choose(sdp, sps, offer.stream, &refused);
    int r = Viewer_EOK;
    if (sps.empty()) {
        *text = offer.stream == Feed_MAIN ? "refused: the encoder sends no main stream now"
                                          : "refused: the encoder sends no second stream now";
        r = Viewer_ENOSTREAM;
    } else if (!refused.empty()) {
        *text = refused;
        r = Viewer_EBADOFFER;
    } else {
        r = build(h, c, offer, key, text) && answer(h, sdp, text) ? Viewer_EOK : Viewer_EFAIL;
    }
    if (key != nullptr) {
        gst_buffer_unref(key);
    }
    gst_sdp_message_free(sdp);
    if (r != Viewer_EOK) {
        Viewer_destroy(h);
        return r;
    }
    h->ready.store(true, std::memory_order_release);
    if (c.audioPt >= 0) {
        Feed_subscribe(feed, Feed_AUDIO, h);
    }
    Feed_askKeyFrame(feed, offer.stream);
    *viewer = h;
    return Viewer_EOK;
}

void Viewer_destroy(Viewer_Handle h)
{
    if (h == nullptr) {
        return;
    }
    if (h->subscribed) {
        Feed_unsubscribe(h->feed, h->stream, h);
        Feed_unsubscribe(h->feed, Feed_AUDIO, h);
    }
    if (h->pipeline != nullptr) {
        gst_element_set_state(h->pipeline, GST_STATE_NULL);
    }
    for (GstElement *e : {h->videoSrc, h->audioSrc, h->webrtc, h->pipeline}) {
        if (e != nullptr) {
            gst_object_unref(e);
        }
    }
    delete h;
}

bool Viewer_gone(Viewer_Handle h, std::string *why)
{
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(h->webrtc, "connection-state", &state, nullptr);
    int64_t now = nowMs();
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED && h->connectedMs == 0) {
        h->connectedMs = now;
        h->heardMs.store(now, std::memory_order_relaxed);
    }
    if (state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED || state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED) {
        *why = state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ? "its connection failed" : "its connection closed";
        return true;
    }
    if (h->connectedMs == 0 && now - h->createdMs > kConnectLimitMs) {
        *why = "it did not connect within 10 s";
        return true;
    }
    if (h->connectedMs != 0 && now - h->heardMs.load(std::memory_order_relaxed) > kSilenceLimitMs) {
        *why = "nothing came from its browser for 6 s";
        return true;
    }
    return false;
}

namespace {

// A number of a stats structure, whatever integer or floating type webrtcbin gave it.
double statNumber(const GstStructure *s, const char *field)
{
    const GValue *v = gst_structure_get_value(s, field);
    if (v == nullptr) {
        return 0;
    }
    GValue d = G_VALUE_INIT;
    g_value_init(&d, G_TYPE_DOUBLE);
    double out = g_value_transform(v, &d) ? g_value_get_double(&d) : 0;
    g_value_unset(&d);
    return out;
}

struct Figures {
    double bytesSent = 0;
    double rttS = -1;
    double lost = 0;
};

gboolean addStat(GQuark, const GValue *value, gpointer data)
{
    auto *f = static_cast<Figures *>(data);
    if (!GST_VALUE_HOLDS_STRUCTURE(value)) {
        return TRUE;
    }
    const GstStructure *s = gst_value_get_structure(value);
    GstWebRTCStatsType type{};
    if (!gst_structure_get_enum(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, reinterpret_cast<gint *>(&type))) {
        return TRUE;
    }
    if (type == GST_WEBRTC_STATS_OUTBOUND_RTP) {
        f->bytesSent += statNumber(s, "bytes-sent");
    } else if (type == GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) {
        f->lost += statNumber(s, "packets-lost");
        if (gst_structure_has_field(s, "round-trip-time")) {
            f->rttS = std::max(f->rttS, statNumber(s, "round-trip-time"));
        }
    }
    return TRUE;
}

const char *stateName(GstWebRTCPeerConnectionState s)
{
    switch (s) {
    case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED: return "connected";
    case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED: return "failed";
    case GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED: return "closed";
    case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED: return "disconnected";
    default: return "connecting";
    }
}

} // namespace

void Viewer_report(Viewer_Handle h, const std::string &id, nlohmann::json &out)
{
    Figures f;
    Waiter w;
    GstPromise *p = newPromise(&w);
    g_signal_emit_by_name(h->webrtc, "get-stats", nullptr, p);
    if (replied(p, &w, kStatsWaitMs)) {
        const GstStructure *reply = gst_promise_get_reply(p);
        if (reply != nullptr) {
            gst_structure_foreach(reply, addStat, &f);
        }
    }
    gst_promise_unref(p);
    int64_t now = nowMs();
    auto bytes = static_cast<uint64_t>(f.bytesSent);
    if (h->lastBytesMs != 0 && now > h->lastBytesMs && bytes >= h->lastBytes) {
        h->bitrateKbps = static_cast<double>(bytes - h->lastBytes) * 8.0 / static_cast<double>(now - h->lastBytesMs);
    }
    h->lastBytes = bytes;
    h->lastBytesMs = now;
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(h->webrtc, "connection-state", &state, nullptr);
    out["id"] = id;
    out["stream"] = h->stream == Feed_MAIN ? "main" : "second";
    out["address"] = h->address;
    out["state"] = stateName(state);
    out["rtt_ms"] = f.rttS >= 0 ? nlohmann::json(std::round(f.rttS * 10000.0) / 10.0) : nlohmann::json(nullptr);
    out["bitrate_kbps"] = std::round(h->bitrateKbps);
    out["packets_lost"] = static_cast<int64_t>(f.lost);
    out["connected_s"] = h->connectedMs != 0 ? (now - h->connectedMs) / 1000 : 0;
    out["bytes"] = bytes;
}
