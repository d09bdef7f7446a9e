#include "web/form/form.h"

#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"
#include "tests/web/page_script.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// The library calls the program's handler; these in-process tests drive the parsers directly.
int cgiMain()
{
    return 0;
}

namespace {

struct Entry {
    std::string attr, value, fileName, contentType, tfileName;
};

std::vector<Entry> entries()
{
    std::vector<Entry> out;
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        out.push_back({e->attr, std::string(e->value, static_cast<size_t>(e->valueLength)), e->fileName,
                       e->contentType, e->tfileName});
    }
    return out;
}

class FormTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        cgiFreeResources();
        if (in_ != nullptr) {
            std::fclose(in_);
        }
    }
    cgiParseResultType parseUrl(const std::string &s)
    {
        cgiFreeResources();
        return cgiParseFormInput(s.data(), static_cast<int>(s.size()));
    }
    // Multipart parse of `stream` with the given CONTENT_LENGTH (the whole stream by default).
    cgiParseResultType parseMultipart(const std::string &stream, const std::string &boundary, int length = -1)
    {
        cgiFreeResources();
        stream_ = stream;
        if (in_ != nullptr) {
            std::fclose(in_);
        }
        in_ = fmemopen(stream_.data(), stream_.size() == 0 ? 1 : stream_.size(), "r");
        cgiIn = in_;
        std::snprintf(cgiMultipartBoundary, sizeof cgiMultipartBoundary, "%s", boundary.c_str());
        cgiContentLength = length < 0 ? static_cast<int>(stream_.size()) : length;
        return cgiParsePostMultipartInput();
    }
    long consumed() const { return std::ftell(in_); }

    std::string stream_;
    FILE *in_ = nullptr;
};

std::string lookup(const char *name, cgiFormResultType *r = nullptr, bool newlines = false)
{
    char buf[1024];
    cgiFormResultType res = newlines ? cgiFormString(name, buf, sizeof buf) : cgiFormStringNoNewlines(name, buf, sizeof buf);
    if (r != nullptr) {
        *r = res;
    }
    return buf;
}

} // namespace

TEST_F(FormTest, UrlEncodedFieldsAndFragments)
{
    ASSERT_EQ(parseUrl("a=1&b"), cgiParseSuccess);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].attr, "a");
    EXPECT_EQ(entries()[0].value, "1");
    EXPECT_EQ(entries()[0].fileName, "");
    EXPECT_EQ(entries()[0].tfileName, "");

    ASSERT_EQ(parseUrl("a=&b=2"), cgiParseSuccess);
    cgiFormResultType r;
    EXPECT_EQ(lookup("a", &r), "");
    EXPECT_EQ(r, cgiFormEmpty);
    EXPECT_EQ(lookup("b", &r), "2");
    EXPECT_EQ(r, cgiFormSuccess);

    // A fragment without '=' between fields is no field and leaves the next one intact.
    ASSERT_EQ(parseUrl("x&&b=2&=3&c=4=5"), cgiParseSuccess);
    std::vector<Entry> e = entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].attr, "b");
    EXPECT_EQ(e[1].attr, "");
    EXPECT_EQ(e[1].value, "3");
    EXPECT_EQ(e[2].attr, "c");
    EXPECT_EQ(e[2].value, "4=5");
}

TEST_F(FormTest, UnescapeRules)
{
    ASSERT_EQ(parseUrl("v=%41%2b+y&n%20m=%e4%B8%ad&t=%4&u=%&w=%zz1"), cgiParseSuccess);
    std::vector<Entry> e = entries();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0].value, "A+ y");
    EXPECT_EQ(e[1].attr, "n m");
    EXPECT_EQ(e[1].value, "\xe4\xb8\xad");
    EXPECT_EQ(e[2].value, "%4");
    EXPECT_EQ(e[3].value, "%");
    // A non-hexadecimal character counts as 0: "%zz" is a NUL byte, kept in the value's length.
    EXPECT_EQ(e[4].value, std::string("\0" "1", 2));

    char *s = cgiUnescapeChars("a+%2B%2", 7);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a +%2");
    std::free(s);
}

TEST_F(FormTest, UrlEncodedBodyBeyondBoundIsRefused)
{
    std::string big = "a=" + std::string(1 << 20, 'x');
    EXPECT_EQ(parseUrl(big), cgiParseMemory);
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
    EXPECT_EQ(parseUrl(std::string((1 << 20) - 2, 'y') + "=1"), cgiParseSuccess);
}

TEST_F(FormTest, LookupsFirstOccurrenceTruncationAndLineBreaks)
{
    ASSERT_EQ(parseUrl("d=first&d=second&long=" + std::string(1500, 'z') +
                       "&nl=a%0D%0Ab&runs=x%0D%0A%0D%0Ay%0A%0D%0Az%0Dq&btn=&sel=female&up=Male"),
              cgiParseSuccess);
    cgiFormResultType r;
    EXPECT_EQ(lookup("d"), "first");
    std::string longValue = lookup("long", &r);
    EXPECT_EQ(r, cgiFormTruncated);
    EXPECT_EQ(longValue, std::string(1023, 'z'));
    EXPECT_EQ(lookup("nl", &r), "ab");
    EXPECT_EQ(r, cgiFormSuccess);
    EXPECT_EQ(lookup("nl", &r, true), "a\nb");
    // Each run of CR and LF gives max(CRs, LFs) line breaks.
    EXPECT_EQ(lookup("runs", nullptr, true), "x\n\ny\n\nz\nq");
    EXPECT_EQ(lookup("runs"), "xyzq");
    EXPECT_EQ(lookup("absent", &r), "");
    EXPECT_EQ(r, cgiFormNotFound);

    char small[4];
    EXPECT_EQ(cgiFormString("d", small, sizeof small), cgiFormTruncated);
    EXPECT_STREQ(small, "fir");

    EXPECT_EQ(cgiFormCheckboxSingle("btn"), cgiFormSuccess);
    EXPECT_EQ(cgiFormCheckboxSingle("Btn"), cgiFormNotFound);
    EXPECT_TRUE(cgiFormButtonPressed("btn"));
    EXPECT_FALSE(cgiFormButtonPressed("Btn"));

    const char *choices[] = {"male", "female", "amale"};
    int idx = -1;
    EXPECT_EQ(cgiFormRadio("sel", choices, 3, &idx, 0), cgiFormSuccess);
    EXPECT_EQ(idx, 1);
    EXPECT_EQ(cgiFormSelectSingle("up", choices, 3, &idx, 2), cgiFormNoSuchChoice);
    EXPECT_EQ(idx, 2);
    EXPECT_EQ(cgiFormRadio("none", choices, 3, &idx, 0), cgiFormNotFound);
    EXPECT_EQ(idx, 0);
    // A two-way radio does not accept the third choice text.
    ASSERT_EQ(parseUrl("r=amale"), cgiParseSuccess);
    EXPECT_EQ(cgiFormRadio("r", choices, 2, &idx, 0), cgiFormNoSuchChoice);
}

// A value with a NUL byte in it is never read as the text before the NUL, by any lookup and from either
// body type; a name with one names no field.
TEST_F(FormTest, NulBytesNeverCutAValueOrAName)
{
    using namespace std::string_literals;
    const char *choices[] = {"male", "female"};
    struct Case {
        const char *what;
        std::string body; // URL-encoded; the same fields go as multipart too, with a name cut by a NUL
    };
    const std::vector<Case> cases = {
        {"%00 in a number", "v=1%00junk"},
        {"%00 at the end", "v=changeme%00"},
        {"%00 alone", "v=%00"},
        {"a non-hexadecimal escape decodes to NUL", "v=male%zz"},
        {"%00 in a name", "name5_submit%00x=1&v=%00"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(parseUrl(c.body), cgiParseSuccess) << c.what;
        std::string multipartBody;
        for (const Entry &e : entries()) {
            multipartBody +=
                "--b\r\nContent-Disposition: form-data; name=\"" + e.attr + "\"\r\n\r\n" + e.value + "\r\n";
        }
        multipartBody += "--b\r\nContent-Disposition: form-data; name=\"name5_submit\0x\"\r\n\r\n1\r\n--b--\r\n"s;
        for (bool multipart : {false, true}) {
            if (multipart) {
                ASSERT_EQ(parseMultipart(multipartBody, "b"), cgiParseSuccess) << c.what;
            } else {
                ASSERT_EQ(parseUrl(c.body), cgiParseSuccess) << c.what;
            }
            std::string what = std::string(c.what) + (multipart ? " (multipart)" : "");
            for (bool newlines : {false, true}) {
                cgiFormResultType r;
                EXPECT_EQ(lookup("v", &r, newlines), "") << what;
                EXPECT_EQ(r, cgiFormTruncated) << what;
            }
            int idx = -1;
            EXPECT_EQ(cgiFormRadio("v", choices, 2, &idx, 1), cgiFormNoSuchChoice) << what;
            EXPECT_EQ(cgiFormSelectSingle("v", choices, 2, &idx, 1), cgiFormNoSuchChoice) << what;
            EXPECT_EQ(idx, 1) << what;
            EXPECT_FALSE(cgiFormButtonPressed("name5_submit")) << what;
        }
    }
}

TEST_F(FormTest, EnvironmentStringsContentTypeAndBoundary)
{
    const char *vars[] = {"SERVER_SOFTWARE", "SERVER_NAME",   "GATEWAY_INTERFACE", "SERVER_PROTOCOL", "SERVER_PORT",
                          "REQUEST_METHOD",  "PATH_INFO",     "PATH_TRANSLATED",   "SCRIPT_NAME",     "QUERY_STRING",
                          "REMOTE_HOST",     "REMOTE_ADDR",   "AUTH_TYPE",         "REMOTE_USER",     "REMOTE_IDENT",
                          "HTTP_ACCEPT",     "HTTP_USER_AGENT", "HTTP_REFERER",    "HTTP_COOKIE",     "CONTENT_TYPE",
                          "CONTENT_LENGTH"};
    for (const char *v : vars) {
        unsetenv(v);
    }
    cgiInit();
    const char *strings[] = {cgiServerSoftware, cgiServerName, cgiGatewayInterface, cgiServerProtocol, cgiServerPort,
                             cgiRequestMethod,  cgiPathInfo,   cgiPathTranslated,   cgiScriptName,     cgiQueryString,
                             cgiRemoteHost,     cgiRemoteAddr, cgiAuthType,         cgiRemoteUser,     cgiRemoteIdent,
                             cgiAccept,         cgiUserAgent,  cgiReferrer,         cgiCookie};
    for (const char *s : strings) {
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s, "");
    }
    EXPECT_STREQ(cgiContentType, "");
    EXPECT_STREQ(cgiMultipartBoundary, "");
    EXPECT_EQ(cgiContentLength, 0);
    EXPECT_EQ(cgiIn, stdin);
    EXPECT_EQ(cgiOut, stdout);

    setenv("HTTP_REFERER", "http://127.0.0.1/x", 1);
    setenv("CONTENT_TYPE", "multipart/form-data;  BOUNDARY=  ab-12 junk", 1);
    setenv("CONTENT_LENGTH", "123", 1);
    setenv("REQUEST_METHOD", "POST", 1);
    cgiInit();
    EXPECT_STREQ(cgiReferrer, "http://127.0.0.1/x");
    EXPECT_STREQ(cgiContentType, "multipart/form-data");
    EXPECT_STREQ(cgiMultipartBoundary, "ab-12");
    EXPECT_EQ(cgiContentLength, 123);

    setenv("CONTENT_TYPE", "multipart/form-data; boundary=\"quoted=b\"; charset=utf-8", 1);
    cgiInit();
    EXPECT_STREQ(cgiMultipartBoundary, "quoted=b");
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=plain;charset=utf-8", 1);
    cgiInit();
    EXPECT_STREQ(cgiMultipartBoundary, "plain");

    setenv("CONTENT_TYPE", std::string(2000, 'x').c_str(), 1);
    setenv("CONTENT_LENGTH", "99999999999999", 1);
    cgiInit();
    EXPECT_EQ(std::strlen(cgiContentType), 1023u);
    EXPECT_EQ(cgiContentLength, 2147483647);

    setenv("REQUEST_METHOD", "GET", 1);
    setenv("QUERY_STRING", "a=1&b=22", 1);
    setenv("CONTENT_LENGTH", "5000", 1);
    cgiInit();
    EXPECT_EQ(cgiContentLength, 8);
    for (const char *v : vars) {
        unsetenv(v);
    }
}

TEST_F(FormTest, MultipartFieldsFilesAndPreamble)
{
    TempRoot root;
    // Binary file data with CR LF, "--" and a near-copy of the delimiter inside.
    using namespace std::string_literals;
    std::string fileData = "\x00\x01\r\n--XYz\r\n--XY\r\r\n-\r\r\n--\r\n-"s + std::string(3000, 'q') + "\r\n--X";
    std::string body = "preamble line\r\n"
                       "--XYZ\r\n"
                       "Content-Disposition: form-data; name=\"first\"\r\n\r\n"
                       "one\r\ntwo\r\n"
                       "--XYZ\r\n"
                       "content-disposition: attachment; name=\"skipped\"\r\n\r\n"
                       "ignored\r\n"
                       "--XYZ\n"
                       "Content-Type: application/octet-stream\n"
                       "CONTENT-DISPOSITION: form-data; filename=\"c:\\a b.bin\"; name=up\n\n" +
                       fileData +
                       "\r\n--XYZ\r\n"
                       "Content-Disposition: form-data; name=\"empty\"\r\n\r\n"
                       "\r\n--XYZ--\r\nepilogue --XYZ\r\n";
    ASSERT_EQ(parseMultipart(body, "XYZ"), cgiParseSuccess);
    std::vector<Entry> e = entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].attr, "first");
    EXPECT_EQ(e[0].value, "one\r\ntwo");
    EXPECT_EQ(e[1].attr, "up");
    EXPECT_EQ(e[1].value, "");
    EXPECT_EQ(e[1].fileName, "c:\\a b.bin");
    EXPECT_EQ(e[1].contentType, "application/octet-stream");
    EXPECT_EQ(e[2].attr, "empty");
    EXPECT_EQ(e[2].value, "");

    const std::string &tmp = e[1].tfileName;
    EXPECT_EQ(tmp.rfind(root.dir() + "/tmp/", 0), 0u) << tmp;
    struct stat st {};
    ASSERT_EQ(stat(tmp.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream f(tmp, std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, fileData);

    cgiFreeResources();
    EXPECT_FALSE(std::filesystem::exists(tmp));
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
}

TEST_F(FormTest, MultipartNeverReadsPastContentLength)
{
    std::string form = "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--b--";
    std::string trailer = "\r\nNEXT REQUEST BYTES";
    ASSERT_EQ(parseMultipart(form + trailer, "b", static_cast<int>(form.size())), cgiParseSuccess);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].value, "1");
    EXPECT_LE(consumed(), static_cast<long>(form.size()));

    // A length that ends inside a part leaves that part unterminated: a malformed body.
    ASSERT_EQ(parseMultipart(form, "b", 50), cgiParseIO);
    EXPECT_EQ(consumed(), 50);
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
}

TEST_F(FormTest, MultipartFailuresAndEmptyForms)
{
    TempRoot root;
    std::string filePart = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nDATA\r\n--b--\r\n";
    // The input ends before CONTENT_LENGTH bytes, inside the file data.
    EXPECT_EQ(parseMultipart(filePart.substr(0, 60), "b", static_cast<int>(filePart.size())), cgiParseIO);
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
    // No upload file is left behind by a failed parse.
    EXPECT_TRUE(std::filesystem::is_empty(root.path("/tmp")));
    // CONTENT_LENGTH ends inside the file data.
    EXPECT_EQ(parseMultipart(filePart, "b", 60), cgiParseIO);
    // A complete form followed by fewer epilogue bytes than announced is still the whole form.
    EXPECT_EQ(parseMultipart(filePart, "b", static_cast<int>(filePart.size()) + 10), cgiParseSuccess);
    cgiFreeResources();
    EXPECT_TRUE(std::filesystem::is_empty(root.path("/tmp")));
    // Without a directory for the upload the parse fails.
    std::filesystem::remove_all(root.path("/tmp"));
    EXPECT_EQ(parseMultipart(filePart, "b"), cgiParseIO);

    EXPECT_EQ(parseMultipart("", "b"), cgiParseSuccess);
    EXPECT_EQ(parseMultipart("no boundary anywhere\r\n", "b"), cgiParseSuccess);
    EXPECT_EQ(cgiFormEntryFirst, nullptr);
    EXPECT_EQ(parseMultipart("--b\r\n", "b"), cgiParseSuccess);
    EXPECT_EQ(parseMultipart("--b\r\nContent-Disp", "b"), cgiParseIO);
    EXPECT_EQ(parseMultipart(filePart, ""), cgiParseIO);

    // Beyond the bound nothing is read at all.
    EXPECT_EQ(parseMultipart(filePart, "b", (16 << 20) + 1), cgiParseMemory);
    EXPECT_EQ(consumed(), 0);
}

TEST_F(FormTest, MultipartLongHeadersAndValues)
{
    std::string longName(3000, 'n');
    std::string value(200000, 'v');
    std::string body = "--bb\r\nContent-Disposition: form-data; name=\"" + longName + "\"\r\nX-Other: " +
                       std::string(5000, 'h') + "\r\n\r\n" + value + "\r\n--bb\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nok\r\n--bb--";
    ASSERT_EQ(parseMultipart(body, "bb"), cgiParseSuccess);
    std::vector<Entry> e = entries();
    ASSERT_EQ(e.size(), 2u);
    // The quoted attribute lost its end in the cut header line; the value is still read whole.
    EXPECT_LE(e[0].attr.size(), 1023u);
    EXPECT_EQ(e[0].value, value);
    EXPECT_EQ(e[1].value, "ok");
}

// --- Whole requests through a real program. ---

namespace {

std::string echoProgram()
{
    return FORM_ECHO_CGI_BINARY;
}

} // namespace

TEST(FormRequest, GetUrlEncodedAndMultipartGiveTheSameForm)
{
    TempRoot root;
    std::vector<CgiField> fields = {{"a", "1"}, {"text", "x y&z=%"}, {"btn", ""}};
    const std::string entriesText = "[a]=[1]\n[text]=[x y&z=%]\n[btn]=[]\nend\n";

    const std::string query = cgiUrlEncoded(fields);
    ASSERT_EQ(query, "a=1&text=x+y%26z%3D%25&btn=");
    CgiResponse get = cgiGet(echoProgram(), root.dir(), query);
    EXPECT_EQ(get.status, 7);
    EXPECT_EQ(get.out, std::string(kTextPlain) + "method=GET\ntype=\nboundary=\nlength=27\nquery=" + query + "\n" +
                           entriesText);

    CgiResponse post = cgiPostUrl(echoProgram(), root.dir(), fields);
    EXPECT_EQ(post.status, 7);
    EXPECT_EQ(post.out, std::string(kTextPlain) +
                            "method=POST\ntype=application/x-www-form-urlencoded\nboundary=\nlength=27\nquery=\n" +
                            entriesText);

    CgiResponse mp = cgiPostMultipart(echoProgram(), root.dir(), fields);
    EXPECT_EQ(mp.status, 7);
    EXPECT_NE(mp.out.find("type=multipart/form-data\nboundary=----formBoundary7MA4YWxkTrZu0gW\n"), std::string::npos);
    EXPECT_NE(mp.out.find("\nquery=\n" + entriesText), std::string::npos) << mp.out;
}

TEST(FormRequest, UploadFileLivesOnlyForTheRequest)
{
    TempRoot root;
    std::string body = "--zz\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
                       "Content-Type: text/plain\r\n\r\nhello\r\n--zz--\r\n";
    CgiResponse r = cgiPostBody(echoProgram(), root.dir(), "multipart/form-data; boundary=zz", body);
    EXPECT_EQ(r.status, 7);
    size_t at = r.out.find("[up]=[] file=a.txt type=text/plain size=5 mode=600 tfile=");
    ASSERT_NE(at, std::string::npos) << r.out;
    size_t b = r.out.find("tfile=", at) + 6;
    std::string tfile = r.out.substr(b, r.out.find('\n', b) - b);
    EXPECT_EQ(tfile.rfind(root.dir() + "/tmp/", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(tfile));
}

TEST(FormRequest, OtherMethodsAndTypesRunWithoutEntries)
{
    TempRoot root;
    for (const char *method : {"HEAD", "PUT"}) {
        std::vector<std::string> env = cgiBaseEnv(root.dir(), method);
        env.push_back("QUERY_STRING=a=1");
        env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
        env.push_back("CONTENT_LENGTH=3");
        CgiResponse r = cgiExec(echoProgram(), env, "b=2");
        EXPECT_EQ(r.status, 7);
        EXPECT_EQ(r.out.find("[a]"), std::string::npos);
        EXPECT_EQ(r.out.find("[b]"), std::string::npos);
        EXPECT_NE(r.out.find(std::string("method=") + method + "\n"), std::string::npos);
    }
    CgiResponse text = cgiPostBody(echoProgram(), root.dir(), "text/plain", "a=1");
    EXPECT_EQ(text.status, 7);
    EXPECT_EQ(text.out.find("[a]"), std::string::npos);
    // Method and type are compared without regard to case.
    std::vector<std::string> env = cgiBaseEnv(root.dir(), "post");
    env.push_back("CONTENT_TYPE=Application/X-WWW-Form-Urlencoded; charset=UTF-8");
    env.push_back("CONTENT_LENGTH=3");
    CgiResponse mixed = cgiExec(echoProgram(), env, "a=1");
    EXPECT_NE(mixed.out.find("[a]=[1]\n"), std::string::npos) << mixed.out;
}

TEST(FormRequest, ParseFailureGivesStatusMinusOneAndNoResponse)
{
    TempRoot root;
    // Shorter body than announced.
    std::vector<std::string> env = cgiBaseEnv(root.dir(), "POST");
    env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
    env.push_back("CONTENT_LENGTH=100");
    CgiResponse shortBody = cgiExec(echoProgram(), env, "a=1");
    EXPECT_EQ(shortBody.status, 255);
    EXPECT_EQ(shortBody.out, "");

    // A length beyond the bound is refused without reading.
    env.back() = "CONTENT_LENGTH=1048577";
    CgiResponse big = cgiExec(echoProgram(), env, "a=1");
    EXPECT_EQ(big.status, 255);
    EXPECT_EQ(big.out, "");

    CgiResponse badMultipart = cgiPostBody(echoProgram(), root.dir(), "multipart/form-data; boundary=q",
                                           "--q\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nunterminated");
    EXPECT_EQ(badMultipart.status, 255);
    EXPECT_EQ(badMultipart.out, "");
}

// --- The pages' side of the form: input patterns and the answer panel ---

TEST(PageScript, InputPatternsCompileAsCurrentBrowsersDo)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    // Browsers compile a pattern with the v flag and silently drop the check when that fails.
    const std::string script = R"js(const fs = require('fs');
let checked = 0;
for (const f of fs.readdirSync(process.argv[2]).filter((n) => n.endsWith('.html'))) {
  const html = fs.readFileSync(process.argv[2] + '/' + f, 'utf8');
  for (const m of html.matchAll(/pattern="([^"]*)"/g)) {
    checked++;
    try { new RegExp('^(?:' + m[1] + ')$', 'v'); } catch (e) { console.log('bad ' + f + ': ' + m[1]); }
  }
}
console.log('checked ' + checked);
)js";
    std::string out = pageScriptRun(script, "");
    EXPECT_EQ(out.find("bad "), std::string::npos) << out;
    EXPECT_EQ(out.rfind("checked ", 0), 0u) << out;
    EXPECT_NE(out, "checked 0\n");
}

TEST(PageScript, TimingPatternsTakeWhatTheTimingProgramTakes)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    // One line of 0/1 per pattern of the timing page, one digit per input line.
    const std::string script = R"js(const fs = require('fs');
const html = fs.readFileSync(process.argv[2] + '/timing.html', 'utf8');
const inputs = fs.readFileSync(process.argv[3], 'utf8').split('\n');
for (const m of html.matchAll(/pattern="([^"]*)"/g)) {
  const re = new RegExp('^(?:' + m[1] + ')$', 'v');
  console.log(inputs.map((s) => (re.test(s) ? '1' : '0')).join(''));
}
)js";
    const std::vector<std::pair<std::string, char>> cases = {
        {"0", '1'},     {"-5", '1'},  {"+12", '1'},         {"999999999", '1'}, {"-999999999", '1'},
        {"1234567890", '0'}, {"--1", '0'}, {"1-", '0'}, {" 1", '0'}, {"1a", '0'}, {"5;reboot", '0'}, {"-", '0'},
    };
    std::string input;
    std::string expected;
    for (const auto &[text, accepted] : cases) {
        input += (input.empty() ? "" : "\n") + text;
        expected += accepted;
    }
    EXPECT_EQ(pageScriptRun(script, input), expected + "\n" + expected + "\n"); // chang and hang
}

TEST(AnswerPanel, HeadingSaysWhatHappened)
{
    if (!pageScriptRunnable()) {
        GTEST_SKIP() << "node is not installed";
    }
    // The programs answer nothing when no field they act on was sent: nothing was applied, and the
    // request itself was read.
    PanelAnswer a = panelRead(200, "");
    EXPECT_EQ(a.outcome, "empty");
    EXPECT_EQ(a.heading, "Set: nothing to apply");
    EXPECT_NE(a.text.find("received the request and changed nothing"), std::string::npos) << a.text;

    a = panelRead(200, "set ok\n");
    EXPECT_EQ(a.outcome, "done");
    EXPECT_EQ(a.heading, "Set: done");
    EXPECT_EQ(a.text, "set ok\n");

    // An HTTP error is a refusal, with the server's text when it sent one.
    a = panelRead(500, "");
    EXPECT_EQ(a.outcome, "refused");
    EXPECT_EQ(a.heading, "Set: refused (HTTP 500)");
    EXPECT_FALSE(a.text.empty());
    a = panelRead(404, "not here\n");
    EXPECT_EQ(a.heading, "Set: refused (HTTP 404)");
    EXPECT_EQ(a.text, "not here\n");
}
