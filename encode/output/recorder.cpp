// Owns a recorder's double buffer, its feed and its thread.
//
// One mutex guards the hand-over: which half the feed fills, and each half's length, age and owner.
// It is held for a few instructions at a time (the feed's copy, a hand-over, a give-back), never
// across a disk write, so the feed never waits for the disk. The bytes of a half are read by the
// recorder only while the half is handed over to it, and written by the feed only while it is not.
// Halves alternate strictly (a hand-over always moves the feed to the other half), so the recorder
// writes them in the order they were filled.
//
// The thread is joined by Recorder_delete. Only when it has not ended in the time the owner can wait
// (a hung disk) does the owner leave the recorder to it, and the thread frees it when it ends.
#include "encode/output/recorder.h"

#include "encode/core/config_store.h"
#include "encode/core/console.h"
#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "encode/core/status_board.h"
#include "encode/media/wait.h"
#include "encode/output/ts_scan.h"
#include "encode/media/media.h"

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
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using ScopedLock = std::lock_guard<std::mutex>;

constexpr size_t kHalfBytes = RECORDER_HALF_BYTES;
constexpr size_t kBlockBytes = RECORDER_BLOCK_BYTES;
constexpr size_t kPacketBytes = 188;
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
    uint8_t *bytes;       // RECORDER_HALF_BYTES of the recorder's buffer
    size_t length;        // whole packets
    bool handedOver;      // the recorder's until it is on the disk
    Clock::time_point firstByte;
};

} // namespace

static void reportRecorder(const Recorder_Object &r, nlohmann::json &out);

struct Recorder_Object : Output {
    int64_t fileLimit = RECORDER_FILE_LIMIT_BYTES;
    std::unique_ptr<uint8_t[]> buffer; // both halves

    std::mutex handOverMutex;
    // Guarded by handOverMutex, with the length, hand-over flag and age of both halves.
    Half halves[2] = {};
    int fillHalf = 0;

    MediaStop ending; // raised by Recorder_delete: write what is held without pauses, then end
    std::atomic<bool> accepting{true};
    std::atomic<bool> running{false};
    std::atomic<bool> fileOpen{false};
    std::atomic<uint64_t> halvesWritten{0};
    std::atomic<uint64_t> writtenBytes{0};
    std::atomic<uint64_t> failedBytes{0};
    std::atomic<uint64_t> droppedBytes{0};
    std::atomic<uint64_t> droppedFeeds{0};
    std::atomic<uint64_t> rotations{0};

    // What the status says of the recording: the file being written, its size, the room left.
    std::atomic<int64_t> fileBytes{0};
    std::atomic<bool> recordFailing{false}; // the file could not be opened, or its writes fail
    StatusError lastError;
    mutable std::mutex pathMutex;
    std::string currentPath; // guarded by pathMutex; "" without a file

    std::mutex lifeMutex;
    std::condition_variable lifeCv;
    bool finished = false;  // guarded by lifeMutex: the thread touches nothing of the recorder any more
    bool abandoned = false; // guarded by lifeMutex: the owner gave up waiting, the thread frees it
    std::thread thread;

    void ts(const uint8_t *data, int bytes) override { Recorder_feed(this, data, bytes); }
    bool wantsTs() const override { return accepting.load(); }
    void report(int, nlohmann::json &out) const override { reportRecorder(*this, out); }
    // Nothing feeds it any more: what it holds goes to the disk before the process ends.
    void stop() override
    {
        if (Recorder_delete(this, RECORDER_STOP_MS, nullptr) != Media_EOK) {
            std::fputs("Warning: the recording could not be completed in time, its last second may be missing\n",
                       stderr);
        }
    }
};

namespace {

using Recorder = Recorder_Object;

void setCurrentPath(Recorder &r, const std::string &path)
{
    std::lock_guard<std::mutex> lock(r.pathMutex);
    r.currentPath = path;
}

} // namespace

static void reportRecorder(const Recorder_Object &r, nlohmann::json &out)
{
    std::string path;
    {
        std::lock_guard<std::mutex> lock(r.pathMutex);
        path = r.currentPath;
    }
    out["kind"] = "recorder";
    out["name"] = "Recording";
    out["target"] = path;
    bool on = r.running.load();
    out["state"] = r.recordFailing.load() ? "error" : !on ? "off" : r.fileOpen.load() ? "ok" : "waiting";
    out["file_bytes"] = r.fileBytes.load(std::memory_order_relaxed);
    struct statvfs fs {};
    std::string dir = Path_resolve(kRecordDir);
    out["free_bytes"] = ::statvfs(dir.c_str(), &fs) == 0 ? static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize : 0;
    out["bytes"] = r.writtenBytes.load(std::memory_order_relaxed);
    out["dropped"] = r.droppedBytes.load(std::memory_order_relaxed);
    r.lastError.report(out);
}

namespace {

// Sleeps `ms`, not at all once stopping.
void nap(const Recorder &r, int ms)
{
    Media_waitMs(&r.ending, ms);
}

// --- The double buffer (handOverMutex held) ---

void handOver(Recorder &r, int half)
{
    r.halves[half].handedOver = true;
    r.fillHalf = half ^ 1;
}

// The half being filled goes to the disk when it has filled for long enough, or at a stop whatever
// its age; not while the recorder still holds the other one, which the feed would then have no room
// in.
void handOverDue(Recorder &r, bool now)
{
    Half &h = r.halves[r.fillHalf];
    if (h.handedOver || h.length == 0 || r.halves[r.fillHalf ^ 1].handedOver) {
        return;
    }
    if (now || Clock::now() - h.firstByte >= kHandOverAfter) {
        handOver(r, r.fillHalf);
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

void closeFile(Recorder &r, RecordFile &file)
{
    if (file.fd >= 0) {
        ::fdatasync(file.fd);
        ::close(file.fd);
    }
    file.fd = -1;
    r.fileOpen.store(false);
    setCurrentPath(r, "");
}

bool openFile(Recorder &r, RecordFile &file, const std::string &name)
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
        r.lastError.set(line.c_str());
        r.recordFailing.store(true);
        return false;
    }
    r.fileBytes.store(0);
    setCurrentPath(r, file.path);
    r.recordFailing.store(false);
    r.fileOpen.store(true);
    return true;
}

// The file has reached the size limit (or, when /mnt/fn.sh named no new file, the next limit).
bool rotationDue(const Recorder &r, const RecordFile &file)
{
    struct stat st;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        return false;
    }
    return st.st_size >= (file.rotateAt > 0 ? file.rotateAt : r.fileLimit);
}

// /mnt/fn.sh names the next file. When it leaves the same name (the script failed or is missing),
// reopening would truncate the recording just made; that file goes on instead, and the next attempt
// comes one limit later.
void rotate(Recorder &r, RecordFile &file)
{
    Shell_run(kNameScript);
    std::string name;
    bool named = readName(name);
    if (named && name == file.name) {
        Console_say("tsf: /mnt/fn.sh named no new file, %s goes on\n", file.path.c_str());
        struct stat st;
        file.rotateAt = (::fstat(file.fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0) + r.fileLimit;
        return;
    }
    closeFile(r, file);
    r.rotations.fetch_add(1);
    if (!named) {
        Console_say("%s", kNoNameLine);
        return;
    }
    openFile(r, file, name);
}

// What a failed write left of a packet is cut off again, so that the file still ends on a whole
// packet and whatever is written after the gap starts on one.
void cutTornPacket(Recorder &r, const RecordFile &file)
{
    off_t end = ::lseek(file.fd, 0, SEEK_CUR);
    if (end > 0 && end % static_cast<off_t>(kPacketBytes) != 0) {
        off_t whole = end - end % static_cast<off_t>(kPacketBytes);
        if (::ftruncate(file.fd, whole) == 0) {
            ::lseek(file.fd, whole, SEEK_SET);
            r.fileBytes.store(whole);
        }
    }
}

// Writes a span; true when all of it reached the file. A failure is reported once per run of them.
bool writeSpan(Recorder &r, RecordFile &file, const uint8_t *data, size_t n)
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
    r.writtenBytes.fetch_add(done);
    r.fileBytes.fetch_add(static_cast<int64_t>(done));
    if (done == n) {
        file.failing = false;
        r.recordFailing.store(false);
        return true;
    }
    int error = errno;
    r.failedBytes.fetch_add(n - done);
    if (!file.failing) {
        char line[256];
        std::snprintf(line, sizeof line, "tsf: write error on %s, errno = %d (%s); failed blocks are lost",
                      file.path.c_str(), error, std::strerror(error));
        Console_say("%s\n", line);
        r.lastError.set(line);
        file.failing = true;
        r.recordFailing.store(true);
    }
    cutTornPacket(r, file);
    return false;
}


// One half to the file in blocks. A file that is due to end ends just before the next PAT, so that
// the next one begins with it; a block that fails is lost, and writing goes on at the next packet.
void writeHalf(Recorder &r, RecordFile &file, const uint8_t *data, size_t length)
{
    size_t pos = 0;
    while (pos < length) {
        size_t end = std::min(pos + kBlockBytes, length);
        if (rotationDue(r, file)) {
            size_t pat = TsScan_nextPat(data, pos, length);
            if (pat == pos) {
                rotate(r, file);
                continue;
            }
            end = std::min(end, pat);
        }
        if (file.fd >= 0 && !writeSpan(r, file, data + pos, end - pos)) {
            end = std::min(length, (end + kPacketBytes - 1) / kPacketBytes * kPacketBytes);
        }
        pos = end;
        nap(r, kBlockPauseMs); // none at a stop
    }
    if (file.fd >= 0) {
        ::fdatasync(file.fd);
    }
}

// --- The recorder thread ---

// Waits until `half` is handed over; false at a stop when it holds nothing more.
bool waitHandedOver(Recorder &r, int half)
{
    for (;;) {
        bool stop = MediaStop_raised(&r.ending);
        {
            ScopedLock lock(r.handOverMutex);
            handOverDue(r, stop);
            if (r.halves[half].handedOver) {
                return true;
            }
            if (stop && (r.fillHalf != half || r.halves[half].length == 0)) {
                return false;
            }
        }
        nap(r, kPollMs);
    }
}

// One line per run of drops: the run ends when a half is given back to the feed.
void reportDrops(const Recorder &r, uint64_t &reported)
{
    uint64_t dropped = r.droppedBytes.load();
    if (dropped != reported) {
        Console_say("tsf: both buffers were full, %llu bytes dropped (%llu in all)\n",
            static_cast<unsigned long long>(dropped - reported), static_cast<unsigned long long>(dropped));
        reported = dropped;
    }
}

void recordLoop(Recorder &r, RecordFile &file)
{
    uint64_t reported = 0;
    for (int half = 0;; half ^= 1) {
        if (!waitHandedOver(r, half)) {
            return;
        }
        // Handed over: the feed touches neither the bytes nor the length until the give-back.
        writeHalf(r, file, r.halves[half].bytes, r.halves[half].length);
        {
            ScopedLock lock(r.handOverMutex);
            r.halves[half].length = 0;
            r.halves[half].handedOver = false;
        }
        r.halvesWritten.fetch_add(1);
        reportDrops(r, reported);
        nap(r, kHalfPauseMs);
    }
}

// The thread is done with the recorder; when the owner has stopped waiting for it, the recorder is
// the thread's to free.
void finish(Recorder *r)
{
    bool abandoned;
    {
        ScopedLock lock(r->lifeMutex);
        r->finished = true;
        abandoned = r->abandoned;
        r->lifeCv.notify_all();
    }
    if (abandoned) {
        delete r;
    }
}

void recordThread(Recorder *r)
{
    RecordFile file;
    std::string name;
    bool recording = true;
    if (!readName(name)) {
        Console_say("%s", kNoNameLine);
    } else {
        recording = openFile(*r, file, name);
    }
    if (recording) {
        recordLoop(*r, file);
    }
    r->accepting.store(false);
    closeFile(*r, file);
    r->running.store(false);
    finish(r);
}

RecorderStats statsOf(const Recorder &r)
{
    RecorderStats s;
    s.running = r.running.load();
    s.fileOpen = r.fileOpen.load();
    s.halvesWritten = r.halvesWritten.load();
    s.writtenBytes = r.writtenBytes.load();
    s.failedBytes = r.failedBytes.load();
    s.droppedBytes = r.droppedBytes.load();
    s.droppedFeeds = r.droppedFeeds.load();
    s.rotations = r.rotations.load();
    return s;
}

} // namespace

Recorder_Handle Recorder_create(const Recorder_Attrs *attrs)
{
    std::unique_ptr<Recorder> r(new (std::nothrow) Recorder);
    if (r == nullptr) {
        return nullptr;
    }
    r->buffer.reset(new (std::nothrow) uint8_t[2 * kHalfBytes]);
    if (r->buffer == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < 2; i++) {
        r->halves[i].bytes = r->buffer.get() + i * kHalfBytes;
    }
    if (attrs != nullptr && attrs->fileLimit > 0) {
        r->fileLimit = attrs->fileLimit;
    }
    r->running.store(true);
    try {
        r->thread = std::thread(recordThread, r.get());
    } catch (...) {
        return nullptr;
    }
    return r.release();
}

void Recorder_feed(Recorder_Handle r, const uint8_t *data, int bytes)
{
    MEDIA_ASSERT(r != nullptr);
    if (data == nullptr || bytes <= 0 || !r->accepting.load()) {
        return;
    }
    size_t n = static_cast<size_t>(bytes);
    ScopedLock lock(r->handOverMutex);
    if (r->halves[r->fillHalf].handedOver && !r->halves[r->fillHalf ^ 1].handedOver) {
        r->fillHalf ^= 1; // the recorder gave the other half back while this one waited for it
    }
    Half &now = r->halves[r->fillHalf];
    Half &next = r->halves[r->fillHalf ^ 1];
    size_t room = now.handedOver ? 0 : packetFloor(kHalfBytes - now.length);
    size_t roomNext = now.handedOver || next.handedOver ? 0 : packetFloor(kHalfBytes);
    if (n > room + roomNext) {
        // Whole feeds only, so that the recording keeps whole packets around the gap.
        r->droppedBytes.fetch_add(n);
        r->droppedFeeds.fetch_add(1);
        return;
    }
    size_t first = std::min(n, room);
    copyIn(now, data, first);
    if (first < n || packetFloor(kHalfBytes - now.length) == 0) {
        handOver(*r, r->fillHalf);
    }
    if (first < n) {
        copyIn(next, data + first, n - first);
    }
}

Output *Recorder_output(Recorder_Handle r)
{
    return r;
}

bool Recorder_accepting(Recorder_Handle r)
{
    MEDIA_ASSERT(r != nullptr);
    return r->accepting.load();
}

RecorderStats Recorder_stats(Recorder_Handle r)
{
    MEDIA_ASSERT(r != nullptr);
    return statsOf(*r);
}

int Recorder_delete(Recorder_Handle r, int timeoutMs, RecorderStats *last)
{
    if (r == nullptr) {
        return Media_EOK;
    }
    r->accepting.store(false);
    MediaStop_raise(&r->ending);
    {
        std::unique_lock<std::mutex> lock(r->lifeMutex);
        if (!r->lifeCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [r] { return r->finished; })) {
            // Everything of the owner's is let go while the thread cannot yet free the recorder.
            if (last != nullptr) {
                *last = statsOf(*r);
            }
            r->thread.detach();
            r->abandoned = true;
            return Recorder_ETIMEOUT;
        }
    }
    r->thread.join();
    if (last != nullptr) {
        *last = statsOf(*r);
    }
    delete r;
    return Media_EOK;
}
