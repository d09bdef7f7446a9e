// Command-line parsing: defaults, every option in both forms, console lines (GB2312 where the
// appliance prints Chinese), the usage text and each option error with its message and status.
#include "encode/app/options.h"
#include "encode/codec/engine.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int result = 0;
    LaunchOptions opts;
    DestinationPorts ports;
    std::string out;
    std::string err;
    std::shared_ptr<std::vector<std::string>> args; // the option texts point into these
};

Parsed parse(std::initializer_list<const char *> args)
{
    Parsed p;
    p.args = std::make_shared<std::vector<std::string>>();
    std::vector<std::string> &store = *p.args;
    store.emplace_back("encode");
    for (const char *a : args) {
        store.emplace_back(a);
    }
    std::vector<char *> argv;
    for (std::string &s : store) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.result = Options_parse(static_cast<int>(store.size()), argv.data(), &p.opts, &p.ports);
    std::fflush(stdout);
    p.err = testing::internal::GetCapturedStderr();
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

std::string toGb2312(const std::string &utf8)
{
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = utf8;
    std::string out(in.size() * 2 + 4, '\0');
    char *ip = in.data();
    char *op = out.data();
    size_t il = in.size();
    size_t ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

std::string usage()
{
    std::string text;
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    Options_usage(f);
    std::fclose(f);
    text.assign(buf, len);
    std::free(buf);
    return text;
}

TEST(OptionsTest, DefaultsWithoutOptions)
{
    Parsed p = parse({});
    EXPECT_EQ(p.result, Options_CONTINUE);
    EXPECT_EQ(p.opts.display_standard, 25);
    EXPECT_STREQ(p.opts.standardName, "720P 60Hz");
    EXPECT_EQ(p.opts.linein, 1);
    EXPECT_EQ(p.opts.video_input, 2); // derived from 720P
    EXPECT_EQ(p.opts.videofile, nullptr);
    EXPECT_EQ(p.opts.audiofile, nullptr);
    EXPECT_EQ(p.opts.speechfile, nullptr);
    EXPECT_EQ(p.opts.width, 0);
    EXPECT_EQ(p.opts.videobitrate, -1);
    EXPECT_EQ(p.opts.soundbitrate, 96000);
    EXPECT_EQ(p.opts.samplerate, 44100);
    EXPECT_EQ(p.opts.keyboard, 0);
    EXPECT_EQ(p.opts.time, -1);
    EXPECT_EQ(p.opts.preview_disable, 1);
    EXPECT_EQ(p.opts.write_disable, 0);
    EXPECT_STREQ(p.opts.ipaddr, "");
    EXPECT_EQ(p.opts.framerate, 0);
    EXPECT_EQ(p.ports.port1, 0);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
}

TEST(OptionsTest, ShortAndLongFormsSetTheSameFields)
{
    Parsed s = parse({"-z", "10.1.2.3", "-c", "1234", "-d", "10.1.2.4", "-m", "40000", "-e", "10.1.2.255", "-n",
                      "65535", "-f", "25", "-i", "50", "-v", "/tmp/a.264", "-a", "/tmp/a.aac", "-y", "8", "-r",
                      "1280x720", "-b", "4000000", "-p", "128000", "-u", "48000", "-w", "-I", "1", "-l", "-k", "-t",
                      "10"});
    Parsed l = parse({"--ipaddr", "10.1.2.3", "--port", "1234", "--ipdaddr", "10.1.2.4", "--dport", "40000",
                      "--ipeaddr", "10.1.2.255", "--eport", "65535", "--framerate", "25", "--Intraframeinterval", "50",
                      "--videofile", "/tmp/a.264", "--audiofile", "/tmp/a.aac", "--display_standard", "8",
                      "--resolution", "1280x720", "--videobitrate", "4000000", "--soundbitrate", "128000",
                      "--samplerate", "48000", "--preview_disable", "--video_input", "1", "--linein", "--keyboard",
                      "--time", "10"});
    for (const Parsed *p : {&s, &l}) {
        EXPECT_EQ(p->result, Options_CONTINUE) << p->err;
        EXPECT_STREQ(p->opts.ipaddr, "10.1.2.3");
        EXPECT_STREQ(p->opts.ipdaddr, "10.1.2.4");
        EXPECT_STREQ(p->opts.ipeaddr, "10.1.2.255");
        EXPECT_EQ(p->ports.port1, 1234);
        EXPECT_EQ(p->ports.port2, 40000); // the upper half of the port range works
        EXPECT_EQ(p->ports.port3, 65535);
        EXPECT_EQ(p->opts.framerate, 25000);
        EXPECT_EQ(p->opts.Intraframeinterval, 50);
        EXPECT_STREQ(p->opts.videofile, "/tmp/a.264");
        ASSERT_NE(p->opts.videoCodec, nullptr);
        EXPECT_STREQ(p->opts.videoCodec->name, "h264enc");
        ASSERT_NE(p->opts.audioCodec, nullptr);
        EXPECT_STREQ(p->opts.audioCodec->name, "aacenc");
        EXPECT_EQ(p->opts.display_standard, 35);
        EXPECT_STREQ(p->opts.standardName, "1080P 50Hz");
        EXPECT_EQ(p->opts.width, 1280);
        EXPECT_EQ(p->opts.height, 720);
        EXPECT_EQ(p->opts.videobitrate, 4000000);
        EXPECT_STREQ(p->opts.videobitrateText, "4000000");
        EXPECT_EQ(p->opts.soundbitrate, 128000);
        EXPECT_STREQ(p->opts.soundbitrateText, "128000");
        EXPECT_EQ(p->opts.samplerate, 48000);
        EXPECT_STREQ(p->opts.samplerateText, "48000");
        EXPECT_EQ(p->opts.video_input, 1);
        EXPECT_EQ(p->opts.keyboard, 1);
        EXPECT_EQ(p->opts.time, 10);
    }
    EXPECT_EQ(s.out, l.out);
}

TEST(OptionsTest, ConsoleLinesInGb2312)
{
    Parsed p = parse({"-z", "192.168.1.20 trailing", "-c", "1234", "-d", "10.0.0.2", "-m", "5000", "-e",
                      "10.0.0.3", "-n", "6000", "-f", "30", "-i", "60"});
    ASSERT_EQ(p.result, Options_CONTINUE);
    EXPECT_STREQ(p.opts.ipaddr, "192.168.1.20");
    std::string expected = toGb2312("TS流接收端：ip = 192.168.1.20, len = 12\n") + toGb2312("TS流接收端端口：1234\n") +
                           "TS send d ip = 10.0.0.2, len = 8\n" + "TS send 2 ip port 5000\n" +
                           "TS send e ip = 10.0.0.3, len = 8\n" + "TS send 3 ip port 6000\n" +
                           toGb2312("帧率设置：30000\n") + toGb2312("I帧间隔值：60\n");
    EXPECT_EQ(p.out, expected);
    EXPECT_EQ(p.opts.framerate, 30000);
    // The frame-rate line as raw bytes, independent of iconv.
    EXPECT_NE(p.out.find("\xD6\xA1\xC2\xCA\xC9\xE8\xD6\xC3\xA3\xBA" "30000\n"), std::string::npos);
}

TEST(OptionsTest, AddressLongerThanADottedQuadIsNotTruncated)
{
    Parsed p = parse({"-z", "192.168.100.2001"});
    ASSERT_EQ(p.result, Options_CONTINUE);
    EXPECT_STREQ(p.opts.ipaddr, "");
    EXPECT_NE(p.out.find("ip = 192.168.100.2001, len = 16\n"), std::string::npos);
}

TEST(OptionsTest, StandardsAndInputs)
{
    struct Case {
        const char *y;
        int number;
        const char *name;
        int input; // derived when -I is absent; -1: refused
    } cases[] = {
        {"0", 0, "720P 60Hz", -1},     {"1", 21, "D1 NTSC", 1},       {"2", 22, "D1 PAL", 1},
        {"3", 25, "720P 60Hz", 2},     {"4", 36, "1080I 60Hz", -1},   {"5", 28, "1080I 30Hz", 3},
        {"6", 34, "1080P 60Hz", 3},    {"7", 30, "1080P 30Hz", -1},   {"8", 35, "1080P 50Hz", 3},
    };
    for (const Case &c : cases) {
        Parsed p = parse({"-y", c.y});
        if (c.input < 0) {
            EXPECT_EQ(p.result, 1) << c.y;
            EXPECT_EQ(p.err, "Unknown display standard\n" + usage()) << c.y;
        } else {
            EXPECT_EQ(p.result, Options_CONTINUE) << c.y;
            EXPECT_EQ(p.opts.video_input, c.input) << c.y;
        }
        Parsed with = parse({"-y", c.y, "-I", "3"});
        EXPECT_EQ(with.result, Options_CONTINUE) << c.y;
        EXPECT_EQ(with.opts.display_standard, c.number);
        EXPECT_STREQ(with.opts.standardName, c.name);
        EXPECT_EQ(with.opts.video_input, 2);
    }
    const int inputs[] = {1, 0, 2, 3};
    for (int i = 1; i <= 4; i++) {
        std::string v = std::to_string(i);
        EXPECT_EQ(parse({"-y", "7", "-I", v.c_str()}).opts.video_input, inputs[i - 1]);
    }
}

TEST(OptionsTest, OptionErrors)
{
    struct Case {
        std::initializer_list<const char *> args;
        std::string err;
    } cases[] = {
        {{"-y", "9"}, "Unknown display standard\n" + usage()},
        {{"-y", "-1"}, "Unknown display standard\n" + usage()},
        {{"-I", "0"}, "Unknown video input\n" + usage()},
        {{"-I", "5"}, "Unknown video input\n" + usage()},
        {{"-i", "0"}, "Invalid I-frame interval supplied (0), must be 1 or more\n" + usage()},
        {{"-i", "abc"}, "Invalid I-frame interval supplied (abc), must be 1 or more\n" + usage()},
        {{"-i", "-30"}, "Invalid I-frame interval supplied (-30), must be 1 or more\n" + usage()},
        {{"-r", "big"}, "Invalid resolution supplied (big)\n" + usage()},
        {{"-r", "1921x1080"}, "Video resolution must be between 2x2 and 1920x1080\n"},
        {{"-r", "1920x1081"}, "Video resolution must be between 2x2 and 1920x1080\n"},
        {{"-r", "1x100"}, "Video resolution must be between 2x2 and 1920x1080\n"},
        {{"-s", "speech"}, "Speech file without extension: speech\n"},
        {{"-v", "video"}, "Video file without extension: video\n"},
        {{"-a", "audio"}, "Audio file without extension: audio\n"},
        {{"-s", "a.wav"}, "Unknown speech file extension: .wav\n"},
        {{"-a", "a.mp3"}, "Unknown audio file extension: .mp3\n"},
        {{"-v", "a.h264"}, "Unknown video file extension: .h264\n"},
        {{"-a", "a.aac", "-s", "a.mp3"}, "Error: -a (AAC audio) and -s (MP3 audio) cannot be used together\n"},
        {{"-c", "70000"}, "Error: UDP port out of range (70000), must be 0 to 65535\n"},
        {{"-n", "-1"}, "Error: UDP port out of range (-1), must be 0 to 65535\n"},
    };
    for (const Case &c : cases) {
        std::vector<const char *> a(c.args);
        Parsed p = parse(c.args);
        EXPECT_EQ(p.result, 1) << a[0] << " " << a[1];
        EXPECT_EQ(p.err, c.err) << a[0] << " " << a[1];
    }

    Parsed unknown = parse({"-x"});
    EXPECT_EQ(unknown.result, 1);
    EXPECT_NE(unknown.err.find(usage()), std::string::npos);
    Parsed missing = parse({"-v"});
    EXPECT_EQ(missing.result, 1);
    EXPECT_NE(missing.err.find(usage()), std::string::npos);
}

TEST(OptionsTest, AcceptedEdgesAndCodecChoice)
{
    Parsed big = parse({"-r", "1920x1080"});
    EXPECT_EQ(big.result, -1);
    EXPECT_EQ(big.opts.width, 1920);
    EXPECT_EQ(big.opts.height, 1080);
    EXPECT_EQ(parse({"-r", "2x2"}).result, -1);

    EXPECT_STREQ(parse({"-v", "x.m4v"}).opts.videoCodec->name, "mpeg4enc");
    EXPECT_STREQ(parse({"-v", "x.mpeg2"}).opts.videoCodec->name, "mpeg2enc");
    EXPECT_STREQ(parse({"-v", "dir.d/x.264"}).opts.videoCodec->name, "h264enc");
    Parsed mp3 = parse({"-s", "/tmp/s.mp3"});
    EXPECT_EQ(mp3.result, -1);
    EXPECT_STREQ(mp3.opts.speechCodec->name, "mp3enc");
    EXPECT_STREQ(mp3.opts.speechfile, "/tmp/s.mp3");

    // Numbers are read without an error check, as the start script has always passed them.
    Parsed loose = parse({"-b", "12abc", "-t", "x"});
    EXPECT_EQ(loose.opts.videobitrate, 12);
    EXPECT_EQ(loose.opts.time, 0);
}

TEST(OptionsTest, HelpPrintsTheUsageTextAndEndsWithZero)
{
    Parsed p = parse({"-h"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.err, usage());
    EXPECT_EQ(parse({"--help"}).result, 0);

    std::string u = usage();
    EXPECT_EQ(u.rfind("Usage: encode [options]\n", 0), 0u);
    for (const char *line : {
             "-s | --speechfile       Speech file to record to\n",
             "-a | --audiofile        Audio file to play\n",
             "-v | --videofile        Video file to record to\n",
             "-y | --display_standard Video standard to use for display (see below).\n",
             "-r | --resolution       Video resolution ('width'x'height')\n",
             "-b | --videobitrate     Bit rate to encode video at [variable]\n",
             "-p | --soundbitrate     Bit rate to encode audio at [96000]\n",
             "-u | --samplerate       Sample rate to encode audio at [16000]\n",
             "-w | --preview_disable  Disable preview [preview enabled]\n",
             "-f | --write_disable    Disable recording of encoded file [enabled]\n",
             "-I | --video_input      Video input source [video standard default]\n",
             "-l | --linein           Use linein as sound input instead of mic \n",
             "-k | --keyboard         Enable keyboard interface [off]\n",
             "-t | --time             Number of seconds to run the demo [infinite]\n",
             "-h | --help             Print this message\n",
             "Video standards available\n",
             "Video inputs available:\n",
             "You must supply at least a video or a speech file or both\nwith appropriate extensions for the file formats.\n",
         }) {
        EXPECT_NE(u.find(line), std::string::npos) << line;
    }
}

} // namespace

// The frame rate is clamped before it becomes thousandths: no -f value overflows (the sanitizer build
// runs this), and the product stays the frame rate the user meant where it fits.
TEST(OptionsTest, HugeFrameRatesSaturateWithoutOverflow)
{
    Parsed p = parse({"-f", "10000000000000000"});
    EXPECT_EQ(p.result, Options_CONTINUE);
    EXPECT_EQ(p.opts.framerate, 2147483000);
    p = parse({"-f", "-10000000000000000"});
    EXPECT_EQ(p.opts.framerate, -2147483000);
    p = parse({"-f", "2147484"}); // the first value whose product would not fit
    EXPECT_EQ(p.opts.framerate, 2147483000);
    p = parse({"-f", "60"});
    EXPECT_EQ(p.opts.framerate, 60000);
}
