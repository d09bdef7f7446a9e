// Every video output beside UDP, end to end: `encode` on the virtual capture device in a temporary
// root, read by real clients (ffprobe and ffmpeg over HTTP, raw TCP clients on the stream slots, a
// reader of the RTSP hand-off FIFO, the recordings on "USB storage"), and the rule that one client
// that stops reading never holds up the others.
#include "tests/support/h264.h"
#include "tests/support/made_once.h"
#include "tests/support/net.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot1 = 8888;
constexpr int kSecondSlot = 7777;
constexpr int kHttpPort = 10000;
constexpr int kTagBytes = 16;
constexpr uint32_t kTagMagic = 0x98754321u;

uint32_t le32(const uint8_t *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Tag {
    uint32_t magic, seconds, microseconds, length;
};

Tag tagAt(const Bytes &b, size_t at)
{
    const uint8_t *p = b.data() + at;
    return {le32(p), le32(p + 4), le32(p + 8), le32(p + 12)};
}

// Tag-framed records from the start of `b`: their payloads, or empty with `bad` set at the first
// tag that is not one. A record cut by the end of `b` is left out.
std::vector<Bytes> records(const Bytes &b, bool &bad, std::vector<Tag> *tags = nullptr)
{
    std::vector<Bytes> out;
    bad = false;
    size_t at = 0;
    while (at + kTagBytes <= b.size()) {
        Tag t = tagAt(b, at);
        if (t.magic != kTagMagic || t.length == 0 || t.length > (8u << 20)) {
            bad = true;
            break;
        }
        if (at + kTagBytes + t.length > b.size()) {
            break;
        }
        out.emplace_back(b.begin() + static_cast<long>(at + kTagBytes),
                         b.begin() + static_cast<long>(at + kTagBytes + t.length));
        if (tags != nullptr) {
            tags->push_back(t);
        }
        at += kTagBytes + t.length;
    }
    return out;
}

// Copies a transport stream that was cut off (a capture ended by a timer) up to the last video unit
// that began in it, so that a player is asked to decode only units it has whole. False when the packets are out of step.
bool copyWholeUnits(const std::string &from, const std::string &to)
{
    std::ifstream in(from, std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t cut = 0;
    for (size_t i = 0; i + 188 <= b.size(); i += 188) {
        if (b[i] != 0x47) {
            return false;
        }
        int pid = ((b[i + 1] & 0x1F) << 8) | b[i + 2];
        cut = pid == 0x64 && (b[i + 1] & 0x40) != 0 ? i : cut;
    }
    std::ofstream(to, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), static_cast<long>(cut));
    return true;
}

// A TCP client on 127.0.0.1 that reads only when asked.
class Client {
public:
    explicit Client(int receiveBuffer = 0)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
    }
    ~Client() { close(fd_); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connectWithin(int port, int ms)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            if (connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
                return true;
            }
            close(fd_);
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void sendText(const std::string &s) const { EXPECT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }

    // Reads for `ms` or until `bytes` arrived; what came.
    Bytes read(int ms, size_t bytes = SIZE_MAX)
    {
        Bytes got;
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        uint8_t buf[65536];
        while (got.size() < bytes && Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = recv(fd_, buf, std::min(sizeof buf, bytes - got.size()), 0);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int fd_ = -1;
};

class OutputsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        noisyPath = noisyPicture();
        ASSERT_FALSE(noisyPath.empty()) << "ffmpeg could not make the noisy picture";
    }

    void SetUp() override
    {
        offset_ = freePortOffset({kSlot1, kSlot1 - 1, kSlot1 - 2, kSlot1 - 3, kSlot1 - 4, kSecondSlot, kHttpPort});
        ASSERT_GT(offset_, 0);
    }

    std::string tmp(const std::string &name) const { return root.path("/tmp/" + name); }
    int port(int fixed) const { return fixed + offset_; }

    // 720P at 30 frames a second, 4 Mbit/s, on loopback only; `noisy` fills the bit rate.
    void start(bool noisy = false)
    {
        std::vector<std::string> args = {"-v", "/tmp/main.264", "-z", "127.0.0.1", "-c", udp.portText(),
                                         "-y", "3", "-f", "30", "-b", "4000000", "-i", "30"};
        program = std::make_unique<ProgramRun>(root, ENCODE_BINARY, args,
                                               std::vector<std::pair<std::string, std::string>>{
                                                   {"ENCODE_VIDEO_SOURCE",
                                                    noisy ? "file:" + noisyPath : "testsrc"},
                                                   {"ENCODE_PORT_OFFSET", std::to_string(offset_)},
                                                   {"ENCODE_BIND_ADDRESS", "127.0.0.1"}});
    }
    void stop()
    {
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(10), 0) << program->err();
    }

    // Datagrams that arrived in [from, to).
    size_t datagramsBetween(Clock::time_point from, Clock::time_point to)
    {
        size_t n = 0;
        for (const auto &d : udp.datagrams()) {
            n += d.at >= from && d.at < to ? 1 : 0;
        }
        return n;
    }

    // Decodes an H.264 elementary stream or a TS file with ffmpeg: its complaints, "" when clean.
    // Frames keep the stream's own time base: in ffmpeg's default of one tick a frame, a picture
    // stamped half a frame late (a capture time on a loaded machine) lands on its neighbour's tick
    // and the null output calls that an error, which says nothing about the stream.
    std::string decode(const std::string &path, const std::string &format = "")
    {
        int rc = -1;
        std::string out = runCommand("ffmpeg -v error " + (format.empty() ? "" : "-f " + format + " ") + "-i '" +
                                     path + "' -enc_time_base -1 -f null - 2>&1", &rc);
        return rc == 0 ? out : out + "(status " + std::to_string(rc) + ")";
    }
    void save(const std::string &path, const std::vector<Bytes> &units)
    {
        std::ofstream f(path, std::ios::binary);
        for (const Bytes &u : units) {
            f.write(reinterpret_cast<const char *>(u.data()), static_cast<std::streamsize>(u.size()));
        }
    }

    static std::string noisyPath;
    TempRoot root{true};
    UdpCapture udp;
    std::unique_ptr<ProgramRun> program;
    int offset_ = 0;
};

std::string OutputsTest::noisyPath;

// With httpts.ini "1" the TS goes to the HTTP server only: two players at once decode it, a request
// other than GET gets the 501 lines and then the stream, and not one datagram goes out.
TEST_F(OutputsTest, HttpServerFeedsPlayersAndUdpGetsNothing)
{
    root.write("/mnt/httpts.ini", "1");
    root.write("/mnt/idr.ini", "30");
    start();
    std::string url = "http://127.0.0.1:" + std::to_string(port(kHttpPort)) + "/";
    ASSERT_TRUE(program->waitForOutput("wait tcp client", 20)) << program->out();

    std::string probe = runCommand("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height "
                                   "-of default=nw=1 '" + url + "' 2>&1");
    EXPECT_NE(probe.find("codec_name=h264\nwidth=1280\nheight=720\n"), std::string::npos) << probe;

    // Two players at once, four seconds each. A player that joins a live stream between key frames
    // complains until the next one (every second here); anything else is a fault.
    int rc = -1;
    runCommand("curl -s --max-time 4 -o '" + tmp("a.ts") + "' '" + url + "' & curl -s --max-time 4 -o '" +
               tmp("b.ts") + "' '" + url + "'; wait", &rc);
    for (const char *name : {"a.ts", "b.ts"}) {
        SCOPED_TRACE(name);
        std::string frames = runCommand("ffprobe -v quiet -count_frames -select_streams v:0 -show_entries "
                                        "stream=nb_read_frames -of csv=p=0 '" + tmp(name) + "'");
        EXPECT_GE(std::atoi(frames.c_str()), 60) << frames;
        ASSERT_TRUE(copyWholeUnits(tmp(name), tmp(std::string("whole-") + name)));
        std::string complaints = decode(tmp(std::string("whole-") + name));
        std::string unexpected;
        for (size_t at = 0; at < complaints.size();) {
            size_t end = complaints.find('\n', at);
            std::string line = complaints.substr(at, end == std::string::npos ? std::string::npos : end - at);
            bool beforeKey = line.find("non-existing PPS") != std::string::npos ||
                             line.find("decode_slice_header error") != std::string::npos ||
                             line.find("no frame!") != std::string::npos ||
                             line.find("Last message repeated") != std::string::npos;
            unexpected += beforeKey ? "" : line + "\n";
            at = end == std::string::npos ? complaints.size() : end + 1;
        }
        EXPECT_EQ(unexpected, "") << complaints;
    }

    Client post;
    ASSERT_TRUE(post.connectWithin(port(kHttpPort), 3000));
    post.sendText("POST / HTTP/1.0\r\n\r\n");
    Bytes got = post.read(3000, 200000);
    std::string text(got.begin(), got.end());
    const std::string answer = "HTTP/1.0 501 Not Implemented\r\nContent-type: text/plain\r\n\r\n"
                               "The command is not yet completed\r\n";
    ASSERT_EQ(text.compare(0, answer.size(), answer), 0) << text.substr(0, 200);
    size_t ts = answer.size();
    ASSERT_GT(got.size(), ts + 10 * 188);
    for (size_t i = ts; i + 188 <= got.size() && i < ts + 10 * 188; i += 188) {
        EXPECT_EQ(got[i], 0x47) << "byte " << i;
    }
    stop();
    EXPECT_EQ(udp.count(), 0u);
}

// With tcp.ini "1" slot 1 carries tag-framed access units that decode; a second client waits until
// the first leaves and then starts at a unit; with tcp.ini "0" the same slot carries bare Annex B.
TEST_F(OutputsTest, StreamSlotCarriesTaggedUnitsOneClientAtATime)
{
    root.write("/mnt/tcp.ini", "1");
    start();
    ASSERT_TRUE(udp.waitFor(1, 20)) << program->err();
    auto first = std::make_unique<Client>();
    ASSERT_TRUE(first->connectWithin(port(kSlot1), 5000));
    Client second;
    ASSERT_TRUE(second.connectWithin(port(kSlot1), 5000)); // queued by the listen backlog, not served
    Bytes a = first->read(3000);

    bool bad = false;
    std::vector<Tag> tags;
    std::vector<Bytes> units = records(a, bad, &tags);
    EXPECT_FALSE(bad);
    ASSERT_GT(units.size(), 50u);
    for (size_t i = 1; i < tags.size(); i++) {
        uint64_t before = uint64_t{tags[i - 1].seconds} * 1000000 + tags[i - 1].microseconds;
        uint64_t now = uint64_t{tags[i].seconds} * 1000000 + tags[i].microseconds;
        EXPECT_GT(now, before) << "unit " << i;
        EXPECT_LT(tags[i].microseconds, 1000000u);
    }
    // A player needs the stream from a key frame on.
    size_t idr = 0;
    while (idr < units.size() && h264PictureTypes(h264Nals(units[idr])).find('D') == std::string::npos) {
        idr++;
    }
    ASSERT_LT(idr, units.size());
    save(tmp("slot.264"), std::vector<Bytes>(units.begin() + static_cast<long>(idr), units.end()));
    EXPECT_EQ(decode(tmp("slot.264"), "h264"), "");
    EXPECT_TRUE(second.read(300).empty()) << "the slot served two clients at once";

    first.reset();
    Bytes b = second.read(3000);
    std::vector<Bytes> later = records(b, bad);
    EXPECT_FALSE(bad) << "the waiting client did not start at a unit";
    EXPECT_GT(later.size(), 20u);
    EXPECT_TRUE(program->waitForOutput("close socket1", 5));
    stop();

    root.write("/mnt/tcp.ini", "0");
    udp.clear();
    start();
    ASSERT_TRUE(udp.waitFor(1, 20));
    Client bare;
    ASSERT_TRUE(bare.connectWithin(port(kSlot1), 5000));
    Bytes raw = bare.read(2000);
    ASSERT_GT(raw.size(), 4u);
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 4), (Bytes{0, 0, 0, 1})) << "no tag: the unit's start code first";
    EXPECT_NE(tagAt(raw, 0).magic, kTagMagic);
    stop();
}

// A client that connects and never reads: the UDP stream keeps its rate all the while, the slot is
// freed after its send timeout with its line, and the next client is served.
TEST_F(OutputsTest, ClientThatNeverReadsHoldsUpNothing)
{
    start(true);
    ASSERT_TRUE(udp.waitFor(1, 20)) << program->err();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    auto beforeStart = Clock::now() - std::chrono::seconds(2);
    size_t before = datagramsBetween(beforeStart, Clock::now());

    Client stalled(4096);
    ASSERT_TRUE(stalled.connectWithin(port(kSlot1), 5000));
    auto stallStart = Clock::now();
    ASSERT_TRUE(program->waitForOutput("close socket1", 30)) << program->out();
    auto freed = Clock::now();
    double stalledFor = std::chrono::duration<double>(freed - stallStart).count();
    std::printf("slot freed %.1f s after the client stopped reading\n", stalledFor);
    size_t during = datagramsBetween(stallStart, freed);
    double rateBefore = static_cast<double>(before) / 2.0;
    double rateDuring = static_cast<double>(during) / stalledFor;
    EXPECT_GT(rateDuring, 0.8 * rateBefore) << before << " datagrams in 2 s before, " << during << " in " << stalledFor
                                            << " s during";
    // The send that finds the client's buffers full waits out its timeout once; no pause is longer.
    auto grams = udp.datagrams();
    Clock::time_point last = stallStart;
    double longest = 0;
    for (const auto &d : grams) {
        if (d.at > stallStart && d.at < freed + std::chrono::milliseconds(500)) {
            longest = std::max(longest, std::chrono::duration<double>(d.at - last).count());
            last = d.at;
        }
    }
    std::printf("longest pause of the UDP stream while the client stalled: %.2f s\n", longest);
    EXPECT_LT(longest, 2.6);

    Client next;
    ASSERT_TRUE(next.connectWithin(port(kSlot1), 5000));
    EXPECT_GT(next.read(3000).size(), 100000u);
    stop();
}

// A reader of the video FIFO that stops reading: UDP keeps flowing; once it reads again it finds
// whole records, tag and then exactly `length` bytes, with nothing torn.
TEST_F(OutputsTest, FifoReaderThatStopsReadingHoldsUpNothing)
{
    root.write("/mnt/rtsp.ini", "1");
    start(true);
    std::string path = root.path("/dev/shm/v_fifo");
    struct stat st {};
    auto until = Clock::now() + std::chrono::seconds(20);
    while (!(stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(S_ISFIFO(st.st_mode)) << program->out();
    EXPECT_EQ(udp.count(), 0u) << "the writer waits for the FIFO's reader before any output";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto readFor = [&](int ms) {
        Bytes got;
        uint8_t buf[65536];
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                got.insert(got.end(), buf, buf + n);
            }
        }
        return got;
    };
    Bytes head = readFor(2000);
    ASSERT_TRUE(udp.waitFor(1, 10));
    bool bad = false;
    std::vector<Bytes> first = records(head, bad);
    EXPECT_FALSE(bad);
    EXPECT_GT(first.size(), 20u);

    // Stopped reading at whatever point the last read left: what follows is read on from there.
    Bytes rest(head.begin(), head.end());
    auto stallStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    size_t during = datagramsBetween(stallStart, Clock::now());
    EXPECT_GT(during, 500u) << "UDP stalled with the FIFO's reader";
    Bytes more = readFor(3000);
    rest.insert(rest.end(), more.begin(), more.end());
    std::vector<Bytes> all = records(rest, bad);
    EXPECT_FALSE(bad) << "a record was torn while the reader stalled";
    EXPECT_GT(all.size(), first.size() + 60);
    close(fd);
    EXPECT_TRUE(program->waitForOutput("record dropped", 5)) << "a 1 MiB pipe cannot hold 5 s at 4 Mbit/s";
    stop();
}

// tsf.ini "1" on the demo's own picture (a few hundred kbit/s): stopped after 6 s, the recording
// holds what went out over UDP (all but the last moment), in whole packets, and decodes cleanly; and
// without the record directory, recording is off with its line while UDP runs on.
TEST_F(OutputsTest, RecordingToUsbStorage)
{
    root.write("/mnt/tsf.ini", "1");
    root.write("/mnt/fn", "export f=rec1\n");
    std::filesystem::create_directories(root.path("/mnt/usb/record"));
    start();
    ASSERT_TRUE(udp.waitFor(1, 20)) << program->err();
    std::this_thread::sleep_for(std::chrono::seconds(6));
    stop();
    size_t sent = 0;
    for (const auto &d : udp.datagrams()) {
        sent += d.bytes.size();
    }
    std::string file = root.path("/mnt/usb/record/rec1.ts");
    ASSERT_TRUE(std::filesystem::exists(file)) << program->out();
    size_t recorded = std::filesystem::file_size(file);
    EXPECT_GE(recorded, sent * 9 / 10) << sent << " bytes sent over UDP";
    EXPECT_EQ(recorded % 188, 0u);
    EXPECT_EQ(decode(file), "");
    EXPECT_NE(program->out().find("tsf=rec1\n"), std::string::npos);

    std::filesystem::remove_all(root.path("/mnt/usb"));
    udp.clear();
    start(true);
    ASSERT_TRUE(program->waitForOutput("error open file tsf_fd =/mnt/usb/record/rec1.ts", 20)) << program->out();
    EXPECT_TRUE(udp.waitFor(300, 10));
    stop();
}

// Every output on, a client on each: the status document shows each one working and what it sent,
// and a client that goes away is gone from it within 3 s.
class StatusTest : public OutputsTest {
protected:
    // The output named `name` in the status, once `ok` holds for it (within `seconds`); null if not.
    nlohmann::json waitForOutput(const std::string &name, const std::function<bool(const nlohmann::json &)> &ok,
                                 int seconds = 20)
    {
        auto until = Clock::now() + std::chrono::seconds(seconds);
        nlohmann::json last;
        while (Clock::now() < until) {
            nlohmann::json doc = nlohmann::json::parse(root.read("/tmp/encode.status"), nullptr, false);
            for (const auto &o : doc.is_discarded() ? nlohmann::json::array() : doc["outputs"]) {
                if (o.value("name", "") == name) {
                    last = o;
                    if (ok(o)) {
                        return o;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << name << " never as expected; last seen: " << last.dump();
        return nullptr;
    }
    static bool sending(const nlohmann::json &o) { return o.value("state", "") == "ok" && o.value("bytes", 0) > 0; }
};

TEST_F(StatusTest, EachOutputShowsItsStateAndBytesAndAGoneClientLeavesIt)
{
    root.write("/mnt/tcp.ini", "1");
    root.write("/mnt/rtsp.ini", "1");
    root.write("/mnt/tsf.ini", "1");
    root.write("/mnt/fn", "export f=rec1\n");
    std::filesystem::create_directories(root.path("/mnt/usb/record"));
    start();
    int fifo = openFifoReaderWhenMade(root.path("/dev/shm/v_fifo"), 20000);
    ASSERT_GE(fifo, 0) << program->out();
    {
        Client slot;
        ASSERT_TRUE(slot.connectWithin(port(kSlot1), 10000));
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            while (reading) {
                slot.read(100);
                uint8_t buf[65536];
                while (::read(fifo, buf, sizeof buf) == static_cast<ssize_t>(sizeof buf)) {
                }
            }
        });
        for (const char *name : {"UDP 1", "TCP 8888", "RTSP video", "Recording"}) {
            SCOPED_TRACE(name);
            waitForOutput(name, sending);
        }
        reading = false;
        reader.join();
    }
    // The slot's client closed its end: the slot is free again at once, not after a time-out.
    waitForOutput("TCP 8888", [](const nlohmann::json &o) { return o.value("state", "") == "waiting"; }, 3);
    EXPECT_EQ(nlohmann::json::parse(root.read("/tmp/encode.status"))["streams"]["main"].value("on", false), true);
    stop();
    ::close(fifo);
}

TEST_F(StatusTest, HttpClientsAndRtmpShowInTheStatus)
{
    if (!NginxRtmp::available()) {
        GTEST_SKIP() << "nginx with the RTMP module is not installed";
    }
    NginxRtmp nginx;
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();
    root.write("/mnt/autorun.sh", "#!/bin/sh\nurl=" + nginx.url("cam") + "\n");
    root.write("/mnt/httpts.ini", "1");
    root.write("/mnt/rtsp.ini", "1");
    root.write("/mnt/rtsporrtmp.ini", "1");
    start();
    waitForOutput("RTMP", sending);
    waitForOutput("HTTP TS", [](const nlohmann::json &o) { return o.value("state", "") == "waiting"; });
    {
        Client player;
        ASSERT_TRUE(player.connectWithin(port(kHttpPort), 10000));
        player.sendText("GET / HTTP/1.0\r\n\r\n");
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            while (reading) {
                player.read(100);
            }
        });
        waitForOutput("HTTP TS", [](const nlohmann::json &o) { return o.value("clients", 0) == 1 && sending(o); });
        reading = false;
        reader.join();
    }
    waitForOutput("HTTP TS", [](const nlohmann::json &o) { return o.value("clients", 1) == 0; }, 3);
    stop();
}

} // namespace
