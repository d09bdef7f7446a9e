// Looking into a transport stream the multiplexer made, for the outputs that cut it: where a PAT
// begins (a recording's next file, a new SRT peer start there, so that a player finds the programme
// at once), whether a packet begins a key frame (a new peer waits for one, HLS cuts a segment there)
// and the time it carries.
//
// Pure functions over whole 188-byte packets laid end to end from a packet boundary.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int TS_PACKET_BYTES = 188;

// The packet's PID and whether it starts a PES packet or a section.
int TsScan_pid(const uint8_t *packet);
bool TsScan_unitStart(const uint8_t *packet);

// The offset of the first packet at or after `from` (rounded up to a packet boundary) that begins a
// PAT, or `length` when none does.
size_t TsScan_nextPat(const uint8_t *data, size_t from, size_t length);

// The packet begins a video PES packet whose access unit begins with an SPS (a key frame: the encoder
// puts SPS and PPS before every IDR picture).
bool TsScan_beginsKeyFrame(const uint8_t *packet);

// The packet begins a PES packet that carries a PTS: true with the 33-bit 90 kHz value in `pts`.
bool TsScan_pts(const uint8_t *packet, uint64_t *pts);

// The elementary stream's bytes in a packet that begins a PES packet (behind the PES header):
// their offset in the packet, or -1.
int TsScan_esAt(const uint8_t *packet);
