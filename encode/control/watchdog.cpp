// Watchdog and board control device supervisor. Runs in its own thread so that its timing never
// depends on the pipeline: a stalled stage does not stop the keep-alive, only the end of the whole
// process does. Reads the no-signal flag (an atomic written by the capture side) and the output
// switches; touches nothing else shared. Every ioctl result is ignored on purpose: a failing command
// must not stop the keep-alive.
#include "encode/control/watchdog.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "encode/core/no_signal.h"
#include "encode/core/output_switches.h"
#include "encode/core/stage_thread.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

namespace {

int kernelOpen(const char *path, int flags)
{
    return ::open(path, flags | O_CLOEXEC);
}

int kernelIoctl(int fd, unsigned long request, void *arg)
{
    return ::ioctl(fd, request, arg);
}

int kernelClose(int fd)
{
    return ::close(fd);
}

void kernelSleep(unsigned seconds)
{
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

const WatchdogDevice kKernel = {kernelOpen, kernelIoctl, kernelClose, kernelSleep};

std::atomic<const WatchdogDevice *> device{&kKernel};

void *intArg(int value)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(value));
}

void line(const char *text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// The ra202 board's audio source: SDI embedded audio when /mnt/ha.ini starts with '1', else the jack.
int audioInputChoice()
{
    FlagRead ha = Config_readFlag("/mnt/ha.ini");
    if (ha.state != FileState::Read) {
        line("no ha.ini");
        return 0;
    }
    std::printf("ha.ini read=%d\n", ha.digit());
    if (ha.on()) {
        line(">>>>>>>>>>>sdi audio select");
        return 1;
    }
    line(">>>>>>>>>>>3.5 audio select");
    return 0;
}

} // namespace

void Watchdog_setDevice(const WatchdogDevice *dev)
{
    device.store(dev != nullptr ? dev : &kKernel);
}

// Asks the driver for the timeout the console announces, so that the announcement holds.
static void setTimeout(const WatchdogDevice *dev, int wdt)
{
    std::printf("The actual timeout was set to %d seconds\n", WATCHDOG_TIMEOUT_SECONDS);
    std::fflush(stdout);
    int timeout = WATCHDOG_TIMEOUT_SECONDS;
    dev->ioctl(wdt, WDIOC_SETTIMEOUT, &timeout);
    timeout = 0;
    dev->ioctl(wdt, WDIOC_GETTIMEOUT, &timeout);
    std::printf("Now reading back -- The timeout is %d seconds\n", timeout);
    std::fflush(stdout);
}

void Watchdog_run(int rounds)
{
    const WatchdogDevice *dev = device.load();

    line("kavex watchdog start");
    std::printf("Starting wdt_driver (timeout: %d, sleep: %d, test: %s)\n", WATCHDOG_TIMEOUT_SECONDS,
                WATCHDOG_PERIOD_SECONDS, "ioctl");
    std::fflush(stdout);

    std::string watchdogPath = Path_resolve("/dev/watchdog");
    int wdt = dev->open(watchdogPath.c_str(), O_WRONLY);
    if (wdt < 0) {
        // Without a watchdog there is nothing to keep alive; the board device stays untouched too.
        line("error open watchdog");
        for (int i = 0; rounds < 0 || i < rounds; i++) {
            dev->sleepSeconds(WATCHDOG_PERIOD_SECONDS);
        }
        return;
    }

    std::string kavexPath = Path_resolve("/dev/kavex");
    int kavex = dev->open(kavexPath.c_str(), O_RDONLY);
    if (kavex < 0) {
        line("error open watchdog");
    }

    if (OutputSwitches_get().ra202 == 1) {
        int sdi = audioInputChoice();
        if (kavex >= 0) {
            dev->ioctl(kavex, KAVEX_CMD_AUDIO_INPUT, intArg(sdi));
        }
    }

    line("++++++++++open kavex ok");
    setTimeout(dev, wdt);

    for (int i = 0; rounds < 0 || i < rounds; i++) {
        int dummy = 0;
        dev->ioctl(wdt, WDIOC_KEEPALIVE, &dummy);
        if (kavex >= 0) {
            dev->ioctl(kavex, KAVEX_CMD_SIGNAL, intArg(NoSignal_get() == 0 ? 1 : 0));
            dev->ioctl(kavex, KAVEX_CMD_PERIODIC, intArg(0));
        }
        dev->sleepSeconds(WATCHDOG_PERIOD_SECONDS);
    }
    // Only a bounded (test) run gets here. The kernel's descriptors stay open in a real run: closing
    // the watchdog would disarm the restart.
    if (kavex >= 0) {
        dev->close(kavex);
    }
    dev->close(wdt);
}

void *watchdogThrFxn(void *)
{
    Watchdog_run(-1);
    return THREAD_SUCCESS;
}
