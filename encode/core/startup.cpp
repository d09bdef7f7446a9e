// Start-up and shutdown of the encoder, all in the main thread. Owns the objects every stage shares
// (pause gate, rendezvous points, the Fifos between the stages, the multiplexer configuration) and
// the parameter records it hands to the stage threads; they live until the shutdown has joined every
// thread that uses them. The watchdog and the USB recorder are started detached and never joined:
// the process's end is theirs.
#include "encode/core/startup.h"

#include "encode/control/control_loop.h"
#include "encode/control/watchdog.h"
#include "encode/core/config_store.h"
#include "encode/core/options.h"
#include "encode/core/shared_status.h"
#include "encode/core/shell.h"
#include "encode/core/thread_params.h"
#include "encode/media/engine.h"
#include "encode/media/fifo.h"
#include "encode/media/media.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/tsmux.h"
#include "encode/output/udp.h"
#include "encode/video/capture_thread.h"

#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The stage thread functions of this build; each stage's issue fills in its entry.
const StageThreads kBuildThreads = {
    captureThrFxn,  // capture
    nullptr,        // video
    nullptr,        // writer
    nullptr,        // AAC audio
    nullptr,        // MP3 audio
    nullptr,        // USB recorder
    watchdogThrFxn, // watchdog
    ctrlThrFxn,     // control loop
    pthread_create,
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

constexpr int kTsPmtPid = 10;
constexpr int kTsVideoPid = 100;
constexpr int kTsAudioPid = 102;
constexpr int kStreamTypeH264 = 27;
constexpr int kStreamTypeAacAdts = 15;
constexpr int kStreamTypeMpegAudio = 3;

// The multiplexer keeps pointing at this configuration for the life of the process.
TsMux_Config tsConfig;

struct Launch {
    LaunchOptions opts;
    DestinationPorts ports;
    int status = 0;
    int initMask = 0;
    bool controlRan = false;

    TsMux_Params tsParams{};

    Pause_Handle hPause = nullptr;
    Rendezvous_Handle hRendezvousStandard = nullptr;
    Rendezvous_Handle hRendezvousEncoderReady = nullptr;
    Rendezvous_Handle hRendezvousInit = nullptr;
    Rendezvous_Handle hRendezvousCleanup = nullptr;
    Fifo_Handle hCaptureOutFifo = nullptr; // capture -> video
    Fifo_Handle hCaptureInFifo = nullptr;  // video -> capture
    Fifo_Handle hWriterOutFifo = nullptr;  // writer -> video (empty buffers)
    Fifo_Handle hWriterInFifo = nullptr;   // video -> writer (encoded buffers)
    Fifo_Handle hFmlFifo = nullptr;

    pthread_attr_t attr;
    bool attrReady = false;

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
};

// A start-up failure: its message, status 1 and quit, then the shutdown.
void fail(Launch &l, const char *message)
{
    std::fputs(message, stderr);
    std::fflush(stderr);
    l.status = 1;
    SharedStatus_setQuit();
}

// --- Switch files ---

struct FlagFile {
    const char *path;
    const char *readLine;     // printf format with the first character minus '0'; null: none
    const char *missingLine;  // null: nothing printed
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

void readSecondStream()
{
    SecondStreamSettings s;
    int fields[7] = {s.enabled, s.width, s.height, s.bitrate, s.framerate, s.intraInterval, s.idrInterval};
    // A missing file keeps every default (the appliance's factory copy restores it).
    Config_readRecord("/mnt/kavex_rs.ini", fields, kRecordLimitSecondStream);
    s.enabled = fields[0];
    s.width = fields[1];
    s.height = fields[2];
    s.bitrate = fields[3];
    s.framerate = fields[4];
    s.intraInterval = fields[5];
    s.idrInterval = fields[6];
    std::printf("fml=%d %d %d %d %d %d %d \n", fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                fields[6]);
    if (s.enabled == 1) {
        int rsc[2] = {0, 0};
        Config_readRecord("/mnt/kavex_rsc.ini", rsc, kRecordLimitSecondStream);
        s.tsCarriesSecond = rsc[0];
        s.rtspCarriesSecond = rsc[1];
    }
    Process_setSecondStream(s);
}

// Reads every switch file in its order. False when the recorder was asked for and cannot run.
bool readSwitches(Launch &l, const StageThreads &threads)
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

    readSecondStream();

    readFlag(kTsfFlag, sw);
    Process_setOutputSwitches(sw);
    if (sw.tsRecord) {
        // Recording starts at once, while the remaining files are still being read.
        if (threads.recorder == nullptr || !TsOut_recorderAvailable()) {
            fail(l, "Error: USB recording is not available in this build\n");
            return false;
        }
        pthread_t recorder;
        if (threads.create(&recorder, nullptr, threads.recorder, nullptr) != 0) {
            fail(l, "Error: Failed to create recorder thread\n");
            return false;
        }
        pthread_detach(recorder);
    }

    for (const FlagFile &f : kLateFlags) {
        readFlag(f, sw);
    }
    Process_setOutputSwitches(sw);
    Process_setBufferCount(Config_readBufferCount());
    std::fflush(stdout);
    return true;
}

// --- Threads ---

// Starts a thread with the real-time attribute record at `priority`. Where the system refuses the
// real-time policy for lack of privilege, the thread runs with ordinary scheduling instead.
int startRealtime(Launch &l, const StageThreads &threads, pthread_t *thread, int priority, void *(*fn)(void *),
                  void *arg, const char *name)
{
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_attr_setschedparam(&l.attr, &param) != 0) {
        fail(l, "Error: Failed to set scheduler parameters\n");
        return -1;
    }
    int r = threads.create(thread, &l.attr, fn, arg);
    if (r == EPERM) {
        std::fprintf(stderr, "Warning: no permission for real-time scheduling; the %s thread runs with ordinary scheduling\n",
                     name);
        std::fflush(stderr);
        r = threads.create(thread, nullptr, fn, arg);
    }
    return r;
}

bool prepareAttrs(Launch &l)
{
    if (pthread_attr_init(&l.attr) != 0) {
        fail(l, "Error: Failed to initialize thread attrs\n");
        return false;
    }
    l.attrReady = true;
    if (pthread_attr_setinheritsched(&l.attr, PTHREAD_EXPLICIT_SCHED) != 0) {
        fail(l, "Error: Failed to set schedule inheritance attribute\n");
        return false;
    }
    if (pthread_attr_setschedpolicy(&l.attr, SCHED_FIFO) != 0) {
        fail(l, "Error: Failed to set FIFO scheduling policy\n");
        return false;
    }
    return true;
}

bool startVideoPath(Launch &l, const StageThreads &threads)
{
    if (threads.capture == nullptr) {
        fail(l, "Error: video capture is not available in this build\n");
        return false;
    }
    if (threads.video == nullptr) {
        fail(l, "Error: video encoding is not available in this build\n");
        return false;
    }
    if (threads.writer == nullptr) {
        fail(l, "Error: the video writer is not available in this build\n");
        return false;
    }

    l.hCaptureOutFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    l.hCaptureInFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    if (l.hCaptureOutFifo == nullptr || l.hCaptureInFifo == nullptr) {
        fail(l, "Error: Failed to open display fifos\n");
        return false;
    }

    CaptureThreadParams &c = l.captureEnv;
    c.hRendezvousInit = l.hRendezvousInit;
    c.hRendezvousStandard = l.hRendezvousStandard;
    c.hRendezvousCleanup = l.hRendezvousCleanup;
    c.reserved = nullptr;
    c.hPauseProcess = l.hPause;
    c.hOutFifo = l.hCaptureOutFifo;
    c.hInFifo = l.hCaptureInFifo;
    c.display_standard = l.opts.display_standard;
    c.width = l.opts.width;
    c.height = l.opts.height;
    c.video_input = l.opts.video_input;
    c.preview_disable = l.opts.preview_disable;
    // Capture inherits the main thread's ordinary policy and nice value.
    if (threads.create(&l.captureThread, nullptr, threads.capture, &c) != 0) {
        fail(l, "Error: Failed to create capture thread\n");
        return false;
    }
    l.initMask |= kBitCapture;

    Rendezvous_meet(l.hRendezvousStandard);
    if (SharedStatus_getQuit()) {
        return false; // the capture thread failed (its result gives the status) or a signal came
    }

    l.hWriterOutFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    l.hWriterInFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    l.hFmlFifo = Fifo_create(&Fifo_Attrs_DEFAULT);
    if (l.hFmlFifo == nullptr) {
        fail(l, "Error: Failed to open fml_outfifo fifos\n");
        return false;
    }
    if (l.hWriterOutFifo == nullptr || l.hWriterInFifo == nullptr) {
        fail(l, "Error: Failed to open display fifos\n");
        return false;
    }
    Process_setFmlFifo(l.hFmlFifo);

    VideoThreadParams &v = l.videoEnv;
    v.hRendezvousInit = l.hRendezvousInit;
    v.hRendezvousCleanup = l.hRendezvousCleanup;
    v.hRendezvousReady = l.hRendezvousEncoderReady;
    v.hPauseProcess = l.hPause;
    v.hWriterOutFifo = l.hWriterInFifo;
    v.hWriterInFifo = l.hWriterOutFifo;
    v.hCaptureOutFifo = l.hCaptureInFifo;
    v.hCaptureInFifo = l.hCaptureOutFifo;
    v.videoEncoder = l.opts.videoCodec->name;
    v.engineName = ENGINE_NAME;
    v.params = l.opts.videoCodec->params;
    v.dynParams = l.opts.videoCodec->dynParams;
    v.videobitrate = l.opts.videobitrate;
    v.framerate = Process_frameRate();
    v.Intraframeinterval = l.opts.Intraframeinterval;
    v.width = c.width;
    v.height = c.height;
    if (startRealtime(l, threads, &l.videoThread, sched_get_priority_max(SCHED_FIFO) - 1, threads.video, &v, "video") !=
        0) {
        if (l.status == 0) {
            fail(l, "Error: Failed to create video thread\n");
        }
        return false;
    }
    l.initMask |= kBitVideo;

    Rendezvous_meet(l.hRendezvousEncoderReady);
    if (SharedStatus_getQuit()) {
        return false;
    }

    WriterThreadParams &w = l.writerEnv;
    w.hRendezvousInit = l.hRendezvousInit;
    w.hRendezvousCleanup = l.hRendezvousCleanup;
    w.hPauseProcess = l.hPause;
    w.hOutFifo = l.hWriterOutFifo;
    w.hInFifo = l.hWriterInFifo;
    w.videofile = l.opts.videofile;
    w.outBufSize = v.outBufSize;
    w.write_disable = l.opts.write_disable;
    w.tsParams = l.tsParams;
    if (threads.create(&l.writerThread, nullptr, threads.writer, &w) != 0) {
        fail(l, "Error: Failed to create writer thread\n");
        return false;
    }
    l.initMask |= kBitWriter;
    return true;
}

bool startAudio(Launch &l, const StageThreads &threads)
{
    if (threads.audio == nullptr) {
        fail(l, "Error: AAC audio is not available in this build\n");
        return false;
    }
    AudioThreadParams &a = l.audioEnv;
    a.hRendezvousInit = l.hRendezvousInit;
    a.hRendezvousCleanup = l.hRendezvousCleanup;
    a.hPauseProcess = l.hPause;
    a.linein = l.opts.linein;
    a.audioEncoder = l.opts.audioCodec->name;
    a.audiofile = l.opts.audiofile;
    a.engineName = ENGINE_NAME;
    a.params = l.opts.audioCodec->params;
    a.dynParams = l.opts.audioCodec->dynParams;
    a.soundbitrate = l.opts.soundbitrate;
    a.samplerate = l.opts.samplerate;
    a.write_disable = l.opts.write_disable;
    a.tsParams = l.tsParams;
    if (startRealtime(l, threads, &l.audioThread, sched_get_priority_max(SCHED_FIFO) - 2, threads.audio, &a, "audio") !=
        0) {
        if (l.status == 0) {
            fail(l, "Error: Failed to create audio thread\n");
        }
        return false;
    }
    l.initMask |= kBitAudio;
    Process_setAudioPresent(true);
    return true;
}

bool startSpeech(Launch &l, const StageThreads &threads)
{
    if (threads.speech == nullptr) {
        fail(l, "Error: MP3 audio is not available in this build\n");
        return false;
    }
    tsConfig.streamType[0][1] = kStreamTypeMpegAudio;
    if (TsMux_init(&l.tsParams) <= 0) {
        fail(l, "init TS failed!\n");
        return false;
    }
    SpeechThreadParams &s = l.speechEnv;
    s.hRendezvousInit = l.hRendezvousInit;
    s.hRendezvousCleanup = l.hRendezvousCleanup;
    s.hPauseProcess = l.hPause;
    s.linein = l.opts.linein;
    s.speechEncoder = l.opts.speechCodec->name;
    s.speechfile = l.opts.speechfile;
    s.engineName = ENGINE_NAME;
    s.params = l.opts.speechCodec->params;
    s.dynParams = l.opts.speechCodec->dynParams;
    s.soundbitrate = l.opts.soundbitrate;
    s.samplerate = l.opts.samplerate;
    s.tsParams = l.tsParams;
    if (startRealtime(l, threads, &l.speechThread, sched_get_priority_max(SCHED_FIFO) - 2, threads.speech, &s,
                      "speech") != 0) {
        if (l.status == 0) {
            fail(l, "Error: Failed to create speech thread\n");
        }
        return false;
    }
    l.initMask |= kBitSpeech;
    return true;
}

// --- Start-up and shutdown ---

void buildTsParams(Launch &l)
{
    std::memset(&tsConfig, 0, sizeof tsConfig);
    tsConfig.size = TSMUX_CONFIG_SIZE;
    tsConfig.numPrograms = 1;
    tsConfig.pmtPid[0] = kTsPmtPid;
    tsConfig.numStreams[0] = 1;
    tsConfig.streamType[0][0] = kStreamTypeH264;
    tsConfig.esPid[0][0] = kTsVideoPid;
    if (l.opts.audiofile != nullptr || l.opts.speechfile != nullptr) {
        tsConfig.numStreams[0] = 2;
        tsConfig.streamType[0][1] = kStreamTypeAacAdts;
        tsConfig.esPid[0][1] = kTsAudioPid;
    }
    std::memset(&l.tsParams, 0, sizeof l.tsParams);
    l.tsParams.size = TSMUX_PARAMS_SIZE;
    l.tsParams.config = &tsConfig;
    l.tsParams.program = 0;
}

// Steps that may fail; false sends the program to the shutdown.
bool startUp(Launch &l)
{
    buildTsParams(l);
    if (TsMux_init(&l.tsParams) <= 0) {
        fail(l, "init TS failed!\n");
        return false;
    }

    // The highest nice value for the main thread and the threads that inherit it; without the
    // privilege the call fails and the ordinary value stays.
    setpriority(PRIO_PROCESS, 0, -20);
    Media_init();
    l.initMask |= kBitRuntime;

    l.hPause = Pause_create(&Pause_Attrs_DEFAULT);
    if (l.hPause == nullptr) {
        fail(l, "Error: Failed to create Pause object\n");
        return false;
    }
    return true;
}

bool startStages(Launch &l, const StageThreads &threads)
{
    bool video = l.opts.videofile != nullptr;
    bool audio = l.opts.audiofile != nullptr || l.opts.speechfile != nullptr;

    OutputSwitches sw = Process_outputSwitches();
    if ((video || audio) && !sw.tsOff && sw.httpTs && !TsOut_httpAvailable()) {
        fail(l, "Error: HTTP TS output is not available in this build\n");
        return false;
    }

    if (OutputSem_create() != 0) {
        fail(l, "Error: Failed to create output semaphore\n");
        return false;
    }

    int parties = 1 + (video ? 3 : 0) + (audio ? 1 : 0);
    l.hRendezvousStandard = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
    l.hRendezvousInit = Rendezvous_create(parties, &Rendezvous_Attrs_DEFAULT);
    l.hRendezvousCleanup = Rendezvous_create(parties, &Rendezvous_Attrs_DEFAULT);
    l.hRendezvousEncoderReady = Rendezvous_create(2, &Rendezvous_Attrs_DEFAULT);
    if (l.hRendezvousStandard == nullptr || l.hRendezvousInit == nullptr || l.hRendezvousCleanup == nullptr ||
        l.hRendezvousEncoderReady == nullptr) {
        fail(l, "Error: Failed to create Rendezvous objects\n");
        return false;
    }

    if (!prepareAttrs(l)) {
        return false;
    }
    if (video && !startVideoPath(l, threads)) {
        return false;
    }
    if (l.opts.audiofile != nullptr && !startAudio(l, threads)) {
        return false;
    }
    if (l.opts.speechfile != nullptr && !startSpeech(l, threads)) {
        return false;
    }

    pthread_t watchdog;
    if (threads.create(&watchdog, nullptr, threads.watchdog, nullptr) != 0) {
        fail(l, "Error: Failed to create watchdog thread\n");
        return false;
    }
    pthread_detach(watchdog);
    return true;
}

void runControl(Launch &l, const StageThreads &threads)
{
    ControlThreadParams &c = l.ctrlEnv;
    c.reserved = nullptr;
    c.hRendezvousInit = l.hRendezvousInit;
    c.hRendezvousCleanup = l.hRendezvousCleanup;
    c.hPauseProcess = l.hPause;
    c.keyboard = l.opts.keyboard;
    c.time = l.opts.time;
    c.engineName = ENGINE_NAME;
    c.unused = 0;
    l.controlRan = true;
    if (threads.control(&c) == THREAD_FAILURE) {
        l.status = 1;
    }
}

void join(Launch &l, int bit, pthread_t thread)
{
    if ((l.initMask & bit) == 0) {
        return;
    }
    void *ret = THREAD_SUCCESS;
    pthread_join(thread, &ret);
    if (ret == THREAD_FAILURE) {
        l.status = 1;
    }
}

void flush(Fifo_Handle hFifo)
{
    if (hFifo != nullptr) {
        Fifo_flush(hFifo);
    }
}

void shutDown(Launch &l)
{
    if (l.hRendezvousStandard != nullptr) {
        Rendezvous_force(l.hRendezvousStandard);
    }
    if (l.hRendezvousEncoderReady != nullptr) {
        Rendezvous_force(l.hRendezvousEncoderReady);
    }
    if (l.hRendezvousInit != nullptr) {
        Rendezvous_force(l.hRendezvousInit);
    }
    if (!l.controlRan) {
        // A start-up failure: some parties of the clean-up rendezvous (the control loop at least)
        // never arrive, and a stage may wait on a Fifo whose other end never started. Release them
        // all so that the joins below cannot hang.
        if (l.hRendezvousCleanup != nullptr) {
            Rendezvous_force(l.hRendezvousCleanup);
        }
        flush(l.hCaptureOutFifo);
        flush(l.hCaptureInFifo);
        flush(l.hWriterOutFifo);
        flush(l.hWriterInFifo);
        flush(l.hFmlFifo);
    }
    if (l.hPause != nullptr) {
        Pause_off(l.hPause);
    }

    join(l, kBitSpeech, l.speechThread);
    join(l, kBitAudio, l.audioThread);
    join(l, kBitVideo, l.videoThread);
    join(l, kBitWriter, l.writerThread);

    Fifo_delete(l.hWriterOutFifo);
    Fifo_delete(l.hWriterInFifo);

    join(l, kBitCapture, l.captureThread);

    Fifo_delete(l.hCaptureOutFifo);
    Fifo_delete(l.hCaptureInFifo);
    Rendezvous_delete(l.hRendezvousCleanup);
    Rendezvous_delete(l.hRendezvousInit);
    Pause_delete(l.hPause);

    // Every thread that used them has been joined.
    Process_setFmlFifo(nullptr);
    Fifo_delete(l.hFmlFifo);
    Rendezvous_delete(l.hRendezvousStandard);
    Rendezvous_delete(l.hRendezvousEncoderReady);
    if (l.attrReady) {
        pthread_attr_destroy(&l.attr);
    }

    std::fflush(stdout);
    Shell_run("sync");
    Shell_run("echo 3 > /proc/sys/vm/drop_caches");
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
    SharedStatus_reset();
    Process_reset();

    const StageThreads &threads = *stageThreads.load();
    Launch l;

    if (readSwitches(l, threads)) {
        std::printf("\nH.264 network stream encoder\n\n");

        int exitNow = Options_parse(argc, argv, &l.opts, &l.ports);
        if (exitNow >= 0) {
            return exitNow;
        }
        if (l.opts.framerate > 0) {
            Process_setFrameRate(l.opts.framerate);
        }
        std::printf("Encode demo started.\n");
        std::fflush(stdout);

        if (startUp(l)) {
            NetDestinations dest = NetDestinations_make(l.opts.ipaddr, l.ports.port1, l.opts.ipdaddr, l.ports.port2,
                                                        l.opts.ipeaddr, l.ports.port3);
            if (Udp_setup(dest) != 1) {
                std::fputs("Error: Failed to create socket fd.\n", stderr);
                return 255;
            }
            if (startStages(l, threads)) {
                runControl(l, threads);
            }
        }
    }

    shutDown(l);
    return l.status;
}
