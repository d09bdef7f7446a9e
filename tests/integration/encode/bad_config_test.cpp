// Every file of the store the encoder reads, spoiled the same way at once — missing, empty, cut short,
// random bytes, a megabyte long, every number out of range — and then once more with the subtitle on,
// so that the glyph tables are read too: `encode` streams video over UDP all the same, and a SIGTERM
// ends it with status 0. A file the encoder cannot use costs what it configures, never the program.
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

// Every file under the root the encoder reads, by the system's name.
const char *const kStoreFiles[] = {
    "/mnt/ts.ini", "/mnt/ra202.ini", "/mnt/ra101.ini", "/mnt/kavex_rs.ini", "/mnt/kavex_rsc.ini", "/mnt/tsf.ini",
    "/mnt/httpts.ini", "/mnt/tcp.ini", "/mnt/rtsp.ini", "/mnt/rtsporrtmp.ini", "/mnt/ttl.ini",
    "/mnt/kavex_maxdelay.ini", "/mnt/kavex_encLevel.ini", "/mnt/kavex_encProfileIdc.ini",
    "/mnt/kavex_encQuality.ini", "/mnt/kavex_slice.ini", "/mnt/cvbr.ini", "/mnt/idr.ini", "/mnt/m.ini",
    "/mnt/zk.ini", "/mnt/zhiti.ini", "/mnt/zkcolor.ini", "/mnt/zk", "/mnt/zk48", "/mnt/ha.ini", "/mnt/has.ini",
    "/mnt/color.ini", "/mnt/time.ini", "/mnt/rtmpv.ini", "/mnt/fn", "/mnt/autorun.sh", "/tmp/ha",
    "/mnt/rtmpx.ini", "/mnt/srt.ini",
};
// A subtitle that is on, in GB2312 ("中文"), so that the glyph tables are read.
const std::string kSubtitleOn = "1 60 40 \xD6\xD0\xCE\xC4";

enum class Spoil { Missing, Empty, Truncated, Garbage, Oversize, OutOfRange };

struct Case {
    const char *name;
    Spoil spoil;
    bool subtitleOn;
};

std::string outOfRange(const std::string &text)
{
    static const char *const kNumbers[] = {"2147483647", "-2147483648", "99999999999999999999", "-1", "0"};
    std::regex number("-?[0-9]+");
    std::string out;
    size_t k = 0;
    auto it = std::sregex_iterator(text.begin(), text.end(), number);
    size_t last = 0;
    for (; it != std::sregex_iterator(); ++it, ++k) {
        out += text.substr(last, static_cast<size_t>(it->position()) - last) + kNumbers[k % std::size(kNumbers)];
        last = static_cast<size_t>(it->position() + it->length());
    }
    return out + text.substr(last);
}

// Random bytes that do not begin with '1': a switch that reads on would change what the test watches
// (no UDP with the TS off or on HTTP, a wait for an RTSP reader).
std::string garbage(std::mt19937 &rng, size_t n)
{
    std::string g(n, '\0');
    for (char &c : g) {
        c = static_cast<char>(rng());
    }
    if (!g.empty() && g[0] == '1') {
        g[0] = '\xFF';
    }
    return g;
}

bool isGlyphTable(const std::string &file)
{
    return file == "/mnt/zk" || file == "/mnt/zk48";
}

void spoil(const TempRoot &root, const char *file, Spoil how, std::mt19937 &rng)
{
    std::string factory = root.read(file);
    std::string path = root.path(file);
    switch (how) {
    case Spoil::Missing: std::filesystem::remove(path); return;
    case Spoil::Empty: root.write(file, ""); return;
    case Spoil::Truncated: root.write(file, factory.substr(0, factory.size() / 2)); return;
    case Spoil::Garbage: root.write(file, garbage(rng, 1 + rng() % 300)); return;
    case Spoil::Oversize: root.write(file, factory + std::string(1 << 20, '9')); return;
    case Spoil::OutOfRange:
        // The glyph tables hold bitmaps, not numbers.
        if (!isGlyphTable(file)) {
            root.write(file, outOfRange(factory.empty() ? "7" : factory));
        }
        return;
    }
}

class BadConfig : public ::testing::TestWithParam<Case> {};

TEST_P(BadConfig, EncodeStreamsAndStopsCleanly)
{
    const Case &c = GetParam();
    TempRoot root(true);
    std::mt19937 rng(static_cast<unsigned>(c.spoil) * 7919u + (c.subtitleOn ? 1u : 0u));
    for (const char *file : kStoreFiles) {
        spoil(root, file, c.spoil, rng);
    }
    if (c.subtitleOn) {
        root.write("/mnt/zk.ini", kSubtitleOn);
        root.write("/mnt/zhiti.ini", c.spoil == Spoil::Garbage ? "1" : "0");
    }
    UdpCapture udp;
    ProgramRun program(root, ENCODE_BINARY,
                       {"-z", "127.0.0.1", "-c", udp.portText(), "-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u",
                        "44100", "-p", "128000", "-y", "3", "-f", "30", "-i", "30", "-b", "2000000"},
                       {{"ENCODE_VIDEO_SOURCE", "testsrc"}, {"ENCODE_AUDIO_SOURCE", "tone"},
                        {"ENCODE_PORT_OFFSET", std::to_string(20000 + static_cast<int>(c.spoil) * 100 +
                                                              (c.subtitleOn ? 50 : 0))}});
    ASSERT_TRUE(udp.waitFor(30, 20)) << program.out() << program.err();
    if (c.subtitleOn) {
        EXPECT_TRUE(program.waitForOutput(",zhi=", 5)) << "the subtitle was never read";
    }
    program.signal(SIGTERM);
    int status = program.wait(10);
    EXPECT_EQ(status, 0) << "128 + n: killed by signal n; -1: still running\n" << program.err();
}

INSTANTIATE_TEST_SUITE_P(EveryFileAtOnce, BadConfig,
                         ::testing::Values(Case{"Missing", Spoil::Missing, false},
                                           Case{"Empty", Spoil::Empty, false},
                                           Case{"Truncated", Spoil::Truncated, false},
                                           Case{"Garbage", Spoil::Garbage, false},
                                           Case{"Oversize", Spoil::Oversize, false},
                                           Case{"OutOfRange", Spoil::OutOfRange, false},
                                           Case{"MissingGlyphs", Spoil::Missing, true},
                                           Case{"EmptyGlyphs", Spoil::Empty, true},
                                           Case{"TruncatedGlyphs", Spoil::Truncated, true},
                                           Case{"GarbageGlyphs", Spoil::Garbage, true},
                                           Case{"OversizeGlyphs", Spoil::Oversize, true}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
