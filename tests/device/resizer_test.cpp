// The software resizer's second picture against an exact area downscale of a known pattern, for the
// second-picture sizes a user picks (odd ratios, a 2:1, a main picture whose lines are padded).
#include "encode/device/resizer.h"
#include "encode/device/area_filter.h"
#include "tests/support/area_scale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Gratings and gradients in luma and both chroma components, and in each a fine grating that an area
// filter averages away and a point sampler folds back into the picture.
std::vector<uint8_t> pattern(int width, int height, int lineLength, size_t bufferSize)
{
    std::vector<uint8_t> buf(bufferSize, 0xEE);
    const double pi = 3.14159265358979;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double v = 120 + 50 * std::sin(2 * pi * x / 37.0) * std::cos(2 * pi * y / 53.0) + 40.0 * x / width +
                       25 * std::sin(2 * pi * x / 2.7) * std::sin(2 * pi * y / 2.9);
            buf[static_cast<size_t>(y) * lineLength + x] = static_cast<uint8_t>(std::lround(v));
        }
    }
    uint8_t *uv = buf.data() + static_cast<size_t>(lineLength) * height;
    for (int y = 0; y < height / 2; y++) {
        for (int x = 0; x < width / 2; x++) {
            uv[static_cast<size_t>(y) * lineLength + 2 * x] =
                static_cast<uint8_t>(std::lround(128 + 60 * std::sin(2 * pi * x / 29.0) + 20 * std::sin(2 * pi * (x + y) / 2.6)));
            uv[static_cast<size_t>(y) * lineLength + 2 * x + 1] =
                static_cast<uint8_t>(std::lround(128 + 50 * std::cos(2 * pi * (x + y) / 41.0)));
        }
    }
    return buf;
}

TEST(ResizerTest, SecondPictureMatchesAnAreaDownscale)
{
    struct Case {
        int width, height, lineLength, outW, outH;
    } cases[] = {
        {1920, 1080, 1920, 640, 480}, // the usual second stream: 3 and 2.25 to one
        {1280, 720, 1280, 640, 360},  // 2 to one
        {1920, 1080, 1920, 1280, 720},
        {1366, 768, 1376, 352, 288}, // padded lines
        {720, 576, 736, 720, 576},   // the same size: a copy
        {1920, 1080, 1920, 16, 8},   // windows wider than the weights' resolution
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " -> " << c.outW << "x" << c.outH);
        ResizerSettings settings{1, c.outW, c.outH};
        bool failed = true;
        Resizer_Handle r = Resizer_createSoftware(settings, c.width, c.height, c.lineLength, &failed);
        ASSERT_NE(r, nullptr);
        EXPECT_FALSE(failed);
        const size_t mainSize = static_cast<size_t>(c.lineLength) * c.height * 3 / 2;
        const size_t secondSize = Resizer_secondSize(settings);
        std::vector<uint8_t> buf = pattern(c.width, c.height, c.lineLength, mainSize + secondSize + 64);
        const std::vector<uint8_t> before = buf;

        // A buffer one byte short is refused and left as it was.
        EXPECT_EQ(Resizer_process(r, buf.data(), mainSize + secondSize - 1), -1);
        EXPECT_EQ(buf, before);

        ASSERT_EQ(Resizer_process(r, buf.data(), buf.size()), 0);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + mainSize, before.begin())) << "main picture changed";
        EXPECT_TRUE(std::equal(buf.begin() + mainSize + secondSize, buf.end(), before.begin() + mainSize + secondSize))
            << "written past the second picture";

        auto y = area_scale::downscale(buf.data(), c.width, c.height, c.lineLength, 1, c.outW, c.outH);
        auto uv = area_scale::downscale(buf.data() + static_cast<size_t>(c.lineLength) * c.height, c.width / 2,
                                        c.height / 2, c.lineLength, 2, c.outW / 2, c.outH / 2);
        const uint8_t *second = buf.data() + mainSize;
        // 55 dB: the scaler is an area downscale, off the exact one by its rounding alone (63 dB and up
        // here); a bilinear picture (42 to 45 dB in luma), a point-sampled one (26), a shifted, wrongly
        // strided or U-for-V one does not pass.
        EXPECT_GE(area_scale::psnr(second, y.data(), y.size()), 55.0);
        EXPECT_GE(area_scale::psnr(second + y.size(), uv.data(), uv.size()), 55.0);
        Resizer_delete(r);
    }
}

} // namespace

// Every axis a user's sizes can make (each size from 2 to 64 onto each smaller one, and the extremes of
// the largest pictures): each output sample's window lies inside the source, and each weight is its
// sample's covered share of the output's area, to within the rounding of one step of 1/256.
TEST(AreaFilterTest, EachOutputWeighsTheAreaItCovers)
{
    std::vector<std::pair<int, int>> axes;
    for (int from = 2; from <= 64; from++) {
        for (int to = 1; to <= from; to++) {
            axes.emplace_back(from, to);
        }
    }
    for (auto extreme : {std::pair{1920, 2}, {1080, 2}, {1920, 1918}, {4096, 3}, {1366, 352}}) {
        axes.push_back(extreme);
    }
    for (auto [from, to] : axes) {
        SCOPED_TRACE(testing::Message() << from << " -> " << to);
        AreaFilter::Axis a = AreaFilter::makeAxis(from, to);
        ASSERT_EQ(a.first.size(), static_cast<size_t>(to));
        for (int i = 0; i < to; i++) {
            ASSERT_GE(a.first[i], 0);
            ASSERT_LE(a.first[i] + a.taps, from);
            int sum = 0;
            for (int k = 0; k < a.taps; k++) {
                const int j = a.first[i] + k;
                // Source sample j covers [j, j+1) of the output's [i*from/to, (i+1)*from/to).
                double lo = std::max(static_cast<double>(j), static_cast<double>(i) * from / to);
                double hi = std::min(j + 1.0, static_cast<double>(i + 1) * from / to);
                double share = std::max(0.0, hi - lo) * to / from;
                int w = a.weights[static_cast<size_t>(i) * a.taps + k];
                ASSERT_NEAR(w, share * 256, 1.0) << "output " << i << ", source " << j;
                sum += w;
            }
            ASSERT_EQ(sum, 256) << "output " << i;
        }
    }
}
