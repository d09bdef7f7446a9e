// One stream's key-frame structure: an I or IDR picture every `interval` frames, every `idrRatio`-th
// of them an IDR picture, steered through the encoder's dynamic record after each coded frame. The
// video thread keeps one record per stream and is its only user.
#pragma once

#include "encode/codec/videnc.h"

#include <atomic>
#include <cstdint>

// A key frame asked for from outside the encoder (a WebRTC viewer that lost its picture, the API):
// any thread asks, the stream's video thread takes it after its next coded frame. At most one a
// second is honoured per stream, whoever asks: each costs every output the bits of an IDR picture.
struct KeyRequest {
    std::atomic<bool> pending{false};
    std::atomic<int64_t> lastMs{INT64_MIN / 2};
};

// True when the request was taken; false when one was honoured less than a second before `nowMs`
// (a monotonic clock's milliseconds).
bool KeyRequest_ask(KeyRequest &r, int64_t nowMs);

// How the steering reaches the encoder: VideoEnc_control, or a scripted encoder in tests.
using KeyFrames_Control = int (*)(VideoEnc_Handle hEnc, int cmd, const VideoEnc_DynParams *dynParams,
                                  VideoEnc_Status *status);

struct KeyFrames {
    const char *stream = "main"; // names the stream in the refusal line
    VideoEnc_Handle codec = nullptr; // null: the stream is not coded, nothing is steered
    KeyFrames_Control control = VideoEnc_control;
    VideoEnc_DynParams dyn{};
    int interval = 0; // 0: nothing forced after the encoder's own first IDR
    int idrRatio = 1;
    bool resetOnReturn = false; // start again with an IDR when the input comes back (main stream)
    KeyRequest *request = nullptr; // null: nobody outside asks
    // Points by the frames' times rather than their count (0: by count): a point falls on the first
    // frame `interval` periods of this length after the last one, so that frames coded late or lost
    // do not lengthen what begins there (an HLS segment) beyond its target.
    int64_t periodUs = 0;

    // Steering state.
    int idrCount = 0;
    bool seenPoint = false;
    int lastNoSignal = 0;
    bool refusing = false; // the last command was refused: its line is printed, the run's others are not
    int64_t forcedAt = -1; // the frame after which the last force was set: released one frame later
    int64_t lastPointUs = INT64_MIN; // by time: the time of the last point's picture
    int64_t pointFrame = -1;         // by time: the number of the last point's picture
};

// After coded frame n (from 1): at every interval point the next picture is forced to I, or to IDR
// every idrRatio-th point (and at once, after a reset, when the no-signal flag has just gone from 1
// to 0); an asked-for key frame (`request`) is an IDR at once, between those points; one frame later
// the force is released. A command the encoder refuses prints one warning
// line on standard error at the start of a run of refusals; the stream goes on. `atUs` is frame n's
// time (microseconds of a monotonic clock); with `periodUs` the points follow it, not n.
void KeyFrames_steer(KeyFrames &k, int64_t n, int64_t atUs = 0);
