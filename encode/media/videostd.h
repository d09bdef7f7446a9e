// Video standard numbers of the capture path and the picture size each one stands for. The numbers
// are those stored in the launch options and reported by input detection.
#pragma once

typedef int VideoStd_Type;

enum {
    VideoStd_D1_NTSC = 21,  // 720x480
    VideoStd_D1_PAL = 22,   // 720x576
    VideoStd_720P_60 = 25,  // 1280x720
    VideoStd_1080I_30 = 28, // 1920x1080
    VideoStd_1080P_30 = 30,
    VideoStd_1080P_60 = 34,
    VideoStd_1080P_50 = 35,
    VideoStd_1080I_60 = 36,
    VideoStd_FIRST = 1,
    VideoStd_LAST = 37,
};

// Width and height of the standard: 0, or -5 and "[VideoStd] Unknown video standard (%d)" for a number
// outside the table (width and height are left untouched then). Null outputs are refused with -5.
int VideoStd_getResolution(VideoStd_Type videoStd, int *width, int *height);
