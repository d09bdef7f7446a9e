// The HLS push: the box's segments and playlists sent by HTTP PUT to an ingest (a CDN's or service's
// HLS ingest, a WebDAV folder), on the sender worker. The variants hand each finished segment to it
// (HlsPush_segment, their sink); the worker PUTs the segment at URL/<variant>_<n>.ts, then that
// variant's media playlist of what the ingest has, then the master playlist when it has changed, and
// asks the ingest to DELETE a segment two after it left the playlist.
//
// The ingest's playlists are the push's own, kept from what was delivered: segments that never
// reached it (dropped while it was away, or lost with the connection) are not in them, and the next
// one delivered carries EXT-X-DISCONTINUITY. So a player of the ingest never meets a hole that is not
// marked, and the box's own HLS never waits for the ingest.
//
// Link: "up" once the master playlist (when known yet) was taken; any request that fails or is
// answered other than 2xx loses the link, with one line per outage naming the URL without its
// password; the worker's back-off makes it again. At the stop, what is queued gets a second, then each
// playlist is PUT with EXT-X-ENDLIST within half a second.
//
// Threads: HlsPush_segment from the variants' feeding threads, HlsPush_master from whichever of them
// wrote the master, report from the status thread; the worker's thread does all the HTTP.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>

struct HlsPush_Attrs {
    std::string url; // the ingest's folder: http:// or https://
    int targetS;
    int length;      // segments in its playlists
};

typedef struct HlsPush_Object *HlsPush_Handle;

// Starts the worker. Null after an "Error: " line.
HlsPush_Handle HlsPush_create(const HlsPush_Attrs *attrs);
// The stop (above); then freed. Null is ignored.
void HlsPush_destroy(HlsPush_Handle h);

// A variant's sink: a segment with its header (hls_variant.h). Never waits.
void HlsPush_segment(void *push, const uint8_t *unit, int bytes);
// The master playlist as it now stands.
void HlsPush_master(HlsPush_Handle h, const std::string &text);

// Its status object: kind "hls push", the worker's state, segments and bytes delivered, drops, error.
void HlsPush_report(HlsPush_Handle h, nlohmann::json &out);
