// Second-picture maker: the SoC chain set-up and the software scaler. Created and used by the capture
// adapter in the capture thread only.
#include "encode/device/resizer.h"

#include "encode/device/area_filter.h"

#include "encode/core/paths.h"
#include "encode/media/media.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

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
    // The software scaler: an exact area downscale of luma and of the interleaved chroma, each plane
    // in one pass over it (bench_second_picture measures it against libswscale's bilinear, which made
    // it before, libswscale's area filter and every libyuv filter).
    std::unique_ptr<AreaFilter> luma;
    std::unique_ptr<AreaFilter> chroma;
    int height = 0;
    int lineLength = 0;
    ResizerSettings settings;
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
    r->height = height;
    r->lineLength = lineLength;
    try {
        r->luma = std::make_unique<AreaFilter>(width, height, settings.width, settings.height, 1);
        r->chroma = std::make_unique<AreaFilter>(width / 2, height / 2, settings.width / 2, settings.height / 2, 2);
    } catch (const std::bad_alloc &) {
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
    r->luma->scale(frame, r->lineLength, dstY, sw);
    r->chroma->scale(frame + static_cast<size_t>(r->lineLength) * r->height, r->lineLength,
                     dstY + static_cast<size_t>(sw) * r->settings.height, sw);
}

void Resizer_delete(Resizer_Handle r)
{
    delete r;
}
