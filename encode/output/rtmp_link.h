// The RTMP output's connection to its server: the socket, the bounded TCP connect, librtmp's handshake,
// connect and publish, the messages sent on it, and its end. Internal to the RTMP output (rtmp.cpp),
// whose sender worker thread makes every call but abort().
//
// librtmp (2.4) sends with plain blocking send() and bounds only receives, so a stalled server would
// hold a send for ever. Two bounds stop that: the socket gets a 1 s send timeout, and abort() (the
// worker's watchdog, for a send past its bound; the owner, for a connect at a stop) shuts the socket
// down, which ends any send or receive at once. The shutdown matters because librtmp closes the
// connection itself after a failed send and sends two more commands while closing; on a shut-down
// socket those fail at once instead of each waiting out its own timeout. The link keeps a dup() of
// the socket for that, so that it never shuts down a descriptor number librtmp has already closed and
// the system has handed out again. The TCP connection is made here rather than by librtmp, so that it
// is bounded too and a stop can cut it short through that same dup.
//
// rtmps:// (port 443 unless the URL names one): the TLS session is made and the server's certificate
// checked here too (rtmp_tls.h), on that socket, before librtmp sends anything; librtmp then reads and
// writes through the session. A server that fails the checks is sent nothing past the TLS handshake.
#pragma once

#include "encode/core/status_board.h"
#include "encode/media/wait.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct RTMP;

// librtmp writes a chunk header in front of a message body: every body handed to RtmpLink::send has
// this many bytes of room before it.
inline constexpr int RTMP_LINK_HEADER_ROOM = 18;

inline constexpr uint8_t RTMP_TYPE_AUDIO = 8;
inline constexpr uint8_t RTMP_TYPE_VIDEO = 9;
inline constexpr uint8_t RTMP_TYPE_METADATA = 18;
inline constexpr int RTMP_CHANNEL_VIDEO = 3; // metadata too
inline constexpr int RTMP_CHANNEL_AUDIO = 4;

class RtmpLink {
public:
    // `tag` begins every line of the link's ("" or "rtmp N: "); a loss is also set in `error`.
    RtmpLink(const char *tag, StatusError &error) : tag_(tag), error_(error) {}
    ~RtmpLink();
    RtmpLink(const RtmpLink &) = delete;
    RtmpLink &operator=(const RtmpLink &) = delete;

    enum Opened { Up, Retry, BadUrl };
    // Socket, TLS for rtmps, handshake, connect and publish, each bounded, then the chunk size; `stop`
    // raised ends it. Says what failed ("connect error", "connect stream erro ", "setupurl error")
    // unless `quiet`; a refusal of the TLS step ("rtmps: ...; nothing sent") is said, and set in
    // `error`, whenever it differs from the last one said since the link was last up. "connect
    // stream ok " once it is up.
    Opened open(const std::string &url, const MediaStop *stop, bool quiet);

    // One message with a timestamp, the body behind RTMP_LINK_HEADER_ROOM bytes of room (librtmp
    // overwrites them and parts of the body: a body is built anew for every send). False when the
    // connection was lost, which is said ("rtmp connection lost (...), reconnecting").
    bool send(uint8_t type, int channel, int64_t timestamp, uint8_t *body, uint32_t size);

    // Reads what the server sends (acknowledgements, pings: a publisher never reads them, they would
    // fill the socket in the end). False, with the loss said, when the server has gone.
    bool drain();

    // Ends the connection: in order within a short bound (`orderly`, the server sees the stream end),
    // or at once after a loss. Nothing happens without one.
    void close(bool orderly);

    // Any thread: a connect, send or receive in progress returns at once.
    void abort();

    bool up() const { return conn_ != nullptr; }
    uint64_t bytesSent() const { return bytes_.load(std::memory_order_relaxed); }

private:
    struct Connection;

    void lost(const char *why);
    bool reach(Connection *c, const MediaStop *stop, bool quiet);
    bool secure(Connection *c, const MediaStop *stop);
    void refuse(const std::string &line);
    void say(const char *line) const;
    void setGuard(int fd);

    const char *tag_;
    StatusError &error_;
    Connection *conn_ = nullptr; // the worker's
    std::string refused_;        // the worker's: the TLS refusal last said in this outage
    std::atomic<uint64_t> bytes_{0};
    std::atomic<bool> aborted_{false}; // since the last open: a failed send timed out

    std::mutex guardLock_; // the guard descriptor abort() shuts down
    int guardFd_ = -1;     // guarded by guardLock_
};
