// Inputs that cost a run of ffmpeg (a clip, a raw picture) are made once per build tree, beside the
// test programs: ctest runs every test in its own process, so a cache in the process would make them
// again for each test.
#pragma once

#include "tests/support/process.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

// The path of the file `command` writes where it says {out}; empty when the command fails. The name
// carries a hash of the command, so a changed recipe makes a new file. Written under a name of its
// own and renamed, so a test process running beside never reads half of it.
inline std::string madeOnce(const std::string &name, const std::string &command)
{
    const std::string dir = std::string(ENCODE_BINARY_DIR) + "/test-inputs";
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(command));
    const std::string path = dir + "/" + hash + "-" + name;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        return path;
    }
    std::filesystem::create_directories(dir, ec);
    const std::string part = path + ".part" + std::to_string(::getpid());
    std::string cmd = command;
    for (size_t at = cmd.find("{out}"); at != std::string::npos; at = cmd.find("{out}", at)) {
        cmd.replace(at, 5, "'" + part + "'");
    }
    int status = -1;
    runCommand(cmd + " 2>&1", &status);
    if (status != 0) {
        std::filesystem::remove(part, ec);
        return "";
    }
    std::filesystem::rename(part, path, ec);
    return ec ? "" : path;
}

// A second of the 1280x720 test picture with camera-like noise, raw NV12, for the virtual capture
// device to loop: the clean picture compresses to far too little to fill a socket, a pipe or a rate.
inline std::string noisyPicture()
{
    return madeOnce("noisy-720p.nv12", "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 "
                                       "-vf noise=alls=20:allf=t+u -frames:v 30 -pix_fmt nv12 -f rawvideo {out}");
}
