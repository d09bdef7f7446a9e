// The RTMP publisher against real peers on loopback: nginx with the RTMP module as the ingest (what it
// records is read back with a small FLV parser of this file), ffprobe as a player, and ffprobe as a
// listening server to see the metadata nginx neither relays nor records. The units are real: H.264
// with two slices per picture from libx264 and AAC in ADTS from libavcodec, both made by ffmpeg once.
// Each test makes its own publisher; what became of a unit is read from the publisher's counters once
// its queue is empty.
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/output/rtmp.h"
#include "tests/support/flv.h"
#include "tests/support/made_once.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kFps = 25;
constexpr int kVideoMs = 1000 / kFps;
constexpr int kAudioRate = 48000;

// --- Test media, made once ---

struct Nal {
    size_t begin; // after the start code
    size_t end;
    int type;
};

std::vector<Nal> splitAnnexB(const Bytes &s)
{
    std::vector<size_t> codes; // offsets of "00 00 01"
    for (size_t i = 0; i + 3 <= s.size(); i++) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            codes.push_back(i);
            i += 2;
        }
    }
    std::vector<Nal> nals;
    for (size_t k = 0; k < codes.size(); k++) {
        size_t b = codes[k] + 3;
        size_t e = k + 1 < codes.size() ? codes[k + 1] : s.size();
        while (e > b && s[e - 1] == 0) {
            e--;
        }
        nals.push_back({b, e, s[b] & 0x1F});
    }
    return nals;
}

struct Media {
    std::vector<Bytes> units;              // access units as the encoder gives them
    std::vector<std::vector<Bytes>> slices; // the slice NAL units of each unit, in order
    std::vector<Bytes> adts;
    bool ok = false;
};

// Access units the way the encoder wrapper delivers them: a 4-byte start code before every NAL unit,
// SPS and PPS before every IDR picture, no version SEI.
void cutUnits(const Bytes &s, Media &m)
{
    for (const Nal &n : splitAnnexB(s)) {
        bool sliceStart = (n.type == 1 || n.type == 5) && (s[n.begin + 1] & 0x80) != 0; // first_mb 0
        bool newUnit = n.type == 7 || (sliceStart && (m.units.empty() || !m.slices.back().empty()));
        if (newUnit) {
            m.units.emplace_back();
            m.slices.emplace_back();
        }
        if (n.type == 6 || m.units.empty()) {
            continue;
        }
        Bytes &u = m.units.back();
        u.insert(u.end(), {0, 0, 0, 1});
        u.insert(u.end(), s.begin() + static_cast<long>(n.begin), s.begin() + static_cast<long>(n.end));
        if (n.type == 1 || n.type == 5) {
            m.slices.back().emplace_back(s.begin() + static_cast<long>(n.begin), s.begin() + static_cast<long>(n.end));
        }
    }
}

void cutAdts(const Bytes &s, Media &m)
{
    size_t i = 0;
    while (i + 7 <= s.size()) {
        size_t len = ((s[i + 3] & 3u) << 11) | (s[i + 4] << 3) | (s[i + 5] >> 5);
        if (len < 7 || i + len > s.size()) {
            break;
        }
        m.adts.emplace_back(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + len));
        i += len;
    }
}

const Media &media()
{
    static Media m = [] {
        Media made;
        std::string v = madeOnce("rtmp-v.h264", "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                                               "-t 4 -c:v libx264 -preset ultrafast -tune zerolatency -crf 20 -x264-params "
                                               "keyint=25:min-keyint=25:scenecut=0:slices=2:repeat-headers=1:aud=0 "
                                               "-bf 0 -f h264 {out}");
        std::string a = madeOnce("rtmp-a.aac", "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 "
                                              "-ac 2 -t 4 -c:a aac -b:a 96k -f adts {out}");
        std::string vs = NginxRtmp::slurp(v);
        std::string as = NginxRtmp::slurp(a);
        cutUnits(Bytes(vs.begin(), vs.end()), made);
        cutAdts(Bytes(as.begin(), as.end()), made);
        made.ok = !v.empty() && !a.empty() && made.units.size() >= 50 && made.adts.size() >= 100;
        return made;
    }();
    return m;
}

// --- FLV as nginx records it ---

using FlvTag = flv::Tag;
using flv::isAacHeader;
using flv::isAvcHeader;
using flv::isVideoFrame;

std::vector<FlvTag> parseFlv(const std::string &f)
{
    return flv::parse(f);
}

// "9:17 00 8:af 00 ..." for failure messages.
std::string describe(const std::vector<FlvTag> &tags, size_t count = 6)
{
    std::string d;
    char b[48];
    for (size_t i = 0; i < tags.size() && i < count; i++) {
        const FlvTag &t = tags[i];
        std::snprintf(b, sizeof b, "%d:%02x %02x @%u ", t.type, t.data.size() > 0 ? t.data[0] : 0,
                      t.data.size() > 1 ? t.data[1] : 0, t.ts);
        d += b;
    }
    return d;
}

bool tagNals(const FlvTag &t, std::vector<Bytes> *nals)
{
    return flv::nals(t, nals);
}

// The media units the recorded video tags carry, by their slices (-1: none of them).
std::vector<int> recordedUnits(const std::vector<FlvTag> &tags)
{
    const Media &m = media();
    std::vector<int> units;
    for (const FlvTag &t : tags) {
        std::vector<Bytes> nals;
        if (isVideoFrame(t) && tagNals(t, &nals)) {
            auto at = std::find(m.slices.begin(), m.slices.end(), nals);
            units.push_back(at == m.slices.end() ? -1 : static_cast<int>(at - m.slices.begin()));
        }
    }
    return units;
}

// --- Feeding ---

FrameTime plusMs(FrameTime t, int64_t ms)
{
    int64_t us = static_cast<int64_t>(t.seconds) * 1000000 + t.microseconds + ms * 1000;
    return {static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
}

bool connected(RtmpPublisher_Handle h)
{
    return RtmpPublisher_stats(h).connected;
}

// What the publisher made of one unit handed in.
enum class Outcome { NotTaken, Sent, Skipped, Refused, Dropped, Pending };

Outcome handled(RtmpPublisher_Handle h, int taken, const RtmpPublisherStats &before)
{
    if (taken != Rtmp_EOK) {
        return Outcome::NotTaken;
    }
    if (!RtmpPublisher_waitIdle(h, 5000)) {
        return Outcome::Pending;
    }
    RtmpPublisherStats after = RtmpPublisher_stats(h);
    return after.sent > before.sent       ? Outcome::Sent
           : after.refused > before.refused ? Outcome::Refused
           : after.dropped > before.dropped ? Outcome::Dropped
                                            : Outcome::Skipped;
}

Outcome sendVideo(RtmpPublisher_Handle h, const Bytes &u, FrameTime t)
{
    RtmpPublisherStats before = RtmpPublisher_stats(h);
    return handled(h, RtmpPublisher_sendVideo(h, u.data(), static_cast<int>(u.size()), t), before);
}

Outcome sendAudio(RtmpPublisher_Handle h, const Bytes &f, FrameTime t)
{
    RtmpPublisherStats before = RtmpPublisher_stats(h);
    return handled(h, RtmpPublisher_sendAudio(h, f.data(), static_cast<int>(f.size()), t), before);
}

// Plays the media as the writer and the audio thread would, video unit n and audio frame k at their
// times after `base`, cycling through the media, to every publisher given. Paced plays in real time;
// unpaced as fast as the calls return (with a short breath while a unit is not taken). At a tie audio
// goes first, as a running audio thread would, unless `videoFirst` (the encoder's first key frame
// before its first audio frame).
class Player {
public:
    Player(std::vector<RtmpPublisher_Handle> to, FrameTime base, bool videoFirst = false)
        : to_(std::move(to)), base_(base), start_(Clock::now()), videoFirst_(videoFirst)
    {
    }

    void play(int ms, bool paced, bool audio = true)
    {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        const Media &m = media();
        while (Clock::now() < until) {
            int64_t vMs = int64_t{video_} * kVideoMs;
            int64_t aMs = int64_t{audio_} * 1024 * 1000 / kAudioRate;
            bool takeVideo = !audio || vMs < aMs || (videoFirst_ && vMs == aMs);
            int64_t at = takeVideo ? vMs : aMs;
            if (paced) {
                std::this_thread::sleep_until(start_ + std::chrono::milliseconds(at - playedMs_));
            } else if (!taken_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            taken_ = true;
            for (RtmpPublisher_Handle h : to_) {
                auto t0 = Clock::now();
                int r = takeVideo ? RtmpPublisher_sendVideo(h, unit(m.units, video_), size(m.units, video_),
                                                            plusMs(base_, vMs))
                                  : RtmpPublisher_sendAudio(h, unit(m.adts, audio_), size(m.adts, audio_),
                                                            plusMs(base_, aMs));
                longest_ = std::max(longest_, Clock::now() - t0);
                taken_ = taken_ && r == Rtmp_EOK;
            }
            (takeVideo ? video_ : audio_)++;
        }
    }
    // Paced playing restarts its clock here (after an unpaced stretch).
    void repace()
    {
        start_ = Clock::now();
        playedMs_ = int64_t{video_} * kVideoMs;
    }
    int videoSent() const { return video_; }
    double longestCallMs() const { return std::chrono::duration<double, std::milli>(longest_).count(); }

private:
    static const Bytes &nth(const std::vector<Bytes> &v, int n) { return v[static_cast<size_t>(n) % v.size()]; }
    static const uint8_t *unit(const std::vector<Bytes> &v, int n) { return nth(v, n).data(); }
    static int size(const std::vector<Bytes> &v, int n) { return static_cast<int>(nth(v, n).size()); }

    std::vector<RtmpPublisher_Handle> to_;
    FrameTime base_;
    Clock::time_point start_;
    bool videoFirst_;
    bool taken_ = true;
    int64_t playedMs_ = 0;
    int video_ = 0;
    int audio_ = 0;
    Clock::duration longest_{};
};

bool waitFor(const std::function<bool()> &cond, int ms)
{
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (cond()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

std::string autorun(const std::string &url)
{
    return "ip=192.168.1.100\nnetmask=255.255.255.0\nurl='" + url + "'\nend_of_settings=1\nexec true\n";
}

// --- Fixtures ---

class RtmpUrl : public ::testing::Test {
protected:
    TempRoot root;
};

class RtmpPublish : public ::testing::Test {
protected:
    TempRoot root;
    RtmpPublisher_Handle pub = nullptr;

    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

    void SetUp() override
    {
        if (!NginxRtmp::available()) {
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        }
        ASSERT_TRUE(media().ok) << "ffmpeg could not make the test media";
        SharedStatus_reset();
        SharedStatus_setImageSize(320, 240);
        Pipeline_reset();
        Pipeline_setFrameRate(kFps * 1000);
        Pipeline_setAudioPresent(true);
        SecondStream_reset();
    }
    void TearDown() override { stop(); }

    // Starts a publisher towards `url` (through the start script) and waits until it is connected.
    void publish(const std::string &url, int queueBytes = 0)
    {
        root.write("/mnt/autorun.sh", autorun(url));
        RtmpPublisherConfig config{nullptr, queueBytes};
        pub = RtmpPublisher_create(&config);
        ASSERT_NE(pub, nullptr);
        ASSERT_TRUE(waitFor([this] { return connected(pub); }, 10000)) << "the publisher did not connect";
    }
    void stop()
    {
        RtmpPublisher_destroy(pub);
        pub = nullptr;
    }
    RtmpPublisherStats stats() const { return RtmpPublisher_stats(pub); }
};

// --- The URL reader ---

TEST_F(RtmpUrl, FirstQualifyingUrlLineInTheFirstKilobyte)
{
    std::string url;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(Rtmp_readUrl(url));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open file autorun.sh\n");

    root.write("/mnt/autorun.sh", "ip=1.2.3.4\nurl=rtmp://h/live/a\nurl=rtmp://h/live/b\n");
    ASSERT_TRUE(Rtmp_readUrl(url));
    EXPECT_EQ(url, "rtmp://h/live/a");

    // A value of 256 characters or more is no URL; a later line that qualifies is taken.
    std::string longValue = "rtmp://h/" + std::string(247, 'x'); // 256 characters
    root.write("/mnt/autorun.sh", "url=" + longValue + "\r\nurl=rtmp://h/live/c\r\n");
    ASSERT_TRUE(Rtmp_readUrl(url));
    EXPECT_EQ(url, "rtmp://h/live/c");
    root.write("/mnt/autorun.sh", "url=" + longValue.substr(1) + "\n");
    ASSERT_TRUE(Rtmp_readUrl(url));
    EXPECT_EQ(url.size(), 255u);
    root.write("/mnt/autorun.sh", "url=" + longValue + "\n");
    EXPECT_FALSE(Rtmp_readUrl(url));

    // Only the first 1024 bytes are read.
    root.write("/mnt/autorun.sh", std::string(1020, '#') + "\nurl=rtmp://h/live/late\n");
    EXPECT_FALSE(Rtmp_readUrl(url));
    root.write("/mnt/autorun.sh", "ip=1\n");
    EXPECT_FALSE(Rtmp_readUrl(url));
}

TEST_F(RtmpUrl, QuotedValueIsReadWithoutItsQuotes)
{
    std::string url;
    root.write("/mnt/autorun.sh", "url='rtmp://127.0.0.1:1935/live/NAME?key=a&x=1'\nend\n");
    ASSERT_TRUE(Rtmp_readUrl(url));
    EXPECT_EQ(url, "rtmp://127.0.0.1:1935/live/NAME?key=a&x=1");
    root.write("/mnt/autorun.sh", "url=rtmp://h/weekend\nend\n");
    ASSERT_TRUE(Rtmp_readUrl(url));
    EXPECT_EQ(url, "rtmp://h/weekend");
}

TEST_F(RtmpUrl, NoUrlEndsThePublisher)
{
    testing::internal::CaptureStdout();
    RtmpPublisher_Handle pub = RtmpPublisher_create(nullptr);
    ASSERT_NE(pub, nullptr);
    const uint8_t unit[] = {0, 0, 0, 1, 0x09, 0xF0};
    EXPECT_EQ(RtmpPublisher_sendVideo(pub, unit, sizeof unit, FrameTime_now()), Rtmp_ENOTCONNECTED);
    RtmpPublisher_destroy(pub);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Can't open file autorun.sh\nerror url input\n");
}

// The URL typed on the settings page reaches the publisher exactly as typed (the answer shows it
// with its stream key held back).
TEST_F(RtmpUrl, UrlStoredBySettingsPageIsReadBackUnchanged)
{
    TempRoot factory(true);
    const std::string typed = "rtmp://127.0.0.1:1935/live/NAME?key=a&x=1";
    CgiResponse r = cgiPostUrl(SETTINGS_CGI_BINARY, factory.dir(), {{"rtmpurl_submit", "Set"}, {"rtmpurl", typed}});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("set url:rtmp://127.0.0.1:1935/live/\xE2\x80\xA6"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("NAME?key"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("set ok"), std::string::npos) << r.out;
    std::string url;
    ASSERT_TRUE(Rtmp_readUrl(url)); // factory is the newest root: ENCODE_ROOT points at it
    EXPECT_EQ(url, typed);
}

// --- Publishing to nginx ---

// Video and audio as nginx records them, and as a player sees them while they are live.
TEST_F(RtmpPublish, NginxRecordsWhatFfprobeReadsAsH264AndAac)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("cam?key=a&x=1")));
    EXPECT_FALSE(stats().videoOff);

    auto probe = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return runCommand("timeout 20 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " +
                          nginx.url("cam") + " 2>&1");
    });
    Player p({pub}, FrameTime_now());
    p.play(5000, true);
    std::string streams = probe.get();
    EXPECT_NE(streams.find("h264"), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
    stop();
    nginx.stop();

    std::vector<FlvTag> tags = parseFlv(NginxRtmp::slurp(nginx.recording("cam")));
    ASSERT_GE(tags.size(), 100u);
    ASSERT_TRUE((isAvcHeader(tags[0]) && isAacHeader(tags[1])) || (isAacHeader(tags[0]) && isAvcHeader(tags[1])))
        << describe(tags);
    // The decoder configuration record: version 1, 4-byte lengths, one SPS and one PPS.
    const FlvTag &avc = isAvcHeader(tags[0]) ? tags[0] : tags[1];
    EXPECT_EQ(avc.data[5], 1);
    EXPECT_EQ(avc.data[9], 0xFF);
    EXPECT_EQ(avc.data[10], 0xE1);
    const FlvTag &aac = isAacHeader(tags[0]) ? tags[0] : tags[1];
    EXPECT_EQ(aac.data[2], 0x11); // AAC LC, 48000 Hz (index 3)
    EXPECT_EQ(aac.data[3], 0x90); // two channels

    const Media &m = media();
    uint32_t lastVideo = 0;
    size_t frame = 0;
    for (const FlvTag &t : tags) {
        if (!isVideoFrame(t)) {
            continue;
        }
        std::vector<Bytes> nals;
        ASSERT_TRUE(tagNals(t, &nals)) << "video tag " << frame << ": NAL lengths do not add up to the body";
        if (frame == 0) {
            EXPECT_EQ(t.data[0], 0x17);
            EXPECT_EQ(t.ts, 0u);
        }
        // Each slice behind its own length, exactly as the encoder made it, and nothing else.
        if (frame < m.units.size()) {
            EXPECT_EQ(nals, m.slices[frame]) << "video tag " << frame;
        }
        EXPECT_EQ(t.data[0], frame % kFps == 0 ? 0x17 : 0x27) << "video tag " << frame;
        EXPECT_GE(t.ts, lastVideo) << "video tag " << frame;
        lastVideo = t.ts;
        frame++;
    }
    EXPECT_GE(frame, 100u);
    EXPECT_EQ(m.slices[0].size(), 2u); // the media really has two slices per picture
}

// A loopback relay between the publisher and a server that keeps what the publisher sent.
class Relay {
public:
    explicit Relay(int serverPort) : port_(freeLoopbackPort())
    {
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopback(port_);
        bind(listenFd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listenFd_, 1);
        thread_ = std::thread([this, serverPort] { run(serverPort); });
    }
    ~Relay()
    {
        stop_ = true;
        thread_.join();
        close(listenFd_);
    }
    int port() const { return port_; }
    std::string sent()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return sent_;
    }
    // What the publisher sent over the whole connection, once it has closed it (the relay may still
    // be copying the last bytes when the publisher's stop returns).
    std::string sentOnceClosed(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!closed_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return sent();
    }

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    void run(int serverPort)
    {
        pollfd l{listenFd_, POLLIN, 0};
        while (!stop_ && poll(&l, 1, 100) <= 0) {
        }
        if (stop_) {
            return;
        }
        int client = accept(listenFd_, nullptr, nullptr);
        int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(serverPort);
        if (connect(server, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            pump(client, server);
        }
        closed_ = true;
        close(client);
        close(server);
    }
    void pump(int client, int server)
    {
        char buf[65536];
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(p, 2, 100) <= 0) {
                continue;
            }
            for (int k = 0; k < 2; k++) {
                if ((p[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                ssize_t n = read(p[k].fd, buf, sizeof buf);
                if (n > 0 && k == 0) {
                    std::lock_guard<std::mutex> lock(lock_);
                    sent_.append(buf, static_cast<size_t>(n));
                }
                if (n <= 0 || write(p[1 - k].fd, buf, static_cast<size_t>(n)) != n) {
                    return;
                }
            }
        }
    }
    int port_;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::thread thread_;
    std::mutex lock_;
    std::string sent_;
};

// An AMF0 object property: name and number, as they stand in the metadata body.
std::string amfNumber(const std::string &name, double v)
{
    std::string s;
    s += static_cast<char>(name.size() >> 8);
    s += static_cast<char>(name.size() & 0xFF);
    s += name;
    s += '\0';
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 7; i >= 0; i--) {
        s += static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
    return s;
}

// nginx keeps onMetaData to itself; ffprobe listening as the server reads what was announced. The
// announced size and rate differ from the stream's own (320x240 at 25): ffprobe shows the rate it was
// told, but takes the size from the SPS, so the size is looked for in the bytes that went to it.
TEST_F(RtmpPublish, MetadataAnnouncesCarriedStream)
{
    SharedStatus_setImageSize(640, 360);
    Pipeline_setFrameRate(30000);
    int port = freeLoopbackPort();
    std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/meta";
    auto probe = std::async(std::launch::async, [&] {
        return runCommand("timeout 20 ffprobe -v error -listen 1 -show_entries "
                          "format_tags:stream=codec_name,avg_frame_rate -of default=nw=1 " + url + " 2>&1");
    });
    ASSERT_TRUE(waitListening(port, 10000)) << "ffprobe never listened";
    Relay relay(port);
    ASSERT_NO_FATAL_FAILURE(publish("rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/meta"));
    Player p({pub}, FrameTime_now());
    p.play(3000, true);
    stop();
    std::string tags = probe.get();
    EXPECT_NE(tags.find("TAG:copyright=kavex"), std::string::npos) << tags;
    EXPECT_NE(tags.find("TAG:audiodelay=0"), std::string::npos) << tags;
    EXPECT_NE(tags.find("codec_name=h264\navg_frame_rate=30/1"), std::string::npos) << tags;
    std::string wire = relay.sent();
    std::string meta = amfNumber("width", 640) + amfNumber("height", 360) + amfNumber("framerate", 30) +
                       amfNumber("audiocodecid", 10) + amfNumber("videocodecid", 7) + amfNumber("audiodelay", 0);
    static const char kHead[] = "\x02\x00\x0a" "onMetaData\x03\x00\x09" "copyright\x02\x00\x05" "kavex";
    static const char kEnd[] = "\x00\x00\x09";
    EXPECT_NE(wire.find(std::string(kHead, sizeof kHead - 1) + meta + std::string(kEnd, sizeof kEnd - 1)),
              std::string::npos);
}

TEST_F(RtmpPublish, AudioOnlyWhenRtmpvSaysOne)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    root.write("/mnt/rtmpv.ini", "1\n");
    testing::internal::CaptureStdout();
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("voice")));
    EXPECT_TRUE(stats().videoOff);
    Player p({pub}, FrameTime_now());
    p.play(2000, true);
    stop();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("connect stream ok \nrtmpv.ini read=1\n"), std::string::npos) << out;
    nginx.stop();
    std::vector<FlvTag> tags = parseFlv(NginxRtmp::slurp(nginx.recording("voice")));
    ASSERT_GE(tags.size(), 50u);
    EXPECT_TRUE(isAacHeader(tags[0]));
    EXPECT_EQ(std::count_if(tags.begin(), tags.end(), [](const FlvTag &t) { return t.type == 9; }), 0);
}

// A server that stops reading must hold neither the units' producers nor its own sender for long; one
// that comes back gets a fresh stream.
TEST_F(RtmpPublish, StalledServerIsDroppedAndTheRestartedOneServed)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    testing::internal::CaptureStdout();
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("stall")));
    Player p({pub}, FrameTime_now());
    p.play(1000, true);
    nginx.pause();
    p.play(5000, false);
    bool droppedDuringStall = !connected(pub);
    nginx.crash();
    ASSERT_TRUE(nginx.start()) << nginx.errorLog();
    auto restarted = Clock::now();
    p.repace();
    while (!connected(pub) && Clock::now() - restarted < std::chrono::seconds(15)) {
        p.play(40, true);
    }
    double backAfter = std::chrono::duration<double>(Clock::now() - restarted).count();
    ASSERT_TRUE(connected(pub));
    p.play(2500, true);
    int longestSend = stats().longestSendMs;
    stop();
    std::string out = testing::internal::GetCapturedStdout();
    std::printf("longest hand-in call while stalled: %.1f ms (longest send %d ms); back %.1f s after the "
                "restart\n",
                p.longestCallMs(), longestSend, backAfter);
    EXPECT_TRUE(droppedDuringStall);
    EXPECT_LT(p.longestCallMs(), 200.0); // a copy into the queue, never the network
    EXPECT_LT(longestSend, 5000);        // the bound itself is reported above, not timed here
    EXPECT_NE(out.find("rtmp connection lost ("), std::string::npos) << out;
    EXPECT_NE(out.find("rtmp reconnected\n"), std::string::npos) << out;
    nginx.stop();

    std::vector<FlvTag> tags = parseFlv(NginxRtmp::slurp(nginx.recording("stall")));
    ASSERT_GE(tags.size(), 3u);
    EXPECT_TRUE((isAvcHeader(tags[0]) && isAacHeader(tags[1])) || (isAacHeader(tags[0]) && isAvcHeader(tags[1])))
        << describe(tags);
    auto firstFrame = std::find_if(tags.begin(), tags.end(), isVideoFrame);
    ASSERT_NE(firstFrame, tags.end());
    EXPECT_EQ(firstFrame->data[0], 0x17);
}

// The sequence header goes out once per connection, and again when the encoder's parameter sets change
// (an encoder made anew with other settings), never with every key frame.
TEST_F(RtmpPublish, ChangedParameterSetsGoOutAgain)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    Relay relay(nginx.port());
    ASSERT_NO_FATAL_FAILURE(publish("rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/sps"));
    const Media &m = media();
    Bytes changed = m.units[0];
    changed[7] ^= 0x01; // level_idc
    FrameTime t = FrameTime_now();
    EXPECT_EQ(sendVideo(pub, m.units[0], t), Outcome::Sent);
    EXPECT_EQ(sendVideo(pub, m.units[1], plusMs(t, 40)), Outcome::Sent);
    EXPECT_EQ(sendVideo(pub, m.units[0], plusMs(t, 80)), Outcome::Sent);
    EXPECT_EQ(sendVideo(pub, changed, plusMs(t, 120)), Outcome::Sent);
    stop();
    auto header = [](const Bytes &u) {
        const uint8_t h[] = {0x17, 0, 0, 0, 0, 1, u[5], u[6], u[7], 0xFF, 0xE1};
        return std::string(reinterpret_cast<const char *>(h), sizeof h);
    };
    auto count = [](const std::string &hay, const std::string &needle) {
        int n = 0;
        for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) {
            n++;
        }
        return n;
    };
    std::string wire = relay.sentOnceClosed(5000);
    EXPECT_EQ(count(wire, header(m.units[0])), 1);
    EXPECT_EQ(count(wire, header(changed)), 1);
}

// Two publishers in one process, each with its own connection, queue and stream: each server name
// records the whole stream, from its first key frame on, and both sequence headers before it although
// that key frame came before any audio.
TEST_F(RtmpPublish, TwoPublishersSideBySide)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    const std::string names[] = {"one", "two"};
    std::unique_ptr<RtmpPublisher_Object, void (*)(RtmpPublisher_Handle)> pubs[] = {
        {nullptr, RtmpPublisher_destroy}, {nullptr, RtmpPublisher_destroy}};
    for (int i = 0; i < 2; i++) {
        std::string url = nginx.url(names[i]);
        RtmpPublisherConfig config{url.c_str(), 0};
        pubs[i].reset(RtmpPublisher_create(&config));
        ASSERT_NE(pubs[i], nullptr);
    }
    ASSERT_TRUE(waitFor([&] { return connected(pubs[0].get()) && connected(pubs[1].get()); }, 10000));
    Player p({pubs[0].get(), pubs[1].get()}, FrameTime_now(), true);
    p.play(2000, true);
    for (auto &h : pubs) {
        ASSERT_TRUE(RtmpPublisher_waitIdle(h.get(), 5000));
        EXPECT_EQ(RtmpPublisher_stats(h.get()).dropped, 0u);
        h.reset();
    }
    nginx.stop();
    std::vector<int> played;
    for (int n = 0; n < p.videoSent(); n++) {
        played.push_back(n % static_cast<int>(media().units.size()));
    }
    for (const std::string &name : names) {
        std::vector<FlvTag> tags = parseFlv(NginxRtmp::slurp(nginx.recording(name)));
        ASSERT_GE(tags.size(), 2u) << name;
        EXPECT_TRUE((isAvcHeader(tags[0]) && isAacHeader(tags[1])) || (isAacHeader(tags[0]) && isAvcHeader(tags[1])))
            << name << ": " << describe(tags);
        EXPECT_EQ(recordedUnits(tags), played) << name;
    }
}

// A queue without room drops whole units: the server gets whole units only, video goes on after a gap
// only from a key frame, and each run of drops is one line with its count.
TEST_F(RtmpPublish, FullQueueDropsWholeUnitsAndVideoResumesAtAKeyFrame)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    testing::internal::CaptureStdout();
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("full"), 64 * 1024));
    Player p({pub}, FrameTime_now());
    p.play(1500, false); // faster than the sender sends
    p.repace();
    p.play(1500, true); // the last run ends at a key frame
    ASSERT_TRUE(RtmpPublisher_waitIdle(pub, 5000));
    RtmpPublisherStats s = stats();
    stop();
    std::string out = testing::internal::GetCapturedStdout();
    uint64_t said = 0;
    int lines = 0;
    const std::string line = "rtmp queue full, ";
    for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
        said += std::stoull(out.substr(at + line.size()));
        lines++;
    }
    EXPECT_GT(s.dropped, 0u);
    EXPECT_EQ(said, s.dropped) << out; // every drop is in exactly one line
    EXPECT_LT(static_cast<uint64_t>(lines), s.dropped);
    nginx.stop();

    std::vector<int> units = recordedUnits(parseFlv(NginxRtmp::slurp(nginx.recording("full"))));
    int count = static_cast<int>(media().units.size());
    ASSERT_GT(units.size(), 20u);
    EXPECT_LT(units.size(), static_cast<size_t>(p.videoSent()));
    std::printf("64 KiB queue: %llu units dropped in %d runs; %zu of %d video units recorded\n",
                static_cast<unsigned long long>(s.dropped), lines, units.size(), p.videoSent());
    EXPECT_EQ(units[0] % kFps, 0);
    for (size_t i = 1; i < units.size(); i++) {
        ASSERT_GE(units[i], 0) << "video tag " << i << " is no whole unit";
        EXPECT_TRUE(units[i] == (units[i - 1] + 1) % count || units[i] % kFps == 0)
            << "video tag " << i << ": unit " << units[i] << " after unit " << units[i - 1];
    }
}

// With no server yet the publisher says so once and keeps trying every second until one comes.
TEST_F(RtmpPublish, ServerThatComesLaterIsConnectedTo)
{
    int port = freeLoopbackPort();
    root.write("/mnt/autorun.sh", autorun("rtmp://127.0.0.1:" + std::to_string(port) + "/live/late"));
    testing::internal::CaptureStdout();
    pub = RtmpPublisher_create(nullptr);
    ASSERT_NE(pub, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_FALSE(connected(pub));
    const Bytes &u = media().units[0];
    const Bytes &a = media().adts[0];
    EXPECT_EQ(RtmpPublisher_sendVideo(pub, u.data(), static_cast<int>(u.size()), FrameTime_now()), Rtmp_ENOTCONNECTED);
    EXPECT_EQ(RtmpPublisher_sendAudio(pub, a.data(), static_cast<int>(a.size()), FrameTime_now()), Rtmp_ENOTCONNECTED);
    EXPECT_EQ(stats().dropped, 2u);
    NginxRtmp nginx(port);
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    EXPECT_TRUE(waitFor([this] { return connected(pub); }, 5000));
    stop();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("connect error\n"), out.rfind("connect error\n")) << out; // one line, not one a second
    EXPECT_NE(out.find("connect error\nconnect stream ok \nrtmpv.ini read=0\n"), std::string::npos) << out;
}

// The capture clock stepping back continues the timestamps one frame period (video) or 10 ms (audio)
// after the last ones sent; eleven days of stream ask for the restart.
TEST_F(RtmpPublish, ClockStepBackAndElevenDayLimit)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("clock")));
    const Media &m = media();
    FrameTime base = FrameTime_now();
    for (int n = 0; n < 10; n++) {
        ASSERT_EQ(sendVideo(pub, m.units[static_cast<size_t>(n)], plusMs(base, n * kVideoMs)), Outcome::Sent);
    }
    EXPECT_EQ(sendAudio(pub, m.adts[0], plusMs(base, 100)), Outcome::Sent);   // 100
    EXPECT_EQ(sendAudio(pub, m.adts[1], plusMs(base, -3000)), Outcome::Sent); // 110
    EXPECT_EQ(sendAudio(pub, m.adts[2], plusMs(base, -2979)), Outcome::Sent); // 131
    FrameTime back = plusMs(base, -2000);
    EXPECT_EQ(sendVideo(pub, m.units[10], back), Outcome::Sent);                  // 9 x 40 + 40 = 400
    EXPECT_EQ(sendVideo(pub, m.units[11], plusMs(back, kVideoMs)), Outcome::Sent); // 440
    EXPECT_FALSE(root.exists("/tmp/shell.log"));
    EXPECT_EQ(sendVideo(pub, m.units[12], plusMs(back, 950400000LL + kVideoMs)), Outcome::Sent);
    EXPECT_NE(root.read("/tmp/shell.log").find("/sbin/reboot"), std::string::npos);
    stop();
    nginx.stop();

    std::vector<uint32_t> video;
    std::vector<uint32_t> audio;
    for (const FlvTag &t : parseFlv(NginxRtmp::slurp(nginx.recording("clock")))) {
        if (isVideoFrame(t)) {
            video.push_back(t.ts);
        } else if (t.type == 8 && t.data[1] == 1) {
            audio.push_back(t.ts);
        }
    }
    ASSERT_GE(video.size(), 12u);
    EXPECT_EQ(video[9], 360u);
    EXPECT_EQ(video[10], 400u);
    EXPECT_EQ(video[11], 440u);
    EXPECT_EQ(audio, (std::vector<uint32_t>{100, 110, 131}));
}

TEST_F(RtmpPublish, AudioLengthAndAdtsChecks)
{
    const Bytes &good = media().adts[0];
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    root.write("/mnt/rtmpv.ini", "1");
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("adts")));
    FrameTime t = FrameTime_now();

    testing::internal::CaptureStdout();
    EXPECT_EQ(sendAudio(pub, Bytes(10, 0xFF), t), Outcome::Refused);
    EXPECT_EQ(sendAudio(pub, Bytes(1025, 0xFF), t), Outcome::Refused);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "audio error\naudio error\n");

    Bytes badSync = good;
    badSync[1] = 0xE1;
    Bytes badProfile = good;
    badProfile[2] |= 0xC0;
    Bytes badIndex = good;
    badIndex[2] = static_cast<uint8_t>((badIndex[2] & ~0x3C) | (13 << 2));
    testing::internal::CaptureStdout();
    EXPECT_EQ(sendAudio(pub, badSync, t), Outcome::Refused);
    EXPECT_EQ(sendAudio(pub, badSync, t), Outcome::Refused); // said once in a row
    EXPECT_EQ(sendAudio(pub, badProfile, t), Outcome::Refused);
    EXPECT_EQ(sendAudio(pub, badIndex, t), Outcome::Refused);
    EXPECT_EQ(sendAudio(pub, good, t), Outcome::Sent);
    EXPECT_EQ(sendAudio(pub, badSync, plusMs(t, 21)), Outcome::Refused); // every later frame must still be ADTS
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Bad 'syncword' at start of ADTS file\n"
              "Bad (reserved) 'profile': 3 in first frame of ADTS file\n"
              "Bad 'sampling_frequency_index' in first frame of ADTS file\n"
              "sample rate=48000\nsample rate=3\n"
              "audio error\n");
}

TEST_F(RtmpPublish, MalformedKeyFramesAreDroppedWithTheirMessages)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    ASSERT_NO_FATAL_FAILURE(publish(nginx.url("bad")));
    const Bytes &key = media().units[0];
    std::vector<Nal> nals = splitAnnexB(key);
    ASSERT_GE(nals.size(), 4u);
    FrameTime t = FrameTime_now();
    Bytes spsOnly(key.begin(), key.begin() + static_cast<long>(nals[1].begin - 4));
    Bytes spsPps(key.begin(), key.begin() + static_cast<long>(nals[2].begin - 4));
    Bytes noPps = spsOnly;
    noPps.insert(noPps.end(), key.begin() + static_cast<long>(nals[2].begin - 4), key.end());
    Bytes longSps = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x0D};
    longSps.insert(longSps.end(), 300, 0x55);
    longSps.insert(longSps.end(), key.begin() + static_cast<long>(nals[1].begin - 4), key.end());

    testing::internal::CaptureStdout();
    EXPECT_EQ(sendVideo(pub, longSps, t), Outcome::Refused);
    EXPECT_EQ(sendVideo(pub, noPps, t), Outcome::Refused);
    EXPECT_EQ(sendVideo(pub, spsPps, t), Outcome::Refused);
    // Still waiting for a unit that begins with an SPS.
    EXPECT_EQ(sendVideo(pub, media().units[1], t), Outcome::Skipped);
    EXPECT_EQ(sendVideo(pub, key, t), Outcome::Sent);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error found sps\nerror found pps\nerror found iframe\n");
}

} // namespace
