#include "web/form/secret_hash.h"

#include <openssl/evp.h>

std::string SecretHash_hex(const unsigned char *p, size_t n)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 0x0F];
    }
    return out;
}

std::string SecretHash_sha256Hex(const std::string &secret)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(secret.data(), secret.size(), digest, &n, EVP_sha256(), nullptr);
    return SecretHash_hex(digest, n);
}
