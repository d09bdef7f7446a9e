// What a player finds at rtsp://127.0.0.1:PORT/live: ffprobe reads it over TCP for a few seconds,
// decoding every frame, and each stream comes back as its fields (codec_name, width, height,
// sample_rate, nb_read_frames).
#pragma once

#include "tests/support/process.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace rtsp_probe {

using Stream = std::map<std::string, std::string>;

inline std::vector<Stream> probe(int port, int seconds)
{
    std::string out = runCommand("timeout 60 ffprobe -v error -rtsp_transport tcp -count_frames -read_intervals %+" +
                                 std::to_string(seconds) +
                                 " -show_entries stream=codec_name,width,height,sample_rate,nb_read_frames"
                                 " -of compact=p=0 rtsp://127.0.0.1:" +
                                 std::to_string(port) + "/live 2>/dev/null");
    std::vector<Stream> streams;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        Stream s;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '|');) {
            size_t eq = f.find('=');
            if (eq != std::string::npos) {
                s[f.substr(0, eq)] = f.substr(eq + 1);
            }
        }
        if (s.count("codec_name") != 0) {
            streams.push_back(s);
        }
    }
    return streams;
}

inline int frames(const Stream &s)
{
    auto it = s.find("nb_read_frames");
    return it == s.end() ? 0 : std::atoi(it->second.c_str());
}

} // namespace rtsp_probe
