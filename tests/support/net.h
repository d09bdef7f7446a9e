// Loopback ports for tests that start servers or listen for the encoder's datagrams.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <random>
#include <vector>

// A port on 127.0.0.1 that was free a moment ago (the kernel's choice), for SOCK_STREAM or SOCK_DGRAM;
// 0 when none could be had.
inline int freeLoopbackPort(int type = SOCK_STREAM)
{
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

// An ENCODE_PORT_OFFSET that puts every one of the appliance's fixed `ports` on a free loopback port
// below the kernel's own range (so that tests running side by side do not meet); -1 when none is found.
inline int freePortOffset(const std::vector<int> &ports)
{
    auto seed = static_cast<unsigned>(getpid()) ^
                static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    for (int attempt = 0; attempt < 50; attempt++) {
        int offset = 10000 + static_cast<int>(rng() % 13000);
        bool free = true;
        for (int port : ports) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(static_cast<uint16_t>(port + offset));
            free = free && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
            close(fd);
        }
        if (free) {
            return offset;
        }
    }
    return -1;
}

// A TCP client connected to 127.0.0.1:`port`, retried until the port listens or `timeoutMs` has
// passed; -1 then. Each try is bounded too: a listener whose backlog is full drops the handshake, and
// a blocking connect would wait minutes for it.
inline int connectLoopback(int port, int timeoutMs)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ||
            (errno == EINPROGRESS && poll(&p, 1, std::max(left, 1)) == 1 &&
             getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
        close(fd);
        poll(nullptr, 0, 20);
    } while (std::chrono::steady_clock::now() < until);
    return -1;
}

// True once something listens on TCP port `port` of this host (the kernel's socket table; nothing
// connects, so a server that takes one client only is not disturbed), within `timeoutMs`.
inline bool waitListening(int port, int timeoutMs)
{
    const std::string listen = "0A";
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::ifstream in(table);
            std::string line;
            std::getline(in, line); // the heading
            while (std::getline(in, line)) {
                std::istringstream fields(line);
                std::string slot, local, remote, state;
                fields >> slot >> local >> remote >> state;
                size_t colon = local.rfind(':');
                if (state == listen && colon != std::string::npos &&
                    std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
                    return true;
                }
            }
        }
        poll(nullptr, 0, 20);
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

// Reads exactly `n` bytes within `timeoutMs`; false on end of stream, error or time out.
inline bool readExact(int fd, uint8_t *out, size_t n, int timeoutMs = 5000)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ssize_t r = read(fd, out + got, n - got);
        if (r <= 0) {
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}
