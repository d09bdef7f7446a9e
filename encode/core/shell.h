// The one way the system runs a shell command. On the appliance the command goes to /bin/sh as it
// stands. Under ENCODE_ROOT the system paths inside it are rooted, file commands (cp, rm, chmod, touch,
// echo into a file, /mnt/fn.sh) run, and host commands (reboot, sync, amixer, writes under /proc or
// /sys) are appended to $ENCODE_ROOT/tmp/shell.log instead, so that a test sees what was asked for.
//
// Callers pass fixed command texts (and system paths) only: no form value or network input is ever
// part of a command line.
//
// A program that runs without root (the web server's programs run as their own user) asks for the
// one host command that needs it, the reboot, through `sudo -n`, which the box's sudo rules allow
// for that user and that command alone (web/server/sudoers.encoder-web); the others need no root
// (sync) or only the audio group (amixer, alsactl).
#pragma once

#include <string>
#include <string_view>

// Shell_run's answer when no shell could be started or it did not exit by itself; otherwise the answer
// is the shell's exit status (0 for a recorded host command).
inline constexpr int Shell_ENOSHELL = -1;

// Runs (or records) the command. Returns the shell's exit status, 0 for a recorded host command, and
// Shell_ENOSHELL when the shell could not be started or was killed.
int Shell_run(std::string_view command);

// The command with every system path under ENCODE_ROOT (the command unchanged when not rooted).
std::string Shell_rootCommand(std::string_view command);

// True for commands that act on the host rather than on files (recorded, not run, under ENCODE_ROOT).
bool Shell_isHostCommand(std::string_view command);

// The line the shell is given for a command run by a process of effective user `euid` (not rooted).
std::string Shell_hostLine(std::string_view command, unsigned euid);
