// The payload types an offer is answered with: a table of browsers' H.264 offers against streams of
// each profile the encoder codes.
#include "webrtc/offer.h"

#include <gtest/gtest.h>

#include <gst/gst.h>

#include <string>

namespace {

// An offer's video section with these H.264 payload types (PT, packetization-mode, profile-level-id),
// and Opus in an audio section when `audio`.
std::string offer(const std::string &h264, bool audio, bool video = true)
{
    std::string pts;
    std::string lines;
    size_t at = 0;
    while (at < h264.size()) {
        size_t end = h264.find(' ', at);
        std::string one = h264.substr(at, end - at);
        at = end == std::string::npos ? h264.size() : end + 1;
        std::string pt = one.substr(0, one.find(':'));
        std::string mode = one.substr(pt.size() + 1, 1);
        std::string id = one.substr(pt.size() + 3);
        pts += " " + pt;
        lines += "a=rtpmap:" + pt + " H264/90000\r\na=fmtp:" + pt +
                 " level-asymmetry-allowed=1;packetization-mode=" + mode + ";profile-level-id=" + id + "\r\n";
    }
    std::string sdp = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
    if (video) {
        sdp += "m=video 9 UDP/TLS/RTP/SAVPF 96" + pts + "\r\nc=IN IP4 0.0.0.0\r\na=recvonly\r\n"
               "a=rtpmap:96 VP8/90000\r\n" + lines;
    }
    if (audio) {
        sdp += "m=audio 9 UDP/TLS/RTP/SAVPF 111 0\r\nc=IN IP4 0.0.0.0\r\na=recvonly\r\n"
               "a=rtpmap:111 opus/48000/2\r\na=rtpmap:0 PCMU/8000\r\n";
    }
    return sdp;
}

// The SPS NAL's first bytes of a stream: NAL header, profile_idc, constraint flags, level.
std::string sps(uint8_t idc, uint8_t flags)
{
    return std::string{'\x67', static_cast<char>(idc), static_cast<char>(flags), '\x28', '\x00'};
}

} // namespace

TEST(Offer, TheStreamsProfileOrOneThatDecodesItIsChosen)
{
    gst_init(nullptr, nullptr);
    // What Debian's Chromium 156 offers: Baseline, Constrained Baseline, Main, High 4:4:4, each in
    // both packetisation modes.
    const std::string chromium = "102:1:42001f 104:0:42001f 108:1:42e01f 114:0:42e01f 116:1:4d001f 39:0:4d001f "
                                 "41:1:f4001f 43:0:f4001f";
    struct Case {
        const char *what;
        std::string h264;
        bool video;
        std::string sps;
        FeedStream stream;
        int videoPt;
        const char *profileLevelId;
        const char *refusal;
    } cases[] = {
        {"High in High 4:4:4", chromium, true, sps(0x64, 0x00), Feed_MAIN, 41, "f4001f", ""},
        {"High exactly when offered", chromium + " 127:1:64001f", true, sps(0x64, 0x00), Feed_MAIN, 127, "64001f", ""},
        {"Main as Main", chromium, true, sps(0x4D, 0x40), Feed_MAIN, 116, "4d001f", ""},
        {"Constrained Baseline as itself", chromium, true, sps(0x42, 0xC0), Feed_SECOND, 108, "42e01f", ""},
        {"mode 0 only", "104:0:42001f 39:0:4d001f", true, sps(0x4D, 0x40), Feed_MAIN, -1, "",
         "refused: the offer takes no H.264 Main profile with packetization-mode 1, which this stream is; the "
         "second stream, when it runs, is at /whep/second"},
        {"High where only Main is offered", "116:1:4d001f", true, sps(0x64, 0x00), Feed_SECOND, -1, "",
         "refused: the offer takes no H.264 High profile with packetization-mode 1, which this stream is"},
        {"no video section", "", false, sps(0x64, 0x00), Feed_MAIN, -1, "", "refused: the offer has no video"},
    };
    for (const Case &c : cases) {
        GstSDPMessage *msg = nullptr;
        ASSERT_EQ(gst_sdp_message_new_from_text(offer(c.h264, true, c.video).c_str(), &msg), GST_SDP_OK) << c.what;
        std::string why;
        OfferChoice got = Offer_choose(msg, c.sps, c.stream, &why);
        EXPECT_EQ(why, c.refusal) << c.what;
        if (why.empty()) {
            EXPECT_EQ(got.videoPt, c.videoPt) << c.what;
            EXPECT_EQ(got.profileLevelId, c.profileLevelId) << c.what;
            EXPECT_EQ(got.audioPt, 111) << c.what;
        }
        gst_sdp_message_free(msg);
    }
}
