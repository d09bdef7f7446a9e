// The audio threads in this process, on the virtual sound device (a 440/660 Hz tone paced by the
// clock), fed to the output list the main thread would build, with real clients on loopback: what
// reaches a TCP slot and the hand-off FIFO, the delay on the frame times, the HDMI input's rate and
// silence, the start-up failures and the ways out.
#include "encode/audio/audio_thread.h"
#include "encode/core/output_switches.h"
#include "encode/core/shared_status.h"
#include "encode/codec/engine.h"
#include "encode/media/frame_times.h"
#include "encode/output/output_list.h"
#include "tests/support/net.h"
#include "tests/audio/audio_frames.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace audio_frames;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t wallMicros()
{
    FrameTime t = FrameTime_now();
    return int64_t{t.seconds} * 1000000 + t.microseconds;
}

class AudioThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::signal(SIGPIPE, SIG_IGN);
        SharedStatus_reset();
        OutputSwitches_reset();
        // The slots' ports free now, and below the ephemeral range that other tests' connections take
        // theirs from (a fixed offset by the process number once met one of them in a parallel run).
        offset_ = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995});
        ASSERT_GT(offset_, 0);
        setenv("ENCODE_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        setenv("ENCODE_AUDIO_SOURCE", "tone", 1);
        setenv("ENCODE_BIND_ADDRESS", "127.0.0.1", 1);
        root_.write("/dev/shm/.keep", "");
        init_ = Rendezvous_create(1, &Rendezvous_Attrs_DEFAULT);
        cleanup_ = Rendezvous_create(1, &Rendezvous_Attrs_DEFAULT);
        pause_ = Pause_create(&Pause_Attrs_DEFAULT);
    }
    void TearDown() override
    {
        SharedStatus_setQuit();
        if (thread_.valid()) {
            thread_.wait();
        }
        OutputList_stop(outputs_);
        if (client_ >= 0) {
            ::close(client_);
        }
        if (reader_ >= 0) {
            ::close(reader_);
        }
        // A detached HDMI supervisor sees quit within a slice; it must be gone before the next reset.
        std::this_thread::sleep_for(milliseconds(200));
        Pause_delete(pause_);
        Rendezvous_delete(init_);
        Rendezvous_delete(cleanup_);
        OutputSwitches_reset();
        SharedStatus_reset();
        unsetenv("ENCODE_PORT_OFFSET");
        unsetenv("ENCODE_BIND_ADDRESS");
        unsetenv("ENCODE_AUDIO_SOURCE");
    }

    void switches(bool tcp, bool rtsp)
    {
        sw_ = OutputSwitches{};
        sw_.tsOff = 1; // and the list has no TS output: the integration tests read the transport stream
        sw_.tcp = tcp ? 1 : 0;
        sw_.rtsp = rtsp ? 1 : 0;
        OutputSwitches_set(sw_);
    }

    // The list for the thread's codec, as the main thread builds it from the switches.
    void buildOutputs(TsMux_Audio audio)
    {
        OutputList_stop(outputs_);
        OutputPlan plan{};
        plan.switches = sw_;
        plan.audio = audio;
        plan.destinations = NetDestinations_make(nullptr, 0, nullptr, 0, nullptr, 0);
        ASSERT_EQ(OutputList_build(&plan, &outputs_), OutputList_EOK);
    }

    template <typename Record>
    void fill(Record &r, int rate, int bitRate)
    {
        r.hRendezvousInit = init_;
        r.hRendezvousCleanup = cleanup_;
        r.hPauseProcess = pause_;
        r.linein = 1;
        r.engineName = ENGINE_NAME;
        r.soundbitrate = bitRate;
        r.samplerate = rate;
        r.outputs = outputs_;
    }

    void startAac(const char *codec = "aacenc", int rate = 44100)
    {
        buildOutputs(TsMux_Audio_AAC);
        fill(aac_, rate, 128000);
        aac_.audioEncoder = codec;
        aac_.audiofile = "/tmp/x.aac";
        thread_ = std::async(std::launch::async, [this] { return audioThrFxn(&aac_); });
    }
    void startMp3(int rate, int bitRate)
    {
        buildOutputs(TsMux_Audio_MP3);
        fill(mp3_, rate, bitRate);
        mp3_.speechEncoder = "mp3enc";
        mp3_.speechfile = "/tmp/x.mp3";
        thread_ = std::async(std::launch::async, [this] { return speechThrFxn(&mp3_); });
    }

    // The thread's result once quit is raised; it must come within a few seconds.
    void *stop()
    {
        SharedStatus_setQuit();
        EXPECT_EQ(thread_.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        return thread_.get();
    }

    // A client on audio slot 1, connected as soon as the slot listens.
    void connectSlot()
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(9999 + offset_));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto until = Clock::now() + milliseconds(5000);
        while (Clock::now() < until) {
            client_ = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(client_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
                return;
            }
            ::close(client_);
            client_ = -1;
            std::this_thread::sleep_for(milliseconds(50));
        }
        FAIL() << "slot 1 never listened";
    }

    // The hand-off FIFO's reader, once the thread has made the FIFO.
    void openFifoReader()
    {
        reader_ = openFifoReaderWhenMade(root_.path("/dev/shm/aa_fifo"), 5000);
        ASSERT_GE(reader_, 0);
    }

    struct Tagged {
        uint32_t magic, seconds, micros, length;
        std::vector<uint8_t> frame;
        int64_t arrivedMicros;
    };
    bool readTagged(int fd, Tagged *t)
    {
        uint8_t tag[kTagBytes];
        if (!readExact(fd, tag, sizeof tag)) {
            return false;
        }
        t->arrivedMicros = wallMicros();
        t->magic = le32(tag);
        t->seconds = le32(tag + 4);
        t->micros = le32(tag + 8);
        t->length = le32(tag + 12);
        if (t->length == 0 || t->length > 8192) {
            return false;
        }
        t->frame.resize(t->length);
        return readExact(fd, t->frame.data(), t->length);
    }

    TempRoot root_;
    int offset_ = 0;
    Rendezvous_Handle init_ = nullptr;
    Rendezvous_Handle cleanup_ = nullptr;
    Pause_Handle pause_ = nullptr;
    OutputSwitches sw_{};
    OutputList_Handle outputs_ = nullptr;
    AudioThreadParams aac_{};
    SpeechThreadParams mp3_{};
    std::future<void *> thread_;
    int client_ = -1;
    int reader_ = -1;
};

// tcp.ini on and time.ini "15": each AAC frame comes as its stream tag, whose length is the ADTS
// frame's own, stamped 150 ms after the time it was read; the thread ends on quit with success.
TEST_F(AudioThreadTest, SlotClientGetsTaggedAdtsFramesStampedWithTheDelay)
{
    root_.write("/mnt/time.ini", "15");
    switches(true, false);
    startAac();
    connectSlot();
    int64_t lastStamp = 0;
    for (int i = 0; i < 30; i++) {
        Tagged t;
        ASSERT_TRUE(readTagged(client_, &t)) << "frame " << i;
        EXPECT_EQ(t.magic, kTagMagic);
        Adts a;
        ASSERT_TRUE(parseAdts(t.frame.data(), t.frame.size(), &a)) << "frame " << i;
        EXPECT_EQ(a.length, static_cast<int>(t.length));
        EXPECT_EQ(a.sampleRate, 44100);
        EXPECT_EQ(a.channels, 2);
        EXPECT_EQ(a.objectType, 2);
        ASSERT_LT(t.micros, 1000000u);
        int64_t stamp = int64_t{t.seconds} * 1000000 + t.micros;
        EXPECT_GT(stamp, lastStamp);
        lastStamp = stamp;
        // Stamped when read plus 150 ms, and it reached us after the read: at most 150 ms ahead. The
        // lower bound only tells the delay from none; it allows for a loaded machine.
        int64_t ahead = stamp - t.arrivedMicros;
        EXPECT_LE(ahead, 150000) << "frame " << i;
        EXPECT_GT(ahead, 50000) << "frame " << i;
    }
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    EXPECT_GT(SharedStatus_snapshot().soundBytes, 0);
}

// tcp.ini off: the MP3 thread's frames arrive bare, one whole MP3 frame after the other, at the
// launch's rate and bit rate.
TEST_F(AudioThreadTest, UntaggedSlotClientGetsWholeMp3FramesBackToBack)
{
    switches(false, false);
    testing::internal::CaptureStdout();
    startMp3(48000, 320000);
    connectSlot();
    for (int i = 0; i < 30; i++) {
        uint8_t head[4];
        ASSERT_TRUE(readExact(client_, head, sizeof head)) << "frame " << i;
        Mp3 m;
        ASSERT_TRUE(parseMp3(head, sizeof head, &m)) << "frame " << i;
        EXPECT_EQ(m.sampleRate, 48000);
        EXPECT_EQ(m.bitRate, 320000);
        std::vector<uint8_t> rest(static_cast<size_t>(m.length) - sizeof head);
        ASSERT_TRUE(readExact(client_, rest.data(), rest.size()));
    }
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("kavex enter mp3 encode\n"), std::string::npos) << out;
}

// rtsp.ini on: the AAC thread makes /dev/shm/aa_fifo and its reader gets tag plus frame records.
TEST_F(AudioThreadTest, FifoReaderGetsTagPlusFrameRecords)
{
    switches(false, true);
    startAac();
    openFifoReader();
    for (int i = 0; i < 20; i++) {
        Tagged t;
        ASSERT_TRUE(readTagged(reader_, &t)) << "record " << i;
        EXPECT_EQ(t.magic, kTagMagic);
        Adts a;
        ASSERT_TRUE(parseAdts(t.frame.data(), t.frame.size(), &a));
        EXPECT_EQ(a.length, static_cast<int>(t.length));
    }
    EXPECT_EQ(stop(), THREAD_SUCCESS);
}

// No RTSP server ever opens the FIFO: the thread waits for one, and quit still ends it promptly.
TEST_F(AudioThreadTest, QuitEndsTheWaitForAFifoReader)
{
    switches(false, true);
    startAac();
    std::this_thread::sleep_for(milliseconds(800));
    EXPECT_EQ(thread_.wait_for(milliseconds(0)), std::future_status::timeout);
    EXPECT_TRUE(root_.exists("/dev/shm/aa_fifo"));
    EXPECT_EQ(stop(), THREAD_SUCCESS);
}

// HDMI audio selected, /tmp/ha '2': the thread and the device run at 48000 Hz. Without a lock (no
// capture chip here answers) the input is muted, which the encoder shows as near-empty frames,
// where the tone takes hundreds of bytes a frame.
TEST_F(AudioThreadTest, HdmiInputWithoutLockIsSilenceAtTheSourcesRate)
{
    root_.write("/mnt/ha.ini", "1");
    root_.write("/mnt/has.ini", "2");
    root_.write("/tmp/ha", "2");
    switches(true, false);
    testing::internal::CaptureStdout();
    startAac();
    connectSlot();
    for (int i = 0; i < 20; i++) {
        Tagged t;
        ASSERT_TRUE(readTagged(client_, &t)) << "frame " << i;
        Adts a;
        ASSERT_TRUE(parseAdts(t.frame.data(), t.frame.size(), &a));
        EXPECT_EQ(a.sampleRate, 48000);
        if (i >= 3) {
            EXPECT_LT(a.length, 64) << "frame " << i;
        }
    }
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ha.ini read=1\n>>>>>>>>>>>hdmi audio select\n"), std::string::npos) << out;
}

// The same tone through the jack path for comparison: frames far larger than silence.
TEST_F(AudioThreadTest, JackInputCarriesTheTone)
{
    switches(true, false);
    startAac();
    connectSlot();
    int large = 0;
    for (int i = 0; i < 20; i++) {
        Tagged t;
        ASSERT_TRUE(readTagged(client_, &t));
        large += t.length > 100 ? 1 : 0;
    }
    EXPECT_GE(large, 15);
    EXPECT_EQ(stop(), THREAD_SUCCESS);
}

// A source that fails every read for a while (a sound card pulled and put back): one line when the
// failures begin, with the device's reason, one when reading is back, and nothing per failed read.
TEST_F(AudioThreadTest, ARunOfFailedReadsIsOneLineAndItsEndAnother)
{
    std::string pcm = root_.path("/tmp/tone.raw");
    std::string samples(44100 * 4, '\x10');
    root_.write("/tmp/tone.raw", samples);
    setenv("ENCODE_AUDIO_SOURCE", ("file:" + pcm).c_str(), 1);
    switches(true, false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    startAac();
    connectSlot();
    Tagged t;
    ASSERT_TRUE(readTagged(client_, &t));
    ASSERT_EQ(::truncate(pcm.c_str(), 0), 0);
    std::this_thread::sleep_for(milliseconds(1500)); // some fifteen failed reads
    root_.write("/tmp/tone.raw", samples);
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(readTagged(client_, &t));
    }
    EXPECT_EQ(stop(), THREAD_SUCCESS);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, "Error: Failed to write audio buffer: [Sound] Cannot read " + pcm + " (short file)\n");
    size_t back = out.find("audio input back after ");
    EXPECT_NE(back, std::string::npos) << out;
    EXPECT_EQ(out.find("audio input back after ", back + 1), std::string::npos) << out;
}

// Every start-up failure prints its line, raises quit, releases whoever waits at the start
// rendezvous and ends the thread with failure.
TEST_F(AudioThreadTest, StartFailuresPrintTheirLineAndReleaseTheOthers)
{
    struct Case {
        const char *source;
        const char *codec;
        const char *engine;
        const char *line;
    };
    const Case cases[] = {
        {"pulse", "aacenc", ENGINE_NAME, "Error: Failed to create audio device\n"},
        {"tone", "nosuch", ENGINE_NAME, "Error: Failed to create audio encoder: nosuch\n"},
        {"tone", "aacenc", "noengine", "Error: Failed to open codec engine noengine\n"},
    };
    switches(false, false);
    Rendezvous_delete(init_); // each case brings its own start rendezvous
    for (const Case &c : cases) {
        SharedStatus_reset();
        setenv("ENCODE_AUDIO_SOURCE", c.source, 1);
        Rendezvous_Handle start = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
        init_ = start;
        auto waiter = std::async(std::launch::async, [start] { Rendezvous_meet(start); });
        testing::internal::CaptureStderr();
        fill(aac_, 44100, 128000);
        aac_.audioEncoder = c.codec;
        aac_.engineName = c.engine;
        void *result = audioThrFxn(&aac_);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, THREAD_FAILURE) << c.line;
        EXPECT_NE(err.find(c.line), std::string::npos) << err;
        EXPECT_EQ(SharedStatus_getQuit(), 1);
        EXPECT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready) << c.line;
        waiter.wait();
        Rendezvous_delete(start);
    }
    init_ = Rendezvous_create(1, &Rendezvous_Attrs_DEFAULT);
}

} // namespace
