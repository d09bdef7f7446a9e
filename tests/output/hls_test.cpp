// The HLS variant's segments and playlists, from a transport stream the encoder's multiplexer makes
// of units that carry a real SPS, into a temporary directory; and the SPS reader that gives the
// master playlist its RESOLUTION, against streams libx264 made through ffmpeg.
#include "encode/media/annexb.h"
#include "encode/media/h264_sps.h"
#include "encode/output/hls_variant.h"
#include "encode/output/ts_scan.h"
#include "encode/output/tsmux.h"
#include "tests/output/ts_feed_support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;

// The first SPS and PPS of a stream ffmpeg made with `args`.
Bytes firstNal(const Bytes &stream, int type)
{
    int next = 0;
    for (int at = 0; at < static_cast<int>(stream.size()); at = next) {
        int code = AnnexB_startCodeAt(stream.data(), static_cast<int>(stream.size()), at);
        if (code == 0) {
            return {};
        }
        AnnexB_Nal nal = AnnexB_nalAt(stream.data(), static_cast<int>(stream.size()), at, &next);
        if (AnnexB_type(nal) == type) {
            return Bytes(nal.p, nal.p + nal.len);
        }
    }
    return {};
}

Bytes stream(const std::string &name, const std::string &args)
{
    std::string path = madeOnce(name + ".h264", "ffmpeg -nostdin -v error -y " + args + " -frames:v 1 -f h264 {out}");
    return path.empty() ? Bytes{} : readFileBytes(path);
}

TEST(H264SpsTest, SizeAndProfileOfWhatLibx264Made)
{
    struct Case {
        const char *name;
        const char *args;
        int width, height, profile;
    } cases[] = {
        {"baseline-320", "-f lavfi -i testsrc=size=320x240 -c:v libx264 -profile:v baseline -pix_fmt yuv420p", 320, 240, 66},
        // 1080 is 68 macroblock rows cropped by 8 lines.
        {"high-1080", "-f lavfi -i testsrc=size=1920x1080 -c:v libx264 -profile:v high -pix_fmt yuv420p", 1920, 1080,
         100},
        {"main-1366", "-f lavfi -i testsrc=size=1366x768 -c:v libx264 -profile:v main -pix_fmt yuv420p", 1366, 768, 77},
        // Field macroblocks: the height counts map units of two rows, the crop is in 4-line steps.
        {"interlaced-576", "-f lavfi -i testsrc=size=720x572 -c:v libx264 -pix_fmt yuv420p -flags +ildct", 720, 572, 100},
        // 4:4:4 carries the chroma format (3) and crops in single pixels.
        {"high444-odd", "-f lavfi -i testsrc=size=351x287 -c:v libx264 -pix_fmt yuv444p", 351, 287, 244},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes sps = firstNal(stream(c.name, c.args), AnnexB_NAL_SPS);
        ASSERT_FALSE(sps.empty());
        H264Sps s{};
        ASSERT_TRUE(H264Sps_parse(sps.data(), static_cast<int>(sps.size()), s));
        EXPECT_EQ(s.width, c.width);
        EXPECT_EQ(s.height, c.height);
        EXPECT_EQ(s.profile, c.profile);
        // Cut short, it is refused rather than read past its end.
        EXPECT_FALSE(H264Sps_parse(sps.data(), 6, s));
    }
    const uint8_t pps[] = {0x68, 0xce, 0x38, 0x80};
    H264Sps s{};
    EXPECT_FALSE(H264Sps_parse(pps, sizeof pps, s));
}

// --- The variant ---

struct Segment {
    std::string name;
    double duration;
    bool discontinuity;
};

struct Playlist {
    long long mediaSeq = -1;
    long long discontinuitySeq = 0;
    int target = 0;
    bool ended = false;
    std::vector<Segment> segments;
};

Playlist readPlaylist(const std::string &path)
{
    std::ifstream in(path);
    Playlist p;
    std::string line;
    bool gap = false;
    double duration = -1;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex("#EXT-X-MEDIA-SEQUENCE:(\\d+)"))) {
            p.mediaSeq = std::stoll(m[1]);
        } else if (std::regex_match(line, m, std::regex("#EXT-X-DISCONTINUITY-SEQUENCE:(\\d+)"))) {
            p.discontinuitySeq = std::stoll(m[1]);
        } else if (std::regex_match(line, m, std::regex("#EXT-X-TARGETDURATION:(\\d+)"))) {
            p.target = std::stoi(m[1]);
        } else if (line == "#EXT-X-DISCONTINUITY") {
            gap = true;
        } else if (line == "#EXT-X-ENDLIST") {
            p.ended = true;
        } else if (std::regex_match(line, m, std::regex("#EXTINF:([0-9.]+),"))) {
            duration = std::stod(m[1]);
        } else if (!line.empty() && line[0] != '#') {
            p.segments.push_back({line, duration, gap});
            gap = false;
        }
    }
    return p;
}

// Units as the encoder hands them out: key units begin with the SPS and PPS of a real stream.
class Feed {
public:
    Feed(int fps, int keyEvery) : fps_(fps), keyEvery_(keyEvery)
    {
        Bytes h264 = stream("baseline-320", "-f lavfi -i testsrc=size=320x240 -c:v libx264 -profile:v baseline -pix_fmt yuv420p");
        sps_ = firstNal(h264, AnnexB_NAL_SPS);
        pps_ = firstNal(h264, AnnexB_NAL_PPS);
        config_ = TsMux_encoderConfig(TsMux_Audio_AAC);
        params_.size = TSMUX_PARAMS_SIZE;
        params_.config = &config_;
        mux_ = TsMux_create();
        TsMux_init(mux_, &params_);
        out_.resize(static_cast<size_t>(TsMux_outputBound(1 << 16)));
    }
    ~Feed() { TsMux_delete(mux_); }

    // Frame n's packets, with the audio frames that fall before the next frame after them.
    std::vector<Bytes> frame(int n)
    {
        Bytes unit = {0, 0, 0, 1};
        if (n % keyEvery_ == 0) {
            unit.insert(unit.end(), sps_.begin(), sps_.end());
            unit.insert(unit.end(), {0, 0, 0, 1});
            unit.insert(unit.end(), pps_.begin(), pps_.end());
            unit.insert(unit.end(), {0, 0, 0, 1, 0x65});
            unit.resize(unit.size() + 3000, 0x5a);
        } else {
            unit.push_back(0x41);
            unit.resize(unit.size() + 700, static_cast<uint8_t>(n));
        }
        std::vector<Bytes> out{mux(unit, TSMUX_STREAM_H264, TSMUX_FLAGS_VIDEO, n * 1000000LL / fps_)};
        for (; audioUs_ < (n + 1) * 1000000LL / fps_; audioUs_ += 21333) {
            Bytes adts = {0xFF, 0xF1, 0x50, 0x80, 0x19, 0x1F, 0xFC};
            adts.resize(200, static_cast<uint8_t>(audioUs_));
            out.push_back(mux(adts, TSMUX_STREAM_AAC_ADTS, TSMUX_FLAGS_AUDIO, audioUs_));
        }
        return out;
    }

private:
    Bytes mux(const Bytes &unit, int32_t type, int32_t flags, int64_t us)
    {
        int64_t t = kStartUs + us;
        params_.data = unit.data();
        params_.dataLength = static_cast<int32_t>(unit.size());
        params_.streamType = type;
        params_.seconds = static_cast<uint32_t>(t / 1000000);
        params_.microseconds = static_cast<uint32_t>(t % 1000000);
        params_.output = out_.data();
        params_.flags = flags;
        int n = TsMux_process(mux_, &params_);
        return Bytes(out_.begin(), out_.begin() + std::max(n, 0));
    }

    static constexpr int64_t kStartUs = 1765000000LL * 1000000; // a time of day, so that PTS wrap as they do
    int fps_;
    int keyEvery_;
    Bytes sps_, pps_;
    TsMux_Config config_{};
    TsMux_Params params_{};
    TsMux_Handle mux_ = nullptr;
    Bytes out_;
    int64_t audioUs_ = 0;
};

class HlsVariantTest : public testing::Test {
protected:
    void SetUp() override { dir_ = TempDir(); }
    void TearDown() override { fs::remove_all(dir_); }
    static std::string TempDir()
    {
        char tmpl[] = "/tmp/hls-test-XXXXXX";
        return mkdtemp(tmpl);
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(dir_)) {
            out.push_back(e.path().filename().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string dir_;
};

TEST_F(HlsVariantTest, SegmentsBeginAtKeyFramesLastTheirTimeAndLoseNothing)
{
    struct Case {
        const char *name;
        int fps, keyEvery, targetS, length, frames;
        double duration; // of every segment
        bool saysLong;
    } cases[] = {
        {"a key frame a second", 30, 30, 1, 10, 150, 1.0, false},
        {"key frames twice a second, cut at the first past the target", 25, 12, 1, 10, 150, 1.44, true},
        {"a window shorter than the run", 30, 30, 1, 3, 270, 1.0, false},
        {"key frames rarer than the target", 30, 60, 1, 10, 250, 2.0, true},
        {"a target of three seconds", 30, 30, 3, 10, 400, 3.0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        StdoutTap tap;
        HlsVariant_Attrs attrs{"main", dir_, c.targetS, c.length, 100, nullptr, nullptr};
        HlsVariant_Handle v = HlsVariant_create(&attrs);
        ASSERT_NE(v, nullptr);
        Feed feed(c.fps, c.keyEvery);
        Bytes all; // what was fed from the first key frame on
        for (int n = 0; n < c.frames; n++) {
            for (const Bytes &u : feed.frame(n)) {
                HlsVariant_ts(v, u.data(), static_cast<int>(u.size()));
                all.insert(all.end(), u.begin(), u.end());
            }
        }
        Playlist p = readPlaylist(dir_ + "/main.m3u8");
        int made = static_cast<int>(HlsVariant_stats(v).segments);
        ASSERT_GE(made, 3);
        EXPECT_EQ(static_cast<int>(p.segments.size()), std::min(made, c.length));
        EXPECT_EQ(p.mediaSeq, 100 + made - static_cast<int>(p.segments.size()));
        EXPECT_GE(p.target, static_cast<int>(c.duration + 0.5));
        for (size_t i = 0; i < p.segments.size(); i++) {
            EXPECT_EQ(p.segments[i].name, "main_" + std::to_string(p.mediaSeq + static_cast<long long>(i)) + ".ts");
            EXPECT_NEAR(p.segments[i].duration, c.duration, 0.001);
            EXPECT_FALSE(p.segments[i].discontinuity);
        }
        // The window's segments and the two behind it, whole files only.
        std::vector<std::string> expect{"main.m3u8"};
        for (int s = std::max(0, made - c.length - 2); s < made; s++) {
            expect.push_back("main_" + std::to_string(100 + s) + ".ts");
        }
        std::sort(expect.begin(), expect.end());
        EXPECT_EQ(files(), expect);
        // Every segment begins with the PAT and a key frame, and when none has left, the segments laid
        // end to end are the stream itself (continuity counters and all), up to the segment being made.
        Bytes joined;
        for (const Segment &s : p.segments) {
            Bytes b = readFileBytes(dir_ + "/" + s.name);
            ASSERT_GE(b.size(), 3 * kTsPacket);
            EXPECT_EQ(TsScan_pid(b.data()), 0);
            EXPECT_TRUE(TsScan_beginsKeyFrame(b.data() + 2 * kTsPacket));
            joined.insert(joined.end(), b.begin(), b.end());
        }
        if (made <= c.length) {
            ASSERT_LE(joined.size(), all.size());
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), all.begin()));
        }
        EXPECT_EQ(tap.has("key frames come less often"), c.saysLong);

        HlsVariant_finish(v);
        HlsVariant_destroy(v);
        EXPECT_EQ(files(), std::vector<std::string>{"main.m3u8"});
        Playlist ended = readPlaylist(dir_ + "/main.m3u8");
        EXPECT_TRUE(ended.ended);
        EXPECT_TRUE(ended.segments.empty());
    }
}

// A full tmpfs, as a file size limit: the segments that do not fit are left out, the playlist keeps
// its sequence without a hole, the segment after the outage is marked, one line each way.
TEST_F(HlsVariantTest, SegmentsThatCannotBeWrittenAreLeftOutAndTheGapMarked)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    StdoutTap tap;
    HlsVariant_Attrs attrs{"second", dir_, 1, 3, 7, nullptr, nullptr};
    HlsVariant_Handle v = HlsVariant_create(&attrs);
    ASSERT_NE(v, nullptr);
    Feed feed(30, 30);
    int n = 0;
    auto run = [&](int frames) {
        for (int end = n + frames; n < end; n++) {
            for (const Bytes &u : feed.frame(n)) {
                HlsVariant_ts(v, u.data(), static_cast<int>(u.size()));
            }
        }
    };
    run(95); // three segments written
    Playlist before = readPlaylist(dir_ + "/second.m3u8");
    rlimit small = saved;
    small.rlim_cur = 4096; // a playlist fits, a segment does not
    setrlimit(RLIMIT_FSIZE, &small);
    run(60);
    EXPECT_FALSE(HlsVariant_stats(v).writing);
    EXPECT_EQ(HlsVariant_stats(v).failed, 2u);
    EXPECT_NE(HlsVariant_error(v).find("second"), std::string::npos);
    Playlist during = readPlaylist(dir_ + "/second.m3u8");
    EXPECT_EQ(during.segments.size(), before.segments.size());
    EXPECT_EQ(during.mediaSeq, before.mediaSeq);
    setrlimit(RLIMIT_FSIZE, &saved);
    run(60);
    EXPECT_TRUE(HlsVariant_stats(v).writing);
    EXPECT_EQ(tap.count("segments are not written"), 1);
    EXPECT_EQ(tap.count("segments are written again"), 1);
    Playlist after = readPlaylist(dir_ + "/second.m3u8");
    ASSERT_EQ(after.segments.size(), 3u);
    // Two new segments pushed two old ones out: the sequence moved by two, the first new one is marked
    // and its name skips the two numbers that were never written.
    EXPECT_EQ(after.mediaSeq, before.mediaSeq + 2);
    EXPECT_TRUE(after.segments[1].discontinuity);
    EXPECT_EQ(after.segments[1].name, "second_12.ts");
    run(60); // the mark goes off the top: counted in the discontinuity sequence
    Playlist later = readPlaylist(dir_ + "/second.m3u8");
    EXPECT_EQ(later.discontinuitySeq, 1);
    for (const Segment &s : later.segments) {
        EXPECT_FALSE(s.discontinuity);
    }
    HlsVariant_finish(v);
    HlsVariant_destroy(v);
    std::signal(SIGXFSZ, SIG_DFL);
}

} // namespace
