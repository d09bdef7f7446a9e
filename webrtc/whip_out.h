// WHIP output: the main stream (H.264) and the Opus audio published to a WHIP endpoint (whip.ini).
//
// An output (encode/output/output.h) on the sender worker (encode/output/sender.h), in the shape of the
// RTMP publisher: video() and audio() put the units into the worker's queue and return at once; the
// worker's thread makes the session (WhipLink below), pushes the units into it and tends it, and when
// the session is lost makes a new one after the worker's back-off.
//
// A session is one GStreamer pipeline: an appsrc for H.264 into rtph264pay, one for Opus into
// rtpopuspay, both into a sendonly webrtcbin. Its offer goes out once ICE gathering is done (the
// endpoint gets every candidate in the one POST), the endpoint's 201 answer brings the SDP answer and
// the session's Location, and the session is up once the connection is. It is lost when the
// connection fails or closes, when the pipeline fails, or when nothing has come from the endpoint for
// 10 s (a connection that is up always carries the endpoint's RTCP); its end sends DELETE to the
// Location. A key frame is asked for (askKeyFrame) when a session comes up and whenever the endpoint
// asks for one (a PLI or FIR reaching the H.264 source).
//
// Lines: one per failed try, and one again only when the reason changes ("whip: the endpoint answered
// 401: ..."); neither the lines nor the status ever hold the token, nor the URL's user info or query.
#pragma once

#include "encode/core/status_board.h"
#include "encode/core/webrtc_settings.h"
#include "encode/media/wait.h"
#include "encode/output/output.h"
#include "encode/output/sender.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

using WhipKeyFrameAsk = void (*)(void *ctx);

typedef struct WhipOut_Object *WhipOut_Handle;

// Makes the output and starts its worker, which begins by connecting. `askKeyFrame` (may be null) is
// called on a thread of the output's, never while a caller's video() waits for it. Null, after an
// "Error: " line, when the settings name no URL or a part of the pipeline is missing.
WhipOut_Handle WhipOut_create(const WhipSettings &settings, WhipKeyFrameAsk askKeyFrame, void *ctx);
// The output as a member of the list: video() takes main-stream access units (Annex B, SPS and PPS
// before each IDR), audio() Opus packets of 20 ms at 48 kHz.
Output *WhipOut_output(WhipOut_Handle h);
// The session ended (DELETE within a second), the worker stopped, the output freed. Null is ignored.
void WhipOut_destroy(WhipOut_Handle h);

// Any thread: the worker's figures.
SenderStats WhipOut_stats(WhipOut_Handle h);

// What the status and the lines name the endpoint by: the URL without user info, query or fragment.
std::string WhipUrl_public(std::string_view url);

// --- Internal to the WHIP output: the session, the worker's link (whip_link.cpp) ---

class WhipLink : public SenderLink {
public:
    WhipLink(const WhipSettings &settings, WhipKeyFrameAsk ask, void *ctx, StatusError &error);
    ~WhipLink() override;
    WhipLink(const WhipLink &) = delete;
    WhipLink &operator=(const WhipLink &) = delete;

    int connect(const MediaStop *stop) override;
    int send(const SenderUnit &unit) override;
    int tend() override;
    void disconnect(bool stopping) override;
    void abort() override;

    // Any thread, from the feeding calls: the profile bytes of the stream's SPS (what the offer
    // announces as profile-level-id), learnt from the units before a session takes them.
    void learnSps(const uint8_t *unit, int bytes);
    uint64_t bytesSent() const { return bytes_.load(std::memory_order_relaxed); }

    struct Session; // the pipeline and what the endpoint said of it

private:
    void fail(const char *line);
    bool exchange(const MediaStop *stop);

    WhipSettings settings_;
    std::string target_; // WhipUrl_public of the URL
    WhipKeyFrameAsk ask_;
    void *askCtx_;
    StatusError &error_;
    Session *session_ = nullptr; // the worker's
    const MediaStop *stop_ = nullptr; // the worker's stop: a try it cut short says nothing
    std::string lastLine_;       // the outage's last line: a try that fails alike says nothing
    std::atomic<uint32_t> profile_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<bool> aborted_{false};
};
