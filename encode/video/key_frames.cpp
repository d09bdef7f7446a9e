// Key-frame steering of one stream, run by the video thread after every coded frame.
#include "encode/video/key_frames.h"

#include "encode/core/no_signal.h"

#include <cstdio>

namespace {

constexpr int kSignalLost = 1;
constexpr int kSignalPresent = 0;

void send(KeyFrames &k, int cmd)
{
    VideoEnc_Status status{};
    status.size = sizeof status;
    k.control(k.codec, cmd, cmd == VideoEnc_SETPARAMS ? &k.dyn : nullptr, &status);
}

// The input has just come back: the stream starts again with an IDR picture, and the IDR count with it.
void resetOnReturn(KeyFrames &k)
{
    int noSignal = NoSignal_get();
    if (k.seenPoint && k.lastNoSignal == kSignalLost && noSignal == kSignalPresent) {
        std::printf("no signal to signal ok\n");
        std::fflush(stdout);
        send(k, VideoEnc_RESET);
        k.idrCount = 0;
    }
    k.lastNoSignal = noSignal;
}

} // namespace

void KeyFrames_steer(KeyFrames &k, int64_t n)
{
    if (k.codec == nullptr || k.interval <= 0) {
        return;
    }
    if (n % k.interval == 0) {
        if (k.resetOnReturn) {
            resetOnReturn(k);
        }
        k.seenPoint = true;
        k.dyn.generateHeader = 0;
        k.dyn.forceFrame = k.idrCount % k.idrRatio == 0 ? VideoEnc_FRAME_IDR : VideoEnc_FRAME_I;
        send(k, VideoEnc_SETPARAMS);
        k.idrCount++;
    } else if (n % k.interval == 1) {
        k.dyn.forceFrame = VideoEnc_FRAME_AUTO;
        send(k, VideoEnc_SETPARAMS);
    }
}
