// The web login's password file and its change. A new hash is yescrypt at libcrypt's default cost
// with a random salt; the login and the current-password check hand the stored hash to crypt(3),
// which reads the scheme from its prefix, so the SHA-512 crypt hashes of earlier files still open.
// The file is replaced through a temporary name, so the web server, which reads it on every request,
// never sees it half written.
#include "web/settings/password.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "web/form/form.h"
#include "web/form/session.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr char kUser[] = "admin";
// The factory password is printed in the manual: while it is in force the pages ask for a new one.
constexpr char kFactoryPassword[] = "changeme";
constexpr size_t kMinLength = 8;
constexpr size_t kMaxLength = 128;
constexpr int kFileLimit = 64 * 1024;
constexpr int kFieldSize = 1024;
constexpr int kSaltBytes = 16;
// One a line, lower case, '#' lines are comments: web/settings/common_passwords.txt.
constexpr std::string_view kCommonPasswords =
#include "common_passwords.inc"
    ;

struct LoginLine {
    size_t start = 0; // first byte of the user's line
    size_t end = 0;   // its line end (or the end of the text)
    std::string hash;
};

// The login user's line of the password file.
bool findLogin(const std::string &text, LoginLine &line)
{
    const std::string prefix = std::string(kUser) + ":";
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        if (eol == std::string::npos) {
            eol = text.size();
        }
        if (text.compare(at, prefix.size(), prefix) == 0) {
            line.start = at;
            line.end = eol;
            line.hash = text.substr(at + prefix.size(), eol - at - prefix.size());
            if (!line.hash.empty() && line.hash.back() == '\r') {
                line.hash.pop_back();
            }
            return true;
        }
        at = eol + 1;
    }
    return false;
}

// crypt(3) with its own work area; "" for a failure (an unknown scheme, a damaged hash).
std::string cryptWith(const std::string &password, const std::string &setting)
{
    auto data = std::make_unique<crypt_data>();
    const char *out = crypt_r(password.c_str(), setting.c_str(), data.get());
    std::string result = out != nullptr && out[0] == '$' ? out : "";
    explicit_bzero(data.get(), sizeof(crypt_data));
    return result;
}

std::string newHash(const std::string &password)
{
    char random[kSaltBytes];
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    ssize_t got = ::read(fd, random, sizeof random);
    ::close(fd);
    if (got != static_cast<ssize_t>(sizeof random)) {
        return "";
    }
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$y$", 0, random, kSaltBytes, setting, sizeof setting) == nullptr) {
        return "";
    }
    return cryptWith(password, setting);
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool isCommon(std::string_view lower)
{
    std::string_view list = kCommonPasswords;
    while (!list.empty()) {
        size_t eol = list.find('\n');
        std::string_view line = list.substr(0, eol);
        list.remove_prefix(eol == std::string_view::npos ? list.size() : eol + 1);
        if (!line.empty() && line.front() != '#' && line == lower) {
            return true;
        }
    }
    return false;
}

// What guessing tries first: the factory password, the user name and the common passwords, in any
// case, also with digits or signs put before or after them ("Admin2024!").
std::string guessable(const std::string &fresh)
{
    std::string whole = lowered(fresh);
    auto isLetter = [](char c) { return c >= 'a' && c <= 'z'; };
    size_t b = 0;
    size_t e = whole.size();
    while (b < e && !isLetter(whole[b])) {
        b++;
    }
    while (e > b && !isLetter(whole[e - 1])) {
        e--;
    }
    std::string core = whole.substr(b, e - b);
    for (const std::string &word : {whole, core}) {
        const char *added = word.size() < whole.size() ? " with digits or signs added" : "";
        if (word.empty()) {
            continue;
        }
        if (word == kFactoryPassword) {
            return std::string("the new password is the factory password") + added;
        }
        if (word == kUser) {
            return std::string("the new password is the user name") + added;
        }
        if (isCommon(word)) {
            return std::string("the new password is a common password") + added;
        }
    }
    return "";
}

// Why the new password cannot be taken ("" when it can). Printable ASCII only: browsers disagree on
// how they encode other characters in a login, so such a password might never be accepted again.
std::string newPasswordProblem(const std::string &fresh, const std::string &again)
{
    if (fresh != again) {
        return "the two new passwords differ";
    }
    if (fresh.size() < kMinLength) {
        return "the new password is shorter than " + std::to_string(kMinLength) + " characters";
    }
    if (fresh.size() > kMaxLength) {
        return "the new password is longer than " + std::to_string(kMaxLength) + " characters";
    }
    for (char c : fresh) {
        if (c < '!' || c > '~') {
            return "the new password may hold only letters, digits and the printable ASCII signs "
                   "(no space)";
        }
    }
    return guessable(fresh);
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

// The whole file under a temporary name, on the disk, then renamed over the old one. Readable by
// its owner only: it holds password hashes.
bool replaceFile(const char *systemPath, std::string_view text)
{
    std::string path = Path_resolve(systemPath);
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// A text field as typed; false (with `tooLong`) when it does not fit the field buffer.
std::string field(const char *name, bool &tooLong)
{
    char buf[kFieldSize];
    // Line breaks are kept so that the character rule refuses them instead of losing them unseen.
    if (cgiFormString(name, buf, kFieldSize) == cgiFormTruncated) {
        tooLong = true;
    }
    std::string value = buf;
    explicit_bzero(buf, sizeof buf);
    return value;
}

void refuse(const std::string &why)
{
    std::printf("refused password: %s; nothing changed\n", why.c_str());
}

} // namespace

void Password_action()
{
    if (!cgiFormButtonPressed("password_submit")) {
        return;
    }
    std::string text;
    LoginLine login;
    if (!Config_readText(kWebPasswd, text, kFileLimit)) {
        std::printf("Can't open file %s; nothing changed\n", kWebPasswd);
        return;
    }
    if (!findLogin(text, login)) {
        std::printf("no login %s in %s; nothing changed\n", kUser, kWebPasswd);
        return;
    }
    bool tooLong = false;
    std::string current = field("password_current", tooLong);
    std::string fresh = field("password_new", tooLong);
    std::string again = field("password_again", tooLong);
    if (!Session_hashMatches(current, login.hash)) {
        refuse("the current password is wrong");
        return;
    }
    std::string why = tooLong ? "the new password is longer than " + std::to_string(kMaxLength) + " characters"
                              : newPasswordProblem(fresh, again);
    if (!why.empty()) {
        refuse(why);
        return;
    }
    std::string hash = newHash(fresh);
    if (hash.empty()) {
        refuse("no random salt could be made");
        return;
    }
    std::string updated = text.substr(0, login.start) + kUser + ":" + hash + text.substr(login.end);
    if (login.end == text.size()) {
        updated += '\n';
    }
    std::string swp = std::string(kWebPasswd) + ".swp";
    if (!replaceFile(swp.c_str(), text)) {
        std::printf("Can't write %s; nothing changed\n", swp.c_str());
        return;
    }
    if (!replaceFile(kWebPasswd, updated)) {
        std::printf("Can't write %s; nothing changed\n", kWebPasswd);
        return;
    }
    Config_syncTwice();
    // Whoever knew the old password, and every browser logged in with it, is out.
    Session_endAll();
    std::printf("password changed: log in again as %s with the new password\n", kUser);
}

void Password_printState()
{
    std::string text;
    LoginLine login;
    bool factory = Config_readText(kWebPasswd, text, kFileLimit) && findLogin(text, login) &&
                   Session_hashMatches(kFactoryPassword, login.hash);
    nlohmann::json state = {{"factory_password", factory}};
    cgiHeaderContentType("application/json");
    std::fprintf(cgiOut, "%s\n", state.dump().c_str());
}
