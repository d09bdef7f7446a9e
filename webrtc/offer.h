// What a viewer's offer leads to: the payload types it is answered with. Browsers offer H.264 in
// several profiles under payload types of their choosing, and take an answer only in a profile they
// offered: the offer's H.264 with packetisation mode 1 whose profile is the stream's (its SPS says
// which) is taken first, else the first whose decoders decode the stream (High 4:4:4 and the other
// High profiles decode High, High decodes Main, and every profile Constrained Baseline), and the
// offer's Opus for the sound. Pure functions over the parsed offer.
#pragma once

#include "webrtc/feed.h"

#include <gst/sdp/sdp.h>

#include <string>

struct OfferChoice {
    int videoPt = -1;
    std::string profileLevelId; // the offer's for videoPt: the answer says the same
    int audioPt = -1;           // -1: no Opus in the offer, video alone
    bool video = false;         // the offer has a video section at all
};

// The choice for a stream whose SPS NAL (without start code) is `sps`; `why` empty when the offer
// can be answered, else the one line of its refusal.
OfferChoice Offer_choose(const GstSDPMessage *offer, const std::string &sps, FeedStream stream, std::string *why);
