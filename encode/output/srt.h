// SRT output: with /mnt/srt.ini enabling it, the multiplexer's transport stream also goes out over SRT
// (live mode), in the same 1316-byte payloads as the UDP datagrams.
//
// An SRT output is an object: the main thread creates it from the settings as a consumer of the
// multiplexer stage (whose ts(), run by the writer and the audio threads, puts every payload in), and
// stops it after those threads have ended; two of them can run side by side. It sends on the sender
// worker (sender.h): putting a payload in copies it into the worker's bounded queue and returns at
// once, so nothing in the writer's path waits for the network or calls libsrt. The worker's thread
// does every libsrt call: it connects (caller mode, again after the worker's back-off while the peer is
// away) or listens and accepts up to SRT_MAX_CALLERS callers (listener mode), sends each payload to
// every connected peer without blocking, and reads the connections' statistics into the status once
// a second.
//
// A new peer gets the stream from a PAT/PMT on, the first one before a key frame when one comes within
// a few seconds, so that a player starts on a picture it can decode. A payload that finds the queue or
// a peer's send buffer full is dropped whole and counted; each run of drops is printed once.
#pragma once

#include "encode/core/srt_settings.h"
#include "encode/output/output.h"

#include <cstdint>

// Status codes of the output's calls.
enum {
    Srt_EOK = 0,     // success; for a payload: taken into the queue
    Srt_EINVAL = -1, // no output, no payload, or one longer than SRT_PAYLOAD_BYTES
    Srt_EFULL = -2,  // no room in the queue: the payload was dropped
    Srt_ENOTUP = -3, // no connection (caller) or no listening socket yet: the payload was dropped
};

inline constexpr int SRT_PAYLOAD_BYTES = 1316; // seven TS packets, the live-mode default payload
inline constexpr int SRT_MAX_CALLERS = 4;
// About 5 s of a 4 Mbit/s stream.
inline constexpr int SRT_QUEUE_PAYLOADS = 2048;

struct SrtOut_Attrs {
    SrtSettings settings; // enable is not looked at: an output that exists sends
    int queuePayloads;    // the queue's size; 0: SRT_QUEUE_PAYLOADS
};

typedef struct SrtOut_Object *SrtOut_Handle;

// Makes the worker with its queue and starts its thread. Null after an "Error: " line when that failed.
SrtOut_Handle SrtOut_create(const SrtOut_Attrs *attrs);
// The output as a consumer of the multiplexer stage: its ts() cuts the packets into payloads.
Output *SrtOut_output(SrtOut_Handle h);

// Stops and joins the thread (within a second, whatever the peers do), closes every connection and
// frees the output. Owner only, once nothing puts payloads in any more. Null is ignored.
void SrtOut_destroy(SrtOut_Handle h);

// One payload of whole TS packets (at most SRT_PAYLOAD_BYTES). Never waits. Srt_EOK when taken, else
// why it was dropped.
int SrtOut_put(SrtOut_Handle h, const uint8_t *payload, int bytes);

struct SrtOutStats {
    int peers;              // connections up
    uint64_t payloads;      // payloads sent to a peer (once per peer)
    uint64_t queueDropped;  // payloads dropped for lack of room in the queue
    uint64_t bufferDropped; // payloads a peer's full send buffer did not take
    uint64_t retransmitted; // packets SRT sent again, over all connections so far
    uint64_t reconnects;    // connections (caller) or listening sockets made again after a loss
};
// Any thread.
SrtOutStats SrtOut_stats(SrtOut_Handle h);
