// H.264 access units as the encoders hand them out: an Annex B byte stream, a start code (00 00 01 or
// 00 00 00 01) before every NAL unit. The one place that walks them, for every output that must know
// where a unit's NAL units lie or whether a decoder can start on it (RTMP's packaging, the key-frame
// resume of the sender queues, SRT's start of a new peer, the RTSP server's first picture).
//
// Pure functions over the caller's bytes: nothing is copied, allocated or kept.
#pragma once

#include <cstdint>

enum {
    AnnexB_NAL_SLICE = 1, // a slice of a picture that is not an IDR picture
    AnnexB_NAL_IDR = 5,
    AnnexB_NAL_SEI = 6,
    AnnexB_NAL_SPS = 7,
    AnnexB_NAL_PPS = 8,
};

// One NAL unit of a unit, its start code excluded.
struct AnnexB_Nal {
    const uint8_t *p;
    int len;       // trailing zero bytes belong to no NAL unit
    int startCode; // 3 or 4
};

// The length of the start code at `at` (3 or 4), or 0 when none begins there.
int AnnexB_startCodeAt(const uint8_t *unit, int bytes, int at);

// The NAL unit behind the start code at `at`; `next` gets the offset of the following start code (or
// `bytes` when there is none). A NAL unit of length 0 is possible (a stray start code).
AnnexB_Nal AnnexB_nalAt(const uint8_t *unit, int bytes, int at, int *next);

// The NAL unit type of a NAL unit (0 for an empty one).
inline int AnnexB_type(const AnnexB_Nal &nal)
{
    return nal.len > 0 ? nal.p[0] & 0x1F : 0;
}

// The unit begins with a 4-byte start code and a sequence parameter set: a key frame, since the
// encoders put SPS and PPS before every IDR picture and nowhere else. What RTMP and the sender
// queues resume at.
bool AnnexB_beginsWithSps(const uint8_t *unit, int bytes);

// A decoder can start on the unit: it carries a parameter set or an IDR slice before any other slice.
bool AnnexB_startsDecoding(const uint8_t *unit, int bytes);
