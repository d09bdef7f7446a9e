// The audio path end to end: `encode` with the virtual sound device (or ALSA's file plugin) and the
// virtual capture device, its transport stream read by ffprobe and ffmpeg and by our own PES reading,
// a TCP client on the first audio slot and a reader of the audio hand-off FIFO.
#include "tests/support/net.h"
#include "tests/audio/audio_frames.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace audio_frames;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTsPacket = 188;
constexpr int kVideoPid = 0x64;
constexpr int kAudioPid = 0x66;

// One PES of the stream: its PID, PTS (90 kHz) and payload, in the order they arrived.
struct Pes {
    int pid;
    int64_t pts;
    Bytes payload;
};

std::vector<Pes> pesList(const Bytes &ts)
{
    std::vector<Pes> all;
    std::vector<int> open(0x2000, -1); // the PES each PID is filling
    for (size_t i = 0; i + kTsPacket <= ts.size(); i += kTsPacket) {
        const uint8_t *p = &ts[i];
        int pid = ((p[1] & 0x1F) << 8) | p[2];
        if (p[0] != 0x47 || (pid != kVideoPid && pid != kAudioPid)) {
            continue;
        }
        size_t off = 4 + ((p[3] & 0x20) != 0 ? 1 + p[4] : 0);
        if (off >= kTsPacket) {
            continue;
        }
        if ((p[1] & 0x40) != 0) {
            const uint8_t *h = p + off;
            int64_t pts = -1;
            if ((h[7] & 0x80) != 0) {
                pts = (int64_t{h[9] & 0x0E} << 29) | (int64_t{h[10]} << 22) | (int64_t{h[11] & 0xFE} << 14) |
                      (int64_t{h[12]} << 7) | (h[13] >> 1);
            }
            all.push_back({pid, pts, Bytes(h + 9 + h[8], p + kTsPacket)});
            open[pid] = static_cast<int>(all.size()) - 1;
        } else if (open[pid] >= 0) {
            Bytes &b = all[static_cast<size_t>(open[pid])].payload;
            b.insert(b.end(), p + off, p + kTsPacket);
        }
    }
    return all;
}

// Frequency of one channel of interleaved 16-bit PCM, from its rising zero crossings over the middle
// half of the signal (past the encoder's start).
double frequency(const Bytes &pcm, int channels, int channel, int rate)
{
    size_t n = pcm.size() / 2 / static_cast<size_t>(channels);
    auto sample = [&](size_t k) {
        size_t at = 2 * (k * static_cast<size_t>(channels) + static_cast<size_t>(channel));
        return static_cast<int16_t>(pcm[at] | (pcm[at + 1] << 8));
    };
    size_t first = n / 4, last = n * 3 / 4;
    int crossings = 0;
    for (size_t k = first + 1; k < last; k++) {
        crossings += sample(k - 1) < 0 && sample(k) >= 0 ? 1 : 0;
    }
    return last > first ? crossings * static_cast<double>(rate) / static_cast<double>(last - first) : 0;
}

// One record of a tagged audio output: the tag's words and the ADTS frame it announces.
bool readTaggedFrame(int fd, Bytes &frame, std::string &why)
{
    uint8_t tag[kTagBytes];
    if (!readExact(fd, tag, sizeof tag)) {
        why = "no tag";
        return false;
    }
    uint32_t length = le32(tag + 12);
    if (le32(tag) != kTagMagic || length < 7 || length > 8192) {
        why = "bad tag";
        return false;
    }
    frame.resize(length);
    Adts a;
    if (!readExact(fd, frame.data(), length) || !parseAdts(frame.data(), length, &a) ||
        a.length != static_cast<int>(length)) {
        why = "frame does not match its tag";
        return false;
    }
    return true;
}

class AudioStreamTest : public ::testing::Test {
protected:
    void SetUp() override { offset_ = 21000 + static_cast<int>(::getpid() % 30000); }

    std::string tmp(const std::string &name) const { return root_.path("/tmp/" + name); }

    // `encode` with the given options, its TS going to this test's UDP port.
    void start(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {})
    {
        std::vector<std::string> all = {"-z", "127.0.0.1", "-c", udp_.portText()};
        all.insert(all.end(), args.begin(), args.end());
        env.emplace_back("ENCODE_VIDEO_SOURCE", "testsrc");
        env.emplace_back("ENCODE_PORT_OFFSET", std::to_string(offset_));
        bool hasSource = false;
        for (const auto &e : env) {
            hasSource = hasSource || e.first == "ENCODE_AUDIO_SOURCE";
        }
        if (!hasSource) {
            env.emplace_back("ENCODE_AUDIO_SOURCE", "tone");
        }
        program_ = std::make_unique<ProgramRun>(root_, ENCODE_BINARY, all, env);
    }

    int stop()
    {
        program_->signal(SIGTERM);
        return program_->wait(15);
    }

    // The UDP stream so far, saved for ffprobe and ffmpeg.
    Bytes stream()
    {
        udp_.save(tmp("out.ts"));
        std::ifstream in(tmp("out.ts"), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The audio stream as ffprobe reads it (in a TS it lists the stream once under its program and
    // once on its own: the first is kept).
    std::string probeAudio(const std::string &file,
                           const std::string &entries = "codec_name,profile,sample_rate,channels")
    {
        std::string out = runCommand("ffprobe -v error -select_streams a -show_entries stream=" + entries +
                                     " -of default=nw=1 '" + file + "' 2>&1");
        size_t half = out.size() / 2;
        return out.size() % 2 == 0 && out.compare(0, half, out, half, half) == 0 ? out.substr(0, half) : out;
    }

    // ffmpeg's complaints while decoding the audio of `file` (empty: none).
    std::string decodeErrors(const std::string &file, const std::string &format = "")
    {
        int rc = -1;
        std::string out = runCommand("ffmpeg -v error " + format + " -i '" + file + "' -map 0:a -f null - 2>&1", &rc);
        return rc == 0 ? out : out + " (exit " + std::to_string(rc) + ")";
    }

    // The TS's audio decoded to 16-bit PCM of `channels` channels.
    Bytes decodePcm(int channels, int &rc)
    {
        runCommand("ffmpeg -v error -y -i '" + tmp("out.ts") + "' -map 0:a -f s16le -ac " + std::to_string(channels) +
                       " '" + tmp("dec.raw") + "' 2>&1",
                   &rc);
        std::ifstream in(tmp("dec.raw"), std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    int connectSlot1()
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(9999 + offset_));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto until = Clock::now() + milliseconds(20000);
        while (Clock::now() < until) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
                return fd;
            }
            ::close(fd);
            std::this_thread::sleep_for(milliseconds(50));
        }
        return -1;
    }

    int openFifoReader() { return openFifoReaderWhenMade(root_.path("/dev/shm/aa_fifo"), 20000); }

    // Every audio PES against the latest video PES before it, less `delayMs`: the two clocks in step
    // (the median within 100 ms, nineteen in twenty within it) and none far off. A loaded machine
    // delays a picture now and then, and the audio frames multiplexed meanwhile meet an older video
    // PES; the median and the share do not move with that, a clock that drifts or jumps moves them.
    void expectInSync(const std::vector<Pes> &all, int delayMs)
    {
        int64_t video = -1;
        std::vector<double> apart;
        for (const Pes &p : all) {
            if (p.pid == kVideoPid) {
                video = p.pts;
            } else if (video >= 0) {
                apart.push_back(static_cast<double>(p.pts - video) / 90.0 - delayMs);
            }
        }
        ASSERT_GT(apart.size(), 100u);
        std::vector<double> sorted = apart;
        std::sort(sorted.begin(), sorted.end());
        double median = sorted[sorted.size() / 2];
        size_t within = static_cast<size_t>(
            std::count_if(apart.begin(), apart.end(), [](double a) { return std::fabs(a) < 100.0; }));
        std::printf("audio minus video PTS, less the delay: %.1f to %.1f ms, median %.1f, %zu of %zu within 100 ms\n",
                    sorted.front(), sorted.back(), median, within, apart.size());
        EXPECT_LT(std::fabs(median), 100.0);
        EXPECT_GE(within * 20, apart.size() * 19);
        EXPECT_LT(std::max(-sorted.front(), sorted.back()), 500.0);
    }

    TempRoot root_{true};
    UdpCapture udp_;
    std::unique_ptr<ProgramRun> program_;
    int offset_ = 0;
};

// The appliance's usual launch: H.264 on PID 0x64 and AAC-LC 44100 Hz stereo on 0x66, decoded
// without a complaint, the two streams' times together all along.
TEST_F(AudioStreamTest, AacAndVideoInTheTsDecodeAndStayInStep)
{
    start({"-v", "/tmp/x.264", "-a", "/tmp/x.aac", "-u", "44100", "-p", "128000", "-y", "3", "-r", "640x360", "-f",
           "30"});
    ASSERT_TRUE(udp_.waitFor(1, 20)) << program_->err();
    std::this_thread::sleep_for(milliseconds(6000));
    EXPECT_EQ(stop(), 0) << program_->err();
    Bytes ts = stream();
    EXPECT_EQ(probeAudio(tmp("out.ts"), "codec_name,profile,sample_rate,channels,id"),
              "codec_name=aac\nprofile=LC\nsample_rate=44100\nchannels=2\nid=0x66\n");
    std::string ids =
        runCommand("ffprobe -v error -show_entries stream=id,codec_name -of csv=p=0 '" + tmp("out.ts") + "'");
    EXPECT_NE(ids.find("h264,0x64"), std::string::npos) << ids;
    EXPECT_EQ(decodeErrors(tmp("out.ts")), "");
    expectInSync(pesList(ts), 0);
}

// MP3 at 48000 Hz and 320 kbit/s: MPEG audio (stream type 3) that decodes, every PES one whole
// frame (the TS output area holds the largest), the times 150 ms later than the video's (time.ini).
TEST_F(AudioStreamTest, Mp3At320kIsMpegAudioWithNoFrameCut)
{
    root_.write("/mnt/time.ini", "15");
    start({"-v", "/tmp/x.264", "-s", "/tmp/x.mp3", "-u", "48000", "-p", "320000", "-y", "3", "-r", "640x360", "-f",
           "30"});
    ASSERT_TRUE(program_->waitForOutput("kavex enter mp3 encode\n", 20)) << program_->err();
    std::this_thread::sleep_for(milliseconds(5000));
    EXPECT_EQ(stop(), 0) << program_->err();
    Bytes ts = stream();
    EXPECT_EQ(probeAudio(tmp("out.ts"), "codec_name,sample_rate,channels,id"),
              "codec_name=mp3\nsample_rate=48000\nchannels=2\nid=0x66\n");
    // The PMT's audio entry: stream type 3 on PID 0x66.
    std::string pmt(ts.begin(), ts.end());
    EXPECT_NE(pmt.find(std::string("\x03\xE0\x66", 3)), std::string::npos);
    EXPECT_EQ(decodeErrors(tmp("out.ts")), "");
    int frames = 0;
    for (const Pes &p : pesList(ts)) {
        if (p.pid != kAudioPid) {
            continue;
        }
        Mp3 m;
        ASSERT_TRUE(parseMp3(p.payload.data(), p.payload.size(), &m)) << "PES " << frames;
        EXPECT_EQ(m.bitRate, 320000);
        ASSERT_EQ(p.payload.size(), static_cast<size_t>(m.length)) << "PES " << frames;
        frames++;
    }
    EXPECT_GT(frames, 100);
    expectInSync(pesList(ts), 150);
}

// tcp.ini "1": a client on the first audio slot reads stream tags, each followed by the ADTS frame
// it announces, and the frames make a file a player decodes.
TEST_F(AudioStreamTest, TaggedAdtsFramesOnTheFirstAudioSlot)
{
    root_.write("/mnt/tcp.ini", "1");
    start({"-a", "/tmp/x.aac", "-u", "44100", "-p", "128000"});
    int fd = connectSlot1();
    ASSERT_GE(fd, 0) << program_->out();
    Bytes adts;
    for (int i = 0; i < 120; i++) {
        Bytes frame;
        std::string why;
        ASSERT_TRUE(readTaggedFrame(fd, frame, why)) << why << " at frame " << i;
        adts.insert(adts.end(), frame.begin(), frame.end());
    }
    ::close(fd);
    EXPECT_EQ(stop(), 0) << program_->err();
    std::ofstream(tmp("slot.aac"), std::ios::binary).write(reinterpret_cast<const char *>(adts.data()),
                                                            static_cast<std::streamsize>(adts.size()));
    EXPECT_EQ(probeAudio(tmp("slot.aac")), "codec_name=aac\nprofile=LC\nsample_rate=44100\nchannels=2\n");
    EXPECT_EQ(decodeErrors(tmp("slot.aac")), "");
}

// rtsp.ini "1": the FIFO's reader gets tag plus frame records. A reader that stops reading makes
// frames drop whole (never a torn record) while the UDP output flows on; when it reads again it
// finds whole records.
TEST_F(AudioStreamTest, FifoReaderThatStallsCostsWholeFramesAndNothingElse)
{
    root_.write("/mnt/rtsp.ini", "1");
    start({"-a", "/tmp/x.aac", "-u", "44100", "-p", "192000"});
    int fd = openFifoReader();
    ASSERT_GE(fd, 0) << program_->out();
    for (int i = 0; i < 20; i++) {
        Bytes frame;
        std::string why;
        ASSERT_TRUE(readTaggedFrame(fd, frame, why)) << why << " at record " << i;
    }
    // 192 kbit/s fills 32 KiB in well under 2 s; then frames are dropped.
    size_t before = udp_.count();
    ASSERT_TRUE(program_->waitForOutput("/dev/shm/aa_fifo: the reader is behind, record dropped", 20))
        << program_->out();
    EXPECT_TRUE(udp_.waitFor(before + 21, 3)); // about 43 frames a second go on to UDP meanwhile
    for (int i = 0; i < 200; i++) {
        Bytes frame;
        std::string why;
        ASSERT_TRUE(readTaggedFrame(fd, frame, why)) << why << " at record " << i << " after the stall";
    }
    ::close(fd);
    EXPECT_EQ(stop(), 0) << program_->err();
    stream();
    EXPECT_EQ(decodeErrors(tmp("out.ts")), "");
}

// HDMI audio on a board whose HDMI path reports lock from the start (ra202): the fixed channel
// handling of has.ini reaches the stream. The tone is 440 Hz on the left and 660 Hz on the right; a
// mono capture carries the left one.
TEST_F(AudioStreamTest, HdmiChannelHandlingOfHasIniReachesTheStream)
{
    struct Case {
        const char *has;
        double left;
        double right;
    };
    const Case cases[] = {{"0", 440, 440}, {"1", 660, 660}, {"2", 440, 440}};
    for (const Case &c : cases) {
        root_.write("/mnt/ra202.ini", "1");
        root_.write("/mnt/ha.ini", "1");
        root_.write("/mnt/has.ini", c.has);
        udp_.clear();
        start({"-a", "/tmp/x.aac", "-u", "44100", "-p", "128000"});
        ASSERT_TRUE(udp_.waitFor(1, 20)) << program_->err();
        std::this_thread::sleep_for(milliseconds(3000));
        EXPECT_EQ(stop(), 0) << program_->err();
        stream();
        int rc = -1;
        Bytes dec = decodePcm(2, rc);
        ASSERT_EQ(rc, 0);
        EXPECT_NEAR(frequency(dec, 2, 0, 44100), c.left, 10.0) << "has.ini " << c.has;
        EXPECT_NEAR(frequency(dec, 2, 1, 44100), c.right, 10.0) << "has.ini " << c.has;
    }
}

// ALSA's own file plugin as the capture device (ENCODE_AUDIO_SOURCE=alsa:NAME and a configuration
// of the test's own): a 1000 Hz tone in, the decoded AAC from the TS has that frequency.
TEST_F(AudioStreamTest, AlsaCaptureReachesTheStreamAtItsFrequency)
{
    const int rate = 44100;
    std::vector<uint8_t> raw;
    for (int i = 0; i < rate * 20; i++) {
        auto v = static_cast<int16_t>(std::lround(12000 * std::sin(2 * M_PI * 1000.0 * i / rate)));
        for (int c = 0; c < 2; c++) {
            raw.push_back(static_cast<uint8_t>(v & 0xFF));
            raw.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
    }
    std::ofstream(tmp("in.raw"), std::ios::binary).write(reinterpret_cast<const char *>(raw.data()),
                                                          static_cast<std::streamsize>(raw.size()));
    root_.write("/tmp/asound.conf", "pcm.testin {\n    type file\n    slave.pcm { type null }\n    file \"" +
                                         tmp("out.raw") + "\"\n    infile \"" + tmp("in.raw") +
                                         "\"\n    format \"raw\"\n}\n");
    start({"-a", "/tmp/x.aac", "-u", "44100", "-p", "128000"},
          {{"ENCODE_AUDIO_SOURCE", "alsa:testin"}, {"ALSA_CONFIG_PATH", tmp("asound.conf")}});
    ASSERT_TRUE(udp_.waitFor(1, 20)) << program_->err();
    std::this_thread::sleep_for(milliseconds(3000));
    EXPECT_EQ(stop(), 0) << program_->err();
    stream();
    int rc = -1;
    Bytes dec = decodePcm(1, rc);
    ASSERT_EQ(rc, 0);
    ASSERT_GT(dec.size(), static_cast<size_t>(rate)); // more than half a second
    EXPECT_NEAR(frequency(dec, 1, 0, rate), 1000.0, 20.0);
}

} // namespace
