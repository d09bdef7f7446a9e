// Second-picture maker: the SoC chain set-up and the software scaler. Created and used by the capture
// adapter in the capture thread only.
#include "encode/device/resizer.h"

#include "encode/core/paths.h"
#include "encode/media/media.h"

extern "C" {
#include <libswscale/swscale.h>
#include <libavutil/pixfmt.h>
}
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace {

// --- The board's resizer and previewer driver interface. ---
// Both drivers take an operation mode (one shot or continuous) and a channel configuration record
// that points at the mode's own configuration; the previewer also lists its processing modules, each
// with a parameter block that has a driver default.

enum { kModeOneShot = 0, kModeContinuous = 1 };
enum { kOutputFormatNv12 = 9 }; // the resizer's code for semi-planar 4:2:0

struct ChannelConfig {
    int operMode;
    int chain;
    int len;
    void *config;
};

struct ResizerOutput {
    int enable;
    int width;
    int height;
    int pixFmt;
    int reserved[12];
};

struct ResizerContinuous {
    int flags;
    ResizerOutput output1;
    ResizerOutput output2;
    int reserved[32];
};

struct PreviewerContinuous {
    int inputIsCamera;
    int reserved[63];
};

struct PreviewerModuleCap {
    int index;
    char moduleName[32];
    int moduleId;
    int control;
    int pathSupported;
};

struct PreviewerModuleParam {
    char version[32];
    int moduleId;
    int len;
    void *param;
};

constexpr unsigned long kRszSetMode = _IOW('R', 0, unsigned long);
constexpr unsigned long kRszGetMode = _IOR('R', 1, unsigned long);
constexpr unsigned long kRszSetConfig = _IOWR('R', 2, ChannelConfig);
constexpr unsigned long kRszGetConfig = _IOWR('R', 3, ChannelConfig);
constexpr unsigned long kPrevSetMode = _IOW('P', 0, unsigned long);
constexpr unsigned long kPrevGetMode = _IOR('P', 1, unsigned long);
constexpr unsigned long kPrevSetConfig = _IOWR('P', 2, ChannelConfig);
constexpr unsigned long kPrevGetConfig = _IOWR('P', 3, ChannelConfig);
constexpr unsigned long kPrevEnumCap = _IOWR('P', 4, PreviewerModuleCap);
constexpr unsigned long kPrevSetParam = _IOWR('P', 5, PreviewerModuleParam);
constexpr unsigned long kPrevGetParam = _IOWR('P', 6, PreviewerModuleParam);

constexpr int kModuleParamBytes = 4096;

class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void assign(int fd)
    {
        reset();
        fd_ = fd;
    }
    void reset()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Sets continuous mode and reads it back; the caller's lines are the resizer's, the previewer says
// the same of itself.
bool setContinuous(int fd, unsigned long setReq, unsigned long getReq, const char *what)
{
    unsigned long mode = kModeContinuous;
    if (::ioctl(fd, setReq, &mode) < 0) {
        Media_error("[Resize] Can't set operation mode (%s)\n", std::strerror(errno));
        return false;
    }
    mode = kModeOneShot;
    if (::ioctl(fd, getReq, &mode) < 0) {
        Media_error("[Resize] Can't get operation mode (%s)\n", std::strerror(errno));
        return false;
    }
    if (mode != kModeContinuous) {
        Media_error("[Resize] Failed to set mode to continuous in %s\n", what);
        return false;
    }
    Media_trace("[Resize] Successfully set mode to continuous in %s\n", what);
    return true;
}

bool setupResizer(int fd, const ResizerSettings &s)
{
    if (!setContinuous(fd, kRszSetMode, kRszGetMode, "resizer")) {
        return false;
    }
    ResizerContinuous cont{};
    ChannelConfig cfg{kModeContinuous, 1, 0, nullptr}; // len 0 and no record: load the driver default
    if (::ioctl(fd, kRszSetConfig, &cfg) < 0) {
        Media_error("[Resize] Error in setting default configuration in resizer (%s)\n", std::strerror(errno));
        return false;
    }
    cfg = {kModeContinuous, 1, static_cast<int>(sizeof cont), &cont};
    if (::ioctl(fd, kRszGetConfig, &cfg) < 0) {
        Media_error("[Resize] Error in getting channel configuration from resizer (%s)\n", std::strerror(errno));
        return false;
    }
    if (s.enabled == 1) {
        cont.output2.enable = 1;
        cont.output2.width = s.width;
        cont.output2.height = s.height;
        cont.output2.pixFmt = kOutputFormatNv12;
    } else {
        cont.output2.enable = 0;
    }
    if (::ioctl(fd, kRszSetConfig, &cfg) < 0) {
        Media_error("[Resize] Error in setting resizer configuration (%s)\n", std::strerror(errno));
        return false;
    }
    Media_trace("[Resize] Resizer initialized\n");
    return true;
}

bool setupPreviewer(int fd, bool cameraInput)
{
    if (!setContinuous(fd, kPrevSetMode, kPrevGetMode, "previewer")) {
        return false;
    }
    PreviewerContinuous cont{};
    ChannelConfig cfg{kModeContinuous, 1, 0, nullptr};
    if (::ioctl(fd, kPrevSetConfig, &cfg) < 0) {
        Media_error("[Resize] Error in setting default configuration in previewer (%s)\n", std::strerror(errno));
        return false;
    }
    cfg = {kModeContinuous, 1, static_cast<int>(sizeof cont), &cont};
    if (::ioctl(fd, kPrevGetConfig, &cfg) < 0) {
        Media_error("[Resize] Error in getting configuration from previewer (%s)\n", std::strerror(errno));
        return false;
    }
    cont.inputIsCamera = cameraInput ? 1 : 0;
    if (::ioctl(fd, kPrevSetConfig, &cfg) < 0) {
        Media_error("[Resize] Error in setting previewer configuration (%s)\n", std::strerror(errno));
        return false;
    }
    auto *block = new (std::nothrow) unsigned char[kModuleParamBytes];
    if (block == nullptr) {
        return false;
    }
    bool ok = true;
    for (int index = 0; ok; index++) {
        PreviewerModuleCap cap{};
        cap.index = index;
        if (::ioctl(fd, kPrevEnumCap, &cap) < 0) {
            break; // the end of the driver's list
        }
        cap.moduleName[sizeof cap.moduleName - 1] = '\0';
        Media_trace("[Resize] Setting default for %s\n", cap.moduleName);
        PreviewerModuleParam param{};
        param.moduleId = cap.moduleId;
        param.len = 0; // no block: the driver's default
        param.param = nullptr;
        if (::ioctl(fd, kPrevSetParam, &param) < 0) {
            param.len = kModuleParamBytes;
            param.param = block;
            if (::ioctl(fd, kPrevGetParam, &param) < 0 || ::ioctl(fd, kPrevSetParam, &param) < 0) {
                Media_error("[Resize] Error in Setting %s params from driver\n", cap.moduleName);
                ok = false;
            }
        }
    }
    delete[] block;
    if (ok) {
        Media_trace("[Resize] Previewer initialized\n");
    }
    return ok;
}

} // namespace

struct Resizer_Object {
    // The chain on the board.
    Fd resizer;
    Fd previewer;
    // The software scaler (bench_second_picture measures the choice against libswscale's bilinear,
    // which made it before, and every libyuv filter). Luma: an exact 2:1 box to half size, then
    // libyuv's bilinear from that half-size plane, still in cache (a second picture larger than half
    // the main one: libyuv's box straight from the main picture). U and V: split into planes of their
    // own and scaled by libswscale's area filter (libyuv's box on interleaved chroma blurs, and its
    // bilinear aliases). Closer to an exact area downscale than the bilinear in luma and chroma alike,
    // at under half its cost.
    SwsContext *chroma = nullptr;
    std::vector<uint8_t> planes; // U and V of the main picture, U and V of the second, the half-size luma
    bool twoSteps = false;
    int width = 0;
    int height = 0;
    int lineLength = 0;
    ResizerSettings settings;

    ~Resizer_Object()
    {
        if (chroma != nullptr) {
            sws_freeContext(chroma);
        }
    }
};

bool Resizer_hardwarePresent()
{
    struct stat st {};
    return ::stat(Path_resolve("/dev/soc_resizer").c_str(), &st) == 0;
}

size_t Resizer_secondSize(const ResizerSettings &s)
{
    if (s.enabled != 1 || s.width <= 0 || s.height <= 0) {
        return 0;
    }
    return static_cast<size_t>(s.width) * static_cast<size_t>(s.height) * 3 / 2;
}

Resizer_Handle Resizer_createHardware(const ResizerSettings &settings, bool cameraInput)
{
    auto *r = new (std::nothrow) Resizer_Object;
    if (r == nullptr) {
        return nullptr;
    }
    r->settings = settings;
    r->resizer.assign(::open(Path_resolve("/dev/soc_resizer").c_str(), O_RDWR));
    if (r->resizer.get() < 0) {
        Media_error("[Resize] Can't open resizer (%s)\n", std::strerror(errno));
    } else if (setupResizer(r->resizer.get(), settings)) {
        r->previewer.assign(::open(Path_resolve("/dev/soc_previewer").c_str(), O_RDWR));
        if (r->previewer.get() < 0) {
            Media_error("[Resize] Can't open previewer (%s)\n", std::strerror(errno));
        } else if (setupPreviewer(r->previewer.get(), cameraInput)) {
            return r;
        }
    }
    delete r;
    return nullptr;
}

bool Resizer_fits(const ResizerSettings &s, int width, int height)
{
    return s.width >= 2 && s.height >= 2 && (s.width & 1) == 0 && (s.height & 1) == 0 && s.width <= width &&
           s.height <= height;
}

Resizer_Handle Resizer_createSoftware(const ResizerSettings &settings, int width, int height, int lineLength,
                                      bool *failed)
{
    *failed = false;
    if (settings.enabled != 1) {
        return nullptr;
    }
    if (!Resizer_fits(settings, width, height)) {
        Media_error("[Resize] Second picture %dx%d does not fit a main picture of %dx%d\n", settings.width,
                    settings.height, width, height);
        *failed = true;
        return nullptr;
    }
    auto *r = new (std::nothrow) Resizer_Object;
    if (r == nullptr) {
        *failed = true;
        return nullptr;
    }
    r->settings = settings;
    r->width = width;
    r->height = height;
    r->lineLength = lineLength;
    r->chroma = sws_getContext(width / 2, height / 2, AV_PIX_FMT_GRAY8, settings.width / 2, settings.height / 2,
                               AV_PIX_FMT_GRAY8, SWS_AREA, nullptr, nullptr, nullptr);
    r->twoSteps = settings.width * 2 <= width && settings.height * 2 <= height;
    try {
        r->planes.resize(static_cast<size_t>(width / 2) * (height / 2) * 3 +
                         static_cast<size_t>(settings.width / 2) * (settings.height / 2) * 2);
    } catch (const std::bad_alloc &) {
        r->planes.clear();
    }
    if (r->chroma == nullptr || r->planes.empty()) {
        Media_error("[Resize] Can't create the scaler for %dx%d\n", settings.width, settings.height);
        delete r;
        *failed = true;
        return nullptr;
    }
    Media_trace("[Resize] Resizer initialized\n");
    return r;
}

int Resizer_process(Resizer_Handle r, uint8_t *frame, size_t size)
{
    MEDIA_ASSERT(r != nullptr);
    if (r->chroma == nullptr) {
        return 0;
    }
    size_t mainSize = static_cast<size_t>(r->lineLength) * r->height * 3 / 2;
    size_t need = mainSize + Resizer_secondSize(r->settings);
    if (size < need) {
        return Media_EFAIL;
    }
    Resizer_scale(r, frame, frame + mainSize);
    return 0;
}

void Resizer_scale(Resizer_Handle r, const uint8_t *frame, uint8_t *dstY)
{
    MEDIA_ASSERT(r != nullptr && r->chroma != nullptr);
    const int sw = r->settings.width;
    const int sh = r->settings.height;
    const uint8_t *srcUv = frame + static_cast<size_t>(r->lineLength) * r->height;
    uint8_t *dstUv = dstY + static_cast<size_t>(sw) * sh;
    const int cw = r->width / 2;
    const int ch = r->height / 2;
    const size_t in = static_cast<size_t>(cw) * ch;
    uint8_t *u = r->planes.data();
    uint8_t *v = u + in;
    uint8_t *su = v + in;
    uint8_t *sv = su + static_cast<size_t>(sw / 2) * (sh / 2);
    uint8_t *halfY = sv + static_cast<size_t>(sw / 2) * (sh / 2);
    if (r->twoSteps) {
        libyuv::ScalePlane(frame, r->lineLength, r->width, r->height, halfY, cw, cw, ch, libyuv::kFilterBox);
        libyuv::ScalePlane(halfY, cw, cw, ch, dstY, sw, sw, sh, libyuv::kFilterBilinear);
    } else {
        libyuv::ScalePlane(frame, r->lineLength, r->width, r->height, dstY, sw, sw, sh, libyuv::kFilterBox);
    }
    libyuv::SplitUVPlane(srcUv, r->lineLength, u, cw, v, cw, cw, ch);
    for (uint8_t *plane : {u, v}) {
        const uint8_t *src[4] = {plane, nullptr, nullptr, nullptr};
        const int srcStride[4] = {cw, 0, 0, 0};
        uint8_t *dst[4] = {plane == u ? su : sv, nullptr, nullptr, nullptr};
        const int dstStride[4] = {sw / 2, 0, 0, 0};
        sws_scale(r->chroma, src, srcStride, 0, ch, dst, dstStride);
    }
    libyuv::MergeUVPlane(su, sw / 2, sv, sw / 2, dstUv, sw, sw / 2, sh / 2);
}

void Resizer_delete(Resizer_Handle r)
{
    delete r;
}
