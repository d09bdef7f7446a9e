// `encode` publishing over rtmps:// to four destinations at once, through TLS front ends (nginx's
// stream module) before nginx-rtmp, with the test's CA in the store's rtmps_ca.pem: the servers whose
// certificates pass the checks record the stream; one signed by an unknown CA and one made out to
// another name are sent nothing past the TLS handshake, while the refusal is said once for all the
// tries and shown in the status, and every other output goes on.
#include "tests/integration/rtmp/clean_start.h"
#include "tests/support/flv.h"
#include "tests/support/net.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/process.h"
#include "tests/support/tls_certs.h"
#include "tests/support/udp_capture.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum Front { Good, SelfSigned, OtherName };

size_t linesBeginning(const std::string &text, const std::string &head)
{
    return NginxRtmp::linesBeginning(text, head);
}

// The status object of RTMP destination `n`, once `ready` holds for it (null when it never does).
nlohmann::json destinationStatus(const TempRoot &root, int n, bool (*ready)(const nlohmann::json &))
{
    for (auto until = Clock::now() + std::chrono::seconds(10); Clock::now() < until;) {
        nlohmann::json doc = nlohmann::json::parse(root.read("/tmp/encode.status"), nullptr, false);
        nlohmann::json none = nlohmann::json::array();
        for (const auto &o : doc.is_discarded() ? none : doc.value("outputs", none)) {
            if (o.value("kind", "") == "rtmp" && o.value("destination", 0) == n && ready(o)) {
                return o;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return nullptr;
}

TEST(Rtmps, OnlyVerifiedServersAreSentTheStream)
{
    if (!NginxRtmp::tlsAvailable()) {
        GTEST_SKIP() << "nginx with the RTMP and stream modules is not installed";
    }
    TestCertificates certs;
    certs.server("good", "DNS:localhost,IP:127.0.0.1", false);
    certs.server("self", "DNS:localhost,IP:127.0.0.1", true);
    certs.server("other", "DNS:other.example", false);
    ASSERT_TRUE(certs.ok()) << "openssl could not make the certificates";
    NginxRtmp nginx(std::vector<NginxTlsFront>{{certs.pem("good"), certs.key("good")},
                                               {certs.pem("self"), certs.key("self")},
                                               {certs.pem("other"), certs.key("other")}});
    ASSERT_TRUE(nginx.running()) << nginx.errorLog();

    const struct {
        const char *what;
        Front front;
        const char *host;
        const char *name;    // the stream name, which nginx records under
        const char *refusal; // null: published
    } cases[] = {
        {"trusted, the server named (destination 1)", Good, "localhost", "one", nullptr},
        {"an unknown CA", SelfSigned, "localhost", "two",
         "rtmps: the certificate of localhost is not trusted (its issuer is not among the CAs of /mnt/rtmps_ca.pem); "
         "nothing sent"},
        {"another name", OtherName, "127.0.0.1", "three",
         "rtmps: the certificate of 127.0.0.1 is not trusted (it is made out to another name); nothing sent"},
        {"trusted, the server's address", Good, "127.0.0.1", "four", nullptr},
    };
    auto url = [&](const auto &c) {
        return "rtmps://" + std::string(c.host) + ":" + std::to_string(nginx.front(c.front).port) + "/live/" + c.name;
    };
    auto tag = [](int destination) {
        return destination == 1 ? std::string() : "rtmp " + std::to_string(destination) + ": ";
    };

    TempRoot root{true};
    UdpCapture udp;
    int offset = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995});
    ASSERT_GT(offset, 0);
    root.write("/mnt/rtsp.ini", "1");
    root.write("/mnt/rtsporrtmp.ini", "1");
    root.write("/mnt/idr.ini", "30");
    root.write("/mnt/rtmps_ca.pem", NginxRtmp::slurp(certs.pem("ca")));
    root.write("/mnt/autorun.sh", "#!/bin/sh\nurl=" + url(cases[0]) + "\n");
    root.write("/mnt/rtmpx.ini", url(cases[1]) + "\n" + url(cases[2]) + "\n" + url(cases[3]) + "\n");
    ProgramRun encode(root, ENCODE_BINARY,
                      {"-v", "/tmp/main.264", "-a", "/tmp/main.aac", "-u", "44100", "-p", "128000", "-z", "127.0.0.1",
                       "-c", udp.portText(), "-y", "3", "-f", "30", "-b", "2000000", "-i", "30"},
                      {{"ENCODE_VIDEO_SOURCE", "testsrc"},
                       {"ENCODE_AUDIO_SOURCE", "tone"},
                       {"ENCODE_PORT_OFFSET", std::to_string(offset)},
                       {"ENCODE_BIND_ADDRESS", "127.0.0.1"}});
    for (int destination : {1, 4}) {
        bool up = false;
        for (auto until = Clock::now() + std::chrono::seconds(20); !up && Clock::now() < until;) {
            up = linesBeginning(encode.out(), tag(destination) + "connect stream ok") > 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(up) << "destination " << destination << "\n" << encode.out() << encode.err();
    }
    ASSERT_TRUE(udp.waitFor(1, 10));

    // The refused destinations have been tried again and again by now (a try a second at first).
    for (auto until = Clock::now() + std::chrono::seconds(15);
         (nginx.frontSessions(SelfSigned) < 3 || nginx.frontSessions(OtherName) < 3) && Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    size_t udpBefore = udp.count();
    for (int i = 0; i < 4; i++) {
        const auto &c = cases[i];
        int destination = i + 1;
        if (c.refusal == nullptr) {
            continue;
        }
        EXPECT_GE(nginx.frontSessions(c.front), 3u) << c.what << ": " << nginx.frontLog(c.front);
        std::printf("destination %d, %s: %zu TLS handshakes refused, said once: %s\n", destination, c.what,
                    nginx.frontSessions(c.front), c.refusal);
        EXPECT_EQ(linesBeginning(encode.out(), tag(destination) + c.refusal), 1u) << c.what << encode.out();
        EXPECT_EQ(linesBeginning(encode.out(), tag(destination)), 1u) << c.what << ": one line for the whole outage\n"
                                                                          << encode.out();
        nlohmann::json o = destinationStatus(root, destination, [](const nlohmann::json &s) {
            return s.value("state", "") == "waiting" && !s.value("error", "").empty();
        });
        ASSERT_FALSE(o.is_null()) << c.what;
        EXPECT_EQ(o.value("error", ""), c.refusal) << c.what;
        EXPECT_EQ(o.value("bytes", -1), 0) << c.what;
    }
    EXPECT_TRUE(udp.waitFor(udpBefore + 100, 5)) << "the other outputs went on";
    auto sending = [](const nlohmann::json &s) { return s.value("state", "") == "ok" && s.value("bytes", 0) > 100000; };
    EXPECT_FALSE(destinationStatus(root, 1, sending).is_null());
    EXPECT_FALSE(destinationStatus(root, 4, sending).is_null());

    encode.signal(SIGTERM);
    EXPECT_EQ(encode.wait(10), 0) << encode.err();
    nginx.stop(); // the recordings closed

    for (int i = 0; i < 4; i++) {
        const auto &c = cases[i];
        std::string recording = nginx.recording(c.name);
        if (c.refusal != nullptr) {
            EXPECT_FALSE(std::filesystem::exists(recording)) << c.what;
            EXPECT_EQ(nginx.rtmpLines(c.front), "") << c.what << ": nginx-rtmp saw a session";
            EXPECT_EQ(nginx.frontPassedOn(c.front), 0u) << c.what << ": " << nginx.frontLog(c.front);
            continue;
        }
        std::string streams =
            runCommand("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + recording + "' 2>&1");
        EXPECT_NE(streams.find("h264\n"), std::string::npos) << c.what << ": " << streams;
        EXPECT_NE(streams.find("aac\n"), std::string::npos) << c.what << ": " << streams;
        expectCleanStart(flv::parse(NginxRtmp::slurp(recording)), c.what);
    }
    EXPECT_EQ(nginx.frontPassedOn(Good), 2u) << nginx.frontLog(Good);
    std::string published = nginx.rtmpLines(Good);
    EXPECT_NE(published.find("publish: name='one'"), std::string::npos) << published;
    EXPECT_NE(published.find("publish: name='four'"), std::string::npos) << published;
}

} // namespace
