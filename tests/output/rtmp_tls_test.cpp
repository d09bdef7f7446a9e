// The TLS of rtmps:// against real TLS servers on loopback (nginx's stream module before nginx-rtmp,
// with certificates the openssl program made for the test): which certificates pass the checks, what
// the refusal says, and that no step waits past its bound or beyond an abort.
#include "encode/output/rtmp.h"
#include "encode/output/rtmp_tls.h"
#include "tests/support/nginx_rtmp.h"
#include "tests/support/temp_root.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

int connectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

enum Front { Good, SelfSigned, OtherName };

class RtmpTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::signal(SIGPIPE, SIG_IGN);
        certs = std::make_unique<TestCertificates>();
        certs->server("good", "DNS:localhost,IP:127.0.0.1", false);
        certs->server("self", "DNS:localhost,IP:127.0.0.1", true);
        certs->server("other", "DNS:other.example", false);
        if (NginxRtmp::tlsAvailable() && certs->ok()) {
            nginx = std::make_unique<NginxRtmp>(std::vector<NginxTlsFront>{{certs->pem("good"), certs->key("good")},
                                                                           {certs->pem("self"), certs->key("self")},
                                                                           {certs->pem("other"), certs->key("other")}});
        }
    }
    static void TearDownTestSuite()
    {
        nginx.reset();
        certs.reset();
    }
    void SetUp() override
    {
        if (!NginxRtmp::tlsAvailable()) {
            GTEST_SKIP() << "nginx with the RTMP and stream modules is not installed";
        }
        ASSERT_TRUE(certs->ok()) << "openssl could not make the certificates";
        ASSERT_TRUE(nginx->running()) << nginx->errorLog();
    }
    void TearDown() override
    {
        if (fd >= 0) {
            close(fd);
        }
    }

    // A handshake through `front` for `host`, with the store's CA file as given ("" for none).
    RtmpTls::Result handshake(RtmpTls &tls, Front front, const std::string &host, std::string &why)
    {
        fd = connectTo(nginx->front(front).port);
        return fd < 0 ? RtmpTls::Failed : tls.start(fd, host, 5000, why);
    }

    static inline std::unique_ptr<TestCertificates> certs;
    static inline std::unique_ptr<NginxRtmp> nginx;
    TempRoot root;
    int fd = -1;
};

TEST_F(RtmpTlsTest, WhichCertificatesPassAndWhatARefusalSays)
{
    const std::string ca = NginxRtmp::slurp(certs->pem("ca"));
    const std::string self = NginxRtmp::slurp(certs->pem("self"));
    const struct {
        const char *what;
        std::string caFile; // the store's rtmps_ca.pem; "" none (the system's CAs)
        Front front;
        const char *host;
        RtmpTls::Result result;
        const char *why; // the whole refusal
    } cases[] = {
        {"the store's CA, the server named", ca, Good, "localhost", RtmpTls::Up, ""},
        {"the store's CA, the server's address", ca, Good, "127.0.0.1", RtmpTls::Up, ""},
        {"a self-signed server pinned by its own certificate", self, SelfSigned, "localhost", RtmpTls::Up, ""},
        {"the system's CAs do not know the test CA", "", Good, "localhost", RtmpTls::Untrusted,
         "the certificate of localhost is not trusted (its issuer is not among the CAs of "
         "/etc/ssl/certs/ca-certificates.crt)"},
        {"a self-signed server", ca, SelfSigned, "localhost", RtmpTls::Untrusted,
         "the certificate of localhost is not trusted (its issuer is not among the CAs of /mnt/rtmps_ca.pem)"},
        {"a certificate for another name", ca, OtherName, "localhost", RtmpTls::Untrusted,
         "the certificate of localhost is not trusted (it is made out to another name)"},
        {"a certificate without the address", ca, OtherName, "127.0.0.1", RtmpTls::Untrusted,
         "the certificate of 127.0.0.1 is not trusted (it is made out to another name)"},
        {"both wrong", self, OtherName, "localhost", RtmpTls::Untrusted,
         "the certificate of localhost is not trusted (its issuer is not among the CAs of /mnt/rtmps_ca.pem, "
         "it is made out to another name)"},
        {"a CA file with no certificate in it", "-----BEGIN CERTIFICATE-----\nnone\n", Good, "localhost", RtmpTls::NoCa,
         "no CA certificate could be read from /mnt/rtmps_ca.pem"},
        {"a CA file of a blank", " ", Good, "localhost", RtmpTls::NoCa,
         "no CA certificate could be read from /mnt/rtmps_ca.pem"},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(root.path(kRtmpsCaFile));
        if (!c.caFile.empty()) {
            root.write(kRtmpsCaFile, c.caFile);
        }
        std::string why;
        {
            RtmpTls tls;
            EXPECT_EQ(handshake(tls, c.front, c.host, why), c.result) << c.what << ": " << why;
        }
        EXPECT_EQ(c.result == RtmpTls::Up ? "" : why, c.why) << c.what;
        close(fd);
        fd = -1;
    }
    // Only the verified sessions were passed on to nginx-rtmp. Each front logs a connection once it
    // has ended (the two without a usable CA file were closed before their handshake).
    auto sessions = [] {
        return nginx->frontSessions(Good) + nginx->frontSessions(SelfSigned) + nginx->frontSessions(OtherName);
    };
    for (auto until = Clock::now() + std::chrono::seconds(5); sessions() < std::size(cases) && Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(sessions(), std::size(cases));
    EXPECT_EQ(nginx->frontPassedOn(Good), 2u) << nginx->frontLog(Good);
    EXPECT_EQ(nginx->frontPassedOn(SelfSigned), 1u) << nginx->frontLog(SelfSigned);
    EXPECT_EQ(nginx->frontPassedOn(OtherName), 0u) << nginx->frontLog(OtherName);
    EXPECT_EQ(nginx->rtmpLines(OtherName), "");
}

// A verified session handed over reads what the server sends without waiting, notices its end, and
// ends without waiting for a server that has stopped.
TEST_F(RtmpTlsTest, DrainAndEndOfAHandedOverSession)
{
    root.write(kRtmpsCaFile, NginxRtmp::slurp(certs->pem("ca")));
    NginxRtmp own(std::vector<NginxTlsFront>{{certs->pem("good"), certs->key("good")}});
    ASSERT_TRUE(own.running()) << own.errorLog();
    int sock = connectTo(own.front(0).port);
    ASSERT_GE(sock, 0);
    std::string why;
    auto tls = std::make_unique<RtmpTls>();
    ASSERT_EQ(tls->start(sock, "localhost", 5000, why), RtmpTls::Up) << why;
    gnutls_session_t session = tls->handOver();
    auto t = Clock::now();
    EXPECT_TRUE(tls->drain(session));
    EXPECT_LT(secondsSince(t), 0.5) << "a drain with nothing to read waited";

    // The server stops (its process paused): the end sends close_notify and does not wait for the
    // server's, on a socket that has no receive timeout at all.
    own.pause();
    t = Clock::now();
    tls->closing();
    gnutls_bye(session, GNUTLS_SHUT_RDWR);
    EXPECT_LT(secondsSince(t), 1.0);
    gnutls_deinit(session);
    tls.reset();
    own.resume();
    close(sock);

    // A server that ends the connection: the drain says so.
    sock = connectTo(own.front(0).port);
    tls = std::make_unique<RtmpTls>();
    ASSERT_EQ(tls->start(sock, "localhost", 5000, why), RtmpTls::Up) << why;
    session = tls->handOver();
    own.crash();
    bool open = true;
    for (auto until = Clock::now() + std::chrono::seconds(5); open && Clock::now() < until;) {
        open = tls->drain(session);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(open);
    gnutls_deinit(session);
    tls.reset();
    close(sock);
}

// A server that takes the connection and never answers the handshake holds it for its bound and no
// longer; an abort (the socket shut down from another thread, as the link's abort does) ends it at once,
// and so does the stop of a publisher caught in it.
TEST_F(RtmpTlsTest, AStalledHandshakeEndsAtItsBoundOrAtAnAbort)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0); // the kernel completes connections nobody accepts
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
    int port = ntohs(a.sin_port);

    std::string why;
    fd = connectTo(port);
    auto t = Clock::now();
    {
        RtmpTls tls;
        EXPECT_EQ(tls.start(fd, "localhost", 1500, why), RtmpTls::Failed);
    }
    double bound = secondsSince(t);
    EXPECT_EQ(why, "the TLS handshake with localhost timed out");
    EXPECT_GE(bound, 1.4);
    EXPECT_LT(bound, 3.0);
    close(fd);

    fd = connectTo(port);
    int guard = dup(fd);
    std::thread aborter([guard] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        shutdown(guard, SHUT_RDWR);
    });
    t = Clock::now();
    {
        RtmpTls tls;
        EXPECT_EQ(tls.start(fd, "localhost", 10000, why), RtmpTls::Failed);
    }
    double aborted = secondsSince(t);
    aborter.join();
    close(guard);
    EXPECT_LT(aborted, 2.0);
    EXPECT_NE(why.find("the TLS handshake with localhost failed ("), std::string::npos) << why;
    close(fd);
    fd = -1;

    // The publisher's connection waits in the accept queue, its handshake unanswered, when it stops.
    // The earlier ones are taken off the queue first, so that the publisher's shows.
    pollfd p{listener, POLLIN, 0};
    while (poll(&p, 1, 0) == 1) {
        close(accept(listener, nullptr, nullptr));
    }
    std::string url = "rtmps://127.0.0.1:" + std::to_string(port) + "/live/key";
    RtmpPublisherConfig config{url.c_str(), 0};
    RtmpPublisher_Handle pub = RtmpPublisher_create(&config);
    ASSERT_NE(pub, nullptr);
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "the publisher did not connect";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    t = Clock::now();
    RtmpPublisher_destroy(pub);
    double stopped = secondsSince(t);
    close(listener);
    std::printf("a stalled handshake: %.2f s at a bound of 1.5 s, %.2f s after an abort at 0.3 s, a publisher's "
                "stop in it %.2f s\n", bound, aborted, stopped);
    EXPECT_LT(stopped, 1.0);
}

} // namespace
