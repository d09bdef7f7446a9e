// The pages against their programs: every choice and typed value a page sends comes back in the read
// answer as the page would show it, every field of a page is answered, every action that restores
// factory settings asks first; and the pages' own script (under node): filling the fields, the
// dashboard made from a status file, and the test that a restart has come back.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_answer.h"
#include "tests/web/page_script.h"

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string page(const std::string &name)
{
    std::ifstream in(std::string(ENCODE_SOURCE_DIR) + "/web/www/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Form {
    std::string button; // the first submit button's name
    std::vector<std::pair<std::string, std::string>> choices; // radio or option: field, value
    std::set<std::string> fields;                             // every field name
    std::string html;
};

std::vector<Form> forms(const std::string &html)
{
    std::vector<Form> out;
    static const std::regex formRe("<form\\b[^>]*>([\\s\\S]*?)</form>");
    static const std::regex buttonRe("<button[^>]*\\bname=\"([^\"]+)\"");
    static const std::regex radioRe("type=\"radio\" name=\"([^\"]+)\" value=\"([^\"]+)\"");
    static const std::regex selectRe("<select name=\"([^\"]+)\"[^>]*>([\\s\\S]*?)</select>");
    static const std::regex optionRe("<option value=\"([^\"]+)\"");
    static const std::regex fieldRe("<(?:input|select|output)[^>]*\\bname=\"([^\"]+)\"");
    for (auto f = std::sregex_iterator(html.begin(), html.end(), formRe); f != std::sregex_iterator(); ++f) {
        Form form;
        form.html = (*f)[0];
        std::smatch m;
        if (std::regex_search(form.html, m, buttonRe)) {
            form.button = m[1];
        }
        for (auto r = std::sregex_iterator(form.html.begin(), form.html.end(), radioRe); r != std::sregex_iterator(); ++r) {
            form.choices.emplace_back((*r)[1], (*r)[2]);
        }
        for (auto s = std::sregex_iterator(form.html.begin(), form.html.end(), selectRe); s != std::sregex_iterator();
             ++s) {
            std::string options = (*s)[2];
            for (auto o = std::sregex_iterator(options.begin(), options.end(), optionRe); o != std::sregex_iterator();
                 ++o) {
                form.choices.emplace_back((*s)[1], (*o)[1]);
            }
        }
        for (auto n = std::sregex_iterator(form.html.begin(), form.html.end(), fieldRe); n != std::sregex_iterator(); ++n) {
            form.fields.insert((*n)[1]);
        }
        out.push_back(form);
    }
    return out;
}

struct Page {
    const char *file;
    const char *program;
};

const Page kPages[] = {
    {"index.html", SETTINGS_CGI_BINARY},
    {"stream2.html", STREAM2_CGI_BINARY},
    {"timing.html", TIMING_CGI_BINARY},
};

} // namespace

// Every radio choice and select option of a page, sent with its form's button, is read back as that
// choice: the page shows what it stored, through the same store files.
TEST(Pages, EveryChoiceSentIsReadBack)
{
    TempRoot root{true};
    int checked = 0;
    for (const Page &p : kPages) {
        for (const Form &f : forms(page(p.file))) {
            for (const auto &[field, value] : f.choices) {
                cgiPostUrl(p.program, root.dir(), {{f.button, "Apply"}, {field, value}});
                nlohmann::json doc = pageValues(p.program, root.dir());
                ASSERT_FALSE(doc.is_discarded()) << p.file << " " << field;
                EXPECT_EQ(doc["values"][field], value) << p.file << ": " << field << " " << doc["notes"].value(field, "");
                checked++;
            }
        }
    }
    EXPECT_GT(checked, 100);
}

// A typed value is read back as stored (the mask grid and the full-width subtitle as the CGI stores
// them, a URL the start script has to quote without its stream key, a secret as whether one is set).
TEST(Pages, TypedValuesAreReadBackAsStored)
{
    struct Typed {
        const char *program;
        const char *button;
        const char *field;
        const char *typed;
        const char *shown;
        const char *answered = nullptr; // the field the value is read back from, when not `field`
    };
    const Typed cases[] = {
        {SETTINGS_CGI_BINARY, "name1_submit", "ip", "10.0.0.5", "10.0.0.5"},
        {SETTINGS_CGI_BINARY, "mac_submit", "mac", "0a:1B:2c:3D:4e:5F", "0a:1B:2c:3D:4e:5F"},
        {SETTINGS_CGI_BINARY, "namec_submit", "tc", "5000", "5000"},
        {SETTINGS_CGI_BINARY, "ttl_submit", "ttl", "32", "32"},
        {SETTINGS_CGI_BINARY, "rtmpurl_submit", "rtmpurl", "rtmp://10.0.0.9/live/a?key=bcd&x=1",
         "rtmp://10.0.0.9/live/\u2026"},
        {SETTINGS_CGI_BINARY, "rtmpurl_submit", "rtmpurl", "rtmp://10.0.0.9/live/a?key=bcd&x=1", "set (\u2026&x=1)",
         "rtmpurl_secret"},
        {SETTINGS_CGI_BINARY, "rtmpx3_submit", "rtmpx3", "rtmp://10.0.0.9/live", "rtmp://10.0.0.9/live"},
        {SETTINGS_CGI_BINARY, "rtmpx3_submit", "rtmpx3", "rtmp://10.0.0.9/live", "not set", "rtmpx3_secret"},
        {SETTINGS_CGI_BINARY, "name3_submit", "bitrate", "2500000", "2500000"},
        {SETTINGS_CGI_BINARY, "nameidr_submit", "idr", "60", "60"},
        {SETTINGS_CGI_BINARY, "cvbr_submit", "cvbr", "300", "300"},
        {SETTINGS_CGI_BINARY, "vs_height_submit", "vs_height", "480", "480"},
        {SETTINGS_CGI_BINARY, "namelr_submit", "lr", "200", "200"},
        {SETTINGS_CGI_BINARY, "name_volume_submit", "volume", "40", "40"},
        {SETTINGS_CGI_BINARY, "ssid_submit", "ssid", "shop floor", "shop floor"},
        {SETTINGS_CGI_BINARY, "passkey_submit", "passkey", "eight chars!", "", "passkey"},
        {SETTINGS_CGI_BINARY, "passkey_submit", "passkey", "eight chars!", "set (\u2026ars!)", "passkey_secret"},
        {SETTINGS_CGI_BINARY, "wifi_ip_submit", "wifi_ip", "10.1.0.7", "10.1.0.7"},
        {SETTINGS_CGI_BINARY, "sub_submit", "sub_text", "AB\xE4\xB8\xAD", "\xEF\xBC\xA1\xEF\xBC\xA2\xE4\xB8\xAD"},
        {SETTINGS_CGI_BINARY, "s_y_submit", "s_y", "100", "100"},
        {SETTINGS_CGI_BINARY, "mg_xy", "mg_x", "100", "112"},
        {SETTINGS_CGI_BINARY, "gx_wh", "gx_h", "0", "16"},
        {SETTINGS_CGI_BINARY, "srt_submit", "srt_host", "10.0.0.8", "10.0.0.8"},
        {SETTINGS_CGI_BINARY, "srt_submit", "srt_passphrase", "0123456789abc", "", "srt_passphrase"},
        {SETTINGS_CGI_BINARY, "srt_submit", "srt_passphrase", "0123456789abc", "set (\u20269abc)",
         "srt_passphrase_secret"},
        {SETTINGS_CGI_BINARY, "srt_submit", "srt_streamid", "#!::r=live", "#!::r=live"},
        {STREAM2_CGI_BINARY, "l_submit", "l", "352", "352"},
        {STREAM2_CGI_BINARY, "s_cvbr_submit", "s_cvbr", "5", "5"},
    };
    TempRoot root{true};
    for (const Typed &t : cases) {
        cgiPostUrl(t.program, root.dir(), {{t.button, "Set"}, {t.field, t.typed}});
        nlohmann::json doc = pageValues(t.program, root.dir());
        ASSERT_FALSE(doc.is_discarded()) << t.field;
        const char *answered = t.answered != nullptr ? t.answered : t.field;
        EXPECT_EQ(doc["values"][answered], t.shown) << answered << " " << doc["notes"].value(answered, "");
    }
}

// Every field a page has is in its read answer, and can be found by an id equal to its name (a radio
// group by its fieldset).
TEST(Pages, EveryFieldIsAnsweredAndFoundByItsName)
{
    TempRoot root{true};
    for (const Page &p : kPages) {
        std::string html = page(p.file);
        nlohmann::json doc = pageValues(p.program, root.dir());
        ASSERT_FALSE(doc.is_discarded()) << p.file;
        for (const Form &f : forms(html)) {
            for (const std::string &field : f.fields) {
                // The amounts a change moves by, and the files the certificate form uploads.
                bool typedIn = field == "chang" || field == "hang" || field == "cert_file" || field == "key_file";
                EXPECT_TRUE(typedIn || doc["values"].contains(field)) << p.file << ": " << field << " is not answered";
                EXPECT_NE(html.find("id=\"" + field + "\""), std::string::npos) << p.file << ": no id " << field;
            }
        }
    }
}

// Each secret's marker (the output "<field>_secret") stands in the form of its field. The field of a
// passphrase is a password field the browser does not fill in and the read answer leaves empty; an
// RTMP URL's field is answered up to its application, "/…" standing for the stream key.
TEST(Pages, SecretFieldsShowNoSecret)
{
    TempRoot root{true};
    root.write("/mnt/rtmpx.ini", "rtmp://h/l/Cu6Fw1Yh8Nq3Lt5B\n");
    nlohmann::json doc = pageValues(SETTINGS_CGI_BINARY, root.dir());
    ASSERT_FALSE(doc.is_discarded());
    static const std::regex markerRe("<output name=\"([^\"]+)_secret\"");
    int markers = 0;
    for (const Form &f : forms(page("index.html"))) {
        for (auto m = std::sregex_iterator(f.html.begin(), f.html.end(), markerRe); m != std::sregex_iterator(); ++m) {
            const std::string field = (*m)[1];
            markers++;
            std::smatch input;
            ASSERT_TRUE(std::regex_search(f.html, input, std::regex("<input type=\"([a-z]+)\" name=\"" + field + "\"[^>]*>")))
                << field << " is not in the form of its marker";
            ASSERT_TRUE(doc["values"][field].is_string()) << field;
            const std::string shown = doc["values"][field];
            if (input[1] == "password") {
                EXPECT_NE(input[0].str().find(" autocomplete=\"off\""), std::string::npos) << field;
                EXPECT_EQ(shown, "") << field;
            } else {
                EXPECT_TRUE(shown.empty() || shown.substr(shown.size() - 4) == "/\u2026") << field << ": " << shown;
            }
        }
    }
    EXPECT_EQ(markers, 6);
}

// An action that restores factory settings asks before it is sent.
TEST(Pages, FactoryRestoresAskFirst)
{
    int restores = 0;
    for (const Page &p : kPages) {
        for (const Form &f : forms(page(p.file))) {
            bool restoresFactory = f.fields.count("ctrlts") > 0 || f.button == "s_resetencst" || f.button == "resethc";
            if (restoresFactory) {
                restores++;
                EXPECT_NE(f.html.find("data-confirm=\""), std::string::npos) << p.file << ": " << f.button;
            }
        }
    }
    EXPECT_EQ(restores, 3);
}

// --- The pages' script under node ---

TEST(PageScript, FillingTheFields)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    // Plain objects stand in for the elements; each case prints the fields' state and the notes.
    const std::string script = R"js(const { fillValues } = require(process.argv[2] + '/values.js');
const opts = (vals) => vals.map((v) => ({ value: v }));
const els = {
  radio: [{ type: 'radio', value: 'male', checked: true }, { type: 'radio', value: 'female', checked: false }],
  sel: [{ tagName: 'SELECT', options: opts(['9', '40']), value: '9', selectedIndex: 0 }],
  text: [{ tagName: 'INPUT', type: 'text', value: 'typed' }],
};
const state = () => [els.radio.map((r) => (r.checked ? 1 : 0)).join(''), els.sel[0].selectedIndex < 0 ? '-' : els.sel[0].value,
  els.text[0].value].join(' ');
const run = (doc, keep) => {
  const notes = fillValues(doc, (n) => els[n] || [], keep || (() => true));
  console.log(state() + ' | ' + notes.map((n) => n.name + ':' + n.text).join(','));
};
run({ values: { radio: 'female', sel: '40', text: '10.0.0.1' }, notes: {} });
run({ values: { radio: null, sel: null, text: null }, notes: { radio: 'r missing', sel: 's missing', text: 't missing' } });
run({ values: { radio: 'amale', sel: '51', text: 'x', other: '1' } });
run({ values: { radio: 'male', text: 'kept?' } }, (n) => n !== 'text');
run(null);
)js";
    EXPECT_EQ(pageScriptRun(script, ""),
              "01 40 10.0.0.1 | radio:,sel:,text:\n"
              "00 -  | radio:r missing,sel:s missing,text:t missing\n"
              "00 - x | radio:The box holds \xE2\x80\x9C" "amale\xE2\x80\x9D, which this page does not offer.,"
              "sel:The box holds \xE2\x80\x9C" "51\xE2\x80\x9D, which this page does not offer.,text:\n"
              "10 - x | radio:\n"
              "10 - x | \n");
}

TEST(PageScript, DashboardFromAStatusFile)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    // The sample status of every output kind, one output of a kind the page does not know, then
    // documents with parts missing or of the wrong type: the page shows what there is.
    const std::string script = R"js(const { dashModel } = require(process.argv[2] + '/dash.js');
const fs = require('fs');
const show = (m) => console.log([m.input, m.streams, m.audio, m.uptime].join(' | '));
const m = dashModel(JSON.parse(fs.readFileSync(process.argv[3], 'utf8')));
show(m);
for (const o of m.outputs) console.log([o.kind, o.cls, o.name, o.rate, o.details, o.error].join(' | '));
for (const l of m.levels) console.log([l.label, l.peakPct.toFixed(1), l.rmsPct.toFixed(1), l.text].join(' | '));
for (const doc of [{}, { input: { signal: false }, streams: { main: null }, outputs: 'x', audio: { on: false } },
                   { outputs: [null, 7, { state: 7 }], audio: { levels: [{ peak_dbfs: null }, 'x'] } }]) {
  const d = dashModel(doc);
  show(d);
  console.log(d.outputs.length + ' outputs ' + d.outputs.map((o) => o.name + '/' + o.cls).join(',') +
              ', levels ' + d.levels.map((l) => l.text).join(','));
}
)js";
    const std::string sample = std::string(ENCODE_SOURCE_DIR) + "/tests/web/status/encode.status";
    std::ifstream in(sample);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string dot = " \xC2\xB7 ";
    EXPECT_EQ(pageScriptRun(script, ss.str()),
              "1280\xC3\x97" "720" + dot + "30.0 fps" + dot + "standard 25 | Main 1280\xC3\x97" "720" + dot + "30.0 fps" +
                  dot + "3.99 Mbit/s" + dot + "2 dropped" + dot + "key frame 0.4 s ago; Second off | AAC" + dot +
                  "44100 Hz" + dot + "128 kbit/s | up 1 h 2 min 3 s" + dot + "CPU 25 %" + dot + "version 1.0.0\n"
              "udp | ok | UDP 1 | 4.10 Mbit/s | 1.7 GiB sent | \n"
              "http | waiting | HTTP TS | 0 kbit/s | 0 clients" + dot + "0 B sent | \n"
              "tcp | ok | TCP 8888 | 3.99 Mbit/s | 50.0 MiB sent" + dot + "14 dropped | \n"
              "fifo | waiting | RTSP video | 0 kbit/s | 0 B sent | \n"
              "rtmp | waiting | RTMP | 0 kbit/s | 1.1 MiB sent" + dot + "120 dropped" + dot + "3 reconnects" + dot +
                  "next try in 2.5 s | connect failed: Connection refused (10 s ago)\n"
              "recorder | ok | Recording | 4.10 Mbit/s | 700.0 MiB sent" + dot + "file 700.0 MiB" + dot +
                  "14.0 GiB free | \n"
              "srt | ok | SRT listener | 1.20 Mbit/s | 2 clients" + dot + "1.0 MiB sent" + dot + "3 dropped" + dot +
                  "21 retransmitted" + dot + "10.0.0.5:4000 (RTT 1.3 ms, 600 kbit/s, 21 retransmitted, 3 dropped)" +
                  dot + "10.0.0.6:4001 (RTT 0.5 ms, 600 kbit/s, 0 retransmitted, 0 dropped) | \n"
              "ndi | unknown | NDI |  | latency ms 120 | \n"
              "L | 90.0 | 84.8 | peak -6.0 dBFS, RMS -9.1 dBFS\n"
              "R | 79.2 | 70.0 | peak -12.5 dBFS, RMS -18.0 dBFS\n"
              "unknown |  | unknown | \n"
              "0 outputs , levels \n"
              "no signal | Main unknown | off | \n"
              "0 outputs , levels \n"
              "unknown |  | on | \n"
              "1 outputs output/unknown, levels peak \xE2\x80\x93, RMS \xE2\x80\x93,peak \xE2\x80\x93, RMS \xE2\x80\x93\n");
}

TEST(PageScript, StatusAgeAndTheEndOfARestart)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    // Each line: age by the server's Date header, and whether a restart asked 30 s ago is over.
    const std::string script = R"js(const { statusAge, restartDone } = require(process.argv[2] + '/dash.js');
const date = 'Tue, 09 Dec 2025 03:13:30 GMT'; // 1765250010
const cases = [
  [{ time: 1765250009.5, uptime_s: 12, streams: { main: { fps: 30 } } }, date],  // restarted and streaming
  [{ time: 1765250009.5, uptime_s: 3600, streams: { main: { fps: 30 } } }, date], // the old encoder still runs
  [{ time: 1765250009.5, uptime_s: 12, streams: { main: { fps: 0 } } }, date],   // restarted, no picture yet
  [{ time: 1765250001, uptime_s: 12, streams: { main: { fps: 30 } } }, date],    // its status is 9 s old
  [{ time: 1765250009.5, uptime_s: 12, streams: {} }, date],                     // no main stream reported
  [{ time: 1765250009.5, uptime_s: 12, streams: { main: { fps: 30 } } }, null],  // no Date: age unknown
  [null, date],
];
for (const [s, d] of cases) {
  const age = statusAge(s, d);
  console.log((age === null ? 'null' : age.toFixed(1)) + ' ' + restartDone(s, age, 30));
}
)js";
    EXPECT_EQ(pageScriptRun(script, ""), "0.5 true\n0.5 false\n0.5 false\n9.0 false\n0.5 false\nnull true\nnull false\n");
}
