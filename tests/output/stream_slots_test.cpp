// TCP stream slots against real clients on 127.0.0.1: what a client receives, one client per slot,
// clients that leave, stop reading or read slower than the stream comes, a taken port, failures to
// make sockets and threads, the video tables on their ports, and a stop that ends everything promptly.
#include "encode/output/stream_slots.h"
#include "tests/output/paced_reader.h"
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
#include <cstdio>
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
        setenv("ENCODE_BIND_ADDRESS", "127.0.0.1", 1);
        testing::internal::CaptureStdout();
        capturing_ = true;
    }
    void TearDown() override
    {
        // Failure messages went to the captured output too.
        if (HasFailure()) {
            std::fprintf(stderr, "--- what the test printed ---\n%s--- end ---\n", output().c_str());
        }
        output();
        unsetenv("ENCODE_BIND_ADDRESS");
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

std::atomic<bool> refuseSockets{false};

int noSocket(int domain, int type, int protocol)
{
    if (!refuseSockets) {
        return ::socket(domain, type, protocol);
    }
    errno = EMFILE;
    return -1;
}

TEST_F(StreamSlotsTest, SocketFailureIsReportedOnceAndRetried)
{
    TestTable t(1);
    refuseSockets = true;
    StreamSlots_Seams seams{noSocket, nullptr};
    SlotsPtr slots(StreamSlots_start(t.get(), true, &seams));
    ASSERT_NE(slots, nullptr);
    std::this_thread::sleep_for(milliseconds(1200));
    refuseSockets = false;
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
    StreamSlots_Seams seams{nullptr, failNthThread};
    auto before = Clock::now();
    EXPECT_EQ(StreamSlots_start(t.get(), true, &seams), nullptr);
    EXPECT_LT(secondsSince(before), 1.0);
    // The two that had started are gone, and their listeners with them.
    Client c;
    EXPECT_FALSE(c.connectOnce(t.port(0)));
    EXPECT_FALSE(c.connectOnce(t.port(1)));

    threadCalls = 0;
    failingCall = 1;
    EXPECT_EQ(StreamSlots_start(&StreamSlots_videoMain, true, &seams), nullptr);
    threadCalls = 0;
    EXPECT_EQ(StreamSlots_start(&StreamSlots_videoSecond, true, &seams), nullptr);
    const std::string &out = output();
    EXPECT_EQ(count(out, "slot test creater error\n"), 1u);
    EXPECT_EQ(count(out, "aTcpThread1 creater error\n"), 1u);
    EXPECT_EQ(count(out, "aTcpThreadfml creater error\n"), 1u);
}

// The unit's tag carries the steady clock's time at the send, so that a reader can tell its age.
FrameTime steadyStamp(Clock::time_point t)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    return {static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
}

Clock::time_point stampedAt(const Record &r)
{
    return Clock::time_point(std::chrono::microseconds(uint64_t{r.seconds} * 1000000 + r.microseconds));
}

// What a slow reader made of the tagged records it read.
struct Taken {
    std::vector<uint8_t> pending;
    long last = -1;
    int units = 0;
    bool whole = true; // every record a whole unit of the right size, in order
    double oldest = 0; // the most a unit was behind when its last byte was read, in seconds
    Clock::time_point pauseFrom = Clock::time_point::max();
    Clock::time_point pauseTo = Clock::time_point::max();
    int fromPause = 0; // units sent while the reader paused
};

void takeRecords(Taken &t, const uint8_t *data, size_t n, Clock::time_point arrival, size_t unitBytes)
{
    t.pending.insert(t.pending.end(), data, data + n);
    size_t at = 0;
    while (t.pending.size() - at >= 16 && t.pending.size() - at - 16 >= word(t.pending.data() + at + 12)) {
        const uint8_t *tag = t.pending.data() + at;
        Record r{word(tag), word(tag + 4), word(tag + 8), word(tag + 12), {}};
        r.payload.assign(t.pending.begin() + static_cast<long>(at + 16),
                         t.pending.begin() + static_cast<long>(at + 16 + r.length));
        long seq = unitNumber(r.payload);
        t.whole = t.whole && r.magic == 0x98754321u && r.length == unitBytes && seq > t.last;
        t.last = seq;
        t.units++;
        t.oldest = std::max(t.oldest, std::chrono::duration<double>(arrival - stampedAt(r)).count());
        t.fromPause += stampedAt(r) >= t.pauseFrom && stampedAt(r) < t.pauseTo ? 1 : 0;
        at += 16 + r.length;
    }
    t.pending.erase(t.pending.begin(), t.pending.begin() + static_cast<long>(at));
}

// Clients judged by how far behind live they are, at a slow and a fast stream: one that never reads
// is dropped within 4 s whatever the rate, the client waiting behind it is served, and no send waits
// for it nor does the client of another slot miss a unit; one that reads at 70 % of the rate stays,
// gets whole units in order and is never more than 2 s behind; one that pauses finds well under a
// second of stream held for it in the kernel when it resumes.
TEST_F(StreamSlotsTest, ClientsAreJudgedByHowFarBehindLiveTheyAre)
{
    struct Case {
        int kbitPerSecond;
        double readShare; // of the stream's rate; 0: never reads
        int pauseMs;      // after kPauseAt
    };
    // 20 Mbit/s, the top of the range: a reader that takes less than a unit per unit period, whose
    // socket is full, finishes one unit only while it begins the next. The pausing reader reads
    // faster than the stream comes otherwise, so that its socket has grown as the kernel likes.
    const Case cases[] = {{200, 0, 0},    {8000, 0, 0},      {200, 0.7, 0},
                          {8000, 0.7, 0}, {20000, 0.7, 0}, {8000, 4, 1500}};
    constexpr auto kPauseAt = std::chrono::seconds(2);
    constexpr int kUnitsPerSecond = 25;
    constexpr auto kPeriod = std::chrono::microseconds(1000000 / kUnitsPerSecond);
    // Long enough for a reader at 70 % to fall well past 2 s behind (0.3 s a second) if nothing stops it.
    constexpr auto kRun = std::chrono::seconds(9);
    // The cases run at once, each with its own slots, so the table costs one run's time.
    auto runCase = [&](const Case &c) {
        SCOPED_TRACE(std::to_string(c.kbitPerSecond) + " kbit/s, reading " + std::to_string(c.readShare));
        const size_t unitBytes = static_cast<size_t>(c.kbitPerSecond) * 1000 / 8 / kUnitsPerSecond;
        const double streamRate = static_cast<double>(unitBytes + 16) * kUnitsPerSecond;
        const double readRate = c.readShare * streamRate;
        TestTable t(2);
        SlotsPtr slots(StreamSlots_start(t.get(), true));
        ASSERT_NE(slots, nullptr);
        Client client;
        Client next;
        Client other; // takes everything, on the second slot
        ASSERT_TRUE(client.connectWithin(t.port(0), 3000, paced::receiveBufferFor(streamRate)));
        ASSERT_TRUE(other.connectWithin(t.port(1), 3000));
        ASSERT_TRUE(waitConnected(slots.get(), 0) && waitConnected(slots.get(), 1));
        ASSERT_TRUE(next.connectOnce(t.port(0))); // waits in the backlog
        auto everything = readRecords(other.fd(), 1 << 20);

        auto start = Clock::now();
        Taken taken;
        bool stayed = true;
        std::thread reader;
        auto take = [&](const uint8_t *d, size_t n, Clock::time_point at) { takeRecords(taken, d, n, at, unitBytes); };
        if (c.pauseMs > 0) {
            taken.pauseFrom = start + kPauseAt;
            taken.pauseTo = taken.pauseFrom + std::chrono::milliseconds(c.pauseMs);
        }
        if (c.readShare > 0) {
            reader = std::thread([&] {
                if (c.pauseMs > 0) {
                    paced::readPaced(client.fd(), readRate, taken.pauseFrom, take);
                    std::this_thread::sleep_until(taken.pauseTo);
                }
                stayed = paced::readPaced(client.fd(), readRate, start + kRun, take);
            });
        }
        uint32_t seq = 0;
        double longest = 0;
        for (; Clock::now() < start + kRun && (c.readShare > 0 || StreamSlots_connected(slots.get(), 0)); seq++) {
            std::this_thread::sleep_until(start + seq * kPeriod);
            std::vector<uint8_t> u = makeUnit(seq, unitBytes);
            auto before = Clock::now();
            StreamSlots_send(slots.get(), u.data(), static_cast<int>(u.size()), steadyStamp(before));
            longest = std::max(longest, secondsSince(before));
        }
        EXPECT_LT(longest, 0.2) << "a send waited for a client";
        if (c.readShare > 0) {
            reader.join();
            EXPECT_TRUE(stayed && StreamSlots_connected(slots.get(), 0)) << "a client that keeps reading was dropped";
            EXPECT_TRUE(taken.whole);
            EXPECT_GT(taken.units, static_cast<int>(seq) / 2);
            EXPECT_LE(taken.oldest, paced::behindLimit(client.fd(), readRate));
            EXPECT_EQ(StreamSlots_stats(slots.get()).dropped, 0u);
            // The kernel holds a quarter to half a second of the stream for it; the reader's own
            // buffer and the unit in flight make up the rest.
            EXPECT_LE(taken.fromPause, kUnitsPerSecond * 3 / 4);
        } else {
            EXPECT_LT(secondsSince(start), 4.0) << "the client that never reads was not dropped in time";
            EXPECT_EQ(StreamSlots_stats(slots.get()).dropped, 1u);
            std::vector<uint8_t> u = makeUnit(seq, unitBytes);
            Record r;
            EXPECT_TRUE(waitConnected(slots.get(), 0) &&
                        StreamSlots_send(slots.get(), u.data(), static_cast<int>(u.size()), {seq, 0}) == 2 &&
                        readRecord(next.fd(), &r) && unitNumber(r.payload) == static_cast<long>(seq))
                << "the waiting client was not served";
            seq++;
        }
        slots.reset(); // ends the other client's stream
        std::vector<Record> all = everything.get();
        EXPECT_TRUE(!all.empty() && all.size() == seq && unitNumber(all.back().payload) == static_cast<long>(seq) - 1)
            << "the client of another slot missed units: " << all.size() << " of " << seq;
    };
    std::vector<std::thread> running;
    for (const Case &c : cases) {
        running.emplace_back(runCase, std::cref(c));
    }
    for (std::thread &r : running) {
        r.join();
    }
    EXPECT_EQ(count(output(), "took nothing for"), 2u);
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
