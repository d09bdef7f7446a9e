#include "web/settings/certificate.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <ctime>
#include <memory>

namespace {

struct Free {
    void operator()(X509 *x) const { X509_free(x); }
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    void operator()(BIO *b) const { BIO_free(b); }
};
using Cert = std::unique_ptr<X509, Free>;
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Bio = std::unique_ptr<BIO, Free>;

Bio memory(const std::string &text)
{
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

Cert readCert(const std::string &pem)
{
    Bio b = memory(pem);
    return Cert(b ? PEM_read_bio_X509(b.get(), nullptr, nullptr, nullptr) : nullptr);
}

// A passphrase callback that gives none: an encrypted key is refused, not asked for.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

std::string date(const ASN1_TIME *t)
{
    tm when{};
    if (t == nullptr || ASN1_TIME_to_tm(t, &when) != 1) {
        return "?";
    }
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &when);
    return text;
}

// -1 when `t` is at or before `now`, 1 when after, 0 when it cannot be read.
int compare(const ASN1_TIME *t, int64_t now)
{
    time_t at = static_cast<time_t>(now);
    return X509_cmp_time(t, &at);
}

std::string commonName(X509 *x)
{
    X509_NAME *subject = X509_get_subject_name(x);
    char cn[256] = "";
    if (X509_NAME_get_text_by_NID(subject, NID_commonName, cn, sizeof cn) > 0) {
        return cn;
    }
    char *line = X509_NAME_oneline(subject, nullptr, 0);
    std::string whole = line != nullptr ? line : "";
    OPENSSL_free(line);
    return whole;
}

std::vector<std::string> names(X509 *x)
{
    std::vector<std::string> out;
    auto *sans = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; sans != nullptr && i < sk_GENERAL_NAME_num(sans); i++) {
        const GENERAL_NAME *n = sk_GENERAL_NAME_value(sans, i);
        if (n->type == GEN_DNS) {
            const unsigned char *p = ASN1_STRING_get0_data(n->d.dNSName);
            out.emplace_back(reinterpret_cast<const char *>(p), ASN1_STRING_length(n->d.dNSName));
        } else if (n->type == GEN_IPADD) {
            int len = ASN1_STRING_length(n->d.iPAddress);
            char text[INET6_ADDRSTRLEN] = "";
            if ((len == 4 || len == 16) &&
                inet_ntop(len == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(n->d.iPAddress), text, sizeof text)) {
                out.emplace_back(text);
            }
        }
    }
    GENERAL_NAMES_free(sans);
    if (out.empty()) {
        std::string cn = commonName(x);
        if (!cn.empty() && cn.find('/') == std::string::npos) {
            out.push_back(cn);
        }
    }
    // A name is what a Host header may carry: nothing else goes into the names file.
    std::vector<std::string> usable;
    for (const std::string &n : out) {
        bool plain = !n.empty() && n.size() <= 253;
        for (char c : n) {
            plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                              c == '.' || c == ':' || c == '*');
        }
        if (plain) {
            usable.push_back(n);
        }
    }
    return usable;
}

} // namespace

std::string Certificate_check(const std::string &certPem, const std::string &keyPem, int64_t now, CertificateInfo *info)
{
    Cert cert = readCert(certPem);
    ERR_clear_error();
    if (!cert) {
        return "the certificate file holds no PEM certificate";
    }
    Bio kb = memory(keyPem);
    Key key(kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, noPassphrase, nullptr) : nullptr);
    ERR_clear_error();
    if (!key) {
        return keyPem.find("ENCRYPTED") != std::string::npos
                   ? "the key is protected by a passphrase; store it without one"
                   : "the key file holds no PEM private key";
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        return "the key does not belong to the certificate";
    }
    int from = compare(X509_get0_notBefore(cert.get()), now);
    int until = compare(X509_get0_notAfter(cert.get()), now);
    if (from == 0 || until == 0) {
        return "the certificate's dates cannot be read";
    }
    if (from > 0) {
        return "the certificate is valid only from " + date(X509_get0_notBefore(cert.get()));
    }
    if (until < 0) {
        return "the certificate expired on " + date(X509_get0_notAfter(cert.get()));
    }
    info->subject = commonName(cert.get());
    info->validUntil = date(X509_get0_notAfter(cert.get()));
    info->names = names(cert.get());
    return "";
}

std::string Certificate_describe(const std::string &certPem, int64_t now)
{
    Cert cert = readCert(certPem);
    ERR_clear_error();
    if (!cert) {
        return "";
    }
    const ASN1_TIME *until = X509_get0_notAfter(cert.get());
    std::string text = commonName(cert.get()) + (compare(until, now) <= 0 ? ", expired on " : ", valid until ") +
                       date(until) + ", names:";
    for (const std::string &n : names(cert.get())) {
        text += " " + n;
    }
    return text;
}
