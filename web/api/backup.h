// The backup file: every setting as the API shows it, the start script's variable block as it stands,
// and, only when asked, the secrets' own values. Restoring hands the settings back to the pages'
// actions all at once (staged_apply.h): one refusal refuses the whole file and nothing changes.
//
//   {"backup": "encoder settings", "format": 1, "software": "<version>", "made": "<UTC time>",
//    "settings": {"<group>": {"<name>": value, ...}, ...},
//    "start_script": "<the variable block>",
//    "secrets": {"<name>": "<value>", ...}}        (only with the secrets)
//
// A file of this format from another software version is read: a setting this software does not have
// is named and left out, one it has that the file lacks is kept as it is. A file of a later format, or
// that is no backup, is refused with the reason. The tokens and the login are not part of it: they are
// the box's own, not a configuration to copy to another box.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

inline constexpr int BACKUP_FORMAT = 1;

// The secrets' values as stored (name -> value); a secret not set is left out.
nlohmann::json Backup_secrets();

// The start script's variable block, or "" when the script cannot be read.
std::string Backup_startBlock();

// `file` checked as a backup this software reads: "" when it is one, else the reason.
std::string Backup_check(const nlohmann::json &file);

// The factory settings: the start script of the box's audio codec from its template (the one in use kept
// as autorun.sh.swp), then every factory file over its namesake (Store_restoreFactory), the login kept
// when `keepLogin`. What could not be done is said in the lines returned ("" when all was done).
std::string Backup_factoryReset(bool keepLogin);
