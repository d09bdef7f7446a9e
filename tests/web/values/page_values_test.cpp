// The read answers (GET ...?get=1) of the three CGI programs: each page's fields as the store holds
// them, null with a note where it holds no value the box would use, always JSON, never a write; and
// the same values that the programs' own reports print and that their forms store.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"

#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

using Setup = std::function<void(const TempRoot &)>;

Setup put(const std::string &path, const std::string &content)
{
    return [=](const TempRoot &r) { r.write(path, content); };
}

Setup drop(const std::string &path)
{
    return [=](const TempRoot &r) { std::filesystem::remove(r.path(path)); };
}

Setup replaceIn(const std::string &path, const std::string &from, const std::string &to)
{
    return [=](const TempRoot &r) {
        std::string text = r.read(path);
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        r.write(path, text.replace(at, from.size(), to));
    };
}

Setup both(const Setup &a, const Setup &b)
{
    return [=](const TempRoot &r) {
        a(r);
        b(r);
    };
}

Setup copyOver(const std::string &from, const std::string &to)
{
    return [=](const TempRoot &r) { r.write(to, r.read(from)); };
}

struct Case {
    const char *what;
    Setup setup;
    const char *field;
    const char *value; // nullptr: answered null, with a note holding `note`
    const char *note;
};

void checkCases(const char *program, const std::vector<Case> &cases)
{
    TempRoot root{true};
    const auto pristine = treeSnapshot(root.dir());
    for (const Case &c : cases) {
        treeRestore(root.dir(), pristine);
        c.setup(root);
        auto before = treeSnapshot(root.dir());
        nlohmann::json doc = pageValues(program, root.dir());
        ASSERT_FALSE(doc.is_discarded()) << c.what << ": no JSON read answer";
        EXPECT_EQ(treeSnapshot(root.dir()), before) << c.what << ": the read request wrote";
        const nlohmann::json &v = doc["values"][c.field];
        std::string note = doc["notes"].value(c.field, "");
        if (c.value != nullptr) {
            EXPECT_EQ(v, c.value) << c.what;
            EXPECT_EQ(note, "") << c.what;
        } else {
            EXPECT_TRUE(v.is_null()) << c.what << ": " << v;
            EXPECT_NE(note.find(c.note), std::string::npos) << c.what << ": note \"" << note << "\"";
        }
    }
}

Setup factory = [](const TempRoot &) {};

} // namespace

TEST(PageValues, SettingsFieldsFromTheStore)
{
    checkCases(SETTINGS_CGI_BINARY, {
        {"factory address", factory, "ip", "192.168.1.100", nullptr},
        {"factory URL, its stream key hidden", factory, "rtmpurl", "rtmp://192.168.1.200/live/\u2026", nullptr},
        {"factory URL's stream key, too short for its tail", factory, "rtmpurl_secret", "set", nullptr},
        {"URL without a stream key", replaceIn("/mnt/autorun.sh", "url=rtmp://192.168.1.200/live/kavex", "url=rtmp://h/app"),
         "rtmpurl_secret", "not set", nullptr},
        {"URL with a user part and a query", replaceIn("/mnt/autorun.sh", "url=rtmp://192.168.1.200/live/kavex",
                                                       "url='rtmps://u:Zp4Tr8@h:443/app?key=Wq7Zk2Lp9Xv4'"),
         "rtmpurl", "rtmps://h:443/app/\u2026", nullptr},
        {"URL with a long stream key", replaceIn("/mnt/autorun.sh", "url=rtmp://192.168.1.200/live/kavex",
                                                 "url='rtmps://u:Zp4Tr8@h:443/app?key=Wq7Zk2Lp9Xv4'"),
         "rtmpurl_secret", "set (\u20269Xv4)", nullptr},
        {"no start script, no stream key", drop("/mnt/autorun.sh"), "rtmpurl_secret", "", nullptr},
        {"factory subtitle, GB2312 back to UTF-8", factory, "sub_text", "\xE7\xBC\x96\xE7\xA0\x81\xE5\x99\xA8", nullptr},
        {"no start script", drop("/mnt/autorun.sh"), "bitrate", nullptr, "Can't open file autorun.sh"},
        {"no start script, no codec", drop("/mnt/autorun.sh"), "ctrlts", nullptr, "autorun.sh"},
        {"block without its line", replaceIn("/mnt/autorun.sh", "bitrate=4000000\n", ""), "bitrate", nullptr,
         "no readable bitrate= line"},
        {"scaling digit neither 1 nor 2", replaceIn("/mnt/autorun.sh", "ctrlcodec=2", "ctrlcodec=7"), "selvs", nullptr,
         "ctrlcodec=1 or 2"},
        {"MP3 start script", copyOver("/mnt/autorun.sh.h264.mp3.org", "/mnt/autorun.sh"), "ctrlts", "female", nullptr},
        {"body of no template", replaceIn("/mnt/autorun.sh", "exec", "exec nice"), "ctrlts", nullptr, "neither"},
        {"ts.ini missing", drop("/mnt/ts.ini"), "ctrlaz", nullptr, "/mnt/ts.ini is missing"},
        {"TS off", put("/mnt/ts.ini", "1\n"), "ctrlaz", "female", nullptr},
        {"TS over HTTP", put("/mnt/httpts.ini", "1\n"), "ctrlaz", "amale", nullptr},
        {"RTSP, the RTMP switch missing", [](const TempRoot &r) {
             r.write("/mnt/rtsp.ini", "1\n");
             std::filesystem::remove(r.path("/mnt/rtsporrtmp.ini"));
         }, "ctrlez", "female", nullptr},
        {"RTMP alone", both(put("/mnt/rtsp.ini", "1\n"), put("/mnt/rtsporrtmp.ini", "1\n")), "ctrlez", "amale",
         nullptr},
        {"RTSP and RTMP", both(put("/mnt/rtsp.ini", "1\n"), put("/mnt/rtsporrtmp.ini", "2\n")), "ctrlez", "afemale",
         nullptr},
        {"RTSP off, RTMP switch on both", put("/mnt/rtsporrtmp.ini", "2\n"), "ctrlez", "male", nullptr},
        {"RTMP switch of another byte is RTSP", both(put("/mnt/rtsp.ini", "1\n"), put("/mnt/rtsporrtmp.ini", "x")),
         "ctrlez", "female", nullptr},
        {"profile file of another byte is High", put("/mnt/kavex_encProfileIdc.ini", "x"), "ctrlbz", "male", nullptr},
        {"empty audio input flag", put("/mnt/ha.ini", ""), "audioin", nullptr, "/mnt/ha.ini is empty"},
        {"ttl garbage", put("/mnt/ttl.ini", "abc"), "ttl", nullptr, "holds no number"},
        {"idr missing", drop("/mnt/idr.ini"), "idr", nullptr, "/mnt/idr.ini is missing"},
        {"level 1b", put("/mnt/kavex_encLevel.ini", "9\n"), "menu_encst", "9", nullptr},
        {"level not in the list", put("/mnt/kavex_encLevel.ini", "51\n"), "menu_encst", nullptr, "no level of the list"},
        {"format that does not exist", put("/mnt/format.ini", "1 30"), "menu_set_vga_mode", nullptr, "does not exist"},
        {"fixed format mode", put("/mnt/format.ini", "1 25"), "ctrlau", "female", nullptr},
        {"board without input selector", factory, "menu_set_signal_mode", nullptr, "no input selector"},
        {"HDMI input", put("/mnt/ra101.ini", "2"), "menu_set_signal_mode", "2", nullptr},
        {"colour record cut short", put("/mnt/color.ini", "1 2 3"), "lr", nullptr, "holds only 3"},
        {"colour record cut short, first field", put("/mnt/color.ini", "1 2 3"), "bb", "1", nullptr},
        {"mask record garbage", put("/mnt/m.ini", "on"), "mg_a", nullptr, "holds only 0"},
        {"subtitle record missing", drop("/mnt/zk.ini"), "s_x", nullptr, "/mnt/zk.ini is missing"},
        {"empty font file is the big font", put("/mnt/zhiti.ini", ""), "sub_z", "female", nullptr},
        {"MAC script not ours", put("/mnt/mac.sh", "rm -rf /\n"), "mac", nullptr, "no address line"},
        {"MAC script with a bad address", put("/mnt/mac.sh", "ifconfig eth0 hw ether 02:00:00:00:00:0G\n"), "mac",
         nullptr, "no address line"},
        {"no wpa.conf", drop("/mnt/wifi/wpa.conf"), "passkey_secret", nullptr, "wpa.conf is missing"},
        {"no wpa.conf: the key's field is empty all the same", drop("/mnt/wifi/wpa.conf"), "passkey", "", nullptr},
        {"factory Wi-Fi key: never answered", factory, "passkey", "", nullptr},
        {"factory Wi-Fi key, too short for its tail", factory, "passkey_secret", "set", nullptr},
        {"long Wi-Fi key", replaceIn("/mnt/wifi/wpa.conf", "\"coder\"", "\"Hy3Tn8Rb6Mc1\""), "passkey_secret",
         "set (\u20266Mc1)", nullptr},
        {"Wi-Fi key of 11 characters", replaceIn("/mnt/wifi/wpa.conf", "\"coder\"", "\"Hy3Tn8Rb6Mc\""), "passkey_secret",
         "set", nullptr},
        {"wpa.conf without the key's quotes", replaceIn("/mnt/wifi/wpa.conf", "\"coder\"", "coder"), "passkey_secret",
         nullptr, "no readable psk= line"},
        {"wpa.conf without quotes", replaceIn("/mnt/wifi/wpa.conf", "\"video\"", "video"), "ssid", nullptr,
         "no readable ssid= line"},
        {"Wi-Fi address file without the line", put("/mnt/wifi/wifi_ip.conf", "hello\n"), "wifi_ip", nullptr,
         "no address line"},
        {"no mixer state", drop("/mnt/asound.state"), "volume", nullptr, "no analog input volume"},
        {"factory: no RTMP destination 2", factory, "rtmpx2", "", nullptr},
        {"factory: no RTMP destination 2, no stream key", factory, "rtmpx2_secret", "", nullptr},
        {"RTMP destinations file missing", drop("/mnt/rtmpx.ini"), "rtmpx4", "", nullptr},
        {"RTMP destination stored quoted", put("/mnt/rtmpx.ini", "\n'rtmp://h/l/k?a=1&b=2'\n"), "rtmpx3",
         "rtmp://h/l/\u2026", nullptr},
        {"RTMP destination's stream key", put("/mnt/rtmpx.ini", "\n\nrtmp://h/l/Cu6Fw1Yh8Nq3Lt5B\n"), "rtmpx4_secret",
         "set (\u2026Lt5B)", nullptr},
        {"RTMP destination line that is no URL: no stream key", put("/mnt/rtmpx.ini", "http://h/x/Cu6Fw1Yh8Nq3Lt5B\n"),
         "rtmpx2_secret", "", nullptr},
        {"RTMP destination line that is no URL", put("/mnt/rtmpx.ini", "rtmp://h/l/k\n\nhttp://h/x\n"), "rtmpx4",
         nullptr, "line 3 of /mnt/rtmpx.ini is not used: it must start with rtmp://"},
        {"factory SRT passphrase", factory, "srt_passphrase_secret", "not set", nullptr},
        {"SRT passphrase: never answered", put("/mnt/srt.ini", "passphrase=Jm4Qx9Vg2Ke7Pz0A\n"), "srt_passphrase", "",
         nullptr},
        {"SRT passphrase", put("/mnt/srt.ini", "passphrase=Jm4Qx9Vg2Ke7Pz0A\n"), "srt_passphrase_secret",
         "set (\u2026Pz0A)", nullptr},
        {"SRT passphrase the encoder refuses: its note does not quote it", put("/mnt/srt.ini", "passphrase=Jm4Qx9Vg2\n"),
         "srt_passphrase_secret", nullptr, "bad passphrase (not empty or 10..79 printable characters)"},
    });
}

TEST(PageValues, Stream2FieldsFromTheRecords)
{
    checkCases(STREAM2_CGI_BINARY, {
        {"factory width", factory, "l", "640", nullptr},
        {"factory level", factory, "s_menu_encst", "40", nullptr},
        // A change would restore the factory record first; a read leaves the store as it is.
        {"record missing", drop("/mnt/kavex_rs.ini"), "s_bitrate", nullptr, "/mnt/kavex_rs.ini is missing"},
        {"record garbage", put("/mnt/kavex_rs.ini", "on 640"), "l", nullptr, "holds no number"},
        {"record cut short", put("/mnt/kavex_rs.ini", "1 352 288"), "s_bitrate", nullptr, "holds only 3 fields"},
        {"record cut short, a field it holds", put("/mnt/kavex_rs.ini", "1 352 288"), "sbnt", "male", nullptr},
        {"level 0 is level 4.0", put("/mnt/kavex_rs.ini", "0 640 480 800000 25 100 100 10 0 0 0"), "s_menu_encst", "40",
         nullptr},
        {"level not in the list", put("/mnt/kavex_rs.ini", "0 640 480 800000 25 100 100 10 0 0 51"), "s_menu_encst",
         nullptr, "not in the list"},
        {"stream choice missing", drop("/mnt/kavex_rsc.ini"), "ts_stream", nullptr, "kavex_rsc.ini is missing"},
        {"second stream to RTSP", put("/mnt/kavex_rsc.ini", "0 1"), "r_stream", "male", nullptr},
    });
}

TEST(PageValues, TimingOffsetsOfTheSelectedFormat)
{
    checkCases(TIMING_CGI_BINARY, {
        {"factory format", factory, "format", "25 (1280x720,60HZ)", nullptr},
        {"format 9", put("/mnt/format.ini", "1 9"), "h", "296", nullptr},
        {"DVI table", [](const TempRoot &r) {
             r.write("/mnt/ra101.ini", "2");
             r.write("/mnt/format.ini", "1 9");
         }, "table", "/mnt/config.dvi.ini", nullptr},
        {"no format index", drop("/mnt/format.ini"), "v", nullptr, "no capture format index"},
        {"table missing", drop("/mnt/config.ini"), "h", nullptr, "/mnt/config.ini is missing"},
        {"line unreadable", replaceIn("/mnt/config.ini", "\n25,", "\n25,x"), "v", nullptr,
         "no readable line for format 25"},
    });
}

// The programs' own reports print the values the pages are filled with.
TEST(PageValues, AgreeWithTheReports)
{
    TempRoot root{true};
    root.write("/mnt/format.ini", "1 9");
    root.write("/mnt/kavex_rs.ini", "1 352 288 500000 15 50 100 5 2 1 31");
    struct Line {
        const char *program;
        const char *button;
        const char *pattern; // one group: the value as the report prints it
        const char *field;
        long factor; // the report prints the stored value times this
    };
    const Line lines[] = {
        {SETTINGS_CGI_BINARY, "name44_submit", "\nip=([^\n]*)\n", "ip", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "\ngateway=([^\n]*)\n", "gateway", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "\nttl=([^\n]*)\n", "ttl", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "ts receive port=([^\n]*)\n", "tc", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "\nbitrate=([^\n]*)\n", "bitrate", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "IDR frame num=([^\n]*)\n", "idr", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "H264 Max Delay: ([0-9]*)ms\n", "cvbr", 100},
        {SETTINGS_CGI_BINARY, "name44_submit", "volume\\+:([^\n]*)\n", "volume", 1},
        {SETTINGS_CGI_BINARY, "name44_submit", "audio bitrate=([^\n]*)\n", "audiobitrate", 1},
        {STREAM2_CGI_BINARY, "view_s", "Length=([^\n]*)\n", "l", 1},
        {STREAM2_CGI_BINARY, "view_s", "\nframerate=([^\n]*)\n", "s_framerate", 1},
        {STREAM2_CGI_BINARY, "view_s", "idr frame=([^\n]*)\n", "s_idr", 1},
        {STREAM2_CGI_BINARY, "view_s", "Max Delay:([0-9]*) ms\n", "s_cvbr", 100},
        {TIMING_CGI_BINARY, "viewhc", " V=([0-9]*),", "v", 1},
        {TIMING_CGI_BINARY, "viewhc", ",H=([0-9]*)\n", "h", 1},
    };
    for (const Line &l : lines) {
        nlohmann::json doc = pageValues(l.program, root.dir());
        ASSERT_FALSE(doc.is_discarded());
        std::string report = cgiGet(l.program, root.dir(), std::string(l.button) + "=1").out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, std::regex(l.pattern))) << l.pattern << " in " << report;
        const nlohmann::json &v = doc["values"][l.field];
        ASSERT_TRUE(v.is_string()) << l.field;
        std::string shown = v.get<std::string>();
        if (l.factor != 1) {
            shown = std::to_string(std::stol(shown) * l.factor);
        }
        EXPECT_EQ(shown, m[1].str()) << l.field;
    }
}
