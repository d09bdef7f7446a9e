// A UDP receiver on 127.0.0.1 that keeps every datagram with its arrival time, in a thread of its own
// while the test does other things: what a player on the network would get from the encoder. The
// arrival time is the kernel's (SO_TIMESTAMPNS), so that a pause is the sender's and not this
// thread's own wait for a processor on a loaded machine.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class UdpCapture {
public:
    using Clock = std::chrono::steady_clock;

    struct Datagram {
        Clock::time_point at;
        std::vector<uint8_t> bytes;
    };

    UdpCapture()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~UdpCapture()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    UdpCapture(const UdpCapture &) = delete;
    UdpCapture &operator=(const UdpCapture &) = delete;

    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }

    std::vector<Datagram> datagrams()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_.size();
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        got_.clear();
    }
    // True once at least `n` datagrams came, within `seconds`.
    bool waitFor(size_t n, double seconds)
    {
        auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < until) {
            if (count() >= n) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Everything received so far, as one transport stream file.
    void save(const std::string &path)
    {
        std::ofstream out(path, std::ios::binary);
        for (const Datagram &d : datagrams()) {
            out.write(reinterpret_cast<const char *>(d.bytes.data()), static_cast<std::streamsize>(d.bytes.size()));
        }
    }

private:
    void run()
    {
        std::vector<uint8_t> buf(65536);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            iovec iov{buf.data(), buf.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr m{};
            m.msg_iov = &iov;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd_, &m, 0);
            if (n <= 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            got_.push_back({arrival(m), std::vector<uint8_t>(buf.begin(), buf.begin() + n)});
        }
    }

    // The kernel's receive time (the wall clock) as a time of the steady clock the tests measure with.
    static Clock::time_point arrival(msghdr &m)
    {
        Clock::time_point now = Clock::now();
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                timespec wall{};
                clock_gettime(CLOCK_REALTIME, &wall);
                int64_t agoNs = (int64_t(wall.tv_sec) - at.tv_sec) * 1000000000 + (wall.tv_nsec - at.tv_nsec);
                if (agoNs >= 0) {
                    return now - std::chrono::nanoseconds(agoNs);
                }
            }
        }
        return now;
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Datagram> got_;
    std::thread thread_;
};
