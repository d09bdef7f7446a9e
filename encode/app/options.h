// The encoder's command line: LaunchOptions with its defaults, the long-option parsing over
// "z:c:f:i:s:a:v:y:r:b:p:u:wI:lkt:d:e:m:n:h", the console lines of the options that print one, the
// usage text and every option error. Parsed once by the main thread; read-only afterwards.
#pragma once

#include "encode/media/videostd.h"

#include <cstdint>
#include <cstdio>

struct CodecEntry;

inline constexpr int LAUNCH_ADDRESS_CHARS = 15;
// video_input before the options are settled: the input is derived from the standard.
inline constexpr int LAUNCH_INPUT_DERIVED = 4;

struct LaunchOptions {
    int display_standard = VideoStd_720P_60;
    const char *standardName = "720P 60Hz";
    int linein = 1;
    int video_input = LAUNCH_INPUT_DERIVED; // derived from the standard once all options are read
    const char *speechfile = nullptr;
    const char *audiofile = nullptr;
    const char *videofile = nullptr;
    const CodecEntry *speechCodec = nullptr;
    const CodecEntry *videoCodec = nullptr;
    const CodecEntry *audioCodec = nullptr;
    int width = 0; // 0: the standard's own size
    int height = 0;
    int videobitrate = -1; // negative: variable
    const char *videobitrateText = nullptr;
    int soundbitrate = 96000;
    const char *soundbitrateText = nullptr;
    int samplerate = 44100;
    const char *samplerateText = nullptr;
    int keyboard = 0;
    int time = -1;
    int16_t preview_disable = 1;
    int16_t write_disable = 0;
    char ipaddr[LAUNCH_ADDRESS_CHARS + 1] = {};
    char ipdaddr[LAUNCH_ADDRESS_CHARS + 1] = {};
    char ipeaddr[LAUNCH_ADDRESS_CHARS + 1] = {};
    int framerate = 0; // thousandths of a frame per second
    int Intraframeinterval = 0;
};

// The three UDP destination ports (-c, -m, -n); 0 leaves a destination unused.
struct DestinationPorts {
    int port1 = 0;
    int port2 = 0;
    int port3 = 0;
};

// Options_parse's answer when the program goes on; any other answer is the exit status to leave with.
inline constexpr int Options_CONTINUE = -1;

// Parses the options into `opts` and `ports` (which keep their defaults where no option speaks).
// Returns Options_CONTINUE when the program should go on, or the exit status to leave with at once:
// 0 after -h, 1 after any option error (its message and, where due, the usage text already on
// standard error).
int Options_parse(int argc, char **argv, LaunchOptions *opts, DestinationPorts *ports);

// The usage text, unchanged.
void Options_usage(FILE *to);
