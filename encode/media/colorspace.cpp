// Bits per pixel and frame-size factor of each colour space, kept as one table.
#include "encode/media/colorspace.h"

#include "encode/media/media.h"

namespace {
struct ColorSpaceInfo {
    int bpp;
    int sizeNum; // frame size = lineLength x height x sizeNum / sizeDen
    int sizeDen;
};

constexpr ColorSpaceInfo colorSpaces[] = {
    {8, 3, 2},  // 0 4:2:0 semi-planar
    {8, 2, 1},  // 1 4:2:2 semi-planar
    {16, 1, 1}, // 2
    {32, 1, 1}, // 3
    {16, 1, 1}, // 4
    {2, 1, 1},  // 5
    {8, 3, 2},  // 6
    {8, 1, 1},  // 7
    {24, 1, 1}, // 8
    {8, 1, 1},  // 9
};
constexpr int numColorSpaces = sizeof colorSpaces / sizeof colorSpaces[0];

const ColorSpaceInfo *lookup(ColorSpace_Type colorSpace)
{
    int id = static_cast<int>(colorSpace);
    if (id < 0 || id >= numColorSpaces) {
        Media_error("[ColorSpace] Unknown color space format (%d)\n", id);
        return nullptr;
    }
    return &colorSpaces[id];
}
} // namespace

int ColorSpace_getBpp(ColorSpace_Type colorSpace)
{
    const ColorSpaceInfo *info = lookup(colorSpace);
    return info != nullptr ? info->bpp : -5;
}

int ColorSpace_getFrameSize(ColorSpace_Type colorSpace, int lineLength, int height)
{
    const ColorSpaceInfo *info = lookup(colorSpace);
    if (info == nullptr || lineLength < 0 || height < 0) {
        return Media_EINVAL;
    }
    long long size = static_cast<long long>(lineLength) * height * info->sizeNum / info->sizeDen;
    return size > 0x7fffffff ? -5 : static_cast<int>(size);
}
