// A fresh ENCODE_ROOT per test: laid by scripts/mkroot.sh (or empty), removed afterwards. A factory
// root gets the glyph tables of this build tree (ENCODE_BINARY_DIR) when they have been built.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

class TempRoot {
public:
    explicit TempRoot(bool factory = false)
    {
        char tmpl[] = "/tmp/encode-root-XXXXXX";
        const char *made = mkdtemp(tmpl);
        if (made == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        dir_ = made;
        if (factory) {
            std::string cmd = std::string("bash ") + ENCODE_SOURCE_DIR + "/scripts/mkroot.sh " + dir_;
#ifdef ENCODE_BINARY_DIR
            cmd += std::string(" '") + ENCODE_BINARY_DIR + "'";
#endif
            if (std::system(cmd.c_str()) != 0) {
                ADD_FAILURE() << "mkroot failed";
            }
        } else {
            std::filesystem::create_directories(dir_ + "/mnt");
            std::filesystem::create_directories(dir_ + "/tmp");
        }
        setenv("ENCODE_ROOT", dir_.c_str(), 1);
    }
    ~TempRoot()
    {
        unsetenv("ENCODE_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &systemPath) const { return dir_ + systemPath; }

    void write(const std::string &systemPath, const std::string &content) const
    {
        std::filesystem::create_directories(std::filesystem::path(path(systemPath)).parent_path());
        std::ofstream(path(systemPath), std::ios::binary) << content;
    }
    std::string read(const std::string &systemPath) const
    {
        std::ifstream in(path(systemPath), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string &systemPath) const { return std::filesystem::exists(path(systemPath)); }

private:
    std::string dir_;
};

// The reader's end of a hand-off FIFO (blocking reads), once its writer has made it and opened it up
// to everyone; -1 when that does not happen within `timeoutMs`.
inline int openFifoReaderWhenMade(const std::string &path, int timeoutMs)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0 || (st.st_mode & 0777) != 0777) {
        if (std::chrono::steady_clock::now() >= until) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFL, 0);
    }
    return fd;
}
