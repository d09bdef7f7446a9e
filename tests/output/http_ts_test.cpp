// The HTTP TS server on loopback: real players (the ffmpeg program) and raw sockets read the stream
// while the test feeds transport-stream packets through a TS output, as the writer does.
#include "encode/output/http_ts.h"
#include "tests/output/paced_reader.h"
#include "tests/output/ts_feed_support.h"
#include "tests/support/net.h"
#include "tests/support/temp_root.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kOkHeader =
    "HTTP/1.0 200 OK\r\nContent-type: application/octet-stream\r\nCache-control: no-cache\r\n\r\n";
const std::string kNotImplemented =
    "HTTP/1.0 501 Not Implemented\r\nContent-type: text/plain\r\n\r\nThe command is not yet completed\r\n";

// A raw client: connects, sends its request, and collects what the server sends.
class RawClient {
public:
    // `rcvbuf` > 0 shrinks the receive buffer before connecting (a slow reader then holds little).
    RawClient(int port, const std::string &request, int rcvbuf = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        if (connected_ && !request.empty()) {
            EXPECT_EQ(::send(fd_, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        }
    }
    ~RawClient() { close(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Reads at most `max` bytes, waiting up to `ms`; false at the end of the stream or on an error.
    bool readSome(int ms, size_t max = 65536)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) {
            return true;
        }
        Bytes buf(max);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        data.insert(data.end(), buf.begin(), buf.begin() + n);
        return true;
    }
    // True once `n` bytes are in, within `ms`.
    bool readAtLeast(size_t n, int ms)
    {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (data.size() < n && Clock::now() < until) {
            if (!readSome(20)) {
                return false;
            }
        }
        return data.size() >= n;
    }
    // Reads until nothing has come for `quietMs`.
    void drain(int quietMs)
    {
        for (size_t before = data.size() + 1; before != data.size();) {
            before = data.size();
            if (!readSome(quietMs)) {
                return;
            }
        }
    }
    // True when the server closes the connection within `ms`.
    bool closedWithin(int ms)
    {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!eof_ && Clock::now() < until) {
            readSome(20);
        }
        return eof_;
    }

    Bytes data;

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
};

// Checks that `bytes` (starting at `from`) are whole numbered packets with consecutive numbers, and
// returns the first number (-1 on a torn packet or a gap).
int64_t consecutivePackets(const Bytes &bytes, size_t from)
{
    int64_t first = -1;
    int64_t expect = -1;
    for (size_t at = from; at + kTsPacket <= bytes.size(); at += kTsPacket) {
        int64_t k = packetNumber(bytes.data() + at);
        if (k < 0 || (expect >= 0 && k != expect)) {
            ADD_FAILURE() << "packet at byte " << at << " is " << k << ", expected " << expect;
            return -1;
        }
        if (first < 0) {
            first = k;
        }
        expect = k + 1;
    }
    return first;
}

struct ServerDeleter {
    void operator()(HttpTs_Object *s) const { HttpTs_delete(s); }
};

class HttpTsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port_ = freeLoopbackPort();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override { server_.reset(); }

    HttpTsServerConfig config(int requestTimeoutMs = 3000) const
    {
        return {port_, INADDR_LOOPBACK, requestTimeoutMs};
    }
    // The server created and accepting.
    void startServer(int requestTimeoutMs = 3000)
    {
        HttpTsServerConfig c = config(requestTimeoutMs);
        server_.reset(HttpTs_create(&c));
        ASSERT_NE(server_, nullptr);
        ASSERT_TRUE(tap_.waitFor("wait tcp client\n", 5000));
    }
    HttpTsStats stats() const { return HttpTs_stats(server_.get()); }
    // Through the output interface, as the multiplexer stage does.
    void feed(const uint8_t *data, size_t bytes) { HttpTs_output(server_.get())->ts(data, static_cast<int>(bytes)); }
    void feed(const Bytes &b) { feed(b.data(), b.size()); }
    void feedPackets(uint64_t first, size_t count) { feed(numberedPackets(first, count)); }
    // True once `n` clients have taken their start position in the ring.
    bool streaming(int n, int ms = 3000)
    {
        return eventually([&] { return tap_.count("start send\n") >= n; }, ms);
    }
    bool clientsConnected(int n, int ms = 3000)
    {
        return eventually([&] { return stats().clients == n; }, ms);
    }

    TempRoot root_;
    StdoutTap tap_;
    int port_ = 0;
    std::unique_ptr<HttpTs_Object, ServerDeleter> server_;
};

TEST_F(HttpTsTest, TwoPlayersDecodeTheStreamAtOnce)
{
    const Bytes &sample = sampleTs();
    ASSERT_GT(sample.size(), 100000u) << "ffmpeg could not make the sample stream";
    startServer();
    // What lies behind the live edge when the players connect is stuffing they ignore.
    Bytes nulls(16 * kTsPacket, 0xFF);
    for (size_t i = 0; i < nulls.size(); i += kTsPacket) {
        nulls[i] = 0x47;
        nulls[i + 1] = 0x1F;
        nulls[i + 2] = 0xFF;
        nulls[i + 3] = 0x10;
    }
    feed(nulls);

    auto play = [this](const std::string &path) {
        int status = -1;
        std::string out = runCommand("timeout 60 ffmpeg -nostdin -v error -rw_timeout 20000000 -i http://127.0.0.1:" +
                                         std::to_string(port_) + path + " -map 0 -t 2 -f null - 2>&1",
                                     &status);
        return std::make_pair(status, out);
    };
    auto first = std::async(std::launch::async, play, "/");
    auto second = std::async(std::launch::async, play, "/live/any.ts");
    ASSERT_TRUE(streaming(2, 10000));

    // About 1 MB/s, the sample over and over, until both players have had enough.
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t at = 0; !done.load(); at = (at + 7 * kTsPacket) % sample.size()) {
            feed(sample.data() + at, std::min(7 * kTsPacket, sample.size() - at));
            std::this_thread::sleep_for(std::chrono::microseconds(1300));
        }
    });
    auto [status1, out1] = first.get();
    auto [status2, out2] = second.get();
    done = true;
    feeder.join();

    EXPECT_EQ(status1, 0) << out1;
    EXPECT_EQ(out1, "");
    EXPECT_EQ(status2, 0) << out2;
    EXPECT_EQ(out2, "");
    ASSERT_TRUE(clientsConnected(0, 8000));
    EXPECT_EQ(tap_.count("http connect\n"), 2);
    EXPECT_EQ(tap_.count("start send\n"), 2);
    EXPECT_EQ(tap_.count("exit send.....\n"), 2);
    EXPECT_EQ(tap_.count("exit tcp thread\n"), 2);
    EXPECT_TRUE(tap_.has("user_socket.sin_addr=127.0.0.1\n"));
    EXPECT_EQ(stats().lapped, 0u);
}

TEST_F(HttpTsTest, EveryRequestGetsItsAnswerAndThenTheWholeStream)
{
    startServer();
    feedPackets(0, 100);
    RawClient get(port_, "GET /any/path/at/all HTTP/1.1\r\nHost: x\r\n\r\n");
    RawClient post(port_, "POST / HTTP/1.0\r\n\r\n");
    RawClient oneWord(port_, "HELLO\r\n");
    ASSERT_TRUE(streaming(3));

    // Far more than the ring, in steps the readers keep up with: the write position wraps many times.
    uint64_t fed = 100;
    while (fed * kTsPacket < 5u * HTTP_TS_RING_BYTES) {
        feedPackets(fed, 50);
        fed += 50;
        for (RawClient *c : {&get, &post, &oneWord}) {
            c->readSome(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    for (RawClient *c : {&get, &post, &oneWord}) {
        c->drain(300);
    }

    ASSERT_GE(get.data.size(), kOkHeader.size());
    EXPECT_EQ(std::string(get.data.begin(), get.data.begin() + kOkHeader.size()), kOkHeader);
    // Connected at 100 packets: the stream starts at the packet boundary 11 packets (one step) behind.
    EXPECT_EQ(consecutivePackets(get.data, kOkHeader.size()), 89);

    ASSERT_GE(post.data.size(), kNotImplemented.size());
    EXPECT_EQ(std::string(post.data.begin(), post.data.begin() + kNotImplemented.size()), kNotImplemented);
    EXPECT_EQ(consecutivePackets(post.data, kNotImplemented.size()), 89);

    // One word read: neither answer, the stream all the same.
    EXPECT_EQ(consecutivePackets(oneWord.data, 0), 89);

    // Everything but the last step held back (a client sends only while more than a step is waiting).
    const std::pair<RawClient *, size_t> answered[] = {
        {&get, kOkHeader.size()}, {&post, kNotImplemented.size()}, {&oneWord, 0}};
    for (auto [c, head] : answered) {
        EXPECT_GE(c->data.size() - head + HTTP_TS_STEP_BYTES, (fed - 89) * kTsPacket);
    }
    EXPECT_EQ(stats().lapped, 0u);
    EXPECT_EQ(tap_.count("client from "), 3);
    EXPECT_TRUE(tap_.has("(socket num)\n"));
}

TEST_F(HttpTsTest, ClientsStartOnAPacketBoundaryAndNeverGetBytesTheStreamDidNotHave)
{
    startServer();
    // A client on an empty ring gets the stream from its first byte, not the ring's zeros.
    RawClient early(port_, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(streaming(1));
    feedPackets(0, 30);
    ASSERT_TRUE(early.readAtLeast(kOkHeader.size() + 2048, 3000));
    EXPECT_EQ(consecutivePackets(early.data, kOkHeader.size()), 0);

    // A second server beside the first, on a port of its own, streams its own ring to its client.
    HttpTsServerConfig otherConfig{freeLoopbackPort(), INADDR_LOOPBACK, 3000};
    std::unique_ptr<HttpTs_Object, ServerDeleter> other(HttpTs_create(&otherConfig));
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(waitListening(otherConfig.port, 5000));
    RawClient second(otherConfig.port, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(streaming(2));
    Bytes own = numberedPackets(5000, 30);
    HttpTs_append(other.get(), own.data(), static_cast<int>(own.size()));
    ASSERT_TRUE(second.readAtLeast(kOkHeader.size() + 2048, 3000));
    EXPECT_EQ(consecutivePackets(second.data, kOkHeader.size()), 5000);
    EXPECT_EQ(HttpTs_stats(other.get()).clients, 1);
    EXPECT_EQ(stats().clients, 1);
    other.reset();

    // An append longer than the ring keeps its last 2 MiB; a client joining then starts just
    // before its end.
    const size_t longRun = HTTP_TS_RING_BYTES / kTsPacket + 5000;
    feedPackets(30, longRun);
    EXPECT_EQ(HttpTs_total(server_.get()), (30 + longRun) * kTsPacket);
    RawClient late(port_, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(streaming(3));
    feedPackets(30 + longRun, 40);
    ASSERT_TRUE(late.readAtLeast(kOkHeader.size() + 4096, 3000));
    EXPECT_EQ(consecutivePackets(late.data, kOkHeader.size()), static_cast<int64_t>(30 + longRun - 11));
}

TEST_F(HttpTsTest, LappedClientMovesToTheLiveEdgeWithWholePackets)
{
    startServer();
    feedPackets(0, 20);
    RawClient slow(port_, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(streaming(1));

    // The client reads at most about 6 MB/s, the stream comes at about 35 MB/s: the ring laps it while
    // it still takes data often enough never to stall for the send timeout.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            slow.readSome(10, 65536);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    uint64_t k = 20;
    auto until = Clock::now() + std::chrono::seconds(10);
    while (stats().lapped == 0 && Clock::now() < until) {
        feedPackets(k, 200);
        k += 200;
        std::this_thread::sleep_for(std::chrono::microseconds(1000));
    }
    done = true;
    reader.join();
    ASSERT_GE(stats().lapped, 1u);
    // Some stream after the jump, slowly enough to keep up.
    for (int i = 0; i < 100; i++) {
        feedPackets(k, 11);
        k += 11;
        slow.readSome(5);
    }
    slow.drain(300);
    EXPECT_EQ(stats().dropped, 0u);

    // Whole packets throughout, one of them completed with stuffing, and later numbers after the gap.
    size_t at = kOkHeader.size();
    int64_t previous = -1;
    int torn = 0;
    int gaps = 0;
    for (; at + kTsPacket <= slow.data.size(); at += kTsPacket) {
        const uint8_t *p = slow.data.data() + at;
        ASSERT_EQ(p[0], 0x47) << "packet boundary lost at byte " << at;
        int64_t n = packetNumber(p);
        if (n < 0) {
            torn++;
            continue;
        }
        if (previous >= 0 && n != previous + 1) {
            EXPECT_GT(n, previous);
            gaps++;
        }
        previous = n;
    }
    EXPECT_GE(gaps, 1);
    EXPECT_LE(torn, gaps);
    EXPECT_TRUE(tap_.has(" lapped: "));
    EXPECT_TRUE(tap_.has("moved to the live edge\n"));
}

// Numbered packets appended at a steady rate, every 10 ms what is due; each one's append time is kept
// (by packet number) for the readers to tell its age.
// True once the server's answer to a request has arrived, within `ms`; peeked, so that a client meant
// never to read still holds it unread. The server answers just before it takes the client's start
// position, and a feed appends nothing within its first 10 ms.
bool answered(int fd, int ms = 3000)
{
    return eventually(
        [&] {
            char buf[256];
            pollfd p{fd, POLLIN, 0};
            return ::poll(&p, 1, 20) > 0 && ::recv(fd, buf, sizeof buf, MSG_PEEK) >= static_cast<ssize_t>(kOkHeader.size());
        },
        ms);
}

struct PacedFeed {
    HttpTs_Handle server = nullptr;
    std::vector<std::atomic<Clock::rep>> appended = std::vector<std::atomic<Clock::rep>>(100000);
    double rate = 0;
    uint64_t first = 0; // this case's first packet
    uint64_t next = 0;
    Clock::time_point start;

    void begin(double bytesPerSecond)
    {
        rate = bytesPerSecond;
        first = next;
        start = Clock::now();
    }
    void feedDue()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        auto now = Clock::now();
        auto due = std::min<uint64_t>(first + static_cast<uint64_t>(rate * seconds() / kTsPacket), appended.size());
        for (uint64_t k = next; k < due; k++) {
            appended[k].store(now.time_since_epoch().count(), std::memory_order_relaxed);
        }
        Bytes b = numberedPackets(next, due - next);
        HttpTs_append(server, b.data(), static_cast<int>(b.size()));
        next = due;
    }
    double seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

// What a slow reader made of the stream it read, after the answer's header.
struct TakenPackets {
    Bytes pending;
    size_t header = kOkHeader.size();
    int64_t last = -1;
    uint64_t packets = 0; // of this case's feed, whole
    uint64_t torn = 0;    // packets completed with stuffing at a move to the live edge
    bool whole = true;    // every 188 bytes begin with a sync byte, the numbers only rise
    double oldest = 0;    // the most a packet was behind when it was read, in seconds
};

void takePackets(TakenPackets &t, const PacedFeed &feed, const uint8_t *d, size_t n, Clock::time_point arrival)
{
    size_t skip = std::min(t.header, n);
    t.header -= skip;
    t.pending.insert(t.pending.end(), d + skip, d + n);
    size_t at = 0;
    for (; t.pending.size() - at >= kTsPacket; at += kTsPacket) {
        int64_t k = packetNumber(&t.pending[at]);
        t.whole = t.whole && t.pending[at] == 0x47 && (k < 0 || k > t.last);
        if (k < 0) {
            t.torn++;
            continue;
        }
        t.last = k;
        if (static_cast<uint64_t>(k) >= feed.first) {
            auto appended = Clock::time_point(Clock::duration(feed.appended[static_cast<size_t>(k)].load()));
            t.packets++;
            t.oldest = std::max(t.oldest, std::chrono::duration<double>(arrival - appended).count());
        }
    }
    t.pending.erase(t.pending.begin(), t.pending.begin() + static_cast<long>(at));
}

// Clients judged by how far behind live they are, at a slow and a fast stream: one that never reads
// is dropped within 4 s whatever the rate, and the next client is served; one that reads at 70 % of
// the rate stays, gets whole packets in order and is never more than 2 s behind.
TEST_F(HttpTsTest, ClientsAreJudgedByHowFarBehindLiveTheyAre)
{
    struct Case {
        int kbitPerSecond;
        double readShare; // of the stream's rate; 0: never reads
    };
    const Case cases[] = {{200, 0}, {8000, 0}, {200, 0.7}, {8000, 0.7}};
    // Long enough for a reader at 70 % to fall 2 s behind (0.3 s a second) and be moved.
    constexpr auto kRun = std::chrono::seconds(9);
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    // The cases run at once, each with its own server, so the table costs one run's time. Every server
    // listens before any client comes, so that the accept loops' lines tell when all of them do.
    std::vector<int> ports;
    std::vector<std::unique_ptr<HttpTs_Object, ServerDeleter>> servers;
    for (size_t i = 0; i < std::size(cases); i++) {
        ports.push_back(freeLoopbackPort());
        HttpTsServerConfig config{ports.back(), INADDR_LOOPBACK, 3000};
        servers.emplace_back(HttpTs_create(&config));
        ASSERT_NE(servers.back(), nullptr);
        ASSERT_TRUE(eventually([&] { return tap_.count("wait tcp client\n") >= static_cast<int>(i) + 1; }, 5000));
    }
    auto runCase = [&](size_t i) {
        const Case &c = cases[i];
        SCOPED_TRACE(std::to_string(c.kbitPerSecond) + " kbit/s, reading " + std::to_string(c.readShare));
        HttpTs_Handle server = servers[i].get();
        PacedFeed feed;
        feed.server = server;
        const double rate = c.kbitPerSecond * 1000.0 / 8;
        RawClient client(ports[i], get, paced::receiveBufferFor(rate));
        ASSERT_TRUE(answered(client.fd()));
        feed.begin(rate);
        if (c.readShare == 0) {
            while (HttpTs_stats(server).dropped == 0 && feed.seconds() < 6) {
                feed.feedDue();
            }
            EXPECT_LT(feed.seconds(), 4.0) << "the client that never reads was not dropped in time";
            EXPECT_EQ(HttpTs_stats(server).dropped, 1u);
            EXPECT_TRUE(client.closedWithin(1000));
            RawClient next(ports[i], get);
            ASSERT_TRUE(answered(next.fd()));
            uint64_t from = feed.next;
            while (next.data.size() < kOkHeader.size() + 4096 && feed.seconds() < 10) {
                feed.feedDue();
                next.readSome(0);
            }
            EXPECT_GE(consecutivePackets(next.data, kOkHeader.size()) + 11, static_cast<int64_t>(from));
            return;
        }
        TakenPackets taken;
        const double readRate = c.readShare * rate;
        bool stayed = true;
        auto take = [&](const uint8_t *d, size_t n, Clock::time_point at) { takePackets(taken, feed, d, n, at); };
        std::thread reader([&] { stayed = paced::readPaced(client.fd(), readRate, feed.start + kRun, take); });
        while (Clock::now() < feed.start + kRun) {
            feed.feedDue();
        }
        reader.join();
        HttpTsStats after = HttpTs_stats(server);
        EXPECT_TRUE(stayed) << "a client that keeps reading was dropped";
        EXPECT_EQ(after.dropped, 0u);
        EXPECT_TRUE(taken.whole);
        EXPECT_LE(taken.torn, after.behind + after.lapped);
        EXPECT_GT(taken.packets, (feed.next - feed.first) / 2);
        EXPECT_LE(taken.oldest, paced::behindLimit(client.fd(), readRate));
    };
    std::vector<std::thread> running;
    for (size_t i = 0; i < std::size(cases); i++) {
        running.emplace_back(runCase, i);
    }
    for (std::thread &r : running) {
        r.join();
    }
    // Each case's own server counted its drops above; here the line. A server whose case has ended gets
    // no more stream, so the client left on it may be let go the same way after its case.
    EXPECT_GE(tap_.count("dropped: it took nothing for "), 2);
}

TEST_F(HttpTsTest, SilentClientIsLetGoAfterTheRequestTimeout)
{
    startServer(300);
    RawClient silent(port_, "");
    ASSERT_TRUE(silent.connected());
    ASSERT_TRUE(clientsConnected(1, 2000));
    auto start = Clock::now();
    EXPECT_TRUE(silent.closedWithin(5000));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 1.0); // the timeout, then the second's pause before the close
    EXPECT_TRUE(tap_.waitFor("error exit,,,,,,,,\n", 1000));
    EXPECT_FALSE(tap_.has("start send\n"));
    EXPECT_TRUE(clientsConnected(0));
}

TEST_F(HttpTsTest, ListeningSocketFailureRequestsAReboot)
{
    // The port is taken by a listener already.
    int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port_));
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(busy, 1), 0);

    HttpTsServerConfig c = config();
    server_.reset(HttpTs_create(&c));
    ASSERT_NE(server_, nullptr);
    EXPECT_TRUE(tap_.waitFor("Server exception!\n", 5000));
    EXPECT_TRUE(tap_.has("My web server started...\nbind error!\nServer exception!\n"));
    EXPECT_TRUE(eventually([&] { return !stats().serverRunning; }, 2000));
    EXPECT_EQ(root_.read("/tmp/shell.log"), "reboot\n");
    EXPECT_FALSE(tap_.has("wait tcp client"));
    ::close(busy);
}

} // namespace
