// The subtitle glyph tables the build renders (build/glyphs/zk and zk48): their size, the place of a
// character's glyph, which codes have ink, and the tool's refusals.
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kPlane = 94 * 94;

struct Table {
    const char *name;
    int size;
    std::vector<uint8_t> bytes;

    int glyphBytes() const { return size * size / 8; }
    // The documented place: ((hi - 0xA1) x 94 + (lo - 0xA1)) x glyph bytes.
    const uint8_t *glyph(int hi, int lo) const
    {
        return bytes.data() + static_cast<size_t>((hi - 0xA1) * 94 + (lo - 0xA1)) * glyphBytes();
    }
    bool ink(const uint8_t *g, int row, int col) const
    {
        return (g[row * size / 8 + col / 8] & (0x80 >> (col % 8))) != 0;
    }
    int rowInk(const uint8_t *g, int row) const
    {
        int n = 0;
        for (int col = 0; col < size; col++) {
            n += ink(g, row, col) ? 1 : 0;
        }
        return n;
    }
    bool empty(const uint8_t *g) const
    {
        for (int i = 0; i < glyphBytes(); i++) {
            if (g[i] != 0) {
                return false;
            }
        }
        return true;
    }
    // Runs of consecutive rows with ink: 1 for 一, 2 for 二, 3 for 三.
    int bars(const uint8_t *g) const
    {
        int runs = 0;
        bool prev = false;
        for (int row = 0; row < size; row++) {
            bool now = rowInk(g, row) > 0;
            runs += now && !prev ? 1 : 0;
            prev = now;
        }
        return runs;
    }
};

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Table> builtTables()
{
    std::vector<Table> tables = {{"zk", 32, {}}, {"zk48", 48, {}}};
    for (Table &t : tables) {
        t.bytes = readFile(std::string(ENCODE_BINARY_DIR) + "/glyphs/" + t.name);
    }
    return tables;
}

// True when iconv takes the two bytes as one GB2312 character.
bool isCharacter(iconv_t cd, int hi, int lo)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in[2] = {static_cast<char>(hi), static_cast<char>(lo)};
    char out[8];
    char *inPtr = in;
    char *outPtr = out;
    size_t inLeft = 2;
    size_t outLeft = sizeof out;
    return iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
}

int runTool(const std::string &args, std::string *output)
{
    std::string cmd = std::string(ENCODE_BINARY_DIR) + "/tools/glyph_tables " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr) {
        *output += buf;
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char *kFont = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";

} // namespace

TEST(GlyphTables, WholeCodePlaneOfEachSize)
{
    for (const Table &t : builtTables()) {
        SCOPED_TRACE(t.name);
        ASSERT_FALSE(t.bytes.empty()) << "build the target encode_glyph_tables first";
        EXPECT_EQ(t.bytes.size(), static_cast<size_t>(kPlane) * t.glyphBytes());
    }
}

TEST(GlyphTables, KnownGlyphsSitAtTheirCodes)
{
    for (const Table &t : builtTables()) {
        SCOPED_TRACE(t.name);
        ASSERT_EQ(t.bytes.size(), static_cast<size_t>(kPlane) * t.glyphBytes());
        // 一: one bar across most of the cell in the middle rows, nothing in the outer quarters.
        const uint8_t *one = t.glyph(0xD2, 0xBB);
        EXPECT_EQ(t.bars(one), 1);
        int widest = 0;
        int widestRow = -1;
        for (int row = 0; row < t.size; row++) {
            if (row < t.size / 4 || row >= t.size * 3 / 4) {
                EXPECT_EQ(t.rowInk(one, row), 0) << "row " << row;
            }
            if (t.rowInk(one, row) > widest) {
                widest = t.rowInk(one, row);
                widestRow = row;
            }
        }
        EXPECT_GE(widest, t.size * 3 / 4);
        EXPECT_GE(widestRow, t.size * 3 / 8);
        EXPECT_LE(widestRow, t.size * 5 / 8);
        // 二 and 三 one position apart from their neighbours: a table shifted by one glyph fails here.
        EXPECT_EQ(t.bars(t.glyph(0xB6, 0xFE)), 2);
        EXPECT_EQ(t.bars(t.glyph(0xC8, 0xFD)), 3);
        // 丨 (0xD8 0xAD): a vertical stroke, ink in most rows and a narrow column band.
        const uint8_t *stroke = t.glyph(0xD8, 0xAD);
        int inkRows = 0;
        for (int row = 0; row < t.size; row++) {
            inkRows += t.rowInk(stroke, row) > 0 ? 1 : 0;
            EXPECT_LE(t.rowInk(stroke, row), t.size / 4);
        }
        EXPECT_GE(inkRows, t.size * 3 / 4);
    }
}

TEST(GlyphTables, InkExactlyWhereThereIsAVisibleCharacter)
{
    iconv_t cd = iconv_open("UTF-32LE", "GB2312");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (const Table &t : builtTables()) {
        SCOPED_TRACE(t.name);
        ASSERT_EQ(t.bytes.size(), static_cast<size_t>(kPlane) * t.glyphBytes());
        int characters = 0;
        for (int hi = 0xA1; hi <= 0xFE; hi++) {
            for (int lo = 0xA1; lo <= 0xFE; lo++) {
                bool character = isCharacter(cd, hi, lo);
                characters += character ? 1 : 0;
                // The ideographic space is the one character without ink.
                bool wantInk = character && !(hi == 0xA1 && lo == 0xA1);
                if (t.empty(t.glyph(hi, lo)) == wantInk) {
                    ADD_FAILURE() << std::hex << "code " << hi << " " << lo << (wantInk ? " has no ink" : " has ink");
                }
            }
        }
        // 682 symbols and 6763 Hanzi; zones 88..94 and the gaps stay empty.
        EXPECT_EQ(characters, 7445);
        EXPECT_TRUE(t.empty(t.glyph(0xD7, 0xFA)));
        EXPECT_TRUE(t.empty(t.glyph(0xFE, 0xFE)));
    }
    iconv_close(cd);
}

TEST(GlyphTables, ToolRendersTheSameTablesAgain)
{
    if (!std::filesystem::exists(kFont)) {
        GTEST_SKIP() << "fonts-wqy-zenhei is not installed";
    }
    TempRoot dir;
    std::string out;
    ASSERT_EQ(runTool(std::string(kFont) + " 0 " + dir.dir(), &out), 0) << out;
    EXPECT_NE(out.find("glyph_tables: zk 32x32 from WenQuanYi Zen Hei: 7445 glyphs, 1391 codes no character, "
                       "0 not in the font"),
              std::string::npos)
        << out;
    for (const Table &t : builtTables()) {
        SCOPED_TRACE(t.name);
        EXPECT_TRUE(readFile(dir.dir() + "/" + t.name) == t.bytes);
        EXPECT_FALSE(std::filesystem::exists(dir.dir() + "/" + t.name + ".tmp"));
    }
}

TEST(GlyphTables, ToolRefusesWhatIsNoGb2312Font)
{
    TempRoot dir;
    std::string out;
    EXPECT_EQ(runTool(dir.dir() + "/none.ttf 0 " + dir.dir(), &out), 1);
    EXPECT_NE(out.find("cannot open face 0 of"), std::string::npos) << out;

    out.clear();
    EXPECT_EQ(runTool(std::string(kFont) + " x " + dir.dir(), &out), 2);
    EXPECT_NE(out.find("face index \"x\" is no number"), std::string::npos) << out;

    out.clear();
    EXPECT_EQ(runTool(std::string(kFont) + " 0 " + dir.dir() + "/missing-dir", &out), 1);
    EXPECT_NE(out.find("cannot create"), std::string::npos) << out;

    const char *latin = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (std::filesystem::exists(latin)) {
        out.clear();
        EXPECT_EQ(runTool(std::string(latin) + " 0 " + dir.dir(), &out), 1);
        EXPECT_NE(out.find("lacks 6763 of the 6763 Hanzi"), std::string::npos) << out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.dir() + "/zk"));
    EXPECT_FALSE(std::filesystem::exists(dir.dir() + "/zk48"));
}
