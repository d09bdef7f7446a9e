// The box's HTTPS certificate from the page: pairs made by the openssl program, checked by the rule
// and uploaded to the settings program as a browser posts files; a refusal leaves the stored pair as
// it was, byte for byte.
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/web/cgi_runner.h"
#include "web/settings/certificate.h"

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

// Keys and certificates made once for the file's tests, in a directory of their own.
class Pems {
public:
    Pems()
    {
        const std::string d = dir_.dir();
        run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + d + "/a.key");
        run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + d + "/b.key");
        run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + d + "/rsa.key");
        run("openssl req -x509 -key " + d + "/a.key -days 30 -subj /CN=studio-box -addext "
            "subjectAltName=DNS:studio-box.example,IP:10.0.0.9,IP:fd00::9 -out " + d + "/a.pem");
        run("openssl req -x509 -key " + d + "/b.key -days 30 -subj /CN=other -out " + d + "/b.pem");
        run("openssl pkey -in " + d + "/a.key -aes256 -passout pass:secret -out " + d + "/a-locked.key");
    }
    std::string read(const std::string &name) const { return dir_.read("/" + name); }

private:
    static void run(const std::string &cmd)
    {
        int status = -1;
        std::string out = runCommand(cmd + " 2>&1", &status);
        EXPECT_EQ(status, 0) << cmd << "\n" << out;
    }
    TempRoot dir_;
};

const Pems &pems()
{
    static Pems made;
    return made;
}

std::string upload(const std::string &cert, const std::string &key)
{
    const std::string b = "----formBoundaryCert";
    std::string body;
    auto file = [&](const char *name, const std::string &text) {
        body += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + name +
                ".pem\"\r\nContent-Type: application/x-pem-file\r\n\r\n" + text + "\r\n";
    };
    if (!cert.empty()) {
        file("cert_file", cert);
    }
    if (!key.empty()) {
        file("key_file", key);
    }
    body += "--" + b + "\r\nContent-Disposition: form-data; name=\"cert_submit\"\r\n\r\nUpload\r\n--" + b + "--\r\n";
    return body;
}

} // namespace

TEST(Certificate, PairsTakenAndRefused)
{
    const Pems &p = pems();
    const int64_t now = std::time(nullptr); // not before the certificates were made
    struct Case {
        const char *what;
        std::string cert, key;
        int64_t at;
        const char *why; // "" when taken
    } cases[] = {
        {"a certificate and its key", p.read("a.pem"), p.read("a.key"), now, ""},
        {"a chain after the certificate", p.read("a.pem") + p.read("b.pem"), p.read("a.key"), now, ""},
        {"another certificate's key", p.read("a.pem"), p.read("b.key"), now,
         "the key does not belong to the certificate"},
        {"a key of another kind", p.read("a.pem"), p.read("rsa.key"), now, "the key does not belong to the certificate"},
        {"the key in the certificate's place", p.read("a.key"), p.read("a.key"), now,
         "the certificate file holds no PEM certificate"},
        {"the certificate in the key's place", p.read("a.pem"), p.read("a.pem"), now,
         "the key file holds no PEM private key"},
        {"a key behind a passphrase", p.read("a.pem"), p.read("a-locked.key"), now,
         "the key is protected by a passphrase; store it without one"},
        {"garbage", "hello", "world", now, "the certificate file holds no PEM certificate"},
        {"expired", p.read("a.pem"), p.read("a.key"), now + 40 * 86400, "the certificate expired on "},
        {"not yet valid", p.read("a.pem"), p.read("a.key"), now - 2 * 86400, "the certificate is valid only from "},
    };
    for (const Case &c : cases) {
        CertificateInfo info;
        std::string why = Certificate_check(c.cert, c.key, c.at, &info);
        if (std::string(c.why).empty()) {
            EXPECT_EQ(why, "") << c.what;
            EXPECT_EQ(info.subject, "studio-box") << c.what;
            EXPECT_EQ(info.names, (std::vector<std::string>{"studio-box.example", "10.0.0.9", "fd00::9"})) << c.what;
        } else {
            EXPECT_EQ(why.rfind(c.why, 0), 0u) << c.what << ": " << why;
        }
    }
    // Without alternative names the common name is the certificate's name.
    CertificateInfo info;
    EXPECT_EQ(Certificate_check(p.read("b.pem"), p.read("b.key"), now, &info), "");
    EXPECT_EQ(info.names, std::vector<std::string>{"other"});
    EXPECT_EQ(Certificate_describe(p.read("b.pem"), now + 40 * 86400).find("other, expired on "), 0u);
    EXPECT_EQ(Certificate_describe("no certificate", now), "");
}

TEST(Certificate, UploadStoresThePairAndARefusalChangesNothing)
{
    const Pems &p = pems(); // before the root: its directory is a root of its own
    TempRoot root(true);
    root.write("/mnt/web/cert.pem", p.read("b.pem"));
    root.write("/mnt/web/key.pem", p.read("b.key"));
    const std::string multipart = "multipart/form-data; boundary=----formBoundaryCert";

    struct Refusal {
        const char *what;
        std::string body;
        const char *line;
    } refusals[] = {
        {"a key that is not the certificate's", upload(p.read("a.pem"), p.read("b.key")),
         "refused certificate: the key does not belong to the certificate; nothing changed\n"},
        {"the certificate alone", upload(p.read("a.pem"), ""),
         "refused certificate: send the certificate file and its key file together; nothing changed\n"},
        {"an empty key file", upload(p.read("a.pem"), "\r\n"),
         "refused certificate: the key file holds no PEM private key; nothing changed\n"},
        {"a file over the bound", upload(p.read("a.pem") + std::string(70 * 1024, '#'), p.read("a.key")),
         "refused certificate: a file is longer than 64 KiB; nothing changed\n"},
    };
    for (const Refusal &r : refusals) {
        CgiResponse a = cgiPostBody(SETTINGS_CGI_BINARY, root.dir(), multipart, r.body);
        EXPECT_NE(a.out.find(r.line), std::string::npos) << r.what << "\n" << a.out;
        EXPECT_EQ(a.out.find("PRIVATE KEY"), std::string::npos) << r.what;
        EXPECT_EQ(root.read("/mnt/web/cert.pem"), p.read("b.pem")) << r.what;
        EXPECT_EQ(root.read("/mnt/web/key.pem"), p.read("b.key")) << r.what;
        EXPECT_FALSE(root.exists("/mnt/web/names")) << r.what;
    }

    CgiResponse a = cgiPostBody(SETTINGS_CGI_BINARY, root.dir(), multipart, upload(p.read("a.pem"), p.read("a.key")));
    EXPECT_NE(a.out.find("set certificate: studio-box, valid until "), std::string::npos) << a.out;
    EXPECT_NE(a.out.find(", names: studio-box.example 10.0.0.9 fd00::9; the web server uses it from the box's next "
                         "start (Reboot)\n"),
              std::string::npos)
        << a.out;
    EXPECT_EQ(root.read("/mnt/web/cert.pem"), p.read("a.pem"));
    EXPECT_EQ(root.read("/mnt/web/key.pem"), p.read("a.key"));
    EXPECT_EQ(root.read("/mnt/web/names"), "studio-box.example\n10.0.0.9\nfd00::9\n");
    struct stat st{};
    ASSERT_EQ(stat(root.path("/mnt/web/key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_FALSE(root.exists("/mnt/web/key.pem.new"));

    // The page shows the one in use, and the switch of plain HTTP.
    CgiResponse v = cgiGet(SETTINGS_CGI_BINARY, root.dir(), "get=1");
    EXPECT_NE(v.out.find("\"cert_shown\":\"studio-box, valid until "), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("\"https\":\"female\""), std::string::npos) << v.out;
    a = cgiPostUrl(SETTINGS_CGI_BINARY, root.dir(), {{"https_submit", ""}, {"https", "male"}});
    EXPECT_NE(a.out.find("https: off, plain HTTP serves the pages too from the box's next start\n"), std::string::npos);
    EXPECT_EQ(root.read("/mnt/https.ini"), "0\n");
    a = cgiPostUrl(SETTINGS_CGI_BINARY, root.dir(), {{"https_submit", ""}, {"https", "on"}});
    EXPECT_NE(a.out.find("refused https: not one of the offered choices\n"), std::string::npos);
    EXPECT_EQ(root.read("/mnt/https.ini"), "0\n");
}
