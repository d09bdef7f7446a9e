// The benchmarks' input: a moving 1920x1080 test picture with camera-like temporal noise (flat
// synthetic pictures would make any encoder or scaler look faster than it is on a real source), as
// raw NV12 frames in a file.
#pragma once

#include <cstdlib>
#include <string>

// `frames` frames into `path`; false when ffmpeg could not make them.
inline bool BenchFrames_make(const std::string &path, int frames)
{
    std::string make = "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=30 "
                       "-vf noise=alls=12:allf=t+u -frames:v " +
                       std::to_string(frames) + " -pix_fmt nv12 -f rawvideo '" + path + "'";
    return std::system(make.c_str()) == 0;
}
