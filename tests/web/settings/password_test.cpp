// The login's password action and the factory-password query, run in the settings program over a
// factory root: each refusal leaves the password file alone, a good change rewrites it with a yescrypt
// hash crypt(3) verifies (the factory file's SHA-512 hash still opens the form), keeps the previous
// file, and the factory password is then no longer in force.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

const char kFactory[] = "changeme";

std::string base64(const std::string &in)
{
    static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        v |= i + 1 < in.size() ? static_cast<uint8_t>(in[i + 1]) << 8 : 0;
        v |= i + 2 < in.size() ? static_cast<uint8_t>(in[i + 2]) : 0;
        out += kTable[v >> 18];
        out += kTable[(v >> 12) & 63];
        out += i + 1 < in.size() ? kTable[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kTable[v & 63] : '=';
    }
    return out;
}

class Password : public ::testing::Test {
protected:
    TempRoot root{true};
    std::string login = kFactory; // what the requests log in with, as a script would: the password in force

    std::vector<std::string> env(const char *method) const
    {
        std::vector<std::string> e = cgiBaseEnv(root.dir(), method);
        cgiEnvSet(e, "HTTP_AUTHORIZATION=Basic " + base64("admin:" + login));
        return e;
    }
    CgiResponse change(const std::string &current, const std::string &fresh, const std::string &again)
    {
        std::string body = cgiUrlEncoded({{"password_current", current}, {"password_new", fresh},
                                          {"password_again", again}, {"password_submit", "Change"}});
        std::vector<std::string> e = env("POST");
        e.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
        e.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
        CgiResponse r = cgiExec(SETTINGS_CGI_BINARY, e, body);
        if (r.out.find("password changed") != std::string::npos) {
            login = fresh;
        }
        return r;
    }
    std::string state()
    {
        std::vector<std::string> e = env("GET");
        e.push_back("QUERY_STRING=password_state=1");
        return cgiExec(SETTINGS_CGI_BINARY, e, "").out;
    }
    std::string file() const { return root.read("/mnt/web.passwd"); }
    static std::string answer(const std::string &line) { return kTextPlain + line + "\n"; }
};

// The stored hash of admin is of the scheme `prefix` and verifies `password`.
bool verifies(const std::string &file, const std::string &password, const char *prefix = "$y$")
{
    if (file.compare(0, 6, "admin:") != 0 || file.back() != '\n') {
        return false;
    }
    std::string hash = file.substr(6, file.size() - 7);
    crypt_data data{};
    const char *out = crypt_r(password.c_str(), hash.c_str(), &data);
    return hash.compare(0, 3, prefix) == 0 && out != nullptr && hash == out;
}

const std::string kFactoryState =
    std::string(kAnswerHeaders) + "Content-type: application/json\r\n\r\n{\"factory_password\":true}\n";
const std::string kChangedState =
    std::string(kAnswerHeaders) + "Content-type: application/json\r\n\r\n{\"factory_password\":false}\n";

} // namespace

TEST_F(Password, RefusalsChangeNothingAndAGoodChangeTakes)
{
    ASSERT_TRUE(verifies(file(), kFactory, "$6$"));
    EXPECT_EQ(state(), kFactoryState);
    const std::string factoryFile = file();

    struct Case {
        std::string current;
        const char *fresh;
        const char *again;
        const char *line;
    };
    const std::vector<Case> refusals = {
        {"wrong-one", "S3cret-pass", "S3cret-pass", "refused password: the current password is wrong; nothing changed"},
        {"", "S3cret-pass", "S3cret-pass", "refused password: the current password is wrong; nothing changed"},
        // The factory password and more after a NUL: never checked as the text before the NUL.
        {std::string("changeme\0junk", 13), "S3cret-pass", "S3cret-pass",
         "refused password: the current password is wrong; nothing changed"},
        {kFactory, "S3cret-pass", "S3cret-pasS", "refused password: the two new passwords differ; nothing changed"},
        {kFactory, "Sh0rt-7", "Sh0rt-7",
         "refused password: the new password is shorter than 8 characters; nothing changed"},
        {kFactory, "with space", "with space",
         "refused password: the new password may hold only letters, digits and the printable ASCII signs (no "
         "space); nothing changed"},
        {kFactory, "line\nbreak", "line\nbreak",
         "refused password: the new password may hold only letters, digits and the printable ASCII signs (no "
         "space); nothing changed"},
        {kFactory, "p\xc3\xa4sswort", "p\xc3\xa4sswort",
         "refused password: the new password may hold only letters, digits and the printable ASCII signs (no "
         "space); nothing changed"},
        {kFactory, kFactory, kFactory, "refused password: the new password is the factory password; nothing changed"},
        {kFactory, "ChangeMe", "ChangeMe", "refused password: the new password is the factory password; nothing changed"},
        {kFactory, "changeme2024!", "changeme2024!",
         "refused password: the new password is the factory password with digits or signs added; nothing changed"},
        {kFactory, "Admin2024", "Admin2024",
         "refused password: the new password is the user name with digits or signs added; nothing changed"},
        {kFactory, "12345678", "12345678", "refused password: the new password is a common password; nothing changed"},
        {kFactory, "password", "password", "refused password: the new password is a common password; nothing changed"},
        {kFactory, "PassWord", "PassWord", "refused password: the new password is a common password; nothing changed"},
        {kFactory, "qwertyuiop", "qwertyuiop", "refused password: the new password is a common password; nothing changed"},
        {kFactory, "1qaz2wsx", "1qaz2wsx", "refused password: the new password is a common password; nothing changed"},
        {kFactory, "Sunshine!99", "Sunshine!99",
         "refused password: the new password is a common password with digits or signs added; nothing changed"},
        {kFactory, "2024Letmein", "2024Letmein",
         "refused password: the new password is a common password with digits or signs added; nothing changed"},
    };
    for (const Case &c : refusals) {
        CgiResponse r = change(c.current, c.fresh, c.again);
        EXPECT_EQ(r.out, answer(c.line)) << c.fresh;
        EXPECT_EQ(file(), factoryFile) << c.fresh;
        EXPECT_FALSE(root.exists("/mnt/web.passwd.swp")) << c.fresh;
    }
    EXPECT_FALSE(root.exists("/tmp/shell.log"));

    CgiResponse r = change(kFactory, "S3cret-pass", "S3cret-pass");
    EXPECT_EQ(r.out, answer("password changed: log in again as admin with the new password"));
    EXPECT_TRUE(verifies(file(), "S3cret-pass")) << file();
    EXPECT_FALSE(verifies(file(), kFactory));
    EXPECT_EQ(root.read("/mnt/web.passwd.swp"), factoryFile);
    EXPECT_EQ(root.read("/tmp/shell.log"), "sync\nsync\n");
    EXPECT_FALSE(root.exists("/mnt/web.passwd.tmp"));
    struct stat st {};
    ASSERT_EQ(stat(root.path("/mnt/web.passwd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(state(), kChangedState);

    // The old password no longer opens the form; the same new password twice gives a new salt.
    const std::string first = file();
    EXPECT_EQ(change(kFactory, "An0ther-pass", "An0ther-pass").out,
              answer("refused password: the current password is wrong; nothing changed"));
    EXPECT_EQ(change("S3cret-pass", "S3cret-pass", "S3cret-pass").out,
              answer("password changed: log in again as admin with the new password"));
    EXPECT_NE(file(), first);
    EXPECT_TRUE(verifies(file(), "S3cret-pass"));
    EXPECT_EQ(root.read("/mnt/web.passwd.swp"), first);

    // Words that only hold a refused one, or are one put between others, are taken.
    std::string current = "S3cret-pass";
    for (const char *fresh : {"badminton99", "#admin#admin", "passwordless", "12345678-horse", "Changeme-not-really"}) {
        EXPECT_EQ(change(current, fresh, fresh).out, answer("password changed: log in again as admin with the new password"))
            << fresh;
        EXPECT_TRUE(verifies(file(), fresh)) << fresh;
        current = fresh;
    }
}

// The audio codec switch restores every factory setting from /mnt/dfc, which holds the factory login
// too: the operator's password file is never written by it, so not even a crash in the middle can
// leave the factory login in force. A box without a login file of its own gets the factory one.
TEST_F(Password, FactorySettingsRestoreKeepsTheOperatorsPassword)
{
    ASSERT_EQ(change(kFactory, "S3cret-pass", "S3cret-pass").out,
              answer("password changed: log in again as admin with the new password"));
    const std::string chosen = file();
    // Any write to the file, however short-lived, would move its time stamp from 2001 to now, and a
    // replacement would give it another inode.
    const std::string path = root.path("/mnt/web.passwd");
    const timespec past[2] = {{978307200, 0}, {978307200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    root.write("/mnt/ts.ini", "1\n");
    const auto restore = [this] {
        std::string body = cgiUrlEncoded({{"codec_submit", ""}, {"ctrlts", "male"}});
        std::vector<std::string> e = env("POST");
        e.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
        e.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
        return cgiExec(SETTINGS_CGI_BINARY, e, body);
    };
    EXPECT_EQ(restore().out, std::string(kTextPlain) + "h264 and aac\n");
    EXPECT_EQ(root.read("/mnt/ts.ini"), root.read("/mnt/dfc/ts.ini"));
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, past[1].tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, 0);
    EXPECT_EQ(file(), chosen);
    EXPECT_EQ(state(), kChangedState);

    // Without a login file nobody gets in: the restore that would make one cannot be asked for.
    std::filesystem::remove(path);
    EXPECT_NE(restore().out.find("refused: log in first"), std::string::npos);
    EXPECT_FALSE(root.exists("/mnt/web.passwd"));
}

// Without a login file nobody logs in, and nothing is written: the file is put back by hand.
TEST_F(Password, WithoutAPasswordFileNothingIsWritten)
{
    std::filesystem::remove(root.path("/mnt/web.passwd"));
    EXPECT_NE(change(kFactory, "S3cret-pass", "S3cret-pass").out.find("Status: 401"), std::string::npos);
    EXPECT_FALSE(root.exists("/mnt/web.passwd"));
    EXPECT_NE(state().find("refused: log in first"), std::string::npos);
}
