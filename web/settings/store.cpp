// Settings CGI file helpers; one request per process, no state.
#include "web/settings/store.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

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

namespace {

constexpr size_t kFactoryFileLimit = 1 << 20;

} // namespace

void Store_restoreFactory(std::string_view kept)
{
    namespace fs = std::filesystem;
    const fs::path keep = Path_resolve(kept);
    std::error_code ec;
    fs::directory_iterator it(Path_resolve("/mnt/dfc"), ec);
    if (ec) {
        std::printf("Can't read /mnt/dfc: the other settings are not changed\n");
        return;
    }
    const fs::path to = Path_resolve("/mnt");
    for (const fs::directory_entry &e : it) {
        if (!e.is_regular_file(ec)) {
            continue; // cp without -r leaves directories alone too
        }
        fs::path target = to / e.path().filename();
        // The operator's login is no setting: only a box without one gets the factory login.
        if (target == keep && fs::exists(target, ec)) {
            continue;
        }
        // As cp -f does: the existing file rewritten in place, its owner and mode kept. (The
        // library's copy_file truncates the target and then sets its mode, which a program that is not
        // the file's owner may not: the target was left empty behind an answer that said "not changed".)
        std::string name = "/mnt/dfc/" + e.path().filename().string();
        std::string text;
        if (!Config_readText(name, text, static_cast<int>(kFactoryFileLimit) + 1) || text.size() > kFactoryFileLimit ||
            Config_writeText("/mnt/" + e.path().filename().string(), text) != Config_EOK) {
            std::printf("Can't copy %s: it is not changed\n", name.c_str());
        }
    }
}

bool Store_replace(const char *path, const char *swap, const std::string *old, std::string_view text)
{
    const char *failed = old != nullptr && !Store_write(swap, *old) ? swap : !Store_write(path, text) ? path : nullptr;
    if (failed != nullptr) {
        std::printf("Can't write %s; nothing changed\n", failed);
        return false;
    }
    return true;
}
