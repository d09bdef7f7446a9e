// "h264enc": the runtime's H.264 encoder on libx264. It keeps the board encoder's contract: one
// picture in, one whole Annex B access unit out in the same call, the key-picture structure decided
// by the caller. This file owns the encoder's life (open, reconfiguration, the control commands) and
// the per-picture path; h264enc_params.cpp checks the records and builds libx264's settings.
//
// Why it works the way it does:
// - nothing is held back: open refuses any configuration in which libx264 would keep a picture.
// - key pictures: libx264 decides none itself; I pictures come only from forceFrame, the intra
//   interval and reset, counted here.
// - libx264 writes its version string as a user-data SEI on the first picture: dropped, so that every
//   access unit is start code + SPS, start code + PPS, start code + slices (HRD SEIs are kept).
// - a constant bit rate announces its rate in the SPS (HRD) and libx264 cannot change it in a running
//   stream: a new rate restarts the stream (IDR picture, new SPS). The other rates change in place.
//
// The encoder is opened at the first SETPARAMS (the picture size comes with the dynamic record) and
// reopened when a later one changes the size, frame rate, rate-control method, quantisers, slices or
// the region switch (or the rate of a constant bit rate); other bit rate and delay changes go through
// libx264's reconfiguration. Everything a picture needs is allocated at open: process allocates
// nothing.
#include <cstdint>

#include <x264.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "encode/codec/h264enc_internal.h"
#include "encode/media/media.h"
#include "encode/codec/videnc_internal.h"

namespace {

// Quantiser offset inside the region of interest: six steps double the quantiser's precision twice.
constexpr float kRegionQpOffset = -6.0f;

constexpr H264Enc_Params kDefaultParams = {
    {sizeof(H264Enc_Params), 0, 5, 1088, 1920, 30000, 6000000, 1, 0, VideoEnc_CHROMA_YUV420SP, 0,
     VideoEnc_CHROMA_YUV420SP},
    H264Enc_PROFILE_HIGH,
    H264Enc_LEVEL_AUTO,
    H264Enc_QUALITY_HIGH,
    1,
    H264Enc_SLICEMODE_NONE,
    H264Enc_SLICEFORMAT_ANNEXB,
    H264Enc_OUTPUT_ACCESSUNIT,
};

constexpr H264Enc_DynParams kDefaultDynParams = {
    {sizeof(H264Enc_DynParams), 1080, 1920, 30000, 30000, 6000000, 30, 0, 0, VideoEnc_FRAME_AUTO, 1, 0},
    0,              // sliceSize
    H264Enc_RC_VBR, // rcAlgo
    28,             // initQ
    51,             // rcQMax
    0,              // rcQMin
    51,             // rcQMaxI
    0,              // rcQMinI
    1000,           // maxDelay
    0,              // roiEnable
};

struct X264Closer {
    void operator()(x264_t *enc) const { x264_encoder_close(enc); }
};
using X264Ptr = std::unique_ptr<x264_t, X264Closer>;

// Start code length of a NAL unit as libx264 wrote it (3 or 4 bytes).
int startCodeLength(const uint8_t *p, int len)
{
    if (len >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) {
        return 4;
    }
    return 3;
}

// True for an SEI NAL unit whose first message is user data unregistered (payload type 5).
bool isUserDataSei(const uint8_t *nal, int len)
{
    if (len < 2 || (nal[0] & 0x1f) != 6) {
        return false;
    }
    int type = 0;
    int i = 1;
    while (i < len && nal[i] == 0xff) {
        type += 255;
        i++;
    }
    return i < len && type + nal[i] == 5;
}

constexpr int kUnitDoesNotFit = -1;

// Copies the NAL units behind 4-byte start codes, without libx264's version SEI. The byte count, or
// kUnitDoesNotFit.
int writeAccessUnit(const x264_nal_t *nals, int count, uint8_t *dst, int capacity)
{
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    int64_t used = 0;
    for (int i = 0; i < count; i++) {
        int sc = startCodeLength(nals[i].p_payload, nals[i].i_payload);
        const uint8_t *body = nals[i].p_payload + sc;
        int bodyLen = nals[i].i_payload - sc;
        if (isUserDataSei(body, bodyLen)) {
            continue;
        }
        if (used + 4 + bodyLen > capacity) {
            return kUnitDoesNotFit;
        }
        std::memcpy(dst + used, kStartCode, 4);
        std::memcpy(dst + used + 4, body, static_cast<size_t>(bodyLen));
        used += 4 + bodyLen;
    }
    return static_cast<int>(used);
}

int frameTypeOf(int x264Type)
{
    switch (x264Type) {
    case X264_TYPE_IDR:
        return VideoEnc_FRAME_IDR;
    case X264_TYPE_I:
        return VideoEnc_FRAME_I;
    case X264_TYPE_B:
    case X264_TYPE_BREF:
        return VideoEnc_FRAME_B;
    default:
        return VideoEnc_FRAME_P;
    }
}

class H264Encoder : public VideoEncoder {
public:
    explicit H264Encoder(const H264Enc_Params &params, int outBufSize) : params_(params), outBufSize_(outBufSize) {}

    int control(int cmd, const VideoEnc_DynParams *dynParams, VideoEnc_Status *status) override;
    int process(const VideoEnc_InPicture *in, VideoEnc_OutBuf *out, const VideoEnc_InArgs *inArgs,
                VideoEnc_OutArgs *outArgs) override;
    void inputSize(int *width, int *height) const override;
    int settings(H264Enc_Settings *settings) const override;

private:
    int setParams(const VideoEnc_DynParams *dynParams, int *error);
    int open(const H264Enc_DynParams &dyn);
    int reconfigureRate(const H264Enc_DynParams &dyn);
    int pictureType();
    void prepareRegion(const VideoEnc_InArgs *inArgs, x264_picture_t *pic);
    int writeHeaders(VideoEnc_OutBuf *out, VideoEnc_OutArgs *outArgs);
    bool checkPicture(const VideoEnc_InPicture *in) const;

    H264Enc_Params params_;
    int outBufSize_;
    H264Enc_DynParams dyn_ = kDefaultDynParams;
    bool configured_ = false;
    X264Ptr enc_;
    int mbWidth_ = 0;
    std::vector<float> offsets_; // one per macroblock, allocated at open when the region is on
    H264Enc_Region offsetsRegion_{};
    bool offsetsValid_ = false;
    int64_t pts_ = 0;
    int codedSinceIntra_ = 0;
    bool idrPending_ = true;
};

int H264Encoder::open(const H264Enc_DynParams &dyn)
{
    x264_param_t p;
    if (!H264Enc_buildParams(params_, dyn, &p)) {
        Media_error("[VideoEnc] h264enc: the encoder library refused the parameters\n");
        return Media_EFAIL;
    }
    X264Ptr enc(x264_encoder_open(&p));
    if (enc == nullptr) {
        Media_error("[VideoEnc] h264enc: the encoder library could not open %dx%d\n", p.i_width, p.i_height);
        return Media_EFAIL;
    }
    if (x264_encoder_maximum_delayed_frames(enc.get()) != 0) {
        Media_error("[VideoEnc] h264enc: the encoder would hold pictures back\n");
        return Media_EFAIL;
    }
    std::vector<float> offsets;
    if (dyn.roiEnable == 1) {
        offsets.assign(static_cast<size_t>(H264Enc_mbCount(p.i_width)) * H264Enc_mbCount(p.i_height), 0.0f);
    }
    enc_ = std::move(enc);
    offsets_.swap(offsets);
    offsetsValid_ = false;
    mbWidth_ = H264Enc_mbCount(p.i_width);
    pts_ = 0;
    codedSinceIntra_ = 0;
    idrPending_ = true; // a new stream starts with an IDR picture
    return Media_EOK;
}

int H264Encoder::reconfigureRate(const H264Enc_DynParams &dyn)
{
    if (dyn.rcAlgo == H264Enc_RC_CQP) {
        return Media_EOK; // no rate to change
    }
    x264_param_t p;
    x264_encoder_parameters(enc_.get(), &p);
    H264Enc_applyRate(dyn, &p);
    if (x264_encoder_reconfig(enc_.get(), &p) < 0) {
        Media_error("[VideoEnc] h264enc: the encoder library refused the new bit rate\n");
        return Media_EFAIL;
    }
    return Media_EOK;
}

int H264Encoder::setParams(const VideoEnc_DynParams *dynParams, int *error)
{
    if (dynParams == nullptr) {
        Media_error("[VideoEnc] h264enc: set-params without a dynamic record\n");
        *error = VideoEnc_ERR_BADPARAMS;
        return Media_EINVAL;
    }
    H264Enc_DynParams next = dyn_;
    if (dynParams->size == static_cast<int>(sizeof(H264Enc_DynParams))) {
        std::memcpy(&next, dynParams, sizeof next);
    } else if (dynParams->size == static_cast<int>(sizeof(VideoEnc_DynParams))) {
        next.videoDynParams = *dynParams; // the H.264 additions keep their values
    } else {
        Media_error("[VideoEnc] h264enc: dynamic record of unknown size %d\n", dynParams->size);
        *error = VideoEnc_ERR_BADPARAMS;
        return Media_EINVAL;
    }
    next.videoDynParams.size = sizeof(H264Enc_DynParams);
    if (!H264Enc_checkDynParams(params_, outBufSize_, next)) {
        *error = VideoEnc_ERR_BADPARAMS;
        return Media_EINVAL;
    }
    const VideoEnc_DynParams &a = dyn_.videoDynParams;
    const VideoEnc_DynParams &b = next.videoDynParams;
    bool usesInitQ = next.rcAlgo == H264Enc_RC_CQP || next.rcAlgo == H264Enc_RC_CRF;
    bool reopen = !configured_ || a.inputWidth != b.inputWidth || a.inputHeight != b.inputHeight ||
                  a.targetFrameRate != b.targetFrameRate || dyn_.rcAlgo != next.rcAlgo ||
                  (usesInitQ && dyn_.initQ != next.initQ) || dyn_.rcQMax != next.rcQMax ||
                  dyn_.rcQMin != next.rcQMin || dyn_.sliceSize != next.sliceSize || dyn_.roiEnable != next.roiEnable;
    bool rateChanged = a.targetBitRate != b.targetBitRate || dyn_.maxDelay != next.maxDelay;
    if (rateChanged && (next.rcAlgo == H264Enc_RC_CBR || next.rcAlgo == H264Enc_RC_CBR_LOWDELAY)) {
        reopen = true;
    }
    int r = Media_EOK;
    if (reopen) {
        r = open(next);
    } else if (rateChanged) {
        r = reconfigureRate(next);
    }
    if (r != Media_EOK) {
        *error = VideoEnc_ERR_ENCODER;
        return r;
    }
    dyn_ = next;
    configured_ = true;
    return Media_EOK;
}

int H264Encoder::control(int cmd, const VideoEnc_DynParams *dynParams, VideoEnc_Status *status)
{
    int error = 0;
    int r = Media_EOK;
    switch (cmd) {
    case VideoEnc_SETPARAMS:
        r = setParams(dynParams, &error);
        break;
    case VideoEnc_RESET:
        idrPending_ = true;
        break;
    case VideoEnc_FLUSH:
        // Nothing is ever held back (checked at open), so there is nothing to hand out.
        if (enc_ != nullptr && x264_encoder_delayed_frames(enc_.get()) != 0) {
            error = VideoEnc_ERR_ENCODER;
            r = Media_EFAIL;
        }
        break;
    case VideoEnc_GETBUFINFO:
        if (status == nullptr) {
            error = VideoEnc_ERR_BADPARAMS;
            r = Media_EINVAL;
            break;
        }
        {
            const VideoEnc_Params &v = params_.videoParams;
            int luma = H264Enc_clampToInt(static_cast<int64_t>(v.maxWidth) * v.maxHeight);
            status->bufInfo.minNumInBufs = 2;
            status->bufInfo.minInBufSize[0] = luma;
            status->bufInfo.minInBufSize[1] = luma / 2;
            status->bufInfo.minNumOutBufs = 1;
            status->bufInfo.minOutBufSize = outBufSize_;
        }
        break;
    default:
        Media_error("[VideoEnc] h264enc: unknown control command %d\n", cmd);
        error = VideoEnc_ERR_BADPARAMS;
        r = Media_EINVAL;
        break;
    }
    if (status != nullptr) {
        status->extendedError = error;
    }
    return r;
}

bool H264Encoder::checkPicture(const VideoEnc_InPicture *in) const
{
    const VideoEnc_DynParams &d = dyn_.videoDynParams;
    if (in == nullptr || in->planes[0] == nullptr || in->planes[1] == nullptr) {
        return false;
    }
    if (in->width < d.inputWidth || in->height < d.inputHeight || in->lineLength < d.inputWidth) {
        return false;
    }
    // The last line of each plane must lie inside what the caller can read.
    int64_t lumaNeed = static_cast<int64_t>(in->lineLength) * (d.inputHeight - 1) + d.inputWidth;
    int64_t chromaNeed = static_cast<int64_t>(in->lineLength) * (d.inputHeight / 2 - 1) + d.inputWidth;
    return in->planeSizes[0] >= lumaNeed && in->planeSizes[1] >= chromaNeed;
}

// The picture type to ask libx264 for: reset, then forceFrame, then the intra interval.
int H264Encoder::pictureType()
{
    const VideoEnc_DynParams &d = dyn_.videoDynParams;
    if (idrPending_ || d.forceFrame == VideoEnc_FRAME_IDR) {
        return X264_TYPE_IDR;
    }
    if (d.forceFrame == VideoEnc_FRAME_I) {
        return X264_TYPE_I;
    }
    if (d.forceFrame == VideoEnc_FRAME_P) {
        return X264_TYPE_P;
    }
    if (d.intraFrameInterval > 0 && codedSinceIntra_ + 1 >= d.intraFrameInterval) {
        return X264_TYPE_I;
    }
    return X264_TYPE_AUTO;
}

// Points the picture at the quantiser offsets of the region in the input arguments. The offsets are
// filled again only when the region moves.
void H264Encoder::prepareRegion(const VideoEnc_InArgs *inArgs, x264_picture_t *pic)
{
    if (dyn_.roiEnable != 1 || offsets_.empty() || inArgs == nullptr ||
        inArgs->size != static_cast<int>(sizeof(H264Enc_InArgs))) {
        return;
    }
    const H264Enc_InArgs *args = reinterpret_cast<const H264Enc_InArgs *>(inArgs);
    if (args->numRegions < 1 || args->region.regionType != H264Enc_REGION_INTEREST) {
        return;
    }
    const H264Enc_Region &r = args->region;
    if (!offsetsValid_ || std::memcmp(&r, &offsetsRegion_, sizeof r) != 0) {
        int mbRows = static_cast<int>(offsets_.size()) / mbWidth_;
        int x0 = std::clamp(r.topLeftX / 16, 0, mbWidth_);
        int y0 = std::clamp(r.topLeftY / 16, 0, mbRows);
        int x1 = std::clamp((r.bottomRightX + 15) / 16, 0, mbWidth_);
        int y1 = std::clamp((r.bottomRightY + 15) / 16, 0, mbRows);
        std::fill(offsets_.begin(), offsets_.end(), 0.0f);
        for (int y = y0; y < y1; y++) {
            for (int x = x0; x < x1; x++) {
                offsets_[static_cast<size_t>(y) * mbWidth_ + x] = kRegionQpOffset;
            }
        }
        offsetsRegion_ = r;
        offsetsValid_ = true;
    }
    pic->prop.quant_offsets = offsets_.data();
}

int H264Encoder::writeHeaders(VideoEnc_OutBuf *out, VideoEnc_OutArgs *outArgs)
{
    x264_nal_t *nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(enc_.get(), &nals, &count) < 0) {
        outArgs->extendedError = VideoEnc_ERR_ENCODER;
        return Media_EFAIL;
    }
    int bytes = writeAccessUnit(nals, count, out->data, out->size);
    if (bytes == kUnitDoesNotFit) {
        outArgs->extendedError = VideoEnc_ERR_OUTPUTFULL;
        return Media_EFAIL;
    }
    outArgs->bytesGenerated = bytes;
    outArgs->encodedFrameType = VideoEnc_FRAME_AUTO;
    return Media_EOK;
}

int H264Encoder::process(const VideoEnc_InPicture *in, VideoEnc_OutBuf *out, const VideoEnc_InArgs *inArgs,
                         VideoEnc_OutArgs *outArgs)
{
    if (outArgs == nullptr || out == nullptr || out->data == nullptr || out->size < 0) {
        Media_error("[VideoEnc] h264enc: process without output buffer or output arguments\n");
        return Media_EINVAL;
    }
    outArgs->extendedError = 0;
    outArgs->bytesGenerated = 0;
    outArgs->encodedFrameType = VideoEnc_FRAME_AUTO;
    outArgs->inputFrameSkip = 0;
    outArgs->outputID = inArgs != nullptr ? inArgs->inputID : 0;
    if (!configured_) {
        outArgs->extendedError = VideoEnc_ERR_NOTREADY;
        return Media_EFAIL;
    }
    if (dyn_.videoDynParams.generateHeader == 1) {
        return writeHeaders(out, outArgs);
    }
    if (!checkPicture(in)) {
        outArgs->extendedError = VideoEnc_ERR_BADINPUT;
        return Media_EINVAL;
    }
    x264_picture_t pic;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    for (int i = 0; i < 2; i++) {
        pic.img.plane[i] = in->planes[i];
        pic.img.i_stride[i] = in->lineLength;
    }
    pic.i_type = pictureType();
    pic.i_pts = pts_++;
    prepareRegion(inArgs, &pic);

    x264_picture_t coded;
    x264_nal_t *nals = nullptr;
    int count = 0;
    int size = x264_encoder_encode(enc_.get(), &nals, &count, &pic, &coded);
    if (size <= 0 || count <= 0) {
        // A picture the decoder never sees must not be referenced: start again with an IDR picture.
        idrPending_ = true;
        outArgs->extendedError = VideoEnc_ERR_ENCODER;
        return Media_EFAIL;
    }
    int bytes = writeAccessUnit(nals, count, out->data, out->size);
    if (bytes == kUnitDoesNotFit) {
        idrPending_ = true;
        outArgs->extendedError = VideoEnc_ERR_OUTPUTFULL;
        return Media_EFAIL;
    }
    int type = frameTypeOf(coded.i_type);
    if (type == VideoEnc_FRAME_IDR) {
        idrPending_ = false;
    }
    codedSinceIntra_ = type == VideoEnc_FRAME_IDR || type == VideoEnc_FRAME_I ? 0 : codedSinceIntra_ + 1;
    outArgs->bytesGenerated = bytes;
    outArgs->encodedFrameType = type;
    return Media_EOK;
}

void H264Encoder::inputSize(int *width, int *height) const
{
    *width = configured_ ? dyn_.videoDynParams.inputWidth : 0;
    *height = configured_ ? dyn_.videoDynParams.inputHeight : 0;
}

int H264Encoder::settings(H264Enc_Settings *s) const
{
    if (enc_ == nullptr) {
        return Media_EINVAL;
    }
    x264_param_t p;
    x264_encoder_parameters(enc_.get(), &p);
    *s = H264Enc_Settings{};
    s->preset = H264Enc_presetName(params_.encQuality);
    s->profile = H264Enc_profileName(params_.profileIdc);
    s->width = p.i_width;
    s->height = p.i_height;
    s->fpsNum = static_cast<int>(p.i_fps_num);
    s->fpsDen = static_cast<int>(p.i_fps_den);
    s->levelIdc = p.i_level_idc;
    s->rateControl = p.rc.i_rc_method == X264_RC_CQP ? "cqp" : p.rc.i_rc_method == X264_RC_CRF ? "crf" : "abr";
    s->bitrateKbps = p.rc.i_bitrate;
    s->vbvMaxKbps = p.rc.i_vbv_max_bitrate;
    s->vbvBufferKbit = p.rc.i_vbv_buffer_size;
    s->nalHrdCbr = p.i_nal_hrd == X264_NAL_HRD_CBR ? 1 : 0;
    s->qpConstant = p.rc.i_qp_constant;
    s->rfConstant = p.rc.f_rf_constant;
    s->qpMin = p.rc.i_qp_min;
    s->qpMax = p.rc.i_qp_max;
    s->keyintMax = p.i_keyint_max;
    s->keyintMin = p.i_keyint_min;
    s->scenecut = p.i_scenecut_threshold;
    s->sliceMaxMbs = p.i_slice_max_mbs;
    s->aqMode = p.rc.i_aq_mode;
    s->aqStrength = p.rc.f_aq_strength;
    s->transform8x8 = p.analyse.b_transform_8x8;
    s->cabac = p.b_cabac;
    s->bframes = p.i_bframe;
    return Media_EOK;
}

} // namespace

std::unique_ptr<VideoEncoder> H264Enc_open(const VideoEnc_Params *params, int *error)
{
    H264Enc_Params p = kDefaultParams;
    if (params->size == static_cast<int>(sizeof(H264Enc_Params))) {
        std::memcpy(&p, params, sizeof p);
    } else if (params->size == static_cast<int>(sizeof(VideoEnc_Params))) {
        p.videoParams = *params; // the H.264 additions take the encoder's defaults
    } else {
        Media_error("[VideoEnc] h264enc: static record of unknown size %d\n", params->size);
        *error = VideoEnc_ERR_BADPARAMS;
        return nullptr;
    }
    p.videoParams.size = sizeof(H264Enc_Params);
    if (!H264Enc_checkStaticParams(p)) {
        *error = VideoEnc_ERR_BADPARAMS;
        return nullptr;
    }
    const VideoEnc_Params &v = p.videoParams;
    int64_t bound = H264Enc_accessUnitBound(v.maxWidth, v.maxHeight, v.maxBitRate, v.maxFrameRate);
    if (bound > std::numeric_limits<int>::max()) {
        Media_error("[VideoEnc] h264enc: output buffers for %dx%d at %d bit/s would exceed 2 GiB\n", v.maxWidth,
                    v.maxHeight, v.maxBitRate);
        *error = VideoEnc_ERR_BADPARAMS;
        return nullptr;
    }
    return std::make_unique<H264Encoder>(p, static_cast<int>(bound));
}
