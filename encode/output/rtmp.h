// RTMP publisher: with the RTSP hand-off and RTMP both switched on, the encoded streams are published
// to the server named by `url=` in /mnt/autorun.sh instead of going to the hand-off FIFOs.
//
// The publisher thread owns the connection's life: it reads the URL, connects (connecting has no bound,
// so it is never done under the output semaphore), watches every send for a stall and reconnects once
// a second after a drop. The writer (video) and the AAC audio thread package each unit as an FLV body and
// send it on the shared connection while they hold the output semaphore; a send never blocks for more
// than about a second, and a failed one drops the connection instead of freezing the box.
#pragma once

#include <cstdint>
#include <string>

#include "encode/media/frame_times.h"

// The publisher thread body (arg unused). Returns null when it ends.
void *rtmpThrFxn(void *arg);

// Starts the publisher thread detached (the writer calls it before the start rendezvous). 0, or -1 when
// the thread cannot be started or one is still running.
int Rtmp_start(void);

// The writer's call per access unit (Annex B, start codes before every NAL unit), with the output
// semaphore held. 1 when the unit went out, 0 when it was dropped on purpose (not connected, waiting
// for a unit that begins with an SPS, video off), -1 for a malformed unit or a failed send.
int Rtmp_sendVideo(const uint8_t *unit, int bytes, FrameTime time);

// The AAC audio thread's call per ADTS frame, with the output semaphore held. 1 when not connected
// (nothing sent), 0 when sent or dropped while waiting for video, -1 after "audio error" or a failed
// ADTS check or send.
int Rtmp_sendAudio(const uint8_t *frame, int bytes, FrameTime time);

// True when /mnt/rtmpv.ini said "1" at the last connect: audio only.
bool Rtmp_videoOff(void);

// True while a connection is up and publishing.
bool Rtmp_connected(void);

// Ends the publisher: the connection is closed (the server sees the stream end) and the thread ends.
// True when that happened within timeoutMs (a thread stuck in an unbounded connect is left behind).
bool Rtmp_stop(int timeoutMs);

// The URL reader of the start script: the first "url=" in the first 1024 bytes of /mnt/autorun.sh
// whose value (up to a carriage return or line feed) is shorter than 256 characters; a value stored in
// single quotes is given without them. Prints "Can't open file autorun.sh" without the file; false
// when there is no URL.
bool Rtmp_readUrl(std::string &url);

// The longest single send call since the publisher started, in milliseconds (logs and tests).
int Rtmp_longestSendMs(void);
