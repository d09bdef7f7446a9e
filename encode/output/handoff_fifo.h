// Hand-off FIFOs: named pipes under /dev/shm from which the RTSP server and the WebRTC server beside
// the encoder read the elementary streams, one record per unit. One mechanism serves every instance;
// a table says what differs (the path, the texts printed, whether a record starts with the stream
// tag, a queue limit, whether the stream waits for a reader, whether video starts again only at a key
// unit).
// The main thread makes the instances the output list needs; the video one is fed by the writer, the
// audio one by the audio thread.
//
// One feeding thread opens (the output's begin()) and writes an instance; the main thread makes and
// closes it before and after; the status thread reads its counters.
//
// A reader that falls behind must never hold the owner up: the pipe is enlarged to 1 MiB and a record
// is written only when it certainly fits whole, otherwise it is dropped, never split. Drops are
// counted and printed once per run. A reader that goes away costs the records until another opens
// the FIFO: the owner's end is closed (which discards what the old reader left half read) and opened
// again, without waiting, as soon as a new reader is there.
#pragma once

#include "encode/media/frame_times.h"
#include "encode/output/output.h"

#include <cstdint>

struct HandoffFifoKind {
    const char *path;       // the appliance's path, resolved under ENCODE_ROOT
    const char *createFail; // printed when the FIFO cannot be made
    const char *openFail;   // printed when it cannot be opened
    bool tagged;            // every record starts with the stream tag
    int queueLimit;         // above 0: drop while more than this many bytes wait in the pipe
    const char *name;       // the status's name of it
    // The stream waits in begin() for a reader (the RTSP server's FIFOs), or starts without one and
    // takes a reader whenever one comes (the WebRTC server's, opened only while it has viewers).
    bool waitsForReader = true;
    // Video: after a record that did not go in (no reader, a full pipe), records start again only at
    // a key unit, and only a key unit tries a new reader; a reader never sees a picture it cannot
    // decode. The reader asks the encoder for a key frame when it opens (control_socket.h).
    bool resumeAtKey = false;
};

// The writer's FIFO: /dev/shm/v_fifo, stream tag and access unit.
extern const HandoffFifoKind HandoffFifo_video;
// The AAC thread's FIFO: /dev/shm/aa_fifo, stream tag and ADTS frame, dropped while more than
// HANDOFF_FIFO_AAC_QUEUE_LIMIT bytes wait unread.
extern const HandoffFifoKind HandoffFifo_aac;
// The MP3 thread's FIFO: the same path, the bare MP3 frame (its own header says where it starts).
extern const HandoffFifoKind HandoffFifo_mp3;

// The WebRTC server's FIFOs: /dev/shm/webrtc_main, webrtc_second (stream tag and access unit) and
// webrtc_audio (stream tag and the AAC or MP3 frame, dropped past the AAC limit).
extern const HandoffFifoKind HandoffFifo_webrtcMain;
extern const HandoffFifoKind HandoffFifo_webrtcSecond;
extern const HandoffFifoKind HandoffFifo_webrtcAudio;

// The RTSP server's reader keeps an AAC FIFO this short: audio that waits longer than that is late.
inline constexpr int HANDOFF_FIFO_AAC_QUEUE_LIMIT = 32768;

// The size the pipe is given when it is opened.
inline constexpr int HANDOFF_FIFO_PIPE_BYTES = 1 << 20;

typedef struct HandoffFifo_Object *HandoffFifo_Handle;

// An instance that has touched nothing yet. `open` is how the write end is opened: open(2) when null;
// a test may refuse it. Null when out of memory (the kind's open failure printed).
using HandoffFifo_OpenFunction = int (*)(const char *path, int flags);
HandoffFifo_Handle HandoffFifo_create(const HandoffFifoKind *kind, HandoffFifo_OpenFunction open = nullptr);

// Makes the FIFO afresh (removed, created, opened up to everyone through the shell) and waits for a
// reader to open it (a kind that does not wait for its reader tries once); only the quit flag ends
// the wait early. False when it cannot be made or opened
// (its failure text printed, and shown in the status) or when quit was raised while waiting (nothing
// printed): no record goes in this run then. What the output's begin() does.
bool HandoffFifo_start(HandoffFifo_Handle h);

// HandoffFifo_create and HandoffFifo_start in one; null when the start failed.
HandoffFifo_Handle HandoffFifo_open(const HandoffFifoKind *kind, HandoffFifo_OpenFunction open = nullptr);

// The instance as an output of the list: its video() or audio() writes one record.
Output *HandoffFifo_output(HandoffFifo_Handle h);

// One record: the stream tag (for a tagged kind) stamped `time`, then the unit, written whole or
// not at all. True when written, false when dropped.
bool HandoffFifo_write(HandoffFifo_Handle h, const uint8_t *unit, int bytes, FrameTime time);

// Records dropped so far.
uint64_t HandoffFifo_dropped(HandoffFifo_Handle h);

// Closes the owner's end and frees the handle. Null is ignored.
void HandoffFifo_close(HandoffFifo_Handle h);

