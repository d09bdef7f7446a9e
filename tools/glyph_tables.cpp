// Build-time tool: renders the subtitle glyph tables /mnt/zk (32x32) and /mnt/zk48 (48x48) from a CJK
// outline font.
//
//     glyph_tables FONT_FILE FACE_INDEX OUT_DIR      writes OUT_DIR/zk and OUT_DIR/zk48
//
// A table is the whole 94x94 GB2312 code plane in zone/position order from the bytes 0xA1 0xA1: the
// glyph of (hi, lo) lies at ((hi - 0xA1) x 94 + (lo - 0xA1)) x glyph bytes, its rows glyph-size / 8
// bytes each, the leftmost pixel in the most significant bit. The plane is laid out whole (8836
// glyphs, zones 88..94 and every unassigned position left empty) so that any pair of bytes from 0xA1
// to 0xFE the subtitle text can hold lands inside the table.
//
// Each code goes to Unicode through iconv, so the GB2312 mapping is the C library's, not a table of
// ours. Codes that are no character, and characters the font lacks, get an empty glyph. A font that
// lacks any of the 6763 Hanzi is refused: that is a wrong font (a fallback picked by the font
// matcher), and tables rendered from it would silently show blanks.
//
// Outlines are rendered antialiased and cut at half coverage: at 32 and 48 pixels that keeps every
// stroke of the Hei face, where the hinted monochrome renderer drops some. Vertically the ink of the
// full box ideograph 国 is centred in the cell (a CJK face's ink runs a little past its em, so the
// em box itself does not fit); horizontally each glyph is centred on its advance.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kFirstByte = 0xA1;
constexpr int kRowCodes = 94;
constexpr int kPlaneGlyphs = kRowCodes * kRowCodes;
// Zones 16..87 (first bytes 0xB0..0xF7) hold the Hanzi of both levels.
constexpr int kHanziFirst = 0xB0;
constexpr int kHanziLast = 0xF7;
constexpr int kHanziCount = 6763;

struct Table {
    const char *name;
    int size; // pixels a side
};
constexpr Table kTables[] = {{"zk", 32}, {"zk48", 48}};

// GB2312 (EUC-CN bytes) to Unicode code points.
class Gb2312 {
public:
    Gb2312() : cd_(iconv_open("UTF-32LE", "GB2312")) {}
    ~Gb2312()
    {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    Gb2312(const Gb2312 &) = delete;
    Gb2312 &operator=(const Gb2312 &) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // 0 when the two bytes are no character.
    uint32_t toUnicode(int hi, int lo)
    {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char in[2] = {static_cast<char>(hi), static_cast<char>(lo)};
        unsigned char out[8] = {};
        char *inPtr = in;
        char *outPtr = reinterpret_cast<char *>(out);
        size_t inLeft = sizeof in;
        size_t outLeft = sizeof out;
        if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 ||
            sizeof out - outLeft != 4) {
            return 0;
        }
        return static_cast<uint32_t>(out[0]) | static_cast<uint32_t>(out[1]) << 8 |
               static_cast<uint32_t>(out[2]) << 16 | static_cast<uint32_t>(out[3]) << 24;
    }

private:
    iconv_t cd_;
};

struct Counts {
    int drawn = 0;
    int noCharacter = 0;
    int notInFont = 0;
    int hanziMissing = 0;
    uint32_t firstMissingHanzi = 0;
};

// Renders one code point into `glyph` (size x size / 8 bytes, zeroed by the caller). False when the
// font has no glyph for it.
bool render(FT_Face face, uint32_t codePoint, int size, int baseline, uint8_t *glyph)
{
    FT_UInt index = FT_Get_Char_Index(face, codePoint);
    if (index == 0) {
        return false;
    }
    if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT) != 0 || FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) {
        return false;
    }
    const FT_GlyphSlot slot = face->glyph;
    const FT_Bitmap &bm = slot->bitmap;
    int advance = static_cast<int>(slot->advance.x >> 6);
    int left = (size - advance) / 2 + slot->bitmap_left;
    int top = baseline - slot->bitmap_top;
    int rowBytes = size / 8;
    for (unsigned r = 0; r < bm.rows; r++) {
        int y = top + static_cast<int>(r);
        if (y < 0 || y >= size) {
            continue;
        }
        const unsigned char *src = bm.buffer + static_cast<long>(r) * bm.pitch;
        for (unsigned c = 0; c < bm.width; c++) {
            int x = left + static_cast<int>(c);
            if (x < 0 || x >= size || src[c] < 128) {
                continue;
            }
            glyph[y * rowBytes + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
    }
    return true;
}

// The cell row of the baseline: the middle of 国's ink on the middle of the cell. A face without 国
// is refused later for its missing Hanzi; 7/8 of the cell keeps the arithmetic defined until then.
int baselineRow(FT_Face face, int size)
{
    FT_UInt index = FT_Get_Char_Index(face, 0x56FD);
    if (index == 0 || FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE) != 0 || face->units_per_EM == 0) {
        return size - size / 8;
    }
    const FT_Glyph_Metrics &m = face->glyph->metrics;
    long inkMiddle2 = 2 * m.horiBearingY - m.height; // twice the middle, font units above the baseline
    return static_cast<int>((static_cast<long>(size) * face->units_per_EM + inkMiddle2 * size + face->units_per_EM) /
                            (2L * face->units_per_EM));
}

bool renderTable(FT_Face face, Gb2312 &gb, int size, std::vector<uint8_t> &table, Counts &counts)
{
    if (FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(size), static_cast<FT_UInt>(size)) != 0) {
        std::fprintf(stderr, "glyph_tables: the font cannot be set to %d pixels\n", size);
        return false;
    }
    const int baseline = baselineRow(face, size);
    const size_t glyphBytes = static_cast<size_t>(size) * size / 8;
    table.assign(glyphBytes * kPlaneGlyphs, 0);
    for (int hi = kFirstByte; hi < kFirstByte + kRowCodes; hi++) {
        for (int lo = kFirstByte; lo < kFirstByte + kRowCodes; lo++) {
            size_t at = (static_cast<size_t>(hi - kFirstByte) * kRowCodes + (lo - kFirstByte)) * glyphBytes;
            uint32_t cp = gb.toUnicode(hi, lo);
            if (cp == 0) {
                counts.noCharacter++;
                continue;
            }
            if (render(face, cp, size, baseline, table.data() + at)) {
                counts.drawn++;
                continue;
            }
            counts.notInFont++;
            if (hi >= kHanziFirst && hi <= kHanziLast) {
                if (counts.hanziMissing++ == 0) {
                    counts.firstMissingHanzi = cp;
                }
            }
        }
    }
    return true;
}

// Written beside the target and renamed over it, so that a failed run never leaves a half table that
// the build would take as up to date.
bool writeTable(const std::string &path, const std::vector<uint8_t> &table)
{
    std::string tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "glyph_tables: cannot create %s: %s\n", tmp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(table.data(), 1, table.size(), f) == table.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "glyph_tables: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

int run(const char *fontFile, long faceIndex, const std::string &outDir)
{
    Gb2312 gb;
    if (!gb.ok()) {
        std::fprintf(stderr, "glyph_tables: iconv has no GB2312 conversion\n");
        return 1;
    }
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) {
        std::fprintf(stderr, "glyph_tables: FreeType does not start\n");
        return 1;
    }
    FT_Face face = nullptr;
    if (FT_New_Face(library, fontFile, faceIndex, &face) != 0) {
        std::fprintf(stderr, "glyph_tables: cannot open face %ld of %s\n", faceIndex, fontFile);
        FT_Done_FreeType(library);
        return 1;
    }
    const char *family = face->family_name != nullptr ? face->family_name : "?";
    int status = 0;
    std::vector<uint8_t> table;
    for (const Table &t : kTables) {
        Counts counts;
        if (!renderTable(face, gb, t.size, table, counts)) {
            status = 1;
            break;
        }
        if (counts.hanziMissing > 0) {
            std::fprintf(stderr,
                         "glyph_tables: %s (%s) lacks %d of the %d Hanzi (the first U+%04X): not a GB2312 font\n",
                         fontFile, family, counts.hanziMissing, kHanziCount, counts.firstMissingHanzi);
            status = 1;
            break;
        }
        if (!writeTable(outDir + "/" + t.name, table)) {
            status = 1;
            break;
        }
        std::printf("glyph_tables: %s %dx%d from %s: %d glyphs, %d codes no character, %d not in the font\n", t.name,
                    t.size, t.size, family, counts.drawn, counts.noCharacter, counts.notInFont);
    }
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FONT_FILE FACE_INDEX OUT_DIR\n", argv[0]);
        return 2;
    }
    char *end = nullptr;
    long faceIndex = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || faceIndex < 0) {
        std::fprintf(stderr, "glyph_tables: face index \"%s\" is no number\n", argv[2]);
        return 2;
    }
    return run(argv[1], faceIndex, argv[3]);
}
