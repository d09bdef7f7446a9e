// Venc1: the video thread's H.264 encoder wrapper over the codec runtime (videnc.h). Creating one
// reads the encoder settings of the configuration store and builds the H.264 records from them on
// top of the caller's standard records; processing hands the captured picture to the encoder in place
// and the access unit straight into the writer's buffer.
//
// Main stream: Venc1_create reads /mnt/kavex_encProfileIdc.ini, kavex_encLevel.ini,
// kavex_encQuality.ini, kavex_slice.ini, cvbr.ini, kavex_maxdelay.ini and the region of interest of
// m.ini. Second stream: Venc1_createFml reads cvbr.ini and the delay, profile, quality and level of
// kavex_rs.ini; its pictures are the second pictures behind the main ones (Venc1_process_fml).
//
// After creation the video thread steers the encoder with VideoEnc_control(Venc1_getCodecHandle(h),
// VideoEnc_SETPARAMS, &dynParams, &status): a standard dynamic record changes the standard fields
// only (forceFrame, intraFrameInterval, targetBitRate ...) and keeps what the store set. A handle is
// used by one thread.
#pragma once

#include "encode/media/buffer.h"
#include "encode/codec/engine.h"
#include "encode/codec/videnc.h"

typedef struct Venc1_Object *Venc1_Handle;

// The main-stream encoder. params and dynParams are standard records (maxHeight the height rounded up
// to 16, inputHeight the real height). Null after its message on failure.
Venc1_Handle Venc1_create(Engine_Handle hEngine, const char *codecName, const VideoEnc_Params *params,
                          const VideoEnc_DynParams *dynParams);
// The second-stream encoder, likewise.
Venc1_Handle Venc1_createFml(Engine_Handle hEngine, const char *codecName, const VideoEnc_Params *params,
                             const VideoEnc_DynParams *dynParams);

// Codes the picture the input buffer's current dimensions describe (4:2:0 semi-planar; the chroma
// plane right behind the luma plane of the encoder's input height) into hOutBuf, whose used size
// becomes the access unit's length; the input buffer's frame type becomes the coded picture type
// (VideoEnc_FRAME_IDR, _I or _P). Media_EOK; Media_EINVAL for an input it cannot read (colour space,
// size); Media_EFAIL when the encoder fails (used size 0).
int Venc1_process(Venc1_Handle hVe, Buffer_Handle hInBuf, Buffer_Handle hOutBuf);
// Codes the second picture of a captured buffer (where SecondPicture_geometry puts it) likewise.
int Venc1_process_fml(Venc1_Handle hVe, Buffer_Handle hCaptured, Buffer_Handle hOutBuf);

// Media_EOK, or Media_EFAIL after "[Venc1] FLUSH control failed".
int Venc1_flush(Venc1_Handle hVe);
// Bytes of the input planes together (luma and chroma of the maximum size).
int Venc1_getInBufSize(Venc1_Handle hVe);
// Bytes the writer's buffers need: the largest access unit of the configured maximum size and rate.
int Venc1_getOutBufSize(Venc1_Handle hVe);
VideoEnc_Handle Venc1_getCodecHandle(Venc1_Handle hVe);
// Null is accepted. Media_EOK.
int Venc1_delete(Venc1_Handle hVe);
