// A UDP receiver on 127.0.0.1 that keeps every datagram with its arrival time, in a thread of its own
// while the test does other things: what a player on the network would get from the encoder.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
            ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
            if (n <= 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            got_.push_back({Clock::now(), std::vector<uint8_t>(buf.begin(), buf.begin() + n)});
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Datagram> got_;
    std::thread thread_;
};
