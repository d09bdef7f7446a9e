// The web login: the password file /mnt/web.passwd that the web server checks every request against
// ("user:hash" lines, SHA-512 crypt), and the settings page's action that changes the password. The
// program sees a password only here, never prints or logs one, and never puts one on a command line.
#pragma once

#include <string>

inline constexpr char kWebPasswd[] = "/mnt/web.passwd";

// The password action (button password_submit, fields password_current, password_new and
// password_again): the current password is checked against the stored hash, the new one against the
// rules, then the file is rewritten whole with the previous one kept as /mnt/web.passwd.swp. Prints
// one line: the refusal, or that the password was changed.
void Password_action();

// The page's question whether the factory password is still in force: the whole response, a small
// JSON object {"factory_password": true|false}.
void Password_printState();

// The restore of every factory setting copies /mnt/dfc/* over /mnt, the factory password file with
// them; the operator's password is no setting and is put back after it. `saved` holds the file as it
// was before the restore (false when there was none to keep).
bool Password_save(std::string &saved);
void Password_putBack(const std::string &saved);
