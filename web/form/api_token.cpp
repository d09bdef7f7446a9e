// The token store. A line of /mnt/web/tokens is "ID SCOPE CREATED SHA256 NAME": the name last, since
// it may hold blanks. The secret itself is nowhere on the box once it has been shown: a stolen copy of
// the store (a backup, the flash) opens nothing.
//
// A token's last use is the modification time of a file of its own under /tmp/web/token_use (a RAM
// disk), so that a client polling once a second never writes the flash and never takes the store's lock.
#include "web/form/api_token.h"

#include "web/form/secret_hash.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "encode/core/store_lock.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr char kTokenFile[] = "/mnt/web/tokens";
constexpr char kUseDir[] = "/tmp/web/token_use";
constexpr off_t kFileLimit = 64 * 1024;
constexpr size_t kNameMax = 40;
constexpr char kSecretPrefix[] = "enc_";
constexpr int kSecretBytes = 32;
constexpr size_t kSecretChars = 43; // base64url of 32 bytes, unpadded
constexpr size_t kIdChars = 8;
constexpr size_t kHashChars = 64;

// One line of the file: a token, or a line that is none, kept as it stands.
struct Line {
    bool token = false;
    ApiTokenInfo info{};
    std::string hash;
    std::string text;
};

enum class Load { Ok, Unreadable, TooLarge };

bool isHex(std::string_view s, size_t length)
{
    return s.size() == length &&
           std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isBase64Url(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}


// Why `name` cannot name a token ("" when it can). Blanks at either end are refused so that two names
// that look the same in the list are the same name.
std::string nameProblem(std::string_view name)
{
    if (name.empty()) {
        return "the name is empty";
    }
    if (name.size() > kNameMax) {
        return "the name is longer than " + std::to_string(kNameMax) + " characters";
    }
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' || c == '-' ||
                  c == '_' || c == '.';
        if (!ok) {
            return "the name may hold only letters, digits, blanks, '-', '_' and '.'";
        }
    }
    if (name.front() == ' ' || name.back() == ' ') {
        return "the name may not begin or end with a blank";
    }
    return "";
}

// The next blank-ended field of `rest`, taken off it.
std::string_view field(std::string_view &rest)
{
    size_t sp = rest.find(' ');
    std::string_view f = rest.substr(0, sp);
    rest = sp == std::string_view::npos ? std::string_view() : rest.substr(sp + 1);
    return f;
}

bool parseLine(std::string_view text, Line &line)
{
    std::string_view rest = text;
    std::string_view id = field(rest);
    std::string_view scope = field(rest);
    std::string_view created = field(rest);
    std::string_view hash = field(rest);
    long long made = 0;
    if (!isHex(id, kIdChars) || (scope != "read" && scope != "write") ||
        !Config_parseDecimal(created, false, 18, made) || !isHex(hash, kHashChars) || !nameProblem(rest).empty()) {
        return false;
    }
    line.token = true;
    line.info = {std::string(id), std::string(rest), scope == "read" ? TokenScope::Read : TokenScope::Write, made, 0};
    line.hash = hash;
    return true;
}

std::string lineText(const Line &l)
{
    if (!l.token) {
        return l.text;
    }
    return l.info.id + " " + TokenScope_name(l.info.scope) + " " + std::to_string(l.info.createdS) + " " + l.hash +
           " " + l.info.name;
}

Load readFile(std::string &text)
{
    const std::string path = Path_resolve(kTokenFile);
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Load::Ok : Load::Unreadable; // no file: no tokens yet
    }
    struct stat st {};
    Load r = Load::Ok;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        r = Load::Unreadable;
    } else if (st.st_size > kFileLimit) {
        r = Load::TooLarge;
    } else {
        // One byte past the bound tells a file that grew since its fstat.
        text.resize(static_cast<size_t>(kFileLimit) + 1);
        size_t got = 0;
        for (ssize_t n = 1; n != 0 && got < text.size();) {
            n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno != EINTR) {
                r = Load::Unreadable;
                break;
            }
            got += n > 0 ? static_cast<size_t>(n) : 0;
        }
        text.resize(got);
        r = r == Load::Ok && got > static_cast<size_t>(kFileLimit) ? Load::TooLarge : r;
    }
    ::close(fd);
    if (r != Load::Ok) {
        std::fprintf(stderr, "tokens: %s %s; no token is taken from it\n", kTokenFile,
                     r == Load::TooLarge ? "is larger than 64 KiB" : "cannot be read");
    }
    return r;
}

// The file's lines. A line that is no token, or a second line of an id already read, is skipped.
Load loadLines(std::vector<Line> &lines)
{
    std::string text;
    Load r = readFile(text);
    std::string_view rest = text;
    for (int number = 1; r == Load::Ok && !rest.empty(); number++) {
        size_t eol = rest.find('\n');
        Line line;
        line.text = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        bool known = parseLine(line.text, line) && std::none_of(lines.begin(), lines.end(), [&line](const Line &l) {
                         return l.token && l.info.id == line.info.id;
                     });
        if (!known) {
            line.token = false;
            std::fprintf(stderr, "tokens: line %d of %s is no token; skipped\n", number, kTokenFile);
        }
        lines.push_back(std::move(line));
    }
    return r;
}

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The whole file under a temporary name, on the disk, then renamed over the old one: a reader (every
// request with a token) never sees it half written. Its owner's alone, like the password file.
bool writeLines(const std::vector<Line> &lines)
{
    std::string text;
    for (const Line &l : lines) {
        text += lineText(l) + "\n";
    }
    const std::string path = Path_resolve(kTokenFile);
    ::mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    Config_syncTwice();
    return true;
}

std::string usePath(const std::string &id)
{
    return Path_resolve(kUseDir) + "/" + id;
}

long long lastUse(const std::string &id)
{
    struct stat st {};
    return ::stat(usePath(id).c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : 0;
}

void touchUse(const std::string &id)
{
    std::string dir = Path_resolve(kUseDir);
    for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1)) {
        ::mkdir(dir.substr(0, at).c_str(), 0755);
    }
    ::mkdir(dir.c_str(), 0700);
    int fd = ::open(usePath(id).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::futimens(fd, nullptr);
        ::close(fd);
    }
}

bool randomBytes(unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t got = getrandom(p, n, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// "enc_" and the random bytes in base64url without padding.
bool newSecret(std::string &secret)
{
    unsigned char raw[kSecretBytes];
    unsigned char coded[4 * ((kSecretBytes + 2) / 3) + 1];
    if (!randomBytes(raw, sizeof raw)) {
        return false;
    }
    EVP_EncodeBlock(coded, raw, kSecretBytes);
    explicit_bzero(raw, sizeof raw);
    secret = kSecretPrefix;
    for (size_t i = 0; i < kSecretChars; i++) {
        char c = static_cast<char>(coded[i]);
        secret += c == '+' ? '-' : c == '/' ? '_' : c;
    }
    explicit_bzero(coded, sizeof coded);
    return true;
}

bool newId(const std::vector<Line> &lines, std::string &id)
{
    for (int tries = 0; tries < 100; tries++) {
        unsigned char raw[kIdChars / 2];
        if (!randomBytes(raw, sizeof raw)) {
            return false;
        }
        id = SecretHash_hex(raw, sizeof raw);
        if (std::none_of(lines.begin(), lines.end(), [&id](const Line &l) { return l.token && l.info.id == id; })) {
            return true;
        }
    }
    return false;
}

bool wellFormedSecret(const std::string &s)
{
    const size_t prefix = sizeof kSecretPrefix - 1;
    return s.size() == prefix + kSecretChars && s.compare(0, prefix, kSecretPrefix) == 0 &&
           std::all_of(s.begin() + static_cast<long>(prefix), s.end(), isBase64Url);
}

} // namespace

std::string TokenScope_name(TokenScope s)
{
    return s == TokenScope::Read ? "read" : "write";
}

bool ApiToken_make(const std::string &name, TokenScope scope, std::string *secret, ApiTokenInfo *made, std::string *why)
{
    *why = nameProblem(name);
    if (!why->empty()) {
        return false;
    }
    StoreLock lock;
    if (!lock.held()) {
        *why = STORE_LOCK_BUSY;
        return false;
    }
    std::vector<Line> lines;
    // A file that cannot be read whole is never written over: the tokens in it would be lost.
    if (loadLines(lines) != Load::Ok) {
        *why = std::string(kTokenFile) + " cannot be read whole, so no token is added to it";
        return false;
    }
    long tokens = std::count_if(lines.begin(), lines.end(), [](const Line &l) { return l.token; });
    if (std::any_of(lines.begin(), lines.end(), [&name](const Line &l) { return l.token && l.info.name == name; })) {
        *why = "a token named " + name + " exists already";
        return false;
    }
    if (tokens >= API_TOKEN_LIMIT) {
        *why = "the box keeps at most " + std::to_string(API_TOKEN_LIMIT) + " tokens; revoke one first";
        return false;
    }
    Line line;
    std::string text;
    if (!newId(lines, line.info.id) || !newSecret(text)) {
        *why = "no random number could be had";
        return false;
    }
    line.token = true;
    line.info.name = name;
    line.info.scope = scope;
    line.info.createdS = static_cast<long long>(std::time(nullptr));
    line.hash = SecretHash_sha256Hex(text);
    lines.push_back(line);
    if (!writeLines(lines)) {
        explicit_bzero(text.data(), text.size());
        *why = std::string("cannot write ") + kTokenFile;
        return false;
    }
    // A last use left by an earlier token of the same id is not this one's.
    ::unlink(usePath(line.info.id).c_str());
    *secret = std::move(text);
    *made = line.info;
    return true;
}

std::vector<ApiTokenInfo> ApiToken_list()
{
    std::vector<Line> lines;
    loadLines(lines);
    std::vector<ApiTokenInfo> out;
    for (Line &l : lines) {
        if (l.token) {
            l.info.lastUsedS = lastUse(l.info.id);
            out.push_back(l.info);
        }
    }
    return out;
}

bool ApiToken_revoke(const std::string &id)
{
    if (!isHex(id, kIdChars)) {
        return false;
    }
    StoreLock lock;
    std::vector<Line> lines;
    if (!lock.held() || loadLines(lines) != Load::Ok) {
        return false;
    }
    auto it = std::find_if(lines.begin(), lines.end(), [&id](const Line &l) { return l.token && l.info.id == id; });
    if (it == lines.end()) {
        return false;
    }
    lines.erase(it);
    if (!writeLines(lines)) {
        std::fprintf(stderr, "tokens: cannot write %s; token %s is not revoked\n", kTokenFile, id.c_str());
        return false;
    }
    ::unlink(usePath(id).c_str());
    return true;
}

std::optional<ApiTokenInfo> ApiToken_check(const std::string &secret)
{
    if (!wellFormedSecret(secret)) {
        return std::nullopt;
    }
    std::vector<Line> lines;
    if (loadLines(lines) != Load::Ok) {
        return std::nullopt;
    }
    const std::string hash = SecretHash_sha256Hex(secret);
    // Every token's hash is compared in full, the match or not: the time taken says nothing of which
    // token, if any, came close.
    const Line *found = nullptr;
    for (const Line &l : lines) {
        bool same = l.token && CRYPTO_memcmp(l.hash.data(), hash.data(), kHashChars) == 0;
        found = same ? &l : found;
    }
    if (found == nullptr) {
        return std::nullopt;
    }
    touchUse(found->info.id);
    ApiTokenInfo info = found->info;
    info.lastUsedS = static_cast<long long>(std::time(nullptr));
    return info;
}
