// Aenc1: the audio thread's encoder wrapper over the codec runtime (audenc.h). It creates the encoder
// from the thread's static and dynamic records, learns the buffer sizes the encoder needs, and codes
// one buffer of captured PCM per call into the output buffer.
//
// Input buffers hold interleaved 16-bit little-endian PCM; their used size says how much. The wrapper
// counts samples per channel from it with the channel count and sample width of the dynamic record
// (2 channels when its channelMode is not 0, inputBitsPerSample / 8 bytes a sample). A handle is used
// by one thread.
#pragma once

#include "encode/codec/audenc.h"
#include "encode/media/buffer.h"
#include "encode/codec/engine.h"

typedef struct Aenc1_Object *Aenc1_Handle;

// Creates the encoder `codecName` ("aacenc" or "mp3enc") with the static record, applies the dynamic
// record (SETPARAMS) and reads the buffer sizes (GETBUFINFO). Null after its message on failure.
Aenc1_Handle Aenc1_create(Engine_Handle hEngine, const char *codecName, const AudioEnc_Params *params,
                          const AudioEnc_DynParams *dynParams);

// Codes the input buffer's used bytes (one codec frame at most is taken). On success the input's used
// size becomes the bytes consumed and the output's the bytes of the coded frame (0 while the encoder
// fills its delay). Media_EOK, or the runtime's status after "[Aenc1] encoder process() failed ..."
// (the output's used size is then 0).
int Aenc1_process(Aenc1_Handle hAe, Buffer_Handle hInBuf, Buffer_Handle hOutBuf);

// Bytes of one codec frame of input (AAC stereo: 1024 x 2 x 2 = 4096; MP3 stereo: 4608).
int Aenc1_getInBufSize(Aenc1_Handle hAe);
// Bytes of the largest frame the encoder can write at its sample rate, whatever the bit rate
// (AAC stereo 1543; MP3 961 at 48000 Hz, 1045 at 44100 Hz, 1441 at 32000 Hz).
int Aenc1_getOutBufSize(Aenc1_Handle hAe);
AudioEnc_Handle Aenc1_getCodecHandle(Aenc1_Handle hAe);
// Null is accepted. Media_EOK.
int Aenc1_delete(Aenc1_Handle hAe);
