// The WHIP output as the output list sees it: the feeding calls put units into the sender worker's
// queue, the status reads the worker's figures and the link's counters, and the stop ends the
// worker, which ends the session (whip_link.cpp). The session's HTTP exchange goes through the
// outputs' bounded client (http_client.h).
//
// Threads: the writer (video) and the audio thread only learn the SPS's profile and put units; the
// worker's thread alone drives the link; report() reads atomics and the error under its own lock.
#include "webrtc/whip_out.h"

#include "encode/media/annexb.h"
#include "encode/output/http_client.h"

#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

namespace {

constexpr int kQueueBytes = 4 << 20; // about 10 s of a 3 Mbit/s stream, and always its largest unit
constexpr int kQueueUnits = 1024;    // about 13 s of 30 frames and 50 Opus packets a second
constexpr int kTickMs = 100;         // the session's state looked at this often
constexpr int kFlushMs = 300;        // at the stop: the DELETE's second comes on top of it


// The elements a session is made of: missing ones make the output refuse at once instead of trying
// once a second for ever.
constexpr const char *kElements[] = {"appsrc", "rtph264pay", "rtpopuspay", "webrtcbin", "nicesrc", "dtlssrtpenc"};

bool libraries(std::string &missing)
{
    static std::once_flag once;
    static bool ready = false;
    static std::string absent;
    std::call_once(once, [] {
        GError *error = nullptr;
        ready = gst_init_check(nullptr, nullptr, &error) == TRUE;
        g_clear_error(&error);
        for (const char *name : kElements) {
            GstElementFactory *f = ready ? gst_element_factory_find(name) : nullptr;
            if (f == nullptr) {
                absent += absent.empty() ? name : std::string(", ") + name;
            } else {
                gst_object_unref(f);
            }
        }
    });
    missing = ready ? absent : "GStreamer";
    return ready && absent.empty();
}

} // namespace

static void reportWhip(const WhipOut_Object &w, nlohmann::json &out);

struct WhipOut_Object : Output {
    WhipOut_Object(const WhipSettings &s, WhipKeyFrameAsk ask, void *ctx)
        : target(WhipUrl_public(s.url)), link(s, ask, ctx, lastError)
    {
    }

    std::string target;
    StatusError lastError;
    WhipLink link;
    Sender_Handle sender = nullptr;

    void video(const OutputUnit &u) override
    {
        link.learnSps(u.data, u.bytes);
        Sender_put(sender, SenderKind::Video, u.data, u.bytes, u.time, AnnexB_beginsWithSps(u.data, u.bytes));
    }
    void audio(const OutputUnit &u) override { Sender_put(sender, SenderKind::Audio, u.data, u.bytes, u.time, true); }
    void report(int, nlohmann::json &out) const override { reportWhip(*this, out); }
    void stop() override { WhipOut_destroy(this); }
};

static void reportWhip(const WhipOut_Object &w, nlohmann::json &out)
{
    out["kind"] = "whip";
    out["name"] = "WHIP";
    out["target"] = w.target;
    Sender_report(w.sender, out);
    SenderStats s = Sender_stats(w.sender);
    out["bytes"] = w.link.bytesSent();
    out["dropped"] = s.dropped;
    w.lastError.report(out);
}

WhipOut_Handle WhipOut_create(const WhipSettings &settings, WhipKeyFrameAsk askKeyFrame, void *ctx)
{
    if (settings.url.empty()) {
        std::fputs("Error: whip: no url to publish to\n", stderr);
        return nullptr;
    }
    std::string missing;
    if (!libraries(missing)) {
        std::fprintf(stderr, "Error: whip: missing %s\n", missing.c_str());
        return nullptr;
    }
    std::unique_ptr<WhipOut_Object> w(new (std::nothrow) WhipOut_Object(settings, askKeyFrame, ctx));
    if (w == nullptr) {
        std::fputs("Error: Failed to create the whip output\n", stderr);
        return nullptr;
    }
    w->takes = OUTPUT_TAKES_MAIN;
    // No send bound of the worker's: a send waits for the pipeline to let go of the unit's bytes and
    // bounds that itself; cutting it short would free bytes the pipeline still reads.
    SenderConfig worker{"whip send", "", "whip queue full, %llu units dropped\n", kQueueBytes, kQueueUnits,
                        kTickMs, 0, kFlushMs};
    w->sender = Sender_create(&worker, &w->link);
    if (w->sender == nullptr) {
        return nullptr;
    }
    return w.release();
}

Output *WhipOut_output(WhipOut_Handle h)
{
    return h;
}

void WhipOut_destroy(WhipOut_Handle h)
{
    if (h == nullptr) {
        return;
    }
    Sender_destroy(h->sender);
    delete h;
}

SenderStats WhipOut_stats(WhipOut_Handle h)
{
    return h != nullptr ? Sender_stats(h->sender) : SenderStats{};
}

std::string WhipUrl_public(std::string_view url)
{
    return Http_publicUrl(url);
}
