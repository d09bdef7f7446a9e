// Every output of `encode` at once, a real client on each, and their peers broken one at a time
// while the stream that must never wait (UDP, or HTTP in the second run) is watched: what an
// unattended box meets in the field. Each run is one `encode` and one table of faults; each fault
// is judged by the longest pause of the watched stream while it lasts, and by its own output coming
// back once its peer does. The longest pauses are printed, for the record.
#include "tests/support/made_once.h"
#include "tests/support/net.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/process.h"
#include "tests/support/rtsp_probe.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kSlot1 = 8888;
constexpr int kSlot2 = 8887;
constexpr int kHttpPort = 10000;
// The longest the watched stream may pause while another output's peer misbehaves.
constexpr double kLongestPause = 0.2;
// How far behind live a working client may fall before the box itself calls it slow.
constexpr double kClientLag = 2.0;
// One try to connect: a storm of clients fills the listen backlog, and a test client must not wait on it.
constexpr int kConnectMs = 300;

// A program under test: the one built beside this test, unless a sanitized build is put in its place.
std::string programPath(const char *variable, const char *built)
{
    const char *other = std::getenv(variable);
    return other != nullptr && *other != '\0' ? other : built;
}
const std::string kEncode = programPath("ENCODE_TEST_ENCODE_BINARY", ENCODE_BINARY);
const std::string kRtspServer = programPath("ENCODE_TEST_RTSP_SERVER_BINARY", RTSP_SERVER_BINARY);

// How much longer a sanitized build may take to serve a returning peer or to stop, and how much
// longer it may pause: under ThreadSanitizer the run looks for races, not for timing.
double timeScale()
{
    const char *scale = std::getenv("ENCODE_TEST_TIME_SCALE");
    return scale != nullptr && std::atof(scale) >= 1 ? std::atof(scale) : 1.0;
}

double secondsBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// The longest gap between arrivals in [from, to), counting the edges of the window.
double longestGap(const std::vector<Clock::time_point> &arrivals, Clock::time_point from, Clock::time_point to)
{
    double longest = 0;
    Clock::time_point last = from;
    for (Clock::time_point at : arrivals) {
        if (at >= from && at < to) {
            longest = std::max(longest, secondsBetween(last, at));
            last = at;
        }
    }
    return std::max(longest, secondsBetween(last, to));
}

// Closes with a reset instead of a FIN, as a client that crashes or is cut off does.
void resetAndClose(int fd)
{
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

// A client that reads everything it is sent on its own thread and notes when each read came.
class Reader {
public:
    // `request` is sent first (an HTTP GET; empty for a stream slot).
    Reader(int port, const std::string &request) : fd_(connectLoopback(port, kConnectMs))
    {
        if (fd_ >= 0 && !request.empty()) {
            send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Reader()
    {
        stop_ = true;
        thread_.join();
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    bool connected() const { return fd_ >= 0; }
    size_t bytes() const { return bytes_; }
    std::vector<Clock::time_point> arrivals()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }
    bool waitForBytes(size_t n, double within)
    {
        auto until = Clock::now() + milliseconds(static_cast<int>(within * 1000));
        while (bytes_ < n && Clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(20));
        }
        return bytes_ >= n;
    }

private:
    void run()
    {
        char buf[65536];
        while (!stop_ && fd_ >= 0) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                return;
            }
            bytes_ += static_cast<size_t>(n);
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_.push_back(Clock::now());
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> bytes_{0};
    std::mutex mutex_;
    std::vector<Clock::time_point> arrivals_;
    std::thread thread_;
};

// One fault: what breaks the peer (and mends it again where the peer comes back), and how the
// output shows it is back. `back` is asked until it says yes or `backWithin` seconds have passed.
struct Fault {
    const char *name;
    std::function<void()> inflict;
    std::function<bool()> back;
    double backWithin;
};

// The table's verdicts: the watched stream's longest pause during each fault, and the time its
// output took to come back.
class FaultRun {
public:
    explicit FaultRun(std::function<std::vector<Clock::time_point>()> watched) : watched_(std::move(watched)) {}

    void run(const std::vector<Fault> &faults)
    {
        for (const Fault &f : faults) {
            SCOPED_TRACE(f.name);
            std::printf("fault: %s ...\n", f.name);
            std::fflush(stdout);
            auto from = Clock::now();
            f.inflict();
            auto broken = Clock::now();
            bool back = false;
            double within = f.backWithin * timeScale();
            while (!(back = f.back()) && secondsBetween(broken, Clock::now()) < within) {
                std::this_thread::sleep_for(milliseconds(50));
            }
            auto to = Clock::now();
            double pause = longestGap(watched_(), from, to);
            std::printf("fault: %-58s longest pause %.3f s, back after %.2f s\n", f.name, pause,
                        secondsBetween(broken, to));
            std::fflush(stdout);
            EXPECT_LT(pause, kLongestPause * timeScale());
            EXPECT_TRUE(back) << "not back within " << within << " s";
        }
    }

private:
    std::function<std::vector<Clock::time_point>()> watched_;
};

std::vector<Clock::time_point> times(const std::vector<UdpCapture::Datagram> &grams)
{
    std::vector<Clock::time_point> out;
    out.reserve(grams.size());
    for (const auto &d : grams) {
        out.push_back(d.at);
    }
    return out;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}

class FaultSuite : public ::testing::Test {
protected:
    // The noisy picture, so that the stream fills its bit rate.
    void SetUp() override
    {
        offset_ = freePortOffset({kSlot1, kSlot1 - 1, kSlot1 - 2, kSlot1 - 3, kSlot1 - 4, 7777, 9999, 9998, 9997,
                                  9996, 9995, kHttpPort});
        ASSERT_GT(offset_, 0);
        noisy_ = noisyPicture();
        ASSERT_FALSE(noisy_.empty()) << "ffmpeg could not make the noisy picture";
        root.write("/mnt/idr.ini", "30");
        root.write("/mnt/tcp.ini", "1");
        root.write("/mnt/tsf.ini", "1");
        root.write("/mnt/fn", "export f=rec1\n");
        std::filesystem::create_directories(root.path("/mnt/usb/record"));
    }

    int port(int fixed) const { return fixed + offset_; }

    // 720p30 at 4 Mbit/s with AAC; UDP destination 1 is watched, 2 has nobody listening and 3 is an
    // address nothing answers from (documentation range: never routed anywhere).
    void startEncode(const std::vector<std::pair<std::string, std::string>> &extraEnv = {},
                     const std::string &binary = kEncode, std::vector<std::string> prefix = {})
    {
        std::vector<std::string> args = {"-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000",
                                         "-z", "127.0.0.1", "-c", udp.portText(), "-d", "127.0.0.1", "-m",
                                         std::to_string(freeLoopbackPort(SOCK_DGRAM)), "-e", "192.0.2.1", "-n", "5004",
                                         "-y", "3", "-f", "30", "-b", "4000000", "-i", "30"};
        prefix.insert(prefix.end(), args.begin(), args.end());
        std::vector<std::pair<std::string, std::string>> env = {{"ENCODE_VIDEO_SOURCE", "file:" + noisy_},
                                                                {"ENCODE_AUDIO_SOURCE", "tone"},
                                                                {"ENCODE_PORT_OFFSET", std::to_string(offset_)}};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        encode = std::make_unique<ProgramRun>(root, binary, prefix, env, "encode");
    }

    // SIGTERM under full load (or inside a capture gap): the encoder is gone within 2 s with status 0.
    void stopUnderLoad(const char *when = "under load")
    {
        auto asked = Clock::now();
        encode->signal(SIGTERM);
        int status = encode->wait(10);
        double took = secondsBetween(asked, Clock::now());
        std::printf("SIGTERM %s: status %d after %.2f s\n", when, status, took);
        EXPECT_EQ(status, 0) << encode->err();
        EXPECT_LT(took, 2.0 * timeScale());
    }

    // A fresh client on slot 1 (or an HTTP player) gets bytes within a second.
    bool slotServes()
    {
        Reader r(port(kSlot1), "");
        return r.waitForBytes(1, 1.0);
    }
    bool httpServes()
    {
        Reader r(port(kHttpPort), kGet);
        return r.waitForBytes(1, 1.0);
    }
    static constexpr const char *kGet = "GET / HTTP/1.0\r\n\r\n";

    int startRtspServer()
    {
        rtsp = std::make_unique<ProgramRun>(root, kRtspServer,
                                            std::vector<std::string>{"--address", "127.0.0.1", "--port", "0"},
                                            std::vector<std::pair<std::string, std::string>>{},
                                            "rtsp" + std::to_string(++rtspRuns_));
        const std::string mark = "rtsp_server: serving rtsp://127.0.0.1:";
        if (!rtsp->waitForOutput(mark)) {
            return 0;
        }
        std::string out = rtsp->out();
        return std::atoi(out.c_str() + out.find(mark) + mark.size());
    }

    TempRoot root{true};
    UdpCapture udp;
    std::unique_ptr<ProgramRun> encode;
    std::unique_ptr<ProgramRun> rtsp;
    std::string noisy_;
    int offset_ = 0;
    int rtspRuns_ = 0;
};

// UDP to three destinations, the TCP slots, the RTSP hand-off read by rtsp_server and recording, all
// at once; UDP destination 1 is watched while the other peers are broken.
TEST_F(FaultSuite, UdpWithSlotsRtspAndRecording)
{
    root.write("/mnt/rtsp.ini", "1");
    root.write("/mnt/rtsporrtmp.ini", "0");
    int rtspPort = startRtspServer();
    ASSERT_GT(rtspPort, 0) << rtsp->err();
    startEncode();
    ASSERT_TRUE(udp.waitFor(1, 30)) << encode->out() << encode->err();
    Reader slot2(port(kSlot2), "");
    ASSERT_TRUE(slot2.waitForBytes(100000, 10)) << encode->out();
    ASSERT_FALSE(rtsp_probe::probe(rtspPort, 1).empty()) << rtsp->err();
    auto started = Clock::now();

    int idle = -1;
    std::vector<Fault> faults = {
        {"a slot client that connects and never reads",
         [&] {
             idle = connectLoopback(port(kSlot1), kConnectMs);
             int shrink = 4096;
             setsockopt(idle, SOL_SOCKET, SO_RCVBUF, &shrink, sizeof shrink);
         },
         [&] { return count(encode->out(), "close socket1") >= 1 && slotServes(); }, 8},
        {"30 clients connecting and resetting at once, for 10 s",
         [&] {
             close(idle);
             auto until = Clock::now() + seconds(10);
             while (Clock::now() < until) {
                 std::vector<int> fds;
                 for (int i = 0; i < 30; i++) {
                     fds.push_back(connectLoopback(port(kSlot1 - i % 5), kConnectMs));
                 }
                 for (int fd : fds) {
                     if (fd >= 0) {
                         resetAndClose(fd);
                     }
                 }
             }
         },
         [&] { return slotServes(); }, 3},
        {"rtsp_server stopped 5 s",
         [&] {
             rtsp->signal(SIGSTOP);
             std::this_thread::sleep_for(seconds(5));
             rtsp->signal(SIGCONT);
         },
         [&] { return !rtsp_probe::probe(rtspPort, 1).empty(); }, 5},
        {"rtsp_server killed and started again",
         [&] {
             rtsp->signal(SIGKILL);
             rtsp->wait(5);
             rtspPort = startRtspServer();
         },
         [&] { return rtspPort > 0 && !rtsp_probe::probe(rtspPort, 1).empty(); }, 5},
    };
    FaultRun(
        [&] { return times(udp.datagrams()); })
        .run(faults);

    // Beside every fault: a slot reader that keeps up was never held back, and the UDP destinations
    // that lead nowhere cost destination 1 nothing.
    auto now = Clock::now();
    double slotGap = longestGap(slot2.arrivals(), started, now);
    double udpGap = longestGap(times(udp.datagrams()), started, now);
    std::printf("all along (UDP 2 unanswered, UDP 3 unreachable): longest UDP pause %.3f s, slot 2 %.3f s\n", udpGap,
                slotGap);
    EXPECT_LT(udpGap, kLongestPause * timeScale());
    EXPECT_LT(slotGap, kClientLag * timeScale());

    size_t sent = 0;
    for (const auto &d : udp.datagrams()) {
        sent += d.bytes.size();
    }
    stopUnderLoad();
    std::string file = root.path("/mnt/usb/record/rec1.ts");
    ASSERT_TRUE(std::filesystem::exists(file)) << encode->out();
    size_t recorded = std::filesystem::file_size(file);
    EXPECT_EQ(recorded % 188, 0u);
    EXPECT_GE(recorded, sent) << "the recording holds everything UDP carried, synced at the stop";
}

// HTTP TS instead of UDP and RTMP to nginx instead of the RTSP hand-off, beside the slots and
// recording; a steady HTTP player is watched.
TEST_F(FaultSuite, HttpWithRtmpSlotsAndRecording)
{
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    root.write("/mnt/httpts.ini", "1");
    root.write("/mnt/rtsp.ini", "1");
    root.write("/mnt/rtsporrtmp.ini", "1");
    root.write("/mnt/autorun.sh", "#!/bin/sh\nurl=" + nginx.url("cam") + "\n");
    startEncode();
    ASSERT_TRUE(encode->waitForOutput("connect stream ok", 30)) << encode->out() << encode->err();
    ASSERT_TRUE(encode->waitForOutput("wait tcp client", 10)) << encode->out();
    const std::string get = kGet;
    Reader player(port(kHttpPort), get);
    ASSERT_TRUE(player.waitForBytes(100000, 10)) << encode->out();

    int slow = -1;
    std::vector<int> crowd;
    auto reconnects = [&] { return count(encode->out(), "connect stream ok"); };
    size_t connectsBefore = 0;
    size_t recordedAtResume = 0;
    auto recorded = [&] { return NginxRtmp::slurp(nginx.recording("cam")).size(); };
    std::vector<Fault> faults = {
        {"an HTTP client that reads one byte a second",
         [&] {
             slow = connectLoopback(port(kHttpPort), kConnectMs);
             int shrink = 4096;
             setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &shrink, sizeof shrink);
             send(slow, get.data(), get.size(), MSG_NOSIGNAL);
             for (int i = 0; i < 6; i++) {
                 char byte;
                 recv(slow, &byte, 1, MSG_DONTWAIT);
                 std::this_thread::sleep_for(seconds(1));
             }
         },
         // Moved to the live edge (it fell 2 s behind) or let go (it took nothing for 3 s).
         [&] {
             std::string out = encode->out();
             return out.find("behind live, moved to the live edge") != std::string::npos ||
                    out.find("took nothing for") != std::string::npos;
         },
         3},
        {"an HTTP client that sends garbage",
         [&] {
             close(slow);
             int fd = connectLoopback(port(kHttpPort), kConnectMs);
             std::string junk(4096, '\0');
             for (size_t i = 0; i < junk.size(); i++) {
                 junk[i] = static_cast<char>((i * 2654435761u) >> 13);
             }
             send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
             std::this_thread::sleep_for(seconds(1));
             resetAndClose(fd);
         },
         [&] { return httpServes(); }, 3},
        {"200 HTTP connections at once",
         [&] {
             // All begun at once; those the backlog takes send their request.
             for (int i = 0; i < 200; i++) {
                 int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                 sockaddr_in sa{};
                 sa.sin_family = AF_INET;
                 sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                 sa.sin_port = htons(static_cast<uint16_t>(port(kHttpPort)));
                 connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
                 crowd.push_back(fd);
             }
             std::this_thread::sleep_for(milliseconds(300));
             for (int fd : crowd) {
                 send(fd, get.data(), get.size(), MSG_NOSIGNAL);
             }
             std::this_thread::sleep_for(seconds(2));
             for (int fd : crowd) {
                 close(fd);
             }
         },
         // The server takes one client every 100 ms; those of the crowd that hung up cost no pause.
         [&] { return httpServes(); }, 3},
        {"nginx stopped 5 s",
         [&] {
             connectsBefore = reconnects();
             nginx.pause();
             std::this_thread::sleep_for(seconds(5));
             nginx.resume();
             recordedAtResume = recorded();
         },
         [&] { return recorded() != recordedAtResume || reconnects() > connectsBefore; }, 3},
        {"nginx killed and started again",
         [&] {
             connectsBefore = reconnects();
             nginx.crash();
             ASSERT_TRUE(nginx.start()) << nginx.errorLog();
         },
         [&] { return reconnects() > connectsBefore; }, 3},
    };
    FaultRun([&] { return player.arrivals(); }).run(faults);
    EXPECT_EQ(udp.count(), 0u) << "with HTTP TS on, UDP carries nothing";
    stopUnderLoad();
    EXPECT_EQ(std::filesystem::file_size(root.path("/mnt/usb/record/rec1.ts")) % 188, 0u);
}

// The recording on a small file system that fills (a 5 MiB tmpfs in a mount namespace of the
// encoder's own), then SIGTERM inside a gap of the capture: one line, UDP unaffected, the file ends on
// a whole packet, and the stop is clean.
TEST_F(FaultSuite, FullDiskThenStopInsideACaptureGap)
{
    int rc = -1;
    runCommand("unshare -m sh -c 'mount -t tmpfs -o size=1m tmpfs /mnt' 2>/dev/null", &rc);
    if (rc != 0) {
        GTEST_SKIP() << "this machine cannot mount a tmpfs in a mount namespace (needs CAP_SYS_ADMIN)";
    }
    std::string usb = root.path("/mnt/usb");
    // The shell mounts the small disk in the namespace, makes the record directory on it and becomes
    // the encoder (same pid).
    startEncode({{"ENCODE_TESTSRC_GAP", "9:30"}}, "/usr/bin/unshare",
                {"-m", "sh", "-c",
                 "mount -t tmpfs -o size=5m tmpfs '" + usb + "' && mkdir -p '" + usb + "/record' && exec \"$0\" \"$@\"",
                 kEncode});
    ASSERT_TRUE(udp.waitFor(1, 30)) << encode->out() << encode->err();
    ASSERT_TRUE(encode->waitForOutput("tsf: write error on /mnt/usb/record/rec1.ts", 20))
        << encode->out() << encode->err();
    auto full = Clock::now();
    std::this_thread::sleep_for(seconds(2));
    double pause = longestGap(times(udp.datagrams()), full, Clock::now());
    std::string out = encode->out();
    std::printf("fault: the recording's disk full                                 longest pause %.3f s\n", pause);
    EXPECT_LT(pause, kLongestPause * timeScale());
    EXPECT_EQ(count(out, "tsf: write error"), 1u) << out;
    // Seen through the encoder's own mount namespace.
    std::string file = "/proc/" + std::to_string(encode->pid()) + "/root" + usb + "/record/rec1.ts";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file) % 188, 0u);

    // The capture delivers nothing from 9 s after streaming began, which the status shows.
    bool inGap = false;
    for (auto until = Clock::now() + seconds(15); !inGap && Clock::now() < until;) {
        std::this_thread::sleep_for(milliseconds(100));
        nlohmann::json doc = nlohmann::json::parse(root.read("/tmp/encode.status"), nullptr, false);
        inGap = !doc.is_discarded() && doc["input"].value("signal", true) == false;
    }
    ASSERT_TRUE(inGap) << "the capture gap never began";
    stopUnderLoad("inside the capture gap");
}

} // namespace
