// The box's HTTPS certificate: what the page may store in place of the one the box made itself, and
// what it shows of the stored one. Pure functions over PEM text (OpenSSL); the store is the caller's.
//
// A certificate is taken when its PEM text holds a certificate (a chain may follow it), the key's PEM
// text holds one unencrypted private key, the key is the certificate's, and `now` lies within the
// certificate's validity. Its names are those of its subject alternative names (DNS names and IP
// addresses) and, without any, its common name: what the box then takes as its own Host names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t CERTIFICATE_PEM_MAX = 64 * 1024;

struct CertificateInfo {
    std::string subject;            // the common name, or the whole subject line without one
    std::string validUntil;         // YYYY-MM-DD (UTC)
    std::vector<std::string> names; // DNS names and IP addresses, in the certificate's order
};

// "" when the pair is taken (and `info` filled), else why not: one line for "refused certificate: ...".
std::string Certificate_check(const std::string &certPem, const std::string &keyPem, int64_t now, CertificateInfo *info);

// What the page shows of a stored certificate: "SUBJECT, valid until DATE, names: A B", "expired on
// DATE" in place of "valid until DATE" once it has, or "" when `certPem` holds no certificate.
std::string Certificate_describe(const std::string &certPem, int64_t now);
