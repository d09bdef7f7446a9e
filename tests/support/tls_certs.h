// Certificates for TLS tests, made by the openssl program in a temporary directory of their own: a
// test CA, and server certificates signed by it or by themselves for the names given. EC P-256 keys,
// valid for two days.
#pragma once

#include "tests/support/process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TestCertificates {
public:
    TestCertificates()
    {
        char tmpl[] = "/tmp/test-certs-XXXXXX";
        const char *made = mkdtemp(tmpl);
        if (made == nullptr) {
            return;
        }
        dir_ = made;
        ok_ = run("openssl req -x509 " + kNewKey + " -keyout " + key("ca") + " -out " + pem("ca") +
                  " -days 2 -subj /CN=test-ca -addext basicConstraints=critical,CA:TRUE"
                  " -addext keyUsage=critical,keyCertSign,cRLSign");
    }
    ~TestCertificates()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TestCertificates(const TestCertificates &) = delete;
    TestCertificates &operator=(const TestCertificates &) = delete;

    bool ok() const { return ok_; }
    std::string pem(const std::string &name) const { return dir_ + "/" + name + ".pem"; }
    std::string key(const std::string &name) const { return dir_ + "/" + name + ".key"; }

    // NAME.pem and NAME.key for the subject alternative names `sans` ("DNS:localhost,IP:127.0.0.1"),
    // signed by the test CA or by the certificate itself. False (and ok() false) when openssl failed.
    bool server(const std::string &name, const std::string &sans, bool selfSigned)
    {
        bool made;
        if (selfSigned) {
            made = run("openssl req -x509 " + kNewKey + " -keyout " + key(name) + " -out " + pem(name) +
                       " -days 2 -subj /CN=" + name + " -addext subjectAltName=" + sans);
        } else {
            std::string ext = dir_ + "/" + name + ".ext";
            std::ofstream(ext) << "subjectAltName=" << sans << "\nextendedKeyUsage=serverAuth\n";
            made = run("openssl req " + kNewKey + " -keyout " + key(name) + " -out " + dir_ + "/" + name +
                       ".csr -subj /CN=" + name) &&
                   run("openssl x509 -req -in " + dir_ + "/" + name + ".csr -CA " + pem("ca") + " -CAkey " + key("ca") +
                       " -CAcreateserial -days 2 -extfile " + ext + " -out " + pem(name));
        }
        ok_ = ok_ && made;
        return made;
    }

private:
    inline static const std::string kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

    static bool run(const std::string &cmd)
    {
        int status = 0;
        runCommand(cmd + " >/dev/null 2>&1", &status);
        return status == 0;
    }

    std::string dir_;
    bool ok_ = false;
};
