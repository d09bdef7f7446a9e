// The encoder's main job end to end: the virtual capture device, both encoders, the writer and the
// UDP output, read back by a real player (ffprobe and ffmpeg) and by our own reading of the H.264
// stream inside the transport stream.
#include "tests/support/h264.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kTsPacket = 188;
constexpr int kDatagram = 1316;
constexpr int kVideoPid = 0x64;

// The elementary stream of one PID, PES by PES (each PES one access unit).
std::vector<Bytes> pesPayloads(const Bytes &ts, int wantPid)
{
    std::vector<Bytes> units;
    for (size_t i = 0; i + kTsPacket <= ts.size(); i += kTsPacket) {
        const uint8_t *p = &ts[i];
        int pid = ((p[1] & 0x1F) << 8) | p[2];
        if (p[0] != 0x47 || pid != wantPid) {
            continue;
        }
        bool start = (p[1] & 0x40) != 0;
        size_t off = 4;
        if ((p[3] & 0x20) != 0) {
            off += 1 + p[4];
        }
        if (off >= kTsPacket) {
            continue;
        }
        if (start) {
            units.emplace_back();
            size_t header = 9 + p[off + 8];
            units.back().insert(units.back().end(), p + off + header, p + kTsPacket);
        } else if (!units.empty()) {
            units.back().insert(units.back().end(), p + off, p + kTsPacket);
        }
    }
    return units;
}

// One letter per access unit: 'D' IDR, 'I', 'P'.
std::string unitTypes(const std::vector<Bytes> &units)
{
    std::string s;
    for (const Bytes &u : units) {
        std::string t = h264PictureTypes(h264Nals(u));
        s += t.empty() ? '?' : t[0];
    }
    return s;
}

class VideoStreamTest : public ::testing::Test {
protected:
    std::string tmp(const std::string &name) const { return root.path("/tmp/" + name); }

    // Starts `encode` on the virtual device with its TS going to this test's UDP port.
    void start(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {})
    {
        std::vector<std::string> all = {"-v", "/tmp/main.264", "-z", "127.0.0.1", "-c", udp.portText()};
        all.insert(all.end(), args.begin(), args.end());
        env.emplace_back("ENCODE_VIDEO_SOURCE", "testsrc");
        program = std::make_unique<ProgramRun>(root, ENCODE_BINARY, all, env);
    }

    // SIGTERM, and how long the program took to end (exit status in `status`).
    double stop(int &status)
    {
        auto sent = Clock::now();
        program->signal(SIGTERM);
        status = program->wait(10);
        return std::chrono::duration<double>(Clock::now() - sent).count();
    }

    Bytes stream()
    {
        udp.save(tmp("out.ts"));
        std::ifstream in(tmp("out.ts"), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The video stream's entries as ffprobe reads them (it lists the stream once under its program and
    // once on its own: the first is kept).
    std::string probe(const std::string &entries)
    {
        std::string out = runCommand("ffprobe -v error -select_streams v -show_entries " + entries +
                                     " -of default=nw=1 '" + tmp("out.ts") + "' 2>&1");
        size_t half = out.size() / 2;
        return out.size() % 2 == 0 && out.compare(0, half, out, half, half) == 0 ? out.substr(0, half) : out;
    }

    TempRoot root{true};
    UdpCapture udp;
    std::unique_ptr<ProgramRun> program;
};

// 720P at 30 frames a second, 4 Mbit/s, an intra picture every 30 and an IDR every 150 (idr.ini):
// a player finds the stream, decodes it without a complaint, and the key pictures fall where asked.
TEST_F(VideoStreamTest, PlayerDecodesTheStreamWithTheAskedKeyFrames)
{
    root.write("/mnt/idr.ini", "150");
    start({"-y", "3", "-f", "30", "-b", "4000000", "-i", "30"});
    ASSERT_TRUE(udp.waitFor(1, 20)) << program->out() << program->err();
    std::this_thread::sleep_for(std::chrono::milliseconds(7000));
    int status = -1;
    double took = stop(status);
    EXPECT_EQ(status, 0) << program->err();
    // The control loop looks at quit every 600 ms and every stage leaves within a frame; the bound
    // leaves room for a loaded or instrumented build (the time is printed).
    EXPECT_LT(took, 3.0);
    std::printf("stopped %.3f s after SIGTERM\n", took);

    Bytes ts = stream();
    EXPECT_EQ(probe("stream=codec_name,profile,width,height"),
              "codec_name=h264\nprofile=High\nwidth=1280\nheight=720\n");
    // The time stamps are capture times, so a loaded host makes them uneven; ffprobe's exact guess
    // (r_frame_rate) then varies, its average does not.
    std::string average = probe("stream=avg_frame_rate");
    int num = 0;
    int den = 0;
    ASSERT_EQ(std::sscanf(average.c_str(), "avg_frame_rate=%d/%d", &num, &den), 2) << average;
    ASSERT_GT(den, 0);
    EXPECT_NEAR(static_cast<double>(num) / den, 30.0, 1.5) << average;
    EXPECT_NE(runCommand("ffprobe -v error -show_entries stream=id -of csv=p=0 '" + tmp("out.ts") + "'").find("0x64"),
              std::string::npos);
    int rc = -1;
    EXPECT_EQ(runCommand("ffmpeg -v error -i '" + tmp("out.ts") + "' -enc_time_base -1 -f null - 2>&1", &rc), "");
    EXPECT_EQ(rc, 0);

    // 1316-byte datagrams; a shorter one only as the last of a frame (the next starts a new unit or
    // the tables).
    std::vector<UdpCapture::Datagram> grams = udp.datagrams();
    for (size_t i = 0; i < grams.size(); i++) {
        const Bytes &g = grams[i].bytes;
        ASSERT_EQ(g.size() % kTsPacket, 0u);
        ASSERT_LE(g.size(), static_cast<size_t>(kDatagram));
        if (g.size() < static_cast<size_t>(kDatagram) && i + 1 < grams.size()) {
            const Bytes &next = grams[i + 1].bytes;
            int pid = ((next[1] & 0x1F) << 8) | next[2];
            EXPECT_TRUE(pid == 0 || (pid == kVideoPid && (next[1] & 0x40) != 0)) << "datagram " << i;
        }
    }

    // I and IDR exactly where the intra interval and idr.ini put them: IDR first, then every 30th
    // picture an intra one, every fifth of those (counting from the first point) an IDR.
    std::string types = unitTypes(pesPayloads(ts, kVideoPid));
    ASSERT_GT(types.size(), 190u) << types;
    for (size_t j = 0; j < types.size(); j++) {
        char want = 'P';
        if (j == 0) {
            want = 'D';
        } else if (j % 30 == 0) {
            want = (j / 30 - 1) % 5 == 0 ? 'D' : 'I';
        }
        ASSERT_EQ(types[j], want) << "picture " << j << " of " << types;
    }
}

// The input goes away for a second: bars meanwhile, the picture after, one "no signal to signal ok"
// and an IDR at the first key-frame point after the return.
TEST_F(VideoStreamTest, SignalGapGivesBarsThenThePictureAndAnIdr)
{
    root.write("/mnt/idr.ini", "300"); // otherwise only every tenth key picture would be an IDR
    start({"-y", "3", "-f", "30", "-i", "15"}, {{"ENCODE_TESTSRC_GAP", "2:1.5"}});
    ASSERT_TRUE(program->waitForOutput("no signal to signal ok\n", 20)) << program->out() << program->err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int status = -1;
    stop(status);
    EXPECT_EQ(status, 0);
    Bytes ts = stream();

    // Decoded luma as coded (the pictures' own 4:2:0, no range conversion), one row in the middle of
    // each picture: bars are seven steps of 31 from black.
    int rc = -1;
    runCommand("ffmpeg -v error -y -i '" + tmp("out.ts") + "' -vsync passthrough -f rawvideo -pix_fmt yuv420p '" + tmp("out.yuv") + "'",
               &rc);
    ASSERT_EQ(rc, 0);
    std::ifstream in(tmp("out.yuv"), std::ios::binary);
    Bytes y((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t frame = 1280 * 720 * 3 / 2;
    std::string seen;
    for (size_t f = 0; f + frame <= y.size(); f += frame) { // the luma plane comes first
        const uint8_t *row = &y[f + 360 * 1280];
        bool bars = true;
        for (int j = 0; j < 8; j++) {
            int want = j < 7 ? j * 31 : 0;
            bars = bars && std::abs(row[j * 160 + 80] - want) < 8;
        }
        seen += bars ? 'B' : 'p';
    }
    // Pictures first, then a run of bars through the gap, then pictures again.
    size_t firstBars = seen.find('B');
    ASSERT_NE(firstBars, std::string::npos) << seen;
    size_t back = seen.find('p', firstBars);
    ASSERT_NE(back, std::string::npos) << seen;
    EXPECT_GT(firstBars, 30u) << seen;
    EXPECT_GT(back - firstBars, 20u) << seen;
    EXPECT_EQ(seen.find('B', back + 2), std::string::npos) << seen;

    // With idr.ini 300 and -i 15 the regular IDRs are pictures 0, 15 and 315: the one IDR between is
    // the reset at the first key point once the input is back (the first picture after the gap still
    // carries the bars the capture thread paints into it).
    std::string types = unitTypes(pesPayloads(ts, kVideoPid));
    size_t reset = types.find('D', 30);
    ASSERT_NE(reset, std::string::npos) << types;
    EXPECT_EQ(reset % 15, 0u) << types;
    EXPECT_GE(reset + 2, back) << types << "\n" << seen;
    EXPECT_LE(reset, back + 16) << types << "\n" << seen;
    EXPECT_EQ(types.find('D', reset + 1), std::string::npos) << types;
    EXPECT_EQ(program->out().find("no signal to signal ok\n"), program->out().rfind("no signal to signal ok\n"));
}

// A stop inside a gap of the input: every thread ends (the capture side's two readers of the video
// thread's Fifo both see the flush) and the program exits 0.
TEST_F(VideoStreamTest, StopInsideASignalGapEndsCleanly)
{
    start({"-y", "3", "-f", "30", "-i", "30"}, {{"ENCODE_TESTSRC_GAP", "2:30"}});
    ASSERT_TRUE(udp.waitFor(1, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(3000)); // one second into the gap
    int status = -1;
    double took = stop(status);
    EXPECT_EQ(status, 0) << program->err();
    EXPECT_LT(took, 3.0);
    std::printf("stopped %.3f s after SIGTERM inside the gap\n", took);
}

// The second stream 640x480 in Main profile, carried by the TS instead of the main one.
TEST_F(VideoStreamTest, SecondStreamGoesToTheTsWhenAsked)
{
    root.write("/mnt/kavex_rs.ini", "1 640 480 800000 30 30 30 10 1 0 31");
    root.write("/mnt/kavex_rsc.ini", "1 0");
    start({"-y", "3", "-f", "30", "-i", "30"});
    ASSERT_TRUE(udp.waitFor(1, 20)) << program->err();
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    int status = -1;
    stop(status);
    EXPECT_EQ(status, 0) << program->err();
    stream();
    EXPECT_EQ(probe("stream=profile,width,height"), "profile=Main\nwidth=640\nheight=480\n");
    int rc = -1;
    EXPECT_EQ(runCommand("ffmpeg -v error -i '" + tmp("out.ts") + "' -enc_time_base -1 -f null - 2>&1", &rc), "");
}

// A second stream at 0 bit/s and 0 frames a second (what the web page stored for unreadable numbers)
// is turned off with its lines; the main stream runs and the TS carries it instead.
TEST_F(VideoStreamTest, UnusableSecondStreamRatesCostOnlyTheSecondStream)
{
    root.write("/mnt/kavex_rs.ini", "1 640 480 0 0 30 30 10 1 0 31");
    root.write("/mnt/kavex_rsc.ini", "1 0");
    start({"-y", "3", "-f", "30", "-i", "30"});
    ASSERT_TRUE(udp.waitFor(200, 20)) << program->out() << program->err();
    int status = -1;
    stop(status);
    EXPECT_EQ(status, 0) << program->err();
    EXPECT_NE(program->err().find("Warning: second stream turned off: bit rate 0 is not 1 to 2147483647\n"
                                  "Warning: second stream turned off: frame rate 0 is not 1 to 2147483\n"),
              std::string::npos)
        << program->err();
    stream();
    EXPECT_EQ(probe("stream=width,height"), "width=1280\nheight=720\n");
}

// Decoded luma planes of the run, one string of bytes per picture.
std::vector<Bytes> decodedLuma(const std::string &ts, const std::string &yuv, int width, int height)
{
    int rc = -1;
    runCommand("ffmpeg -v error -y -i '" + ts + "' -vsync passthrough -f rawvideo -pix_fmt yuv420p '" + yuv + "'", &rc);
    std::ifstream in(yuv, std::ios::binary);
    Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t frame = static_cast<size_t>(width) * height * 3 / 2;
    std::vector<Bytes> lumas;
    for (size_t f = 0; rc == 0 && f + frame <= all.size(); f += frame) {
        lumas.emplace_back(all.begin() + static_cast<long>(f), all.begin() + static_cast<long>(f) + width * height);
    }
    return lumas;
}

// A subtitle (one, two: a bar and two bars) in dark luma on the light first colour bar and a mask over
// the time-of-day text; then the subtitle switched off while the encoder runs.
TEST_F(VideoStreamTest, SubtitleAndMaskAreBurntIn)
{
    root.write("/mnt/zhiti.ini", "1");                              // the 32x32 glyphs
    root.write("/mnt/zk.ini", "1 40 400 \xD2\xBB\xB6\xFE");          // "一二" at (40, 400)
    root.write("/mnt/zkcolor.ini", "20 128");
    root.write("/mnt/m.ini", "1 0 0 256 64 0");
    start({"-y", "3", "-f", "30", "-i", "30", "-b", "8000000"});
    ASSERT_TRUE(udp.waitFor(1, 20)) << program->err();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    root.write("/mnt/zk.ini", "0");
    size_t switched = udp.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    int status = -1;
    stop(status);
    EXPECT_EQ(status, 0);
    stream();
    std::vector<Bytes> luma = decodedLuma(tmp("out.ts"), tmp("out.yuv"), 1280, 720);
    ASSERT_GT(luma.size(), 120u);
    (void)switched;

    // The glyph of 一 is one bar across the middle rows of its 32x32 cell: dark there, the bar's light
    // grey above and below it. 二 has two bars and nothing in its middle.
    auto at = [](const Bytes &y, int x, int row) { return static_cast<int>(y[static_cast<size_t>(row) * 1280 + x]); };
    auto darkRows = [&](const Bytes &y, int x0) {
        std::string rows;
        for (int r = 0; r < 32; r++) {
            int dark = 0;
            for (int x = x0 + 6; x < x0 + 26; x++) {
                dark += at(y, x, 400 + r) < 80;
            }
            rows += dark >= 15 ? '#' : '.';
        }
        return rows;
    };
    const Bytes &early = luma[30];
    std::string one = darkRows(early, 40);
    std::string two = darkRows(early, 72);
    EXPECT_NE(one.find('#'), std::string::npos) << one;
    EXPECT_EQ(one.front(), '.') << one;
    EXPECT_EQ(one.back(), '.') << one;
    size_t bars = 0;
    for (size_t i = 0; i < two.size(); i++) {
        bars += two[i] == '#' && (i == 0 || two[i - 1] != '#');
    }
    EXPECT_EQ(bars, 2u) << two;

    // The mask: every 16-pixel run of its rows is flat (the coded picture keeps it within a few
    // levels), while the picture there had detail (the time of day and the frame counter).
    int flatRuns = 0;
    int runs = 0;
    for (int r = 4; r < 60; r += 4) {
        for (int x = 0; x + 16 <= 256; x += 16) {
            int lo = 255;
            int hi = 0;
            for (int i = 2; i < 14; i++) {
                lo = std::min(lo, at(early, x + i, r));
                hi = std::max(hi, at(early, x + i, r));
            }
            flatRuns += hi - lo <= 24;
            runs++;
        }
    }
    EXPECT_GE(flatRuns * 10, runs * 9) << flatRuns << " of " << runs;

    // Switched off: the last second has no subtitle (the file is polled every 50 frames while shown).
    const Bytes &late = luma[luma.size() - 5];
    EXPECT_EQ(darkRows(late, 40).find('#'), std::string::npos) << darkRows(late, 40);
}

} // namespace
