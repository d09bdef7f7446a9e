// Mask and subtitle overlays. All state is this file's and is touched by the video thread only (tests
// call Osd_reset between cases). A frame costs no allocation and no file access beyond the polling of
// the two switch files; the glyphs of the text are read once, when the subtitle is switched on, into a
// buffer sized for the largest font's capacity.
//
// Nothing is ever written outside the picture: text placed beyond an edge after start-up is cut at
// that edge, a mask block at the picture's right edge ends there, and a buffer too small for the
// geometry its dimensions claim is left alone.
#include "encode/video/osd.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "encode/device/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The larger font: 48x48 pixels, 288 bytes a glyph, 288 characters.
constexpr int kMaxGlyphBytes = 288;
constexpr int kMaxCapacity = 288;
// zk.ini holds three numbers and at most twice the capacity in text bytes.
constexpr int kZkLimit = 2 * kMaxCapacity + 64;
constexpr int kSubtitleEvery = 50;
constexpr int kMaskEvery = 45;
constexpr int kMaskBlock = 16;
constexpr uint8_t kNoColour = 128;
constexpr int kFirstCodeByte = 0xA1;
constexpr int kLastCodeByte = 0xFE;
constexpr int kRowCodes = 94;

struct Font {
    bool chosen = false;
    int size = 0;     // pixels a side
    int bytes = 0;    // bytes a glyph
    int capacity = 0; // characters
    const char *path = "";
};

struct Subtitle {
    bool on = false;
    int x = 0;
    int y = 0;
    int count = 0;
    uint8_t luma = 255;
    uint8_t chroma = 128;
    uint32_t frame = 0;
    bool reportedMissing = false;
    char text[2 * kMaxCapacity + 1] = {};
    uint8_t glyphs[kMaxCapacity * kMaxGlyphBytes] = {};
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct Mask {
    bool on = false;
    Rect main;
    bool hasSecond = false; // the rectangle was scaled to a second picture
    Rect second;
    uint32_t frame = 0;
    bool reportedMissing = false;
};

Font font;
Subtitle subtitle;
Mask mask;

// The planes of one captured buffer, checked against its size.
struct Frame {
    uint8_t *luma = nullptr;   // the picture's top-left luma byte
    uint8_t *chroma = nullptr; // the chroma pair of that corner
    int width = 0;
    int height = 0;
    int lineLength = 0;
    uint8_t *secondLuma = nullptr; // null: no second picture
    uint8_t *secondChroma = nullptr;
    int secondWidth = 0;
    int secondHeight = 0;
    int secondLineLength = 0;
};

// The main chroma plane starts two thirds into what the buffer holds before the second picture, and
// the second picture lies where the capture layer puts it; any geometry that would reach past the
// buffer leaves the frame unusable.
bool frameOf(Buffer_Handle hBuf, Frame &f)
{
    if (Buffer_getType(hBuf) != Buffer_Type_GRAPHICS || BufferGfx_getColorSpace(hBuf) != ColorSpace_YUV420PSEMI) {
        return false;
    }
    uint8_t *base = Buffer_getUserPtr(hBuf);
    BufferGfx_Dimensions dim{};
    BufferGfx_getDimensions(hBuf, &dim);
    const int64_t size = Buffer_getSize(hBuf);
    const int64_t line = dim.lineLength;
    if (base == nullptr || dim.width <= 0 || dim.height <= 0 || line <= 0 || dim.x < 0 || dim.y < 0 ||
        dim.x + static_cast<int64_t>(dim.width) > line) {
        return false;
    }
    SecondPictureGeometry probe = SecondPicture_geometry(dim.lineLength, dim.height);
    const int64_t secondBytes = probe.present ? static_cast<int64_t>(probe.lumaSize + probe.chromaSize) : 0;
    const int64_t mainBytes = size - secondBytes;
    const int64_t chromaOffset = mainBytes * 2 / 3;
    const int64_t planeRows = chromaOffset / line;
    const int64_t chromaRows = (mainBytes - chromaOffset) / line;
    if (mainBytes <= 0 || dim.y + static_cast<int64_t>(dim.height) > planeRows ||
        dim.y / 2 + (static_cast<int64_t>(dim.height) + 1) / 2 > chromaRows) {
        return false;
    }
    f = Frame{};
    f.luma = base + dim.y * line + dim.x;
    f.chroma = base + chromaOffset + dim.y / 2 * line + dim.x;
    f.width = dim.width;
    f.height = dim.height;
    f.lineLength = dim.lineLength;
    if (probe.present) {
        SecondPictureGeometry g = SecondPicture_geometry(dim.lineLength, static_cast<int>(planeRows));
        if (g.width > 0 && g.height > 0 && g.lineLength >= g.width &&
            static_cast<int64_t>(g.offset + g.lumaSize + g.chromaSize) <= size) {
            f.secondLuma = base + g.offset;
            f.secondChroma = f.secondLuma + g.lumaSize;
            f.secondWidth = g.width;
            f.secondHeight = g.height;
            f.secondLineLength = g.lineLength;
        }
    }
    return true;
}

// A missing switch file is reported once until it is back: the poll runs every frame while an
// overlay is off, and a console line per frame from the real-time thread would stall it on a slow
// console.
void reportMissing(bool &reported, const char *line)
{
    if (!reported) {
        std::printf("%s\n", line);
        std::fflush(stdout);
        reported = true;
    }
}

// --- Subtitle ---

// "%d" as scanf reads it, saturated to int; false (pos unchanged) when no number stands at pos.
bool scanInt(const std::string &text, size_t &pos, int &value)
{
    const char *start = text.c_str() + pos;
    char *end = nullptr;
    long v = std::strtol(start, &end, 10);
    if (end == start) {
        return false;
    }
    value = static_cast<int>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
    pos += static_cast<size_t>(end - start);
    return true;
}

void loadFont()
{
    FlagRead r = Config_readFlag("/mnt/zhiti.ini");
    font = Font{};
    if (r.state == FileState::Missing) {
        return;
    }
    // The character as a decimal number: a non-digit (or nothing) counts as 0, the big font.
    int choice = r.state == FileState::Read && r.first >= '0' && r.first <= '9' ? r.first - '0' : 0;
    if (choice == 0) {
        font = {true, 48, 288, 288, "/mnt/zk48"};
    } else {
        font = {true, 32, 128, 128, "/mnt/zk"};
    }
}

void loadColours()
{
    int fields[2] = {-1, -1};
    if (Config_readRecord("/mnt/zkcolor.ini", fields, kRecordLimitSecondStream) != 2) {
        return;
    }
    if (fields[0] < 0 || fields[0] > 255 || fields[1] < 0 || fields[1] > 255) {
        return;
    }
    subtitle.luma = static_cast<uint8_t>(fields[0]);
    subtitle.chroma = static_cast<uint8_t>(fields[1]);
    std::printf("zk color=%x,%x\n", fields[0], fields[1]);
}

// Byte pairs outside the code plane (single-byte characters, 0xFF) have no glyph and stay blank.
void loadGlyphs()
{
    std::memset(subtitle.glyphs, 0, sizeof subtitle.glyphs);
    std::string path = Path_resolve(font.path);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::printf("error zhiku\n");
        return;
    }
    for (int c = 0; c < subtitle.count; c++) {
        int hi = static_cast<unsigned char>(subtitle.text[2 * c]);
        int lo = static_cast<unsigned char>(subtitle.text[2 * c + 1]);
        if (hi < kFirstCodeByte || hi > kLastCodeByte || lo < kFirstCodeByte || lo > kLastCodeByte) {
            continue;
        }
        off_t at = static_cast<off_t>((hi - kFirstCodeByte) * kRowCodes + (lo - kFirstCodeByte)) * font.bytes;
        uint8_t *glyph = subtitle.glyphs + c * font.bytes;
        ssize_t n;
        do {
            n = ::pread(fd, glyph, static_cast<size_t>(font.bytes), at);
        } while (n < 0 && errno == EINTR);
        if (n != font.bytes) {
            // A table shorter than the code plane: what is beyond its end is blank.
            std::memset(glyph, 0, static_cast<size_t>(font.bytes));
        }
    }
    ::close(fd);
}

// Switching on: position, text, colours and glyphs, all kept until the switch has been 0 again.
void switchSubtitleOn(const std::string &record, size_t pos)
{
    // Like the record's "%d %d %d %s": what follows a field that is no number is not read.
    bool position = scanInt(record, pos, subtitle.x) && scanInt(record, pos, subtitle.y);
    std::memset(subtitle.text, 0, sizeof subtitle.text);
    while (position && pos < record.size() && std::isspace(static_cast<unsigned char>(record[pos]))) {
        pos++;
    }
    // One word; longer than the capacity is cut to it.
    size_t len = 0;
    const size_t room = 2 * static_cast<size_t>(font.capacity);
    while (position && pos < record.size() && len < room && record[pos] != '\0' &&
           !std::isspace(static_cast<unsigned char>(record[pos]))) {
        subtitle.text[len++] = record[pos++];
    }
    loadColours();
    subtitle.count = static_cast<int>(len / 2);
    std::printf("c=%d,x=%d,y=%d,word=%s,zhi=%d\n", subtitle.count, subtitle.x, subtitle.y, subtitle.text, font.size);
    for (size_t i = 0; i < len; i++) {
        std::printf("%02x ", static_cast<unsigned char>(subtitle.text[i]));
    }
    std::printf("\n");
    loadGlyphs();
    subtitle.on = true;
    std::fflush(stdout);
}

void refreshSubtitle()
{
    std::string record;
    if (!Config_readText("/mnt/zk.ini", record, kZkLimit)) {
        reportMissing(subtitle.reportedMissing, "error zk.ini");
        return;
    }
    subtitle.reportedMissing = false;
    size_t pos = 0;
    int sw = 0;
    if (!scanInt(record, pos, sw) || sw != 1) {
        subtitle.on = false;
        return;
    }
    if (!subtitle.on) {
        switchSubtitleOn(record, pos);
    }
}

// Set glyph bits take the luma value; columns and rows outside the picture are skipped. Positions
// are 64-bit: zk.ini may hold any int once start-up has tested the first one.
void drawSubtitleLuma(const Frame &f)
{
    const int size = font.size;
    const int rowBytes = size / 8;
    for (int r = 0; r < size; r++) {
        const int64_t py = static_cast<int64_t>(subtitle.y) + r;
        if (py < 0 || py >= f.height) {
            continue;
        }
        uint8_t *line = f.luma + py * f.lineLength;
        for (int c = 0; c < subtitle.count; c++) {
            const uint8_t *row = subtitle.glyphs + c * font.bytes + r * rowBytes;
            const int64_t left = static_cast<int64_t>(subtitle.x) + c * size;
            if (left >= f.width) {
                break;
            }
            if (left + size <= 0) {
                continue;
            }
            for (int k = 0; k < rowBytes; k++) {
                if (row[k] == 0) {
                    continue;
                }
                for (int b = 0; b < 8; b++) {
                    const int64_t px = left + k * 8 + b;
                    if ((row[k] & (0x80 >> b)) != 0 && px >= 0 && px < f.width) {
                        line[px] = subtitle.luma;
                    }
                }
            }
        }
    }
}

// Every second glyph row and every second pixel of it set both chroma bytes of its pixel pair. The
// pair is the one that holds the pixel, so an odd x never splits the colour over two pairs.
void drawSubtitleChroma(const Frame &f)
{
    const int size = font.size;
    const int rowBytes = size / 8;
    const int chromaHeight = (f.height + 1) / 2;
    for (int r = 0; r < size / 2; r++) {
        const int64_t cy = (subtitle.y >> 1) + static_cast<int64_t>(r);
        if (cy < 0 || cy >= chromaHeight) {
            continue;
        }
        uint8_t *line = f.chroma + cy * f.lineLength;
        for (int c = 0; c < subtitle.count; c++) {
            const uint8_t *row = subtitle.glyphs + c * font.bytes + 2 * r * rowBytes;
            const int64_t left = static_cast<int64_t>(subtitle.x) + c * size;
            if (left >= f.width) {
                break;
            }
            if (left + size <= 0) {
                continue;
            }
            for (int k = 0; k < rowBytes; k++) {
                if ((row[k] & 0xAA) == 0) {
                    continue;
                }
                for (int p = 0; p < 8; p += 2) {
                    const int64_t pair = (left + k * 8 + p) & ~int64_t{1};
                    if ((row[k] & (0x80 >> p)) != 0 && pair >= 0 && pair + 1 < f.width) {
                        line[pair] = subtitle.chroma;
                        line[pair + 1] = subtitle.chroma;
                    }
                }
            }
        }
    }
}

void drawSubtitle(const Frame &f)
{
    if (!font.chosen) {
        return;
    }
    if (subtitle.frame % kSubtitleEvery == 0) {
        refreshSubtitle();
    }
    subtitle.frame++;
    if (!subtitle.on) {
        subtitle.frame = 0;
        return;
    }
    drawSubtitleLuma(f);
    drawSubtitleChroma(f);
}

// --- Mask ---

int roundDown8(int64_t v)
{
    return static_cast<int>(v - v % 8);
}

// Kept inside the main picture with the console lines the web page's user sees in the log.
void clipMask(Rect &m, int width, int height)
{
    if (m.x < 0 || m.x > width) {
        std::printf("error msk x=%d\n", m.x);
        m.x = 0;
    }
    if (m.y < 0 || m.y > height) {
        std::printf("error msk y=%d\n", m.y);
        m.y = 0;
    }
    if (static_cast<int64_t>(m.x) + m.width > width) {
        std::printf("error msk_width=%d\n", m.width);
        m.width = width - m.x;
    }
    if (static_cast<int64_t>(m.y) + m.height > height) {
        std::printf("error msk_height=%d\n", m.height);
        m.height = height - m.y;
    }
}

void switchMaskOn(const int (&fields)[5], const Frame &f)
{
    mask.main = {fields[1], fields[2], fields[3], fields[4]};
    clipMask(mask.main, f.width, f.height);
    std::printf("msk=%d,%d,%d,%d,%d\n", 1, mask.main.x, mask.main.y, mask.main.width, mask.main.height);
    mask.hasSecond = f.secondLuma != nullptr;
    if (mask.hasSecond) {
        auto scale = [](int v, int to, int from) { return roundDown8(static_cast<int64_t>(v) * to / from); };
        mask.second = {scale(mask.main.x, f.secondWidth, f.width), scale(mask.main.y, f.secondHeight, f.height),
                       scale(mask.main.width, f.secondWidth, f.width),
                       scale(mask.main.height, f.secondHeight, f.height)};
        std::printf("msk=%d,%d,%d,%d\n", mask.second.x, mask.second.y, mask.second.width, mask.second.height);
    }
    mask.on = true;
    std::fflush(stdout);
}

void refreshMask(const Frame &f)
{
    // Numbers the file does not hold keep the values of the last switch-on.
    int fields[5] = {0, mask.main.x, mask.main.y, mask.main.width, mask.main.height};
    int parsed = Config_readRecord("/mnt/m.ini", fields, kRecordLimitMask);
    if (parsed == Config_ENOFILE) {
        reportMissing(mask.reportedMissing, "error m.ini");
        return;
    }
    mask.reportedMissing = false;
    if (parsed < 1 || fields[0] != 1) {
        mask.on = false;
        return;
    }
    if (!mask.on) {
        switchMaskOn(fields, f);
    }
}

// Each row of the rectangle in runs of 16 bytes that take the run's first byte. A run may pass the
// rectangle's right side (a rectangle 20 wide coarsens 32 bytes), as the mask has always looked, but
// it stops at the picture's right edge.
void coarsen(uint8_t *plane, int lineLength, int width, int height, const Rect &r)
{
    if (r.x < 0 || r.y < 0 || r.x >= width || r.y >= height) {
        return;
    }
    const int w = std::min<int64_t>(r.width, width - r.x);
    const int h = std::min<int64_t>(r.height, height - r.y);
    for (int row = r.y; row < r.y + h; row++) {
        uint8_t *line = plane + static_cast<int64_t>(row) * lineLength;
        for (int s = 0; s < w; s += kMaskBlock) {
            const int start = r.x + s;
            std::memset(line + start, line[start], static_cast<size_t>(std::min(kMaskBlock, width - start)));
        }
    }
}

void clearSecondChroma(const Frame &f, const Rect &r)
{
    const int chromaHeight = f.secondHeight / 2;
    if (r.x < 0 || r.y < 0 || r.x >= f.secondWidth || r.y / 2 >= chromaHeight) {
        return;
    }
    const int w = std::min<int64_t>(r.width, f.secondWidth - r.x);
    const int rows = std::min<int64_t>(r.height / 2, chromaHeight - r.y / 2);
    for (int i = 0; i < rows && w > 0; i++) {
        std::memset(f.secondChroma + static_cast<int64_t>(r.y / 2 + i) * f.secondLineLength + r.x, kNoColour,
                    static_cast<size_t>(w));
    }
}

void drawMask(const Frame &f)
{
    if (mask.frame % kMaskEvery == 0) {
        refreshMask(f);
    }
    mask.frame++;
    if (!mask.on) {
        mask.frame = 0;
        return;
    }
    coarsen(f.luma, f.lineLength, f.width, f.height, mask.main);
    if (mask.hasSecond && f.secondLuma != nullptr) {
        coarsen(f.secondLuma, f.secondLineLength, f.secondWidth, f.secondHeight, mask.second);
        clearSecondChroma(f, mask.second);
    }
}

} // namespace

void Osd_start(int width, int height)
{
    loadFont();
    if (font.chosen) {
        refreshSubtitle();
    }
    if (subtitle.x < 0 || subtitle.x > width - 128) {
        subtitle.x = 60;
    }
    if (subtitle.y < 0 || subtitle.y > height) {
        subtitle.y = 40;
    }
}

void Osd_draw(Buffer_Handle hBuf)
{
    Frame f;
    if (hBuf == nullptr || !frameOf(hBuf, f)) {
        return;
    }
    drawMask(f);
    drawSubtitle(f);
    if (mask.on || (font.chosen && subtitle.on)) {
        Buffer_markAltered(hBuf);
    }
}

void Osd_reset()
{
    font = Font{};
    subtitle.on = false;
    subtitle.x = 0;
    subtitle.y = 0;
    subtitle.count = 0;
    subtitle.luma = 255;
    subtitle.chroma = 128;
    subtitle.frame = 0;
    subtitle.reportedMissing = false;
    std::memset(subtitle.text, 0, sizeof subtitle.text);
    std::memset(subtitle.glyphs, 0, sizeof subtitle.glyphs);
    mask = Mask{};
}
