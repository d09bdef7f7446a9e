// The mask and subtitle overlays drawn into real NV12 pool buffers, with the switch files and small
// glyph tables of a temporary root (and the built tables in one case). Every drawing test compares the
// whole buffer with the picture it must become, so a stray write anywhere fails.
#include "encode/video/osd.h"

#include "encode/core/second_stream.h"
#include "encode/media/buftab.h"
#include "encode/media/media.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int codeIndex(int hi, int lo)
{
    return (hi - 0xA1) * 94 + (lo - 0xA1);
}

// Glyph A: rows 3 and 4 full, plus the diagonal (r, r). Glyph B: column 0 in every row.
std::vector<uint8_t> glyphA(int size)
{
    std::vector<uint8_t> g(static_cast<size_t>(size) * size / 8, 0);
    for (int r = 0; r < size; r++) {
        for (int col = 0; col < size; col++) {
            if (r == 3 || r == 4 || col == r) {
                g[r * size / 8 + col / 8] |= static_cast<uint8_t>(0x80 >> (col % 8));
            }
        }
    }
    return g;
}

std::vector<uint8_t> glyphB(int size)
{
    std::vector<uint8_t> g(static_cast<size_t>(size) * size / 8, 0);
    for (int r = 0; r < size; r++) {
        g[r * size / 8] = 0x80;
    }
    return g;
}

bool inkA(int r, int col)
{
    return r == 3 || r == 4 || col == r;
}

bool inkB(int, int col)
{
    return col == 0;
}

// The two characters of the test font and their text bytes.
const std::string kTextAB = "\xB0\xA1\xB0\xA2";
const std::string kTextA = "\xB0\xA1";

// A 4:2:0 semi-planar picture in a pool buffer, filled with a pattern where neighbouring bytes differ.
class Picture {
public:
    Picture(int width, int height, int lineLength, int secondWidth = 0, int secondHeight = 0)
        : width_(width), height_(height), line_(lineLength), secondWidth_(secondWidth), secondHeight_(secondHeight)
    {
        BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
        gfx.colorSpace = ColorSpace_YUV420PSEMI;
        gfx.dim = {0, 0, width, height, lineLength};
        size_ = lineLength * height * 3 / 2 + secondWidth * secondHeight * 3 / 2;
        tab_ = BufTab_create(1, size_, &gfx.bAttrs);
        buf_ = tab_ != nullptr ? BufTab_getBuf(tab_, 0) : nullptr;
        if (buf_ == nullptr) {
            ADD_FAILURE() << "no buffer";
            return;
        }
        before_.resize(static_cast<size_t>(size_));
        for (size_t i = 0; i < before_.size(); i++) {
            before_[i] = static_cast<uint8_t>((i * 7 + i / 97) & 0xFF);
        }
        restore();
    }
    ~Picture() { BufTab_delete(tab_); }
    Picture(const Picture &) = delete;
    Picture &operator=(const Picture &) = delete;

    Buffer_Handle buffer() const { return buf_; }
    uint8_t *data() const { return Buffer_getUserPtr(buf_); }
    void restore() { std::memcpy(data(), before_.data(), before_.size()); }
    std::vector<uint8_t> original() const { return before_; }

    size_t luma(int x, int y) const { return static_cast<size_t>(y) * line_ + x; }
    size_t chroma(int byte, int row) const
    {
        return static_cast<size_t>(line_) * height_ + static_cast<size_t>(row) * line_ + byte;
    }
    size_t secondLuma(int x, int y) const
    {
        return static_cast<size_t>(line_) * height_ * 3 / 2 + static_cast<size_t>(y) * secondWidth_ + x;
    }
    size_t secondChroma(int byte, int row) const
    {
        return secondLuma(0, 0) + static_cast<size_t>(secondWidth_) * (secondHeight_ + row) + byte;
    }

    // The first byte that differs from `want`, as text; empty when the buffer is `want`.
    std::string differs(const std::vector<uint8_t> &want) const
    {
        const uint8_t *p = data();
        for (size_t i = 0; i < want.size(); i++) {
            if (p[i] != want[i]) {
                return "offset " + std::to_string(i) + ": " + std::to_string(p[i]) + " instead of " +
                       std::to_string(want[i]);
            }
        }
        return "";
    }
    bool unchanged() const { return differs(before_).empty(); }

    int width() const { return width_; }
    int height() const { return height_; }

private:
    int width_;
    int height_;
    int line_;
    int secondWidth_;
    int secondHeight_;
    int size_ = 0;
    BufTab_Handle tab_ = nullptr;
    Buffer_Handle buf_ = nullptr;
    std::vector<uint8_t> before_;
};

class OsdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Media_init();
        Osd_reset();
        SecondStream_reset();
    }
    void TearDown() override
    {
        Osd_reset();
        SecondStream_reset();
    }

    // A table of `count` glyphs, blank but for A at 0xB0 0xA1 and B at 0xB0 0xA2.
    void writeFont(const std::string &path, int size, int count = 94 * 94)
    {
        std::string table(static_cast<size_t>(count) * size * size / 8, '\0');
        auto put = [&](int index, const std::vector<uint8_t> &g) {
            if (static_cast<size_t>(index + 1) * g.size() <= table.size()) {
                std::memcpy(table.data() + static_cast<size_t>(index) * g.size(), g.data(), g.size());
            }
        };
        put(codeIndex(0xB0, 0xA1), glyphA(size));
        put(codeIndex(0xB0, 0xA2), glyphB(size));
        root.write(path, table);
    }

    // The small font chosen (zhiti "1") with its table, the mask off.
    void smallFont()
    {
        root.write("/mnt/zhiti.ini", "1");
        writeFont("/mnt/zk", 32);
        root.write("/mnt/m.ini", "0 16 16 16 16 0 16 16 160 96");
    }

    // The picture text `ink` functions (one per character) make at (x, y), as the format defines it:
    // set bits take the luma value; glyph row 2r's even pixels colour the pair holding the pixel in
    // chroma row y/2 + r; nothing outside the picture.
    using Ink = bool (*)(int, int);
    std::vector<uint8_t> withText(const Picture &pic, int x, int y, int size, const std::vector<Ink> &ink, uint8_t luma,
                                  uint8_t chroma, const std::vector<uint8_t> *base = nullptr)
    {
        std::vector<uint8_t> want = base != nullptr ? *base : pic.original();
        for (size_t c = 0; c < ink.size(); c++) {
            for (int r = 0; r < size; r++) {
                for (int col = 0; col < size; col++) {
                    if (!ink[c](r, col)) {
                        continue;
                    }
                    int64_t px = static_cast<int64_t>(x) + static_cast<int>(c) * size + col;
                    int64_t py = static_cast<int64_t>(y) + r;
                    if (px >= 0 && px < pic.width() && py >= 0 && py < pic.height()) {
                        want[pic.luma(px, py)] = luma;
                    }
                    int64_t pair = px & ~int64_t{1};
                    int64_t cy = (y >> 1) + r / 2;
                    if (r % 2 == 0 && col % 2 == 0 && pair >= 0 && pair + 1 < pic.width() && cy >= 0 &&
                        cy < pic.height() / 2) {
                        want[pic.chroma(pair, cy)] = chroma;
                        want[pic.chroma(pair + 1, cy)] = chroma;
                    }
                }
            }
        }
        return want;
    }

    TempRoot root;
};

// --- Subtitle ---

TEST_F(OsdTest, SubtitleSetsLumaAndChromaAtTheGlyphBits)
{
    smallFont();
    root.write("/mnt/zk.ini", "1 100 50 " + kTextAB);
    root.write("/mnt/zkcolor.ini", "200 60");
    Picture pic(320, 240, 352);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "zk color=c8,3c\nc=2,x=100,y=50,word=" + kTextAB + ",zhi=32\nb0 a1 b0 a2 \n");
    EXPECT_EQ(pic.differs(withText(pic, 100, 50, 32, {inkA, inkB}, 200, 60)), "");
    // Spot checks against the hand-made glyphs: A's full row 3, B's column 0, the chroma of A's row 4.
    EXPECT_EQ(pic.data()[pic.luma(100, 53)], 200);
    EXPECT_EQ(pic.data()[pic.luma(131, 53)], 200);
    EXPECT_EQ(pic.data()[pic.luma(132, 70)], 200);
    EXPECT_EQ(pic.data()[pic.chroma(100, 27)], 60);
    EXPECT_EQ(pic.data()[pic.chroma(131, 27)], 60);
    EXPECT_EQ(pic.data()[pic.chroma(132, 25 + 7)], 60);

    // Built-in colours without zkcolor.ini: luma 255, chroma 128.
    Osd_reset();
    root.write("/mnt/zkcolor.ini", "");
    pic.restore();
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pic.differs(withText(pic, 100, 50, 32, {inkA, inkB}, 255, 128)), "");
}

TEST_F(OsdTest, BigFontIsChosenByZhitiZero)
{
    root.write("/mnt/zhiti.ini", "0");
    writeFont("/mnt/zk48", 48);
    root.write("/mnt/m.ini", "0");
    root.write("/mnt/zk.ini", "1 64 100 " + kTextAB);
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "c=2,x=64,y=100,word=" + kTextAB + ",zhi=48\nb0 a1 b0 a2 \n");
    EXPECT_EQ(pic.differs(withText(pic, 64, 100, 48, {inkA, inkB}, 255, 128)), "");
}

TEST_F(OsdTest, TextBeyondThePictureIsCutAtItsEdges)
{
    smallFont();
    Picture pic(320, 240, 352);
    // Positions given after start-up are not moved; what lies outside is not drawn, the padding
    // behind each line (320..351) and the rows below the picture stay as they were.
    struct Case {
        int x;
        int y;
    };
    for (Case c : {Case{300, 225}, Case{-20, -3}, Case{-40, 10}, Case{319, 239}, Case{500, 500},
                   Case{INT32_MAX - 40, 20}, Case{-40, INT32_MIN}, Case{INT32_MIN, INT32_MAX}}) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        Osd_reset();
        root.write("/mnt/zk.ini", "0 0 0 x");
        Osd_start(320, 240);
        root.write("/mnt/zk.ini", "1 " + std::to_string(c.x) + " " + std::to_string(c.y) + " " + kTextAB);
        pic.restore();
        testing::internal::CaptureStdout();
        Osd_draw(pic.buffer());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(pic.differs(withText(pic, c.x, c.y, 32, {inkA, inkB}, 255, 128)), "");
    }
}

TEST_F(OsdTest, OddXColoursThePairThatHoldsThePixel)
{
    smallFont();
    root.write("/mnt/zk.ini", "1 101 20 " + kTextA);
    root.write("/mnt/zkcolor.ini", "250 30");
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(pic.differs(withText(pic, 101, 20, 32, {inkA}, 250, 30)), "");
    // The diagonal's pixel 101 + 2r lies in pair (100 + 2r, 101 + 2r), never half in the next pair.
    EXPECT_EQ(pic.data()[pic.chroma(106, 13)], 30);
    EXPECT_EQ(pic.data()[pic.chroma(107, 13)], 30);
    EXPECT_NE(pic.data()[pic.chroma(108, 13)], 30);
}

TEST_F(OsdTest, StartMovesAPositionOutsideThePicture)
{
    smallFont();
    struct Case {
        int x, y;   // in zk.ini
        int wx, wy; // where the text is drawn
    };
    // x allowed 0..width-128 (192), y 0..height (240).
    for (Case c : {Case{192, 240, 192, 240}, Case{193, 10, 60, 10}, Case{-1, 20, 60, 20}, Case{30, 241, 30, 40},
                   Case{30, -2, 30, 40}}) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        Osd_reset();
        root.write("/mnt/zk.ini", "1 " + std::to_string(c.x) + " " + std::to_string(c.y) + " " + kTextAB);
        Picture pic(320, 240, 320);
        testing::internal::CaptureStdout();
        Osd_start(320, 240);
        Osd_draw(pic.buffer());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(pic.differs(withText(pic, c.wx, c.wy, 32, {inkA, inkB}, 255, 128)), "");
    }
}

TEST_F(OsdTest, SwitchFileIsPolledEvery50FramesWhileOnAndEveryFrameWhileOff)
{
    smallFont();
    root.write("/mnt/zk.ini", "1 10 10 " + kTextA);
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    const std::vector<uint8_t> first = withText(pic, 10, 10, 32, {inkA}, 255, 128);
    int frame = 0;
    // A frame drawn on is marked altered (the capture then refills its buffer), one not drawn on is not.
    auto draw = [&]() {
        pic.restore();
        Osd_draw(pic.buffer());
        EXPECT_EQ(Buffer_takeAltered(pic.buffer()), !pic.unchanged()) << "frame " << frame;
        frame++;
    };
    draw();
    EXPECT_EQ(pic.differs(first), "");
    // Off, and a new text, while shown: nothing changes until the refresh at frame 50, which is the
    // first frame without the text.
    for (int i = 0; i < 9; i++) {
        draw();
    }
    root.write("/mnt/zk.ini", "0 10 10 " + kTextA);
    while (frame < 50) {
        draw();
        ASSERT_EQ(pic.differs(first), "") << "frame " << frame;
    }
    draw();
    EXPECT_TRUE(pic.unchanged()) << "frame " << frame;
    // While off the file is read every frame: the next frame shows the new text and position.
    draw();
    EXPECT_TRUE(pic.unchanged());
    root.write("/mnt/zk.ini", "1 40 60 " + kTextAB);
    draw();
    EXPECT_EQ(pic.differs(withText(pic, 40, 60, 32, {inkA, inkB}, 255, 128)), "");
    // A changed text while on stays unseen: "1 while on" changes nothing, even at the refresh.
    root.write("/mnt/zk.ini", "1 0 0 " + kTextA);
    for (int i = 0; i < 60; i++) {
        draw();
    }
    EXPECT_EQ(pic.differs(withText(pic, 40, 60, 32, {inkA, inkB}, 255, 128)), "");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "c=1,x=10,y=10,word=" + kTextA + ",zhi=32\nb0 a1 \nc=2,x=40,y=60,word=" + kTextAB +
                       ",zhi=32\nb0 a1 b0 a2 \n");
}

TEST_F(OsdTest, ColoursOutsideTheByteRangeAreIgnored)
{
    smallFont();
    root.write("/mnt/zkcolor.ini", "10 20");
    root.write("/mnt/zk.ini", "1 10 10 " + kTextA);
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "zk color=a,14\nc=1,x=10,y=10,word=" + kTextA + ",zhi=32\nb0 a1 \n");
    for (const char *bad : {"300 128", "128 300", "-1 5", "5", "x y"}) {
        SCOPED_TRACE(bad);
        root.write("/mnt/zkcolor.ini", bad);
        root.write("/mnt/zk.ini", "0");
        for (int i = 0; i < 50; i++) {
            Osd_draw(pic.buffer());
        }
        root.write("/mnt/zk.ini", "1 10 10 " + kTextA);
        pic.restore();
        testing::internal::CaptureStdout();
        Osd_draw(pic.buffer());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "c=1,x=10,y=10,word=" + kTextA + ",zhi=32\nb0 a1 \n");
        EXPECT_EQ(pic.differs(withText(pic, 10, 10, 32, {inkA}, 10, 20)), "");
    }
}

TEST_F(OsdTest, TextLongerThanTheCapacityIsCutToIt)
{
    smallFont();
    std::string text;
    for (int i = 0; i < 300; i++) {
        text += kTextA;
    }
    root.write("/mnt/zk.ini", "1 0 0 " + text);
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    std::string out = testing::internal::GetCapturedStdout();
    std::string hex;
    for (int i = 0; i < 128; i++) {
        hex += "b0 a1 ";
    }
    EXPECT_EQ(out, "c=128,x=0,y=0,word=" + text.substr(0, 256) + ",zhi=32\n" + hex + "\n");
    std::vector<bool (*)(int, int)> ten(10, inkA);
    EXPECT_EQ(pic.differs(withText(pic, 0, 0, 32, ten, 255, 128)), "");

    // The big font holds 288 characters.
    Osd_reset();
    root.write("/mnt/zhiti.ini", "0");
    writeFont("/mnt/zk48", 48);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("c=288,x=0,y=0,word=" + text.substr(0, 576) + ",zhi=48\n", 0), 0u) << out.substr(0, 40);
}

TEST_F(OsdTest, CodesOutsideTheTableHaveNoInk)
{
    smallFont();
    // A table that ends after 0xB0 0xA2: codes behind its end, single bytes and 0xFF bytes are blank.
    writeFont("/mnt/zk", 32, codeIndex(0xB0, 0xA2) + 1);
    root.write("/mnt/zk.ini", std::string("1 0 0 AB\xB0\xFF\xFE\xFE\xFF\xA1") + kTextA + "\xB0");
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "c=5,x=0,y=0,word=AB\xB0\xFF\xFE\xFE\xFF\xA1\xB0\xA1\xB0,zhi=32\n41 42 b0 ff fe fe ff a1 b0 a1 b0 \n");
    auto none = [](int, int) { return false; };
    EXPECT_EQ(pic.differs(withText(pic, 0, 0, 32, {none, none, none, none, inkA}, 255, 128)), "");
}

TEST_F(OsdTest, RecordThatStopsEarlyKeepsWhatItHas)
{
    smallFont();
    Picture pic(320, 240, 320);
    // A switch that is no number is off; a y that is no number ends the record before the text.
    root.write("/mnt/zk.ini", "on 1 1 " + kTextA);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    root.write("/mnt/zk.ini", "1 7 y " + kTextA);
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "c=0,x=7,y=0,word=,zhi=32\n\n");
    EXPECT_TRUE(pic.unchanged());
}

TEST_F(OsdTest, MissingFilesPrintTheirLinesOnce)
{
    root.write("/mnt/m.ini", "0");
    Picture pic(320, 240, 320);
    // No zhiti.ini: no font, zk.ini is never read.
    root.write("/mnt/zk.ini", "1 0 0 " + kTextA);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(pic.unchanged());

    // No zk.ini: "error zk.ini" once while it stays away, again after it was back.
    Osd_reset();
    root.write("/mnt/zhiti.ini", "5");
    writeFont("/mnt/zk", 32);
    std::filesystem::remove(root.path("/mnt/zk.ini"));
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    for (int i = 0; i < 5; i++) {
        Osd_draw(pic.buffer());
    }
    root.write("/mnt/zk.ini", "0");
    Osd_draw(pic.buffer());
    std::filesystem::remove(root.path("/mnt/zk.ini"));
    Osd_draw(pic.buffer());
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error zk.ini\nerror zk.ini\n");
    EXPECT_TRUE(pic.unchanged());

    // No font file: "error zhiku", the subtitle is on but has nothing to draw.
    std::filesystem::remove(root.path("/mnt/zk"));
    root.write("/mnt/zk.ini", "1 0 0 " + kTextA);
    testing::internal::CaptureStdout();
    Osd_draw(pic.buffer());
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "c=1,x=0,y=0,word=" + kTextA + ",zhi=32\nb0 a1 \nerror zhiku\n");
    EXPECT_TRUE(pic.unchanged());

    // No m.ini: "error m.ini" once.
    std::filesystem::remove(root.path("/mnt/m.ini"));
    root.write("/mnt/zk.ini", "0");
    Osd_reset();
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; i++) {
        Osd_draw(pic.buffer());
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error m.ini\n");
}

TEST_F(OsdTest, DrawsWithTheBuiltTable)
{
    TempRoot factory(true);
    if (!factory.exists("/mnt/zk")) {
        FAIL() << "the factory root has no glyph tables: build encode_glyph_tables first";
    }
    EXPECT_FALSE(factory.exists("/mnt/dfc/zk"));
    factory.write("/mnt/zhiti.ini", "1");
    factory.write("/mnt/zk.ini", "1 100 100 \xD2\xBB"); // 一
    factory.write("/mnt/zkcolor.ini", "250 128");
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    testing::internal::GetCapturedStdout();
    // A bar of white across the middle rows of the cell, nothing in its top and bottom quarters.
    int barRows = 0;
    for (int r = 0; r < 32; r++) {
        int white = 0;
        for (int col = 0; col < 32; col++) {
            white += pic.data()[pic.luma(100 + col, 100 + r)] == 250 ? 1 : 0;
        }
        if (white >= 24) {
            barRows++;
            EXPECT_GE(r, 8);
            EXPECT_LT(r, 24);
        }
    }
    EXPECT_GE(barRows, 2);
}

// --- Mask ---

// The picture a mask rectangle makes: each row in 16-byte runs taking the run's first byte, the last
// run cut at the picture's right edge.
void coarsened(std::vector<uint8_t> &want, size_t plane, int line, int width, int x, int y, int w, int h)
{
    for (int row = y; row < y + h; row++) {
        for (int s = 0; s < w; s += 16) {
            uint8_t v = want[plane + static_cast<size_t>(row) * line + x + s];
            for (int i = x + s; i < x + s + 16 && i < width; i++) {
                want[plane + static_cast<size_t>(row) * line + i] = v;
            }
        }
    }
}

TEST_F(OsdTest, MaskCoarsensRowsIn16ByteRuns)
{
    root.write("/mnt/m.ini", "1 32 16 20 4 0 0 0 0 0");
    Picture pic(320, 240, 352);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "msk=1,32,16,20,4\n");
    // Width 20: two runs a row, 32 bytes; the chroma stays.
    std::vector<uint8_t> want = pic.original();
    coarsened(want, 0, 352, 320, 32, 16, 20, 4);
    EXPECT_EQ(pic.differs(want), "");
    EXPECT_EQ(pic.data()[pic.luma(47, 17)], want[pic.luma(32, 17)]);
    EXPECT_EQ(pic.data()[pic.luma(63, 17)], want[pic.luma(48, 17)]);
    EXPECT_NE(pic.data()[pic.luma(64, 17)], want[pic.luma(48, 17)]);
}

TEST_F(OsdTest, MaskOutsideThePictureIsClippedWithItsLines)
{
    struct Case {
        const char *file;
        const char *lines;
        int x, y, w, h;
    };
    const Case cases[] = {
        {"1 1900 0 100 16", "error msk_width=100\nmsk=1,1900,0,20,16\n", 1900, 0, 20, 16},
        {"1 2000 1070 64 30", "error msk x=2000\nerror msk_height=30\nmsk=1,0,1070,64,10\n", 0, 1070, 64, 10},
        {"1 16 1100 32 2000", "error msk y=1100\nerror msk_height=2000\nmsk=1,16,0,32,1080\n", 16, 0, 32, 1080},
        {"1 -8 -4 16 16", "error msk x=-8\nerror msk y=-4\nmsk=1,0,0,16,16\n", 0, 0, 16, 16},
        {"1 1904 1072 2147483647 2147483647",
         "error msk_width=2147483647\nerror msk_height=2147483647\nmsk=1,1904,1072,16,8\n", 1904, 1072, 16, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        Osd_reset();
        root.write("/mnt/m.ini", c.file);
        // A line longer than the picture: its last 32 bytes must never be written.
        Picture pic(1920, 1080, 1952);
        testing::internal::CaptureStdout();
        Osd_draw(pic.buffer());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.lines);
        std::vector<uint8_t> want = pic.original();
        coarsened(want, 0, 1952, 1920, c.x, c.y, c.w, c.h);
        EXPECT_EQ(pic.differs(want), "");
    }
}

TEST_F(OsdTest, MaskSwitchIsPolledEvery45FramesWhileOn)
{
    root.write("/mnt/m.ini", "1 0 0 32 2");
    Picture pic(320, 240, 320);
    std::vector<uint8_t> first = pic.original();
    coarsened(first, 0, 320, 320, 0, 0, 32, 2);
    testing::internal::CaptureStdout();
    int frame = 0;
    auto draw = [&]() {
        pic.restore();
        Osd_draw(pic.buffer());
        frame++;
    };
    draw();
    // A new rectangle while on is not taken; 0 is seen at the refresh of frame 45.
    root.write("/mnt/m.ini", "1 64 64 32 2");
    while (frame < 30) {
        draw();
    }
    root.write("/mnt/m.ini", "0 64 64 32 2");
    while (frame < 45) {
        draw();
        ASSERT_EQ(pic.differs(first), "") << "frame " << frame;
    }
    draw();
    EXPECT_TRUE(pic.unchanged());
    root.write("/mnt/m.ini", "1 64 64 32 2");
    draw();
    std::vector<uint8_t> second = pic.original();
    coarsened(second, 0, 320, 320, 64, 64, 32, 2);
    EXPECT_EQ(pic.differs(second), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "msk=1,0,0,32,2\nmsk=1,64,64,32,2\n");
}

TEST_F(OsdTest, SecondPictureMaskIsScaledAndLosesItsColour)
{
    SecondStreamSettings s;
    s.enabled = 1;
    s.width = 640;
    s.height = 360;
    SecondStream_set(s);
    root.write("/mnt/m.ini", "1 100 100 150 90");
    Picture pic(1280, 720, 1280, 640, 360);
    testing::internal::CaptureStdout();
    Osd_draw(pic.buffer());
    // 100 x 640/1280 = 50 -> 48; 100 x 360/720 -> 48; 150 -> 75 -> 72; 90 -> 45 -> 40.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "msk=1,100,100,150,90\nmsk=48,48,72,40\n");
    std::vector<uint8_t> want = pic.original();
    coarsened(want, 0, 1280, 1280, 100, 100, 150, 90);
    coarsened(want, pic.secondLuma(0, 0), 640, 640, 48, 48, 72, 40);
    for (int row = 24; row < 44; row++) {
        for (int b = 48; b < 120; b++) {
            want[pic.secondChroma(b, row)] = 128;
        }
    }
    EXPECT_EQ(pic.differs(want), "");

    // At the second picture's right edge the runs and the grey stop at its side.
    Osd_reset();
    root.write("/mnt/m.ini", "1 1264 700 16 20");
    pic.restore();
    testing::internal::CaptureStdout();
    Osd_draw(pic.buffer());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "msk=1,1264,700,16,20\nmsk=632,344,8,8\n");
    want = pic.original();
    coarsened(want, 0, 1280, 1280, 1264, 700, 16, 20);
    coarsened(want, pic.secondLuma(0, 0), 640, 640, 632, 344, 8, 8);
    for (int row = 172; row < 176; row++) {
        for (int b = 632; b < 640; b++) {
            want[pic.secondChroma(b, row)] = 128;
        }
    }
    EXPECT_EQ(pic.differs(want), "");
}

TEST_F(OsdTest, BufferThatCannotHoldItsPictureIsLeftAlone)
{
    smallFont();
    root.write("/mnt/m.ini", "1 0 0 64 64");
    root.write("/mnt/zk.ini", "1 0 0 " + kTextAB);
    // Dimensions of 320x240 in a buffer with room for the luma only.
    BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
    gfx.dim = {0, 0, 320, 240, 320};
    BufTab_Handle tab = BufTab_create(1, 320 * 240, &gfx.bAttrs);
    ASSERT_NE(tab, nullptr);
    Buffer_Handle buf = BufTab_getBuf(tab, 0);
    std::memset(Buffer_getUserPtr(buf), 7, 320 * 240);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(buf);
    // A 4:2:2 picture is not drawn into either.
    BufferGfx_setColorSpace(buf, ColorSpace_UYVY);
    BufferGfx_Dimensions dim = {0, 0, 160, 240, 320};
    BufferGfx_setDimensions(buf, &dim);
    Osd_draw(buf);
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> want(320 * 240, 7);
    EXPECT_EQ(std::memcmp(Buffer_getUserPtr(buf), want.data(), want.size()), 0);
    BufTab_delete(tab);
}

TEST_F(OsdTest, MaskThenSubtitleInOneFrame)
{
    smallFont();
    root.write("/mnt/m.ini", "1 0 0 64 40");
    root.write("/mnt/zk.ini", "1 8 4 " + kTextA);
    Picture pic(320, 240, 320);
    testing::internal::CaptureStdout();
    Osd_start(320, 240);
    Osd_draw(pic.buffer());
    testing::internal::GetCapturedStdout();
    // The text is drawn over the coarsened rows, not coarsened itself.
    std::vector<uint8_t> masked = pic.original();
    coarsened(masked, 0, 320, 320, 0, 0, 64, 40);
    EXPECT_EQ(pic.differs(withText(pic, 8, 4, 32, {inkA}, 255, 128, &masked)), "");
}

} // namespace
