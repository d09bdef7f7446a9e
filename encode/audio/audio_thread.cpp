// The audio threads, AAC ("audio") and MP3 ("speech"): one body, and a table of the few points where
// the two differ. A thread owns its codec engine handle, encoder, sound device and its two buffers;
// the outputs are the main thread's list, which it shares with the writer.
//
// Per frame: pause gate, one codec frame of sound, the HDMI channel repair, the frame time, the
// encoder, then the frame to the output list, which feeds every audio output in their fixed order.
// The loop allocates nothing and none of its waits outlives the quit flag: the sound read gives up
// within a tenth of a second, and no output waits on its peer.
#include "encode/audio/audio_thread.h"

#include "encode/audio/audio_channels.h"
#include "encode/audio/audio_levels.h"
#include "encode/audio/audio_input.h"
#include "encode/control/hdmi_audio.h"
#include "encode/core/shared_status.h"
#include "encode/codec/aenc1.h"
#include "encode/media/buffer.h"
#include "encode/codec/engine.h"
#include "encode/core/status_board.h"
#include "encode/media/frame_times.h"
#include "encode/media/media.h"
#include "encode/media/wait.h"
#include "encode/device/sound.h"

#include <nlohmann/json.hpp>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

// Where the two threads differ. What their frames become in each output (the multiplexer's stream
// type, the FIFO's record, whether RTMP takes them) the output list settled when it was built.
struct Variant {
    const char *name;           // the codec, as the status names it
    bool settleAfterSupervisor; // give the supervisor a second to find the lock before the first read
    const char *loopLine;       // printed as the loop starts, or null
};

const Variant kAac = {"aac", true, nullptr};
const Variant kMp3 = {"mp3", false, "kavex enter mp3 encode"};

constexpr int kGain = 70;
// What the encoder is handed: interleaved 16-bit stereo (mono capture is spread to both channels).
constexpr int kStereo = 2;
constexpr int kBytesPerStereoFrame = 2 * kStereo;
constexpr int kSettleMs = 1000;
// After a failed read, the pause before the next try: a dead device must not spin a real-time thread.
constexpr int kReadRetryPauseMs = 100;

struct EngineDeleter {
    void operator()(Engine_Object *p) const { Engine_close(p); }
};
struct AencDeleter {
    void operator()(Aenc1_Object *p) const { Aenc1_delete(p); }
};
struct SoundDeleter {
    void operator()(Sound_Object *p) const { Sound_delete(p); }
};
struct BufferDeleter {
    void operator()(Buffer_Object *p) const { Buffer_delete(p); }
};

// What the thread takes from its parameter record; the two records differ only in names.
struct Job {
    Rendezvous_Handle init;
    Rendezvous_Handle cleanup;
    Pause_Handle pause;
    int linein;
    const char *codec;
    const char *engineName;
    const AudioEnc_Params *params;       // null: the built-in record
    const AudioEnc_DynParams *dynParams; // null: the built-in record
    int bitRate;
    int sampleRate;
    OutputList_Handle outputs;
    const Variant *variant;
};

template <typename Record>
Job makeJob(Record *r, const char *codec, const Variant *variant)
{
    return {r->hRendezvousInit,
            r->hRendezvousCleanup,
            r->hPauseProcess,
            r->linein,
            codec,
            r->engineName,
            static_cast<const AudioEnc_Params *>(r->params),
            static_cast<const AudioEnc_DynParams *>(r->dynParams),
            r->soundbitrate,
            r->samplerate,
            r->outputs,
            variant};
}

// What the status says of the audio: counted and measured by this thread as it encodes.
struct AudioReport {
    const char *codec = "";
    int rate = 0;
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};
    AudioLevels levels;
    int id = 0;

    static void report(const void *ctx, nlohmann::json &out)
    {
        const auto &r = *static_cast<const AudioReport *>(ctx);
        out["on"] = true;
        out["codec"] = r.codec;
        out["rate"] = r.rate;
        out["frames"] = r.frames.load(std::memory_order_relaxed);
        out["bytes"] = r.bytes.load(std::memory_order_relaxed);
        r.levels.report(out["levels"]);
    }
    void start(const char *name, int sampleRate)
    {
        codec = name;
        rate = sampleRate;
        id = StatusBoard_add(StatusSection::Audio, report, this);
    }
    void stop()
    {
        StatusBoard_remove(id);
        id = 0;
    }
};

// Everything the thread holds, released in the order the other stages rely on: they are let go
// (rendezvous forced, pause gate off) before rvCleanup, this thread's objects after it.
class EndPath {
public:
    explicit EndPath(const Job &job) : job_(job) {}
    ~EndPath()
    {
        Rendezvous_force(job_.init);
        Pause_off(job_.pause);
        Rendezvous_meet(job_.cleanup);
        status.stop();
        encoder.reset();
        sound.reset();
        in.reset();
        out.reset();
        engine.reset();
    }
    EndPath(const EndPath &) = delete;
    EndPath &operator=(const EndPath &) = delete;

    std::unique_ptr<Engine_Object, EngineDeleter> engine;
    std::unique_ptr<Aenc1_Object, AencDeleter> encoder;
    std::unique_ptr<Buffer_Object, BufferDeleter> in;
    std::unique_ptr<Buffer_Object, BufferDeleter> out;
    std::unique_ptr<Sound_Object, SoundDeleter> sound;
    AudioReport status;

private:
    const Job &job_;
};

void *fail(const char *message)
{
    if (message != nullptr) {
        std::fputs(message, stderr);
    }
    SharedStatus_setQuit();
    return THREAD_FAILURE;
}

// Steps 5 to 7: the engine, the encoder with the thread's rates in its records, the buffers (and the
// multiplexer's room for the encoder's largest frame). False after its message.
bool createCodec(const Job &job, EndPath &end, int sampleRate)
{
    end.engine.reset(Engine_open(job.engineName, nullptr, nullptr));
    if (end.engine == nullptr) {
        std::fprintf(stderr, "Error: Failed to open codec engine %s\n", job.engineName);
        return false;
    }
    AudioEnc_Params params = job.params != nullptr ? *job.params : AudioEnc_Params_DEFAULT;
    AudioEnc_DynParams dyn = job.dynParams != nullptr ? *job.dynParams : AudioEnc_DynParams_DEFAULT;
    dyn.sampleRate = sampleRate;
    dyn.bitRate = job.bitRate;
    params.sampleRate = dyn.sampleRate;
    params.bitRate = dyn.bitRate;
    end.encoder.reset(Aenc1_create(end.engine.get(), job.codec, &params, &dyn));
    if (end.encoder == nullptr) {
        std::fprintf(stderr, "Error: Failed to create audio encoder: %s\n", job.codec);
        return false;
    }
    int largest = Aenc1_getOutBufSize(end.encoder.get());
    end.out.reset(Buffer_create(largest, &Buffer_Attrs_DEFAULT));
    end.in.reset(Buffer_create(Aenc1_getInBufSize(end.encoder.get()), &Buffer_Attrs_DEFAULT));
    if (end.out == nullptr || end.in == nullptr || !OutputList_reserve(job.outputs, largest)) {
        std::fputs("Error: Failed to allocate audio buffers\n", stderr);
        return false;
    }
    return true;
}

Sound_Handle openSound(const Job &job, const AudioInput &input)
{
    Sound_Attrs attrs = Sound_Attrs_STEREO_DEFAULT;
    attrs.sampleRate = input.sampleRate;
    attrs.channels = input.hdmi && input.mode == AudioHdmi_MONO ? 1 : 2;
    attrs.leftGain = kGain;
    attrs.rightGain = kGain;
    attrs.mode = Sound_Mode_INPUT;
    attrs.soundInput = job.linein != 0 ? Sound_Input_LINE : Sound_Input_MIC;
    attrs.soundStd = Sound_Std_ALSA;
    return Sound_create(&attrs);
}

// The supervisor runs under the ordinary policy whatever this thread's is, detached: it ends by
// itself once quit is raised.
void startSupervisor(const Variant &variant)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
    sched_param param{};
    pthread_attr_setschedparam(&attr, &param);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int r = pthread_create(&thread, &attr, hdmiAudioThreadFxn, nullptr);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        // Without it the lock is never reported and the HDMI input stays silent; the rest streams on.
        std::fputs("Error: Failed to create HDMI audio thread\n", stderr);
        return;
    }
    if (variant.settleAfterSupervisor) {
        Media_waitMs(nullptr, kSettleMs);
    }
}

// The running thread's state.
struct Loop {
    const Job &job;
    EndPath &end;
    AudioInput input;
    ChannelRepair repair;
    int delay;
    int failedReads = 0;
};

// A run of failed reads is one line, with the device's reason, and its end another: an unplugged
// sound card fails every read for as long as it is away. The device has tried to recover already.
void readFailed(Loop &lp)
{
    if (lp.failedReads++ == 0) {
        std::fprintf(stderr, "Error: Failed to write audio buffer: %s\n", Sound_failure(lp.end.sound.get()));
        std::fflush(stderr);
    }
    Media_waitMs(nullptr, kReadRetryPauseMs);
}

void readSucceeded(Loop &lp)
{
    if (lp.failedReads > 0) {
        std::printf("audio input back after %d failed reads\n", lp.failedReads);
        std::fflush(stdout);
        lp.failedReads = 0;
    }
}

void repairChannels(Loop &lp)
{
    Buffer_Handle in = lp.end.in.get();
    bool locked = HdmiAudio_locked() != 0;
    int used = lp.repair.apply(Buffer_getUserPtr(in), Buffer_getNumBytesUsed(in), locked, FrameTime_now().seconds);
    Buffer_setNumBytesUsed(in, used);
}

void *encodeFrames(Loop &lp)
{
    if (lp.job.variant->loopLine != nullptr) {
        std::printf("%s\n", lp.job.variant->loopLine);
        std::fflush(stdout);
    }
    Buffer_Handle in = lp.end.in.get();
    Buffer_Handle out = lp.end.out.get();
    while (!SharedStatus_getQuit()) {
        Pause_test(lp.job.pause);
        int r = Sound_read(lp.end.sound.get(), in);
        if (r == Sound_STOPPED) {
            break;
        }
        if (r != Media_EOK) {
            readFailed(lp);
            continue;
        }
        readSucceeded(lp);
        if (lp.input.hdmi) {
            repairChannels(lp);
        }
        lp.end.status.levels.add(reinterpret_cast<const int16_t *>(Buffer_getUserPtr(in)),
                                 Buffer_getNumBytesUsed(in) / kBytesPerStereoFrame, kStereo, lp.end.status.rate);
        FrameTime t = FrameTime_now();
        if (Aenc1_process(lp.end.encoder.get(), in, out) < 0) {
            return fail("Error: Failed to encode audio buffer\n");
        }
        t = Audio_delayed(t, lp.delay);
        int bytes = Buffer_getNumBytesUsed(out);
        if (bytes > 0) {
            lp.end.status.frames.fetch_add(1, std::memory_order_relaxed);
            lp.end.status.bytes.fetch_add(static_cast<uint64_t>(bytes), std::memory_order_relaxed);
            SharedStatus_addSoundBytes(bytes);
            OutputList_audio(lp.job.outputs, {Buffer_getUserPtr(out), bytes, t, true});
        }
    }
    return THREAD_SUCCESS;
}

void *run(const Job &job, EndPath &end)
{
    AudioInput input = AudioInput_read(job.sampleRate);
    if (!createCodec(job, end, input.sampleRate)) {
        return fail(nullptr);
    }
    int delay = AudioInput_readDelay();
    end.sound.reset(openSound(job, input));
    if (end.sound == nullptr) {
        return fail("Error: Failed to create audio device\n");
    }
    SharedStatus_setSamplingRate(input.sampleRate);
    end.status.start(job.variant->name, input.sampleRate);
    Rendezvous_meet(job.init);
    if (input.hdmi) {
        startSupervisor(*job.variant);
    }
    OutputList_begin(job.outputs, OUTPUT_TAKES_AUDIO); // the FIFO waits for the reader, or for quit
    Loop lp{job, end, input, ChannelRepair(input.mode), delay};
    return encodeFrames(lp);
}

void *runThread(const Job &job)
{
    void *status = THREAD_FAILURE;
    {
        EndPath end(job);
        try {
            status = run(job, end);
        } catch (...) {
            status = fail("Error: Audio thread stopped by an unexpected failure\n");
        }
    }
    return status;
}

} // namespace

void *audioThrFxn(void *arg)
{
    auto *envp = static_cast<AudioThreadParams *>(arg);
    return runThread(makeJob(envp, envp->audioEncoder, &kAac));
}

void *speechThrFxn(void *arg)
{
    auto *envp = static_cast<SpeechThreadParams *>(arg);
    return runThread(makeJob(envp, envp->speechEncoder, &kMp3));
}
