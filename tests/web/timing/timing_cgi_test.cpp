// The capture timing program run as a CGI in a factory root: whole responses, the timing tables byte
// for byte and the recorded shell commands after each request.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"
#include "tests/web/page_script.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

// A table of 41 lines "F,V,H\n" with V = 10 + F and H = 100 + F.
std::string table(const std::string &sep = "\n")
{
    std::string t;
    for (int f = 1; f <= 41; f++) {
        t += std::to_string(f) + "," + std::to_string(10 + f) + "," + std::to_string(100 + f) + sep;
    }
    return t;
}

std::string replaceLine(std::string t, const std::string &from, const std::string &to)
{
    size_t at = t.find(from);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no line " << from;
        return t;
    }
    return t.replace(at, from.size(), to);
}

class TimingCgi : public ::testing::Test {
protected:
    TempRoot root{true};

    void SetUp() override
    {
        root.write("/mnt/config.ini", table());
        root.write("/mnt/config.dvi.ini", table("\r\n"));
        std::filesystem::remove(root.path("/mnt/ra101.ini"));
    }
    CgiResponse post(const std::vector<CgiField> &fields) { return cgiPostUrl(TIMING_CGI_BINARY, root.dir(), fields); }
    CgiResponse shift(const std::string &v, const std::string &h)
    {
        return post({{"hc_submit", ""}, {"chang", v}, {"hang", h}});
    }
    void format(int index, int mode = 1) { root.write("/mnt/format.ini", std::to_string(mode) + " " + std::to_string(index)); }
    std::string analog() const { return root.read("/mnt/config.ini"); }
    std::string dvi() const { return root.read("/mnt/config.dvi.ini"); }
    std::string shellLog() const { return root.exists("/tmp/shell.log") ? root.read("/tmp/shell.log") : ""; }
    static std::string plain(const std::string &body) { return kTextPlain + body; }
};

} // namespace

TEST_F(TimingCgi, ShiftEditsOneLineAndKeepsTheRest)
{
    root.write("/mnt/config.ini", replaceLine(table(), "\n9,19,109\n", "\n9,30,120\n"));
    format(9);
    CgiResponse r = shift("-5", "4");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain("add V=-5,H=4\n\ncurrent:\nformat=9 V=30,H=120\n\nmodify:\nformat=9 V=25,H=124\n\nset ok\n"));
    EXPECT_EQ(analog(), replaceLine(table(), "\n9,19,109\n", "\n9,25,124\n"));
    EXPECT_EQ(dvi(), table("\r\n"));
    EXPECT_EQ(shellLog(), "sync\nsync\n");

    // Offsets never go below 0; a plus sign is accepted.
    format(20, 0);
    r = shift("-100", "+7");
    EXPECT_EQ(r.out, plain("add V=-100,H=+7\n\ncurrent:\nformat=20 V=30,H=120\n\nmodify:\nformat=20 V=0,H=127\n\nset ok\n"));
    EXPECT_EQ(analog(), replaceLine(replaceLine(table(), "\n9,19,109\n", "\n9,25,124\n"), "\n20,30,120\n", "\n20,0,127\n"));
}

TEST_F(TimingCgi, FirstAndLastLines)
{
    format(1);
    CgiResponse r = shift("1", "2");
    EXPECT_EQ(r.out, plain("add V=1,H=2\n\ncurrent:\nformat=1 V=11,H=101\n\nmodify:\nformat=1 V=12,H=103\n\nset ok\n"));
    EXPECT_EQ(analog(), replaceLine(table(), "1,11,101\n", "1,12,103\n"));

    format(41);
    r = shift("0", "-2");
    EXPECT_EQ(r.out, plain("add V=0,H=-2\n\ncurrent:\nformat=41 V=51,H=141\n\nmodify:\nformat=41 V=51,H=139\n\nset ok\n"));
    std::string expected = replaceLine(replaceLine(table(), "1,11,101\n", "1,12,103\n"), "\n41,51,141\n", "\n41,51,139\n");
    EXPECT_EQ(analog(), expected);

    // A last line without its line end gets one; nothing else moves.
    std::string noEnd = table();
    noEnd.pop_back();
    root.write("/mnt/config.ini", noEnd);
    r = shift("1", "1");
    EXPECT_EQ(analog(), replaceLine(table(), "\n41,51,141\n", "\n41,52,142\n"));
}

TEST_F(TimingCgi, TableChosenByTheInputSelector)
{
    format(25);
    root.write("/mnt/ra101.ini", "2");
    CgiResponse r = shift("3", "3");
    EXPECT_NE(r.out.find("format=25 V=38,H=128\n"), std::string::npos) << r.out;
    // The CR LF lines of this table stay as they are; the edited line ends with a line feed.
    EXPECT_EQ(dvi(), replaceLine(table("\r\n"), "\n25,35,125\r\n", "\n25,38,128\n"));
    EXPECT_EQ(analog(), table());

    root.write("/mnt/ra101.ini", "1");
    shift("1", "0");
    EXPECT_EQ(dvi(), replaceLine(table("\r\n"), "\n25,35,125\r\n", "\n25,39,128\n"));

    for (const char *input : {"0", "3", "4"}) {
        root.write("/mnt/ra101.ini", input);
        root.write("/mnt/config.ini", table());
        shift("1", "0");
        EXPECT_EQ(analog(), replaceLine(table(), "\n25,35,125\n", "\n25,36,125\n")) << input;
    }
    EXPECT_EQ(dvi(), replaceLine(table("\r\n"), "\n25,35,125\r\n", "\n25,39,128\n"));
}

TEST_F(TimingCgi, ViewShowsTheLineAndWritesNothing)
{
    format(33);
    auto before = std::filesystem::last_write_time(root.path("/mnt/config.ini"));
    CgiResponse r = post({{"viewhc", "View"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain("\ncurrent:\nformat=33 V=43,H=133\n"));
    EXPECT_EQ(analog(), table());
    EXPECT_EQ(std::filesystem::last_write_time(root.path("/mnt/config.ini")), before);
    EXPECT_EQ(shellLog(), "");
}

TEST_F(TimingCgi, RestoreFactoryTables)
{
    root.write("/mnt/config.ini", "junk");
    root.write("/mnt/config.dvi.ini", "junk");
    CgiResponse r = post({{"resethc", ""}});
    EXPECT_EQ(r.out, plain("recover ok"));
    EXPECT_EQ(analog(), root.read("/mnt/dfc/config.ini"));
    EXPECT_EQ(dvi(), "junk");
    EXPECT_EQ(shellLog(), "sync\nsync\n");

    root.write("/mnt/ra101.ini", "0");
    r = post({{"resethc", ""}});
    EXPECT_EQ(r.out, plain("recover ok"));
    EXPECT_EQ(dvi(), root.read("/mnt/dfc/config.dvi.ini"));

    std::filesystem::remove(root.path("/mnt/dfc/config.dvi.ini"));
    root.write("/mnt/config.dvi.ini", "junk");
    r = post({{"resethc", ""}});
    EXPECT_EQ(r.out, plain("recover failed: factory timing tables missing in /mnt/dfc\n"));
    EXPECT_EQ(dvi(), "junk");
}

TEST_F(TimingCgi, ButtonsRunInHandlerOrder)
{
    format(2);
    root.write("/mnt/config.ini", "junk");
    CgiResponse r = post({{"viewhc", ""}, {"resethc", ""}, {"hang", "1"}, {"chang", "1"}, {"hc_submit", ""}});
    // The shift runs first, on the damaged table, then the restore, then the view of the restored table.
    EXPECT_EQ(r.out, plain("add V=1,H=1\nno readable line for format 2 in config.ini, timing table not changed\n"
                           "recover ok\ncurrent:\nformat=2 V=31,H=168\n"));
}

TEST_F(TimingCgi, TextRuleAndRefusedNumbers)
{
    format(5);
    EXPECT_EQ(shift(std::string(1100, '1'), "1").out, plain("error len"));
    EXPECT_EQ(shift("1", "").out, plain("input empty"));
    EXPECT_EQ(shift("", std::string(1100, '1')).out, plain("error len"));
    // A value with a NUL in it is no number, not the number before the NUL nor a field not sent.
    EXPECT_EQ(shift("4", std::string("1\0junk", 6)).out, plain("error len"));
    EXPECT_EQ(shift(std::string("\0", 1), "4").out, plain("error len"));
    for (const char *bad : {"1a", "--1", "1-", " 1", "0x1", "1234567890", "5;reboot", "-"}) {
        CgiResponse r = shift(bad, "0");
        EXPECT_EQ(r.out, plain(std::string("invalid value: V=") + bad +
                               ",H=0 (whole numbers of at most 9 digits), nothing changed\n"))
            << bad;
    }
    EXPECT_EQ(analog(), table());
    EXPECT_EQ(shellLog(), "");

    // A field the form did not send counts as 0.
    CgiResponse r = post({{"hc_submit", ""}, {"chang", "4"}});
    EXPECT_EQ(r.out, plain("add V=4,H=\n\ncurrent:\nformat=5 V=15,H=105\n\nmodify:\nformat=5 V=19,H=105\n\nset ok\n"));
}

TEST_F(TimingCgi, NothingIsRewrittenWithoutTheCurrentLine)
{
    std::filesystem::remove(root.path("/mnt/format.ini"));
    CgiResponse r = shift("1", "1");
    EXPECT_EQ(r.out, plain("add V=1,H=1\nno capture format index in format.ini, timing table not changed\n"));
    EXPECT_FALSE(root.exists("/mnt/format.ini"));
    for (const char *bad : {"1 42", "1 0", "1 x", "25", "1 25 ", ""}) {
        root.write("/mnt/format.ini", bad);
        r = shift("1", "1");
        EXPECT_EQ(r.out, plain("add V=1,H=1\nno capture format index in format.ini, timing table not changed\n")) << bad;
    }
    EXPECT_EQ(analog(), table());

    format(7);
    std::filesystem::remove(root.path("/mnt/config.ini"));
    r = shift("1", "1");
    EXPECT_EQ(r.out, plain("add V=1,H=1\nCan't open file"));
    EXPECT_FALSE(root.exists("/mnt/config.ini"));

    const std::vector<std::string> damaged = {
        replaceLine(table(), "\n7,17,107\n", "\n"),           // no line for the format
        replaceLine(table(), "\n7,17,107\n", "\n7,17\n"),     // one comma only
        replaceLine(table(), "\n7,17,107\n", "\n7,1x,107\n"), // not a number
        replaceLine(table(), "\n7,17,107\n", "\n7,17,1234567890\n"), // more than nine characters
        replaceLine(table(), "\n7,17,107\n", "\n7,,107\n"),
        "",
    };
    for (const std::string &t : damaged) {
        root.write("/mnt/config.ini", t);
        r = shift("1", "1");
        EXPECT_EQ(r.out, plain("add V=1,H=1\nno readable line for format 7 in config.ini, timing table not changed\n"));
        EXPECT_EQ(analog(), t);
    }
    // Format 17 is not found inside "\n7," nor format 7 inside "\n17,".
    root.write("/mnt/config.ini", replaceLine(table(), "\n7,17,107\n", "\n"));
    format(17);
    r = shift("1", "1");
    EXPECT_NE(r.out.find("format=17 V=28,H=118\n"), std::string::npos);
    EXPECT_EQ(shellLog(), "sync\nsync\n");
}

TEST_F(TimingCgi, OffsetsStayWithinNineCharacters)
{
    format(3);
    root.write("/mnt/config.ini", replaceLine(table(), "\n3,13,103\n", "\n3,999999990,103\n"));
    CgiResponse r = shift("10", "0");
    EXPECT_EQ(r.out, plain("add V=10,H=0\n\ncurrent:\nformat=3 V=999999990,H=103\n"
                           "offset out of range (at most 999999999), timing table not changed\n"));
    r = shift("9", "-999999999");
    EXPECT_EQ(analog(), replaceLine(table(), "\n3,13,103\n", "\n3,999999999,0\n"));
}

TEST_F(TimingCgi, PostAndMultipartRequests)
{
    format(12);
    std::vector<CgiField> form = {{"hc_submit", "Apply"}, {"chang", "-2"}, {"hang", "3"}};
    CgiResponse post = cgiPostUrl(TIMING_CGI_BINARY, root.dir(), form);
    EXPECT_EQ(post.status, 0);
    EXPECT_EQ(post.out, plain("add V=-2,H=3\n\ncurrent:\nformat=12 V=22,H=112\n\nmodify:\nformat=12 V=20,H=115\n\nset ok\n"));
    CgiResponse mp = cgiPostMultipart(TIMING_CGI_BINARY, root.dir(), form);
    EXPECT_EQ(mp.status, 0);
    EXPECT_EQ(mp.out, plain("add V=-2,H=3\n\ncurrent:\nformat=12 V=20,H=115\n\nmodify:\nformat=12 V=18,H=118\n\nset ok\n"));
    EXPECT_EQ(analog(), replaceLine(table(), "\n12,22,112\n", "\n12,18,118\n"));
}

// The page's answer panel on this program's real answers: every refusal and every table it leaves
// alone heads the panel "refused"; a shift, a view and a restore do not.
TEST_F(TimingCgi, AnswerPanelTellsChangesFromRefusals)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    auto expect = [this](const std::vector<CgiField> &form, const std::string &outcome) {
        CgiResponse r = post(form);
        EXPECT_EQ(panelOutcome(r), outcome) << r.out;
    };
    format(5);
    expect({{"hc_submit", ""}, {"chang", "-2"}, {"hang", "3"}}, "done");
    expect({{"viewhc", ""}}, "done");
    expect({{"resethc", ""}}, "done");
    expect({{"chang", "1"}, {"hang", "1"}}, "empty");

    for (const std::vector<CgiField> &form : std::vector<std::vector<CgiField>>{
             {{"hc_submit", ""}, {"chang", std::string(1100, '1')}, {"hang", "1"}},
             {{"hc_submit", ""}, {"chang", "1"}, {"hang", ""}},
             {{"hc_submit", ""}, {"chang", "1a"}, {"hang", "0"}},
         }) {
        expect(form, "refused");
    }
    root.write("/mnt/config.ini", replaceLine(table(), "\n5,15,105\n", "\n5,999999990,105\n"));
    expect({{"hc_submit", ""}, {"chang", "10"}, {"hang", "0"}}, "refused");
    root.write("/mnt/config.ini", replaceLine(table(), "\n5,15,105\n", "\n5,15\n"));
    expect({{"hc_submit", ""}, {"chang", "1"}, {"hang", "1"}}, "refused");
    root.write("/mnt/config.ini", std::string(70 * 1024, '\n'));
    expect({{"viewhc", ""}}, "refused");
    std::filesystem::remove(root.path("/mnt/config.ini"));
    expect({{"viewhc", ""}}, "refused");
    std::filesystem::remove(root.path("/mnt/format.ini"));
    expect({{"viewhc", ""}}, "refused");
    std::filesystem::remove(root.path("/mnt/dfc/config.ini"));
    expect({{"resethc", ""}}, "refused");
}
