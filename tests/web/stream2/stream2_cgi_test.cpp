// The second-stream program run as a CGI in a factory root: whole responses, the two records and the
// recorded shell commands after each request.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"
#include "tests/web/page_script.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kFactoryRs = "0 640 480 800000 25 100 100 10 0 0 40";
const std::string kFactoryRsc = "0 0";

class Stream2Cgi : public ::testing::Test {
protected:
    TempRoot root{true};

    CgiResponse post(const std::vector<CgiField> &fields) { return cgiPostUrl(STREAM2_CGI_BINARY, root.dir(), fields); }
    std::string rs() const { return root.read("/mnt/kavex_rs.ini"); }
    std::string rsc() const { return root.read("/mnt/kavex_rsc.ini"); }
    std::string shellLog() const { return root.exists("/tmp/shell.log") ? root.read("/tmp/shell.log") : ""; }
    static std::string plain(const std::string &body) { return kTextPlain + body; }
    static std::string syncs(int n)
    {
        std::string s;
        for (int i = 0; i < n; i++) {
            s += "sync\n";
        }
        return s;
    }
};

} // namespace

TEST_F(Stream2Cgi, FactoryRootIsAsExpected)
{
    ASSERT_EQ(rs(), kFactoryRs);
    ASSERT_EQ(rsc(), kFactoryRsc);
}

TEST_F(Stream2Cgi, RadiosEnableAndChooseStreams)
{
    CgiResponse r = post({{"sbnt_submit", "ok"}, {"sbnt", "male"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain("second stream enable\nset ok\n"));
    EXPECT_EQ(rs(), "1 640 480 800000 25 100 100 10 0 0 40");
    EXPECT_EQ(shellLog(), syncs(2));

    r = post({{"sbnt_submit", ""}, {"sbnt", "female"}});
    EXPECT_EQ(r.out, plain("second stream disable\nset ok\n"));
    EXPECT_EQ(rs(), kFactoryRs);

    r = post({{"ts_stream_submit", ""}, {"ts_stream", "male"}, {"r_stream_submit", ""}, {"r_stream", "male"}});
    EXPECT_EQ(r.out, plain("ts stream select:second stream\nset ok\nrtsp/rtmp stream select:second stream\nset ok\n"));
    EXPECT_EQ(rsc(), "1 1");
    r = post({{"r_stream_submit", ""}, {"r_stream", "female"}});
    EXPECT_EQ(r.out, plain("rtsp/rtmp stream select:main stream\nset ok\n"));
    EXPECT_EQ(rsc(), "1 0");
    r = post({{"ts_stream_submit", ""}, {"ts_stream", "female"}});
    EXPECT_EQ(r.out, plain("ts stream select:main stream\nset ok\n"));
    EXPECT_EQ(rsc(), "0 0");
    EXPECT_EQ(rs(), kFactoryRs);
    EXPECT_EQ(shellLog(), syncs(12));
}

// A value that is none of a list's choices is refused, never stored as its first choice; a list the
// form did not send is not applied.
TEST_F(Stream2Cgi, ListWithUnknownValueIsRefusedAndWithoutOneIgnored)
{
    using namespace std::string_literals;
    const struct {
        std::vector<CgiField> form;
        std::string answer;
    } cases[] = {
        {{{"sbnt_submit", ""}}, ""},
        {{{"sbnt_submit", ""}, {"sbnt", "amale"}}, "refused sbnt: not one of the offered choices\n"},
        {{{"sbnt_submit", ""}, {"sbnt", "Male"}}, "refused sbnt: not one of the offered choices\n"},
        {{{"sbnt_submit", ""}, {"sbnt", "male\0"s}}, "refused sbnt: not one of the offered choices\n"},
        {{{"ts_stream_submit", ""}, {"ts_stream", "1"}}, "refused ts_stream: not one of the offered choices\n"},
        {{{"s_ctrlcz_submit", ""}, {"s_ctrlcz", "amale"}}, "refused s_ctrlcz: not one of the offered choices\n"},
        {{{"s_codec_submit", ""}, {"s_ctrlbz", "x"}}, "refused s_ctrlbz: not one of the offered choices\n"},
        {{{"s_encst_submit", ""}}, ""},
        {{{"s_encst_submit", ""}, {"s_menu_encst", "51"}}, "refused s_menu_encst: not one of the offered choices\n"},
        {{{"s_encst_submit", ""}, {"s_menu_encst", "9\0"s}}, "refused s_menu_encst: not one of the offered choices\n"},
        {{{"sbnt", "male"}}, ""},
    };
    for (const auto &c : cases) {
        CgiResponse r = post(c.form);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, plain(c.answer)) << c.answer;
    }
    EXPECT_EQ(rs(), kFactoryRs);
    EXPECT_EQ(rsc(), kFactoryRsc);
    EXPECT_EQ(shellLog(), "");
}

TEST_F(Stream2Cgi, TextFieldsStoreTheirField)
{
    CgiResponse r = post({{"l_submit", ""}, {"l", "1280"}, {"w_submit", ""}, {"w", "720"}, {"s_bitrate_submit", ""},
                         {"s_bitrate", "2000000"}, {"s_framerate_submit", ""}, {"s_framerate", "30"},
                         {"s_fi_submit", ""}, {"s_fi", "60"}, {"s_idr_submit", ""}, {"s_idr", "120"},
                         {"s_cvbr_submit", ""}, {"s_cvbr", "5"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain("set length:1280\nset ok\nset width:720\nset ok\nset bitrate:2000000\nset ok\n"
                           "set framerate:30\nset ok\nset i frame:60\nset ok\nset idr frame:120\nset ok\n"
                           "set H264 Max Delay:500 ms\nset ok\n"));
    EXPECT_EQ(rs(), "0 1280 720 2000000 30 60 120 5 0 0 40");
    EXPECT_EQ(shellLog(), syncs(14));

    r = post({{"view_s", ""}});
    EXPECT_NE(r.out.find("H264 Max Delay:500 ms\n"), std::string::npos);
    // No range check: 0 and leading zeros are numbers like any other.
    r = post({{"s_fi_submit", ""}, {"s_fi", "007"}, {"l_submit", ""}, {"l", "0"}});
    EXPECT_EQ(r.out, plain("set length:0\nset ok\nset i frame:007\nset ok\n"));
    EXPECT_EQ(rs(), "0 0 720 2000000 30 7 120 5 0 0 40");
}

TEST_F(Stream2Cgi, BadTextIsRefusedAndChangesNothing)
{
    CgiResponse r = post({{"l_submit", ""}, {"l", std::string(2000, '1')}});
    EXPECT_EQ(r.out, plain("error len"));
    r = post({{"w_submit", ""}, {"w", ""}});
    EXPECT_EQ(r.out, plain("input empty"));
    r = post({{"w_submit", ""}});
    EXPECT_EQ(r.out, plain(""));
    r = post({{"s_bitrate_submit", ""}, {"s_bitrate", std::string("1\0junk", 6)}});
    EXPECT_EQ(r.out, plain("error len")); // never the number before the NUL
    for (const char *bad : {"12a", "-5", "+5", " 5", "1.5", "0x10", "99999999999", "2147483648", "5; reboot"}) {
        r = post({{"s_bitrate_submit", ""}, {"s_bitrate", bad}});
        EXPECT_EQ(r.out, plain(std::string("invalid value:") + bad + " (digits 0-9 only), nothing changed\n")) << bad;
    }
    EXPECT_EQ(rs(), kFactoryRs);
    EXPECT_EQ(shellLog(), "");
    // Line breaks typed into the field are dropped before the number is read.
    r = post({{"s_framerate_submit", ""}, {"s_framerate", "2\r\n5"}});
    EXPECT_EQ(r.out, plain("set framerate:25\nset ok\n"));
    r = post({{"s_bitrate_submit", ""}, {"s_bitrate", "2147483647"}});
    EXPECT_EQ(rs(), "0 640 480 2147483647 25 100 100 10 0 0 40");
}

TEST_F(Stream2Cgi, ProfilePresetAndLevel)
{
    CgiResponse r = post({{"s_codec_submit", ""}, {"s_ctrlbz", "female"}});
    EXPECT_EQ(r.out, plain("set ok\nH264 encode Main Profile select\n"));
    EXPECT_EQ(rs(), "0 640 480 800000 25 100 100 10 1 0 40");
    r = post({{"s_codec_submit", ""}, {"s_ctrlbz", "amale"}});
    EXPECT_EQ(r.out, plain("set ok\nH264 encode Baseline Profile select\n"));
    EXPECT_EQ(rs(), "0 640 480 800000 25 100 100 10 2 0 40");
    r = post({{"view_s", ""}});
    EXPECT_NE(r.out.find("H264 encode BaseLine Profile select\n"), std::string::npos);
    r = post({{"s_codec_submit", ""}, {"s_ctrlbz", "male"}});
    EXPECT_EQ(r.out, plain("set ok\nH264 encode High Profile select\n"));

    r = post({{"s_ctrlcz_submit", ""}, {"s_ctrlcz", "female"}});
    EXPECT_EQ(r.out, plain("set ok\nH264 encode High speed mode select\n"));
    EXPECT_EQ(rs(), "0 640 480 800000 25 100 100 10 0 1 40");
    r = post({{"s_ctrlcz_submit", ""}, {"s_ctrlcz", "male"}});
    EXPECT_EQ(r.out, plain("set ok\nH264 encode High quality mode select\n"));

    r = post({{"s_encst_submit", ""}, {"s_menu_encst", "50"}});
    EXPECT_EQ(r.out, plain("set ok\n"));
    EXPECT_EQ(rs(), "0 640 480 800000 25 100 100 10 0 0 50");
    r = post({{"s_encst_submit", ""}, {"s_menu_encst", "9"}});
    EXPECT_EQ(rs(), "0 640 480 800000 25 100 100 10 0 0 9");
    r = post({{"view_s", ""}});
    EXPECT_NE(r.out.find("H264 encode standard: Level 1.b\n"), std::string::npos);
    r = post({{"s_encst_submit", ""}, {"s_menu_encst", "51"}});
    EXPECT_EQ(rs(), "0 640 480 800000 25 100 100 10 0 0 9");
}

TEST_F(Stream2Cgi, ReportOfTheStoredRecord)
{
    CgiResponse r = post({{"view_s", ""}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain("second stream disable\nLength=640\nwidth=480\nbitrate=800000\nframerate=25\n"
                           "i frame=100\nidr frame=100\nH264 Max Delay:1000 ms\nH264 encode High Profile select\n"
                           "H264 encode High quality mode select\nH264 encode standard: Level 4.0\n"));
    EXPECT_EQ(shellLog(), "");

    root.write("/mnt/kavex_rs.ini", "1 320 240 500000 15 30 60 3 1 1 0");
    r = post({{"view_s", ""}});
    EXPECT_EQ(r.out, plain("second stream enable\nLength=320\nwidth=240\nbitrate=500000\nframerate=15\n"
                           "i frame=30\nidr frame=60\nH264 Max Delay:300 ms\nH264 encode Main Profile select\n"
                           "H264 encode High speed mode select\nH264 encode standard: Level 4.0\n"));
    // An unknown level prints no level line.
    root.write("/mnt/kavex_rs.ini", "1 320 240 500000 15 30 60 3 7 2 33");
    r = post({{"view_s", ""}});
    EXPECT_EQ(r.out, plain("second stream enable\nLength=320\nwidth=240\nbitrate=500000\nframerate=15\n"
                           "i frame=30\nidr frame=60\nH264 Max Delay:300 ms\nH264 encode High Profile select\n"
                           "H264 encode High quality mode select\n"));
    EXPECT_EQ(rs(), "1 320 240 500000 15 30 60 3 7 2 33");
}

TEST_F(Stream2Cgi, ResetRestoresTheFactoryRecord)
{
    root.write("/mnt/kavex_rs.ini", "1 320 240 500000 15 30 60 3 1 1 12");
    CgiResponse r = post({{"view_s", ""}, {"s_resetencst", ""}});
    EXPECT_EQ(r.out, plain("H264 encode standard: Level 4.0\nrecover ok"
                           "second stream disable\nLength=640\nwidth=480\nbitrate=800000\nframerate=25\n"
                           "i frame=100\nidr frame=100\nH264 Max Delay:1000 ms\nH264 encode High Profile select\n"
                           "H264 encode High quality mode select\nH264 encode standard: Level 4.0\n"));
    EXPECT_EQ(rs(), kFactoryRs);
    EXPECT_EQ(shellLog(), syncs(2));

    std::filesystem::remove(root.path("/mnt/dfc/kavex_rs.ini"));
    root.write("/mnt/kavex_rs.ini", "1 320 240 500000 15 30 60 3 1 1 12");
    r = post({{"s_resetencst", ""}});
    EXPECT_EQ(r.out, plain("recover failed: cannot restore kavex_rs.ini from /mnt/dfc\n"));
    EXPECT_EQ(rs(), "1 320 240 500000 15 30 60 3 1 1 12");
}

TEST_F(Stream2Cgi, ActionsRunInHandlerOrderWhateverTheFormOrder)
{
    CgiResponse r = post({{"s_encst_submit", ""}, {"s_menu_encst", "31"}, {"view_s", ""}, {"s_ctrlcz_submit", ""},
                         {"s_ctrlcz", "female"}, {"l_submit", ""}, {"l", "704"}, {"sbnt_submit", ""}, {"sbnt", "male"}});
    EXPECT_EQ(r.out, plain("second stream enable\nset ok\nset length:704\nset ok\nset ok\n"
                           "H264 encode High speed mode select\n"
                           "second stream enable\nLength=704\nwidth=480\nbitrate=800000\nframerate=25\n"
                           "i frame=100\nidr frame=100\nH264 Max Delay:1000 ms\nH264 encode High Profile select\n"
                           "H264 encode High speed mode select\nH264 encode standard: Level 4.0\nset ok\n"));
    EXPECT_EQ(rs(), "1 704 480 800000 25 100 100 10 0 1 31");
}

TEST_F(Stream2Cgi, PostAndMultipartAreHandledAlike)
{
    std::vector<CgiField> form = {{"l_submit", "Set"}, {"l", "352"}, {"view_s", "View"}};
    CgiResponse viaPost = post(form);
    std::string afterPost = rs();
    root.write("/mnt/kavex_rs.ini", kFactoryRs);
    CgiResponse viaMultipart = cgiPostMultipart(STREAM2_CGI_BINARY, root.dir(), form);
    EXPECT_EQ(viaPost.status, 0);
    EXPECT_EQ(viaMultipart.status, 0);
    EXPECT_EQ(viaPost.out.substr(0, std::string(kTextPlain).size() + 15), plain("set length:352\n"));
    EXPECT_EQ(viaMultipart.out, viaPost.out);
    EXPECT_EQ(afterPost, "0 352 480 800000 25 100 100 10 0 0 40");
    EXPECT_EQ(rs(), afterPost);

    // A body that cannot be parsed: no handler, no response, no change.
    CgiResponse broken = cgiPostBody(STREAM2_CGI_BINARY, root.dir(), "multipart/form-data; boundary=x",
                                     "--x\r\nContent-Disposition: form-data; name=\"l_submit\"\r\n\r\n");
    EXPECT_EQ(broken.status, 255);
    EXPECT_EQ(broken.out, "");
    EXPECT_EQ(rs(), afterPost);
}

TEST_F(Stream2Cgi, MissingOrDamagedRecordsComeBackFromTheFactoryCopy)
{
    std::filesystem::remove(root.path("/mnt/kavex_rs.ini"));
    CgiResponse r = post({{"w_submit", ""}, {"w", "360"}});
    EXPECT_EQ(r.out, plain("set width:360\nkavex_rs.ini was missing or unreadable: factory settings restored\nset ok\n"));
    EXPECT_EQ(rs(), "0 640 360 800000 25 100 100 10 0 0 40");

    root.write("/mnt/kavex_rsc.ini", "garbage");
    r = post({{"r_stream_submit", ""}, {"r_stream", "male"}});
    EXPECT_EQ(r.out, plain("rtsp/rtmp stream select:second stream\n"
                           "kavex_rsc.ini was missing or unreadable: factory settings restored\nset ok\n"));
    EXPECT_EQ(rsc(), "0 1");

    // A short record keeps what it has; the missing fields are written as 0.
    root.write("/mnt/kavex_rs.ini", "1 320\n");
    r = post({{"s_fi_submit", ""}, {"s_fi", "50"}});
    EXPECT_EQ(r.out, plain("set i frame:50\nset ok\n"));
    EXPECT_EQ(rs(), "1 320 0 0 0 50 0 0 0 0 0");
}

TEST_F(Stream2Cgi, WithoutAnyCopyNothingIsWritten)
{
    std::filesystem::remove(root.path("/mnt/kavex_rs.ini"));
    std::filesystem::remove(root.path("/mnt/dfc/kavex_rs.ini"));
    CgiResponse r = post({{"sbnt_submit", ""}, {"sbnt", "male"}, {"view_s", ""}, {"s_encst_submit", ""},
                          {"s_menu_encst", "31"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain("second stream enable\nCan't open file kavex_rs.ini\nCan't open file kavex_rs.ini\n"
                           "Can't open file kavex_rs.ini\n"));
    EXPECT_FALSE(root.exists("/mnt/kavex_rs.ini"));
    EXPECT_EQ(shellLog(), "");
}

// The page's answer panel on this program's real answers: every refusal and every record it cannot
// store heads the panel "refused"; confirmations, reports and a record brought back do not.
TEST_F(Stream2Cgi, AnswerPanelTellsChangesFromRefusals)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    auto expect = [this](const std::vector<CgiField> &form, const std::string &outcome) {
        CgiResponse r = post(form);
        EXPECT_EQ(panelOutcome(r), outcome) << r.out;
    };
    for (const std::vector<CgiField> &form : std::vector<std::vector<CgiField>>{
             {{"sbnt_submit", ""}, {"sbnt", "male"}, {"ts_stream_submit", ""}, {"ts_stream", "female"}},
             {{"l_submit", ""}, {"l", "1280"}, {"s_cvbr_submit", ""}, {"s_cvbr", "5"}},
             {{"s_codec_submit", ""}, {"s_ctrlbz", "amale"}, {"s_ctrlcz_submit", ""}, {"s_ctrlcz", "female"}},
             {{"s_encst_submit", ""}, {"s_menu_encst", "31"}, {"view_s", ""}},
             {{"s_resetencst", ""}},
         }) {
        expect(form, "done");
    }
    std::filesystem::remove(root.path("/mnt/kavex_rs.ini"));
    expect({{"w_submit", ""}, {"w", "360"}}, "done"); // restored from the factory copy, then stored
    expect({{"w_submit", ""}}, "empty");

    for (const std::vector<CgiField> &form : std::vector<std::vector<CgiField>>{
             {{"l_submit", ""}, {"l", std::string(2000, '1')}},
             {{"w_submit", ""}, {"w", ""}},
             {{"s_bitrate_submit", ""}, {"s_bitrate", "5; reboot"}},
             {{"w_submit", ""}, {"w", "360"}, {"s_fi_submit", ""}, {"s_fi", "-1"}},
             {{"sbnt_submit", ""}, {"sbnt", "amale"}},
         }) {
        expect(form, "refused");
    }
    std::filesystem::remove(root.path("/mnt/dfc/kavex_rs.ini"));
    expect({{"s_resetencst", ""}}, "refused");
    std::filesystem::remove(root.path("/mnt/kavex_rs.ini"));
    expect({{"sbnt_submit", ""}, {"sbnt", "male"}}, "refused");
    expect({{"view_s", ""}}, "refused");
}
