#include "encode/media/second_picture.h"

#include "encode/core/second_stream.h"

SecondPictureGeometry SecondPicture_geometry(int mainLineLength, int mainHeight)
{
    SecondPictureGeometry g{};
    g.offset = static_cast<size_t>(mainLineLength) * static_cast<size_t>(mainHeight) * 3 / 2;
    SecondStreamSettings s = SecondStream_get();
    if (s.enabled != 1 || s.width <= 0 || s.height <= 0) {
        return g;
    }
    g.present = true;
    g.width = s.width;
    g.height = s.height;
    g.lineLength = s.width;
    g.lumaSize = static_cast<size_t>(g.lineLength) * static_cast<size_t>(g.height);
    g.chromaSize = g.lumaSize / 2;
    return g;
}
