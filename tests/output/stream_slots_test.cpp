// TCP stream slots against real clients on 127.0.0.1: what a client receives, one client per slot,
// clients that leave or stop reading, a taken port, failures to make sockets and threads, the video
// tables on their ports, and a stop that ends everything promptly.
#include "encode/output/stream_slots.h"
#include "tests/output/unit_stream.h"
#include "tests/support/net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace unit_stream;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct SlotsStopper {
    void operator()(StreamSlots_Object *h) const { StreamSlots_stop(h); }
};
using SlotsPtr = std::unique_ptr<StreamSlots_Object, SlotsStopper>;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        n++;
    }
    return n;
}

class Client {
public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // One attempt; false when refused. `receiveBuffer` above 0 shrinks the receive buffer first.
    bool connectOnce(int port, int receiveBuffer = 0)
    {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close();
            return false;
        }
        return true;
    }
    // Tries again while refused (the slot not listening yet).
    bool connectWithin(int port, int ms, int receiveBuffer = 0)
    {
        auto until = Clock::now() + milliseconds(ms);
        while (!connectOnce(port, receiveBuffer)) {
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return true;
    }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

bool waitConnected(StreamSlots_Handle h, int index, bool want = true, int ms = 3000)
{
    auto until = Clock::now() + milliseconds(ms);
    while (StreamSlots_connected(h, index) != want) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

// Sends small units until the slot's client has been dropped (its peer left); the number sent.
int sendUntilDropped(StreamSlots_Handle h, int index, uint32_t firstSeq)
{
    for (uint32_t seq = firstSeq; seq < firstSeq + 40; seq++) {
        std::vector<uint8_t> u = makeUnit(seq, 2000);
        StreamSlots_send(h, u.data(), static_cast<int>(u.size()), {seq, 0});
        if (!StreamSlots_connected(h, index)) {
            return static_cast<int>(seq - firstSeq + 1);
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    return -1;
}

const char *const kNames[] = {"slotThreadAFxn", "slotThreadBFxn", "slotThreadCFxn"};
const char *const kCloses[] = {"close slotA", "close slotB", "close slotC"};

// A table of up to three slots on ports the kernel just had free.
class TestTable {
public:
    explicit TestTable(int slots)
    {
        for (int i = 0; i < slots; i++) {
            specs_.push_back({freeLoopbackPort(), kNames[i], kCloses[i]});
        }
        table_ = {specs_.data(), slots, "slot test creater error"};
    }
    const StreamSlotTable *get() const { return &table_; }
    int port(int i) const { return specs_[static_cast<size_t>(i)].fixedPort; }

private:
    std::vector<StreamSlotEntry> specs_;
    StreamSlotTable table_{};
};

// Reads `n` tagged records in the background.
std::future<std::vector<Record>> readRecords(int fd, int n, int timeoutMs = 5000)
{
    return std::async(std::launch::async, [fd, n, timeoutMs] {
        std::vector<Record> out;
        for (int i = 0; i < n; i++) {
            Record r;
            if (!readRecord(fd, &r, timeoutMs)) {
                break;
            }
            out.push_back(std::move(r));
        }
        return out;
    });
}

class StreamSlotsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("ENCODE_PORT_OFFSET");
        StreamSlots_setBindAddress(INADDR_LOOPBACK);
        testing::internal::CaptureStdout();
        capturing_ = true;
    }
    void TearDown() override
    {
        output();
        StreamSlots_setBindAddress(INADDR_ANY);
        StreamSlots_setSocketFunction(nullptr);
        StreamSlots_setThreadFunction(nullptr);
        unsetenv("ENCODE_PORT_OFFSET");
    }
    // What was printed; call after the sets are stopped (server threads print too).
    const std::string &output()
    {
        if (capturing_) {
            printed_ = testing::internal::GetCapturedStdout();
            capturing_ = false;
        }
        return printed_;
    }

private:
    bool capturing_ = false;
    std::string printed_;
};

TEST_F(StreamSlotsTest, TaggedClientGetsEveryUnitWholeWithItsTimeAndLength)
{
    TestTable t(1);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    Client c;
    ASSERT_TRUE(c.connectWithin(t.port(0), 3000));
    ASSERT_TRUE(waitConnected(slots.get(), 0));

    const size_t sizes[] = {5000, 4, 70000, 300000, 17};
    auto got = readRecords(c.fd(), 5);
    for (uint32_t i = 0; i < 5; i++) {
        std::vector<uint8_t> u = makeUnit(i, sizes[i]);
        FrameTime time{1700000000u + i, 100000u * i + 7};
        EXPECT_EQ(StreamSlots_send(slots.get(), u.data(), static_cast<int>(u.size()), time), 1);
    }
    std::vector<Record> records = got.get();
    ASSERT_EQ(records.size(), 5u);
    for (uint32_t i = 0; i < 5; i++) {
        EXPECT_EQ(records[i].magic, 0x98754321u);
        EXPECT_EQ(records[i].seconds, 1700000000u + i);
        EXPECT_EQ(records[i].microseconds, 100000u * i + 7);
        EXPECT_EQ(records[i].length, sizes[i]);
        EXPECT_EQ(unitNumber(records[i].payload), static_cast<long>(i));
    }
    EXPECT_TRUE(silentFor(c.fd(), 200));
    slots.reset();
    EXPECT_EQ(count(output(), "slotThreadAFxn\n"), 1u);
}

TEST_F(StreamSlotsTest, FramingOffSendsTheBareUnits)
{
    TestTable t(1);
    SlotsPtr slots(StreamSlots_start(t.get(), false));
    ASSERT_NE(slots, nullptr);
    Client c;
    ASSERT_TRUE(c.connectWithin(t.port(0), 3000));
    ASSERT_TRUE(waitConnected(slots.get(), 0));

    std::vector<uint8_t> first = makeUnit(0, 5000);
    std::vector<uint8_t> second = makeUnit(1, 3000);
    EXPECT_EQ(StreamSlots_send(slots.get(), first.data(), 5000, {5, 5}), 1);
    EXPECT_EQ(StreamSlots_send(slots.get(), second.data(), 3000, {6, 6}), 1);
    std::vector<uint8_t> a(5000), b(3000);
    ASSERT_TRUE(readExact(c.fd(), a.data(), a.size()));
    ASSERT_TRUE(readExact(c.fd(), b.data(), b.size()));
    EXPECT_EQ(unitNumber(a), 0);
    EXPECT_EQ(unitNumber(b), 1);
    EXPECT_TRUE(silentFor(c.fd(), 200));
}

TEST_F(StreamSlotsTest, OneClientPerSlotAndTheNextGetsTheStreamFromTheNextUnit)
{
    TestTable t(1);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    Client first;
    ASSERT_TRUE(first.connectWithin(t.port(0), 3000));
    ASSERT_TRUE(waitConnected(slots.get(), 0));

    // The second client waits in the backlog: connected, but served nothing while the first is.
    Client second;
    ASSERT_TRUE(second.connectOnce(t.port(0)));

    std::vector<uint8_t> u = makeUnit(0, 1000);
    EXPECT_EQ(StreamSlots_send(slots.get(), u.data(), 1000, {100, 0}), 1);
    Record r;
    ASSERT_TRUE(readRecord(first.fd(), &r));
    EXPECT_EQ(unitNumber(r.payload), 0);
    EXPECT_TRUE(silentFor(second.fd(), 200)) << "a connected slot served a second client";

    first.close();
    int sent = sendUntilDropped(slots.get(), 0, 1);
    EXPECT_GT(sent, 0) << "a client that left was never dropped";
    EXPECT_LE(sent, 3);

    ASSERT_TRUE(waitConnected(slots.get(), 0)) << "the waiting client was not taken when the slot was freed";
    std::vector<uint8_t> next = makeUnit(77, 1500);
    EXPECT_EQ(StreamSlots_send(slots.get(), next.data(), 1500, {177, 0}), 1);
    Record fresh;
    ASSERT_TRUE(readRecord(second.fd(), &fresh));
    EXPECT_EQ(fresh.seconds, 177u);
    EXPECT_EQ(unitNumber(fresh.payload), 77);

    slots.reset();
    EXPECT_EQ(count(output(), "close slotA\n"), 1u);
    EXPECT_EQ(count(output(), "slotThreadAFxn\n"), 2u);
}

TEST_F(StreamSlotsTest, ClientThatStopsReadingIsDroppedWithinTheTimeoutAndOthersGetEverything)
{
    TestTable t(2);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    Client stalled;
    Client reader;
    ASSERT_TRUE(stalled.connectWithin(t.port(0), 3000, 4096));
    ASSERT_TRUE(reader.connectWithin(t.port(1), 3000));
    ASSERT_TRUE(waitConnected(slots.get(), 0));
    ASSERT_TRUE(waitConnected(slots.get(), 1));

    // The reading client takes everything until the set closes it.
    auto got = readRecords(reader.fd(), 1000, 8000);
    auto start = Clock::now();
    double longest = 0;
    uint32_t sent = 0;
    uint32_t afterDrop = 0;
    while (afterDrop < 5 && secondsSince(start) < 15) {
        std::vector<uint8_t> u = makeUnit(sent, 256 * 1024);
        auto before = Clock::now();
        StreamSlots_send(slots.get(), u.data(), static_cast<int>(u.size()), {sent, 0});
        longest = std::max(longest, secondsSince(before));
        sent++;
        if (!StreamSlots_connected(slots.get(), 0)) {
            afterDrop++;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_FALSE(StreamSlots_connected(slots.get(), 0)) << "the stalled client was never dropped";
    EXPECT_LT(longest, 0.5) << "a send waited for the stalled client";
    EXPECT_TRUE(StreamSlots_connected(slots.get(), 1));

    // The slot listens again at once, its port not held by the dropped connection.
    Client next;
    ASSERT_TRUE(next.connectWithin(t.port(0), 3000));
    ASSERT_TRUE(waitConnected(slots.get(), 0));
    std::vector<uint8_t> u = makeUnit(sent, 1000);
    EXPECT_EQ(StreamSlots_send(slots.get(), u.data(), 1000, {sent, 0}), 2);
    Record r;
    ASSERT_TRUE(readRecord(next.fd(), &r));
    EXPECT_EQ(unitNumber(r.payload), static_cast<long>(sent));

    slots.reset();
    std::vector<Record> records = got.get();
    ASSERT_EQ(records.size(), sent + 1);
    for (uint32_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(unitNumber(records[i].payload), static_cast<long>(i));
    }
    EXPECT_EQ(count(output(), "close slotA\n"), 1u);
    EXPECT_EQ(count(output(), "close slotB"), 0u);
}

TEST_F(StreamSlotsTest, TakenPortIsReportedOnceAndTakenWhenItComesFree)
{
    TestTable t(1);
    int occupant = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(t.port(0)));
    ASSERT_EQ(::bind(occupant, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(occupant, 1), 0);

    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    std::this_thread::sleep_for(milliseconds(1700)); // three retries and more
    ::close(occupant);

    Client c;
    ASSERT_TRUE(c.connectWithin(t.port(0), 3000));
    EXPECT_TRUE(waitConnected(slots.get(), 0));
    slots.reset();
    EXPECT_EQ(count(output(), "ERROR on binding"), 1u);
    EXPECT_EQ(count(output(), "ERROR on binding\n"), 0u) << "printed without a line end";
    EXPECT_EQ(count(output(), "slotThreadAFxn\n"), 1u);
}

TEST_F(StreamSlotsTest, AcceptFailureIsReportedAndTheSlotListensAgain)
{
    TestTable t(1);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    std::this_thread::sleep_for(milliseconds(300)); // listening by now
    testing::internal::CaptureStderr();

    // Out of descriptors just when the client comes: the accept fails for real.
    int early = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowest);
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(t.port(0)));
    int connected = ::connect(early, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    std::this_thread::sleep_for(milliseconds(300));
    ::setrlimit(RLIMIT_NOFILE, &old);
    ::close(early);
    EXPECT_EQ(connected, 0);
    EXPECT_FALSE(StreamSlots_connected(slots.get(), 0));

    Client next;
    ASSERT_TRUE(next.connectWithin(t.port(0), 3000));
    EXPECT_TRUE(waitConnected(slots.get(), 0));
    slots.reset();
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(errors, "ERROR on accept: "), 1u) << errors;
    EXPECT_EQ(count(output(), "slotThreadAFxn\n"), 2u);
}

int noSocket(int, int, int)
{
    errno = EMFILE;
    return -1;
}

TEST_F(StreamSlotsTest, SocketFailureIsReportedOnceAndRetried)
{
    TestTable t(1);
    StreamSlots_setSocketFunction(noSocket);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    std::this_thread::sleep_for(milliseconds(1200));
    StreamSlots_setSocketFunction(nullptr);
    Client c;
    ASSERT_TRUE(c.connectWithin(t.port(0), 3000));
    EXPECT_TRUE(waitConnected(slots.get(), 0));
    slots.reset();
    EXPECT_EQ(count(output(), "ERROR opening socket"), 1u);
}

std::atomic<int> threadCalls{0};
std::atomic<int> failingCall{0};

int failNthThread(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    if (++threadCalls == failingCall.load()) {
        return EAGAIN;
    }
    return ::pthread_create(thread, attr, start, arg);
}

TEST_F(StreamSlotsTest, ThreadThatCannotStartFailsTheStartAndEndsTheOthers)
{
    TestTable t(3);
    threadCalls = 0;
    failingCall = 3;
    StreamSlots_setThreadFunction(failNthThread);
    auto before = Clock::now();
    EXPECT_EQ(StreamSlots_start(t.get(), true), nullptr);
    EXPECT_LT(secondsSince(before), 1.0);
    // The two that had started are gone, and their listeners with them.
    Client c;
    EXPECT_FALSE(c.connectOnce(t.port(0)));
    EXPECT_FALSE(c.connectOnce(t.port(1)));

    threadCalls = 0;
    failingCall = 1;
    EXPECT_EQ(StreamSlots_start(&StreamSlots_videoMain, true), nullptr);
    threadCalls = 0;
    EXPECT_EQ(StreamSlots_start(&StreamSlots_videoSecond, true), nullptr);
    const std::string &out = output();
    EXPECT_EQ(count(out, "slot test creater error\n"), 1u);
    EXPECT_EQ(count(out, "aTcpThread1 creater error\n"), 1u);
    EXPECT_EQ(count(out, "aTcpThreadfml creater error\n"), 1u);
}

// A client that reads, but slower than the units come: it misses whole units, never part of one,
// and stays connected while it keeps taking some.
TEST_F(StreamSlotsTest, SlowClientSkipsWholeUnitsAndStaysWhole)
{
    TestTable t(1);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    Client slow;
    ASSERT_TRUE(slow.connectWithin(t.port(0), 3000, 4096));
    ASSERT_TRUE(waitConnected(slots.get(), 0));

    std::atomic<bool> done{false};
    std::vector<uint32_t> seen;
    bool torn = false;
    std::thread reader([&] {
        Record r;
        while (!done.load() && readRecord(slow.fd(), &r)) {
            torn = torn || r.payload.size() != 64 * 1024 || unitNumber(r.payload) != static_cast<long>(r.seconds);
            seen.push_back(r.seconds);
            std::this_thread::sleep_for(milliseconds(30)); // about half the rate the units come at
        }
    });
    for (uint32_t k = 0; k < 150; k++) {
        std::vector<uint8_t> u = makeUnit(k, 64 * 1024);
        StreamSlots_send(slots.get(), u.data(), static_cast<int>(u.size()), {k, 0});
        std::this_thread::sleep_for(milliseconds(15));
    }
    EXPECT_TRUE(StreamSlots_connected(slots.get(), 0)) << "a client that keeps reading was dropped";
    done.store(true);
    slots.reset(); // closes the client, which ends the reader
    reader.join();
    EXPECT_FALSE(torn);
    ASSERT_GT(seen.size(), 20u);
    EXPECT_LT(seen.size(), 150u) << "the slow client was never behind";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST_F(StreamSlotsTest, VideoTablesServeTheMainStreamOn8888To8884AndTheSecondOn7777)
{
    const std::vector<int> ports = {8888, 8887, 8886, 8885, 8884, 7777};
    int offset = freePortOffset(ports);
    ASSERT_GT(offset, 0);
    setenv("ENCODE_PORT_OFFSET", std::to_string(offset).c_str(), 1);

    SlotsPtr main(StreamSlots_start(&StreamSlots_videoMain, true));
    SlotsPtr second(StreamSlots_start(&StreamSlots_videoSecond, true));
    ASSERT_NE(main, nullptr);
    ASSERT_NE(second, nullptr);
    Client clients[6];
    for (int i = 0; i < 6; i++) {
        int port = ports[static_cast<size_t>(i)];
        ASSERT_TRUE(clients[i].connectWithin(port + offset, 3000)) << port;
    }
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(waitConnected(main.get(), i));
    }
    // The second stream's slot takes a client whether or not anything is sent to it.
    ASSERT_TRUE(waitConnected(second.get(), 0));

    std::vector<uint8_t> unit = makeUnit(1, 4000);
    EXPECT_EQ(StreamSlots_send(main.get(), unit.data(), 4000, {11, 0}), 5);
    for (int i = 0; i < 5; i++) {
        Record r;
        ASSERT_TRUE(readRecord(clients[i].fd(), &r));
        EXPECT_EQ(unitNumber(r.payload), 1);
    }
    EXPECT_TRUE(silentFor(clients[5].fd(), 200));
    std::vector<uint8_t> small = makeUnit(2, 900);
    EXPECT_EQ(StreamSlots_send(second.get(), small.data(), 900, {12, 0}), 1);
    Record r;
    ASSERT_TRUE(readRecord(clients[5].fd(), &r));
    EXPECT_EQ(unitNumber(r.payload), 2);

    clients[2].close();
    EXPECT_GT(sendUntilDropped(main.get(), 2, 10), 0);
    clients[5].close();
    EXPECT_GT(sendUntilDropped(second.get(), 0, 50), 0);
    main.reset();
    second.reset();

    const std::string &out = output();
    for (const char *name : {"aTcpThread1Fxn\n", "aTcpThread2Fxn\n", "aTcpThread3Fxn\n", "aTcpThread4Fxn\n",
                             "aTcpThread5Fxn\n", "aTcpThreadfmlFxn\n"}) {
        EXPECT_GE(count(out, name), 1u) << name;
    }
    EXPECT_EQ(count(out, "close socket3\n"), 1u);
    EXPECT_EQ(count(out, "close socketfml\n"), 1u);
    EXPECT_EQ(count(out, "close socket1\n"), 0u);
}

TEST_F(StreamSlotsTest, StopEndsTheServersPromptlyAndClosesTheClients)
{
    TestTable t(2);
    SlotsPtr slots(StreamSlots_start(t.get(), true));
    ASSERT_NE(slots, nullptr);
    Client c;
    ASSERT_TRUE(c.connectWithin(t.port(0), 3000));
    ASSERT_TRUE(waitConnected(slots.get(), 0));
    // Slot 2 waits for a client meanwhile.
    std::this_thread::sleep_for(milliseconds(100));

    auto before = Clock::now();
    slots.reset();
    EXPECT_LT(secondsSince(before), 1.0);
    uint8_t byte = 0;
    EXPECT_FALSE(readExact(c.fd(), &byte, 1, 1000));
    EXPECT_FALSE(silentFor(c.fd(), 0)) << "the client did not see the end of the stream";
    Client late;
    EXPECT_FALSE(late.connectOnce(t.port(1)));

    // Closed from our side first, the connection now waits out its time on the slot's port; a set
    // started again at once (a restarted program) must still be able to listen there.
    c.close();
    SlotsPtr again(StreamSlots_start(t.get(), true));
    ASSERT_NE(again, nullptr);
    Client back;
    ASSERT_TRUE(back.connectWithin(t.port(0), 1500));
    EXPECT_TRUE(waitConnected(again.get(), 0));
    again.reset();
    EXPECT_EQ(count(output(), "ERROR on binding"), 0u);
}

} // namespace
