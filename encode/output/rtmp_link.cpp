// Owns one connection at a time. The worker thread makes, uses and ends it; abort() comes from the
// watchdog or the owner and only ever shuts down the guard descriptor, under guardLock_, which is also
// held while the guard changes.
#include "encode/output/rtmp_link.h"

#include "encode/core/console.h"
#include "encode/output/rtmp_tls.h"

#include <librtmp/log.h>
#include <librtmp/rtmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

static_assert(RTMP_LINK_HEADER_ROOM == RTMP_MAX_HEADER_SIZE, "the room librtmp writes its chunk header into");

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

constexpr size_t kUrlChars = 255;
constexpr int kChunkSize = 1024;
constexpr uint8_t kTypeChunkSize = 1;
constexpr int kChannelControl = 2;
constexpr int kSendTimeoutMs = 1000;
constexpr int kCloseTimeoutMs = 200; // the two commands of an orderly end, on a server that may be gone
constexpr int kReceiveTimeoutS = 5;  // TCP connect, handshake and connect answers
constexpr int kDrainReads = 64;

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The TCP connection, bounded, and then the socket's send and receive bounds.
bool connectSocket(int fd, const sockaddr_in &server)
{
    timeval connectBound{kReceiveTimeoutS, 0};
    timeval sendBound{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
    timeval receiveBound{kReceiveTimeoutS, 0};
    int on = 1;
    // On Linux the send timeout bounds connect() as well.
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &connectBound, sizeof connectBound) == 0 &&
           connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendBound, sizeof sendBound) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveBound, sizeof receiveBound) == 0 &&
           setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

} // namespace

struct RtmpLink::Connection {
    RTMP *r = nullptr;
    int guardFd = -1;
    char url[kUrlChars + 1] = {}; // librtmp keeps pointers into it for the connection's life
    std::string host;
    bool secured = false; // rtmps: the TLS is the link's (tls), librtmp's own is switched off
    RtmpTls tls;          // outlives the session librtmp ends in its close (freed after ~Connection's body)

    ~Connection()
    {
        if (r != nullptr) {
            if (RTMP_IsConnected(r)) {
                // Closed without ceremony: the commands librtmp sends while closing fail at once.
                tls.closing();
                shutdown(guardFd, SHUT_RDWR);
                RTMP_Close(r);
            }
            RTMP_Free(r);
        }
        if (guardFd >= 0) {
            ::close(guardFd);
        }
    }

    // The socket to the server librtmp parsed from the URL, and the guard's handle on it. librtmp
    // owns the socket from here on (its close closes it).
    bool makeSocket(sockaddr_in *server)
    {
        host.assign(r->Link.hostname.av_val, static_cast<size_t>(std::max(r->Link.hostname.av_len, 0)));
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
            return false;
        }
        std::memcpy(server, found->ai_addr, sizeof *server);
        freeaddrinfo(found);
        server->sin_port = htons(r->Link.port != 0 ? r->Link.port : 1935);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        r->m_sb.sb_socket = fd;
        guardFd = dup(fd);
        return guardFd >= 0;
    }
};

RtmpLink::~RtmpLink()
{
    delete conn_;
}

void RtmpLink::say(const char *line) const
{
    Console_say("%s%s", tag_, line);
}

void RtmpLink::setGuard(int fd)
{
    ScopedLock lock(guardLock_);
    guardFd_ = fd;
}

void RtmpLink::abort()
{
    ScopedLock lock(guardLock_);
    aborted_.store(true);
    if (guardFd_ >= 0) {
        shutdown(guardFd_, SHUT_RDWR);
    }
}

// A refusal of the TLS step: said, and made the output's error, once while it stays the same.
void RtmpLink::refuse(const std::string &line)
{
    if (line == refused_) {
        return;
    }
    refused_ = line;
    Console_say("%s%s\n", tag_, line.c_str());
    error_.set(line.c_str());
}

// rtmps: the session librtmp is to use, made and checked before it sends its first byte (the RTMP
// handshake, then connect and publish with the stream key).
bool RtmpLink::secure(Connection *c, const MediaStop *stop)
{
    std::string why;
    if (c->tls.start(c->r->m_sb.sb_socket, c->host, kReceiveTimeoutS * 1000, why) == RtmpTls::Up) {
        c->r->m_sb.sb_ssl = c->tls.handOver();
        return true;
    }
    if (!MediaStop_raised(stop)) {
        refuse("rtmps: " + why + "; nothing sent");
    }
    return false;
}

// Socket, TLS for rtmps, handshake, connect and publish. The guard is published before the stop is
// looked at, so a stop either finds it to shut down or is seen here.
bool RtmpLink::reach(Connection *c, const MediaStop *stop, bool quiet)
{
    sockaddr_in server{};
    bool made = c->makeSocket(&server);
    setGuard(made ? c->guardFd : -1);
    if (MediaStop_raised(stop)) {
        return false;
    }
    made = made && connectSocket(c->r->m_sb.sb_socket, server);
    if (made && c->secured && !secure(c, stop)) {
        return false;
    }
    if (made) {
        c->r->m_bSendCounter = TRUE;
        made = RTMP_Connect1(c->r, nullptr) != 0;
    }
    if (!made) {
        if (!quiet && !MediaStop_raised(stop)) {
            say("connect error\n");
        }
        return false;
    }
    if (!RTMP_ConnectStream(c->r, 0)) {
        if (!quiet && !MediaStop_raised(stop)) {
            say("connect stream erro \n");
        }
        c->tls.closing();
        RTMP_Close(c->r);
        return false;
    }
    return true;
}

RtmpLink::Opened RtmpLink::open(const std::string &url, const MediaStop *stop, bool quiet)
{
    aborted_.store(false);
    std::unique_ptr<Connection> c(new (std::nothrow) Connection);
    if (c == nullptr || url.size() > kUrlChars || (c->r = RTMP_Alloc()) == nullptr) {
        return Retry;
    }
    RTMP_LogSetLevel(RTMP_LOGCRIT); // the link's own lines say what happened, once
    {
        // RTMP_Init makes librtmp's one TLS context on its first call without a lock: two destinations
        // connecting at once each made one and one leaked.
        static std::mutex initLock;
        std::lock_guard<std::mutex> lock(initLock);
        RTMP_Init(c->r);
    }
    std::memcpy(c->url, url.data(), url.size());
    if (!RTMP_SetupURL(c->r, c->url)) {
        say("setupurl error\n");
        return BadUrl;
    }
    c->r->Link.timeout = kReceiveTimeoutS;
    // librtmp's own TLS would check no certificate: the link makes a checked session instead.
    c->secured = (c->r->Link.protocol & RTMP_FEATURE_SSL) != 0;
    c->r->Link.protocol &= ~RTMP_FEATURE_SSL;
    RTMP_EnableWrite(c->r);
    bool reached = reach(c.get(), stop, quiet);
    if (!reached) {
        setGuard(-1);
        return Retry;
    }
    say("connect stream ok \n");
    refused_.clear();
    conn_ = c.release();
    uint8_t body[RTMP_LINK_HEADER_ROOM + 4];
    put32(body + RTMP_LINK_HEADER_ROOM, kChunkSize);
    if (!send(kTypeChunkSize, kChannelControl, 0, body + RTMP_LINK_HEADER_ROOM, 4)) {
        return Retry; // send() said why
    }
    conn_->r->m_outChunkSize = kChunkSize;
    return Up;
}

// The connection is abandoned: its socket is reset, so that the server ends the stream at once
// instead of reading what was still queued for it first (seconds of it after a stall), and takes the
// next connection's stream of the same name; shut down first, so that librtmp's close (two more
// commands) fails at once instead of waiting out the send timeout again.
void RtmpLink::lost(const char *why)
{
    linger reset{1, 0};
    setsockopt(conn_->guardFd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    shutdown(conn_->guardFd, SHUT_RDWR);
    conn_->tls.closing();
    RTMP_Close(conn_->r);
    char line[96];
    std::snprintf(line, sizeof line, "rtmp connection lost (%s), reconnecting", why);
    Console_say("%s%s\n", tag_, line);
    error_.set(line);
    close(false);
}

bool RtmpLink::send(uint8_t type, int channel, int64_t timestamp, uint8_t *body, uint32_t size)
{
    if (conn_ == nullptr) {
        return false;
    }
    RTMP *r = conn_->r;
    RTMPPacket packet{};
    // Always the large header: the compressed forms have an extended-timestamp fault in this librtmp.
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_packetType = type;
    packet.m_nChannel = channel;
    packet.m_nTimeStamp = static_cast<uint32_t>(timestamp);
    packet.m_nInfoField2 = r->m_stream_id;
    packet.m_nBodySize = size;
    packet.m_body = reinterpret_cast<char *>(body);
    if (!RTMP_SendPacket(r, &packet, 0) || !RTMP_IsConnected(r)) {
        lost(aborted_.load() ? "send timed out" : "send failed");
        return false;
    }
    bytes_.fetch_add(size, std::memory_order_relaxed);
    return true;
}

bool RtmpLink::drain()
{
    if (conn_ == nullptr) {
        return false;
    }
    if (conn_->secured) {
        // The TLS records go through the session: bytes taken off the socket here would break it.
        void *session = conn_->r->m_sb.sb_ssl;
        if (session == nullptr || !conn_->tls.drain(static_cast<gnutls_session_t>(session))) {
            lost("server closed the connection");
            return false;
        }
        return true;
    }
    char sink[4096];
    for (int i = 0; i < kDrainReads; i++) {
        ssize_t r = recv(conn_->guardFd, sink, sizeof sink, MSG_DONTWAIT);
        if (r > 0) {
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            lost("server closed the connection");
            return false;
        }
        return true;
    }
    return true;
}

void RtmpLink::close(bool orderly)
{
    if (conn_ == nullptr) {
        return;
    }
    if (orderly && RTMP_IsConnected(conn_->r)) {
        // The two commands of the orderly end get a short bound: the server may be stalled.
        timeval bound{0, kCloseTimeoutMs * 1000};
        setsockopt(conn_->guardFd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        conn_->tls.closing(); // the server's close_notify is not waited for
        RTMP_Close(conn_->r);
    }
    setGuard(-1);
    delete conn_;
    conn_ = nullptr;
}
