// The HDMI channel repair and the frame delay on real sample buffers.
#include "encode/audio/audio_channels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Interleaved 16-bit little-endian stereo frames.
std::vector<uint8_t> stereo(const std::vector<std::pair<int, int>> &frames)
{
    std::vector<uint8_t> b;
    for (auto [l, r] : frames) {
        for (int v : {l, r}) {
            b.push_back(static_cast<uint8_t>(v & 0xFF));
            b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
    }
    return b;
}

// A buffer whose every frame is (l, r) as the detection reads samples (first byte high).
std::vector<uint8_t> detectionBuffer(int frames, uint16_t l, uint16_t r)
{
    std::vector<uint8_t> b;
    for (int i = 0; i < frames; i++) {
        b.push_back(static_cast<uint8_t>(l >> 8));
        b.push_back(static_cast<uint8_t>(l));
        b.push_back(static_cast<uint8_t>(r >> 8));
        b.push_back(static_cast<uint8_t>(r));
    }
    return b;
}

TEST(AudioChannels, MonoExpandsInPlaceAndCopiesGoOneWay)
{
    std::vector<uint8_t> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Audio_expandMono(b.data(), 6), 12);
    EXPECT_EQ(b, (std::vector<uint8_t>{1, 2, 1, 2, 3, 4, 3, 4, 5, 6, 5, 6}));

    std::vector<uint8_t> s = stereo({{100, -200}, {300, -400}});
    std::vector<uint8_t> r2l = s;
    Audio_copyRightToLeft(r2l.data(), static_cast<int>(r2l.size()));
    EXPECT_EQ(r2l, stereo({{-200, -200}, {-400, -400}}));
    std::vector<uint8_t> l2r = s;
    Audio_copyLeftToRight(l2r.data(), static_cast<int>(l2r.size()));
    EXPECT_EQ(l2r, stereo({{100, 100}, {300, 300}}));
}

TEST(AudioChannels, FourPatternsAndNoMatch)
{
    const int frames = 64;
    struct Case {
        uint16_t l, r;
        int mode;
    } cases[] = {
        {0x7000, 0x1000, AudioHdmi_LEFT_TO_RIGHT}, // left loud, right quiet
        {0x1000, 0x7000, AudioHdmi_RIGHT_TO_LEFT}, // right loud, left quiet
        {0x0000, 0x1000, AudioHdmi_RIGHT_TO_LEFT}, // left silent, right carries the sound
        {0x1000, 0x0000, AudioHdmi_LEFT_TO_RIGHT},
        {0x1000, 0x1000, AudioHdmi_UNDECIDED}, // both quiet: nothing decided
        {0x7000, 0x7000, AudioHdmi_UNDECIDED},
        {0x0000, 0x0000, AudioHdmi_UNDECIDED}, // silence is skipped
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> b = detectionBuffer(frames, c.l, c.r);
        EXPECT_EQ(Audio_detectLayout(b.data(), static_cast<int>(b.size())), c.mode) << std::hex << c.l << " " << c.r;
    }
    // Only the first half is looked at: sound in the second half alone decides nothing.
    std::vector<uint8_t> b = detectionBuffer(frames, 0, 0);
    std::vector<uint8_t> loud = detectionBuffer(frames / 2, 0x7000, 0x1000);
    std::memcpy(b.data() + b.size() / 2, loud.data(), loud.size());
    EXPECT_EQ(Audio_detectLayout(b.data(), static_cast<int>(b.size())), AudioHdmi_UNDECIDED);
}

TEST(AudioChannels, DetectionWaitsTwoSecondsOfLockThenFindsTheLayout)
{
    ChannelRepair repair(AudioHdmi_DETECT);
    std::vector<uint8_t> b = detectionBuffer(64, 0x7000, 0x1000);
    const int n = static_cast<int>(b.size());
    std::vector<uint8_t> work = b;
    testing::internal::CaptureStdout();
    EXPECT_EQ(repair.apply(work.data(), n, true, 100), n); // arms the timer, stays silent
    EXPECT_EQ(work, std::vector<uint8_t>(b.size(), 0));
    work = b;
    repair.apply(work.data(), n, true, 102); // 2 s: not yet more than 2
    EXPECT_FALSE(repair.detecting());
    work = b;
    repair.apply(work.data(), n, true, 103);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "+++enter ha_detect=1\n");
    EXPECT_EQ(repair.mode(), AudioHdmi_LEFT_TO_RIGHT);
    std::vector<uint8_t> want = b;
    Audio_copyLeftToRight(want.data(), n);
    EXPECT_EQ(work, want); // the found mode applies to the same buffer

    // Lock lost: silence, back to detection, and the wait starts again.
    work = b;
    repair.apply(work.data(), n, false, 104);
    EXPECT_EQ(work, std::vector<uint8_t>(b.size(), 0));
    EXPECT_EQ(repair.mode(), AudioHdmi_DETECT);
    EXPECT_FALSE(repair.detecting());

    // A mono source keeps its mode through a loss of lock.
    ChannelRepair mono(AudioHdmi_MONO);
    std::vector<uint8_t> m = {1, 2, 3, 4, 0, 0, 0, 0};
    EXPECT_EQ(mono.apply(m.data(), 4, false, 0), 4);
    EXPECT_EQ(mono.mode(), AudioHdmi_MONO);
    m = {1, 2, 3, 4, 0, 0, 0, 0};
    EXPECT_EQ(mono.apply(m.data(), 4, true, 0), 8);
    EXPECT_EQ(m, (std::vector<uint8_t>{1, 2, 1, 2, 3, 4, 3, 4}));
}

TEST(AudioChannels, DelayCarriesIntoTheSeconds)
{
    FrameTime t{1000, 999995};
    FrameTime d = Audio_delayed(t, 1);
    EXPECT_EQ(d.seconds, 1001u);
    EXPECT_EQ(d.microseconds, 9995u);
    d = Audio_delayed({5, 0}, 15);
    EXPECT_EQ(d.microseconds, 150000u);
    EXPECT_EQ(Audio_delayed({5, 7}, 0).microseconds, 7u);
    EXPECT_EQ(Audio_delayed({5, 7}, 100).microseconds, 7u);
}

} // namespace
