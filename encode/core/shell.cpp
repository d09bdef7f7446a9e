// Shell command seam. Threads: any (the CGIs, the main thread at shutdown, the recorder, the HDMI
// supervisor); the log append is one write(2) of a whole line on an O_APPEND descriptor, so lines of
// concurrent callers never interleave.
#include "encode/core/shell.h"

#include "encode/core/paths.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char **environ;

namespace {

// The top-level directories whose paths are system paths (and so move under ENCODE_ROOT).
constexpr std::array<std::string_view, 7> kRootedDirs = {"/mnt", "/tmp", "/dev", "/proc", "/sys", "/var", "/media"};

constexpr std::array<std::string_view, 8> kHostPrograms = {
    "reboot", "/sbin/reboot", "sync", "/bin/sync", "amixer", "/usr/bin/amixer", "alsactl", "/usr/sbin/alsactl",
};

bool isSystemPath(std::string_view token)
{
    for (std::string_view dir : kRootedDirs) {
        if (token.substr(0, dir.size()) == dir && (token.size() == dir.size() || token[dir.size()] == '/')) {
            return true;
        }
    }
    return false;
}

std::string_view firstWord(std::string_view command)
{
    size_t b = command.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    size_t e = command.find_first_of(" \t;&|><", b);
    return command.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
}

// Single-quotes the root so that a root with blanks still works while globs in the rest of the path
// stay live for the shell.
std::string quotedRoot(const std::string &root)
{
    std::string q = "'";
    for (char c : root) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    q += "'";
    return q;
}

void appendLog(std::string_view command)
{
    std::string path = Path_resolve("/tmp/shell.log");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string line(command);
    line += '\n';
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
    ::close(fd);
}

} // namespace

bool Shell_isHostCommand(std::string_view command)
{
    std::string_view word = firstWord(command);
    for (std::string_view host : kHostPrograms) {
        if (word == host) {
            return true;
        }
    }
    // Redirections into the kernel's files (drop_caches and the like) act on the host.
    for (size_t pos = command.find('>'); pos != std::string_view::npos; pos = command.find('>', pos + 1)) {
        size_t b = command.find_first_not_of("> \t", pos);
        if (b == std::string_view::npos) {
            break;
        }
        std::string_view target = command.substr(b);
        if (target.substr(0, 6) == "/proc/" || target.substr(0, 5) == "/sys/") {
            return true;
        }
    }
    return false;
}

std::string Shell_rootCommand(std::string_view command)
{
    std::string root = Path_root();
    if (root.empty()) {
        return std::string(command);
    }
    const std::string prefix = quotedRoot(root);
    std::string out;
    out.reserve(command.size() + 4 * prefix.size());
    size_t i = 0;
    while (i < command.size()) {
        // A path starts a word, or follows a redirection or an assignment's '='.
        bool wordStart = i == 0 || command[i - 1] == ' ' || command[i - 1] == '\t' || command[i - 1] == '>' ||
                         command[i - 1] == '<' || command[i - 1] == '=' || command[i - 1] == ';';
        if (wordStart && command[i] == '/') {
            size_t e = command.find_first_of(" \t;&|><", i);
            std::string_view token = command.substr(i, e == std::string_view::npos ? std::string_view::npos : e - i);
            if (isSystemPath(token)) {
                out += prefix;
            }
            out += token;
            i += token.size();
            continue;
        }
        out += command[i++];
    }
    return out;
}

std::string Shell_hostLine(std::string_view command, unsigned euid)
{
    std::string_view word = firstWord(command);
    if (euid != 0 && (word == "reboot" || word == "/sbin/reboot")) {
        return "sudo -n /sbin/reboot";
    }
    return std::string(command);
}

int Shell_run(std::string_view command)
{
    if (Path_isRooted() && Shell_isHostCommand(command)) {
        appendLog(command);
        return 0;
    }
    std::string line = Path_isRooted() ? Shell_rootCommand(command) : Shell_hostLine(command, ::geteuid());
    const char *argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
        return Shell_ENOSHELL;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return Shell_ENOSHELL;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : Shell_ENOSHELL;
}
