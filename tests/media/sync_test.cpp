// Fifo, Pause and Rendezvous under real threads. Waits are bounded generously (seconds), and "still
// blocked" is checked by a short look, never by a tight timing bound.
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "encode/media/buffer.h"
#include "encode/media/fifo.h"
#include "encode/media/media.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"

using namespace std::chrono_literals;

namespace {
constexpr auto kDone = 10s;   // long enough for a loaded machine
constexpr auto kBlocked = 100ms; // a party that should be blocked is still blocked after this

template <typename T> bool finishes(std::future<T> &f)
{
    return f.wait_for(kDone) == std::future_status::ready;
}
template <typename T> bool stillBlocked(std::future<T> &f)
{
    return f.wait_for(kBlocked) == std::future_status::timeout;
}

// Starts `fn` on its own thread and returns once the thread is about to call it, so that a check
// "still blocked" afterwards means blocked inside the call, not "not started yet".
template <typename F> auto launch(F fn)
{
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto f = std::async(std::launch::async, [started, fn] {
        started->store(true);
        return fn();
    });
    while (!started->load()) {
        std::this_thread::yield();
    }
    return f;
}

Buffer_Handle fakeHandle(uintptr_t n)
{
    return reinterpret_cast<Buffer_Handle>(n * 64);
}
} // namespace

TEST(Fifo, CarriesHandlesInOrderAndCounts)
{
    Fifo_Handle fifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    ASSERT_NE(fifo, nullptr);
    for (uintptr_t i = 1; i <= 100; i++) {
        EXPECT_EQ(Fifo_put(fifo, fakeHandle(i)), 0);
    }
    EXPECT_EQ(Fifo_getNumEntries(fifo), 100);
    for (uintptr_t i = 1; i <= 100; i++) {
        Buffer_Handle got = nullptr;
        EXPECT_EQ(Fifo_get(fifo, &got), 0);
        EXPECT_EQ(got, fakeHandle(i));
    }
    EXPECT_EQ(Fifo_getNumEntries(fifo), 0);
    EXPECT_EQ(Fifo_delete(fifo), 0);
}

TEST(Fifo, CreateRefusesNullAttrs)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fifo_create(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Fifo] NULL attrs not supported\n");
    EXPECT_EQ(Fifo_delete(nullptr), 0);
}

TEST(Fifo, FlushedFifoReturnsOneWithoutBlocking)
{
    Fifo_Handle fifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    ASSERT_NE(fifo, nullptr);
    EXPECT_EQ(Fifo_put(fifo, fakeHandle(1)), 0);
    EXPECT_EQ(Fifo_flush(fifo), 0);
    // The flag is seen on entry: every later get returns 1, entries or not.
    Buffer_Handle got = nullptr;
    EXPECT_EQ(Fifo_get(fifo, &got), 1);
    EXPECT_EQ(Fifo_get(fifo, &got), 1);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(Fifo_delete(fifo), 0);
}

TEST(Fifo, FlushWakesBlockedReaderAndClearsFlag)
{
    Fifo_Handle fifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    ASSERT_NE(fifo, nullptr);
    Buffer_Handle got = nullptr;
    auto reader = launch([&] { return Fifo_get(fifo, &got); });
    EXPECT_TRUE(stillBlocked(reader));
    EXPECT_EQ(Fifo_flush(fifo), 0);
    ASSERT_TRUE(finishes(reader));
    EXPECT_EQ(reader.get(), 1);

    // The woken reader cleared the flag: the Fifo carries entries again.
    EXPECT_EQ(Fifo_put(fifo, fakeHandle(7)), 0);
    EXPECT_EQ(Fifo_get(fifo, &got), 0);
    EXPECT_EQ(got, fakeHandle(7));
    EXPECT_EQ(Fifo_delete(fifo), 0);
}

TEST(Fifo, PutRightAfterFlushNeverYieldsAGarbageHandle)
{
    // Flush then put before the blocked reader runs: the reader must see the flush, then the real
    // handle, never a word made of the flush mark and part of the handle. Sharing one CPU with the
    // reader makes it likely that both writes land before the reader is scheduled.
    struct OneCpu {
        cpu_set_t saved;
        OneCpu()
        {
            sched_getaffinity(0, sizeof saved, &saved);
            cpu_set_t one;
            CPU_ZERO(&one);
            for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
                if (CPU_ISSET(cpu, &saved)) {
                    CPU_SET(cpu, &one);
                    break;
                }
            }
            sched_setaffinity(0, sizeof one, &one);
        }
        ~OneCpu() { sched_setaffinity(0, sizeof saved, &saved); }
    } pinned; // threads started from here on inherit the single CPU
    for (int round = 0; round < 100; round++) {
        Fifo_Handle fifo = Fifo_create(&Fifo_Attrs_DEFAULT);
        ASSERT_NE(fifo, nullptr);
        Buffer_Handle first = nullptr;
        auto reader = launch([&] { return Fifo_get(fifo, &first); });
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(Fifo_flush(fifo), 0);
        EXPECT_EQ(Fifo_put(fifo, fakeHandle(3)), 0);
        ASSERT_TRUE(finishes(reader));
        EXPECT_EQ(reader.get(), 1) << "round " << round << " handle " << first;
        Buffer_Handle got = nullptr;
        int status = Fifo_get(fifo, &got);
        if (status == 0) {
            EXPECT_EQ(got, fakeHandle(3));
        } else {
            // The reader found the flag on entry; the flag stays set for everyone after it.
            EXPECT_EQ(status, 1);
        }
        EXPECT_EQ(Fifo_delete(fifo), 0);
    }
}

TEST(Fifo, ProducerAndConsumerThreadsHandOverEveryBuffer)
{
    Fifo_Handle full = Fifo_create(&Fifo_Attrs_DEFAULT);
    Fifo_Handle empty = Fifo_create(&Fifo_Attrs_DEFAULT);
    ASSERT_NE(full, nullptr);
    ASSERT_NE(empty, nullptr);
    constexpr int kFrames = 2000;
    // Two buffers circulate: full one way, empty back, as between two pipeline stages.
    EXPECT_EQ(Fifo_put(empty, fakeHandle(1)), 0);
    EXPECT_EQ(Fifo_put(empty, fakeHandle(2)), 0);
    auto consumer = launch([&] {
        int frames = 0;
        Buffer_Handle buf;
        while (Fifo_get(full, &buf) == 0) {
            frames++;
            Fifo_put(empty, buf);
        }
        return frames;
    });
    for (int i = 0; i < kFrames; i++) {
        Buffer_Handle buf = nullptr;
        ASSERT_EQ(Fifo_get(empty, &buf), 0);
        ASSERT_TRUE(buf == fakeHandle(1) || buf == fakeHandle(2));
        ASSERT_EQ(Fifo_put(full, buf), 0);
    }
    // Stop as a stage does: flush the Fifo it feeds.
    Buffer_Handle last;
    ASSERT_EQ(Fifo_get(empty, &last), 0);
    ASSERT_EQ(Fifo_get(empty, &last), 0);
    EXPECT_EQ(Fifo_flush(full), 0);
    ASSERT_TRUE(finishes(consumer));
    EXPECT_EQ(consumer.get(), kFrames);
    EXPECT_EQ(Fifo_delete(full), 0);
    EXPECT_EQ(Fifo_delete(empty), 0);
}

TEST(Rendezvous, TwoPartiesReleaseEachOtherAndCanMeetAgain)
{
    Rendezvous_Handle rv = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
    ASSERT_NE(rv, nullptr);
    for (int round = 0; round < 3; round++) {
        auto first = launch([&] { Rendezvous_meet(rv); });
        EXPECT_TRUE(stillBlocked(first));
        auto second = launch([&] { Rendezvous_meet(rv); });
        EXPECT_TRUE(finishes(first));
        EXPECT_TRUE(finishes(second));
    }
    EXPECT_EQ(Rendezvous_delete(rv), 0);
}

TEST(Rendezvous, ManyPartiesOverManyRounds)
{
    constexpr int kParties = 4;
    constexpr int kRounds = 200;
    Rendezvous_Handle rv = Rendezvous_create(kParties, &Rendezvous_Attrs_DEFAULT);
    ASSERT_NE(rv, nullptr);
    std::atomic<int> arrived{0};
    std::atomic<bool> overtaken{false};
    std::vector<std::future<void>> parties;
    for (int p = 0; p < kParties; p++) {
        parties.push_back(launch([&] {
            for (int r = 0; r < kRounds; r++) {
                arrived++;
                Rendezvous_meet(rv);
                // Nobody leaves round r before all have arrived in it.
                if (arrived.load() < (r + 1) * kParties) {
                    overtaken = true;
                }
            }
        }));
    }
    for (auto &p : parties) {
        EXPECT_TRUE(finishes(p));
    }
    EXPECT_FALSE(overtaken.load());
    EXPECT_EQ(Rendezvous_delete(rv), 0);
}

TEST(Rendezvous, ForceReleasesWaitersAndEveryLaterMeet)
{
    Rendezvous_Handle rv = Rendezvous_create(3, &Rendezvous_Attrs_DEFAULT);
    ASSERT_NE(rv, nullptr);
    auto waiter = launch([&] { Rendezvous_meet(rv); });
    EXPECT_TRUE(stillBlocked(waiter));
    Rendezvous_force(rv);
    EXPECT_TRUE(finishes(waiter));
    for (int i = 0; i < 5; i++) {
        auto later = launch([&] { Rendezvous_meet(rv); });
        EXPECT_TRUE(finishes(later));
    }
    // Reset lifts the force: a lone party waits again.
    Rendezvous_reset(rv);
    auto lone = launch([&] { Rendezvous_meet(rv); });
    EXPECT_TRUE(stillBlocked(lone));
    Rendezvous_force(rv);
    EXPECT_TRUE(finishes(lone));
    EXPECT_EQ(Rendezvous_delete(rv), 0);
}

TEST(Rendezvous, CountMinusOneWaitsUntilForced)
{
    Rendezvous_Handle rv = Rendezvous_create(-1, &Rendezvous_Attrs_DEFAULT);
    ASSERT_NE(rv, nullptr);
    auto a = launch([&] { Rendezvous_meet(rv); });
    auto b = launch([&] { Rendezvous_meet(rv); });
    EXPECT_TRUE(stillBlocked(a));
    EXPECT_TRUE(stillBlocked(b));
    Rendezvous_force(rv);
    EXPECT_TRUE(finishes(a));
    EXPECT_TRUE(finishes(b));
    EXPECT_EQ(Rendezvous_delete(rv), 0);
}

TEST(Rendezvous, ForceAndResetReleasesWaitersThenCountsAgain)
{
    Rendezvous_Handle rv = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
    ASSERT_NE(rv, nullptr);
    auto waiter = launch([&] { Rendezvous_meet(rv); });
    EXPECT_TRUE(stillBlocked(waiter));
    Rendezvous_forceAndReset(rv);
    EXPECT_TRUE(finishes(waiter));
    // Not forced afterwards: the next meeting needs both parties again.
    auto one = launch([&] { Rendezvous_meet(rv); });
    EXPECT_TRUE(stillBlocked(one));
    auto two = launch([&] { Rendezvous_meet(rv); });
    EXPECT_TRUE(finishes(one));
    EXPECT_TRUE(finishes(two));
    EXPECT_EQ(Rendezvous_delete(rv), 0);
}

TEST(Rendezvous, CreateChecksCountAndAttrs)
{
    Media_setTraceLevel(Media_LEVEL_ERRORS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Rendezvous_create(-2, &Rendezvous_Attrs_DEFAULT), nullptr);
    EXPECT_EQ(Rendezvous_create(2, nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[Rendezvous] Count (-2) must be > 0\n[Rendezvous] NULL attrs not supported\n");
    // A count of 0 never waits.
    Rendezvous_Handle rv = Rendezvous_create(0, &Rendezvous_Attrs_DEFAULT);
    ASSERT_NE(rv, nullptr);
    Rendezvous_meet(rv);
    Rendezvous_meet(rv);
    EXPECT_EQ(Rendezvous_delete(rv), 0);
    EXPECT_EQ(Rendezvous_delete(nullptr), 0);
}

TEST(Pause, OffGatePassesOnGateHoldsUntilSwitchedOff)
{
    Pause_Handle gate = Pause_create(&Pause_Attrs_DEFAULT);
    ASSERT_NE(gate, nullptr);
    Pause_test(gate); // starts off
    Pause_on(gate);
    std::vector<std::future<void>> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.push_back(launch([&] { Pause_test(gate); }));
    }
    for (auto &w : waiters) {
        EXPECT_TRUE(stillBlocked(w));
    }
    Pause_off(gate);
    for (auto &w : waiters) {
        EXPECT_TRUE(finishes(w));
    }
    Pause_off(gate); // off twice is harmless
    Pause_test(gate);
    EXPECT_EQ(Pause_delete(gate), 0);
    EXPECT_EQ(Pause_delete(nullptr), 0);
}

TEST(Pause, WaiterReleasedEvenIfGateGoesOnAgainAtOnce)
{
    Pause_Handle gate = Pause_create(nullptr);
    ASSERT_NE(gate, nullptr);
    Pause_on(gate);
    auto waiter = launch([&] { Pause_test(gate); });
    EXPECT_TRUE(stillBlocked(waiter));
    Pause_off(gate);
    Pause_on(gate);
    EXPECT_TRUE(finishes(waiter));
    // A thread arriving now waits for the next switch-off.
    auto next = launch([&] { Pause_test(gate); });
    EXPECT_TRUE(stillBlocked(next));
    Pause_off(gate);
    EXPECT_TRUE(finishes(next));
    EXPECT_EQ(Pause_delete(gate), 0);
}
