// Start-up and shutdown of the encoder, all in the main thread. Owns the objects every stage shares
// (pause gate, rendezvous points, the Fifos between the stages, the multiplexer configuration) and
// the parameter records it hands to the stage threads; they live until the shutdown has joined every
// thread that uses them. Every shared object is held by a unique_ptr, so that any early return (the
// status 255 of a failed UDP set-up included) releases what was made through one path, while the
// shutdown releases them explicitly in the order the stages rely on. The output list the writer and
// the audio threads share is built here from the settings and stopped after every stage thread has
// been joined; the recorder's stop writes what it holds. The watchdog is started detached and never
// joined: the process's end is its.
#include "encode/app/startup.h"

#include "encode/app/control_socket.h"

#include "encode/app/options.h"
#include "encode/app/status_writer.h"
#include "encode/audio/audio_thread.h"
#include "encode/control/control_loop.h"
#include "encode/control/watchdog.h"
#include "encode/core/config_store.h"
#include "encode/core/webrtc_settings.h"
#include "encode/core/no_signal.h"
#include "encode/core/output_switches.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/codec/engine.h"
#include "encode/media/fifo.h"
#include "encode/media/media.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/output_list.h"
#include "encode/output/recorder.h"
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
struct RecorderDeleter {
    void operator()(Recorder_Object *p) const { Recorder_delete(p, RECORDER_STOP_MS, nullptr); }
};
using RecorderPtr = std::unique_ptr<Recorder_Object, RecorderDeleter>;

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

    RecorderPtr recorder; // started while the switch files are read; the output list takes it
    OutputList_Handle outputs = nullptr;
    KeyRequest keyRequests[2]; // key frames asked for through the control socket: main, second
    bool hls = false;          // the HLS output runs: segments begin at IDR pictures
    ControlSocket_Handle control = nullptr;

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
    int highest = 1; // the digits above '1' the switch takes, up to this one; any other character is 0
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
    {"/mnt/rtsporrtmp.ini", "rtmp.ini read=%d\n", "no rtmp.ini", "no rtmp.ini", &OutputSwitches::rtmp, 2},
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
    int digit = r.state == FileState::Read ? r.digit() : 0;
    sw.*f.field = static_cast<uint8_t>(digit >= 1 && digit <= f.highest ? digit : 0);
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
    v.keyRequests = l.keyRequests;
    v.idrAtEveryIntra = l.hls;
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
    w.outputs = l.outputs;
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
    r.outputs = l.outputs;
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

// Codec runtime, media layer, pause gate.
bool startUp(Launch &l)
{
    // The highest nice value for the main thread and the threads that inherit it; without the
    // privilege the call fails and the ordinary value stays.
    setpriority(PRIO_PROCESS, 0, -20);
    Media_init();
    l.initMask |= kBitRuntime;

    l.pause.reset(Pause_create(&Pause_Attrs_DEFAULT));
    return l.pause != nullptr || fail(l, "Error: Failed to create Pause object\n");
}

// Every output the settings ask for, the multiplexer first (it may refuse its configuration), then
// the UDP destinations (whose sockets must exist before anything streams) and the rest. The audio is
// settled by the options: MP3 with -s, else AAC with -a.
int buildOutputs(Launch &l)
{
    OutputPlan plan{};
    plan.switches = OutputSwitches_get();
    plan.second = SecondStream_get();
    plan.video = l.opts.videofile != nullptr;
    plan.audio = l.opts.speechfile != nullptr  ? TsMux_Audio_MP3
                 : l.opts.audiofile != nullptr ? TsMux_Audio_AAC
                                               : TsMux_Audio_NONE;
    plan.destinations = NetDestinations_make(l.opts.ipaddr, l.ports.port1, l.opts.ipdaddr, l.ports.port2,
                                             l.opts.ipeaddr, l.ports.port3);
    plan.recorder = l.recorder.release();
    plan.socket = l.threads.socket;
    WebrtcSettings webrtc;
    WhipSettings whip;
    bool viewers = WebrtcSettings_read(webrtc) == WebrtcSettings_EOK && webrtc.enable;
    plan.webrtc = viewers || (WhipSettings_read(whip) == WebrtcSettings_EOK && whip.enable);
    plan.hls.enable = HlsSettings_read(plan.hls) == HlsSettings_EOK && plan.hls.enable;
    l.hls = plan.hls.enable && plan.video;
    int r = OutputList_build(&plan, &l.outputs);
    if (r != OutputList_EOK && r != OutputList_EUDP) {
        l.status = 1;
        SharedStatus_setQuit();
    }
    return r;
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
    ControlSocket_stop(l.control);
    l.control = nullptr;
    l.writerToVideo.reset();
    l.videoToWriter.reset();

    // Capture last: the video thread hands its last buffers back through the capture Fifos.
    join(l, kBitCapture, l.captureThread);
    l.captureToVideo.reset();
    l.videoToCapture.reset();
    l.rvCleanup.reset();
    l.rvStart.reset();
    l.pause.reset();
    // Every thread that used the rest has been joined; the Launch lets them go.

    // Nothing feeds the outputs any more: what they hold goes out (the recording to its disk, RTMP to
    // its servers) within their bounds, and every peer sees the stream end.
    OutputList_stop(l.outputs);
    l.outputs = nullptr;
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
            int built = buildOutputs(l);
            if (built == OutputList_EUDP) {
                return 255; // at once: no stage thread exists yet, the Launch lets its objects go
            }
            l.control = built == OutputList_EOK ? ControlSocket_start(l.keyRequests) : nullptr;
            if (built == OutputList_EOK && startStages(l)) {
                StatusWriter_start();
                runControl(l);
            }
        }
    }

    shutDown(l);
    return l.status;
}
