// One WHEP viewer: a browser's offer answered by a webrtcbin of its own, fed from the feed. The
// H.264 the encoder coded goes out as it is (packetisation mode 1, SPS and PPS before every IDR
// picture, as the encoder puts them), the sound as the feed's Opus. A viewer starts at a key unit
// (the feed asks the encoder for one) and asks for another whenever its browser reports picture loss.
//
// The offer decides the payload types: webrtcbin answers only with pads whose payload types are the
// offer's own, so the viewer picks them from the offer before it builds its pipeline: the offer's H.264
// with packetisation mode 1 whose profile can decode the stream's (High takes Main and Constrained
// Baseline, Main takes Constrained Baseline; the SPS of the stream decides), and its Opus.
//
// Threads: made and destroyed by the server's request thread or its janitor; the feed's readers push
// into its sources; webrtcbin's own threads tell it what they see through atomics.
#pragma once

#include "webrtc/feed.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

struct ViewerOffer {
    FeedStream stream = Feed_MAIN;
    std::string sdp;
    std::string address; // the browser's, as the web server saw it
    std::string iceServer; // webrtc.ini's stun value: stun://, turn:// or turns://, or empty
};

enum {
    Viewer_EOK = 0,
    Viewer_EBADOFFER = -1,  // not SDP, no video, or nothing of it this box can send (400)
    Viewer_ENOSTREAM = -2,  // the encoder sends nothing on that stream now (503)
    Viewer_EFAIL = -3,      // webrtcbin could not answer (500)
};

typedef struct Viewer_Object *Viewer_Handle;

// Answers the offer: Viewer_EOK with `*viewer` made and `*text` the SDP answer (non-trickle: the
// box's candidates in it), else the status above and `*text` the one line of the refusal. Every wait
// inside is bounded (about 5 s in all).
int Viewer_create(Feed_Handle feed, const ViewerOffer &offer, Viewer_Handle *viewer, std::string *text);

// Stops feeding it, ends its pipeline and frees it. Null is ignored.
void Viewer_destroy(Viewer_Handle h);

// Whether the viewer is to be freed now (`why` the line saying why): its connection failed or
// closed, it did not connect within 10 s, or nothing came from its browser for 6 s (a browser sends
// RTCP reports every second or so; one that went away without a DELETE sends nothing).
bool Viewer_gone(Viewer_Handle h, std::string *why);

// Once a second, from the janitor: the viewer's status object (id, stream, address, state, rtt_ms,
// bitrate_kbps, packets_lost, connected_s), its statistics asked of webrtcbin within a short bound.
void Viewer_report(Viewer_Handle h, const std::string &id, nlohmann::json &out);
