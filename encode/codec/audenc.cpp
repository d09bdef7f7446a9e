// Codec runtime, audio side: finds the encoder a codec name stands for and forwards the handle calls
// to it. Nothing throws across this boundary: an exception inside an encoder becomes a status code.
#include "encode/codec/audenc.h"

#include <new>

#include "encode/codec/audenc_internal.h"
#include "encode/codec/codec_builders.h"
#include "encode/media/media.h"

const AudioEnc_Params AudioEnc_Params_DEFAULT = {
    sizeof(AudioEnc_Params),
    48000,  // sampleRate
    288000, // bitRate
    AudioEnc_CHANNELS_STEREO,
    AudioEnc_ENDIAN_LE16,
    AudioEnc_MODE_CBR,
    AudioEnc_INPUT_INTERLEAVED,
    16,     // inputBitsPerSample
    192000, // maxBitRate
    0,      // dualMonoMode
    0,      // crcFlag
    0,      // ancFlag
    0,      // lfeFlag
};

const AudioEnc_DynParams AudioEnc_DynParams_DEFAULT = {
    sizeof(AudioEnc_DynParams), 288000, 48000, AudioEnc_CHANNELS_STEREO, 0, 0, 16,
};

struct AudioEnc_Object {
    std::unique_ptr<AudioEncoder> encoder;
};

namespace {

constexpr CodecBuilder<AudioEncoder, AudioEnc_Params> builtEncoders[] = {
    {"aacenc", AacEnc_open},
    {"mp3enc", Mp3Enc_open},
};

constexpr CodecFront kFront = {"AudioEnc", "audio encoder", AudioEnc_ERR_BADPARAMS, AudioEnc_ERR_UNKNOWNCODEC,
                               AudioEnc_ERR_NOMEM};

} // namespace

AudioEnc_Handle AudioEnc_create(Engine_Handle hEngine, const char *name, const AudioEnc_Params *params, int *error)
{
    std::unique_ptr<AudioEncoder> encoder = Codec_build(kFront, builtEncoders, hEngine, name, params, error);
    if (encoder == nullptr) {
        return nullptr;
    }
    auto *object = new (std::nothrow) AudioEnc_Object{std::move(encoder)};
    if (object == nullptr) {
        Media_error("[AudioEnc] Out of memory creating %s\n", name);
        Codec_setError(error, AudioEnc_ERR_NOMEM);
    }
    return object;
}

int AudioEnc_control(AudioEnc_Handle hEnc, int cmd, const AudioEnc_DynParams *dynParams, AudioEnc_Status *status)
{
    MEDIA_ASSERT(hEnc != nullptr);
    try {
        return hEnc->encoder->control(cmd, dynParams, status);
    } catch (...) {
        Media_error("[AudioEnc] Out of memory in control command %d\n", cmd);
        if (status != nullptr) {
            status->extendedError = AudioEnc_ERR_NOMEM;
        }
        return Media_EFAIL;
    }
}

int AudioEnc_process(AudioEnc_Handle hEnc, const AudioEnc_BufDesc *in, AudioEnc_BufDesc *out,
                     const AudioEnc_InArgs *inArgs, AudioEnc_OutArgs *outArgs)
{
    MEDIA_ASSERT(hEnc != nullptr);
    try {
        return hEnc->encoder->process(in, out, inArgs, outArgs);
    } catch (...) {
        Media_error("[AudioEnc] Out of memory in process\n");
        if (outArgs != nullptr) {
            outArgs->extendedError = AudioEnc_ERR_NOMEM;
        }
        return Media_EFAIL;
    }
}

void AudioEnc_delete(AudioEnc_Handle hEnc)
{
    delete hEnc;
}
