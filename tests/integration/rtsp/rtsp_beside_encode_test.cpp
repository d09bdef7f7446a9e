// rtsp_server beside `encode`, as on the box: the encoder hands its elementary streams over the FIFOs,
// players read rtsp://.../live. Players come and go, and the server itself may die without the
// encoder noticing more than the records it cannot hand over.
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/rtsp_probe.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using rtsp_probe::frames;
using rtsp_probe::probe;
using rtsp_probe::Stream;

class RtspBesideEncodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        offset_ = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995});
        ASSERT_GT(offset_, 0);
        root.write("/mnt/rtsp.ini", "1");
    }

    int startServer(const std::string &name)
    {
        server = std::make_unique<ProgramRun>(root, RTSP_SERVER_BINARY,
                                              std::vector<std::string>{"--address", "127.0.0.1", "--port", "0"},
                                              std::vector<std::pair<std::string, std::string>>{}, name);
        const std::string mark = "rtsp_server: serving rtsp://127.0.0.1:";
        if (!server->waitForOutput(mark)) {
            return 0;
        }
        std::string out = server->out();
        return std::atoi(out.c_str() + out.find(mark) + mark.size());
    }
    void startEncode(const std::vector<std::string> &audio)
    {
        std::vector<std::string> args = {"-v", "/tmp/main.264", "-z", "127.0.0.1", "-c", udp.portText(),
                                         "-y", "3", "-f", "30", "-b", "2000000", "-i", "30"};
        args.insert(args.end(), audio.begin(), audio.end());
        root.write("/mnt/idr.ini", "30"); // a player that joins is never more than a second from a key frame
        encode = std::make_unique<ProgramRun>(root, ENCODE_BINARY, args,
                                              std::vector<std::pair<std::string, std::string>>{
                                                  {"ENCODE_VIDEO_SOURCE", "testsrc"},
                                                  {"ENCODE_AUDIO_SOURCE", "tone"},
                                                  {"ENCODE_PORT_OFFSET", std::to_string(offset_)},
                                                  {"ENCODE_BIND_ADDRESS", "127.0.0.1"}},
                                              "encode");
    }
    void expectVideoAnd(const std::vector<Stream> &streams, const std::string &audioCodec)
    {
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].at("codec_name"), "h264");
        EXPECT_EQ(streams[0].at("width"), "1280");
        EXPECT_EQ(streams[0].at("height"), "720");
        EXPECT_GT(frames(streams[0]), 60);
        // RTP's MPEG audio payload names no layer: ffmpeg reports layer III frames on it as "mp2".
        const std::string &codec = streams[1].at("codec_name");
        EXPECT_TRUE(codec == audioCodec || (audioCodec == "mp3" && codec == "mp2")) << codec;
        EXPECT_EQ(streams[1].at("sample_rate"), "44100");
        EXPECT_GT(frames(streams[1]), 50);
    }

    TempRoot root{true};
    UdpCapture udp;
    std::unique_ptr<ProgramRun> server;
    std::unique_ptr<ProgramRun> encode;
    int offset_ = 0;
};

// Video and AAC for two players at once; the one that leaves early does not disturb the other.
TEST_F(RtspBesideEncodeTest, TwoPlayersGetVideoAndAac)
{
    int port = startServer("rtsp1");
    ASSERT_GT(port, 0);
    startEncode({"-a", "/tmp/main.aac", "-u", "44100", "-p", "128000"});
    ASSERT_TRUE(udp.waitFor(1, 20)) << encode->out() << encode->err();
    ASSERT_TRUE(server->waitForOutput("audio is AAC", 20)) << server->out();

    std::vector<Stream> early;
    std::thread leaver([&] { early = probe(port, 3); });
    std::vector<Stream> stayer = probe(port, 6);
    leaver.join();
    expectVideoAnd(stayer, "aac");
    ASSERT_EQ(early.size(), 2u);
    EXPECT_GT(frames(early[0]), 0); // how many depends on where it met the first key frame
    EXPECT_TRUE(server->waitForOutput("played and left", 10)) << server->out();

    encode->signal(SIGTERM);
    EXPECT_EQ(encode->wait(10), 0) << encode->err();
}

// With MP3 (-s) the bare frames reach the players as MPEG audio.
TEST_F(RtspBesideEncodeTest, Mp3ReachesThePlayers)
{
    startEncode({"-s", "/tmp/main.mp3", "-u", "44100", "-p", "128000"});
    int port = startServer("rtsp1"); // started second: the encoder waits for it
    ASSERT_GT(port, 0);
    ASSERT_TRUE(udp.waitFor(1, 20)) << encode->out() << encode->err();
    ASSERT_TRUE(server->waitForOutput("audio is MP3", 20)) << server->out();
    expectVideoAnd(probe(port, 5), "mp3");
    encode->signal(SIGTERM);
    EXPECT_EQ(encode->wait(10), 0) << encode->err();
}

// The server killed outright: the encoder streams on over UDP, and a new server is fed again.
TEST_F(RtspBesideEncodeTest, EncoderOutlivesTheServer)
{
    ASSERT_GT(startServer("rtsp1"), 0);
    startEncode({"-a", "/tmp/main.aac", "-u", "44100", "-p", "128000"});
    ASSERT_TRUE(udp.waitFor(1, 20)) << encode->err();
    ASSERT_TRUE(server->waitForOutput("audio is AAC", 20));
    server->signal(SIGKILL);
    server->wait(5);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the encoder's next writes meet the closed pipes
    size_t before = udp.count();
    EXPECT_TRUE(udp.waitFor(before + 50, 3)) << "UDP stopped with the RTSP server";
    EXPECT_EQ(encode->wait(0), -1) << "the encoder ended with the RTSP server";

    int port = startServer("rtsp2");
    ASSERT_GT(port, 0);
    expectVideoAnd(probe(port, 4), "aac");
    encode->signal(SIGTERM);
    EXPECT_EQ(encode->wait(10), 0) << encode->err();
}

} // namespace
