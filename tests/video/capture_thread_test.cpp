// The capture thread against the virtual capture device, with the test standing in for the start-up
// (rendezvous points, Fifos, the process-wide values) and for the video thread (taking each captured
// frame and giving a buffer back, paced like an encoder).
#include "encode/video/capture_thread.h"

#include "encode/core/no_signal.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/media/buftab.h"
#include "encode/device/capture.h"
#include "encode/media/media.h"
#include "tests/support/temp_root.h"

#include <pthread.h>
#include <time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// True when the luma plane shows the seven grey bars.
bool showsBars(const CapPicture &pic)
{
    int bar = pic.width / 8;
    for (int row : {pic.height / 4, pic.height / 2}) {
        const uint8_t *y = pic.data + static_cast<size_t>(row) * pic.lineLength;
        for (int j = 0; j < 8; j++) {
            int want = j < 7 ? j * 31 : 0;
            if (y[j * bar + bar / 2] != want) {
                return false;
            }
        }
    }
    return true;
}

struct Received {
    double t;           // seconds since rvStart
    int noSignal;       // flag when the buffer arrived
    int64_t frame;      // frame number drawn by the device, -1 if none
    bool bars;
    Buffer_Handle buf;
};

class CaptureThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SharedStatus_reset();
        SecondStream_reset();
        Pipeline_reset();
        NoSignal_reset();
        CaptureStatus_reset();
        Media_init();
        setenv("ENCODE_VIDEO_SOURCE", "testsrc", 1);
        unsetenv("ENCODE_VIDEO_STD");
        unsetenv("ENCODE_TESTSRC_GAP");
        p.hRendezvousInit = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
        p.hRendezvousStandard = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
        p.hRendezvousCleanup = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
        p.hPauseProcess = Pause_create(&Pause_Attrs_DEFAULT);
        p.hToVideoFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
        p.hFromVideoFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
        p.display_standard = 25;
        p.video_input = 0;
        p.preview_disable = 1;
    }
    void TearDown() override
    {
        if (running) {
            stop();
        }
        Fifo_delete(p.hToVideoFifo);
        Fifo_delete(p.hFromVideoFifo);
        Rendezvous_delete(p.hRendezvousInit);
        Rendezvous_delete(p.hRendezvousStandard);
        Rendezvous_delete(p.hRendezvousCleanup);
        Pause_delete(p.hPauseProcess);
        unsetenv("ENCODE_VIDEO_SOURCE");
        unsetenv("ENCODE_VIDEO_STD");
        unsetenv("ENCODE_TESTSRC_GAP");
        SharedStatus_reset();
        SecondStream_reset();
        Pipeline_reset();
        NoSignal_reset();
    }

    void start()
    {
        ASSERT_EQ(pthread_create(&thread, nullptr, captureThrFxn, &p), 0);
        running = true;
    }

    // What the video thread does on its way out: quit, flush what it feeds, meet rvCleanup.
    void *stop()
    {
        SharedStatus_setQuit();
        Fifo_flush(p.hFromVideoFifo);
        Rendezvous_force(p.hRendezvousStandard);
        Rendezvous_force(p.hRendezvousInit);
        Rendezvous_meet(p.hRendezvousCleanup);
        void *status = nullptr;
        pthread_join(thread, &status);
        running = false;
        return status;
    }

    // The video thread's part for `seconds`: take a frame, hold it for `holdMs`, give it back.
    std::vector<Received> circulate(double seconds, int holdMs, Clock::time_point t0)
    {
        std::vector<Received> got;
        while (secondsSince(t0) < seconds) {
            Buffer_Handle b = nullptr;
            if (Fifo_get(p.hToVideoFifo, &b) != 0) {
                ADD_FAILURE() << "the capture thread stopped feeding";
                break;
            }
            CapPicture pic = CapBuf_picture(b);
            got.push_back({secondsSince(t0), NoSignal_get(),
                           CapPicture_readFrameNumber(pic.data, pic.lineLength, pic.width, pic.height),
                           showsBars(pic), b});
            if (holdMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            }
            EXPECT_EQ(Fifo_put(p.hFromVideoFifo, b), 0);
        }
        return got;
    }

    // rvStandard, rvStart, then the primed black frames.
    Clock::time_point meetAndTakePriming()
    {
        Rendezvous_meet(p.hRendezvousStandard);
        Rendezvous_meet(p.hRendezvousInit);
        return Clock::now();
    }

    CaptureThreadParams p{};
    pthread_t thread{};
    bool running = false;
};

} // namespace

TEST_F(CaptureThreadTest, FramesCirculateAtTheStandardRateWithConstantPools)
{
    TempRoot root;
    start();
    Rendezvous_meet(p.hRendezvousStandard);
    EXPECT_EQ(p.width, 1280);
    EXPECT_EQ(p.height, 720);
    EXPECT_EQ(root.read("/tmp/format.ini"), "1280 720\n");
    SharedStatus s = SharedStatus_snapshot();
    EXPECT_EQ(s.imageWidth, 1280);
    EXPECT_EQ(s.imageHeight, 720);

    Rendezvous_meet(p.hRendezvousInit);
    auto t0 = Clock::now();
    // The first three are the black priming frames.
    for (int i = 0; i < 3; i++) {
        Buffer_Handle b = nullptr;
        ASSERT_EQ(Fifo_get(p.hToVideoFifo, &b), 0);
        CapPicture pic = CapBuf_picture(b);
        EXPECT_EQ(pic.data[0], 0);
        EXPECT_EQ(pic.data[static_cast<size_t>(pic.lineLength) * pic.height], 128);
        EXPECT_EQ(Buffer_getSize(b), 1280 * 720 * 3 / 2);
        ASSERT_EQ(Fifo_put(p.hFromVideoFifo, b), 0);
    }
    std::vector<Received> got = circulate(3.0, 0, t0);
    double elapsed = secondsSince(t0);

    std::set<Buffer_Handle> distinct;
    int64_t last = -1;
    int numbered = 0;
    for (const Received &r : got) {
        distinct.insert(r.buf);
        if (r.frame >= 0) {
            EXPECT_GT(r.frame, last);
            last = r.frame;
            numbered++;
        }
    }
    // Two pools of three buffers each, nothing lost or added.
    EXPECT_EQ(distinct.size(), 6u);
    // 720P 60 on input 0: 60 frames a second (a loaded machine may deliver a few less).
    double rate = numbered / elapsed;
    EXPECT_GT(rate, 40.0);
    EXPECT_LT(rate, 63.0);
    EXPECT_EQ(Fifo_getNumEntries(p.hFromVideoFifo) + Fifo_getNumEntries(p.hToVideoFifo) <= 6, true);
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    EXPECT_GE(NoSignal_get(), -1);
}

TEST_F(CaptureThreadTest, ComponentInputRunsSevenTwentyAtHalfRate)
{
    TempRoot root;
    p.video_input = 2;
    start();
    auto t0 = meetAndTakePriming();
    std::vector<Received> got = circulate(2.5, 0, t0);
    double elapsed = secondsSince(t0);
    int numbered = 0;
    for (const Received &r : got) {
        numbered += r.frame >= 0;
    }
    double rate = numbered / elapsed;
    EXPECT_GT(rate, 22.0);
    EXPECT_LT(rate, 32.0);
    EXPECT_EQ(stop(), THREAD_SUCCESS);
}

TEST_F(CaptureThreadTest, DetectedOddWidthIsRoundedUpAndWrittenBack)
{
    TempRoot root;
    setenv("ENCODE_VIDEO_STD", "18", 1); // 1366x768
    p.display_standard = 0;
    start();
    Rendezvous_meet(p.hRendezvousStandard);
    EXPECT_EQ(p.display_standard, 18);
    EXPECT_EQ(p.width, 1376);
    EXPECT_EQ(p.height, 768);
    EXPECT_EQ(root.read("/tmp/format.ini"), "1376 768\n");
    EXPECT_EQ(stop(), THREAD_SUCCESS);
}

TEST_F(CaptureThreadTest, RequestedSizeIsRoundedAndALargerOneIsReported)
{
    TempRoot root;
    p.width = 1366;
    p.height = 768;
    testing::internal::CaptureStderr();
    start();
    Rendezvous_meet(p.hRendezvousStandard);
    EXPECT_EQ(p.width, 1376);
    EXPECT_EQ(p.height, 768);
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Error: User resolution (1366x768) larger than detected (1280x720)\n"),
              std::string::npos);
}

TEST_F(CaptureThreadTest, SecondPictureIsAScaledCopyBehindTheMainOne)
{
    TempRoot root;
    root.write("/mnt/kavex_rs.ini", "1 640 480 800000 25 100 100 0 0 0 40");
    SecondStreamSettings second;
    second.enabled = 1;
    second.width = 640;
    second.height = 480;
    SecondStream_set(second);
    setenv("ENCODE_VIDEO_STD", "30", 1);
    p.display_standard = 30;
    p.video_input = 3;
    start();
    auto t0 = meetAndTakePriming();
    std::vector<Received> got = circulate(1.0, 0, t0);
    ASSERT_FALSE(got.empty());
    const Received *frame = nullptr;
    for (const Received &r : got) {
        if (r.frame >= 0) {
            frame = &r;
        }
    }
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(Buffer_getSize(frame->buf), 1920 * 1080 * 3 / 2 + 640 * 480 * 3 / 2);

    // Hold the last frame: stop first so that nothing writes into it while it is compared.
    std::vector<uint8_t> copy(Buffer_getUserPtr(frame->buf),
                              Buffer_getUserPtr(frame->buf) + Buffer_getSize(frame->buf));
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    const uint8_t *mainY = copy.data();
    const uint8_t *mainUV = mainY + 1920 * 1080;
    const uint8_t *smallY = copy.data() + 1920 * 1080 * 3 / 2;
    const uint8_t *smallUV = smallY + 640 * 480;
    // Area average of the main picture over each small pixel's footprint.
    double lumaError = 0;
    for (int y = 0; y < 480; y++) {
        for (int x = 0; x < 640; x++) {
            int y0 = y * 1080 / 480;
            int y1 = (y + 1) * 1080 / 480;
            int sum = 0;
            int n = 0;
            for (int r = y0; r < y1; r++) {
                for (int c = x * 3; c < x * 3 + 3; c++) {
                    sum += mainY[r * 1920 + c];
                    n++;
                }
            }
            lumaError += std::abs(sum / static_cast<double>(n) - smallY[y * 640 + x]);
        }
    }
    lumaError /= 640.0 * 480.0;
    EXPECT_LT(lumaError, 4.0);
    double chromaError = 0;
    for (int y = 0; y < 240; y++) {
        for (int x = 0; x < 320; x++) {
            int r = (y * 540 / 240 + (y + 1) * 540 / 240) / 2;
            int c = x * 3 + 1;
            chromaError += std::abs(mainUV[r * 1920 + 2 * c] - smallUV[y * 640 + 2 * x]);
        }
    }
    chromaError /= 320.0 * 240.0;
    EXPECT_LT(chromaError, 8.0);
    // The small picture also carries the frame number (scaled blocks are wide enough to read at 1/3).
    EXPECT_GE(CapPicture_readFrameNumber(mainY, 1920, 1920, 1080), 0);
}

TEST_F(CaptureThreadTest, SignalGapRaisesNoSignalAndFeedsBars)
{
    TempRoot root;
    setenv("ENCODE_TESTSRC_GAP", "1.5:1.5", 1);
    start();
    auto t0 = meetAndTakePriming();
    // Paced like an encoder at 60 frames a second.
    std::vector<Received> got = circulate(4.8, 15, t0);
    EXPECT_EQ(stop(), THREAD_SUCCESS);

    double gapStart = 1.5;
    double gapEnd = 3.0;
    double firstLost = -1;
    double lastLost = -1;
    int barsDuringLoss = 0;
    int duringLoss = 0;
    std::set<int64_t> numbers;
    for (const Received &r : got) {
        if (r.noSignal == 1) {
            if (firstLost < 0) {
                firstLost = r.t;
            }
            lastLost = r.t;
            duringLoss++;
            barsDuringLoss += r.bars;
        }
        if (r.frame >= 0) {
            numbers.insert(r.frame);
        }
    }
    ASSERT_GT(firstLost, 0) << "the no-signal flag never rose";
    // Raised within a few frame periods of the gap (generous: 0.6 s), cleared after it.
    EXPECT_GT(firstLost, gapStart - 0.05);
    EXPECT_LT(firstLost, gapStart + 0.6);
    EXPECT_LT(lastLost, gapEnd + 0.6);
    EXPECT_GT(lastLost, gapEnd - 0.3);
    EXPECT_EQ(got.back().noSignal, 0);
    // Frames keep flowing during the loss, the bars among them.
    EXPECT_GT(duringLoss, 20);
    EXPECT_GE(barsDuringLoss, 4);

    // The device numbers the frames it delivers, so exactly one number is never read back: the first
    // frame after the gap, painted with the bars by the capture thread.
    std::vector<int64_t> missing;
    int64_t expect = 0;
    for (int64_t n : numbers) {
        while (expect < n) {
            missing.push_back(expect++);
        }
        expect = n + 1;
    }
    ASSERT_EQ(missing.size(), 1u);
    int64_t firstAfterGap = missing[0];
    double firstSeenBefore = -1;
    double firstSeenAfter = -1;
    for (const Received &r : got) {
        if (r.frame == firstAfterGap - 1 && firstSeenBefore < 0) {
            firstSeenBefore = r.t;
        }
        if (r.frame == firstAfterGap + 1 && firstSeenAfter < 0) {
            firstSeenAfter = r.t;
        }
    }
    EXPECT_LT(firstSeenBefore, gapStart + 0.1); // the last frame before the gap came before it
    EXPECT_GT(firstSeenAfter, gapEnd - 0.1);    // the next readable one after it
    // A bars frame arrived after the gap and before the first numbered one after it.
    bool barsAtReturn = false;
    for (const Received &r : got) {
        if (r.frame == firstAfterGap + 1) {
            break;
        }
        barsAtReturn |= r.bars && r.t > gapEnd - 0.1;
    }
    EXPECT_TRUE(barsAtReturn);
}

// Both readers of the Fifo from the video thread blocked in it: the no-signal thread since the gap
// took every free buffer, the capture thread since the first frame after the gap. The video thread's
// one flush on its way out must end both, whichever takes it.
TEST_F(CaptureThreadTest, OneFlushEndsBothReadersOfTheVideoFifo)
{
    TempRoot root;
    setenv("ENCODE_TESTSRC_GAP", "0.6:0.6", 1);
    start();
    auto t0 = meetAndTakePriming();
    circulate(0.9, 0, t0); // into the gap, with the no-signal thread feeding bars
    // Hold every buffer from now on: the no-signal thread blocks on the empty Fifo, and once the
    // input is back the capture thread hands one frame over and blocks there too.
    std::vector<Buffer_Handle> held;
    while (secondsSince(t0) < 1.6) {
        Buffer_Handle b = nullptr;
        if (Fifo_getNumEntries(p.hToVideoFifo) > 0 && Fifo_get(p.hToVideoFifo, &b) == 0) {
            held.push_back(b);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(CaptureStatus_busy(), 1); // the first frame after the gap came in, then the wait for a buffer

    SharedStatus_setQuit();
    Fifo_flush(p.hFromVideoFifo); // exactly once, as the video thread does
    std::thread cleanup([this] { Rendezvous_meet(p.hRendezvousCleanup); });
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    void *status = nullptr;
    int joined = pthread_timedjoin_np(thread, &status, &deadline);
    if (joined != 0) {
        ADD_FAILURE() << "a reader of the video Fifo missed the flush";
        Fifo_flush(p.hFromVideoFifo); // let it go, so that the test can end
        pthread_join(thread, &status);
    }
    cleanup.join();
    running = false;
    EXPECT_EQ(status, THREAD_SUCCESS);
}

// The capture thread's end path flushes what it feeds before it meets rvCleanup: a video thread that
// sits reading the capture Fifo leaves its read, then meets rvCleanup with the capture thread. The
// other order leaves both waiting for each other.
TEST_F(CaptureThreadTest, EndPathFlushesTheVideoFifoBeforeMeetingCleanup)
{
    TempRoot root;
    start();
    meetAndTakePriming();
    std::atomic<int> videoGot{0};
    std::thread video([this, &videoGot] {
        for (;;) {
            Buffer_Handle b = nullptr;
            int r = Fifo_get(p.hToVideoFifo, &b);
            if (r != Media_EOK) {
                videoGot = r;
                break;
            }
            Fifo_put(p.hFromVideoFifo, b);
        }
        Rendezvous_meet(p.hRendezvousCleanup);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SharedStatus_setQuit(); // a signal: the capture thread ends on its own, the video stand-in reads on

    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    void *status = nullptr;
    if (pthread_timedjoin_np(thread, &status, &deadline) != 0) {
        ADD_FAILURE() << "the capture thread met rvCleanup before it let the video thread go";
        Fifo_flush(p.hToVideoFifo);
        pthread_join(thread, &status);
    }
    running = false;
    video.join();
    EXPECT_EQ(status, THREAD_SUCCESS);
    EXPECT_EQ(videoGot.load(), Media_FLUSHED);
}

// The resizer makes only even sizes up to the main picture: any other turns the second stream off
// with one line, and the main picture runs on with pools sized for it alone.
TEST_F(CaptureThreadTest, SecondPictureTheResizerRefusesIsTurnedOff)
{
    TempRoot root;
    for (auto [w, h] : {std::pair{641, 480}, std::pair{1920, 1080}}) {
        SecondStreamSettings second;
        second.enabled = 1;
        second.width = w;
        second.height = h;
        SecondStream_set(second);
        testing::internal::CaptureStderr();
        start();
        auto t0 = meetAndTakePriming();
        std::vector<Received> got = circulate(0.5, 0, t0);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(Buffer_getSize(got.back().buf), 1280 * 720 * 3 / 2); // still ours until the stop
        EXPECT_EQ(stop(), THREAD_SUCCESS);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "Warning: second stream " + std::to_string(w) + "x" + std::to_string(h) +
                           " turned off: the resizer needs an even size from 2x2 up to the main picture (1280x720)\n");
        EXPECT_EQ(SecondStream_get().enabled, 0);
        EXPECT_GE(got.back().frame, 0);
        SharedStatus_reset();
        NoSignal_reset();
        Fifo_delete(p.hToVideoFifo);
        Fifo_delete(p.hFromVideoFifo);
        p.hToVideoFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
        p.hFromVideoFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
        Rendezvous_reset(p.hRendezvousInit);
        Rendezvous_reset(p.hRendezvousStandard);
        Rendezvous_reset(p.hRendezvousCleanup);
    }
}

TEST_F(CaptureThreadTest, RefusedStandardReleasesTheStartUp)
{
    TempRoot root;
    p.display_standard = 29;
    testing::internal::CaptureStderr();
    start();
    Rendezvous_meet(p.hRendezvousStandard); // must not hang
    Rendezvous_meet(p.hRendezvousInit);
    Rendezvous_meet(p.hRendezvousCleanup);
    void *status = nullptr;
    pthread_join(thread, &status);
    running = false;
    EXPECT_EQ(status, THREAD_FAILURE);
    EXPECT_EQ(SharedStatus_getQuit(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Need D1/720P/1080P input to this demo\n");
    Buffer_Handle b = nullptr;
    EXPECT_EQ(Fifo_get(p.hToVideoFifo, &b), 1); // flushed for the video thread
}

TEST_F(CaptureThreadTest, FailedDetectionAndMissingDevices)
{
    struct Case {
        const char *source;
        const char *std;
        bool resizerNode;
        std::vector<std::string> lines;
    } cases[] = {
        {"testsrc", "99", false,
         {"[Capture] Unknown video standard on capture device testsrc\n",
          "Error: Failed to detect video standard, video input connected?\n"}},
        {"v4l2", nullptr, false,
         {"[Capture] Cannot open /dev/video0 (No such file or directory)\n",
          "Error: Failed to detect video standard, video input connected?\n"}},
        {"testsrc", nullptr, true,
         {"[Resize] Can't set operation mode (Inappropriate ioctl for device)\n",
          "[Capture] Unable to configure Resizer\n",
          "Error: Failed to create capture device. Is video input connected?\n"}},
        {"bogus", nullptr, false, {"[Capture] Unknown video source bogus (v4l2, testsrc or file:PATH)\n"}},
        {"file:/nonexistent/frames.nv12", nullptr, false,
         {"[Capture] Cannot open /nonexistent/frames.nv12 (No such file or directory)\n",
          "Error: Failed to create capture device. Is video input connected?\n"}},
    };
    for (const Case &c : cases) {
        TempRoot root;
        SharedStatus_reset();
        setenv("ENCODE_VIDEO_SOURCE", c.source, 1);
        if (c.std != nullptr) {
            setenv("ENCODE_VIDEO_STD", c.std, 1);
        } else {
            unsetenv("ENCODE_VIDEO_STD");
        }
        if (c.resizerNode) {
            root.write("/dev/soc_resizer", "");
        }
        p.display_standard = c.std != nullptr || std::string(c.source) == "v4l2" ? 0 : 25;
        Rendezvous_reset(p.hRendezvousStandard);
        Rendezvous_reset(p.hRendezvousInit);
        testing::internal::CaptureStderr();
        start();
        void *status = stop();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, THREAD_FAILURE) << c.source;
        for (const std::string &line : c.lines) {
            EXPECT_NE(err.find(line), std::string::npos) << c.source << ": " << err;
        }
        Fifo_delete(p.hToVideoFifo);
        Fifo_delete(p.hFromVideoFifo);
        p.hToVideoFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
        p.hFromVideoFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    }
}

TEST_F(CaptureThreadTest, RawFileFramesAreLooped)
{
    TempRoot root;
    // Two 640x480 frames: all luma 50, then all luma 200.
    std::string frames;
    for (int v : {50, 200}) {
        frames += std::string(640 * 480, static_cast<char>(v));
        frames += std::string(640 * 240, static_cast<char>(128));
    }
    root.write("/frames.nv12", frames);
    setenv("ENCODE_VIDEO_SOURCE", ("file:" + root.path("/frames.nv12")).c_str(), 1);
    setenv("ENCODE_VIDEO_STD", "4", 1);
    p.display_standard = 0;
    start();
    auto t0 = meetAndTakePriming();
    std::vector<int> lumas;
    for (int i = 0; i < 9; i++) {
        Buffer_Handle b = nullptr;
        ASSERT_EQ(Fifo_get(p.hToVideoFifo, &b), 0);
        lumas.push_back(Buffer_getUserPtr(b)[1000]);
        ASSERT_EQ(Fifo_put(p.hFromVideoFifo, b), 0);
    }
    (void)t0;
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    // Three black priming frames, then the file's frames in turn.
    std::vector<int> want = {0, 0, 0, 50, 200, 50, 200, 50, 200};
    EXPECT_EQ(lumas, want);
}
