// Video standard numbers of the capture path and the picture size each one stands for. The numbers
// are those stored in the launch options and reported by input detection.
#pragma once

typedef int VideoStd_Type;

enum {
    VideoStd_AUTO = 0, // detect the input's standard
    VideoStd_CIF = 1,          // 352x288
    VideoStd_SIF_NTSC = 2,     // 352x240
    VideoStd_SIF_PAL = 3,      // 352x288
    VideoStd_VGA = 4,          // 640x480
    VideoStd_SVGA = 5,         // 800x600
    VideoStd_XGA = 6,          // 1024x768
    VideoStd_SXGA = 7,         // 1280x1024
    VideoStd_WXGA_768 = 8,     // 1280x768
    VideoStd_UXGA = 9,         // 1600x1200
    VideoStd_WXGA_800 = 10,    // 1280x800
    VideoStd_WXGA_900 = 11,    // 1440x900
    VideoStd_SXGA_960 = 12,    // 1280x960
    VideoStd_SXGA_PLUS = 13,   // 1440x1050
    VideoStd_WSXGA_PLUS = 14,  // 1680x1050
    VideoStd_VESA_1080 = 15,   // 1920x1080
    VideoStd_WUXGA = 16,       // 1920x1200
    VideoStd_WXGA_1360 = 17,   // 1360x768
    VideoStd_WXGA_1366 = 18,   // 1366x768
    VideoStd_SXGA_1400 = 19,   // 1400x1050
    VideoStd_HD_PLUS = 20,     // 1600x900
    VideoStd_D1_NTSC = 21,     // 720x480
    VideoStd_D1_PAL = 22,      // 720x576
    VideoStd_480P_60 = 23,     // 720x480
    VideoStd_576P_50 = 24,     // 720x576
    VideoStd_720P_60 = 25,     // 1280x720
    VideoStd_720P_50 = 26,
    VideoStd_720P_30 = 27,     // 720P 60 captured at half rate
    VideoStd_1080I_30 = 28,    // 1920x1080
    VideoStd_1080I_25 = 29,
    VideoStd_1080P_30 = 30,
    VideoStd_1080P_25 = 31,
    VideoStd_1080P_24 = 32,
    VideoStd_QVGA = 33,        // 320x240
    VideoStd_1080P_60 = 34,
    VideoStd_1080P_50 = 35,
    VideoStd_1080I_60 = 36,
    VideoStd_1080I_50 = 37,
    VideoStd_FIRST = VideoStd_CIF,
    VideoStd_LAST = VideoStd_1080I_50,
};

// Width and height of the standard: 0, or -5 and "[VideoStd] Unknown video standard (%d)" for a number
// outside the table (width and height are left untouched then). Null outputs are refused with -5.
int VideoStd_getResolution(VideoStd_Type videoStd, int *width, int *height);
