// The status board: what each stage and output tells the operator about itself. A stage or output
// that exists adds a reporter for as long as it exists; the status thread collects every reporter
// once a second into the status document (/tmp/encode.status) and never waits for a stage.
//
// A reporter reads its own counters (relaxed atomics the stage bumps on its path) and fills a JSON
// object: it runs in the status thread, under the board's lock, and must neither block nor touch
// anything its owner may free. Removing a reporter waits for a collection in progress, so that once
// StatusBoard_remove returns the owner may free what the reporter reads.
//
// Counters are totals (frames, bytes, drops): the status thread turns them into rates.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <mutex>

enum class StatusSection {
    Input,        // "input": one object
    MainStream,   // "streams.main"
    SecondStream, // "streams.second"
    Audio,        // "audio"
    Output,       // "outputs": one object per reporter, in the order they were added
};

using StatusReport = void (*)(const void *ctx, nlohmann::json &out);

// The reporter's id (above 0), or 0 when it could not be added.
int StatusBoard_add(StatusSection section, StatusReport report, const void *ctx);
// Null-safe for id 0. Returns once no collection is using the reporter.
void StatusBoard_remove(int id);

// Every reporter's object in its place: {"input": {}, "streams": {"main": {}, "second": {}},
// "audio": {}, "outputs": [...]}. A section nobody reports stays an empty object (or array).
nlohmann::json StatusBoard_collect();

// One output's last error line and its wall-clock time, set by the output's own thread on its error
// path and read by its reporter.
class StatusError {
public:
    void set(const char *line);
    // "error" and "error_time" into `out` ("" and 0 when there has been none).
    void report(nlohmann::json &out) const;

private:
    mutable std::mutex mutex_;
    char line_[160] = "";
    double time_ = 0;
};
