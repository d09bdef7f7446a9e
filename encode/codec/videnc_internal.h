// The codec runtime's inside: what every video encoder of the runtime implements, and the builders
// the runtime finds by codec name. Only videnc.cpp and the encoders include this.
#pragma once

#include <memory>

#include "encode/codec/videnc.h"

class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;
    virtual int control(int cmd, const VideoEnc_DynParams *dynParams, VideoEnc_Status *status) = 0;
    virtual int process(const VideoEnc_InPicture *in, VideoEnc_OutBuf *out, const VideoEnc_InArgs *inArgs,
                        VideoEnc_OutArgs *outArgs) = 0;
    virtual void inputSize(int *width, int *height) const = 0;
    // Media_EINVAL unless the encoder is the H.264 one and configured.
    virtual int settings(H264Enc_Settings *settings) const = 0;
};

// Null on failure (message printed), the VideoEnc_ERR_* reason in *error.
std::unique_ptr<VideoEncoder> H264Enc_open(const VideoEnc_Params *params, int *error);
