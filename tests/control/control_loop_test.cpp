// The control loop as one party among stand-in stage threads: the prompt, the quit polling, and the
// release of everyone when the engine cannot be opened.
#include "encode/control/control_loop.h"
#include "encode/codec/engine.h"

#include "encode/core/shared_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class ControlLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SharedStatus_reset();
        hPause_ = Pause_create(&Pause_Attrs_DEFAULT);
        hInit_ = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
        hCleanup_ = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
        env_.hRendezvousInit = hInit_;
        env_.hRendezvousCleanup = hCleanup_;
        env_.hPauseProcess = hPause_;
        env_.engineName = ENGINE_NAME;
    }
    void TearDown() override
    {
        Rendezvous_delete(hInit_);
        Rendezvous_delete(hCleanup_);
        Pause_delete(hPause_);
        SharedStatus_reset();
    }

    Pause_Handle hPause_ = nullptr;
    Rendezvous_Handle hInit_ = nullptr;
    Rendezvous_Handle hCleanup_ = nullptr;
    ControlThreadParams env_{};
};

TEST_F(ControlLoopTest, PromptOnceAfterStartThenReturnsSoonAfterQuit)
{
    env_.keyboard = 1;
    std::atomic<void *> result{nullptr};
    std::atomic<bool> done{false};
    testing::internal::CaptureStdout();
    std::thread loop([&] {
        result = ctrlThrFxn(&env_);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::fflush(stdout);
    EXPECT_FALSE(done.load());
    Rendezvous_meet(hInit_); // the stage thread's side of the start

    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_FALSE(done.load()); // still waiting for quit
    auto quitAt = std::chrono::steady_clock::now();
    SharedStatus_setQuit();
    Rendezvous_meet(hCleanup_);
    loop.join();
    auto took = std::chrono::steady_clock::now() - quitAt;
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result.load(), THREAD_SUCCESS);
    EXPECT_EQ(out, "Command [ 'help' for usage ] > ");
    EXPECT_LT(took, std::chrono::seconds(3)); // one poll period, with room for a loaded machine
}

TEST_F(ControlLoopTest, NoPromptWithoutKeyboard)
{
    testing::internal::CaptureStdout();
    std::thread loop([&] { ctrlThrFxn(&env_); });
    Rendezvous_meet(hInit_);
    SharedStatus_setQuit();
    Rendezvous_meet(hCleanup_);
    loop.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(ControlLoopTest, EngineFailureSetsQuitAndReleasesEveryone)
{
    env_.engineName = "no-such-engine";
    Pause_on(hPause_);
    std::atomic<bool> passedGate{false};
    std::thread stage([&] {
        Pause_test(hPause_);
        passedGate = true;
        Rendezvous_meet(hInit_); // forced open by the loop
        Rendezvous_meet(hCleanup_);
    });
    testing::internal::CaptureStderr();
    void *r = ctrlThrFxn(&env_);
    std::string err = testing::internal::GetCapturedStderr();
    stage.join();

    EXPECT_EQ(r, THREAD_FAILURE);
    EXPECT_EQ(err, "Error: Failed to open codec engine no-such-engine\n");
    EXPECT_EQ(SharedStatus_getQuit(), 1);
    EXPECT_TRUE(passedGate.load());
}

} // namespace
