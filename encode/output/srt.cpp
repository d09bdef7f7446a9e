// SRT output.
//
// Threads: the multiplexer stage (writer and audio threads, one at a time under its lock) only puts
// payloads into the sender worker's queue. The worker's thread owns everything else: the sockets, the
// epoll set and the peers' sending state (the link's calls below all run on it); no other thread
// touches a socket. The reporter (status thread) reads the peers' published figures under statsLock
// and the counters, which are atomics.
//
// Every libsrt call is bounded: sockets are non-blocking for sending and receiving (SRTO_SNDSYN and
// SRTO_RCVSYN false), a call connects with SRTO_CONNTIMEO and is watched in steps of a tick, accepts
// come from srt_epoll_uwait with no wait, and linger is off so that a close never waits for a peer
// that has stopped.
#include "encode/output/srt.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/status_board.h"
#include "encode/media/wait.h"
#include "encode/output/sender.h"
#include "encode/output/ts_scan.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <srt/srt.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

using SteadyClock = std::chrono::steady_clock;
using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kTickMs = 20;           // connections, accepts and breaks are looked at this often
constexpr int kConnectTimeoutMs = 1000;
// A peer that has sent nothing back (not even an acknowledgement) for this long is gone: a killed
// player is noticed in time for its successor to be served within a few seconds.
constexpr int kPeerIdleMs = 1500;
constexpr int kStatsMs = 1000;
constexpr int kKeyWaitMs = 3000;      // a new peer waits this long for a PAT before a key frame
constexpr int kNameChars = 48;

int64_t msSince(SteadyClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t).count();
}

// What the status says of one connection; written by the output's thread under statsLock.
struct PeerReport {
    bool up = false;
    char name[kNameChars] = "";
    double rttMs = 0;
    double sendKbps = 0;
    uint64_t retransmitted = 0;
    uint64_t dropped = 0; // by SRT as too late, and by us for a full send buffer
    uint64_t bytes = 0;
};

// The output's thread's own record of a connection.
struct Peer {
    SRTSOCKET sock = SRT_INVALID_SOCK;
    char name[kNameChars] = "";
    bool fed = false; // has had its first PAT: every payload goes to it from then on
    SteadyClock::time_point since;
    uint64_t bufferDrops = 0;  // over the connection's life
    uint64_t runDrops = 0;     // of the current run of a full send buffer
    uint64_t lastBytes = 0;    // at the last statistics, for the rate
    uint64_t retransmitted = 0;
};

} // namespace

static void reportSrt(const SrtOut_Object &o, nlohmann::json &out);

struct SrtOut_Object : Output, SenderLink {
    SrtSettings settings; // fixed at create
    char target[kNameChars] = "";

    Sender_Handle sender = nullptr;

    std::atomic<uint64_t> payloads{0};
    std::atomic<uint64_t> queueDropped{0};
    std::atomic<uint64_t> bufferDropped{0};
    std::atomic<uint64_t> retransmittedGone{0}; // of connections that have ended
    std::atomic<int> peersUp{0};
    std::atomic<bool> listening{false};
    std::atomic<bool> refused{false}; // caller: the peer answered the last call with a refusal
    StatusError lastError;

    mutable std::mutex statsLock;
    PeerReport reports[SRT_MAX_CALLERS]; // guarded by statsLock

    // The worker's thread only.
    Peer peers[SRT_MAX_CALLERS];
    int eid = -1;
    SRTSOCKET listener = SRT_INVALID_SOCK;
    SRTSOCKET connecting = SRT_INVALID_SOCK;
    SteadyClock::time_point tryBegan;
    bool everConnected = false;
    int saidReason = -1; // the failure already printed in this outage
    SteadyClock::time_point lastStats;

    // The output.
    void ts(const uint8_t *data, int bytes) override;
    void report(int, nlohmann::json &out) const override { reportSrt(*this, out); }
    void stop() override { SrtOut_destroy(this); }
    // The link, on the worker's thread.
    int connect(const MediaStop *stop) override;
    int send(const SenderUnit &unit) override;
    int tend() override;
    void disconnect(bool stopping) override;
    // Every call is non-blocking and a call in progress is watched in ticks: nothing to cut short.
    void abort() override {}
};

namespace {

using Out = SrtOut_Object;

} // namespace

static void reportSrt(const SrtOut_Object &o, nlohmann::json &out)
{
    bool listener = o.settings.mode == SrtMode::Listener;
    int up = o.peersUp.load(std::memory_order_relaxed);
    out["kind"] = "srt";
    out["name"] = listener ? "SRT listener" : "SRT caller";
    out["target"] = o.target;
    bool failing = listener ? !o.listening.load() : o.refused.load();
    Sender_report(o.sender, out);
    out["state"] = up > 0 ? "ok" : failing ? "error" : "waiting";
    if (listener) {
        out["clients"] = up;
        out.erase("reconnects");
    }
    uint64_t dropped = o.queueDropped.load(std::memory_order_relaxed) + o.bufferDropped.load(std::memory_order_relaxed);
    uint64_t bytes = 0;
    uint64_t retransmitted = o.retransmittedGone.load(std::memory_order_relaxed);
    nlohmann::json connections = nlohmann::json::array();
    {
        ScopedLock lock(o.statsLock);
        for (const PeerReport &r : o.reports) {
            if (!r.up) {
                continue;
            }
            connections.push_back({{"peer", r.name},
                                   {"rtt_ms", r.rttMs},
                                   {"send_kbps", r.sendKbps},
                                   {"retransmitted", r.retransmitted},
                                   {"dropped", r.dropped},
                                   {"bytes", r.bytes}});
            bytes += r.bytes;
            retransmitted += r.retransmitted;
        }
    }
    out["bytes"] = bytes;
    out["packets"] = o.payloads.load(std::memory_order_relaxed);
    out["dropped"] = dropped;
    out["retransmitted"] = retransmitted;
    out["connections"] = std::move(connections);
    o.lastError.report(out);
}

namespace {

void say(Out &o, const char *line, bool asError)
{
    Console_say("%s\n", line);
    if (asError) {
        o.lastError.set(line);
    }
}

// --- Where a new peer starts ---

// Where in the payload a new peer starts: the offset of a PAT (one followed by a key frame within the
// payload when `keyOnly`), or -1 when it holds none.
int startAt(const uint8_t *data, int bytes, bool keyOnly)
{
    const auto length = static_cast<size_t>(bytes);
    for (size_t i = TsScan_nextPat(data, 0, length); i < length; i = TsScan_nextPat(data, i + 1, length)) {
        if (!keyOnly) {
            return static_cast<int>(i);
        }
        for (size_t k = i + TS_PACKET_BYTES; k + TS_PACKET_BYTES <= length; k += TS_PACKET_BYTES) {
            if (TsScan_beginsKeyFrame(data + k)) {
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

// --- Sockets ---

bool setFlag(SRTSOCKET s, SRT_SOCKOPT opt, int value)
{
    return srt_setsockflag(s, opt, &value, sizeof value) == 0;
}

bool setBool(SRTSOCKET s, SRT_SOCKOPT opt, bool value)
{
    return srt_setsockflag(s, opt, &value, sizeof value) == 0;
}

// Live mode, non-blocking, the settings' latency and encryption; before connect or listen.
SRTSOCKET makeSocket(Out &o)
{
    const SrtSettings &st = o.settings;
    SRTSOCKET s = srt_create_socket();
    if (s == SRT_INVALID_SOCK) {
        return s;
    }
    linger off{0, 0};
    bool ok = setFlag(s, SRTO_TRANSTYPE, SRTT_LIVE) && setBool(s, SRTO_SNDSYN, false) &&
              setBool(s, SRTO_RCVSYN, false) && setFlag(s, SRTO_LATENCY, st.latencyMs) &&
              setFlag(s, SRTO_CONNTIMEO, kConnectTimeoutMs) && setFlag(s, SRTO_PEERIDLETIMEO, kPeerIdleMs) &&
              srt_setsockflag(s, SRTO_LINGER, &off, sizeof off) == 0;
    if (ok && !st.passphrase.empty()) {
        ok = srt_setsockflag(s, SRTO_PASSPHRASE, st.passphrase.data(), static_cast<int>(st.passphrase.size())) == 0 &&
             setFlag(s, SRTO_PBKEYLEN, st.pbkeylen);
    }
    if (ok && st.mode == SrtMode::Caller && !st.streamid.empty()) {
        ok = srt_setsockflag(s, SRTO_STREAMID, st.streamid.data(), static_cast<int>(st.streamid.size())) == 0;
    }
    if (!ok) {
        srt_close(s);
        return SRT_INVALID_SOCK;
    }
    return s;
}

// A listener without an address listens where the TCP servers do (every address on the box).
sockaddr_in address(const std::string &host, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (host.empty() || inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        sa.sin_addr.s_addr = htonl(Path_bindAddress());
    }
    return sa;
}

void nameOf(const sockaddr_storage &ss, char (&name)[kNameChars])
{
    const auto &sa = reinterpret_cast<const sockaddr_in &>(ss);
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
    std::snprintf(name, sizeof name, "%s:%d", ip, ntohs(sa.sin_port));
}

// --- Peers ---

int peerCount(const Out &o)
{
    int n = 0;
    for (const Peer &p : o.peers) {
        n += p.sock != SRT_INVALID_SOCK ? 1 : 0;
    }
    return n;
}

void addPeer(Out &o, SRTSOCKET s, const char *name)
{
    for (int i = 0; i < SRT_MAX_CALLERS; i++) {
        Peer &p = o.peers[i];
        if (p.sock != SRT_INVALID_SOCK) {
            continue;
        }
        p = Peer{};
        p.sock = s;
        p.since = SteadyClock::now();
        std::snprintf(p.name, sizeof p.name, "%s", name);
        int events = SRT_EPOLL_ERR;
        srt_epoll_add_usock(o.eid, s, &events);
        {
            ScopedLock lock(o.statsLock);
            o.reports[i] = PeerReport{};
            o.reports[i].up = true;
            std::snprintf(o.reports[i].name, sizeof o.reports[i].name, "%s", name);
        }
        o.peersUp.store(peerCount(o));
        return;
    }
}

void sayDrops(Peer &p)
{
    if (p.runDrops > 0) {
        Console_say("srt %s: send buffer full, %llu payloads dropped\n", p.name,
                    static_cast<unsigned long long>(p.runDrops));
        p.runDrops = 0;
    }
}

// The connection is closed and its slot forgotten.
void removePeer(Out &o, int i)
{
    Peer &p = o.peers[i];
    sayDrops(p);
    srt_epoll_remove_usock(o.eid, p.sock);
    srt_close(p.sock);
    o.retransmittedGone.fetch_add(p.retransmitted, std::memory_order_relaxed);
    p = Peer{};
    {
        ScopedLock lock(o.statsLock);
        o.reports[i] = PeerReport{};
    }
    o.peersUp.store(peerCount(o));
}

void sendTo(Out &o, Peer &p, const uint8_t *data, int bytes)
{
    if (!p.fed) {
        int at = startAt(data, bytes, msSince(p.since) < kKeyWaitMs);
        if (at < 0) {
            return;
        }
        data += at;
        bytes -= at;
        p.fed = true;
    }
    if (srt_sendmsg2(p.sock, reinterpret_cast<const char *>(data), bytes, nullptr) != SRT_ERROR) {
        o.payloads.fetch_add(1, std::memory_order_relaxed);
        sayDrops(p);
        return;
    }
    if (srt_getlasterror(nullptr) == SRT_EASYNCSND) {
        p.bufferDrops++;
        p.runDrops++;
        o.bufferDropped.fetch_add(1, std::memory_order_relaxed);
    }
    // Any other failure is a broken connection, which the next look at the states ends.
}

void readStats(Out &o)
{
    double seconds = std::max(1, static_cast<int>(msSince(o.lastStats))) / 1000.0;
    o.lastStats = SteadyClock::now();
    for (int i = 0; i < SRT_MAX_CALLERS; i++) {
        Peer &p = o.peers[i];
        SRT_TRACEBSTATS s{};
        if (p.sock == SRT_INVALID_SOCK || srt_bstats(p.sock, &s, 0) != 0) {
            continue;
        }
        uint64_t bytes = s.byteSentTotal;
        p.retransmitted = static_cast<uint64_t>(std::max(s.pktRetransTotal, 0));
        ScopedLock lock(o.statsLock);
        PeerReport &r = o.reports[i];
        r.rttMs = s.msRTT;
        r.sendKbps = static_cast<double>(bytes - std::min(bytes, p.lastBytes)) * 8 / 1000 / seconds;
        r.retransmitted = p.retransmitted;
        r.dropped = static_cast<uint64_t>(std::max(s.pktSndDropTotal, 0)) + p.bufferDrops;
        r.bytes = bytes;
        p.lastBytes = bytes;
    }
}

// --- Caller ---

const char *refusalWords(int reason)
{
    switch (reason) {
    case SRT_REJ_BADSECRET: return "the peer refused the passphrase";
    case SRT_REJ_UNSECURE: return "the peer and this box disagree on whether to encrypt (passphrase)";
    case SRT_REJ_TIMEOUT: return "no answer";
    default: return srt_rejectreason_str(reason);
    }
}

void beginCall(Out &o)
{
    o.tryBegan = SteadyClock::now();
    SRTSOCKET s = makeSocket(o);
    if (s == SRT_INVALID_SOCK) {
        return;
    }
    sockaddr_in sa = address(o.settings.host, o.settings.port);
    if (srt_connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == SRT_ERROR) {
        srt_close(s);
        return;
    }
    int events = SRT_EPOLL_OUT | SRT_EPOLL_ERR;
    srt_epoll_add_usock(o.eid, s, &events);
    o.connecting = s;
}

void endCall(Out &o, bool failed)
{
    srt_epoll_remove_usock(o.eid, o.connecting);
    if (failed) {
        int reason = srt_getrejectreason(o.connecting);
        o.refused.store(reason != SRT_REJ_TIMEOUT);
        if (reason != o.saidReason) {
            o.saidReason = reason;
            char line[200];
            std::snprintf(line, sizeof line, "srt call to %s failed: %s%s", o.target, refusalWords(reason),
                          o.everConnected ? "" : ", calling again every second (less often after 10 s)");
            say(o, line, true);
        }
        srt_close(o.connecting);
    }
    o.connecting = SRT_INVALID_SOCK;
}

// One call, watched in ticks until it is answered, refused or timed out, or the stop comes.
int call(Out &o, const MediaStop *stop)
{
    beginCall(o);
    while (o.connecting != SRT_INVALID_SOCK) {
        SRT_EPOLL_EVENT events[2];
        srt_epoll_uwait(o.eid, events, 2, 0);
        SRT_SOCKSTATUS st = srt_getsockstate(o.connecting);
        if (st == SRTS_CONNECTED) {
            SRTSOCKET s = o.connecting;
            endCall(o, false);
            addPeer(o, s, o.target);
            Console_say(o.everConnected ? "srt reconnected to %s\n" : "srt connected to %s\n", o.target);
            o.everConnected = true;
            o.saidReason = -1;
            o.refused.store(false);
            return Sender_EOK;
        }
        if (st != SRTS_CONNECTING || msSince(o.tryBegan) > 2 * kConnectTimeoutMs) {
            endCall(o, true);
        } else if (!Media_waitMs(stop, kTickMs)) {
            srt_epoll_remove_usock(o.eid, o.connecting);
            srt_close(o.connecting);
            o.connecting = SRT_INVALID_SOCK;
        }
    }
    return Sender_ERETRY;
}

// False once the peer has gone: said, and its connection closed.
bool tendCaller(Out &o)
{
    Peer &p = o.peers[0];
    SRT_SOCKSTATUS st = p.sock != SRT_INVALID_SOCK ? srt_getsockstate(p.sock) : SRTS_CLOSED;
    if (st == SRTS_CONNECTED) {
        return true;
    }
    char line[160];
    std::snprintf(line, sizeof line, "srt connection to %s lost (%s), reconnecting", o.target,
                  st == SRTS_BROKEN ? "the peer left or stopped answering" : "closed");
    say(o, line, true);
    if (p.sock != SRT_INVALID_SOCK) {
        removePeer(o, 0);
    }
    o.saidReason = SRT_REJ_TIMEOUT; // the tries until the peer is back say nothing more
    return false;
}

// --- Listener ---

int beginListening(Out &o)
{
    o.tryBegan = SteadyClock::now();
    SRTSOCKET s = makeSocket(o);
    sockaddr_in sa = address(o.settings.host, o.settings.port);
    if (s != SRT_INVALID_SOCK && srt_bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != SRT_ERROR &&
        srt_listen(s, SRT_MAX_CALLERS + 1) != SRT_ERROR) {
        int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_add_usock(o.eid, s, &events);
        o.listener = s;
        o.listening.store(true);
        o.saidReason = -1;
        Console_say("srt listening on %s\n", o.target);
        return Sender_EOK;
    }
    if (o.saidReason != 0) {
        o.saidReason = 0; // once until it works
        char line[200];
        std::snprintf(line, sizeof line,
                      "Error: srt cannot listen on %s: %s, trying again every second (less often after 10 s)",
                      o.target, srt_getlasterror_str());
        say(o, line, true);
    }
    if (s != SRT_INVALID_SOCK) {
        srt_close(s);
    }
    return Sender_ERETRY;
}

void acceptCallers(Out &o)
{
    for (;;) {
        sockaddr_storage ss{};
        int len = sizeof ss;
        SRTSOCKET s = srt_accept(o.listener, reinterpret_cast<sockaddr *>(&ss), &len);
        if (s == SRT_INVALID_SOCK) {
            return;
        }
        char name[kNameChars];
        nameOf(ss, name);
        int n = peerCount(o);
        if (n >= SRT_MAX_CALLERS) {
            Console_say("srt caller %s refused: %d callers already\n", name, n);
            srt_close(s);
            continue;
        }
        setBool(s, SRTO_SNDSYN, false);
        addPeer(o, s, name);
        Console_say("srt caller %s connected (%d of %d)\n", name, n + 1, SRT_MAX_CALLERS);
    }
}

void tendListener(Out &o)
{
    acceptCallers(o);
    for (int i = 0; i < SRT_MAX_CALLERS; i++) {
        Peer &p = o.peers[i];
        if (p.sock != SRT_INVALID_SOCK && srt_getsockstate(p.sock) != SRTS_CONNECTED) {
            Console_say("srt caller %s left\n", p.name);
            removePeer(o, i);
        }
    }
}

SrtOut_Handle create(const SrtOut_Attrs *attrs)
{
    std::unique_ptr<Out> o(new (std::nothrow) Out);
    if (o == nullptr) {
        std::fputs("Error: Failed to allocate the srt queue\n", stderr);
        return nullptr;
    }
    o->settings = attrs->settings;
    sockaddr_in where = address(o->settings.host, o->settings.port);
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &where.sin_addr, ip, sizeof ip);
    std::snprintf(o->target, sizeof o->target, "%s:%d", ip, o->settings.port);
    if (srt_startup() < 0) {
        std::fputs("Error: Failed to start the srt library\n", stderr);
        return nullptr;
    }
    srt_setloglevel(LOG_CRIT); // the output's own lines say what happened, once
    o->eid = srt_epoll_create();
    if (o->eid < 0) {
        std::fputs("Error: Failed to create the srt thread\n", stderr);
        srt_cleanup();
        return nullptr;
    }
    srt_epoll_set(o->eid, SRT_EPOLL_ENABLE_EMPTY);
    o->lastStats = SteadyClock::now();
    int payloads = attrs->queuePayloads > 0 ? attrs->queuePayloads : SRT_QUEUE_PAYLOADS;
    SenderConfig config{"srt", "", "srt queue full, %llu payloads dropped\n", payloads * SRT_PAYLOAD_BYTES,
                        payloads, kTickMs, 0, 0};
    o->sender = Sender_create(&config, o.get());
    if (o->sender == nullptr) {
        srt_epoll_release(o->eid);
        srt_cleanup();
        return nullptr;
    }
    return o.release();
}

} // namespace

// --- The link, on the worker's thread ---

int SrtOut_Object::connect(const MediaStop *stop)
{
    return settings.mode == SrtMode::Caller ? call(*this, stop) : beginListening(*this);
}

int SrtOut_Object::send(const SenderUnit &unit)
{
    for (Peer &p : peers) {
        if (p.sock != SRT_INVALID_SOCK) {
            sendTo(*this, p, unit.data, unit.bytes);
        }
    }
    return Sender_EOK;
}

int SrtOut_Object::tend()
{
    // The events only say that something may have changed; the states say what.
    SRT_EPOLL_EVENT events[SRT_MAX_CALLERS + 2];
    srt_epoll_uwait(eid, events, SRT_MAX_CALLERS + 2, 0);
    bool up = true;
    if (settings.mode == SrtMode::Caller) {
        up = tendCaller(*this);
    } else {
        tendListener(*this);
    }
    if (msSince(lastStats) >= kStatsMs) {
        readStats(*this);
    }
    return up ? Sender_EOK : Sender_ELOST;
}

void SrtOut_Object::disconnect(bool)
{
    for (int i = 0; i < SRT_MAX_CALLERS; i++) {
        if (peers[i].sock != SRT_INVALID_SOCK) {
            removePeer(*this, i);
        }
    }
    if (listener != SRT_INVALID_SOCK) {
        srt_epoll_remove_usock(eid, listener);
        srt_close(listener);
        listener = SRT_INVALID_SOCK;
        listening.store(false);
    }
}

void SrtOut_Object::ts(const uint8_t *data, int bytes)
{
    for (int offset = 0; offset < bytes; offset += SRT_PAYLOAD_BYTES) {
        SrtOut_put(this, data + offset, std::min(bytes - offset, SRT_PAYLOAD_BYTES));
    }
}

SrtOut_Handle SrtOut_create(const SrtOut_Attrs *attrs)
{
    if (attrs == nullptr) {
        return nullptr;
    }
    try {
        return create(attrs);
    } catch (...) {
        std::fputs("Error: Failed to create the srt output\n", stderr);
        return nullptr;
    }
}

Output *SrtOut_output(SrtOut_Handle h)
{
    return h;
}

void SrtOut_destroy(SrtOut_Handle h)
{
    if (h == nullptr) {
        return;
    }
    Sender_destroy(h->sender); // its last disconnect closes every connection
    srt_epoll_release(h->eid);
    srt_cleanup();
    delete h;
}

int SrtOut_put(SrtOut_Handle h, const uint8_t *payload, int bytes)
{
    if (h == nullptr || payload == nullptr || bytes <= 0 || bytes > SRT_PAYLOAD_BYTES) {
        return Srt_EINVAL;
    }
    int r = Sender_put(h->sender, SenderKind::Ts, payload, bytes, FrameTime{}, true);
    if (r == Sender_EFULL) {
        h->queueDropped.fetch_add(1, std::memory_order_relaxed);
        return Srt_EFULL;
    }
    return r == Sender_EOK ? Srt_EOK : Srt_ENOTUP;
}

SrtOutStats SrtOut_stats(SrtOut_Handle h)
{
    SrtOutStats s{};
    if (h == nullptr) {
        return s;
    }
    s.peers = h->peersUp.load();
    s.payloads = h->payloads.load(std::memory_order_relaxed);
    s.queueDropped = h->queueDropped.load(std::memory_order_relaxed);
    s.bufferDropped = h->bufferDropped.load(std::memory_order_relaxed);
    s.reconnects = Sender_stats(h->sender).reconnects;
    uint64_t retransmitted = h->retransmittedGone.load(std::memory_order_relaxed);
    {
        ScopedLock lock(h->statsLock);
        for (const PeerReport &r : h->reports) {
            retransmitted += r.up ? r.retransmitted : 0;
        }
    }
    s.retransmitted = retransmitted;
    return s;
}
