// The watchdog thread against a recording device seam: which nodes it opens and how, and the order
// and arguments of every command it sends.
#include "encode/control/watchdog.h"

#include "encode/core/no_signal.h"
#include "encode/core/output_switches.h"
#include "tests/support/temp_root.h"

#include <fcntl.h>
#include <linux/watchdog.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kWdtFd = 50;
constexpr int kKavexFd = 51;

struct Call {
    int fd;
    unsigned long request;
    long arg; // plain integer argument; for the watchdog requests the int pointed at (before the call)
    bool operator==(const Call &o) const { return fd == o.fd && request == o.request && arg == o.arg; }
};

struct FakeDevices {
    bool watchdogPresent = true;
    bool kavexPresent = true;
    int driverTimeout = 60;
    std::vector<std::pair<std::string, int>> opened; // path, flags
    std::vector<Call> calls;
    int sleeps = 0;
    std::function<void(int)> onSleep;
    int closed = 0;
};

FakeDevices *fake = nullptr;

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int fakeOpen(const char *path, int flags)
{
    std::string p(path);
    fake->opened.emplace_back(p, flags);
    if (endsWith(p, "/dev/watchdog")) {
        return fake->watchdogPresent ? kWdtFd : -1;
    }
    if (endsWith(p, "/dev/kavex")) {
        return fake->kavexPresent ? kKavexFd : -1;
    }
    return -1;
}

int fakeIoctl(int fd, unsigned long request, void *arg)
{
    if (fd == kWdtFd) {
        int *value = static_cast<int *>(arg);
        fake->calls.push_back({fd, request, *value});
        if (request == WDIOC_SETTIMEOUT) {
            fake->driverTimeout = *value > 30 ? 30 : *value; // a driver that caps the timeout
        } else if (request == WDIOC_GETTIMEOUT) {
            *value = fake->driverTimeout;
        }
        return 0;
    }
    fake->calls.push_back({fd, request, static_cast<long>(reinterpret_cast<intptr_t>(arg))});
    return 0;
}

int fakeClose(int)
{
    fake->closed++;
    return 0;
}

void fakeSleep(unsigned seconds)
{
    EXPECT_EQ(seconds, 1u);
    fake->sleeps++;
    if (fake->onSleep) {
        fake->onSleep(fake->sleeps);
    }
}

const WatchdogDevice kFake = {fakeOpen, fakeIoctl, fakeClose, fakeSleep};

class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OutputSwitches_reset();
        NoSignal_reset();
        fake = &devices_;
        Watchdog_setDevice(&kFake);
    }
    void TearDown() override
    {
        Watchdog_setDevice(nullptr);
        fake = nullptr;
        OutputSwitches_reset();
        NoSignal_reset();
    }
    std::string run(int rounds)
    {
        testing::internal::CaptureStdout();
        Watchdog_run(rounds);
        return testing::internal::GetCapturedStdout();
    }
    void setRa202()
    {
        OutputSwitches sw{};
        sw.ra202 = 1;
        OutputSwitches_set(sw);
    }
    std::vector<Call> kavexCalls() const
    {
        std::vector<Call> out;
        for (const Call &c : devices_.calls) {
            if (c.fd == kKavexFd) {
                out.push_back(c);
            }
        }
        return out;
    }

    TempRoot root_;
    FakeDevices devices_;
};

TEST_F(WatchdogTest, FeedsTheWatchdogAndPassesTheSignalStateEverySecond)
{
    // The no-signal thread reports video after the first round, then loses it after the second.
    devices_.onSleep = [](int n) { NoSignal_set(n == 1 ? 0 : 1); };
    std::string out = run(3);

    ASSERT_EQ(devices_.opened.size(), 2u);
    EXPECT_EQ(devices_.opened[0].first, root_.dir() + "/dev/watchdog");
    EXPECT_EQ(devices_.opened[0].second & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(devices_.opened[1].first, root_.dir() + "/dev/kavex");
    EXPECT_EQ(devices_.opened[1].second & O_ACCMODE, O_RDONLY);

    std::vector<Call> expected = {
        {kWdtFd, WDIOC_SETTIMEOUT, 40},
        {kWdtFd, WDIOC_GETTIMEOUT, 0},
        // Before the no-signal thread ran the flag is -1: no signal.
        {kWdtFd, WDIOC_KEEPALIVE, 0}, {kKavexFd, 0, 0}, {kKavexFd, 1, 0},
        {kWdtFd, WDIOC_KEEPALIVE, 0}, {kKavexFd, 0, 1}, {kKavexFd, 1, 0},
        {kWdtFd, WDIOC_KEEPALIVE, 0}, {kKavexFd, 0, 0}, {kKavexFd, 1, 0},
    };
    EXPECT_EQ(devices_.calls, expected);
    EXPECT_EQ(devices_.sleeps, 3);

    EXPECT_EQ(out, "kavex watchdog start\n"
                   "Starting wdt_driver (timeout: 40, sleep: 1, test: ioctl)\n"
                   "++++++++++open kavex ok\n"
                   "The actual timeout was set to 40 seconds\n"
                   "Now reading back -- The timeout is 30 seconds\n");
}

TEST_F(WatchdogTest, Ra202SendsTheAudioChoiceOnceBeforeTheFirstKeepAlive)
{
    setRa202();
    root_.write("/mnt/ha.ini", "1\n");
    std::string out = run(2);
    ASSERT_GE(devices_.calls.size(), 3u);
    EXPECT_EQ(devices_.calls[0], (Call{kKavexFd, 7, 1}));
    EXPECT_EQ(devices_.calls[1].request, static_cast<unsigned long>(WDIOC_SETTIMEOUT));
    int sevens = 0;
    for (const Call &c : kavexCalls()) {
        sevens += c.request == 7 ? 1 : 0;
    }
    EXPECT_EQ(sevens, 1);
    EXPECT_NE(out.find("ha.ini read=1\n>>>>>>>>>>>sdi audio select\n++++++++++open kavex ok\n"), std::string::npos);
}

TEST_F(WatchdogTest, Ra202JackChoiceFromAnyOtherOrNoHaIni)
{
    setRa202();
    root_.write("/mnt/ha.ini", "0");
    std::string out = run(1);
    EXPECT_EQ(kavexCalls().front(), (Call{kKavexFd, 7, 0}));
    EXPECT_NE(out.find("ha.ini read=0\n>>>>>>>>>>>3.5 audio select\n"), std::string::npos);

    devices_ = FakeDevices{};
    root_.write("/mnt/ha.ini", "");
    out = run(1);
    EXPECT_EQ(kavexCalls().front(), (Call{kKavexFd, 7, 0}));
    EXPECT_NE(out.find("no ha.ini\n++++++++++open kavex ok\n"), std::string::npos);
}

TEST_F(WatchdogTest, OtherBoardsNeverSendTheAudioChoice)
{
    root_.write("/mnt/ha.ini", "1");
    std::string out = run(2);
    for (const Call &c : kavexCalls()) {
        EXPECT_NE(c.request, 7u);
    }
    EXPECT_EQ(out.find("ha.ini"), std::string::npos);
}

TEST_F(WatchdogTest, MissingWatchdogParksTheThreadWithoutAnyBoardCommand)
{
    setRa202();
    root_.write("/mnt/ha.ini", "1");
    devices_.watchdogPresent = false;
    std::string out = run(4);
    EXPECT_EQ(out, "kavex watchdog start\n"
                   "Starting wdt_driver (timeout: 40, sleep: 1, test: ioctl)\n"
                   "error open watchdog\n");
    EXPECT_TRUE(devices_.calls.empty());
    EXPECT_EQ(devices_.opened.size(), 1u);
    EXPECT_EQ(devices_.sleeps, 4);
}

TEST_F(WatchdogTest, MissingBoardDeviceKeepsTheWatchdogFed)
{
    devices_.kavexPresent = false;
    std::string out = run(2);
    EXPECT_NE(out.find("error open watchdog\n++++++++++open kavex ok\n"), std::string::npos);
    EXPECT_TRUE(kavexCalls().empty());
    int keepAlives = 0;
    for (const Call &c : devices_.calls) {
        keepAlives += c.request == static_cast<unsigned long>(WDIOC_KEEPALIVE) ? 1 : 0;
    }
    EXPECT_EQ(keepAlives, 2);
}

TEST(WatchdogKernelTest, AbsentNodesUnderTheRootTakeTheMissingDevicePath)
{
    TempRoot root;
    Watchdog_setDevice(nullptr);
    testing::internal::CaptureStdout();
    Watchdog_run(0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("error open watchdog\n"), std::string::npos);
}

} // namespace
