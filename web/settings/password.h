// The web login: the password file /mnt/web.passwd that the web server checks every request against
// ("user:hash" lines in crypt(3) form: yescrypt for a password set here, SHA-512 crypt in older files),
// and the settings page's action that changes the password. The program sees a password only here,
// never prints or logs one, and never puts one on a command line.
#pragma once

#include <string>

inline constexpr char kWebPasswd[] = "/mnt/web.passwd";

// The password action (button password_submit, fields password_current, password_new and
// password_again): the current password is checked against the stored hash, the new one against the
// rules (8 to 128 printable ASCII characters without blank; not the factory password, the user name
// or a common password, in any case and with or without digits or signs around it), then the file is
// rewritten whole with the previous one kept as /mnt/web.passwd.swp. Prints one line: the refusal, or
// that the password was changed.
void Password_action();

// The page's question whether the factory password is still in force: the whole response, a small
// JSON object {"factory_password": true|false}.
void Password_printState();
