// Command-line parsing of the encoder. Runs once in the main thread before any stage thread exists;
// prints its console lines on standard output and its errors (with the usage text where due) on
// standard error. The option and standard tables are data, not chains of ifs.
#include "encode/core/options.h"

#include "encode/core/console_text.h"
#include "encode/media/engine.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

const char kShortOptions[] = "z:c:f:i:s:a:v:y:r:b:p:u:wI:lkt:d:e:m:n:h";

const struct option kLongOptions[] = {
    {"ipaddr", required_argument, nullptr, 'z'},
    {"port", required_argument, nullptr, 'c'},
    {"ipdaddr", required_argument, nullptr, 'd'},
    {"dport", required_argument, nullptr, 'm'},
    {"ipeaddr", required_argument, nullptr, 'e'},
    {"eport", required_argument, nullptr, 'n'},
    {"framerate", required_argument, nullptr, 'f'},
    {"Intraframeinterval", required_argument, nullptr, 'i'},
    {"speechfile", required_argument, nullptr, 's'},
    {"audiofile", required_argument, nullptr, 'a'},
    {"videofile", required_argument, nullptr, 'v'},
    {"display_standard", required_argument, nullptr, 'y'},
    {"resolution", required_argument, nullptr, 'r'},
    {"videobitrate", required_argument, nullptr, 'b'},
    {"soundbitrate", required_argument, nullptr, 'p'},
    {"samplerate", required_argument, nullptr, 'u'},
    {"preview_disable", no_argument, nullptr, 'w'},
    {"video_input", required_argument, nullptr, 'I'},
    {"linein", no_argument, nullptr, 'l'},
    {"keyboard", no_argument, nullptr, 'k'},
    {"time", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// -y value -> stored standard number and its display name (null: name unchanged).
struct StandardChoice {
    int number;
    const char *name;
};
const StandardChoice kStandards[] = {
    {0, nullptr},         {21, "D1 NTSC"},    {22, "D1 PAL"},     {25, "720P 60Hz"}, {36, "1080I 60Hz"},
    {28, "1080I 30Hz"},   {34, "1080P 60Hz"}, {30, "1080P 30Hz"}, {35, "1080P 50Hz"},
};

// -I value 1..4 -> stored capture input.
const int kInputs[] = {1, 0, 2, 3};

// The input a standard implies when -I is not given; -1 where none is known.
int inputForStandard(int standard)
{
    switch (standard) {
    case 28:
    case 34:
    case 35:
        return 3;
    case 25:
        return 2;
    case 21:
    case 22:
        return 1;
    default:
        return -1;
    }
}

constexpr int kMinWidth = 2;
constexpr int kMinHeight = 2;
constexpr int kMaxWidth = 1920;
constexpr int kMaxHeight = 1080;
constexpr long kMaxPort = 65535;

struct FileKind {
    EngineList list;
    const char *noExtension;
    const char *unknownExtension;
};
const FileKind kSpeechKind = {Engine_List_SPEECH, "Speech file without extension: %s\n",
                              "Unknown speech file extension: %s\n"};
const FileKind kAudioKind = {Engine_List_AUDIO, "Audio file without extension: %s\n",
                             "Unknown audio file extension: %s\n"};
const FileKind kVideoKind = {Engine_List_VIDEO, "Video file without extension: %s\n",
                             "Unknown video file extension: %s\n"};

// Decimal text-to-integer as the start script's numbers have always been read: leading digits
// count, a text without any is 0. strtol saturates where atoi would overflow.
long decimal(const char *text)
{
    return std::strtol(text, nullptr, 10);
}

int saturate(long long v)
{
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

// A destination address: the text up to the first blank. One that cannot be a dotted quad (more
// than 15 characters) is stored empty, so that the UDP set-up reports it instead of sending to a
// truncated address.
void takeAddress(const char *arg, char (&to)[LAUNCH_ADDRESS_CHARS + 1], const char *consoleLine)
{
    size_t len = std::strcspn(arg, " ");
    std::memset(to, 0, sizeof to);
    if (len <= LAUNCH_ADDRESS_CHARS) {
        std::memcpy(to, arg, len);
    }
    std::printf(consoleLine, std::string(arg, len).c_str(), static_cast<int>(len));
}

// A port: 0..65535. 16-bit signed storage would turn the upper half of the range into negative
// numbers (a silently unused destination) and wrap larger values onto unrelated ports.
bool takePort(const char *arg, int &port)
{
    long v = decimal(arg);
    if (v < 0 || v > kMaxPort) {
        std::fprintf(stderr, "Error: UDP port out of range (%s), must be 0 to %ld\n", arg, kMaxPort);
        return false;
    }
    port = static_cast<int>(v);
    return true;
}

bool takeFile(const char *arg, const FileKind &kind, const char *&file, const CodecEntry *&codec)
{
    const CodecEntry *entry = nullptr;
    int r = Engine_lookupCodec(kind.list, arg, &entry);
    if (r == Engine_FIND_NOEXTENSION) {
        std::fprintf(stderr, kind.noExtension, arg);
        return false;
    }
    if (r != Engine_FIND_OK || entry == nullptr) {
        const char *ext = std::strrchr(arg, '.');
        std::fprintf(stderr, kind.unknownExtension, ext != nullptr ? ext : arg);
        return false;
    }
    file = arg;
    codec = entry;
    return true;
}

} // namespace

void Options_usage(FILE *to)
{
    std::fputs("Usage: encode [options]\n\n"
               "Options:\n"
               "-s | --speechfile       Speech file to record to\n"
               "-a | --audiofile        Audio file to play\n"
               "-v | --videofile        Video file to record to\n"
               "-y | --display_standard Video standard to use for display (see below).\n"
               "-r | --resolution       Video resolution ('width'x'height')\n"
               "-b | --videobitrate     Bit rate to encode video at [variable]\n"
               "-p | --soundbitrate     Bit rate to encode audio at [96000]\n"
               "-u | --samplerate       Sample rate to encode audio at [16000]\n"
               "-w | --preview_disable  Disable preview [preview enabled]\n"
               "-f | --write_disable    Disable recording of encoded file [enabled]\n"
               "-I | --video_input      Video input source [video standard default]\n"
               "-l | --linein           Use linein as sound input instead of mic \n"
               "-k | --keyboard         Enable keyboard interface [off]\n"
               "-t | --time             Number of seconds to run the demo [infinite]\n"
               "-h | --help             Print this message\n\n"
               "Video standards available\n"
               "\t1\tD1 @ 30 fps (NTSC)\n"
               "\t2\tD1 @ 25 fps (PAL)\n"
               "\t3\t720P @ 60 fps [Default]\n"
               "\t5\t1080I @ 30 fps - for the HD chip\n"
               "Video inputs available:\n"
               "\t1\tComposite\n"
               "\t2\tS-video\n"
               "\t3\tComponent\n"
               "\t4\tImager/Camera - for the HD chip\n"
               "You must supply at least a video or a speech file or both\n"
               "with appropriate extensions for the file formats.\n\n",
               to);
    std::fflush(to);
}

int Options_parse(int argc, char **argv, LaunchOptions *opts, DestinationPorts *ports)
{
    opts->linein = 1;
    opts->preview_disable = 1;
    optind = 0; // full re-initialisation, so that the parser may run more than once in a process

    for (;;) {
        int index = 0;
        int c = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
        if (c == -1) {
            break;
        }
        switch (c) {
        case 'z':
            takeAddress(optarg, opts->ipaddr, ConsoleText::kTsReceiverIp);
            break;
        case 'c':
            if (!takePort(optarg, ports->port1)) {
                return 1;
            }
            std::printf(ConsoleText::kTsReceiverPort, ports->port1);
            break;
        case 'd':
            takeAddress(optarg, opts->ipdaddr, "TS send d ip = %s, len = %d\n");
            break;
        case 'm':
            if (!takePort(optarg, ports->port2)) {
                return 1;
            }
            std::printf("TS send 2 ip port %d\n", ports->port2);
            break;
        case 'e':
            takeAddress(optarg, opts->ipeaddr, "TS send e ip = %s, len = %d\n");
            break;
        case 'n':
            if (!takePort(optarg, ports->port3)) {
                return 1;
            }
            std::printf("TS send 3 ip port %d\n", ports->port3);
            break;
        case 'f':
            opts->framerate = saturate(static_cast<long long>(decimal(optarg)) * 1000);
            std::printf(ConsoleText::kFrameRateSet, opts->framerate);
            break;
        case 'i':
            opts->Intraframeinterval = saturate(decimal(optarg));
            std::printf(ConsoleText::kIntraInterval, opts->Intraframeinterval);
            break;
        case 's':
            if (!takeFile(optarg, kSpeechKind, opts->speechfile, opts->speechCodec)) {
                return 1;
            }
            break;
        case 'a':
            if (!takeFile(optarg, kAudioKind, opts->audiofile, opts->audioCodec)) {
                return 1;
            }
            break;
        case 'v':
            if (!takeFile(optarg, kVideoKind, opts->videofile, opts->videoCodec)) {
                return 1;
            }
            break;
        case 'y': {
            long y = decimal(optarg);
            if (y < 0 || y >= static_cast<long>(std::size(kStandards))) {
                std::fputs("Unknown display standard\n", stderr);
                Options_usage(stderr);
                return 1;
            }
            opts->display_standard = kStandards[y].number;
            if (kStandards[y].name != nullptr) {
                opts->standardName = kStandards[y].name;
            }
            break;
        }
        case 'r': {
            long w = 0;
            long h = 0;
            if (std::sscanf(optarg, "%ldx%ld", &w, &h) != 2) {
                std::fprintf(stderr, "Invalid resolution supplied (%s)\n", optarg);
                Options_usage(stderr);
                return 1;
            }
            if (w < kMinWidth || h < kMinHeight || w > kMaxWidth || h > kMaxHeight) {
                std::fprintf(stderr, "Video resolution must be between %dx%d and %dx%d\n", kMinWidth, kMinHeight,
                             kMaxWidth, kMaxHeight);
                return 1;
            }
            opts->width = static_cast<int>(w);
            opts->height = static_cast<int>(h);
            break;
        }
        case 'b':
            opts->videobitrate = saturate(decimal(optarg));
            opts->videobitrateText = optarg;
            break;
        case 'p':
            opts->soundbitrate = saturate(decimal(optarg));
            opts->soundbitrateText = optarg;
            break;
        case 'u':
            opts->samplerate = saturate(decimal(optarg));
            opts->samplerateText = optarg;
            break;
        case 'w':
            opts->preview_disable = 1;
            break;
        case 'I': {
            long in = decimal(optarg);
            if (in < 1 || in > static_cast<long>(std::size(kInputs))) {
                std::fputs("Unknown video input\n", stderr);
                Options_usage(stderr);
                return 1;
            }
            opts->video_input = kInputs[in - 1];
            break;
        }
        case 'l':
            opts->linein = 1;
            break;
        case 'k':
            opts->keyboard = 1;
            break;
        case 't':
            opts->time = saturate(decimal(optarg));
            break;
        case 'h':
            Options_usage(stderr);
            return 0;
        default:
            Options_usage(stderr);
            return 1;
        }
    }

    if (opts->video_input == 4) {
        int derived = inputForStandard(opts->display_standard);
        if (derived < 0) {
            std::fputs("Unknown display standard\n", stderr);
            Options_usage(stderr);
            return 1;
        }
        opts->video_input = derived;
    }

    // One audio thread takes part in the start-up; AAC and MP3 are alternatives.
    if (opts->audiofile != nullptr && opts->speechfile != nullptr) {
        std::fputs("Error: -a (AAC audio) and -s (MP3 audio) cannot be used together\n", stderr);
        return 1;
    }
    std::fflush(stdout);
    return -1;
}
