// The virtual sound device: stands where the ALSA device stands when no sound card is at hand. It
// makes a sine per channel (440 Hz left, 660 Hz right) or plays a raw PCM file in a loop, and hands
// out each read when the audio would have been captured: the clock starts at the first read, and read
// k returns once k reads' worth of sample frames have played on the monotonic clock. A reader that
// falls more than half a second behind is not handed a burst to catch up with: the clock starts over,
// as a capture device restarts after an overrun. With ENCODE_PACING=off every read returns at once.
//
// Used by the audio thread only; nothing is allocated per read. The tones are whole hertz, so their
// samples repeat every second: one second is made at open and each read copies from it, which costs
// what a capture device's DMA does rather than a sine per sample.
#include "encode/device/sound_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "encode/core/pipeline_settings.h"
#include "encode/media/media.h"
#include "encode/media/wait.h"

namespace {

constexpr int kToneHz[2] = {440, 660};
constexpr double kToneAmplitude = 8192.0; // a quarter of full scale
constexpr int64_t kMaxLagNs = 500000000LL;

class VirtualDevice : public SoundDevice {
public:
    VirtualDevice(std::string file, int fd, int64_t fileFrames, const Sound_Attrs &attrs)
        : file_(std::move(file)), fd_(fd), fileFrames_(fileFrames), rate_(attrs.sampleRate),
          channels_(attrs.channels), paced_(Pipeline_paced())
    {
        if (fd_ < 0) {
            makeTone();
        }
    }
    ~VirtualDevice() override
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int read(uint8_t *dst, int frames) override
    {
        if (paced_ && !waitForCapture(frames)) {
            return Sound_STOPPED;
        }
        if (fd_ >= 0) {
            if (readFile(dst, frames) < 0) {
                return Media_EFAIL;
            }
        } else {
            copyTone(dst, frames);
        }
        position_ += frames;
        return Media_EOK;
    }

private:
    int64_t framesToNs(int64_t frames) const { return frames * 1000000000LL / rate_; }

    bool waitForCapture(int frames)
    {
        int64_t now = Media_monotonicNs();
        if (!started_) {
            started_ = true;
            anchorNs_ = now;
            anchorFrame_ = position_;
        }
        int64_t due = anchorNs_ + framesToNs(position_ + frames - anchorFrame_);
        if (now > due + kMaxLagNs) {
            anchorNs_ = now;
            anchorFrame_ = position_;
            due = now + framesToNs(frames);
        }
        return Media_waitUntil(nullptr, due);
    }

    // Sample n of channel c is sin(2 pi f n / rate) for n within the second, so the phase never loses
    // precision however long the device runs.
    void makeTone()
    {
        size_t frameBytes = static_cast<size_t>(channels_) * 2;
        tone_.resize(static_cast<size_t>(rate_) * frameBytes);
        for (int n = 0; n < rate_; n++) {
            for (int c = 0; c < channels_; c++) {
                double phase = 2.0 * std::numbers::pi * kToneHz[c] * static_cast<double>(n) / rate_;
                auto v = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(phase)));
                uint8_t *p = tone_.data() + n * frameBytes + static_cast<size_t>(c) * 2;
                p[0] = static_cast<uint8_t>(v & 0xFF);
                p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
            }
        }
    }

    void copyTone(uint8_t *dst, int frames) const
    {
        size_t frameBytes = static_cast<size_t>(channels_) * 2;
        int done = 0;
        while (done < frames) {
            int at = static_cast<int>((position_ + done) % rate_);
            int run = std::min(frames - done, rate_ - at);
            std::memcpy(dst + static_cast<size_t>(done) * frameBytes,
                        tone_.data() + static_cast<size_t>(at) * frameBytes, static_cast<size_t>(run) * frameBytes);
            done += run;
        }
    }

    // Whole sample frames from the file, starting over at its last whole frame.
    int readFile(uint8_t *dst, int frames)
    {
        size_t frameBytes = static_cast<size_t>(channels_) * 2;
        int done = 0;
        while (done < frames) {
            int64_t at = (position_ + done) % fileFrames_;
            int64_t run = std::min<int64_t>(frames - done, fileFrames_ - at);
            if (preadAll(dst + static_cast<size_t>(done) * frameBytes, static_cast<size_t>(run) * frameBytes,
                         static_cast<off_t>(at * static_cast<int64_t>(frameBytes))) < 0) {
                return Media_EFAIL;
            }
            done += static_cast<int>(run);
        }
        return Media_EOK;
    }

    int preadAll(uint8_t *dst, size_t n, off_t at)
    {
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::pread(fd_, dst + got, n - got, at + static_cast<off_t>(got));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                return failed("[Sound] Cannot read %s (%s)", file_.c_str(), r < 0 ? std::strerror(errno) : "short file");
            }
            got += static_cast<size_t>(r);
        }
        return Media_EOK;
    }

    std::string file_;
    std::vector<uint8_t> tone_; // one second of the tones, interleaved
    int fd_;
    int64_t fileFrames_;
    int rate_;
    int channels_;
    bool paced_;
    bool started_ = false;
    int64_t position_ = 0;
    int64_t anchorNs_ = 0;
    int64_t anchorFrame_ = 0;
};

} // namespace

std::unique_ptr<SoundDevice> SoundVirtual_open(const std::string &source, const Sound_Attrs &attrs)
{
    if (source == "tone") {
        return std::make_unique<VirtualDevice>(std::string(), -1, 1, attrs);
    }
    std::string path = source.substr(5);
    int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Media_error("[Sound] Cannot open %s (%s)\n", source.c_str(), std::strerror(path.empty() ? ENOENT : errno));
        return nullptr;
    }
    struct stat st {};
    int64_t frameBytes = int64_t{attrs.channels} * 2;
    if (::fstat(fd, &st) < 0 || st.st_size < frameBytes) {
        Media_error("[Sound] %s holds no whole sample frame of %d channel(s)\n", path.c_str(), attrs.channels);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<VirtualDevice>(path, fd, static_cast<int64_t>(st.st_size) / frameBytes, attrs);
}
