// rtsp_server: serves the encoder's hand-off FIFOs as rtsp://HOST:8554/live (the port shifted by
// ENCODE_PORT_OFFSET), video and audio, to any number of clients.
//
// Threads: one reader per FIFO reads whether or not anybody watches, so the encoder's writes always
// find room; the GLib main loop runs the RTSP server and its signal handlers. All clients share one
// media. While that media exists its two appsrc elements are kept in `feed` (under feed.lock): the
// readers push each unit there, timestamped with its tag time less one origin both streams share, the
// first unit pushed into the media. Without a media the units are read and let go.
//
// Audio: the launch line has an audio branch only while audio is flowing (a unit within the last two
// seconds) when the shared media is made, so a video-only encoder is served with video alone and a
// client never waits for audio that will not come. AAC or MP3 is told from the data: records that
// start with the stream tag are ADTS frames, bare layer III frames are MP3; --audio fixes the choice.
//
// A client that cannot keep up loses data (the client's drop-backlog) rather than holding up the
// shared pipeline and with it every other client.
#include "rtsp/fifo_units.h"

#include "encode/core/paths.h"
#include "encode/media/annexb.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <glib-unix.h>
#include <malloc.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;
using Clock = std::chrono::steady_clock;

enum AudioKind { kAudioNone, kAudioAac, kAudioMp3 };
enum StreamIndex { kVideo, kAudio, kStreams };

constexpr int kDefaultPort = 8554;
constexpr const char *kMountPath = "/live";
constexpr int kReadWaitMs = 200;
constexpr guint kSessionCleanupSeconds = 2;
// Audio that has not come for this long is taken as gone: later sessions carry video alone.
constexpr auto kAudioGone = std::chrono::seconds(2);
// A tag time this far from the last one of its stream is a clock step or a restarted encoder.
constexpr int64_t kJumpUs = 3000000;
constexpr int64_t kJumpStepUs = 20000;
// MP3 frames carry no time: they are stamped by sample count from their arrival, and stamped from
// their arrival again when the count drifts this far from it.
constexpr int64_t kMp3DriftUs = 300000;

// Queue limits of the sources: a stalled pipeline drops the oldest units, never blocks a reader.
constexpr const char *kVideoBranch =
    "appsrc name=vsrc is-live=true format=time max-bytes=4000000 leaky-type=downstream "
    "caps=video/x-h264,stream-format=byte-stream,alignment=au "
    "! h264parse ! rtph264pay name=pay0 pt=96 config-interval=0";
struct AudioBranch {
    AudioKind kind;
    const char *option; // --audio value
    const char *label;  // as printed
    const char *branch;
};
const AudioBranch kAudioBranches[] = {
    {kAudioNone, "none", "none", ""},
    {kAudioAac, "aac", "AAC",
     " appsrc name=asrc is-live=true format=time max-bytes=200000 leaky-type=downstream "
     "caps=audio/mpeg,mpegversion=4,stream-format=adts ! aacparse ! rtpmp4gpay name=pay1 pt=97"},
    {kAudioMp3, "mp3", "MP3",
     " appsrc name=asrc is-live=true format=time max-bytes=200000 leaky-type=downstream "
     "caps=audio/mpeg,mpegversion=1,layer=3 ! mpegaudioparse ! rtpmpapay name=pay1 pt=97"},
};

struct Options {
    std::string address = "0.0.0.0";
    int port = -1;               // -1: the fixed port with the offset
    bool audioFixed = false;     // --audio aac|mp3|none
    AudioKind audio = kAudioNone;
};

// The shared media's sources and its time base.
struct Feed {
    std::mutex lock;
    GstRTSPMedia *media = nullptr;
    GstAppSrc *src[kStreams] = {nullptr, nullptr};
    AudioKind audio = kAudioNone; // the kind the media's audio branch takes
    bool originSet = false;
    int64_t originUs = 0;
    bool videoStarted = false; // a picture decodable on its own has gone in
    int64_t lastPtsUs[kStreams] = {-1, -1};
    bool jumpSaid = false;
};

Feed feed;
std::atomic<bool> quitFlag{false};
GstRTSPMediaFactory *factory = nullptr;
Options options;

void say(const std::string &text)
{
    std::printf("rtsp_server: %s\n", text.c_str());
    std::fflush(stdout);
}

const AudioBranch &audioBranch(AudioKind kind)
{
    for (const AudioBranch &b : kAudioBranches) {
        if (b.kind == kind) {
            return b;
        }
    }
    return kAudioBranches[0];
}

std::string launchLine(AudioKind audio)
{
    return std::string("( ") + kVideoBranch + audioBranch(audio).branch + " )";
}

int64_t wallClockUs()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return int64_t{static_cast<uint32_t>(tv.tv_sec)} * 1000000 + tv.tv_usec;
}

// ---- feeding the shared media ----

// An access unit a decoder can start from: it carries the parameter sets or an IDR slice.
bool startsDecoding(const FifoUnit &u)
{
    return AnnexB_startsDecoding(u.data, static_cast<int>(u.bytes));
}

// What presentationUs answers for a unit to leave out.
constexpr int64_t kLeaveOut = -1;

// The unit's presentation time in the media, or kLeaveOut. Under feed.lock.
int64_t presentationUs(StreamIndex s, int64_t timeUs)
{
    if (!feed.originSet) {
        feed.originUs = timeUs;
        feed.originSet = true;
    }
    int64_t pts = timeUs - feed.originUs;
    int64_t &last = feed.lastPtsUs[s];
    if (last >= 0 && (pts < last - kJumpUs || pts > last + kJumpUs)) {
        // Both streams move together, so one shift of the shared origin keeps them in step.
        feed.originUs += pts - (last + kJumpStepUs);
        pts = last + kJumpStepUs;
        if (!feed.jumpSaid) {
            say("the stream times jumped, going on from where they were");
        }
        feed.jumpSaid = true;
    }
    if (pts < 0 || pts < last) {
        return kLeaveOut; // older than what the media already has
    }
    last = pts;
    return pts;
}

void push(StreamIndex s, AudioKind kind, const FifoUnit &u, int64_t timeUs)
{
    GstAppSrc *src = nullptr;
    GstBuffer *buffer = nullptr;
    {
        ScopedLock guard(feed.lock);
        if (feed.src[s] == nullptr || (s == kAudio && kind != feed.audio)) {
            return;
        }
        if (s == kVideo && !feed.videoStarted) {
            if (!startsDecoding(u)) {
                return;
            }
            feed.videoStarted = true;
        }
        int64_t pts = presentationUs(s, timeUs);
        if (pts == kLeaveOut) {
            return;
        }
        buffer = gst_buffer_new_memdup(u.data, u.bytes);
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(pts) * GST_USECOND;
        src = GST_APP_SRC(gst_object_ref(feed.src[s]));
    }
    gst_app_src_push_buffer(src, buffer); // leaky: never waits for the pipeline
    gst_object_unref(src);
}

void forgetMedia()
{
    for (GstAppSrc *&src : feed.src) {
        if (src != nullptr) {
            gst_object_unref(src);
        }
        src = nullptr;
    }
    feed.media = nullptr;
}

void mediaUnprepared(GstRTSPMedia *media, gpointer)
{
    ScopedLock guard(feed.lock);
    if (feed.media == media) {
        forgetMedia();
    }
}

AudioKind audioKindOf(GstElement *asrc)
{
    if (asrc == nullptr) {
        return kAudioNone;
    }
    AudioKind kind = kAudioNone;
    GstCaps *caps = gst_app_src_get_caps(GST_APP_SRC(asrc));
    int version = 0;
    if (caps != nullptr && gst_caps_get_size(caps) > 0 &&
        gst_structure_get_int(gst_caps_get_structure(caps, 0), "mpegversion", &version)) {
        kind = version == 4 ? kAudioAac : kAudioMp3;
    }
    if (caps != nullptr) {
        gst_caps_unref(caps);
    }
    return kind;
}

void mediaConfigure(GstRTSPMediaFactory *, GstRTSPMedia *media, gpointer)
{
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *vsrc = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "vsrc");
    GstElement *asrc = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "asrc");
    gst_object_unref(bin);
    AudioKind kind = audioKindOf(asrc);
    {
        ScopedLock guard(feed.lock);
        forgetMedia();
        feed.media = media;
        feed.src[kVideo] = vsrc != nullptr ? GST_APP_SRC(vsrc) : nullptr;
        feed.src[kAudio] = asrc != nullptr ? GST_APP_SRC(asrc) : nullptr;
        feed.audio = kind;
        feed.originSet = false;
        feed.videoStarted = false;
        feed.lastPtsUs[kVideo] = feed.lastPtsUs[kAudio] = -1;
        feed.jumpSaid = false;
    }
    g_signal_connect(media, "unprepared", G_CALLBACK(mediaUnprepared), nullptr);
}

// ---- the FIFO readers ----

void videoReader()
{
    FifoUnits_Handle h = FifoUnits_create("/dev/shm/v_fifo", FifoUnits_TAGGED, "rtsp_server: /dev/shm/v_fifo");
    if (h == nullptr) {
        say("out of memory for the video reader");
        return;
    }
    FifoUnit u{};
    while (!quitFlag.load()) {
        if (FifoUnits_next(h, &u, kReadWaitMs)) {
            push(kVideo, kAudioNone, u, u.timeUs);
        }
    }
    FifoUnits_delete(h);
}

// Stamps MP3 frames, which come without a time, by their sample count.
struct Mp3Clock {
    bool anchored = false;
    int rate = 0;
    int64_t anchorUs = 0;
    int64_t samples = 0;

    int64_t stamp(const FifoUnit &u)
    {
        int64_t now = wallClockUs();
        int64_t t = anchorUs + (rate > 0 ? samples * 1000000 / rate : 0);
        if (!anchored || u.sampleRate != rate || t < now - kMp3DriftUs || t > now + kMp3DriftUs) {
            anchored = true;
            rate = u.sampleRate;
            anchorUs = t = now;
            samples = 0;
        }
        samples += u.samples;
        return t;
    }
};

// Which audio later sessions carry; printed when it changes.
void announceAudio(AudioKind kind, AudioKind *announced)
{
    if (kind == *announced) {
        return;
    }
    *announced = kind;
    gst_rtsp_media_factory_set_launch(factory, launchLine(kind).c_str());
    if (kind == kAudioNone) {
        say("no audio, new sessions carry video alone");
    } else {
        say(std::string("audio is ") + audioBranch(kind).label + ", new sessions carry it");
    }
}

void audioReader()
{
    // With audio off the FIFO is still drained, whatever the encoder puts in it.
    FifoUnits_Layout layout = !options.audioFixed || options.audio == kAudioNone ? FifoUnits_DETECT
                              : options.audio == kAudioMp3                      ? FifoUnits_MP3
                                                                                : FifoUnits_TAGGED;
    FifoUnits_Handle h = FifoUnits_create("/dev/shm/aa_fifo", layout, "rtsp_server: /dev/shm/aa_fifo");
    if (h == nullptr) {
        say("out of memory for the audio reader");
        return;
    }
    AudioKind announced = options.audioFixed ? options.audio : kAudioNone;
    Clock::time_point lastUnit{};
    Mp3Clock mp3;
    FifoUnit u{};
    while (!quitFlag.load()) {
        if (FifoUnits_next(h, &u, kReadWaitMs)) {
            AudioKind kind = u.layout == FifoUnits_MP3 ? kAudioMp3 : kAudioAac;
            lastUnit = Clock::now();
            if (!options.audioFixed) {
                announceAudio(kind, &announced);
            }
            push(kAudio, kind, u, kind == kAudioMp3 ? mp3.stamp(u) : u.timeUs);
        } else if (!options.audioFixed && Clock::now() - lastUnit > kAudioGone) {
            announceAudio(kAudioNone, &announced);
        }
    }
    FifoUnits_delete(h);
}

// ---- clients ----

struct ClientNote {
    std::string peer;
    Clock::time_point connected;
    bool played = false;
};

void clientPlay(GstRTSPClient *client, GstRTSPContext *, gpointer)
{
    auto *note = static_cast<ClientNote *>(g_object_get_data(G_OBJECT(client), "note"));
    if (note != nullptr) {
        note->played = true;
    }
}

// The one line of a client session, when it ends.
void clientClosed(GstRTSPClient *client, gpointer)
{
    auto *note = static_cast<ClientNote *>(g_object_get_data(G_OBJECT(client), "note"));
    if (note == nullptr) {
        return;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - note->connected).count();
    char line[160];
    std::snprintf(line, sizeof line, "client %s %s after %.1f s", note->peer.c_str(),
                  note->played ? "played and left" : "left without playing", seconds);
    say(line);
}

void clientConnected(GstRTSPServer *, GstRTSPClient *client, gpointer)
{
    g_object_set(client, "drop-backlog", TRUE, nullptr);
    auto *note = new ClientNote;
    GstRTSPConnection *conn = gst_rtsp_client_get_connection(client);
    const char *ip = conn != nullptr ? gst_rtsp_connection_get_ip(conn) : nullptr;
    note->peer = ip != nullptr ? ip : "?";
    note->connected = Clock::now();
    g_object_set_data_full(G_OBJECT(client), "note", note, [](gpointer p) { delete static_cast<ClientNote *>(p); });
    g_signal_connect(client, "play-request", G_CALLBACK(clientPlay), nullptr);
    g_signal_connect(client, "closed", G_CALLBACK(clientClosed), nullptr);
}

GstRTSPFilterResult dropClient(GstRTSPServer *, GstRTSPClient *, gpointer)
{
    return GST_RTSP_FILTER_REMOVE;
}

// Every player brings a pipeline with streaming threads of its own, and each new thread may get an
// allocator arena (and, in this GLib, slice magazines) of its own that stay when the thread goes: the
// server's memory would creep up with every player that came and went. A few arenas, plain malloc
// for GLib's slices, and handing freed memory back when the sessions are cleaned keep it flat.
void keepMemoryFlat()
{
    setenv("G_SLICE", "always-malloc", 0);
    mallopt(M_ARENA_MAX, 2);
}

// Sessions whose player vanished without a TEARDOWN (a killed player, a dropped network) are only
// forgotten when someone asks the pool to look; without it each one keeps its state for the life of
// the server.
gboolean cleanupSessions(gpointer server)
{
    GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool(GST_RTSP_SERVER(server));
    gst_rtsp_session_pool_cleanup(pool);
    g_object_unref(pool);
    malloc_trim(0);
    return G_SOURCE_CONTINUE;
}

gboolean onQuitSignal(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;
}

// ---- start-up ----

void usage()
{
    std::fprintf(stderr, "usage: rtsp_server [--address ADDRESS] [--port PORT] [--audio auto|aac|mp3|none]\n");
}

bool parsePort(const char *text, int *port)
{
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) {
        return false;
    }
    *port = static_cast<int>(v);
    return true;
}

bool parseAudio(const char *text)
{
    if (std::strcmp(text, "auto") == 0) {
        options.audioFixed = false;
        return true;
    }
    for (const AudioBranch &b : kAudioBranches) {
        if (std::strcmp(text, b.option) == 0) {
            options.audioFixed = true;
            options.audio = b.kind;
            return true;
        }
    }
    return false;
}

bool parseAddress(const char *text)
{
    options.address = text;
    return *text != '\0';
}

// The options and what reads their values.
struct OptionEntry {
    const char *name;
    bool (*parse)(const char *value);
};
const OptionEntry kOptions[] = {
    {"--address", parseAddress},
    {"--port", [](const char *v) { return parsePort(v, &options.port); }},
    {"--audio", parseAudio},
};

// parseOptions' answers besides an exit status for an option error.
constexpr int kGoOn = 0;
constexpr int kHelpShown = -1;

// kGoOn, kHelpShown after the usage asked for, else the exit status.
int parseOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage();
            return kHelpShown;
        }
        const OptionEntry *entry = nullptr;
        for (const OptionEntry &o : kOptions) {
            entry = std::strcmp(argv[i], o.name) == 0 ? &o : entry;
        }
        if (entry == nullptr) {
            std::fprintf(stderr, "rtsp_server: unknown option %s\n", argv[i]);
            usage();
            return 2;
        }
        if (i + 1 >= argc || !entry->parse(argv[i + 1])) {
            std::fprintf(stderr, "rtsp_server: %s needs a valid value%s%s\n", argv[i], i + 1 < argc ? ", not " : "",
                         i + 1 < argc ? argv[i + 1] : "");
            usage();
            return 2;
        }
        i++;
    }
    return 0;
}

GstRTSPServer *makeServer()
{
    GstRTSPServer *server = gst_rtsp_server_new();
    std::string service = std::to_string(options.port >= 0 ? options.port : Path_port(kDefaultPort));
    gst_rtsp_server_set_address(server, options.address.c_str());
    gst_rtsp_server_set_service(server, service.c_str());
    g_signal_connect(server, "client-connected", G_CALLBACK(clientConnected), nullptr);

    factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    gst_rtsp_media_factory_set_launch(factory, launchLine(options.audio).c_str());
    g_signal_connect(factory, "media-configure", G_CALLBACK(mediaConfigure), nullptr);
    GstRTSPMountPoints *mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, kMountPath, GST_RTSP_MEDIA_FACTORY(g_object_ref(factory)));
    g_object_unref(mounts);
    return server;
}

} // namespace

int main(int argc, char **argv)
{
    keepMemoryFlat();
    gst_init(&argc, &argv);
    if (int status = parseOptions(argc, argv); status != kGoOn) {
        return status == kHelpShown ? 0 : status;
    }
    std::signal(SIGPIPE, SIG_IGN);
    GstRTSPServer *server = makeServer();
    guint source = gst_rtsp_server_attach(server, nullptr);
    if (source == 0) {
        std::fprintf(stderr, "rtsp_server: cannot listen on %s port %s\n", options.address.c_str(),
                     gst_rtsp_server_get_service(server));
        g_object_unref(server);
        g_object_unref(factory);
        return 1;
    }
    say("serving rtsp://" + options.address + ":" + std::to_string(gst_rtsp_server_get_bound_port(server)) +
        kMountPath);

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    guint sigterm = g_unix_signal_add(SIGTERM, onQuitSignal, loop);
    guint sigint = g_unix_signal_add(SIGINT, onQuitSignal, loop);
    guint cleanup = g_timeout_add_seconds(kSessionCleanupSeconds, cleanupSessions, server);
    std::thread video(videoReader);
    std::thread audio(audioReader);
    g_main_loop_run(loop);

    quitFlag.store(true);
    video.join();
    audio.join();
    gst_rtsp_server_client_filter(server, dropClient, nullptr);
    g_source_remove(sigterm);
    g_source_remove(sigint);
    g_source_remove(cleanup);
    g_source_remove(source);
    {
        ScopedLock guard(feed.lock);
        forgetMedia();
    }
    g_main_loop_unref(loop);
    g_object_unref(server);
    g_object_unref(factory);
    say("stopped");
    return 0;
}
