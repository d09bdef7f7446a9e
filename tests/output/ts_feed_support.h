// What the HTTP TS and recorder tests share: numbered TS packets whose every byte can be checked, a
// real transport stream made by the ffmpeg program, and a tap on standard output that the tests can
// read while the module's threads keep printing.
#pragma once

#include "tests/support/made_once.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kTsPacket = 188;

// Packet k: sync byte, PID 0x100, payload only with continuity counter k mod 16, the number k in 8
// bytes, then filler bytes that depend on k and their place.
inline void numberedPacket(uint64_t k, uint8_t *p)
{
    p[0] = 0x47;
    p[1] = 0x01;
    p[2] = 0x00;
    p[3] = static_cast<uint8_t>(0x10 | (k & 0x0F));
    std::memcpy(p + 4, &k, sizeof k);
    for (size_t i = 12; i < kTsPacket; i++) {
        p[i] = static_cast<uint8_t>(k * 31 + i);
    }
}

inline Bytes numberedPackets(uint64_t first, size_t count)
{
    Bytes out(count * kTsPacket);
    for (size_t i = 0; i < count; i++) {
        numberedPacket(first + i, out.data() + i * kTsPacket);
    }
    return out;
}

// The number of the whole numbered packet at p, or -1 when those 188 bytes are not one.
inline int64_t packetNumber(const uint8_t *p)
{
    uint64_t k = 0;
    std::memcpy(&k, p + 4, sizeof k);
    uint8_t expect[kTsPacket];
    numberedPacket(k, expect);
    return std::memcmp(p, expect, kTsPacket) == 0 ? static_cast<int64_t>(k) : -1;
}

inline Bytes readFileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Six seconds of 320x240 H.264 (noisy, so that it does not compress to nothing) and AAC in a transport
// stream, made by the ffmpeg program once per build tree (made_once.h); empty when ffmpeg is missing or fails.
inline const Bytes &sampleTs()
{
    static const Bytes sample = [] {
        std::string path = madeOnce("sample.ts", "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 "
                                                 "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 6 "
                                                 "-vf noise=alls=30:allf=t -c:v libx264 -preset ultrafast -g 25 "
                                                 "-b:v 2000k -c:a aac -f mpegts -y {out}");
        return path.empty() ? Bytes{} : readFileBytes(path);
    }();
    return sample;
}

// Standard output (every thread's) goes to a file while the tap lives; the test reads it at any
// time. What was printed is passed on to the real standard output when the test failed.
class StdoutTap {
public:
    StdoutTap()
    {
        char tmpl[] = "/tmp/encode-stdout-XXXXXX";
        fd_ = mkstemp(tmpl);
        path_ = tmpl;
        std::fflush(stdout);
        saved_ = dup(1);
        dup2(fd_, 1);
    }
    ~StdoutTap()
    {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        if (testing::Test::HasFailure()) {
            std::string all = text();
            std::fprintf(stdout, "--- what the test printed ---\n%s--- end ---\n", all.c_str());
            std::fflush(stdout);
        }
        close(fd_);
        unlink(path_.c_str());
    }
    StdoutTap(const StdoutTap &) = delete;
    StdoutTap &operator=(const StdoutTap &) = delete;

    std::string text() const
    {
        std::fflush(stdout);
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool has(const std::string &s) const { return text().find(s) != std::string::npos; }
    int count(const std::string &s) const
    {
        std::string t = text();
        int n = 0;
        for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + 1)) {
            n++;
        }
        return n;
    }
    bool waitFor(const std::string &s, int ms) const
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!has(s)) {
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    int fd_ = -1;
    int saved_ = -1;
    std::string path_;
};

// Polls `done` every 10 ms for up to `ms`.
template <typename Pred>
bool eventually(Pred done, int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
