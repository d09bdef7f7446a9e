// The parameter records of the two audio threads: AAC ("audio") and MP3 ("speech"). The main thread
// starts one of them; each carries its own copy of the multiplexer's parameter record, the MP3 one
// taken after the multiplexer was set up again for MPEG audio, and the TS output it shares with the
// writer.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/rtmp.h"
#include "encode/output/tsmux.h"
#include "encode/output/udp.h"

#include <cstdint>

struct AudioThreadParams {
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    int linein;
    const char *audioEncoder; // codec runtime name, "aacenc"
    const char *audiofile;
    const char *engineName;
    const void *params;
    const void *dynParams;
    int soundbitrate;
    int samplerate;
    int16_t write_disable;
    TsMux_Params tsParams;
    TsOut_Handle tsOut; // null: no TS
    RtmpPublishers rtmp; // the main thread's publishers while RTMP is on, else none
};

struct SpeechThreadParams {
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    int linein;
    const char *speechEncoder; // codec runtime name, "mp3enc"
    const char *speechfile;
    const char *engineName;
    const void *params;
    const void *dynParams;
    int soundbitrate;
    int samplerate;
    TsMux_Params tsParams; // taken after the multiplexer was set up for MP3
    TsOut_Handle tsOut;    // null: no TS
};

// The thread functions (argument: the record above). 0 after an orderly stop (quit seen), -1 after a
// failure, which has printed its "Error: " line and raised quit.
void *audioThrFxn(void *arg);  // AAC: AudioThreadParams
void *speechThrFxn(void *arg); // MP3: SpeechThreadParams
