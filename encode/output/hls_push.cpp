#include "encode/output/hls_push.h"

#include "encode/core/console.h"
#include "encode/core/status_board.h"
#include "encode/output/hls_playlist.h"
#include "encode/output/hls_variant.h"
#include "encode/output/http_client.h"
#include "encode/output/sender.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kQueueBytes = 32 << 20; // a few segments of a high-rate stream
constexpr int kQueueUnits = 16;
constexpr int kTickMs = 200;
constexpr int kFlushMs = 1000;
constexpr int kConnectMs = 3000;
constexpr int kPlaylistMs = 3000;
constexpr int kDeleteMs = 1000;
constexpr int kEndMs = 500;
constexpr int kKeptBehind = 2;
constexpr int kMostVariants = 2;

} // namespace

struct HlsPush_Object : SenderLink {
    HlsPush_Attrs attrs;
    std::string shown; // the URL without its password
    Sender_Handle sender = nullptr;
    StatusError lastError;

    std::mutex masterLock;
    std::string master; // guarded by masterLock
    uint64_t masterVersion = 0;

    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> deliveredBytes{0};
    std::atomic<bool> aborted{false};

    // The worker's thread only.
    const MediaStop *stop = nullptr;
    HlsWindow windows[kMostVariants];
    uint64_t lastSeq[kMostVariants] = {};
    bool any[kMostVariants] = {};
    uint64_t behind[kMostVariants][kKeptBehind] = {};
    int behindCount[kMostVariants] = {};
    uint64_t masterSent = 0;
    bool saidOutage = false;

    int connect(const MediaStop *s) override;
    int send(const SenderUnit &unit) override;
    void disconnect(bool stopping) override;
    void abort() override { aborted.store(true); }

    bool put(const std::string &name, const char *type, const uint8_t *data, size_t bytes, int totalMs);
    bool sendMaster();
    void lost(const std::string &why);
    int windowOf(const char *variant);
    void forget(int v, uint64_t fileSeq);
};

namespace {

bool answered(const HttpReply &r)
{
    return r.status >= 200 && r.status < 300;
}

} // namespace

void HlsPush_Object::lost(const std::string &why)
{
    std::string line = "hls push: " + shown + ": " + why;
    lastError.set(line.c_str());
    if (!saidOutage) {
        saidOutage = true;
        Console_say("%s; the local HLS goes on, the push tries again\n", line.c_str());
    }
}

bool HlsPush_Object::put(const std::string &name, const char *type, const uint8_t *data, size_t bytes, int totalMs)
{
    HttpRequest q;
    q.method = "PUT";
    q.url = attrs.url + "/" + name;
    q.contentType = type;
    q.body = data;
    q.bodyBytes = bytes;
    q.connectMs = kConnectMs;
    q.totalMs = totalMs;
    HttpReply r;
    if (!Http_request(q, stop, aborted, r)) {
        lost("cannot send " + name + ": " + Http_reason(r.error, ""));
        return false;
    }
    if (!answered(r)) {
        lost(name + " refused with " + std::to_string(r.status) + ": " + Http_reason(r.body, ""));
        return false;
    }
    return true;
}

bool HlsPush_Object::sendMaster()
{
    std::string text;
    uint64_t version;
    {
        ScopedLock hold(masterLock);
        text = master;
        version = masterVersion;
    }
    if (version == masterSent || text.empty()) {
        return true;
    }
    if (!put("index.m3u8", "application/vnd.apple.mpegurl", reinterpret_cast<const uint8_t *>(text.data()),
             text.size(), kPlaylistMs)) {
        return false;
    }
    masterSent = version;
    return true;
}

int HlsPush_Object::connect(const MediaStop *s)
{
    stop = s;
    aborted.store(false);
    masterSent = 0;
    if (!sendMaster()) {
        return Sender_ERETRY;
    }
    if (saidOutage) {
        Console_say("hls push: %s takes the segments again\n", shown.c_str());
        saidOutage = false;
    }
    return Sender_EOK;
}

int HlsPush_Object::windowOf(const char *variant)
{
    for (int v = 0; v < kMostVariants; v++) {
        if (std::strncmp(windows[v].variant, variant, sizeof windows[v].variant) == 0) {
            return v;
        }
        if (windows[v].variant[0] == '\0') {
            std::snprintf(windows[v].variant, sizeof windows[v].variant, "%.7s", variant);
            windows[v].targetS = attrs.targetS;
            windows[v].length = attrs.length;
            return v;
        }
    }
    return -1;
}

// A segment gone from the ingest's playlist is deleted there two segments later; an ingest that does
// not take DELETE (or fails it) loses nothing of the stream.
void HlsPush_Object::forget(int v, uint64_t fileSeq)
{
    int slot = behindCount[v] % kKeptBehind;
    if (behindCount[v] >= kKeptBehind) {
        HttpRequest q;
        q.method = "DELETE";
        q.url = attrs.url + "/" + HlsPlaylist_segmentName(windows[v].variant, behind[v][slot]);
        q.connectMs = kDeleteMs;
        q.totalMs = kDeleteMs;
        HttpReply r;
        Http_request(q, stop, aborted, r);
    }
    behind[v][slot] = fileSeq;
    behindCount[v]++;
}

int HlsPush_Object::send(const SenderUnit &u)
{
    HlsSegmentHeader h;
    if (u.bytes < static_cast<int>(sizeof h)) {
        return Sender_EREFUSED;
    }
    std::memcpy(&h, u.data, sizeof h);
    h.variant[sizeof h.variant - 1] = '\0';
    int v = windowOf(h.variant);
    if (v < 0) {
        return Sender_EREFUSED;
    }
    std::string name = HlsPlaylist_segmentName(h.variant, h.seq);
    // A slow ingest is given a few times the segment's own duration to take it.
    int totalMs = std::max(10000, 4 * h.durationMs);
    if (!put(name, "video/mp2t", u.data + sizeof h, static_cast<size_t>(u.bytes) - sizeof h, totalMs)) {
        return Sender_ELOST;
    }
    delivered.fetch_add(1, std::memory_order_relaxed);
    deliveredBytes.fetch_add(static_cast<uint64_t>(u.bytes) - sizeof h, std::memory_order_relaxed);
    bool gap = any[v] && h.seq != lastSeq[v] + 1;
    if (!any[v]) { // numbered as the box numbers them, as long as none goes missing
        windows[v].mediaSeq = h.seq;
    }
    any[v] = true;
    lastSeq[v] = h.seq;
    HlsEntry e{h.seq, h.durationMs, h.pdtMs, gap};
    HlsEntry left{};
    bool gone = HlsWindow_add(windows[v], e, &left);
    std::string text = HlsPlaylist_media(windows[v], false);
    if (!put(std::string(h.variant) + ".m3u8", "application/vnd.apple.mpegurl",
             reinterpret_cast<const uint8_t *>(text.data()), text.size(), kPlaylistMs) ||
        !sendMaster()) {
        return Sender_ELOST;
    }
    if (gone) {
        forget(v, left.fileSeq);
    }
    return Sender_EOK;
}

// At the stop the ingest learns the stream has ended; the connection is the request's own, so nothing
// else is to be closed.
void HlsPush_Object::disconnect(bool stopping)
{
    if (!stopping) {
        return;
    }
    MediaStop none;
    std::atomic<bool> never{false};
    for (HlsWindow &w : windows) {
        if (w.variant[0] == '\0' || w.count == 0) {
            continue;
        }
        std::string text = HlsPlaylist_media(w, true);
        HttpRequest q;
        q.method = "PUT";
        q.url = attrs.url + "/" + w.variant + ".m3u8";
        q.contentType = "application/vnd.apple.mpegurl";
        q.body = reinterpret_cast<const uint8_t *>(text.data());
        q.bodyBytes = text.size();
        q.connectMs = kEndMs;
        q.totalMs = kEndMs;
        HttpReply r;
        Http_request(q, &none, never, r);
    }
}

HlsPush_Handle HlsPush_create(const HlsPush_Attrs *attrs)
{
    std::unique_ptr<HlsPush_Object> p(new (std::nothrow) HlsPush_Object);
    if (p == nullptr) {
        std::fputs("Error: Failed to create the hls push\n", stderr);
        return nullptr;
    }
    p->attrs = *attrs;
    while (!p->attrs.url.empty() && p->attrs.url.back() == '/') {
        p->attrs.url.pop_back();
    }
    p->shown = Http_publicUrl(p->attrs.url);
    SenderConfig worker{"hls push", "", "hls push queue full, %llu segments dropped\n", kQueueBytes, kQueueUnits,
                        kTickMs, 0, kFlushMs};
    p->sender = Sender_create(&worker, p.get());
    if (p->sender == nullptr) {
        return nullptr;
    }
    return p.release();
}

void HlsPush_destroy(HlsPush_Handle h)
{
    if (h == nullptr) {
        return;
    }
    Sender_destroy(h->sender);
    delete h;
}

void HlsPush_segment(void *push, const uint8_t *unit, int bytes)
{
    auto *p = static_cast<HlsPush_Object *>(push);
    Sender_put(p->sender, SenderKind::Ts, unit, bytes, FrameTime{}, true);
}

void HlsPush_master(HlsPush_Handle h, const std::string &text)
{
    ScopedLock hold(h->masterLock);
    if (text != h->master) {
        h->master = text;
        h->masterVersion++;
    }
}

void HlsPush_report(HlsPush_Handle h, nlohmann::json &out)
{
    SenderStats s = Sender_stats(h->sender);
    out["kind"] = "hls push";
    out["name"] = "push";
    out["target"] = h->shown;
    Sender_report(h->sender, out);
    out["segments"] = h->delivered.load();
    out["bytes"] = h->deliveredBytes.load();
    out["dropped"] = s.dropped;
    out["queued"] = s.queued;
    h->lastError.report(out);
}
