// The start-up and shutdown driven in-process with stand-in stage threads: the order in which the
// stages start and meet, what their records carry, the joins, the exit status of every failure path,
// and the switch files.
#include "encode/app/startup.h"

#include "encode/audio/audio_thread.h"
#include "encode/control/control_loop.h"
#include "encode/core/output_switches.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/output/writer.h"
#include "encode/video/capture_thread.h"
#include "encode/video/video_thread.h"
#include "tests/support/net.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

// What the stand-ins saw, in order.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> events;
    CaptureThreadParams capture{};
    VideoThreadParams video{};
    WriterThreadParams writer{};
    TsMux_Config writerConfig{};
    AudioThreadParams audio{};
    SpeechThreadParams speech{};
    TsMux_Config speechConfig{};
    void *videoResult = THREAD_SUCCESS;
    void *(*failCreateOf)(void *) = nullptr;
    bool failRecorder = false;
    bool refuseRealtime = false;
    int realtimeRequests = 0;

    void add(const std::string &e)
    {
        ScopedLock lock(mutex);
        events.push_back(e);
    }
    std::vector<std::string> get()
    {
        ScopedLock lock(mutex);
        return events;
    }
};

Journal *journal = nullptr;

void untilQuit()
{
    while (!SharedStatus_getQuit()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void *fakeCapture(void *arg)
{
    auto *env = static_cast<CaptureThreadParams *>(arg);
    journal->capture = *env;
    journal->add("capture settled");
    env->width = 1280; // the settled picture size
    env->height = 720;
    Rendezvous_meet(env->hRendezvousStandard);
    Rendezvous_meet(env->hRendezvousInit);
    untilQuit();
    Rendezvous_meet(env->hRendezvousCleanup);
    journal->add("capture end");
    return THREAD_SUCCESS;
}

void *fakeVideo(void *arg)
{
    auto *env = static_cast<VideoThreadParams *>(arg);
    journal->video = *env;
    journal->add("encoders ready");
    env->outBufSize = 123456;
    Rendezvous_meet(env->hRendezvousReady);
    Rendezvous_meet(env->hRendezvousInit);
    untilQuit();
    Rendezvous_meet(env->hRendezvousCleanup);
    journal->add("video end");
    return journal->videoResult;
}

void *fakeWriter(void *arg)
{
    auto *env = static_cast<WriterThreadParams *>(arg);
    journal->writer = *env;
    journal->writerConfig = OutputList_tsConfig(env->outputs);
    Rendezvous_meet(env->hRendezvousInit);
    untilQuit();
    Rendezvous_meet(env->hRendezvousCleanup);
    journal->add("writer end");
    return THREAD_SUCCESS;
}

void *fakeAudio(void *arg)
{
    auto *env = static_cast<AudioThreadParams *>(arg);
    journal->audio = *env;
    Rendezvous_meet(env->hRendezvousInit);
    untilQuit();
    Rendezvous_meet(env->hRendezvousCleanup);
    journal->add("audio end");
    return THREAD_SUCCESS;
}

void *fakeSpeech(void *arg)
{
    auto *env = static_cast<SpeechThreadParams *>(arg);
    journal->speech = *env;
    journal->speechConfig = OutputList_tsConfig(env->outputs);
    Rendezvous_meet(env->hRendezvousInit);
    untilQuit();
    Rendezvous_meet(env->hRendezvousCleanup);
    journal->add("speech end");
    return THREAD_SUCCESS;
}

// The real recorder, or none when the journal says its thread cannot be had.
Recorder_Handle fakeRecorder(const Recorder_Attrs *attrs)
{
    journal->add("create recorder");
    return journal->failRecorder ? nullptr : Recorder_create(attrs);
}

// The last thread started before the control loop: ends the run shortly after.
void *fakeWatchdog(void *)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SharedStatus_setQuit();
    return THREAD_SUCCESS;
}

void *watchedControl(void *arg)
{
    journal->add("control start");
    void *r = ctrlThrFxn(arg);
    journal->add("control end");
    return r;
}

const char *nameOf(void *(*fn)(void *))
{
    if (fn == fakeCapture) {
        return "capture";
    }
    if (fn == fakeVideo) {
        return "video";
    }
    if (fn == fakeWriter) {
        return "writer";
    }
    if (fn == fakeAudio) {
        return "audio";
    }
    if (fn == fakeSpeech) {
        return "speech";
    }
    return fn == fakeWatchdog ? "watchdog" : "other";
}

// Which stand-in each started thread runs, so that the joins can be named.
std::mutex threadNamesMutex;
std::vector<std::pair<pthread_t, std::string>> threadNames;

void nameThread(pthread_t thread, const std::string &name)
{
    ScopedLock lock(threadNamesMutex);
    threadNames.emplace_back(thread, name);
}

int fakeJoin(pthread_t thread, void **result)
{
    std::string name = "unknown";
    {
        ScopedLock lock(threadNamesMutex);
        for (const auto &[t, n] : threadNames) {
            if (pthread_equal(t, thread)) {
                name = n;
            }
        }
    }
    journal->add("join " + name);
    return pthread_join(thread, result);
}

int startNamed(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *), void *arg)
{
    int r = pthread_create(thread, attr, fn, arg);
    if (r == 0) {
        nameThread(*thread, nameOf(fn));
    }
    return r;
}

int fakeCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *), void *arg)
{
    journal->add(std::string("create ") + nameOf(fn));
    if (fn == journal->failCreateOf) {
        return EAGAIN;
    }
    if (attr != nullptr) {
        int inherit = 0;
        int policy = 0;
        pthread_attr_getinheritsched(attr, &inherit);
        pthread_attr_getschedpolicy(attr, &policy);
        if (inherit == PTHREAD_EXPLICIT_SCHED && policy == SCHED_FIFO) {
            journal->realtimeRequests++;
            if (journal->refuseRealtime) {
                return EPERM;
            }
            // Tests never hold the privilege; start the thread as the fallback would.
            return startNamed(thread, nullptr, fn, arg);
        }
    }
    return startNamed(thread, attr, fn, arg);
}

const StageThreads kFakes = {fakeCapture, fakeVideo,     fakeWriter,     fakeAudio, fakeSpeech, fakeRecorder,
                             fakeWatchdog, watchedControl, fakeCreate, fakeJoin, nullptr};

struct Outcome {
    int status = 0;
    std::string out;
    std::string err;
};

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        journal = &journal_;
        Startup_setStageThreads(&kFakes);
        // The runs' TCP slots listen on loopback only, off the appliance's ports.
        setenv("ENCODE_BIND_ADDRESS", "127.0.0.1", 1);
        setenv("ENCODE_PORT_OFFSET", std::to_string(freePortOffset({8888, 7777, 9999})).c_str(), 1);
    }
    void TearDown() override
    {
        Startup_setStageThreads(nullptr);
        journal = nullptr;
        SharedStatus_reset();
        unsetenv("ENCODE_BIND_ADDRESS");
        unsetenv("ENCODE_PORT_OFFSET");
    }

    Outcome run(std::initializer_list<const char *> args)
    {
        args_ = std::make_shared<std::vector<std::string>>();
        args_->emplace_back("encode");
        for (const char *a : args) {
            args_->emplace_back(a);
        }
        std::vector<char *> argv;
        for (std::string &s : *args_) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        Outcome r;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        r.status = Encode_main(static_cast<int>(args_->size()), argv.data());
        std::fflush(stdout);
        r.err = testing::internal::GetCapturedStderr();
        r.out = testing::internal::GetCapturedStdout();
        return r;
    }

    TempRoot root_{true};
    Journal journal_;
    std::shared_ptr<std::vector<std::string>> args_;
};

std::vector<std::string> joinsOf(const std::vector<std::string> &events)
{
    std::vector<std::string> joins;
    for (const std::string &e : events) {
        if (e.rfind("join ", 0) == 0) {
            joins.push_back(e);
        }
    }
    return joins;
}

std::vector<std::string> withoutJoins(const std::vector<std::string> &events)
{
    std::vector<std::string> rest;
    for (const std::string &e : events) {
        if (e.rfind("join ", 0) != 0) {
            rest.push_back(e);
        }
    }
    return rest;
}

size_t indexOf(const std::vector<std::string> &v, const std::string &e)
{
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] == e) {
            return i;
        }
    }
    return v.size();
}

TEST_F(StartupTest, NoOptionsRunsTheControlLoopAlone)
{
    Outcome r = run({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(journal_.get(), (std::vector<std::string>{"create watchdog", "control start", "control end"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("ts.ini read=0\nnot ra202\nfml=0 640 480 800000 25 100 100 \ntsf.ini read=0\n"
                          "httpts.ini read=0\ntcp.ini read=0\nrtsp.ini read=0\nrtmp.ini read=0\n"
                          "\nH.264 network stream encoder\n\nEncode demo started.\n",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(root_.read("/tmp/shell.log"), "sync\necho 3 > /proc/sys/vm/drop_caches\n");
}

TEST_F(StartupTest, VideoAndAacStartInOrderWithTheirRecords)
{
    Outcome r = run({"-v", "/tmp/main.264", "-a", "/tmp/a.aac", "-y", "7", "-I", "3", "-r", "1280x720", "-b",
                 "3000000", "-i", "30", "-p", "64000", "-u", "48000"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> e = journal_.get();
    // The video thread starts only after capture settled the standard, the writer only once the
    // encoders exist; the watchdog comes after the audio thread, the control loop last.
    EXPECT_EQ(std::vector<std::string>(e.begin(), e.begin() + 8),
              (std::vector<std::string>{"create capture", "capture settled", "create video", "encoders ready",
                                        "create writer", "create audio", "create watchdog", "control start"}));
    for (const char *end : {"capture end", "video end", "writer end", "audio end", "control end"}) {
        EXPECT_LT(indexOf(e, end), e.size()) << end;
    }

    EXPECT_EQ(journal_.capture.display_standard, 30);
    EXPECT_EQ(journal_.capture.video_input, 2);
    EXPECT_EQ(journal_.capture.width, 1280);
    EXPECT_EQ(journal_.capture.preview_disable, 1);
    EXPECT_STREQ(journal_.video.videoEncoder, "h264enc");
    EXPECT_STREQ(journal_.video.engineName, "encode");
    EXPECT_EQ(journal_.video.width, 1280);
    EXPECT_EQ(journal_.video.height, 720);
    EXPECT_EQ(journal_.video.videobitrate, 3000000);
    EXPECT_EQ(journal_.video.framerate, 30000); // no -f: the process-wide default
    EXPECT_EQ(journal_.video.Intraframeinterval, 30);
    // The Fifos pair up: what capture feeds, video reads, and back.
    EXPECT_EQ(journal_.video.hFromCaptureFifo, journal_.capture.hToVideoFifo);
    EXPECT_EQ(journal_.video.hToCaptureFifo, journal_.capture.hFromVideoFifo);
    EXPECT_EQ(journal_.video.hToWriterFifo, journal_.writer.hFromVideoFifo);
    EXPECT_EQ(journal_.video.hFromWriterFifo, journal_.writer.hToVideoFifo);
    EXPECT_EQ(journal_.video.hToWriterFmlFifo, journal_.writer.hFromVideoFmlFifo);
    EXPECT_EQ(journal_.video.hFromWriterFmlFifo, journal_.writer.hToVideoFmlFifo);
    EXPECT_NE(journal_.video.hToWriterFmlFifo, journal_.video.hFromWriterFmlFifo);
    EXPECT_EQ(journal_.writer.outBufSize, 123456);
    EXPECT_STREQ(journal_.writer.videofile, "/tmp/main.264");
    EXPECT_EQ(journal_.writerConfig.numPrograms, 1);
    EXPECT_EQ(journal_.writerConfig.pmtPid[0], 10);
    EXPECT_EQ(journal_.writerConfig.numStreams[0], 2);
    EXPECT_EQ(journal_.writerConfig.streamType[0][0], 27);
    EXPECT_EQ(journal_.writerConfig.esPid[0][0], 100);
    EXPECT_EQ(journal_.writerConfig.streamType[0][1], 15);
    EXPECT_EQ(journal_.writerConfig.esPid[0][1], 102);
    EXPECT_STREQ(journal_.audio.audioEncoder, "aacenc");
    EXPECT_EQ(journal_.audio.linein, 1);
    EXPECT_EQ(journal_.audio.soundbitrate, 64000);
    EXPECT_EQ(journal_.audio.samplerate, 48000);
    EXPECT_NE(journal_.writer.outputs, nullptr);
    EXPECT_EQ(journal_.audio.outputs, journal_.writer.outputs) << "one output list for video and audio";
    EXPECT_TRUE(Pipeline_audioPresent());
    EXPECT_EQ(journal_.realtimeRequests, 2); // video and audio
}

// Audio before video before writer, capture last: the video thread hands its last buffers back
// through the capture Fifos, and the writer's Fifos go before capture is joined.
TEST_F(StartupTest, StagesAreJoinedInTheirOrderCaptureLast)
{
    Outcome r = run({"-v", "/tmp/main.264", "-a", "/tmp/a.aac"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joinsOf(journal_.get()),
              (std::vector<std::string>{"join audio", "join video", "join writer", "join capture"}));

    journal_.events.clear();
    r = run({"-v", "/tmp/main.264", "-s", "/tmp/s.mp3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joinsOf(journal_.get()),
              (std::vector<std::string>{"join speech", "join video", "join writer", "join capture"}));
}

int refuseSocket(int, int, int)
{
    errno = EMFILE;
    return -1;
}

TEST_F(StartupTest, SocketCreationFailureLeavesAtOnceWith255)
{
    StageThreads refusing = kFakes;
    refusing.socket = refuseSocket;
    Startup_setStageThreads(&refusing);
    Outcome r = run({"-v", "/tmp/main.264", "-z", "127.0.0.1", "-c", "5000"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error: Failed to create socket fd.\n");
    EXPECT_TRUE(journal_.get().empty()); // no stage started
    EXPECT_FALSE(root_.exists("/tmp/shell.log")); // no shutdown sequence

    // Without a destination no socket is asked for, so the same seam cannot stop a run.
    r = run({});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(StartupTest, Mp3ReconfiguresTheMultiplexerAndFrameRateComesFromF)
{
    Outcome r = run({"-s", "/tmp/s.mp3", "-f", "25"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(journal_.get().front(), "create speech");
    EXPECT_EQ(journal_.speechConfig.numStreams[0], 2);
    EXPECT_EQ(journal_.speechConfig.streamType[0][1], 3);
    EXPECT_STREQ(journal_.speech.speechEncoder, "mp3enc");
    EXPECT_EQ(Pipeline_frameRate(), 25000);
    EXPECT_FALSE(Pipeline_audioPresent());
}

TEST_F(StartupTest, AFailedStageThreadGivesStatusOne)
{
    journal_.videoResult = THREAD_FAILURE;
    Outcome r = run({"-v", "/tmp/main.264"});
    EXPECT_EQ(r.status, 1);
}

TEST_F(StartupTest, VideoThreadCreationFailureReleasesAndJoinsCapture)
{
    journal_.failCreateOf = fakeVideo;
    Outcome r = run({"-v", "/tmp/main.264"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed to create video thread\n");
    std::vector<std::string> e = journal_.get();
    EXPECT_EQ(withoutJoins(e), (std::vector<std::string>{"create capture", "capture settled", "create video", "capture end"}));
    EXPECT_EQ(root_.read("/tmp/shell.log"), "sync\necho 3 > /proc/sys/vm/drop_caches\n");
}

TEST_F(StartupTest, WriterCreationFailureReleasesVideoAndCapture)
{
    journal_.failCreateOf = fakeWriter;
    Outcome r = run({"-v", "/tmp/main.264", "-a", "/tmp/a.aac"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed to create writer thread\n");
    std::vector<std::string> e = journal_.get();
    EXPECT_LT(indexOf(e, "video end"), e.size());
    EXPECT_LT(indexOf(e, "capture end"), e.size());
    EXPECT_EQ(indexOf(e, "create audio"), e.size());
}

TEST_F(StartupTest, RefusedRealtimePolicyFallsBackWithOneWarningPerThread)
{
    journal_.refuseRealtime = true;
    Outcome r = run({"-v", "/tmp/main.264", "-a", "/tmp/a.aac"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: no permission for real-time scheduling; the video thread runs with ordinary scheduling\n"
                     "Warning: no permission for real-time scheduling; the audio thread runs with ordinary scheduling\n");
    EXPECT_LT(indexOf(journal_.get(), "audio end"), journal_.get().size());
}

TEST_F(StartupTest, OptionErrorsLeaveAtOnce)
{
    Outcome r = run({"-y", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Unknown display standard\n", 0), 0u);
    EXPECT_TRUE(journal_.get().empty());
    EXPECT_FALSE(root_.exists("/tmp/shell.log"));
    EXPECT_EQ(run({"-h"}).status, 0);
}

TEST_F(StartupTest, SwitchFilesAndSecondStreamSettings)
{
    root_.write("/mnt/ts.ini", "10");
    root_.write("/mnt/ra202.ini", "1\n");
    root_.write("/mnt/httpts.ini", "");
    std::remove(root_.path("/mnt/tcp.ini").c_str());
    root_.write("/mnt/rtsp.ini", "1\n");
    root_.write("/mnt/rtsporrtmp.ini", "0");
    root_.write("/mnt/kavex_rs.ini", "1 720 576 1000000 30 50");
    root_.write("/mnt/kavex_rsc.ini", "1 1");
    root_.write("/mnt/kavex_maxdelay.ini", "3\n");
    Outcome r = run({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("ts.ini read=1\nra202=============\nfml=1 720 576 1000000 30 50 100 \ntsf.ini read=0\n"
                          "no httpts.ini, no http ts server\nno tcp.ini, so open ts stream output\n"
                          "rtsp.ini read=1\nrtmp.ini read=0\n",
                          0),
              0u)
        << r.out;
    OutputSwitches sw = OutputSwitches_get();
    EXPECT_EQ(sw.tsOff, 1);
    EXPECT_EQ(sw.ra202, 1);
    EXPECT_EQ(sw.httpTs, 0);
    EXPECT_EQ(sw.tcp, 0);
    EXPECT_EQ(sw.rtsp, 1);
    EXPECT_EQ(sw.rtmp, 0);
    SecondStreamSettings s = SecondStream_get();
    EXPECT_EQ(s.enabled, 1);
    EXPECT_EQ(s.width, 720);
    EXPECT_EQ(s.intraInterval, 50);
    EXPECT_EQ(s.idrInterval, 100);
    EXPECT_EQ(s.tsCarriesSecond, 1);
    EXPECT_EQ(s.rtspCarriesSecond, 1);
    EXPECT_EQ(Pipeline_bufferCount(), 2);

    root_.write("/mnt/ts.ini", "");
    std::remove(root_.path("/mnt/ra202.ini").c_str());
    std::remove(root_.path("/mnt/kavex_rs.ini").c_str());
    root_.write("/mnt/kavex_maxdelay.ini", "30");
    r = run({});
    EXPECT_EQ(r.out.rfind("no ts.ini, so open ts stream output.\nnot ra202\nfml=0 640 480 800000 25 100 100 \n", 0), 0u)
        << r.out;
    EXPECT_EQ(OutputSwitches_get().tsOff, 0);
    EXPECT_EQ(SecondStream_get().tsCarriesSecond, 0);
    EXPECT_EQ(Pipeline_bufferCount(), 3);

    // The RTSP/RTMP choice takes 2 as well (both at once); any other character but 1 is the FIFOs.
    const std::pair<const char *, int> choices[] = {{"2", 2}, {"1", 1}, {"3", 0}, {"x", 0}};
    for (const auto &[text, value] : choices) {
        root_.write("/mnt/rtsporrtmp.ini", text);
        r = run({});
        EXPECT_EQ(OutputSwitches_get().rtmp, value) << text;
    }
}

TEST_F(StartupTest, RecordingSwitchStartsTheRecorderBeforeAnyStage)
{
    root_.write("/mnt/tsf.ini", "1");
    Outcome r = run({"-v", "x.264"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> j = journal_.get();
    auto at = [&](const std::string &e) { return std::find(j.begin(), j.end(), e) - j.begin(); };
    ASSERT_LT(at("create recorder"), static_cast<long>(j.size()));
    EXPECT_LT(at("create recorder"), at("create capture"));

    // A recorder that cannot start costs the recording, not the stream.
    journal_.failRecorder = true;
    r = run({"-v", "x.264"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error: Failed to create recorder thread, recording is off\n");
    EXPECT_EQ(OutputSwitches_get().tsRecord, 0);
}

} // namespace
