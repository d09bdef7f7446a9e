// Tables and pictures of the capture adapter. No state; called from the capture thread and the
// no-signal thread (each on buffers it alone holds at that moment).
#include "encode/device/capture_format.h"

#include "encode/media/colorspace.h"

#include <linux/videodev2.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char *const inputNames[Capture_Input_COUNT] = {"S-Video", "Composite", "Component", "Camera"};

// How a row of the identifier table matches: a bit of the low half, a bit of the high half, or the
// exact pair.
enum class Match { LowAny, HighAny, Exact };

struct StdRow {
    Match match;
    uint32_t low;
    uint32_t high;
    int std;
};

// First matching row wins, so the SD rows must stay in front of the exact HD ones.
constexpr StdRow stdRows[] = {
    {Match::LowAny, 0xB000, 0, 21},
    {Match::LowAny, 0xFF, 0, 22},
    {Match::HighAny, 0, 1u << 16, 23},
    {Match::HighAny, 0, 1u << 17, 24},
    {Match::Exact, 0, 0x40000, 25},
    {Match::Exact, 0, 0x80000, 26},
    {Match::Exact, 0, 0x1000000, 27},
    {Match::Exact, 0, 0x2000000, 28},
    {Match::Exact, 0, 0x100000, 36},
    {Match::Exact, 0, 0x200000, 37},
    {Match::Exact, 0, 0x4000000, 30},
    {Match::Exact, 0, 0x400000, 34},
    {Match::Exact, 0, 0x800000, 35},
    {Match::Exact, 0, 0x8000, 4},
    {Match::Exact, 0, 0x4000, 5},
    {Match::Exact, 0, 0x2000, 6},
    {Match::Exact, 0, 0x1000, 7},
    {Match::Exact, 0, 0x800, 9},
    {Match::Exact, 0, 0x400, 8},
    {Match::Exact, 0, 0x200, 10},
    {Match::Exact, 0, 0x100, 11},
    {Match::Exact, 0, 0x80, 12},
    {Match::Exact, 0, 0x40, 13},
    {Match::Exact, 0, 0x20, 14},
    {Match::Exact, 0, 0x10, 15},
    {Match::Exact, 0, 0x8, 16},
    {Match::Exact, 0, 0x4, 17},
    {Match::Exact, 0, 0x2, 18},
    {Match::Exact, 0, 0x1, 19},
    {Match::Exact, 0x80000000u, 0, 20},
};

uint64_t rowId(const StdRow &row)
{
    return (static_cast<uint64_t>(row.high) << 32) | row.low;
}

// Frames per second by standard number (index); interlaced standards give frames, not fields.
constexpr CaptureRate rates[38] = {
    {30, 1},                                                             // 0: not a standard
    {25, 1},        {30000, 1001}, {25, 1},   {60, 1},  {60, 1},         // 1-5: CIF, VGA
    {60, 1},        {60, 1},       {60, 1},   {60, 1},  {60, 1},         // 6-10
    {60, 1},        {60, 1},       {60, 1},   {60, 1},  {60, 1},         // 11-15
    {60, 1},        {60, 1},       {60, 1},   {60, 1},  {60, 1},         // 16-20
    {30000, 1001},  {25, 1},       {60000, 1001}, {50, 1}, {60, 1},      // 21-25: D1, 480P, 576P, 720P60
    {50, 1},        {30, 1},       {30, 1},   {25, 1},  {30, 1},         // 26-30: 720P50/30, 1080I, 1080P30
    {25, 1},        {24, 1},       {30, 1},   {60, 1},  {50, 1},         // 31-35
    {30, 1},        {25, 1},                                             // 36-37: 1080I 60/50 Hz fields
};

struct SizeStd {
    int width;
    int height;
    int std;
};

// Sizes that stand for one standard whatever the rate (the computer-display standards).
constexpr SizeStd displaySizes[] = {
    {640, 480, 4},    {800, 600, 5},    {1024, 768, 6},   {1280, 1024, 7},  {1280, 768, 8},
    {1600, 1200, 9},  {1280, 800, 10},  {1440, 900, 11},  {1280, 960, 12},  {1440, 1050, 13},
    {1680, 1050, 14}, {1920, 1200, 16}, {1360, 768, 17},  {1366, 768, 18},  {1400, 1050, 19},
    {1600, 900, 20},  {352, 288, 1},    {352, 240, 2},    {320, 240, 33},
};

bool supportsPlanes(int colorSpace)
{
    return colorSpace == ColorSpace_YUV420PSEMI || colorSpace == ColorSpace_YUV422PSEMI;
}

int chromaRows(const CapPicture &pic)
{
    return pic.colorSpace == ColorSpace_YUV420PSEMI ? pic.height / 2 : pic.height;
}

size_t planeBytes(const CapPicture &pic)
{
    return static_cast<size_t>(pic.lineLength) * static_cast<size_t>(pic.height + chromaRows(pic));
}

// Fills a rectangle (even x, y, w, h) of a semi-planar picture.
void fillRect(const CapPicture &pic, int x, int y, int w, int h, uint8_t Y, uint8_t U, uint8_t V)
{
    if (x < 0) {
        w += x;
        x = 0;
    }
    if (y < 0) {
        h += y;
        y = 0;
    }
    if (x + w > pic.width) {
        w = pic.width - x;
    }
    if (y + h > pic.height) {
        h = pic.height - y;
    }
    if (w <= 0 || h <= 0) {
        return;
    }
    for (int r = y; r < y + h; r++) {
        std::memset(pic.data + static_cast<size_t>(r) * pic.lineLength + x, Y, static_cast<size_t>(w));
    }
    uint8_t *chroma = pic.data + static_cast<size_t>(pic.lineLength) * pic.height;
    bool half = pic.colorSpace == ColorSpace_YUV420PSEMI;
    int r0 = half ? y / 2 : y;
    int r1 = half ? (y + h + 1) / 2 : y + h;
    for (int r = r0; r < r1; r++) {
        uint8_t *row = chroma + static_cast<size_t>(r) * pic.lineLength;
        for (int c = x & ~1; c < x + w; c += 2) {
            row[c] = U;
            row[c + 1] = V;
        }
    }
}

// The frame-number row: white, black, 32 bits (most significant first), black, white.
constexpr int kMarkerBits = 32;
constexpr int kRowBlocks = kMarkerBits + 4;
constexpr int kMargin = 16;
constexpr uint8_t kWhite = 235;
constexpr uint8_t kBlack = 16;

int blockSize(int width)
{
    return width >= 2 * kMargin + kRowBlocks * 16 ? 16 : 8;
}

bool rowFits(int width, int height)
{
    int bs = blockSize(width);
    return width >= 2 * kMargin + kRowBlocks * bs && height >= 2 * kMargin + bs;
}

// 8x8 glyphs for "0123456789:.", one byte per row, most significant bit leftmost.
constexpr uint8_t glyphs[12][8] = {
    {0x3C, 0x66, 0x6E, 0x76, 0x66, 0x66, 0x3C, 0x00}, {0x18, 0x38, 0x18, 0x18, 0x18, 0x18, 0x7E, 0x00},
    {0x3C, 0x66, 0x06, 0x0C, 0x30, 0x60, 0x7E, 0x00}, {0x3C, 0x66, 0x06, 0x1C, 0x06, 0x66, 0x3C, 0x00},
    {0x0C, 0x1C, 0x3C, 0x6C, 0x7E, 0x0C, 0x0C, 0x00}, {0x7E, 0x60, 0x7C, 0x06, 0x06, 0x66, 0x3C, 0x00},
    {0x1C, 0x30, 0x60, 0x7C, 0x66, 0x66, 0x3C, 0x00}, {0x7E, 0x06, 0x0C, 0x18, 0x30, 0x30, 0x30, 0x00},
    {0x3C, 0x66, 0x66, 0x3C, 0x66, 0x66, 0x3C, 0x00}, {0x3C, 0x66, 0x66, 0x3E, 0x06, 0x0C, 0x38, 0x00},
    {0x00, 0x18, 0x18, 0x00, 0x00, 0x18, 0x18, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x18, 0x00},
};

void drawText(const CapPicture &pic, int x, int y, int scale, const char *text)
{
    int n = static_cast<int>(std::strlen(text));
    fillRect(pic, x - 4, y - 4, n * 8 * scale + 8, 8 * scale + 8, kBlack, 128, 128);
    for (int i = 0; i < n; i++) {
        char ch = text[i];
        int g = ch == ':' ? 10 : ch == '.' ? 11 : (ch >= '0' && ch <= '9') ? ch - '0' : -1;
        if (g < 0) {
            continue;
        }
        for (int r = 0; r < 8 * scale; r++) {
            int py = y + r;
            if (py < 0 || py >= pic.height) {
                continue;
            }
            uint8_t bits = glyphs[g][r / scale];
            uint8_t *row = pic.data + static_cast<size_t>(py) * pic.lineLength;
            for (int c = 0; c < 8 * scale; c++) {
                int px = x + i * 8 * scale + c;
                if (px >= 0 && px < pic.width && (bits & (0x80 >> (c / scale)))) {
                    row[px] = kWhite;
                }
            }
        }
    }
}

} // namespace

const char *CaptureFormat_inputName(int input)
{
    return input >= 0 && input < Capture_Input_COUNT ? inputNames[input] : nullptr;
}

int CaptureFormat_stdFromId(uint64_t id)
{
    auto low = static_cast<uint32_t>(id);
    auto high = static_cast<uint32_t>(id >> 32);
    for (const StdRow &row : stdRows) {
        bool hit = false;
        switch (row.match) {
        case Match::LowAny:
            hit = (low & row.low) != 0;
            break;
        case Match::HighAny:
            hit = (high & row.high) != 0;
            break;
        case Match::Exact:
            hit = low == row.low && high == row.high;
            break;
        }
        if (hit) {
            return row.std;
        }
    }
    return CaptureFormat_NO_STD;
}

uint64_t CaptureFormat_idFromStd(int std)
{
    for (const StdRow &row : stdRows) {
        if (row.std == std) {
            return rowId(row);
        }
    }
    return 0;
}

int CaptureFormat_exposureForId(uint64_t id)
{
    if (static_cast<uint32_t>(id) == 0) {
        switch (static_cast<uint32_t>(id >> 32)) {
        case 0x40000:
        case 0x80000:
        case 0x1000000:
            return 754;
        case 0x4000000:
        case 0x800000:
        case 0x400000:
        case 0x2000000:
        case 0x200000:
        case 0x100000:
            return 1110;
        default:
            break;
        }
    }
    return 1524;
}

int CaptureFormat_exposureForStd(int std)
{
    switch (std) {
    case 25:
    case 26:
    case 27:
        return 754;
    case 28:
    case 29:
    case 30:
    case 34:
    case 35:
        return 1110;
    default:
        return 1524;
    }
}

bool CaptureFormat_isInterlaced(int std)
{
    switch (std) {
    case 1:
    case 2:
    case 3:
    case 21:
    case 22:
    case 28:
    case 29:
    case 36:
    case 37:
        return true;
    default:
        return false;
    }
}

CaptureRate CaptureFormat_frameRate(int std)
{
    if (std < 1 || std > 37) {
        return rates[0];
    }
    return rates[std];
}

int64_t CaptureFormat_framePeriodNs(CaptureRate rate)
{
    if (rate.num <= 0 || rate.den <= 0) {
        return 1000000000LL / 30;
    }
    return 1000000000LL * rate.den / rate.num;
}

int CaptureFormat_stdFromSize(int width, int height, bool interlaced, double fps)
{
    if (width == 720 && height == 480) {
        return 21;
    }
    if (width == 720 && height == 576) {
        return 22;
    }
    if (width == 1280 && height == 720) {
        if (fps <= 0 || fps > 55) {
            return 25;
        }
        return fps > 40 ? 26 : 27;
    }
    if (width == 1920 && height == 1080) {
        if (interlaced) {
            return (fps > 0 && fps < 27.5) ? 37 : 36;
        }
        if (fps <= 0) {
            return 30;
        }
        if (fps > 55) {
            return 34;
        }
        if (fps > 40) {
            return 35;
        }
        return 30;
    }
    for (const SizeStd &s : displaySizes) {
        if (s.width == width && s.height == height) {
            return s.std;
        }
    }
    return CaptureFormat_NO_STD;
}

int CaptureFormat_align32(int value)
{
    return (value + 31) & ~31;
}

uint32_t CaptureFormat_fourcc(int colorSpace)
{
    switch (colorSpace) {
    case ColorSpace_YUV420PSEMI:
        return V4L2_PIX_FMT_NV12;
    case ColorSpace_YUV422PSEMI:
        return V4L2_PIX_FMT_NV16;
    case ColorSpace_UYVY:
        return V4L2_PIX_FMT_UYVY;
    default:
        return 0;
    }
}

CaptureFormatChoice CaptureFormat_choose(std::span<const uint32_t> offered, int colorSpace)
{
    uint32_t own = CaptureFormat_fourcc(colorSpace);
    if (own == 0) {
        return {0, false};
    }
    for (uint32_t f : offered) {
        if (f == own) {
            return {own, false};
        }
    }
    // Conversion goes through the scaler, which writes the semi-planar 4:2:0 picture only.
    if (colorSpace != ColorSpace_YUV420PSEMI) {
        return {0, false};
    }
    static constexpr uint32_t convertible[] = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV16,
                                               V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_NV21};
    for (uint32_t want : convertible) {
        for (uint32_t f : offered) {
            if (f == want) {
                return {f, true};
            }
        }
    }
    return {0, false};
}

CapturePitch CaptureFormat_cameraPitch(int width, int height, int colorSpace)
{
    if (colorSpace == ColorSpace_UYVY) {
        return {width * 2, width * 2 * height};
    }
    int pitch = CaptureFormat_align32(width);
    int rows = colorSpace == ColorSpace_YUV422PSEMI ? height * 2 : height * 3 / 2;
    return {pitch, pitch * rows};
}

int CapPicture_blackFill(const CapPicture &pic)
{
    switch (pic.colorSpace) {
    case ColorSpace_YUV420PSEMI:
    case ColorSpace_YUV422PSEMI: {
        size_t luma = static_cast<size_t>(pic.lineLength) * pic.height;
        size_t chroma = static_cast<size_t>(pic.lineLength) * chromaRows(pic);
        if (luma + chroma > pic.size) {
            return Media_EFAIL;
        }
        std::memset(pic.data, 0, luma);
        std::memset(pic.data + luma, 128, chroma);
        return Media_EOK;
    }
    case ColorSpace_UYVY: {
        if ((reinterpret_cast<uintptr_t>(pic.data) & 3) != 0) {
            return Media_EFAIL;
        }
        size_t bytes = static_cast<size_t>(pic.lineLength) * pic.height;
        if (bytes > pic.size) {
            return Media_EFAIL;
        }
        auto *words = reinterpret_cast<uint32_t *>(pic.data);
        for (size_t i = 0; i < bytes / 4; i++) {
            words[i] = 0x10801080u;
        }
        return Media_EOK;
    }
    case ColorSpace_RGB565: {
        size_t bytes = static_cast<size_t>(pic.lineLength) * pic.height;
        std::memset(pic.data, 0, bytes < pic.size ? bytes : pic.size);
        return Media_EOK;
    }
    default:
        std::fprintf(stderr, "Error: Unsupported color space (%d) for _blackFill\n", pic.colorSpace);
        return Media_EFAIL;
    }
}

int CapPicture_drawTestBars(const CapPicture &pic)
{
    if (CapPicture_blackFill(pic) != Media_EOK) {
        return Media_EFAIL;
    }
    int barWidth = pic.width / 8;
    if (pic.colorSpace == ColorSpace_RGB565) {
        return Media_EOK; // no luma plane to draw the bars into
    }
    for (int r = 0; r < pic.height; r++) {
        uint8_t *row = pic.data + static_cast<size_t>(r) * pic.lineLength;
        for (int j = 0; j < 7; j++) {
            auto luma = static_cast<uint8_t>(j * 31);
            for (int c = j * barWidth; c < (j + 1) * barWidth; c++) {
                if (pic.colorSpace == ColorSpace_UYVY) {
                    row[2 * c + 1] = luma;
                } else {
                    row[c] = luma;
                }
            }
        }
    }
    return Media_EOK;
}

void CapPicture_drawColorBars(const CapPicture &pic)
{
    if (!supportsPlanes(pic.colorSpace) || planeBytes(pic) > pic.size) {
        return;
    }
    // 75 % bars: white, yellow, cyan, green, magenta, red, blue, black.
    static constexpr uint8_t yuv[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
    for (int j = 0; j < 8; j++) {
        int x0 = (pic.width * j / 8) & ~1;
        int x1 = j == 7 ? pic.width : (pic.width * (j + 1) / 8) & ~1;
        fillRect(pic, x0, 0, x1 - x0, pic.height, yuv[j][0], yuv[j][1], yuv[j][2]);
    }
}

namespace {

// One row of blocks at `y`: a white and a black block, `value`'s 32 bits most significant first, a
// black and a white block.
void drawBlockRow(const CapPicture &pic, int y, uint32_t value)
{
    int bs = blockSize(pic.width);
    int x = kMargin;
    auto block = [&](bool on) {
        fillRect(pic, x, y, bs, bs, on ? kWhite : kBlack, 128, 128);
        x += bs;
    };
    block(true);
    block(false);
    for (int b = kMarkerBits - 1; b >= 0; b--) {
        block(((value >> b) & 1u) != 0);
    }
    block(false);
    block(true);
}

// The frame number's row and, where there is room, the capture time's below it: a viewer that reads
// the time back from the picture it shows knows how long the picture took from capture to its
// screen. Where the clock text goes below them.
int drawBlockRows(const CapPicture &pic, uint32_t frameNumber, int64_t wallClockMs)
{
    if (!rowFits(pic.width, pic.height)) {
        return kMargin;
    }
    int bs = blockSize(pic.width);
    drawBlockRow(pic, kMargin, frameNumber);
    int y = kMargin + bs + kMargin;
    if (y + bs + kMargin <= pic.height) {
        drawBlockRow(pic, y, static_cast<uint32_t>(static_cast<uint64_t>(wallClockMs)));
        y += bs + kMargin;
    }
    return y;
}

} // namespace

void CapPicture_drawTestsrc(const CapPicture &pic, const CapPicture *background, uint32_t frameNumber,
                            int64_t wallClockMs)
{
    if (!supportsPlanes(pic.colorSpace) || planeBytes(pic) > pic.size) {
        return;
    }
    if (background != nullptr && background->lineLength == pic.lineLength && background->height == pic.height &&
        background->colorSpace == pic.colorSpace) {
        std::memcpy(pic.data, background->data, planeBytes(pic));
    } else {
        CapPicture_drawColorBars(pic);
    }

    int bs = blockSize(pic.width);
    int clockY = drawBlockRows(pic, frameNumber, wallClockMs);

    // The box runs left to right across the middle, 8 pixels a frame.
    int box = (pic.height / 6) & ~1;
    if (box >= 2 && pic.width > box) {
        int span = pic.width - box;
        int x = static_cast<int>((static_cast<uint64_t>(frameNumber) * 8) % static_cast<uint64_t>(span)) & ~1;
        int y = (pic.height / 2 - box / 2) & ~1;
        fillRect(pic, x, y, box, box, kWhite, 128, 128);
        fillRect(pic, x + box / 4, y + box / 4, (box / 2) & ~1, (box / 2) & ~1, 81, 90, 240);
    }

    time_t secs = static_cast<time_t>(wallClockMs / 1000);
    struct tm tmv {};
    localtime_r(&secs, &tmv);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  static_cast<int>(wallClockMs % 1000));
    int scale = bs == 16 ? 2 : 1;
    if (clockY + 8 * scale + 4 < pic.height) {
        drawText(pic, kMargin, clockY, scale, text);
    }
}

namespace {

// The value of the block row at `y`, or -1 when there is none.
int64_t readRow(const uint8_t *luma, int lineLength, int width, int y)
{
    int bs = blockSize(width);
    // The mean of the inner half of each block: edges suffer most from coding.
    auto level = [&](int index) -> int {
        int x0 = kMargin + index * bs + bs / 4;
        int y0 = y + bs / 4;
        int sum = 0;
        int n = 0;
        for (int r = y0; r < y0 + bs / 2; r++) {
            for (int c = x0; c < x0 + bs / 2; c++) {
                sum += luma[static_cast<size_t>(r) * lineLength + c];
                n++;
            }
        }
        int mean = sum / n;
        return mean >= 176 ? 1 : mean <= 80 ? 0 : -1;
    };
    if (level(0) != 1 || level(1) != 0 || level(kRowBlocks - 2) != 0 || level(kRowBlocks - 1) != 1) {
        return -1;
    }
    uint32_t value = 0;
    for (int b = 0; b < kMarkerBits; b++) {
        int bit = level(2 + b);
        if (bit < 0) {
            return -1;
        }
        value = (value << 1) | static_cast<uint32_t>(bit);
    }
    return value;
}

} // namespace

int64_t CapPicture_readFrameNumber(const uint8_t *luma, int lineLength, int width, int height)
{
    if (luma == nullptr || !rowFits(width, height)) {
        return CapPicture_NO_FRAME_NUMBER;
    }
    int64_t v = readRow(luma, lineLength, width, kMargin);
    return v >= 0 ? v : CapPicture_NO_FRAME_NUMBER;
}

int64_t CapPicture_readCaptureMs(const uint8_t *luma, int lineLength, int width, int height)
{
    int bs = luma != nullptr && rowFits(width, height) ? blockSize(width) : 0;
    int y = 2 * kMargin + bs;
    if (bs == 0 || y + bs + kMargin > height) {
        return CapPicture_NO_FRAME_NUMBER;
    }
    int64_t v = readRow(luma, lineLength, width, y);
    return v >= 0 ? v : CapPicture_NO_FRAME_NUMBER;
}
