// The yardstick for a scaled picture: an exact area downscale (every output sample the mean of the
// input area it covers, partly covered samples weighted by their covered share) and the PSNR of a
// plane against it. Slow on purpose (doubles, no shortcut), for tests and benchmarks only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace area_scale {

// One plane of `components` interleaved samples (1 for luma, 2 for NV12's UV), width and height in
// samples per component, `stride` bytes per line. Returns outW x outH x components bytes, packed.
inline std::vector<uint8_t> downscale(const uint8_t *src, int width, int height, int stride, int components,
                                      int outW, int outH)
{
    std::vector<uint8_t> out(static_cast<size_t>(outW) * outH * components);
    const double sx = static_cast<double>(width) / outW;
    const double sy = static_cast<double>(height) / outH;
    for (int oy = 0; oy < outH; oy++) {
        double y0 = oy * sy;
        double y1 = y0 + sy;
        for (int ox = 0; ox < outW; ox++) {
            double x0 = ox * sx;
            double x1 = x0 + sx;
            for (int c = 0; c < components; c++) {
                double sum = 0;
                for (int y = static_cast<int>(y0); y < height && y < y1; y++) {
                    double wy = std::fmin(y1, y + 1.0) - std::fmax(y0, static_cast<double>(y));
                    const uint8_t *line = src + static_cast<size_t>(y) * stride;
                    for (int x = static_cast<int>(x0); x < width && x < x1; x++) {
                        double wx = std::fmin(x1, x + 1.0) - std::fmax(x0, static_cast<double>(x));
                        sum += wx * wy * line[static_cast<size_t>(x) * components + c];
                    }
                }
                double v = sum / (sx * sy);
                out[(static_cast<size_t>(oy) * outW + ox) * components + c] =
                    static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
            }
        }
    }
    return out;
}

// PSNR in dB of `n` samples against the reference (99 when they are equal).
inline double psnr(const uint8_t *a, const uint8_t *reference, size_t n)
{
    double se = 0;
    for (size_t i = 0; i < n; i++) {
        double d = static_cast<double>(a[i]) - reference[i];
        se += d * d;
    }
    if (se == 0) {
        return 99.0;
    }
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

} // namespace area_scale
