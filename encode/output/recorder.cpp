// Owns the recorder's double buffer, its feed and the recorder thread.
//
// The feed runs in whichever thread holds the output semaphore; its fill position is touched by no
// one else. The recorder thread owns the file. Each half changes hands through its full flag only: the
// feed sets it (release) when the half is complete and never touches a half whose flag is set; the
// recorder clears it (release) once the whole half is on disk. A disk that is slow or fails therefore
// costs dropped feeds, never a half rewritten while it is being written, and never a wait in the feed.
//
// Everything here is in static storage with trivial destruction, so the thread may run on while the
// process exits.
#include "encode/output/recorder.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/stage_thread.h"
#include "encode/output/udp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHalfBytes = RECORDER_HALF_BYTES;
constexpr int kBlockBytes = RECORDER_BLOCK_BYTES;
constexpr int kBlocksPerHalf = kHalfBytes / kBlockBytes;
static_assert(kHalfBytes % kBlockBytes == 0, "a half is whole blocks");
constexpr int kFullPollMs = 500;
constexpr int kBlockPauseMs = 10;
constexpr int kHalfPauseMs = 100;
constexpr int kNameBytes = 128; // read from the name file at most
constexpr char kNamePrefix[] = "export f=";
constexpr char kNameFile[] = "/mnt/fn";
constexpr char kNameScript[] = "/mnt/fn.sh";
constexpr char kRecordDir[] = "/mnt/usb/record/";
constexpr char kRecordExtension[] = ".ts";
constexpr char kNoNameLine[] = "tsf: /mnt/fn names no file, nothing is recorded\n";

uint8_t halves[2][kHalfBytes];
std::atomic<int> full[2];

// The feed's own position; only the thread holding the output semaphore touches it.
int fillHalf = 0;
int fillOffset = 0;

std::atomic<uint64_t> starts{0};
std::atomic<bool> running{false};
std::atomic<bool> stopping{false};
std::atomic<bool> fileOpen{false};
std::atomic<uint64_t> halvesWritten{0};
std::atomic<uint64_t> writtenBytes{0};
std::atomic<uint64_t> failedBytes{0};
std::atomic<uint64_t> droppedBytes{0};
std::atomic<uint64_t> droppedFeeds{0};
std::atomic<uint64_t> rotations{0};
std::atomic<int64_t> fileLimit{RECORDER_FILE_LIMIT_BYTES};


// Sleeps `ms` in slices, so that a stop is seen within one slice.
void nap(int ms)
{
    while (ms > 0 && !stopping.load()) {
        int slice = std::min(ms, 50);
        timespec t{0, slice * 1000000L};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
        ms -= slice;
    }
}

// The name from /mnt/fn: what follows the prefix up to a line end or the end of the data. A name that
// is empty or would leave the record directory counts as none.
bool readName(std::string &name)
{
    std::string text;
    if (!Config_readText(kNameFile, text, kNameBytes)) {
        return false;
    }
    std::string_view prefix(kNamePrefix);
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    size_t end = text.find_first_of(std::string_view("\r\n\0", 3), prefix.size());
    name = text.substr(prefix.size(), end == std::string::npos ? std::string::npos : end - prefix.size());
    return !name.empty() && name.find('/') == std::string::npos;
}

struct RecordFile {
    int fd = -1;
    std::string name;
    std::string path;  // as the system names it, for the messages
    int64_t rotateAt = 0; // 0: at the size limit
    int64_t failedRun = 0;
    bool failing = false;
};

void closeFile(RecordFile &file)
{
    if (file.fd >= 0) {
        ::close(file.fd);
    }
    file.fd = -1;
    fileOpen.store(false);
}

bool openFile(RecordFile &file, const std::string &name)
{
    file.name = name;
    file.path = std::string(kRecordDir) + name + kRecordExtension;
    file.rotateAt = 0;
    file.failedRun = 0;
    file.failing = false;
    Console_say("tsf=%s\n", name.c_str());
    Console_say("tsf-fd=%s\n", file.path.c_str());
    file.fd = ::open(Path_resolve(file.path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file.fd < 0) {
        Console_say("error open file tsf_fd =%s\n", file.path.c_str());
        return false;
    }
    fileOpen.store(true);
    return true;
}

// At the size limit: /mnt/fn.sh names the next file. When it leaves the same name (the script failed
// or is missing), reopening would truncate the recording just made; that file goes on instead, and
// the next attempt comes one limit later.
void rotationCheck(RecordFile &file)
{
    if (file.fd < 0) {
        return;
    }
    struct stat st;
    if (::fstat(file.fd, &st) != 0) {
        return;
    }
    int64_t limit = fileLimit.load();
    if (st.st_size < (file.rotateAt > 0 ? file.rotateAt : limit)) {
        return;
    }
    Shell_run(kNameScript);
    std::string name;
    bool named = readName(name);
    if (named && name == file.name) {
        Console_say("tsf: /mnt/fn.sh named no new file, %s goes on\n", file.path.c_str());
        file.rotateAt = static_cast<int64_t>(st.st_size) + limit;
        return;
    }
    closeFile(file);
    rotations.fetch_add(1);
    if (!named) {
        Console_say("%s", kNoNameLine);
        return;
    }
    openFile(file, name);
}

void writeBlock(RecordFile &file, const uint8_t *block)
{
    size_t done = 0;
    while (done < static_cast<size_t>(kBlockBytes)) {
        ssize_t n = ::write(file.fd, block + done, kBlockBytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    writtenBytes.fetch_add(done);
    if (done == static_cast<size_t>(kBlockBytes)) {
        file.failing = false;
        return;
    }
    int error = errno;
    failedBytes.fetch_add(kBlockBytes - done);
    if (!file.failing) {
        Console_say("tsf: write error on %s, errno = %d (%s); failed blocks are lost\n", file.path.c_str(), error,
            std::strerror(error));
        file.failing = true;
    }
    file.failedRun += kBlockBytes;
    if (file.failedRun >= fileLimit.load()) {
        file.failedRun = 0;
        rotationCheck(file);
    }
}

// True when the half is full; false when the recorder is asked to stop first.
bool waitFull(int half)
{
    while (full[half].load(std::memory_order_acquire) == 0) {
        if (stopping.load()) {
            return false;
        }
        nap(kFullPollMs);
    }
    return true;
}

// One line per run of drops: the run ends when a half is handed back to the feed.
void reportDrops(uint64_t &reported)
{
    uint64_t dropped = droppedBytes.load();
    if (dropped != reported) {
        Console_say("tsf: both buffers were full, %llu bytes dropped (%llu in all)\n",
            static_cast<unsigned long long>(dropped - reported), static_cast<unsigned long long>(dropped));
        reported = dropped;
    }
}

void recordLoop(RecordFile &file)
{
    uint64_t reported = droppedBytes.load();
    for (int half = 0;; half ^= 1) {
        if (!waitFull(half)) {
            return;
        }
        for (int b = 0; b < kBlocksPerHalf; b++) {
            if (file.fd >= 0) {
                writeBlock(file, halves[half] + b * kBlockBytes);
            }
            nap(kBlockPauseMs);
            rotationCheck(file);
            if (stopping.load()) {
                return;
            }
        }
        full[half].store(0, std::memory_order_release);
        halvesWritten.fetch_add(1);
        reportDrops(reported);
        nap(kHalfPauseMs);
    }
}

void resetFeed()
{
    full[0].store(0);
    full[1].store(0);
    fillHalf = 0;
    fillOffset = 0;
}

} // namespace

void Recorder_feed(const uint8_t *data, int bytes)
{
    if (data == nullptr || bytes <= 0) {
        return;
    }
    int half = fillHalf;
    int64_t room = 0;
    if (full[half].load(std::memory_order_acquire) == 0) {
        room = kHalfBytes - fillOffset;
        if (full[half ^ 1].load(std::memory_order_acquire) == 0) {
            room += kHalfBytes;
        }
    }
    if (bytes > room) {
        // Whole feeds only, so that the recording keeps whole packets around the gap.
        droppedBytes.fetch_add(static_cast<uint64_t>(bytes));
        droppedFeeds.fetch_add(1);
        return;
    }
    while (bytes > 0) {
        int take = std::min(bytes, kHalfBytes - fillOffset);
        std::memcpy(halves[half] + fillOffset, data, static_cast<size_t>(take));
        fillOffset += take;
        data += take;
        bytes -= take;
        if (fillOffset == kHalfBytes) {
            full[half].store(1, std::memory_order_release);
            half ^= 1;
            fillOffset = 0;
        }
    }
    fillHalf = half;
}

void *recorderThrFxn(void *)
{
    bool idle = false;
    if (!running.compare_exchange_strong(idle, true)) {
        Console_say("tsf: the recorder is already running\n");
        return THREAD_FAILURE;
    }
    starts.fetch_add(1);
    // Both halves free before the feed can run: the feed may start while the file is still opening.
    resetFeed();
    TsOut_setRecorderSink(Recorder_feed);

    RecordFile file;
    std::string name;
    bool recording = true;
    if (!readName(name)) {
        Console_say("%s", kNoNameLine);
    } else {
        recording = openFile(file, name);
    }
    if (recording) {
        recordLoop(file);
    }
    TsOut_setRecorderSink(nullptr);
    closeFile(file);
    running.store(false);
    return THREAD_SUCCESS;
}

RecorderStats Recorder_stats()
{
    RecorderStats s;
    s.starts = starts.load();
    s.running = running.load();
    s.fileOpen = fileOpen.load();
    s.halvesWritten = halvesWritten.load();
    s.writtenBytes = writtenBytes.load();
    s.failedBytes = failedBytes.load();
    s.droppedBytes = droppedBytes.load();
    s.droppedFeeds = droppedFeeds.load();
    s.rotations = rotations.load();
    return s;
}

void Recorder_setFileLimit(int64_t bytes)
{
    fileLimit.store(bytes > 0 ? bytes : RECORDER_FILE_LIMIT_BYTES);
}

bool Recorder_stop(int timeoutMs)
{
    stopping.store(true);
    auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running.load() && Clock::now() < until) {
        timespec t{0, 5000000L};
        nanosleep(&t, nullptr);
    }
    TsOut_setRecorderSink(nullptr);
    bool ended = !running.load();
    if (ended) {
        stopping.store(false);
    }
    return ended;
}
