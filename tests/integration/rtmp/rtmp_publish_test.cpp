// `encode` publishing over RTMP to a real ingest (nginx with the RTMP module, on loopback): what a
// player reads from the server, what the server records, audio only, the RTSP server fed beside
// RTMP, and a server that stalls long enough to fill the connection's buffers while UDP keeps
// flowing, then comes back.
#include "tests/integration/rtmp/clean_start.h"
#include "tests/support/flv.h"
#include "tests/support/made_once.h"
#include "tests/support/net.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/process.h"
#include "tests/support/rtsp_probe.h"
#include "tests/support/udp_capture.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class RtmpPublishTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NginxRtmp::available()) {
            GTEST_SKIP() << "nginx with the RTMP module is not installed";
        }
        offset_ = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995});
        ASSERT_GT(offset_, 0);
        ASSERT_TRUE(nginx.running()) << nginx.errorLog();
        root.write("/mnt/rtsp.ini", "1");
        root.write("/mnt/rtsporrtmp.ini", "1");
        root.write("/mnt/idr.ini", "30");
        root.write("/mnt/autorun.sh", "#!/bin/sh\nurl=" + nginx.url("cam") + "\n");
    }

    // 720p at 30 frames a second from `source` (the virtual device's test picture by default).
    void startEncode(const std::string &source = "testsrc", const std::string &bitRate = "2000000")
    {
        std::vector<std::string> args = {"-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000",
                                         "-z", "127.0.0.1", "-c", udp.portText(), "-y", "3", "-f", "30",
                                         "-b", bitRate, "-i", "30"};
        encode = std::make_unique<ProgramRun>(root, ENCODE_BINARY, args,
                                              std::vector<std::pair<std::string, std::string>>{
                                                  {"ENCODE_VIDEO_SOURCE", source},
                                                  {"ENCODE_AUDIO_SOURCE", "tone"},
                                                  {"ENCODE_PORT_OFFSET", std::to_string(offset_)},
                                                  {"ENCODE_BIND_ADDRESS", "127.0.0.1"}});
    }
    void stopEncode()
    {
        encode->signal(SIGTERM);
        EXPECT_EQ(encode->wait(10), 0) << encode->err();
    }
    std::string probe()
    {
        return runCommand("timeout 30 ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate,"
                          "sample_rate -of compact=p=0 '" + nginx.url("cam") + "' 2>&1");
    }
    // The recording's tags once nginx has written them out.
    std::vector<flv::Tag> recording()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return flv::parse(NginxRtmp::slurp(nginx.recording("cam")));
    }

    // Both sequence headers before anything else, then a key frame: at 0 on the first connection, and
    // after a reconnection where the time stamps left off.
    static void expectCleanStart(const std::vector<flv::Tag> &tags, bool firstConnection = true)
    {
        ASSERT_GT(tags.size(), 10u);
        uint32_t first = 0;
        ::expectCleanStart(tags, "the recording", &first);
        if (firstConnection) {
            EXPECT_EQ(first, 0u);
        } else {
            EXPECT_GT(first, 4000u);
        }
    }

    NginxRtmp nginx;
    TempRoot root{true};
    UdpCapture udp;
    std::unique_ptr<ProgramRun> encode;
    int offset_ = 0;
};

TEST_F(RtmpPublishTest, PlayerAndRecordingGetVideoAndAac)
{
    startEncode();
    ASSERT_TRUE(encode->waitForOutput("connect stream ok", 20)) << encode->out() << encode->err();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string streams = probe();
    // The frame rate is checked on the recording's time stamps below: a live probe guesses it from
    // a second of capture times.
    EXPECT_NE(streams.find("codec_name=h264|width=1280|height=720|"), std::string::npos) << streams;
    EXPECT_NE(streams.find("codec_name=aac"), std::string::npos) << streams;
    EXPECT_NE(streams.find("sample_rate=44100"), std::string::npos) << streams;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stopEncode();

    std::vector<flv::Tag> tags = recording();
    expectCleanStart(tags);
    uint32_t last = 0;
    int frames = 0;
    for (const flv::Tag &t : tags) {
        if (!flv::isVideoFrame(t)) {
            continue;
        }
        EXPECT_GE(t.ts, last) << "video time stamps went back";
        last = t.ts;
        std::vector<flv::Bytes> nals;
        EXPECT_TRUE(flv::nals(t, &nals)) << "NAL lengths do not add up to the body";
        frames++;
    }
    EXPECT_GT(frames, 90);
    EXPECT_NEAR(static_cast<double>(last) / (frames - 1), 1000.0 / 30, 5.0);
}

// rtsporrtmp.ini 2: one run of the encoder feeds the RTSP server's FIFOs and publishes over RTMP. A
// player reads H.264 and AAC from the RTSP server while nginx records the published stream, and the
// status shows both outputs working.
TEST_F(RtmpPublishTest, RtspServerAndRtmpFromOneRun)
{
    root.write("/mnt/rtsporrtmp.ini", "2");
    ProgramRun server(root, RTSP_SERVER_BINARY, {"--address", "127.0.0.1", "--port", "0"}, {}, "rtsp_server");
    const std::string mark = "rtsp_server: serving rtsp://127.0.0.1:";
    ASSERT_TRUE(server.waitForOutput(mark)) << server.out() << server.err();
    int rtspPort = std::atoi(server.out().c_str() + server.out().find(mark) + mark.size());
    startEncode();
    ASSERT_TRUE(encode->waitForOutput("connect stream ok", 20)) << encode->out() << encode->err();
    // The server describes the streams whose FIFOs have data when the player asks: right after the
    // start the audio's may not yet, and a player that asks again gets both.
    std::vector<rtsp_probe::Stream> streams;
    for (int tries = 0; tries < 3 && streams.size() < 2; tries++) {
        streams = rtsp_probe::probe(rtspPort, 3);
    }
    ASSERT_EQ(streams.size(), 2u) << encode->out();
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[1].at("codec_name"), "aac");
    EXPECT_GT(rtsp_probe::frames(streams[0]), 60);
    std::vector<std::string> working;
    nlohmann::json doc = nlohmann::json::parse(root.read("/tmp/encode.status"), nullptr, false);
    for (const auto &o : doc.is_discarded() ? nlohmann::json::array() : doc["outputs"]) {
        if (o.value("state", "") == "ok" && o.value("bytes", 0) > 0) {
            working.push_back(o.value("name", ""));
        }
    }
    EXPECT_NE(std::find(working.begin(), working.end(), "RTSP video"), working.end()) << doc.dump();
    EXPECT_NE(std::find(working.begin(), working.end(), "RTSP audio"), working.end()) << doc.dump();
    EXPECT_NE(std::find(working.begin(), working.end(), "RTMP"), working.end()) << doc.dump();
    stopEncode();
    expectCleanStart(recording());
}

TEST_F(RtmpPublishTest, AudioOnlyWhenRtmpvSaysSo)
{
    root.write("/mnt/rtmpv.ini", "1");
    startEncode();
    ASSERT_TRUE(encode->waitForOutput("rtmpv.ini read=1", 20)) << encode->out();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stopEncode();
    std::vector<flv::Tag> tags = recording();
    ASSERT_GT(tags.size(), 20u);
    EXPECT_EQ(std::count_if(tags.begin(), tags.end(), [](const flv::Tag &t) { return t.type == 9; }), 0);
    EXPECT_TRUE(std::any_of(tags.begin(), tags.end(), flv::isAacHeader));
    EXPECT_GT(udp.count(), 100u) << "the TS goes on beside RTMP";
}

// The longest gap between datagrams that arrived in [from, to), and how many did.
double longestGap(const std::vector<UdpCapture::Datagram> &grams, Clock::time_point from, Clock::time_point to,
                  size_t *count)
{
    double longest = 0;
    Clock::time_point last = from;
    *count = 0;
    for (const auto &d : grams) {
        if (d.at >= from && d.at < to) {
            longest = std::max(longest, std::chrono::duration<double>(d.at - last).count());
            last = d.at;
            ++*count;
        }
    }
    return std::max(longest, std::chrono::duration<double>(to - last).count());
}

// A server that stops reading for 25 s at 3 Mbit/s fills the connection's buffers: the publisher's
// own threads wait and its queue drops, while UDP never pauses. Once the server runs again the
// publisher is back within 3 s: reconnected from a key frame with both headers when the stall cost
// it the connection, else simply sending on.
TEST_F(RtmpPublishTest, StalledServerHoldsUpNoOtherOutput)
{
    std::string noisy = noisyPicture();
    ASSERT_FALSE(noisy.empty()) << "ffmpeg could not make the noisy picture";
    startEncode("file:" + noisy, "3000000");
    ASSERT_TRUE(encode->waitForOutput("connect stream ok", 20)) << encode->out() << encode->err();
    ASSERT_TRUE(udp.waitFor(1, 10)) << encode->err();
    std::this_thread::sleep_for(std::chrono::seconds(2));

    nginx.pause();
    auto stalled = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(25));
    size_t before = NginxRtmp::slurp(nginx.recording("cam")).size();
    nginx.resume();
    auto resumed = Clock::now();
    size_t during = 0;
    double longest = longestGap(udp.datagrams(), stalled, resumed, &during);
    bool lost = encode->out().find("rtmp connection lost (") != std::string::npos;

    // Back: "rtmp reconnected" after a lost connection, else new bytes in the recording.
    bool back = false;
    while (!back && Clock::now() - resumed < std::chrono::seconds(10)) {
        back = lost ? encode->out().find("rtmp reconnected") != std::string::npos
                    : NginxRtmp::slurp(nginx.recording("cam")).size() > before;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double took = std::chrono::duration<double>(Clock::now() - resumed).count();
    std::printf("RTMP server stopped 25 s at 3 Mbit/s: %zu datagrams, longest UDP pause %.3f s; connection %s; "
                "publishing again %.2f s after the server's return\n",
                during, longest, lost ? "lost" : "kept", took);
    EXPECT_GT(during, 2000u);
    EXPECT_LT(longest, 0.2);
    ASSERT_TRUE(back) << encode->out();
    EXPECT_LT(took, 3.0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string streams = probe();
    EXPECT_NE(streams.find("codec_name=h264"), std::string::npos) << streams;
    stopEncode();
    if (lost) {
        expectCleanStart(recording(), false);
    }
}

} // namespace
