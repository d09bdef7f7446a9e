// The audio thread's start-up readings of the configuration store: the input choice with its HDMI
// mode and rate, and the frame delay, with the lines printed for each file state.
#include "encode/audio/audio_input.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Files {
    const char *ha;  // null: no file
    const char *has;
    const char *tmpHa;
};

struct InputCase {
    Files files;
    bool hdmi;
    int mode;
    int rate;
    const char *printed;
};

TEST(AudioInputTest, InputChoiceModeAndRateFollowTheFiles)
{
    const InputCase cases[] = {
        {{nullptr, "0", "2"}, false, AudioHdmi_DETECT, 44100, "no ha.ini\n"},
        {{"", "0", "2"}, false, AudioHdmi_DETECT, 44100, "no ha.ini\n"},
        {{"0", "0", "2"}, false, AudioHdmi_DETECT, 44100, "ha.ini read=0\n>>>>>>>>>>>3.5 audio select\n"},
        {{"10", "0", "2"}, true, AudioHdmi_MONO, 48000, "ha.ini read=1\n>>>>>>>>>>>hdmi audio select\n"},
        {{"1", "1", "1"}, true, AudioHdmi_RIGHT_TO_LEFT, 44100, "ha.ini read=1\n>>>>>>>>>>>hdmi audio select\n"},
        {{"1", "2", "3"}, true, AudioHdmi_LEFT_TO_RIGHT, 32000, "ha.ini read=1\n>>>>>>>>>>>hdmi audio select\n"},
        {{"1", "4", "9"}, true, AudioHdmi_DETECT, 44100, "ha.ini read=1\n>>>>>>>>>>>hdmi audio select\n"},
        {{"1", nullptr, nullptr}, true, AudioHdmi_DETECT, 44100,
         "ha.ini read=1\n>>>>>>>>>>>hdmi audio select\nno has.ini\nno ha.ini\n"},
        {{"1", "", ""}, true, AudioHdmi_DETECT, 44100,
         "ha.ini read=1\n>>>>>>>>>>>hdmi audio select\nno has.ini\nno ha.ini\n"},
        {{"2", "0", "2"}, false, AudioHdmi_DETECT, 44100, "ha.ini read=2\n>>>>>>>>>>>3.5 audio select\n"},
    };
    for (const InputCase &c : cases) {
        TempRoot root;
        if (c.files.ha != nullptr) {
            root.write("/mnt/ha.ini", c.files.ha);
        }
        if (c.files.has != nullptr) {
            root.write("/mnt/has.ini", c.files.has);
        }
        if (c.files.tmpHa != nullptr) {
            root.write("/tmp/ha", c.files.tmpHa);
        }
        testing::internal::CaptureStdout();
        AudioInput in = AudioInput_read(44100);
        std::string out = testing::internal::GetCapturedStdout();
        std::string label = std::string("ha=") + (c.files.ha ? c.files.ha : "-") + " has=" +
                            (c.files.has ? c.files.has : "-") + " tmp/ha=" + (c.files.tmpHa ? c.files.tmpHa : "-");
        EXPECT_EQ(in.hdmi, c.hdmi) << label;
        EXPECT_EQ(in.mode, c.mode) << label;
        EXPECT_EQ(in.sampleRate, c.rate) << label;
        EXPECT_EQ(out, c.printed) << label;
    }
}

TEST(AudioInputTest, DelayInTensOfMillisecondsFromTimeIni)
{
    const std::pair<const char *, int> cases[] = {
        {"15", 15}, {"7", 7}, {"7x", 7}, {"0", 0}, {"x5", 0}, {"99", 99}, {"150", 15}, {"05", 5},
    };
    for (const auto &[text, delay] : cases) {
        TempRoot root;
        root.write("/mnt/time.ini", text);
        testing::internal::CaptureStdout();
        EXPECT_EQ(AudioInput_readDelay(), delay) << text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << text;
    }
    for (const char *missing : {static_cast<const char *>(nullptr), ""}) {
        TempRoot root;
        if (missing != nullptr) {
            root.write("/mnt/time.ini", missing);
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(AudioInput_readDelay(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "no time.ini\n");
    }
}

TEST(AudioInputTest, HdmiRateDigits)
{
    EXPECT_EQ(AudioInput_hdmiRate('1'), 44100);
    EXPECT_EQ(AudioInput_hdmiRate('2'), 48000);
    EXPECT_EQ(AudioInput_hdmiRate('3'), 32000);
    EXPECT_EQ(AudioInput_hdmiRate('0'), 0);
    EXPECT_EQ(AudioInput_hdmiRate('4'), 0);
}

} // namespace
