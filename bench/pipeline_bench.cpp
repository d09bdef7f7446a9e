// The whole video pipeline at 1920x1080, main stream plus a 640x480 second stream, against the ffmpeg
// command line doing the same job in the same run: the same raw NV12 frames from a file, libx264 with
// the same preset (on both streams), tune, bit rates, thread choice and the stream parameters ours
// sets, both streams, MPEG-TS to UDP on loopback.
//
// 1. Throughput: both run unpaced (ENCODE_PACING=off for ours; ffmpeg reads as fast as it can) for a
//    fixed time; frames out (time-stamped PES starts on the main video PID of what arrives over UDP), frames per
//    second and CPU milliseconds per frame (the child's user + system time).
// 2. Real time: ours paced at 30 frames a second with each encoder preset: does it deliver 30?
// 3. Latency: from each frame's time stamp (the time it was paced at, carried as its PTS) to the
//    arrival of its last datagram at a socket on loopback.
// 6. The outputs: the paced job with AAC over UDP alone against the same job with the TCP slots, the
//    RTSP hand-off and the recording on, a client on each; and with each of the three alone on top of
//    UDP, so that the extra cost is split by output.
// 5. Status and preview: the paced job with AAC, with the status document and the preview picture
//    (the default) against the same run with them off (ENCODE_STATUS=off), in alternated pairs: the
//    median ratio of CPU per frame.
// 7. 1080p60: the paced job with AAC at 60 frames a second (both streams coded at 60, a key picture a
//    second), each preset on both streams: does ours deliver 60, and its CPU per frame against ffmpeg's.
// 8. The floor: the same frames through two libx264 encoders alone, set up as ours sets them up
//    (x264_floor), paced alike; ours' CPU per frame against it, video alone and with AAC. CPU here is
//    taken over the measured window only (/proc for ours, the floor's own rusage), not over the whole
//    life of the process, so that start-up does not count against either side.
// 9. Spread: the paced 1080p30 job with AAC against ffmpeg three times: min, median and max ratio,
//    also with ffmpeg's cost of reading its input (measured alone) taken out of it, and the floor at 30
//    beside ffmpeg: the least ratio encode could give, and its own work against ffmpeg's.
// 4. With audio: the same job plus AAC-LC, 44100 Hz stereo at 128 kbit/s in the same TS (ours from the
//    virtual tone source, ffmpeg the same 16-bit samples from a file through its native aac encoder). Compared paced
//    at 30 frames a second (ffmpeg with -re on both inputs), the appliance's real job: unpaced, our
//    tone source returns every read at once, so the audio thread would encode many times the audio
//    ffmpeg does per picture and the figures would not compare. AAC frames arriving per second and per
//    picture show that both did the same audio work.
//
// CPU per frame is printed twice: over the child's whole life (its rusage, as the first figures were
// taken) and over the measured window alone ("window", from /proc), which leaves out start-up (the
// window opens a second after the first datagram, as the floor's after its warm-up second) and
// whatever the run waits for before its window, such as clients connecting.
//
// BENCH_ONLY=status|outputs|p60|floor|spread runs one part alone; BENCH_SECONDS sets the measured window
// (10 s) for a quick look.
#include "bench/bench_frames.h"
#include "encode/device/sound_device.h"
#include "encode/media/media.h"
#include "tests/support/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 60; // in the raw file, looped
// The measured window of each run: 10 s, or BENCH_SECONDS for a quick look.
double runSeconds()
{
    static const double seconds = [] {
        const char *v = std::getenv("BENCH_SECONDS");
        return v != nullptr && std::atof(v) > 0 ? std::atof(v) : 10.0;
    }();
    return seconds;
}
constexpr double kWarmUpSeconds = 1.0; // after the first datagram, before a window
constexpr int kPacket = 188;
constexpr int kFps = 30;
constexpr int kSecondWidth = 640;
constexpr int kSecondHeight = 480;
constexpr int kMainKbps = 4000;
constexpr int kSecondKbps = 800;
// The -y choice and the capture standard of 1080p at 30 and at 60 frames a second.
constexpr int kChoice1080p30 = 7;
constexpr int kStd1080p30 = 30;
constexpr int kChoice1080p60 = 6;
constexpr int kStd1080p60 = 34;
constexpr int kOurVideoPid = 0x64;
constexpr int kOurAudioPid = 0x66;
constexpr int kPeerVideoPid = 0x100;
constexpr int kPeerAudioPid = 0x102; // ffmpeg numbers its streams from 0x100: main, second, audio
constexpr int kNoPid = -1;
constexpr int kSampleRate = 44100;
constexpr int kAacFrameSamples = 1024;
constexpr int kAudioBitRate = 128000;
// ffmpeg's audio input: one second of the virtual tone source's own samples (its tones are whole
// hertz, so a second loops seamlessly). ffmpeg's own sine source would hand its AAC encoder
// unquantised samples, which that encoder codes for a third less CPU than the same sines in 16 bits
// (measured), and would spend its own CPU evaluating the sines.
std::string toneFileBeside(const std::string &raw)
{
    return (std::filesystem::path(raw).parent_path() / "tone.s16").string();
}

bool makeToneFile(const std::string &path)
{
    Sound_Attrs attrs = Sound_Attrs_STEREO_DEFAULT;
    attrs.sampleRate = kSampleRate;
    attrs.channels = 2;
    // Read the second at once; the children get the caller's pacing back.
    const char *given = std::getenv("ENCODE_PACING");
    const std::string pacing = given != nullptr ? given : "";
    setenv("ENCODE_PACING", "off", 1);
    std::unique_ptr<SoundDevice> tone = SoundVirtual_open("tone", attrs);
    if (given != nullptr) {
        setenv("ENCODE_PACING", pacing.c_str(), 1);
    } else {
        unsetenv("ENCODE_PACING");
    }
    std::vector<uint8_t> second(static_cast<size_t>(kSampleRate) * 2 * 2);
    if (tone == nullptr || tone->read(second.data(), kSampleRate) != Media_EOK) {
        return false;
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(second.data()), static_cast<std::streamsize>(second.size()));
    return static_cast<bool>(out);
}

double nowReal()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

// Receives datagrams and keeps, per PES start on one PID, its PTS and the arrival of the datagram that
// ended the frame before it.
class Receiver {
public:
    Receiver(int pid, int audioPid) : pid_(pid), audioPid_(audioPid)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 16 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Receiver()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }
    int frames() const { return frames_.load(); }
    int audioFrames() const { return audioFrames_.load(); }
    double firstArrival() const { return first_.load(); }
    // Milliseconds from each frame's stamp to the arrival of its last datagram.
    std::vector<double> latencies() const { return latencies_; }

private:
    void run()
    {
        std::vector<uint8_t> buf(65536);
        double lastArrival = 0;
        bool open = false;
        double openStamp = 0;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
            double at = nowReal();
            if (n <= 0) {
                continue;
            }
            if (first_.load() == 0) {
                first_ = at;
            }
            for (ssize_t i = 0; i + kPacket <= n; i += kPacket) {
                const uint8_t *pk = &buf[i];
                int pid = ((pk[1] & 0x1F) << 8) | pk[2];
                // A frame is a PES that carries a time stamp: ours cuts a frame above 65500 bytes (a
                // key picture) into several PES, and only the first carries one.
                if ((pk[1] & 0x40) == 0 || ptsHeader(pk) == nullptr) {
                    continue;
                }
                if (pid == audioPid_) {
                    audioFrames_++;
                }
                if (pid != pid_) {
                    continue;
                }
                if (open) {
                    latencies_.push_back((lastArrival - openStamp) * 1000);
                }
                open = true;
                openStamp = stampOf(pk, at);
                frames_++;
            }
            lastArrival = at;
        }
    }

    // The PES header of a packet that starts a PES with a PTS, or null.
    static const uint8_t *ptsHeader(const uint8_t *pk)
    {
        size_t off = 4;
        if ((pk[3] & 0x20) != 0) {
            off += 1 + pk[4];
        }
        const uint8_t *h = pk + off;
        return off + 14 <= kPacket && h[0] == 0 && h[1] == 0 && h[2] == 1 && (h[7] & 0x80) != 0 ? h : nullptr;
    }

    // The frame's stamp as a time of day: its 90 kHz PTS placed in the day the arrival is in.
    static double stampOf(const uint8_t *pk, double arrival)
    {
        const uint8_t *h = ptsHeader(pk);
        if (h == nullptr) {
            return arrival;
        }
        uint64_t pts = (uint64_t(h[9] & 0x0E) << 29) | (uint64_t(h[10]) << 22) | (uint64_t(h[11] & 0xFE) << 14) |
                       (uint64_t(h[12]) << 7) | (h[13] >> 1);
        const uint64_t wrap = uint64_t{1} << 33;
        uint64_t arrival90k = static_cast<uint64_t>(arrival * 90000) % wrap;
        uint64_t behind = (arrival90k + wrap - pts) % wrap;
        return arrival - behind / 90000.0;
    }

    int pid_;
    int audioPid_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> frames_{0};
    std::atomic<int> audioFrames_{0};
    std::atomic<double> first_{0};
    std::vector<double> latencies_;
    std::thread thread_;
};

struct Run {
    int frames = 0;
    int audioFrames = 0; // PES starts on the audio PID: one AAC frame each in both programs
    double seconds = 0;
    double cpuSeconds = 0;
    double windowCpuSeconds = 0; // over the measured window alone
    std::vector<double> latencies;
};

// A running child's user + system time so far, every thread of it; -1 when it cannot be read.
double cpuOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return -1;
    }
    // The command name may hold blanks: fields are counted from the closing parenthesis (state is 3).
    size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string f;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) {
            utime = std::stoull(f);
        } else if (i == 15) {
            stime = std::stoull(f);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Starts argv with the extra environment (before the inherited one, so that it wins), its output to
// /dev/null (or its standard output to outPath); -1 when it cannot be started.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &outPath = "")
{
    std::vector<std::string> store(argv);
    std::vector<char *> av;
    for (std::string &a : store) {
        av.push_back(a.data());
    }
    av.push_back(nullptr);
    std::vector<std::string> envStore(env);
    for (char **e = environ; *e != nullptr; e++) {
        envStore.emplace_back(*e);
    }
    std::vector<char *> envp;
    for (std::string &e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.empty() ? "/dev/null" : outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void endProcess(pid_t pid, int sig = SIGTERM)
{
    if (pid > 0) {
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
    }
}

// Starts argv with the extra environment, lets it deliver for runSeconds() after its first datagram,
// then SIGTERM; frames counted at the receiver, CPU from the child's rusage.
Run runFor(const std::vector<std::string> &argv, const std::vector<std::string> &env, Receiver &rx, double seconds,
           const std::function<void()> &streaming = nullptr)
{
    Run r;
    pid_t pid = spawn(argv, env);
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0].c_str());
        return r;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (rx.firstArrival() == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (streaming) {
        streaming();
    }
    // The process's first second of output is still start-up (libx264 and the buffers fault their
    // memory in: some 40 % above the steady CPU a second for encode); the floor leaves its own
    // first second out alike.
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    int before = rx.frames();
    int audioBefore = rx.audioFrames();
    double cpu0 = cpuOf(pid);
    double t0 = nowReal();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    r.frames = rx.frames() - before;
    r.audioFrames = rx.audioFrames() - audioBefore;
    r.seconds = nowReal() - t0;
    double cpu1 = cpuOf(pid);
    r.windowCpuSeconds = cpu0 >= 0 && cpu1 >= 0 ? cpu1 - cpu0 : 0;
    kill(pid, SIGTERM);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    r.cpuSeconds = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    r.latencies = rx.latencies();
    return r;
}

// A root laid for one job: the frame rate, both streams' bit rates and a key picture a second.
struct Root {
    std::string dir; // empty when it could not be laid
    int fps = kFps;
};

// Both streams are coded at the one preset, as the peer and the floor code them.
Root makeRoot(const std::string &dir, const char *quality, int fps = kFps)
{
    Root root{dir + "/root-" + quality + "-" + std::to_string(fps), fps};
    std::string cmd =
        "bash '" ENCODE_SOURCE_DIR "/scripts/mkroot.sh' '" + root.dir + "' '" ENCODE_BINARY_DIR "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        return {"", fps};
    }
    std::string f = std::to_string(fps);
    std::ofstream(root.dir + "/mnt/kavex_rs.ini") << "1 " << kSecondWidth << " " << kSecondHeight << " "
                                                  << kSecondKbps * 1000 << " " << f << " " << f << " " << f
                                                  << " 10 0 " << quality << " 40";
    std::ofstream(root.dir + "/mnt/kavex_rsc.ini") << "0 0";
    std::ofstream(root.dir + "/mnt/kavex_encQuality.ini") << quality; // '1' high speed, else high quality
    std::ofstream(root.dir + "/mnt/idr.ini") << f;
    return root;
}

enum class Audio { None, Aac };

Run ours(const Root &root, const std::string &raw, bool paced, Audio audio, double seconds, bool status = true,
         const std::vector<std::string> &extraEnv = {}, const std::function<void()> &streaming = nullptr)
{
    Receiver rx(kOurVideoPid, audio == Audio::Aac ? kOurAudioPid : kNoPid);
    bool at60 = root.fps == 60;
    std::string f = std::to_string(root.fps);
    std::vector<std::string> argv = {ENCODE_BINARY, "-v", "/tmp/main.264", "-y",
                                     std::to_string(at60 ? kChoice1080p60 : kChoice1080p30), "-I", "3", "-f", f, "-b",
                                     std::to_string(kMainKbps * 1000), "-i", f, "-z", "127.0.0.1", "-c",
                                     std::to_string(rx.port())};
    std::vector<std::string> env = {"ENCODE_ROOT=" + root.dir, "ENCODE_VIDEO_SOURCE=file:" + raw,
                                    "ENCODE_VIDEO_STD=" + std::to_string(at60 ? kStd1080p60 : kStd1080p30)};
    if (audio == Audio::Aac) {
        argv.insert(argv.end(), {"-a", "/tmp/x.aac", "-u", std::to_string(kSampleRate), "-p",
                                 std::to_string(kAudioBitRate)});
        env.push_back("ENCODE_AUDIO_SOURCE=tone");
    }
    if (!paced) {
        env.push_back("ENCODE_PACING=off");
    }
    if (!status) {
        env.push_back("ENCODE_STATUS=off");
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return runFor(argv, env, rx, seconds, streaming);
}

// Paced, ffmpeg reads both inputs at their native rate (-re); the AAC frames go one to a PES as ours
// do (a PES payload limit below one frame), so that PES starts count frames in both streams.
Run peer(const std::string &raw, const char *preset, bool paced, Audio audio, double seconds, int fps = kFps)
{
    Receiver rx(kPeerVideoPid, audio == Audio::Aac ? kPeerAudioPid : kNoPid);
    std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error"};
    if (paced) {
        argv.push_back("-re");
    }
    argv.insert(argv.end(), {"-f", "rawvideo", "-pix_fmt", "nv12", "-s", size, "-r", std::to_string(fps),
                             "-stream_loop", "-1", "-i", raw});
    if (audio == Audio::Aac) {
        if (paced) {
            argv.push_back("-re");
        }
        argv.insert(argv.end(), {"-f", "s16le", "-ar", std::to_string(kSampleRate), "-ac", "2", "-stream_loop", "-1",
                                 "-i", toneFileBeside(raw)});
    }
    // The streams ours codes (and the floor): high profile with the 8x8 transform, which the fastest
    // presets leave off, level 4.0, quantisers 0..45, VBV at twice the rate with a second's buffer,
    // key pictures once a second and nowhere else.
    std::string mainKbps = std::to_string(kMainKbps) + "k", mainPeak = std::to_string(2 * kMainKbps) + "k";
    std::string secondKbps = std::to_string(kSecondKbps) + "k", secondPeak = std::to_string(2 * kSecondKbps) + "k";
    argv.insert(argv.end(),
                {"-filter_complex", "[0:v]split=2[m][s];[s]scale=640:480[s2]", "-map", "[m]", "-map", "[s2]", "-c:v",
                 "libx264", "-preset", preset, "-tune", "zerolatency", "-profile:v", "high", "-level:v", "4.0", "-qmin",
                 "0", "-qmax", "45", "-g", std::to_string(fps), "-x264-params", "8x8dct=1:scenecut=0:bframes=0",
                 "-b:v:0", mainKbps, "-maxrate:v:0", mainPeak, "-bufsize:v:0", mainPeak, "-b:v:1", secondKbps,
                 "-maxrate:v:1", secondPeak, "-bufsize:v:1", secondPeak});
    if (audio == Audio::Aac) {
        argv.insert(argv.end(), {"-map", "1:a", "-c:a", "aac", "-b:a", std::to_string(kAudioBitRate), "-ar",
                                 std::to_string(kSampleRate), "-ac", "2", "-pes_payload_size", "0"});
    }
    argv.insert(argv.end(), {"-f", "mpegts", "udp://127.0.0.1:" + std::to_string(rx.port()) + "?pkt_size=1316"});
    return runFor(argv, {}, rx, seconds);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

double cpuPerFrame(const Run &r)
{
    return r.cpuSeconds / std::max(r.frames, 1);
}

double windowCpuPerFrame(const Run &r)
{
    return r.windowCpuSeconds * 1000 / std::max(r.frames, 1);
}

void addTo(Run &sum, const Run &r)
{
    sum.frames += r.frames;
    sum.audioFrames += r.audioFrames;
    sum.seconds += r.seconds;
    sum.cpuSeconds += r.cpuSeconds;
    sum.windowCpuSeconds += r.windowCpuSeconds;
}

void print(const char *name, const Run &r)
{
    double fps = r.seconds > 0 ? r.frames / r.seconds : 0;
    double ms = r.frames > 0 ? r.cpuSeconds * 1000 / r.frames : 0;
    double windowMs = r.frames > 0 ? r.windowCpuSeconds * 1000 / r.frames : 0;
    std::printf("  %-28s %6d frames in %5.2f s: %6.1f fps, %6.1f CPU ms/frame (window %.1f)", name, r.frames,
                r.seconds, fps, ms, windowMs);
    if (r.audioFrames > 0) {
        std::printf(", %5.1f AAC frames/s (%.2f per picture)", r.audioFrames / r.seconds,
                    r.frames > 0 ? static_cast<double>(r.audioFrames) / r.frames : 0);
    }
    std::printf("\n");
}

void printRatio(const Run &a, const Run &b)
{
    double fa = a.frames / a.seconds;
    double fb = b.frames / b.seconds;
    double ca = a.cpuSeconds / std::max(a.frames, 1);
    double cb = b.cpuSeconds / std::max(b.frames, 1);
    double wa = a.windowCpuSeconds / std::max(a.frames, 1);
    double wb = b.windowCpuSeconds / std::max(b.frames, 1);
    std::printf("  ratio encode/ffmpeg: %.2fx frames per second, %.2fx CPU per frame (window %.2fx)\n",
                fb > 0 ? fa / fb : 0, cb > 0 ? ca / cb : 0, wb > 0 ? wa / wb : 0);
}

struct Preset {
    const char *name;
    const char *quality; // kavex_encQuality.ini
};

void videoOnly(const Preset &p, const Root &root, const std::string &raw)
{
    Run a = ours(root, raw, false, Audio::None, runSeconds());
    Run b = peer(raw, p.name, false, Audio::None, runSeconds());
    std::printf("throughput, preset %s, unpaced:\n", p.name);
    print("encode", a);
    print("ffmpeg (same job)", b);
    printRatio(a, b);

    Run rt = ours(root, raw, true, Audio::None, runSeconds());
    double rate = rt.frames / rt.seconds;
    std::printf("real time, preset %s, paced at 30: %.1f fps delivered -> %s\n", p.name, rate,
                rate >= 29.5 ? "holds 1080p30 + second" : "does NOT hold 1080p30 + second");
    std::printf("latency, preset %s: stamp to last datagram median %.1f ms, 95th percentile %.1f ms (%zu frames)\n",
                p.name, percentile(rt.latencies, 0.5), percentile(rt.latencies, 0.95), rt.latencies.size());
}

void withAac(const Preset &p, const Root &root, const std::string &raw)
{
    Run a = ours(root, raw, true, Audio::Aac, runSeconds());
    Run b = peer(raw, p.name, true, Audio::Aac, runSeconds());
    double expected = static_cast<double>(kSampleRate) / kAacFrameSamples;
    std::printf("with AAC 44100 Hz stereo 128 kbit/s, preset %s, paced at 30 (%.1f AAC frames/s due):\n", p.name,
                expected);
    print("encode", a);
    print("ffmpeg (same job, -re)", b);
    printRatio(a, b);
}

// Alternated in pairs, so that a change in the machine's other load falls on both sides alike; the
// median of the pairs' ratios, since one disturbed run would move a plain mean by more than the cost
// being measured.
void statusCost(const Preset &p, const Root &root, const std::string &raw)
{
    constexpr int kPairs = 3;
    Run with{}, without{};
    std::vector<double> ratios;
    for (int i = 0; i < kPairs; i++) {
        Run pair[2];
        for (bool status : {false, true}) {
            Run r = ours(root, raw, true, Audio::Aac, runSeconds(), status);
            pair[status ? 1 : 0] = r;
            addTo(status ? with : without, r);
        }
        double off = pair[0].cpuSeconds / std::max(pair[0].frames, 1);
        double on = pair[1].cpuSeconds / std::max(pair[1].frames, 1);
        ratios.push_back(off > 0 ? on / off : 0);
    }
    std::printf("status document and preview, preset %s, paced at 30 with AAC:\n", p.name);
    print("encode, status on", with);
    print("encode, ENCODE_STATUS=off", without);
    std::printf("  ratio on/off: %.3fx CPU per frame (median of %d alternated pairs)\n", percentile(ratios, 0.5), kPairs);
}

// A reader of one stream slot, for as long as the run lasts.
class SlotReader {
public:
    explicit SlotReader(int port) : thread_([this, port] { run(port); }) {}
    ~SlotReader()
    {
        stop_ = true;
        thread_.join();
    }
    size_t bytes() const { return bytes_; }

private:
    void run(int port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        int fd = -1;
        while (!stop_ && fd < 0) {
            fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
                close(fd);
                fd = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        std::vector<char> buf(1 << 16);
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0) {
                    break;
                }
                bytes_ += static_cast<size_t>(n);
            }
        }
        close(fd);
    }
    std::atomic<bool> stop_{false};
    std::atomic<size_t> bytes_{0};
    std::thread thread_;
};

// Which outputs a run of the outputs' cost has on, besides UDP.
struct Outputs {
    const char *name;
    bool slots;
    bool handoff;
    bool recording;
};

// One paced run with AAC and the given outputs, each with its client: the TCP slots (tagged) with a
// reader on the main stream's slot 1 and on the audio's, the RTSP hand-off read by rtsp_server with a
// player pulling the stream over TCP, the recording. A missing client or an empty recording is said.
Run outputsRun(const Root &root, const std::string &raw, int offset, const Outputs &o)
{
    std::ofstream(root.dir + "/mnt/tcp.ini") << (o.slots ? "1" : "0");
    std::ofstream(root.dir + "/mnt/rtsp.ini") << (o.handoff ? "1" : "0");
    std::ofstream(root.dir + "/mnt/tsf.ini") << (o.recording ? "1" : "0");
    std::ofstream(root.dir + "/mnt/rtsporrtmp.ini") << "0";
    std::ofstream(root.dir + "/mnt/fn") << "export f=bench\n";
    std::filesystem::remove(root.dir + "/mnt/usb/record/bench.ts");
    int rtspPort = freeLoopbackPort();
    pid_t server = -1;
    if (o.handoff) {
        server = spawn({ENCODE_BINARY_DIR "/rtsp/rtsp_server", "--address", "127.0.0.1", "--port",
                        std::to_string(rtspPort)},
                       {"ENCODE_ROOT=" + root.dir});
    }
    pid_t player = -1;
    std::unique_ptr<SlotReader> video, audio;
    Run r = ours(root, raw, true, Audio::Aac, runSeconds(), true,
                 {"ENCODE_PORT_OFFSET=" + std::to_string(offset), "ENCODE_BIND_ADDRESS=127.0.0.1"}, [&] {
                     if (o.slots) {
                         video = std::make_unique<SlotReader>(8888 + offset);
                         audio = std::make_unique<SlotReader>(9999 + offset);
                     }
                     if (o.handoff) {
                         player = spawn({"ffmpeg", "-nostdin", "-v", "quiet", "-rtsp_transport", "tcp", "-i",
                                         "rtsp://127.0.0.1:" + std::to_string(rtspPort) + "/live", "-c", "copy",
                                         "-f", "null", "-"},
                                        {});
                     }
                     // Every set waits alike, clients or not: the first seconds of a run cost more
                     // a frame than the later ones, so the windows must lie at the same place.
                     std::this_thread::sleep_for(std::chrono::seconds(2));
                 });
    size_t slotBytes = video ? video->bytes() : 0;
    video.reset();
    audio.reset();
    endProcess(player, SIGKILL); // a player whose server has gone waits on the network
    endProcess(server);
    std::error_code ec;
    uintmax_t recorded = std::filesystem::file_size(root.dir + "/mnt/usb/record/bench.ts", ec);
    if ((o.slots && slotBytes == 0) || (o.recording && (ec || recorded == 0))) {
        std::printf("  (%s: an output had no client or no file: slot %zu bytes, recording %ju bytes)\n", o.name,
                    slotBytes, ec ? uintmax_t{0} : recorded);
    }
    return r;
}

// The cost of the outputs: the paced job with AAC and UDP alone, against the same job with each output
// alone on top of UDP and with all of them (the fault suite's main run of outputs), each with its
// client. The encoder's own CPU per frame over the measured window, which starts 2 s into every run
// (the clients' time to connect): over the whole life, that wait (CPU, no frames counted) came to some
// 3 ms a frame of seeming output cost when only the runs with clients waited. Every round runs each
// set once, right after UDP alone, so that each ratio and each extra cost is taken against the UDP run
// of its own round.
void outputsCost(const std::string &dir, const std::string &raw)
{
    Root root = makeRoot(dir + "/outputs", "0");
    std::filesystem::create_directories(root.dir + "/mnt/usb/record");
    constexpr int kRounds = 3;
    const Outputs sets[] = {{"TCP slots", true, false, false},
                            {"RTSP hand-off", false, true, false},
                            {"recording", false, false, true},
                            {"every output", true, true, true}};
    constexpr size_t kSets = std::size(sets);
    // The slots the readers use, main stream 1 and audio 1, free at the offset.
    int offset = freePortOffset({8888, 9999});
    if (offset < 0) {
        std::printf("the outputs' cost: no free loopback ports for the slots\n");
        return;
    }
    Run alone{};
    Run with[kSets]{};
    std::vector<double> ratios[kSets], extras[kSets], lifeRatios[kSets];
    for (int i = 0; i < kRounds; i++) {
        for (size_t k = 0; k < kSets; k++) {
            Run a = outputsRun(root, raw, offset, {"UDP alone", false, false, false});
            Run b = outputsRun(root, raw, offset, sets[k]);
            addTo(alone, a);
            addTo(with[k], b);
            ratios[k].push_back(windowCpuPerFrame(a) > 0 ? windowCpuPerFrame(b) / windowCpuPerFrame(a) : 0);
            extras[k].push_back(windowCpuPerFrame(b) - windowCpuPerFrame(a));
            lifeRatios[k].push_back(cpuPerFrame(a) > 0 ? cpuPerFrame(b) / cpuPerFrame(a) : 0);
        }
    }
    std::printf("the outputs' cost, preset superfast, paced at 30 with AAC (%d rounds, each set right after UDP "
                "alone):\n",
                kRounds);
    print("encode, UDP alone", alone);
    double singles = 0;
    for (size_t k = 0; k < kSets; k++) {
        std::string name = std::string("encode, UDP + ") + sets[k].name;
        print(name.c_str(), with[k]);
        std::printf("    window: %.3fx CPU per frame, %+.2f ms per frame (medians of the pairs; pairs' extra %+.2f .. "
                    "%+.2f); whole life %.3fx\n",
                    percentile(ratios[k], 0.5), percentile(extras[k], 0.5), percentile(extras[k], 0),
                    percentile(extras[k], 1), percentile(lifeRatios[k], 0.5));
        if (k + 1 < kSets) {
            singles += percentile(extras[k], 0.5);
        }
    }
    std::printf("  window: the three alone add up to %+.2f ms per frame; all together %+.2f\n", singles,
                percentile(extras[kSets - 1], 0.5));
}

// A raw file of the main frames scaled to the second stream's size once, for the floor: libswscale's
// area filter, the exact area downscale that encode's own resizer makes (within its rounding), so that
// the floor's second encoder codes the picture encode's does.
std::string makeSecondFrames(const std::string &dir, const std::string &raw)
{
    std::string out = dir + "/second.nv12";
    std::string cmd = "ffmpeg -nostdin -v error -f rawvideo -pix_fmt nv12 -s " + std::to_string(kWidth) + "x" +
                      std::to_string(kHeight) + " -i '" + raw + "' -vf scale=" + std::to_string(kSecondWidth) + ":" +
                      std::to_string(kSecondHeight) + ":flags=area -pix_fmt nv12 -f rawvideo -y '" + out + "'";
    return std::system(cmd.c_str()) == 0 ? out : "";
}

struct FloorRun {
    Run run; // windowCpuSeconds and cpuSeconds both the floor's window
    std::string threads;
    bool ok = false;
};

// The two encoders alone for `seconds` (after the floor's own warm-up second), paced at fps; with
// scale, the second picture scaled from the main one in every frame as the pipeline does.
FloorRun floorRun(const std::string &dir, const std::string &raw, const std::string &second, const char *preset,
                  int fps, bool scale, double seconds)
{
    FloorRun f;
    std::string out = dir + "/floor.out";
    std::string mainSize = std::to_string(kWidth) + "x" + std::to_string(kHeight);
    std::string secondSize = std::to_string(kSecondWidth) + "x" + std::to_string(kSecondHeight);
    std::vector<std::string> argv = {FLOOR_BINARY, raw, mainSize, std::to_string(kMainKbps), preset, second,
                                     secondSize, std::to_string(kSecondKbps), preset, std::to_string(fps),
                                     std::to_string(fps), std::to_string(seconds), "paced"};
    if (scale) {
        argv.emplace_back("scale");
    }
    pid_t pid = spawn(argv, {}, out);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the floor program failed (see its messages by running %s)\n", FLOOR_BINARY);
        return f;
    }
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    long long frames = 0;
    double measured = 0;
    double cpu = 0;
    char threads[32] = "";
    char sched[16] = "";
    if (std::sscanf(line.c_str(), "frames=%lld seconds=%lf cpu=%lf threads=%31s sched=%15s", &frames, &measured, &cpu,
                    threads, sched) != 5) {
        std::fprintf(stderr, "the floor program said \"%s\"\n", line.c_str());
        return f;
    }
    f.run.frames = static_cast<int>(frames);
    f.run.seconds = measured;
    f.run.cpuSeconds = f.run.windowCpuSeconds = cpu;
    f.threads = std::string(threads) + ", " + sched;
    f.ok = true;
    return f;
}

// 1080p60 with the second stream and AAC, paced: does ours deliver 60, and at what CPU per frame
// against ffmpeg doing the same job right after it.
void at60(const Preset &p, const std::string &dir, const std::string &raw)
{
    Root root = makeRoot(dir, p.quality, 60);
    Run a = ours(root, raw, true, Audio::Aac, runSeconds());
    Run b = peer(raw, p.name, true, Audio::Aac, runSeconds(), 60);
    double rate = a.frames / a.seconds;
    std::printf("1080p60 + second at 60 + AAC, preset %s on both streams, paced at 60:\n", p.name);
    print("encode", a);
    print("ffmpeg (same job, -re)", b);
    printRatio(a, b);
    std::printf("  real time: %.1f fps delivered -> %s\n", rate,
                rate >= 59 ? "holds 1080p60 + second" : "does NOT hold 1080p60 + second");
}

// Ours against the floor at 60, video alone and with AAC, in rounds of floor, ours, ours + AAC, floor
// with the per-frame scaling, every other round in the reverse order: ours' video always runs right
// next to the floor it is measured against, and a machine growing slower or faster over a round weighs
// on both sides alike. CPU over the measured windows on both sides, each ratio against the floor of its
// own round. Single rounds move by 10-20 % with the machine's other load, so there are many short ones
// rather than a few long ones.
void floorCost(const Preset &p, const std::string &dir, const std::string &raw, const std::string &second)
{
    constexpr int kRounds = 9;
    const double seconds = std::min(runSeconds(), 6.0);
    Root root = makeRoot(dir, p.quality, 60);
    Run floorSum{}, scaledSum{}, videoSum{}, aacSum{};
    std::vector<double> scaledRatios, videoRatios, aacRatios;
    std::string threads;
    for (int i = 0; i < kRounds; i++) {
        FloorRun f, fs;
        Run v, a;
        std::function<void()> steps[] = {
            [&] { f = floorRun(dir, raw, second, p.name, 60, false, seconds); },
            [&] { v = ours(root, raw, true, Audio::None, seconds); },
            [&] { a = ours(root, raw, true, Audio::Aac, seconds); },
            [&] { fs = floorRun(dir, raw, second, p.name, 60, true, seconds); },
        };
        if (i % 2 == 1) {
            std::reverse(std::begin(steps), std::end(steps));
        }
        for (auto &step : steps) {
            step();
        }
        if (!f.ok || !fs.ok) {
            return;
        }
        threads = f.threads;
        addTo(floorSum, f.run);
        addTo(scaledSum, fs.run);
        addTo(videoSum, v);
        addTo(aacSum, a);
        double base = windowCpuPerFrame(f.run);
        scaledRatios.push_back(base > 0 ? windowCpuPerFrame(fs.run) / base : 0);
        videoRatios.push_back(base > 0 ? windowCpuPerFrame(v) / base : 0);
        aacRatios.push_back(base > 0 ? windowCpuPerFrame(a) / base : 0);
    }
    std::printf("the floor: both encoders alone (x264 threads %s), preset %s, paced at 60, %d rounds of %.0f s:\n",
                threads.c_str(), p.name, kRounds, seconds);
    const double floorMs = windowCpuPerFrame(floorSum);
    auto line = [floorMs](const char *name, const Run &r, const std::vector<double> &ratios) {
        std::printf("  %-30s %5d frames in %6.2f s: %5.1f fps, %6.2f CPU ms/frame", name, r.frames, r.seconds,
                    r.frames / std::max(r.seconds, 1e-9), windowCpuPerFrame(r));
        if (!ratios.empty()) {
            std::printf(", %.3fx the floor (pairs %.3f .. %.3f; all rounds together %.3fx)", percentile(ratios, 0.5),
                        percentile(ratios, 0), percentile(ratios, 1),
                        floorMs > 0 ? windowCpuPerFrame(r) / floorMs : 0);
        }
        std::printf("\n");
    };
    line("x264 alone (floor)", floorSum, {});
    line("x264 + scaling the second", scaledSum, scaledRatios);
    line("encode, video", videoSum, videoRatios);
    line("encode, video + AAC", aacSum, aacRatios);
    std::printf("  (CPU over the measured window; ratios are medians of the rounds' pairs; goal: encode video within "
                "1.08x)\n");
}

// What ffmpeg pays to read its frames: the same input, paced alike, copied to the null output and
// nothing else done with it. CPU milliseconds per frame over a window after a second of start-up.
double peerReadingMs(const std::string &raw, double seconds)
{
    std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
    pid_t pid = spawn({"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "rawvideo", "-pix_fmt", "nv12", "-s", size,
                       "-r", std::to_string(kFps), "-stream_loop", "-1", "-i", raw, "-c", "copy", "-f", "null", "-"},
                      {});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double cpu0 = cpuOf(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double cpu1 = cpuOf(pid);
    endProcess(pid);
    return cpu0 >= 0 && cpu1 >= 0 ? (cpu1 - cpu0) * 1000 / (seconds * kFps) : 0;
}

// The paced 1080p30 job with AAC against ffmpeg, three times: the spread of one run's ratio, and the
// same with what each side pays to read its input taken out of it (encode's virtual capture holds
// the file's frames in memory from the start, as the floor does, and reads nothing per frame; ffmpeg
// reads the file as it goes). Each run also has the two encoders alone (the floor, at 30) beside
// ffmpeg: the ratio encode would give if all of its own work, the AAC encoder's included, cost nothing,
// and how much of ffmpeg's work outside libx264 encode's own work comes to.
void spread(const Preset &p, const Root &root, const std::string &dir, const std::string &raw,
            const std::string &second)
{
    constexpr int kRuns = 3;
    std::vector<double> ratios, windowRatios, readingMs, withoutReading, floorRatios, ownRatios;
    Run oursSum{}, peerSum{}, floorSum{};
    for (int i = 0; i < kRuns; i++) {
        Run a = ours(root, raw, true, Audio::Aac, runSeconds());
        Run b = peer(raw, p.name, true, Audio::Aac, runSeconds());
        FloorRun f = floorRun(dir, raw, second, p.name, kFps, false, runSeconds());
        addTo(oursSum, a);
        addTo(peerSum, b);
        double reading = peerReadingMs(raw, runSeconds());
        readingMs.push_back(reading);
        ratios.push_back(cpuPerFrame(b) > 0 ? cpuPerFrame(a) / cpuPerFrame(b) : 0);
        double ourMs = windowCpuPerFrame(a), peerMs = windowCpuPerFrame(b), floorMs = windowCpuPerFrame(f.run);
        windowRatios.push_back(peerMs > 0 ? ourMs / peerMs : 0);
        double peerWithout = peerMs - reading;
        withoutReading.push_back(peerWithout > 0 ? ourMs / peerWithout : 0);
        if (f.ok && peerMs > 0) {
            addTo(floorSum, f.run);
            floorRatios.push_back(floorMs / peerMs);
            ownRatios.push_back(peerMs > floorMs ? (ourMs - floorMs) / (peerMs - floorMs) : 0);
        }
    }
    std::printf("encode/ffmpeg, preset %s, paced 1080p30 + second + AAC, %d runs:\n", p.name, kRuns);
    print("encode", oursSum);
    print("ffmpeg (same job, -re)", peerSum);
    std::printf("  CPU per frame ratio: min %.3fx, median %.3fx, max %.3fx (window: %.3fx, %.3fx, %.3fx)\n",
                percentile(ratios, 0), percentile(ratios, 0.5), percentile(ratios, 1), percentile(windowRatios, 0),
                percentile(windowRatios, 0.5), percentile(windowRatios, 1));
    std::printf("  reading the input: encode 0 (frames in memory), ffmpeg %.2f CPU ms/frame (median; -c copy to null)\n"
                "  window ratio with it taken out of ffmpeg: min %.3fx, median %.3fx, max %.3fx\n",
                percentile(readingMs, 0.5), percentile(withoutReading, 0), percentile(withoutReading, 0.5),
                percentile(withoutReading, 1));
    if (!floorRatios.empty()) {
        std::printf("  the two encoders alone (floor, %.2f CPU ms/frame) over ffmpeg: min %.3fx, median %.3fx, max "
                    "%.3fx\n"
                    "  encode's own work (all but the floor) over ffmpeg's: min %.3fx, median %.3fx, max %.3fx\n",
                    windowCpuPerFrame(floorSum), percentile(floorRatios, 0), percentile(floorRatios, 0.5),
                    percentile(floorRatios, 1), percentile(ownRatios, 0), percentile(ownRatios, 0.5),
                    percentile(ownRatios, 1));
    }
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/pipeline-bench-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (dir == nullptr) {
        return 1;
    }
    std::string raw = std::string(dir) + "/frames.nv12";
    if (!BenchFrames_make(raw, kFrames) || !makeToneFile(toneFileBeside(raw))) {
        std::fprintf(stderr, "cannot make the raw frames and sound\n");
        return 1;
    }
    std::printf("1920x1080 NV12 from a file (test picture with noise), main 4 Mbit/s + 640x480 at 800 kbit/s,\n"
                "zerolatency, TS over UDP\n");
    std::printf("(%u cores; x264 chooses its own thread count in both programs)\n",
                std::thread::hardware_concurrency());

    // BENCH_ONLY names one part to run alone; unset, every part runs.
    const char *onlyValue = std::getenv("BENCH_ONLY");
    std::string only = onlyValue != nullptr ? onlyValue : "";
    const char *parts[] = {"jobs", "status", "outputs", "p60", "floor", "spread"};
    if (!only.empty() && std::find(std::begin(parts), std::end(parts), only) == std::end(parts)) {
        std::fprintf(stderr, "BENCH_ONLY=%s: no such part (jobs, status, outputs, p60, floor, spread)\n",
                     only.c_str());
        std::system(("rm -rf '" + std::string(dir) + "'").c_str());
        return 2;
    }
    auto runs = [&only](const char *part) { return only.empty() || only == part; };
    std::string second;
    if (runs("floor") || runs("spread")) {
        second = makeSecondFrames(dir, raw);
        if (second.empty()) {
            std::fprintf(stderr, "cannot make the second stream's frames\n");
            std::system(("rm -rf '" + std::string(dir) + "'").c_str());
            return 1;
        }
    }
    const Preset presets[] = {{"superfast", "0"}, {"ultrafast", "1"}};
    for (const Preset &p : presets) {
        Root root = makeRoot(dir, p.quality);
        if (runs("jobs")) {
            videoOnly(p, root, raw);
            withAac(p, root, raw);
        }
        if (p.quality[0] == '0' && runs("status")) {
            statusCost(p, root, raw);
        }
    }
    for (const Preset &p : presets) {
        if (runs("p60")) {
            at60(p, dir, raw);
        }
    }
    for (const Preset &p : presets) {
        if (runs("floor")) {
            floorCost(p, dir, raw, second);
        }
    }
    for (const Preset &p : presets) {
        if (runs("spread")) {
            spread(p, makeRoot(dir, p.quality), dir, raw, second);
        }
    }
    if (runs("outputs")) {
        outputsCost(dir, raw);
    }
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    return 0;
}
