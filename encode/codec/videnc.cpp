// Codec runtime, video side: finds the encoder a codec name stands for and forwards the handle calls
// to it. Nothing throws across this boundary: an exception inside an encoder becomes a status code.
#include "encode/codec/videnc.h"

#include <new>

#include "encode/codec/codec_builders.h"
#include "encode/media/media.h"
#include "encode/codec/videnc_internal.h"

const VideoEnc_Params VideoEnc_Params_DEFAULT = {
    sizeof(VideoEnc_Params), 0, 1, 720, 1280, 30000, 6000000, 1, 0, VideoEnc_CHROMA_YUV420SP, 0,
    VideoEnc_CHROMA_YUV420SP,
};

const VideoEnc_DynParams VideoEnc_DynParams_DEFAULT = {
    sizeof(VideoEnc_DynParams), 720, 1280, 30000, 30000, 6000000, 30, 0, 0, VideoEnc_FRAME_AUTO, 1, 0,
};

struct VideoEnc_Object {
    std::unique_ptr<VideoEncoder> encoder;
};

namespace {

// The engine lists more video codecs than this runtime builds; those names fail like unknown ones.
constexpr CodecBuilder<VideoEncoder, VideoEnc_Params> builtEncoders[] = {
    {"h264enc", H264Enc_open},
};

constexpr CodecFront kFront = {"VideoEnc", "encoder", VideoEnc_ERR_BADPARAMS, VideoEnc_ERR_UNKNOWNCODEC,
                               VideoEnc_ERR_NOMEM};

} // namespace

VideoEnc_Handle VideoEnc_create(Engine_Handle hEngine, const char *name, const VideoEnc_Params *params, int *error)
{
    std::unique_ptr<VideoEncoder> encoder = Codec_build(kFront, builtEncoders, hEngine, name, params, error);
    if (encoder == nullptr) {
        return nullptr;
    }
    auto *object = new (std::nothrow) VideoEnc_Object{std::move(encoder)};
    if (object == nullptr) {
        Media_error("[VideoEnc] Out of memory creating %s\n", name);
        Codec_setError(error, VideoEnc_ERR_NOMEM);
    }
    return object;
}

int VideoEnc_control(VideoEnc_Handle hEnc, int cmd, const VideoEnc_DynParams *dynParams, VideoEnc_Status *status)
{
    MEDIA_ASSERT(hEnc != nullptr);
    try {
        return hEnc->encoder->control(cmd, dynParams, status);
    } catch (...) {
        Media_error("[VideoEnc] Out of memory in control command %d\n", cmd);
        if (status != nullptr) {
            status->extendedError = VideoEnc_ERR_NOMEM;
        }
        return Media_EFAIL;
    }
}

int VideoEnc_process(VideoEnc_Handle hEnc, const VideoEnc_InPicture *in, VideoEnc_OutBuf *out,
                     const VideoEnc_InArgs *inArgs, VideoEnc_OutArgs *outArgs)
{
    MEDIA_ASSERT(hEnc != nullptr);
    try {
        return hEnc->encoder->process(in, out, inArgs, outArgs);
    } catch (...) {
        Media_error("[VideoEnc] Out of memory in process\n");
        if (outArgs != nullptr) {
            outArgs->extendedError = VideoEnc_ERR_NOMEM;
        }
        return Media_EFAIL;
    }
}

void VideoEnc_getInputSize(VideoEnc_Handle hEnc, int *width, int *height)
{
    MEDIA_ASSERT(hEnc != nullptr);
    int w = 0;
    int h = 0;
    hEnc->encoder->inputSize(&w, &h);
    if (width != nullptr) {
        *width = w;
    }
    if (height != nullptr) {
        *height = h;
    }
}

void VideoEnc_delete(VideoEnc_Handle hEnc)
{
    delete hEnc;
}

int H264Enc_getSettings(VideoEnc_Handle hEnc, H264Enc_Settings *settings)
{
    MEDIA_ASSERT(hEnc != nullptr);
    if (settings == nullptr) {
        return Media_EINVAL;
    }
    return hEnc->encoder->settings(settings);
}
