// API tokens: what software sends instead of the password, as "Authorization: Bearer <secret>".
// Stored in /mnt/web/tokens (resolved under ENCODE_ROOT), one line per token, only the SHA-256 of the
// secret kept; the secret is shown once, when made.
//
// The file is read whole with a bound and replaced whole (a temporary name, then a rename) under the
// store's one-writer lock, so that two clients making or revoking tokens at once never lose one
// another's change. A line that is not a token is never taken as one: it is skipped (and said on
// stderr) and kept as it stands when the file is written again.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class TokenScope { Read, Write };

struct ApiTokenInfo {
    std::string id;      // 8 lower-case hex characters, unique, what the page revokes by
    std::string name;    // 1..40 characters: letters, digits, blank, '-', '_', '.'
    TokenScope scope;
    long long createdS;  // wall-clock seconds
    long long lastUsedS; // 0 when never used (kept in /tmp, a RAM disk: not a write of the store per call)
};

inline constexpr int API_TOKEN_LIMIT = 32; // tokens at most

// A new token; *secret gets its text ("enc_" and 43 base64url characters of 32 random bytes). False with
// *why (one line) for a bad name, a name already used, the limit reached, or the store not writable.
bool ApiToken_make(const std::string &name, TokenScope scope, std::string *secret, ApiTokenInfo *made, std::string *why);

std::vector<ApiTokenInfo> ApiToken_list();

// False when no token has that id.
bool ApiToken_revoke(const std::string &id);

// The token whose hash matches `secret` (constant-time compare), its last use moved to now; nullopt otherwise.
std::optional<ApiTokenInfo> ApiToken_check(const std::string &secret);

std::string TokenScope_name(TokenScope s); // "read" / "write"
