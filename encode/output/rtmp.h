// RTMP publisher: the encoded streams published to a server (the one named by `url=` in
// /mnt/autorun.sh unless its owner names another), with the RTSP hand-off switched on and RTMP chosen
// instead of the RTSP server's FIFOs or beside them.
//
// A publisher is an output (output.h): the main thread makes one per destination (up to four) when it
// builds the output list, the writer (video) and the AAC audio thread hand it their units, and the
// list stops it after joining them. It sends on the sender worker (sender.h): handing a unit in copies
// it into the worker's queue and returns at once, so a stalled server costs its own destination only.
// The worker's thread reads the URL, connects (bounded, cut short by a stop), takes the units in the
// order they came, packages each as FLV bodies (flv.h) and sends it on the connection (rtmp_link.h); a
// send that runs past about a second drops the connection instead of holding the stream, and the
// connection is made again at once, then after the worker's back-off.
//
// The queue is bounded (RTMP_QUEUE_BYTES, made at create). A unit that finds no room is dropped whole;
// after a dropped video unit, video goes on only from the next unit that begins with an SPS, audio
// from the next frame that fits. Dropped units are counted in the status and each run of them is
// printed once, when it ends.
#pragma once

#include <cstdint>
#include <string>

#include "encode/core/rtmp_destinations.h"
#include "encode/media/frame_times.h"
#include "encode/output/output.h"

// Status codes of the publisher's calls.
enum {
    Rtmp_EOK = 0,            // success; for a unit: taken into the queue
    Rtmp_EINVAL = -1,        // no publisher, or no unit
    Rtmp_ENOTCONNECTED = -2, // no connection is up: the unit was dropped
    Rtmp_EFULL = -3,         // no room in the queue: the unit was dropped
    Rtmp_EWAITKEY = -4,      // video after a dropped unit that does not begin with an SPS: dropped
    Rtmp_EVIDEOOFF = -5,     // the connection carries audio only (/mnt/rtmpv.ini): video is not taken
};

// Room for about 10 s of a 3 Mbit/s stream, and always for the largest unit the packaging takes.
inline constexpr int RTMP_QUEUE_BYTES = 4 << 20;

struct RtmpPublisherConfig {
    const char *url; // the server; null or empty: the first `url=` of /mnt/autorun.sh
    int queueBytes;  // the queue's size; 0: RTMP_QUEUE_BYTES
    // Which destination of the box this is (1 to 4). Destination 1 prints its lines as a lone
    // publisher always did; the others begin theirs with "rtmp N: ". The status names it either way.
    int destination = 1;
};

typedef struct RtmpPublisher_Object *RtmpPublisher_Handle;

// Each destination has its own queue, worker and connection, so a stalled or dead server costs only
// its own destination: the writer and the audio thread hand every unit to each of them in turn, and
// each hand-in is a copy that never waits. The copy is per destination on purpose: a destination's
// queue is what bounds it (its own room, its own drop rule). Units shared between queues would be held
// by the slowest destination, so a stalled one would either take room from the others or need a bound
// of its own over the same bytes. At a few Mbit/s the extra copy costs microseconds per unit; librtmp
// needs each destination's body built anew anyway, since it writes its chunk headers into the body.
inline constexpr int RTMP_DESTINATIONS = kRtmpDestinations;

// Makes the buffers and the worker with its queue and starts it (null config: the defaults). Null when
// that failed, after an "Error: " line.
RtmpPublisher_Handle RtmpPublisher_create(const RtmpPublisherConfig *config);
// The publisher as an output of the list: its video() and audio() are the calls below.
Output *RtmpPublisher_output(RtmpPublisher_Handle h);

// Gives what is queued up to a second to go out, ends the connection (the server sees the stream end),
// stops the worker (a connection being made is cut short) and frees the publisher. Owner only, once
// nothing hands it units any more. Null is ignored.
void RtmpPublisher_destroy(RtmpPublisher_Handle h);

// The writer's call per access unit (Annex B, start codes before every NAL unit). Never waits.
// Rtmp_EOK when taken; else the code saying why it was not (and the unit was dropped).
int RtmpPublisher_sendVideo(RtmpPublisher_Handle h, const uint8_t *unit, int bytes, FrameTime time);

// The AAC audio thread's call per ADTS frame. Never waits. Codes as for video.
int RtmpPublisher_sendAudio(RtmpPublisher_Handle h, const uint8_t *frame, int bytes, FrameTime time);

struct RtmpPublisherStats {
    bool connected;      // a connection is up and publishing
    bool videoOff;       // /mnt/rtmpv.ini said "1" at the last connect: audio only
    uint64_t sent;       // units that went out
    uint64_t refused;    // units the packaging refused, with their message (malformed, not ADTS)
    uint64_t dropped;    // units that did not go out: no connection, no room, a failed send
    uint64_t bytes;      // FLV bodies sent
    uint64_t reconnects;
    int queued;          // units waiting to be sent
    int longestSendMs;   // the longest single send call so far
};
// Any thread.
RtmpPublisherStats RtmpPublisher_stats(RtmpPublisher_Handle h);

// Waits until every unit handed in so far has been sent, refused or dropped; false when `timeoutMs`
// ran out first.
bool RtmpPublisher_waitIdle(RtmpPublisher_Handle h, int timeoutMs);

// The URL reader of the start script: the first "url=" in the first 1024 bytes of /mnt/autorun.sh
// whose value (up to a carriage return or line feed) is shorter than 256 characters; a value stored in
// single quotes is given without them. Prints "Can't open file autorun.sh" without the file; false
// when there is no URL.
bool Rtmp_readUrl(std::string &url);
