// rtsp_server run as a program in a temporary root, fed by the encoder's own FIFO writer with real
// H.264, AAC and MP3 units, and read by ffprobe over RTSP on loopback: what each kind of audio gives,
// video alone, two clients at once and one leaving, a writer no client watches, FIFOs made afresh,
// signals, bad options.
#include "tests/rtsp/rtsp_feed.h"

#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/rtsp_probe.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace rtsp_feed;

namespace {

using rtsp_probe::frames;
using rtsp_probe::probe;
using rtsp_probe::Stream;

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        n++;
    }
    return n;
}

bool isFifo(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

class RtspServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        MediaFiles files = makeMedia();
        mediaMade = files.made();
        video = accessUnits(readFile(files.video));
        aac = adtsFrames(readFile(files.aac));
        mp3 = mp3Frames(readFile(files.mp3));
    }

    void SetUp() override
    {
        ASSERT_TRUE(mediaMade);
        ASSERT_EQ(video.size(), 50u); // two seconds at 25 pictures a second
        ASSERT_GT(aac.size(), 80u);
        ASSERT_GT(mp3.size(), 70u);
        SharedStatus_reset();
        std::filesystem::create_directories(root.path("/dev/shm"));
        signal(SIGPIPE, SIG_IGN); // as the encoder: a writer whose reader has gone gets an error
    }
    void TearDown() override
    {
        SharedStatus_setQuit(); // lets a feeder still waiting for a reader go
        feeders.clear();
        server.reset();
        SharedStatus_reset();
    }

    // Starts the server on a port of the kernel's choice; its port, or 0 when it did not come up.
    int startServer(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--address", "127.0.0.1", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        server.reset();
        std::filesystem::remove(root.path("/tmp/program.out")); // no word of an earlier run is read
        server = std::make_unique<ProgramRun>(root, RTSP_SERVER_BINARY, args);
        const std::string mark = "rtsp_server: serving rtsp://127.0.0.1:";
        if (!server->waitForOutput(mark)) {
            return 0;
        }
        std::string out = server->out();
        return std::atoi(out.c_str() + out.find(mark) + mark.size());
    }

    Feeder &feed(const HandoffFifoKind *kind, const std::vector<Unit> &units, std::chrono::microseconds period)
    {
        feeders.push_back(std::make_unique<Feeder>(kind, units, period));
        return *feeders.back();
    }
    void feedVideoAndAac()
    {
        feed(&HandoffFifo_video, video, videoPeriod());
        feed(&kAacFifo, aac, aacPeriod());
    }
    bool allOpened(int seconds = 20)
    {
        for (int i = 0; i < seconds * 50; i++) {
            bool all = true;
            for (const auto &f : feeders) {
                all = all && f->opened();
            }
            if (all) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    static inline bool mediaMade = false;
    static inline std::vector<Unit> video, aac, mp3;

    TempRoot root;
    std::vector<std::unique_ptr<Feeder>> feeders;
    std::unique_ptr<ProgramRun> server;
};

// The encoder first (its FIFOs made and waiting for a reader), then the server: video and AAC decode.
TEST_F(RtspServerTest, ServesVideoAndAacFromTaggedRecords)
{
    feedVideoAndAac();
    int port = startServer();
    ASSERT_NE(port, 0) << server->err();
    ASSERT_TRUE(allOpened());
    ASSERT_TRUE(server->waitForOutput("rtsp_server: audio is AAC, new sessions carry it"));

    std::vector<Stream> streams = probe(port, 3);
    ASSERT_EQ(streams.size(), 2u) << server->out();
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_EQ(streams[0]["width"], "320");
    EXPECT_EQ(streams[0]["height"], "240");
    EXPECT_GT(frames(streams[0]), kFps);
    EXPECT_EQ(streams[1]["codec_name"], "aac");
    EXPECT_EQ(streams[1]["sample_rate"], "48000");
    EXPECT_GT(frames(streams[1]), kAudioRate / kAacSamples);
    EXPECT_TRUE(server->waitForOutput("rtsp_server: client 127.0.0.1 played and left after"));
    for (const auto &f : feeders) {
        EXPECT_EQ(f->dropped(), 0u); // the server keeps up with the writer
    }
}

// Bare MP3 frames (no tag) are cut by their headers and served as MPEG audio.
TEST_F(RtspServerTest, ServesVideoAndMp3FromBareFrames)
{
    int port = startServer();
    ASSERT_NE(port, 0);
    feed(&HandoffFifo_video, video, videoPeriod());
    feed(&kMp3Fifo, mp3, mp3Period());
    ASSERT_TRUE(allOpened());
    ASSERT_TRUE(server->waitForOutput("rtsp_server: audio is MP3, new sessions carry it"));

    std::vector<Stream> streams = probe(port, 3);
    ASSERT_EQ(streams.size(), 2u) << server->out();
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_GT(frames(streams[0]), kFps);
    // RTP's MPEG audio payload names no layer; ffmpeg reports its MPEG audio decoder.
    EXPECT_TRUE(streams[1]["codec_name"] == "mp3" || streams[1]["codec_name"] == "mp2") << streams[1]["codec_name"];
    EXPECT_EQ(streams[1]["sample_rate"], "48000");
    EXPECT_GT(frames(streams[1]), kAudioRate / kMp3Samples);
}

// The server first: it makes both FIFOs; with nobody writing audio, sessions carry video alone.
TEST_F(RtspServerTest, VideoAloneWhenNobodyWritesAudio)
{
    int port = startServer();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(server->waitForOutput("rtsp_server: /dev/shm/aa_fifo: reading"));
    EXPECT_TRUE(isFifo(root.path("/dev/shm/v_fifo")));
    EXPECT_TRUE(isFifo(root.path("/dev/shm/aa_fifo")));
    feed(&HandoffFifo_video, video, videoPeriod());
    ASSERT_TRUE(allOpened());

    std::vector<Stream> streams = probe(port, 2);
    ASSERT_EQ(streams.size(), 1u) << server->out();
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_GT(frames(streams[0]), 0);
    EXPECT_EQ(count(server->out(), "audio is"), 0u);
}

// Audio that stops: later sessions go back to video alone instead of waiting for it.
TEST_F(RtspServerTest, AudioThatStopsLeavesVideoAlone)
{
    int port = startServer();
    ASSERT_NE(port, 0);
    feed(&HandoffFifo_video, video, videoPeriod());
    Feeder &audio = feed(&kAacFifo, aac, aacPeriod());
    ASSERT_TRUE(allOpened());
    ASSERT_TRUE(server->waitForOutput("audio is AAC"));
    audio.stop();
    ASSERT_TRUE(server->waitForOutput("rtsp_server: no audio, new sessions carry video alone"));

    std::vector<Stream> streams = probe(port, 2);
    ASSERT_EQ(streams.size(), 1u) << server->out();
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_GT(frames(streams[0]), 0);
}

// --audio none: the audio FIFO is still drained (its writer loses nothing) but sessions carry video.
TEST_F(RtspServerTest, AudioOffByOption)
{
    feedVideoAndAac();
    int port = startServer({"--audio", "none"});
    ASSERT_NE(port, 0);
    ASSERT_TRUE(allOpened());

    std::vector<Stream> streams = probe(port, 2);
    ASSERT_EQ(streams.size(), 1u) << server->out();
    EXPECT_EQ(streams[0]["codec_name"], "h264");
    EXPECT_EQ(feeders[1]->dropped(), 0u);
    EXPECT_GT(feeders[1]->written(), 0u);
    EXPECT_EQ(count(server->out(), "audio is"), 0u);
}

// Two clients share the stream; the one that leaves early does not disturb the other.
TEST_F(RtspServerTest, TwoClientsAndOneLeaves)
{
    feedVideoAndAac();
    int port = startServer();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(allOpened());
    ASSERT_TRUE(server->waitForOutput("audio is AAC"));

    // The one that leaves stays long enough to meet a key frame (the fed pictures loop every 2 s).
    auto stays = std::async(std::launch::async, [port] { return probe(port, 8); });
    auto leaves = std::async(std::launch::async, [port] { return probe(port, 3); });
    std::vector<Stream> early = leaves.get();
    std::vector<Stream> late = stays.get();
    ASSERT_EQ(early.size(), 2u);
    ASSERT_EQ(late.size(), 2u);
    EXPECT_GT(frames(early[0]), 0);
    EXPECT_GT(frames(early[1]), 0);
    // The staying client went on decoding well past the other's departure.
    EXPECT_GT(frames(late[0]), frames(early[0]));
    EXPECT_GT(frames(late[0]), 5 * kFps);
    EXPECT_GT(frames(late[1]), 5 * kAudioRate / kAacSamples);
    EXPECT_TRUE(server->waitForOutput("played and left"));
    for (int i = 0; i < 250 && count(server->out(), "played and left") < 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(count(server->out(), "rtsp_server: client 127.0.0.1 played and left"), 2u);
}

// With no client at all, the server still drains the FIFO: many times the pipe's size goes through
// without the writer ever having to give a record up for good.
TEST_F(RtspServerTest, KeepsReadingWhenNobodyWatches)
{
    int port = startServer();
    ASSERT_NE(port, 0);
    HandoffFifo_Handle h = HandoffFifo_open(&HandoffFifo_video);
    ASSERT_NE(h, nullptr);
    Unit big(64 << 10, 0x55);
    big[0] = big[1] = big[2] = 0;
    big[3] = 1;
    big[4] = 0x41; // a P slice NAL; nobody decodes it
    const int records = 8 * HANDOFF_FIFO_PIPE_BYTES / static_cast<int>(big.size());
    int written = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (written < records && std::chrono::steady_clock::now() < until) {
        if (HandoffFifo_write(h, big.data(), static_cast<int>(big.size()), now()) == 1) {
            written++;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the reader is a moment behind
        }
    }
    HandoffFifo_close(h);
    EXPECT_EQ(written, records);

    // And the next writer is served as usual.
    feed(&HandoffFifo_video, video, videoPeriod());
    ASSERT_TRUE(allOpened());
    std::vector<Stream> streams = probe(port, 2);
    ASSERT_EQ(streams.size(), 1u) << server->out();
    EXPECT_GT(frames(streams[0]), 0);
}

// The encoder restarts: it removes and re-makes both FIFOs and waits for a reader of the new ones.
TEST_F(RtspServerTest, FollowsFifosMadeAfresh)
{
    feedVideoAndAac();
    int port = startServer();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(allOpened());
    ASSERT_EQ(probe(port, 1).size(), 2u);

    feeders.clear();
    ASSERT_TRUE(server->waitForOutput("rtsp_server: /dev/shm/v_fifo: the writer has gone, waiting for the next one"));
    feedVideoAndAac();
    ASSERT_TRUE(allOpened()) << server->out();
    EXPECT_TRUE(server->waitForOutput("rtsp_server: /dev/shm/v_fifo: made afresh, reading the new one"));
    EXPECT_TRUE(server->waitForOutput("rtsp_server: /dev/shm/aa_fifo: made afresh, reading the new one"));

    std::vector<Stream> streams = probe(port, 2);
    ASSERT_EQ(streams.size(), 2u) << server->out();
    EXPECT_GT(frames(streams[0]), 0);
    EXPECT_GT(frames(streams[1]), 0);
}

// SIGTERM and SIGINT, with a client playing, end the server through its normal path.
TEST_F(RtspServerTest, SignalsEndItCleanly)
{
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        feedVideoAndAac();
        int port = startServer();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(allOpened());
        auto client = std::async(std::launch::async, [port] { return probe(port, 20); });
        std::this_thread::sleep_for(std::chrono::seconds(2));
        server->signal(sig);
        EXPECT_EQ(server->wait(10), 0);
        EXPECT_TRUE(server->out().find("rtsp_server: stopped\n") != std::string::npos) << server->out();
        EXPECT_EQ(client.get().size(), 2u); // it was being served until then
        SharedStatus_setQuit();
        feeders.clear();
        SharedStatus_reset();
    }
}

TEST_F(RtspServerTest, RefusesBadOptions)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "http"}, {"--port", "70000"}, {"--audio", "flac"}, {"--address", ""}, {"--volume", "3"}, {"--port"}};
    for (const auto &args : bad) {
        SCOPED_TRACE(args[0]);
        ProgramRun run(root, RTSP_SERVER_BINARY, args);
        EXPECT_EQ(run.wait(), 2);
        EXPECT_NE(run.err().find("usage: rtsp_server"), std::string::npos);
        EXPECT_EQ(run.out(), "");
    }
}

TEST_F(RtspServerTest, SaysSoWhenThePortIsTaken)
{
    int port = freeLoopbackPort();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    ProgramRun run(root, RTSP_SERVER_BINARY, {"--address", "127.0.0.1", "--port", std::to_string(port)});
    EXPECT_EQ(run.wait(), 1);
    EXPECT_NE(run.err().find("rtsp_server: cannot listen on 127.0.0.1 port " + std::to_string(port)),
              std::string::npos)
        << run.err();
    close(fd);
}

// ENCODE_PORT_OFFSET shifts the fixed port 8554.
TEST_F(RtspServerTest, FixedPortShiftedByTheOffset)
{
    int port = freeLoopbackPort();
    ASSERT_GT(port, 8554);
    server = std::make_unique<ProgramRun>(root, RTSP_SERVER_BINARY, std::vector<std::string>{"--address", "127.0.0.1"},
                                          std::vector<std::pair<std::string, std::string>>{
                                              {"ENCODE_PORT_OFFSET", std::to_string(port - 8554)}});
    EXPECT_TRUE(server->waitForOutput("rtsp_server: serving rtsp://127.0.0.1:" + std::to_string(port) + "/live\n"))
        << server->out() << server->err();
}

} // namespace
