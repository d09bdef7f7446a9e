// The hand-off FIFO reader against real named pipes in a temporary root, written by the encoder's own
// FIFO writer or by hand: records back whole with their times, records that come in pieces, torn and
// garbage bytes skipped, the layout told from the data, a writer that leaves inside a record, a FIFO
// made afresh, paths that cannot be used. MP3 frame lengths are checked against a table worked out by
// hand from the layer III formula.
#include "encode/core/shared_status.h"
#include "encode/output/handoff_fifo.h"
#include "encode/output/stream_tag.h"
#include "rtsp/fifo_units.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct UnitsDeleter {
    void operator()(FifoUnits_Object *h) const { FifoUnits_delete(h); }
};
using UnitsPtr = std::unique_ptr<FifoUnits_Object, UnitsDeleter>;

constexpr int kWaitMs = 200;

const HandoffFifoKind kBareAudio = {"/dev/shm/aa_fifo", "Failed to create audio fifo for writing",
                                    "Failed to create audio fifo for writing", false, 0, "RTSP audio"};

Bytes pattern(uint32_t seed, size_t bytes)
{
    Bytes b(bytes);
    for (size_t i = 0; i < bytes; i++) {
        b[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    }
    return b;
}

Bytes tagged(const Bytes &unit, FrameTime t)
{
    Bytes r(STREAM_TAG_BYTES);
    StreamTag_encode(r.data(), t, static_cast<uint32_t>(unit.size()));
    r.insert(r.end(), unit.begin(), unit.end());
    return r;
}

// An MPEG-1 layer III frame, 128 kbit/s at 48 kHz: 384 bytes.
Bytes mp3Frame(uint8_t fill)
{
    Bytes f(384, fill);
    f[0] = 0xFF;
    f[1] = 0xFB;
    f[2] = 0x94;
    f[3] = 0x44;
    return f;
}

// The next unit within a generous number of tries (each bounded by kWaitMs).
bool nextUnit(FifoUnits_Handle h, FifoUnit *u, int tries = 50)
{
    for (int i = 0; i < tries; i++) {
        if (FifoUnits_next(h, u, kWaitMs)) {
            return true;
        }
    }
    return false;
}

Bytes bytesOf(const FifoUnit &u)
{
    return Bytes(u.data, u.data + u.bytes);
}

class FifoUnitsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SharedStatus_reset();
        std::filesystem::create_directories(root.path("/dev/shm"));
    }
    void TearDown() override
    {
        SharedStatus_setQuit();
        if (opener.joinable()) {
            opener.join();
        }
        SharedStatus_reset();
    }

    UnitsPtr reader(const char *path, FifoUnits_Layout layout)
    {
        UnitsPtr h(FifoUnits_create(path, layout, "test"));
        FifoUnit u{};
        FifoUnits_next(h.get(), &u, 0); // makes and opens the FIFO
        return h;
    }
    // A raw write end of the FIFO at `systemPath` (the reader must have it open).
    int writeEnd(const char *systemPath)
    {
        return ::open(root.path(systemPath).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    // The encoder's writer, opened in the background: it makes the FIFO afresh and waits for a reader.
    HandoffFifo_Handle openWriter(const HandoffFifoKind *kind, FifoUnits_Handle h)
    {
        std::atomic<HandoffFifo_Handle> w{nullptr};
        std::atomic<bool> done{false};
        opener = std::thread([&w, &done, kind] {
            w = HandoffFifo_open(kind);
            done = true;
        });
        FifoUnit u{};
        for (int i = 0; i < 200 && !done; i++) {
            FifoUnits_next(h, &u, 50); // the reader finds the new node while it waits
        }
        if (!done) {
            SharedStatus_setQuit();
        }
        opener.join();
        return w;
    }

    TempRoot root;
    std::thread opener;
};

TEST_F(FifoUnitsTest, TaggedRecordsComeBackWholeWithTheirTimes)
{
    UnitsPtr h = reader("/dev/shm/v_fifo", FifoUnits_TAGGED);
    HandoffFifo_Handle w = openWriter(&HandoffFifo_video, h.get());
    ASSERT_NE(w, nullptr);
    // Sizes around the reader's first buffer and read chunk, and one much larger.
    const std::vector<size_t> sizes = {1, 100, 65536, 65537, 300000, 400000, 5};
    for (size_t k = 0; k < sizes.size(); k++) {
        Bytes unit = pattern(static_cast<uint32_t>(k), sizes[k]);
        FrameTime t{1700000000u + static_cast<uint32_t>(k), 999999u - static_cast<uint32_t>(k)};
        ASSERT_TRUE(HandoffFifo_write(w, unit.data(), static_cast<int>(unit.size()), t));
        FifoUnit u{};
        ASSERT_TRUE(nextUnit(h.get(), &u)) << sizes[k];
        EXPECT_EQ(bytesOf(u), unit);
        EXPECT_EQ(u.layout, FifoUnits_TAGGED);
        EXPECT_EQ(u.timeUs, int64_t{t.seconds} * 1000000 + t.microseconds);
    }
    EXPECT_EQ(FifoUnits_count(h.get()), sizes.size());
    EXPECT_EQ(FifoUnits_skipped(h.get()), 0u);
    HandoffFifo_close(w);
}

TEST_F(FifoUnitsTest, RecordsWrittenInPiecesAndBackToBack)
{
    UnitsPtr h = reader("/dev/shm/v_fifo", FifoUnits_TAGGED);
    int fd = writeEnd("/dev/shm/v_fifo");
    ASSERT_GE(fd, 0);
    Bytes a = tagged(pattern(1, 5000), {10, 20});
    Bytes b = tagged(pattern(2, 7), {11, 30});
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    // The tag split in the middle, then the rest with the whole next record.
    ASSERT_EQ(::write(fd, all.data(), 9), 9);
    FifoUnit u{};
    EXPECT_FALSE(FifoUnits_next(h.get(), &u, 50));
    ASSERT_EQ(::write(fd, all.data() + 9, all.size() - 9), static_cast<ssize_t>(all.size() - 9));
    ASSERT_TRUE(nextUnit(h.get(), &u));
    EXPECT_EQ(bytesOf(u), pattern(1, 5000));
    ASSERT_TRUE(nextUnit(h.get(), &u));
    EXPECT_EQ(bytesOf(u), pattern(2, 7));
    EXPECT_EQ(u.timeUs, 11 * 1000000 + 30);
    ::close(fd);
}

// Garbage, a bad magic, a length word past the limit: skipped up to the next record, which is whole.
TEST_F(FifoUnitsTest, SkipsToTheNextRecordAfterBadBytes)
{
    UnitsPtr h = reader("/dev/shm/v_fifo", FifoUnits_TAGGED);
    int fd = writeEnd("/dev/shm/v_fifo");
    ASSERT_GE(fd, 0);
    Bytes huge(STREAM_TAG_BYTES);
    StreamTag_encode(huge.data(), {1, 2}, FIFO_UNITS_MAX_BYTES + 1);
    Bytes stream = {0x21, 0x43, 0x75, 0x00, 1, 2, 3};           // a magic gone wrong
    stream.insert(stream.end(), huge.begin(), huge.end());      // a length nobody sends
    Bytes good = tagged(pattern(3, 1000), {5, 6});
    stream.insert(stream.end(), good.begin(), good.end());
    ASSERT_EQ(::write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    FifoUnit u{};
    ASSERT_TRUE(nextUnit(h.get(), &u));
    EXPECT_EQ(bytesOf(u), pattern(3, 1000));
    EXPECT_EQ(FifoUnits_skipped(h.get()), 7u + STREAM_TAG_BYTES);
    ::close(fd);
}

// The writer leaves inside a record: the next writer's records come whole, nothing of the torn one.
TEST_F(FifoUnitsTest, ATornRecordGoesWithItsWriter)
{
    UnitsPtr h = reader("/dev/shm/v_fifo", FifoUnits_TAGGED);
    int fd = writeEnd("/dev/shm/v_fifo");
    ASSERT_GE(fd, 0);
    Bytes torn = tagged(pattern(4, 3000), {1, 1});
    ASSERT_EQ(::write(fd, torn.data(), 1000), 1000);
    ::close(fd);
    FifoUnit u{};
    EXPECT_EQ(FifoUnits_next(h.get(), &u, kWaitMs), 0);
    fd = writeEnd("/dev/shm/v_fifo");
    ASSERT_GE(fd, 0);
    Bytes good = tagged(pattern(5, 3000), {2, 2});
    ASSERT_EQ(::write(fd, good.data(), good.size()), static_cast<ssize_t>(good.size()));
    ASSERT_TRUE(nextUnit(h.get(), &u));
    EXPECT_EQ(bytesOf(u), pattern(5, 3000));
    EXPECT_EQ(FifoUnits_skipped(h.get()), 0u);
    ::close(fd);
}

TEST_F(FifoUnitsTest, TellsTheLayoutFromTheData)
{
    UnitsPtr h = reader("/dev/shm/aa_fifo", FifoUnits_DETECT);
    HandoffFifo_Handle w = openWriter(&kBareAudio, h.get());
    ASSERT_NE(w, nullptr);
    for (uint8_t k = 0; k < 3; k++) {
        Bytes f = mp3Frame(k);
        ASSERT_TRUE(HandoffFifo_write(w, f.data(), static_cast<int>(f.size()), {0, 0}));
    }
    for (uint8_t k = 0; k < 3; k++) {
        FifoUnit u{};
        ASSERT_TRUE(nextUnit(h.get(), &u));
        EXPECT_EQ(u.layout, FifoUnits_MP3);
        EXPECT_EQ(bytesOf(u), mp3Frame(k));
        EXPECT_EQ(u.timeUs, -1);
        EXPECT_EQ(u.sampleRate, 48000);
        EXPECT_EQ(u.samples, 1152);
    }
    HandoffFifo_close(w);
    FifoUnit u{};
    EXPECT_EQ(FifoUnits_next(h.get(), &u, kWaitMs), 0); // sees the writer's end go

    // The next writer (on the same node) sends tagged records: decided afresh.
    int fd = writeEnd("/dev/shm/aa_fifo");
    ASSERT_GE(fd, 0);
    Bytes rec = tagged(mp3Frame(9), {7, 8}); // tagged wins even when the unit looks like MP3
    ASSERT_EQ(::write(fd, rec.data(), rec.size()), static_cast<ssize_t>(rec.size()));
    ASSERT_TRUE(nextUnit(h.get(), &u));
    EXPECT_EQ(u.layout, FifoUnits_TAGGED);
    EXPECT_EQ(bytesOf(u), mp3Frame(9));
    ::close(fd);
}

TEST_F(FifoUnitsTest, Mp3FramesFindTheirStartAfterGarbage)
{
    UnitsPtr h = reader("/dev/shm/aa_fifo", FifoUnits_MP3);
    int fd = writeEnd("/dev/shm/aa_fifo");
    ASSERT_GE(fd, 0);
    Bytes stream = {0x00, 0xFF, 0xFD, 0x12}; // a layer II header: not ours
    Bytes f = mp3Frame(0x11);
    stream.insert(stream.end(), f.begin(), f.end());
    ASSERT_EQ(::write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    FifoUnit u{};
    ASSERT_TRUE(nextUnit(h.get(), &u));
    EXPECT_EQ(bytesOf(u), f);
    EXPECT_EQ(FifoUnits_skipped(h.get()), 4u);
    ::close(fd);
}

// The encoder restarts: a new node at the path; the reader moves to it, so the encoder's wait for a
// reader ends and its records arrive.
TEST_F(FifoUnitsTest, FollowsANodeMadeAfresh)
{
    UnitsPtr h = reader("/dev/shm/v_fifo", FifoUnits_TAGGED);
    for (int run = 0; run < 3; run++) {
        HandoffFifo_Handle w = openWriter(&HandoffFifo_video, h.get());
        ASSERT_NE(w, nullptr) << run;
        Bytes unit = pattern(static_cast<uint32_t>(run), 2000);
        ASSERT_TRUE(HandoffFifo_write(w, unit.data(), static_cast<int>(unit.size()), {1, 2}));
        FifoUnit u{};
        ASSERT_TRUE(nextUnit(h.get(), &u));
        EXPECT_EQ(bytesOf(u), unit);
        HandoffFifo_close(w);
    }
}

// Either program may start first: a missing FIFO (and its directory) is made, open to everyone.
TEST_F(FifoUnitsTest, MakesAMissingFifo)
{
    std::filesystem::remove_all(root.path("/dev"));
    UnitsPtr h = reader("/dev/shm/aa_fifo", FifoUnits_DETECT);
    struct stat st {};
    ASSERT_EQ(::stat(root.path("/dev/shm/aa_fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(FifoUnits_path(h.get()), root.path("/dev/shm/aa_fifo"));
}

// A plain file where the FIFO belongs is left alone (the encoder replaces it); nothing is read from it.
TEST_F(FifoUnitsTest, WaitsWhenThePathIsNoFifo)
{
    root.write("/dev/shm/v_fifo", std::string(tagged(pattern(1, 10), {1, 1}).size(), 'x'));
    UnitsPtr h(FifoUnits_create("/dev/shm/v_fifo", FifoUnits_TAGGED, "test"));
    testing::internal::CaptureStdout();
    FifoUnit u{};
    EXPECT_EQ(FifoUnits_next(h.get(), &u, 10), 0);
    EXPECT_EQ(FifoUnits_next(h.get(), &u, 10), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "test: is not a FIFO, waiting for the encoder to make it\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(root.path("/dev/shm/v_fifo")));
}

// Frame lengths: 144000 * kbit/s / rate (+ padding) for MPEG-1, half that for MPEG-2 and 2.5.
TEST(FifoUnitsMp3, FrameLengthsFromTheHeader)
{
    struct Case {
        uint8_t b1, b2;
        uint32_t bytes;
        int rate, samples;
    } const cases[] = {
        {0xFB, 0x94, 384, 48000, 1152},  // MPEG-1, 128 kbit/s, 48 kHz
        {0xFB, 0x90, 417, 44100, 1152},  // 44.1 kHz: 417.96 rounded down
        {0xFB, 0x92, 418, 44100, 1152},  // the same, padded
        {0xFB, 0xE8, 1440, 32000, 1152}, // 320 kbit/s at 32 kHz
        {0xF3, 0x14, 24, 24000, 576},    // MPEG-2, 8 kbit/s, 24 kHz
        {0xE3, 0x18, 72, 8000, 576},     // MPEG-2.5, 8 kbit/s, 8 kHz
    };
    for (const Case &c : cases) {
        const uint8_t h[4] = {0xFF, c.b1, c.b2, 0x00};
        int rate = 0, samples = 0;
        EXPECT_EQ(FifoUnits_mp3FrameBytes(h, &rate, &samples), c.bytes) << std::hex << int{c.b1} << int{c.b2};
        EXPECT_EQ(rate, c.rate);
        EXPECT_EQ(samples, c.samples);
    }
    const uint8_t refused[][4] = {
        {0xFF, 0xFB, 0x04, 0}, // free format
        {0xFF, 0xFB, 0xF4, 0}, // bit-rate index 15
        {0xFF, 0xFB, 0x9C, 0}, // sampling-rate index 3
        {0xFF, 0xFD, 0x94, 0}, // layer II
        {0xFF, 0xEB, 0x94, 0}, // reserved version
        {0xFE, 0xFB, 0x94, 0}, // no sync
    };
    for (const auto &h : refused) {
        EXPECT_EQ(FifoUnits_mp3FrameBytes(h, nullptr, nullptr), 0u);
    }
}

} // namespace
