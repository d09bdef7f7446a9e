// The WHIP output against a real WHIP endpoint on loopback (whip_receiver, on webrtcbin, decoding
// what it gets): fed H.264 access units from libx264 and Opus packets from libopus, both made by
// ffmpeg once and paced in real time, the way the encoder hands them over.
#include "webrtc/whip_out.h"

#include "encode/media/annexb.h"
#include "tests/support/made_once.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/time.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Unit = std::vector<uint8_t>;
using Env = std::vector<std::pair<std::string, std::string>>;

constexpr int kFps = 30;

Unit readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Unit(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

FrameTime now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

// Access units of the byte stream: a new one at an SPS after a slice, or at a slice whose
// first_mb_in_slice is 0 (its first bit set) after a slice.
std::vector<Unit> accessUnits(const Unit &s)
{
    std::vector<Unit> units;
    size_t from = 0;
    bool afterSlice = false;
    for (size_t i = 0; i + 4 < s.size(); i++) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) {
            continue;
        }
        size_t start = i > 0 && s[i - 1] == 0 ? i - 1 : i;
        int type = s[i + 3] & 0x1F;
        bool slice = type == 1 || type == 5;
        if (afterSlice && (type == 7 || (slice && (s[i + 4] & 0x80) != 0))) {
            units.emplace_back(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(start));
            from = start;
        }
        afterSlice = slice;
        i += 2;
    }
    units.emplace_back(s.begin() + static_cast<long>(from), s.end());
    return units;
}

std::vector<Unit> videoUnits()
{
    // High profile, as a main stream usually is: the offer and the payloader must follow the SPS.
    std::string path = madeOnce("whip-v.h264", "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30 "
                                               "-t 2 -pix_fmt yuv420p -c:v libx264 -preset veryfast -tune zerolatency "
                                               "-profile:v high -g 30 -bf 0 -x264-params repeat-headers=1 -f h264 {out}");
    return path.empty() ? std::vector<Unit>{} : accessUnits(readFile(path));
}

// The packets of an Ogg Opus file, its two header packets left out.
std::vector<Unit> opusPackets()
{
    std::string path = madeOnce("whip-a.opus", "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:"
                                               "sample_rate=48000 -t 2 -ac 2 -c:a libopus -b:a 64k "
                                               "-frame_duration 20 -f ogg {out}");
    Unit s = path.empty() ? Unit{} : readFile(path);
    std::vector<Unit> packets;
    Unit packet;
    for (size_t at = 0; at + 27 <= s.size() && std::equal(s.begin() + at, s.begin() + at + 4, "OggS");) {
        size_t segments = s[at + 26];
        size_t data = at + 27 + segments;
        for (size_t k = 0; k < segments && data <= s.size(); k++) {
            size_t len = s[at + 27 + k];
            packet.insert(packet.end(), s.begin() + data, s.begin() + std::min(s.size(), data + len));
            data += len;
            if (len < 255) {
                packets.push_back(std::move(packet));
                packet.clear();
            }
        }
        at = data;
    }
    return packets.size() > 2 ? std::vector<Unit>(packets.begin() + 2, packets.end()) : std::vector<Unit>{};
}

// The output's lines: standard output into a file for the test's length, read while it runs, and
// handed on to standard error at the end so that a failing run shows them.
class CapturedLines {
public:
    explicit CapturedLines(const std::string &path) : path_(path)
    {
        std::fflush(stdout);
        saved_ = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~CapturedLines()
    {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        std::fprintf(stderr, "--- the output's lines ---\n%s", text().c_str());
    }
    std::string text() const
    {
        std::fflush(stdout);
        Unit u = readFile(path_);
        return std::string(u.begin(), u.end());
    }

private:
    std::string path_;
    int saved_ = -1;
};

// The units handed to the output at their real pace, stamped with the time they are handed over.
class Feeder {
public:
    Feeder(Output *out, const std::vector<Unit> &video, const std::vector<Unit> &audio)
        : thread_([this, out, &video, &audio] { run(out, video, audio); })
    {
    }
    ~Feeder() { stop(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void run(Output *out, const std::vector<Unit> &video, const std::vector<Unit> &audio)
    {
        auto start = Clock::now();
        for (long frame = 0, packet = 0; !stop_;) {
            auto videoAt = start + std::chrono::microseconds(frame * 1000000 / kFps);
            auto audioAt = start + std::chrono::milliseconds(packet * 20);
            bool takeVideo = audio.empty() || videoAt <= audioAt;
            std::this_thread::sleep_until(takeVideo ? videoAt : audioAt);
            const Unit &u = takeVideo ? video[frame++ % video.size()] : audio[packet++ % audio.size()];
            bool key = takeVideo && AnnexB_beginsWithSps(u.data(), static_cast<int>(u.size()));
            OutputUnit unit{u.data(), static_cast<int>(u.size()), now(), key || !takeVideo};
            takeVideo ? out->video(unit) : out->audio(unit);
        }
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool waitUntil(const std::function<bool()> &done, double seconds)
{
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The receiver's last "NAME=N" figure.
unsigned long long lastCount(const std::string &out, const std::string &name)
{
    size_t at = out.rfind(name + "=");
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + name.size() + 1));
}

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void askKeyFrame(void *ctx)
{
    static_cast<std::atomic<int> *>(ctx)->fetch_add(1);
}

enum class Trial { Publishes, WrongToken, UntrustedCertificate, EndpointRestarts, StopWithEndpointStalled };

struct Case {
    const char *name;
    Trial trial;
    const char *endpointToken; // the receiver's; "" takes any
    const char *sentToken;     // the output's
};

// Each case: an endpoint on a free loopback port, the output publishing to it fed at real pace,
// then what the case does to the endpoint and what the output must make of it.
const Case kCases[] = {
    {"pictures and Opus arrive, the bearer token taken, PLIs ask for key frames", Trial::Publishes,
     "right-token-4711", "right-token-4711"},
    {"a wrong token: one refusal line, waiting, the token never shown", Trial::WrongToken, "right-token-4711",
     "wrong-token-0815"},
    {"https with a certificate the system does not trust: refused, nothing sent", Trial::UntrustedCertificate, "",
     "any-token-1234"},
    {"an endpoint started again gets pictures within the back-off", Trial::EndpointRestarts, "", ""},
    {"the stop is bounded with the endpoint stalled", Trial::StopWithEndpointStalled, "", ""},
};

// The endpoint of a case: the WHIP receiver, or for https a TLS server with a self-signed certificate.
std::unique_ptr<ProgramRun> startEndpoint(const TempRoot &root, const Case &c, int port, const char *name)
{
    if (c.trial == Trial::UntrustedCertificate) {
        std::string key = root.path("/tmp/key.pem");
        std::string cert = root.path("/tmp/cert.pem");
        int st = -1;
        runCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 "
                   "-addext subjectAltName=IP:127.0.0.1 -days 1 -keyout '" + key + "' -out '" + cert + "' 2>&1",
                   &st);
        EXPECT_EQ(st, 0);
        auto tls = std::make_unique<ProgramRun>(
            root, "/usr/bin/openssl",
            std::vector<std::string>{"s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", cert,
                                     "-key", key, "-www"},
            Env{}, name);
        EXPECT_TRUE(tls->waitForOutput("ACCEPT"));
        return tls;
    }
    std::vector<std::string> args = {std::to_string(port), "--pli"};
    if (*c.endpointToken != '\0') {
        args.insert(args.end(), {"--token", c.endpointToken});
    }
    auto endpoint = std::make_unique<ProgramRun>(root, WHIP_RECEIVER_BINARY, args, Env{}, name);
    EXPECT_TRUE(endpoint->waitForOutput("listening on"));
    return endpoint;
}

using Publisher = std::unique_ptr<WhipOut_Object, decltype(&WhipOut_destroy)>;

TEST(WhipOut, AgainstAnEndpointOnLoopback)
{
    const std::vector<Unit> video = videoUnits();
    const std::vector<Unit> audio = opusPackets();
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(audio.empty());
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        int port = freeLoopbackPort();
        ASSERT_NE(port, 0);
        std::unique_ptr<ProgramRun> endpoint = startEndpoint(root, c, port, "endpoint");
        CapturedLines lines(root.path("/tmp/output.lines"));
        std::atomic<int> asks{0};
        const char *scheme = c.trial == Trial::UntrustedCertificate ? "https" : "http";
        std::string where = "127.0.0.1:" + std::to_string(port) + "/whip/live";
        WhipSettings settings{true, std::string(scheme) + "://user:secret@" + where + "?key=hidden", c.sentToken};
        Publisher h(WhipOut_create(settings, askKeyFrame, &asks), WhipOut_destroy);
        ASSERT_NE(h, nullptr);
        Output *out = WhipOut_output(h.get());
        auto status = [out] {
            nlohmann::json j;
            out->report(0, j);
            return j;
        };
        auto frames = [&] { return lastCount(endpoint->out(), "frames"); };
        Feeder feeder(out, video, audio);

        if (c.trial == Trial::WrongToken || c.trial == Trial::UntrustedCertificate) {
            bool tls = c.trial == Trial::UntrustedCertificate;
            std::string line = tls ? "whip: cannot reach https://" + where + ": SSL certificate problem"
                                   : "whip: the endpoint answered 401: refused: wrong or no token";
            // Three tries at least, each refused alike.
            ASSERT_TRUE(waitUntil(
                [&] {
                    return tls ? occurrences(endpoint->err(), "unknown ca") >= 3
                               : occurrences(endpoint->out(), "refused 401") >= 3;
                },
                20));
            EXPECT_EQ(occurrences(lines.text(), line), 1u) << lines.text();
            EXPECT_EQ(status()["state"], "waiting");
            EXPECT_EQ(status()["bytes"], 0);
            EXPECT_NE(status()["error"].get<std::string>().find(tls ? "certificate" : "401"), std::string::npos);
            EXPECT_EQ(lines.text().find(c.sentToken), std::string::npos);
            EXPECT_EQ(status().dump().find(c.sentToken), std::string::npos);
            continue;
        }
        ASSERT_TRUE(waitUntil([&] { return frames() >= 30; }, 20)) << endpoint->out();
        if (c.trial == Trial::Publishes) {
            EXPECT_TRUE(waitUntil([&] { return lastCount(endpoint->out(), "opus") >= 25; }, 5)) << endpoint->out();
            EXPECT_TRUE(waitUntil([&] { return asks.load() >= 2; }, 10)) << "one at the start, one per PLI";
            nlohmann::json j = status();
            EXPECT_EQ(j["kind"], "whip");
            EXPECT_EQ(j["state"], "ok");
            EXPECT_EQ(j["target"], "http://" + where);
            EXPECT_GT(j["bytes"].get<uint64_t>(), 0u);
            EXPECT_EQ(lines.text().find(c.sentToken), std::string::npos);
            std::fprintf(stderr, "frames received: %llu, opus packets: %llu, key frames asked: %d\n", frames(),
                         lastCount(endpoint->out(), "opus"), asks.load());
            // The stop ends the session at its Location (given relative), with the token.
            feeder.stop();
            h.reset();
            EXPECT_TRUE(endpoint->waitForOutput("session s1 deleted", 5)) << endpoint->out();
        }
        if (c.trial == Trial::EndpointRestarts) {
            endpoint->signal(SIGKILL);
            endpoint->wait();
            auto killed = Clock::now();
            // Its silence is what tells a killed endpoint: no word comes from it.
            ASSERT_TRUE(waitUntil([&] { return status()["state"] == "waiting"; }, 20)) << lines.text();
            double noticed = secondsSince(killed);
            endpoint = startEndpoint(root, c, port, "endpoint2");
            auto restarted = Clock::now();
            // A try a second, then the session's own bounded steps and the next key frame (one a second).
            EXPECT_TRUE(waitUntil([&] { return frames() > 0; }, 6)) << lines.text();
            std::fprintf(stderr, "loss noticed after %.1f s, pictures again %.1f s after the restart\n", noticed,
                         secondsSince(restarted));
            EXPECT_EQ(status()["reconnects"], 1);
        }
        if (c.trial == Trial::StopWithEndpointStalled) {
            endpoint->signal(SIGSTOP);
            feeder.stop();
            auto stopping = Clock::now();
            h.reset();
            double took = secondsSince(stopping);
            std::fprintf(stderr, "the stop took %.2f s with the endpoint stalled\n", took);
            EXPECT_LT(took, 3.0);
            endpoint->signal(SIGCONT);
        }
    }
}

// What the status and the lines name the endpoint by: never its user info, query or fragment.
TEST(WhipUrlPublic, LeavesOutUserInfoQueryAndFragment)
{
    const struct {
        const char *url;
        const char *shown;
    } cases[] = {
        {"https://user:pw@host.example:8443/whip/x?token=abc#f", "https://host.example:8443/whip/x"},
        {"http://host.example/whip", "http://host.example/whip"},
        {"http://host.example/a@b/whip", "http://host.example/a@b/whip"}, // an @ in the path is no user info
        {"http://host.example?session=1", "http://host.example"},
        {"https://u@[::1]:8080/w", "https://[::1]:8080/w"},
        {"http://a:b@c@host.example/w", "http://host.example/w"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(WhipUrl_public(c.url), c.shown) << c.url;
    }
}

} // namespace
