// The feed: what the encoder hands the WebRTC server through its three FIFOs, read only while someone
// wants it, and handed to every sink of its stream. Video goes out as the encoder coded it (one
// GstBuffer per access unit, shared by every sink, never copied again); the audio (AAC or MP3, told
// from the data) is decoded and coded to Opus once, whoever listens.
//
// Time: every buffer's PTS is its capture time (the stream tag's wall-clock time) on the feed's
// clock: the system clock's running time from the feed's base time, which every viewer's pipeline is
// given, so that one PTS holds in all of them and the RTCP sender reports map each RTP timestamp to
// the wall-clock moment of capture (a browser turns that into the frame's capture time).
//
// Threads: one reader per FIFO; sinks are called on it (and on the Opus pipeline's streaming thread)
// under the stream's lock, so a sink's call must not wait; Feed_subscribe and Feed_unsubscribe from
// any thread, and after Feed_unsubscribe returns the sink is called no more.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>

enum FeedStream { Feed_MAIN = 0, Feed_SECOND = 1, Feed_AUDIO = 2, Feed_STREAMS = 3 };

class FeedSink {
public:
    // An access unit of a video stream; `key` when it begins with an SPS. The buffer is lent: a sink
    // that keeps it takes a reference.
    virtual void video(FeedStream, GstBuffer *, bool) {}
    // An Opus packet (48 kHz, 20 ms), lent likewise.
    virtual void opus(GstBuffer *) {}

protected:
    virtual ~FeedSink() = default;
};

// Asks the encoder for a key frame on a video stream (the control socket); the feed asks when a
// reader opens, and anyone may ask through Feed_askKeyFrame.
using Feed_AskKeyFrame = void (*)(FeedStream);

typedef struct Feed_Object *Feed_Handle;

Feed_Handle Feed_create(Feed_AskKeyFrame ask);
// Readers stopped and joined, the Opus pipeline ended. Null is ignored.
void Feed_destroy(Feed_Handle h);

// The clock and base time every pipeline that takes the feed's buffers must run on.
GstClock *Feed_clock(Feed_Handle h);
GstClockTime Feed_baseTime(Feed_Handle h);

// A sink of a video stream gets its access units; a sink of Feed_AUDIO gets Opus packets.
void Feed_subscribe(Feed_Handle h, FeedStream stream, FeedSink *sink);
void Feed_unsubscribe(Feed_Handle h, FeedStream stream, FeedSink *sink);

// The stream's last key unit (a reference the caller unrefs), waiting up to `waitMs` for one when
// none was read since the reader opened; null when none came. A viewer learns the stream's profile
// from its SPS, and its payloader its caps from it before the answer is made.
GstBuffer *Feed_keyUnit(Feed_Handle h, FeedStream stream, int waitMs);

// The SPS NAL unit (without start code) of an access unit, empty when it has none.
std::string Feed_spsOf(const uint8_t *unit, int bytes);

// Key frames asked for from outside the feed (a viewer's picture loss), at most one a second per
// stream whoever asks.
void Feed_askKeyFrame(Feed_Handle h, FeedStream stream);

// For the status: whether the stream's FIFO is open, and units read so far.
bool Feed_reading(Feed_Handle h, FeedStream stream);
uint64_t Feed_units(Feed_Handle h, FeedStream stream);
// How old the last unit read was when it was read, from its capture (video) or stamping (audio):
// what capture, coding and the hand-off cost.
double Feed_ageMs(Feed_Handle h, FeedStream stream);

// The wall-clock microseconds a buffer's PTS stands for (its capture time).
int64_t Feed_wallUsOfPts(Feed_Handle h, GstClockTime pts);

// The wall-clock microseconds of a stream tag's time in microseconds (whose seconds are the low 32
// bits of the time of day), taken as the one nearest to `nowUs`.
int64_t Feed_wallUs(int64_t tagUs, int64_t nowUs);
