// What a sequence parameter set says of the picture: its profile, level and coded size after the
// cropping. The HLS master playlist gives players each variant's RESOLUTION and CODECS from it, read
// off the stream itself so that it is what the player will decode, whatever the settings say.
//
// A pure function over the caller's bytes.
#pragma once

#include <cstdint>

struct H264Sps {
    uint8_t profile;       // profile_idc
    uint8_t compatibility; // the constraint flags' byte
    uint8_t level;         // level_idc
    int width;             // in pixels, cropping taken off
    int height;
};

// `nal` is the SPS NAL unit without its start code (its first byte the NAL header). False for anything
// that is no SPS or ends before the size.
bool H264Sps_parse(const uint8_t *nal, int bytes, H264Sps &out);
