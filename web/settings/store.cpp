// Settings CGI file helpers; one request per process, no state.
#include "web/settings/store.h"

#include "encode/core/config_store.h"
#include "encode/core/shell.h"

#include <cstdio>

bool Store_read(std::string_view path, std::string &text, int limit)
{
    return Config_readText(path, text, limit);
}

bool Store_write(std::string_view path, std::string_view text)
{
    // Config_writeText syncs once; the second sync is the one the flash copy is waited for with.
    if (Config_writeText(path, text) != Config_EOK) {
        return false;
    }
    Shell_run("sync");
    return true;
}

bool Store_setFlag(std::string_view path, char digit)
{
    const char text[2] = {digit, '\n'};
    if (Config_writeText(path, std::string_view(text, 2)) != Config_EOK) {
        std::printf("Can't open file");
        return false;
    }
    return true;
}
