// A stand-in for the WebRTC server on its UNIX socket, for the tests of what is relayed to it: it
// records each request and answers it with a fixed reply, or holds it without a word.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Listens on the root's socket and answers every connection with `reply` once the whole request
// (its head and Content-Length) is in; with an empty reply it holds the connection and says nothing.
class StandInServer {
public:
    StandInServer(const std::string &path, std::string reply) : reply_(std::move(reply))
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path;
        EXPECT_EQ(::listen(fd_, 4), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInServer()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::vector<std::string> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p {fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) {
                continue;
            }
            std::string got = readRequest(c);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(got);
            }
            if (!reply_.empty()) {
                (void)!::write(c, reply_.data(), reply_.size());
            } else {
                while (!stop_ && ::poll(&p, 0, 50) == 0) {
                }
            }
            ::close(c);
        }
    }
    std::string readRequest(int c)
    {
        std::string got;
        size_t wanted = std::string::npos;
        char buf[4096];
        while (got.size() < wanted && !stop_) {
            pollfd p {c, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
            size_t end = got.find("\r\n\r\n");
            size_t cl = got.find("Content-Length: ");
            if (end != std::string::npos && cl != std::string::npos && cl < end) {
                wanted = end + 4 + std::stoul(got.substr(cl + 16));
            }
        }
        return got;
    }

    int fd_ = -1;
    std::string reply_;
    std::atomic<bool> stop_ {false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
