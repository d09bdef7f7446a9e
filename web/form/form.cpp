// The CGI form layer. One request per process: cgiRun fills the environment strings, decodes the form
// into the entry list, hands it to the program's cgiMain read-only, then frees the list and deletes the
// upload files. Single-threaded; all state is the process-wide request below.
//
// Bodies are bounded before anything is allocated (1 MiB URL-encoded, 16 MiB multipart, whose reader
// is multipart.cpp): an oversize request is a parse failure, so a forged CONTENT_LENGTH can never make
// us allocate or wait for more.
#include "web/form/form.h"

#include "web/form/form_internal.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// The headers of every answer: no page of the box may be framed (a click on a hidden frame would
// press its buttons), nothing is loaded from another site or sniffed as another type, no URL of the box
// (a query with a setting in it) leaves it in a Referer, and no answer, each of which tells the box's
// state, is kept by a browser or a proxy.
constexpr char kAnswerHeaders[] = "X-Frame-Options: DENY\r\n"
                                  "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
                                  "X-Content-Type-Options: nosniff\r\n"
                                  "Referrer-Policy: same-origin\r\n"
                                  "Cache-Control: no-store\r\n";

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

bool startsWithNoCase(const char *s, const char *prefix)
{
    for (; *prefix != '\0'; s++, prefix++) {
        if (*s == '\0' || lower(static_cast<unsigned char>(*s)) != lower(static_cast<unsigned char>(*prefix))) {
            return false;
        }
    }
    return true;
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

} // namespace

bool Form_equalNoCase(const char *a, const char *b)
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

bool Form_isBlank(char c)
{
    return c == ' ' || c == '\t';
}

char *Form_dupBytes(const char *s, size_t len)
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

cgiParseResultType Form_appendEntry(char *attr, char *value, int valueLength, const std::string &fileName,
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
    e->fileName = Form_dupBytes(fileName.data(), fileName.size());
    e->contentType = Form_dupBytes(contentType.data(), contentType.size());
    e->tfileName = Form_dupBytes(tfileName.data(), tfileName.size());
    if (e->attr == nullptr || e->value == nullptr || e->fileName == nullptr || e->contentType == nullptr ||
        e->tfileName == nullptr) {
        freeEntry(e);
        return cgiParseMemory;
    }
    *entryTail = e;
    entryTail = &e->next;
    return cgiParseSuccess;
}

namespace {

const cgiFormEntry *findEntry(const char *name)
{
    for (const cgiFormEntry *e = cgiFormEntryFirst; e != nullptr; e = e->next) {
        if (std::strcmp(e->attr, name) == 0) {
            return e;
        }
    }
    return nullptr;
}

// "%00" decodes to a NUL byte, and a C string would end there: "bitrate=1%00junk" would read as "1"
// and a password check would see only the prefix. No form sends such a value.
bool holdsNul(const cgiFormEntry *e)
{
    return e->valueLength > 0 && std::memchr(e->value, '\0', static_cast<size_t>(e->valueLength)) != nullptr;
}

// Copies the value into result (at most max - 1 characters, always terminated). With keepNewlines a
// run of CR and LF characters becomes as many '\n' as the larger of its CR and LF counts, so CR LF,
// bare LF and bare CR line ends all read as one line break; without, CR and LF are dropped.
cgiFormResultType entryString(const cgiFormEntry *e, char *result, int max, bool keepNewlines)
{
    if (max <= 0) {
        return cgiFormTruncated;
    }
    if (holdsNul(e)) {
        result[0] = '\0';
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
    for (int i = 0; i < choicesTotal && !holdsNul(e); i++) {
        if (std::strcmp(e->value, choices[i]) == 0) {
            *result = i;
            return cgiFormSuccess;
        }
    }
    *result = defaultV;
    return cgiFormNoSuchChoice;
}


// CONTENT_LENGTH as a count: garbage or a negative number reads as 0; a number beyond int range
// saturates, so that the body bounds refuse it.
int parseContentLength(const char *s)
{
    while (Form_isBlank(*s)) {
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
        if (p != contentType && !(p[-1] == ';' || Form_isBlank(p[-1]))) {
            continue;
        }
        p += std::strlen("boundary=");
        while (Form_isBlank(*p)) {
            p++;
        }
        size_t n = 0;
        if (*p == '"') {
            p++;
            while (p[n] != '\0' && p[n] != '"' && n < sizeof cgiMultipartBoundary - 1) {
                n++;
            }
        } else {
            while (p[n] != '\0' && !Form_isBlank(p[n]) && p[n] != ';' && n < sizeof cgiMultipartBoundary - 1) {
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
            int attrLength = 0;
            int valueLength = 0;
            char *attr = unescape(p, static_cast<int>(eq - p), &attrLength);
            char *value = unescape(eq + 1, static_cast<int>(fieldEnd - eq - 1), &valueLength);
            if (attr == nullptr || value == nullptr) {
                std::free(attr);
                std::free(value);
                return cgiParseMemory;
            }
            // A name cut at a NUL would press the button it starts with ("name5_submit%00x").
            if (std::strlen(attr) != static_cast<size_t>(attrLength)) {
                std::free(attr);
                std::free(value);
            } else if (cgiParseResultType r = Form_appendEntry(attr, value, valueLength, std::string(), std::string(),
                                                               std::string());
                       r != cgiParseSuccess) {
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

cgiParseResultType cgiParseRequest()
{
    if (Form_equalNoCase(cgiRequestMethod, "post")) {
        if (Form_equalNoCase(cgiContentType, "application/x-www-form-urlencoded")) {
            return cgiParsePostFormInput();
        }
        if (Form_equalNoCase(cgiContentType, "multipart/form-data")) {
            return cgiParsePostMultipartInput();
        }
        return cgiParseSuccess;
    }
    if (Form_equalNoCase(cgiRequestMethod, "get")) {
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
    if (Form_equalNoCase(cgiRequestMethod, "get")) {
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

bool cgiFormAdd(const std::string &name, const std::string &value)
{
    if (name.find('\0') != std::string::npos) {
        return false;
    }
    char *attr = Form_dupBytes(name.data(), name.size());
    char *text = Form_dupBytes(value.data(), value.size());
    if (attr == nullptr || text == nullptr) {
        std::free(attr);
        std::free(text);
        return false;
    }
    return Form_appendEntry(attr, text, static_cast<int>(value.size()), std::string(), std::string(), std::string()) ==
           cgiParseSuccess;
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

cgiFormResultType cgiFormFileContent(const char *name, std::string *content, size_t max)
{
    content->clear();
    const cgiFormEntry *e = findEntry(name);
    if (e == nullptr || e->tfileName == nullptr || e->tfileName[0] == '\0') {
        return cgiFormNotFound;
    }
    FILE *f = std::fopen(e->tfileName, "rb");
    if (f == nullptr) {
        return cgiFormIO;
    }
    char buf[4096];
    size_t n = 0;
    bool longer = false;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (content->size() + n > max) {
            longer = true;
            break;
        }
        content->append(buf, n);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (longer || failed) {
        content->clear();
        return longer ? cgiFormTruncated : cgiFormIO;
    }
    return content->empty() ? cgiFormEmpty : cgiFormSuccess;
}

void cgiHeaderContentType(const char *mimeType)
{
    std::fprintf(cgiOut, "%sContent-type: %s\r\n\r\n", kAnswerHeaders, mimeType);
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
