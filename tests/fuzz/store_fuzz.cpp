// fuzz-sources: encode/core/config_store.cpp encode/core/paths.cpp encode/core/shell.cpp encode/core/rtmp_destinations.cpp
// fuzz-sources: encode/core/srt_settings.cpp encode/core/console.cpp
// The store's readers on any file content: every reader the encoder and the CGIs use, on the same
// bytes, with no crash, overread or undefined behaviour, and answers within their promises (a record
// never parses more fields than asked for, a text never longer than its limit).
#include "encode/core/config_store.h"
#include "encode/core/rtmp_destinations.h"
#include "encode/core/srt_settings.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

// One root for the whole run; the file under test is rewritten for every input.
const std::string &root()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/store-fuzz-XXXXXX";
        std::string d = mkdtemp(tmpl);
        setenv("ENCODE_ROOT", d.c_str(), 1);
        std::system(("mkdir -p '" + d + "/mnt' '" + d + "/tmp'").c_str());
        return d;
    }();
    return dir;
}

void put(const uint8_t *data, size_t size)
{
    int fd = ::open((root() + "/mnt/x.ini").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    require(fd >= 0);
    require(::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    put(data, size);
    int fields[12] = {};
    for (int limit : {1, 5, 80, 4096}) {
        int n = Config_readRecord("/mnt/x.ini", fields, limit);
        require(n >= 0 && n <= 12);
        std::string text;
        require(Config_readText("/mnt/x.ini", text, limit) && text.size() <= static_cast<size_t>(limit));
    }
    FlagRead f = Config_readFlag("/mnt/x.ini");
    require(f.state == FileState::Read || f.state == FileState::Empty);
    for (int positions : {1, 2, 3}) {
        Config_readDigits("/mnt/x.ini", positions);
    }
    long long v = 0;
    std::string_view text(reinterpret_cast<const char *>(data), size);
    for (bool sign : {false, true}) {
        Config_parseDecimal(text, sign, 9, v);
    }
    // srt.ini: a refusal always says why, and what is taken is stored back the same by the page.
    SrtSettings srt;
    std::string why;
    int r = SrtSettings_parse(text, srt, why);
    require((r == SrtSettings_EOK) == why.empty());
    if (r == SrtSettings_EOK) {
        SrtSettings again;
        require(SrtSettings_parse(SrtSettings_format(srt), again, why) == SrtSettings_EOK &&
                SrtSettings_format(again) == SrtSettings_format(srt));
    }
    std::string replaced = Config_replaceFieldText(text.substr(0, 200), static_cast<int>(size % 12) + 1, "42");
    require(replaced.find("42") != std::string::npos);
    for (bool cut : {false, true}) {
        RtmpExtraDestinations d = RtmpDestinations_parseExtra(text, cut);
        for (const RtmpExtraLine &line : d.line) {
            require(line.url.empty() || RtmpUrl_check(line.url).empty());
        }
        RtmpUrl_public(text.substr(0, 600));
    }
    return 0;
}
