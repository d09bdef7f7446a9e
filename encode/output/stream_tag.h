// The stream tag: the 16-byte record that precedes a unit on the TCP stream slots (when the framing
// switch is on) and on the hand-off FIFOs, so that a reader of a plain byte stream can find where each
// unit starts, how long it is and when it was captured.
//
// Four 32-bit words, least significant byte first: magic, seconds, microseconds, payload length. The
// appliance's processor is little-endian and its readers were written for that order, so the words
// are laid out explicitly rather than copied from memory: the bytes are the same on any host.
#pragma once

#include "encode/media/frame_times.h"

#include <cstdint>

inline constexpr int STREAM_TAG_BYTES = 16;
inline constexpr uint32_t STREAM_TAG_MAGIC = 0x98754321u;

struct StreamTag {
    FrameTime time;
    uint32_t length; // payload bytes that follow the tag
};

// Writes the tag of a unit of `length` bytes stamped with `time` into out[0..15].
void StreamTag_encode(uint8_t *out, FrameTime time, uint32_t length);

// Reads a tag from in[0..15]; false (and *tag untouched) when the magic word is not there.
bool StreamTag_decode(const uint8_t *in, StreamTag *tag);
