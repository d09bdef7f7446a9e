// What the main thread hands to each pipeline stage: one parameter record per stage thread, filled
// before the thread starts (a thread may write back into its own record where noted), and the
// process-wide values settled at start-up (output switches, second-stream settings, buffer count,
// frame-rate value) that the stages read afterwards, plus the no-signal flag that the capture side
// writes and the watchdog reads.
//
// The process-wide values are written by the main thread during start-up and read by any thread;
// each access goes through this module's functions (a copy under a mutex, or an atomic word).
#pragma once

#include "encode/media/fifo.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/output/tsmux.h"

#include <cstdint>

// What a stage thread function returns; the main thread turns a failure into exit status 1.
#define THREAD_SUCCESS ((void *)0)
#define THREAD_FAILURE ((void *)-1)

// Name of the codec runtime configuration every stage opens.
inline constexpr char ENGINE_NAME[] = "encode";

struct CaptureThreadParams {
    Rendezvous_Handle hRendezvousInit;     // rvStart
    Rendezvous_Handle hRendezvousStandard; // rvStandard: met once the picture size is settled
    Rendezvous_Handle hRendezvousCleanup;  // rvCleanup
    void *reserved;                        // left empty
    Pause_Handle hPauseProcess;
    Fifo_Handle hOutFifo; // captured frames to the video thread
    Fifo_Handle hInFifo;  // empty frames back from the video thread
    int display_standard; // 0 asks for detection
    int width;            // requested size (0: the standard's); written back as settled
    int height;
    int video_input;
    int16_t preview_disable;
};

struct VideoThreadParams {
    Rendezvous_Handle hRendezvousInit;    // rvStart
    Rendezvous_Handle hRendezvousCleanup; // rvCleanup
    Rendezvous_Handle hRendezvousReady;   // rvEncoderReady: met once the encoders exist
    Pause_Handle hPauseProcess;
    Fifo_Handle hWriterOutFifo; // encoded buffers to the writer
    Fifo_Handle hWriterInFifo;  // empty encoded buffers from the writer
    Fifo_Handle hCaptureOutFifo; // captured frames back to the capture thread
    Fifo_Handle hCaptureInFifo;  // captured frames from the capture thread
    const char *videoEncoder;    // codec runtime name, e.g. "h264enc"
    const char *engineName;      // "encode"
    const void *params;          // static parameters (null: the thread's own defaults)
    const void *dynParams;       // dynamic parameters (likewise)
    int outBufSize;              // written by the video thread before it meets rvEncoderReady
    int videobitrate;            // bit/s; negative: variable
    int framerate;               // thousandths of a frame per second
    int Intraframeinterval;
    int width;  // as settled by the capture thread
    int height;
};

struct WriterThreadParams {
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    Fifo_Handle hOutFifo; // empty buffers to the video thread
    Fifo_Handle hInFifo;  // encoded buffers from the video thread
    const char *videofile;
    int outBufSize; // copied from the video record
    int16_t write_disable;
    TsMux_Params tsParams; // ready-made; its config points at the encoder's TsMux_Config
};

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
};

struct ControlThreadParams {
    void *reserved; // set to 0
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPauseProcess;
    int keyboard;
    int time; // -t; not consulted
    const char *engineName;
    int16_t unused; // set to 0
};

// --- Process-wide values settled at start-up. ---

// On/off switches read once from the configuration store before option parsing.
struct OutputSwitches {
    uint8_t tsOff;    // /mnt/ts.ini: 1 = no TS output over UDP or HTTP
    int ra202;        // /mnt/ra202.ini: the ra202 board
    uint8_t tsRecord; // /mnt/tsf.ini: record the TS to USB storage
    uint8_t httpTs;   // /mnt/httpts.ini: the TS goes to the HTTP server instead of UDP
    uint8_t tcp;      // /mnt/tcp.ini: the TCP stream servers run
    uint8_t rtsp;     // /mnt/rtsp.ini: RTSP hand-off FIFOs (or RTMP)
    uint8_t rtmp;     // /mnt/rtsporrtmp.ini: with rtsp on, RTMP instead of the FIFOs
};

// The second ("fml") stream: /mnt/kavex_rs.ini and, when enabled, /mnt/kavex_rsc.ini.
struct SecondStreamSettings {
    int enabled = 0;
    int width = 640;
    int height = 480;
    int bitrate = 800000;
    int framerate = 25; // frames per second
    int intraInterval = 100;
    int idrInterval = 100;
    int tsCarriesSecond = 0;   // kavex_rsc.ini field 1: the UDP/HTTP TS carries the second stream
    int rtspCarriesSecond = 0; // kavex_rsc.ini field 2: the RTSP/RTMP outputs carry it
};

OutputSwitches Process_outputSwitches();
void Process_setOutputSwitches(const OutputSwitches &switches);

SecondStreamSettings Process_secondStream();
void Process_setSecondStream(const SecondStreamSettings &settings);

// Buffers per capture pool and video priming: 3, or 2 in low-delay mode.
int Process_bufferCount();
void Process_setBufferCount(int count);

// Frame rate in thousandths of a frame per second: 30000 unless the launch gives -f.
int Process_frameRate();
void Process_setFrameRate(int thousandths);

// Set when the AAC audio thread was started (the RTMP publisher announces audio then).
bool Process_audioPresent();
void Process_setAudioPresent(bool present);

// The no-signal flag: -1 until the capture side's no-signal thread first runs, then 0 while frames
// arrive and 1 while the input is lost. Lock-free: written by one thread, read by others.
int NoSignal_get();
void NoSignal_set(int value);

// Every value above back to its start-up default (tests, and the start of a run).
void Process_reset();

// The fml Fifo: carries the second stream's output buffer between the writer and the video thread in
// both directions. Created by the main thread; null when no video path runs.
Fifo_Handle Process_fmlFifo();
void Process_setFmlFifo(Fifo_Handle hFifo);
