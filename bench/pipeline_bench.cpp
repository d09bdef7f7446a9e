// The whole video pipeline at 1920x1080, main stream plus a 640x480 second stream, against the ffmpeg
// command line doing the same job in the same run: the same raw NV12 frames from a file, libx264 with
// the same preset, tune, bit rates and thread choice, both streams, MPEG-TS to UDP on loopback.
//
// 1. Throughput: both run unpaced (ENCODE_PACING=off for ours; ffmpeg reads as fast as it can) for a
//    fixed time; frames out (PES starts on the main video PID of what arrives over UDP), frames per
//    second and CPU milliseconds per frame (the child's user + system time).
// 2. Real time: ours paced at 30 frames a second with each encoder preset: does it deliver 30?
// 3. Latency: from each frame's time stamp (the time it was paced at, carried as its PTS) to the
//    arrival of its last datagram at a socket on loopback.
// 6. The outputs: the paced job with AAC over UDP alone against the same job with the TCP slots, the
//    RTSP hand-off and the recording on, a client on each.
// 5. Status and preview: the paced job with AAC, with the status document and the preview picture
//    (the default) against the same run with them off (ENCODE_STATUS=off), in alternated pairs: the
//    median ratio of CPU per frame.
// 4. With audio: the same job plus AAC-LC, 44100 Hz stereo at 128 kbit/s in the same TS (ours from the
//    virtual tone source, ffmpeg from the same two sines through its native aac encoder). Compared paced
//    at 30 frames a second (ffmpeg with -re on both inputs), the appliance's real job: unpaced, our
//    tone source returns every read at once, so the audio thread would encode many times the audio
//    ffmpeg does per picture and the figures would not compare. AAC frames arriving per second and per
//    picture show that both did the same audio work.
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
#include <memory>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 60; // in the raw file, looped
constexpr double kRunSeconds = 10.0;
constexpr int kPacket = 188;
constexpr int kFps = 30;
constexpr int kOurVideoPid = 0x64;
constexpr int kOurAudioPid = 0x66;
constexpr int kPeerVideoPid = 0x100;
constexpr int kPeerAudioPid = 0x102; // ffmpeg numbers its streams from 0x100: main, second, audio
constexpr int kNoPid = -1;
constexpr int kSampleRate = 44100;
constexpr int kAacFrameSamples = 1024;
constexpr int kAudioBitRate = 128000;
// The virtual tone source's signal: 440 Hz left, 660 Hz right, a quarter of full scale.
constexpr const char *kToneFilter = "aevalsrc=0.25*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=44100:c=stereo";

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
                if ((pk[1] & 0x40) == 0) {
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

    // The frame's stamp as a time of day: its 90 kHz PTS placed in the day the arrival is in.
    static double stampOf(const uint8_t *pk, double arrival)
    {
        size_t off = 4;
        if ((pk[3] & 0x20) != 0) {
            off += 1 + pk[4];
        }
        const uint8_t *h = pk + off;
        if (off + 14 > kPacket || (h[7] & 0x80) == 0) {
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
    std::vector<double> latencies;
};

// Starts argv with the extra environment (before the inherited one, so that it wins), its output to
// /dev/null; -1 when it cannot be started.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env)
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
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
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

// Starts argv with the extra environment, lets it deliver for kRunSeconds after its first datagram,
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
    int before = rx.frames();
    int audioBefore = rx.audioFrames();
    double t0 = nowReal();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    r.frames = rx.frames() - before;
    r.audioFrames = rx.audioFrames() - audioBefore;
    r.seconds = nowReal() - t0;
    kill(pid, SIGTERM);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    r.cpuSeconds = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    r.latencies = rx.latencies();
    return r;
}

std::string makeRoot(const std::string &dir, const char *quality)
{
    std::string root = dir + "/root-" + quality;
    std::string cmd = "bash '" ENCODE_SOURCE_DIR "/scripts/mkroot.sh' '" + root + "' '" ENCODE_BINARY_DIR "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        return "";
    }
    std::ofstream(root + "/mnt/kavex_rs.ini") << "1 640 480 800000 30 30 30 10 0 0 40";
    std::ofstream(root + "/mnt/kavex_rsc.ini") << "0 0";
    std::ofstream(root + "/mnt/kavex_encQuality.ini") << quality; // '1' high speed, else high quality
    std::ofstream(root + "/mnt/idr.ini") << "30";
    return root;
}

enum class Audio { None, Aac };

Run ours(const std::string &root, const std::string &raw, bool paced, Audio audio, double seconds,
         bool status = true, const std::vector<std::string> &extraEnv = {},
         const std::function<void()> &streaming = nullptr)
{
    Receiver rx(kOurVideoPid, audio == Audio::Aac ? kOurAudioPid : kNoPid);
    std::vector<std::string> argv = {ENCODE_BINARY, "-v", "/tmp/main.264", "-y", "7", "-I", "3", "-f", "30",
                                     "-b", "4000000", "-i", "30", "-z", "127.0.0.1", "-c", std::to_string(rx.port())};
    std::vector<std::string> env = {"ENCODE_ROOT=" + root, "ENCODE_VIDEO_SOURCE=file:" + raw, "ENCODE_VIDEO_STD=30"};
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
Run peer(const std::string &raw, const char *preset, bool paced, Audio audio, double seconds)
{
    Receiver rx(kPeerVideoPid, audio == Audio::Aac ? kPeerAudioPid : kNoPid);
    std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error"};
    if (paced) {
        argv.push_back("-re");
    }
    argv.insert(argv.end(), {"-f", "rawvideo", "-pix_fmt", "nv12", "-s", size, "-r", std::to_string(kFps),
                             "-stream_loop", "-1", "-i", raw});
    if (audio == Audio::Aac) {
        if (paced) {
            argv.push_back("-re");
        }
        argv.insert(argv.end(), {"-f", "lavfi", "-i", kToneFilter});
    }
    argv.insert(argv.end(), {"-filter_complex", "[0:v]split=2[m][s];[s]scale=640:480[s2]", "-map", "[m]", "-c:v:0",
                             "libx264", "-preset", preset, "-tune", "zerolatency", "-b:v:0", "4M", "-g", "30", "-map",
                             "[s2]", "-c:v:1", "libx264", "-b:v:1", "800k"});
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

void print(const char *name, const Run &r)
{
    double fps = r.seconds > 0 ? r.frames / r.seconds : 0;
    double ms = r.frames > 0 ? r.cpuSeconds * 1000 / r.frames : 0;
    std::printf("  %-28s %6d frames in %5.2f s: %6.1f fps, %6.1f CPU ms/frame", name, r.frames, r.seconds, fps, ms);
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
    std::printf("  ratio encode/ffmpeg: %.2fx frames per second, %.2fx CPU per frame\n", fb > 0 ? fa / fb : 0,
                cb > 0 ? ca / cb : 0);
}

struct Preset {
    const char *name;
    const char *quality; // kavex_encQuality.ini
};

void videoOnly(const Preset &p, const std::string &root, const std::string &raw)
{
    Run a = ours(root, raw, false, Audio::None, kRunSeconds);
    Run b = peer(raw, p.name, false, Audio::None, kRunSeconds);
    std::printf("throughput, preset %s, unpaced:\n", p.name);
    print("encode", a);
    print("ffmpeg (same job)", b);
    printRatio(a, b);

    Run rt = ours(root, raw, true, Audio::None, kRunSeconds);
    double rate = rt.frames / rt.seconds;
    std::printf("real time, preset %s, paced at 30: %.1f fps delivered -> %s\n", p.name, rate,
                rate >= 29.5 ? "holds 1080p30 + second" : "does NOT hold 1080p30 + second");
    std::printf("latency, preset %s: stamp to last datagram median %.1f ms, 95th percentile %.1f ms (%zu frames)\n",
                p.name, percentile(rt.latencies, 0.5), percentile(rt.latencies, 0.95), rt.latencies.size());
}

void withAac(const Preset &p, const std::string &root, const std::string &raw)
{
    Run a = ours(root, raw, true, Audio::Aac, kRunSeconds);
    Run b = peer(raw, p.name, true, Audio::Aac, kRunSeconds);
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
void statusCost(const Preset &p, const std::string &root, const std::string &raw)
{
    constexpr int kPairs = 3;
    Run with{}, without{};
    std::vector<double> ratios;
    for (int i = 0; i < kPairs; i++) {
        Run pair[2];
        for (bool status : {false, true}) {
            Run r = ours(root, raw, true, Audio::Aac, kRunSeconds, status);
            pair[status ? 1 : 0] = r;
            Run &sum = status ? with : without;
            sum.frames += r.frames;
            sum.seconds += r.seconds;
            sum.cpuSeconds += r.cpuSeconds;
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

int loopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
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

// The cost of the outputs: the paced job with AAC and UDP alone, against the same job with the fault
// suite's main run of outputs on, each with a client: the TCP slots (tagged) with a reader on the
// main stream's slot 1 and the audio's, the RTSP hand-off read by rtsp_server with a player pulling the
// stream over TCP, and the recording. The encoder's own CPU per frame, in alternated pairs.
void outputsCost(const std::string &dir, const std::string &raw)
{
    std::string root = makeRoot(dir + "/outputs", "0");
    std::filesystem::create_directories(root + "/mnt/usb/record");
    constexpr int kPairs = 3;
    int offset = loopbackPort() % 20000 + 20000;
    std::vector<double> ratios;
    Run alone{}, every{};
    for (int i = 0; i < kPairs; i++) {
        for (const char *flag : {"/mnt/tcp.ini", "/mnt/rtsp.ini", "/mnt/tsf.ini"}) {
            std::ofstream(root + flag) << "0";
        }
        Run a = ours(root, raw, true, Audio::Aac, kRunSeconds);

        for (const char *flag : {"/mnt/tcp.ini", "/mnt/rtsp.ini", "/mnt/tsf.ini"}) {
            std::ofstream(root + flag) << "1";
        }
        std::ofstream(root + "/mnt/rtsporrtmp.ini") << "0";
        std::ofstream(root + "/mnt/fn") << "export f=bench\n";
        std::filesystem::remove(root + "/mnt/usb/record/bench.ts");
        int rtspPort = loopbackPort();
        pid_t server = spawn({ENCODE_BINARY_DIR "/rtsp/rtsp_server", "--address", "127.0.0.1", "--port",
                              std::to_string(rtspPort)},
                             {"ENCODE_ROOT=" + root});
        pid_t player = -1;
        std::unique_ptr<SlotReader> video, audio;
        Run b = ours(root, raw, true, Audio::Aac, kRunSeconds, true,
                     {"ENCODE_PORT_OFFSET=" + std::to_string(offset), "ENCODE_BIND_ADDRESS=127.0.0.1"}, [&] {
                         video = std::make_unique<SlotReader>(8888 + offset);
                         audio = std::make_unique<SlotReader>(9999 + offset);
                         player = spawn({"ffmpeg", "-nostdin", "-v", "quiet", "-rtsp_transport", "tcp", "-i",
                                         "rtsp://127.0.0.1:" + std::to_string(rtspPort) + "/live", "-c", "copy",
                                         "-f", "null", "-"},
                                        {});
                         std::this_thread::sleep_for(std::chrono::seconds(2));
                     });
        size_t slotBytes = video ? video->bytes() : 0;
        video.reset();
        audio.reset();
        endProcess(player, SIGKILL); // a player whose server has gone waits on the network
        endProcess(server);
        std::error_code ec;
        uintmax_t recorded = std::filesystem::file_size(root + "/mnt/usb/record/bench.ts", ec);
        if (slotBytes == 0 || ec || recorded == 0) {
            std::printf("  (pair %d: an output had no client or no file: slot %zu bytes, recording %ju bytes)\n", i + 1,
                        slotBytes, ec ? uintmax_t{0} : recorded);
        }
        for (Run *sum : {&alone, &every}) {
            const Run &r = sum == &alone ? a : b;
            sum->frames += r.frames;
            sum->seconds += r.seconds;
            sum->cpuSeconds += r.cpuSeconds;
        }
        double base = a.cpuSeconds / std::max(a.frames, 1);
        double all = b.cpuSeconds / std::max(b.frames, 1);
        ratios.push_back(base > 0 ? all / base : 0);
    }
    std::printf("the outputs' cost, preset superfast, paced at 30 with AAC:\n");
    print("encode, UDP alone", alone);
    print("encode, every output + clients", every);
    std::printf("  ratio every output/UDP alone: %.3fx CPU per frame (median of %d alternated pairs)\n",
                percentile(ratios, 0.5), kPairs);
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
    // A moving test picture with camera-like temporal noise: flat synthetic pictures would make any
    // encoder look faster than it is on a real source.
    std::string make = "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=30 "
                       "-vf noise=alls=12:allf=t+u -frames:v " +
                       std::to_string(kFrames) + " -pix_fmt nv12 -f rawvideo '" + raw + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot make the raw frames\n");
        return 1;
    }
    std::printf("1920x1080 NV12 from a file (test picture with noise), main 4 Mbit/s + 640x480 at 800 kbit/s,\n"
                "zerolatency, TS over UDP\n");
    std::printf("(%u cores; x264 chooses its own thread count in both programs)\n",
                std::thread::hardware_concurrency());

    // BENCH_ONLY=status runs only the status comparison.
    const char *only = std::getenv("BENCH_ONLY");
    bool statusOnly = only != nullptr && std::string(only) == "status";
    // BENCH_ONLY=outputs runs only the cost of the outputs.
    if (only != nullptr && std::string(only) == "outputs") {
        outputsCost(dir, raw);
        std::system(("rm -rf '" + std::string(dir) + "'").c_str());
        return 0;
    }
    const Preset presets[] = {{"superfast", "0"}, {"ultrafast", "1"}};
    for (const Preset &p : presets) {
        std::string root = makeRoot(dir, p.quality);
        if (!statusOnly) {
            videoOnly(p, root, raw);
            withAac(p, root, raw);
        }
        if (p.quality[0] == '0') {
            statusCost(p, root, raw);
        }
    }
    if (!statusOnly) {
        outputsCost(dir, raw);
    }
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    return 0;
}
