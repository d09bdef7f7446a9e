// The sender worker: how every output that sends from a thread of its own sends (each RTMP
// destination, SRT, and any output whose server or peer may stall). The output's feeding calls put
// units into the worker's queue and return at once; the worker's thread makes the output's link,
// sends the units in their order, tends the link between them, and when the link is lost makes it
// again after a back-off. The link (SenderLink) is the output's own: what connecting and sending mean
// for its protocol.
//
// Queue: bounded (bytes and units, made at create); a unit put in is copied. A unit that finds no room
// is dropped whole; after a dropped video unit the queue takes video again only from a key unit (one
// that begins with an SPS), while audio frames and TS payloads go on with the next that fits. While
// the link is not up nothing is taken (Sender_ENOTUP): a new link starts from fresh units. Each run
// of drops for lack of room is printed once, when it has ended (the config's line).
//
// Back-off: a link that was lost is made again at once (unless it had been up for less than a second);
// one that cannot be made is tried again after 1 s for the first 10 s of an outage, so
// that a server that restarts is back at once, then after pauses that double from 2 s up to 30 s; each
// pause is drawn within 20 % of its length, so that boxes that lost the same server do not call it in
// step. While it waits the status says "waiting" and when the next try comes.
//
// Stop: Sender_destroy gives what is queued up to the config's flush time to go out, then cuts every
// wait short (the queue, the back-off, a unit waiting behind another) and aborts a connect in progress
// (SenderLink::abort); the link ends its connection in order within its own bound, and the threads are
// joined. It returns within about a second and a half whatever the peer does.
//
// Threads: the worker thread alone calls the link's connect, send, tend and disconnect. A watchdog
// thread, when the config sets a send bound, aborts a send that runs past it; abort() may also come
// from the owner at the stop. Any thread may put units and read the stats.
#pragma once

#include "encode/media/frame_times.h"
#include "encode/media/wait.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>

enum {
    Sender_EOK = 0,
    Sender_EINVAL = -1,   // no worker, or no unit, or one larger than the queue
    Sender_ENOTUP = -2,   // the link is not up: the unit was dropped
    Sender_EFULL = -3,    // no room in the queue: the unit was dropped
    Sender_EWAITKEY = -4, // video after a dropped unit that is no key unit: dropped
    // What the link's calls answer besides Sender_EOK.
    Sender_ERETRY = -5,   // connect: not now; try again after the back-off
    Sender_EFATAL = -6,   // connect: never (no address to send to); the worker ends, the output is off
    Sender_ELOST = -7,    // send or tend: the connection is gone; the unit (if any) was dropped
    Sender_EREFUSED = -8, // send: the link would not send this unit (it said why); counted as refused
    Sender_ESKIPPED = -9, // send: left out on purpose (not yet wanted on this connection)
};

enum class SenderKind : uint8_t { Video, Audio, Ts };

struct SenderUnit {
    SenderKind kind;
    const uint8_t *data;
    int bytes;
    FrameTime time;
    bool key;
};

// The output's side of the worker.
class SenderLink {
public:
    // Makes the connection, every step bounded. Sender_EOK once the link is up, Sender_ERETRY or
    // Sender_EFATAL; prints what it has to say of the try. The stop is raised before abort() comes:
    // a link that makes its socket known to abort() first and then finds `stop` raised gives up, so
    // that a stop never misses a connect that was just beginning.
    virtual int connect(const MediaStop *stop) = 0;
    // Before a unit's send is timed against the send bound: what the link waits for that is not the
    // peer (a frame queued behind this unit, Sender_awaitBehind).
    virtual void prepare(const SenderUnit &) {}
    // One unit, the link up: Sender_EOK when it went out, else Sender_ELOST, Sender_EREFUSED or
    // Sender_ESKIPPED.
    virtual int send(const SenderUnit &unit) = 0;
    // Between units while the link is up, at least every tick: what the protocol needs besides
    // sending (acknowledgements read, callers accepted, statistics). Sender_EOK or Sender_ELOST.
    virtual int tend() { return Sender_EOK; }
    // Ends the connection after Sender_ELOST (`stopping` false) or at the stop (true: in order, within
    // the link's own short bound, since the peer may be stalled).
    virtual void disconnect(bool stopping) = 0;
    // Any thread: a connect or send in progress returns at once (its socket shut down).
    virtual void abort() = 0;

protected:
    virtual ~SenderLink() = default;
};

struct SenderConfig {
    const char *threadName;
    const char *tag;      // what the worker's lines begin with ("" or "rtmp 2: ")
    const char *dropLine; // printf format of an ended run of drops, with one %llu
    int queueBytes;
    int queueUnits;
    int tickMs;      // tend() at least this often; the longest the worker waits for a unit
    int sendBoundMs; // above 0: a send still running after this long is aborted
    int flushMs;     // at a stop, what is queued gets this long to go out
};

enum class SenderState { Connecting, Up, Waiting, Off };

struct SenderStats {
    SenderState state;
    int64_t retryInMs; // while waiting
    int queued;        // units waiting to be sent
    uint64_t sent;
    uint64_t refused;
    uint64_t dropped;  // not taken (no link, no room, waiting for a key unit) or lost with the link
    uint64_t reconnects; // links made again after one was up
    int longestSendMs;   // the longest single send so far
};

typedef struct Sender_Object *Sender_Handle;

// Makes the queue and starts the worker thread (and the watchdog when the config bounds sends), which
// begins by connecting. `link` must outlive the worker. Null after an "Error: " line when that failed.
Sender_Handle Sender_create(const SenderConfig *config, SenderLink *link);

// The stop (above), then the worker is freed. Null is ignored.
void Sender_destroy(Sender_Handle h);

// One unit into the queue. Never waits. Sender_EOK when taken; else why it was dropped.
int Sender_put(Sender_Handle h, SenderKind kind, const uint8_t *data, int bytes, FrameTime time, bool key);

// Worker thread only, from the link's prepare() or send(): the first unit of `kind` queued behind the
// one about to be sent, waiting up to `waitMs` for one to come. False when none came (or a stop).
bool Sender_awaitBehind(Sender_Handle h, SenderKind kind, int waitMs, const uint8_t **data, int *bytes);

// Waits until every unit put in so far has been sent, refused or dropped; false when `timeoutMs` ran
// out first.
bool Sender_waitIdle(Sender_Handle h, int timeoutMs);

// Any thread.
SenderStats Sender_stats(Sender_Handle h);
// The worker's part of its output's status object: "state" ("ok", "waiting", "off"), "reconnects",
// and while it waits "retry_in_s".
void Sender_report(Sender_Handle h, nlohmann::json &out);
