// The RTMP output's FLV bodies, read back by ffprobe and ffmpeg from an FLV file this test frames
// around them: real H.264, AAC and MP3 made by ffmpeg go in, and what the readers report and copy out
// must be what went in, byte for byte. Then every refusal, one row each.
#include "encode/output/flv.h"
#include "tests/support/flv.h"
#include "tests/support/made_once.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using flv::Bytes;
using Builder = std::function<int(uint8_t *, int)>;

Bytes part(const Bytes &b, size_t from, size_t to)
{
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

Bytes bytesOf(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// The NAL units of an Annex B stream, start codes and the zeros before them left out.
std::vector<Bytes> nalUnits(const Bytes &s)
{
    std::vector<Bytes> nals(1);
    for (uint8_t b : s) {
        Bytes &n = nals.back();
        n.push_back(b);
        if (b == 1 && n.size() >= 3 && n[n.size() - 2] == 0 && n[n.size() - 3] == 0) {
            n.resize(n.size() - 3);
            nals.emplace_back();
        }
    }
    for (Bytes &n : nals) {
        while (!n.empty() && n.back() == 0) {
            n.pop_back(); // a NAL unit ends in a set bit
        }
    }
    nals.erase(nals.begin()); // before the first start code
    return nals;
}

// NAL units as the encoder hands them out: a 4-byte start code before each.
Bytes annexB(const std::vector<Bytes> &nals)
{
    Bytes u;
    for (const Bytes &n : nals) {
        u.insert(u.end(), {0, 0, 0, 1});
        u.insert(u.end(), n.begin(), n.end());
    }
    return u;
}

// One access unit per picture: a picture begins at an SPS or at a slice with first_mb_in_slice 0.
std::vector<Bytes> pictures(const std::vector<Bytes> &nals)
{
    std::vector<Bytes> units;
    bool sliced = true;
    for (const Bytes &n : nals) {
        int type = n[0] & 0x1F;
        bool slice = type == AnnexB_NAL_SLICE || type == AnnexB_NAL_IDR;
        if (sliced && (type == AnnexB_NAL_SPS || (slice && (n[1] & 0x80) != 0))) {
            units.emplace_back();
            sliced = false;
        }
        Bytes one = annexB({n});
        units.back().insert(units.back().end(), one.begin(), one.end());
        sliced = sliced || slice;
    }
    return units;
}

// Audio frames by the length their header gives: ADTS, or MPEG-1 layer III.
std::vector<Bytes> frames(const Bytes &s, bool adts)
{
    static const int kKbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int kRates[] = {44100, 48000, 32000, 0};
    std::vector<Bytes> out;
    for (size_t i = 0, len = 0; i + 7 <= s.size() && s[i] == 0xFF; i += len) {
        const uint8_t *h = &s[i];
        len = 0;
        if (adts && (h[1] & 0xF0) == 0xF0) {
            len = ((h[3] & 3u) << 11) | (h[4] << 3) | (h[5] >> 5);
        } else if (!adts && (h[1] & 0xFE) == 0xFA && kRates[(h[2] >> 2) & 3] != 0) {
            len = 144000u * kKbps[h[2] >> 4] / kRates[(h[2] >> 2) & 3] + ((h[2] >> 1) & 1);
        }
        if (len < 7 || i + len > s.size()) {
            break;
        }
        out.push_back(part(s, i, i + len));
    }
    return out;
}

// What a builder wrote, with room to spare.
Bytes built(const Builder &build)
{
    Bytes out(1 << 20);
    int n = build(out.data(), static_cast<int>(out.size()));
    EXPECT_GT(n, 0);
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
}

// An FLV file: header, then each body in its tag, each tag followed by its size. "@setDataFrame" asks
// an RTMP server to store what follows it, so the file's script tag holds what follows it.
std::string flvFile(std::vector<flv::Tag> tags)
{
    std::stable_sort(tags.begin(), tags.end(), [](const flv::Tag &a, const flv::Tag &b) { return a.ts < b.ts; });
    std::string f("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
    auto be = [&f](uint32_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; i--) {
            f += static_cast<char>(v >> (8 * i));
        }
    };
    for (flv::Tag &t : tags) {
        if (t.type == 18) {
            EXPECT_EQ(std::string(t.data.begin(), t.data.begin() + 16), std::string("\x02\x00\x0d@setDataFrame", 16));
            t.data.erase(t.data.begin(), t.data.begin() + 16);
        }
        const uint32_t n = static_cast<uint32_t>(t.data.size());
        be(static_cast<uint32_t>(t.type), 1), be(n, 3), be(t.ts, 3), be(t.ts >> 24, 1), be(0, 3); // stream id 0
        f.append(t.data.begin(), t.data.end());
        be(11 + n, 4);
    }
    return f;
}

struct Clip {
    const char *name;
    const char *video; // libx264's profile and level, and what else it is asked for
    const char *audio; // the audio encoder, its options and format
    bool aac;
    int frameUs; // an audio frame's duration
    FlvMetadata announced;
    const char *probed;  // the two streams' lines as ffprobe prints them
    const char *tags;    // the metadata entries after the copyright
    const char *copyOut; // ffmpeg's format for the audio copied out
};

// The second clip announces another size and rate than it carries: ffprobe's frame rate and the
// metadata entries are what was announced, the size is the SPS's.
const Clip kClips[] = {
    {"main-aac", "-profile:v main -level 2.1", "-ac 2 -c:a aac -b:a 96k -f adts", true, 21333, {320, 240, 25, true},
     "codec_name=h264|profile=Main|width=320|height=240|level=21|avg_frame_rate=25/1\n"
     "codec_name=aac|profile=LC|sample_rate=48000|channels=2|avg_frame_rate=0/0\n",
     "|tag:width=320|tag:height=240|tag:framerate=25|tag:audiocodecid=10|tag:videocodecid=7|tag:audiodelay=0\n",
     "-f adts"},
    {"high-2slices-mp3", "-profile:v high -level 3.0 -x264-params slices=2",
     "-ar 32000 -ac 1 -c:a libmp3lame -b:a 64k -write_xing 0 -id3v2_version 0 -f mp3", false, 36000,
     {640, 360, 30, false},
     "codec_name=h264|profile=High|width=320|height=240|level=30|avg_frame_rate=30/1\n"
     "codec_name=mp3|profile=unknown|sample_rate=32000|channels=1|avg_frame_rate=0/0\n",
     "|tag:width=640|tag:height=360|tag:framerate=30|tag:videocodecid=7\n", "-f mp3 -write_xing 0 -id3v2_version 0"},
};

struct Media {
    std::vector<Bytes> nals;  // of three pictures, SEI left out as the encoder leaves it out
    std::vector<Bytes> audio; // frames of 0.3 s of a tone
};

Media media(const Clip &c)
{
    auto made = [&](const std::string &suffix, const std::string &args) {
        std::string path = madeOnce(c.name + suffix, "ffmpeg -nostdin -v error -y " + args + " {out}");
        EXPECT_FALSE(path.empty()) << args;
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    return {nalUnits(made(".h264", "-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 3 -pix_fmt yuv420p -c:v "
                                   "libx264 -preset veryfast -g 25 -bf 0 -bsf:v filter_units=remove_types=6 -f h264 " +
                                       std::string(c.video))),
            frames(made(".audio", "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 0.3 " + std::string(c.audio)),
                   c.aac)};
}

TEST(FlvBodies, FfprobeAndFfmpegReadBackWhatWentIn)
{
    for (const Clip &c : kClips) {
        SCOPED_TRACE(c.name);
        const Media m = media(c);
        const std::vector<Bytes> units = pictures(m.nals);
        ASSERT_EQ(units.size(), 3u);
        ASSERT_GE(m.audio.size(), 5u);
        std::vector<flv::Tag> tags{{18, 0, built([&](uint8_t *o, int n) { return Flv_metadata(c.announced, o, n); })}};
        for (size_t i = 0; i < units.size(); i++) {
            const uint8_t *u = units[i].data();
            const int bytes = static_cast<int>(units[i].size());
            const bool idr = Flv_hasIdr(u, bytes);
            ASSERT_EQ(idr, i == 0);
            FlvKeyFrame key{};
            if (idr) {
                ASSERT_EQ(Flv_splitKeyFrame(u, bytes, &key), Flv_EOK);
                Bytes head = built([&](uint8_t *o, int n) { return Flv_avcSequenceHeader(key.sps, key.pps, o, n); });
                EXPECT_EQ(part(head, 6, 9), part(m.nals[0], 1, 4)) << "the record's profile and level are the SPS's";
                tags.push_back({9, 0, head});
            }
            const uint8_t tag = idr ? FLV_VIDEO_KEY : FLV_VIDEO_INTER;
            auto frame = [&](int from) {
                return built([&](uint8_t *o, int n) { return Flv_videoBody(tag, u, bytes, from, o, n); });
            };
            EXPECT_EQ(frame(key.slicesAt), frame(0)) << "parameter sets are left out of a frame";
            tags.push_back({9, static_cast<uint32_t>(40 * i), frame(key.slicesAt)});
        }
        FlvAacConfig config{};
        if (c.aac) {
            ASSERT_EQ(Flv_adtsConfig(m.audio[0].data(), static_cast<int>(m.audio[0].size()), &config), Flv_EOK);
            tags.push_back({8, 0, built([&](uint8_t *o, int n) { return Flv_aacSequenceHeader(config, o, n); })});
        }
        for (size_t k = 0; k < m.audio.size(); k++) {
            const Bytes &a = m.audio[k];
            auto body = [&](uint8_t *o, int n) {
                return (c.aac ? Flv_aacBody : Flv_mp3Body)(a.data(), static_cast<int>(a.size()), o, n);
            };
            tags.push_back({8, static_cast<uint32_t>(k * c.frameUs / 1000), built(body)});
        }
        TempRoot root;
        const std::string file = root.path("/tmp/out.flv");
        std::ofstream(file, std::ios::binary) << flvFile(tags);

        // A packet's key flag is its tag's frame type; -flv_full_metadata lists every onMetaData entry.
        const std::string probe = "ffprobe -v error -of compact=p=0 '" + file + "' ";
        EXPECT_EQ(runCommand(probe + "-select_streams v -show_entries packet=flags 2>&1"),
                  "flags=K_\nflags=__\nflags=__\n");
        std::string streams = runCommand(probe + "-flv_full_metadata 1 -show_entries stream=codec_name,profile,level,"
                                                 "width,height,sample_rate,channels,avg_frame_rate:format_tags 2>&1");
        EXPECT_NE(streams.find(c.probed + std::string("tag:copyright=")), std::string::npos) << streams;
        EXPECT_NE(streams.find(c.tags), std::string::npos) << streams;

        // Copied out: the NAL units that went in (the parameter sets from the header) and the audio frames.
        // ffmpeg writes ADTS headers of its own from the sequence header: their fixed part must be the
        // encoder's, the frame lengths follow the payloads, and the rest are the muxer's choice.
        const std::string copy = "ffmpeg -nostdin -v error -i '" + file + "' -c copy ";
        EXPECT_EQ(nalUnits(bytesOf(runCommand(copy + "-map 0:v -f h264 -"))), m.nals);
        auto fixedPart = [&](std::vector<Bytes> f) {
            for (Bytes &b : f) {
                b.erase(b.begin() + (c.aac ? 4 : 0), b.begin() + (c.aac ? 7 : 0));
                b[3] &= c.aac ? 0xC0 : 0xFF;
            }
            return f;
        };
        EXPECT_EQ(fixedPart(frames(bytesOf(runCommand(copy + "-map 0:a " + c.copyOut + " -")), c.aac)),
                  fixedPart(m.audio));
    }
}

// What a builder makes of a capacity one byte short of its body, once the exact capacity has done;
// nothing may be written past the capacity either way.
int oneShort(const Builder &build)
{
    const int n = static_cast<int>(built(build).size());
    Bytes out(static_cast<size_t>(n) + 8, 0xA5);
    EXPECT_EQ(build(out.data(), n), n);
    EXPECT_EQ(part(out, static_cast<size_t>(n), out.size()), Bytes(8, 0xA5));
    std::fill(out.begin(), out.end(), 0xA5);
    int got = build(out.data(), n - 1);
    EXPECT_EQ(part(out, static_cast<size_t>(n - 1), out.size()), Bytes(9, 0xA5));
    return got;
}

TEST(FlvBodies, Refusals)
{
    const Media aac = media(kClips[0]), mp3 = media(kClips[1]);
    ASSERT_GE(mp3.nals.size(), 4u);
    ASSERT_FALSE(aac.audio.empty() || mp3.audio.empty());
    const Bytes &sps = mp3.nals[0], &pps = mp3.nals[1], &idr = mp3.nals[2], &a = aac.audio[0], &m = mp3.audio[0];
    const Bytes key = annexB({sps, pps, idr, mp3.nals[3]});
    FlvKeyFrame parts{};
    FlvAacConfig config{};
    auto split = [&](const Bytes &u, size_t drop = 0) {
        return Flv_splitKeyFrame(u.data() + drop, static_cast<int>(u.size() - drop), &parts);
    };
    auto adtsWith = [&](size_t byte, uint8_t keep, uint8_t set, int bytes = 0) {
        Bytes f = a;
        f[byte] = static_cast<uint8_t>((f[byte] & keep) | set);
        return Flv_adtsConfig(f.data(), bytes > 0 ? bytes : static_cast<int>(f.size()), &config);
    };
    const char *const kSync = "Bad 'syncword' at start of ADTS file";
    const char *const kProfile = "Bad (reserved) 'profile': 3 in first frame of ADTS file";
    const char *const kRate = "Bad 'sampling_frequency_index' in first frame of ADTS file";
    struct Row {
        const char *what;
        int got;
        int expected;
        const char *line = nullptr; // what an ADTS refusal is reported with
    };
    const Row refused[] = {
        {"key frame without SPS", split(annexB({pps, idr})), Flv_ENOSPS},
        {"SPS behind a 3-byte start code", split(key, 1), Flv_ENOSPS},
        {"key frame without PPS", split(annexB({sps, idr})), Flv_ENOPPS},
        {"nothing after the PPS", split(annexB({sps, pps})), Flv_ENOIFRAME},
        {"ADTS syncword", adtsWith(1, 0x0F, 0xE0), Flv_EADTSSYNC, kSync},
        {"ADTS header cut short", adtsWith(0, 0xFF, 0, 6), Flv_EADTSSYNC, kSync},
        {"ADTS profile 3", adtsWith(2, 0x3F, 0xC0), Flv_EADTSPROFILE, kProfile},
        {"ADTS rate index 13", adtsWith(2, 0xC3, 13 << 2), Flv_EADTSRATE, kRate},
    };
    for (const Row &r : refused) {
        EXPECT_EQ(r.got, r.expected) << r.what;
        if (r.line != nullptr) {
            EXPECT_STREQ(Flv_adtsRefusal(r.got), r.line) << r.what;
        }
    }

    // The parts and the configuration of the whole key frame and ADTS frame, for the bodies below.
    ASSERT_EQ(split(key), Flv_EOK);
    ASSERT_EQ(adtsWith(0, 0xFF, 0), Flv_EOK);
    const int keyBytes = static_cast<int>(key.size());
    const std::pair<const char *, Builder> bodies[] = {
        {"metadata", [](uint8_t *o, int n) { return Flv_metadata({1920, 1080, 30, true}, o, n); }},
        {"AVC sequence header", [&](uint8_t *o, int n) { return Flv_avcSequenceHeader(parts.sps, parts.pps, o, n); }},
        {"video frame",
         [&](uint8_t *o, int n) { return Flv_videoBody(FLV_VIDEO_KEY, key.data(), keyBytes, parts.slicesAt, o, n); }},
        {"AAC sequence header", [&](uint8_t *o, int n) { return Flv_aacSequenceHeader(config, o, n); }},
        {"AAC frame", [&](uint8_t *o, int n) { return Flv_aacBody(a.data(), static_cast<int>(a.size()), o, n); }},
        {"MP3 frame", [&](uint8_t *o, int n) { return Flv_mp3Body(m.data(), static_cast<int>(m.size()), o, n); }},
    };
    for (const auto &[what, build] : bodies) {
        EXPECT_EQ(oneShort(build), Flv_ENOROOM) << what;
    }
}

} // namespace
