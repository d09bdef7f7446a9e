// "h264enc"'s settings: the checks of the static and dynamic records and their mapping onto libx264's
// x264_param_t, and the bound of one access unit that sizes the output buffers. The encoder in
// h264enc.cpp opens and reconfigures libx264 with what this builds.
//
// Why the settings are what they are:
// - tune "zerolatency" (no lookahead, no B pictures, sliced threads) so that a picture never waits
//   inside the encoder; the encoder's open refuses any configuration in which libx264 would hold one
//   back.
// - key pictures: libx264's own GOP logic is switched off (infinite keyint, no scene cut). Its minimum
//   key interval is infinite as well, because libx264 turns a forced I picture that falls that many
//   pictures after the last key picture into an IDR picture. I pictures then come only from
//   forceFrame, the intra interval and reset, counted by the encoder.
// - the stream announces the real picture size (1920x1080); libx264 pads the macroblock rows itself.
// - the region of interest rides on per-macroblock quantiser offsets, which libx264 reads only with
//   adaptive quantisation on. When the preset has it off it is switched on at a strength too small to
//   move any quantiser (libx264 switches it off again at strength 0). At constant QP libx264 turns
//   adaptive quantisation off, so a region has no effect there.
// - a constant bit rate announces its rate in the SPS (HRD), which is why the encoder restarts the
//   stream for a new one; the other rates change in place through H264Enc_applyRate.
#include <cstdint>

#include <x264.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "encode/codec/h264enc_internal.h"
#include "encode/media/media.h"

namespace {

// Adaptive quantisation strength that keeps the offsets path on without adapting anything.
constexpr float kRegionOnlyAqStrength = 0.0001f;

// Worst case bytes of one macroblock: raw 4:2:0 samples (384) with its syntax, and room for one
// emulation-prevention byte in every two.
constexpr int64_t kMacroblockBound = 400 * 3 / 2;
constexpr int64_t kHeaderBound = 4096;   // SPS, PPS and the SEIs of one access unit
constexpr int64_t kSliceHeaderBound = 64; // start code and slice header

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

} // namespace

const char *H264Enc_profileName(int profileIdc)
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

const char *H264Enc_presetName(int encQuality)
{
    return encQuality == H264Enc_QUALITY_SPEED ? "ultrafast" : "superfast";
}

int64_t H264Enc_accessUnitBound(int width, int height, int64_t fillerBitRate, int frameRate)
{
    int64_t mbs = static_cast<int64_t>(H264Enc_mbCount(width)) * H264Enc_mbCount(height);
    int64_t bound = mbs * kMacroblockBound + (H264Enc_mbCount(height) + 16) * kSliceHeaderBound + kHeaderBound;
    if (fillerBitRate > 0 && frameRate > 0) {
        bound += fillerBitRate / 8 * 1000 / frameRate * 2 + kHeaderBound;
    }
    return bound;
}

void H264Enc_applyRate(const H264Enc_DynParams &dyn, x264_param_t *p)
{
    int64_t target = std::max<int64_t>(1, (static_cast<int64_t>(dyn.videoDynParams.targetBitRate) + 500) / 1000);
    int64_t vbvMax = dyn.rcAlgo == H264Enc_RC_VBR ? 2 * target : target;
    p->rc.i_bitrate = H264Enc_clampToInt(target);
    p->rc.i_vbv_max_bitrate = H264Enc_clampToInt(vbvMax);
    p->rc.i_vbv_buffer_size = H264Enc_clampToInt(std::max<int64_t>(1, vbvMax * dyn.maxDelay / 1000));
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

bool H264Enc_checkStaticParams(const H264Enc_Params &p)
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

bool H264Enc_checkDynParams(const H264Enc_Params &params, int outBufSize, const H264Enc_DynParams &dyn)
{
    const VideoEnc_DynParams &d = dyn.videoDynParams;
    const VideoEnc_Params &v = params.videoParams;
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
    int64_t need =
        H264Enc_accessUnitBound(d.inputWidth, d.inputHeight, cbr ? d.targetBitRate : 0, d.targetFrameRate);
    if (need > outBufSize) {
        Media_error("[VideoEnc] h264enc: %d bit/s at %d/1000 fps needs output buffers of %lld bytes, %d announced\n",
                    d.targetBitRate, d.targetFrameRate, static_cast<long long>(need), outBufSize);
        return false;
    }
    return true;
}

bool H264Enc_buildParams(const H264Enc_Params &params, const H264Enc_DynParams &dyn, x264_param_t *p)
{
    const VideoEnc_DynParams &d = dyn.videoDynParams;
    if (x264_param_default_preset(p, H264Enc_presetName(params.encQuality), "zerolatency") < 0) {
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
    p->i_level_idc = params.levelIdc == H264Enc_LEVEL_AUTO ? -1 : params.levelIdc;
    p->analyse.b_transform_8x8 = params.transform8x8;
    if (params.sliceMode == H264Enc_SLICEMODE_ROWS && dyn.sliceSize > 0) {
        int64_t sliceMbs = static_cast<int64_t>(dyn.sliceSize) * H264Enc_mbCount(d.inputWidth);
        p->i_slice_max_mbs = H264Enc_clampToInt(sliceMbs);
    }
    H264Enc_applyRate(dyn, p);
    p->rc.i_qp_min = dyn.rcQMin;
    p->rc.i_qp_max = dyn.rcQMax;
    if (dyn.roiEnable == 1 && p->rc.i_aq_mode == X264_AQ_NONE) {
        p->rc.i_aq_mode = X264_AQ_VARIANCE;
        p->rc.f_aq_strength = kRegionOnlyAqStrength;
    }
    return x264_param_apply_profile(p, H264Enc_profileName(params.profileIdc)) == 0;
}

