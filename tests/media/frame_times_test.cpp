// The frame time queue: the writer's rules (oldest first, at most 17 held with the oldest dropped,
// the current time when empty) and one producer racing one consumer.
#include "encode/media/frame_times.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

FrameTime at(uint32_t n)
{
    return {1700000000u + n, n % 1000000};
}

TEST(FrameTimeQueue, OldestFirstAtMostSeventeenHeldAndEmptyGivesNothing)
{
    FrameTimeQueue q;
    FrameTime t{};
    EXPECT_FALSE(q.take(&t));
    for (uint32_t n = 0; n < 3; n++) {
        q.push(at(n));
    }
    EXPECT_EQ(q.held(), 3);
    ASSERT_TRUE(q.take(&t));
    EXPECT_EQ(t.seconds, at(0).seconds);

    // 30 more behind the two left: only the newest 17 of the 32 stay, the oldest go first.
    for (uint32_t n = 3; n < 33; n++) {
        q.push(at(n));
    }
    EXPECT_EQ(q.held(), 17);
    for (uint32_t n = 16; n < 33; n++) {
        ASSERT_TRUE(q.take(&t));
        EXPECT_EQ(t.seconds, at(n).seconds);
        EXPECT_EQ(t.microseconds, at(n).microseconds);
    }
    EXPECT_FALSE(q.take(&t));
    EXPECT_EQ(q.held(), 0);
}

TEST(FrameTimeQueue, ProcessQueueFallsBackToTheTimeOfDay)
{
    FrameTimes_reset();
    FrameTime before = FrameTime_now();
    FrameTime t = FrameTimes_take();
    EXPECT_GE(t.seconds, before.seconds);
    EXPECT_LE(t.seconds, before.seconds + 1);
    FrameTimes_push(at(7));
    EXPECT_EQ(FrameTimes_take().seconds, at(7).seconds);
    FrameTimes_reset();
}

// The video thread pushes while the writer takes: every time the writer gets is one that was pushed,
// in increasing order, and whole (a torn slot would mix two entries).
TEST(FrameTimeQueue, OneProducerOneConsumerSeeOrderedWholeTimes)
{
    FrameTimeQueue q;
    constexpr uint32_t kCount = 200000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uint32_t n = 1; n <= kCount; n++) {
            q.push(at(n));
        }
        done = true;
    });
    uint32_t last = 0;
    uint32_t taken = 0;
    bool ordered = true;
    bool whole = true;
    for (;;) {
        bool finished = done.load();
        FrameTime t{};
        while (q.take(&t)) {
            uint32_t n = t.seconds - 1700000000u;
            ordered = ordered && n > last;
            whole = whole && t.microseconds == n % 1000000;
            last = n;
            taken++;
        }
        if (finished) {
            break;
        }
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(whole);
    EXPECT_EQ(last, kCount); // the newest is never dropped
    EXPECT_GT(taken, 0u);
}

} // namespace
