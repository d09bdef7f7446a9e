// The transport-stream multiplexer: one encoded video access unit or one audio frame in, a run of
// 188-byte TS packets out (PAT and PMT when due, then PES packets with PTS and one PCR per frame).
//
// A multiplexer is an object (TsMux_create): its stored PAT/PMT, continuity counters and PSI counter
// belong to it, so two of them make two independent streams. It has no lock: its owner calls
// TsMux_init before streaming starts, and the multiplexer stage that owns it (ts_fanout.h) makes every
// TsMux_process call under its own lock, for the writer and the audio threads alike.
#pragma once

#include "encode/media/media.h"

#include <cstdint>

// Version values of the two records; callers put them in the records' `size` fields.
inline constexpr int32_t TSMUX_PARAMS_SIZE = 44;
inline constexpr int32_t TSMUX_CONFIG_SIZE = 72;

inline constexpr int TSMUX_MAX_PROGRAMS = 2;
inline constexpr int TSMUX_MAX_STREAMS = 3;
inline constexpr int TSMUX_PACKET_SIZE = 188;
inline constexpr int32_t TSMUX_MAX_FRAME_LENGTH = 1 << 30;  // longer frames are refused

// `flags` values: any bit of TSMUX_FLAGS_PSI puts PAT and PMT before the frame. The writer passes
// TSMUX_FLAGS_VIDEO with every video frame, the audio threads TSMUX_FLAGS_AUDIO.
inline constexpr int32_t TSMUX_FLAGS_PSI = 0x0C;
inline constexpr int32_t TSMUX_FLAGS_VIDEO = 4;
inline constexpr int32_t TSMUX_FLAGS_AUDIO = 1;

// Up to two programs of up to three elementary streams. The record keeps its 72-byte layout of
// eighteen signed 32-bit words.
struct TsMux_Config {
    int32_t size;                                            // TSMUX_CONFIG_SIZE
    int32_t numPrograms;                                     // 1 or 2; 0 asks TsMux_init for the default
    int32_t pmtPid[TSMUX_MAX_PROGRAMS];
    int32_t numStreams[TSMUX_MAX_PROGRAMS];                  // 1..3
    int32_t streamType[TSMUX_MAX_PROGRAMS][TSMUX_MAX_STREAMS]; // MPEG stream_type per slot
    int32_t esPid[TSMUX_MAX_PROGRAMS][TSMUX_MAX_STREAMS];
};
static_assert(sizeof(TsMux_Config) == TSMUX_CONFIG_SIZE, "TsMux_Config is eighteen 32-bit words");

// Argument record of both operations. On a 64-bit host the pointers make it larger than 44 bytes in
// memory; `size` still carries 44, the record's version.
struct TsMux_Params {
    int32_t size;                 // TSMUX_PARAMS_SIZE
    TsMux_Config *config;
    int32_t program;              // 0-based program index
    const uint8_t *data;          // the encoded frame
    int32_t dataLength;           // bytes
    int32_t streamType;           // as registered in one of the program's slots
    uint32_t seconds;             // presentation time (gettimeofday tv_sec; only the low 32 bits count)
    uint32_t microseconds;        // 0..999999
    uint8_t *output;              // caller's buffer, at least TsMux_outputBound(dataLength) bytes
    int32_t flags;                // TSMUX_FLAGS_*
    int32_t outBytes;             // out: bytes written to `output`
};

typedef struct TsMux_Object *TsMux_Handle;

// A multiplexer that has built no tables yet (every TsMux_process refuses until TsMux_init succeeds).
// Null when out of memory.
TsMux_Handle TsMux_create(void);
// Null is accepted.
void TsMux_delete(TsMux_Handle mux);

// Zeroes the continuity counters (whatever follows), then builds PAT and PMT from params->config,
// filling it with the default config when its numPrograms is 0; the PSI counter keeps its value.
// Media_EOK; Media_EINVAL for a record or config it refuses, with one line on standard output (none
// for a non-positive program count). The programs are the config's numPrograms.
int TsMux_init(TsMux_Handle mux, TsMux_Params *params);

// Writes the packets of one frame to params->output and returns their byte count (a multiple of 188,
// also stored in params->outBytes; 0 for an empty frame without PAT/PMT). On failure it writes
// nothing, prints one line on standard output and returns Media_EINVAL for a record or frame it
// refuses, Media_EFAIL before a successful TsMux_init; outBytes is then 0 too once the record itself
// passed its checks.
int TsMux_process(TsMux_Handle mux, TsMux_Params *params);

// The most bytes TsMux_process can write for a frame of `dataLength` bytes, PAT and PMT included; 0
// for a length it refuses (negative, or above TSMUX_MAX_FRAME_LENGTH).
int TsMux_outputBound(int dataLength);

// MPEG stream_type values of the encoder's streams.
inline constexpr int32_t TSMUX_STREAM_H264 = 0x1B;
inline constexpr int32_t TSMUX_STREAM_AAC_ADTS = 0x0F;
inline constexpr int32_t TSMUX_STREAM_MPEG_AUDIO = 0x03;

// The encoder's one program: PMT on PID 10, H.264 on 100, the audio (if any) on 102.
inline constexpr int32_t TSMUX_ENCODER_PMT_PID = 10;
inline constexpr int32_t TSMUX_ENCODER_VIDEO_PID = 100;
inline constexpr int32_t TSMUX_ENCODER_AUDIO_PID = 102;

enum TsMux_Audio : int {
    TsMux_Audio_NONE = 0,
    TsMux_Audio_AAC = 1,
    TsMux_Audio_MP3 = 2,
};

// The configuration the encoder runs with for its audio: H.264 alone, or H.264 with AAC in ADTS or
// with MPEG audio (MP3). Start-up, the tests and the benchmark all take it from here.
TsMux_Config TsMux_encoderConfig(TsMux_Audio audio);
