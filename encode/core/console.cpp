#include "encode/core/console.h"

#include <cstdarg>
#include <cstdio>

void Console_say(const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    flockfile(stdout);
    std::fputs(line, stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}
