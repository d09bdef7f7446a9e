// The SRT output end to end: `encode` with srt.ini in a temporary root, against real SRT peers on
// loopback (ffmpeg with libsrt, srt-live-transmit), some of them behind a relay that loses 5 % of the
// datagrams each way. Caller mode: a passphrase refused and accepted, a peer stopped, killed and
// started again while UDP keeps its pace. Listener mode: three callers at once, one of them leaving,
// one behind the lossy relay, beside plain UDP through the same kind of relay.
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr const char *kFfmpeg = "/usr/bin/ffmpeg";
constexpr const char *kLiveTransmit = "/usr/bin/srt-live-transmit";

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A UDP forwarder on 127.0.0.1 in front of `target`: what the first sender sends to it goes on to the
// target, what the target answers goes back to that sender, and each way loses `lossPercent` of the
// datagrams at random.
class LossyRelay {
public:
    LossyRelay(int target, int lossPercent) : loss_(lossPercent)
    {
        front_ = bound(0);
        back_ = bound(0);
        sockaddr_in t = loopback(target);
        connect(back_, reinterpret_cast<sockaddr *>(&t), sizeof t);
        thread_ = std::thread([this] { run(); });
    }
    ~LossyRelay()
    {
        stop_ = true;
        thread_.join();
        close(front_);
        close(back_);
    }
    LossyRelay(const LossyRelay &) = delete;
    LossyRelay &operator=(const LossyRelay &) = delete;

    int port() const { return portOf(front_); }
    uint64_t dropped() const { return dropped_; }

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        return sa;
    }
    static int bound(int port)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in sa = loopback(port);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        return fd;
    }
    static int portOf(int fd)
    {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
        return ntohs(sa.sin_port);
    }
    bool keep() { return static_cast<int>(rng_() % 100) >= loss_ || (dropped_++, false); }
    void run()
    {
        uint8_t buf[2048];
        sockaddr_in sender{};
        bool known = false;
        while (!stop_) {
            pollfd p[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) {
                continue;
            }
            if ((p[0].revents & POLLIN) != 0) {
                socklen_t len = sizeof sender;
                ssize_t n = recvfrom(front_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sender), &len);
                known = known || n > 0;
                if (n > 0 && keep()) {
                    send(back_, buf, static_cast<size_t>(n), 0);
                }
            }
            if ((p[1].revents & POLLIN) != 0) {
                ssize_t n = recv(back_, buf, sizeof buf, 0);
                if (n > 0 && known && keep()) {
                    sendto(front_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&sender),
                           sizeof sender);
                }
            }
        }
    }

    int loss_;
    int front_ = -1;
    int back_ = -1;
    std::mt19937 rng_{20240611};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What a transport stream says of itself: packets of its PES streams out of step with their PID's
// continuity counter, and the video PES packets (pictures) in it.
struct TsCheck {
    int continuityErrors = 0;
    int pictures = 0;
    bool aligned = true;
};

TsCheck checkTs(const Bytes &b)
{
    TsCheck c;
    std::map<int, int> last;
    for (size_t i = 0; i + 188 <= b.size(); i += 188) {
        const uint8_t *p = b.data() + i;
        if (p[0] != 0x47) {
            c.aligned = false;
            return c;
        }
        int pid = ((p[1] & 0x1F) << 8) | p[2];
        int control = (p[3] >> 4) & 3;
        if (pid == 0x1FFF || (control & 1) == 0) {
            continue;
        }
        int at = 4 + ((control & 2) != 0 ? 1 + p[4] : 0);
        bool pes = (p[1] & 0x40) != 0 && at + 4 <= 188 && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1;
        c.pictures += pes && (p[at + 3] & 0xF0) == 0xE0 ? 1 : 0;
        // Only the PES streams: the multiplexer repeats PAT and PMT with the same counter.
        auto it = last.find(pid);
        if (it == last.end() && !pes) {
            continue;
        }
        int cc = p[3] & 0x0F;
        c.continuityErrors += it != last.end() && cc != ((it->second + 1) & 0x0F) ? 1 : 0;
        last[pid] = cc;
    }
    return c;
}

Bytes joined(const std::vector<UdpCapture::Datagram> &datagrams)
{
    Bytes b;
    for (const auto &d : datagrams) {
        b.insert(b.end(), d.bytes.begin(), d.bytes.end());
    }
    return b;
}

// The longest silence between datagrams that arrived after `from`, in seconds.
double longestGap(const std::vector<UdpCapture::Datagram> &datagrams, Clock::time_point from)
{
    double gap = 0;
    Clock::time_point prev = from;
    for (const auto &d : datagrams) {
        if (d.at < from) {
            continue;
        }
        gap = std::max(gap, std::chrono::duration<double>(d.at - prev).count());
        prev = d.at;
    }
    return std::max(gap, secondsSince(prev));
}

size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

// Players here keep the stream's own timestamps and time base (-fps_mode passthrough -enc_time_base -1):
// they are capture times, and on a loaded machine two of them can fall into one tick of a frame-rate
// time base, which the null muxer would complain of although every picture decodes.
class SrtOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        offset_ = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995, 10000});
        ASSERT_GT(offset_, 0);
        srtPort_ = freeLoopbackPort(SOCK_DGRAM);
        ASSERT_GT(srtPort_, 0);
        // A key frame every second, so that a player that joins starts within one.
        root.write("/mnt/idr.ini", "30");
    }

    // 720P at 30 frames a second with AAC, UDP to `udpPort`.
    void start(int udpPort)
    {
        program = std::make_unique<ProgramRun>(
            root, ENCODE_BINARY,
            std::vector<std::string>{"-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000", "-z",
                                     "127.0.0.1", "-c", std::to_string(udpPort), "-y", "3", "-f", "30", "-b",
                                     "2000000", "-i", "30"},
            std::vector<std::pair<std::string, std::string>>{{"ENCODE_VIDEO_SOURCE", "testsrc"},
                                                             {"ENCODE_AUDIO_SOURCE", "tone"},
                                                             {"ENCODE_PORT_OFFSET", std::to_string(offset_)}});
    }
    void stop()
    {
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(10), 0) << program->err();
    }

    // The SRT output's entry of the status, once `ready` holds for it (null when it never did).
    nlohmann::json srtStatusWhen(const std::function<bool(const nlohmann::json &)> &ready, int seconds)
    {
        auto until = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < until) {
            nlohmann::json doc = nlohmann::json::parse(root.read("/tmp/encode.status"), nullptr, false);
            if (doc.is_object() && doc["outputs"].is_array()) {
                for (const auto &o : doc["outputs"]) {
                    if (o.value("kind", "") == "srt" && ready(o)) {
                        return o;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return nullptr;
    }

    // A listener that stays after its caller leaves, as a receiving server does. ffmpeg takes one
    // connection and ends with it, so a call that fails in its handshake after the listener has taken
    // it (seen once on a loaded machine) would leave no listener for the caller's next try.
    std::unique_ptr<ProgramRun> stayingListener(const std::string &passphrase, const std::string &name)
    {
        return std::make_unique<ProgramRun>(
            root, kLiveTransmit,
            std::vector<std::string>{"-v", "srt://127.0.0.1:" + std::to_string(srtPort_) +
                                               "?mode=listener&passphrase=" + passphrase,
                                     "file://con"},
            std::vector<std::pair<std::string, std::string>>{}, name);
    }

    std::unique_ptr<ProgramRun> ffmpegListener(const std::string &passphrase, const std::string &name)
    {
        return std::make_unique<ProgramRun>(
            root, kFfmpeg,
            std::vector<std::string>{"-nostdin", "-v", "error", "-i",
                                     "srt://127.0.0.1:" + std::to_string(srtPort_) +
                                         "?mode=listener&passphrase=" + passphrase,
                                     "-f", "null", "-"},
            std::vector<std::pair<std::string, std::string>>{}, name);
    }

    // Decodes a TS file cut to whole units; ffmpeg's complaints, "" when clean.
    std::string decodeFile(const std::string &name)
    {
        Bytes b = readBytes(name);
        size_t cut = 0;
        for (size_t i = 0; i + 188 <= b.size(); i += 188) {
            bool patStart = b[i] == 0x47 && (b[i + 1] & 0x40) != 0 && (((b[i + 1] & 0x1F) << 8) | b[i + 2]) == 0;
            cut = patStart ? i : cut;
        }
        root.write("/tmp/whole-" + name, std::string(b.begin(), b.begin() + static_cast<long>(cut)));
        int rc = -1;
        std::string out = runCommand("ffmpeg -nostdin -v error -i '" + root.path("/tmp/whole-" + name) +
                                         "' -map 0:v:0 -map 0:a:0 -fps_mode passthrough -enc_time_base -1 -f null - 2>&1",
                                     &rc);
        return rc == 0 ? out : out + "(status " + std::to_string(rc) + ")";
    }
    Bytes readBytes(const std::string &name)
    {
        std::string s = root.read("/tmp/" + name);
        return Bytes(s.begin(), s.end());
    }

    TempRoot root{true};
    std::unique_ptr<ProgramRun> program;
    int offset_ = 0;
    int srtPort_ = 0;
};

// Caller mode against ffmpeg as listener: a wrong passphrase is refused and said while UDP goes on; the
// right one gives h264 and AAC that decode without a complaint. Then a listening server
// (srt-live-transmit) is stopped for 5 s, killed and started again: UDP never pauses, the loss is said
// once and the call is back within 3 s. A stopped peer does not hold up the encoder's end either.
TEST_F(SrtOutputTest, CallerRefusedAcceptedStoppedAndBack)
{
    UdpCapture udp;
    root.write("/mnt/srt.ini", "enable=1\nmode=caller\nhost=127.0.0.1\nport=" + std::to_string(srtPort_) +
                                   "\nlatency=120\npassphrase=rightpassphrase1\npbkeylen=16\n");
    start(udp.port());

    auto wrong = ffmpegListener("wrongpassphrase2", "wrong");
    ASSERT_TRUE(program->waitForOutput("refused the passphrase", 15)) << program->out();
    EXPECT_FALSE(srtStatusWhen([](const nlohmann::json &o) { return o.value("state", "") == "error"; }, 5).is_null());
    size_t before = udp.count();
    EXPECT_TRUE(udp.waitFor(before + 30, 3)) << "UDP stopped while the call was refused";
    wrong->signal(SIGKILL);
    wrong->wait(5);

    int rc = -1;
    std::string complaints =
        runCommand("timeout 30 ffmpeg -nostdin -v error -i 'srt://127.0.0.1:" + std::to_string(srtPort_) +
                       "?mode=listener&passphrase=rightpassphrase1' -map 0:v:0 -map 0:a:0 -fps_mode passthrough -enc_time_base -1 -t 4 "
                       "-f null - 2>&1",
                   &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(complaints, "");

    size_t calls = countOf(program->out(), "srt reconnected to");
    auto peer = stayingListener("rightpassphrase1", "peer");
    auto until = Clock::now() + std::chrono::seconds(10);
    while (countOf(program->out(), "srt reconnected to") < calls + 1 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(countOf(program->out(), "srt reconnected to"), calls + 1) << program->out() << peer->err();
    size_t losses = countOf(program->out(), "lost (");

    Clock::time_point stopped = Clock::now();
    peer->signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(5)); // the outage under test
    peer->signal(SIGKILL);
    peer->wait(5);
    auto again = stayingListener("rightpassphrase1", "again");
    Clock::time_point back = Clock::now();
    until = back + std::chrono::seconds(10);
    while (countOf(program->out(), "srt reconnected to") < calls + 2 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double backAfter = secondsSince(back);
    EXPECT_LE(backAfter, 3.0) << program->out() << again->err();
    EXPECT_EQ(countOf(program->out(), "lost ("), losses + 1) << program->out();
    double gap = longestGap(udp.datagrams(), stopped);
    EXPECT_LT(gap, 0.2);
    std::printf("[ figures  ] caller back %.2f s after the peer; longest UDP pause %.3f s\n", backAfter, gap);

    again->signal(SIGSTOP);
    Clock::time_point ending = Clock::now();
    stop();
    std::printf("[ figures  ] encode ended %.2f s after SIGTERM with its peer stopped\n", secondsSince(ending));
    again->signal(SIGKILL);
}

// Listener mode: ffmpeg and srt-live-transmit call at once and a third caller comes through a relay
// that loses 5 % each way; the status lists the three connections; of two more, one is refused. ffmpeg
// leaves after 4 s without disturbing the others: srt-live-transmit's stream decodes cleanly and has no
// continuity error, and so has the 10 s that came through the lossy relay, with retransmissions in the
// status, while plain UDP through the same kind of relay shows continuity errors.
TEST_F(SrtOutputTest, ListenerServesCallersAndRepairsLoss)
{
    UdpCapture udp;
    LossyRelay udpRelay(udp.port(), 5);
    LossyRelay srtRelay(srtPort_, 5);
    root.write("/mnt/srt.ini",
               "enable=1\nmode=listener\nhost=\nport=" + std::to_string(srtPort_) + "\nlatency=120\n");
    start(udpRelay.port());
    // No address: where the TCP servers listen, which the test keeps on loopback.
    ASSERT_TRUE(program->waitForOutput("srt listening on 127.0.0.1:", 15)) << program->out() << program->err();

    std::string direct = "srt://127.0.0.1:" + std::to_string(srtPort_);
    std::string relayed = "srt://127.0.0.1:" + std::to_string(srtRelay.port()) + "?latency=120";
    ProgramRun viaRelay(root, kLiveTransmit, {"-q", "-a:no", "-t:12", relayed, "file://con"}, {}, "relayed");
    ProgramRun transmit(root, kLiveTransmit, {"-q", "-a:no", "-t:9", direct, "file://con"}, {}, "transmit");
    ProgramRun player(root, kFfmpeg,
                      {"-nostdin", "-v", "error", "-i", direct, "-map", "0:v:0", "-map", "0:a:0", "-fps_mode",
                       "passthrough", "-enc_time_base", "-1", "-t", "4", "-f", "null", "-"},
                      {}, "player");

    nlohmann::json three = srtStatusWhen([](const nlohmann::json &o) { return o.value("clients", 0) == 3; }, 15);
    ASSERT_FALSE(three.is_null()) << program->out();
    for (const auto &c : three["connections"]) {
        EXPECT_TRUE(c.contains("rtt_ms") && c.contains("send_kbps") && c.contains("retransmitted") &&
                    c.contains("dropped"))
            << c.dump();
    }

    // A fourth caller is taken, a fifth is refused while four are connected.
    ProgramRun fourth(root, kLiveTransmit, {"-q", "-a:no", "-t:3", direct, "file://con"}, {}, "fourth");
    ProgramRun fifth(root, kLiveTransmit, {"-q", "-a:no", "-t:3", direct, "file://con"}, {}, "fifth");
    EXPECT_TRUE(program->waitForOutput("refused: 4 callers already", 10)) << program->out();
    fourth.wait(10);
    fifth.wait(10);

    EXPECT_EQ(player.wait(30), 0) << player.err();
    EXPECT_EQ(player.err(), "");
    size_t whenPlayerLeft = readBytes("transmit.out").size();
    ASSERT_TRUE(program->waitForOutput("left", 5)) << program->out();

    nlohmann::json repaired =
        srtStatusWhen([](const nlohmann::json &o) { return o.value("retransmitted", 0) > 0; }, 15);
    EXPECT_FALSE(repaired.is_null()) << "no retransmission in the status";
    transmit.wait(20);
    repaired = srtStatusWhen([](const nlohmann::json &o) { return o.value("retransmitted", 0) > 0; }, 5);
    viaRelay.wait(20);

    Bytes kept = readBytes("transmit.out");
    TsCheck t = checkTs(kept);
    EXPECT_TRUE(t.aligned);
    EXPECT_EQ(t.continuityErrors, 0);
    EXPECT_GT(kept.size(), whenPlayerLeft + 100000) << "the stream stopped when another caller left";
    EXPECT_EQ(decodeFile("transmit.out"), "");

    TsCheck r = checkTs(readBytes("relayed.out"));
    EXPECT_TRUE(r.aligned);
    EXPECT_EQ(r.continuityErrors, 0);
    EXPECT_GE(r.pictures, 270) << "less than 9 s came through the relay";
    EXPECT_EQ(decodeFile("relayed.out"), "");

    TsCheck u = checkTs(joined(udp.datagrams()));
    EXPECT_GT(u.continuityErrors, 0) << "the relay lost nothing of the UDP stream";
    std::printf("[ figures  ] through 5 %% loss: SRT %d pictures, 0 continuity errors, %llu packets retransmitted; "
                "UDP %d continuity errors; relays dropped %llu + %llu datagrams\n",
                r.pictures, static_cast<unsigned long long>(repaired.value("retransmitted", 0ull)),
                u.continuityErrors, static_cast<unsigned long long>(srtRelay.dropped()),
                static_cast<unsigned long long>(udpRelay.dropped()));
    stop();
}

} // namespace
