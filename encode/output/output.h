// The output interface: what every output of the box is to the threads that feed it. A TCP slot set,
// a hand-off FIFO, the TS multiplexer and each of its consumers (UDP, HTTP, SRT, the recorder), each
// RTMP destination: each is an Output, made by the main thread when it builds the output list
// (output_list.h), fed by the writer, the audio thread or the multiplexer through these calls only,
// and stopped by the list after those threads have been joined.
//
// Which units reach an output is the list's business, settled when it is built (`takes`): the output
// only handles what it is handed. Every call below returns without waiting for a peer: an output
// whose peer can stall bounds its own sends, or hands the unit to its own thread (the sender worker,
// sender.h). A unit is lent for the call only: an output that keeps anything of it copies it.
//
// Threads: video() is called by the writer, audio() by the audio thread, ts() by whichever of them
// holds the multiplexer's lock, begin() by each thread that feeds the output, after the start
// rendezvous and before its first unit; report() by the status thread at any time (it reads only
// what the output publishes as atomics or under a lock of its own); stop() by the main thread, once,
// when nothing feeds the output any more.
#pragma once

#include "encode/media/frame_times.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>

// One encoded unit as every output gets it: taken out of its buffer once by the thread that feeds it.
struct OutputUnit {
    const uint8_t *data;
    int bytes;      // above 0
    FrameTime time; // the capture time (video) or the stamped time (audio)
    bool key;       // video: it begins with an SPS, a decoder can start on it; audio: always
};

// What an output is handed, as bits of `Output::takes`.
enum OutputTakes : unsigned {
    OUTPUT_TAKES_MAIN = 1u << 0,   // the main stream's access units
    OUTPUT_TAKES_SECOND = 1u << 1, // the second stream's
    OUTPUT_TAKES_AUDIO = 1u << 2,  // encoded audio frames (AAC with ADTS, or MP3)
    OUTPUT_TAKES_TS = 1u << 3,     // the multiplexer's packets
};

class Output {
public:
    Output() = default;
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // Set by the list's builder; never changes afterwards.
    unsigned takes = 0;

    virtual void video(const OutputUnit &) {}
    virtual void audio(const OutputUnit &) {}
    // Whole TS packets (`bytes` a multiple of 188).
    virtual void ts(const uint8_t *, int) {}
    // For a TS consumer: whether the packets are of use to it now (a recorder that gave up on its
    // disk takes none); the multiplexer runs only while one of its consumers wants them.
    virtual bool wantsTs() const { return true; }
    // Anything the output must do on the feeding thread before the stream starts (a FIFO waits for
    // its reader here; only the quit flag ends the wait early).
    virtual void begin() {}

    // The objects it shows in the status document's "outputs" (kind, name, target, state, bytes,
    // dropped, error and whatever is its own), `index` from 0 to reports() - 1.
    virtual int reports() const { return 1; }
    virtual void report(int index, nlohmann::json &out) const = 0;

    // Ends everything the output started (threads joined, peers told, what it holds written or sent
    // within its bound) and frees it. Nothing may call it any more.
    virtual void stop() = 0;

protected:
    virtual ~Output() = default; // stop() frees
};
