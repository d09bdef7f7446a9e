// Lines on standard output from threads that print while others do (servers, the recorder): each
// call formats one whole line first and writes it under the stream's lock, flushed, so that lines
// of concurrent threads never interleave and a log reader sees them at once.
#pragma once

__attribute__((format(printf, 1, 2))) void Console_say(const char *format, ...);
