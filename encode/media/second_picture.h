// Where the second ("fml") picture lies in every captured buffer. The capture lays it there (the SoC
// resizer on the board, the software scaler on a PC), the video encoder codes it from there and the
// overlays draw on it there: all of them take the geometry from here.
#pragma once

#include <cstddef>

// Where the second picture lies in every captured buffer: right behind the main picture (main line
// length x main height x 3/2 on), NV12 with its own width as line length, chroma behind its luma.
// Present only when the run's second stream is on (the capture thread switches a size the resizer
// cannot make off before it sizes its pools). The capture pools, the video encoder and the overlays
// all take the geometry from here.
struct SecondPictureGeometry {
    bool present;
    int width;
    int height;
    int lineLength;
    size_t offset;     // bytes from the buffer's start to the second picture's luma
    size_t lumaSize;   // lineLength x height
    size_t chromaSize; // lineLength x height / 2, right behind the luma
};
SecondPictureGeometry SecondPicture_geometry(int mainLineLength, int mainHeight);
