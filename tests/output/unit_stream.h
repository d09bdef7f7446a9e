// Reading what the TCP slots and the hand-off FIFOs put out, the way a client program would: exact
// byte counts under a deadline, the tag's words read by hand (not through the module's decoder), and
// units whose bytes say which unit they are.
#pragma once

#include "tests/support/net.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace unit_stream {

// True when nothing (not even an end of stream) arrives within `ms`.
inline bool silentFor(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

inline uint32_t word(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Unit number `seq` of `bytes` bytes (at least 4): the number first, then a pattern it decides.
inline std::vector<uint8_t> makeUnit(uint32_t seq, size_t bytes)
{
    std::vector<uint8_t> u(bytes);
    for (size_t i = 0; i < bytes; i++) {
        u[i] = static_cast<uint8_t>(seq * 31 + i * 7);
    }
    for (size_t i = 0; i < 4 && i < bytes; i++) {
        u[i] = static_cast<uint8_t>(seq >> (8 * i));
    }
    return u;
}

// The unit number of a payload made by makeUnit, or -1 when any byte is not what it should be.
inline long unitNumber(const std::vector<uint8_t> &u)
{
    if (u.size() < 4) {
        return -1;
    }
    uint32_t seq = word(u.data());
    return u == makeUnit(seq, u.size()) ? static_cast<long>(seq) : -1;
}

struct Record {
    uint32_t magic = 0;
    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    uint32_t length = 0;
    std::vector<uint8_t> payload;
};

// One tagged record; false when it does not arrive whole in time.
inline bool readRecord(int fd, Record *r, int timeoutMs = 3000)
{
    uint8_t tag[16];
    if (!readExact(fd, tag, sizeof tag, timeoutMs)) {
        return false;
    }
    r->magic = word(tag);
    r->seconds = word(tag + 4);
    r->microseconds = word(tag + 8);
    r->length = word(tag + 12);
    if (r->magic != 0x98754321u || r->length > (64u << 20)) {
        return false;
    }
    r->payload.resize(r->length);
    return readExact(fd, r->payload.data(), r->length, timeoutMs);
}

} // namespace unit_stream
