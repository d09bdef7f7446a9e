// The watchdog thread: feeds /dev/watchdog once a second for as long as the process lives and drives
// the board control device /dev/kavex (video signal state every second, the periodic command, and
// on ra202 boards the SDI/jack audio choice once at start). The watchdog is never closed, so the
// board resets once the encoder process has gone: that is how the appliance restarts after a fatal
// error.
#pragma once

// Board control device commands: the ioctl request number is the command itself and the third
// argument a plain integer.
inline constexpr unsigned long KAVEX_CMD_SIGNAL = 0;      // 1: video arriving, 0: no signal
inline constexpr unsigned long KAVEX_CMD_PERIODIC = 1;    // argument 0
inline constexpr unsigned long KAVEX_CMD_AUDIO_INPUT = 7; // 1: SDI embedded audio, 0: 3.5 mm jack

inline constexpr int WATCHDOG_TIMEOUT_SECONDS = 40;
inline constexpr int WATCHDOG_PERIOD_SECONDS = 1;

// The device calls the thread makes. The default is the kernel; tests install a recorder.
struct WatchdogDevice {
    int (*open)(const char *path, int flags);
    int (*ioctl)(int fd, unsigned long request, void *arg);
    int (*close)(int fd);
    void (*sleepSeconds)(unsigned seconds);
};
// nullptr puts the kernel back. Install before the thread starts.
void Watchdog_setDevice(const WatchdogDevice *device);

// The thread function (started with default attributes, never joined). `arg` is unused: the ra202
// flag comes from the output switches, the signal state from the no-signal flag.
void *watchdogThrFxn(void *arg);

// The thread's body with a bound on the keep-alive rounds (negative: for ever), so that a test can
// watch a few rounds and get its thread back. A missing watchdog parks the thread for `rounds`
// periods (for ever when negative).
void Watchdog_run(int rounds);
