// The output list: every output of one run, built by the main thread from the settings read at start,
// owned by it, handed to the writer and the audio thread, and stopped in one order after those
// threads have been joined. The writer and the audio thread walk it for every unit; none of them
// names an output kind. Which output gets which stream is settled here, once, when it is built.
//
// The feeding order of a unit is the list's order, and it is the appliance's: the TCP slots, the
// multiplexer stage (whose consumers, SRT, UDP, HTTP, the recorder and HLS, get its packets), the RTSP
// hand-off FIFO, each RTMP destination, the WebRTC server's FIFOs, then HLS's own multiplexer of the
// stream the TS does not carry. Nothing in the walk
// allocates or waits: an output that could stall bounds itself or sends from the sender worker.
//
// Adding an output kind: one file that implements the Output interface (output.h), and one entry in
// OutputList_build (output_list.cpp) that makes it when its setting asks for it and says what it
// takes.
#pragma once

#include "encode/core/hls_settings.h"
#include "encode/core/output_switches.h"
#include "encode/core/second_stream.h"
#include "encode/output/output.h"
#include "encode/output/recorder.h"
#include "encode/output/ts_fanout.h"
#include "encode/output/tsmux.h"
#include "encode/output/udp.h"

// What the list is built from.
struct OutputPlan {
    OutputSwitches switches;
    SecondStreamSettings second;
    bool video;           // a video stream runs (-v)
    TsMux_Audio audio;    // the audio stream, none, AAC (-a) or MP3 (-s)
    NetDestinations destinations;
    Recorder_Handle recorder;      // the recorder, already running (null: no recording); the list takes it
    UdpOut_SocketFunction socket;  // the UDP destinations' sockets (null: socket(2))
    UdpOut_SendFunction udpSend;   // how a datagram is sent (null: sendto(2))
    bool webrtc;                   // the WebRTC server's FIFOs (webrtc.ini or whip.ini enabled)
    HlsSettings hls;               // as read from hls.ini (off when it was refused)
};

enum {
    OutputList_EOK = 0,
    OutputList_EMUX = -1,   // "init TS failed!"
    OutputList_EUDP = -2,   // "Error: Failed to create socket fd.": the run ends at once with 255
    OutputList_ESLOTS = -3, // the TCP slots' threads could not be started
    OutputList_ENOMEM = -4,
};

typedef struct OutputList_Object *OutputList_Handle;

// Builds every output the plan asks for, prints each failure line, and adds their reports to the
// status board in the list's order. An output that cannot be made costs itself only (its line says
// so), except the ones whose codes are above: then nothing is left running, the recorder included,
// and `*list` is null.
int OutputList_build(const OutputPlan *plan, OutputList_Handle *list);

// The feeding thread, once, after the start rendezvous: what the outputs it feeds (`takes`: the
// video bits for the writer, OUTPUT_TAKES_AUDIO for the audio thread) must do before the stream
// starts (the FIFOs wait for their reader; quit ends the wait).
void OutputList_begin(OutputList_Handle h, unsigned takes);

// Before the start rendezvous: the largest unit the thread will hand in, so that the multiplexer's
// buffer can hold its packets. False when the memory cannot be had.
bool OutputList_reserve(OutputList_Handle h, int unitBytes);

// The writer, per encoded frame: the main stream's unit, and the second stream's when it runs and
// coded one (null otherwise), to every output in the list's order.
void OutputList_video(OutputList_Handle h, const OutputUnit &main, const OutputUnit *second);
// The audio thread, per encoded frame.
void OutputList_audio(OutputList_Handle h, const OutputUnit &frame);

// Every output stopped (their reports removed first), the recorder's held bytes written, the list
// freed. After the feeding threads have ended. Null is accepted.
void OutputList_stop(OutputList_Handle h);

// The feeding calls take a null list as one without outputs.
//
// For tests and logs: the outputs in the list's order (the multiplexer's consumers after the rest),
// and the multiplexer stage's counters and configuration.
int OutputList_count(OutputList_Handle h);
Output *OutputList_at(OutputList_Handle h, int index);
TsMux_Config OutputList_tsConfig(OutputList_Handle h);
TsFanOutStats OutputList_tsStats(OutputList_Handle h);
