// Key-frame steering of one stream, run by the video thread after every coded frame. A refused
// command costs the stream its forced picture, not its pictures: the encoder keeps its previous
// configuration, so the thread goes on and says so once per run of refusals (a refusal that repeats
// every key-frame point would otherwise fill the log at the frame rate).
#include "encode/video/key_frames.h"

#include "encode/core/no_signal.h"
#include "encode/media/media.h"

#include <cstdio>

namespace {

constexpr int kSignalLost = 1;
constexpr int kSignalPresent = 0;

void send(KeyFrames &k, int cmd, const char *what)
{
    VideoEnc_Status status{};
    status.size = sizeof status;
    int r = k.control(k.codec, cmd, cmd == VideoEnc_SETPARAMS ? &k.dyn : nullptr, &status);
    if (r == Media_EOK) {
        k.refusing = false;
        return;
    }
    if (!k.refusing) {
        std::fprintf(stderr, "Warning: %s stream key frames: the encoder refused %s (status %d, error 0x%x)\n",
                     k.stream, what, r, static_cast<unsigned>(status.extendedError));
        std::fflush(stderr);
    }
    k.refusing = true;
}

// The input has just come back: the stream starts again with an IDR picture, and the IDR count with it.
void resetOnReturn(KeyFrames &k)
{
    int noSignal = NoSignal_get();
    if (k.seenPoint && k.lastNoSignal == kSignalLost && noSignal == kSignalPresent) {
        std::printf("no signal to signal ok\n");
        std::fflush(stdout);
        send(k, VideoEnc_RESET, "reset");
        k.idrCount = 0;
    }
    k.lastNoSignal = noSignal;
}

} // namespace

bool KeyRequest_ask(KeyRequest &r, int64_t nowMs)
{
    int64_t last = r.lastMs.load(std::memory_order_relaxed);
    do {
        if (nowMs - last < 1000) {
            return false;
        }
    } while (!r.lastMs.compare_exchange_weak(last, nowMs, std::memory_order_relaxed));
    r.pending.store(true, std::memory_order_release);
    return true;
}

// Whether the picture after frame n is a point.
static bool isPoint(KeyFrames &k, int64_t n, int64_t atUs)
{
    if (k.interval <= 0) {
        return false;
    }
    if (k.periodUs <= 0) {
        return n % k.interval == 0;
    }
    if (k.lastPointUs == INT64_MIN) {
        k.lastPointUs = atUs - (n - 1) * k.periodUs; // the stream's first picture, an IDR of its own
    } else if (k.pointFrame == n) {
        k.lastPointUs = atUs; // frame n is the last point's picture: the next is measured from its time
    }
    // Half a period early counts, so that frames on time give the count's points exactly. A clock
    // stepped back makes a point, so that the points never wait for the clock to come round.
    int64_t since = atUs + k.periodUs - k.lastPointUs;
    if (since >= 0 && since < k.interval * k.periodUs - k.periodUs / 2) {
        return false;
    }
    k.pointFrame = n + 1;
    return true;
}

void KeyFrames_steer(KeyFrames &k, int64_t n, int64_t atUs)
{
    if (k.codec == nullptr) {
        return;
    }
    bool point = isPoint(k, n, atUs);
    // An ask that meets a key-frame point makes that point an IDR picture.
    bool asked = k.request != nullptr && k.request->pending.exchange(false, std::memory_order_acq_rel);
    if (point) {
        if (k.resetOnReturn) {
            resetOnReturn(k);
        }
        k.seenPoint = true;
        k.dyn.generateHeader = 0;
        k.dyn.forceFrame = asked || k.idrCount % k.idrRatio == 0 ? VideoEnc_FRAME_IDR : VideoEnc_FRAME_I;
        send(k, VideoEnc_SETPARAMS, "set-params");
        k.idrCount++;
        k.forcedAt = n;
    } else if (asked) {
        k.dyn.generateHeader = 0;
        k.dyn.forceFrame = VideoEnc_FRAME_IDR;
        send(k, VideoEnc_SETPARAMS, "set-params");
        k.forcedAt = n;
    } else if (k.forcedAt == n - 1 || (k.interval > 0 && k.periodUs <= 0 && n % k.interval == 1)) {
        k.dyn.forceFrame = VideoEnc_FRAME_AUTO;
        send(k, VideoEnc_SETPARAMS, "set-params");
    }
}
