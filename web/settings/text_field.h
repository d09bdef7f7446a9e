// The settings program's rule for a typed text field, shared by its actions: true when the field
// holds a value to act on. A value too long for the field prints "error len", an empty one "input
// empty" (the lines the page's answer panel knows); a missing field prints nothing.
#pragma once

#include "web/form/form.h"

#include <cstdio>
#include <string>

inline constexpr int SETTINGS_TEXT_FIELD_SIZE = 1024;

inline bool SettingsForm_text(const char *name, std::string &value)
{
    char buf[SETTINGS_TEXT_FIELD_SIZE];
    cgiFormResultType r = cgiFormStringNoNewlines(name, buf, SETTINGS_TEXT_FIELD_SIZE);
    if (r == cgiFormTruncated) {
        std::printf("error len");
        return false;
    }
    if (r == cgiFormEmpty) {
        std::printf("input empty");
        return false;
    }
    if (r != cgiFormSuccess) {
        return false;
    }
    value = buf;
    return true;
}
