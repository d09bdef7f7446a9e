#include "encode/core/config_store.h"
#include "tests/support/temp_root.h"

#include <array>

TEST(ConfigFlag, MissingEmptyAndFirstByteRule)
{
    TempRoot root;
    EXPECT_EQ(Config_readFlag("/mnt/ts.ini").state, FileState::Missing);
    root.write("/mnt/ts.ini", "");
    EXPECT_EQ(Config_readFlag("/mnt/ts.ini").state, FileState::Empty);
    EXPECT_FALSE(Config_readFlag("/mnt/ts.ini").on());
    for (const char *on : {"1", "1\n", "10"}) {
        root.write("/mnt/ts.ini", on);
        EXPECT_TRUE(Config_readFlag("/mnt/ts.ini").on()) << on;
        EXPECT_EQ(Config_readFlag("/mnt/ts.ini").digit(), 1);
    }
    for (const char *off : {"0", "0\n", "x", "01"}) {
        root.write("/mnt/ts.ini", off);
        EXPECT_FALSE(Config_readFlag("/mnt/ts.ini").on()) << off;
    }
}

TEST(ConfigDigits, TtlThreePositions)
{
    TempRoot root;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Config_readTtl(), 0);
    root.write("/mnt/ttl.ini", "");
    EXPECT_EQ(Config_readTtl(), 0);
    root.write("/mnt/ttl.ini", "64");
    EXPECT_EQ(Config_readTtl(), 64);
    root.write("/mnt/ttl.ini", "128");
    EXPECT_EQ(Config_readTtl(), 128);
    root.write("/mnt/ttl.ini", "7\n");
    EXPECT_EQ(Config_readTtl(), 7);
    root.write("/mnt/ttl.ini", "a12");
    EXPECT_EQ(Config_readTtl(), 0);
    root.write("/mnt/ttl.ini", "2551234");
    EXPECT_EQ(Config_readTtl(), 255);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "no ttl.ini, so use default\nno ttl.ini, so use default\nttl.ini read=64\nttl.ini read=128\n"
              "ttl.ini read=7\nttl.ini read=0\nttl.ini read=255\n");
}

TEST(ConfigDigits, MaxDelayAndBufferCount)
{
    TempRoot root;
    EXPECT_EQ(Config_readMaxDelayMs(), 1000);
    EXPECT_EQ(Config_readBufferCount(), 3);
    struct Case {
        const char *text;
        int delay;
        int buffers;
    };
    for (Case c : std::array<Case, 9>{{{"5\n", 500, 2},
                                       {"3", 300, 2},
                                       {"10\n", 1000, 3},
                                       {"25\n", 2500, 3},
                                       {"30", 3000, 3},
                                       {"300\n", 3000, 3},
                                       {"0\n", 1000, 3},
                                       {"6", 600, 3},
                                       {"x\n", 1000, 3}}}) {
        root.write("/mnt/kavex_maxdelay.ini", c.text);
        EXPECT_EQ(Config_readMaxDelayMs(), c.delay) << c.text;
        EXPECT_EQ(Config_readBufferCount(), c.buffers) << c.text;
    }
}

TEST(ConfigDigits, EncLevelAndAudioDelay)
{
    TempRoot root;
    EXPECT_EQ(Config_readEncLevel(), 40);
    for (auto [text, level] : std::array<std::pair<const char *, int>, 6>{
             {{"9\n", 9}, {"31\n", 31}, {"0\n", 40}, {"3x", 40}, {"5\n", 40}, {"52\n", 52}}}) {
        root.write("/mnt/kavex_encLevel.ini", text);
        EXPECT_EQ(Config_readEncLevel(), level) << text;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(Config_readAudioDelay(4), 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "no time.ini\n");
    root.write("/mnt/time.ini", "15");
    EXPECT_EQ(Config_readAudioDelay(4), 15);
    root.write("/mnt/time.ini", "7");
    EXPECT_EQ(Config_readAudioDelay(4), 7);
    root.write("/mnt/time.ini", "7\n");
    EXPECT_EQ(Config_readAudioDelay(4), 7);
    root.write("/mnt/time.ini", "q5");
    EXPECT_EQ(Config_readAudioDelay(4), 0);
}

TEST(ConfigRecord, LimitsShortAndGarbage)
{
    TempRoot root;
    std::array<int, 7> f = {0, 640, 480, 800000, 25, 100, 100};
    EXPECT_EQ(Config_readRecord("/mnt/kavex_rs.ini", f, kRecordLimitSecondStream), -1);
    root.write("/mnt/kavex_rs.ini", "1 320 240");
    EXPECT_EQ(Config_readRecord("/mnt/kavex_rs.ini", f, kRecordLimitSecondStream), 3);
    EXPECT_EQ(f, (std::array<int, 7>{1, 320, 240, 800000, 25, 100, 100}));
    root.write("/mnt/kavex_rs.ini", "1 abc 5");
    EXPECT_EQ(Config_readRecord("/mnt/kavex_rs.ini", f, kRecordLimitSecondStream), 1);
    // The byte limit cuts the record: only what lies inside the first 5 bytes is parsed.
    std::array<int, 2> fmt = {-7, -7};
    root.write("/mnt/format.ini", "1 23456");
    EXPECT_EQ(Config_readRecord("/mnt/format.ini", fmt, kRecordLimitFormat), 2);
    EXPECT_EQ(fmt, (std::array<int, 2>{1, 234}));
    // An oversize file of digits saturates instead of overflowing.
    root.write("/mnt/color.ini", std::string(4096, '9'));
    std::array<int, 6> color = {};
    EXPECT_EQ(Config_readRecord("/mnt/color.ini", color, kRecordLimitColor), 1);
    EXPECT_EQ(color[0], 2147483647);
    root.write("/mnt/m.ini", "-5 +7");
    std::array<int, 2> m = {};
    EXPECT_EQ(Config_readRecord("/mnt/m.ini", m, kRecordLimitMask), 2);
    EXPECT_EQ(m, (std::array<int, 2>{-5, 7}));
}

TEST(ConfigRecord, WriteAndReplaceField)
{
    TempRoot root;
    std::array<int, 3> f = {1, 22, 333};
    EXPECT_EQ(Config_writeRecord("/mnt/kavex_rsc.ini", f), 0);
    EXPECT_EQ(root.read("/mnt/kavex_rsc.ini"), "1 22 333");
    EXPECT_EQ(root.read("/tmp/shell.log"), "sync\n");
    root.write("/mnt/m.ini", "0 16 16 160 96 0 16 16 160 96");
    EXPECT_EQ(Config_replaceField("/mnt/m.ini", 2, "32", kRecordLimitMask), 0);
    EXPECT_EQ(root.read("/mnt/m.ini"), "0 32 16 160 96 0 16 16 160 96");
    EXPECT_EQ(Config_replaceFieldText("1 2", 4, "9"), "1 2 0 9");
    EXPECT_EQ(Config_replaceField("/mnt/none.ini", 1, "1", kRecordLimitMask), -1);
    EXPECT_FALSE(root.exists("/mnt/none.ini"));
    EXPECT_EQ(Config_writeRecord("/mnt/nodir/x.ini", f), -1);
}

TEST(ConfigStore, TypedNumbersAreDigitsOnly)
{
    long long v = -1;
    EXPECT_TRUE(Config_parseDecimal("0042", false, 9, v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(Config_parseDecimal("-17", true, 9, v));
    EXPECT_EQ(v, -17);
    v = 5;
    for (const char *bad : {"", "-", "+", "-17", "12a", " 1", "1 ", "1;reboot", "0x10", "1234567890"}) {
        EXPECT_FALSE(Config_parseDecimal(bad, false, 9, v)) << bad;
    }
    EXPECT_EQ(v, 5);
    EXPECT_FALSE(Config_parseDecimal("+-1", true, 9, v));
    EXPECT_TRUE(Config_parseDecimal("999999999999999999999", false, 30, v) == false);

    TempRoot root;
    EXPECT_FALSE(Config_exists("/mnt/ra101.ini"));
    root.write("/mnt/ra101.ini", "");
    EXPECT_TRUE(Config_exists("/mnt/ra101.ini"));
    Config_syncTwice();
    EXPECT_EQ(root.read("/tmp/shell.log"), "sync\nsync\n");
}

TEST(ConfigStore, FactoryRootHoldsEveryFile)
{
    TempRoot root(true);
    for (const char *f : {"/mnt/ts.ini", "/mnt/httpts.ini", "/mnt/tsf.ini", "/mnt/tcp.ini", "/mnt/rtsp.ini",
                          "/mnt/rtsporrtmp.ini", "/mnt/rtmpv.ini", "/mnt/ttl.ini", "/mnt/ha.ini", "/mnt/has.ini",
                          "/mnt/time.ini", "/mnt/kavex_rs.ini", "/mnt/kavex_rsc.ini", "/mnt/kavex_maxdelay.ini",
                          "/mnt/kavex_encProfileIdc.ini", "/mnt/kavex_encQuality.ini", "/mnt/kavex_encLevel.ini",
                          "/mnt/kavex_slice.ini", "/mnt/cvbr.ini", "/mnt/idr.ini", "/mnt/m.ini", "/mnt/zk.ini",
                          "/mnt/zkcolor.ini", "/mnt/zhiti.ini", "/mnt/color.ini", "/mnt/format.ini", "/mnt/qiehuan",
                          "/mnt/config.ini", "/mnt/config.dvi.ini", "/mnt/autorun.sh", "/mnt/autorun.sh.h264.aac.org",
                          "/mnt/autorun.sh.h264.mp3.org", "/mnt/asound.state", "/mnt/mac.sh", "/mnt/wifi/ifwifi",
                          "/mnt/wifi/wpa.conf", "/mnt/wifi/wifi_ip.conf", "/mnt/fn.sh", "/mnt/dfc/kavex_rs.ini",
                          "/mnt/dfc/config.ini", "/mnt/dfc/config.dvi.ini", "/mnt/dfc/ts.ini"}) {
        EXPECT_TRUE(root.exists(f)) << f;
    }
    EXPECT_TRUE(std::filesystem::is_directory(root.path("/mnt/usb/record")));
    EXPECT_TRUE(std::filesystem::is_directory(root.path("/dev/shm")));
    EXPECT_FALSE(root.exists("/mnt/dfc/autorun.sh"));

    // The start script: variable block, then a body that begins with "end" inside the first 300 bytes.
    std::string script = root.read("/mnt/autorun.sh");
    size_t end = script.find("end");
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(end, 300u);
    EXPECT_GE(script.size(), 300u);
    EXPECT_NE(script.find("url=rtmp://192.168."), std::string::npos);
    EXPECT_NE(script.find("/live/kavex\n"), std::string::npos);

    // The timing table: formats 1 to 41 in order, "F,V,H" each.
    std::istringstream table(root.read("/mnt/config.ini"));
    std::string line;
    int expect = 1;
    while (std::getline(table, line)) {
        EXPECT_EQ(line.substr(0, line.find(',')), std::to_string(expect)) << line;
        expect++;
    }
    EXPECT_EQ(expect, 42);

    std::array<int, 11> rs = {};
    EXPECT_EQ(Config_readRecord("/mnt/kavex_rs.ini", rs, kRecordLimitSecondStream), 11);
}
