// Owns the recorder's double buffer, its feed and the recorder thread.
//
// One mutex guards the hand-over: which half the feed fills, and each half's length, age and owner.
// It is held for a few instructions at a time (the feed's copy, a hand-over, a give-back), never
// across a disk write, so the feed never waits for the disk. The bytes of a half are read by the
// recorder only while the half is handed over to it, and written by the feed only while it is not.
// Halves alternate strictly (a hand-over always moves the feed to the other half), so the recorder
// writes them in the order they were filled.
//
// Everything here is in static storage with trivial destruction, so the thread may run on while the
// process exits.
#include "encode/output/recorder.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/stage_thread.h"
#include "encode/core/status_board.h"
#include "encode/output/udp.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using ScopedLock = std::lock_guard<std::mutex>;

constexpr size_t kHalfBytes = RECORDER_HALF_BYTES;
constexpr size_t kBlockBytes = RECORDER_BLOCK_BYTES;
constexpr size_t kPacketBytes = 188;
constexpr uint16_t kPatPid = 0;
constexpr uint8_t kSyncByte = 0x47;
constexpr int kPollMs = 250;
constexpr int kBlockPauseMs = 10;
constexpr int kHalfPauseMs = 100;
constexpr auto kHandOverAfter = std::chrono::milliseconds(RECORDER_HAND_OVER_MS);
constexpr int kNameBytes = 128; // read from the name file at most
constexpr char kNamePrefix[] = "export f=";
constexpr char kNameFile[] = "/mnt/fn";
constexpr char kNameScript[] = "/mnt/fn.sh";
constexpr char kRecordDir[] = "/mnt/usb/record/";
constexpr char kRecordExtension[] = ".ts";
constexpr char kNoNameLine[] = "tsf: /mnt/fn names no file, nothing is recorded\n";

size_t packetFloor(size_t n)
{
    return n / kPacketBytes * kPacketBytes;
}

struct Half {
    uint8_t bytes[kHalfBytes];
    size_t length;        // whole packets
    bool handedOver;      // the recorder's until it is on the disk
    Clock::time_point firstByte;
};

std::mutex handOverMutex;
// Guarded by handOverMutex, with the length, hand-over flag and age of both halves.
Half halves[2];
int fillHalf = 0;

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

// What the status says of the recording: the file being written, its size, the room left.
std::atomic<int64_t> fileBytes{0};
std::atomic<bool> recordFailing{false}; // the file could not be opened, or its writes fail
StatusError lastError;
std::mutex pathMutex;
std::string currentPath; // guarded by pathMutex; "" without a file
int statusId = 0;        // the first recorder thread adds the report; it stays for the process

void setCurrentPath(const std::string &path)
{
    std::lock_guard<std::mutex> lock(pathMutex);
    currentPath = path;
}

void report(const void *, nlohmann::json &out)
{
    std::string path;
    {
        std::lock_guard<std::mutex> lock(pathMutex);
        path = currentPath;
    }
    out["kind"] = "recorder";
    out["name"] = "Recording";
    out["target"] = path;
    bool on = running.load();
    out["state"] = recordFailing.load() ? "error" : !on ? "off" : fileOpen.load() ? "ok" : "waiting";
    out["file_bytes"] = fileBytes.load(std::memory_order_relaxed);
    struct statvfs fs {};
    std::string dir = Path_resolve(kRecordDir);
    out["free_bytes"] = ::statvfs(dir.c_str(), &fs) == 0 ? static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize : 0;
    out["bytes"] = writtenBytes.load(std::memory_order_relaxed);
    out["dropped"] = droppedBytes.load(std::memory_order_relaxed);
    lastError.report(out);
}

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

// --- The double buffer (handOverMutex held) ---

void handOver(int half)
{
    halves[half].handedOver = true;
    fillHalf = half ^ 1;
}

// The half being filled goes to the disk when it has filled for long enough, or at a stop whatever
// its age; not while the recorder still holds the other one, which the feed would then have no room
// in.
void handOverDue(bool now)
{
    Half &h = halves[fillHalf];
    if (h.handedOver || h.length == 0 || halves[fillHalf ^ 1].handedOver) {
        return;
    }
    if (now || Clock::now() - h.firstByte >= kHandOverAfter) {
        handOver(fillHalf);
    }
}

void copyIn(Half &h, const uint8_t *data, size_t n)
{
    if (h.length == 0) {
        h.firstByte = Clock::now();
    }
    std::memcpy(h.bytes + h.length, data, n);
    h.length += n;
}

// --- The file ---

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
    std::string path;     // as the system names it, for the messages
    int64_t rotateAt = 0; // 0: at the size limit
    bool failing = false;
};

void closeFile(RecordFile &file)
{
    if (file.fd >= 0) {
        ::fdatasync(file.fd);
        ::close(file.fd);
    }
    file.fd = -1;
    fileOpen.store(false);
    setCurrentPath("");
}

bool openFile(RecordFile &file, const std::string &name)
{
    file.name = name;
    file.path = std::string(kRecordDir) + name + kRecordExtension;
    file.rotateAt = 0;
    file.failing = false;
    Console_say("tsf=%s\n", name.c_str());
    Console_say("tsf-fd=%s\n", file.path.c_str());
    file.fd = ::open(Path_resolve(file.path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file.fd < 0) {
        std::string line = "error open file tsf_fd =" + file.path;
        Console_say("%s\n", line.c_str());
        lastError.set(line.c_str());
        recordFailing.store(true);
        return false;
    }
    fileBytes.store(0);
    setCurrentPath(file.path);
    recordFailing.store(false);
    fileOpen.store(true);
    return true;
}

// The file has reached the size limit (or, when /mnt/fn.sh named no new file, the next limit).
bool rotationDue(const RecordFile &file)
{
    struct stat st;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        return false;
    }
    return st.st_size >= (file.rotateAt > 0 ? file.rotateAt : fileLimit.load());
}

// /mnt/fn.sh names the next file. When it leaves the same name (the script failed or is missing),
// reopening would truncate the recording just made; that file goes on instead, and the next attempt
// comes one limit later.
void rotate(RecordFile &file)
{
    Shell_run(kNameScript);
    std::string name;
    bool named = readName(name);
    if (named && name == file.name) {
        Console_say("tsf: /mnt/fn.sh named no new file, %s goes on\n", file.path.c_str());
        struct stat st;
        file.rotateAt = (::fstat(file.fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0) + fileLimit.load();
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

// What a failed write left of a packet is cut off again, so that the file still ends on a whole
// packet and whatever is written after the gap starts on one.
void cutTornPacket(const RecordFile &file)
{
    off_t end = ::lseek(file.fd, 0, SEEK_CUR);
    if (end > 0 && end % static_cast<off_t>(kPacketBytes) != 0) {
        off_t whole = end - end % static_cast<off_t>(kPacketBytes);
        if (::ftruncate(file.fd, whole) == 0) {
            ::lseek(file.fd, whole, SEEK_SET);
            fileBytes.store(whole);
        }
    }
}

// Writes a span; true when all of it reached the file. A failure is reported once per run of them.
bool writeSpan(RecordFile &file, const uint8_t *data, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(file.fd, data + done, n - done);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            break;
        }
        done += static_cast<size_t>(w);
    }
    writtenBytes.fetch_add(done);
    fileBytes.fetch_add(static_cast<int64_t>(done));
    if (done == n) {
        file.failing = false;
        recordFailing.store(false);
        return true;
    }
    int error = errno;
    failedBytes.fetch_add(n - done);
    if (!file.failing) {
        char line[256];
        std::snprintf(line, sizeof line, "tsf: write error on %s, errno = %d (%s); failed blocks are lost",
                      file.path.c_str(), error, std::strerror(error));
        Console_say("%s\n", line);
        lastError.set(line);
        file.failing = true;
        recordFailing.store(true);
    }
    cutTornPacket(file);
    return false;
}

// The offset of the first PAT packet that starts at or after `from`, or `length` when none. A half
// begins on a packet, so its packets start at multiples of 188.
size_t nextPat(const uint8_t *data, size_t from, size_t length)
{
    for (size_t at = packetFloor(from + kPacketBytes - 1); at + kPacketBytes <= length; at += kPacketBytes) {
        const uint8_t *p = data + at;
        bool unitStart = (p[1] & 0x40) != 0;
        uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        if (p[0] == kSyncByte && unitStart && pid == kPatPid) {
            return at;
        }
    }
    return length;
}

// One half to the file in blocks. A file that is due to end ends just before the next PAT, so that
// the next one begins with it; a block that fails is lost, and writing goes on at the next packet.
void writeHalf(RecordFile &file, const uint8_t *data, size_t length)
{
    size_t pos = 0;
    while (pos < length) {
        size_t end = std::min(pos + kBlockBytes, length);
        if (rotationDue(file)) {
            size_t pat = nextPat(data, pos, length);
            if (pat == pos) {
                rotate(file);
                continue;
            }
            end = std::min(end, pat);
        }
        if (file.fd >= 0 && !writeSpan(file, data + pos, end - pos)) {
            end = std::min(length, (end + kPacketBytes - 1) / kPacketBytes * kPacketBytes);
        }
        pos = end;
        nap(kBlockPauseMs); // none at a stop
    }
    if (file.fd >= 0) {
        ::fdatasync(file.fd);
    }
}

// --- The recorder thread ---

// Waits until `half` is handed over; false at a stop when it holds nothing more.
bool waitHandedOver(int half)
{
    for (;;) {
        bool stop = stopping.load();
        {
            ScopedLock lock(handOverMutex);
            handOverDue(stop);
            if (halves[half].handedOver) {
                return true;
            }
            if (stop && (fillHalf != half || halves[half].length == 0)) {
                return false;
            }
        }
        nap(kPollMs);
    }
}

// One line per run of drops: the run ends when a half is given back to the feed.
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
        if (!waitHandedOver(half)) {
            return;
        }
        // Handed over: the feed touches neither the bytes nor the length until the give-back.
        writeHalf(file, halves[half].bytes, halves[half].length);
        {
            ScopedLock lock(handOverMutex);
            halves[half].length = 0;
            halves[half].handedOver = false;
        }
        halvesWritten.fetch_add(1);
        reportDrops(reported);
        nap(kHalfPauseMs);
    }
}

void resetHalves()
{
    ScopedLock lock(handOverMutex);
    for (Half &h : halves) {
        h.length = 0;
        h.handedOver = false;
    }
    fillHalf = 0;
}

} // namespace

void Recorder_feed(const uint8_t *data, int bytes)
{
    if (data == nullptr || bytes <= 0) {
        return;
    }
    size_t n = static_cast<size_t>(bytes);
    ScopedLock lock(handOverMutex);
    if (halves[fillHalf].handedOver && !halves[fillHalf ^ 1].handedOver) {
        fillHalf ^= 1; // the recorder gave the other half back while this one waited for it
    }
    Half &now = halves[fillHalf];
    Half &next = halves[fillHalf ^ 1];
    size_t room = now.handedOver ? 0 : packetFloor(kHalfBytes - now.length);
    size_t roomNext = now.handedOver || next.handedOver ? 0 : packetFloor(kHalfBytes);
    if (n > room + roomNext) {
        // Whole feeds only, so that the recording keeps whole packets around the gap.
        droppedBytes.fetch_add(n);
        droppedFeeds.fetch_add(1);
        return;
    }
    size_t first = std::min(n, room);
    copyIn(now, data, first);
    if (first < n || packetFloor(kHalfBytes - now.length) == 0) {
        handOver(fillHalf);
    }
    if (first < n) {
        copyIn(next, data + first, n - first);
    }
}

void *recorderThrFxn(void *)
{
    bool idle = false;
    if (!running.compare_exchange_strong(idle, true)) {
        Console_say("tsf: the recorder is already running\n");
        return THREAD_FAILURE;
    }
    starts.fetch_add(1);
    recordFailing.store(false);
    if (statusId == 0) {
        statusId = StatusBoard_add(StatusSection::Output, report, nullptr);
    }
    // Both halves free before the feed can run: the feed may start while the file is still opening.
    resetHalves();
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
    TsOut_setRecorderSink(nullptr);
    stopping.store(true);
    auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running.load() && Clock::now() < until) {
        timespec t{0, 5000000L};
        nanosleep(&t, nullptr);
    }
    bool ended = !running.load();
    if (ended) {
        stopping.store(false);
    }
    return ended;
}
