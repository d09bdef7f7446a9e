#include "encode/video/stream_counters.h"

#include "encode/codec/videnc.h"

#include <nlohmann/json.hpp>

#include <time.h>

#include <cmath>

namespace {

int64_t monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

} // namespace

void StreamCounters::start(StatusSection section, int width, int height)
{
    stop();
    width_ = width;
    height_ = height;
    id_ = StatusBoard_add(section, report, this);
}

void StreamCounters::stop()
{
    StatusBoard_remove(id_);
    id_ = 0;
}

void StreamCounters::coded(Buffer_Handle captured, Buffer_Handle out)
{
    pictures_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(static_cast<uint64_t>(Buffer_getNumBytesUsed(out)), std::memory_order_relaxed);
    if (BufferGfx_getFrameType(captured) == VideoEnc_FRAME_IDR) {
        lastIdrNs_.store(monotonicNs(), std::memory_order_relaxed);
    }
}

void StreamCounters::report(const void *ctx, nlohmann::json &out)
{
    const auto &c = *static_cast<const StreamCounters *>(ctx);
    out["on"] = true;
    out["width"] = c.width_;
    out["height"] = c.height_;
    out["encoded"] = c.pictures_.load(std::memory_order_relaxed);
    out["bytes"] = c.bytes_.load(std::memory_order_relaxed);
    int64_t idr = c.lastIdrNs_.load(std::memory_order_relaxed);
    out["idr_age_s"] = idr == 0 ? nlohmann::json(nullptr) : nlohmann::json(std::round((monotonicNs() - idr) / 1e8) / 10);
}
