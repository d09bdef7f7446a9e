#include "encode/output/hls_playlist.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace {

std::string isoTime(int64_t ms)
{
    time_t s = static_cast<time_t>(ms / 1000);
    struct tm t {};
    gmtime_r(&s, &t);
    char out[80];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
    return out;
}

} // namespace

bool HlsWindow_add(HlsWindow &w, const HlsEntry &e, HlsEntry *left)
{
    bool full = w.count >= w.length;
    if (full) {
        *left = w.entries[0];
        std::copy(w.entries + 1, w.entries + w.count, w.entries);
        w.count--;
        w.mediaSeq++;
        // The one that leaves takes its discontinuity with it: the count says how many went.
        if (w.entries[0].discontinuity) {
            w.discontinuitySeq++;
        }
    }
    w.entries[w.count++] = e;
    w.longestS = std::max(w.longestS, (e.durationMs + 500) / 1000);
    return full;
}

std::string HlsPlaylist_segmentName(const char *variant, uint64_t seq)
{
    char name[48];
    std::snprintf(name, sizeof name, "%s_%" PRIu64 ".ts", variant, seq);
    return name;
}

std::string HlsPlaylist_media(const HlsWindow &w, bool ended)
{
    char line[96];
    std::string out = "#EXTM3U\n#EXT-X-VERSION:3\n";
    std::snprintf(line, sizeof line, "#EXT-X-TARGETDURATION:%d\n", std::max(w.targetS, w.longestS));
    out += line;
    std::snprintf(line, sizeof line, "#EXT-X-MEDIA-SEQUENCE:%" PRIu64 "\n", w.mediaSeq);
    out += line;
    if (w.discontinuitySeq > 0) {
        std::snprintf(line, sizeof line, "#EXT-X-DISCONTINUITY-SEQUENCE:%" PRIu64 "\n", w.discontinuitySeq);
        out += line;
    }
    for (int i = 0; i < w.count; i++) {
        const HlsEntry &e = w.entries[i];
        // The first entry's mark is counted in the discontinuity sequence instead.
        if (e.discontinuity && i > 0) {
            out += "#EXT-X-DISCONTINUITY\n";
        }
        out += "#EXT-X-PROGRAM-DATE-TIME:" + isoTime(e.pdtMs) + "\n";
        std::snprintf(line, sizeof line, "#EXTINF:%d.%03d,\n", e.durationMs / 1000, e.durationMs % 1000);
        out += line;
        out += HlsPlaylist_segmentName(w.variant, e.fileSeq) + "\n";
    }
    if (ended) {
        out += "#EXT-X-ENDLIST\n";
    }
    return out;
}

std::string HlsPlaylist_master(const HlsVariantInfo *v, int count)
{
    std::string out = "#EXTM3U\n#EXT-X-VERSION:3\n";
    char line[256];
    for (int i = 0; i < count; i++) {
        const HlsVariantInfo &x = v[i];
        char codecs[64];
        std::snprintf(codecs, sizeof codecs, "avc1.%02x%02x%02x%s", x.profile, x.compatibility, x.level,
                      x.audio ? ",mp4a.40.2" : x.mp3 ? ",mp4a.40.34" : "");
        int n = std::snprintf(line, sizeof line, "#EXT-X-STREAM-INF:BANDWIDTH=%d,AVERAGE-BANDWIDTH=%d", x.bandwidth,
                              x.averageBandwidth);
        if (x.width > 0 && x.height > 0) {
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ",RESOLUTION=%dx%d", x.width, x.height);
        }
        std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ",CODECS=\"%s\"\n%s.m3u8\n", codecs, x.name);
        out += line;
    }
    return out;
}
