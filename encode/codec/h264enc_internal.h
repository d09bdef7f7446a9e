// What the two halves of "h264enc" share: h264enc_params.cpp checks the codec's records and turns
// them into libx264's settings, h264enc.cpp drives libx264 with them one picture at a time. Only
// those two include this.
#pragma once

#include <cstdint>

#include <x264.h>

#include <algorithm>
#include <limits>

#include "encode/codec/videnc.h"

inline int H264Enc_mbCount(int pixels)
{
    return (pixels + 15) / 16;
}

inline int H264Enc_clampToInt(int64_t v)
{
    return static_cast<int>(std::clamp<int64_t>(v, 0, std::numeric_limits<int>::max()));
}

// libx264's preset and profile names for the static record's choices.
const char *H264Enc_presetName(int encQuality);
const char *H264Enc_profileName(int profileIdc);

// The largest access unit a picture of this size can give, with the filler a constant bit rate adds
// to one picture (at most one picture's share of the rate; twice that for rounding).
int64_t H264Enc_accessUnitBound(int width, int height, int64_t fillerBitRate, int frameRate);

// False (message printed) for a static record the encoder cannot honour.
bool H264Enc_checkStaticParams(const H264Enc_Params &p);
// False (message printed) for a dynamic record the encoder opened with `params` and output buffers
// of `outBufSize` bytes cannot honour.
bool H264Enc_checkDynParams(const H264Enc_Params &params, int outBufSize, const H264Enc_DynParams &dyn);

// The whole libx264 configuration of a checked pair of records; false when libx264 refuses it.
bool H264Enc_buildParams(const H264Enc_Params &params, const H264Enc_DynParams &dyn, x264_param_t *p);
// Sets the rate-control part; used at open and again for a reconfiguration.
void H264Enc_applyRate(const H264Enc_DynParams &dyn, x264_param_t *p);
