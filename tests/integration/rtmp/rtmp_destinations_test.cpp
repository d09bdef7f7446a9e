// `encode` publishing to two RTMP destinations at once (url= and the first line of rtmpx.ini), each
// on its own nginx-rtmp: both streams start clean, and a server that stops for 5 s costs only its own
// destination while the other one's recording and UDP go on, then it is back within 3 s.
#include "tests/integration/rtmp/clean_start.h"
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

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// A line of the program's output exactly (destination 1's lines are the same as destination N's after
// their "rtmp N: ").
bool hasLine(const ProgramRun &run, const std::string &line, int waitS)
{
    auto until = Clock::now() + std::chrono::seconds(waitS);
    do {
        std::string out = "\n" + run.out();
        if (out.find("\n" + line + "\n") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < until);
    return false;
}

// The longest step between video time stamps of a recording, in ms.
uint32_t longestStampStep(const std::string &recording)
{
    uint32_t last = 0;
    uint32_t longest = 0;
    bool any = false;
    for (const flv::Tag &t : flv::parse(recording)) {
        if (flv::isVideoFrame(t)) {
            longest = any ? std::max(longest, t.ts - last) : 0;
            last = t.ts;
            any = true;
        }
    }
    return longest;
}

TEST(RtmpDestinations, AStalledServerCostsOnlyItsOwnDestination)
{
    if (!NginxRtmp::available()) {
        GTEST_SKIP() << "nginx with the RTMP module is not installed";
    }
    NginxRtmp one;
    NginxRtmp two;
    ASSERT_TRUE(one.running() && two.running()) << one.errorLog() << two.errorLog();
    TempRoot root{true};
    UdpCapture udp;
    int offset = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995});
    ASSERT_GT(offset, 0);
    root.write("/mnt/rtsp.ini", "1");
    root.write("/mnt/rtsporrtmp.ini", "1");
    root.write("/mnt/idr.ini", "30");
    root.write("/mnt/autorun.sh", "#!/bin/sh\nurl=" + one.url("cam") + "\n");
    root.write("/mnt/rtmpx.ini", two.url("cam") + "\n\nhttp://127.0.0.1/live/x\n"); // 3 none, 4 no URL
    ProgramRun encode(root, ENCODE_BINARY,
                      {"-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000", "-z", "127.0.0.1",
                       "-c", udp.portText(), "-y", "3", "-f", "30", "-b", "2000000", "-i", "30"},
                      {{"ENCODE_VIDEO_SOURCE", "testsrc"},
                       {"ENCODE_AUDIO_SOURCE", "tone"},
                       {"ENCODE_PORT_OFFSET", std::to_string(offset)},
                       {"ENCODE_BIND_ADDRESS", "127.0.0.1"}});
    ASSERT_TRUE(encode.waitForOutput("rtmp 2: connect stream ok", 20)) << encode.out() << encode.err();
    ASSERT_TRUE(hasLine(encode, "connect stream ok ", 20)) << encode.out() << encode.err();
    ASSERT_TRUE(udp.waitFor(1, 10));
    EXPECT_TRUE(hasLine(encode, "rtmp 4: error url input (it must start with rtmp:// or rtmps://)", 0)) << encode.out();
    EXPECT_EQ(encode.out().find("rtmp 3:"), std::string::npos) << encode.out();
    // The status names each destination without its stream name (the ingest's key). Waited for
    // together with a few frames in each recording.
    std::string status;
    auto recorded = [](const NginxRtmp &server) { return flv::parse(NginxRtmp::slurp(server.recording("cam"))).size(); };
    for (auto until = Clock::now() + std::chrono::seconds(5);
         (status.find("\"destination\":2") == std::string::npos || recorded(one) < 10 || recorded(two) < 10) &&
         Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        status = root.read("/tmp/encode.status");
    }
    EXPECT_NE(status.find("\"destination\":2"), std::string::npos) << status;
    EXPECT_NE(status.find("rtmp://127.0.0.1:" + std::to_string(two.port()) + "/live/"), std::string::npos) << status;
    EXPECT_EQ(status.find("/live/cam"), std::string::npos) << status;
    expectCleanStart(flv::parse(NginxRtmp::slurp(one.recording("cam"))), "destination 1");
    expectCleanStart(flv::parse(NginxRtmp::slurp(two.recording("cam"))), "destination 2");

    // Destination 2's server stops for 5 s; destination 1's recording is watched growing meanwhile.
    two.pause();
    auto stalled = Clock::now();
    size_t size = NginxRtmp::slurp(one.recording("cam")).size();
    auto grew = stalled;
    double longestStill = 0;
    while (Clock::now() - stalled < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        size_t now = NginxRtmp::slurp(one.recording("cam")).size();
        if (now != size) {
            longestStill = std::max(longestStill, seconds(Clock::now() - grew));
            grew = Clock::now();
            size = now;
        }
    }
    longestStill = std::max(longestStill, seconds(Clock::now() - grew));
    size_t before = NginxRtmp::slurp(two.recording("cam")).size();
    two.resume();
    auto resumed = Clock::now();
    size_t during = 0;
    double udpGap = 0;
    {
        Clock::time_point last = stalled;
        for (const auto &d : udp.datagrams()) {
            if (d.at >= stalled && d.at < resumed) {
                udpGap = std::max(udpGap, seconds(d.at - last));
                last = d.at;
                during++;
            }
        }
    }
    bool lost = encode.out().find("rtmp 2: rtmp connection lost (") != std::string::npos;
    bool back = false;
    while (!back && Clock::now() - resumed < std::chrono::seconds(10)) {
        back = lost ? encode.out().find("rtmp 2: rtmp reconnected") != std::string::npos
                    : NginxRtmp::slurp(two.recording("cam")).size() > before;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double took = seconds(Clock::now() - resumed);
    std::printf("destination 2 stopped 5 s: destination 1's recording still at most %.3f s, %zu datagrams with "
                "the longest UDP pause %.3f s; destination 2 %s, publishing again %.2f s after its server's return\n",
                longestStill, during, udpGap, lost ? "lost its connection" : "kept its connection", took);
    EXPECT_LT(longestStill, 0.5);
    EXPECT_GT(during, 300u);
    EXPECT_LT(udpGap, 0.2);
    EXPECT_TRUE(back) << encode.out();
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(encode.out().find("\nrtmp connection lost"), std::string::npos) << "destination 1 lost its connection";
    std::this_thread::sleep_for(std::chrono::seconds(1));
    encode.signal(SIGTERM);
    EXPECT_EQ(encode.wait(10), 0) << encode.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(longestStampStep(NginxRtmp::slurp(one.recording("cam"))), 500u);
    if (lost) {
        expectCleanStart(flv::parse(NginxRtmp::slurp(two.recording("cam"))), "destination 2 after reconnecting");
    }
}

} // namespace
