// The CGI form layer. One request per process: cgiRun fills the environment strings, decodes the form
// into the entry list, hands it to the program's cgiMain read-only, then frees the list and deletes the
// upload files. Single-threaded; all state is the process-wide request below.
//
// Bodies are bounded before anything is allocated (1 MiB URL-encoded, 16 MiB multipart): an oversize
// request is a parse failure, so a forged CONTENT_LENGTH can never make us allocate or wait for more.
#include "web/form/form.h"

#include "encode/core/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

const char *cgiServerSoftware = "";
const char *cgiServerName = "";
const char *cgiGatewayInterface = "";
const char *cgiServerProtocol = "";
const char *cgiServerPort = "";
const char *cgiRequestMethod = "";
const char *cgiPathInfo = "";
const char *cgiPathTranslated = "";
const char *cgiScriptName = "";
const char *cgiQueryString = "";
const char *cgiRemoteHost = "";
const char *cgiRemoteAddr = "";
const char *cgiAuthType = "";
const char *cgiRemoteUser = "";
const char *cgiRemoteIdent = "";
const char *cgiAccept = "";
const char *cgiUserAgent = "";
const char *cgiReferrer = "";
const char *cgiCookie = "";

char cgiContentType[1024];
char cgiMultipartBoundary[1024];
int cgiContentLength = 0;

FILE *cgiIn = nullptr;
FILE *cgiOut = nullptr;

cgiFormEntry *cgiFormEntryFirst = nullptr;

namespace {

constexpr int kMaxUrlEncodedBody = 1 << 20;
constexpr int kMaxMultipartBody = 16 << 20;
constexpr int kTextMax = 1023; // header lines, attribute values
constexpr int kRingSize = 1024;

// Where the next entry is linked in, so that appending keeps arrival order in constant time.
cgiFormEntry **entryTail = &cgiFormEntryFirst;

const char *cgiGetenv(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

int lower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

bool equalNoCase(const char *a, const char *b)
{
    while (*a != '\0' && *b != '\0') {
        if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b))) {
            return false;
        }
        a++;
        b++;
    }
    return *a == *b;
}

bool startsWithNoCase(const char *s, const char *prefix)
{
    for (; *prefix != '\0'; s++, prefix++) {
        if (*s == '\0' || lower(static_cast<unsigned char>(*s)) != lower(static_cast<unsigned char>(*prefix))) {
            return false;
        }
    }
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 0;
}

char *dupBytes(const char *s, size_t len)
{
    char *p = static_cast<char *>(std::malloc(len + 1));
    if (p == nullptr) {
        return nullptr;
    }
    if (len > 0) {
        std::memcpy(p, s, len);
    }
    p[len] = '\0';
    return p;
}

void freeEntry(cgiFormEntry *e)
{
    if (e == nullptr) {
        return;
    }
    std::free(e->attr);
    std::free(e->value);
    std::free(e->fileName);
    std::free(e->contentType);
    std::free(e->tfileName);
    std::free(e);
}

// Takes ownership of attr and value (freed here on failure); copies the other texts.
cgiParseResultType appendEntry(char *attr, char *value, int valueLength, const std::string &fileName,
                               const std::string &contentType, const std::string &tfileName)
{
    auto *e = static_cast<cgiFormEntry *>(std::calloc(1, sizeof(cgiFormEntry)));
    if (e == nullptr) {
        std::free(attr);
        std::free(value);
        return cgiParseMemory;
    }
    e->attr = attr;
    e->value = value;
    e->valueLength = valueLength;
    e->fileName = dupBytes(fileName.data(), fileName.size());
    e->contentType = dupBytes(contentType.data(), contentType.size());
    e->tfileName = dupBytes(tfileName.data(), tfileName.size());
    if (e->attr == nullptr || e->value == nullptr || e->fileName == nullptr || e->contentType == nullptr ||
        e->tfileName == nullptr) {
        freeEntry(e);
        return cgiParseMemory;
    }
    *entryTail = e;
    entryTail = &e->next;
    return cgiParseSuccess;
}

const cgiFormEntry *findEntry(const char *name)
{
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        if (std::strcmp(e->attr, name) == 0) {
            return e;
        }
    }
    return nullptr;
}

// Copies the value into result (at most max - 1 characters, always terminated). With keepNewlines a
// run of CR and LF characters becomes as many '\n' as the larger of its CR and LF counts, so CR LF,
// bare LF and bare CR line ends all read as one line break; without, CR and LF are dropped.
cgiFormResultType entryString(const cgiFormEntry *e, char *result, int max, bool keepNewlines)
{
    if (max <= 0) {
        return cgiFormTruncated;
    }
    int out = 0;
    bool truncated = false;
    auto put = [&](char c) {
        if (out < max - 1) {
            result[out++] = c;
        } else {
            truncated = true;
        }
    };
    const char *v = e->value;
    int len = e->valueLength;
    int i = 0;
    while (i < len) {
        if (v[i] == '\r' || v[i] == '\n') {
            int crs = 0;
            int lfs = 0;
            while (i < len && (v[i] == '\r' || v[i] == '\n')) {
                (v[i] == '\r' ? crs : lfs)++;
                i++;
            }
            if (keepNewlines) {
                for (int k = 0; k < (crs > lfs ? crs : lfs); k++) {
                    put('\n');
                }
            }
            continue;
        }
        put(v[i]);
        i++;
    }
    result[out] = '\0';
    if (truncated) {
        return cgiFormTruncated;
    }
    return out == 0 ? cgiFormEmpty : cgiFormSuccess;
}

cgiFormResultType formString(const char *name, char *result, int max, bool keepNewlines)
{
    const cgiFormEntry *e = findEntry(name);
    if (e == nullptr) {
        if (max > 0) {
            result[0] = '\0';
        }
        return cgiFormNotFound;
    }
    return entryString(e, result, max, keepNewlines);
}

cgiFormResultType formChoice(const char *name, const char **choices, int choicesTotal, int *result, int defaultV)
{
    const cgiFormEntry *e = findEntry(name);
    if (e == nullptr) {
        *result = defaultV;
        return cgiFormNotFound;
    }
    for (int i = 0; i < choicesTotal; i++) {
        if (std::strcmp(e->value, choices[i]) == 0) {
            *result = i;
            return cgiFormSuccess;
        }
    }
    *result = defaultV;
    return cgiFormNoSuchChoice;
}

// --- The multipart body reader. ---

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

// Reads one header line (ended by LF, a CR right before it dropped), keeping at most kTextMax
// characters. Returns false when the body ended before a line end.
bool readHeaderLine(MpStream &mp, std::string &line)
{
    line.clear();
    bool lastWasCr = false;
    for (;;) {
        int c = mpGetc(mp);
        if (c < 0) {
            if (lastWasCr && static_cast<int>(line.size()) < kTextMax) {
                line += '\r';
            }
            return false;
        }
        if (c == '\n') {
            return true;
        }
        if (lastWasCr && static_cast<int>(line.size()) < kTextMax) {
            line += '\r'; // a CR inside the line is part of it
        }
        lastWasCr = c == '\r';
        if (!lastWasCr && static_cast<int>(line.size()) < kTextMax) {
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
    if (static_cast<int>(s.size()) > kTextMax) {
        s.resize(kTextMax);
    }
    return s;
}

// Content-Disposition: form-data; name="x"; filename="y" (values quoted or bare).
void parseDisposition(const std::string &value, PartHeaders &h)
{
    size_t i = 0;
    size_t n = value.size();
    while (i < n && isBlank(value[i])) {
        i++;
    }
    size_t b = i;
    while (i < n && value[i] != ';' && !isBlank(value[i])) {
        i++;
    }
    h.disposition = value.substr(b, i - b);
    while (i < n) {
        while (i < n && (value[i] == ';' || isBlank(value[i]))) {
            i++;
        }
        size_t kb = i;
        while (i < n && value[i] != '=' && value[i] != ';') {
            i++;
        }
        std::string key = value.substr(kb, i - kb);
        while (!key.empty() && isBlank(key.back())) {
            key.pop_back();
        }
        if (i >= n || value[i] != '=') {
            continue;
        }
        i++; // '='
        while (i < n && isBlank(value[i])) {
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
            while (i < n && value[i] != ';' && !isBlank(value[i])) {
                i++;
            }
            v = value.substr(vb, i - vb);
        }
        if (equalNoCase(key.c_str(), "name")) {
            h.name = clip(v);
        } else if (equalNoCase(key.c_str(), "filename")) {
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
    while (!key.empty() && isBlank(key.back())) {
        key.pop_back();
    }
    if (!equalNoCase(key.c_str(), name)) {
        return false;
    }
    size_t v = colon + 1;
    while (v < line.size() && isBlank(line[v])) {
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
    char *attr = dupBytes(h.name.data(), h.name.size());
    char *value = dupBytes("", 0);
    cgiParseResultType res = appendEntry(attr, value, 0, h.fileName, h.contentType, path);
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
    char *attr = dupBytes(h.name.data(), h.name.size());
    char *value = dupBytes(data.data(), data.size());
    return appendEntry(attr, value, static_cast<int>(data.size()), h.fileName, h.contentType, std::string());
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
        if (!equalNoCase(h.disposition.c_str(), "form-data")) {
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

// CONTENT_LENGTH as a count: garbage or a negative number reads as 0; a number beyond int range
// saturates, so that the body bounds refuse it.
int parseContentLength(const char *s)
{
    while (isBlank(*s)) {
        s++;
    }
    long long v = 0;
    bool any = false;
    for (; *s >= '0' && *s <= '9'; s++) {
        any = true;
        if (v < INT_MAX) {
            v = v * 10 + (*s - '0');
        }
    }
    if (!any) {
        return 0;
    }
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// The "boundary=" parameter: name matched without regard to case, leading blanks skipped, the value
// ending at a blank or at the next parameter. A quoted value loses its quotes.
void parseBoundary(const char *contentType)
{
    cgiMultipartBoundary[0] = '\0';
    const char *semi = std::strchr(contentType, ';');
    if (semi == nullptr) {
        return;
    }
    for (const char *p = semi; *p != '\0'; p++) {
        if (!startsWithNoCase(p, "boundary=")) {
            continue;
        }
        if (p != contentType && !(p[-1] == ';' || isBlank(p[-1]))) {
            continue;
        }
        p += std::strlen("boundary=");
        while (isBlank(*p)) {
            p++;
        }
        size_t n = 0;
        if (*p == '"') {
            p++;
            while (p[n] != '\0' && p[n] != '"' && n < sizeof cgiMultipartBoundary - 1) {
                n++;
            }
        } else {
            while (p[n] != '\0' && !isBlank(p[n]) && p[n] != ';' && n < sizeof cgiMultipartBoundary - 1) {
                n++;
            }
        }
        std::memcpy(cgiMultipartBoundary, p, n);
        cgiMultipartBoundary[n] = '\0';
        return;
    }
}

// '+' is a space and "%XX" the byte of two hexadecimal digits (a non-hexadecimal one counts as 0);
// a '%' without two characters after it is kept as it stands. The decoded length goes to outLen,
// since "%00" puts NUL bytes into a value.
char *unescape(const char *s, int len, int *outLen)
{
    if (len < 0) {
        len = 0;
    }
    char *out = static_cast<char *>(std::malloc(static_cast<size_t>(len) + 1));
    if (out == nullptr) {
        return nullptr;
    }
    int o = 0;
    int i = 0;
    while (i < len) {
        char c = s[i];
        if (c == '+') {
            out[o++] = ' ';
            i++;
        } else if (c == '%' && len - i >= 3) {
            int hi = hexValue(static_cast<unsigned char>(s[i + 1]));
            int lo = hexValue(static_cast<unsigned char>(s[i + 2]));
            out[o++] = static_cast<char>((hi << 4) | lo);
            i += 3;
        } else {
            out[o++] = c;
            i++;
        }
    }
    out[o] = '\0';
    if (outLen != nullptr) {
        *outLen = o;
    }
    return out;
}

} // namespace

char *cgiUnescapeChars(const char *s, int len)
{
    return unescape(s, len, nullptr);
}

cgiParseResultType cgiParseFormInput(const char *data, int length)
{
    if (length <= 0) {
        return cgiParseSuccess;
    }
    if (length > kMaxUrlEncodedBody) {
        return cgiParseMemory;
    }
    // Fields are split at '&' first: a fragment without '=' (at the end or between fields) is no field
    // and does not swallow the name of the next one.
    const char *end = data + length;
    const char *p = data;
    while (p < end) {
        const char *amp = static_cast<const char *>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        const char *fieldEnd = amp != nullptr ? amp : end;
        const char *eq = static_cast<const char *>(std::memchr(p, '=', static_cast<size_t>(fieldEnd - p)));
        if (eq != nullptr) {
            int valueLength = 0;
            char *attr = unescape(p, static_cast<int>(eq - p), nullptr);
            char *value = unescape(eq + 1, static_cast<int>(fieldEnd - eq - 1), &valueLength);
            if (attr == nullptr || value == nullptr) {
                std::free(attr);
                std::free(value);
                return cgiParseMemory;
            }
            cgiParseResultType r = appendEntry(attr, value, valueLength, std::string(), std::string(), std::string());
            if (r != cgiParseSuccess) {
                return r;
            }
        }
        p = fieldEnd + 1;
    }
    return cgiParseSuccess;
}

cgiParseResultType cgiParseGetFormInput()
{
    size_t n = std::strlen(cgiQueryString);
    if (n > static_cast<size_t>(kMaxUrlEncodedBody)) {
        return cgiParseMemory;
    }
    return cgiParseFormInput(cgiQueryString, static_cast<int>(n));
}

cgiParseResultType cgiParsePostFormInput()
{
    if (cgiContentLength <= 0) {
        return cgiParseSuccess;
    }
    if (cgiContentLength > kMaxUrlEncodedBody) {
        return cgiParseMemory;
    }
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(cgiContentLength)));
    if (body == nullptr) {
        return cgiParseMemory;
    }
    size_t got = std::fread(body, 1, static_cast<size_t>(cgiContentLength), cgiIn);
    if (got != static_cast<size_t>(cgiContentLength)) {
        std::free(body);
        return cgiParseIO;
    }
    cgiParseResultType r = cgiParseFormInput(body, cgiContentLength);
    std::free(body);
    return r;
}

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

cgiParseResultType cgiParseRequest()
{
    if (equalNoCase(cgiRequestMethod, "post")) {
        if (equalNoCase(cgiContentType, "application/x-www-form-urlencoded")) {
            return cgiParsePostFormInput();
        }
        if (equalNoCase(cgiContentType, "multipart/form-data")) {
            return cgiParsePostMultipartInput();
        }
        return cgiParseSuccess;
    }
    if (equalNoCase(cgiRequestMethod, "get")) {
        return cgiParseGetFormInput();
    }
    return cgiParseSuccess;
}

void cgiInit()
{
    cgiFreeResources();
    cgiServerSoftware = cgiGetenv("SERVER_SOFTWARE");
    cgiServerName = cgiGetenv("SERVER_NAME");
    cgiGatewayInterface = cgiGetenv("GATEWAY_INTERFACE");
    cgiServerProtocol = cgiGetenv("SERVER_PROTOCOL");
    cgiServerPort = cgiGetenv("SERVER_PORT");
    cgiRequestMethod = cgiGetenv("REQUEST_METHOD");
    cgiPathInfo = cgiGetenv("PATH_INFO");
    cgiPathTranslated = cgiGetenv("PATH_TRANSLATED");
    cgiScriptName = cgiGetenv("SCRIPT_NAME");
    cgiQueryString = cgiGetenv("QUERY_STRING");
    cgiRemoteHost = cgiGetenv("REMOTE_HOST");
    cgiRemoteAddr = cgiGetenv("REMOTE_ADDR");
    cgiAuthType = cgiGetenv("AUTH_TYPE");
    cgiRemoteUser = cgiGetenv("REMOTE_USER");
    cgiRemoteIdent = cgiGetenv("REMOTE_IDENT");
    cgiAccept = cgiGetenv("HTTP_ACCEPT");
    cgiUserAgent = cgiGetenv("HTTP_USER_AGENT");
    cgiReferrer = cgiGetenv("HTTP_REFERER");
    cgiCookie = cgiGetenv("HTTP_COOKIE");

    const char *contentType = cgiGetenv("CONTENT_TYPE");
    std::strncpy(cgiContentType, contentType, sizeof cgiContentType - 1);
    cgiContentType[sizeof cgiContentType - 1] = '\0';
    if (char *semi = std::strchr(cgiContentType, ';')) {
        *semi = '\0';
    }
    parseBoundary(contentType);

    cgiContentLength = parseContentLength(cgiGetenv("CONTENT_LENGTH"));
    if (equalNoCase(cgiRequestMethod, "get")) {
        size_t n = std::strlen(cgiQueryString);
        cgiContentLength = n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
    }
    cgiIn = stdin;
    cgiOut = stdout;
}

void cgiFreeResources()
{
    cgiFormEntry *e = cgiFormEntryFirst;
    while (e != nullptr) {
        cgiFormEntry *next = e->next;
        if (e->tfileName != nullptr && e->tfileName[0] != '\0') {
            ::unlink(e->tfileName);
        }
        freeEntry(e);
        e = next;
    }
    cgiFormEntryFirst = nullptr;
    entryTail = &cgiFormEntryFirst;
}

cgiFormResultType cgiFormString(const char *name, char *result, int max)
{
    return formString(name, result, max, true);
}

cgiFormResultType cgiFormStringNoNewlines(const char *name, char *result, int max)
{
    return formString(name, result, max, false);
}

cgiFormResultType cgiFormCheckboxSingle(const char *name)
{
    return findEntry(name) != nullptr ? cgiFormSuccess : cgiFormNotFound;
}

cgiFormResultType cgiFormSelectSingle(const char *name, const char **choices, int choicesTotal, int *result,
                                      int defaultV)
{
    return formChoice(name, choices, choicesTotal, result, defaultV);
}

cgiFormResultType cgiFormRadio(const char *name, const char **choices, int choicesTotal, int *result, int defaultV)
{
    return formChoice(name, choices, choicesTotal, result, defaultV);
}

bool cgiFormButtonPressed(const char *name)
{
    return cgiFormCheckboxSingle(name) == cgiFormSuccess;
}

void cgiHeaderContentType(const char *mimeType)
{
    std::fprintf(cgiOut, "Content-type: %s\r\n\r\n", mimeType);
}

int cgiRun()
{
    cgiInit();
    int result = -1;
    if (cgiParseRequest() == cgiParseSuccess) {
        result = cgiMain();
    }
    std::fflush(cgiOut);
    cgiFreeResources();
    return result;
}
