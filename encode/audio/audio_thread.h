// The parameter records of the two audio threads: AAC ("audio") and MP3 ("speech"). The main thread
// starts one of them; each carries the output list it shares with the writer, built for its codec.
#pragma once

#include "encode/core/stage_thread.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/output_list.h"

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
    OutputList_Handle outputs; // null: no outputs
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
    OutputList_Handle outputs; // null: no outputs
};

// The thread functions (argument: the record above). 0 after an orderly stop (quit seen), -1 after a
// failure, which has printed its "Error: " line and raised quit.
void *audioThrFxn(void *arg);  // AAC: AudioThreadParams
void *speechThrFxn(void *arg); // MP3: SpeechThreadParams
