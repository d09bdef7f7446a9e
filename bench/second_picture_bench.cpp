// The second picture's scaling, 1920x1080 NV12 to 640x480 NV12 on one thread: every libyuv filter and
// the libswscale filters beside each other, and encode's own resizer (the module the capture runs), each
// with its cost per picture and its PSNR against an exact area downscale of the same frames (the
// benchmark's test picture with camera-like noise). Cost is the best of three passes over the frames.
#include "encode/device/resizer.h"
#include "bench/bench_frames.h"
#include "tests/support/area_scale.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int kOutW = 640;
constexpr int kOutH = 480;
constexpr int kFrames = 10;
constexpr int kPasses = 3;
constexpr int kRepeat = 20; // each frame scaled this often per pass
constexpr size_t kFrameBytes = static_cast<size_t>(kW) * kH * 3 / 2;
constexpr size_t kOutBytes = static_cast<size_t>(kOutW) * kOutH * 3 / 2;

struct Result {
    double ms;
    double psnrY;
    double psnrUv;
    double psnrAll; // every sample of the picture, luma and chroma
};

// Scales frame `src` (NV12, kW x kH, packed) into `dst` (NV12, kOutW x kOutH, packed).
using Scaler = std::function<void(const uint8_t *src, uint8_t *dst)>;

Result measure(const std::vector<uint8_t> &frames, const std::vector<uint8_t> &reference, const Scaler &scale)
{
    std::vector<uint8_t> out(kOutBytes * kFrames);
    double best = 1e9;
    for (int pass = 0; pass < kPasses; pass++) {
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < kRepeat; r++) {
            for (int f = 0; f < kFrames; f++) {
                scale(&frames[f * kFrameBytes], &out[f * kOutBytes]);
            }
        }
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() /
                    (kRepeat * kFrames);
        best = ms < best ? ms : best;
    }
    const size_t lumaOut = static_cast<size_t>(kOutW) * kOutH;
    double y = 0;
    double uv = 0;
    double all = 0;
    for (int f = 0; f < kFrames; f++) {
        y += area_scale::psnr(&out[f * kOutBytes], &reference[f * kOutBytes], lumaOut);
        uv += area_scale::psnr(&out[f * kOutBytes + lumaOut], &reference[f * kOutBytes + lumaOut], lumaOut / 2);
        all += area_scale::psnr(&out[f * kOutBytes], &reference[f * kOutBytes], kOutBytes);
    }
    return {best, y / kFrames, uv / kFrames, all / kFrames};
}

Scaler swscale(int flags)
{
    auto ctx = std::shared_ptr<SwsContext>(
        sws_getContext(kW, kH, AV_PIX_FMT_NV12, kOutW, kOutH, AV_PIX_FMT_NV12, flags, nullptr, nullptr, nullptr),
        sws_freeContext);
    return [ctx](const uint8_t *src, uint8_t *dst) {
        const uint8_t *s[4] = {src, src + static_cast<size_t>(kW) * kH, nullptr, nullptr};
        const int ss[4] = {kW, kW, 0, 0};
        uint8_t *d[4] = {dst, dst + static_cast<size_t>(kOutW) * kOutH, nullptr, nullptr};
        const int ds[4] = {kOutW, kOutW, 0, 0};
        sws_scale(ctx.get(), s, ss, 0, kH, d, ds);
    };
}

Scaler yuv(libyuv::FilterMode mode)
{
    return [mode](const uint8_t *src, uint8_t *dst) {
        libyuv::NV12Scale(src, kW, src + static_cast<size_t>(kW) * kH, kW, kW, kH, dst, kOutW,
                          dst + static_cast<size_t>(kOutW) * kOutH, kOutW, kOutW, kOutH, mode);
    };
}

// Luma by libyuv's box, or (twoStepLuma) a 2:1 box to half size and bilinear from there; U and V split
// into planes of their own, each scaled by libswscale's area filter (areaChroma) or libyuv's box.
Scaler splitChroma(bool twoStepLuma, bool areaChroma)
{
    auto planes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(kW) * kH / 2 + kOutBytes +
                                                         static_cast<size_t>(kW / 2) * (kH / 2));
    auto ctx = std::shared_ptr<SwsContext>(sws_getContext(kW / 2, kH / 2, AV_PIX_FMT_GRAY8, kOutW / 2, kOutH / 2,
                                                          AV_PIX_FMT_GRAY8, SWS_AREA, nullptr, nullptr, nullptr),
                                           sws_freeContext);
    return [=](const uint8_t *src, uint8_t *dst) {
        const size_t in = static_cast<size_t>(kW / 2) * (kH / 2);
        const size_t out = static_cast<size_t>(kOutW / 2) * (kOutH / 2);
        uint8_t *u = planes->data();
        uint8_t *v = u + in;
        uint8_t *su = v + in;
        uint8_t *sv = su + out;
        uint8_t *halfY = sv + out;
        if (twoStepLuma) {
            libyuv::ScalePlane(src, kW, kW, kH, halfY, kW / 2, kW / 2, kH / 2, libyuv::kFilterBox);
            libyuv::ScalePlane(halfY, kW / 2, kW / 2, kH / 2, dst, kOutW, kOutW, kOutH, libyuv::kFilterBilinear);
        } else {
            libyuv::ScalePlane(src, kW, kW, kH, dst, kOutW, kOutW, kOutH, libyuv::kFilterBox);
        }
        libyuv::SplitUVPlane(src + static_cast<size_t>(kW) * kH, kW, u, kW / 2, v, kW / 2, kW / 2, kH / 2);
        for (int p = 0; p < 2; p++) {
            uint8_t *from = p == 0 ? u : v;
            uint8_t *to = p == 0 ? su : sv;
            if (areaChroma) {
                const uint8_t *s[4] = {from, nullptr, nullptr, nullptr};
                const int ss[4] = {kW / 2, 0, 0, 0};
                uint8_t *d[4] = {to, nullptr, nullptr, nullptr};
                const int ds[4] = {kOutW / 2, 0, 0, 0};
                sws_scale(ctx.get(), s, ss, 0, kH / 2, d, ds);
            } else {
                libyuv::ScalePlane(from, kW / 2, kW / 2, kH / 2, to, kOutW / 2, kOutW / 2, kOutH / 2,
                                   libyuv::kFilterBox);
            }
        }
        libyuv::MergeUVPlane(su, kOutW / 2, sv, kOutW / 2, dst + static_cast<size_t>(kOutW) * kOutH, kOutW,
                             kOutW / 2, kOutH / 2);
    };
}

// Two steps: an exact 2:1 box to half size (cheap, SIMD, reads the source once), then a box filter
// from the half-size picture, still in cache; chroma alike through UVScale, never split.
Scaler twoSteps(libyuv::FilterMode second)
{
    auto half = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(kW / 2) * (kH / 2) * 3 / 2);
    return [=](const uint8_t *src, uint8_t *dst) {
        const int hw = kW / 2;
        const int hh = kH / 2;
        uint8_t *hy = half->data();
        uint8_t *huv = hy + static_cast<size_t>(hw) * hh;
        libyuv::ScalePlane(src, kW, kW, kH, hy, hw, hw, hh, libyuv::kFilterBox);
        libyuv::UVScale(src + static_cast<size_t>(kW) * kH, kW, kW / 2, kH / 2, huv, hw, hw / 2, hh / 2,
                        libyuv::kFilterBox);
        libyuv::ScalePlane(hy, hw, hw, hh, dst, kOutW, kOutW, kOutH, second);
        libyuv::UVScale(huv, hw, hw / 2, hh / 2, dst + static_cast<size_t>(kOutW) * kOutH, kOutW, kOutW / 2,
                        kOutH / 2, second);
    };
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/second-picture-bench-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (dir == nullptr) {
        return 1;
    }
    std::string raw = std::string(dir) + "/frames.nv12";
    if (!BenchFrames_make(raw, kFrames)) {
        std::fprintf(stderr, "cannot make the raw frames\n");
        return 1;
    }
    std::vector<uint8_t> frames(kFrameBytes * kFrames);
    std::ifstream(raw, std::ios::binary).read(reinterpret_cast<char *>(frames.data()), frames.size());
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());

    std::vector<uint8_t> reference(kOutBytes * kFrames);
    for (int f = 0; f < kFrames; f++) {
        const uint8_t *src = &frames[f * kFrameBytes];
        auto y = area_scale::downscale(src, kW, kH, kW, 1, kOutW, kOutH);
        auto uv = area_scale::downscale(src + static_cast<size_t>(kW) * kH, kW / 2, kH / 2, kW, 2, kOutW / 2,
                                        kOutH / 2);
        std::copy(y.begin(), y.end(), &reference[f * kOutBytes]);
        std::copy(uv.begin(), uv.end(), &reference[f * kOutBytes + y.size()]);
    }

    bool failed = false;
    Resizer_Handle h = Resizer_createSoftware({1, kOutW, kOutH}, kW, kH, kW, &failed);
    if (h == nullptr) {
        std::fprintf(stderr, "cannot make the resizer\n");
        return 1;
    }

    struct Row {
        const char *name;
        Scaler scale;
    };
    const Row rows[] = {
        {"libswscale bilinear (encode at first)", swscale(SWS_BILINEAR)},
        {"libswscale fast_bilinear", swscale(SWS_FAST_BILINEAR)},
        {"libswscale area", swscale(SWS_AREA)},
        {"libyuv none (point)", yuv(libyuv::kFilterNone)},
        {"libyuv linear", yuv(libyuv::kFilterLinear)},
        {"libyuv bilinear", yuv(libyuv::kFilterBilinear)},
        {"libyuv box", yuv(libyuv::kFilterBox)},
        {"libyuv box Y, box on U and V split", splitChroma(false, false)},
        {"libyuv box Y, libswscale area on U, V", splitChroma(false, true)},
        {"libyuv 2:1 box + bilinear Y, area U, V", splitChroma(true, true)}, // encode before its area filter
        {"libyuv 2:1 box, then bilinear", twoSteps(libyuv::kFilterBilinear)},
    };
    std::printf("second picture 1920x1080 -> 640x480 NV12, one thread, best of %d passes of %d scalings;\n"
                "PSNR against an exact area downscale of the same %d frames\n",
                kPasses, kRepeat * kFrames, kFrames);
    std::printf("  %-38s %10s %9s %9s %9s %12s\n", "", "ms/picture", "PSNR Y", "PSNR UV", "PSNR all", "cost ratio");
    double before = 0;
    for (const Row &r : rows) {
        Result m = measure(frames, reference, r.scale);
        if (before == 0) {
            before = m.ms;
        }
        std::printf("  %-38s %10.3f %9.2f %9.2f %9.2f %11.2fx\n", r.name, m.ms, m.psnrY, m.psnrUv, m.psnrAll,
                    m.ms / before);
    }
    Result ours = measure(frames, reference, [h](const uint8_t *src, uint8_t *dst) { Resizer_scale(h, src, dst); });
    std::printf("  %-38s %10.3f %9.2f %9.2f %9.2f %11.2fx\n", "encode's resizer (now)", ours.ms, ours.psnrY,
                ours.psnrUv, ours.psnrAll, ours.ms / before);
    Resizer_delete(h);
    return 0;
}
