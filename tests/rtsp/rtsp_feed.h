// What the encoder writes into the hand-off FIFOs, for the RTSP server's tests: real H.264 access
// units and real AAC (ADTS) and MP3 frames made by ffmpeg from its test sources, cut into units here
// by their own headers (independently of the server's reader), and written at real-time pace by the
// encoder's own FIFO writer with stream tags stamped from the clock.
#pragma once

#include "encode/core/shared_status.h"
#include "encode/output/handoff_fifo.h"
#include "tests/support/made_once.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace rtsp_feed {

using Unit = std::vector<uint8_t>;

inline const HandoffFifoKind kAacFifo = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                                         "Failed to create audio fifo for writing", true, 32768, "RTSP audio"};
inline const HandoffFifoKind kMp3Fifo = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                                         "Failed to create audio fifo for writing", false, 0, "RTSP audio"};

constexpr int kFps = 25;
constexpr int kAudioRate = 48000;
constexpr int kAacSamples = 1024;
constexpr int kMp3Samples = 1152;
// 128 kbit/s at 48 kHz: every layer III frame is 144 * 128000 / 48000 = 384 bytes, never padded.
constexpr size_t kMp3FrameBytes = 384;

inline Unit readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Unit(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Two seconds of each: the clips loop, the video restarting on an IDR picture.
struct MediaFiles {
    std::string video, aac, mp3;
    bool made() const { return !video.empty() && !aac.empty() && !mp3.empty(); }
};

inline MediaFiles makeMedia()
{
    const std::string ff = "ffmpeg -nostdin -v error -y -f lavfi -i ";
    const std::string tone = "sine=frequency=440:sample_rate=48000 -t 2 -ac 2 ";
    return {madeOnce("rtsp-v.h264", ff + "testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p -c:v libx264 -g 25 "
                                         "-bf 0 -x264-params repeat-headers=1 -f h264 {out}"),
            madeOnce("rtsp-a.aac", ff + tone + "-c:a aac -f adts {out}"),
            madeOnce("rtsp-a.mp3", ff + tone + "-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3 {out}")};
}

// Access units of an Annex B stream: a new one starts at an SPS, SEI or AUD after a slice, or at a
// slice whose first_mb_in_slice is 0 (its first bit set) after a slice.
inline std::vector<Unit> accessUnits(const Unit &s)
{
    std::vector<size_t> starts; // where each NAL's start code begins
    std::vector<size_t> heads;  // its header byte
    for (size_t i = 0; i + 3 < s.size(); i++) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            starts.push_back(i > 0 && s[i - 1] == 0 ? i - 1 : i);
            heads.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<Unit> units;
    size_t from = starts.empty() ? 0 : starts[0];
    bool afterSlice = false;
    for (size_t k = 0; k < heads.size(); k++) {
        int type = s[heads[k]] & 0x1F;
        bool slice = type == 1 || type == 5;
        bool fresh = afterSlice && (type == 6 || type == 7 || type == 9 || (slice && (s[heads[k] + 1] & 0x80)));
        if (fresh) {
            units.emplace_back(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(starts[k]));
            from = starts[k];
        }
        afterSlice = slice;
    }
    units.emplace_back(s.begin() + static_cast<long>(from), s.end());
    return units;
}

// ADTS frames by the 13-bit frame length of their headers.
inline std::vector<Unit> adtsFrames(const Unit &s)
{
    std::vector<Unit> units;
    for (size_t i = 0; i + 7 <= s.size();) {
        size_t len = (size_t{s[i + 3] & 3u} << 11) | (size_t{s[i + 4]} << 3) | (s[i + 5] >> 5);
        if (s[i] != 0xFF || (s[i + 1] & 0xF0) != 0xF0 || len < 7 || i + len > s.size()) {
            break;
        }
        units.emplace_back(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + len));
        i += len;
    }
    return units;
}

inline std::vector<Unit> mp3Frames(const Unit &s)
{
    std::vector<Unit> units;
    for (size_t i = 0; i + kMp3FrameBytes <= s.size() && s[i] == 0xFF; i += kMp3FrameBytes) {
        units.emplace_back(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + kMp3FrameBytes));
    }
    return units;
}

inline FrameTime now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

// One stream written the way the encoder writes it, from its own thread, until stopped. The FIFO is
// made afresh when the feeder starts, as the encoder does.
class Feeder {
public:
    Feeder(const HandoffFifoKind *kind, std::vector<Unit> units, std::chrono::microseconds period)
        : kind_(kind), units_(std::move(units)), period_(period), thread_([this] { run(); })
    {
    }
    ~Feeder() { stop(); }
    Feeder(const Feeder &) = delete;
    Feeder &operator=(const Feeder &) = delete;

    // Closes the writer's end, as an encoder that stops does.
    void stop()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool opened() const { return opened_.load(); }
    uint64_t written() const { return written_.load(); }
    uint64_t dropped() const { return dropped_.load(); }

private:
    void run()
    {
        HandoffFifo_Handle h = HandoffFifo_open(kind_);
        if (h == nullptr) {
            return;
        }
        opened_ = true;
        auto next = std::chrono::steady_clock::now();
        for (size_t k = 0; !stop_; k++) {
            const Unit &u = units_[k % units_.size()];
            if (HandoffFifo_write(h, u.data(), static_cast<int>(u.size()), now()) == 1) {
                written_++;
            } else {
                dropped_++;
            }
            next += period_;
            std::this_thread::sleep_until(next);
        }
        HandoffFifo_close(h);
    }

    const HandoffFifoKind *kind_;
    std::vector<Unit> units_;
    std::chrono::microseconds period_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> opened_{false};
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> dropped_{0};
    std::thread thread_;
};

inline std::chrono::microseconds videoPeriod()
{
    return std::chrono::microseconds(1000000 / kFps);
}
inline std::chrono::microseconds aacPeriod()
{
    return std::chrono::microseconds(1000000LL * kAacSamples / kAudioRate);
}
inline std::chrono::microseconds mp3Period()
{
    return std::chrono::microseconds(1000000LL * kMp3Samples / kAudioRate);
}

} // namespace rtsp_feed
