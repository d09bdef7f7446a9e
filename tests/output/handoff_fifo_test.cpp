// Hand-off FIFOs in a temporary root with real readers: the creation steps and the wait for a
// reader, failures, a reader that stops reading, one that leaves, the queue limit, bare records, and
// a pipe made smaller behind the writer's back.
#include "encode/core/shared_status.h"
#include "encode/output/handoff_fifo.h"
#include "tests/output/unit_stream.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace unit_stream;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct FifoCloser {
    void operator()(HandoffFifo_Object *h) const { HandoffFifo_close(h); }
};
using FifoPtr = std::unique_ptr<HandoffFifo_Object, FifoCloser>;

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        n++;
    }
    return n;
}

bool writeUnit(HandoffFifo_Handle h, uint32_t seq, size_t bytes)
{
    std::vector<uint8_t> u = makeUnit(seq, bytes);
    return HandoffFifo_write(h, u.data(), static_cast<int>(u.size()), {1000 + seq, seq});
}

const HandoffFifoKind kAacLike = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                                  "Failed to create audio fifo for writing", true, 32768, "RTSP audio"};
const HandoffFifoKind kBare = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                               "Failed to create audio fifo for writing", false, 0, "RTSP audio"};

class HandoffFifoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As in the program: a reader that has gone is a write error, not a dead process.
        ::signal(SIGPIPE, SIG_IGN);
        SharedStatus_reset();
        root_.write("/dev/shm/.keep", "");
        testing::internal::CaptureStdout();
        capturing_ = true;
    }
    void TearDown() override
    {
        output();
        closeReader();
        SharedStatus_reset();
    }

    // Opens the FIFO at `systemPath` as its writer, with a reader arriving `readerAfterMs` later. The
    // reader's end is left blocking, for readExact.
    FifoPtr openWithReader(const HandoffFifoKind *kind, int readerAfterMs = 0)
    {
        auto opened = std::async(std::launch::async, [kind] { return HandoffFifo_open(kind); });
        std::string path = root_.path(kind->path);
        auto until = Clock::now() + milliseconds(3000);
        struct stat st {};
        // Opened up to everyone first: a reader that is not root could not open it before.
        while ((::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) || (st.st_mode & 0777) != 0777) &&
               Clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        std::this_thread::sleep_for(milliseconds(readerAfterMs));
        openedEarly_ = opened.wait_for(milliseconds(0)) == std::future_status::ready;
        openReader(kind->path);
        return FifoPtr(opened.get());
    }
    void openReader(const char *systemPath)
    {
        closeReader();
        reader_ = ::open(root_.path(systemPath).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ::fcntl(reader_, F_SETFL, 0);
    }
    void closeReader()
    {
        if (reader_ >= 0) {
            ::close(reader_);
            reader_ = -1;
        }
    }
    const std::string &output()
    {
        if (capturing_) {
            printed_ = testing::internal::GetCapturedStdout();
            capturing_ = false;
        }
        return printed_;
    }

    TempRoot root_;
    int reader_ = -1;
    bool openedEarly_ = false;

private:
    bool capturing_ = false;
    std::string printed_;
};

TEST_F(HandoffFifoTest, MadeAfreshOpenWhenAReaderComesAndRecordsAreTagPlusUnit)
{
    root_.write("/dev/shm/v_fifo", "stale regular file");
    FifoPtr fifo = openWithReader(&HandoffFifo_video, 300);
    ASSERT_NE(fifo, nullptr);
    EXPECT_FALSE(openedEarly_) << "the open returned before any reader came";

    struct stat st {};
    ASSERT_EQ(::stat(root_.path("/dev/shm/v_fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(::fcntl(reader_, F_GETPIPE_SZ), HANDOFF_FIFO_PIPE_BYTES);

    EXPECT_TRUE(writeUnit(fifo.get(), 3, 5000));
    EXPECT_TRUE(writeUnit(fifo.get(), 4, 20));
    Record a, b;
    ASSERT_TRUE(readRecord(reader_, &a));
    ASSERT_TRUE(readRecord(reader_, &b));
    EXPECT_EQ(a.seconds, 1003u);
    EXPECT_EQ(a.microseconds, 3u);
    EXPECT_EQ(a.length, 5000u);
    EXPECT_EQ(unitNumber(a.payload), 3);
    EXPECT_EQ(unitNumber(b.payload), 4);
    EXPECT_TRUE(silentFor(reader_, 100));
    EXPECT_EQ(HandoffFifo_dropped(fifo.get()), 0u);
}

TEST_F(HandoffFifoTest, QuitEndsTheWaitForAReaderQuietly)
{
    auto opened = std::async(std::launch::async, [] { return HandoffFifo_open(&HandoffFifo_video); });
    EXPECT_EQ(opened.wait_for(milliseconds(400)), std::future_status::timeout);
    SharedStatus_setQuit();
    ASSERT_EQ(opened.wait_for(milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(opened.get(), nullptr);
    EXPECT_EQ(output(), "");
}

int refuseOpen(const char *, int)
{
    errno = EACCES;
    return -1;
}

TEST_F(HandoffFifoTest, FifoThatCannotBeMadeOrOpenedPrintsItsLineAndGivesNoOutput)
{
    EXPECT_EQ(HandoffFifo_open(&HandoffFifo_video, refuseOpen), nullptr);

    std::filesystem::remove_all(root_.path("/dev/shm"));
    EXPECT_EQ(HandoffFifo_open(&HandoffFifo_video), nullptr);
    EXPECT_EQ(HandoffFifo_open(&kAacLike), nullptr);
    EXPECT_EQ(output(), "Failed to create vido fifo for writing\n"
                        "Failed to create vido fifo for writing\n"
                        "Failed to create audio fifo for writing\n");
}

// A reader that stops while `records` units of `bytes` come: no write may wait, what went in must
// come out whole and in order once it reads again, and each stall is one run with one line.
void stallAndCatchUp(HandoffFifo_Handle fifo, int reader, uint32_t records, size_t bytes)
{
    uint32_t written = 0;
    double longest = 0;
    for (uint32_t seq = 0; seq < records; seq++) {
        auto before = Clock::now();
        written += static_cast<uint32_t>(writeUnit(fifo, seq, bytes));
        longest = std::max(longest, std::chrono::duration<double>(Clock::now() - before).count());
    }
    EXPECT_LT(longest, 0.1);
    EXPECT_GT(written, 10u);
    EXPECT_LT(written, records);
    EXPECT_EQ(HandoffFifo_dropped(fifo), records - written);

    for (uint32_t i = 0; i < written; i++) {
        Record r;
        ASSERT_TRUE(readRecord(reader, &r)) << i;
        EXPECT_EQ(r.length, bytes);
        EXPECT_EQ(unitNumber(r.payload), static_cast<long>(i));
    }
    EXPECT_TRUE(silentFor(reader, 100));

    EXPECT_TRUE(writeUnit(fifo, 5000, bytes));
    Record r;
    ASSERT_TRUE(readRecord(reader, &r));
    EXPECT_EQ(unitNumber(r.payload), 5000);
    for (uint32_t seq = 6000; seq < 6000 + records; seq++) {
        writeUnit(fifo, seq, bytes);
    }
}

TEST_F(HandoffFifoTest, ReaderThatStopsReadingNeverBlocksTheWriterAndLaterGetsWholeRecords)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    stallAndCatchUp(fifo.get(), reader_, 300, 20000);
    const std::string &out = output();
    EXPECT_EQ(count(out, "/dev/shm/v_fifo: the reader is behind, record dropped"), 2u) << out;
    EXPECT_EQ(count(out, "\n"), 2u) << out;
}

// Records of a page and one byte leave pages of the pipe partly empty, so the pipe holds far fewer
// bytes than its size: a check on queued bytes alone would let the kernel take one in part.
TEST_F(HandoffFifoTest, RecordsThatLeavePagesHalfEmptyStillNeverGoInPart)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    stallAndCatchUp(fifo.get(), reader_, 400, 4096 + 1 - 16);
    EXPECT_EQ(count(output(), "the reader is behind"), 2u) << output();
}

TEST_F(HandoffFifoTest, ReaderThatLeavesIsReplacedWithoutWaitingAndTheNewOneStartsOnARecord)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    EXPECT_TRUE(writeUnit(fifo.get(), 1, 5000));
    EXPECT_TRUE(writeUnit(fifo.get(), 2, 5000));
    uint8_t part[100];
    ASSERT_TRUE(readExact(reader_, part, sizeof part)); // leaves the rest half read
    closeReader();

    auto before = Clock::now();
    EXPECT_FALSE(writeUnit(fifo.get(), 3, 5000));
    EXPECT_FALSE(writeUnit(fifo.get(), 4, 5000));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - before).count(), 0.1);

    openReader("/dev/shm/v_fifo");
    EXPECT_TRUE(writeUnit(fifo.get(), 5, 5000));
    Record r;
    ASSERT_TRUE(readRecord(reader_, &r)) << "the new reader did not start on a record";
    EXPECT_EQ(unitNumber(r.payload), 5);
    EXPECT_EQ(r.seconds, 1005u);
    EXPECT_TRUE(silentFor(reader_, 100));
    EXPECT_EQ(HandoffFifo_dropped(fifo.get()), 2u);

    const std::string &out = output();
    EXPECT_EQ(count(out, "/dev/shm/v_fifo: the reader has gone, records dropped until one opens it again\n"), 1u)
        << out;
    EXPECT_EQ(count(out, "/dev/shm/v_fifo: opened again for a new reader\n"), 1u) << out;
    EXPECT_EQ(count(out, "\n"), 2u) << out;
}

TEST_F(HandoffFifoTest, ReaderThatLeavesWhileThePipeIsFullIsNoticed)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    for (uint32_t seq = 0; seq < 100; seq++) {
        writeUnit(fifo.get(), seq, 20000);
    }
    closeReader();
    EXPECT_FALSE(writeUnit(fifo.get(), 100, 20000));
    openReader("/dev/shm/v_fifo");
    EXPECT_TRUE(writeUnit(fifo.get(), 101, 20000));
    Record r;
    ASSERT_TRUE(readRecord(reader_, &r));
    EXPECT_EQ(unitNumber(r.payload), 101);
    EXPECT_EQ(count(output(), "the reader has gone"), 1u);
}

TEST_F(HandoffFifoTest, QueueLimitDropsOnceMoreThanItIsWaiting)
{
    FifoPtr fifo = openWithReader(&kAacLike);
    ASSERT_NE(fifo, nullptr);
    // 1016-byte records: the 33rd finds 32512 bytes waiting and goes in, the 34th finds 33528.
    int written = 0;
    for (uint32_t seq = 0; seq < 40; seq++) {
        written += writeUnit(fifo.get(), seq, 1000);
    }
    EXPECT_EQ(written, 33);
    for (int i = 0; i < 33; i++) {
        Record r;
        ASSERT_TRUE(readRecord(reader_, &r));
        EXPECT_EQ(unitNumber(r.payload), i);
    }
    EXPECT_TRUE(writeUnit(fifo.get(), 99, 1000));
    EXPECT_EQ(count(output(), "/dev/shm/aa_fifo: the reader is behind, record dropped (1 so far)\n"), 1u)
        << output();
}

TEST_F(HandoffFifoTest, UntaggedRecordsAreTheBareUnits)
{
    FifoPtr fifo = openWithReader(&kBare);
    ASSERT_NE(fifo, nullptr);
    EXPECT_TRUE(writeUnit(fifo.get(), 8, 417));
    EXPECT_TRUE(writeUnit(fifo.get(), 9, 418));
    std::vector<uint8_t> a(417), b(418);
    ASSERT_TRUE(readExact(reader_, a.data(), a.size()));
    ASSERT_TRUE(readExact(reader_, b.data(), b.size()));
    EXPECT_EQ(unitNumber(a), 8);
    EXPECT_EQ(unitNumber(b), 9);
    EXPECT_TRUE(silentFor(reader_, 100));
}

TEST_F(HandoffFifoTest, RecordLargerThanThePipeGrowsItOrIsDroppedWhole)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    auto got = std::async(std::launch::async, [this] {
        Record r;
        return readRecord(reader_, &r, 3000) ? unitNumber(r.payload) : -1L;
    });
    bool written = writeUnit(fifo.get(), 42, 700 * 1024);
    if (::fcntl(reader_, F_GETPIPE_SZ) >= 2 * HANDOFF_FIFO_PIPE_BYTES) {
        EXPECT_TRUE(written);
        EXPECT_EQ(got.get(), 42);
    } else {
        // Not allowed to grow the pipe: the record goes, whole.
        EXPECT_FALSE(written);
        EXPECT_EQ(count(output(), "the record is larger than the pipe"), 1u);
        EXPECT_EQ(got.get(), -1);
    }
}

TEST_F(HandoffFifoTest, RecordTheKernelTookInPartIsFinishedWhileTheReaderReads)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    ASSERT_GE(::fcntl(reader_, F_SETPIPE_SZ, 16384), 0); // smaller than the writer believes
    auto got = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(milliseconds(300));
        Record r;
        return readRecord(reader_, &r, 3000) ? unitNumber(r.payload) : -1L;
    });
    EXPECT_TRUE(writeUnit(fifo.get(), 7, 100000));
    EXPECT_EQ(got.get(), 7);
    EXPECT_EQ(HandoffFifo_dropped(fifo.get()), 0u);
}

TEST_F(HandoffFifoTest, RecordLeftTornEndsTheOutputForTheRun)
{
    FifoPtr fifo = openWithReader(&HandoffFifo_video);
    ASSERT_NE(fifo, nullptr);
    ASSERT_GE(::fcntl(reader_, F_SETPIPE_SZ, 16384), 0);
    auto before = Clock::now();
    EXPECT_FALSE(writeUnit(fifo.get(), 7, 100000));
    double waited = std::chrono::duration<double>(Clock::now() - before).count();
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 3.0);
    EXPECT_FALSE(writeUnit(fifo.get(), 8, 100));
    EXPECT_EQ(HandoffFifo_dropped(fifo.get()), 2u);
    EXPECT_EQ(count(output(), "/dev/shm/v_fifo: the reader stopped inside a record, no more records this run\n"), 1u);
    // The reader sees the end of the stream after the torn part, never a later record.
    std::vector<uint8_t> rest(200000);
    size_t total = 0;
    ssize_t n;
    while ((n = ::read(reader_, rest.data(), rest.size())) > 0) {
        total += static_cast<size_t>(n);
    }
    EXPECT_EQ(n, 0);
    EXPECT_LT(total, 100016u);
}

} // namespace

// The WebRTC server's kind: the stream starts without a reader, costs nothing counted while none is
// there, and a reader (a new one, or one that fell behind) gets video only from a key unit on.
TEST_F(HandoffFifoTest, WebrtcKindStartsWithoutAReaderAndResumesAtKeyUnits)
{
    FifoPtr fifo(HandoffFifo_create(&HandoffFifo_webrtcMain));
    ASSERT_NE(fifo, nullptr);
    Output *out = HandoffFifo_output(fifo.get());
    auto before = Clock::now();
    out->begin();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - before).count(), 1.0) << "begin waited for a reader";
    std::vector<std::vector<uint8_t>> units;
    auto feed = [&](uint32_t seq, bool key) {
        units.push_back(makeUnit(seq, 3000));
        out->video({units.back().data(), static_cast<int>(units.back().size()), {1000 + seq, seq}, key});
    };
    feed(1, true);
    feed(2, false);
    EXPECT_EQ(HandoffFifo_dropped(fifo.get()), 0u) << "nobody watching is no loss";

    openReader("/dev/shm/webrtc_main");
    feed(3, false); // a new reader waits for the key unit
    feed(4, true);
    feed(5, false);
    Record r;
    ASSERT_TRUE(readRecord(reader_, &r));
    EXPECT_EQ(unitNumber(r.payload), 4);
    ASSERT_TRUE(readRecord(reader_, &r));
    EXPECT_EQ(unitNumber(r.payload), 5);

    // A reader that stops reading: once a unit did not go in, the next ones wait for a key unit.
    uint32_t seq = 6;
    while (HandoffFifo_dropped(fifo.get()) == 0u && seq < 2000) {
        feed(seq++, false);
    }
    uint32_t firstDropped = seq - 1;
    uint64_t droppedThen = HandoffFifo_dropped(fifo.get());
    while (readRecord(reader_, &r) && unitNumber(r.payload) + 1 < static_cast<int>(firstDropped)) {
    }
    feed(seq++, false);
    EXPECT_GT(HandoffFifo_dropped(fifo.get()), droppedThen) << "a unit after a drop went in before a key unit";
    feed(seq, true);
    ASSERT_TRUE(readRecord(reader_, &r));
    EXPECT_EQ(unitNumber(r.payload), static_cast<int>(seq));
    out->stop();
    fifo.release();
}
