// The offer's payload types for a stream: which of the browser's H.264 profiles decode the stream's.
#include "webrtc/offer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// H.264 profiles as browsers tell them apart (their profile-level-id matching): the profile_idc and
// the constraint flags that matter.
enum class Profile { None, ConstrainedBaseline, Baseline, Main, High, ConstrainedHigh, High10, High422, High444 };

struct ProfilePattern {
    uint8_t idc;
    const char *flags; // constraint_set0..7, most significant first; x: either
    Profile profile;
};

const ProfilePattern kProfiles[] = {
    {0x42, "x1xx0000", Profile::ConstrainedBaseline}, {0x4D, "1xxx0000", Profile::ConstrainedBaseline},
    {0x58, "11xx0000", Profile::ConstrainedBaseline}, {0x42, "x0xx0000", Profile::Baseline},
    {0x58, "10xx0000", Profile::Baseline},            {0x4D, "0x0x0000", Profile::Main},
    {0x64, "00000000", Profile::High},                {0x64, "00001100", Profile::ConstrainedHigh},
    {0x6E, "xxxxxxxx", Profile::High10},              {0x7A, "xxxxxxxx", Profile::High422},
    {0xF4, "xxxxxxxx", Profile::High444},
};

// Whether a decoder of profile `decoder` decodes a stream of profile `stream`: each of the High
// family decodes High (and what High decodes), High decodes Main, Main and Baseline decode
// Constrained Baseline. A browser that offers High 4:4:4 but not High takes the High stream so.
bool decodes(Profile decoder, Profile stream)
{
    auto rank = [](Profile p) {
        switch (p) {
        case Profile::ConstrainedBaseline: return 0;
        case Profile::Main: return 1;
        case Profile::ConstrainedHigh: return 1; // Main's tools and High's 8x8 transform
        case Profile::High: return 2;
        case Profile::High10:
        case Profile::High422:
        case Profile::High444: return 3;
        default: return -1;
        }
    };
    if (decoder == stream) {
        return decoder != Profile::None;
    }
    if (stream == Profile::ConstrainedBaseline) {
        return decoder != Profile::None;
    }
    if (decoder == Profile::Baseline || stream == Profile::Baseline) {
        return false; // Baseline's own tools (FMO, ASO) are in no other profile here
    }
    if (stream == Profile::ConstrainedHigh) {
        return rank(decoder) >= 2;
    }
    return rank(stream) >= 0 && rank(decoder) > rank(stream);
}

const char *profileName(Profile p)
{
    switch (p) {
    case Profile::ConstrainedBaseline: return "Constrained Baseline";
    case Profile::Baseline: return "Baseline";
    case Profile::Main: return "Main";
    case Profile::High: return "High";
    case Profile::ConstrainedHigh: return "Constrained High";
    case Profile::High10: return "High 10";
    case Profile::High422: return "High 4:2:2";
    case Profile::High444: return "High 4:4:4";
    default: return "unknown";
    }
}

Profile profileOf(uint8_t idc, uint8_t flags)
{
    for (const ProfilePattern &p : kProfiles) {
        bool match = p.idc == idc;
        for (int bit = 0; match && bit < 8; bit++) {
            int v = (flags >> (7 - bit)) & 1;
            match = p.flags[bit] == 'x' || p.flags[bit] - '0' == v;
        }
        if (match) {
            return p.profile;
        }
    }
    return Profile::None;
}

Profile profileOfId(const char *hex)
{
    unsigned v = 0;
    if (hex == nullptr || std::strlen(hex) != 6 || std::sscanf(hex, "%6x", &v) != 1) {
        return Profile::None;
    }
    return profileOf(static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8));
}

// A parameter of the payload type's fmtp line as the offer wrote it (GStreamer's caps of a media turn
// profile-level-id into a profile name and drop the level and constraint flags).
std::string fmtpParameter(const GstSDPMedia *m, int pt, const char *name)
{
    std::string prefix = std::to_string(pt) + " ";
    for (guint k = 0;; k++) {
        const gchar *v = gst_sdp_media_get_attribute_val_n(m, "fmtp", k);
        if (v == nullptr) {
            return {};
        }
        std::string line(v);
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        std::string key = std::string(name) + "=";
        size_t at = line.find(key);
        while (at != std::string::npos && at > 0 && line[at - 1] != ' ' && line[at - 1] != ';') {
            at = line.find(key, at + 1);
        }
        if (at == std::string::npos) {
            return {};
        }
        size_t from = at + key.size();
        return line.substr(from, line.find(';', from) - from);
    }
}

OfferChoice choose(const GstSDPMessage *msg, Profile stream)
{
    OfferChoice c;
    int exactPt = -1;
    for (guint i = 0; i < gst_sdp_message_medias_len(msg); i++) {
        const GstSDPMedia *m = gst_sdp_message_get_media(msg, i);
        bool video = g_strcmp0(gst_sdp_media_get_media(m), "video") == 0;
        bool audio = g_strcmp0(gst_sdp_media_get_media(m), "audio") == 0;
        c.video = c.video || video;
        for (guint j = 0; j < gst_sdp_media_formats_len(m); j++) {
            int pt = std::atoi(gst_sdp_media_get_format(m, j));
            GstCaps *caps = gst_sdp_media_get_caps_from_media(m, pt);
            if (caps == nullptr) {
                continue;
            }
            const GstStructure *s = gst_caps_get_structure(caps, 0);
            const char *name = gst_structure_get_string(s, "encoding-name");
            if (video && g_strcmp0(name, "H264") == 0 &&
                g_strcmp0(gst_structure_get_string(s, "packetization-mode"), "1") == 0) {
                // The offer's own profile first; else the first that decodes the stream.
                std::string id = fmtpParameter(m, pt, "profile-level-id");
                Profile offered = profileOfId(id.c_str());
                bool better = offered == stream ? exactPt < 0 : c.videoPt < 0 && decodes(offered, stream);
                if (better) {
                    c.videoPt = pt;
                    c.profileLevelId = id;
                    exactPt = offered == stream ? pt : exactPt;
                }
            } else if (audio && c.audioPt < 0 && name != nullptr && g_ascii_strcasecmp(name, "OPUS") == 0) {
                c.audioPt = pt;
            }
            gst_caps_unref(caps);
        }
    }
    return c;
}

} // namespace

OfferChoice Offer_choose(const GstSDPMessage *offer, const std::string &sps, FeedStream stream, std::string *why)
{
    Profile profile =
        sps.size() >= 4 ? profileOf(static_cast<uint8_t>(sps[1]), static_cast<uint8_t>(sps[2])) : Profile::None;
    OfferChoice c = choose(offer, profile);
    why->clear();
    if (!c.video) {
        *why = "refused: the offer has no video";
    } else if (c.videoPt < 0) {
        *why = std::string("refused: the offer takes no H.264 ") + profileName(profile) +
               " profile with packetization-mode 1, which this stream is" +
               (stream == Feed_MAIN ? "; the second stream, when it runs, is at /whep/second" : "");
    }
    return c;
}
