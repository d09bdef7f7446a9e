// Key-frame steering against a scripted encoder: which pictures are forced to IDR or I and which are
// left to the encoder, across a signal gap, and one line for a run of refused commands.
#include "encode/video/key_frames.h"

#include "encode/core/no_signal.h"
#include "encode/media/media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// What the scripted encoder was told. It refuses the next refuseNext commands, and every reset while
// refuseResets is set.
struct Script {
    int force = VideoEnc_FRAME_AUTO;
    bool resetPending = false;
    int refuseNext = 0;
    bool refuseResets = false;
} script;

int scriptedControl(VideoEnc_Handle, int cmd, const VideoEnc_DynParams *dyn, VideoEnc_Status *status)
{
    if (script.refuseNext > 0 || (cmd == VideoEnc_RESET && script.refuseResets)) {
        script.refuseNext = std::max(0, script.refuseNext - 1);
        status->extendedError = VideoEnc_ERR_BADPARAMS;
        return Media_EINVAL;
    }
    script.force = cmd == VideoEnc_SETPARAMS ? dyn->forceFrame : script.force;
    script.resetPending = script.resetPending || cmd == VideoEnc_RESET;
    return Media_EOK;
}

KeyFrames scripted(int interval, int idrRatio, bool resetOnReturn)
{
    script = Script{};
    NoSignal_reset();
    KeyFrames k;
    k.codec = reinterpret_cast<VideoEnc_Handle>(&script);
    k.control = scriptedControl;
    k.interval = interval;
    k.idrRatio = idrRatio;
    k.resetOnReturn = resetOnReturn;
    return k;
}

// Codes one picture per character of `signal` (the no-signal flag after that picture: '0' present,
// '1' lost), numbered from `first`, and steers after each. One letter per picture: 'D' forced IDR,
// 'I' forced I, '-' the encoder's choice; '!' before a picture that follows a reset.
std::string run(KeyFrames &k, const std::string &signal, int64_t first = 1)
{
    std::string pictures;
    for (size_t i = 0; i < signal.size(); i++) {
        pictures += script.resetPending ? "!" : "";
        pictures += script.force == VideoEnc_FRAME_IDR ? 'D' : script.force == VideoEnc_FRAME_I ? 'I' : '-';
        script.resetPending = false;
        NoSignal_set(signal[i] - '0');
        KeyFrames_steer(k, first + static_cast<int64_t>(i));
    }
    return pictures;
}

} // namespace

TEST(KeyFramesTest, ForcedPicturesFollowIntervalRatioAndTheSignalsReturn)
{
    const std::string kGap = "000011111000000000"; // lost at the points after pictures 6 and 8
    struct Case {
        int interval;
        int idrRatio;
        bool resetOnReturn;
        std::string signal;
        std::string pictures;
        const char *console;
    } cases[] = {
        {3, 2, true, "0000000000000000", "---D--I--D--I--D", ""},
        {1, 2, true, "000000", "-DIDID", ""},
        // The return restarts the IDR count: the reset, an IDR, then I, I, IDR again.
        {2, 3, true, kGap, "--D-I-I-D-!D-I-I-D-", "no signal to signal ok\n"},
        // The second stream is not reset; its count runs on through the gap.
        {2, 3, false, kGap, "--D-I-I-D-I-I-D-I-", ""},
        // A gap still open at the last point gives no reset.
        {2, 1, true, "0001111111", "--D-D-D-D-", ""},
    };
    for (const Case &c : cases) {
        KeyFrames k = scripted(c.interval, c.idrRatio, c.resetOnReturn);
        testing::internal::CaptureStdout();
        EXPECT_EQ(run(k, c.signal), c.pictures) << c.interval << " " << c.idrRatio << " " << c.signal;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.console) << c.interval << " " << c.idrRatio;
    }
    NoSignal_reset();
}

// Asks from outside: 'a' asks before the picture's steering, the pictures 400 ms apart, so that the
// next two asks after an honoured one are held back and the third is taken.
TEST(KeyFramesTest, AskedKeyFramesAreIdrPicturesAtMostOneASecond)
{
    struct Case {
        int interval;
        int idrRatio;
        std::string asks;
        std::string pictures;
    } cases[] = {
        {0, 1, "..a.....", "---D----"},
        {0, 1, "aaaaaaaaa", "-D--D--D-"},
        // Between the points, and upgrading the I point after picture 8 to IDR.
        {4, 2, "..a....a.......", "---DD---D---D--"},
    };
    for (const Case &c : cases) {
        KeyFrames k = scripted(c.interval, c.idrRatio, false);
        KeyRequest request;
        k.request = &request;
        std::string pictures;
        for (size_t i = 0; i < c.asks.size(); i++) {
            pictures += script.force == VideoEnc_FRAME_IDR ? 'D' : script.force == VideoEnc_FRAME_I ? 'I' : '-';
            if (c.asks[i] == 'a') {
                KeyRequest_ask(request, static_cast<int64_t>(i) * 400);
            }
            KeyFrames_steer(k, static_cast<int64_t>(i) + 1);
        }
        EXPECT_EQ(pictures, c.pictures) << c.interval << " " << c.asks;
    }
}

// Points by time (HLS): one digit per picture, the periods since the one before. A late picture
// lengthens only the segment it falls in; the next point is measured from the last point's picture.
TEST(KeyFramesTest, PointsByTimeFollowThePicturesTimes)
{
    const int64_t kPeriod = 33333;
    struct Case {
        std::string steps;
        std::string pictures;
    } cases[] = {
        {"0111111111", "---D--D--D"},  // on time: the count's points
        {"011211111", "---D--D--"},    // the fourth picture late
        {"0111511111", "---D-D--D-"},  // four pictures lost: the point falls on the first after them
        {"0000000111", "---------D"},  // a burst: the time, not the count, makes the point
    };
    for (const Case &c : cases) {
        KeyFrames k = scripted(3, 1, false);
        k.periodUs = kPeriod;
        std::string pictures;
        int64_t at = 5000000;
        for (size_t i = 0; i < c.steps.size(); i++) {
            pictures += script.force == VideoEnc_FRAME_IDR ? 'D' : script.force == VideoEnc_FRAME_I ? 'I' : '-';
            at += (c.steps[i] - '0') * kPeriod;
            KeyFrames_steer(k, static_cast<int64_t>(i) + 1, at);
        }
        EXPECT_EQ(pictures, c.pictures) << c.steps;
    }
}

TEST(KeyFramesTest, RefusedCommandsGiveOneLinePerRunAndTheStreamGoesOn)
{
    KeyFrames k = scripted(2, 1, true);
    script.refuseNext = 3; // the first release, the first key picture and the release after it
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(k, "000000"), "----D-");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: main stream key frames: the encoder refused set-params (status -5, error 0x2)\n");

    // A new run of refusals is told again: the reset after the input came back.
    script.refuseResets = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(k, "0111000", 7), "D-D-D-D"); // the IDR after the refused reset is still forced
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: main stream key frames: the encoder refused reset (status -5, error 0x2)\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "no signal to signal ok\n");
    NoSignal_reset();
}
