// Capture thread and no-signal thread. The capture thread owns the capture device and the three
// pools; buffers of the capture and priming pools circulate between it (and, while the input is lost,
// the no-signal thread) and the video thread through the two Fifos of its record, each buffer in one
// place at a time. The frame counter, capture-busy flag and last wait are written by the capture
// thread only and read by the no-signal thread; the no-signal flag is written by the no-signal thread
// only.
#include "encode/video/capture_thread.h"

#include "encode/control/i2c.h"
#include "encode/core/console_text.h"
#include "encode/core/no_signal.h"
#include "encode/core/paths.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/core/status_board.h"
#include "encode/media/buftab.h"
#include "encode/device/capture.h"
#include "encode/media/media.h"
#include "encode/media/wait.h"
#include "encode/device/resizer.h"

#include <nlohmann/json.hpp>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// A frame that took longer than this to come is the first one after a gap in the input.
constexpr int64_t kGapWaitUs = 490000;
// Buffers the no-signal thread paints with the test picture after each loss.
constexpr int kTestBuffersPerLoss = 4;

std::atomic<int64_t> frameCounter{0};
std::atomic<int> captureBusy{0};
std::atomic<int64_t> lastWaitUs{0};

int64_t nowUs()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A frame period from the process-wide frame-rate value (thousandths of a frame per second).
int64_t framePeriodUs()
{
    int rate = Pipeline_frameRate();
    if (rate <= 0) {
        rate = 30000; // a launch without -f leaves 0; a division by it would stop the thread
    }
    return 1000000000LL / rate;
}

// Sleeps up to `us`, returning early once quit is raised.
void sleepUs(int64_t us)
{
    Media_waitUntil(nullptr, Media_monotonicNs() + us * 1000);
}

// The second picture behind the main one, as a picture of its own; size 0 when there is none.
CapPicture secondPicture(Buffer_Handle hBuf)
{
    CapPicture main = CapBuf_picture(hBuf);
    CapPicture pic{};
    if (main.colorSpace != ColorSpace_YUV420PSEMI) {
        return pic;
    }
    SecondPictureGeometry g = SecondPicture_geometry(main.lineLength, main.height);
    if (!g.present || g.offset + g.lumaSize + g.chromaSize > main.size) {
        return pic;
    }
    pic = {main.data + g.offset, g.lumaSize + g.chromaSize, g.width, g.height, g.lineLength, ColorSpace_YUV420PSEMI};
    return pic;
}

// Black, or the test picture, in the main picture and the second one alike, so that the second
// stream never shows a stale or uninitialised picture where the main one shows something else.
int blackFrame(Buffer_Handle hBuf)
{
    if (CapBuf_blackFill(hBuf) != Media_EOK) {
        return Media_EFAIL;
    }
    CapPicture second = secondPicture(hBuf);
    if (second.size > 0) {
        CapPicture_blackFill(second);
    }
    return 0;
}

void testFrame(Buffer_Handle hBuf)
{
    CapBuf_drawTestBars(hBuf);
    CapPicture second = secondPicture(hBuf);
    if (second.size > 0) {
        CapPicture_drawTestBars(second);
    }
}

// Component input runs 720P at half rate and 1080I at the 60-field rate.
int driverStandard(int std, int input)
{
    if (std == VideoStd_720P_60 && input == Capture_Input_COMPONENT) {
        return VideoStd_720P_30;
    }
    if (std == VideoStd_1080I_30 && input == Capture_Input_COMPONENT) {
        return VideoStd_1080I_60;
    }
    return std;
}

bool acceptedStandard(int std)
{
    switch (std) {
    case VideoStd_AUTO:
    case VideoStd_D1_NTSC:
    case VideoStd_D1_PAL:
    case VideoStd_720P_60:
    case VideoStd_720P_50:
    case VideoStd_1080I_30:
    case VideoStd_1080P_30:
    case VideoStd_1080P_60:
    case VideoStd_1080P_50:
    case VideoStd_1080I_60:
    case VideoStd_1080I_50:
        return true;
    default:
        return false;
    }
}

// Two threads read the Fifo from the video thread: the capture loop and, during a loss, the no-signal
// thread. One flush writes one mark and wakes one reader, so the reader that takes it writes it again
// for the other before it leaves; without that the other would wait for ever and the shutdown with it.
int takeFromVideo(CaptureThreadParams *envp, Buffer_Handle *hBuf)
{
    int r = Fifo_get(envp->hFromVideoFifo, hBuf);
    if (r == Media_FLUSHED) {
        Fifo_flush(envp->hFromVideoFifo);
    }
    return r;
}

void *noSignalThrFxn(void *arg)
{
    auto *envp = static_cast<CaptureThreadParams *>(arg);
    sleepUs(1000000);
    bool first = true;
    int64_t seen = 0;
    int drawn = 0;
    while (!SharedStatus_getQuit()) {
        int64_t count = frameCounter.load();
        if (first) {
            first = false;
            seen = count;
            sleepUs(2 * framePeriodUs());
            continue;
        }
        if (count == seen && captureBusy.load() == 1) {
            NoSignal_set(1);
            Buffer_Handle hBuf = nullptr;
            int r = takeFromVideo(envp, &hBuf);
            if (r < 0) {
                std::fprintf(stderr, "%s\n", ConsoleText::kNoSignalGetFailed);
                break;
            }
            if (r == Media_FLUSHED) {
                std::fprintf(stderr, "Error: Did the video thread flush the fifo\n");
                break;
            }
            if (drawn < kTestBuffersPerLoss) {
                testFrame(hBuf);
                drawn++;
            }
            if (Fifo_put(envp->hToVideoFifo, hBuf) < 0) {
                std::fprintf(stderr, "Error: Failed to send buffer to display thread\n");
                break;
            }
            continue;
        }
        if (count != seen) {
            seen = count;
            NoSignal_set(0);
            drawn = 0;
        }
        // The counter standing still while the capture thread is not waiting for the device (paused,
        // or waiting for the video thread) is no loss; look again later rather than spin.
        sleepUs(3 * framePeriodUs());
    }
    return nullptr;
}

struct BufTabDeleter {
    void operator()(BufTab_Object *p) const { BufTab_delete(p); }
};
struct CaptureDeleter {
    void operator()(Capture_Object *p) const { Capture_delete(p); }
};
using BufTabPtr = std::unique_ptr<BufTab_Object, BufTabDeleter>;
using CapturePtr = std::unique_ptr<Capture_Object, CaptureDeleter>;

// What the status says of the input and of the frames taken from it, for both streams.
struct InputReport {
    Capture_Handle capture = nullptr;
    int standard = 0;
    int width = 0;
    int height = 0;
    int ids[3] = {0, 0, 0};

    static void input(const void *ctx, nlohmann::json &out)
    {
        const auto &r = *static_cast<const InputReport *>(ctx);
        out["signal"] = NoSignal_get() == 0;
        out["standard"] = r.standard;
        out["width"] = r.width;
        out["height"] = r.height;
        out["fps"] = Pipeline_frameRate() / 1000.0;
    }
    static void frames(const void *ctx, nlohmann::json &out)
    {
        const auto &r = *static_cast<const InputReport *>(ctx);
        out["captured"] = frameCounter.load(std::memory_order_relaxed);
        out["dropped"] = Capture_dropped(r.capture);
    }
    void start(Capture_Handle c, int std, int w, int h, bool second)
    {
        capture = c;
        standard = std;
        width = w;
        height = h;
        ids[0] = StatusBoard_add(StatusSection::Input, input, this);
        ids[1] = StatusBoard_add(StatusSection::MainStream, frames, this);
        ids[2] = second ? StatusBoard_add(StatusSection::SecondStream, frames, this) : 0;
    }
    void stop()
    {
        for (int &id : ids) {
            StatusBoard_remove(id);
            id = 0;
        }
    }
};

// Unwinds the thread in the order every waiting party relies on, whatever point it got to.
class EndPath {
public:
    explicit EndPath(CaptureThreadParams *envp) : envp_(envp) {}
    ~EndPath()
    {
        Rendezvous_force(envp_->hRendezvousStandard);
        Rendezvous_force(envp_->hRendezvousInit);
        Pause_off(envp_->hPauseProcess);
        Fifo_flush(envp_->hToVideoFifo);
        if (noSignalStarted) {
            // The no-signal thread may sit in a read of the Fifo from the video thread; a flush mark
            // wakes it (the video thread's own mark may have been taken by this thread already).
            Fifo_flush(envp_->hFromVideoFifo);
            pthread_join(noSignal, nullptr);
        }
        Rendezvous_meet(envp_->hRendezvousCleanup);
        report.stop();
        capture.reset();
        captureTab.reset();
        primeTab.reset();
        displayTab.reset();
    }
    EndPath(const EndPath &) = delete;
    EndPath &operator=(const EndPath &) = delete;

    CapturePtr capture;
    BufTabPtr captureTab;
    BufTabPtr primeTab;
    BufTabPtr displayTab;
    pthread_t noSignal{};
    bool noSignalStarted = false;
    InputReport report;

private:
    CaptureThreadParams *envp_;
};

void *fail(const char *message)
{
    std::fputs(message, stderr);
    SharedStatus_setQuit();
    return THREAD_FAILURE;
}

// Thread attributes for a display thread the appliance never starts (local preview is always off);
// set up and let go so that a system that cannot give them fails here as it always has.
bool prepareAttrs()
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        std::fputs("Error: Failed to initialize thread attrs\n", stderr);
        return false;
    }
    bool ok = true;
    if (pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED) != 0) {
        std::fputs("Error: Failed to set schedule inheritance attribute\n", stderr);
        ok = false;
    } else if (pthread_attr_setschedpolicy(&attr, SCHED_FIFO) != 0) {
        std::fputs("Error: Failed to set FIFO scheduling policy\n", stderr);
        ok = false;
    }
    pthread_attr_destroy(&attr);
    return ok;
}

// Step 1 and 2: the standard the thread works with (detected when automatic). False after its message.
bool settleStandard(CaptureThreadParams *envp, Capture_Attrs &cAttrs)
{
    if (!acceptedStandard(envp->display_standard)) {
        std::fputs("Error: Need D1/720P/1080P input to this demo\n", stderr);
        return false;
    }
    cAttrs.numBufs = Pipeline_bufferCount();
    cAttrs.videoInput = envp->video_input;
    cAttrs.videoStd = envp->display_standard;
    if (envp->display_standard == VideoStd_AUTO) {
        VideoStd_Type detected = 0;
        if (Capture_detectVideoStd(nullptr, &detected, &cAttrs) < 0) {
            std::fputs("Error: Failed to detect video standard, video input connected?\n", stderr);
            return false;
        }
        envp->display_standard = detected;
    }
    return prepareAttrs();
}

// Step 4 and 5: the picture size, written back into the record and published. False after its message.
bool settleSize(CaptureThreadParams *envp)
{
    int std = envp->display_standard;
    if (envp->width < 1 || envp->height < 1) {
        BufferGfx_Dimensions dim{};
        if (BufferGfx_calcDimensions(std, ColorSpace_YUV420PSEMI, &dim) < 0) {
            std::fputs("Error: Failed to calculate Buffer dimensions\n", stderr);
            return false;
        }
        envp->width = CaptureFormat_align32(dim.width);
        envp->height = dim.height;
    } else {
        int w = 0;
        int h = 0;
        if (VideoStd_getResolution(std, &w, &h) < 0) {
            std::fputs("Error: Failed to calculate resolution of video standard\n", stderr);
            return false;
        }
        if (envp->width > w && envp->height > h) {
            std::fprintf(stderr, "Error: User resolution (%ldx%ld) larger than detected (%ldx%ld)\n",
                         static_cast<long>(envp->width), static_cast<long>(envp->height), static_cast<long>(w),
                         static_cast<long>(h));
        }
        envp->width = CaptureFormat_align32(envp->width);
    }

    SharedStatus_setImageSize(envp->width, envp->height);
    std::printf("2 width=%d,height=%d\n", envp->width, envp->height);
    std::fflush(stdout);
    if (FILE *f = std::fopen(Path_resolve("/tmp/format.ini").c_str(), "w")) {
        std::fprintf(f, "%d %d\n", envp->width, envp->height);
        std::fclose(f);
    } else {
        std::printf("Can't open /tmp/format.ini\n");
    }
    return true;
}

// A second picture the resizer cannot make turns the second stream off; the main stream runs on.
void checkSecondPicture(int width, int height)
{
    SecondStreamSettings s = SecondStream_get();
    if (s.enabled != 1) {
        return;
    }
    ResizerSettings second{1, s.width, s.height};
    if (!Resizer_fits(second, width, height)) {
        std::fprintf(stderr,
                     "Warning: second stream %dx%d turned off: the resizer needs an even size from 2x2 up to the "
                     "main picture (%dx%d)\n",
                     s.width, s.height, width, height);
        std::fflush(stderr);
        SecondStream_disable();
    }
}

// Step 6 to 11 around rvStandard: pools, device, third pool, the primed black frames. False after its
// message.
bool setUpDevice(CaptureThreadParams *envp, EndPath &end, Capture_Attrs &cAttrs)
{
    checkSecondPicture(envp->width, envp->height);
    int lineLength = CaptureFormat_align32(envp->width * ColorSpace_getBpp(ColorSpace_YUV420PSEMI) / 8);
    SecondPictureGeometry second = SecondPicture_geometry(lineLength, envp->height);
    int64_t bufSize = static_cast<int64_t>(second.offset) + second.lumaSize + second.chromaSize;
    BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
    gfx.colorSpace = ColorSpace_YUV420PSEMI;
    gfx.dim = {0, 0, envp->width, envp->height, lineLength};
    int count = Pipeline_bufferCount();
    end.captureTab.reset(BufTab_create(count, static_cast<int>(bufSize), &gfx.bAttrs));
    end.primeTab.reset(BufTab_create(count, static_cast<int>(bufSize), &gfx.bAttrs));
    if (end.captureTab == nullptr || end.primeTab == nullptr) {
        std::fputs("Error: Failed to create buftab\n", stderr);
        return false;
    }

    Rendezvous_meet(envp->hRendezvousStandard);

    BufferGfx_Dimensions capDim = gfx.dim;
    cAttrs.videoStd = driverStandard(envp->display_standard, envp->video_input);
    cAttrs.captureDimension = &capDim;
    cAttrs.colorSpace = ColorSpace_YUV420PSEMI;
    cAttrs.onTheFly = 1;
    cAttrs.secondWidth = second.present ? second.width : 0;
    cAttrs.secondHeight = second.present ? second.height : 0;
    end.capture.reset(Capture_create(end.captureTab.get(), &cAttrs));
    if (end.capture == nullptr) {
        std::fputs("Error: Failed to create capture device. Is video input connected?\n", stderr);
        return false;
    }
    end.displayTab.reset(BufTab_create(count, static_cast<int>(bufSize), &gfx.bAttrs));
    if (end.displayTab == nullptr) {
        std::fputs("Error: Failed to create buftab\n", stderr);
        return false;
    }
    for (int i = 0; i < count; i++) {
        Buffer_Handle hBuf = BufTab_getFreeBuf(end.primeTab.get());
        if (hBuf == nullptr || blackFrame(hBuf) < 0) {
            std::fputs("Error: Failed to fill video pipeline\n", stderr);
            return false;
        }
        if (Fifo_put(envp->hToVideoFifo, hBuf) < 0) {
            std::fputs("Error: Failed to send buffer to display thread\n", stderr);
            return false;
        }
    }
    return true;
}

// Step 13: frames to the video thread and back to the device until quit or a flush.
void *streamFrames(CaptureThreadParams *envp, EndPath &end)
{
    while (!SharedStatus_getQuit()) {
        Pause_test(envp->hPauseProcess);

        captureBusy.store(1);
        int64_t t0 = nowUs();
        Buffer_Handle hCapBuf = nullptr;
        int r = Capture_get(end.capture.get(), &hCapBuf);
        int64_t waited = nowUs() - t0;
        lastWaitUs.store(waited);
        if (r < 0) {
            return fail("Error: Failed to get capture buffer\n");
        }
        // A device may hand out a frame after quit was raised (or report the raise itself, 1): the
        // video thread may be gone already, so nothing more goes its way.
        if (r == Capture_STOPPED || SharedStatus_getQuit()) {
            break;
        }
        if (waited <= kGapWaitUs) {
            captureBusy.store(0);
        } else {
            testFrame(hCapBuf);
        }
        frameCounter.fetch_add(1);

        if (Fifo_put(envp->hToVideoFifo, hCapBuf) < 0) {
            return fail("Error: Failed to send buffer to display thread\n");
        }
        Buffer_Handle hDisBuf = nullptr;
        r = takeFromVideo(envp, &hDisBuf);
        if (r < 0) {
            return fail("Error: Failed to get buffer from video thread\n");
        }
        if (r == Media_FLUSHED) {
            SharedStatus_setQuit();
            break;
        }
        if (Capture_put(end.capture.get(), hDisBuf) < 0) {
            return fail("Error: Failed to put capture buffer\n");
        }
    }
    return THREAD_SUCCESS;
}

void *runCapture(CaptureThreadParams *envp, EndPath &end)
{
    Capture_Attrs cAttrs = Capture_Attrs_DEFAULT;
    if (!settleStandard(envp, cAttrs) || !settleSize(envp) || !setUpDevice(envp, end, cAttrs)) {
        SharedStatus_setQuit();
        return THREAD_FAILURE;
    }

    end.report.start(end.capture.get(), envp->display_standard, envp->width, envp->height,
                     SecondStream_get().enabled == 1);
    Rendezvous_meet(envp->hRendezvousInit);
    if (pthread_create(&end.noSignal, nullptr, noSignalThrFxn, envp) == 0) {
        end.noSignalStarted = true;
    } else {
        std::fprintf(stderr, "%s\n", ConsoleText::kNoSignalThreadFailed);
    }
    colorConfig();
    return streamFrames(envp, end);
}

} // namespace

int64_t CaptureStatus_frameCounter()
{
    return frameCounter.load();
}

int CaptureStatus_busy()
{
    return captureBusy.load();
}

int64_t CaptureStatus_lastWaitUs()
{
    return lastWaitUs.load();
}

void CaptureStatus_reset()
{
    frameCounter.store(0);
    captureBusy.store(0);
    lastWaitUs.store(0);
}

void *captureThrFxn(void *arg)
{
    auto *envp = static_cast<CaptureThreadParams *>(arg);
    void *status = THREAD_FAILURE;
    {
        EndPath end(envp);
        try {
            status = runCapture(envp, end);
        } catch (...) {
            std::fputs("Error: Capture thread stopped by an unexpected failure\n", stderr);
            SharedStatus_setQuit();
            status = THREAD_FAILURE;
        }
    }
    return status;
}
