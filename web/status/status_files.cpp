#include "web/status/status_files.h"

#include "encode/core/paths.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr int kLogLines = 200;


// Reads the file, or with `tail` only its last `limit` bytes; a longer file without `tail` is TooLarge.
StatusRead readBounded(const char *systemPath, off_t limit, bool tail, std::string &out)
{
    int fd = ::open(Path_resolve(systemPath).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? StatusRead::Missing : StatusRead::Unreadable;
    }
    struct stat st {};
    StatusRead r = StatusRead::Ok;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        r = StatusRead::Unreadable;
    } else if (st.st_size > limit && !tail) {
        r = StatusRead::TooLarge;
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
                r = n < 0 ? StatusRead::Unreadable : r;
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
    switch (readBounded(kPath, STATUS_DOC_LIMIT, false, text)) {
    case StatusRead::Missing: return R"({"state":"off"})";
    case StatusRead::Unreadable:
    case StatusRead::TooLarge: return error("cannot be read");
    case StatusRead::Ok: break;
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

constexpr StatusFile kServed[] = {
    {"status", "/tmp/encode.status", "application/json", STATUS_DOC_LIMIT, false},
    {"jpeg", "/tmp/encode.jpg", "image/jpeg", 4 * 1024 * 1024, false},
    {"log", "/tmp/encode.log", "text/plain; charset=utf-8", 512 * 1024, true},
};

} // namespace

const StatusFile *StatusFile_find(std::string_view what)
{
    for (const StatusFile &f : kServed) {
        if (what == f.what) {
            return &f;
        }
    }
    return nullptr;
}

StatusRead StatusFile_read(const StatusFile &f, std::string &data)
{
    StatusRead r = readBounded(f.path, f.limit, f.log, data);
    if (r != StatusRead::Ok) {
        return r;
    }
    if (f.log) {
        struct stat st {};
        bool cut = ::stat(Path_resolve(f.path).c_str(), &st) == 0 && st.st_size > f.limit;
        data = lastLines(data, cut);
    }
    if (std::strcmp(f.what, "status") == 0) {
        data = withWebrtc(std::move(data));
    }
    return StatusRead::Ok;
}
