// What the encoder writes for the operator's view, read as the programs serve it: the status JSON
// (/tmp/encode.status, with the WebRTC server's /tmp/webrtc.status as its "webrtc" member, or
// {"state":"off"} without that file), the preview picture (/tmp/encode.jpg) and the last 200 lines of
// the console log (/tmp/encode.log, every line as UTF-8). Shared by the status program, the JSON API
// and the metrics, so that each reads them with the same bounds.
//
// Every file is read with a bound, and only a regular file is read at all (a pipe put in its place
// would block the request). The encoder and the WebRTC server replace their files by renaming, so a
// file read here is always whole.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

inline constexpr off_t STATUS_DOC_LIMIT = 256 * 1024;

enum class StatusRead { Ok, Missing, Unreadable, TooLarge };

struct StatusFile {
    const char *what; // "status", "jpeg" or "log"
    const char *path;
    const char *type; // its Content-Type
    off_t limit;      // the bound; for the log the tail that is read
    bool log;
};

// The file served under that name, or null.
const StatusFile *StatusFile_find(std::string_view what);

// The file as it is served (see above) into `data`.
StatusRead StatusFile_read(const StatusFile &f, std::string &data);
