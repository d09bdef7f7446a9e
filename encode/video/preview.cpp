// Owns the preview's scaler, its small picture and the JPEG compressor. The small picture changes
// hands under one mutex: the video thread only ever try-locks it (a busy picture skips this offer),
// the status thread locks it for the compression, which reads the small picture and nothing of the
// pipeline's buffers.
#include "encode/video/preview.h"

#include "encode/core/paths.h"
#include "encode/device/capture.h"
#include "encode/media/colorspace.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <turbojpeg.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kJpegQuality = 75;

struct Small {
    std::vector<uint8_t> planes[3]; // I420
    int width = 0;
    int height = 0;
    bool fresh = false;
};

std::mutex smallMutex;
Small small;                          // guarded by smallMutex
SwsContext *scaler = nullptr;         // video thread only
int sourceWidth = 0;                  // video thread only
int sourceHeight = 0;
Clock::time_point lastOffer{};        // video thread only
tjhandle compressor = nullptr;        // status thread only

bool writeFile(const std::string &path, const unsigned char *data, unsigned long size)
{
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, data, size) == static_cast<ssize_t>(size);
    ok = ::close(fd) == 0 && ok;
    return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

bool Preview_start(int width, int height)
{
    Preview_stop();
    if (width <= 0 || height <= 0) {
        return false;
    }
    // Even sizes for 4:2:0, the picture's own aspect.
    int w = PREVIEW_WIDTH;
    int h = std::max(2, (height * w / width) & ~1);
    scaler = sws_getContext(width, height, AV_PIX_FMT_NV12, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                            nullptr);
    if (scaler == nullptr) {
        std::fputs("Warning: no preview picture: the scaler cannot be made\n", stderr);
        return false;
    }
    std::lock_guard<std::mutex> lock(smallMutex);
    small.width = w;
    small.height = h;
    small.planes[0].assign(static_cast<size_t>(w) * h, 16);
    small.planes[1].assign(static_cast<size_t>(w / 2) * (h / 2), 128);
    small.planes[2].assign(static_cast<size_t>(w / 2) * (h / 2), 128);
    small.fresh = false;
    sourceWidth = width;
    sourceHeight = height;
    lastOffer = Clock::time_point{};
    return true;
}

void Preview_offer(Buffer_Handle captured)
{
    Clock::time_point now = Clock::now();
    if (scaler == nullptr || now - lastOffer < std::chrono::milliseconds(PREVIEW_PERIOD_MS)) {
        return;
    }
    CapPicture pic = CapBuf_picture(captured);
    if (pic.colorSpace != ColorSpace_YUV420PSEMI || pic.width != sourceWidth || pic.height != sourceHeight ||
        static_cast<size_t>(pic.lineLength) * pic.height * 3 / 2 > pic.size) {
        return;
    }
    std::unique_lock<std::mutex> lock(smallMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return; // the status thread is compressing the last one: this offer is passed over
    }
    const uint8_t *src[2] = {pic.data, pic.data + static_cast<size_t>(pic.lineLength) * pic.height};
    int srcStride[2] = {pic.lineLength, pic.lineLength};
    uint8_t *dst[3] = {small.planes[0].data(), small.planes[1].data(), small.planes[2].data()};
    int dstStride[3] = {small.width, small.width / 2, small.width / 2};
    sws_scale(scaler, src, srcStride, 0, pic.height, dst, dstStride);
    small.fresh = true;
    lastOffer = now;
}

void Preview_stop()
{
    if (scaler != nullptr) {
        sws_freeContext(scaler);
        scaler = nullptr;
    }
}

bool Preview_writeJpeg(const std::string &systemPath)
{
    std::lock_guard<std::mutex> lock(smallMutex);
    if (!small.fresh) {
        return false;
    }
    small.fresh = false;
    if (compressor == nullptr && (compressor = tjInitCompress()) == nullptr) {
        return false;
    }
    const unsigned char *planes[3] = {small.planes[0].data(), small.planes[1].data(), small.planes[2].data()};
    int strides[3] = {small.width, small.width / 2, small.width / 2};
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompressFromYUVPlanes(compressor, planes, small.width, strides, small.height, TJSAMP_420, &jpeg, &size,
                                kJpegQuality, TJFLAG_FASTDCT) != 0) {
        return false;
    }
    bool ok = writeFile(Path_resolve(systemPath), jpeg, size);
    tjFree(jpeg);
    return ok;
}
