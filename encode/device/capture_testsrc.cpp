// The virtual capture device: stands where the V4L2 device stands when no capture hardware is at hand.
// It reports the standard of ENCODE_VIDEO_STD (default 25), delivers frames at that standard's rate
// (30 per second when 720P 60 runs at half rate) on absolute deadlines of the monotonic clock, and
// draws the moving test picture into each, or plays the frames of a raw NV12 file in a loop.
// A file of up to kStoreBytes of frames is read once at the start into buffers of the device's own,
// one a frame, and those are handed out in turn: like a board's capture, which fills its buffers by
// DMA, the PC's stand-in then costs the CPU nothing a frame. A stored frame that is still out when its
// turn comes round (a file shorter than the pipeline is deep), a stored frame drawn on since it was
// handed out (see Buffer_markAltered) and a larger file are read into a buffer from the file instead.
// ENCODE_TESTSRC_GAP=START:LENGTH (seconds after streaming starts) makes it deliver nothing for that
// span, as an input that loses its signal and gets it back.
//
// Used by the capture thread only; the buffers it holds are those queued with put.
#include "encode/device/capture_device.h"

#include "encode/core/pipeline_settings.h"

#include "encode/media/buftab.h"
#include "encode/media/media.h"
#include "encode/media/wait.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

constexpr size_t kStoreBytes = size_t{512} << 20;

int envStandard()
{
    const char *v = std::getenv("ENCODE_VIDEO_STD");
    if (v == nullptr || *v == '\0') {
        return VideoStd_720P_60;
    }
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (end == v || *end != '\0' || n < VideoStd_FIRST || n > VideoStd_LAST) {
        return Media_EFAIL;
    }
    return static_cast<int>(n);
}

// START:LENGTH in seconds (fractions allowed); false when unset or malformed.
bool envGap(double *start, double *length)
{
    const char *v = std::getenv("ENCODE_TESTSRC_GAP");
    if (v == nullptr || *v == '\0') {
        return false;
    }
    char *end = nullptr;
    double s = std::strtod(v, &end);
    if (end == v || *end != ':') {
        return false;
    }
    const char *l = end + 1;
    double len = std::strtod(l, &end);
    if (end == l || *end != '\0' || s < 0 || len <= 0) {
        return false;
    }
    *start = s;
    *length = len;
    return true;
}

int64_t wallClockMs()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class TestsrcDevice : public CaptureDevice {
public:
    explicit TestsrcDevice(std::string file) : file_(std::move(file)) {}
    ~TestsrcDevice() override
    {
        if (store_ != nullptr) {
            BufTab_delete(store_);
        }
        if (fileFd_ >= 0) {
            ::close(fileFd_);
        }
    }

    int detect(const Capture_Attrs &attrs, int *std) override
    {
        if (CaptureFormat_inputName(attrs.videoInput) == nullptr) {
            Media_error("[Capture] Failed to set video input to %d (%s)\n", attrs.videoInput, std::strerror(EINVAL));
            return Media_EFAIL;
        }
        int s = envStandard();
        if (s < 0) {
            Media_error("[Capture] Unknown video standard on capture device %s\n", name());
            return Media_EFAIL;
        }
        *std = s;
        return 0;
    }

    int start(BufTab_Handle pool, const CaptureSetup &setup) override
    {
        if (setup.colorSpace != ColorSpace_YUV420PSEMI && setup.colorSpace != ColorSpace_YUV422PSEMI) {
            Media_error("[Capture] Unsupported color format %g\n", static_cast<double>(setup.colorSpace));
            return Media_EFAIL;
        }
        setup_ = setup;
        CaptureRate rate = CaptureFormat_frameRate(setup.std);
        if (setup.halfRate) {
            Media_trace("[Capture] Setting capture frame rate to half.\n");
            rate = {30, 1};
        }
        periodNs_ = CaptureFormat_framePeriodNs(rate);
        if (!file_.empty() && (openFile() < 0 || storeFile(pool) < 0)) {
            return Media_EFAIL;
        }
        background_.assign(setup.frameSize, 0);
        bgPic_ = {background_.data(), background_.size(), setup.width, setup.height, setup.lineLength,
                  setup.colorSpace};
        CapPicture_drawColorBars(bgPic_);
        Media_trace("[Capture] Video input connected size %dx%d pitch %d\n", setup.width, setup.height,
                    setup.lineLength);
        for (int i = 0; i < BufTab_getNumBufs(pool); i++) {
            queued_.push_back(BufTab_getBuf(pool, i));
        }
        startNs_ = Media_monotonicNs();
        double gs = 0;
        double gl = 0;
        if (envGap(&gs, &gl)) {
            gapStartNs_ = startNs_ + static_cast<int64_t>(gs * 1e9);
            gapEndNs_ = gapStartNs_ + static_cast<int64_t>(gl * 1e9);
        }
        anchorNs_ = startNs_;
        index_ = 0;
        paced_ = Pipeline_paced();
        return 0;
    }

    int get(Buffer_Handle *hBuf) override
    {
        if (queued_.empty() && storedFrameOut()) {
            Media_error("[Capture] VIDIOC_DQBUF failed (%s)\n", std::strerror(EINVAL));
            return Media_EFAIL;
        }
        int64_t due = anchorNs_ + index_ * periodNs_;
        int64_t now = Media_monotonicNs();
        if (now > due + 2 * periodNs_) {
            // The consumer fell behind: like a device without a free buffer, drop the frames that
            // were due meanwhile instead of delivering a burst.
            int64_t caughtUp = (now - anchorNs_) / periodNs_;
            addDropped(static_cast<uint64_t>(caughtUp - index_));
            index_ = caughtUp;
            due = anchorNs_ + index_ * periodNs_;
        }
        if (gapEndNs_ > 0 && due >= gapStartNs_ && due < gapEndNs_) {
            // Nothing arrives during the gap; the input comes back on a fresh frame clock.
            anchorNs_ = gapEndNs_;
            index_ = 0;
            due = anchorNs_;
        }
        if (!paced_) {
            due = Media_monotonicNs(); // a benchmark: every frame is due as soon as it is asked for
        }
        if (!Media_waitUntil(nullptr, due)) {
            return Capture_STOPPED;
        }
        index_++;
        Buffer_Handle b = nullptr;
        if (!storedFrameOut()) {
            b = BufTab_getBuf(store_, storeIndex());
            // Drawn on while it was out: the file's frame again.
            if (Buffer_takeAltered(b) && readFileFrame(pictureOf(b), storeIndex()) < 0) {
                return Media_EFAIL;
            }
            storeOut_[static_cast<size_t>(storeIndex())] = true;
        } else {
            b = queued_.front();
            queued_.pop_front();
            if (static_cast<size_t>(Buffer_getSize(b)) < setup_.frameSize) {
                Media_error("[Capture] Buffer of %d bytes is too small for the picture\n", Buffer_getSize(b));
                return Media_EFAIL;
            }
            CapPicture pic = pictureOf(b);
            if (fileFd_ >= 0) {
                if (readFileFrame(pic, frameNumber_ % fileFrames_) < 0) {
                    return Media_EFAIL;
                }
            } else {
                CapPicture_drawTestsrc(pic, &bgPic_, frameNumber_, wallClockMs());
            }
        }
        out_++;
        frameNumber_++;
        Buffer_setNumBytesUsed(b, static_cast<int>(setup_.frameSize));
        *hBuf = b;
        return 0;
    }

    int put(Buffer_Handle hBuf) override
    {
        bool stored = store_ != nullptr && Buffer_getBufTab(hBuf) == store_;
        if (out_ == 0 || (stored && !storeOut_[static_cast<size_t>(Buffer_getId(hBuf))])) {
            Media_error("[Capture] You must get a captured buffer before putting one\n");
            return Media_EFAIL;
        }
        out_--;
        if (stored) {
            storeOut_[static_cast<size_t>(Buffer_getId(hBuf))] = false;
        } else {
            queued_.push_back(hBuf);
        }
        return 0;
    }

private:
    const char *name() const { return file_.empty() ? "testsrc" : file_.c_str(); }

    int openFile()
    {
        std::string path = file_;
        fileFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fileFd_ < 0) {
            Media_error("[Capture] Cannot open %s (%s)\n", path.c_str(), std::strerror(errno));
            return Media_EFAIL;
        }
        struct stat st {};
        fileFrameBytes_ = static_cast<size_t>(setup_.width) * setup_.height *
                          (setup_.colorSpace == ColorSpace_YUV420PSEMI ? 3 : 4) / 2;
        if (::fstat(fileFd_, &st) < 0 || static_cast<size_t>(st.st_size) < fileFrameBytes_) {
            Media_error("[Capture] %s holds no whole %dx%d frame\n", path.c_str(), setup_.width, setup_.height);
            return Media_EFAIL;
        }
        fileFrames_ = static_cast<int64_t>(static_cast<size_t>(st.st_size) / fileFrameBytes_);
        return 0;
    }

    CapPicture pictureOf(Buffer_Handle b) const
    {
        return {Buffer_getUserPtr(b), setup_.frameSize, setup_.width, setup_.height, setup_.lineLength,
                setup_.colorSpace};
    }

    int storeIndex() const { return static_cast<int>(frameNumber_ % fileFrames_); }

    // True when the frame due next is not in the store or its buffer is out.
    bool storedFrameOut() const { return store_ == nullptr || storeOut_[static_cast<size_t>(storeIndex())]; }

    // Every frame of a file that fits kStoreBytes, read once into a buffer like the pool's. A file
    // that does not fit, or memory that cannot be had, leaves the store empty: frames are then read
    // from the file into the pool's buffers.
    int storeFile(BufTab_Handle pool)
    {
        Buffer_Handle like = BufTab_getBuf(pool, 0);
        size_t size = static_cast<size_t>(Buffer_getSize(like));
        if (size < setup_.frameSize || static_cast<size_t>(fileFrames_) * size > kStoreBytes) {
            return 0;
        }
        BufferGfx_Attrs attrs = BufferGfx_Attrs_DEFAULT;
        Buffer_getAttrs(like, &attrs.bAttrs);
        BufferGfx_getDimensions(like, &attrs.dim);
        store_ = BufTab_create(static_cast<int>(fileFrames_), static_cast<int>(size), &attrs.bAttrs);
        if (store_ == nullptr) {
            Media_warning("[Capture] No memory to hold %s: its frames are read as they are due\n", file_.c_str());
            return 0;
        }
        storeOut_.assign(static_cast<size_t>(fileFrames_), false);
        for (int k = 0; k < static_cast<int>(fileFrames_); k++) {
            if (readFileFrame(pictureOf(BufTab_getBuf(store_, k)), k) < 0) {
                return Media_EFAIL;
            }
        }
        return 0;
    }

    // Frame k of the file, its tightly packed lines copied to the picture's pitch.
    int readFileFrame(const CapPicture &pic, int64_t k)
    {
        off_t base = static_cast<off_t>(k * static_cast<int64_t>(fileFrameBytes_));
        int chromaRows = pic.colorSpace == ColorSpace_YUV420PSEMI ? pic.height / 2 : pic.height;
        int rows = pic.height + chromaRows;
        if (pic.lineLength == pic.width) {
            return preadAll(pic.data, fileFrameBytes_, base);
        }
        for (int r = 0; r < rows; r++) {
            if (preadAll(pic.data + static_cast<size_t>(r) * pic.lineLength, static_cast<size_t>(pic.width),
                         base + static_cast<off_t>(r) * pic.width) < 0) {
                return Media_EFAIL;
            }
        }
        return 0;
    }

    int preadAll(uint8_t *dst, size_t n, off_t at)
    {
        size_t done = 0;
        while (done < n) {
            ssize_t r = ::pread(fileFd_, dst + done, n - done, at + static_cast<off_t>(done));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                Media_error("[Capture] Cannot read %s (%s)\n", file_.c_str(), r < 0 ? std::strerror(errno) : "short file");
                return Media_EFAIL;
            }
            done += static_cast<size_t>(r);
        }
        return 0;
    }

    std::string file_;
    int fileFd_ = -1;
    size_t fileFrameBytes_ = 0;
    int64_t fileFrames_ = 1;
    CaptureSetup setup_{};
    std::vector<uint8_t> background_;
    CapPicture bgPic_{};
    std::deque<Buffer_Handle> queued_; // the pool's buffers put back, and the store's fallback
    BufTab_Handle store_ = nullptr;
    std::vector<bool> storeOut_; // per stored frame: its buffer is out
    int out_ = 0;              // buffers handed out and not yet put back
    int64_t periodNs_ = 1000000000LL / 30;
    int64_t startNs_ = 0;
    int64_t anchorNs_ = 0;
    int64_t index_ = 0;
    bool paced_ = true;
    int64_t gapStartNs_ = 0;
    int64_t gapEndNs_ = 0;
    uint32_t frameNumber_ = 0;
};

} // namespace

std::unique_ptr<CaptureDevice> CaptureTestsrc_open(const std::string &source)
{
    std::string file;
    if (source.rfind("file:", 0) == 0) {
        file = source.substr(5);
        if (file.empty()) {
            Media_error("[Capture] Cannot open %s (%s)\n", source.c_str(), std::strerror(ENOENT));
            return nullptr;
        }
    }
    return std::make_unique<TestsrcDevice>(file);
}
