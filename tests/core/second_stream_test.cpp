// The second stream's record as the run takes it: rates the encoder cannot run at turn the stream
// off, a missing intra interval falls back to the default, each with its one line.
#include "encode/core/second_stream.h"
#include "tests/support/temp_root.h"

#include <string>

TEST(SecondStreamRead, UnusableRatesTurnItOffAndNoIntraIntervalFallsBack)
{
    TempRoot root;
    root.write("/mnt/kavex_rsc.ini", "1 1");
    const std::string off = "Warning: second stream turned off: ";
    const std::string intra = "Warning: second stream I-frame interval ";
    struct Case {
        const char *record;
        int enabled;
        int intraInterval;
        std::string err;
    } cases[] = {
        {"1 640 480 800000 25 30 60", 1, 30, ""},
        {"1 640 480 0 25 30 60", 0, 30, off + "bit rate 0 is not 1 to 2147483647\n"},
        {"1 640 480 800000 0 30 60", 0, 30, off + "frame rate 0 is not 1 to 2147483\n"},
        {"1 640 480 800000 2147484 30 60", 0, 30, off + "frame rate 2147484 is not 1 to 2147483\n"},
        {"1 640 480 -5 -1 0 60", 0, 0,
         off + "bit rate -5 is not 1 to 2147483647\n" + off +
             "frame rate -1 is not 1 to 2147483\n"},
        {"1 640 480 800000 25 0 60", 1, 100, intra + "0 is not 1 or more: 100 taken\n"},
        {"0 640 480 0 0 0 0", 0, 0, ""}, // a stream that is off is not judged
    };
    for (const Case &c : cases) {
        root.write("/mnt/kavex_rs.ini", c.record);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        SecondStreamSettings s = SecondStream_read();
        std::string err = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(err, c.err) << c.record;
        EXPECT_EQ(s.enabled, c.enabled) << c.record;
        EXPECT_EQ(SecondStream_get().enabled, c.enabled) << c.record;
        EXPECT_EQ(s.intraInterval, c.intraInterval) << c.record;
        EXPECT_EQ(s.tsCarriesSecond, c.enabled) << c.record; // the routing record is read for a stream that runs
    }
    SecondStream_reset();
}
