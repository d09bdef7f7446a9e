// The output list built from the settings as the main thread builds it: which outputs a set of
// switches makes, in which order, and that each consumer of the multiplexer gets exactly the packets
// the multiplexer made (or none) while units are fed as the writer and the audio thread feed them.
// Real outputs on loopback: a UDP receiver, the HTTP TS server, the recorder on a temporary disk.
#include "encode/output/output_list.h"
#include "tests/output/ts_feed_support.h"
#include "tests/support/net.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace {

// What the list shows in the status, in its order: each output's first object's kind.
std::vector<std::string> kinds(OutputList_Handle list)
{
    std::vector<std::string> k;
    for (int i = 0; i < OutputList_count(list); i++) {
        const Output *o = OutputList_at(list, i);
        for (int r = 0; r < o->reports(); r++) {
            nlohmann::json out;
            o->report(r, out);
            if (k.empty() || k.back() != out["kind"]) {
                k.push_back(out["kind"]);
            }
        }
    }
    return k;
}

// Bytes that come to a UDP port on loopback.
class UdpSink {
public:
    UdpSink()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~UdpSink() { ::close(fd_); }
    int port() const { return port_; }
    size_t drain()
    {
        uint8_t b[2048];
        for (ssize_t n; (n = ::recv(fd_, b, sizeof b, 0)) > 0;) {
            bytes_ += static_cast<size_t>(n);
        }
        return bytes_;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    size_t bytes_ = 0;
};

class OutputListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int offset = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995, 10000});
        ASSERT_GT(offset, 0);
        setenv("ENCODE_PORT_OFFSET", std::to_string(offset).c_str(), 1);
        setenv("ENCODE_BIND_ADDRESS", "127.0.0.1", 1);
        std::filesystem::create_directories(root_.path("/mnt/usb/record"));
        std::filesystem::create_directories(root_.path("/dev/shm"));
        root_.write("/mnt/fn", "export f=list\n");
    }
    void TearDown() override
    {
        unsetenv("ENCODE_PORT_OFFSET");
        unsetenv("ENCODE_BIND_ADDRESS");
    }
    TempRoot root_;
};

struct Case {
    const char *name;
    uint8_t tsOff, httpTs, rtsp, rtmp;
    bool recording;
    std::vector<std::string> kinds;
    bool udpGets, httpGets; // the multiplexer's packets
    bool hls = false;
};

// The switches decide the outputs and who gets the transport stream; RTSP and RTMP run apart or
// together; with nothing wanting the packets the multiplexer does not run.
TEST_F(OutputListTest, SwitchesMakeTheirOutputsAndConsumersGetTheWholeStream)
{
    const Case cases[] = {
        {"udp and recording", 0, 0, 0, 0, true, {"recorder", "udp", "tcp"}, true, false},
        {"http instead of udp", 0, 1, 0, 0, false, {"udp", "http", "tcp"}, false, true},
        {"stream off, recording on", 1, 0, 0, 0, true, {"recorder", "udp", "tcp"}, false, false},
        {"stream off, nothing wants the packets", 1, 0, 0, 0, false, {"udp", "tcp"}, false, false},
        {"rtsp server", 1, 0, 1, 0, false, {"udp", "tcp", "fifo"}, false, false},
        {"rtmp instead of rtsp", 1, 0, 1, 1, false, {"udp", "tcp", "rtmp"}, false, false},
        {"rtsp server and rtmp", 1, 0, 1, 2, false, {"udp", "tcp", "fifo", "rtmp"}, false, false},
        {"rtsp off, rtmp asked", 1, 0, 0, 2, false, {"udp", "tcp"}, false, false},
        {"stream off, hls on: the multiplexer runs for it", 1, 0, 0, 0, false, {"udp", "tcp", "hls"}, false, false,
         true},
    };
    const std::string file = root_.path("/mnt/usb/record/list.ts");
    testing::internal::CaptureStdout();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UdpSink udp;
        OutputPlan plan{};
        plan.switches = {c.tsOff, 0, 0, c.httpTs, 0, c.rtsp, c.rtmp};
        plan.video = true;
        plan.audio = TsMux_Audio_AAC;
        plan.destinations = NetDestinations_make("127.0.0.1", udp.port(), "", 0, "", 0);
        plan.recorder = c.recording ? Recorder_create(nullptr) : nullptr;
        plan.hls.enable = c.hls;
        OutputList_Handle list = nullptr;
        ASSERT_EQ(OutputList_build(&plan, &list), OutputList_EOK);
        EXPECT_EQ(kinds(list), c.kinds);

        // Units as the writer and the audio thread hand them in; not a byte of them is a key frame's.
        Bytes unit(3000, 0x11);
        for (int k = 0; k < 10; k++) {
            OutputList_video(list, {unit.data(), 3000, FrameTime{100, static_cast<uint32_t>(k * 33000)}, false}, nullptr);
            OutputList_audio(list, {unit.data(), 300, FrameTime{100, static_cast<uint32_t>(k * 23000)}, true});
        }
        TsMux_Config config = OutputList_tsConfig(list);
        EXPECT_EQ(config.streamType[0][1], TSMUX_STREAM_AAC_ADTS);
        TsFanOutStats made = OutputList_tsStats(list);
        EXPECT_EQ(made.units > 0, c.udpGets || c.httpGets || c.recording || c.hls);
        size_t udpBytes = 0;
        EXPECT_TRUE(eventually([&] { return (udpBytes = udp.drain()) >= made.bytes || !c.udpGets; }, 3000));
        OutputList_stop(list); // the recorder writes what it holds
        size_t recorded = std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0;
        std::filesystem::remove(file);
        // A consumer that gets the stream gets every packet the multiplexer made.
        EXPECT_EQ(udpBytes, c.udpGets ? made.bytes : 0);
        EXPECT_EQ(recorded, c.recording ? made.bytes : 0);
        EXPECT_EQ(made.refused, 0u);
        EXPECT_EQ(std::filesystem::exists(root_.path("/dev/shm/hls/main.m3u8")), c.hls);
    }
    testing::internal::GetCapturedStdout();
}

int refuseSocket(int, int, int)
{
    errno = EMFILE;
    return -1;
}

// The UDP destinations' sockets cannot be had: one line, and nothing is left running, not even the
// recorder the list was handed.
TEST_F(OutputListTest, RefusedUdpSocketLeavesNothingRunning)
{
    OutputPlan plan{};
    plan.video = true;
    plan.destinations = NetDestinations_make("127.0.0.1", 5000, "", 0, "", 0);
    plan.recorder = Recorder_create(nullptr);
    plan.socket = refuseSocket;
    ASSERT_NE(plan.recorder, nullptr);
    OutputList_Handle list = reinterpret_cast<OutputList_Handle>(&plan);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(OutputList_build(&plan, &list), OutputList_EUDP);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Failed to create socket fd.\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(list, nullptr);
}

} // namespace
