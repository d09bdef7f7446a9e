// `encode` publishing over RTMP to a real ingest (nginx with the RTMP module, on loopback): what a
// player reads from the server, what the server records, audio only, and a server that stalls and
// then dies and comes back while UDP keeps flowing.
#include "tests/support/flv.h"
#include "tests/support/net.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

    void startEncode()
    {
        std::vector<std::string> args = {"-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000",
                                         "-z", "127.0.0.1", "-c", udp.portText(), "-y", "3", "-f", "30",
                                         "-b", "2000000", "-i", "30"};
        encode = std::make_unique<ProgramRun>(root, ENCODE_BINARY, args,
                                              std::vector<std::pair<std::string, std::string>>{
                                                  {"ENCODE_VIDEO_SOURCE", "testsrc"},
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
        std::vector<flv::Tag> av;
        std::copy_if(tags.begin(), tags.end(), std::back_inserter(av), [](const flv::Tag &t) { return t.type != 18; });
        ASSERT_GE(av.size(), 3u);
        EXPECT_TRUE(flv::isAvcHeader(av[0]) || flv::isAvcHeader(av[1]));
        EXPECT_TRUE(flv::isAacHeader(av[0]) || flv::isAacHeader(av[1]));
        auto first = std::find_if(av.begin(), av.end(), flv::isVideoFrame);
        ASSERT_NE(first, av.end());
        EXPECT_TRUE(flv::isKeyFrame(*first));
        if (firstConnection) {
            EXPECT_EQ(first->ts, 0u);
        } else {
            EXPECT_GT(first->ts, 4000u);
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

// A server that stops answering for 5 s costs the stream at most a send timeout; one that is killed
// and started again is published to within 3 s of its return, from a key frame with both headers.
TEST_F(RtmpPublishTest, StalledThenRestartedServer)
{
    startEncode();
    ASSERT_TRUE(encode->waitForOutput("connect stream ok", 20)) << encode->out();
    std::this_thread::sleep_for(std::chrono::seconds(2));

    kill(nginx.pid(), SIGSTOP);
    auto stalled = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    auto grams = udp.datagrams();
    double longest = 0;
    auto last = stalled;
    size_t during = 0;
    for (const auto &d : grams) {
        if (d.at > stalled) {
            longest = std::max(longest, std::chrono::duration<double>(d.at - last).count());
            last = d.at;
            during++;
        }
    }
    std::printf("RTMP server stalled 5 s: %zu datagrams, longest UDP pause %.2f s\n", during, longest);
    EXPECT_GT(during, 100u);
    EXPECT_LT(longest, 2.5);

    nginx.crash();
    ASSERT_TRUE(nginx.start()) << nginx.errorLog();
    auto back = Clock::now();
    std::string before = encode->out();
    size_t oks = 0;
    for (size_t at = before.find("connect stream ok"); at != std::string::npos; at = before.find("connect stream ok", at + 1)) {
        oks++;
    }
    bool again = false;
    while (!again && Clock::now() - back < std::chrono::seconds(10)) {
        std::string out = encode->out();
        size_t n = 0;
        for (size_t at = out.find("connect stream ok"); at != std::string::npos; at = out.find("connect stream ok", at + 1)) {
            n++;
        }
        again = n > oks;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double took = std::chrono::duration<double>(Clock::now() - back).count();
    std::printf("published again %.2f s after the server's return\n", took);
    ASSERT_TRUE(again) << encode->out();
    EXPECT_LT(took, 3.0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string streams = probe();
    EXPECT_NE(streams.find("codec_name=h264"), std::string::npos) << streams;
    stopEncode();
    expectCleanStart(recording(), false);
}

} // namespace
