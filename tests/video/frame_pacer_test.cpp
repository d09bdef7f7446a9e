// Frame pacing on a fake clock: frames that come early wait for their slot, late ones go at once,
// and the pacer starts again after a stall, a step back of the clock or when it falls behind.
#include "encode/video/frame_pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

int64_t fakeNow = 0;
std::vector<int64_t> slept;

int64_t fakeClock()
{
    return fakeNow;
}

void fakeSleep(int64_t us)
{
    slept.push_back(us);
    fakeNow += us;
}

class FramePacerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeNow = 1'700'000'000'000'000;
        slept.clear();
    }
};

TEST_F(FramePacerTest, EarlyFramesWaitForTheirSlotFromTheReference)
{
    FramePacer p(30000, fakeClock, fakeSleep);
    EXPECT_EQ(p.period(), 33333);
    int64_t r = fakeNow;
    EXPECT_EQ(p.pace(), r); // the first frame sets the reference
    for (int n = 1; n <= 10; n++) {
        fakeNow += 1000; // the capture delivers far faster than 30 a second
        EXPECT_EQ(p.pace(), r + n * 33333) << n;
    }
    // The schedule is kept from the reference, so the rounding of P never adds up frame by frame.
    EXPECT_EQ(slept.size(), 10u);
}

TEST_F(FramePacerTest, LateFramesGoAtOnceAndALongStallStartsAgain)
{
    FramePacer p(25000, fakeClock, fakeSleep);
    int64_t r = p.pace();
    fakeNow = r + 40000 + 30000; // frame 1 due at +40000, it is 30 ms late: no wait
    EXPECT_EQ(p.pace(), fakeNow);
    EXPECT_TRUE(slept.empty());

    // More than 5 periods since the previous frame: a new reference, no wait.
    fakeNow += 5 * 40000 + 1;
    int64_t restart = fakeNow;
    EXPECT_EQ(p.pace(), restart);
    EXPECT_EQ(p.index(), 1);
    fakeNow += 10;
    EXPECT_EQ(p.pace(), restart + 40000);
}

TEST_F(FramePacerTest, ClockStepBackOrFallingBehindStartsAgain)
{
    FramePacer p(30000, fakeClock, fakeSleep);
    p.pace();
    fakeNow += 33333;
    p.pace();
    fakeNow -= 5000; // the time of day was set back
    int64_t back = fakeNow;
    EXPECT_EQ(p.pace(), back);
    EXPECT_EQ(p.index(), 1);

    // Each frame 4 periods after the last: never 5 since the previous, but the schedule slips by 3
    // periods a frame until it is 5 behind.
    int restarts = 0;
    for (int i = 0; i < 6; i++) {
        fakeNow += 4 * 33333;
        p.pace();
        restarts += p.index() == 1;
    }
    EXPECT_GE(restarts, 2);
}

TEST_F(FramePacerTest, ReferenceMovesOnAfter108000Frames)
{
    FramePacer p(30000, fakeClock, fakeSleep);
    p.pace();
    for (int64_t i = 1; i < FramePacer::kRebase - 1; i++) {
        fakeNow += 33333;
        p.pace();
    }
    EXPECT_EQ(p.index(), FramePacer::kRebase - 1);
    fakeNow += 33333;
    p.pace();
    EXPECT_EQ(p.index(), 1);
}

TEST_F(FramePacerTest, NoFrameRateFallsBackToThirty)
{
    FramePacer p(0, fakeClock, fakeSleep);
    EXPECT_EQ(p.period(), 33333);
}

} // namespace
