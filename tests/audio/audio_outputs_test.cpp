// The audio side of the TCP slots and the hand-off FIFO: the slot table, and the AAC FIFO's fill rule
// against a real pipe with a real reader (32768 bytes waiting: the frame goes in; 32769: it is
// dropped whole), beside the bare MP3 FIFO that has no such limit.
#include "encode/core/shared_status.h"
#include "encode/output/handoff_fifo.h"
#include "encode/output/stream_slots.h"
#include "tests/audio/audio_frames.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace audio_frames;

namespace {

TEST(AudioSlotsTest, FiveSlotsOnTheAudioPortsWithTheirNames)
{
    ASSERT_EQ(StreamSlots_audio.count, 5);
    EXPECT_STREQ(StreamSlots_audio.startError, "aTcpThread1 creater error");
    for (int i = 0; i < 5; i++) {
        const StreamSlotEntry &s = StreamSlots_audio.slots[i];
        EXPECT_EQ(s.fixedPort, 9999 - i);
        EXPECT_EQ(std::string(s.threadName), "aTcpThread" + std::to_string(i + 1) + "Fxn");
        EXPECT_EQ(std::string(s.closeLine), "close socket" + std::to_string(i + 1));
    }
}

TEST(AudioSlotsTest, FifoInstancesShareThePathAndDifferInTagAndLimit)
{
    EXPECT_STREQ(HandoffFifo_aac.path, "/dev/shm/aa_fifo");
    EXPECT_STREQ(HandoffFifo_mp3.path, "/dev/shm/aa_fifo");
    EXPECT_STREQ(HandoffFifo_aac.createFail, "Failed to create audio fifo for writing");
    EXPECT_TRUE(HandoffFifo_aac.tagged);
    EXPECT_EQ(HandoffFifo_aac.queueLimit, 32768);
    EXPECT_FALSE(HandoffFifo_mp3.tagged);
    EXPECT_EQ(HandoffFifo_mp3.queueLimit, 0);
}

struct FifoCloser {
    void operator()(HandoffFifo_Object *h) const { HandoffFifo_close(h); }
};
using FifoPtr = std::unique_ptr<HandoffFifo_Object, FifoCloser>;

class AudioFifoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::signal(SIGPIPE, SIG_IGN);
        SharedStatus_reset();
        root_.write("/dev/shm/.keep", "");
    }
    void TearDown() override
    {
        for (int fd : {reader_, extra_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    FifoPtr open(const HandoffFifoKind *kind)
    {
        auto opened = std::async(std::launch::async, [kind] { return HandoffFifo_open(kind); });
        std::string path = root_.path(kind->path);
        struct stat st {};
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while ((::stat(path.c_str(), &st) != 0 || (st.st_mode & 0777) != 0777) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reader_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        FifoPtr fifo(opened.get());
        // A second writer of our own, to put single bytes in beside the records.
        extra_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        return fifo;
    }

    int queued() const
    {
        int n = -1;
        ::ioctl(reader_, FIONREAD, &n);
        return n;
    }

    // Reads everything waiting.
    std::vector<uint8_t> drain()
    {
        std::vector<uint8_t> all(static_cast<size_t>(queued()));
        size_t got = 0;
        while (got < all.size()) {
            ssize_t r = ::read(reader_, all.data() + got, all.size() - got);
            if (r <= 0) {
                break;
            }
            got += static_cast<size_t>(r);
        }
        all.resize(got);
        return all;
    }

    TempRoot root_;
    int reader_ = -1;
    int extra_ = -1;
    const std::vector<uint8_t> frame_ = std::vector<uint8_t>(4080, 0x5A); // with its tag, 4096 bytes
};

TEST_F(AudioFifoTest, AacFrameGoesInAt32768WaitingAndIsDroppedWholeAt32769)
{
    testing::internal::CaptureStdout();
    FifoPtr fifo = open(&HandoffFifo_aac);
    ASSERT_NE(fifo, nullptr);
    ASSERT_GE(reader_, 0);
    ASSERT_GE(extra_, 0);
    const int bytes = static_cast<int>(frame_.size());
    for (uint32_t i = 0; i < 8; i++) {
        ASSERT_TRUE(HandoffFifo_write(fifo.get(), frame_.data(), bytes, {100 + i, i}));
    }
    ASSERT_EQ(queued(), 32768);
    EXPECT_TRUE(HandoffFifo_write(fifo.get(), frame_.data(), bytes, {200, 0}));
    EXPECT_EQ(queued(), 32768 + 4096);

    std::vector<uint8_t> got = drain();
    ASSERT_EQ(got.size(), 9u * 4096);
    for (size_t r = 0; r < 9; r++) {
        const uint8_t *rec = &got[r * 4096];
        EXPECT_EQ(le32(rec), kTagMagic);
        EXPECT_EQ(le32(rec + 4), r < 8 ? 100 + r : 200u);
        EXPECT_EQ(le32(rec + 12), 4080u);
        EXPECT_EQ(std::vector<uint8_t>(rec + 16, rec + 4096), frame_);
    }

    for (uint32_t i = 0; i < 8; i++) {
        ASSERT_TRUE(HandoffFifo_write(fifo.get(), frame_.data(), bytes, {300 + i, i}));
    }
    uint8_t one = 0x11;
    ASSERT_EQ(::write(extra_, &one, 1), 1);
    ASSERT_EQ(queued(), 32769);
    EXPECT_FALSE(HandoffFifo_write(fifo.get(), frame_.data(), bytes, {400, 0}));
    EXPECT_EQ(queued(), 32769); // nothing of it went in
    EXPECT_EQ(HandoffFifo_dropped(fifo.get()), 1u);

    // Once the reader has caught up the next frame goes in again.
    drain();
    EXPECT_TRUE(HandoffFifo_write(fifo.get(), frame_.data(), bytes, {500, 0}));
    EXPECT_EQ(queued(), 4096);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("/dev/shm/aa_fifo: the reader is behind, record dropped (1 so far)\n"), std::string::npos)
        << out;
}

TEST_F(AudioFifoTest, Mp3FramesGoInBareWithoutTheQueueLimit)
{
    FifoPtr fifo = open(&HandoffFifo_mp3);
    ASSERT_NE(fifo, nullptr);
    const int bytes = static_cast<int>(frame_.size());
    for (int i = 0; i < 12; i++) {
        ASSERT_TRUE(HandoffFifo_write(fifo.get(), frame_.data(), bytes, {1, 0})) << i;
    }
    EXPECT_EQ(queued(), 12 * 4080);
    std::vector<uint8_t> got = drain();
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 4080), frame_);
}

} // namespace
