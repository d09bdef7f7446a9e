// Owns the status thread. It reads only what the stages publish for it (the status board's
// reporters, the preview's hand-over) and writes two files under /tmp; a stage never waits for it,
// and it never holds anything of a stage between two collections.
#include "encode/app/status_writer.h"

#include "encode/core/paths.h"
#include "encode/core/status_board.h"
#include "encode/media/wait.h"
#include "encode/video/preview.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#ifndef ENCODE_VERSION
#define ENCODE_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kPeriodMs = 1000;
constexpr int kPreviewEvery = 2; // documents
constexpr char kStatusFile[] = "/tmp/encode.status";
constexpr char kPreviewFile[] = "/tmp/encode.jpg";

std::mutex lifeMutex; // the worker's start and join
MediaStop stopping;   // ends the worker's wait
std::thread worker;     // the starting and stopping thread's (the main thread's)

double seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

double wallNow()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return seconds(tv);
}

// The process's CPU time in seconds, every thread's.
double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

double rate(const json &now, json &previous, const std::string &key, double perSecond, double seconds)
{
    double total = now.get<double>();
    double before = previous.contains(key) ? previous[key].get<double>() : total;
    previous[key] = total;
    return seconds > 0 && total >= before ? (total - before) * perSecond / seconds : 0.0;
}

void addRate(json &obj, const char *from, const char *to, double factor, json &previous, const std::string &key,
             double seconds)
{
    if (obj.is_object() && obj.contains(from) && obj[from].is_number()) {
        obj[to] = std::round(rate(obj[from], previous, key, factor, seconds) * 10) / 10;
    }
}

bool writeAtomically(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

struct Run {
    Clock::time_point started{};
    Clock::time_point last{};
    double lastCpu = 0;
    json previous = json::object();
};

json document(Run &run)
{
    json doc = StatusBoard_collect();
    Clock::time_point now = Clock::now();
    double cpu = cpuSeconds();
    double elapsed = std::chrono::duration<double>(now - run.last).count();
    doc["version"] = ENCODE_VERSION;
    doc["pid"] = static_cast<int>(::getpid());
    doc["time"] = wallNow();
    doc["uptime_s"] = std::round(std::chrono::duration<double>(now - run.started).count() * 10) / 10;
    doc["cpu_percent"] = elapsed > 0 ? std::round((cpu - run.lastCpu) * 1000 / elapsed) / 10 : 0.0;
    // The total as well: a scraper takes its own rates over its own interval, which a percentage of
    // the last second cannot give.
    doc["cpu_s"] = std::round(cpu * 1000) / 1000;
    for (const char *s : {"main", "second"}) {
        if (doc["streams"][s].empty()) {
            doc["streams"][s]["on"] = false;
        }
    }
    if (doc["audio"].empty()) {
        doc["audio"]["on"] = false;
    }
    StatusWriter_addRates(doc, run.previous, elapsed);
    run.last = now;
    run.lastCpu = cpu;
    return doc;
}

void loop()
{
    pthread_setname_np(pthread_self(), "status");
    Run run;
    run.started = run.last = Clock::now();
    run.lastCpu = cpuSeconds();
    std::string statusPath = Path_resolve(kStatusFile);
    for (int n = 0;; n++) {
        if (!Media_waitMs(&stopping, kPeriodMs)) {
            return;
        }
        try {
            writeAtomically(statusPath, document(run).dump());
        } catch (...) {
            // A document that cannot be made this second is made again the next.
        }
        if (n % kPreviewEvery == 0) {
            Preview_writeJpeg(kPreviewFile);
        }
    }
}

} // namespace

void StatusWriter_addRates(json &doc, json &previous, double seconds)
{
    for (const char *s : {"main", "second"}) {
        json &stream = doc["streams"][s];
        addRate(stream, "encoded", "fps", 1.0, previous, std::string(s) + ".encoded", seconds);
        addRate(stream, "bytes", "kbps", 8.0 / 1000, previous, std::string(s) + ".bytes", seconds);
    }
    addRate(doc["audio"], "bytes", "kbps", 8.0 / 1000, previous, "audio.bytes", seconds);
    for (json &out : doc["outputs"]) {
        std::string name = out.value("name", std::string()) + "|" + out.value("target", std::string());
        addRate(out, "bytes", "kbps", 8.0 / 1000, previous, "output." + name, seconds);
    }
}

bool StatusWriter_start()
{
    const char *env = std::getenv("ENCODE_STATUS");
    if (env != nullptr && std::strcmp(env, "off") == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(lifeMutex);
    if (worker.joinable()) {
        return true;
    }
    MediaStop_reset(&stopping);
    try {
        worker = std::thread(loop);
    } catch (...) {
        std::fputs("Warning: no status thread: the status page shows nothing for this run\n", stderr);
        return false;
    }
    return true;
}

void StatusWriter_stop()
{
    std::lock_guard<std::mutex> lock(lifeMutex);
    MediaStop_raise(&stopping);
    if (worker.joinable()) {
        worker.join();
    }
}
