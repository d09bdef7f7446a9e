// A WHIP endpoint for tests, on webrtcbin: an HTTP server on a loopback port that answers a POSTed
// offer with 201 Created, the SDP answer (every candidate in it) and a Location, ends a session on
// DELETE, and with --token refuses any other bearer token with 401 (on both). The video is decoded
// (rtph264depay, avdec_h264) and its pictures counted, the Opus packets counted, and a line
// "frames=N opus=M" printed every second; each request is said on a line of its own.
//
//   whip_receiver PORT [--token TOKEN] [--pli]
//
// --pli: once pictures come, asks the publisher for a key frame every 2 s (a PLI, sent by webrtcbin
// for the decoder's upstream key-unit request).
#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr size_t kHeadBytes = 8192;
constexpr size_t kBodyBytes = 65536;

std::atomic<unsigned long long> gFrames{0};
std::atomic<unsigned long long> gOpus{0};
std::atomic<bool> gPli{false};
std::mutex gPliLock;
GstPad *gPliPad = nullptr; // the decoded video's sink pad, once there is one

struct Session {
    GstElement *pipeline = nullptr;
    GstElement *webrtc = nullptr;
    ~Session()
    {
        {
            std::lock_guard<std::mutex> lock(gPliLock);
            if (gPliPad != nullptr) {
                gst_object_unref(gPliPad);
                gPliPad = nullptr;
            }
        }
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(webrtc);
        gst_object_unref(pipeline);
    }
};

std::map<std::string, Session *> gSessions;
int gNextId = 1;

GstPadProbeReturn countInto(GstPad *, GstPadProbeInfo *, gpointer counter)
{
    static_cast<std::atomic<unsigned long long> *>(counter)->fetch_add(1);
    return GST_PAD_PROBE_OK;
}

// A stream of the offer: its decoding (or counting) chain, added while the pipeline plays.
void onPadAdded(GstElement *, GstPad *pad, gpointer pipeline)
{
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
        return;
    }
    GstCaps *caps = gst_pad_get_current_caps(pad);
    if (caps == nullptr) {
        caps = gst_pad_query_caps(pad, nullptr);
    }
    const char *media = gst_structure_get_string(gst_caps_get_structure(caps, 0), "media");
    bool video = media != nullptr && std::strcmp(media, "video") == 0;
    gst_caps_unref(caps);
    const char *chain = video ? "rtph264depay ! avdec_h264 ! fakesink name=sink sync=false"
                              : "rtpopusdepay ! fakesink name=sink sync=false";
    GError *error = nullptr;
    GstElement *bin = gst_parse_bin_from_description(chain, TRUE, &error);
    if (bin == nullptr) {
        std::printf("error: %s\n", error != nullptr ? error->message : "no chain");
        g_clear_error(&error);
        return;
    }
    GstElement *sink = gst_bin_get_by_name(GST_BIN(bin), "sink");
    GstPad *sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(sinkPad, GST_PAD_PROBE_TYPE_BUFFER, countInto, video ? &gFrames : &gOpus, nullptr);
    if (video) {
        std::lock_guard<std::mutex> lock(gPliLock);
        if (gPliPad != nullptr) {
            gst_object_unref(gPliPad);
        }
        gPliPad = GST_PAD(gst_object_ref(sinkPad));
    }
    gst_object_unref(sinkPad);
    gst_object_unref(sink);
    gst_bin_add(GST_BIN(pipeline), bin);
    gst_element_sync_state_with_parent(bin);
    GstPad *binSink = gst_element_get_static_pad(bin, "sink");
    if (gst_pad_link(pad, binSink) != GST_PAD_LINK_OK) {
        std::printf("error: the %s stream could not be linked\n", video ? "video" : "audio");
    }
    gst_object_unref(binSink);
}

GstPromise *call(GstElement *webrtc, const char *signal, gpointer arg)
{
    GstPromise *p = gst_promise_new();
    g_signal_emit_by_name(webrtc, signal, arg, p);
    gst_promise_wait(p);
    return p;
}

// The answer to `offer`, or empty (with `why`) when webrtcbin made none.
std::string answerOffer(Session &s, const std::string &offer, std::string &why)
{
    GstSDPMessage *sdp = nullptr;
    if (gst_sdp_message_new_from_text(offer.c_str(), &sdp) != GST_SDP_OK || gst_sdp_message_medias_len(sdp) == 0) {
        if (sdp != nullptr) {
            gst_sdp_message_free(sdp);
        }
        why = "malformed offer";
        return {};
    }
    GstWebRTCSessionDescription *desc = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    gst_promise_unref(call(s.webrtc, "set-remote-description", desc));
    gst_webrtc_session_description_free(desc);
    GstPromise *p = call(s.webrtc, "create-answer", nullptr);
    const GstStructure *reply = gst_promise_get_reply(p);
    GstWebRTCSessionDescription *answer = nullptr;
    if (reply != nullptr) {
        gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    }
    gst_promise_unref(p);
    if (answer == nullptr) {
        why = "no answer to this offer"; // webrtcbin aborts on a null one in the next step
        return {};
    }
    gst_promise_unref(call(s.webrtc, "set-local-description", answer));
    gst_webrtc_session_description_free(answer);
    for (int i = 0; i < 500; i++) {
        GstWebRTCICEGatheringState g = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
        g_object_get(s.webrtc, "ice-gathering-state", &g, nullptr);
        if (g == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    GstWebRTCSessionDescription *local = nullptr;
    g_object_get(s.webrtc, "local-description", &local, nullptr);
    std::string text;
    if (local != nullptr) {
        gchar *t = gst_sdp_message_as_text(local->sdp);
        text = t;
        g_free(t);
        gst_webrtc_session_description_free(local);
    }
    if (text.empty()) {
        why = "no answer to this offer";
    }
    return text;
}

struct Request {
    std::string method, path, contentType, authorization, body;
};

std::string header(const std::string &head, const char *name)
{
    size_t n = std::strlen(name);
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        size_t line = at + 2;
        if (strncasecmp(head.c_str() + line, name, n) == 0 && head.size() > line + n && head[line + n] == ':') {
            size_t begin = head.find_first_not_of(' ', line + n + 1);
            return head.substr(begin, head.find("\r\n", begin) - begin);
        }
    }
    return {};
}

bool readRequest(int fd, Request &r)
{
    std::string data;
    char buf[4096];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0 || data.size() > kHeadBytes) {
            return false;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    std::string head = data.substr(0, end);
    size_t sp = head.find(' ');
    r.method = head.substr(0, sp);
    r.path = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
    r.contentType = header(head, "Content-Type");
    r.authorization = header(head, "Authorization");
    size_t length = std::strtoul(header(head, "Content-Length").c_str(), nullptr, 10);
    r.body = data.substr(end + 4);
    while (r.body.size() < length && length <= kBodyBytes) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        r.body.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void reply(int fd, const char *status, const std::string &extra, const std::string &type, const std::string &body)
{
    std::string out = std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\n" + extra;
    if (!type.empty()) {
        out += "Content-Type: " + type + "\r\n";
    }
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    send(fd, out.data(), out.size(), MSG_NOSIGNAL);
}

void post(int fd, const Request &r, const std::string &token)
{
    if (!token.empty() && r.authorization != "Bearer " + token) {
        std::printf("refused 401\n");
        reply(fd, "401 Unauthorized", "", "text/plain", "refused: wrong or no token\n");
        return;
    }
    if (r.contentType.rfind("application/sdp", 0) != 0) {
        reply(fd, "415 Unsupported Media Type", "", "text/plain", "refused: not application/sdp\n");
        return;
    }
    auto *s = new Session;
    s->pipeline = gst_pipeline_new(nullptr);
    s->webrtc = gst_element_factory_make("webrtcbin", nullptr);
    gst_object_ref(s->webrtc);
    g_object_set(s->webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    g_signal_connect(s->webrtc, "pad-added", G_CALLBACK(onPadAdded), s->pipeline);
    gst_bin_add(GST_BIN(s->pipeline), s->webrtc);
    gst_element_set_state(s->pipeline, GST_STATE_PLAYING);
    std::string why;
    std::string answer = answerOffer(*s, r.body, why);
    if (answer.empty()) {
        std::printf("refused 400: %s\n", why.c_str());
        delete s;
        reply(fd, "400 Bad Request", "", "text/plain", "refused: " + why + "\n");
        return;
    }
    std::string id = "s" + std::to_string(gNextId++);
    gSessions[id] = s;
    std::printf("session %s answered\n", id.c_str());
    reply(fd, "201 Created", "Location: /whip/" + id + "\r\n", "application/sdp", answer);
}

void handle(int fd, const std::string &token)
{
    Request r;
    if (!readRequest(fd, r)) {
        return;
    }
    if (r.method == "POST") {
        post(fd, r, token);
    } else if (r.method == "DELETE") {
        if (!token.empty() && r.authorization != "Bearer " + token) {
            std::printf("refused 401\n");
            reply(fd, "401 Unauthorized", "", "text/plain", "refused: wrong or no token\n");
            return;
        }
        std::string id = r.path.substr(r.path.rfind('/') + 1);
        auto it = gSessions.find(id);
        if (it == gSessions.end()) {
            reply(fd, "404 Not Found", "", "text/plain", "no such session\n");
            return;
        }
        delete it->second;
        gSessions.erase(it);
        std::printf("session %s deleted\n", id.c_str());
        reply(fd, "200 OK", "", "", "");
    } else {
        reply(fd, "405 Method Not Allowed", "", "text/plain", "refused: POST or DELETE\n");
    }
}

void tick()
{
    for (int second = 0;; second++) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("frames=%llu opus=%llu\n", gFrames.load(), gOpus.load());
        if (gPli.load() && second % 2 == 1 && gFrames.load() > 0) {
            std::lock_guard<std::mutex> lock(gPliLock);
            if (gPliPad != nullptr) {
                GstStructure *st = gst_structure_new("GstForceKeyUnit", "all-headers", G_TYPE_BOOLEAN, TRUE,
                                                     nullptr);
                gst_pad_push_event(gPliPad, gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM, st));
            }
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    gst_init(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: whip_receiver PORT [--token TOKEN] [--pli]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::string token;
    for (int i = 2; i < argc; i++) {
        if (std::strcmp(argv[i], "--token") == 0 && i + 1 < argc) {
            token = argv[++i];
        } else if (std::strcmp(argv[i], "--pli") == 0) {
            gPli.store(true);
        }
    }
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(ls, 8) != 0) {
        std::printf("error: cannot listen on port %d\n", port);
        return 1;
    }
    std::printf("listening on %d\n", port);
    std::thread(tick).detach();
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        timeval bound{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        handle(fd, token);
        close(fd);
    }
}
