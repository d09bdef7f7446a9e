// The pages against their programs: every choice and typed value a page sends comes back in the read
// answer as the page would show it, every field of a page is answered, every action that restores
// factory settings asks first; and the pages' own script (under node) filling the fields.
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
// them, a URL the start script has to quote as typed).
TEST(Pages, TypedValuesAreReadBackAsStored)
{
    struct Typed {
        const char *program;
        const char *button;
        const char *field;
        const char *typed;
        const char *shown;
    };
    const Typed cases[] = {
        {SETTINGS_CGI_BINARY, "name1_submit", "ip", "10.0.0.5", "10.0.0.5"},
        {SETTINGS_CGI_BINARY, "mac_submit", "mac", "0a:1B:2c:3D:4e:5F", "0a:1B:2c:3D:4e:5F"},
        {SETTINGS_CGI_BINARY, "namec_submit", "tc", "5000", "5000"},
        {SETTINGS_CGI_BINARY, "ttl_submit", "ttl", "32", "32"},
        {SETTINGS_CGI_BINARY, "rtmpurl_submit", "rtmpurl", "rtmp://10.0.0.9/live/a?key=b&x=1",
         "rtmp://10.0.0.9/live/a?key=b&x=1"},
        {SETTINGS_CGI_BINARY, "name3_submit", "bitrate", "2500000", "2500000"},
        {SETTINGS_CGI_BINARY, "nameidr_submit", "idr", "60", "60"},
        {SETTINGS_CGI_BINARY, "cvbr_submit", "cvbr", "300", "300"},
        {SETTINGS_CGI_BINARY, "vs_height_submit", "vs_height", "480", "480"},
        {SETTINGS_CGI_BINARY, "namelr_submit", "lr", "200", "200"},
        {SETTINGS_CGI_BINARY, "name_volume_submit", "volume", "40", "40"},
        {SETTINGS_CGI_BINARY, "ssid_submit", "ssid", "shop floor", "shop floor"},
        {SETTINGS_CGI_BINARY, "passkey_submit", "passkey", "eight chars", "eight chars"},
        {SETTINGS_CGI_BINARY, "wifi_ip_submit", "wifi_ip", "10.1.0.7", "10.1.0.7"},
        {SETTINGS_CGI_BINARY, "sub_submit", "sub_text", "AB\xE4\xB8\xAD", "\xEF\xBC\xA1\xEF\xBC\xA2\xE4\xB8\xAD"},
        {SETTINGS_CGI_BINARY, "s_y_submit", "s_y", "100", "100"},
        {SETTINGS_CGI_BINARY, "mg_xy", "mg_x", "100", "112"},
        {SETTINGS_CGI_BINARY, "gx_wh", "gx_h", "0", "16"},
        {STREAM2_CGI_BINARY, "l_submit", "l", "352", "352"},
        {STREAM2_CGI_BINARY, "s_cvbr_submit", "s_cvbr", "5", "5"},
    };
    TempRoot root{true};
    for (const Typed &t : cases) {
        cgiPostUrl(t.program, root.dir(), {{t.button, "Set"}, {t.field, t.typed}});
        nlohmann::json doc = pageValues(t.program, root.dir());
        ASSERT_FALSE(doc.is_discarded()) << t.field;
        EXPECT_EQ(doc["values"][t.field], t.shown) << t.field << " " << doc["notes"].value(t.field, "");
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
                bool typedIn = field == "chang" || field == "hang"; // the amounts a change moves by
                EXPECT_TRUE(typedIn || doc["values"].contains(field)) << p.file << ": " << field << " is not answered";
                EXPECT_NE(html.find("id=\"" + field + "\""), std::string::npos) << p.file << ": no id " << field;
            }
        }
    }
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
