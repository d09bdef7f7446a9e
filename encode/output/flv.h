// FLV packaging of the RTMP output: the message bodies it publishes, built from what the encoders hand
// out. The metadata object (AMF0 onMetaData), the AVC sequence header from a key frame's parameter sets,
// video frames from Annex B access units (each NAL unit behind its 4-byte length, parameter sets left
// out), the AAC sequence header from an ADTS header and AAC frames without it, and MP3 frames.
//
// Pure functions over the caller's buffers: nothing is allocated or kept, nothing is sent. A body
// builder returns the body's length, or Flv_ENOROOM when `capacity` is too small (nothing of use is
// left in `out` then) or Flv_EEMPTY when the input holds nothing to send.
#pragma once

#include "encode/media/annexb.h"

#include <cstdint>

enum {
    Flv_EOK = 0,
    Flv_ENOROOM = -1,
    Flv_EEMPTY = -2,
    // What a key frame lacks, in the order it is looked for.
    Flv_ENOSPS = -3,
    Flv_ENOPPS = -4,
    Flv_ENOIFRAME = -5,
    // What the first ADTS header of a stream gets wrong.
    Flv_EADTSSYNC = -6,
    Flv_EADTSPROFILE = -7,
    Flv_EADTSRATE = -8,
};

inline constexpr uint8_t FLV_VIDEO_KEY = 0x17;   // key frame, AVC
inline constexpr uint8_t FLV_VIDEO_INTER = 0x27; // inter frame, AVC
inline constexpr uint8_t FLV_AUDIO_AAC = 0xAF;   // AAC, 44 kHz, 16 bits, stereo (what AAC tags always say)
inline constexpr uint8_t FLV_AUDIO_MP3 = 0x2F;   // MP3, 44 kHz, 16 bits, stereo (the frame says the rest)

// An SPS or a PPS ends within this many bytes of its start code.
inline constexpr int FLV_PARAM_SET_BYTES = 200;

struct FlvMetadata {
    int width;
    int height;
    int framerate; // whole frames per second
    bool aac;      // AAC audio is published beside the video
};
// "@setDataFrame", "onMetaData" and the object: copyright, width, height, framerate, then with AAC
// audiocodecid 10, videocodecid 7, with AAC audiodelay 0.
int Flv_metadata(const FlvMetadata &m, uint8_t *out, int capacity);

// The parts of a key frame: start code, SPS, start code, PPS, start code, slices.
struct FlvKeyFrame {
    AnnexB_Nal sps;
    AnnexB_Nal pps;
    int slicesAt; // offset of the start code of the first NAL unit after the PPS
};
// Flv_EOK, or the first part it lacks: Flv_ENOSPS (no 4-byte start code and SPS at the start, or one
// that does not end within FLV_PARAM_SET_BYTES), Flv_ENOPPS, Flv_ENOIFRAME (nothing after the PPS).
int Flv_splitKeyFrame(const uint8_t *unit, int bytes, FlvKeyFrame *key);

// The AVC sequence header: tag 0x17, packet type 0, composition time 0, then the decoder configuration
// record with one SPS and one PPS and 4-byte NAL lengths.
int Flv_avcSequenceHeader(const AnnexB_Nal &sps, const AnnexB_Nal &pps, uint8_t *out, int capacity);

// A video frame: `tag` (FLV_VIDEO_KEY or FLV_VIDEO_INTER), packet type 1, composition time 0, then every
// NAL unit of `unit` from offset `from` on with its own 4-byte length, parameter sets left out.
// Flv_EEMPTY when no NAL unit remains.
int Flv_videoBody(uint8_t tag, const uint8_t *unit, int bytes, int from, uint8_t *out, int capacity);

// The unit carries an IDR slice.
bool Flv_hasIdr(const uint8_t *unit, int bytes);

// What the first ADTS header of a stream says, for the AAC sequence header.
struct FlvAacConfig {
    uint8_t config[2]; // AudioSpecificConfig: object type (profile + 1), sampling index, channels
    int sampleRate;
    int rateIndex;
};
// Flv_EOK, or what is wrong with the header (`bytes` must be at least 7): Flv_EADTSSYNC, Flv_EADTSPROFILE
// (the reserved profile 3), Flv_EADTSRATE (an index past the ISO/IEC 14496-3 table).
int Flv_adtsConfig(const uint8_t *frame, int bytes, FlvAacConfig *config);
// The line each ADTS refusal is reported with.
const char *Flv_adtsRefusal(int code);

// The AAC sequence header: 0xAF, 0x00, the AudioSpecificConfig.
int Flv_aacSequenceHeader(const FlvAacConfig &config, uint8_t *out, int capacity);
// An AAC frame: 0xAF, 0x01, the raw frame after its ADTS header (7 bytes, 9 with a CRC). Flv_EEMPTY
// when the frame is no whole ADTS frame.
int Flv_aacBody(const uint8_t *frame, int bytes, uint8_t *out, int capacity);
// An MP3 frame: 0x2F, then the frame with its own header.
int Flv_mp3Body(const uint8_t *frame, int bytes, uint8_t *out, int capacity);
