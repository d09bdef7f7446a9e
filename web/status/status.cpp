// The status program behind /cgi-bin/status.cgi: it serves what the encoder writes for the operator's
// view, as it stands and never cached (the form layer's headers say so): the status JSON
// (/tmp/encode.status, the default answer), the preview picture (?what=jpeg, /tmp/encode.jpg) and the
// last 200 lines of the console log (?what=log, /tmp/encode.log). It only reads: a request to another
// host than this box is refused first, then any request but GET or HEAD before its body is read, so
// not even the form layer's upload files are made.
//
// The status carries the WebRTC server's own (/tmp/webrtc.status) as its "webrtc" member, so that one
// request gives the page everything; without that file the member says {"state":"off"}.
//
// Every file is read with a bound, and only a regular file is read at all (a pipe put in its place
// would block the request). The encoder and the WebRTC server replace their files by renaming, so a
// file read here is always whole.
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include "encode/core/paths.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr off_t kStatusLimit = 256 * 1024;
constexpr off_t kPictureLimit = 4 * 1024 * 1024;
constexpr off_t kLogWindow = 512 * 1024; // the tail read for the last lines
constexpr int kLogLines = 200;

enum class ReadResult { Ok, Missing, Unreadable, TooLarge };

void answerLine(const char *status, const std::string &line)
{
    std::fprintf(cgiOut, "Status: %s\r\n", status);
    cgiHeaderContentType("text/plain; charset=utf-8");
    std::fprintf(cgiOut, "%s\n", line.c_str());
}

// Reads the file, or with `tail` only its last `limit` bytes; a longer file without `tail` is TooLarge.
ReadResult readBounded(const char *systemPath, off_t limit, bool tail, std::string &out)
{
    int fd = ::open(Path_resolve(systemPath).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    struct stat st {};
    ReadResult r = ReadResult::Ok;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        r = ReadResult::Unreadable;
    } else if (st.st_size > limit && !tail) {
        r = ReadResult::TooLarge;
    } else {
        off_t from = st.st_size > limit ? st.st_size - limit : 0;
        // The file may grow while it is read (the log does); no more than the bound is taken.
        out.resize(static_cast<size_t>(st.st_size - from));
        size_t got = 0;
        while (got < out.size()) {
            ssize_t n = ::pread(fd, out.data() + got, out.size() - got, from + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                r = n < 0 ? ReadResult::Unreadable : r;
                break;
            }
            got += static_cast<size_t>(n);
        }
        out.resize(got);
    }
    ::close(fd);
    return r;
}

bool isUtf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (more > 3 || (more > 0 && more >= s.size() - i)) {
            return false;
        }
        for (size_t k = 1; k <= more; k++) {
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) {
                return false;
            }
        }
        i += more + 1;
    }
    return true;
}

// The encoder prints some of its lines in GB2312; the page is UTF-8. A line that is not UTF-8 is
// converted, and a byte that is neither becomes '?', so one odd line never spoils the view.
std::string lineAsUtf8(std::string_view line)
{
    if (isUtf8(line)) {
        return std::string(line);
    }
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "GB18030");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char c : line) {
            out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        }
        return out;
    }
    std::string in(line);
    char *inPtr = in.data();
    size_t inLeft = in.size();
    char buf[1024];
    while (inLeft > 0) {
        char *outPtr = buf;
        size_t outLeft = sizeof buf;
        size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf, static_cast<size_t>(outPtr - buf));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            out += '?'; // a byte the converter cannot take
            inPtr++;
            inLeft--;
        }
    }
    iconv_close(cd);
    return out;
}

// The last kLogLines lines of `text`; when the text is a tail cut out of a longer file, its first,
// partial line is not one of them.
std::string lastLines(std::string_view text, bool cut)
{
    if (cut) {
        size_t nl = text.find('\n');
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    }
    size_t begin = text.size();
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') {
        end--; // the line end of the last line, not an empty line after it
    }
    size_t pos = end;
    for (int lines = 0; lines < kLogLines && pos > 0; lines++) {
        size_t nl = text.rfind('\n', pos - 1);
        begin = nl == std::string_view::npos ? 0 : nl + 1;
        pos = nl == std::string_view::npos ? 0 : nl;
    }
    if (end == 0) {
        return {};
    }
    std::string out;
    std::string_view rest = text.substr(begin);
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        out += lineAsUtf8(rest.substr(0, nl)) + "\n";
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    return out;
}

// The WebRTC server's status as the member's value: its document when it is a JSON object, else a
// state that says why there is none. A broken file must not spoil the encoder's status around it.
std::string webrtcMember()
{
    constexpr char kPath[] = "/tmp/webrtc.status";
    std::string text;
    auto error = [&kPath](const char *why) {
        return nlohmann::json{{"state", "error"}, {"error", std::string(kPath) + " " + why}}.dump();
    };
    switch (readBounded(kPath, kStatusLimit, false, text)) {
    case ReadResult::Missing: return R"({"state":"off"})";
    case ReadResult::Unreadable:
    case ReadResult::TooLarge: return error("cannot be read");
    case ReadResult::Ok: break;
    }
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        return error("is not a JSON object");
    }
    return doc.dump();
}

// The encoder's status object with the "webrtc" member added at its end; text that is no object is
// left as it is (the page reports it).
std::string withWebrtc(std::string status)
{
    size_t end = status.find_last_not_of(" \t\r\n");
    size_t open = status.find_first_not_of(" \t\r\n");
    if (end == std::string::npos || status[end] != '}' || status[open] != '{') {
        return status;
    }
    bool empty = status.find_first_not_of(" \t\r\n", open + 1) == end;
    status.insert(end, std::string(empty ? "" : ",") + "\"webrtc\":" + webrtcMember());
    return status;
}

struct Served {
    const char *what;
    const char *path;
    const char *type;
    off_t limit;
    bool log;
};

constexpr Served kServed[] = {
    {"status", "/tmp/encode.status", "application/json", kStatusLimit, false},
    {"jpeg", "/tmp/encode.jpg", "image/jpeg", kPictureLimit, false},
    {"log", "/tmp/encode.log", "text/plain; charset=utf-8", kLogWindow, true},
};

void serve(const Served &s)
{
    std::string data;
    switch (readBounded(s.path, s.limit, s.log, data)) {
    case ReadResult::Missing:
        answerLine("404 Not Found", std::string(s.path) + " is missing: the encoder has not written it");
        return;
    case ReadResult::Unreadable: answerLine("500 Internal Server Error", std::string(s.path) + " cannot be read"); return;
    case ReadResult::TooLarge:
        answerLine("500 Internal Server Error",
                   std::string(s.path) + " is larger than " + std::to_string(s.limit) + " bytes");
        return;
    case ReadResult::Ok: break;
    }
    if (s.log) {
        struct stat st {};
        bool cut = ::stat(Path_resolve(s.path).c_str(), &st) == 0 && st.st_size > s.limit;
        data = lastLines(data, cut);
    }
    if (std::strcmp(s.what, "status") == 0) {
        data = withWebrtc(std::move(data));
    }
    cgiHeaderContentType(s.type);
    std::fwrite(data.data(), 1, data.size(), cgiOut);
}

} // namespace

int cgiMain()
{
    char what[16] = "";
    cgiFormResultType r = cgiFormStringNoNewlines("what", what, sizeof what);
    const char *asked = r == cgiFormNotFound ? "status" : what;
    for (const Served &s : kServed) {
        if (std::strcmp(asked, s.what) == 0) {
            serve(s);
            return 0;
        }
    }
    answerLine("400 Bad Request", "what= takes status, jpeg or log");
    return 0;
}

int main()
{
    cgiInit();
    if (!cgiHostAllowed() || !cgiLoginRequired()) {
        return 0;
    }
    if (strcasecmp(cgiRequestMethod, "GET") != 0 && strcasecmp(cgiRequestMethod, "HEAD") != 0) {
        std::printf("Allow: GET, HEAD\r\n");
        answerLine("405 Method Not Allowed", "the status is read with GET");
        return 0;
    }
    int result = -1;
    if (cgiParseGetFormInput() == cgiParseSuccess) {
        result = cgiMain();
    }
    std::fflush(cgiOut);
    cgiFreeResources();
    return result;
}
