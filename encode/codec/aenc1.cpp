// Aenc1: runtime records in, buffer sizes out, and the used sizes of the buffers kept in step with
// what the encoder took and gave. Used by the audio thread alone.
#include "encode/codec/aenc1.h"

#include <memory>
#include <new>

#include "encode/media/media.h"

struct Aenc1_Object {
    AudioEnc_Handle codec = nullptr;
    int numChannels = 2;
    int bytesPerSample = 2;
    int minInBufSize = 0;
    int minOutBufSize = 0;

    ~Aenc1_Object() { AudioEnc_delete(codec); }
};

Aenc1_Handle Aenc1_create(Engine_Handle hEngine, const char *codecName, const AudioEnc_Params *params,
                          const AudioEnc_DynParams *dynParams)
{
    if (hEngine == nullptr || codecName == nullptr || params == nullptr || dynParams == nullptr) {
        Media_error("[Aenc1] Cannot pass null for engine, codec name, params or dynamic params\n");
        return nullptr;
    }
    std::unique_ptr<Aenc1_Object> ae(new (std::nothrow) Aenc1_Object);
    if (ae == nullptr) {
        Media_error("[Aenc1] Failed to allocate space for Aenc1 Object\n");
        return nullptr;
    }
    Media_trace("[Aenc1] Creating audio encoder %s for samplerate %d bitrate %d\n", codecName, dynParams->sampleRate,
                dynParams->bitRate);
    ae->codec = AudioEnc_create(hEngine, codecName, params, nullptr);
    if (ae->codec == nullptr) {
        Media_error("[Aenc1] Failed to open audio encode algorithm: %s\n", codecName);
        return nullptr;
    }
    AudioEnc_Status status{};
    status.size = sizeof status;
    int r = AudioEnc_control(ae->codec, AudioEnc_SETPARAMS, dynParams, &status);
    if (r != Media_EOK) {
        Media_error("[Aenc1] SETPARAMS failed, status=%d\n", r);
        return nullptr;
    }
    Media_trace("[Aenc1] Made SETPARAMS control call\n");
    r = AudioEnc_control(ae->codec, AudioEnc_GETBUFINFO, nullptr, &status);
    if (r != Media_EOK) {
        Media_error("[Aenc1] GETBUFINFO failed, status=%d\n", r);
        return nullptr;
    }
    ae->numChannels = dynParams->channelMode != AudioEnc_CHANNELS_MONO ? 2 : 1;
    ae->bytesPerSample = dynParams->inputBitsPerSample / 8;
    ae->minInBufSize = status.bufInfo.minInBufSize;
    ae->minOutBufSize = status.bufInfo.minOutBufSize;
    Media_trace("[Aenc1] Buffer sizes: input %d, output %d bytes\n", ae->minInBufSize, ae->minOutBufSize);
    return ae.release();
}

int Aenc1_process(Aenc1_Handle hAe, Buffer_Handle hInBuf, Buffer_Handle hOutBuf)
{
    MEDIA_ASSERT(hAe != nullptr);
    MEDIA_ASSERT(hInBuf != nullptr);
    MEDIA_ASSERT(hOutBuf != nullptr);
    AudioEnc_BufDesc in{Buffer_getUserPtr(hInBuf), Buffer_getSize(hInBuf)};
    AudioEnc_BufDesc out{Buffer_getUserPtr(hOutBuf), Buffer_getSize(hOutBuf)};
    AudioEnc_InArgs inArgs{};
    inArgs.size = sizeof inArgs;
    inArgs.numInSamples = Buffer_getNumBytesUsed(hInBuf) / hAe->bytesPerSample / hAe->numChannels;
    AudioEnc_OutArgs outArgs{};
    outArgs.size = sizeof outArgs;
    Buffer_setNumBytesUsed(hOutBuf, 0);
    int r = AudioEnc_process(hAe->codec, &in, &out, &inArgs, &outArgs);
    if (r != Media_EOK) {
        Media_error("[Aenc1] encoder process() failed with error (%d ext: 0x%x)\n", r,
                    static_cast<unsigned>(outArgs.extendedError));
        return r;
    }
    Buffer_setNumBytesUsed(hInBuf, outArgs.samplesConsumed * hAe->numChannels * hAe->bytesPerSample);
    Buffer_setNumBytesUsed(hOutBuf, outArgs.bytesGenerated);
    Media_trace("[Aenc1] encoder process() consumed %d samples, generated %d bytes\n", outArgs.samplesConsumed,
                outArgs.bytesGenerated);
    return Media_EOK;
}

int Aenc1_getInBufSize(Aenc1_Handle hAe)
{
    MEDIA_ASSERT(hAe != nullptr);
    return hAe->minInBufSize;
}

int Aenc1_getOutBufSize(Aenc1_Handle hAe)
{
    MEDIA_ASSERT(hAe != nullptr);
    return hAe->minOutBufSize;
}

AudioEnc_Handle Aenc1_getCodecHandle(Aenc1_Handle hAe)
{
    MEDIA_ASSERT(hAe != nullptr);
    return hAe->codec;
}

int Aenc1_delete(Aenc1_Handle hAe)
{
    delete hAe;
    return Media_EOK;
}
