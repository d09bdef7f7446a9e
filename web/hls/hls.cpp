// The HLS program behind /hls/: the encoder's playlists and segments from the store's tmpfs
// (dev/shm/hls), behind the login and the request rules as every program, or without the login when
// hls.ini says public=1 (read on every request, so that the switch takes effect at once: a player
// page on the LAN has no login to give).
//
// Only the names the encoder writes are served (a playlist or a segment: lower-case letters, digits
// and '_', then .m3u8 or .ts), from that one directory, never through a link: nothing else of the box
// can be read through it. The encoder renames whole files into place, so a file opened is whole; it
// is sent in chunks of a fixed size, however large.
#include "web/form/form.h"
#include "web/form/request_rules.h"
#include "web/form/session.h"

#include "encode/core/config_store.h"
#include "encode/core/hls_settings.h"
#include "encode/core/paths.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kNameMost = 64;

void refuse(const char *status, const char *line, const char *allow = nullptr)
{
    std::fprintf(cgiOut, "Status: %s\r\n", status);
    if (allow != nullptr) {
        std::fprintf(cgiOut, "Allow: %s\r\n", allow);
    }
    cgiHeaderContentType("text/plain; charset=utf-8");
    std::fprintf(cgiOut, "%s\n", line);
}

// The type of a name the encoder writes, or null for any other name.
const char *typeOf(std::string_view name)
{
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot > kNameMost) {
        return nullptr;
    }
    for (char c : name.substr(0, dot)) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
            return nullptr;
        }
    }
    std::string_view ext = name.substr(dot);
    return ext == ".m3u8" ? "application/vnd.apple.mpegurl" : ext == ".ts" ? "video/mp2t" : nullptr;
}

bool sendAll(int fd, off_t size)
{
    static char chunk[kChunk];
    for (off_t sent = 0; sent < size;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        n = std::min<ssize_t>(n, size - sent);
        if (std::fwrite(chunk, 1, static_cast<size_t>(n), cgiOut) != static_cast<size_t>(n)) {
            return false;
        }
        sent += n;
    }
    return true;
}

void handle()
{
    bool head = strcasecmp(cgiRequestMethod, "HEAD") == 0;
    if (!head && strcasecmp(cgiRequestMethod, "GET") != 0) {
        refuse("405 Method Not Allowed", "refused: HLS is read with GET", "GET, HEAD");
        return;
    }
    std::string_view name(cgiPathInfo);
    if (!name.empty() && name[0] == '/') {
        name.remove_prefix(1);
    }
    const char *type = typeOf(name);
    if (type == nullptr) {
        refuse("404 Not Found", "refused: no such file; the master playlist is /hls/index.m3u8");
        return;
    }
    std::string path = Path_resolve("/dev/shm/hls/") + std::string(name);
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            ::close(fd);
        }
        refuse("404 Not Found", "refused: not there (HLS is off, not started yet, or the segment has gone)");
        return;
    }
    std::fprintf(cgiOut, "Status: 200 OK\r\nContent-Length: %lld\r\n", static_cast<long long>(st.st_size));
    cgiHeaderContentType(type);
    if (!head) {
        sendAll(fd, st.st_size); // a player that went away ends it; nothing else is to be done
    }
    ::close(fd);
}

} // namespace

int cgiMain()
{
    handle();
    return 0;
}

int main()
{
    cgiInit();
    // Parsed here rather than read with HlsSettings_read, whose refusal line would go into the answer.
    HlsSettings hls;
    std::string text, why;
    bool open = Config_readText("/mnt/hls.ini", text, HLS_SETTINGS_FILE_BYTES + 1) &&
                HlsSettings_parse(text, hls, why) == HlsSettings_EOK && hls.open;
    if (open ? cgiRequestRulesKept({}) : cgiRequestAllowed({})) {
        cgiMain();
    }
    std::fflush(cgiOut);
    cgiFreeResources();
    return 0;
}
