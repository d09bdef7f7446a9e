// What the HTTP TS server's two files share: the server object, its ring's layout and the bounds of
// its client threads. http_ts.cpp holds the server (its ring's writer, the accept, the client threads'
// lives), http_ts_stream.cpp what a client thread does with the ring (copy, send, judge the lag).
#pragma once

#include "encode/media/wait.h"
#include "encode/output/client_lag.h"
#include "encode/output/http_ts.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace http_ts {

inline constexpr uint64_t kRingBytes = HTTP_TS_RING_BYTES;
inline constexpr uint64_t kWordBytes = sizeof(uint64_t);
inline constexpr uint64_t kRingWords = kRingBytes / kWordBytes;
static_assert(kRingBytes % kWordBytes == 0, "the ring wraps on a word boundary");
inline constexpr uint64_t kStep = HTTP_TS_STEP_BYTES;
inline constexpr uint64_t kPacketBytes = 188;
// Where a client starts: the whole packets that cover one step, so that its first step can go out at
// once and begins on a sync byte.
inline constexpr uint64_t kStartBehind = (kStep + kPacketBytes - 1) / kPacketBytes * kPacketBytes;
// A client thread with nothing to send sleeps until the next append, looking at the stop signal at
// least this often.
inline constexpr int kIdleWaitMs = 100;
// Whole steps copied out of the ring and handed to the kernel in one call when the client is behind.
inline constexpr uint64_t kStepsPerSend = 16;

// A client thread and its socket. The socket is closed by the thread itself, under the server's
// threads mutex, so that a stop never shuts down a number the system has handed out again.
struct ClientThread {
    std::thread thread;
    int fd = -1;       // -1 once closed
    bool done = false; // the thread touches nothing of the server any more: it can be joined
};

} // namespace http_ts

struct HttpTs_Object : Output {
    HttpTsServerConfig config{};

    void ts(const uint8_t *data, int bytes) override { HttpTs_append(this, data, bytes); }
    void report(int, nlohmann::json &out) const override;
    void stop() override { HttpTs_delete(this); }

    std::unique_ptr<std::atomic<uint64_t>[]> ring;
    std::atomic<uint64_t> ringTotal{0};   // bytes published
    std::atomic<uint64_t> ringClaimed{0}; // bytes an append has started to write

    // When the ring's bytes were appended and the rate they come at: written by the appending thread,
    // read by client threads.
    LagMarks appendMarks;
    StreamRate appendRate;
    LagClock::time_point lastAppendMark{}; // appender only
    // Appends so far (wrapping), the word idle client threads sleep on, and how many of them do.
    std::atomic<int> appendSeq{0};
    std::atomic<int> idleClients{0};

    MediaStop ending; // raised by HttpTs_delete: every thread of the server ends
    std::atomic<bool> serverRunning{false};
    std::atomic<bool> listenFailed{false};
    std::atomic<int> listeningPort{0}; // 0 while the server does not listen
    std::atomic<int> clientsNow{0};
    std::atomic<uint64_t> droppedClients{0};
    std::atomic<uint64_t> sentBytes{0}; // to every client, for the status
    std::atomic<uint64_t> lappedEvents{0};
    std::atomic<uint64_t> behindEvents{0};

    std::mutex threadsMutex;
    // Guarded by threadsMutex: the listening socket (so that a stop can wake the accept) and the
    // client threads with their sockets.
    int listenFd = -1;
    std::list<http_ts::ClientThread> clients;

    std::thread server;
};

// True once the server is being deleted.
inline bool HttpTs_stopping(const HttpTs_Object &s)
{
    return MediaStop_raised(&s.ending);
}

// Streams the ring to a client from the live edge until the client goes, is dropped or the server
// stops; the client thread's whole job after the request.
void HttpTs_streamRing(HttpTs_Object &s, int fd);
