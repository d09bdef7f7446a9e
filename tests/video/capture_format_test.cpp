// The capture adapter's fixed rules: the driver's standard identifiers, the size and pitch rules, the
// pixel format choice, and the pictures it draws (black, the seven bars, the moving test picture).
#include "encode/device/capture.h"
#include "encode/media/buftab.h"

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

uint64_t hi(uint32_t high)
{
    return static_cast<uint64_t>(high) << 32;
}

struct Frame {
    std::vector<uint8_t> mem;
    CapPicture pic;
    Frame(int w, int h, int cs, int lineLength = 0)
    {
        int ll = lineLength > 0 ? lineLength : (cs == 2 ? w * 2 : w);
        int rows = cs == 0 ? h * 3 / 2 : cs == 1 ? h * 2 : h;
        mem.assign(static_cast<size_t>(ll) * rows + 64, 0xAB);
        pic = {mem.data(), static_cast<size_t>(ll) * rows, w, h, ll, cs};
    }
    uint8_t y(int x, int row) const { return pic.data[static_cast<size_t>(row) * pic.lineLength + x]; }
};

} // namespace

TEST(CaptureStandards, IdentifierTableFirstMatchWins)
{
    struct Case {
        uint64_t id;
        int std;
    } cases[] = {
        {0xB000, 21},         {0x1000, 21},         {0xFF, 22},           {0x01, 22},
        {hi(1u << 16), 23},   {hi(1u << 17), 24},   {hi(0x40000), 25},    {hi(0x80000), 26},
        {hi(0x1000000), 27},  {hi(0x2000000), 28},  {hi(0x100000), 36},   {hi(0x200000), 37},
        {hi(0x4000000), 30},  {hi(0x400000), 34},   {hi(0x800000), 35},   {hi(0x8000), 4},
        {hi(0x4000), 5},      {hi(0x2000), 6},      {hi(0x1000), 7},      {hi(0x800), 9},
        {hi(0x400), 8},       {hi(0x200), 10},      {hi(0x100), 11},      {hi(0x80), 12},
        {hi(0x40), 13},       {hi(0x20), 14},       {hi(0x10), 15},       {hi(0x8), 16},
        {hi(0x4), 17},        {hi(0x2), 18},        {hi(0x1), 19},        {0x80000000u, 20},
        // An SD bit wins over anything in the high half; a high bit-16 row over an exact HD row.
        {0xB000 | hi(0x40000), 21}, {hi(0x40000 | (1u << 16)), 23},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CaptureFormat_stdFromId(c.id), c.std) << std::hex << c.id;
    }
    // Two HD bits together match no exact row; nothing at all is unknown.
    EXPECT_EQ(CaptureFormat_stdFromId(hi(0x40000 | 0x80000)), CaptureFormat_NO_STD);
    EXPECT_EQ(CaptureFormat_stdFromId(0), CaptureFormat_NO_STD);
    EXPECT_EQ(CaptureFormat_stdFromId(0x80000000u | hi(1)), CaptureFormat_NO_STD);
}

TEST(CaptureStandards, EveryAcceptedStandardCanBeForcedAndReadsBack)
{
    for (int std : {21, 22, 25, 26, 27, 28, 30, 34, 35, 36, 37, 4, 18, 20}) {
        uint64_t id = CaptureFormat_idFromStd(std);
        ASSERT_NE(id, 0u) << std;
        EXPECT_EQ(CaptureFormat_stdFromId(id), std);
    }
    EXPECT_EQ(CaptureFormat_idFromStd(29), 0u);
}

TEST(CaptureStandards, ExposureFieldOrderAndRates)
{
    for (uint32_t h : {0x40000u, 0x80000u, 0x1000000u}) {
        EXPECT_EQ(CaptureFormat_exposureForId(hi(h)), 754);
    }
    for (uint32_t h : {0x4000000u, 0x800000u, 0x400000u, 0x2000000u, 0x200000u, 0x100000u}) {
        EXPECT_EQ(CaptureFormat_exposureForId(hi(h)), 1110);
    }
    EXPECT_EQ(CaptureFormat_exposureForId(0xB000), 1524);
    EXPECT_EQ(CaptureFormat_exposureForId(hi(0x10)), 1524);
    EXPECT_EQ(CaptureFormat_exposureForStd(26), 754);
    EXPECT_EQ(CaptureFormat_exposureForStd(35), 1110);
    EXPECT_EQ(CaptureFormat_exposureForStd(36), 1524);
    EXPECT_EQ(CaptureFormat_exposureForStd(21), 1524);

    for (int s : {1, 2, 3, 21, 22, 28, 29, 36, 37}) {
        EXPECT_TRUE(CaptureFormat_isInterlaced(s)) << s;
    }
    for (int s : {25, 26, 27, 30, 34, 35, 4, 18}) {
        EXPECT_FALSE(CaptureFormat_isInterlaced(s)) << s;
    }
    EXPECT_EQ(CaptureFormat_framePeriodNs(CaptureFormat_frameRate(25)), 16666666);
    EXPECT_EQ(CaptureFormat_framePeriodNs(CaptureFormat_frameRate(27)), 33333333);
    EXPECT_EQ(CaptureFormat_framePeriodNs(CaptureFormat_frameRate(22)), 40000000);
    EXPECT_EQ(CaptureFormat_framePeriodNs(CaptureFormat_frameRate(21)), 33366666);
}

TEST(CaptureStandards, PictureSizeOfDevicesWithoutStandards)
{
    EXPECT_EQ(CaptureFormat_stdFromSize(1280, 720, false, 60), 25);
    EXPECT_EQ(CaptureFormat_stdFromSize(1280, 720, false, 0), 25);
    EXPECT_EQ(CaptureFormat_stdFromSize(1280, 720, false, 50), 26);
    EXPECT_EQ(CaptureFormat_stdFromSize(1280, 720, false, 30), 27);
    EXPECT_EQ(CaptureFormat_stdFromSize(1920, 1080, false, 30), 30);
    EXPECT_EQ(CaptureFormat_stdFromSize(1920, 1080, false, 59.94), 34);
    EXPECT_EQ(CaptureFormat_stdFromSize(1920, 1080, false, 50), 35);
    EXPECT_EQ(CaptureFormat_stdFromSize(1920, 1080, true, 30), 36);
    EXPECT_EQ(CaptureFormat_stdFromSize(720, 576, true, 25), 22);
    EXPECT_EQ(CaptureFormat_stdFromSize(1366, 768, false, 60), 18);
    EXPECT_EQ(CaptureFormat_stdFromSize(1000, 700, false, 60), CaptureFormat_NO_STD);
}

TEST(CaptureFormats, OwnFormatFirstThenConvertible)
{
    std::vector<uint32_t> dongle = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV};
    CaptureFormatChoice c = CaptureFormat_choose(dongle, ColorSpace_YUV420PSEMI);
    EXPECT_EQ(c.fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_TRUE(c.convert);

    std::vector<uint32_t> board = {V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV16};
    c = CaptureFormat_choose(board, ColorSpace_YUV420PSEMI);
    EXPECT_EQ(c.fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_NV12));
    EXPECT_FALSE(c.convert);
    EXPECT_EQ(CaptureFormat_choose(board, ColorSpace_YUV422PSEMI).fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_NV16));
    EXPECT_EQ(CaptureFormat_choose(board, ColorSpace_UYVY).fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_UYVY));

    std::vector<uint32_t> mjpegOnly = {V4L2_PIX_FMT_MJPEG};
    EXPECT_EQ(CaptureFormat_choose(mjpegOnly, ColorSpace_YUV420PSEMI).fourcc, 0u);
    // Only the 4:2:0 picture is made by conversion.
    EXPECT_EQ(CaptureFormat_choose(dongle, ColorSpace_YUV422PSEMI).fourcc, 0u);
    EXPECT_EQ(CaptureFormat_fourcc(ColorSpace_RGB565), 0u);
}

TEST(CaptureFormats, CameraPitchAndSize)
{
    CapturePitch p = CaptureFormat_cameraPitch(1366, 768, ColorSpace_YUV420PSEMI);
    EXPECT_EQ(p.bytesPerLine, 1376);
    EXPECT_EQ(p.sizeImage, 1376 * 768 * 3 / 2);
    p = CaptureFormat_cameraPitch(1920, 1080, ColorSpace_YUV420PSEMI);
    EXPECT_EQ(p.bytesPerLine, 1920);
    EXPECT_EQ(p.sizeImage, 1920 * 1080 * 3 / 2);
    p = CaptureFormat_cameraPitch(1280, 720, ColorSpace_UYVY);
    EXPECT_EQ(p.bytesPerLine, 2560);
    EXPECT_EQ(CaptureFormat_align32(1366), 1376);
    EXPECT_EQ(CaptureFormat_align32(1280), 1280);
    EXPECT_EQ(CaptureFormat_align32(1), 32);
}

TEST(CapturePictures, BlackFillForEachColourSpace)
{
    Frame nv12(64, 32, ColorSpace_YUV420PSEMI, 96);
    ASSERT_EQ(CapPicture_blackFill(nv12.pic), 0);
    for (size_t i = 0; i < 96u * 32; i++) {
        ASSERT_EQ(nv12.mem[i], 0) << i;
    }
    for (size_t i = 96u * 32; i < 96u * 48; i++) {
        ASSERT_EQ(nv12.mem[i], 128) << i;
    }
    EXPECT_EQ(nv12.mem[96u * 48], 0xAB); // nothing written behind the picture

    Frame nv16(64, 32, ColorSpace_YUV422PSEMI);
    ASSERT_EQ(CapPicture_blackFill(nv16.pic), 0);
    EXPECT_EQ(nv16.mem[64 * 32 - 1], 0);
    EXPECT_EQ(nv16.mem[64 * 64 - 1], 128);
    EXPECT_EQ(nv16.mem[64 * 64], 0xAB);

    Frame uyvy(64, 4, ColorSpace_UYVY);
    ASSERT_EQ(CapPicture_blackFill(uyvy.pic), 0);
    for (size_t i = 0; i < 128u * 4; i += 4) {
        ASSERT_EQ(uyvy.mem[i], 0x80);
        ASSERT_EQ(uyvy.mem[i + 1], 0x10);
    }
    CapPicture misaligned = uyvy.pic;
    misaligned.data += 1;
    EXPECT_EQ(CapPicture_blackFill(misaligned), Media_EFAIL);

    Frame rgb(16, 4, ColorSpace_RGB565, 32);
    ASSERT_EQ(CapPicture_blackFill(rgb.pic), 0);
    EXPECT_EQ(rgb.mem[127], 0);

    Frame rgb888(16, 4, ColorSpace_RGB888, 64);
    testing::internal::CaptureStderr();
    EXPECT_EQ(CapPicture_blackFill(rgb888.pic), Media_EFAIL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unsupported color space (3) for _blackFill\n");
    EXPECT_EQ(rgb888.mem[0], 0xAB);
}

TEST(CapturePictures, SevenGreyBarsAndABlackLastEighth)
{
    Frame f(1280, 16, ColorSpace_YUV420PSEMI);
    ASSERT_EQ(CapPicture_drawTestBars(f.pic), 0);
    for (int row : {0, 15}) {
        for (int j = 0; j < 7; j++) {
            EXPECT_EQ(f.y(j * 160, row), j * 31);
            EXPECT_EQ(f.y(j * 160 + 159, row), j * 31);
        }
        EXPECT_EQ(f.y(1120, row), 0);
        EXPECT_EQ(f.y(1279, row), 0);
    }
    EXPECT_EQ(f.mem[1280 * 16], 128); // chroma stays neutral

    // A width that is no multiple of 8: the remainder stays black as well.
    Frame odd(1366, 2, ColorSpace_YUV420PSEMI, 1376);
    ASSERT_EQ(CapPicture_drawTestBars(odd.pic), 0);
    EXPECT_EQ(odd.y(6 * 170 + 169, 1), 186);
    EXPECT_EQ(odd.y(7 * 170, 1), 0);
    EXPECT_EQ(odd.y(1365, 1), 0);

    Frame uyvy(64, 2, ColorSpace_UYVY);
    ASSERT_EQ(CapPicture_drawTestBars(uyvy.pic), 0);
    EXPECT_EQ(uyvy.mem[2 * 8 + 1], 31); // bar 1 begins at pixel 8
    EXPECT_EQ(uyvy.mem[2 * 8], 0x80);
}

TEST(CapturePictures, FrameNumberAndCaptureTimeReadBackEvenAfterNoise)
{
    std::mt19937 rng(7);
    for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}, std::pair{320, 240}, std::pair{720, 576}}) {
        Frame f(w, h, ColorSpace_YUV420PSEMI, CaptureFormat_align32(w));
        std::vector<uint8_t> bg(f.pic.size);
        CapPicture bgPic = f.pic;
        bgPic.data = bg.data();
        CapPicture_drawColorBars(bgPic);
        for (uint32_t n : {0u, 1u, 0x5A5A5Au, 0xFFFFFFFFu, 123456u}) {
            int64_t ms = 1700000000123 + n;
            CapPicture_drawTestsrc(f.pic, &bgPic, n, ms);
            // Coding noise of +-30 on every luma sample must not change the reading.
            std::uniform_int_distribution<int> noise(-30, 30);
            for (int r = 0; r < h; r++) {
                for (int c = 0; c < w; c++) {
                    uint8_t &v = f.pic.data[static_cast<size_t>(r) * f.pic.lineLength + c];
                    v = static_cast<uint8_t>(std::clamp(v + noise(rng), 0, 255));
                }
            }
            EXPECT_EQ(CapPicture_readFrameNumber(f.pic.data, f.pic.lineLength, w, h), static_cast<int64_t>(n))
                << w << "x" << h;
            EXPECT_EQ(CapPicture_readCaptureMs(f.pic.data, f.pic.lineLength, w, h), ms & 0xFFFFFFFF)
                << w << "x" << h;
        }
        // The grey bars carry no number.
        CapPicture_drawTestBars(f.pic);
        EXPECT_EQ(CapPicture_readFrameNumber(f.pic.data, f.pic.lineLength, w, h), CapPicture_NO_FRAME_NUMBER);
    }
    std::vector<uint8_t> tiny(64 * 64, 0);
    EXPECT_EQ(CapPicture_readFrameNumber(tiny.data(), 64, 64, 64), CapPicture_NO_FRAME_NUMBER);
}

TEST(CapturePictures, TheMovingPictureMovesAndShowsTheTime)
{
    Frame a(640, 480, ColorSpace_YUV420PSEMI);
    Frame b(640, 480, ColorSpace_YUV420PSEMI);
    CapPicture_drawTestsrc(a.pic, nullptr, 10, 1700000000000);
    CapPicture_drawTestsrc(b.pic, nullptr, 20, 1700000000000);
    // The box row differs between the two frames; the top and bottom bars do not.
    int boxRow = 240;
    int differ = 0;
    for (int x = 0; x < 640; x++) {
        differ += a.y(x, boxRow) != b.y(x, boxRow);
    }
    EXPECT_GT(differ, 40);
    EXPECT_EQ(a.y(100, 470), b.y(100, 470));
    // Different times change the time row and the clock text only.
    Frame c(640, 480, ColorSpace_YUV420PSEMI);
    CapPicture_drawTestsrc(c.pic, nullptr, 10, 1700000001000);
    int clockDiff = 0;
    int elsewhere = 0;
    for (int r = 0; r < 480; r++) {
        for (int x = 0; x < 640; x++) {
            if (a.y(x, r) != c.y(x, r)) {
                (r >= 48 && r < 100 ? clockDiff : elsewhere)++;
            }
        }
    }
    EXPECT_GT(clockDiff, 0);
    EXPECT_EQ(elsewhere, 0);
}

TEST(CaptureBuffers, BlackFillAndBarsThroughBufferHandles)
{
    BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
    gfx.colorSpace = ColorSpace_YUV420PSEMI;
    gfx.dim = {0, 0, 64, 16, 64};
    BufTab_Handle tab = BufTab_create(1, 64 * 16 * 3 / 2, &gfx.bAttrs);
    ASSERT_NE(tab, nullptr);
    Buffer_Handle b = BufTab_getBuf(tab, 0);
    EXPECT_EQ(CapBuf_drawTestBars(b), 0);
    EXPECT_EQ(Buffer_getUserPtr(b)[8], 31);
    EXPECT_EQ(CapBuf_blackFill(b), 0);
    EXPECT_EQ(Buffer_getUserPtr(b)[8], 0);
    EXPECT_EQ(Buffer_getUserPtr(b)[64 * 16], 128);
    BufTab_delete(tab);
}
