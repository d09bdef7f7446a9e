// The writer thread in this process, fed units as the video thread feeds it, with the output list the
// main thread would build and real clients: a TCP client on the main and second slots, a reader of
// the hand-off FIFO, a real recorder, and in the place of the UDP send a probe that runs inside the
// writer, between its outputs. Which stream each output carries, and in which order a unit reaches
// them.
#include "encode/core/output_switches.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/media/buffer.h"
#include "encode/media/frame_times.h"
#include "encode/output/output_list.h"
#include "encode/output/writer.h"
#include "tests/output/ts_feed_support.h"
#include "tests/support/net.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

constexpr int kUnitBytes = 100; // one TS packet's payload: the unit shows whole in the TS
constexpr int kBufferBytes = 4096;
constexpr int kMainSlot = 8888;
constexpr int kSecondSlot = 7777;

// "MAIN0003" or "SECOND0003" after a start code and an IDR NAL header, padded to kUnitBytes.
Bytes unit(const char *stream, int k)
{
    char text[kUnitBytes + 1];
    std::snprintf(text, sizeof text, "%c%c%c%c%c%s%04d", 0, 0, 0, 1, 0x65, stream, k);
    std::string u(text, 5 + std::strlen(text + 5));
    u.resize(kUnitBytes, 0x5A);
    return Bytes(u.begin(), u.end());
}

bool contains(const Bytes &hay, const std::string &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

int queued(int fd)
{
    int n = -1;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// What the probe saw of the other outputs at the moment the TS went out, per unit.
struct Seen {
    Bytes ts;
    int mainSlotQueued = -1;
    int fifoQueued = -1;
};
std::atomic<int> probeSlot{-1};
std::atomic<int> probeFifo{-1};
std::vector<Seen> seen; // written by the writer thread while the test waits for the unit

// The UDP send of the TS output (one datagram per unit here).
ssize_t probe(int, const void *data, size_t bytes, int, const sockaddr *, socklen_t)
{
    const auto *p = static_cast<const uint8_t *>(data);
    seen.push_back({Bytes(p, p + bytes), queued(probeSlot.load()), queued(probeFifo.load())});
    return static_cast<ssize_t>(bytes);
}

enum class Recording { None, Records, GivesUp };

struct Routing {
    const char *name;
    bool second;         // kavex_rs.ini enables the second stream
    int tsCarries;       // kavex_rsc.ini field 1
    int rtspCarries;     // kavex_rsc.ini field 2
    bool tsOff;          // ts.ini 1: only the recording wants the TS
    Recording recording; // GivesUp: the recorder finds no record directory
    const char *tsStream;   // null: no TS at all
    const char *fifoStream;
};

class WriterTest : public ::testing::TestWithParam<Routing> {
protected:
    void SetUp() override
    {
        ::signal(SIGPIPE, SIG_IGN);
        SharedStatus_reset();
        offset_ = freePortOffset({kMainSlot, kSecondSlot});
        ASSERT_GT(offset_, 0);
        setenv("ENCODE_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        setenv("ENCODE_BIND_ADDRESS", "127.0.0.1", 1);
        root_.write("/dev/shm/.keep", "");
        init_ = Rendezvous_create(1, &Rendezvous_Attrs_DEFAULT);
        cleanup_ = Rendezvous_create(1, &Rendezvous_Attrs_DEFAULT);
        pause_ = Pause_create(&Pause_Attrs_DEFAULT);
        for (Fifo_Handle *f : {&toVideo_, &fromVideo_, &toVideoFml_, &fromVideoFml_}) {
            *f = Fifo_create(&Fifo_Attrs_DEFAULT);
        }
        seen.clear();
    }
    void TearDown() override
    {
        if (writer_.valid()) {
            Fifo_flush(fromVideo_);
            EXPECT_EQ(writer_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        }
        for (int fd : {mainClient_, secondClient_, fifoReader_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        probeSlot.store(-1);
        probeFifo.store(-1);
        OutputList_stop(outputs_);
        for (Fifo_Handle f : {toVideo_, fromVideo_, toVideoFml_, fromVideoFml_}) {
            Fifo_delete(f);
        }
        Pause_delete(pause_);
        Rendezvous_delete(init_);
        Rendezvous_delete(cleanup_);
        OutputSwitches_reset();
        SecondStream_reset();
        SharedStatus_reset();
        unsetenv("ENCODE_PORT_OFFSET");
        unsetenv("ENCODE_BIND_ADDRESS");
    }

    void start(const Routing &r)
    {
        SecondStreamSettings s;
        s.enabled = r.second ? 1 : 0;
        s.tsCarriesSecond = r.tsCarries;
        s.rtspCarriesSecond = r.rtspCarries;
        SecondStream_set(s);
        OutputPlan plan{};
        plan.switches.tsOff = r.tsOff ? 1 : 0;
        plan.switches.rtsp = 1;
        plan.second = s;
        plan.video = true;
        plan.audio = TsMux_Audio_NONE;
        plan.destinations = NetDestinations_make("127.0.0.1", 9, "", 0, "", 0);
        plan.udpSend = probe;
        if (r.recording != Recording::None) {
            root_.write("/mnt/fn", "export f=w\n");
            if (r.recording == Recording::Records) {
                std::filesystem::create_directories(root_.path("/mnt/usb/record"));
            }
            plan.recorder = Recorder_create(nullptr);
            ASSERT_NE(plan.recorder, nullptr);
            bool accepting = r.recording == Recording::Records;
            ASSERT_TRUE(eventually([&] { return Recorder_accepting(plan.recorder) == accepting; }, 5000));
        }
        ASSERT_EQ(OutputList_build(&plan, &outputs_), OutputList_EOK);

        WriterThreadParams &w = params_;
        w.hRendezvousInit = init_;
        w.hRendezvousCleanup = cleanup_;
        w.hPauseProcess = pause_;
        w.hToVideoFifo = toVideo_;
        w.hFromVideoFifo = fromVideo_;
        w.hToVideoFmlFifo = toVideoFml_;
        w.hFromVideoFmlFifo = fromVideoFml_;
        w.videofile = "/tmp/main.264";
        w.outBufSize = kBufferBytes;
        w.outputs = outputs_;
        writer_ = std::async(std::launch::async, [this] { return writerThrFxn(&params_); });

        mainClient_ = connectLoopback(kMainSlot + offset_, 5000);
        secondClient_ = connectLoopback(kSecondSlot + offset_, 5000);
        ASSERT_GE(mainClient_, 0);
        ASSERT_GE(secondClient_, 0);
        fifoReader_ = openFifoReaderWhenMade(root_.path("/dev/shm/v_fifo"), 5000);
        ASSERT_GE(fifoReader_, 0);
    }

    // One unit (and its second-stream unit) handed to the writer, stamped now.
    void feed(int k, bool second)
    {
        Buffer_Handle main = nullptr;
        ASSERT_EQ(Fifo_get(toVideo_, &main), 0);
        Bytes m = unit("MAIN", k);
        std::memcpy(Buffer_getUserPtr(main), m.data(), m.size());
        Buffer_setNumBytesUsed(main, kUnitBytes);
        if (second) {
            Buffer_Handle fml = nullptr;
            ASSERT_EQ(Fifo_get(toVideoFml_, &fml), 0);
            Bytes s = unit("SECOND", k);
            std::memcpy(Buffer_getUserPtr(fml), s.data(), s.size());
            Buffer_setNumBytesUsed(fml, kUnitBytes);
            ASSERT_EQ(Fifo_put(fromVideoFml_, fml), 0);
        }
        FrameTimes_push(FrameTime_now());
        ASSERT_EQ(Fifo_put(fromVideo_, main), 0);
    }

    TempRoot root_;
    int offset_ = 0;
    Rendezvous_Handle init_ = nullptr;
    Rendezvous_Handle cleanup_ = nullptr;
    Pause_Handle pause_ = nullptr;
    Fifo_Handle toVideo_ = nullptr, fromVideo_ = nullptr, toVideoFml_ = nullptr, fromVideoFml_ = nullptr;
    OutputList_Handle outputs_ = nullptr;
    WriterThreadParams params_{};
    std::future<void *> writer_;
    int mainClient_ = -1;
    int secondClient_ = -1;
    int fifoReader_ = -1;
};

// Reads whatever a client has been sent so far, whole units.
void drain(int fd)
{
    Bytes got(static_cast<size_t>(std::max(queued(fd), 0)));
    ASSERT_TRUE(readExact(fd, got.data(), got.size()));
    ASSERT_EQ(got.size() % kUnitBytes, 0u);
}

void PrintTo(const Routing &r, std::ostream *os)
{
    *os << r.name;
}

// Each unit reaches the slots, then the TS, then the FIFO; each output carries the stream the store
// gives it; with TS output off the TS is made only while the recorder takes it, and recorded.
TEST_P(WriterTest, EveryOutputGetsItsStreamInOrder)
{
    const Routing &r = GetParam();
    start(r);
    // The slots take a client on their own thread's tick: units go out until both have one. A unit
    // is through the writer once its FIFO record is there, the FIFO being the last output.
    Bytes record(16 + kUnitBytes);
    int k = 0;
    for (;; k++) {
        ASSERT_LT(k, 100) << "the slots never took their clients";
        feed(k, r.second);
        ASSERT_TRUE(readExact(fifoReader_, record.data(), record.size()));
        if (queued(mainClient_) > 0 && (!r.second || queued(secondClient_) > 0)) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    drain(mainClient_);
    drain(secondClient_);
    probeSlot.store(mainClient_);
    probeFifo.store(fifoReader_);
    seen.clear();

    Bytes got(kUnitBytes);
    for (int u = k + 1; u < k + 4; u++) {
        SCOPED_TRACE(u);
        feed(u, r.second);
        ASSERT_TRUE(readExact(fifoReader_, record.data(), record.size()));
        EXPECT_EQ(Bytes(record.begin() + 16, record.end()), unit(r.fifoStream, u));
        ASSERT_TRUE(readExact(mainClient_, got.data(), got.size()));
        EXPECT_EQ(got, unit("MAIN", u));
        if (r.second) {
            ASSERT_TRUE(readExact(secondClient_, got.data(), got.size()));
            EXPECT_EQ(got, unit("SECOND", u));
        }
        if (r.tsStream == nullptr || r.tsOff) {
            continue;
        }
        ASSERT_EQ(seen.size(), static_cast<size_t>(u - k)) << "one TS output per unit";
        const Seen &s = seen.back();
        char mark[32];
        std::snprintf(mark, sizeof mark, "%s%04d", r.tsStream, u);
        EXPECT_TRUE(contains(s.ts, mark));
        EXPECT_EQ(s.mainSlotQueued, kUnitBytes) << "the slot had the unit before the TS went out";
        EXPECT_EQ(s.fifoQueued, 0) << "the FIFO got the unit after the TS";
    }
    // Once the writer has ended its record can be read: the multiplexer ran only when its output
    // went somewhere.
    Fifo_flush(fromVideo_);
    ASSERT_EQ(writer_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(seen.empty(), r.tsStream == nullptr || r.tsOff);
    EXPECT_EQ(OutputList_tsStats(outputs_).units > 0, r.tsStream != nullptr);
    if (r.recording == Recording::Records) {
        OutputList_stop(outputs_); // the recorder writes what it holds
        outputs_ = nullptr;
        Bytes file = readFileBytes(root_.path("/mnt/usb/record/w.ts"));
        for (int u = k + 1; u < k + 4; u++) {
            char mark[32];
            std::snprintf(mark, sizeof mark, "%s%04d", r.tsStream, u);
            EXPECT_TRUE(contains(file, mark)) << mark;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routings, WriterTest,
    ::testing::Values(Routing{"MainEverywhere", false, 0, 0, false, Recording::None, "MAIN", "MAIN"},
                      Routing{"SecondToTs", true, 1, 0, false, Recording::None, "SECOND", "MAIN"},
                      Routing{"SecondToFifo", true, 0, 1, false, Recording::None, "MAIN", "SECOND"},
                      Routing{"RecordingWithTsOff", false, 0, 0, true, Recording::Records, "MAIN", "MAIN"},
                      Routing{"RecorderGaveUp", false, 0, 0, true, Recording::GivesUp, nullptr, "MAIN"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
