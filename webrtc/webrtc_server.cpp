// webrtc_server: the live picture for browsers (WHEP, relayed by the web server's WHEP program) and
// the WHIP output, beside the encoder. It reads the encoder's WebRTC FIFOs only while it has a viewer
// or a WHIP output to feed, and asks the encoder for key frames through its control socket.
//
// Threads: the main thread reads the settings, starts the parts and then once a second frees the
// viewers that are gone and writes /tmp/webrtc.status (whole: a temporary name, then renamed); the
// feed's readers, the WHEP socket's thread and GStreamer's own threads do the rest. SIGINT and
// SIGTERM end it through the same path: viewers freed, readers joined.
#include "webrtc/feed.h"
#include "webrtc/whep_server.h"
#include "webrtc/whip_out.h"

#include "encode/core/paths.h"
#include "encode/core/webrtc_settings.h"

#include <nlohmann/json.hpp>

#include <gst/gst.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::atomic<bool> quit{false};
int controlFd = -1;
sockaddr_un controlAddress{};

void onSignal(int)
{
    quit.store(true);
}

// The encoder's control socket; a datagram that finds no encoder is lost, which is what a request
// to an encoder that is not running should be.
void askKeyFrame(FeedStream stream)
{
    const char *line = stream == Feed_SECOND ? "keyframe second" : "keyframe main";
    ::sendto(controlFd, line, std::strlen(line), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&controlAddress),
             sizeof controlAddress);
}

void openControl()
{
    controlFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    controlAddress.sun_family = AF_UNIX;
    std::string path = Path_resolve("/tmp/encode.ctl");
    std::strncpy(controlAddress.sun_path, path.c_str(), sizeof controlAddress.sun_path - 1);
}

void writeStatus(const nlohmann::json &status)
{
    std::string path = Path_resolve("/tmp/webrtc.status");
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << status.dump() << "\n";
        if (!out) {
            return;
        }
    }
    std::rename(tmp.c_str(), path.c_str());
}

// The WHIP output takes the feed's main stream and Opus as the encoder's outputs take their units.
struct WhipFeed : FeedSink {
    Feed_Handle feed = nullptr;
    Output *out = nullptr;

    void video(FeedStream, GstBuffer *b, bool key) override { hand(b, key, false); }
    void opus(GstBuffer *b) override { hand(b, true, true); }

    void hand(GstBuffer *b, bool key, bool audio)
    {
        GstMapInfo m{};
        if (!gst_buffer_map(b, &m, GST_MAP_READ)) {
            return;
        }
        int64_t us = Feed_wallUsOfPts(feed, GST_BUFFER_PTS(b));
        OutputUnit u{m.data, static_cast<int>(m.size),
                     {static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)}, key};
        if (audio) {
            out->audio(u);
        } else {
            out->video(u);
        }
        gst_buffer_unmap(b, &m);
    }
};

void askWhipKeyFrame(void *feed)
{
    Feed_askKeyFrame(static_cast<Feed_Handle>(feed), Feed_MAIN);
}

nlohmann::json streamStatus(Feed_Handle feed, FeedStream s)
{
    return {{"reading", Feed_reading(feed, s)},
            {"units", Feed_units(feed, s)},
            {"age_ms", std::round(Feed_ageMs(feed, s) * 10) / 10}};
}

} // namespace

int main(int argc, char **argv)
{
    gst_init(&argc, &argv);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    setvbuf(stderr, nullptr, _IOLBF, 0);

    WebrtcSettings settings;
    if (WebrtcSettings_read(settings) == WebrtcSettings_EMISSING) {
        std::fprintf(stderr, "webrtc: no webrtc.ini, WebRTC off\n");
    }
    openControl();
    Feed_Handle feed = Feed_create(askKeyFrame);
    WhepServer_Handle whep = feed != nullptr ? WhepServer_start(feed, settings) : nullptr;
    if (whep == nullptr) {
        Feed_destroy(feed);
        return 1;
    }
    std::fprintf(stderr, "webrtc: WHEP %s, up to %d viewers\n", settings.enable ? "on" : "off", settings.viewers);
    WhipSettings whipSettings;
    WhipSettings_read(whipSettings);
    WhipOut_Handle whip = whipSettings.enable ? WhipOut_create(whipSettings, askWhipKeyFrame, feed) : nullptr;
    WhipFeed whipFeed;
    if (whip != nullptr) {
        whipFeed.feed = feed;
        whipFeed.out = WhipOut_output(whip);
        Feed_subscribe(feed, Feed_MAIN, &whipFeed);
        Feed_subscribe(feed, Feed_AUDIO, &whipFeed);
    }

    auto next = std::chrono::steady_clock::now();
    while (!quit.load()) {
        nlohmann::json status;
        status["state"] = settings.enable ? "ok" : "off";
        status["error"] = "";
        status["viewers_max"] = settings.viewers;
        status["streams"] = {{"main", streamStatus(feed, Feed_MAIN)},
                             {"second", streamStatus(feed, Feed_SECOND)},
                             {"audio", streamStatus(feed, Feed_AUDIO)}};
        WhepServer_tend(whep, status["viewers"]);
        if (whip != nullptr) {
            WhipOut_output(whip)->report(0, status["whip"]);
        } else {
            status["whip"] = {{"kind", "whip"}, {"name", "WHIP"}, {"state", "off"}};
        }
        writeStatus(status);
        next += std::chrono::seconds(1);
        while (!quit.load() && std::chrono::steady_clock::now() < next) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (whip != nullptr) {
        Feed_unsubscribe(feed, Feed_MAIN, &whipFeed);
        Feed_unsubscribe(feed, Feed_AUDIO, &whipFeed);
        WhipOut_destroy(whip);
    }
    WhepServer_stop(whep);
    Feed_destroy(feed);
    writeStatus({{"state", "off"}, {"error", ""}, {"viewers", nlohmann::json::array()}});
    ::close(controlFd);
    std::fprintf(stderr, "webrtc: stopped\n");
    return 0;
}
