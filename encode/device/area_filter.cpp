#include "encode/device/area_filter.h"

#include <algorithm>

namespace {

constexpr int kOne = 256; // the weights of one output sample on one axis sum to this

// sums[x] = sum over the taps of weight * line, for one output line; the loops are plain so that the
// compiler makes them vector code.
[[gnu::always_inline]] inline void sumLines(const uint8_t *__restrict src, ptrdiff_t stride, const uint16_t *weights,
                                            int taps, int bytes, uint16_t *__restrict sums)
{
    const uint16_t w0 = weights[0];
    for (int x = 0; x < bytes; x++) {
        sums[x] = static_cast<uint16_t>(src[x] * w0);
    }
    for (int k = 1; k < taps; k++) {
        const uint16_t w = weights[k];
        if (w == 0) {
            continue;
        }
        const uint8_t *line = src + k * stride;
        for (int x = 0; x < bytes; x++) {
            sums[x] = static_cast<uint16_t>(sums[x] + line[x] * w);
        }
    }
}

// One output line from the line of sums: each sample the weighted sum of its columns, rounded back to 8
// bits. Taps known at compile time for the common windows.
template <int C, int T>
[[gnu::always_inline]] inline void sumColumns(const uint16_t *__restrict sums, const int *first,
                                              const uint16_t *weights, int taps, int width, uint8_t *__restrict dst)
{
    const int n = T > 0 ? T : taps;
    for (int i = 0; i < width; i++) {
        const uint16_t *s = sums + first[i] * C;
        const uint16_t *w = weights + i * n;
        for (int c = 0; c < C; c++) {
            uint32_t acc = 1u << 15;
            for (int k = 0; k < n; k++) {
                acc += static_cast<uint32_t>(s[k * C + c]) * w[k];
            }
            dst[i * C + c] = static_cast<uint8_t>(acc >> 16);
        }
    }
}

// The same where the ratio is a whole number R (3 for the usual 1920 to 640): every output sample has the
// same R weights over the next R columns, a pattern the compiler makes vector code of.
template <int C, int R>
[[gnu::always_inline]] inline void sumColumnsWhole(const uint16_t *__restrict sums, const uint16_t *weights, int width,
                                                   uint8_t *__restrict dst)
{
    uint32_t w[R];
    for (int k = 0; k < R; k++) {
        w[k] = weights[k];
    }
    for (int i = 0; i < width; i++) {
        for (int c = 0; c < C; c++) {
            uint32_t acc = 1u << 15;
            for (int k = 0; k < R; k++) {
                acc += sums[(R * i + k) * C + c] * w[k];
            }
            dst[i * C + c] = static_cast<uint8_t>(acc >> 16);
        }
    }
}

template <int C>
[[gnu::always_inline]] inline void sumColumnsFor(const uint16_t *sums, const AreaFilter::Axis &a, int width,
                                                 uint8_t *dst)
{
    if (a.whole) {
        switch (a.taps) {
        case 2: sumColumnsWhole<C, 2>(sums, a.weights.data(), width, dst); return;
        case 3: sumColumnsWhole<C, 3>(sums, a.weights.data(), width, dst); return;
        case 4: sumColumnsWhole<C, 4>(sums, a.weights.data(), width, dst); return;
        default: break;
        }
    }
    switch (a.taps) {
    case 1: sumColumns<C, 1>(sums, a.first.data(), a.weights.data(), 1, width, dst); break;
    case 2: sumColumns<C, 2>(sums, a.first.data(), a.weights.data(), 2, width, dst); break;
    case 3: sumColumns<C, 3>(sums, a.first.data(), a.weights.data(), 3, width, dst); break;
    case 4: sumColumns<C, 4>(sums, a.first.data(), a.weights.data(), 4, width, dst); break;
    default: sumColumns<C, 0>(sums, a.first.data(), a.weights.data(), a.taps, width, dst); break;
    }
}

// The whole plane, line by line. On x86 made also for the vector units that the PC may have beyond the
// baseline's, and chosen when the program loads: twice the speed with AVX2, again more with AVX-512.
// Not under ThreadSanitizer, whose instrumented resolver would run before its runtime is up.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
void scalePlane(const AreaFilter::Axis &rows, const AreaFilter::Axis &columns, int components, int lineBytes,
                const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, uint16_t *sums)
{
    const int toHeight = static_cast<int>(rows.first.size());
    const int toWidth = static_cast<int>(columns.first.size());
    for (int y = 0; y < toHeight; y++) {
        sumLines(src + rows.first[y] * srcStride, srcStride, rows.weights.data() + static_cast<size_t>(y) * rows.taps,
                 rows.taps, lineBytes, sums);
        uint8_t *out = dst + y * dstStride;
        if (components == 2) {
            sumColumnsFor<2>(sums, columns, toWidth, out);
        } else {
            sumColumnsFor<1>(sums, columns, toWidth, out);
        }
    }
}

} // namespace

AreaFilter::Axis AreaFilter::makeAxis(int from, int to)
{
    // In units of 1/(from*to): output i covers [i*from, (i+1)*from), source j covers [j*to, (j+1)*to).
    Axis a;
    for (int i = 0; i < to; i++) {
        const long long lo = static_cast<long long>(i) * from;
        const long long hi = lo + from;
        a.taps = std::max(a.taps, static_cast<int>((hi + to - 1) / to - lo / to));
    }
    a.first.resize(static_cast<size_t>(to));
    a.weights.assign(static_cast<size_t>(to) * a.taps, 0);
    for (int i = 0; i < to; i++) {
        const long long lo = static_cast<long long>(i) * from;
        const long long hi = lo + from;
        const int j0 = static_cast<int>(lo / to);
        const int first = std::min(j0, from - a.taps);
        a.first[i] = first;
        uint16_t *w = a.weights.data() + static_cast<size_t>(i) * a.taps;
        // Each weight is the step of the rounded running share: they sum to exactly kOne, and the
        // rounding is spread over the window (a window wider than kOne samples stays a box).
        long long covered = 0;
        int before = 0;
        for (int j = j0; static_cast<long long>(j) * to < hi; j++) {
            covered += std::min(hi, static_cast<long long>(j + 1) * to) - std::max(lo, static_cast<long long>(j) * to);
            const int share = static_cast<int>((covered * kOne * 2 + from) / (2 * from));
            w[j - first] = static_cast<uint16_t>(share - before);
            before = share;
        }
    }
    a.whole = from % to == 0;
    return a;
}

AreaFilter::AreaFilter(int fromWidth, int fromHeight, int toWidth, int toHeight, int components)
    : components_(components), lineBytes_(fromWidth * components), rows_(makeAxis(fromHeight, toHeight)),
      columns_(makeAxis(fromWidth, toWidth)), sums_(static_cast<size_t>(fromWidth) * components)
{
}

void AreaFilter::scale(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride)
{
    scalePlane(rows_, columns_, components_, lineBytes_, src, srcStride, dst, dstStride, sums_.data());
}
