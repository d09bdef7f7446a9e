// Running programs from tests: a shell command whose output is collected, and a long-running
// program (the encoder) in a temporary root, watched through its output files and stopped by signal.
#pragma once

#include "tests/support/temp_root.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Runs a command line through the shell and returns what it wrote on standard output (append
// " 2>&1" for standard error too). The exit status goes to *status (-1 when it did not exit).
// Only fixed test texts and paths the test made go on these command lines.
inline std::string runCommand(const std::string &cmd, int *status = nullptr)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (status != nullptr) {
            *status = -1;
        }
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    int st = pclose(p);
    if (status != nullptr) {
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    return out;
}

// A program started in `root` (ENCODE_ROOT set, other variables as given), its standard output and
// error going to files under the root's tmp/. Killed when the object goes without having waited.
class ProgramRun {
public:
    using Clock = std::chrono::steady_clock;

    ProgramRun(const TempRoot &root, const std::string &binary, const std::vector<std::string> &args,
               const std::vector<std::pair<std::string, std::string>> &env = {}, const std::string &name = "program")
        : root_(root), name_(name)
    {
        std::vector<std::string> store = {binary};
        store.insert(store.end(), args.begin(), args.end());
        std::string out = root.path("/tmp/" + name + ".out");
        std::string err = root.path("/tmp/" + name + ".err");
        start_ = Clock::now();
        pid_ = fork();
        if (pid_ == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> argv;
            for (std::string &s : store) {
                argv.push_back(s.data());
            }
            argv.push_back(nullptr);
            setenv("ENCODE_ROOT", root.dir().c_str(), 1);
            // The program's TCP servers stay on loopback unless the test says otherwise.
            setenv("ENCODE_BIND_ADDRESS", "127.0.0.1", 1);
            for (const auto &[name, value] : env) {
                setenv(name.c_str(), value.c_str(), 1);
            }
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
    }
    ~ProgramRun()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;

    std::string out() const { return root_.read("/tmp/" + name_ + ".out"); }
    std::string err() const { return root_.read("/tmp/" + name_ + ".err"); }

    // True once `text` shows on standard output (within a generous time).
    bool waitForOutput(const std::string &text, int seconds = 20) const
    {
        auto until = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < until) {
            if (out().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The exit status (128 + signal when killed), or -1 when the program did not end within the time.
    int wait(int seconds = 20)
    {
        auto until = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < until) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    void signal(int sig) const { kill(pid_, sig); }
    pid_t pid() const { return pid_; }
    // Seconds since the program was started.
    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    const TempRoot &root_;
    std::string name_;
    pid_t pid_ = -1;
    bool exited_ = false;
    Clock::time_point start_;
};
