#include "web/settings/https_form.h"

#include "encode/core/paths.h"
#include "web/form/form.h"
#include "web/settings/certificate.h"
#include "web/settings/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char *kTwoWay[] = {"male", "female"};

void refuse(const std::string &why)
{
    std::printf("refused certificate: %s; nothing changed\n", why.c_str());
}

// `text` into a new file beside `path` with `mode`, flushed to the disk; its name, "" on failure.
std::string writeBeside(const std::string &path, const std::string &text, mode_t mode)
{
    std::string tmp = path + ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return "";
    }
    bool ok = ::fchmod(fd, mode) == 0;
    for (size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        ok = n > 0;
        at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(tmp.c_str());
        return "";
    }
    return tmp;
}

// Both files are written whole beside the stored ones before either replaces its namesake; the key
// goes first. Should the box stop between the two renames, the web server's start finds a pair that
// does not match and makes the box's own again (scripts/web-server.sh): the pages stay reachable.
bool storePair(const std::string &cert, const std::string &key, const CertificateInfo &info)
{
    const std::string dir = Path_resolve("/mnt/web");
    ::mkdir(dir.c_str(), 0755);
    std::string certNew = writeBeside(dir + "/cert.pem", cert, 0644);
    std::string keyNew = certNew.empty() ? "" : writeBeside(dir + "/key.pem", key, 0640);
    if (keyNew.empty()) {
        ::unlink(certNew.c_str());
        return false;
    }
    if (::rename(keyNew.c_str(), (dir + "/key.pem").c_str()) != 0) {
        ::unlink(certNew.c_str());
        ::unlink(keyNew.c_str());
        return false;
    }
    if (::rename(certNew.c_str(), (dir + "/cert.pem").c_str()) != 0) {
        return false;
    }
    std::string names;
    for (const std::string &n : info.names) {
        names += n + "\n";
    }
    Store_write("/mnt/web/names", names);
    return true;
}

void certificateAction()
{
    std::string cert, key;
    cgiFormResultType c = cgiFormFileContent("cert_file", &cert, CERTIFICATE_PEM_MAX);
    cgiFormResultType k = cgiFormFileContent("key_file", &key, CERTIFICATE_PEM_MAX);
    if (c == cgiFormNotFound || c == cgiFormEmpty || k == cgiFormNotFound || k == cgiFormEmpty) {
        refuse("send the certificate file and its key file together");
        return;
    }
    if (c == cgiFormTruncated || k == cgiFormTruncated) {
        refuse("a file is longer than " + std::to_string(CERTIFICATE_PEM_MAX / 1024) + " KiB");
        return;
    }
    if (c != cgiFormSuccess || k != cgiFormSuccess) {
        refuse("the upload could not be read");
        return;
    }
    CertificateInfo info;
    std::string why = Certificate_check(cert, key, static_cast<int64_t>(std::time(nullptr)), &info);
    if (!why.empty()) {
        explicit_bzero(key.data(), key.size());
        refuse(why);
        return;
    }
    bool stored = storePair(cert, key, info);
    explicit_bzero(key.data(), key.size());
    if (!stored) {
        refuse("/mnt/web could not be written");
        return;
    }
    std::string names;
    for (const std::string &n : info.names) {
        names += " " + n;
    }
    std::printf("set certificate: %s, valid until %s, names:%s; the web server uses it from the box's next "
                "start (Reboot)\n",
                info.subject.c_str(), info.validUntil.c_str(), names.c_str());
}

void httpsAction()
{
    int choice = 0;
    cgiFormResultType r = cgiFormRadio("https", kTwoWay, 2, &choice, 0);
    if (r == cgiFormNotFound) {
        return;
    }
    if (r != cgiFormSuccess) {
        std::printf("refused https: not one of the offered choices\n");
        return;
    }
    if (Store_setFlag("/mnt/https.ini", choice == 1 ? '1' : '0')) {
        std::printf(choice == 1 ? "https: on, plain HTTP goes to HTTPS from the box's next start\n"
                                : "https: off, plain HTTP serves the pages too from the box's next start\n");
    }
}

} // namespace

void HttpsForm_action()
{
    if (cgiFormButtonPressed("https_submit")) {
        httpsAction();
    }
    if (cgiFormButtonPressed("cert_submit")) {
        certificateAction();
    }
}
