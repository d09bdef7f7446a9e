// Picture size of every video standard number, as one table indexed by the number.
#include "encode/media/videostd.h"

#include "encode/media/media.h"

namespace {
struct Resolution {
    int width;
    int height;
};

constexpr Resolution resolutions[VideoStd_LAST + 1] = {
    {0, 0},                                                                         // 0: none
    {352, 288},   {352, 240},   {352, 288},   {640, 480},   {800, 600},             // 1-5
    {1024, 768},  {1280, 1024}, {1280, 768},  {1600, 1200}, {1280, 800},            // 6-10
    {1440, 900},  {1280, 960},  {1440, 1050}, {1680, 1050}, {1920, 1080},           // 11-15
    {1920, 1200}, {1360, 768},  {1366, 768},  {1400, 1050}, {1600, 900},            // 16-20
    {720, 480},   {720, 576},   {720, 480},   {720, 576},   {1280, 720},            // 21-25
    {1280, 720},  {1280, 720},  {1920, 1080}, {1920, 1080}, {1920, 1080},           // 26-30
    {1920, 1080}, {1920, 1080}, {320, 240},   {1920, 1080}, {1920, 1080},           // 31-35
    {1920, 1080}, {1920, 1080},                                                     // 36-37
};
} // namespace

int VideoStd_getResolution(VideoStd_Type videoStd, int *width, int *height)
{
    if (videoStd < VideoStd_FIRST || videoStd > VideoStd_LAST) {
        Media_error("[VideoStd] Unknown video standard (%d)\n", videoStd);
        return Media_EINVAL;
    }
    if (width == nullptr || height == nullptr) {
        return Media_EINVAL;
    }
    *width = resolutions[videoStd].width;
    *height = resolutions[videoStd].height;
    return Media_EOK;
}
