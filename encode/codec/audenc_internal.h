// The codec runtime's inside, audio side: what every audio encoder of the runtime implements, and the
// builders the runtime finds by codec name. Only audenc.cpp and the encoders include this.
#pragma once

#include <memory>

#include "encode/codec/audenc.h"

class AudioEncoder {
public:
    virtual ~AudioEncoder() = default;
    virtual int control(int cmd, const AudioEnc_DynParams *dynParams, AudioEnc_Status *status) = 0;
    virtual int process(const AudioEnc_BufDesc *in, AudioEnc_BufDesc *out, const AudioEnc_InArgs *inArgs,
                        AudioEnc_OutArgs *outArgs) = 0;
};

// Null on failure (message printed), the AudioEnc_ERR_* reason in *error.
std::unique_ptr<AudioEncoder> AacEnc_open(const AudioEnc_Params *params, int *error);
std::unique_ptr<AudioEncoder> Mp3Enc_open(const AudioEnc_Params *params, int *error);
