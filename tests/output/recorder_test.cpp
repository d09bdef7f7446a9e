// The USB recorder in a temporary root: the feed driven as the TS output drives it, the recorder
// thread writing real files that ffprobe reads back, /mnt/fn.sh run for real.
#include "encode/media/media.h"
#include "encode/output/recorder.h"
#include "tests/output/ts_feed_support.h"
#include "tests/support/temp_root.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHalf = RECORDER_HALF_BYTES;

// Units as the multiplexer makes them for video: a PAT packet, then numbered packets. The PAT
// packets carry their unit's number too, so that every packet of the stream is unique.
Bytes units(uint64_t first, size_t count, size_t packetsPerUnit)
{
    Bytes out = numberedPackets(first * packetsPerUnit, count * packetsPerUnit);
    for (size_t u = 0; u < count; u++) {
        uint8_t *pat = out.data() + u * packetsPerUnit * kTsPacket;
        pat[1] = 0x40; // payload_unit_start, PID 0
        pat[2] = 0x00;
    }
    return out;
}

bool beginsWithPat(const Bytes &b)
{
    return b.size() >= kTsPacket && b[0] == 0x47 && b[1] == 0x40 && b[2] == 0x00;
}

bool sameBytes(const Bytes &file, const Bytes &stream, size_t from, size_t n)
{
    return file.size() == n && from + n <= stream.size() &&
           std::equal(file.begin(), file.end(), stream.begin() + static_cast<long>(from));
}

// A file system that is full at `bytes`: writes past it fail with EFBIG instead of a signal.
class FullAt {
public:
    explicit FullAt(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FullAt()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, SIG_DFL);
    }
    FullAt(const FullAt &) = delete;
    FullAt &operator=(const FullAt &) = delete;

private:
    rlimit saved_{};
};

class RecorderTest : public ::testing::Test {
protected:
    void TearDown() override { stop(); }

    void recordDir() const { std::filesystem::create_directories(root_.path("/mnt/usb/record")); }
    void nameFile(const std::string &content) const { root_.write("/mnt/fn", content); }
    std::string recording(const std::string &name) const { return root_.path("/mnt/usb/record/" + name + ".ts"); }

    void start(int64_t fileLimit = 0)
    {
        Recorder_Attrs attrs{fileLimit};
        recorder_ = Recorder_create(&attrs);
        ASSERT_NE(recorder_, nullptr);
    }
    // Started, with its file open.
    void startRecording(const std::string &name, int64_t fileLimit = 0)
    {
        start(fileLimit);
        ASSERT_TRUE(tap_.waitFor("tsf-fd=/mnt/usb/record/" + name + ".ts\n", 5000));
        ASSERT_TRUE(eventually([&] { return stats().fileOpen; }, 2000));
    }
    // The clean stop; the counters stay readable.
    void stop()
    {
        if (recorder_ != nullptr) {
            EXPECT_EQ(Recorder_delete(recorder_, 5000, &last_), Media_EOK);
            recorder_ = nullptr;
        }
    }

    // As the TS output feeds it, from one thread.
    void feed(const uint8_t *data, size_t bytes) { Recorder_feed(recorder_, data, static_cast<int>(bytes)); }
    void feed(const Bytes &b) { feed(b.data(), b.size()); }

    RecorderStats stats() const { return recorder_ != nullptr ? Recorder_stats(recorder_) : last_; }
    bool halvesWritten(uint64_t n, int ms = 5000) const
    {
        return eventually([&] { return stats().halvesWritten >= n; }, ms);
    }

    TempRoot root_;
    StdoutTap tap_;
    Recorder_Handle recorder_ = nullptr;
    RecorderStats last_{};
};

TEST_F(RecorderTest, EverythingFedIsInTheFileAfterAStopAndPlayersReadIt)
{
    const Bytes &sample = sampleTs();
    ASSERT_GT(sample.size(), kHalf + 100000) << "ffmpeg could not make the sample stream";
    recordDir();
    nameFile("export f=cam1\n");
    startRecording("cam1");
    EXPECT_TRUE(tap_.has("tsf=cam1\ntsf-fd=/mnt/usb/record/cam1.ts\n"));

    // Frames of every size from one packet to forty, as the multiplexer hands them over.
    size_t at = 0;
    for (size_t packets = 1; at < sample.size(); packets = packets % 40 + 1) {
        size_t n = std::min(packets * kTsPacket, sample.size() - at);
        feed(sample.data() + at, n);
        at += n;
    }
    auto full = Clock::now();
    ASSERT_TRUE(halvesWritten(1));
    // 32 blocks with 10 ms between them: a half takes its time, the disk is not hit at once.
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - full).count(), 0.3);
    stop();

    // The partly filled second half too: nothing given to the recorder is lost at a stop.
    Bytes file = readFileBytes(recording("cam1"));
    EXPECT_TRUE(sameBytes(file, sample, 0, sample.size())) << file.size() << " of " << sample.size();
    EXPECT_EQ(stats().droppedBytes, 0u);
    std::string probe = runCommand("ffprobe -v quiet -count_frames -show_entries stream=codec_name,nb_read_frames "
                                   "-of csv=p=0 '" + recording("cam1") + "'");
    EXPECT_NE(probe.find("aac,"), std::string::npos) << probe;
    size_t h264 = probe.find("h264,");
    ASSERT_NE(h264, std::string::npos) << probe;
    EXPECT_GT(std::stoi(probe.substr(h264 + 5)), 100) << probe;
}

TEST_F(RecorderTest, AFewPacketsReachTheDiskWithoutAStopOrAFullHalf)
{
    recordDir();
    nameFile("export f=slow");
    startRecording("slow");
    Bytes stream = units(0, 2, 5);
    feed(stream);
    // At a few hundred kbit/s a half takes half a minute to fill; the bytes must not wait for it.
    ASSERT_TRUE(eventually([&] { return readFileBytes(recording("slow")).size() == stream.size(); },
                           RECORDER_HAND_OVER_MS + 2000));
    EXPECT_TRUE(sameBytes(readFileBytes(recording("slow")), stream, 0, stream.size()));
    EXPECT_TRUE(stats().running);
}

TEST_F(RecorderTest, AtTheSizeLimitTheNextFileNamedByFnShBeginsWithAPat)
{
    recordDir();
    nameFile("export f=rec1\r\n");
    // Stands in for the appliance's script: a new name every time it runs.
    root_.write("/mnt/fn.sh", "#!/bin/sh\n"
                              "d=$(dirname \"$0\")\n"
                              "n=$(cat \"$d/count\" 2>/dev/null || echo 1)\n"
                              "n=$((n + 1))\n"
                              "echo $n > \"$d/count\"\n"
                              "printf 'export f=rec%s\\n' $n > \"$d/fn\"\n");
    ASSERT_EQ(chmod(root_.path("/mnt/fn.sh").c_str(), 0755), 0);
    const int64_t limit = 40000; // not a whole number of packets or units
    startRecording("rec1", limit);

    Bytes stream = units(0, 300, 21);
    for (size_t u = 0; u < 300; u++) {
        feed(stream.data() + u * 21 * kTsPacket, 21 * kTsPacket);
    }
    stop();

    // The files in order are the stream; each reaches the limit and ends where a unit begins.
    size_t at = 0;
    int files = 0;
    for (; at < stream.size(); files++) {
        std::string name = "rec" + std::to_string(files + 1);
        SCOPED_TRACE(name);
        Bytes file = readFileBytes(recording(name));
        ASSERT_TRUE(beginsWithPat(file));
        ASSERT_TRUE(sameBytes(file, stream, at, file.size()));
        at += file.size();
        if (at < stream.size()) {
            EXPECT_GE(static_cast<int64_t>(file.size()), limit);
            // Looked at between blocks: at most a block, then the rest of a unit, past the limit.
            EXPECT_LT(static_cast<int64_t>(file.size()), limit + RECORDER_BLOCK_BYTES + 21 * kTsPacket);
        }
    }
    EXPECT_EQ(stats().rotations, static_cast<uint64_t>(files - 1));
    EXPECT_TRUE(tap_.has("tsf=rec2\ntsf-fd=/mnt/usb/record/rec2.ts\n"));
}

TEST_F(RecorderTest, NoNewNameFromFnShKeepsTheFileInsteadOfTruncatingIt)
{
    recordDir();
    nameFile("export f=keep\n"); // and no /mnt/fn.sh at all: the name stays
    const int64_t limit = 2 * RECORDER_BLOCK_BYTES;
    startRecording("keep", limit);

    Bytes stream = units(0, 250, 21);
    feed(stream);
    stop();

    EXPECT_TRUE(sameBytes(readFileBytes(recording("keep")), stream, 0, stream.size()));
    EXPECT_EQ(stats().rotations, 0u);
    // One attempt per limit's worth of recording, not one per block.
    int attempts = tap_.count("tsf: /mnt/fn.sh named no new file, /mnt/usb/record/keep.ts goes on\n");
    EXPECT_LE(attempts, static_cast<int>(stream.size() / limit));
    EXPECT_GE(attempts, static_cast<int>(stream.size() / (limit + 21 * kTsPacket)));
}

TEST_F(RecorderTest, MissingRecordDirectoryTurnsRecordingAndItsMultiplexingOff)
{
    nameFile("export f=cam\n");
    start();
    ASSERT_TRUE(tap_.waitFor("error open file tsf_fd =/mnt/usb/record/cam.ts\n", 5000));
    EXPECT_TRUE(tap_.has("tsf=cam\ntsf-fd=/mnt/usb/record/cam.ts\nerror open file tsf_fd =/mnt/usb/record/cam.ts\n"));
    ASSERT_TRUE(eventually([&] { return !stats().running; }, 2000));
    EXPECT_FALSE(Recorder_accepting(recorder_));
    // Recording gave up: as the multiplexer stage's consumer it wants no packets any more.
    Output *out = Recorder_output(recorder_);
    EXPECT_FALSE(out->wantsTs());

    Bytes b = units(0, 10, 100);
    out->ts(b.data(), static_cast<int>(b.size()));
    EXPECT_EQ(stats().droppedBytes, 0u);
    EXPECT_FALSE(std::filesystem::exists(root_.path("/mnt/usb/record")));
}

TEST_F(RecorderTest, NameFileRules)
{
    recordDir();
    struct Case {
        std::string content;
        std::string name; // empty: no file
    };
    const std::string longName(150, 'x');
    const std::vector<Case> cases = {
        {"export f=abc\r\nexport f=other\n", "abc"},
        {"export f=abc", "abc"},
        {"export f=" + longName + "\n", longName.substr(0, 128 - 9)}, // 128 bytes are read
        {"export  f=abc\n", ""},
        {"f=abc\n", ""},
        {"export f=\n", ""},
        {"export f=../../etc/x\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        nameFile(c.content);
        int before = tap_.count("tsf: /mnt/fn names no file, nothing is recorded\n");
        // Counted, not searched: an earlier case printed the same name, and stopping a thread that
        // has not yet begun would leave it running.
        int beforeNamed = tap_.count("tsf=" + c.name + "\n");
        start();
        if (c.name.empty()) {
            EXPECT_TRUE(eventually(
                [&] { return tap_.count("tsf: /mnt/fn names no file, nothing is recorded\n") == before + 1; }, 3000));
            EXPECT_TRUE(stats().running);
            EXPECT_FALSE(stats().fileOpen);
        } else {
            EXPECT_TRUE(eventually([&] { return tap_.count("tsf=" + c.name + "\n") == beforeNamed + 1; }, 3000));
            EXPECT_TRUE(eventually([&] { return std::filesystem::exists(recording(c.name)); }, 3000));
        }
        stop();
    }
    std::filesystem::remove(root_.path("/mnt/fn"));
    start();
    EXPECT_TRUE(tap_.waitFor("tsf: /mnt/fn names no file", 3000));
    stop();
}

TEST_F(RecorderTest, BothHalvesFullDropsWholeFeedsWithOneLineAndNeverWaits)
{
    recordDir();
    nameFile("export f=burst\n");
    startRecording("burst");

    // A burst of three halves' worth at once: the recorder cannot have written anything yet.
    const size_t perFeed = 100;
    uint64_t k = 0;
    auto longest = Clock::duration::zero();
    while (k * kTsPacket < 3 * kHalf) {
        Bytes b = numberedPackets(k, perFeed);
        auto t = Clock::now();
        feed(b);
        longest = std::max(longest, Clock::now() - t);
        k += perFeed;
    }
    EXPECT_LT(std::chrono::duration<double>(longest).count(), 0.5);
    RecorderStats d = stats();
    EXPECT_GT(d.droppedBytes, 0u);
    EXPECT_EQ(d.droppedBytes, d.droppedFeeds * perFeed * kTsPacket);

    // Once the first half is back the feed fits again; the run of drops is reported once.
    ASSERT_TRUE(tap_.waitFor("tsf: both buffers were full, " + std::to_string(d.droppedBytes) + " bytes dropped", 5000));
    while (stats().halvesWritten < 3) {
        ASSERT_LT(k, 200000u) << "the recorder does not get through its halves";
        feed(numberedPackets(k, 20));
        k += 20;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop();
    EXPECT_EQ(tap_.count("tsf: both buffers were full, "), 1);
    EXPECT_EQ(stats().droppedBytes, d.droppedBytes);

    // The file is every packet fed but those whole feeds: whole packets, one gap.
    Bytes file = readFileBytes(recording("burst"));
    ASSERT_EQ(file.size() % kTsPacket, 0u);
    int64_t previous = -1;
    uint64_t missing = 0;
    for (size_t at = 0; at < file.size(); at += kTsPacket) {
        int64_t n = packetNumber(file.data() + at);
        ASSERT_GE(n, 0) << "torn packet at byte " << at;
        ASSERT_GT(n, previous);
        missing += static_cast<uint64_t>(n - previous - 1);
        previous = n;
    }
    EXPECT_EQ(static_cast<uint64_t>(previous + 1), k);
    EXPECT_EQ(missing * kTsPacket, d.droppedBytes);
}

TEST_F(RecorderTest, AFullDiskCostsBlocksAndTheFileEndsOnAWholePacket)
{
    recordDir();
    nameFile("export f=full\n");
    startRecording("full");
    const size_t room = 100000; // a disk full in the middle of a packet
    Bytes stream = numberedPackets(0, 3 * kHalf / 2 / kTsPacket);
    {
        FullAt disk(room);
        feed(stream);
        ASSERT_TRUE(halvesWritten(1, 8000));
        stop();
    }
    RecorderStats d = stats();
    EXPECT_GT(d.failedBytes, kHalf / 2);
    EXPECT_EQ(d.droppedBytes, 0u);
    EXPECT_TRUE(sameBytes(readFileBytes(recording("full")), stream, 0, room / kTsPacket * kTsPacket));
    EXPECT_EQ(tap_.count("tsf: write error on /mnt/usb/record/full.ts, errno = 27 "), 1);
}

} // namespace
