// Trace level of the media layer, its print helpers, and its clock and quit-aware sleep. The level is process-wide, set once at
// start by Media_init() from MEDIA_DEBUG and read by every thread that prints.
#include "encode/media/media.h"

#include "encode/core/shared_status.h"

#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static std::atomic<int> traceLevel{Media_LEVEL_ERRORS};

static int parseLevel(const char *text)
{
    if (text == nullptr || *text == '\0') {
        return Media_LEVEL_ERRORS;
    }
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0) {
        return Media_LEVEL_ERRORS;
    }
    return value >= Media_LEVEL_ALL ? Media_LEVEL_ALL : static_cast<int>(value);
}

void Media_init(void)
{
    traceLevel.store(parseLevel(std::getenv("MEDIA_DEBUG")));
}

int Media_getTraceLevel(void)
{
    return traceLevel.load();
}

void Media_setTraceLevel(int level)
{
    traceLevel.store(level < 0 ? Media_LEVEL_NONE : level > Media_LEVEL_ALL ? Media_LEVEL_ALL : level);
}

// One formatted write per message keeps concurrent lines whole. Warnings share the errors' level:
// "1" shows both.
static void emit(int minLevel, FILE *stream, const char *fmt, va_list ap)
{
    if (traceLevel.load() < minLevel) {
        return;
    }
    char line[1024];
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    if (n < 0) {
        return;
    }
    std::fputs(line, stream);
    std::fflush(stream);
}

void Media_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(Media_LEVEL_ERRORS, stderr, fmt, ap);
    va_end(ap);
}

void Media_warning(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(Media_LEVEL_ERRORS, stderr, fmt, ap);
    va_end(ap);
}

void Media_trace(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(Media_LEVEL_ALL, stdout, fmt, ap);
    va_end(ap);
}

void Media_assertFailed(const char *condition, const char *function, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, condition);
    std::fflush(stderr);
    std::abort();
}

