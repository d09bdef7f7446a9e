// Command-line parsing of the encoder. Runs once in the main thread before any stage thread exists;
// prints its console lines on standard output and its errors (with the usage text where due) on
// standard error. The option and standard tables are data, not chains of ifs.
#include "encode/app/options.h"

#include "encode/core/console_text.h"
#include "encode/device/capture_format.h"
#include "encode/codec/engine.h"
#include "encode/media/videostd.h"

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
    {VideoStd_AUTO, nullptr},
    {VideoStd_D1_NTSC, "D1 NTSC"},
    {VideoStd_D1_PAL, "D1 PAL"},
    {VideoStd_720P_60, "720P 60Hz"},
    {VideoStd_1080I_60, "1080I 60Hz"},
    {VideoStd_1080I_30, "1080I 30Hz"},
    {VideoStd_1080P_60, "1080P 60Hz"},
    {VideoStd_1080P_30, "1080P 30Hz"},
    {VideoStd_1080P_50, "1080P 50Hz"},
};

// -I value 1..4 -> stored capture input.
const int kInputs[] = {Capture_Input_COMPOSITE, Capture_Input_SVIDEO, Capture_Input_COMPONENT,
                       Capture_Input_CAMERA};

// The input a standard implies when -I is not given; Capture_Input_NONE where none is known.
int inputForStandard(int standard)
{
    switch (standard) {
    case VideoStd_1080I_30:
    case VideoStd_1080P_60:
    case VideoStd_1080P_50:
        return Capture_Input_CAMERA;
    case VideoStd_720P_60:
        return Capture_Input_COMPONENT;
    case VideoStd_D1_NTSC:
    case VideoStd_D1_PAL:
        return Capture_Input_COMPOSITE;
    default:
        return Capture_Input_NONE;
    }
}

constexpr int kMinWidth = 2;
constexpr int kMinHeight = 2;
constexpr int kMaxWidth = 1920;
constexpr int kMaxHeight = 1080;
constexpr long kMaxPort = 65535;
constexpr int kMinIntraInterval = 1;
// -f in frames per second, bounded so that the value in thousandths fits an int.
constexpr long kMinFramerate = INT_MIN / 1000;
constexpr long kMaxFramerate = INT_MAX / 1000;

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

int saturate(long v, long low = INT_MIN, long high = INT_MAX)
{
    if (v > high) {
        return static_cast<int>(high);
    }
    if (v < low) {
        return static_cast<int>(low);
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

namespace {

// What one option does with its argument. False ends the parsing with status 1 (the handler printed
// its message, and the usage text where due).
struct ParseState {
    LaunchOptions *opts;
    DestinationPorts *ports;
    bool help = false;
};
using OptionHandler = bool (*)(ParseState &st, const char *arg);

bool optIpaddr(ParseState &st, const char *arg)
{
    takeAddress(arg, st.opts->ipaddr, ConsoleText::kTsReceiverIp);
    return true;
}

bool optIpdaddr(ParseState &st, const char *arg)
{
    takeAddress(arg, st.opts->ipdaddr, "TS send d ip = %s, len = %d\n");
    return true;
}

bool optIpeaddr(ParseState &st, const char *arg)
{
    takeAddress(arg, st.opts->ipeaddr, "TS send e ip = %s, len = %d\n");
    return true;
}

bool optPort(ParseState &st, const char *arg)
{
    if (!takePort(arg, st.ports->port1)) {
        return false;
    }
    std::printf(ConsoleText::kTsReceiverPort, st.ports->port1);
    return true;
}

bool optDport(ParseState &st, const char *arg)
{
    if (!takePort(arg, st.ports->port2)) {
        return false;
    }
    std::printf("TS send 2 ip port %d\n", st.ports->port2);
    return true;
}

bool optEport(ParseState &st, const char *arg)
{
    if (!takePort(arg, st.ports->port3)) {
        return false;
    }
    std::printf("TS send 3 ip port %d\n", st.ports->port3);
    return true;
}

bool optFramerate(ParseState &st, const char *arg)
{
    // Clamped before the product, so that no value of the option can overflow it.
    st.opts->framerate = saturate(decimal(arg), kMinFramerate, kMaxFramerate) * 1000;
    std::printf(ConsoleText::kFrameRateSet, st.opts->framerate);
    return true;
}

bool optIntra(ParseState &st, const char *arg)
{
    // Without an interval the first picture would be the stream's only IDR, SPS and PPS: a player
    // that joins later would never decode.
    long interval = decimal(arg);
    if (interval < kMinIntraInterval) {
        std::fprintf(stderr, "Invalid I-frame interval supplied (%s), must be %d or more\n", arg, kMinIntraInterval);
        Options_usage(stderr);
        return false;
    }
    st.opts->Intraframeinterval = saturate(interval);
    std::printf(ConsoleText::kIntraInterval, st.opts->Intraframeinterval);
    return true;
}

bool optSpeech(ParseState &st, const char *arg)
{
    return takeFile(arg, kSpeechKind, st.opts->speechfile, st.opts->speechCodec);
}

bool optAudio(ParseState &st, const char *arg)
{
    return takeFile(arg, kAudioKind, st.opts->audiofile, st.opts->audioCodec);
}

bool optVideo(ParseState &st, const char *arg)
{
    return takeFile(arg, kVideoKind, st.opts->videofile, st.opts->videoCodec);
}

bool optStandard(ParseState &st, const char *arg)
{
    long y = decimal(arg);
    if (y < 0 || y >= static_cast<long>(std::size(kStandards))) {
        std::fputs("Unknown display standard\n", stderr);
        Options_usage(stderr);
        return false;
    }
    st.opts->display_standard = kStandards[y].number;
    if (kStandards[y].name != nullptr) {
        st.opts->standardName = kStandards[y].name;
    }
    return true;
}

bool optResolution(ParseState &st, const char *arg)
{
    long w = 0;
    long h = 0;
    if (std::sscanf(arg, "%ldx%ld", &w, &h) != 2) {
        std::fprintf(stderr, "Invalid resolution supplied (%s)\n", arg);
        Options_usage(stderr);
        return false;
    }
    if (w < kMinWidth || h < kMinHeight || w > kMaxWidth || h > kMaxHeight) {
        std::fprintf(stderr, "Video resolution must be between %dx%d and %dx%d\n", kMinWidth, kMinHeight, kMaxWidth,
                     kMaxHeight);
        return false;
    }
    st.opts->width = static_cast<int>(w);
    st.opts->height = static_cast<int>(h);
    return true;
}

bool optVideoBitrate(ParseState &st, const char *arg)
{
    st.opts->videobitrate = saturate(decimal(arg));
    st.opts->videobitrateText = arg;
    return true;
}

bool optSoundBitrate(ParseState &st, const char *arg)
{
    st.opts->soundbitrate = saturate(decimal(arg));
    st.opts->soundbitrateText = arg;
    return true;
}

bool optSamplerate(ParseState &st, const char *arg)
{
    st.opts->samplerate = saturate(decimal(arg));
    st.opts->samplerateText = arg;
    return true;
}

bool optPreviewDisable(ParseState &st, const char *)
{
    st.opts->preview_disable = 1;
    return true;
}

bool optInput(ParseState &st, const char *arg)
{
    long in = decimal(arg);
    if (in < 1 || in > static_cast<long>(std::size(kInputs))) {
        std::fputs("Unknown video input\n", stderr);
        Options_usage(stderr);
        return false;
    }
    st.opts->video_input = kInputs[in - 1];
    return true;
}

bool optLinein(ParseState &st, const char *)
{
    st.opts->linein = 1;
    return true;
}

bool optKeyboard(ParseState &st, const char *)
{
    st.opts->keyboard = 1;
    return true;
}

bool optTime(ParseState &st, const char *arg)
{
    st.opts->time = saturate(decimal(arg));
    return true;
}

bool optHelp(ParseState &st, const char *)
{
    st.help = true;
    return true;
}

struct OptionEntry {
    int letter;
    OptionHandler handler;
};
const OptionEntry kHandlers[] = {
    {'z', optIpaddr},     {'c', optPort},         {'d', optIpdaddr},      {'m', optDport},
    {'e', optIpeaddr},    {'n', optEport},        {'f', optFramerate},    {'i', optIntra},
    {'s', optSpeech},     {'a', optAudio},        {'v', optVideo},        {'y', optStandard},
    {'r', optResolution}, {'b', optVideoBitrate}, {'p', optSoundBitrate}, {'u', optSamplerate},
    {'w', optPreviewDisable}, {'I', optInput},    {'l', optLinein},       {'k', optKeyboard},
    {'t', optTime},       {'h', optHelp},
};

OptionHandler handlerOf(int letter)
{
    for (const OptionEntry &e : kHandlers) {
        if (e.letter == letter) {
            return e.handler;
        }
    }
    return nullptr;
}

// After the last option: the input a standard implies, and the one audio thread a launch may have.
bool settle(LaunchOptions *opts)
{
    if (opts->video_input == LAUNCH_INPUT_DERIVED) {
        int derived = inputForStandard(opts->display_standard);
        if (derived == Capture_Input_NONE) {
            std::fputs("Unknown display standard\n", stderr);
            Options_usage(stderr);
            return false;
        }
        opts->video_input = derived;
    }
    // One audio thread takes part in the start-up; AAC and MP3 are alternatives.
    if (opts->audiofile != nullptr && opts->speechfile != nullptr) {
        std::fputs("Error: -a (AAC audio) and -s (MP3 audio) cannot be used together\n", stderr);
        return false;
    }
    return true;
}

} // namespace

int Options_parse(int argc, char **argv, LaunchOptions *opts, DestinationPorts *ports)
{
    opts->linein = 1;
    opts->preview_disable = 1;
    optind = 0; // full re-initialisation, so that the parser may run more than once in a process

    ParseState st{opts, ports};
    for (;;) {
        int index = 0;
        int c = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
        if (c == -1) {
            break;
        }
        OptionHandler handler = handlerOf(c);
        if (handler == nullptr) {
            Options_usage(stderr);
            return 1;
        }
        if (!handler(st, optarg)) {
            return 1;
        }
        if (st.help) {
            Options_usage(stderr);
            return 0;
        }
    }
    if (!settle(opts)) {
        return 1;
    }
    std::fflush(stdout);
    return Options_CONTINUE;
}
