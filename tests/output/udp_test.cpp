// The UDP output: its destinations and datagrams against real sockets on 127.0.0.1.
#include "encode/output/udp.h"
#include "tests/support/net.h"
#include "tests/support/temp_root.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct UdpOutDeleter {
    void operator()(UdpOut_Object *t) const { UdpOut_output(t)->stop(); }
};
using UdpOutPtr = std::unique_ptr<UdpOut_Object, UdpOutDeleter>;

// A datagram receiver bound to an ephemeral loopback port.
class Receiver {
public:
    Receiver()
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~Receiver() { ::close(fd_); }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    int port() const { return port_; }

    // Sizes of the datagrams that arrive within `waitMs` of each other.
    std::vector<int> sizes(int waitMs = 3000)
    {
        std::vector<int> out;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, out.empty() ? waitMs : 300) <= 0) {
                return out;
            }
            std::vector<uint8_t> buf(65536);
            ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n < 0) {
                return out;
            }
            out.push_back(static_cast<int>(n));
            last_.assign(buf.begin(), buf.begin() + n);
        }
    }
    const std::vector<uint8_t> &last() const { return last_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<uint8_t> last_;
};

std::vector<uint8_t> tsBytes(int packets)
{
    std::vector<uint8_t> v(static_cast<size_t>(packets) * 188);
    for (size_t i = 0; i < v.size(); i++) {
        v[i] = static_cast<uint8_t>(i % 188 == 0 ? 0x47 : i * 7);
    }
    return v;
}

int sockOptInt(int fd, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    if (::getsockopt(fd, level, name, &value, &len) != 0) {
        return -100;
    }
    return len == 1 ? static_cast<unsigned char>(value & 0xFF) : value;
}

class UdpTest : public ::testing::Test {
protected:
    void setupAll(const char *a1, int p1, const char *a2, int p2, const char *a3, int p3)
    {
        UdpOut_Attrs attrs{};
        attrs.destinations = NetDestinations_make(a1, p1, a2, p2, a3, p3);
        attrs.sending = true;
        out_.reset(UdpOut_create(&attrs));
        ASSERT_NE(out_, nullptr);
    }
    void fanOut(const std::vector<uint8_t> &ts) { UdpOut_output(out_.get())->ts(ts.data(), static_cast<int>(ts.size())); }
    NetDestinations destinations() const { return UdpOut_destinations(out_.get()); }

    TempRoot root_;
    UdpOutPtr out_;
};

TEST_F(UdpTest, FrameIsCutInto1316ByteDatagramsForEveryDestination)
{
    Receiver r1, r2, r3;
    testing::internal::CaptureStdout();
    setupAll("127.0.0.1", r1.port(), "127.0.0.1", r2.port(), "127.0.0.1", r3.port());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("kavex->ipAddr:127.0.0.1\nkavex->port:" + std::to_string(r1.port()) + "\n"), std::string::npos);
    EXPECT_NE(out.find("kavex->ipdAddr:127.0.0.1\nkavex->dport:" + std::to_string(r2.port()) + "\n"), std::string::npos);
    EXPECT_NE(out.find("kavex->ipeAddr:127.0.0.1\nkavex->eport:" + std::to_string(r3.port()) + "\n"), std::string::npos);
    EXPECT_NE(out.find("no ttl.ini, so use default"), std::string::npos);

    std::vector<uint8_t> frame = tsBytes(14); // 2 PSI + 12 data packets
    fanOut(frame);
    for (Receiver *r : {&r1, &r2, &r3}) {
        EXPECT_EQ(r->sizes(), (std::vector<int>{1316, 1316}));
        EXPECT_TRUE(std::equal(r->last().begin(), r->last().end(), frame.begin() + 1316));
    }
}

TEST_F(UdpTest, RemainderGoesWholeAsTheLastDatagram)
{
    Receiver r1;
    setupAll("127.0.0.1", r1.port(), "", 0, "", 0);
    fanOut(tsBytes(8)); // 1504 bytes
    EXPECT_EQ(r1.sizes(), (std::vector<int>{1316, 188}));
    fanOut(tsBytes(7));
    EXPECT_EQ(r1.sizes(), (std::vector<int>{1316}));
    fanOut(tsBytes(1));
    EXPECT_EQ(r1.sizes(), (std::vector<int>{188}));
}

TEST_F(UdpTest, UnparsableAddressIsSkippedAndTheOthersStillReceive)
{
    Receiver r1, r2, r3;
    testing::internal::CaptureStderr();
    setupAll("127.0.0.1", r1.port(), "not.an.addr", r2.port(), "127.0.0.1", r3.port());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: d self ip addr error!\n");
    EXPECT_LT(destinations().fd[1], 0);

    fanOut(tsBytes(2));
    EXPECT_EQ(r1.sizes(), (std::vector<int>{376}));
    EXPECT_EQ(r3.sizes(), (std::vector<int>{376}));
    EXPECT_TRUE(r2.sizes(500).empty());

    testing::internal::CaptureStderr();
    setupAll("1.2.3", r1.port(), "", 0, "127.0.0.1.5", r3.port());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: self ip addr error!\nError: self ip addr error!\n");
}

TEST_F(UdpTest, OverlongAddressIsNotTruncatedIntoAnotherOne)
{
    Receiver r1;
    // The first fifteen characters would be a valid address; sending there would be wrong.
    NetDestinations d = NetDestinations_make("127.0.0.1000000", r1.port(), nullptr, 0, nullptr, 0);
    EXPECT_STREQ(d.addr[0], "127.0.0.1000000");
    d = NetDestinations_make("127.000.000.0011", r1.port(), nullptr, 0, nullptr, 0);
    EXPECT_STREQ(d.addr[0], "");
    testing::internal::CaptureStderr();
    UdpOut_Attrs attrs{};
    attrs.destinations = d;
    out_.reset(UdpOut_create(&attrs));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: self ip addr error!\n");
    ASSERT_NE(out_, nullptr);
    EXPECT_LT(destinations().fd[0], 0);
}

TEST_F(UdpTest, PortZeroLeavesTheDestinationUnusedAndItsAddressEmpty)
{
    NetDestinations d = NetDestinations_make("127.0.0.1", 0, "127.0.0.1", -5, "127.0.0.1", 0);
    for (int i = 0; i < NET_DESTINATIONS; i++) {
        EXPECT_STREQ(d.addr[i], "");
        EXPECT_EQ(d.fd[i], -1);
    }
    EXPECT_EQ(d.port[1], -5);
    testing::internal::CaptureStdout();
    UdpOut_Attrs attrs{};
    attrs.destinations = d;
    out_.reset(UdpOut_create(&attrs));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(out_, nullptr);
    EXPECT_EQ(out.find("kavex->"), std::string::npos);
}

TEST_F(UdpTest, BroadcastOnlyOnTheThirdDestinationAndSendErrorsAreReported)
{
    Receiver r2, r3;
    setupAll("127.0.0.1", r2.port(), "127.0.0.1", r2.port(), "127.0.0.1", r3.port());
    NetDestinations d = destinations();
    EXPECT_EQ(sockOptInt(d.fd[0], SOL_SOCKET, SO_BROADCAST), 0);
    EXPECT_EQ(sockOptInt(d.fd[1], SOL_SOCKET, SO_BROADCAST), 0);
    EXPECT_EQ(sockOptInt(d.fd[2], SOL_SOCKET, SO_BROADCAST), 1);
    r2.sizes(500);

    // A broadcast address on destination 1 is refused by the kernel at send time: reported once for
    // the run of refused datagrams, and destination 2 still gets every one.
    setupAll("255.255.255.255", r2.port(), "127.0.0.1", r2.port(), "", 0);
    testing::internal::CaptureStderr();
    fanOut(tsBytes(8));
    std::string err = testing::internal::GetCapturedStderr();
    std::string line = "Error: udp send error! bytesSent = -1, errno = " + std::to_string(EACCES) + "\n";
    EXPECT_EQ(err, line);
    EXPECT_EQ(r2.sizes(), (std::vector<int>{1316, 188}));
}

TEST_F(UdpTest, MulticastTtlFromTtlIni)
{
    Receiver r;
    root_.write("/mnt/ttl.ini", "64");
    testing::internal::CaptureStdout();
    setupAll("127.0.0.1", r.port(), "", 0, "", 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ttl.ini read=64\n"), std::string::npos);
    EXPECT_EQ(sockOptInt(destinations().fd[0], IPPROTO_IP, IP_MULTICAST_TTL), 64);

    root_.write("/mnt/ttl.ini", "128");
    setupAll("127.0.0.1", r.port(), "", 0, "", 0);
    EXPECT_EQ(sockOptInt(destinations().fd[0], IPPROTO_IP, IP_MULTICAST_TTL), 128);

    // Above 255 the system default stays.
    root_.write("/mnt/ttl.ini", "300");
    setupAll("127.0.0.1", r.port(), "", 0, "", 0);
    EXPECT_EQ(sockOptInt(destinations().fd[0], IPPROTO_IP, IP_MULTICAST_TTL), 1);

    std::remove(root_.path("/mnt/ttl.ini").c_str());
    setupAll("127.0.0.1", r.port(), "", 0, "", 0);
    EXPECT_EQ(sockOptInt(destinations().fd[0], IPPROTO_IP, IP_MULTICAST_TTL), 0);
}

} // namespace
