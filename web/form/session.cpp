// Sessions and the throttle are files under the store's /tmp/web, so that the CGI processes of one
// box share them: a session file per live session, a record per client address that failed. A
// record is read and written under an exclusive lock held through the password check itself, so that
// parallel tries from one address are taken one after the other and the one-a-second rule holds
// whatever the number of connections.
#include "web/form/session.h"

#include "web/form/secret_hash.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "web/form/api_token.h"
#include "web/form/form.h"

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr char kPasswordFile[] = "/mnt/web.passwd";
constexpr char kSessionDir[] = "/tmp/web/sessions";
constexpr char kThrottleDir[] = "/tmp/web/throttle";
constexpr int kTokenBytes = 32;
constexpr int kFileLimit = 64 * 1024;
constexpr int64_t kWindowMs = 60 * 1000;
constexpr int64_t kOneTryMs = 1000;
constexpr int64_t kFirstDelayMs = 100;
constexpr int64_t kLongestDelayMs = 2000;

// What the request's login may do, once cgiLogin has looked (one request per process).
LoginScope gScope = LoginScope::None;

int64_t nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string envText(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

bool overHttps()
{
    return envText("HTTPS") == "on" || envText("REQUEST_SCHEME") == "https";
}

// The name a session's file has: its token's SHA-256, so that the store never holds a token.
std::string sessionPath(const std::string &token)
{
    return Path_resolve(kSessionDir) + "/" + SecretHash_sha256Hex(token);
}

void makeDir(const char *systemPath)
{
    std::string path = Path_resolve(systemPath);
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        ::mkdir(path.substr(0, at).c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0700);
}

// The value of cookie `name` in a Cookie header, "" without one.
std::string cookieValue(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        size_t end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 && pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
    }
    return "";
}

bool isToken(const std::string &t)
{
    return t.size() == 2 * kTokenBytes &&
           std::all_of(t.begin(), t.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// True when the session file at `path` is alive; a dead one is removed.
bool sessionAlive(const std::string &path, time_t now)
{
    struct stat st {};
    long long made = 0;
    FILE *f = std::fopen(path.c_str(), "re");
    bool read = f != nullptr && std::fscanf(f, "%lld", &made) == 1;
    if (f != nullptr) {
        std::fclose(f);
    }
    if (!read || ::stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (now - st.st_mtime > SESSION_IDLE_S || now - made > SESSION_LIFE_S) {
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

// A live session's last use moved to now; false when there is none by that token.
bool touchSession(const std::string &token)
{
    if (!isToken(token)) {
        return false;
    }
    std::string path = sessionPath(token);
    if (!sessionAlive(path, std::time(nullptr))) {
        return false;
    }
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
    return true;
}

// Every session file, each passed to `each` (the directory is ours alone: every file in it is one).
template <typename Each> void eachSession(Each each)
{
    std::string dir = Path_resolve(kSessionDir);
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                each(dir + "/" + e->d_name);
            }
        }
        ::closedir(d);
    }
}

// The user and password of a Basic Authorization header; false for any other.
bool basicCredentials(const std::string &header, std::string *user, std::string *password)
{
    const std::string_view prefix = "Basic ";
    if (header.size() <= prefix.size() || strncasecmp(header.c_str(), prefix.data(), prefix.size()) != 0) {
        return false;
    }
    std::string coded = header.substr(prefix.size());
    std::string plain(coded.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(plain.data()),
                            reinterpret_cast<const unsigned char *>(coded.data()), static_cast<int>(coded.size()));
    if (n < 0) {
        return false;
    }
    // EVP_DecodeBlock counts the padding's zero bytes as decoded ones.
    size_t pad = static_cast<size_t>(std::count(coded.end() - std::min<size_t>(coded.size(), 2), coded.end(), '='));
    plain.resize(static_cast<size_t>(n) - std::min(pad, static_cast<size_t>(n)));
    size_t colon = plain.find(':');
    if (colon == std::string::npos || plain.find('\0') != std::string::npos) {
        return false;
    }
    *user = plain.substr(0, colon);
    *password = plain.substr(colon + 1);
    explicit_bzero(plain.data(), plain.size());
    return true;
}

// The secret of a Bearer Authorization header ("" for any other header). The scheme's name is
// case-insensitive and blanks around the secret are no part of it.
std::string bearerSecret(const std::string &header)
{
    const std::string_view prefix = "Bearer ";
    if (header.size() <= prefix.size() || strncasecmp(header.c_str(), prefix.data(), prefix.size()) != 0) {
        return "";
    }
    size_t begin = header.find_first_not_of(' ', prefix.size());
    size_t end = header.find_last_not_of(' ');
    return begin == std::string::npos ? "" : header.substr(begin, end + 1 - begin);
}

// --- The throttle ---

// One address's record, locked from its reading to its writing. An address that has never failed
// has none, and a success removes it: a box that is only logged into keeps nothing of its clients.
class Throttle {
public:
    Throttle()
    {
        addr_ = envText("REMOTE_ADDR");
        std::string name = addr_;
        for (char &c : name) {
            c = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ? c : '_';
        }
        path_ = Path_resolve(kThrottleDir) + "/" + (name.empty() ? "unknown" : name);
        open(false);
    }
    ~Throttle()
    {
        if (fd_ >= 0) {
            ::close(fd_); // the lock goes with it
        }
    }
    Throttle(const Throttle &) = delete;
    Throttle &operator=(const Throttle &) = delete;

    bool holdsBack(int64_t now) const { return record_.holdsBack(now); }
    int64_t tried(int64_t now, bool passed)
    {
        if (!passed && fd_ < 0) {
            makeDir(kThrottleDir);
            open(true);
        }
        bool starts = false;
        int64_t delay = record_.tried(now, passed, &starts);
        if (starts) {
            std::fprintf(stderr, "login: %d failed logins from %s within a minute; one try a second from now on\n",
                         record_.failures, addr_.c_str());
        }
        if (passed && fd_ >= 0) {
            ::unlink(path_.c_str());
        } else if (!passed) {
            save();
        }
        return delay;
    }

private:
    void open(bool create)
    {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
        if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) {
            return;
        }
        char text[96] = "";
        ssize_t n = ::pread(fd_, text, sizeof text - 1, 0);
        text[n > 0 ? n : 0] = '\0';
        long long first = 0, last = 0;
        if (std::sscanf(text, "%d %lld %lld", &record_.failures, &first, &last) == 3) {
            record_.windowStartMs = first;
            record_.lastTryMs = last;
        }
    }
    void save()
    {
        char text[96];
        int n = std::snprintf(text, sizeof text, "%d %lld %lld\n", record_.failures,
                              static_cast<long long>(record_.windowStartMs), static_cast<long long>(record_.lastTryMs));
        if (fd_ >= 0 && ::ftruncate(fd_, 0) == 0) {
            ssize_t w = ::pwrite(fd_, text, static_cast<size_t>(n), 0);
            (void)w;
        }
    }

    std::string addr_;
    std::string path_;
    int fd_ = -1;
    SessionThrottle record_;
};

void sleepMs(int64_t ms)
{
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// `check` (true when the credentials pass) run under the address's record: true, false after its
// delay, or Throttled without running it. A token and a password are one guess each alike.
template <typename Check> LoginState throttled(Check check, LoginState passedAs)
{
    int64_t delay = 0;
    LoginState state;
    {
        Throttle t;
        int64_t now = nowMs();
        if (t.holdsBack(now)) {
            return LoginState::Throttled;
        }
        bool passed = check();
        delay = t.tried(now, passed);
        state = passed ? passedAs : LoginState::Wrong;
    }
    sleepMs(delay); // outside the lock: a later try waits for the one-a-second rule, not for this one
    return state;
}

// The password checked under the address's record: Password, Wrong (after its delay) or Throttled.
LoginState checkThrottled(const std::string &user, const std::string &password)
{
    return throttled([&] { return user == SESSION_USER && Session_passwordMatches(password); }, LoginState::Password);
}

// The Authorization header's credentials: a password (Basic) or a token (Bearer); None for neither.
LoginState checkAuthorization()
{
    std::string header = envText("HTTP_AUTHORIZATION");
    std::string user;
    std::string password;
    if (basicCredentials(header, &user, &password)) {
        LoginState s = checkThrottled(user, password);
        explicit_bzero(password.data(), password.size());
        gScope = s == LoginState::Password ? LoginScope::Write : LoginScope::None;
        explicit_bzero(header.data(), header.size());
        return s;
    }
    std::string secret = bearerSecret(header);
    explicit_bzero(header.data(), header.size());
    if (secret.empty()) {
        return LoginState::None;
    }
    std::optional<ApiTokenInfo> token;
    LoginState s = throttled([&] { return (token = ApiToken_check(secret)).has_value(); }, LoginState::Token);
    explicit_bzero(secret.data(), secret.size());
    if (s == LoginState::Token) {
        gScope = token->scope == TokenScope::Write ? LoginScope::Write : LoginScope::Read;
    }
    return s;
}

void answer(const char *status, const char *line, const std::string &cookie = "")
{
    std::fprintf(cgiOut, "Status: %s\r\n", status);
    if (!cookie.empty()) {
        std::fprintf(cgiOut, "Set-Cookie: %s\r\n", cookie.c_str());
    }
    cgiHeaderContentType("text/plain");
    std::fprintf(cgiOut, "%s\n", line);
}

std::string cookieAttributes()
{
    return std::string("; Path=/; HttpOnly; SameSite=Strict") + (overHttps() ? "; Secure" : "");
}

// The Set-Cookie value that makes the browser forget its session cookie.
std::string clearedCookie()
{
    return std::string(SESSION_COOKIE) + "=; Max-Age=0" + cookieAttributes();
}

} // namespace

bool SessionThrottle::holdsBack(int64_t now) const
{
    return failures >= SESSION_FAILURE_LIMIT && now - windowStartMs < kWindowMs && now - lastTryMs < kOneTryMs;
}

int64_t SessionThrottle::tried(int64_t now, bool passed, bool *startsHolding)
{
    lastTryMs = now;
    *startsHolding = false;
    if (passed) {
        failures = 0;
        return 0;
    }
    if (now - windowStartMs >= kWindowMs) {
        failures = 0;
        windowStartMs = now;
    }
    failures++;
    *startsHolding = failures == SESSION_FAILURE_LIMIT;
    return std::min(kLongestDelayMs, kFirstDelayMs << std::min(failures - 1, 10));
}

bool Session_passwordMatches(const std::string &password)
{
    std::string text;
    if (!Config_readText(kPasswordFile, text, kFileLimit)) {
        return false;
    }
    const std::string prefix = std::string(SESSION_USER) + ":";
    std::string hash;
    for (size_t at = 0; at < text.size();) {
        size_t eol = std::min(text.find('\n', at), text.size());
        if (text.compare(at, prefix.size(), prefix) == 0) {
            hash = text.substr(at + prefix.size(), eol - at - prefix.size());
            break;
        }
        at = eol + 1;
    }
    while (!hash.empty() && hash.back() == '\r') {
        hash.pop_back();
    }
    return Session_hashMatches(password, hash);
}

bool Session_hashMatches(const std::string &password, const std::string &hash)
{
    if (hash.empty() || hash[0] != '$') {
        return false;
    }
    auto data = std::make_unique<crypt_data>();
    const char *out = crypt_r(password.c_str(), hash.c_str(), data.get());
    // Every byte is compared whatever the first difference, so the time taken tells nothing of the hash.
    bool same = out != nullptr && std::strlen(out) == hash.size();
    unsigned char diff = 0;
    for (size_t i = 0; same && i < hash.size(); i++) {
        diff |= static_cast<unsigned char>(out[i] ^ hash[i]);
    }
    explicit_bzero(data.get(), sizeof(crypt_data));
    return same && diff == 0;
}

LoginState cgiLogin()
{
    gScope = LoginScope::None;
    std::string token = cookieValue(envText("HTTP_COOKIE"), SESSION_COOKIE);
    if (!token.empty() && touchSession(token)) {
        gScope = LoginScope::Write;
        return LoginState::Session;
    }
    LoginState s = checkAuthorization();
    if (s != LoginState::None) {
        return s;
    }
    return token.empty() ? LoginState::None : LoginState::Wrong;
}

LoginScope cgiLoginScope()
{
    return gScope;
}

LoginRefusal Session_refusal(LoginState s)
{
    if (s == LoginState::Throttled) {
        return {"429 Too Many Requests", "refused: too many failed logins from this address; try again in a second", ""};
    }
    // A cookie of a session that has ended goes too, so that the browser's next page is the login page
    // straight away rather than a page whose first question is refused.
    std::string clear;
    if (!cookieValue(envText("HTTP_COOKIE"), SESSION_COOKIE).empty()) {
        clear = clearedCookie();
    }
    return {"401 Unauthorized", "refused: log in first", clear};
}

bool cgiLoginRequired()
{
    LoginState s = cgiLogin();
    if (s == LoginState::Session || s == LoginState::Password || s == LoginState::Token) {
        return true;
    }
    LoginRefusal r = Session_refusal(s);
    answer(r.status, r.line, r.cookie);
    return false;
}

LoginState Session_logIn(const std::string &user, const std::string &password, std::string *cookie)
{
    LoginState s = checkThrottled(user, password);
    if (s != LoginState::Password) {
        return s;
    }
    unsigned char raw[kTokenBytes];
    if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
        return LoginState::Wrong;
    }
    std::string token = SecretHash_hex(raw, sizeof raw);
    explicit_bzero(raw, sizeof raw);
    makeDir(kSessionDir);
    FILE *f = std::fopen(sessionPath(token).c_str(), "wx");
    if (f == nullptr) {
        return LoginState::Wrong;
    }
    std::fprintf(f, "%lld\n", static_cast<long long>(std::time(nullptr)));
    std::fclose(f);
    // Sessions nobody comes back to are removed here, so the folder holds no more than the live ones.
    time_t now = std::time(nullptr);
    eachSession([now](const std::string &path) { sessionAlive(path, now); });
    *cookie = std::string(SESSION_COOKIE) + "=" + token + cookieAttributes();
    return s;
}

void Session_logOut(std::string *cookie)
{
    std::string token = cookieValue(envText("HTTP_COOKIE"), SESSION_COOKIE);
    if (isToken(token)) {
        ::unlink(sessionPath(token).c_str());
    }
    *cookie = clearedCookie();
}

void Session_endAll()
{
    eachSession([](const std::string &path) { ::unlink(path.c_str()); });
}
