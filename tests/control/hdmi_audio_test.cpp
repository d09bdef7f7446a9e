// The HDMI audio supervisor against a scripted bus: the status chip answers from a list of values,
// every other chip keeps what is written to it. Each run is compared as one timeline of bus transfers
// and pauses, which fixes the sequences, their read-backs and where the holds fall.
#include "encode/control/hdmi_audio.h"

#include "encode/control/i2c.h"
#include "encode/core/output_switches.h"
#include "encode/core/shared_status.h"
#include "encode/core/stage_thread.h"
#include "tests/support/temp_root.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Timeline = std::vector<std::string>;

constexpr int kFd = 31;
constexpr int kBusFail = -1;      // the status access fails before its transfer
constexpr int kTransferFail = -2; // the status read transfer fails

struct ScriptedBus {
    std::deque<int> status; // answers of 0x23/0x64, one per poll; 0 once used up
    std::map<std::pair<int, int>, int> regs;
    int address = -1;
    Timeline timeline;
    std::vector<int> lockedAtSleep;
    int quitAtSleep = -1; // raise quit inside this pause (counted from 0)
    int sleeps = 0;
};

ScriptedBus *bus = nullptr;

std::string hex(int chip, int reg)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02X/%02X", chip, reg);
    return text;
}

int fakeOpen(const char *, int)
{
    return kFd;
}

int fakeClose(int)
{
    return 0;
}

int smbus(i2c_smbus_ioctl_data *a)
{
    int reg = a->command;
    if (a->read_write == I2C_SMBUS_WRITE) {
        bus->regs[{bus->address, reg}] = a->data->byte;
        char value[8];
        std::snprintf(value, sizeof value, "=%02X", a->data->byte);
        bus->timeline.push_back("W " + hex(bus->address, reg) + value);
        return 0;
    }
    bus->timeline.push_back("R " + hex(bus->address, reg));
    if (bus->address == 0x23 && reg == 0x64) {
        int answer = bus->status.empty() ? 0 : bus->status.front();
        if (!bus->status.empty()) {
            bus->status.pop_front();
        }
        if (answer == kTransferFail) {
            errno = EIO;
            return -1;
        }
        a->data->byte = static_cast<__u8>(answer);
        return 0;
    }
    a->data->byte = static_cast<__u8>(bus->regs[{bus->address, reg}]);
    return 0;
}

int fakeIoctl(int, unsigned long request, void *arg)
{
    if (request == I2C_FUNCS) {
        *static_cast<unsigned long *>(arg) = I2C_FUNC_SMBUS_READ_BYTE_DATA | I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
        return 0;
    }
    if (request == I2C_SLAVE_FORCE) {
        bus->address = static_cast<int>(reinterpret_cast<unsigned long>(arg));
        if (bus->address == 0x23 && !bus->status.empty() && bus->status.front() == kBusFail) {
            bus->status.pop_front();
            errno = EBUSY;
            return -1;
        }
        return 0;
    }
    if (request == I2C_SMBUS) {
        return smbus(static_cast<i2c_smbus_ioctl_data *>(arg));
    }
    errno = ENOTTY;
    return -1;
}

const I2cTransport kScripted = {fakeOpen, fakeIoctl, fakeClose};

void fakeSleep(unsigned ms)
{
    bus->timeline.push_back("S " + std::to_string(ms));
    bus->lockedAtSleep.push_back(HdmiAudio_locked());
    // A supervisor that never ends still ends the test.
    if (bus->sleeps == bus->quitAtSleep || bus->sleeps > 1000) {
        SharedStatus_setQuit();
    }
    bus->sleeps++;
}

// Expected timelines, written down from the chips' documented sequences.
struct Write {
    int chip, reg, value;
    bool verify;
    unsigned holdMs;
};

void append(Timeline &t, std::initializer_list<Write> writes)
{
    for (const Write &w : writes) {
        char value[8];
        std::snprintf(value, sizeof value, "=%02X", w.value);
        t.push_back("W " + hex(w.chip, w.reg) + value);
        if (w.verify) {
            t.push_back("R " + hex(w.chip, w.reg));
        }
        if (w.holdMs != 0) {
            t.push_back("S " + std::to_string(w.holdMs));
        }
    }
}

void initial(Timeline &t)
{
    append(t, {{0x18, 0x08, 0xC0, false, 0}, {0x18, 0x13, 0x04, false, 0}, {0x18, 0x16, 0x04, false, 0},
               {0x18, 0x03, 0x92, false, 0}, {0x31, 0xF0, 0x10, true, 0},  {0x31, 0xF1, 0x0F, true, 0},
               {0x31, 0xF4, 0x20, true, 0},  {0x35, 0x00, 0x01, true, 0},  {0x35, 0x01, 0x48, true, 0},
               {0x35, 0x03, 0x18, true, 0},  {0x35, 0x15, 0xEC, true, 0},  {0x35, 0x1C, 0x58, true, 0},
               {0x35, 0x1D, 0x04, true, 0},  {0x35, 0x3C, 0x42, true, 0},  {0x35, 0x3D, 0x40, true, 0},
               {0x35, 0x5A, 0x01, false, 0}, {0x35, 0x02, 0x10, true, 0}});
}

// One unlocked poll whose status read reached the chip (or not): re-initialisation and two pauses.
void unlockedPoll(Timeline &t, bool statusRead = true)
{
    if (statusRead) {
        t.push_back("R 23/64");
    }
    append(t, {{0x35, 0x02, 0x10, true, 0},  {0x18, 0x08, 0xC0, false, 0}, {0x18, 0x13, 0x04, false, 0},
               {0x18, 0x16, 0x04, false, 0}, {0x18, 0x03, 0x92, false, 0}, {0x35, 0x01, 0x80, true, 100},
               {0x35, 0x01, 0x48, true, 0},  {0x35, 0x7A, 0x01, false, 100}, {0x31, 0xF0, 0x10, true, 0},
               {0x31, 0xF1, 0x0F, true, 0},  {0x31, 0xF4, 0x20, true, 0},  {0x35, 0x00, 0x01, true, 0},
               {0x35, 0x03, 0x18, true, 0},  {0x35, 0x15, 0xEC, true, 0},  {0x35, 0x1C, 0x58, true, 0},
               {0x35, 0x1D, 0x04, true, 0},  {0x35, 0x3C, 0x42, true, 0},  {0x35, 0x3D, 0x40, true, 0},
               {0x35, 0x5A, 0x01, false, 0}, {0x35, 0x02, 0x10, true, 0}});
    t.insert(t.end(), {"S 500", "S 500"});
}

void lockingPoll(Timeline &t)
{
    t.push_back("R 23/64");
    append(t, {{0x35, 0x02, 0x22, true, 0}, {0x18, 0x08, 0x20, true, 0}, {0x18, 0x13, 0x00, true, 0},
               {0x18, 0x16, 0x00, true, 0}, {0x18, 0x03, 0x12, true, 0}});
    t.push_back("S 500");
}

void heldPoll(Timeline &t)
{
    t.insert(t.end(), {"R 23/64", "S 500"});
}

const char *const kAmixerLine = "/usr/bin/amixer cset numid=27,iface=MIXER,name='PGA Capture Switch' 0\n";

class HdmiAudioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The root also keeps amixer from running on the test host: it is only logged.
        SharedStatus_reset();
        OutputSwitches_reset();
        bus = &fake;
        I2c_setTransport(&kScripted);
        HdmiAudio_setSleep(fakeSleep);
    }
    void TearDown() override
    {
        HdmiAudio_setSleep(nullptr);
        I2c_setTransport(nullptr);
        bus = nullptr;
        OutputSwitches_reset();
        SharedStatus_reset();
    }
    void setRa202(int on)
    {
        OutputSwitches s = OutputSwitches_get();
        s.ra202 = on;
        OutputSwitches_set(s);
    }
    TempRoot root;
    ScriptedBus fake;
};

} // namespace

TEST_F(HdmiAudioTest, LockHeldForManyPollsWritesTheLockSequenceOnce)
{
    fake.status = {0x83, 0x83, 0xFF, 0x83, 0x87, 0xFF, 0x83, 0x83};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    HdmiAudio_run(8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    Timeline expected;
    initial(expected);
    lockingPoll(expected);
    for (int i = 1; i < 8; i++) {
        heldPoll(expected);
    }
    EXPECT_EQ(fake.timeline, expected);
    EXPECT_EQ(fake.lockedAtSleep, std::vector<int>(8, 1));
    EXPECT_EQ(HdmiAudio_locked(), 1);
    EXPECT_EQ(root.read("/tmp/shell.log"), kAmixerLine);
}

TEST_F(HdmiAudioTest, LockLostAndRegainedReinitialisesThenLocksAgain)
{
    // 0x82 and 0x03 miss a lock bit; 0xC3 carries all three.
    fake.status = {0x03, 0x83, 0x82, 0x00, 0xC3, 0x83};
    HdmiAudio_run(6);

    Timeline expected;
    initial(expected);
    unlockedPoll(expected);
    lockingPoll(expected);
    unlockedPoll(expected);
    unlockedPoll(expected);
    lockingPoll(expected);
    heldPoll(expected);
    EXPECT_EQ(fake.timeline, expected);
    // The word drops before the re-initialisation's first hold and rises with the lock.
    std::vector<int> lockedAtSleep = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1};
    EXPECT_EQ(fake.lockedAtSleep, lockedAtSleep);
    EXPECT_EQ(HdmiAudio_locked(), 1);
}

TEST_F(HdmiAudioTest, FailedStatusReadsCountAsUnlocked)
{
    // A bus that cannot be addressed gives -1, whose bits would pass the lock test: it must not.
    fake.status = {0x83, kTransferFail, 0x83, kBusFail, 0x83};
    testing::internal::CaptureStderr();
    HdmiAudio_run(5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Read failed\nError: Could not set address to 0x23: Device or resource busy\n");

    Timeline expected;
    initial(expected);
    lockingPoll(expected);
    unlockedPoll(expected);
    lockingPoll(expected);
    unlockedPoll(expected, false);
    lockingPoll(expected);
    EXPECT_EQ(fake.timeline, expected);
    std::vector<int> lockedAtSleep = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(fake.lockedAtSleep, lockedAtSleep);
}

TEST_F(HdmiAudioTest, Ra202BoardSetsTheLockedSettingsAndEnds)
{
    setRa202(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(hdmiAudioThreadFxn(nullptr), THREAD_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ra202===================\n");

    Timeline expected;
    append(expected, {{0x18, 0x08, 0x20, true, 0},
                      {0x18, 0x13, 0x00, true, 0},
                      {0x18, 0x16, 0x00, true, 0},
                      {0x18, 0x03, 0x12, true, 0}});
    EXPECT_EQ(fake.timeline, expected);
    EXPECT_EQ(HdmiAudio_locked(), 1);
    EXPECT_EQ(SharedStatus_getQuit(), 0);
    EXPECT_EQ(root.read("/tmp/shell.log"), kAmixerLine);

    // A later start on another board does not inherit the lock.
    setRa202(0);
    HdmiAudio_run(0);
    EXPECT_EQ(HdmiAudio_locked(), 0);
}

TEST_F(HdmiAudioTest, QuitEndsTheSupervisorInsideASequence)
{
    // Quit raised in the re-initialisation's first hold: nothing more reaches the chips.
    fake.quitAtSleep = 0;
    EXPECT_EQ(hdmiAudioThreadFxn(nullptr), THREAD_SUCCESS);
    ASSERT_GE(fake.timeline.size(), 3u);
    Timeline tail(fake.timeline.end() - 3, fake.timeline.end());
    EXPECT_EQ(tail, (Timeline{"W 35/01=80", "R 35/01", "S 100"}));

    // Quit raised while a lock holds.
    fake = ScriptedBus{};
    SharedStatus_reset();
    fake.status = {0x83, 0x83, 0x83};
    fake.quitAtSleep = 1;
    EXPECT_EQ(hdmiAudioThreadFxn(nullptr), THREAD_SUCCESS);
    Timeline expected;
    initial(expected);
    lockingPoll(expected);
    heldPoll(expected);
    EXPECT_EQ(fake.timeline, expected);

    // Quit already set: the chips are set up, the status is never polled.
    fake = ScriptedBus{};
    expected.clear();
    initial(expected);
    EXPECT_EQ(hdmiAudioThreadFxn(nullptr), THREAD_SUCCESS);
    EXPECT_EQ(fake.timeline, expected);
}

TEST_F(HdmiAudioTest, QuitEndsTheRunningThreadWithinAFractionOfASecond)
{
    HdmiAudio_setSleep(nullptr); // real pauses, an unlocked chip: 1.2 s per poll
    std::thread supervisor(hdmiAudioThreadFxn, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(250)); // inside the first 500 ms pause
    auto raised = std::chrono::steady_clock::now();
    SharedStatus_setQuit();
    supervisor.join();
    auto took = std::chrono::steady_clock::now() - raised;
    EXPECT_LT(took, std::chrono::milliseconds(250));
    EXPECT_EQ(fake.timeline.front(), "W 18/08=C0");
    EXPECT_NE(std::find(fake.timeline.begin(), fake.timeline.end(), "R 23/64"), fake.timeline.end());
    EXPECT_EQ(HdmiAudio_locked(), 0);
}
