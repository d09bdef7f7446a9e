// "h264enc": the runtime's H.264 encoder on libx264. It turns the static and dynamic records into
// libx264 settings and keeps the board encoder's contract: one picture in, one whole Annex B access
// unit out in the same call, the key-picture structure decided by the caller.
//
// Why the settings are what they are:
// - tune "zerolatency" (no lookahead, no B pictures, sliced threads) so that a picture never waits
//   inside the encoder; open refuses any configuration in which libx264 would hold one back.
// - key pictures: libx264's own GOP logic is switched off (infinite keyint, no scene cut). Its minimum
//   key interval is infinite as well, because libx264 turns a forced I picture that falls that many
//   pictures after the last key picture into an IDR picture. I pictures then come only from
//   forceFrame, the intra interval and reset, counted here.
// - the stream announces the real picture size (1920x1080); libx264 pads the macroblock rows itself.
// - libx264 writes its version string as a user-data SEI on the first picture: dropped, so that every
//   access unit is start code + SPS, start code + PPS, start code + slices (HRD SEIs are kept).
// - the region of interest rides on per-macroblock quantiser offsets, which libx264 reads only with
//   adaptive quantisation on. When the preset has it off it is switched on at a strength too small to
//   move any quantiser (libx264 switches it off again at strength 0). At constant QP libx264 turns
//   adaptive quantisation off, so a region has no effect there.
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
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "encode/media/media.h"
#include "encode/codec/videnc_internal.h"

namespace {

// Quantiser offset inside the region of interest: six steps double the quantiser's precision twice.
constexpr float kRegionQpOffset = -6.0f;
// Adaptive quantisation strength that keeps the offsets path on without adapting anything.
constexpr float kRegionOnlyAqStrength = 0.0001f;

// Worst case bytes of one macroblock: raw 4:2:0 samples (384) with its syntax, and room for one
// emulation-prevention byte in every two.
constexpr int64_t kMacroblockBound = 400 * 3 / 2;
constexpr int64_t kHeaderBound = 4096;   // SPS, PPS and the SEIs of one access unit
constexpr int64_t kSliceHeaderBound = 64; // start code and slice header

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

int mbCount(int pixels)
{
    return (pixels + 15) / 16;
}

int clampToInt(int64_t v)
{
    return static_cast<int>(std::clamp<int64_t>(v, 0, std::numeric_limits<int>::max()));
}

// libx264's messages go through the media layer's levels instead of straight to standard error.
void logToMedia(void *, int level, const char *fmt, va_list ap)
{
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, ap);
    if (level <= X264_LOG_ERROR) {
        Media_error("[VideoEnc] x264 error: %s", line);
    } else if (level == X264_LOG_WARNING) {
        Media_warning("[VideoEnc] x264 warning: %s", line);
    } else {
        Media_trace("[VideoEnc] x264: %s", line);
    }
}

bool isKnownLevel(int level)
{
    if (level == H264Enc_LEVEL_AUTO) {
        return true;
    }
    for (const x264_level_t *l = x264_levels; l->level_idc != 0; l++) {
        if (l->level_idc == level) {
            return true;
        }
    }
    return false;
}

const char *profileName(int profileIdc)
{
    switch (profileIdc) {
    case H264Enc_PROFILE_BASELINE:
        return "baseline";
    case H264Enc_PROFILE_MAIN:
        return "main";
    default:
        return "high";
    }
}

const char *presetName(int encQuality)
{
    return encQuality == H264Enc_QUALITY_SPEED ? "ultrafast" : "superfast";
}

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

// The largest access unit a picture of this size can give, with the filler a constant bit rate adds
// to one picture (at most one picture's share of the rate; twice that for rounding).
int64_t accessUnitBound(int width, int height, int64_t fillerBitRate, int frameRate)
{
    int64_t mbs = static_cast<int64_t>(mbCount(width)) * mbCount(height);
    int64_t bound = mbs * kMacroblockBound + (mbCount(height) + 16) * kSliceHeaderBound + kHeaderBound;
    if (fillerBitRate > 0 && frameRate > 0) {
        bound += fillerBitRate / 8 * 1000 / frameRate * 2 + kHeaderBound;
    }
    return bound;
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
    bool checkDynParams(const H264Enc_DynParams &dyn) const;
    bool buildParams(const H264Enc_DynParams &dyn, x264_param_t *p) const;
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

// Sets the rate-control part; used at open and again for a reconfiguration.
void applyRate(const H264Enc_DynParams &dyn, x264_param_t *p)
{
    int64_t target = std::max<int64_t>(1, (static_cast<int64_t>(dyn.videoDynParams.targetBitRate) + 500) / 1000);
    int64_t vbvMax = dyn.rcAlgo == H264Enc_RC_VBR ? 2 * target : target;
    p->rc.i_bitrate = clampToInt(target);
    p->rc.i_vbv_max_bitrate = clampToInt(vbvMax);
    p->rc.i_vbv_buffer_size = clampToInt(std::max<int64_t>(1, vbvMax * dyn.maxDelay / 1000));
    p->i_nal_hrd = X264_NAL_HRD_NONE;
    switch (dyn.rcAlgo) {
    case H264Enc_RC_CQP:
        p->rc.i_rc_method = X264_RC_CQP;
        p->rc.i_qp_constant = dyn.initQ;
        p->rc.i_vbv_max_bitrate = 0;
        p->rc.i_vbv_buffer_size = 0;
        break;
    case H264Enc_RC_CRF:
        p->rc.i_rc_method = X264_RC_CRF;
        p->rc.f_rf_constant = static_cast<float>(dyn.initQ);
        break;
    case H264Enc_RC_CBR:
    case H264Enc_RC_CBR_LOWDELAY:
        p->rc.i_rc_method = X264_RC_ABR;
        p->i_nal_hrd = X264_NAL_HRD_CBR;
        break;
    default: // H264Enc_RC_VBR, H264Enc_RC_CAPPEDVBR
        p->rc.i_rc_method = X264_RC_ABR;
        break;
    }
}

bool checkStaticParams(const H264Enc_Params &p)
{
    const VideoEnc_Params &v = p.videoParams;
    const char *problem = nullptr;
    if (v.maxWidth < 2 || v.maxHeight < 2 || v.maxWidth > 8192 || v.maxHeight > 8192) {
        problem = "maximum picture size";
    } else if (v.maxFrameRate <= 0) {
        problem = "maximum frame rate";
    } else if (v.maxBitRate <= 0) {
        problem = "maximum bit rate";
    } else if (v.inputChromaFormat != VideoEnc_CHROMA_YUV420SP) {
        problem = "input chroma format (only 4:2:0 semi-planar)";
    } else if (v.maxInterFrameInterval > 1) {
        problem = "B pictures";
    } else if (p.profileIdc != H264Enc_PROFILE_BASELINE && p.profileIdc != H264Enc_PROFILE_MAIN &&
               p.profileIdc != H264Enc_PROFILE_HIGH) {
        problem = "profile";
    } else if (!isKnownLevel(p.levelIdc)) {
        problem = "level";
    } else if (p.encQuality < 0 || p.encQuality > 3) {
        problem = "encQuality";
    } else if (p.transform8x8 != 0 && p.transform8x8 != 1) {
        problem = "8x8 transform option";
    } else if (p.sliceMode != H264Enc_SLICEMODE_NONE && p.sliceMode != H264Enc_SLICEMODE_ROWS) {
        problem = "slice mode";
    } else if (p.sliceFormat != H264Enc_SLICEFORMAT_ANNEXB) {
        problem = "slice format (only Annex B)";
    } else if (p.outputDataMode != H264Enc_OUTPUT_ACCESSUNIT) {
        problem = "output data mode (only whole access units)";
    }
    if (problem != nullptr) {
        Media_error("[VideoEnc] h264enc: unsupported %s in the static parameters\n", problem);
        return false;
    }
    return true;
}

bool H264Encoder::checkDynParams(const H264Enc_DynParams &dyn) const
{
    const VideoEnc_DynParams &d = dyn.videoDynParams;
    const VideoEnc_Params &v = params_.videoParams;
    const char *problem = nullptr;
    if (d.inputWidth < 2 || d.inputHeight < 2 || d.inputWidth % 2 != 0 || d.inputHeight % 2 != 0) {
        problem = "input size (even width and height needed)";
    } else if (d.inputWidth > v.maxWidth || d.inputHeight > v.maxHeight) {
        problem = "input size (above the maximum)";
    } else if (d.targetFrameRate <= 0) {
        problem = "target frame rate";
    } else if (dyn.rcAlgo != H264Enc_RC_CQP && (d.targetBitRate <= 0 || d.targetBitRate > v.maxBitRate)) {
        problem = "target bit rate (1 up to the maximum)";
    } else if (d.intraFrameInterval < 0) {
        problem = "intra frame interval";
    } else if (d.generateHeader != 0 && d.generateHeader != 1) {
        problem = "generate header";
    } else if (d.forceFrame != VideoEnc_FRAME_AUTO && d.forceFrame != VideoEnc_FRAME_I &&
               d.forceFrame != VideoEnc_FRAME_P && d.forceFrame != VideoEnc_FRAME_IDR) {
        problem = "force frame";
    } else if (d.interFrameInterval > 1 || d.mbDataFlag != 0) {
        problem = "B pictures or macroblock data";
    } else if (dyn.sliceSize < 0) {
        problem = "slice size";
    } else if (dyn.rcAlgo < H264Enc_RC_VBR || dyn.rcAlgo > H264Enc_RC_CRF) {
        problem = "rate-control algorithm";
    } else if (dyn.initQ < 1 || dyn.initQ > 51 || dyn.rcQMax < 1 || dyn.rcQMax > 51 || dyn.rcQMin < 0 ||
               dyn.rcQMin > dyn.rcQMax || dyn.rcQMaxI < 0 || dyn.rcQMaxI > 51 || dyn.rcQMinI < 0 ||
               dyn.rcQMinI > 51) {
        problem = "quantiser";
    } else if (dyn.maxDelay <= 0) {
        problem = "maximum delay";
    } else if (dyn.roiEnable != 0 && dyn.roiEnable != 1) {
        problem = "region of interest switch";
    }
    if (problem != nullptr) {
        Media_error("[VideoEnc] h264enc: unsupported %s in the dynamic parameters\n", problem);
        return false;
    }
    bool cbr = dyn.rcAlgo == H264Enc_RC_CBR || dyn.rcAlgo == H264Enc_RC_CBR_LOWDELAY;
    int64_t need = accessUnitBound(d.inputWidth, d.inputHeight, cbr ? d.targetBitRate : 0, d.targetFrameRate);
    if (need > outBufSize_) {
        Media_error("[VideoEnc] h264enc: %d bit/s at %d/1000 fps needs output buffers of %lld bytes, %d announced\n",
                    d.targetBitRate, d.targetFrameRate, static_cast<long long>(need), outBufSize_);
        return false;
    }
    return true;
}

bool H264Encoder::buildParams(const H264Enc_DynParams &dyn, x264_param_t *p) const
{
    const VideoEnc_DynParams &d = dyn.videoDynParams;
    if (x264_param_default_preset(p, presetName(params_.encQuality), "zerolatency") < 0) {
        return false;
    }
    p->pf_log = logToMedia;
    p->i_log_level = X264_LOG_WARNING;
    p->i_width = d.inputWidth;
    p->i_height = d.inputHeight;
    p->i_csp = X264_CSP_NV12;
    p->i_fps_num = static_cast<uint32_t>(d.targetFrameRate);
    p->i_fps_den = 1000;
    p->b_vfr_input = 0;
    p->i_bframe = 0;
    p->i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p->i_keyint_min = X264_KEYINT_MAX_INFINITE;
    p->i_scenecut_threshold = 0;
    p->b_repeat_headers = 1;
    p->b_annexb = 1;
    p->b_aud = 0;
    p->i_level_idc = params_.levelIdc == H264Enc_LEVEL_AUTO ? -1 : params_.levelIdc;
    p->analyse.b_transform_8x8 = params_.transform8x8;
    if (params_.sliceMode == H264Enc_SLICEMODE_ROWS && dyn.sliceSize > 0) {
        p->i_slice_max_mbs = clampToInt(static_cast<int64_t>(dyn.sliceSize) * mbCount(d.inputWidth));
    }
    applyRate(dyn, p);
    p->rc.i_qp_min = dyn.rcQMin;
    p->rc.i_qp_max = dyn.rcQMax;
    if (dyn.roiEnable == 1 && p->rc.i_aq_mode == X264_AQ_NONE) {
        p->rc.i_aq_mode = X264_AQ_VARIANCE;
        p->rc.f_aq_strength = kRegionOnlyAqStrength;
    }
    return x264_param_apply_profile(p, profileName(params_.profileIdc)) == 0;
}

int H264Encoder::open(const H264Enc_DynParams &dyn)
{
    x264_param_t p;
    if (!buildParams(dyn, &p)) {
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
        offsets.assign(static_cast<size_t>(mbCount(p.i_width)) * mbCount(p.i_height), 0.0f);
    }
    enc_ = std::move(enc);
    offsets_.swap(offsets);
    offsetsValid_ = false;
    mbWidth_ = mbCount(p.i_width);
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
    applyRate(dyn, &p);
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
    if (!checkDynParams(next)) {
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
            int luma = clampToInt(static_cast<int64_t>(v.maxWidth) * v.maxHeight);
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
    s->preset = presetName(params_.encQuality);
    s->profile = profileName(params_.profileIdc);
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
    if (!checkStaticParams(p)) {
        *error = VideoEnc_ERR_BADPARAMS;
        return nullptr;
    }
    const VideoEnc_Params &v = p.videoParams;
    int64_t bound = accessUnitBound(v.maxWidth, v.maxHeight, v.maxBitRate, v.maxFrameRate);
    if (bound > std::numeric_limits<int>::max()) {
        Media_error("[VideoEnc] h264enc: output buffers for %dx%d at %d bit/s would exceed 2 GiB\n", v.maxWidth,
                    v.maxHeight, v.maxBitRate);
        *error = VideoEnc_ERR_BADPARAMS;
        return nullptr;
    }
    return std::make_unique<H264Encoder>(p, static_cast<int>(bound));
}
