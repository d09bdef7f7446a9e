// The codec runtime's audio encoders: created by runtime name from an open engine ("aacenc", AAC-LC;
// "mp3enc", MPEG audio layer III), steered with control commands and dynamic parameter records, fed
// one codec frame of interleaved 16-bit little-endian PCM per process call.
//
// Records start with their size in bytes (sizeof the record). The static record is read by create,
// the dynamic one by SETPARAMS; a dynamic record that changes the sample rate, bit rate or channels
// reopens the library encoder.
//
// One frame in, at most one coded frame out: an AAC frame is written with its 7-byte ADTS header in
// front (LC profile, protection absent, buffer fullness 0x7FF), an MP3 frame whole, header included.
// Both encoders delay the signal (AAC by 1024 samples, MP3 by 1105), so the first call or two give
// 0 bytes. Neither can be flushed: RESET and FLUSH both reopen the library encoder, dropping the
// samples it holds, and the delay starts again.
//
// An encoder handle belongs to one thread (the audio thread): nothing here is locked.
#pragma once

#include <cstdint>

#include "encode/codec/engine.h"

typedef struct AudioEnc_Object *AudioEnc_Handle;

// Control commands.
typedef enum AudioEnc_Command : int {
    AudioEnc_SETPARAMS = 1,  // apply a dynamic record
    AudioEnc_RESET = 2,      // reopen: the held samples are dropped, the delay starts again
    AudioEnc_FLUSH = 4,      // the same as RESET: the library encoders cannot hand held samples out early
    AudioEnc_GETBUFINFO = 5, // buffer sizes, frame length and delay into the status record
} AudioEnc_Command;

// channelMode of both records.
enum {
    AudioEnc_CHANNELS_MONO = 0,
    AudioEnc_CHANNELS_STEREO = 1,
};

// dataEndianness: the only sample layout the encoders take.
enum { AudioEnc_ENDIAN_LE16 = 2 };

// encMode: the encoders code at a constant bit rate only.
enum { AudioEnc_MODE_CBR = 0 };

// inputFormat: channels interleaved sample by sample.
enum { AudioEnc_INPUT_INTERLEAVED = 1 };

// The static record: thirteen 32-bit words.
typedef struct AudioEnc_Params {
    int size;               // sizeof(AudioEnc_Params)
    int sampleRate;         // Hz
    int bitRate;            // bit/s
    int channelMode;        // AudioEnc_CHANNELS_*
    int dataEndianness;     // AudioEnc_ENDIAN_LE16
    int encMode;            // AudioEnc_MODE_CBR
    int inputFormat;        // AudioEnc_INPUT_INTERLEAVED
    int inputBitsPerSample; // 16
    int maxBitRate;         // bit/s; advisory (the output size is bounded by the format itself)
    int dualMonoMode;       // ignored: dual mono is no channel mode of these encoders
    int crcFlag;            // 0: no CRC protection
    int ancFlag;            // 0: no ancillary data
    int lfeFlag;            // 0: no low-frequency channel
} AudioEnc_Params;

// The dynamic record: seven 32-bit words.
typedef struct AudioEnc_DynParams {
    int size;               // sizeof(AudioEnc_DynParams)
    int bitRate;
    int sampleRate;
    int channelMode;
    int lfeFlag;
    int dualMonoMode;
    int inputBitsPerSample;
} AudioEnc_DynParams;

// The audio threads' built-in records, before they put their own sample rate and bit rate in:
// 48000 Hz, 288000 bit/s (maximum 192000), stereo, 16-bit little-endian interleaved, constant rate.
extern const AudioEnc_Params AudioEnc_Params_DEFAULT;
extern const AudioEnc_DynParams AudioEnc_DynParams_DEFAULT;

// Buffer requirements (GETBUFINFO).
typedef struct AudioEnc_BufInfo {
    int minNumInBufs;  // 1
    int minInBufSize;  // bytes of one frame of interleaved input (samples per frame x channels x 2)
    int minNumOutBufs; // 1
    int minOutBufSize; // bytes of the largest coded frame at the sample rate, whatever the bit rate
} AudioEnc_BufInfo;

typedef struct AudioEnc_Status {
    int size;          // sizeof(AudioEnc_Status)
    int extendedError; // AudioEnc_ERR_* bits of the last refusal
    AudioEnc_BufInfo bufInfo;
    int samplesPerFrame; // per channel: 1024 (AAC), 1152 (MP3 at 32000 Hz and up) or 576
    int encoderDelay;    // samples of silence before the signal in the decoded stream
} AudioEnc_Status;

// Extended error bits (create's *error, the status record, the process call's output arguments).
enum {
    AudioEnc_ERR_UNKNOWNCODEC = 0x1, // the engine does not carry the name, or no encoder is built for it
    AudioEnc_ERR_BADPARAMS = 0x2,    // a record field out of range
    AudioEnc_ERR_NOMEM = 0x4,
    AudioEnc_ERR_ENCODER = 0x8,      // the encoder library refused or failed
    AudioEnc_ERR_BADINPUT = 0x10,    // more samples announced than the input buffer holds
    AudioEnc_ERR_OUTPUTFULL = 0x20,  // the coded frame does not fit the output buffer
};

// A buffer handed to process: its address and size in bytes.
typedef struct AudioEnc_BufDesc {
    uint8_t *data;
    int size;
} AudioEnc_BufDesc;

typedef struct AudioEnc_InArgs {
    int size;         // sizeof(AudioEnc_InArgs)
    int numInSamples; // sample frames (one sample of every channel) in the input buffer
} AudioEnc_InArgs;

typedef struct AudioEnc_OutArgs {
    int size; // sizeof(AudioEnc_OutArgs)
    int extendedError;
    int bytesGenerated;
    int samplesConsumed; // sample frames taken from the input: at most one codec frame
} AudioEnc_OutArgs;

// The encoder named `name` if the engine carries it and a library encoder is built for it, opened
// with the static record. Null on failure (message at error level); the reason as AudioEnc_ERR_* bits
// in *error when error is not null.
AudioEnc_Handle AudioEnc_create(Engine_Handle hEngine, const char *name, const AudioEnc_Params *params,
                                int *error);
// Media_EOK; Media_EINVAL for an unknown command or a record it refuses (message at error level; the
// encoder keeps its previous configuration); Media_EFAIL when the encoder library fails. dynParams is
// read by SETPARAMS only; status (may be null) receives the extended error and the buffer information.
int AudioEnc_control(AudioEnc_Handle hEnc, int cmd, const AudioEnc_DynParams *dynParams, AudioEnc_Status *status);
// Codes one frame: the first min(numInSamples, samples per frame) sample frames of `in`, a short
// frame padded with silence. Nothing is coded for 0 samples. Media_EOK (outArgs->bytesGenerated bytes
// written, possibly 0 while the encoder fills its delay); Media_EINVAL for arguments it refuses;
// Media_EFAIL when coding fails or the frame does not fit (nothing is written past out->size).
int AudioEnc_process(AudioEnc_Handle hEnc, const AudioEnc_BufDesc *in, AudioEnc_BufDesc *out,
                     const AudioEnc_InArgs *inArgs, AudioEnc_OutArgs *outArgs);
// Null is accepted.
void AudioEnc_delete(AudioEnc_Handle hEnc);
