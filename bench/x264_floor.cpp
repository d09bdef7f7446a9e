// The floor under the pipeline's CPU per frame: the same raw frames through two libx264 encoders set up
// as the appliance's h264 encoder sets them up (encode/codec/h264enc.cpp with the store's defaults of
// encode/codec/venc1.cpp), and nothing else: no capture, overlay, scaling, multiplexer or output. The
// second stream's pictures are scaled once, before any timing, by whoever made its raw file.
//
// One thread codes the main picture and then the second picture of each frame, as the video thread
// does, and with its scheduling: the process at nice -20 and the coding thread first-in-first-out at
// the video thread's priority, set before the encoders open so that x264's own threads (its own
// thread choice, as in the pipeline) inherit it. Without the privilege both stay ordinary, and the
// result line says so. Paced, frames start on absolute deadlines of the monotonic clock at the frame
// rate, so that x264's worker threads sleep and wake as they do in the pipeline.
//
// With "scale" last, the second picture is scaled from the main picture in every frame instead, by the
// pipeline's own software resizer: the floor plus the one piece of work the pipeline does per frame on
// a PC that a board's resizer would do.
//
// bench_pipeline starts it and reads its one result line:
//   frames=N seconds=S cpu=C threads=T/T2 sched=fifo|other bytes=B
// where C is the process's user + system time (every thread) over the measured window of S seconds,
// after a warm-up second whose frames are not counted.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdint> // x264.h needs it first

#include <x264.h>

#include "encode/device/resizer.h"
#include "encode/media/contig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kWarmUpSeconds = 1.0;

struct ContigFree {
    void operator()(uint8_t *p) const { Contig_free(p); }
};
// A frame held in the memory the capture buffers come from, so that the encoders read it as they
// read a captured frame.
using Frame = std::unique_ptr<uint8_t, ContigFree>;

struct Stream {
    int width = 0;
    int height = 0;
    int kbps = 0;       // the target; the pipeline's default rate control peaks at twice it
    int maxDelayMs = 0; // the VBV buffer holds this much of the peak rate
    int levelIdc = 0;
    std::string preset;
    std::vector<Frame> frames; // NV12, tightly packed
};

struct Options {
    Stream main;
    Stream second;
    int fps = 30;
    int intraInterval = 30;
    double seconds = 10;
    bool paced = true;
    bool scale = false;
};

// The second picture made from the main picture of each frame, into one buffer, by the pipeline's own
// software resizer.
class Scaler {
public:
    Scaler(const Stream &from, const Stream &to) : picture_(static_cast<size_t>(to.width) * to.height * 3 / 2)
    {
        bool failed = false;
        resizer_ = Resizer_createSoftware({1, to.width, to.height}, from.width, from.height, from.width, &failed);
    }
    ~Scaler() { Resizer_delete(resizer_); }
    Scaler(const Scaler &) = delete;
    Scaler &operator=(const Scaler &) = delete;
    bool ok() const { return resizer_ != nullptr; }
    const uint8_t *scale(const uint8_t *main)
    {
        Resizer_scale(resizer_, main, picture_.data());
        return picture_.data();
    }

private:
    std::vector<uint8_t> picture_;
    Resizer_Handle resizer_ = nullptr;
};

int usage()
{
    std::fprintf(stderr,
                 "usage: x264_floor MAIN.nv12 WxH KBPS PRESET SECOND.nv12 WxH KBPS PRESET FPS INTRA SECONDS "
                 "paced|unpaced [scale]\n");
    return 2;
}

bool parseSize(const char *s, Stream &st)
{
    return std::sscanf(s, "%dx%d", &st.width, &st.height) == 2 && st.width > 0 && st.height > 0 &&
           st.width % 2 == 0 && st.height % 2 == 0;
}

// Every whole frame of a raw NV12 file, each its own allocation as each capture buffer is, from the
// same allocator.
bool readFrames(const char *path, Stream &st)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "x264_floor: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    size_t size = static_cast<size_t>(st.width) * st.height * 3 / 2;
    for (;;) {
        Frame f(static_cast<uint8_t *>(Contig_alloc(size, nullptr)));
        if (f == nullptr) {
            std::fprintf(stderr, "x264_floor: no memory for the frames of %s\n", path);
            return false;
        }
        if (!in.read(reinterpret_cast<char *>(f.get()), static_cast<std::streamsize>(size))) {
            break;
        }
        st.frames.push_back(std::move(f));
    }
    if (st.frames.empty()) {
        std::fprintf(stderr, "x264_floor: %s holds no whole %dx%d frame\n", path, st.width, st.height);
        return false;
    }
    return true;
}

// The pipeline's settings for one stream: the preset with tune zerolatency, no B pictures, key pictures
// only where the caller asks for them, annex B with headers on every key picture, high profile with the
// 8x8 transform, the store's level, quantisers 0..45, average bit rate with VBV at twice the target.
bool openEncoder(const Stream &st, int fps, x264_t **enc)
{
    x264_param_t p;
    if (x264_param_default_preset(&p, st.preset.c_str(), "zerolatency") < 0) {
        std::fprintf(stderr, "x264_floor: unknown preset %s\n", st.preset.c_str());
        return false;
    }
    p.i_log_level = X264_LOG_ERROR;
    p.i_width = st.width;
    p.i_height = st.height;
    p.i_csp = X264_CSP_NV12;
    p.i_fps_num = static_cast<uint32_t>(fps * 1000);
    p.i_fps_den = 1000;
    p.b_vfr_input = 0;
    p.i_bframe = 0;
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_keyint_min = X264_KEYINT_MAX_INFINITE;
    p.i_scenecut_threshold = 0;
    p.b_repeat_headers = 1;
    p.b_annexb = 1;
    p.b_aud = 0;
    p.i_level_idc = st.levelIdc;
    p.analyse.b_transform_8x8 = 1;
    p.rc.i_qp_min = 0;
    p.rc.i_qp_max = 45;
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = st.kbps;
    p.rc.i_vbv_max_bitrate = 2 * st.kbps;
    p.rc.i_vbv_buffer_size = 2 * st.kbps * st.maxDelayMs / 1000;
    p.i_nal_hrd = X264_NAL_HRD_NONE;
    if (x264_param_apply_profile(&p, "high") < 0) {
        std::fprintf(stderr, "x264_floor: profile high refused\n");
        return false;
    }
    *enc = x264_encoder_open(&p);
    if (*enc == nullptr) {
        std::fprintf(stderr, "x264_floor: x264 cannot open %dx%d\n", st.width, st.height);
        return false;
    }
    return true;
}

int threadsOf(x264_t *enc)
{
    x264_param_t p;
    x264_encoder_parameters(enc, &p);
    return p.i_threads;
}

// Frame k of the stream's file, looped.
const uint8_t *frameOf(const Stream &st, int64_t k)
{
    return st.frames[static_cast<size_t>(k % static_cast<int64_t>(st.frames.size()))].get();
}

// One picture of frame k (from picture when given, else from the stream's own frames); false when x264
// fails.
bool encodeOne(x264_t *enc, const Stream &st, int64_t k, int intraInterval, size_t &bytes,
               const uint8_t *picture = nullptr)
{
    x264_picture_t pic;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    if (picture == nullptr) {
        picture = frameOf(st, k);
    }
    uint8_t *base = const_cast<uint8_t *>(picture);
    pic.img.plane[0] = base;
    pic.img.plane[1] = base + static_cast<size_t>(st.width) * st.height;
    pic.img.i_stride[0] = st.width;
    pic.img.i_stride[1] = st.width;
    pic.i_type = k % intraInterval == 0 ? X264_TYPE_IDR : X264_TYPE_AUTO;
    pic.i_pts = k;
    x264_picture_t out;
    x264_nal_t *nals = nullptr;
    int count = 0;
    int size = x264_encoder_encode(enc, &nals, &count, &pic, &out);
    if (size <= 0) {
        return false;
    }
    bytes += static_cast<size_t>(size);
    return true;
}

// The video thread's scheduling; true when the thread runs first-in-first-out.
bool scheduleAsVideoThread()
{
    setpriority(PRIO_PROCESS, 0, -20);
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO) - 1;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
}

double cpuNow()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

int64_t monoNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(int64_t ns)
{
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 13 && !(argc == 14 && std::strcmp(argv[13], "scale") == 0)) {
        return usage();
    }
    Options o;
    if (!parseSize(argv[2], o.main) || !parseSize(argv[6], o.second)) {
        return usage();
    }
    o.main.kbps = std::atoi(argv[3]);
    o.main.preset = argv[4];
    o.second.kbps = std::atoi(argv[7]);
    o.second.preset = argv[8];
    o.fps = std::atoi(argv[9]);
    o.intraInterval = std::atoi(argv[10]);
    o.seconds = std::atof(argv[11]);
    o.paced = std::strcmp(argv[12], "paced") == 0;
    o.scale = argc == 14;
    if (o.main.kbps <= 0 || o.second.kbps <= 0 || o.fps <= 0 || o.intraInterval <= 0 || o.seconds <= 0 ||
        (!o.paced && std::strcmp(argv[12], "unpaced") != 0)) {
        return usage();
    }
    // The store's defaults: level 4.0 for both streams, a one-second buffer.
    o.main.levelIdc = o.second.levelIdc = 40;
    o.main.maxDelayMs = o.second.maxDelayMs = 1000;
    if (!readFrames(argv[1], o.main) || !readFrames(argv[5], o.second)) {
        return 1;
    }
    Scaler scaler(o.main, o.second);
    if (o.scale && !scaler.ok()) {
        std::fprintf(stderr, "x264_floor: no scaler for %dx%d\n", o.second.width, o.second.height);
        return 1;
    }
    bool fifo = scheduleAsVideoThread();
    x264_t *main = nullptr;
    x264_t *second = nullptr;
    if (!openEncoder(o.main, o.fps, &main) || !openEncoder(o.second, o.fps, &second)) {
        return 1;
    }
    const int64_t period = 1000000000LL / o.fps;
    const int64_t start = monoNs();
    const int64_t windowStart = start + static_cast<int64_t>(kWarmUpSeconds * 1e9);
    const int64_t end = windowStart + static_cast<int64_t>(o.seconds * 1e9);
    int64_t windowFirst = -1;
    double cpu0 = 0;
    int64_t t0 = 0;
    size_t bytes = 0;
    int64_t k = 0;
    int64_t now = start;
    for (; now < end; k++) {
        if (o.paced) {
            sleepUntil(start + k * period);
        }
        if (windowFirst < 0 && monoNs() >= windowStart) {
            windowFirst = k;
            cpu0 = cpuNow();
            t0 = monoNs();
        }
        const uint8_t *secondPicture = nullptr;
        if (o.scale) {
            secondPicture = scaler.scale(frameOf(o.main, k));
        }
        if (!encodeOne(main, o.main, k, o.intraInterval, bytes) ||
            !encodeOne(second, o.second, k, o.intraInterval, bytes, secondPicture)) {
            std::fprintf(stderr, "x264_floor: x264 failed at frame %lld\n", static_cast<long long>(k));
            return 1;
        }
        now = monoNs();
    }
    double cpu = cpuNow() - cpu0;
    double seconds = (now - t0) / 1e9;
    std::printf("frames=%lld seconds=%.3f cpu=%.4f threads=%d/%d sched=%s bytes=%zu\n",
                static_cast<long long>(k - windowFirst), seconds, cpu, threadsOf(main), threadsOf(second),
                fifo ? "fifo" : "other", bytes);
    x264_encoder_close(main);
    x264_encoder_close(second);
    return 0;
}
