#include "web/api/staged_apply.h"

#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/store_lock.h"
#include "web/form/form.h"
#include "web/settings/settings_apply.h"
#include "web/stream2/stream2_apply.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kFileLimit = 1 << 20;
constexpr int kActionWaitMs = 10000;
constexpr size_t kAccountLimit = 64 * 1024;

struct Snapshot {
    std::map<std::string, std::string> text; // path under mnt -> content
    std::map<std::string, fs::perms> mode;
};

bool readWhole(const fs::path &p, std::string &out)
{
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// The settings files under `mnt`: regular files of at most kFileLimit, links not followed, the
// recordings left out.
Snapshot snapshot(const fs::path &mnt)
{
    Snapshot snap;
    std::error_code ec;
    fs::recursive_directory_iterator it(mnt, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = it->path().lexically_relative(mnt).string();
        if (it.depth() == 0 && rel == "usb" && it->is_directory()) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code e2;
        if (!it->is_regular_file(e2) || it->is_symlink(e2) || it->file_size(e2) > kFileLimit) {
            continue;
        }
        std::string text;
        if (readWhole(it->path(), text)) {
            snap.text[rel] = std::move(text);
            snap.mode[rel] = it->status(e2).permissions();
        }
    }
    return snap;
}

bool writeFile(const fs::path &p, const std::string &text, fs::perms mode)
{
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    fs::path tmp = p.parent_path() / ("." + p.filename().string() + ".api.tmp");
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    bool good = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    good = ::fchmod(fd, static_cast<mode_t>(mode) & 07777) == 0 && good;
    good = ::close(fd) == 0 && good;
    if (!good || ::rename(tmp.c_str(), p.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool copyInto(const Snapshot &snap, const fs::path &mnt)
{
    for (const auto &[rel, text] : snap.text) {
        if (!writeFile(mnt / rel, text, snap.mode.at(rel))) {
            return false;
        }
    }
    return true;
}

// In the child: the change handed to the page's action as the field and button the page sends.
[[noreturn]] void actInChild(const std::string &stage, const StagedChange &c, int out)
{
    ::dup2(out, STDOUT_FILENO);
    ::setenv("ENCODE_ROOT", stage.c_str(), 1);
    cgiFreeResources();
    const ApiSetting &s = *c.setting;
    bool clear = c.form.empty() && s.clear != nullptr;
    cgiFormAdd(s.name, c.form);
    if (s.partner != nullptr) {
        cgiFormAdd(s.partner, c.partnerValue);
    }
    cgiFormAdd(clear ? s.clear : s.button, "1");
    if (s.page == SettingPage::Settings) {
        SettingsCgi_apply();
    } else {
        Stream2Cgi_apply();
    }
    std::fflush(nullptr);
    ::_exit(0);
}

// What arrives on `fd` until its end, at most kAccountLimit of it; false when the end does not come
// within kActionWaitMs.
bool readToEnd(int fd, std::string &out)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kActionWaitMs);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            return n == 0;
        }
        if (out.size() < kAccountLimit) {
            out.append(buf, static_cast<size_t>(n));
        }
    }
}

// The page's action for one change, in a child whose store is the stage: what it answered, or
// nullopt when it did not end within its bound.
std::optional<std::string> runAction(const std::string &stage, const StagedChange &c)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    std::fflush(nullptr); // nothing buffered is written twice
    pid_t pid = ::fork();
    if (pid == 0) {
        actInChild(stage, c, fds[1]);
    }
    ::close(fds[1]);
    std::string out;
    bool ended = pid > 0 && readToEnd(fds[0], out);
    ::close(fds[0]);
    if (pid < 0) {
        return std::nullopt;
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!ended || !WIFEXITED(status)) {
        return std::nullopt;
    }
    return out;
}

bool refusedBy(const StagedChange &c, bool changed, const std::string &account)
{
    if (changed) {
        return false;
    }
    // A secret's shown text is never its value: the action's own word tells.
    if (c.setting->kind == SettingKind::Secret) {
        return account.find("refused") != std::string::npos;
    }
    return c.form != c.shown;
}

// The store made like the stage: changed and new files written whole, files the actions removed
// removed. The stage holds no file that the store's copy left out (links, large files, recordings).
bool commit(const Snapshot &store, const Snapshot &stage, const fs::path &mnt, std::vector<std::string> &files)
{
    for (const auto &[rel, text] : stage.text) {
        auto it = store.text.find(rel);
        if (it != store.text.end() && it->second == text) {
            continue;
        }
        if (!writeFile(mnt / rel, text, stage.mode.at(rel))) {
            return false;
        }
        files.push_back("/mnt/" + rel);
    }
    for (const auto &[rel, text] : store.text) {
        if (stage.text.count(rel) == 0) {
            std::error_code ec;
            fs::remove(mnt / rel, ec);
            files.push_back("/mnt/" + rel);
        }
    }
    if (!files.empty()) {
        Shell_run("sync");
    }
    return true;
}

} // namespace

bool StagedResult::refused() const
{
    for (const StagedOutcome &o : outcomes) {
        if (o.refused) {
            return true;
        }
    }
    return false;
}

StagedResult StagedApply_run(const std::vector<StagedChange> &changes, bool doCommit)
{
    StagedResult r;
    StoreLock lock;
    if (!lock.held()) {
        r.busy = true;
        return r;
    }
    fs::path base = Path_resolve("/tmp/api");
    std::error_code ec;
    fs::create_directories(base, ec);
    std::string templ = (base / "stage.XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
        r.error = "cannot make a stage under /tmp/api";
        return r;
    }
    fs::path stage(templ);
    fs::path mnt = Path_resolve("/mnt");
    Snapshot store = snapshot(mnt);
    fs::create_directories(stage / "tmp", ec);
    if (!copyInto(store, stage / "mnt")) {
        r.error = "cannot copy the settings into the stage";
    }
    std::string format;
    if (readWhole(Path_resolve("/tmp/format.ini"), format)) {
        writeFile(stage / "tmp" / "format.ini", format, fs::perms::owner_read | fs::perms::owner_write);
    }
    Snapshot before = store;
    for (size_t i = 0; r.error.empty() && i < changes.size(); i++) {
        std::optional<std::string> account = runAction(stage.string(), changes[i]);
        if (!account) {
            r.error = std::string("the action for ") + changes[i].setting->name + " did not end";
            break;
        }
        Snapshot after = snapshot(stage / "mnt");
        bool changed = after.text != before.text;
        r.outcomes.push_back({changes[i].setting, refusedBy(changes[i], changed, *account), *account});
        before = std::move(after);
    }
    if (r.error.empty() && !r.refused() && doCommit && !commit(store, before, mnt, r.files)) {
        r.error = "cannot write the store";
    }
    fs::remove_all(stage, ec);
    return r;
}
