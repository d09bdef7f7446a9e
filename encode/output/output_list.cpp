// Owns the outputs of a run. The list is fixed once built: the writer and the audio thread only walk
// it, the status thread only reads the outputs' reports, and only the main thread builds and stops
// it, before and after those threads run. So the walk takes no lock.
//
// The build is a table of kinds, each entry making its outputs when the plan asks for them. An
// entry's order in the table is its order in the list, which is the order a unit reaches the outputs.
#include "encode/output/output_list.h"

#include "encode/core/console.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/srt_settings.h"
#include "encode/core/status_board.h"
#include "encode/output/handoff_fifo.h"
#include "encode/output/hls.h"
#include "encode/output/http_ts.h"
#include "encode/output/rtmp.h"
#include "encode/output/srt.h"
#include "encode/output/stream_slots.h"
#include "encode/output/ts_fanout.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

namespace {

// One object of an output's report on the status board.
struct Shown {
    const Output *output;
    int index;
    int statusId;
};

} // namespace

struct OutputList_Object {
    std::vector<Output *> outputs; // in the list's order; each stopped by the list
    std::vector<Output *> fed;     // those the writer and the audio thread hand units to, in order
    std::vector<Shown> shown;
    TsFanOut_Handle ts = nullptr;
};

namespace {

using List = OutputList_Object;

struct Builder {
    const OutputPlan &plan;
    List &list;

    // The stream of the second stream's routing: `carriesSecond` says it goes there instead of the main one.
    unsigned videoOf(int carriesSecond) const
    {
        if (!plan.video) {
            return 0;
        }
        return plan.second.enabled == 1 && carriesSecond == 1 ? OUTPUT_TAKES_SECOND : OUTPUT_TAKES_MAIN;
    }
    // The list stops what it owns, in the order it came, and shows it in that order.
    void own(Output *o) { list.outputs.push_back(o); }
    // The writer and the audio thread hand it what it takes, in the order it came.
    void feed(Output *o, unsigned takes)
    {
        o->takes = takes;
        if ((takes & (OUTPUT_TAKES_MAIN | OUTPUT_TAKES_SECOND | OUTPUT_TAKES_AUDIO)) != 0) {
            list.fed.push_back(o);
        }
    }
    void add(Output *o, unsigned takes)
    {
        own(o);
        feed(o, takes);
    }
    // The multiplexer hands it its packets, after the consumers before it.
    void consumer(Output *o)
    {
        o->takes = OUTPUT_TAKES_TS;
        TsFanOut_addConsumer(list.ts, o);
    }
};

void reportShown(const void *ctx, nlohmann::json &out)
{
    const auto &s = *static_cast<const Shown *>(ctx);
    s.output->report(s.index, out);
}

// --- The kinds, in the list's order ---

// SRT takes the transport stream whatever the stream output's switches say.
int makeSrt(Builder &b)
{
    SrtSettings srt;
    if (SrtSettings_read(srt) != SrtSettings_EOK || !srt.enable) {
        return OutputList_EOK;
    }
    SrtOut_Attrs attrs{};
    attrs.settings = srt;
    if (SrtOut_Handle h = SrtOut_create(&attrs)) { // one that cannot start costs SRT only; it said why
        b.own(SrtOut_output(h));
        b.consumer(SrtOut_output(h));
    }
    return OutputList_EOK;
}

// The destinations are set up (and printed) whatever the switches say; they get the stream when it
// is on and not served over HTTP.
int makeUdp(Builder &b)
{
    const OutputSwitches &sw = b.plan.switches;
    UdpOut_Attrs attrs{};
    attrs.destinations = b.plan.destinations;
    attrs.sending = sw.tsOff == 0 && sw.httpTs == 0;
    attrs.socketFunction = b.plan.socket;
    attrs.sendFunction = b.plan.udpSend;
    UdpOut_Handle h = UdpOut_create(&attrs);
    if (h == nullptr) {
        std::fputs("Error: Failed to create socket fd.\n", stderr);
        return OutputList_EUDP;
    }
    b.own(UdpOut_output(h));
    b.consumer(UdpOut_output(h));
    return OutputList_EOK;
}

int makeHttp(Builder &b)
{
    const OutputSwitches &sw = b.plan.switches;
    if (sw.httpTs == 0 || sw.tsOff != 0) {
        return OutputList_EOK;
    }
    if (HttpTs_Handle h = HttpTs_create(nullptr)) {
        b.own(HttpTs_output(h));
        b.consumer(HttpTs_output(h));
    } else {
        std::fputs("Error: Failed to create http ts server thread\n", stderr);
    }
    return OutputList_EOK;
}

// The list owns it from the start of the build.
int makeRecorder(Builder &b)
{
    if (b.plan.recorder != nullptr) {
        b.consumer(Recorder_output(b.plan.recorder));
    }
    return OutputList_EOK;
}

// The main stream's five slots and the second stream's one, which listens even while that stream
// is off; then the audio's five.
int makeSlots(Builder &b)
{
    bool tagged = b.plan.switches.tcp != 0;
    if (b.plan.video) {
        StreamSlots_Handle main = StreamSlots_start(&StreamSlots_videoMain, tagged);
        StreamSlots_Handle second = main != nullptr ? StreamSlots_start(&StreamSlots_videoSecond, tagged) : nullptr;
        if (second == nullptr) {
            StreamSlots_stop(main);
            std::fputs("Error: Failed to open socket for writing\n", stderr);
            return OutputList_ESLOTS;
        }
        b.add(StreamSlots_output(main), OUTPUT_TAKES_MAIN);
        b.add(StreamSlots_output(second), b.plan.second.enabled == 1 ? unsigned{OUTPUT_TAKES_SECOND} : 0u);
    }
    if (b.plan.audio != TsMux_Audio_NONE) {
        StreamSlots_Handle audio = StreamSlots_start(&StreamSlots_audio, tagged);
        if (audio == nullptr) {
            std::fputs("Error: Failed to open audio socket for writing\n", stderr);
            return OutputList_ESLOTS;
        }
        b.add(StreamSlots_output(audio), OUTPUT_TAKES_AUDIO);
    }
    return OutputList_EOK;
}

int makeMultiplexer(Builder &b)
{
    unsigned takes = b.videoOf(b.plan.second.tsCarriesSecond);
    b.feed(TsFanOut_output(b.list.ts), takes | (b.plan.audio != TsMux_Audio_NONE ? unsigned{OUTPUT_TAKES_AUDIO} : 0u));
    return OutputList_EOK;
}

// The RTSP server's FIFOs, unless RTMP runs instead of them.
int makeFifos(Builder &b)
{
    if (!OutputSwitches_feedsFifos(b.plan.switches)) {
        return OutputList_EOK;
    }
    if (b.plan.video) {
        HandoffFifo_Handle h = HandoffFifo_create(&HandoffFifo_video);
        if (h == nullptr) {
            return OutputList_ENOMEM;
        }
        b.add(HandoffFifo_output(h), b.videoOf(b.plan.second.rtspCarriesSecond));
    }
    if (b.plan.audio != TsMux_Audio_NONE) {
        const HandoffFifoKind *kind = b.plan.audio == TsMux_Audio_MP3 ? &HandoffFifo_mp3 : &HandoffFifo_aac;
        HandoffFifo_Handle h = HandoffFifo_create(kind);
        if (h == nullptr) {
            return OutputList_ENOMEM;
        }
        b.add(HandoffFifo_output(h), OUTPUT_TAKES_AUDIO);
    }
    return OutputList_EOK;
}

void addPublisher(Builder &b, const RtmpPublisherConfig *config, int number)
{
    RtmpPublisher_Handle h = RtmpPublisher_create(config);
    if (h == nullptr) {
        if (number == 1) {
            std::fputs("Error: Failed to create rtmp thread\n", stderr);
        } else {
            std::fprintf(stderr, "Error: Failed to create rtmp thread %d\n", number);
        }
        return;
    }
    // MP3 frames never go to RTMP.
    unsigned audio = b.plan.audio == TsMux_Audio_AAC ? unsigned{OUTPUT_TAKES_AUDIO} : 0u;
    b.add(RtmpPublisher_output(h), b.videoOf(b.plan.second.rtspCarriesSecond) | audio);
}

// Destination 1 reads `url=` of the start script itself (and says so when there is none), 2 to 4
// come from /mnt/rtmpx.ini. A publisher that cannot be made, or a line that is no URL, costs its own
// destination only.
int makePublishers(Builder &b)
{
    if (!OutputSwitches_publishes(b.plan.switches)) {
        return OutputList_EOK;
    }
    addPublisher(b, nullptr, 1);
    RtmpExtraDestinations extra = RtmpDestinations_readExtra();
    for (int i = 0; i < kRtmpExtraDestinations; i++) {
        const RtmpExtraLine &line = extra.line[i];
        int number = i + 2;
        if (!line.problem.empty()) {
            Console_say("rtmp %d: error url input (%s)\n", number, line.problem.c_str());
        } else if (!line.url.empty()) {
            RtmpPublisherConfig config{line.url.c_str(), 0, number};
            addPublisher(b, &config, number);
        }
    }
    if (extra.ignoredLines > 0) {
        Console_say("rtmpx.ini: %d lines past destination %d left out\n", extra.ignoredLines, kRtmpDestinations);
    }
    return OutputList_EOK;
}

// The WebRTC server's FIFOs, whether or not the RTSP server's run: each stream its own, fed without
// waiting for a reader, so that no viewer costs the encoder nothing but an open that fails.
int makeWebrtc(Builder &b)
{
    if (!b.plan.webrtc) {
        return OutputList_EOK;
    }
    struct Wanted {
        const HandoffFifoKind *kind;
        bool wanted;
        unsigned takes;
    } wanted[] = {
        {&HandoffFifo_webrtcMain, b.plan.video, OUTPUT_TAKES_MAIN},
        {&HandoffFifo_webrtcSecond, b.plan.video && b.plan.second.enabled == 1, OUTPUT_TAKES_SECOND},
        {&HandoffFifo_webrtcAudio, b.plan.audio != TsMux_Audio_NONE, OUTPUT_TAKES_AUDIO},
    };
    for (const Wanted &w : wanted) {
        if (!w.wanted) {
            continue;
        }
        HandoffFifo_Handle h = HandoffFifo_create(w.kind);
        if (h == nullptr) {
            return OutputList_ENOMEM;
        }
        b.add(HandoffFifo_output(h), w.takes);
    }
    return OutputList_EOK;
}

// HLS cuts the multiplexer's TS (the stream it carries) and multiplexes the other stream itself when
// the second stream runs; made last, so that its own feed comes after every other fed output.
int makeHls(Builder &b)
{
    const HlsSettings &hls = b.plan.hls;
    if (!hls.enable) {
        return OutputList_EOK;
    }
    if (!b.plan.video) {
        Console_say("hls: there is no video stream to cut into segments; HLS is off\n");
        return OutputList_EOK;
    }
    unsigned carried = b.videoOf(b.plan.second.tsCarriesSecond);
    HlsOut_Attrs attrs{hls, carried == OUTPUT_TAKES_SECOND, b.plan.second.enabled == 1, b.plan.audio};
    HlsOut_Handle h = HlsOut_create(&attrs);
    if (h == nullptr) { // it said why; HLS only is off
        return OutputList_EOK;
    }
    b.own(HlsOut_output(h));
    b.consumer(HlsOut_output(h));
    if (Output *other = HlsOut_otherFeed(h)) {
        unsigned stream = carried == OUTPUT_TAKES_SECOND ? OUTPUT_TAKES_MAIN : OUTPUT_TAKES_SECOND;
        b.feed(other, stream | (b.plan.audio != TsMux_Audio_NONE ? unsigned{OUTPUT_TAKES_AUDIO} : 0u));
    }
    return OutputList_EOK;
}

using MakeKind = int (*)(Builder &);

// The multiplexer's consumers first (UDP's set-up is the start-up's first network step: a run that
// cannot have its sockets ends before anything else is made), then the fed outputs in their feeding
// order.
const MakeKind kKinds[] = {
    makeSrt,  makeUdp,        makeHttp,   makeRecorder, makeSlots, makeMultiplexer,
    makeFifos, makePublishers, makeWebrtc, makeHls,
};

void showAll(List &l)
{
    for (const Output *o : l.outputs) {
        for (int i = 0; i < o->reports(); i++) {
            l.shown.push_back({o, i, 0});
        }
    }
    // Registered once the vector no longer moves: the board keeps pointers into it.
    for (Shown &s : l.shown) {
        s.statusId = StatusBoard_add(StatusSection::Output, reportShown, &s);
    }
}

// The recorder and the multiplexer are the list's from the start, so that whatever fails later stops
// them with the rest.
int build(const OutputPlan &plan, List &l)
{
    l.outputs.reserve(32);
    Builder b{plan, l};
    if (plan.recorder != nullptr) {
        b.own(Recorder_output(plan.recorder));
    }
    l.ts = TsFanOut_create(plan.audio);
    if (l.ts == nullptr) {
        std::fputs("init TS failed!\n", stderr);
        return OutputList_EMUX;
    }
    b.own(TsFanOut_output(l.ts));
    for (MakeKind make : kKinds) {
        if (int r = make(b); r != OutputList_EOK) {
            return r;
        }
    }
    showAll(l);
    return OutputList_EOK;
}

} // namespace

int OutputList_build(const OutputPlan *plan, OutputList_Handle *list)
{
    *list = nullptr;
    std::unique_ptr<List> l(new (std::nothrow) List);
    if (l == nullptr) {
        if (plan->recorder != nullptr) {
            Recorder_output(plan->recorder)->stop();
        }
        return OutputList_ENOMEM;
    }
    int r = OutputList_ENOMEM;
    try {
        r = build(*plan, *l);
    } catch (...) {
        r = OutputList_ENOMEM;
    }
    if (r != OutputList_EOK) {
        OutputList_stop(l.release());
        return r;
    }
    *list = l.release();
    return OutputList_EOK;
}

void OutputList_begin(OutputList_Handle h, unsigned takes)
{
    if (h == nullptr) {
        return;
    }
    for (Output *o : h->fed) {
        if ((o->takes & takes) != 0) {
            o->begin();
        }
    }
}

bool OutputList_reserve(OutputList_Handle h, int unitBytes)
{
    return h == nullptr || TsFanOut_reserve(h->ts, unitBytes);
}

void OutputList_video(OutputList_Handle h, const OutputUnit &main, const OutputUnit *second)
{
    if (h == nullptr) {
        return;
    }
    for (Output *o : h->fed) {
        if ((o->takes & OUTPUT_TAKES_MAIN) != 0) {
            o->video(main);
        } else if ((o->takes & OUTPUT_TAKES_SECOND) != 0 && second != nullptr) {
            o->video(*second);
        }
    }
}

void OutputList_audio(OutputList_Handle h, const OutputUnit &frame)
{
    if (h == nullptr) {
        return;
    }
    for (Output *o : h->fed) {
        if ((o->takes & OUTPUT_TAKES_AUDIO) != 0) {
            o->audio(frame);
        }
    }
}

void OutputList_stop(OutputList_Handle h)
{
    if (h == nullptr) {
        return;
    }
    for (const Shown &s : h->shown) {
        StatusBoard_remove(s.statusId);
    }
    for (Output *o : h->outputs) {
        o->stop();
    }
    delete h;
}

int OutputList_count(OutputList_Handle h)
{
    return static_cast<int>(h->outputs.size());
}

Output *OutputList_at(OutputList_Handle h, int index)
{
    return h->outputs[static_cast<size_t>(index)];
}

TsMux_Config OutputList_tsConfig(OutputList_Handle h)
{
    return TsFanOut_config(h->ts);
}

TsFanOutStats OutputList_tsStats(OutputList_Handle h)
{
    return TsFanOut_stats(h->ts);
}
