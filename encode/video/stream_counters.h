// What the operator's status says of one coded stream: pictures coded, bytes, and when the last IDR
// picture went out. The video thread counts as it codes (relaxed atomics, no lock, nothing
// allocated); the status thread reads them through the stream's reporter.
#pragma once

#include "encode/core/status_board.h"
#include "encode/media/buffer.h"

#include <atomic>
#include <cstdint>

class StreamCounters {
public:
    StreamCounters() = default;
    ~StreamCounters() { stop(); }
    StreamCounters(const StreamCounters &) = delete;
    StreamCounters &operator=(const StreamCounters &) = delete;

    // The stream runs at this size: its reporter joins the status board.
    void start(StatusSection section, int width, int height);
    // Its reporter leaves the board; the counters may be freed after this.
    void stop();
    // A picture was coded into `out`; `captured` carries the coded picture's type.
    void coded(Buffer_Handle captured, Buffer_Handle out);

private:
    static void report(const void *ctx, nlohmann::json &out);

    int id_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::atomic<uint64_t> pictures_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<int64_t> lastIdrNs_{0}; // monotonic; 0 before the first
};
