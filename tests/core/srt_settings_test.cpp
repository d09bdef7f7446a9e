// srt.ini as the encoder reads it: every value rule in one table, and the file's three fates (missing:
// off in silence; bad: one line naming the key and value, off; good: on).
#include "encode/core/srt_settings.h"

#include "tests/core/settings_rules.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const SettingsCase kCases[] = {
    {"enable=1\nmode=caller\nhost=10.0.0.2\nport=9000\n", true, ""},
    {"enable=1\r\nmode=listener\r\nhost=\r\nport=1\r\n", true, ""},
    {"# comment\n\nenable=1\nmode=listener\nport=65535\nlatency=20\npbkeylen=32\n", true, ""},
    {"enable=0\nmode=caller\n", true, ""}, // off: nothing else is needed
    {"enable=1\nmode=caller\nhost=1.2.3.4\nport=5\nlatency=8000\npassphrase=0123456789\nstreamid=#!::r=live\n", true, ""},
    {"enable=2\n", false, "enable=2"},
    {"enable=1\nmode=push\n", false, "mode=push"},
    {"enable=1\nmode=caller\nhost=example.org\nport=9000\n", false, "host=example.org"},
    {"enable=1\nmode=caller\nhost=1.2.3.04\nport=9000\n", false, "host=1.2.3.04"},
    {"enable=1\nmode=caller\nport=9000\n", false, "host="},
    {"enable=1\nmode=listener\n", false, "port="},
    {"port=0\n", false, "port=0"},
    {"port=65536\n", false, "port=65536"},
    {"port=+80\n", false, "port=+80"},
    {"latency=19\n", false, "latency=19"},
    {"latency=8001\n", false, "latency=8001"},
    {"passphrase=012345678\n", false, "passphrase=(9 characters)"},
    {"passphrase=0123456789012345678901234567890123456789012345678901234567890123456789012345678x\n", false,
     "passphrase=(80 characters)"},
    {"passphrase=0123456789\x01\n", false, "passphrase=(11 characters)"},
    {"pbkeylen=20\n", false, "pbkeylen=20"},
    {"colour=blue\n", false, "colour=blue"},
    {"enable\n", false, "enable="},
};

TEST(SrtSettings, EveryValueRule)
{
    expectValueRules<SrtSettings>(kCases, SrtSettings_parse, SrtSettings_format, SrtSettings_EOK, SrtSettings_EINVAL);
    std::string streamId(513, 'a');
    SrtSettings s;
    std::string why;
    EXPECT_EQ(SrtSettings_parse("streamid=" + streamId.substr(1) + "\n", s, why), SrtSettings_EOK);
    EXPECT_EQ(SrtSettings_parse("streamid=" + streamId + "\n", s, why), SrtSettings_EINVAL);
    EXPECT_EQ(SrtSettings_parse("streamid=a\n" + std::string(SRT_SETTINGS_FILE_BYTES, '\n'), s, why),
              SrtSettings_EINVAL);
}

TEST(SrtSettings, MissingIsSilentBadIsOneLine)
{
    TempRoot root;
    SrtSettings s;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SrtSettings_read(s), SrtSettings_EMISSING);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    root.write("/mnt/srt.ini", "enable=1\nmode=caller\nhost=127.0.0.1\nport=9000\nlatency=5\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(SrtSettings_read(s), SrtSettings_EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "srt.ini: bad latency=5 (not 20..8000 ms), srt output off\n");
    EXPECT_FALSE(s.enable);

    root.write("/mnt/srt.ini", "enable=1\nmode=caller\nhost=127.0.0.1\nport=9000\n");
    EXPECT_EQ(SrtSettings_read(s), SrtSettings_EOK);
    EXPECT_TRUE(s.enable);
    EXPECT_EQ(s.latencyMs, 120);
    EXPECT_EQ(s.pbkeylen, 16);
}

} // namespace
