// The video encode thread. Owns the codec engine handle and the two encoders; it holds a captured
// buffer from the capture Fifo until both pictures in it are coded and the writer's buffers from the
// writer Fifos until they are filled, and hands each on through its Fifo (nothing is copied: the
// encoder reads the captured picture in place and writes into the writer's buffer).
//
// Per frame: overlays, writer buffers, pacing (the frame's time goes to the frame time queue), the
// main picture, the second picture behind it, hand-over, then the key-frame structure of both streams
// for the next frame through the encoders' dynamic records.
#include "encode/video/video_thread.h"

#include "encode/core/config_store.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/media/buffer.h"
#include "encode/codec/engine.h"
#include "encode/media/frame_times.h"
#include "encode/media/media.h"
#include "encode/codec/venc1.h"
#include "encode/video/frame_pacer.h"
#include "encode/video/key_frames.h"
#include "encode/video/osd.h"
#include "encode/video/preview.h"
#include "encode/video/stream_counters.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr int kDefaultMaxBitRate = 4000000; // a variable-rate launch (negative -b)
constexpr int kEncodingPresetDefault = 2;
constexpr int kRateControlVbr = 4;  // chosen for a variable rate before the wrapper sets its own
constexpr int kRateControlCbr = 2;
constexpr int kMaxIdrRatio = 100;

int roundUp16(int v)
{
    return (v + 15) / 16 * 16;
}

struct EngineDeleter {
    void operator()(Engine_Object *p) const { Engine_close(p); }
};
struct Venc1Deleter {
    void operator()(Venc1_Object *p) const { Venc1_delete(p); }
};
using EnginePtr = std::unique_ptr<Engine_Object, EngineDeleter>;
using Venc1Ptr = std::unique_ptr<Venc1_Object, Venc1Deleter>;

// Everything the thread holds, released in the order the other stages rely on: they are let go
// (rendezvous forced, Fifos flushed) before rvCleanup, the encoders and the engine after it.
class EndPath {
public:
    explicit EndPath(VideoThreadParams *envp) : envp_(envp) {}
    ~EndPath()
    {
        Rendezvous_force(envp_->hRendezvousInit);
        Rendezvous_force(envp_->hRendezvousReady);
        Pause_off(envp_->hPauseProcess);
        Fifo_flush(envp_->hToWriterFifo);
        if (envp_->hToWriterFmlFifo != nullptr) {
            Fifo_flush(envp_->hToWriterFmlFifo);
        }
        Fifo_flush(envp_->hToCaptureFifo);
        Rendezvous_meet(envp_->hRendezvousCleanup);
        Preview_stop();
        secondCounters.stop();
        mainCounters.stop();
        second.reset();
        main.reset();
        engine.reset();
    }
    EndPath(const EndPath &) = delete;
    EndPath &operator=(const EndPath &) = delete;

    EnginePtr engine;
    Venc1Ptr main;
    Venc1Ptr second;
    StreamCounters mainCounters;
    StreamCounters secondCounters;

private:
    VideoThreadParams *envp_;
};

// What sets one stream's records apart from the other's.
struct StreamShape {
    int width;
    int height;
    int maxHeight;       // the macroblock rows the encoder is set up for
    int framerate;       // thousandths
    int bitrate;
    int intraInterval;
    int rateControlPreset;
};

void fillRecords(const StreamShape &shape, VideoEnc_Params &params, VideoEnc_DynParams &dyn)
{
    params = VideoEnc_Params_DEFAULT;
    params.encodingPreset = kEncodingPresetDefault;
    params.rateControlPreset = shape.rateControlPreset;
    params.maxHeight = shape.maxHeight;
    params.maxWidth = shape.width;
    params.maxFrameRate = shape.framerate;
    params.maxBitRate = shape.bitrate;
    params.dataEndianness = 1;
    params.maxInterFrameInterval = 0;
    params.inputChromaFormat = VideoEnc_CHROMA_YUV420SP;
    params.inputContentType = 0;
    params.reconChromaFormat = VideoEnc_CHROMA_YUV420SP;

    dyn = VideoEnc_DynParams_DEFAULT;
    dyn.inputHeight = shape.height;
    dyn.inputWidth = shape.width;
    dyn.refFrameRate = shape.framerate;
    dyn.targetFrameRate = shape.framerate;
    dyn.targetBitRate = shape.bitrate;
    dyn.intraFrameInterval = shape.intraInterval;
    dyn.generateHeader = 0;
    dyn.captureWidth = 0;
    dyn.forceFrame = VideoEnc_FRAME_AUTO;
    dyn.interFrameInterval = 1;
    dyn.mbDataFlag = 0;
}

// The main stream from the launch: the real size, 16-row macroblock height, the rate (a negative -b
// is a variable rate up to 4 Mbit/s).
StreamShape mainShape(const VideoThreadParams *envp)
{
    int framerate = envp->framerate > 0 ? envp->framerate : Pipeline_frameRate();
    return {envp->width,
            envp->height,
            roundUp16(envp->height),
            framerate,
            envp->videobitrate < 0 ? kDefaultMaxBitRate : envp->videobitrate,
            envp->Intraframeinterval,
            envp->videobitrate < 0 ? kRateControlVbr : kRateControlCbr};
}

StreamShape secondShape(const SecondStreamSettings &s)
{
    return {s.width, s.height, s.height, s.framerate * 1000, s.bitrate, s.intraInterval, kRateControlCbr};
}

// Every idr.ini frames an IDR picture, counted in intra intervals; 1 (every key frame an IDR) when the
// file is missing or the ratio makes no sense.
int mainIdrRatio(int intraInterval)
{
    int idr[1] = {0};
    int ratio = 1;
    if (Config_readRecord("/mnt/idr.ini", idr, kRecordLimitSecondStream) >= 1 && intraInterval > 0) {
        ratio = idr[0] / intraInterval;
        if (ratio <= 0 || ratio > kMaxIdrRatio) {
            ratio = 1;
        }
    }
    std::printf("idr=%d\n", ratio);
    return ratio;
}

// Steps 2 to 5: the engine and the encoders; the writer learns its buffer size. False after its message.
bool createEncoders(VideoThreadParams *envp, EndPath &end, KeyFrames &mainKeys, KeyFrames &secondKeys)
{
    end.engine.reset(Engine_open(envp->engineName, nullptr, nullptr));
    if (end.engine == nullptr) {
        std::fprintf(stderr, "Error: Failed to open codec engine %s\n", envp->engineName);
        return false;
    }
    VideoEnc_Params params;
    fillRecords(mainShape(envp), params, mainKeys.dyn);
    end.main.reset(Venc1_create(end.engine.get(), envp->videoEncoder, &params, &mainKeys.dyn));
    if (end.main == nullptr) {
        std::fprintf(stderr, "Error: Failed to create video encoder: %s\n", envp->videoEncoder);
        return false;
    }
    mainKeys.codec = Venc1_getCodecHandle(end.main.get());
    mainKeys.interval = envp->Intraframeinterval;
    mainKeys.resetOnReturn = true;
    mainKeys.request = envp->keyRequests != nullptr ? &envp->keyRequests[0] : nullptr;
    envp->outBufSize = Venc1_getOutBufSize(end.main.get());

    SecondStreamSettings s = SecondStream_get();
    if (s.enabled != 1) {
        return true;
    }
    fillRecords(secondShape(s), params, secondKeys.dyn);
    end.second.reset(Venc1_createFml(end.engine.get(), envp->videoEncoder, &params, &secondKeys.dyn));
    if (end.second == nullptr) {
        std::fprintf(stderr, "Error: Failed to create video encoder: %s\n", envp->videoEncoder);
        return false;
    }
    secondKeys.stream = "second";
    secondKeys.request = envp->keyRequests != nullptr ? &envp->keyRequests[1] : nullptr;
    secondKeys.codec = Venc1_getCodecHandle(end.second.get());
    secondKeys.interval = s.intraInterval;
    secondKeys.idrRatio = s.intraInterval > 0 && s.idrInterval / s.intraInterval > 0 ? s.idrInterval / s.intraInterval : 1;
    if (envp->idrAtEveryIntra) {
        secondKeys.idrRatio = 1;
    }
    // Both streams' units travel in the writer's buffers of one size.
    envp->outBufSize = std::max(envp->outBufSize, Venc1_getOutBufSize(end.second.get()));
    return true;
}

// Step 7: the capture thread's black priming buffers straight back. Media_EOK, Media_FLUSHED, or
// Media_EFAIL after its message.
int returnPriming(VideoThreadParams *envp)
{
    for (int i = 0; i < Pipeline_bufferCount(); i++) {
        Buffer_Handle hBuf = nullptr;
        int r = Fifo_get(envp->hFromCaptureFifo, &hBuf);
        if (r == Media_FLUSHED) {
            return r;
        }
        if (r < 0) {
            std::fputs("Error: Failed to get buffer from capture thread\n", stderr);
            return Media_EFAIL;
        }
        if (Fifo_put(envp->hToCaptureFifo, hBuf) < 0) {
            std::fputs("Error: Failed to send buffer to display thread\n", stderr);
            return Media_EFAIL;
        }
    }
    return Media_EOK;
}

// One frame's buffers, as the loop holds them.
struct Frame {
    Buffer_Handle captured = nullptr;
    Buffer_Handle mainOut = nullptr;
    Buffer_Handle secondOut = nullptr;
};

// Step 10.1 to 10.3: a captured picture with its overlays and the writer's buffers. Media_EOK,
// Media_FLUSHED, or Media_EFAIL after its message.
int takeBuffers(VideoThreadParams *envp, bool second, Frame &f)
{
    Pause_test(envp->hPauseProcess);
    int r = Fifo_get(envp->hFromCaptureFifo, &f.captured);
    if (r != Media_EOK) {
        if (r < 0) {
            std::fputs("Error: Failed to get buffer from video thread\n", stderr);
        }
        return r;
    }
    Osd_draw(f.captured);
    r = Fifo_get(envp->hFromWriterFifo, &f.mainOut);
    if (r == Media_EOK && second) {
        r = Fifo_get(envp->hFromWriterFmlFifo, &f.secondOut);
    }
    if (r < 0) {
        std::fputs("Error: Failed to get buffer from video thread\n", stderr);
    }
    return r;
}

// Step 10.5 to 10.7: both pictures coded, every buffer handed on. False after its message.
bool codeAndHandOn(VideoThreadParams *envp, EndPath &end, Frame &f)
{
    BufferGfx_resetDimensions(f.captured);
    BufferGfx_Dimensions dim{};
    BufferGfx_getDimensions(f.captured, &dim);
    dim.height = roundUp16(dim.height);
    BufferGfx_setDimensions(f.captured, &dim);
    if (Venc1_process(end.main.get(), f.captured, f.mainOut) < 0) {
        std::fputs("Error: Failed to encode video buffer\n", stderr);
        return false;
    }
    end.mainCounters.coded(f.captured, f.mainOut);
    BufferGfx_resetDimensions(f.captured);
    if (f.secondOut != nullptr) {
        if (Venc1_process_fml(end.second.get(), f.captured, f.secondOut) < 0) {
            std::fputs("Error: Failed to encode video buffer\n", stderr);
            return false;
        }
        end.secondCounters.coded(f.captured, f.secondOut);
    }
    BufferGfx_resetDimensions(f.captured);
    Preview_offer(f.captured);
    if (Fifo_put(envp->hToWriterFifo, f.mainOut) < 0 ||
        (f.secondOut != nullptr && Fifo_put(envp->hToWriterFmlFifo, f.secondOut) < 0) ||
        Fifo_put(envp->hToCaptureFifo, f.captured) < 0) {
        std::fputs("Error: Failed to send buffer to display thread\n", stderr);
        return false;
    }
    return true;
}

void *encodeFrames(VideoThreadParams *envp, EndPath &end, KeyFrames &mainKeys, KeyFrames &secondKeys)
{
    FramePacer pacer(envp->framerate > 0 ? envp->framerate : Pipeline_frameRate());
    bool paced = Pipeline_paced();
    bool second = end.second != nullptr;
    if (envp->idrAtEveryIntra) { // HLS segments last their target, whatever frames come late
        mainKeys.periodUs = secondKeys.periodUs = pacer.period();
    }
    int64_t n = 0;
    while (!SharedStatus_getQuit()) {
        Frame f;
        int r = takeBuffers(envp, second, f);
        if (r == Media_FLUSHED) {
            SharedStatus_setQuit();
            break;
        }
        if (r < 0) {
            SharedStatus_setQuit();
            return THREAD_FAILURE;
        }
        int64_t t = paced ? pacer.pace() : FramePacer_now();
        FrameTimes_push({static_cast<uint32_t>(t / 1000000), static_cast<uint32_t>(t % 1000000)});
        if (!codeAndHandOn(envp, end, f)) {
            SharedStatus_setQuit();
            return THREAD_FAILURE;
        }
        n++;
        KeyFrames_steer(mainKeys, n, t);
        KeyFrames_steer(secondKeys, n, t);
    }
    return THREAD_SUCCESS;
}

void *run(VideoThreadParams *envp, EndPath &end)
{
    KeyFrames mainKeys;
    KeyFrames secondKeys;
    if (!createEncoders(envp, end, mainKeys, secondKeys)) {
        SharedStatus_setQuit();
        return THREAD_FAILURE;
    }
    Rendezvous_meet(envp->hRendezvousReady);

    int r = returnPriming(envp);
    if (r == Media_FLUSHED) {
        SharedStatus_setQuit();
        return THREAD_SUCCESS;
    }
    if (r < 0) {
        SharedStatus_setQuit();
        return THREAD_FAILURE;
    }
    Osd_start(envp->width, envp->height);
    Preview_start(envp->width, envp->height);
    end.mainCounters.start(StatusSection::MainStream, envp->width, envp->height);
    if (end.second != nullptr) {
        SecondStreamSettings s = SecondStream_get();
        end.secondCounters.start(StatusSection::SecondStream, s.width, s.height);
    }
    mainKeys.idrRatio = mainIdrRatio(envp->Intraframeinterval);
    // A segment can begin only where a player can start: at an IDR picture.
    if (envp->idrAtEveryIntra && mainKeys.idrRatio != 1) {
        std::printf("hls: every I frame is coded as an IDR frame, so that segments begin at each\n");
        mainKeys.idrRatio = 1;
    }
    Rendezvous_meet(envp->hRendezvousInit);
    return encodeFrames(envp, end, mainKeys, secondKeys);
}

} // namespace

void *videoThrFxn(void *arg)
{
    auto *envp = static_cast<VideoThreadParams *>(arg);
    void *status = THREAD_FAILURE;
    {
        EndPath end(envp);
        try {
            status = run(envp, end);
        } catch (...) {
            std::fputs("Error: Video thread stopped by an unexpected failure\n", stderr);
            SharedStatus_setQuit();
            status = THREAD_FAILURE;
        }
    }
    return status;
}
