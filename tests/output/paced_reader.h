// A client that reads a live stream at a given rate, slower than it comes: what a player on a thin
// link does. The tests of the stream slots and the HTTP TS server judge the servers by it.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace paced {

using Clock = std::chrono::steady_clock;

// What a client's own kernel holds counts as taken for the server (it acknowledged it), so the test
// clients keep their receive buffer to about 20 ms of the stream (the kernel doubles it):
// what they see is then mostly the server's doing. A fixed 4 KiB would hold a reader far below its
// rate at a few MB/s.
inline int receiveBufferFor(double bytesPerSecond)
{
    return std::max(4096, static_cast<int>(bytesPerSecond / 50));
}

// The most a unit may be behind live when a reader at `readRate` gets it: the servers keep a client
// within 2 s by what its socket still holds; what the reader's own kernel holds on top (its receive
// buffer, drained at its rate) they cannot see, nor the reader's own 10 ms turns and the scheduling of
// a machine shared with other work (a tenth of a second for both).
inline double behindLimit(int fd, double readRate)
{
    int held = 0;
    socklen_t len = sizeof held;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &held, &len);
    return 2.0 + held / readRate + 0.1;
}

// Reads about `bytesPerSecond` from `fd` until `until`, every 10 ms as much as its allowance permits
// (an allowance it cannot use for want of bytes lapses after a tenth of a second, so it never catches
// up faster than that rate), handing each read to `got(data, n, arrival)`. False when the stream ended.
template <typename Got>
bool readPaced(int fd, double bytesPerSecond, Clock::time_point until, Got got)
{
    const double slack = bytesPerSecond / 10;
    auto start = Clock::now();
    double taken = 0;
    std::vector<uint8_t> buf(1 << 16);
    while (Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        double due = bytesPerSecond * std::chrono::duration<double>(Clock::now() - start).count();
        taken = std::max(taken, due - slack);
        if (due - taken < 1) {
            continue;
        }
        size_t want = std::min(buf.size(), static_cast<size_t>(due - taken));
        ssize_t n = ::recv(fd, buf.data(), want, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        if (n > 0) {
            taken += static_cast<double>(n);
            got(buf.data(), static_cast<size_t>(n), Clock::now());
        }
    }
    return true;
}

} // namespace paced
