// Colour-space identifiers of picture buffers and their bits per pixel. The line length of a picture
// is width x bits per pixel / 8; the frame size follows from the line length and the height by the
// layout of the planes (4:2:0 semi-planar needs half as much again for the chroma plane).
#pragma once

typedef enum ColorSpace_Type : int {
    ColorSpace_YUV420PSEMI = 0, // 8 bpp luma plane + interleaved chroma plane at half height (NV12)
    ColorSpace_YUV422PSEMI = 1, // 8 bpp luma plane + interleaved chroma plane at full height
    ColorSpace_UYVY = 2,        // 16 bpp packed 4:2:2
    ColorSpace_RGB888 = 3,      // 32 bpp (24-bit colour in 32-bit words)
    ColorSpace_RGB565 = 4,      // 16 bpp
    ColorSpace_2BIT = 5,        // 2 bpp (attribute / palette planes)
    ColorSpace_YUV420P = 6,     // 8 bpp planar 4:2:0
    ColorSpace_YUV422P = 7,     // 8 bpp, one plane counted
    ColorSpace_YUV444P = 8,     // 24 bpp
    ColorSpace_GRAY = 9,        // 8 bpp luma only
} ColorSpace_Type;

// Bits per pixel of the colour space; -5 and "[ColorSpace] Unknown color space format (%d)" otherwise.
int ColorSpace_getBpp(ColorSpace_Type colorSpace);

// Bytes of one frame of `height` lines of `lineLength` bytes in this colour space; -5 when unknown.
int ColorSpace_getFrameSize(ColorSpace_Type colorSpace, int lineLength, int height);
