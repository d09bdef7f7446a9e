// Media layer common ground: the trace level every media object consults before it prints, the
// print helpers that apply it, and the handle check that stops the program on a null handle.
//
// The level is read from MEDIA_DEBUG by Media_init(), once at start after the codec runtime is up:
// "0" prints nothing, "1" warnings and errors, "2" everything (object life-cycle traces included).
// Unset, empty or unreadable values behave as "1", so errors are never silenced by accident; values
// above 2 mean everything. The level is one atomic word: any thread may print at any time.
//
// Errors and warnings go to standard error, traces to standard output; each helper writes its whole
// message with one call so that lines of different threads do not interleave inside a line.
#pragma once

#include <cstdint>

// Status codes of every media operation (and of the adapters and stages built on them).
enum {
    Media_EOK = 0,      // success
    Media_EFAIL = -1,   // general failure
    Media_EIO = -3,     // operating-system failure (pipe read or write, close)
    Media_EINVAL = -5,  // invalid argument
    Media_FLUSHED = 1,  // Fifo_get: the Fifo was flushed, no buffer
};

enum {
    Media_LEVEL_NONE = 0,
    Media_LEVEL_ERRORS = 1, // warnings and errors
    Media_LEVEL_ALL = 2,
};

// Reads MEDIA_DEBUG and sets the trace level. May be called again (tests do) to re-read it.
void Media_init(void);

// The current trace level (Media_LEVEL_ERRORS before Media_init was called).
int Media_getTraceLevel(void);
void Media_setTraceLevel(int level);

// printf-style messages; each prints only when the level allows.
void Media_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void Media_warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Media_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A null handle (or a handle of the wrong kind) given to a media operation is a programming error:
// print the failed condition, naming the argument, and abort. Active in every build type, unlike
// assert(), because a release build must not run on with a null handle either.
[[noreturn]] void Media_assertFailed(const char *condition, const char *function, const char *file, int line);

#define MEDIA_ASSERT(cond) \
    ((cond) ? (void)0 : Media_assertFailed(#cond, __func__, __FILE__, __LINE__))
