// Capture adapter: the video input behind one handle. The device is the V4L2 capture device
// (/dev/video0 under ENCODE_ROOT) or the virtual device, chosen by ENCODE_VIDEO_SOURCE ("v4l2" or
// unset, "testsrc", "file:PATH"). Filled buffers are the caller's pool buffers (any buffer of the
// same size may be put back, so buffers of several pools can circulate through the device).
//
// With the second stream on, every delivered buffer also carries the second picture (NV12, the size
// of /mnt/kavex_rs.ini) right behind the main picture: made by the SoC resizer where
// /dev/soc_resizer exists, else scaled here from the main picture before the buffer is handed out.
//
// One thread uses a handle at a time (the capture thread); the CapBuf helpers work on any buffer its
// caller holds.
#pragma once

#include "encode/media/buffer.h"
#include "encode/media/second_picture.h"
#include "encode/device/capture_format.h"

typedef struct Capture_Object *Capture_Handle;

typedef struct Capture_Attrs {
    int numBufs;
    int videoInput; // Capture_Input_*
    long cropX;     // -1: no cropping (x, y, width, height)
    long cropY;
    long cropWidth;
    long cropHeight;
    const char *captureDevice; // system path, "/dev/video0"
    VideoStd_Type videoStd;    // 0: detect
    ColorSpace_Type colorSpace;
    BufferGfx_Dimensions *captureDimension; // null: the standard's picture
    int onTheFly;                           // 1: the resizer chain (second picture) runs
    int secondWidth;                        // the second picture behind the main one; 0: none
    int secondHeight;
} Capture_Attrs;

extern const Capture_Attrs Capture_Attrs_DEFAULT;

// Selects the input and asks the device for its standard; the number goes to *videoStdPtr and
// attrs->videoStd. hCapture null: the device is opened for the question and closed again.
// 0, or -1 after its message.
int Capture_detectVideoStd(Capture_Handle hCapture, VideoStd_Type *videoStdPtr, Capture_Attrs *attrs);

// Sets the device up with the pool's buffers queued and streaming on. Null after its messages.
Capture_Handle Capture_create(BufTab_Handle hBufTab, Capture_Attrs *attrs);

// Capture_get's answer when the quit flag was raised while it waited: no buffer.
enum { Capture_STOPPED = 1 };

// The next filled buffer (blocking). 0; Capture_STOPPED when the quit flag was raised while waiting;
// -1 on failure.
int Capture_get(Capture_Handle hCapture, Buffer_Handle *hBufPtr);
// Gives a buffer back to the device to fill. 0 or -1.
int Capture_put(Capture_Handle hCapture, Buffer_Handle hBuf);
// Streaming off, buffers released, devices closed. Null is accepted.
int Capture_delete(Capture_Handle hCapture);

// Frames the device dropped so far because no buffer was free for them (the pipeline fell behind).
// Any thread.
uint64_t Capture_dropped(Capture_Handle hCapture);

// The standard the device was set up with (after the half-rate rule).
VideoStd_Type Capture_getVideoStd(Capture_Handle hCapture);

// Black picture in the buffer's colour space (see CapPicture_blackFill), the buffer marked altered (as by
// CapBuf_drawTestBars). Media_EOK or Media_EFAIL.
int CapBuf_blackFill(Buffer_Handle hBuf);
// The seven grey bars on black. Media_EOK or Media_EFAIL.
int CapBuf_drawTestBars(Buffer_Handle hBuf);
// The buffer's picture as a plane view.
CapPicture CapBuf_picture(Buffer_Handle hBuf);
