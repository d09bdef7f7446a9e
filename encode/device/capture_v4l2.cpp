// The V4L2 capture backend: the board's capture device, and on a PC any V4L2 device (USB HDMI
// dongles, v4l2loopback). Where the device delivers the picture in the pool's own format, size and
// pitch, the driver fills the pool buffers in place (user-pointer I/O); otherwise (YUYV-only dongles,
// a different size, drivers without user pointers) it fills its own mapped buffers and the scaler
// converts each frame into the pool buffer.
//
// Used by the capture thread only.
#include "encode/device/capture_device.h"

#include "encode/core/paths.h"
#include "encode/core/shared_status.h"
#include "encode/media/media.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kQueryStdTries = 300;

int xioctl(int fd, unsigned long request, void *arg)
{
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

bool unsupported(int err)
{
    return err == ENOTTY || err == EINVAL || err == ENODATA;
}

AVPixelFormat avFormat(uint32_t fourcc)
{
    switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
        return AV_PIX_FMT_YUYV422;
    case V4L2_PIX_FMT_UYVY:
        return AV_PIX_FMT_UYVY422;
    case V4L2_PIX_FMT_NV12:
        return AV_PIX_FMT_NV12;
    case V4L2_PIX_FMT_NV21:
        return AV_PIX_FMT_NV21;
    case V4L2_PIX_FMT_NV16:
        return AV_PIX_FMT_NV16;
    case V4L2_PIX_FMT_YUV420:
        return AV_PIX_FMT_YUV420P;
    default:
        return AV_PIX_FMT_NONE;
    }
}

// Plane pointers and strides of a frame of `fourcc` laid out by the driver.
void planes(uint32_t fourcc, uint8_t *base, int bpl, int height, uint8_t *data[4], int stride[4])
{
    for (int i = 0; i < 4; i++) {
        data[i] = nullptr;
        stride[i] = 0;
    }
    data[0] = base;
    stride[0] = bpl;
    switch (fourcc) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
    case V4L2_PIX_FMT_NV16:
        data[1] = base + static_cast<size_t>(bpl) * height;
        stride[1] = bpl;
        break;
    case V4L2_PIX_FMT_YUV420:
        data[1] = base + static_cast<size_t>(bpl) * height;
        stride[1] = bpl / 2;
        data[2] = data[1] + static_cast<size_t>(bpl / 2) * (height / 2);
        stride[2] = bpl / 2;
        break;
    default:
        break;
    }
}

class V4l2Device : public CaptureDevice {
public:
    V4l2Device(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~V4l2Device() override
    {
        if (streaming_) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(fd_, VIDIOC_STREAMOFF, &type);
        }
        for (Slot &s : slots_) {
            if (s.mem != nullptr) {
                ::munmap(s.mem, s.length);
            }
        }
        if (!slots_.empty()) {
            v4l2_requestbuffers req{};
            req.count = 0;
            req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            req.memory = memory_;
            xioctl(fd_, VIDIOC_REQBUFS, &req);
        }
        if (sws_ != nullptr) {
            sws_freeContext(sws_);
        }
        ::close(fd_);
    }

    int detect(const Capture_Attrs &attrs, int *std) override
    {
        if (selectInput(attrs.videoInput) < 0) {
            return Media_EFAIL;
        }
        v4l2_std_id id = 0;
        int ret = -1;
        int err = 0;
        for (int i = 0; i < kQueryStdTries; i++) {
            id = 0;
            ret = xioctl(fd_, VIDIOC_QUERYSTD, &id);
            err = errno;
            std::printf("++++media enter querystd,std=%d,ret=%d\n", static_cast<int>(id), ret);
            if (ret == 0 || err != EAGAIN) {
                break;
            }
            ::usleep(1);
        }
        std::fflush(stdout);
        if (ret < 0 && err == ENOTTY) {
            // No analogue standards on this device (HDMI dongles, cameras): go by its timings or format.
            int s = detectWithoutStandards();
            if (s < 0) {
                Media_error("[Capture] Unknown video standard on capture device %s\n", name_.c_str());
                return Media_EFAIL;
            }
            *std = s;
            return 0;
        }
        if (ret < 0) {
            Media_error("[Capture] VIDIOC_QUERYSTD failed on %s. Video input connected?\n", name_.c_str());
            return Media_EFAIL;
        }
        if (attrs.videoInput == Capture_Input_CAMERA) {
            setExposure(CaptureFormat_exposureForId(id));
        }
        if (xioctl(fd_, VIDIOC_S_STD, &id) < 0) {
            Media_warning("[Capture] VIDIOC_S_STD failed on %s (%s)\n", name_.c_str(), std::strerror(errno));
        }
        int s = CaptureFormat_stdFromId(id);
        if (s == CaptureFormat_NO_STD) {
            Media_error("[Capture] Unknown video standard on capture device %s\n", name_.c_str());
            return Media_EFAIL;
        }
        *std = s;
        return 0;
    }

    int start(BufTab_Handle pool, const CaptureSetup &setup) override
    {
        setup_ = setup;
        forceStandard(setup.std);
        if (setFormat() < 0 || crop() < 0) {
            return Media_EFAIL;
        }
        if (setup.halfRate && halfRate() < 0) {
            return Media_EFAIL;
        }
        if (allocate(pool) < 0) {
            return Media_EFAIL;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_STREAMON, &type) < 0) {
            Media_error("[Capture] VIDIOC_STREAMON failed on %s (%s)\n", name_.c_str(), std::strerror(errno));
            return Media_EFAIL;
        }
        streaming_ = true;
        return 0;
    }

    int get(Buffer_Handle *hBuf) override
    {
        v4l2_buffer b{};
        for (;;) {
            if (SharedStatus_getQuit()) {
                return Capture_STOPPED;
            }
            pollfd p{fd_, POLLIN, 0};
            int pr = ::poll(&p, 1, 100);
            if (pr < 0 && errno != EINTR) {
                Media_error("[Capture] VIDIOC_DQBUF failed (%s)\n", std::strerror(errno));
                return Media_EFAIL;
            }
            if (pr <= 0) {
                continue;
            }
            b = {};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = memory_;
            if (xioctl(fd_, VIDIOC_DQBUF, &b) == 0) {
                break;
            }
            if (errno != EAGAIN) {
                Media_error("[Capture] VIDIOC_DQBUF failed (%s)\n", std::strerror(errno));
                return Media_EFAIL;
            }
        }
        if (b.index >= slots_.size()) {
            Media_error("[Capture] VIDIOC_DQBUF failed (%s)\n", std::strerror(EINVAL));
            return Media_EFAIL;
        }
        // The driver numbers the frames it captured: a gap is frames it had no free buffer for.
        if (sequenced_ && b.sequence > nextSequence_) {
            addDropped(b.sequence - nextSequence_);
        }
        sequenced_ = true;
        nextSequence_ = b.sequence + 1;
        Slot &s = slots_[b.index];
        s.queued = false;
        if (sws_ != nullptr) {
            convert(s);
        }
        Buffer_setNumBytesUsed(s.buf, static_cast<int>(setup_.frameSize));
        *hBuf = s.buf;
        return 0;
    }

    int put(Buffer_Handle hBuf) override
    {
        Slot *free = nullptr;
        for (Slot &s : slots_) {
            if (!s.queued && (free == nullptr || s.buf == hBuf)) {
                free = &s;
            }
        }
        if (free == nullptr) {
            Media_error("[Capture] You must get a captured buffer before putting one\n");
            return Media_EFAIL;
        }
        if (static_cast<size_t>(Buffer_getSize(hBuf)) < setup_.frameSize) {
            Media_error("[Capture] VIDIOC_QBUF failed (%s)\n", std::strerror(EINVAL));
            return Media_EFAIL;
        }
        free->buf = hBuf;
        if (queue(*free) < 0) {
            Media_error("[Capture] VIDIOC_QBUF failed (%s)\n", std::strerror(errno));
            return Media_EFAIL;
        }
        return 0;
    }

private:
    struct Slot {
        int index = 0;
        Buffer_Handle buf = nullptr; // the pool buffer this slot fills
        void *mem = nullptr;         // mapped driver memory (conversion path)
        size_t length = 0;
        bool queued = false;
    };

    // The input whose name is the requested one; on devices without such a name (PC capture devices
    // name their inputs their own way) the current input is kept.
    int selectInput(int input)
    {
        const char *wanted = CaptureFormat_inputName(input);
        if (wanted == nullptr) {
            Media_error("[Capture] Failed to set video input to %d (%s)\n", input, std::strerror(EINVAL));
            return Media_EFAIL;
        }
        int found = -1;
        for (int i = 0; found < 0; i++) {
            v4l2_input in{};
            in.index = static_cast<__u32>(i);
            if (xioctl(fd_, VIDIOC_ENUMINPUT, &in) < 0) {
                break;
            }
            if (std::strncmp(reinterpret_cast<const char *>(in.name), wanted, sizeof in.name) == 0) {
                found = i;
            }
        }
        if (found < 0) {
            int current = 0;
            if (xioctl(fd_, VIDIOC_G_INPUT, &current) < 0) {
                current = 0;
            }
            Media_warning("[Capture] No input named %s on %s, keeping input %d\n", wanted, name_.c_str(), current);
            found = current;
        }
        if (xioctl(fd_, VIDIOC_S_INPUT, &found) < 0) {
            Media_error("[Capture] Failed to set video input to %d (%s)\n", found, std::strerror(errno));
            return Media_EFAIL;
        }
        int readBack = -1;
        if (xioctl(fd_, VIDIOC_G_INPUT, &readBack) < 0 || readBack != found) {
            Media_error("[Capture] Attempted to set video input to %d, but it still has asetting of %d\n", found,
                        readBack);
            return Media_EFAIL;
        }
        return 0;
    }

    int detectWithoutStandards()
    {
        v4l2_dv_timings t{};
        if (xioctl(fd_, VIDIOC_QUERY_DV_TIMINGS, &t) == 0 && t.type == V4L2_DV_BT_656_1120) {
            const v4l2_bt_timings &bt = t.bt;
            double total = static_cast<double>(V4L2_DV_BT_FRAME_WIDTH(&bt)) * V4L2_DV_BT_FRAME_HEIGHT(&bt);
            double fps = total > 0 ? static_cast<double>(bt.pixelclock) / total : 0;
            int s = CaptureFormat_stdFromSize(static_cast<int>(bt.width), static_cast<int>(bt.height),
                                              bt.interlaced != 0, fps);
            if (s != CaptureFormat_NO_STD) {
                xioctl(fd_, VIDIOC_S_DV_TIMINGS, &t);
                return s;
            }
        }
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_G_FMT, &f) < 0) {
            return Media_EFAIL;
        }
        double fps = 0;
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.numerator > 0) {
            fps = static_cast<double>(parm.parm.capture.timeperframe.denominator) /
                  parm.parm.capture.timeperframe.numerator;
        }
        bool interlaced = f.fmt.pix.field == V4L2_FIELD_INTERLACED || f.fmt.pix.field == V4L2_FIELD_SEQ_TB ||
                          f.fmt.pix.field == V4L2_FIELD_SEQ_BT;
        return CaptureFormat_stdFromSize(static_cast<int>(f.fmt.pix.width), static_cast<int>(f.fmt.pix.height),
                                         interlaced, fps);
    }

    void setExposure(int value)
    {
        v4l2_control c{};
        c.id = kCaptureExposureControl;
        c.value = value;
        if (xioctl(fd_, VIDIOC_S_CTRL, &c) < 0) {
            Media_warning("[Capture] Failed to set exposure on %s (%s)\n", name_.c_str(), std::strerror(errno));
        }
    }

    // The driver standard of the number, read back through the table. Devices without standards keep
    // whatever timing they run.
    void forceStandard(int std)
    {
        v4l2_std_id id = CaptureFormat_idFromStd(std);
        if (id == 0 || xioctl(fd_, VIDIOC_S_STD, &id) < 0) {
            return;
        }
        v4l2_std_id back = 0;
        if (xioctl(fd_, VIDIOC_G_STD, &back) == 0 && CaptureFormat_stdFromId(back) != std) {
            Media_warning("[Capture] Driver standard reads back as %d, not %d\n", CaptureFormat_stdFromId(back), std);
        }
    }

    int setFormat()
    {
        std::vector<uint32_t> offered;
        for (int i = 0;; i++) {
            v4l2_fmtdesc d{};
            d.index = static_cast<__u32>(i);
            d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(fd_, VIDIOC_ENUM_FMT, &d) < 0) {
                break;
            }
            offered.push_back(d.pixelformat);
        }
        CaptureFormatChoice choice = CaptureFormat_choose(offered, setup_.colorSpace);
        if (choice.fourcc == 0) {
            // A driver that lists nothing may still take the format; let S_FMT decide.
            choice = {CaptureFormat_fourcc(setup_.colorSpace), false};
        }
        bool camera = setup_.input == Capture_Input_CAMERA;
        if (camera) {
            setExposure(CaptureFormat_exposureForStd(setup_.std));
        }
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.width = static_cast<__u32>(setup_.width);
        f.fmt.pix.height = static_cast<__u32>(setup_.height);
        f.fmt.pix.pixelformat = choice.fourcc;
        f.fmt.pix.field =
            (!camera && CaptureFormat_isInterlaced(setup_.std)) ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
        if (camera) {
            CapturePitch p = CaptureFormat_cameraPitch(setup_.width, setup_.height, setup_.colorSpace);
            f.fmt.pix.bytesperline = static_cast<__u32>(p.bytesPerLine);
            f.fmt.pix.sizeimage = static_cast<__u32>(p.sizeImage);
        } else if (!choice.convert) {
            f.fmt.pix.bytesperline = static_cast<__u32>(setup_.lineLength);
        }
        if (xioctl(fd_, VIDIOC_S_FMT, &f) < 0) {
            Media_error("[Capture] Failed VIDIOC_S_FMT on %s (%s)\n", name_.c_str(), std::strerror(errno));
            return Media_EFAIL;
        }
        drvFourcc_ = f.fmt.pix.pixelformat;
        drvWidth_ = static_cast<int>(f.fmt.pix.width);
        drvHeight_ = static_cast<int>(f.fmt.pix.height);
        drvPitch_ = static_cast<int>(f.fmt.pix.bytesperline);
        Media_trace("[Capture] Video input connected size %dx%d pitch %d\n", drvWidth_, drvHeight_, drvPitch_);
        direct_ = drvFourcc_ == CaptureFormat_fourcc(setup_.colorSpace) && drvWidth_ == setup_.width &&
                  drvHeight_ == setup_.height && drvPitch_ == setup_.lineLength;
        if (!direct_ && makeConverter() < 0) {
            return Media_EFAIL;
        }
        return 0;
    }

    int makeConverter()
    {
        AVPixelFormat src = avFormat(drvFourcc_);
        AVPixelFormat dst = setup_.colorSpace == ColorSpace_YUV420PSEMI   ? AV_PIX_FMT_NV12
                            : setup_.colorSpace == ColorSpace_YUV422PSEMI ? AV_PIX_FMT_NV16
                                                                          : AV_PIX_FMT_UYVY422;
        if (src == AV_PIX_FMT_NONE || drvWidth_ <= 0 || drvHeight_ <= 0) {
            Media_error("[Capture] Failed VIDIOC_S_FMT on %s (%s)\n", name_.c_str(), "no usable pixel format");
            return Media_EFAIL;
        }
        sws_ = sws_getContext(drvWidth_, drvHeight_, src, setup_.width, setup_.height, dst, SWS_BILINEAR, nullptr,
                              nullptr, nullptr);
        if (sws_ == nullptr) {
            Media_error("[Capture] Cannot convert %dx%d frames of %s\n", drvWidth_, drvHeight_, name_.c_str());
            return Media_EFAIL;
        }
        return 0;
    }

    int crop()
    {
        if (setup_.cropWidth < 1 || setup_.cropHeight < 1) {
            return 0;
        }
        if (setup_.cropX % 2 != 0) {
            Media_error("[Capture] Crop width (%ld) needs to be even\n", setup_.cropX);
            return Media_EFAIL;
        }
        v4l2_crop c{};
        c.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        c.c.left = static_cast<__s32>(setup_.cropX);
        c.c.top = static_cast<__s32>(setup_.cropY);
        c.c.width = static_cast<__u32>(setup_.cropWidth);
        c.c.height = static_cast<__u32>(setup_.cropHeight);
        if (xioctl(fd_, VIDIOC_S_CROP, &c) < 0) {
            Media_error("[Capture] VIDIOC_S_CROP failed on %s (%s)\n", name_.c_str(), std::strerror(errno));
            return Media_EFAIL;
        }
        return 0;
    }

    int halfRate()
    {
        Media_trace("[Capture] Setting capture frame rate to half.\n");
        v4l2_std_id id = 0;
        if (xioctl(fd_, VIDIOC_G_STD, &id) == 0) {
            if (CaptureFormat_stdFromId(id) != VideoStd_720P_60) {
                Media_error("[Capture] Video standard set to 0%lx, required is 720P_60\n",
                            static_cast<unsigned long>(id));
                return Media_EFAIL;
            }
        } else if (!unsupported(errno)) {
            Media_error("[Capture] Video standard set to 0%lx, required is 720P_60\n", 0ul);
            return Media_EFAIL;
        }
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe.numerator = 1;
        parm.parm.capture.timeperframe.denominator = 30;
        v4l2_streamparm back{};
        back.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_S_PARM, &parm) < 0 || xioctl(fd_, VIDIOC_G_PARM, &back) < 0 ||
            back.parm.capture.timeperframe.numerator * 30 != back.parm.capture.timeperframe.denominator) {
            Media_error("[Capture] Could not set capture driver for 30fps\n");
            return Media_EFAIL;
        }
        return 0;
    }

    int allocate(BufTab_Handle pool)
    {
        int n = BufTab_getNumBufs(pool);
        v4l2_requestbuffers req{};
        req.count = static_cast<__u32>(n);
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        memory_ = V4L2_MEMORY_USERPTR;
        req.memory = memory_;
        if (!direct_ || xioctl(fd_, VIDIOC_REQBUFS, &req) < 0 || req.count < static_cast<__u32>(n)) {
            if (direct_) {
                // No user pointers: the driver's own buffers, copied through the scaler.
                direct_ = false;
                if (sws_ == nullptr && makeConverter() < 0) {
                    return Media_EFAIL;
                }
            }
            memory_ = V4L2_MEMORY_MMAP;
            req = {};
            req.count = static_cast<__u32>(n);
            req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            req.memory = memory_;
            if (xioctl(fd_, VIDIOC_REQBUFS, &req) < 0 || req.count < 1) {
                Media_error("[Capture] Failed to allocate capture driver buffers on %s (%s)\n", name_.c_str(),
                            std::strerror(errno));
                return Media_EFAIL;
            }
        }
        int slots = static_cast<int>(req.count) < n ? static_cast<int>(req.count) : n;
        slots_.resize(static_cast<size_t>(slots));
        for (int i = 0; i < slots; i++) {
            Slot &s = slots_[static_cast<size_t>(i)];
            s.index = i;
            s.buf = BufTab_getBuf(pool, i);
            if (memory_ == V4L2_MEMORY_MMAP) {
                v4l2_buffer b{};
                b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                b.memory = V4L2_MEMORY_MMAP;
                b.index = static_cast<__u32>(i);
                if (xioctl(fd_, VIDIOC_QUERYBUF, &b) < 0) {
                    Media_error("[Capture] Failed VIDIOC_QUERYBUF on %s (%s)\n", name_.c_str(), std::strerror(errno));
                    return Media_EFAIL;
                }
                void *m = ::mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
                if (m == MAP_FAILED) {
                    Media_error("[Capture] Failed to mmap buffer on %s (%s)\n", name_.c_str(), std::strerror(errno));
                    return Media_EFAIL;
                }
                s.mem = m;
                s.length = b.length;
            }
            if (queue(s) < 0) {
                Media_error("[Capture] VIDIOC_QBUF failed (%s)\n", std::strerror(errno));
                return Media_EFAIL;
            }
        }
        return 0;
    }

    int queue(Slot &s)
    {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = memory_;
        b.index = static_cast<__u32>(s.index);
        if (memory_ == V4L2_MEMORY_USERPTR) {
            b.m.userptr = reinterpret_cast<unsigned long>(Buffer_getUserPtr(s.buf));
            b.length = static_cast<__u32>(Buffer_getSize(s.buf));
        }
        if (xioctl(fd_, VIDIOC_QBUF, &b) < 0) {
            return Media_EFAIL;
        }
        s.queued = true;
        return 0;
    }

    void convert(const Slot &s)
    {
        uint8_t *src[4];
        int srcStride[4];
        planes(drvFourcc_, static_cast<uint8_t *>(s.mem), drvPitch_ > 0 ? drvPitch_ : drvWidth_, drvHeight_, src,
               srcStride);
        uint8_t *dst[4] = {Buffer_getUserPtr(s.buf), nullptr, nullptr, nullptr};
        int dstStride[4] = {setup_.lineLength, 0, 0, 0};
        if (setup_.colorSpace != ColorSpace_UYVY) {
            dst[1] = dst[0] + static_cast<size_t>(setup_.lineLength) * setup_.height;
            dstStride[1] = setup_.lineLength;
        }
        sws_scale(sws_, src, srcStride, 0, drvHeight_, dst, dstStride);
    }

    int fd_;
    std::string name_;
    CaptureSetup setup_{};
    std::vector<Slot> slots_;
    uint32_t memory_ = V4L2_MEMORY_USERPTR;
    bool direct_ = false;
    bool streaming_ = false;
    bool sequenced_ = false;
    uint32_t nextSequence_ = 0;
    uint32_t drvFourcc_ = 0;
    int drvWidth_ = 0;
    int drvHeight_ = 0;
    int drvPitch_ = 0;
    SwsContext *sws_ = nullptr;
};

} // namespace

std::unique_ptr<CaptureDevice> CaptureV4l2_open(const std::string &device)
{
    std::string path = Path_resolve(device);
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Media_error("[Capture] Cannot open %s (%s)\n", device.c_str(), std::strerror(errno));
        return nullptr;
    }
    return std::make_unique<V4l2Device>(fd, device);
}
