// The sender worker against a link of the test's own, one that refuses, one that stalls, one that
// ends and one that loses its connection: what the worker does about each, how its queue drops and
// resumes, and that a stop cuts every wait short. Bounds are loose on purpose (a loaded machine);
// what they catch is a wait that is not cut short or a retry that never comes.
#include "encode/media/wait.h"
#include "encode/output/sender.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ScopedLock = std::lock_guard<std::mutex>;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool eventually(const std::function<bool()> &done, int ms)
{
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

enum class Peer { Refuses, Stalls, Ends, Loses, Gated };

class FakeLink : public SenderLink {
public:
    explicit FakeLink(Peer peer) : peer_(peer) {}

    int connect(const MediaStop *) override
    {
        connects++;
        if (peer_ == Peer::Refuses) {
            return Sender_ERETRY;
        }
        return peer_ == Peer::Ends ? Sender_EFATAL : Sender_EOK;
    }
    int send(const SenderUnit &u) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        sent.push_back(u.data[0]);
        if (peer_ == Peer::Stalls && connects == 1) {
            aborted_.wait(lock, [this] { return abortedNow_; }); // a peer that never takes a byte
            abortedNow_ = false;
            return Sender_ELOST;
        }
        if (peer_ == Peer::Gated) {
            aborted_.wait(lock, [this] { return open_ || abortedNow_; });
        }
        return Sender_EOK;
    }
    int tend() override { return peer_ == Peer::Loses && connects == 1 ? Sender_ELOST : Sender_EOK; }
    void disconnect(bool stopping) override { disconnects += stopping ? 0 : 1; }
    void abort() override
    {
        ScopedLock lock(mutex_);
        abortedNow_ = true;
        aborts++;
        aborted_.notify_all();
    }
    void openGate()
    {
        ScopedLock lock(mutex_);
        open_ = true;
        aborted_.notify_all();
    }
    std::vector<uint8_t> sentUnits()
    {
        ScopedLock lock(mutex_);
        return sent;
    }

    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> aborts{0};

private:
    Peer peer_;
    std::mutex mutex_;
    std::condition_variable aborted_;
    bool abortedNow_ = false;
    bool open_ = false;
    std::vector<uint8_t> sent; // the first byte of each unit sent, in order
};

SenderConfig config(int queueBytes = 64 * 1024, int sendBoundMs = 300)
{
    return {"sender test", "", "test queue full, %llu units dropped\n", queueBytes, 64, 20, sendBoundMs, 500};
}

int put(Sender_Handle s, SenderKind kind, uint8_t mark, bool key, int bytes = 100)
{
    std::vector<uint8_t> unit(static_cast<size_t>(bytes), mark);
    return Sender_put(s, kind, unit.data(), bytes, FrameTime{1, 0}, key);
}

// What the worker makes of each kind of peer, and that its stop is prompt whatever the peer does.
TEST(SenderTest, EachPeerGetsItsDueAndTheStopIsPrompt)
{
    struct Case {
        Peer peer;
        const char *name;
        SenderState settled; // the state the worker reaches
        int connects;        // at least this many tries by then
        int reconnects;
    };
    const Case cases[] = {
        {Peer::Refuses, "refuses: tried again every second, waiting between", SenderState::Waiting, 3, 0},
        {Peer::Stalls, "stalls: the send is aborted at its bound, made again", SenderState::Up, 2, 1},
        {Peer::Ends, "ends: never tried again, off", SenderState::Off, 1, 0},
        {Peer::Loses, "loses the connection: made again at once", SenderState::Up, 2, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeLink link(c.peer);
        SenderConfig cfg = config();
        auto began = Clock::now();
        Sender_Handle s = Sender_create(&cfg, &link);
        ASSERT_NE(s, nullptr);
        if (c.peer == Peer::Stalls) {
            ASSERT_TRUE(eventually([&] { return Sender_stats(s).state == SenderState::Up; }, 3000));
            EXPECT_EQ(put(s, SenderKind::Video, 1, true), Sender_EOK);
        }
        ASSERT_TRUE(eventually([&] { return link.connects >= c.connects && Sender_stats(s).state == c.settled; }, 5000))
            << link.connects << " connects";
        SenderStats st = Sender_stats(s);
        EXPECT_EQ(st.reconnects, static_cast<uint64_t>(c.reconnects));
        nlohmann::json out;
        Sender_report(s, out);
        if (c.peer == Peer::Refuses) {
            // Two pauses of about a second each, and the status says when the next try comes.
            EXPECT_GT(secondsSince(began), 1.5);
            EXPECT_EQ(out["state"], "waiting");
            EXPECT_GT(out["retry_in_s"].get<double>(), 0.0);
            EXPECT_LE(out["retry_in_s"].get<double>(), 1.2);
            EXPECT_EQ(put(s, SenderKind::Audio, 2, true), Sender_ENOTUP);
        }
        if (c.peer == Peer::Stalls) {
            EXPECT_GE(link.aborts, 1);
            EXPECT_GE(st.longestSendMs, 300);
            EXPECT_LT(st.longestSendMs, 3000);
            EXPECT_EQ(st.dropped, 1u) << "the stalled unit went with its connection";
        }
        if (c.peer == Peer::Ends) {
            EXPECT_EQ(out["state"], "off");
            EXPECT_EQ(put(s, SenderKind::Video, 3, true), Sender_ENOTUP);
        }
        EXPECT_EQ(link.disconnects, c.reconnects);
        auto stopping = Clock::now();
        Sender_destroy(s);
        EXPECT_LT(secondsSince(stopping), 1.5);
        if (c.peer == Peer::Ends) {
            EXPECT_EQ(link.connects, 1);
        }
    }
}

// A queue without room drops whole units; after a dropped video unit video is taken again only from
// a key unit, audio from the next frame that fits; each run of drops is one line when it has ended,
// and what was taken goes out in its order.
TEST(SenderTest, FullQueueDropsWholeUnitsAndVideoResumesAtAKey)
{
    FakeLink link(Peer::Gated);
    SenderConfig cfg = config(1000, 0);
    Sender_Handle s = Sender_create(&cfg, &link);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(eventually([&] { return Sender_stats(s).state == SenderState::Up; }, 3000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(put(s, SenderKind::Video, 1, true), Sender_EOK); // held at the gate by the link
    ASSERT_TRUE(eventually([&] { return link.sentUnits().size() == 1; }, 3000));
    for (uint8_t m = 2; m < 10; m++) {
        EXPECT_EQ(put(s, SenderKind::Audio, m, true), Sender_EOK); // 900 of the 1000 bytes in use
    }
    struct Step {
        SenderKind kind;
        uint8_t mark;
        bool key;
        int bytes;
        int taken;
    };
    const Step full[] = {
        {SenderKind::Video, 20, false, 200, Sender_EFULL},   // no room: video now waits for a key unit
        {SenderKind::Audio, 21, true, 200, Sender_EFULL},
        {SenderKind::Audio, 22, true, 50, Sender_EOK},       // audio that fits goes in
        {SenderKind::Video, 23, false, 20, Sender_EWAITKEY}, // fits, but no key
        {SenderKind::Video, 24, true, 20, Sender_EOK},       // the key unit: video again from here
        {SenderKind::Video, 25, false, 20, Sender_EOK},
    };
    for (const Step &st : full) {
        EXPECT_EQ(put(s, st.kind, st.mark, st.key, st.bytes), st.taken) << int(st.mark);
    }
    link.openGate();
    ASSERT_TRUE(Sender_waitIdle(s, 3000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "test queue full, 3 units dropped\n");
    EXPECT_EQ(link.sentUnits(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 22, 24, 25}));
    EXPECT_EQ(Sender_stats(s).dropped, 3u);
    Sender_destroy(s);
}

} // namespace
