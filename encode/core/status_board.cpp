// Owns the list of reporters. One mutex guards it and is held for a whole collection, so a reporter
// being removed is never running; stages add and remove reporters only when they start and end, and
// the status thread is the only collector, so nobody on a stage's per-frame path ever takes it.
#include "encode/core/status_board.h"

#include <nlohmann/json.hpp>

#include <sys/time.h>

#include <cstring>
#include <vector>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

struct Reporter {
    int id;
    StatusSection section;
    StatusReport report;
    const void *ctx;
};

std::mutex boardMutex;
std::vector<Reporter> reporters; // guarded by boardMutex
int lastId = 0;                  // guarded by boardMutex

nlohmann::json &place(nlohmann::json &doc, StatusSection section)
{
    switch (section) {
    case StatusSection::Input: return doc["input"];
    case StatusSection::MainStream: return doc["streams"]["main"];
    case StatusSection::SecondStream: return doc["streams"]["second"];
    case StatusSection::Audio: return doc["audio"];
    case StatusSection::Output: break;
    }
    doc["outputs"].push_back(nlohmann::json::object());
    return doc["outputs"].back();
}

double wallSeconds()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

} // namespace

int StatusBoard_add(StatusSection section, StatusReport report, const void *ctx)
{
    if (report == nullptr) {
        return 0;
    }
    try {
        ScopedLock lock(boardMutex);
        reporters.push_back({++lastId, section, report, ctx});
        return lastId;
    } catch (...) {
        return 0;
    }
}

void StatusBoard_remove(int id)
{
    if (id <= 0) {
        return;
    }
    ScopedLock lock(boardMutex);
    for (auto it = reporters.begin(); it != reporters.end(); ++it) {
        if (it->id == id) {
            reporters.erase(it);
            return;
        }
    }
}

nlohmann::json StatusBoard_collect()
{
    nlohmann::json doc = {{"input", nlohmann::json::object()},
                          {"streams", {{"main", nlohmann::json::object()}, {"second", nlohmann::json::object()}}},
                          {"audio", nlohmann::json::object()},
                          {"outputs", nlohmann::json::array()}};
    ScopedLock lock(boardMutex);
    for (const Reporter &r : reporters) {
        r.report(r.ctx, place(doc, r.section));
    }
    return doc;
}

void StatusError::set(const char *line)
{
    double now = wallSeconds();
    ScopedLock lock(mutex_);
    std::strncpy(line_, line != nullptr ? line : "", sizeof line_ - 1);
    line_[sizeof line_ - 1] = '\0';
    size_t n = std::strlen(line_);
    while (n > 0 && (line_[n - 1] == '\n' || line_[n - 1] == '\r')) {
        line_[--n] = '\0';
    }
    time_ = now;
}

void StatusError::report(nlohmann::json &out) const
{
    ScopedLock lock(mutex_);
    out["error"] = line_;
    out["error_time"] = time_;
}
