// The one form in which the store keeps a secret of the login (a session's token, an API token): its
// SHA-256 in lower-case hex. A file of its own, so that the token store links without the login.
#pragma once

#include <cstddef>
#include <string>

std::string SecretHash_hex(const unsigned char *p, size_t n);
std::string SecretHash_sha256Hex(const std::string &secret);
