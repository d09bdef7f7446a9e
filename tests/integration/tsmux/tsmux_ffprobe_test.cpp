// The multiplexer's output read back by a real demuxer and decoder: an H.264 stream from libx264 and
// an AAC (or MP3) stream, made by the ffmpeg program at test time, cut into access units and audio
// frames here, multiplexed frame by frame as the writer and audio threads do, and handed to ffprobe
// and ffmpeg.
#include "encode/output/tsmux.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a command line printed on standard output and error together.
std::string run(const std::string &cmd, int *status = nullptr)
{
    return runCommand(cmd + " 2>&1", status);
}

bool haveTools()
{
    int a = -1;
    int b = -1;
    run("ffmpeg -version", &a);
    run("ffprobe -version", &b);
    return a == 0 && b == 0;
}

// Access units of an Annex B H.264 stream: a new one starts at an AUD, SEI, SPS or PPS, or at a slice
// with first_mb_in_slice 0, once the current unit has a picture's slice.
std::vector<Bytes> splitAccessUnits(const Bytes &es)
{
    std::vector<size_t> starts;  // offset of each NAL's start code
    std::vector<size_t> headers; // offset of each NAL header byte
    for (size_t i = 0; i + 3 < es.size(); ++i) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            starts.push_back(i > 0 && es[i - 1] == 0 ? i - 1 : i);
            headers.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<Bytes> units;
    size_t unitStart = starts.empty() ? 0 : starts[0];
    bool haveSlice = false;
    for (size_t k = 0; k < headers.size(); ++k) {
        const int type = es[headers[k]] & 0x1F;
        const bool slice = type == 1 || type == 5;
        const bool opensUnit = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18) ||
                               (slice && headers[k] + 1 < es.size() && (es[headers[k] + 1] & 0x80) != 0);
        if (haveSlice && opensUnit) {
            units.emplace_back(es.begin() + static_cast<long>(unitStart), es.begin() + static_cast<long>(starts[k]));
            unitStart = starts[k];
            haveSlice = false;
        }
        haveSlice = haveSlice || slice;
    }
    if (unitStart < es.size()) {
        units.emplace_back(es.begin() + static_cast<long>(unitStart), es.end());
    }
    return units;
}

std::vector<Bytes> splitAdts(const Bytes &es)
{
    std::vector<Bytes> frames;
    size_t i = 0;
    while (i + 7 <= es.size()) {
        if (es[i] != 0xFF || (es[i + 1] & 0xF6) != 0xF0) {
            ADD_FAILURE() << "ADTS sync lost at " << i;
            break;
        }
        const size_t len = (size_t(es[i + 3] & 0x03) << 11) | (size_t(es[i + 4]) << 3) | (es[i + 5] >> 5);
        if (len < 7 || i + len > es.size()) {
            ADD_FAILURE() << "bad ADTS length at " << i;
            break;
        }
        frames.emplace_back(es.begin() + static_cast<long>(i), es.begin() + static_cast<long>(i + len));
        i += len;
    }
    return frames;
}

// MPEG-1 layer III frames (the stream is written without ID3 tag or Xing frame).
std::vector<Bytes> splitMp3(const Bytes &es)
{
    static const int kbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int rates[4] = {44100, 48000, 32000, 0};
    std::vector<Bytes> frames;
    size_t i = 0;
    while (i + 4 <= es.size()) {
        if (es[i] != 0xFF || (es[i + 1] & 0xFE) != 0xFA) {
            ADD_FAILURE() << "MP3 sync lost at " << i;
            break;
        }
        const int bitrate = kbps[es[i + 2] >> 4];
        const int rate = rates[(es[i + 2] >> 2) & 3];
        if (bitrate == 0 || rate == 0) {
            ADD_FAILURE() << "unsupported MP3 header at " << i;
            break;
        }
        const size_t len = size_t(144 * bitrate * 1000 / rate + ((es[i + 2] >> 1) & 1));
        if (i + len > es.size()) {
            break;  // a cut last frame is not muxed
        }
        frames.emplace_back(es.begin() + static_cast<long>(i), es.begin() + static_cast<long>(i + len));
        i += len;
    }
    return frames;
}

// Just enough JSON to read ffprobe's answer.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    std::string text;  // string value, or the number's spelling
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json &operator[](const std::string &key) const
    {
        static const Json none;
        for (const auto &m : members) {
            if (m.first == key) {
                return m.second;
            }
        }
        return none;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &s) : s_(s) {}

    bool parse(Json &out)
    {
        if (!value(out)) {
            return false;
        }
        skip();
        return at_ == s_.size();
    }

private:
    void skip()
    {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t')) {
            ++at_;
        }
    }
    bool literal(const char *word)
    {
        const std::string w(word);
        if (s_.compare(at_, w.size(), w) != 0) {
            return false;
        }
        at_ += w.size();
        return true;
    }
    bool string(std::string &out)
    {
        if (at_ >= s_.size() || s_[at_] != '"') {
            return false;
        }
        ++at_;
        while (at_ < s_.size() && s_[at_] != '"') {
            if (s_[at_] == '\\' && at_ + 1 < s_.size()) {
                ++at_;
                const char c = s_[at_];
                if (c == 'u') {
                    at_ += 4;  // ffprobe escapes nothing we look at; keep a placeholder
                    out.push_back('?');
                } else {
                    out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c);
                }
            } else {
                out.push_back(s_[at_]);
            }
            ++at_;
        }
        if (at_ >= s_.size()) {
            return false;
        }
        ++at_;
        return true;
    }
    bool value(Json &out)
    {
        skip();
        if (at_ >= s_.size()) {
            return false;
        }
        const char c = s_[at_];
        if (c == '{') {
            out.kind = Json::Object;
            ++at_;
            skip();
            if (at_ < s_.size() && s_[at_] == '}') {
                ++at_;
                return true;
            }
            for (;;) {
                skip();
                std::string key;
                if (!string(key)) {
                    return false;
                }
                skip();
                if (at_ >= s_.size() || s_[at_] != ':') {
                    return false;
                }
                ++at_;
                Json v;
                if (!value(v)) {
                    return false;
                }
                out.members.emplace_back(key, std::move(v));
                skip();
                if (at_ < s_.size() && s_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < s_.size() && s_[at_] == '}') {
                    ++at_;
                    return true;
                }
                return false;
            }
        }
        if (c == '[') {
            out.kind = Json::Array;
            ++at_;
            skip();
            if (at_ < s_.size() && s_[at_] == ']') {
                ++at_;
                return true;
            }
            for (;;) {
                Json v;
                if (!value(v)) {
                    return false;
                }
                out.items.push_back(std::move(v));
                skip();
                if (at_ < s_.size() && s_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < s_.size() && s_[at_] == ']') {
                    ++at_;
                    return true;
                }
                return false;
            }
        }
        if (c == '"') {
            out.kind = Json::String;
            return string(out.text);
        }
        if (literal("true") || literal("false")) {
            out.kind = Json::Bool;
            return true;
        }
        if (literal("null")) {
            return true;
        }
        out.kind = Json::Number;
        const size_t begin = at_;
        while (at_ < s_.size() && std::string("+-0123456789.eE").find(s_[at_]) != std::string::npos) {
            ++at_;
        }
        out.text = s_.substr(begin, at_ - begin);
        return at_ > begin;
    }

    const std::string &s_;
    size_t at_ = 0;
};

// A frame as multiplexed (or as read back): its 90 kHz time and its length.
struct Sent {
    uint64_t pts;
    size_t size;
    bool operator==(const Sent &) const = default;
};

struct Frame {
    int64_t microsTotal;
    bool video;
    const Bytes *data;
};

class TsMuxDemuxTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!haveTools()) {
            GTEST_SKIP() << "ffmpeg and ffprobe are needed (scripts/install-deps.sh installs them)";
        }
    }

    std::string tmp(const std::string &name) const { return root.dir() + "/" + name; }

    // Makes 3 s of H.264 at 30 fps the way the encoder's x264 set-up does (no B pictures, Annex B).
    std::vector<Bytes> makeVideo()
    {
        int rc = -1;
        const std::string log = run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=640x360:rate=30 -t 3 "
                                    "-c:v libx264 -preset veryfast -tune zerolatency -bf 0 -pix_fmt yuv420p "
                                    "-bsf:v h264_mp4toannexb -f h264 '" +
                                        tmp("out.264") + "'",
                                    &rc);
        EXPECT_EQ(rc, 0) << log;
        return splitAccessUnits(readFile(tmp("out.264")));
    }

    // Writes the frames in time order through the multiplexer into FILE; returns false on a refusal.
    bool muxToFile(TsMux_Handle mux, std::vector<Frame> frames, const TsMux_Config &cfg, int32_t audioType,
                   const std::string &file)
    {
        std::stable_sort(frames.begin(), frames.end(),
                         [](const Frame &a, const Frame &b) { return a.microsTotal < b.microsTotal; });
        size_t largest = 0;
        for (const Frame &f : frames) {
            largest = std::max(largest, f.data->size());
        }
        Bytes out(static_cast<size_t>(TsMux_outputBound(static_cast<int>(largest))));
        std::ofstream ts(file, std::ios::binary);
        TsMux_Config config = cfg;
        TsMux_Params p{};
        p.size = TSMUX_PARAMS_SIZE;
        p.config = &config;
        for (const Frame &f : frames) {
            p.program = 0;
            p.data = f.data->data();
            p.dataLength = static_cast<int32_t>(f.data->size());
            p.streamType = f.video ? 0x1B : audioType;
            p.seconds = static_cast<uint32_t>(f.microsTotal / 1000000);
            p.microseconds = static_cast<uint32_t>(f.microsTotal % 1000000);
            p.output = out.data();
            p.flags = f.video ? TSMUX_FLAGS_VIDEO : TSMUX_FLAGS_AUDIO;
            const int n = TsMux_process(mux, &p);
            if (n <= 0) {
                return false;
            }
            ts.write(reinterpret_cast<const char *>(out.data()), n);
            const uint64_t t45 = uint32_t(p.microseconds * 45u / 1000u + p.seconds * 45000u);
            (f.video ? sentVideo : sentAudio).push_back({2 * t45, f.data->size()});
        }
        return static_cast<bool>(ts);
    }

    static std::vector<Frame> timed(const std::vector<Bytes> &units, bool video, int64_t base, double frameSeconds)
    {
        std::vector<Frame> v;
        for (size_t i = 0; i < units.size(); ++i) {
            const auto offset = static_cast<int64_t>(static_cast<double>(i) * frameSeconds * 1e6 + 0.5);
            v.push_back({base + offset, video, &units[i]});
        }
        return v;
    }

    // ffprobe's view of the file: the program and the frames decoded per stream PID.
    void expectProgram(const std::string &file, const std::string &audioCodec, size_t videoFrames,
                       size_t audioFrames)
    {
        int rc = -1;
        const std::string probe =
            run("ffprobe -v error -show_programs -show_streams -count_frames -of json '" + file + "'", &rc);
        ASSERT_EQ(rc, 0) << probe;
        Json doc;
        ASSERT_TRUE(JsonReader(probe).parse(doc)) << probe;
        const Json &programs = doc["programs"];
        ASSERT_EQ(programs.items.size(), 1u) << probe;
        const Json &program = programs.items[0];
        EXPECT_EQ(program["program_num"].text, "1");
        EXPECT_EQ(program["pmt_pid"].text, "10");
        EXPECT_EQ(program["pcr_pid"].text, "100");
        std::map<std::string, std::pair<std::string, std::string>> byId;  // id -> codec, frames
        std::map<std::string, std::string> indexOf;                        // stream index -> id
        for (const Json &s : program["streams"].items) {
            byId[s["id"].text] = {s["codec_name"].text, s["nb_read_frames"].text};
            indexOf[s["index"].text] = s["id"].text;
        }
        ASSERT_EQ(byId.size(), 2u) << probe;
        EXPECT_EQ(byId["0x64"].first, "h264");
        EXPECT_EQ(byId["0x64"].second, std::to_string(videoFrames));
        EXPECT_EQ(byId["0x66"].first, audioCodec);
        EXPECT_EQ(byId["0x66"].second, std::to_string(audioFrames));

        // Every frame comes back whole, in order, with the time it was given.
        std::map<std::string, std::vector<Sent>> got;
        const std::string packets =
            run("ffprobe -v error -show_entries packet=stream_index,pts,size -of csv=p=0 '" + file + "'", &rc);
        ASSERT_EQ(rc, 0) << packets;
        std::istringstream lines(packets);
        std::string line;
        while (std::getline(lines, line)) {
            unsigned long long pts = 0;
            size_t size = 0;
            int index = -1;
            if (std::sscanf(line.c_str(), "%d,%llu,%zu", &index, &pts, &size) == 3) {
                got[indexOf[std::to_string(index)]].push_back({pts, size});
            }
        }
        EXPECT_TRUE(got["0x64"] == sentVideo) << "video packets differ";
        EXPECT_TRUE(got["0x66"] == sentAudio) << "audio packets differ";

        // A full decode of both streams finds nothing to complain about.
        const std::string decode = run("ffmpeg -nostdin -v error -i '" + file + "' -f null -", &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(decode, "");
    }

    TempRoot root;
    std::vector<Sent> sentVideo;
    std::vector<Sent> sentAudio;
    std::unique_ptr<TsMux_Object, void (*)(TsMux_Object *)> mux{TsMux_create(), TsMux_delete};
};

TEST_F(TsMuxDemuxTest, H264AndAacAreReadBackFrameForFrame)
{
    const std::vector<Bytes> video = makeVideo();
    ASSERT_EQ(video.size(), 90u) << "3 s at 30 fps";
    int rc = -1;
    const std::string log = run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=1000:sample_rate=44100 -t 3 "
                                "-c:a aac -b:a 128k -f adts '" + tmp("out.aac") + "'",
                                &rc);
    ASSERT_EQ(rc, 0) << log;
    const std::vector<Bytes> audio = splitAdts(readFile(tmp("out.aac")));
    ASSERT_GT(audio.size(), 120u);

    TsMux_Config cfg = TsMux_encoderConfig(TsMux_Audio_AAC);
    TsMux_Params p{};
    p.size = TSMUX_PARAMS_SIZE;
    p.config = &cfg;
    ASSERT_EQ(TsMux_init(mux.get(), &p), Media_EOK);

    const int64_t base = 5000LL * 1000000;  // the clock of a box up for a while
    std::vector<Frame> frames = timed(video, true, base, 1.0 / 30);
    const std::vector<Frame> sound = timed(audio, false, base, 1024.0 / 44100);
    frames.insert(frames.end(), sound.begin(), sound.end());
    ASSERT_TRUE(muxToFile(mux.get(), frames, cfg, TSMUX_STREAM_AAC_ADTS, tmp("av.ts")));
    expectProgram(tmp("av.ts"), "aac", video.size(), audio.size());
}

// The MP3 audio path registers stream type 3 and initialises the multiplexer a second time.
TEST_F(TsMuxDemuxTest, H264AndMp3AfterReinitialising)
{
    const std::vector<Bytes> video = makeVideo();
    ASSERT_EQ(video.size(), 90u);
    int rc = -1;
    const std::string log = run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 "
                                "-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3 '" +
                                    tmp("out.mp3") + "'",
                                &rc);
    ASSERT_EQ(rc, 0) << log;
    const std::vector<Bytes> audio = splitMp3(readFile(tmp("out.mp3")));
    ASSERT_GT(audio.size(), 100u);

    // As the encoder does: AAC first, then the MP3 configuration and a second initialisation.
    TsMux_Config cfg = TsMux_encoderConfig(TsMux_Audio_AAC);
    TsMux_Params p{};
    p.size = TSMUX_PARAMS_SIZE;
    p.config = &cfg;
    ASSERT_EQ(TsMux_init(mux.get(), &p), Media_EOK);
    cfg = TsMux_encoderConfig(TsMux_Audio_MP3);
    ASSERT_EQ(TsMux_init(mux.get(), &p), Media_EOK);

    std::vector<Frame> frames = timed(video, true, 0, 1.0 / 30);
    const std::vector<Frame> sound = timed(audio, false, 0, 1152.0 / 44100);
    frames.insert(frames.end(), sound.begin(), sound.end());
    ASSERT_TRUE(muxToFile(mux.get(), frames, cfg, TSMUX_STREAM_MPEG_AUDIO, tmp("mp3.ts")));
    expectProgram(tmp("mp3.ts"), "mp3", video.size(), audio.size());
}

} // namespace
