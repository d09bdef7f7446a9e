// Hand-off FIFO reader. The FIFO is opened non-blocking for reading, which succeeds with or without a
// writer, and is then only ever waited on through poll with the caller's bound.
//
// Which node: the encoder removes the FIFO and makes a new one when it starts, and opens its write end
// only once somebody has the new node open for reading. A reader left on the old node would wait for
// ever, so whenever nothing arrives (a quiet spell, or the writer's end closed) the node at the path is
// compared with the one held, and a different one is opened instead. A path that has vanished is the
// encoder between its removal and its new node: it is made here only when it stays missing, so that
// the encoder's own creation does not fail on a node made under its feet.
//
// Bytes are gathered in one buffer that grows to the largest unit seen and is then reused; a returned
// unit points into it.
#include "rtsp/fifo_units.h"

#include "encode/core/paths.h"
#include "encode/output/stream_tag.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFirstBuffer = 256 << 10;
constexpr size_t kReadChunk = 64 << 10;
// A path missing for this long is made here (the encoder makes it again at once after removing it).
constexpr auto kMissingGrace = std::chrono::milliseconds(1000);
// How long an idle reader rests after its writer has closed (the read end then polls ready at once).
constexpr auto kHangupRest = std::chrono::milliseconds(50);

const uint8_t kMagic[4] = {STREAM_TAG_MAGIC & 0xFF, (STREAM_TAG_MAGIC >> 8) & 0xFF,
                           (STREAM_TAG_MAGIC >> 16) & 0xFF, STREAM_TAG_MAGIC >> 24};

// Layer III bit rates in kbit/s by bit-rate index: MPEG-1, then MPEG-2 and 2.5.
const int kMp3Kbps[2][15] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
                             {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
// Sampling rates by version field (0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1) and rate index.
const int kMp3Rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

} // namespace

struct FifoUnits_Object {
    std::string path;
    std::string name;
    FifoUnits_Layout fixed = FifoUnits_DETECT; // what the caller asked for
    FifoUnits_Layout layout = FifoUnits_DETECT; // what this writer's bytes are, once known
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    bool everOpened = false;
    bool writerSeen = false;  // bytes came since the node was opened or the last writer closed
    bool skipping = false;    // in a run of skipped bytes (its line is printed)
    bool refusedSaid = false; // the line about a path that cannot be used is printed
    Clock::time_point missingSince{};
    std::vector<uint8_t> buf;
    size_t begin = 0;
    size_t end = 0;
    size_t handedOut = 0; // bytes of the unit last returned, dropped on the next call
    uint64_t units = 0;
    uint64_t skipped = 0;
};

namespace {

void say(const FifoUnits_Object *h, const char *text)
{
    std::printf("%s: %s\n", h->name.c_str(), text);
    std::fflush(stdout);
}

void resetParse(FifoUnits_Object *h)
{
    h->begin = h->end = h->handedOut = 0;
    h->layout = h->fixed;
    h->skipping = false;
}

void closeFifo(FifoUnits_Object *h)
{
    if (h->fd >= 0) {
        ::close(h->fd);
    }
    h->fd = -1;
    resetParse(h);
}

// Makes the FIFO the way the encoder does (a node every user may open), with its directory.
bool makeFifo(FifoUnits_Object *h)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(h->path).parent_path(), ec);
    if (::mkfifo(h->path.c_str(), 0666) != 0 && errno != EEXIST) {
        return false;
    }
    ::chmod(h->path.c_str(), 0777);
    return true;
}

bool refuse(FifoUnits_Object *h, const char *why)
{
    if (!h->refusedSaid) {
        say(h, why);
    }
    h->refusedSaid = true;
    return false;
}

bool openFifo(FifoUnits_Object *h)
{
    struct stat st {};
    if (::stat(h->path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return refuse(h, "cannot be looked at, waiting for it");
        }
        if (h->everOpened && Clock::now() - h->missingSince < kMissingGrace) {
            return false;
        }
        if (!makeFifo(h)) {
            return refuse(h, "cannot be made, waiting for it");
        }
    } else if (!S_ISFIFO(st.st_mode)) {
        return refuse(h, "is not a FIFO, waiting for the encoder to make it");
    }
    int fd = ::open(h->path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return refuse(h, "cannot be opened for reading, waiting for it");
    }
    h->fd = fd;
    h->dev = st.st_dev;
    h->ino = st.st_ino;
    h->writerSeen = false;
    h->refusedSaid = false;
    resetParse(h);
    say(h, h->everOpened ? "made afresh, reading the new one" : "reading");
    h->everOpened = true;
    return true;
}

// Whether the node held is still the one at the path; when it is not, the new one is opened.
void checkNode(FifoUnits_Object *h)
{
    struct stat st {};
    if (::stat(h->path.c_str(), &st) != 0) {
        if (h->fd >= 0) {
            closeFifo(h); // keep nothing of a node nobody can open any more
            h->missingSince = Clock::now();
        }
        openFifo(h); // made here once it has stayed missing
        return;
    }
    if (h->fd < 0 || st.st_dev != h->dev || st.st_ino != h->ino) {
        closeFifo(h);
        openFifo(h);
    }
}

void skip(FifoUnits_Object *h, size_t bytes)
{
    if (!h->skipping) {
        say(h, "lost the start of the units, skipping to the next one");
    }
    h->skipping = true;
    h->begin += bytes;
    h->skipped += bytes;
}

// Offset of the next place after p[0] where a unit of the layout may start (all of it when none).
size_t nextStart(const FifoUnits_Object *h, const uint8_t *p, size_t avail)
{
    for (size_t i = 1; i < avail; i++) {
        if (h->layout == FifoUnits_MP3 ? p[i] == 0xFF : p[i] == kMagic[0]) {
            return i;
        }
    }
    return avail;
}

void handOut(FifoUnits_Object *h, FifoUnit *unit, size_t offset, uint32_t bytes, size_t total)
{
    unit->data = h->buf.data() + h->begin + offset;
    unit->bytes = bytes;
    unit->layout = h->layout;
    h->handedOut = total;
    h->skipping = false;
    h->units++;
}

// True with a unit, false when more bytes are needed.
bool parse(FifoUnits_Object *h, FifoUnit *unit, size_t *need)
{
    for (;;) {
        const uint8_t *p = h->buf.data() + h->begin;
        const size_t avail = h->end - h->begin;
        *need = h->layout == FifoUnits_TAGGED ? STREAM_TAG_BYTES : 4;
        if (avail < *need) {
            return false;
        }
        if (h->layout == FifoUnits_DETECT) {
            if (std::memcmp(p, kMagic, sizeof kMagic) == 0) {
                h->layout = FifoUnits_TAGGED;
            } else if (FifoUnits_mp3FrameBytes(p, nullptr, nullptr) != 0) {
                h->layout = FifoUnits_MP3;
            } else {
                skip(h, 1);
            }
            continue;
        }
        if (h->layout == FifoUnits_TAGGED) {
            StreamTag tag{};
            if (!StreamTag_decode(p, &tag) || tag.length == 0 || tag.length > FIFO_UNITS_MAX_BYTES) {
                skip(h, nextStart(h, p, avail));
                continue;
            }
            *need = STREAM_TAG_BYTES + tag.length;
            if (avail < *need) {
                return false;
            }
            handOut(h, unit, STREAM_TAG_BYTES, tag.length, *need);
            unit->timeUs = int64_t{tag.time.seconds} * 1000000 + tag.time.microseconds;
            unit->sampleRate = unit->samples = 0;
            return true;
        }
        int rate = 0;
        int samples = 0;
        uint32_t bytes = FifoUnits_mp3FrameBytes(p, &rate, &samples);
        if (bytes == 0) {
            skip(h, nextStart(h, p, avail));
            continue;
        }
        *need = bytes;
        if (avail < *need) {
            return false;
        }
        handOut(h, unit, 0, bytes, bytes);
        unit->timeUs = -1;
        unit->sampleRate = rate;
        unit->samples = samples;
        return true;
    }
}

// Room after `end` for at least one read, keeping [begin, end) and a whole unit of `need` bytes.
void makeRoom(FifoUnits_Object *h, size_t need)
{
    if (h->begin > 0 && (h->end == h->buf.size() || h->begin + need > h->buf.size())) {
        std::memmove(h->buf.data(), h->buf.data() + h->begin, h->end - h->begin);
        h->end -= h->begin;
        h->begin = 0;
    }
    size_t want = h->buf.size();
    while (want < need || want == h->end) {
        want *= 2;
    }
    if (want != h->buf.size()) {
        h->buf.resize(want);
    }
}

// The writer's end has closed: what it left half written is of no use to the next one.
void writerGone(FifoUnits_Object *h)
{
    if (h->writerSeen) {
        say(h, "the writer has gone, waiting for the next one");
    }
    h->writerSeen = false;
    resetParse(h);
}

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

FifoUnits_Handle FifoUnits_create(const char *systemPath, FifoUnits_Layout layout, const char *name)
{
    FifoUnits_Object *h = new (std::nothrow) FifoUnits_Object;
    if (h == nullptr) {
        return nullptr;
    }
    try {
        h->path = Path_resolve(systemPath);
        h->name = name;
        h->buf.resize(kFirstBuffer);
    } catch (...) {
        delete h;
        return nullptr;
    }
    h->fixed = h->layout = layout;
    return h;
}

bool FifoUnits_next(FifoUnits_Handle h, FifoUnit *unit, int waitMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    h->begin += h->handedOut;
    h->handedOut = 0;
    if (h->fd < 0 && !openFifo(h)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        return false;
    }
    for (;;) {
        size_t need = 0;
        if (parse(h, unit, &need)) {
            return true;
        }
        makeRoom(h, need);
        pollfd p{h->fd, POLLIN, 0};
        int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            checkNode(h);
            return false;
        }
        ssize_t n = ::read(h->fd, h->buf.data() + h->end, std::min(kReadChunk, h->buf.size() - h->end));
        if (n > 0) {
            h->end += static_cast<size_t>(n);
            h->writerSeen = true;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        writerGone(h);
        std::this_thread::sleep_for(std::min<Clock::duration>(kHangupRest, deadline - Clock::now()));
        checkNode(h);
        if (h->fd < 0 || msLeft(deadline) == 0) {
            return false;
        }
    }
}

uint64_t FifoUnits_count(FifoUnits_Handle h)
{
    return h->units;
}

uint64_t FifoUnits_skipped(FifoUnits_Handle h)
{
    return h->skipped;
}

const std::string &FifoUnits_path(FifoUnits_Handle h)
{
    return h->path;
}

void FifoUnits_delete(FifoUnits_Handle h)
{
    if (h == nullptr) {
        return;
    }
    if (h->fd >= 0) {
        ::close(h->fd);
    }
    delete h;
}

uint32_t FifoUnits_mp3FrameBytes(const uint8_t *p, int *sampleRate, int *samples)
{
    const int version = (p[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = (p[1] >> 1) & 3;   // 1 is layer III
    const int rateIndex = p[2] >> 4;
    const int srIndex = (p[2] >> 2) & 3;
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0 || version == 1 || layer != 1 || rateIndex == 0 ||
        rateIndex == 15 || srIndex == 3) {
        return 0;
    }
    const bool mpeg1 = version == 3;
    const int rate = kMp3Rates[version][srIndex];
    const int kbps = kMp3Kbps[mpeg1 ? 0 : 1][rateIndex];
    const int padding = (p[2] >> 1) & 1;
    if (sampleRate != nullptr) {
        *sampleRate = rate;
    }
    if (samples != nullptr) {
        *samples = mpeg1 ? 1152 : 576;
    }
    return static_cast<uint32_t>((mpeg1 ? 144000 : 72000) * kbps / rate + padding);
}
