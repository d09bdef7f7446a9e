// File helpers of the settings CGI over the configuration store: whole-file reads and writes of the
// system paths (resolved under ENCODE_ROOT), each write followed by the "sync" the flash needs before
// a possible reboot.
#pragma once

#include <string>
#include <string_view>

// At most `limit` bytes of the file; false when it cannot be opened.
bool Store_read(std::string_view path, std::string &text, int limit);

// Truncates and writes the whole file, then runs "sync" twice. False when it cannot be opened for
// writing (the old file is then left as it was).
bool Store_write(std::string_view path, std::string_view text);

// A settings file replaced whole: the previous text (`old`, when there was a file) kept as `swap`
// first, then `text` written. Prints "Can't write PATH; nothing changed" and returns false when
// either write fails.
bool Store_replace(const char *path, const char *swap, const std::string *old, std::string_view text);

// A flag file: the digit and a line end, as echo writes it, then "sync". Prints "Can't open file" and
// returns false when the file cannot be written.
bool Store_setFlag(std::string_view path, char digit);

// The restore of the factory settings: every file of the factory store /mnt/dfc copied over its
// namesake in /mnt, as "cp -f /mnt/dfc/* /mnt/" does, except `kept` (a path in /mnt) while it exists,
// which is never written, not even for a moment. A file that cannot be copied is named on a line.
void Store_restoreFactory(std::string_view kept);
