// What the form layer's parsers share inside the layer (form.cpp, multipart.cpp); no program uses it.
#pragma once

#include "web/form/form.h"

#include <cstddef>
#include <string>

// The bound on a header line and on a part's name, file name and type.
constexpr int kFormTextMax = 1023;

bool Form_equalNoCase(const char *a, const char *b);
bool Form_isBlank(char c);
// A NUL-terminated copy of `len` bytes (which may hold NULs); null on allocation failure.
char *Form_dupBytes(const char *s, size_t len);
// Links a new entry at the end of the list. Takes ownership of attr and value (freed here on
// failure); copies the other texts.
cgiParseResultType Form_appendEntry(char *attr, char *value, int valueLength, const std::string &fileName,
                                    const std::string &contentType, const std::string &tfileName);
