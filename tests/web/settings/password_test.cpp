// The login's password action and the factory-password query, run in the settings program over a
// factory root: each refusal leaves the password file alone, a good change rewrites it with a hash
// crypt(3) verifies, keeps the previous file, and the factory password is then no longer in force.
#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"

#include <crypt.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

const char kFactory[] = "changeme";

class Password : public ::testing::Test {
protected:
    TempRoot root{true};

    CgiResponse change(const std::string &current, const std::string &fresh, const std::string &again)
    {
        return cgiPostUrl(SETTINGS_CGI_BINARY, root.dir(),
                          {{"password_current", current}, {"password_new", fresh}, {"password_again", again},
                           {"password_submit", "Change"}});
    }
    std::string state() { return cgiGet(SETTINGS_CGI_BINARY, root.dir(), "password_state=1").out; }
    std::string file() const { return root.read("/mnt/web.passwd"); }
    static std::string answer(const std::string &line) { return kTextPlain + line + "\n"; }
};

// The stored hash of admin verifies `password`.
bool verifies(const std::string &file, const std::string &password)
{
    if (file.compare(0, 6, "admin:") != 0 || file.back() != '\n') {
        return false;
    }
    std::string hash = file.substr(6, file.size() - 7);
    crypt_data data{};
    const char *out = crypt_r(password.c_str(), hash.c_str(), &data);
    return hash.compare(0, 3, "$6$") == 0 && out != nullptr && hash == out;
}

const std::string kFactoryState = "Cache-Control: no-store\r\nContent-type: application/json\r\n\r\n"
                                  "{\"factory_password\":true}\n";
const std::string kChangedState = "Cache-Control: no-store\r\nContent-type: application/json\r\n\r\n"
                                  "{\"factory_password\":false}\n";

} // namespace

TEST_F(Password, RefusalsChangeNothingAndAGoodChangeTakes)
{
    ASSERT_TRUE(verifies(file(), kFactory));
    EXPECT_EQ(state(), kFactoryState);
    const std::string factoryFile = file();

    struct Case {
        const char *current;
        const char *fresh;
        const char *again;
        const char *line;
    };
    const std::vector<Case> refusals = {
        {"wrong-one", "S3cret-pass", "S3cret-pass", "refused password: the current password is wrong; nothing changed"},
        {"", "S3cret-pass", "S3cret-pass", "refused password: the current password is wrong; nothing changed"},
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
}

// The audio codec switch restores every factory setting from /mnt/dfc, which holds the factory login
// too: the operator's password survives it.
TEST_F(Password, FactorySettingsRestoreKeepsTheOperatorsPassword)
{
    ASSERT_EQ(change(kFactory, "S3cret-pass", "S3cret-pass").out,
              answer("password changed: log in again as admin with the new password"));
    const std::string chosen = file();
    root.write("/mnt/ts.ini", "1\n");
    CgiResponse r = cgiPostUrl(SETTINGS_CGI_BINARY, root.dir(), {{"codec_submit", ""}, {"ctrlts", "male"}});
    EXPECT_EQ(r.out, std::string(kTextPlain) + "h264 and aac\n");
    EXPECT_EQ(root.read("/mnt/ts.ini"), root.read("/mnt/dfc/ts.ini"));
    EXPECT_EQ(file(), chosen);
    EXPECT_EQ(state(), kChangedState);
}

TEST_F(Password, WithoutAPasswordFileNothingIsWritten)
{
    std::filesystem::remove(root.path("/mnt/web.passwd"));
    EXPECT_EQ(change(kFactory, "S3cret-pass", "S3cret-pass").out,
              answer("Can't open file /mnt/web.passwd; nothing changed"));
    EXPECT_FALSE(root.exists("/mnt/web.passwd"));
    EXPECT_EQ(state(), kChangedState);
}
