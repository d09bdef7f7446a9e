// An exact area downscale of one 8-bit plane (luma, or NV12's interleaved UV) in one pass over its source:
// every output sample is the mean of the source area it covers, partly covered samples weighted by their
// covered share (as libswscale's area filter, or a board resizer's box).
//
// Why a pass of its own: the second picture is made from every captured frame, and the frame is cold in
// memory when the scaler reaches it; composed library calls (box, then bilinear, then chroma split, scaled
// and merged) read and write the picture several times over. Here each source line is read from memory
// once: the lines of one output line are summed with their weights into one line of 16-bit sums
// (vectorised), then each output sample sums its columns of that line.
//
// Weights are 8-bit fixed point summing to exactly 256 per axis, so that a flat area stays exact and the
// 16-bit line sum of 255s cannot overflow. Set up once; scaling allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class AreaFilter {
public:
    // `from` samples per component to `to` (1 <= to <= from) on each axis, `components` interleaved (1 or
    // 2).
    AreaFilter(int fromWidth, int fromHeight, int toWidth, int toHeight, int components);

    // Scales the plane at `src` (`srcStride` bytes a line) into `dst` (`dstStride` bytes a line).
    void scale(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride);

    // The taps of one axis: for each output sample the first source sample and `taps` weights (zero-padded
    // to the longest window, kept inside the source).
    struct Axis {
        int taps = 0;
        bool whole = false; // a whole-number ratio: output i starts at taps * i, all with the same weights
        std::vector<int> first;
        std::vector<uint16_t> weights; // taps per output sample
    };
    static Axis makeAxis(int from, int to);

private:
    int components_;
    int lineBytes_; // source samples per line, all components
    Axis rows_;
    Axis columns_;
    std::vector<uint16_t> sums_; // one line of vertical sums
};
