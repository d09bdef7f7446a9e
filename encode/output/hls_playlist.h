// The HLS playlists as text: a media playlist of a window of segments, and the master playlist of the
// variants. Pure: the box's own playlists (hls_variant.h) and the push's to an ingest (hls_push.h) are
// both written by these, each from the window it keeps.
//
// A segment's media sequence number is its place in the playlist (EXT-X-MEDIA-SEQUENCE counts the
// first entry), kept apart from the number in its file's name: a segment that was not written or not
// delivered is left out, its name's number is never used again, and the next one carries
// EXT-X-DISCONTINUITY, so that a player knows the time jumps there while the sequence has no hole.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int HLS_MOST_ENTRIES = 32; // the longest window (30) and the two kept behind it

struct HlsEntry {
    uint64_t fileSeq;    // its file is "<variant>_<fileSeq>.ts"
    int durationMs;
    int64_t pdtMs;       // the wall-clock time of its first picture (ms since 1970)
    bool discontinuity;  // something is missing before it
};

// The window of one variant's playlist: the last `length` entries.
struct HlsWindow {
    char variant[8] = "";
    int targetS = 1;
    int length = 6;
    HlsEntry entries[HLS_MOST_ENTRIES] = {};
    int count = 0;              // entries held (at most `length`)
    uint64_t mediaSeq = 0;      // the media sequence number of the first entry
    uint64_t discontinuitySeq = 0; // EXT-X-DISCONTINUITY-SEQUENCE: the discontinuities gone off the top
    int longestS = 0;           // the longest rounded duration so far: the target duration never shrinks
};

// Adds `e` at the end, the first entry leaving when the window is full. The entry that left, if any,
// goes to `*left` (true returned).
bool HlsWindow_add(HlsWindow &w, const HlsEntry &e, HlsEntry *left);

// The media playlist of the window; `ended` adds EXT-X-ENDLIST (the stream has stopped).
std::string HlsPlaylist_media(const HlsWindow &w, bool ended);

// "<variant>_<seq>.ts".
std::string HlsPlaylist_segmentName(const char *variant, uint64_t seq);

struct HlsVariantInfo {
    const char *name;      // "main": its playlist is "main.m3u8"
    int bandwidth;         // bits a second: the highest segment rate seen
    int averageBandwidth;
    int width;             // 0: not known yet
    int height;
    uint8_t profile, compatibility, level; // of the SPS
    bool audio;            // AAC beside the video
    bool mp3;              // MPEG audio instead
};

// The master playlist listing the variants in their order.
std::string HlsPlaylist_master(const HlsVariantInfo *variants, int count);
