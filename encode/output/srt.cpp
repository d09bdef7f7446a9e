// SRT output.
//
// Threads: the TS fan-out (writer and audio threads, one at a time under the TS output's lock) only
// copies payloads into the queue, under the queue's own lock held for the copy. The output's thread
// owns everything else: the sockets, the epoll set and the peers' sending state; no other thread
// touches a socket. The reporter (status thread) reads the peers' published figures under statsLock
// and the counters, which are atomics.
//
// Every libsrt call is bounded: sockets are non-blocking for sending and receiving (SRTO_SNDSYN and
// SRTO_RCVSYN false), a call connects with SRTO_CONNTIMEO and is watched from the thread's loop,
// accepts come from srt_epoll_uwait with no wait, and linger is off so that a close never waits for a
// peer that has stopped. The thread itself waits only on the queue, at most one tick at a time, which
// is also what bounds a stop.
#include "encode/output/srt.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/status_board.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <srt/srt.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;
using ScopedLock = std::lock_guard<std::mutex>;

constexpr int kTickMs = 20;           // connections, accepts and breaks are looked at this often
constexpr int kRetryMs = 1000;        // a caller calls again this long after its last try began
constexpr int kConnectTimeoutMs = 1000;
// A peer that has sent nothing back (not even an acknowledgement) for this long is gone: a killed
// player is noticed in time for its successor to be served within a few seconds.
constexpr int kPeerIdleMs = 1500;
constexpr int kStatsMs = 1000;
constexpr int kKeyWaitMs = 3000;      // a new peer waits this long for a PAT before a key frame
constexpr int kTsPacket = 188;
constexpr int kNameChars = 48;

int64_t msSince(SteadyClock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t).count();
}

// Fixed slots of SRT_PAYLOAD_BYTES made at create; the sender reads the oldest in place.
class PayloadQueue {
public:
    bool make(int slots)
    {
        bytes_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(slots) * SRT_PAYLOAD_BYTES]);
        lengths_.reset(new (std::nothrow) int[static_cast<size_t>(slots)]);
        capacity_ = bytes_ != nullptr && lengths_ != nullptr ? slots : 0;
        return capacity_ > 0;
    }

    // Producers: Srt_EOK, or Srt_EFULL (counted in the current run of drops).
    int put(const uint8_t *data, int bytes)
    {
        ScopedLock lock(lock_);
        if (count_ == capacity_) {
            runDrops_++;
            return Srt_EFULL;
        }
        int at = (first_ + count_) % capacity_;
        std::memcpy(bytes_.get() + static_cast<size_t>(at) * SRT_PAYLOAD_BYTES, data, static_cast<size_t>(bytes));
        lengths_[at] = bytes;
        count_++;
        changed_.notify_one();
        return Srt_EOK;
    }

    // The sender: the oldest payload, left in place until release(); false when none came within
    // `waitMs` or the queue was closed.
    bool take(const uint8_t **data, int *bytes, int waitMs)
    {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return count_ > 0 || closed_; });
        if (closed_ || count_ == 0) {
            return false;
        }
        *data = bytes_.get() + static_cast<size_t>(first_) * SRT_PAYLOAD_BYTES;
        *bytes = lengths_[first_];
        return true;
    }
    void release()
    {
        ScopedLock lock(lock_);
        first_ = (first_ + 1) % capacity_;
        count_--;
    }
    // The drops of a run once the queue has room again (0 while none has ended).
    uint64_t endedRun()
    {
        ScopedLock lock(lock_);
        if (count_ == capacity_) {
            return 0;
        }
        uint64_t n = runDrops_;
        runDrops_ = 0;
        return n;
    }
    void close()
    {
        ScopedLock lock(lock_);
        closed_ = true;
        changed_.notify_all();
    }
    bool closed()
    {
        ScopedLock lock(lock_);
        return closed_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::unique_ptr<uint8_t[]> bytes_; // guarded by lock_ from here on, slot by slot
    std::unique_ptr<int[]> lengths_;
    int capacity_ = 0;
    int first_ = 0;
    int count_ = 0;
    bool closed_ = false;
    uint64_t runDrops_ = 0;
};

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

struct SrtOut_Object {
    SrtSettings settings; // fixed at create
    char target[kNameChars] = "";

    PayloadQueue queue;

    std::atomic<uint64_t> payloads{0};
    std::atomic<uint64_t> queueDropped{0};
    std::atomic<uint64_t> bufferDropped{0};
    std::atomic<uint64_t> retransmittedGone{0}; // of connections that have ended
    std::atomic<uint64_t> reconnects{0};
    std::atomic<int> peersUp{0};
    std::atomic<bool> listening{false};
    std::atomic<bool> refused{false}; // caller: the peer answered the last call with a refusal
    StatusError lastError;
    int statusId = 0;

    mutable std::mutex statsLock;
    PeerReport reports[SRT_MAX_CALLERS]; // guarded by statsLock

    // The output's thread only.
    Peer peers[SRT_MAX_CALLERS];
    int eid = -1;
    SRTSOCKET listener = SRT_INVALID_SOCK;
    SRTSOCKET connecting = SRT_INVALID_SOCK;
    SteadyClock::time_point tryBegan;
    bool everConnected = false;
    int saidReason = -1; // the failure already printed in this outage
    SteadyClock::time_point lastStats;

    std::thread thread;
};

namespace {

using Out = SrtOut_Object;

void report(const void *ctx, nlohmann::json &out)
{
    const auto &o = *static_cast<const Out *>(ctx);
    bool listener = o.settings.mode == SrtMode::Listener;
    int up = o.peersUp.load(std::memory_order_relaxed);
    out["kind"] = "srt";
    out["name"] = listener ? "SRT listener" : "SRT caller";
    out["target"] = o.target;
    bool failing = listener ? !o.listening.load() : o.refused.load();
    out["state"] = up > 0 ? "ok" : failing ? "error" : "waiting";
    if (listener) {
        out["clients"] = up;
    } else {
        out["reconnects"] = o.reconnects.load(std::memory_order_relaxed);
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
    out["dropped"] = dropped;
    out["retransmitted"] = retransmitted;
    out["connections"] = std::move(connections);
    o.lastError.report(out);
}

void say(Out &o, const char *line, bool asError)
{
    Console_say("%s\n", line);
    if (asError) {
        o.lastError.set(line);
    }
}

// --- Where a new peer starts ---

int pidOf(const uint8_t *p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

bool unitStart(const uint8_t *p)
{
    return p[0] == 0x47 && (p[1] & 0x40) != 0;
}

// The payload of a TS packet: its offset in the packet, or -1 when it carries none.
int payloadAt(const uint8_t *p)
{
    int control = (p[3] >> 4) & 3;
    int at = 4;
    if ((control & 2) != 0) {
        at += 1 + p[4];
    }
    return (control & 1) != 0 && at < kTsPacket ? at : -1;
}

// True when the packet begins a video PES whose access unit begins with an SPS (a key frame: the
// encoder puts SPS and PPS before every IDR picture).
bool beginsKeyFrame(const uint8_t *p)
{
    int at = payloadAt(p);
    if (!unitStart(p) || at < 0 || at + 9 > kTsPacket) {
        return false;
    }
    const uint8_t *pes = p + at;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || (pes[3] & 0xF0) != 0xE0) {
        return false;
    }
    int es = at + 9 + pes[8];
    for (int i = es; i + 3 < kTsPacket && i < es + 8; i++) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            return (p[i + 3] & 0x1F) == 7;
        }
    }
    return false;
}

// Where in the payload a new peer starts: the offset of a PAT (one followed by a key frame within the
// payload when `keyOnly`), or -1 when it holds none.
int startAt(const uint8_t *data, int bytes, bool keyOnly)
{
    for (int i = 0; i + kTsPacket <= bytes; i += kTsPacket) {
        if (!unitStart(data + i) || pidOf(data + i) != 0) {
            continue;
        }
        if (!keyOnly) {
            return i;
        }
        for (int k = i + kTsPacket; k + kTsPacket <= bytes; k += kTsPacket) {
            if (beginsKeyFrame(data + k)) {
                return i;
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
                          o.everConnected ? "" : ", calling again every second");
            say(o, line, true);
        }
        srt_close(o.connecting);
    }
    o.connecting = SRT_INVALID_SOCK;
}

void tendCaller(Out &o)
{
    Peer &p = o.peers[0];
    if (p.sock != SRT_INVALID_SOCK) {
        SRT_SOCKSTATUS st = srt_getsockstate(p.sock);
        if (st == SRTS_CONNECTED) {
            return;
        }
        char line[160];
        std::snprintf(line, sizeof line, "srt connection to %s lost (%s), reconnecting", o.target,
                      st == SRTS_BROKEN ? "the peer left or stopped answering" : "closed");
        say(o, line, true);
        removePeer(o, 0);
        o.saidReason = SRT_REJ_TIMEOUT; // the tries until the peer is back say nothing more
        o.tryBegan = SteadyClock::now() - std::chrono::milliseconds(kRetryMs);
    }
    if (o.connecting == SRT_INVALID_SOCK) {
        if (msSince(o.tryBegan) >= kRetryMs) {
            beginCall(o);
        }
        return;
    }
    SRT_SOCKSTATUS st = srt_getsockstate(o.connecting);
    if (st == SRTS_CONNECTED) {
        SRTSOCKET s = o.connecting;
        endCall(o, false);
        addPeer(o, s, o.target);
        Console_say(o.everConnected ? "srt reconnected to %s\n" : "srt connected to %s\n", o.target);
        o.reconnects.fetch_add(o.everConnected ? 1 : 0, std::memory_order_relaxed);
        o.everConnected = true;
        o.saidReason = -1;
        o.refused.store(false);
    } else if (st != SRTS_CONNECTING || msSince(o.tryBegan) > 2 * kConnectTimeoutMs) {
        endCall(o, true);
    }
}

// --- Listener ---

void beginListening(Out &o)
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
        return;
    }
    if (o.saidReason != 0) {
        o.saidReason = 0; // once until it works
        char line[200];
        std::snprintf(line, sizeof line, "Error: srt cannot listen on %s: %s, trying again every second", o.target,
                      srt_getlasterror_str());
        say(o, line, true);
    }
    if (s != SRT_INVALID_SOCK) {
        srt_close(s);
    }
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
    if (o.listener == SRT_INVALID_SOCK) {
        if (msSince(o.tryBegan) >= kRetryMs) {
            beginListening(o);
        }
        return;
    }
    acceptCallers(o);
    for (int i = 0; i < SRT_MAX_CALLERS; i++) {
        Peer &p = o.peers[i];
        if (p.sock == SRT_INVALID_SOCK) {
            continue;
        }
        SRT_SOCKSTATUS st = srt_getsockstate(p.sock);
        if (st != SRTS_CONNECTED) {
            Console_say("srt caller %s left\n", p.name);
            removePeer(o, i);
        }
    }
}

// --- The thread ---

void tend(Out &o)
{
    // The events only say that something may have changed; the states say what.
    SRT_EPOLL_EVENT events[SRT_MAX_CALLERS + 2];
    srt_epoll_uwait(o.eid, events, SRT_MAX_CALLERS + 2, 0);
    if (o.settings.mode == SrtMode::Caller) {
        tendCaller(o);
    } else {
        tendListener(o);
    }
    if (msSince(o.lastStats) >= kStatsMs) {
        readStats(o);
    }
    if (uint64_t n = o.queue.endedRun()) {
        Console_say("srt queue full, %llu payloads dropped\n", static_cast<unsigned long long>(n));
    }
}

void run(Out &o)
{
    pthread_setname_np(pthread_self(), "srt");
    o.lastStats = SteadyClock::now();
    o.tryBegan = SteadyClock::now() - std::chrono::milliseconds(kRetryMs);
    SteadyClock::time_point tended = o.tryBegan;
    while (!o.queue.closed()) {
        const uint8_t *data = nullptr;
        int bytes = 0;
        if (o.queue.take(&data, &bytes, kTickMs)) {
            for (Peer &p : o.peers) {
                if (p.sock != SRT_INVALID_SOCK) {
                    sendTo(o, p, data, bytes);
                }
            }
            o.queue.release();
        }
        if (msSince(tended) >= kTickMs) {
            tended = SteadyClock::now();
            tend(o);
        }
    }
    for (int i = 0; i < SRT_MAX_CALLERS; i++) {
        if (o.peers[i].sock != SRT_INVALID_SOCK) {
            removePeer(o, i);
        }
    }
    if (o.connecting != SRT_INVALID_SOCK) {
        srt_close(o.connecting);
    }
    if (o.listener != SRT_INVALID_SOCK) {
        srt_close(o.listener);
    }
}

SrtOut_Handle create(const SrtOut_Attrs *attrs)
{
    std::unique_ptr<Out> o(new (std::nothrow) Out);
    int slots = attrs->queuePayloads > 0 ? attrs->queuePayloads : SRT_QUEUE_PAYLOADS;
    if (o == nullptr || !o->queue.make(slots)) {
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
    try {
        o->thread = std::thread(run, std::ref(*o));
    } catch (const std::system_error &) {
        std::fputs("Error: Failed to create the srt thread\n", stderr);
        srt_epoll_release(o->eid);
        srt_cleanup();
        return nullptr;
    }
    o->statusId = StatusBoard_add(StatusSection::Output, report, o.get());
    return o.release();
}

} // namespace

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

void SrtOut_destroy(SrtOut_Handle h)
{
    if (h == nullptr) {
        return;
    }
    StatusBoard_remove(h->statusId);
    h->queue.close();
    if (h->thread.joinable()) {
        h->thread.join();
    }
    srt_epoll_release(h->eid);
    srt_cleanup();
    delete h;
}

int SrtOut_put(SrtOut_Handle h, const uint8_t *payload, int bytes)
{
    if (h == nullptr || payload == nullptr || bytes <= 0 || bytes > SRT_PAYLOAD_BYTES) {
        return Srt_EINVAL;
    }
    int r = h->queue.put(payload, bytes);
    if (r != Srt_EOK) {
        h->queueDropped.fetch_add(1, std::memory_order_relaxed);
    }
    return r;
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
    s.reconnects = h->reconnects.load(std::memory_order_relaxed);
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
