// Start-up and shutdown of the encoder, all in the main thread. Owns the objects every stage shares
// (pause gate, rendezvous points, the Fifos between the stages, the multiplexer configuration) and
// the parameter records it hands to the stage threads; they live until the shutdown has joined every
// thread that uses them. Every shared object is held by a unique_ptr, so that any early return (the
// status 255 of a failed UDP set-up included) releases what was made through one path, while the
// shutdown releases them explicitly in the order the stages rely on. The outputs the writer and the
// audio threads share (multiplexer, TS output, HTTP server, recorder) are made here and deleted after
// those threads have been joined; the recorder's deletion writes what it holds. The watchdog is
// started detached and never joined: the process's end is its.
#include "encode/app/startup.h"

#include "encode/app/options.h"
#include "encode/app/status_writer.h"
#include "encode/audio/audio_thread.h"
#include "encode/control/control_loop.h"
#include "encode/control/watchdog.h"
#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/no_signal.h"
#include "encode/core/output_switches.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/core/srt_settings.h"
#include "encode/codec/engine.h"
#include "encode/media/fifo.h"
#include "encode/media/media.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/http_ts.h"
#include "encode/output/recorder.h"
#include "encode/output/rtmp.h"
#include "encode/output/srt.h"
#include "encode/output/tsmux.h"
#include "encode/output/udp.h"
#include "encode/output/writer.h"
#include "encode/video/capture_thread.h"
#include "encode/video/video_thread.h"

#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// The stage thread functions of this build; each stage's issue fills in its entry.
const StageThreads kBuildThreads = {
    captureThrFxn,  // capture
    videoThrFxn,    // video
    writerThrFxn,   // writer
    audioThrFxn,    // AAC audio
    speechThrFxn,   // MP3 audio
    Recorder_create, // USB recorder
    watchdogThrFxn, // watchdog
    ctrlThrFxn,     // control loop
    pthread_create,
    pthread_join,
    ::socket,
};

std::atomic<const StageThreads *> stageThreads{&kBuildThreads};

// How long the end of the process waits for the recorder to put what it holds on the disk (at most
// two halves, well under a second on any stick that still works).
constexpr int kRecorderStopMs = 1500;

// What was started, so that only those threads are joined.
enum : int {
    kBitRuntime = 0x1,
    kBitCapture = 0x40,
    kBitWriter = 0x80,
    kBitVideo = 0x100,
    kBitSpeech = 0x200,
    kBitAudio = 0x400,
};

struct FifoDeleter {
    void operator()(Fifo_Object *p) const { Fifo_delete(p); }
};
struct RendezvousDeleter {
    void operator()(Rendezvous_Object *p) const { Rendezvous_delete(p); }
};
struct PauseDeleter {
    void operator()(Pause_Object *p) const { Pause_delete(p); }
};
using FifoPtr = std::unique_ptr<Fifo_Object, FifoDeleter>;
using RendezvousPtr = std::unique_ptr<Rendezvous_Object, RendezvousDeleter>;
using PausePtr = std::unique_ptr<Pause_Object, PauseDeleter>;
struct RtmpDeleter {
    void operator()(RtmpPublisher_Object *p) const { RtmpPublisher_destroy(p); }
};
using RtmpPtr = std::unique_ptr<RtmpPublisher_Object, RtmpDeleter>;

struct TsMuxDeleter {
    void operator()(TsMux_Object *p) const { TsMux_delete(p); }
};
struct TsOutDeleter {
    void operator()(TsOut_Object *p) const { TsOut_delete(p); }
};
struct HttpTsDeleter {
    void operator()(HttpTs_Object *p) const { HttpTs_delete(p); }
};
struct SrtOutDeleter {
    void operator()(SrtOut_Object *p) const { SrtOut_destroy(p); }
};
struct RecorderDeleter {
    void operator()(Recorder_Object *p) const { Recorder_delete(p, kRecorderStopMs, nullptr); }
};
using TsMuxPtr = std::unique_ptr<TsMux_Object, TsMuxDeleter>;
using TsOutPtr = std::unique_ptr<TsOut_Object, TsOutDeleter>;
using HttpTsPtr = std::unique_ptr<HttpTs_Object, HttpTsDeleter>;
using RecorderPtr = std::unique_ptr<Recorder_Object, RecorderDeleter>;
using SrtOutPtr = std::unique_ptr<SrtOut_Object, SrtOutDeleter>;

// The real-time attribute record of the video and audio threads.
class ThreadAttrs {
public:
    ThreadAttrs() = default;
    ~ThreadAttrs()
    {
        if (ready_) {
            pthread_attr_destroy(&attr_);
        }
    }
    ThreadAttrs(const ThreadAttrs &) = delete;
    ThreadAttrs &operator=(const ThreadAttrs &) = delete;

    // Null, or the failure's message.
    const char *prepare()
    {
        if (pthread_attr_init(&attr_) != 0) {
            return "Error: Failed to initialize thread attrs\n";
        }
        ready_ = true;
        if (pthread_attr_setinheritsched(&attr_, PTHREAD_EXPLICIT_SCHED) != 0) {
            return "Error: Failed to set schedule inheritance attribute\n";
        }
        if (pthread_attr_setschedpolicy(&attr_, SCHED_FIFO) != 0) {
            return "Error: Failed to set FIFO scheduling policy\n";
        }
        return nullptr;
    }
    pthread_attr_t *get() { return &attr_; }

private:
    pthread_attr_t attr_{};
    bool ready_ = false;
};

// Everything one run of the program makes. Members are destroyed in reverse order, which is the
// order of the shutdown for whatever the shutdown did not release itself.
struct Launch {
    const StageThreads &threads;
    LaunchOptions opts;
    DestinationPorts ports;
    int status = 0;
    int initMask = 0;
    bool controlRan = false;

    // The multiplexer's record points at the configuration for the life of the run.
    TsMux_Config tsConfig{};
    TsMux_Params tsParams{};
    TsMuxPtr tsMux;
    RecorderPtr recorder;
    HttpTsPtr http;
    SrtOutPtr srt;  // while /mnt/srt.ini enables it
    TsOutPtr tsOut; // hands the packets to the four above, so it is deleted before them

    PausePtr pause;
    RendezvousPtr rvStandard;
    RendezvousPtr rvEncoderReady;
    RendezvousPtr rvStart;
    RendezvousPtr rvCleanup;
    FifoPtr captureToVideo;
    FifoPtr videoToCapture;
    FifoPtr writerToVideo; // empty encoded buffers
    FifoPtr videoToWriter; // encoded buffers
    FifoPtr videoToWriterFml; // the second stream's buffer, encoded
    FifoPtr writerToVideoFml; // and back
    RtmpPtr rtmp[RTMP_DESTINATIONS]; // while RTMP is on: fed by the writer and the AAC audio thread
    ThreadAttrs attrs;

    pthread_t captureThread{};
    pthread_t videoThread{};
    pthread_t writerThread{};
    pthread_t audioThread{};
    pthread_t speechThread{};

    CaptureThreadParams captureEnv{};
    VideoThreadParams videoEnv{};
    WriterThreadParams writerEnv{};
    AudioThreadParams audioEnv{};
    SpeechThreadParams speechEnv{};
    ControlThreadParams ctrlEnv{};

    explicit Launch(const StageThreads &t) : threads(t) {}
};

// A start-up failure: its message, status 1 and quit, then the shutdown.
bool fail(Launch &l, const char *message)
{
    std::fputs(message, stderr);
    std::fflush(stderr);
    l.status = 1;
    SharedStatus_setQuit();
    return false;
}

// RTMP instead of the RTSP hand-off, to every destination of the store: destination 1 reads `url=` of
// the start script itself (and says so when there is none), 2 to 4 come from /mnt/rtmpx.ini. A
// publisher that cannot be made, or a line that is no URL, costs its own destination only.
void createPublishers(Launch &l)
{
    l.rtmp[0].reset(RtmpPublisher_create(nullptr));
    if (l.rtmp[0] == nullptr) {
        std::fputs("Error: Failed to create rtmp thread\n", stderr);
    }
    RtmpExtraDestinations extra = RtmpDestinations_readExtra();
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        const RtmpExtraLine &line = extra.line[i];
        int number = i + 2;
        if (!line.problem.empty()) {
            Console_say("rtmp %d: error url input (%s)\n", number, line.problem.c_str());
            continue;
        }
        if (line.url.empty()) {
            continue;
        }
        RtmpPublisherConfig config{line.url.c_str(), 0, number};
        l.rtmp[i + 1].reset(RtmpPublisher_create(&config));
        if (l.rtmp[i + 1] == nullptr) {
            std::fprintf(stderr, "Error: Failed to create rtmp thread %d\n", number);
        }
    }
    if (extra.ignoredLines > 0) {
        Console_say("rtmpx.ini: %d lines past destination %d left out\n", extra.ignoredLines, kRtmpDestinations);
    }
}

RtmpPublishers publishers(const Launch &l)
{
    RtmpPublishers set;
    for (int i = 0; i < RTMP_DESTINATIONS; i++) {
        set.at[i] = l.rtmp[i].get();
    }
    return set;
}

// The fields every stage record shares: the start and clean-up rendezvous and the pause gate.
template <typename Record>
void fillCommon(const Launch &l, Record &r)
{
    r.hRendezvousInit = l.rvStart.get();
    r.hRendezvousCleanup = l.rvCleanup.get();
    r.hPauseProcess = l.pause.get();
}

// --- Switch files ---

struct FlagFile {
    const char *path;
    const char *readLine;    // printf format with the first character minus '0'
    const char *missingLine;
    const char *emptyLine;
    uint8_t OutputSwitches::*field;
};

const FlagFile kTsFlag = {"/mnt/ts.ini", "ts.ini read=%d\n", "no ts.ini, so open ts stream output",
                          "no ts.ini, so open ts stream output.", &OutputSwitches::tsOff};
const FlagFile kTsfFlag = {"/mnt/tsf.ini", "tsf.ini read=%d\n", "no tsf.ini, so open ts stream output",
                           "no tsf.ini, so open ts stream output.", &OutputSwitches::tsRecord};
const FlagFile kLateFlags[] = {
    {"/mnt/httpts.ini", "httpts.ini read=%d\n", "no httpts.ini, no http ts server", "no httpts.ini, no http ts server",
     &OutputSwitches::httpTs},
    {"/mnt/tcp.ini", "tcp.ini read=%d\n", "no tcp.ini, so open ts stream output",
     "no tcp.ini, so open ts stream output.", &OutputSwitches::tcp},
    {"/mnt/rtsp.ini", "rtsp.ini read=%d\n", "no rtsp.ini, so open ts stream output",
     "no rtsp.ini, so open ts stream output.", &OutputSwitches::rtsp},
    {"/mnt/rtsporrtmp.ini", "rtmp.ini read=%d\n", "no rtmp.ini", "no rtmp.ini", &OutputSwitches::rtmp},
};

void readFlag(const FlagFile &f, OutputSwitches &sw)
{
    FlagRead r = Config_readFlag(f.path);
    if (r.state == FileState::Missing) {
        std::printf("%s\n", f.missingLine);
    } else if (r.state == FileState::Empty) {
        std::printf("%s\n", f.emptyLine);
    } else {
        std::printf(f.readLine, r.digit());
    }
    sw.*f.field = r.on() ? 1 : 0;
}

// Recording starts at once, while the remaining switch files are still being read. A recorder that
// cannot be started costs the recording only: every other output runs.
void startRecorder(Launch &l, OutputSwitches &sw)
{
    l.recorder.reset(l.threads.recorder(nullptr));
    if (l.recorder == nullptr) {
        std::fputs("Error: Failed to create recorder thread, recording is off\n", stderr);
        sw.tsRecord = 0;
        OutputSwitches_set(sw);
    }
}

// Reads every switch file in its order.
bool readSwitches(Launch &l)
{
    OutputSwitches sw{};
    readFlag(kTsFlag, sw);

    FlagRead ra = Config_readFlag("/mnt/ra202.ini");
    if (ra.on()) {
        std::printf("ra202=============\n");
        sw.ra202 = 1;
    } else if (ra.state != FileState::Read) {
        std::printf("not ra202\n");
    }

    SecondStream_read();

    readFlag(kTsfFlag, sw);
    OutputSwitches_set(sw);
    if (sw.tsRecord) {
        std::fflush(stdout);
        startRecorder(l, sw);
    }

    for (const FlagFile &f : kLateFlags) {
        readFlag(f, sw);
    }
    OutputSwitches_set(sw);
    Pipeline_setBufferCount(Config_readBufferCount());
    std::fflush(stdout);
    return true;
}

// --- Threads ---

// Starts a thread with the real-time attribute record at `priority`. Where the system refuses the
// real-time policy for lack of privilege, the thread runs with ordinary scheduling instead.
bool startRealtime(Launch &l, pthread_t *thread, int priority, void *(*fn)(void *), void *arg, const char *name,
                   const char *failure)
{
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_attr_setschedparam(l.attrs.get(), &param) != 0) {
        return fail(l, "Error: Failed to set scheduler parameters\n");
    }
    int r = l.threads.create(thread, l.attrs.get(), fn, arg);
    if (r == EPERM) {
        std::fprintf(stderr, "Warning: no permission for real-time scheduling; the %s thread runs with ordinary scheduling\n",
                     name);
        std::fflush(stderr);
        r = l.threads.create(thread, nullptr, fn, arg);
    }
    return r == 0 || fail(l, failure);
}

bool startCapture(Launch &l)
{
    l.captureToVideo.reset(Fifo_create(&Fifo_Attrs_DEFAULT));
    l.videoToCapture.reset(Fifo_create(&Fifo_Attrs_DEFAULT));
    if (l.captureToVideo == nullptr || l.videoToCapture == nullptr) {
        return fail(l, "Error: Failed to open display fifos\n");
    }
    CaptureThreadParams &c = l.captureEnv;
    fillCommon(l, c);
    c.hRendezvousStandard = l.rvStandard.get();
    c.reserved = nullptr;
    c.hToVideoFifo = l.captureToVideo.get();
    c.hFromVideoFifo = l.videoToCapture.get();
    c.display_standard = l.opts.display_standard;
    c.width = l.opts.width;
    c.height = l.opts.height;
    c.video_input = l.opts.video_input;
    c.preview_disable = l.opts.preview_disable;
    // Capture inherits the main thread's ordinary policy and nice value.
    if (l.threads.create(&l.captureThread, nullptr, l.threads.capture, &c) != 0) {
        return fail(l, "Error: Failed to create capture thread\n");
    }
    l.initMask |= kBitCapture;
    Rendezvous_meet(l.rvStandard.get());
    // Quit now: the capture thread failed (its result gives the status) or a signal came.
    return !SharedStatus_getQuit();
}

bool startVideo(Launch &l)
{
    l.writerToVideo.reset(Fifo_create(&Fifo_Attrs_DEFAULT));
    l.videoToWriter.reset(Fifo_create(&Fifo_Attrs_DEFAULT));
    l.videoToWriterFml.reset(Fifo_create(&Fifo_Attrs_DEFAULT));
    l.writerToVideoFml.reset(Fifo_create(&Fifo_Attrs_DEFAULT));
    if (l.videoToWriterFml == nullptr || l.writerToVideoFml == nullptr) {
        return fail(l, "Error: Failed to open fml_outfifo fifos\n");
    }
    if (l.writerToVideo == nullptr || l.videoToWriter == nullptr) {
        return fail(l, "Error: Failed to open display fifos\n");
    }
    VideoThreadParams &v = l.videoEnv;
    fillCommon(l, v);
    v.hRendezvousReady = l.rvEncoderReady.get();
    v.hToWriterFifo = l.videoToWriter.get();
    v.hFromWriterFifo = l.writerToVideo.get();
    v.hToCaptureFifo = l.videoToCapture.get();
    v.hFromCaptureFifo = l.captureToVideo.get();
    v.hToWriterFmlFifo = l.videoToWriterFml.get();
    v.hFromWriterFmlFifo = l.writerToVideoFml.get();
    v.videoEncoder = l.opts.videoCodec->name;
    v.engineName = ENGINE_NAME;
    v.params = l.opts.videoCodec->params;
    v.dynParams = l.opts.videoCodec->dynParams;
    v.videobitrate = l.opts.videobitrate;
    v.framerate = Pipeline_frameRate();
    v.Intraframeinterval = l.opts.Intraframeinterval;
    v.width = l.captureEnv.width;
    v.height = l.captureEnv.height;
    if (!startRealtime(l, &l.videoThread, sched_get_priority_max(SCHED_FIFO) - 1, l.threads.video, &v, "video",
                       "Error: Failed to create video thread\n")) {
        return false;
    }
    l.initMask |= kBitVideo;
    Rendezvous_meet(l.rvEncoderReady.get());
    return !SharedStatus_getQuit();
}

bool startWriter(Launch &l)
{
    WriterThreadParams &w = l.writerEnv;
    fillCommon(l, w);
    w.hToVideoFifo = l.writerToVideo.get();
    w.hFromVideoFifo = l.videoToWriter.get();
    w.hToVideoFmlFifo = l.writerToVideoFml.get();
    w.hFromVideoFmlFifo = l.videoToWriterFml.get();
    w.videofile = l.opts.videofile;
    w.outBufSize = l.videoEnv.outBufSize;
    w.write_disable = l.opts.write_disable;
    w.tsParams = l.tsParams;
    w.tsOut = l.tsOut.get();
    w.rtmp = publishers(l);
    if (l.threads.create(&l.writerThread, nullptr, l.threads.writer, &w) != 0) {
        return fail(l, "Error: Failed to create writer thread\n");
    }
    l.initMask |= kBitWriter;
    return true;
}

bool startVideoPath(Launch &l)
{
    return startCapture(l) && startVideo(l) && startWriter(l);
}

// The fields the AAC and the MP3 records share.
template <typename Record>
void fillAudio(const Launch &l, Record &r, const CodecEntry *codec)
{
    fillCommon(l, r);
    r.linein = l.opts.linein;
    r.engineName = ENGINE_NAME;
    r.params = codec->params;
    r.dynParams = codec->dynParams;
    r.soundbitrate = l.opts.soundbitrate;
    r.samplerate = l.opts.samplerate;
    r.tsParams = l.tsParams;
    r.tsOut = l.tsOut.get();
}

bool startAudio(Launch &l)
{
    if (l.threads.audio == nullptr) {
        return fail(l, "Error: AAC audio is not available in this build\n");
    }
    AudioThreadParams &a = l.audioEnv;
    fillAudio(l, a, l.opts.audioCodec);
    a.audioEncoder = l.opts.audioCodec->name;
    a.audiofile = l.opts.audiofile;
    a.write_disable = l.opts.write_disable;
    a.rtmp = publishers(l);
    if (!startRealtime(l, &l.audioThread, sched_get_priority_max(SCHED_FIFO) - 2, l.threads.audio, &a, "audio",
                       "Error: Failed to create audio thread\n")) {
        return false;
    }
    l.initMask |= kBitAudio;
    Pipeline_setAudioPresent(true);
    return true;
}

bool startSpeech(Launch &l)
{
    if (l.threads.speech == nullptr) {
        return fail(l, "Error: MP3 audio is not available in this build\n");
    }
    l.tsConfig = TsMux_encoderConfig(TsMux_Audio_MP3);
    if (TsMux_init(l.tsMux.get(), &l.tsParams) != Media_EOK) {
        return fail(l, "init TS failed!\n");
    }
    SpeechThreadParams &s = l.speechEnv;
    fillAudio(l, s, l.opts.speechCodec);
    s.speechEncoder = l.opts.speechCodec->name;
    s.speechfile = l.opts.speechfile;
    if (!startRealtime(l, &l.speechThread, sched_get_priority_max(SCHED_FIFO) - 2, l.threads.speech, &s, "speech",
                       "Error: Failed to create speech thread\n")) {
        return false;
    }
    l.initMask |= kBitSpeech;
    return true;
}

// --- Start-up and shutdown ---

// Multiplexer, codec runtime, media layer, pause gate.
bool startUp(Launch &l)
{
    TsMux_Audio audio = TsMux_Audio_NONE;
    if (l.opts.audiofile != nullptr || l.opts.speechfile != nullptr) {
        audio = TsMux_Audio_AAC; // MP3 changes it when its thread starts
    }
    l.tsConfig = TsMux_encoderConfig(audio);
    l.tsParams = TsMux_Params{};
    l.tsParams.size = TSMUX_PARAMS_SIZE;
    l.tsParams.config = &l.tsConfig;
    l.tsParams.program = 0;
    l.tsMux.reset(TsMux_create());
    if (l.tsMux == nullptr || TsMux_init(l.tsMux.get(), &l.tsParams) != Media_EOK) {
        return fail(l, "init TS failed!\n");
    }

    // The highest nice value for the main thread and the threads that inherit it; without the
    // privilege the call fails and the ordinary value stays.
    setpriority(PRIO_PROCESS, 0, -20);
    Media_init();
    l.initMask |= kBitRuntime;

    l.pause.reset(Pause_create(&Pause_Attrs_DEFAULT));
    return l.pause != nullptr || fail(l, "Error: Failed to create Pause object\n");
}

// The HTTP TS server when the switch asks for it (one that cannot start costs that output only), the
// SRT output when srt.ini enables it (likewise), then the TS output with the UDP destinations; false
// when a UDP socket cannot be created.
bool startTsOutput(Launch &l)
{
    OutputSwitches sw = OutputSwitches_get();
    if (sw.httpTs) {
        l.http.reset(HttpTs_create(nullptr));
        if (l.http == nullptr) {
            std::fputs("Error: Failed to create http ts server thread\n", stderr);
        }
    }
    SrtSettings srt;
    if (SrtSettings_read(srt) == SrtSettings_EOK && srt.enable) {
        SrtOut_Attrs srtAttrs{};
        srtAttrs.settings = srt;
        l.srt.reset(SrtOut_create(&srtAttrs)); // one that cannot start costs SRT only; it said why
    }
    TsOut_Attrs attrs{};
    attrs.destinations = NetDestinations_make(l.opts.ipaddr, l.ports.port1, l.opts.ipdaddr, l.ports.port2,
                                              l.opts.ipeaddr, l.ports.port3);
    attrs.mux = l.tsMux.get();
    attrs.streamOff = sw.tsOff != 0;
    attrs.httpTs = sw.httpTs != 0;
    attrs.http = l.http.get();
    attrs.recorder = l.recorder.get();
    attrs.srt = l.srt.get();
    attrs.socketFunction = l.threads.socket;
    l.tsOut.reset(TsOut_create(&attrs));
    return l.tsOut != nullptr;
}

bool createRendezvous(Launch &l, int parties)
{
    l.rvStandard.reset(Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT));
    l.rvStart.reset(Rendezvous_create(parties, &Rendezvous_Attrs_DEFAULT));
    l.rvCleanup.reset(Rendezvous_create(parties, &Rendezvous_Attrs_DEFAULT));
    l.rvEncoderReady.reset(Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT));
    if (l.rvStandard == nullptr || l.rvStart == nullptr || l.rvCleanup == nullptr || l.rvEncoderReady == nullptr) {
        return fail(l, "Error: Failed to create Rendezvous objects\n");
    }
    return true;
}

bool startStages(Launch &l)
{
    bool video = l.opts.videofile != nullptr;
    bool audio = l.opts.audiofile != nullptr || l.opts.speechfile != nullptr;

    if (!createRendezvous(l, 1 + (video ? 3 : 0) + (audio ? 1 : 0))) {
        return false;
    }
    if (const char *message = l.attrs.prepare()) {
        return fail(l, message);
    }
    // RTMP instead of the RTSP hand-off. A publisher that cannot be made costs RTMP only.
    OutputSwitches sw = OutputSwitches_get();
    if (sw.rtsp && sw.rtmp) {
        createPublishers(l);
    }
    if ((video && !startVideoPath(l)) || (l.opts.audiofile != nullptr && !startAudio(l)) ||
        (l.opts.speechfile != nullptr && !startSpeech(l))) {
        return false;
    }

    pthread_t watchdog;
    if (l.threads.create(&watchdog, nullptr, l.threads.watchdog, nullptr) != 0) {
        return fail(l, "Error: Failed to create watchdog thread\n");
    }
    pthread_detach(watchdog);
    return true;
}

void runControl(Launch &l)
{
    ControlThreadParams &c = l.ctrlEnv;
    fillCommon(l, c);
    c.reserved = nullptr;
    c.keyboard = l.opts.keyboard;
    c.time = l.opts.time;
    c.engineName = ENGINE_NAME;
    c.unused = 0;
    l.controlRan = true;
    if (l.threads.control(&c) == THREAD_FAILURE) {
        l.status = 1;
    }
}

void join(Launch &l, int bit, pthread_t thread)
{
    if ((l.initMask & bit) == 0) {
        return;
    }
    void *ret = THREAD_SUCCESS;
    l.threads.join(thread, &ret);
    if (ret == THREAD_FAILURE) {
        l.status = 1;
    }
}

void force(const RendezvousPtr &rv)
{
    if (rv != nullptr) {
        Rendezvous_force(rv.get());
    }
}

void flush(const FifoPtr &fifo)
{
    if (fifo != nullptr) {
        Fifo_flush(fifo.get());
    }
}

// Releases every thread that may wait for a party that never comes.
void releaseWaiters(Launch &l)
{
    force(l.rvStandard);
    force(l.rvEncoderReady);
    force(l.rvStart);
    if (!l.controlRan) {
        // A start-up failure: some parties of the clean-up rendezvous (the control loop at least)
        // never arrive, and a stage may wait on a Fifo whose other end never started.
        force(l.rvCleanup);
        flush(l.captureToVideo);
        flush(l.videoToCapture);
        flush(l.writerToVideo);
        flush(l.videoToWriter);
        flush(l.videoToWriterFml);
        flush(l.writerToVideoFml);
    }
    if (l.pause != nullptr) {
        Pause_off(l.pause.get());
    }
}

void shutDown(Launch &l)
{
    StatusWriter_stop();
    releaseWaiters(l);

    join(l, kBitSpeech, l.speechThread);
    join(l, kBitAudio, l.audioThread);
    join(l, kBitVideo, l.videoThread);
    join(l, kBitWriter, l.writerThread);
    l.writerToVideo.reset();
    l.videoToWriter.reset();
    for (RtmpPtr &p : l.rtmp) {
        p.reset(); // nothing feeds it any more: what it holds goes out and the stream ends
    }

    // Capture last: the video thread hands its last buffers back through the capture Fifos.
    join(l, kBitCapture, l.captureThread);
    l.captureToVideo.reset();
    l.videoToCapture.reset();
    l.rvCleanup.reset();
    l.rvStart.reset();
    l.pause.reset();
    // Every thread that used the rest has been joined; the Launch lets them go.

    // Nothing feeds the recorder any more: what it holds goes to the disk before the process ends.
    l.tsOut.reset();
    if (Recorder_delete(l.recorder.release(), kRecorderStopMs, nullptr) != Media_EOK) {
        std::fputs("Warning: the recording could not be completed in time, its last second may be missing\n", stderr);
    }
    l.http.reset();
    l.srt.reset();
    std::fflush(stdout);
    Shell_run("sync");
    Shell_run("echo 3 > /proc/sys/vm/drop_caches");
}

// Every process-wide value of a run back to its default, so that a run starts from the store alone.
void resetProcessValues()
{
    SharedStatus_reset();
    OutputSwitches_reset();
    SecondStream_reset();
    Pipeline_reset();
    NoSignal_reset();
}

} // namespace

void Startup_setStageThreads(const StageThreads *threads)
{
    stageThreads.store(threads != nullptr ? threads : &kBuildThreads);
}

const StageThreads &Startup_buildStageThreads()
{
    return kBuildThreads;
}

int Encode_main(int argc, char **argv)
{
    Signals_install();
    resetProcessValues();

    Launch l(*stageThreads.load());
    if (readSwitches(l)) {
        std::printf("\nH.264 network stream encoder\n\n");

        int exitNow = Options_parse(argc, argv, &l.opts, &l.ports);
        if (exitNow != Options_CONTINUE) {
            return exitNow;
        }
        if (l.opts.framerate > 0) {
            Pipeline_setFrameRate(l.opts.framerate);
        }
        std::printf("Encode demo started.\n");
        std::fflush(stdout);

        if (startUp(l)) {
            if (!startTsOutput(l)) {
                std::fputs("Error: Failed to create socket fd.\n", stderr);
                return 255; // at once: no stage thread exists yet, the Launch lets its objects go
            }
            if (startStages(l)) {
                StatusWriter_start();
                runControl(l);
            }
        }
    }

    shutDown(l);
    return l.status;
}
