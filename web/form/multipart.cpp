// The multipart/form-data reader of the form layer. The body is read as a stream with a bound and
// never whole: field values go into the entry list, uploaded files to upload files of their own under
// the (rooted) /tmp, which the layer deletes after the request.
#include "web/form/form_internal.h"

#include "encode/core/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kMaxMultipartBody = 16 << 20;
constexpr int kRingSize = 1024;

// Serves the body byte by byte and never asks the input for more than CONTENT_LENGTH bytes. Bytes
// looked at and not used go back into the ring in front of what it holds, so the next read returns
// them first and in their original order.
struct MpStream {
    unsigned char ring[kRingSize];
    int readPos = 0;
    int count = 0;
    long consumed = 0; // body bytes taken from the input so far
    long length = 0;
    bool shortBody = false; // the input ended before CONTENT_LENGTH bytes
};

int mpRead(MpStream &mp, unsigned char *buf, int len)
{
    int got = 0;
    while (got < len && mp.count > 0) {
        buf[got++] = mp.ring[mp.readPos];
        mp.readPos = (mp.readPos + 1) % kRingSize;
        mp.count--;
    }
    if (got < len && !mp.shortBody) {
        long want = mp.length - mp.consumed;
        if (want > len - got) {
            want = len - got;
        }
        if (want > 0) {
            size_t n = std::fread(buf + got, 1, static_cast<size_t>(want), cgiIn);
            mp.consumed += static_cast<long>(n);
            got += static_cast<int>(n);
            if (static_cast<long>(n) < want) {
                mp.shortBody = true;
            }
        }
    }
    return got;
}

bool mpPutBack(MpStream &mp, const unsigned char *data, int len)
{
    if (len < 0 || mp.count + len > kRingSize) {
        return false;
    }
    mp.readPos = ((mp.readPos - len) % kRingSize + kRingSize) % kRingSize;
    for (int i = 0; i < len; i++) {
        mp.ring[(mp.readPos + i) % kRingSize] = data[i];
    }
    mp.count += len;
    return true;
}

int mpGetc(MpStream &mp)
{
    unsigned char c = 0;
    return mpRead(mp, &c, 1) == 1 ? c : -1;
}

// Finds the delimiter CR LF "--" boundary in the stream with a prefix automaton, so that a body full
// of near-matches costs linear time; every byte before the delimiter goes to the sink.
class DelimiterScanner {
public:
    explicit DelimiterScanner(const std::string &boundary) : pattern_("\r\n--" + boundary)
    {
        fail_.assign(pattern_.size(), 0);
        size_t k = 0;
        for (size_t i = 1; i < pattern_.size(); i++) {
            while (k > 0 && pattern_[i] != pattern_[k]) {
                k = fail_[k - 1];
            }
            if (pattern_[i] == pattern_[k]) {
                k++;
            }
            fail_[i] = k;
        }
    }

    enum class Result { Found, EndOfBody, SinkFailed };

    // `primed` counts pattern bytes taken as already seen: 2 lets the very first line of the body be a
    // boundary line, as though a line end preceded it.
    template <typename Sink>
    Result scan(MpStream &mp, size_t primed, Sink &&sink)
    {
        size_t j = primed;
        for (;;) {
            int c = mpGetc(mp);
            if (c < 0) {
                return Result::EndOfBody;
            }
            while (j > 0 && static_cast<unsigned char>(pattern_[j]) != c) {
                size_t f = fail_[j - 1];
                if (!sink(reinterpret_cast<const unsigned char *>(pattern_.data()), j - f)) {
                    return Result::SinkFailed;
                }
                j = f;
            }
            if (static_cast<unsigned char>(pattern_[j]) == c) {
                j++;
            } else {
                unsigned char b = static_cast<unsigned char>(c);
                if (!sink(&b, 1)) {
                    return Result::SinkFailed;
                }
            }
            if (j == pattern_.size()) {
                return Result::Found;
            }
        }
    }

private:
    std::string pattern_;
    std::vector<size_t> fail_;
};

// Reads one header line (ended by LF, a CR right before it dropped), keeping at most kFormTextMax
// characters. Returns false when the body ended before a line end.
bool readHeaderLine(MpStream &mp, std::string &line)
{
    line.clear();
    bool lastWasCr = false;
    for (;;) {
        int c = mpGetc(mp);
        if (c < 0) {
            if (lastWasCr && static_cast<int>(line.size()) < kFormTextMax) {
                line += '\r';
            }
            return false;
        }
        if (c == '\n') {
            return true;
        }
        if (lastWasCr && static_cast<int>(line.size()) < kFormTextMax) {
            line += '\r'; // a CR inside the line is part of it
        }
        lastWasCr = c == '\r';
        if (!lastWasCr && static_cast<int>(line.size()) < kFormTextMax) {
            line += static_cast<char>(c);
        }
    }
}

struct PartHeaders {
    std::string disposition;
    std::string name;
    std::string fileName;
    bool hasFileName = false;
    std::string contentType;
};

std::string clip(std::string s)
{
    if (static_cast<int>(s.size()) > kFormTextMax) {
        s.resize(kFormTextMax);
    }
    return s;
}

// Content-Disposition: form-data; name="x"; filename="y" (values quoted or bare).
void parseDisposition(const std::string &value, PartHeaders &h)
{
    size_t i = 0;
    size_t n = value.size();
    while (i < n && Form_isBlank(value[i])) {
        i++;
    }
    size_t b = i;
    while (i < n && value[i] != ';' && !Form_isBlank(value[i])) {
        i++;
    }
    h.disposition = value.substr(b, i - b);
    while (i < n) {
        while (i < n && (value[i] == ';' || Form_isBlank(value[i]))) {
            i++;
        }
        size_t kb = i;
        while (i < n && value[i] != '=' && value[i] != ';') {
            i++;
        }
        std::string key = value.substr(kb, i - kb);
        while (!key.empty() && Form_isBlank(key.back())) {
            key.pop_back();
        }
        if (i >= n || value[i] != '=') {
            continue;
        }
        i++; // '='
        while (i < n && Form_isBlank(value[i])) {
            i++;
        }
        std::string v;
        if (i < n && value[i] == '"') {
            i++;
            size_t vb = i;
            while (i < n && value[i] != '"') {
                i++;
            }
            v = value.substr(vb, i - vb);
            if (i < n) {
                i++; // closing quote
            }
        } else {
            size_t vb = i;
            while (i < n && value[i] != ';' && !Form_isBlank(value[i])) {
                i++;
            }
            v = value.substr(vb, i - vb);
        }
        if (Form_equalNoCase(key.c_str(), "name")) {
            h.name = clip(v);
        } else if (Form_equalNoCase(key.c_str(), "filename")) {
            h.fileName = clip(v);
            h.hasFileName = true;
        }
    }
}

// Header name (before ':') equal to `name` without regard to case; `value` gets the rest, blanks
// before it skipped.
bool headerIs(const std::string &line, const char *name, std::string &value)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string key = line.substr(0, colon);
    while (!key.empty() && Form_isBlank(key.back())) {
        key.pop_back();
    }
    if (!Form_equalNoCase(key.c_str(), name)) {
        return false;
    }
    size_t v = colon + 1;
    while (v < line.size() && Form_isBlank(line[v])) {
        v++;
    }
    value = line.substr(v);
    return true;
}

// Unique upload file under the (rooted) /tmp, mode 0600; -1 when it cannot be made.
int makeUploadFile(std::string &path)
{
    std::string tmpl = Path_resolve("/tmp/cgiupload-XXXXXX");
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd < 0) {
        return -1;
    }
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    path.assign(buf.data());
    return fd;
}

bool writeAll(int fd, const unsigned char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// After a boundary: "--" ends the body; otherwise the rest of the boundary line (its CR LF, and any
// padding a sender put before it) is skipped. False when the body is finished.
bool afterBoundary(MpStream &mp)
{
    unsigned char two[2];
    int got = mpRead(mp, two, 2);
    if (got == 2 && two[0] == '-' && two[1] == '-') {
        return false;
    }
    mpPutBack(mp, two, got);
    for (;;) {
        int c = mpGetc(mp);
        if (c < 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
    }
}

// A part's header lines, up to the blank line that ends them.
enum class HeadersRead { Complete, EndOfForm, Broken };

HeadersRead readPartHeaders(MpStream &mp, PartHeaders &h)
{
    std::string line;
    std::string headerValue;
    bool first = true;
    for (;;) {
        if (!readHeaderLine(mp, line)) {
            // A body that stops right after a boundary line has simply no more parts.
            if (first && line.empty() && !mp.shortBody) {
                return HeadersRead::EndOfForm;
            }
            return HeadersRead::Broken;
        }
        first = false;
        if (line.empty()) {
            return HeadersRead::Complete;
        }
        if (headerIs(line, "Content-Disposition", headerValue)) {
            parseDisposition(headerValue, h);
        } else if (headerIs(line, "Content-Type", headerValue)) {
            h.contentType = clip(headerValue);
        }
    }
}

bool discardBytes(const unsigned char *, size_t)
{
    return true;
}

// A part that is not form data is no field: its content is passed over up to the next boundary.
cgiParseResultType skipPart(MpStream &mp, DelimiterScanner &scanner)
{
    return scanner.scan(mp, 0, discardBytes) == DelimiterScanner::Result::Found ? cgiParseSuccess : cgiParseIO;
}

// An uploaded file goes to its own upload file in blocks, never whole into memory; a part that breaks
// off or cannot be written leaves no file behind.
cgiParseResultType storeFilePart(MpStream &mp, DelimiterScanner &scanner, const PartHeaders &h)
{
    std::string path;
    int fd = makeUploadFile(path);
    if (fd < 0) {
        return cgiParseIO;
    }
    unsigned char buf[4096];
    size_t fill = 0;
    bool ok = true;
    auto toFile = [&](const unsigned char *p, size_t n) {
        while (n > 0) {
            size_t take = sizeof buf - fill < n ? sizeof buf - fill : n;
            std::memcpy(buf + fill, p, take);
            fill += take;
            p += take;
            n -= take;
            if (fill == sizeof buf) {
                if (!writeAll(fd, buf, fill)) {
                    return ok = false;
                }
                fill = 0;
            }
        }
        return true;
    };
    DelimiterScanner::Result r = scanner.scan(mp, 0, toFile);
    if (r == DelimiterScanner::Result::Found && fill > 0) {
        ok = writeAll(fd, buf, fill);
    }
    ok = (::close(fd) == 0) && ok;
    if (r != DelimiterScanner::Result::Found || !ok) {
        ::unlink(path.c_str());
        return cgiParseIO;
    }
    char *attr = Form_dupBytes(h.name.data(), h.name.size());
    char *value = Form_dupBytes("", 0);
    cgiParseResultType res = Form_appendEntry(attr, value, 0, h.fileName, h.contentType, path);
    if (res != cgiParseSuccess) {
        ::unlink(path.c_str());
    }
    return res;
}

// A field's value is kept in memory; the bound on the whole body bounds it too.
cgiParseResultType storeValuePart(MpStream &mp, DelimiterScanner &scanner, const PartHeaders &h)
{
    std::string data;
    auto toMemory = [&data](const unsigned char *p, size_t n) {
        data.append(reinterpret_cast<const char *>(p), n);
        return true;
    };
    if (scanner.scan(mp, 0, toMemory) != DelimiterScanner::Result::Found) {
        return cgiParseIO;
    }
    char *attr = Form_dupBytes(h.name.data(), h.name.size());
    char *value = Form_dupBytes(data.data(), data.size());
    return Form_appendEntry(attr, value, static_cast<int>(data.size()), h.fileName, h.contentType, std::string());
}

cgiParseResultType parseMultipart(MpStream &mp)
{
    DelimiterScanner scanner(cgiMultipartBoundary);

    // The preamble before the first boundary is not part of the form.
    if (scanner.scan(mp, 2, discardBytes) != DelimiterScanner::Result::Found) {
        return mp.shortBody ? cgiParseIO : cgiParseSuccess;
    }
    while (afterBoundary(mp)) {
        PartHeaders h;
        HeadersRead headers = readPartHeaders(mp, h);
        if (headers == HeadersRead::EndOfForm) {
            return cgiParseSuccess;
        }
        if (headers == HeadersRead::Broken) {
            return cgiParseIO;
        }
        cgiParseResultType res;
        // A name cut at a NUL would stand for the field it starts with: such a part is no field.
        if (!Form_equalNoCase(h.disposition.c_str(), "form-data") || h.name.find('\0') != std::string::npos) {
            res = skipPart(mp, scanner);
        } else if (h.hasFileName && !h.fileName.empty()) {
            res = storeFilePart(mp, scanner, h);
        } else {
            res = storeValuePart(mp, scanner, h);
        }
        if (res != cgiParseSuccess) {
            return res;
        }
    }
    return mp.shortBody ? cgiParseIO : cgiParseSuccess;
}

} // namespace

cgiParseResultType cgiParsePostMultipartInput()
{
    if (cgiContentLength <= 0) {
        return cgiParseSuccess;
    }
    if (cgiContentLength > kMaxMultipartBody) {
        return cgiParseMemory;
    }
    // Without a boundary no part can be delimited: the body is not a form we can read.
    if (cgiMultipartBoundary[0] == '\0') {
        return cgiParseIO;
    }
    try {
        auto mp = std::make_unique<MpStream>();
        mp->length = cgiContentLength;
        return parseMultipart(*mp);
    } catch (const std::bad_alloc &) {
        return cgiParseMemory;
    } catch (...) {
        return cgiParseIO;
    }
}
