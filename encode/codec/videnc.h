// The codec runtime's video encoders: created by runtime name from an open engine, steered with
// control commands and dynamic parameter records, fed one picture per process call. "h264enc" is the
// one video encoder this runtime builds (on libx264); the engine also lists names it cannot build, and
// creating those fails like any unknown name.
//
// Records start with their size in bytes. A static or dynamic record is either the standard video
// record alone (size = sizeof the standard record: the H.264 additions take the encoder's defaults,
// or keep their current values on a set-params) or the H.264 record that embeds it as its first
// member (size = sizeof the H.264 record).
//
// One picture in, one access unit out: the encoder holds no picture between calls (no lookahead, no B
// pictures), reads the input planes in place during the call only, and writes the whole Annex B
// access unit (a 4-byte start code before every NAL unit, SPS and PPS before every IDR picture) into
// the caller's output buffer.
//
// An encoder handle belongs to one thread (the video thread): nothing here is locked.
#pragma once

#include <cstdint>

#include "encode/codec/engine.h"

typedef struct VideoEnc_Object *VideoEnc_Handle;

// Control commands.
typedef enum VideoEnc_Command : int {
    VideoEnc_SETPARAMS = 1,  // apply a dynamic record (takes effect on the next picture)
    VideoEnc_RESET = 2,      // the next picture is an IDR picture
    VideoEnc_FLUSH = 4,      // give back held pictures: none are ever held
    VideoEnc_GETBUFINFO = 5, // minimum input and output buffer sizes and counts into the status record
} VideoEnc_Command;

// Picture types: what the dynamic record's forceFrame asks for and what a process call reports.
typedef enum VideoEnc_FrameType : int {
    VideoEnc_FRAME_AUTO = -1, // forceFrame: the encoder chooses (P, or I at the intra interval)
    VideoEnc_FRAME_I = 0,
    VideoEnc_FRAME_P = 1,
    VideoEnc_FRAME_B = 2, // never produced
    VideoEnc_FRAME_IDR = 3,
} VideoEnc_FrameType;

// Input chroma formats of the static record.
enum {
    VideoEnc_CHROMA_YUV420SP = 9, // 4:2:0 semi-planar (NV12): the only input the encoders take
};

enum {
    H264Enc_PROFILE_BASELINE = 66,
    H264Enc_PROFILE_MAIN = 77,
    H264Enc_PROFILE_HIGH = 100,
};

// encQuality: the speed/quality trade-off.
enum {
    H264Enc_QUALITY_HIGH = 2, // high quality
    H264Enc_QUALITY_SPEED = 3, // high speed
};

enum {
    H264Enc_LEVEL_AUTO = 0, // the smallest level the stream fits; 9 is level 1b, else level x 10
    H264Enc_SLICEMODE_NONE = 0,
    H264Enc_SLICEMODE_ROWS = 3,   // slices of dynamic sliceSize macroblock rows
    H264Enc_SLICEFORMAT_ANNEXB = 1, // start codes before NAL units (the only form)
    H264Enc_OUTPUT_ACCESSUNIT = 1,  // one whole access unit per process call (the only mode)
};

// Rate-control algorithms of the dynamic record.
enum {
    H264Enc_RC_VBR = 1,        // average at the target, peaks up to twice the target
    H264Enc_RC_CQP = 2,        // constant quantiser initQ
    H264Enc_RC_CAPPEDVBR = 3,  // average at the target, peaks capped at the target
    H264Enc_RC_CBR = 4,        // constant bit rate with HRD signalling and filler
    H264Enc_RC_CBR_LOWDELAY = 5, // the same as 4
    H264Enc_RC_CRF = 6,        // constant quality initQ, capped at the target
};

// The one region type: coded at better quality than the rest of the picture.
enum { H264Enc_REGION_INTEREST = 4 };

// The standard static record: the 12 words every video encoder takes.
typedef struct VideoEnc_Params {
    int size;
    int encodingPreset;
    int rateControlPreset;
    int maxHeight; // pixels; the largest input height a set-params may ask for
    int maxWidth;
    int maxFrameRate; // thousandths of a frame per second
    int maxBitRate;   // bit/s; also bounds the output buffer size
    int dataEndianness;
    int maxInterFrameInterval; // 0 or 1: no B pictures
    int inputChromaFormat;     // VideoEnc_CHROMA_YUV420SP
    int inputContentType;      // 0 progressive
    int reconChromaFormat;
} VideoEnc_Params;

// The H.264 static record.
typedef struct H264Enc_Params {
    VideoEnc_Params videoParams; // size = sizeof(H264Enc_Params)
    int profileIdc;     // H264Enc_PROFILE_*
    int levelIdc;       // H264Enc_LEVEL_AUTO, 9 (1b), 10 .. 51 as the standard lists them
    int encQuality;     // H264Enc_QUALITY_*; 0 and 1 take high quality
    int transform8x8;   // High profile: 8x8 transform on (1) or off (0); ignored below High
    int sliceMode;      // H264Enc_SLICEMODE_*
    int sliceFormat;    // H264Enc_SLICEFORMAT_ANNEXB
    int outputDataMode; // H264Enc_OUTPUT_ACCESSUNIT
} H264Enc_Params;

// The standard dynamic record.
typedef struct VideoEnc_DynParams {
    int size;
    int inputHeight; // the real picture height (1080, not the 1088 of the macroblock rows)
    int inputWidth;
    int refFrameRate;    // thousandths
    int targetFrameRate; // thousandths
    int targetBitRate;   // bit/s, at most the static maxBitRate
    int intraFrameInterval; // an I picture at least every this many pictures; 0 none
    int generateHeader;     // 1: the next process call writes SPS and PPS only
    int captureWidth;       // unused: the input picture brings its own line length
    int forceFrame;         // VideoEnc_FRAME_AUTO, _I or _IDR; stays until changed
    int interFrameInterval; // 0 or 1: no B pictures
    int mbDataFlag;         // 0
} VideoEnc_DynParams;

// The H.264 dynamic record.
typedef struct H264Enc_DynParams {
    VideoEnc_DynParams videoDynParams; // size = sizeof(H264Enc_DynParams)
    int sliceSize; // macroblock rows per slice when the slice mode is H264Enc_SLICEMODE_ROWS
    int rcAlgo;    // H264Enc_RC_*
    int initQ;     // 1..51: the quantiser of H264Enc_RC_CQP, the quality of H264Enc_RC_CRF
    int rcQMax;    // 1..51
    int rcQMin;    // 0..rcQMax
    int rcQMaxI;   // I-picture bounds: kept and traced, the encoder has one pair of bounds
    int rcQMinI;
    int maxDelay;  // milliseconds of the rate buffer at the maximum rate, > 0
    int roiEnable; // 1: the process call's region is coded at better quality
} H264Enc_DynParams;

// The records a stage starts from before it fills in its own values: 1280x720 at 30 fps and
// 6 Mbit/s, no forced picture, an I picture every 30.
extern const VideoEnc_Params VideoEnc_Params_DEFAULT;
extern const VideoEnc_DynParams VideoEnc_DynParams_DEFAULT;

// Buffer requirements (GETBUFINFO).
typedef struct VideoEnc_BufInfo {
    int minNumInBufs;     // 2: the luma and the chroma plane
    int minInBufSize[2];  // bytes of the largest luma and chroma plane
    int minNumOutBufs;    // 1
    int minOutBufSize;    // bytes of the largest access unit the configuration can produce
} VideoEnc_BufInfo;

typedef struct VideoEnc_Status {
    int size;
    int extendedError; // VideoEnc_ERR_* bits of the last refusal
    VideoEnc_BufInfo bufInfo;
} VideoEnc_Status;

// Extended error bits (create's *error, the status record, the process call's output arguments).
enum {
    VideoEnc_ERR_UNKNOWNCODEC = 0x1, // the engine does not carry the name, or no encoder is built for it
    VideoEnc_ERR_BADPARAMS = 0x2,    // a record field out of range
    VideoEnc_ERR_NOMEM = 0x4,
    VideoEnc_ERR_ENCODER = 0x8,      // the encoder library refused or failed
    VideoEnc_ERR_BADINPUT = 0x10,    // an input picture smaller than the configured size
    VideoEnc_ERR_OUTPUTFULL = 0x20,  // the access unit does not fit the output buffer
    VideoEnc_ERR_NOTREADY = 0x40,    // process before the first set-params
};

// One 4:2:0 semi-planar input picture, read in place. The encoder codes the dynamic record's
// inputWidth x inputHeight from the top-left corner; the picture must be at least that large.
typedef struct VideoEnc_InPicture {
    uint8_t *planes[2];   // luma, interleaved chroma
    int planeSizes[2];    // bytes readable from each plane start
    int lineLength;       // bytes per line of both planes
    int width;            // pixels present
    int height;
} VideoEnc_InPicture;

typedef struct VideoEnc_OutBuf {
    uint8_t *data;
    int size;
} VideoEnc_OutBuf;

typedef struct VideoEnc_InArgs {
    int size;
    int inputID;          // handed back as outputID
    int topFieldFirstFlag;
} VideoEnc_InArgs;

// A rectangle in pixels; bottom-right is exclusive. Clipped to the picture.
typedef struct H264Enc_Region {
    int topLeftX;
    int topLeftY;
    int bottomRightX;
    int bottomRightY;
    int regionType; // H264Enc_REGION_INTEREST
    int priority;   // 0
} H264Enc_Region;

// Input arguments with a region of interest (used when the dynamic roiEnable is 1).
typedef struct H264Enc_InArgs {
    VideoEnc_InArgs videoInArgs; // size = sizeof(H264Enc_InArgs)
    int numRegions;              // 0 or 1
    H264Enc_Region region;
} H264Enc_InArgs;

typedef struct VideoEnc_OutArgs {
    int size;
    int extendedError;
    int bytesGenerated;
    int encodedFrameType; // VideoEnc_FRAME_I, _P or _IDR; VideoEnc_FRAME_AUTO for a header-only call
    int inputFrameSkip;   // always 0
    int outputID;         // the inputID of the picture whose input buffer is free again
} VideoEnc_OutArgs;

// The encoder named `name` if the engine carries it. Null on failure (message at error level); the
// reason as VideoEnc_ERR_* bits in *error when error is not null. The encoder codes nothing before the
// first SETPARAMS.
VideoEnc_Handle VideoEnc_create(Engine_Handle hEngine, const char *name, const VideoEnc_Params *params,
                                int *error);
// Media_EOK; Media_EINVAL for an unknown command or a record it refuses (message at error level;
// the encoder keeps its previous configuration); Media_EFAIL when the encoder library fails.
// dynParams is read by SETPARAMS only; status (may be null) receives the extended error and, for
// GETBUFINFO, the buffer information.
int VideoEnc_control(VideoEnc_Handle hEnc, int cmd, const VideoEnc_DynParams *dynParams, VideoEnc_Status *status);
// Codes one picture into `out`. inArgs may be a VideoEnc_InArgs or an H264Enc_InArgs (by its size).
// Media_EOK (outArgs->bytesGenerated bytes written), Media_EINVAL for an input it refuses,
// Media_EFAIL when coding fails or the access unit does not fit (nothing is written past out->size).
int VideoEnc_process(VideoEnc_Handle hEnc, const VideoEnc_InPicture *in, VideoEnc_OutBuf *out,
                     const VideoEnc_InArgs *inArgs, VideoEnc_OutArgs *outArgs);
// The input picture size of the current configuration (0 x 0 before the first SETPARAMS).
void VideoEnc_getInputSize(VideoEnc_Handle hEnc, int *width, int *height);
// Null is accepted.
void VideoEnc_delete(VideoEnc_Handle hEnc);

// The libx264 settings an "h264enc" encoder runs with, for diagnostics and tests.
typedef struct H264Enc_Settings {
    const char *preset;  // "superfast" or "ultrafast" (tune "zerolatency" always)
    const char *profile; // "high", "main" or "baseline"
    int width;
    int height;
    int fpsNum;
    int fpsDen;
    int levelIdc;   // as the encoder writes it (its choice when H264Enc_LEVEL_AUTO)
    const char *rateControl; // "abr" (average at the bit rate), "cqp" or "crf"
    int bitrateKbps;
    int vbvMaxKbps;
    int vbvBufferKbit;
    int nalHrdCbr;  // 1: HRD signalling with filler
    int qpConstant;
    float rfConstant;
    int qpMin;
    int qpMax;
    int keyintMax;
    int keyintMin;
    int scenecut;
    int sliceMaxMbs;
    int aqMode;
    float aqStrength;
    int transform8x8;
    int cabac;
    int bframes;
} H264Enc_Settings;

// Media_EOK, or Media_EINVAL when the encoder is no "h264enc" or has no configuration yet.
int H264Enc_getSettings(VideoEnc_Handle hEnc, H264Enc_Settings *settings);
