// The capture adapter's fixed knowledge, kept apart from the device code so that it can be checked
// without a device: input names, the driver's standard identifiers and the standard numbers they mean,
// frame rates and field order per standard, the exposure values of the camera input, the pixel format
// choice and the line pitch rules, and the pictures the adapter draws itself (black, the seven grey
// bars, the virtual device's moving picture).
#pragma once

#include "encode/media/media.h"

#include <cstddef>
#include <cstdint>
#include <span>

// What the lookups below answer when they find nothing.
inline constexpr int CaptureFormat_NO_STD = -1;
inline constexpr int64_t CapPicture_NO_FRAME_NUMBER = -1;

// Capture inputs, numbered as the launch option stores them.
enum {
    Capture_Input_SVIDEO = 0,
    Capture_Input_COMPOSITE = 1,
    Capture_Input_COMPONENT = 2,
    Capture_Input_CAMERA = 3,
    Capture_Input_COUNT = 4,
    Capture_Input_NONE = -1, // no input is known for the case at hand
};

// "S-Video", "Composite", "Component", "Camera"; null outside 0..3.
const char *CaptureFormat_inputName(int input);

// The driver's 64-bit standard identifier as a standard number (first matching row of the table);
// CaptureFormat_NO_STD for an identifier the table does not know.
int CaptureFormat_stdFromId(uint64_t id);
// An identifier that maps back to `std`, for forcing a standard on the driver; 0 when there is none.
uint64_t CaptureFormat_idFromStd(int std);

// Exposure (control 0x980911) on the camera input, by detected identifier and by standard number.
inline constexpr uint32_t kCaptureExposureControl = 0x980911;
int CaptureFormat_exposureForId(uint64_t id);
int CaptureFormat_exposureForStd(int std);

// Standards whose pictures come as two fields.
bool CaptureFormat_isInterlaced(int std);

// Frames per second of a standard as num/den (interlaced standards count frames, not fields).
struct CaptureRate {
    int num;
    int den;
};
CaptureRate CaptureFormat_frameRate(int std);
// Nanoseconds per frame of the rate.
int64_t CaptureFormat_framePeriodNs(CaptureRate rate);

// For devices that know neither standards nor timings (USB capture dongles, cameras): the standard
// of a picture size and rate (fps <= 0: unknown). CaptureFormat_NO_STD when no standard has that size.
int CaptureFormat_stdFromSize(int width, int height, bool interlaced, double fps);

int CaptureFormat_align32(int value);

// The pixel format (V4L2 fourcc) of colour space 0 (NV12), 1 (NV16) or 2 (UYVY); 0 for any other.
uint32_t CaptureFormat_fourcc(int colorSpace);

// What to ask the driver for, given the formats it offers: the colour space's own format when
// offered (no conversion), else the first format the adapter can convert from (YUYV first, as most
// USB HDMI dongles offer only that). fourcc 0 when nothing usable is offered.
struct CaptureFormatChoice {
    uint32_t fourcc;
    bool convert;
};
CaptureFormatChoice CaptureFormat_choose(std::span<const uint32_t> offered, int colorSpace);

// Line pitch and image size the camera input is set up with: width up to a multiple of 32 and
// pitch x height x 3/2 for the semi-planar formats; width x 2 (and pitch x height) for UYVY.
struct CapturePitch {
    int bytesPerLine;
    int sizeImage;
};
CapturePitch CaptureFormat_cameraPitch(int width, int height, int colorSpace);

// A picture in memory: luma plane at data, the interleaved chroma plane right behind it
// (lineLength x height bytes on) for the semi-planar colour spaces.
struct CapPicture {
    uint8_t *data;
    size_t size; // bytes available at data
    int width;
    int height;
    int lineLength;
    int colorSpace;
};

// Black: luma 0 and chroma 128 (colour spaces 0, 1), words 0x10801080 (2, 4-byte aligned), zero
// bytes (4). Media_EOK; others: "Error: Unsupported color space (%d) for _blackFill\n" and Media_EFAIL
// (also for a picture larger than its memory).
int CapPicture_blackFill(const CapPicture &pic);

// Black, then 7 vertical bars: bar j covers columns j x (width/8) .. (j+1) x (width/8) - 1 with luma
// j x 31; the last eighth stays black. Media_EOK, or Media_EFAIL when it cannot be black-filled.
int CapPicture_drawTestBars(const CapPicture &pic);

// The virtual device's moving picture (colour spaces 0 and 1): eight colour bars, a box that moves
// with the frame number, the frame number as a row of black/white blocks, below it (where there is
// room) the capture time's wall-clock milliseconds (their low 32 bits) as a second such row, and the
// wall-clock time as text. The rows: a white and a black block, the 32 bits most significant first
// (white 1), a black and a white block; blocks of 16 pixels (8 below 608 pixels wide), 16 pixels in
// from the top left, 16 between the rows.
// `background` (same geometry, may be null) holds the bars drawn once, to save redrawing them.
void CapPicture_drawColorBars(const CapPicture &pic);
void CapPicture_drawTestsrc(const CapPicture &pic, const CapPicture *background, uint32_t frameNumber,
                            int64_t wallClockMs);

// Reads back the frame number the moving picture carries, from a luma plane (also after lossy coding):
// CapPicture_NO_FRAME_NUMBER when the picture is too small or carries no block row (the grey bars).
int64_t CapPicture_readFrameNumber(const uint8_t *luma, int lineLength, int width, int height);
// Likewise the capture time's row (CapPicture_NO_FRAME_NUMBER when there is none).
int64_t CapPicture_readCaptureMs(const uint8_t *luma, int lineLength, int width, int height);
