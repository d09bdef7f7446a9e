// Fifos between pipeline stages. The producer and the consumer are different threads; the mutex
// guards the entry counter and the flush flag only, and is never held across the pipe read, so a
// flush can always reach a reader that is blocked.
//
// Entries are buffer handles, written to the pipe one machine word each. The flush mark is the
// flush byte 0xFF repeated to a whole word: a lone byte would leave the pipe misaligned by one when
// a put follows the flush before the reader runs, and the next "handle" would be garbage. A word of
// 0xFF bytes is never a valid handle.
#include "encode/media/fifo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "encode/media/media.h"

namespace {
using ScopedLock = std::lock_guard<std::mutex>;

Buffer_Handle flushMark()
{
    uintptr_t word;
    std::memset(&word, 0xff, sizeof word);
    return reinterpret_cast<Buffer_Handle>(word);
}
} // namespace

struct Fifo_Object {
    std::mutex lock;
    int numEntries = 0;
    int16_t flush = 0;
    int readFd = -1;
    int writeFd = -1;
};

const Fifo_Attrs Fifo_Attrs_DEFAULT = {0};

static bool writeWord(int fd, Buffer_Handle word)
{
    ssize_t n;
    do {
        n = write(fd, &word, sizeof word);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof word);
}

Fifo_Handle Fifo_create(const Fifo_Attrs *attrs)
{
    if (attrs == nullptr) {
        Media_error("[Fifo] NULL attrs not supported\n");
        return nullptr;
    }
    Fifo_Object *fifo = new (std::nothrow) Fifo_Object;
    if (fifo == nullptr) {
        Media_error("[Fifo] Failed to allocate space for Fifo Object\n");
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        delete fifo;
        return nullptr;
    }
    fifo->readFd = fds[0];
    fifo->writeFd = fds[1];
    return fifo;
}

int Fifo_delete(Fifo_Handle hFifo)
{
    if (hFifo == nullptr) {
        return Media_EOK;
    }
    int status = 0;
    if (hFifo->readFd >= 0 && close(hFifo->readFd) < 0) {
        status = Media_EIO;
    }
    if (hFifo->writeFd >= 0 && close(hFifo->writeFd) < 0) {
        status = Media_EIO;
    }
    delete hFifo;
    return status;
}

int Fifo_get(Fifo_Handle hFifo, Buffer_Handle *hBuf)
{
    MEDIA_ASSERT(hFifo != nullptr);
    MEDIA_ASSERT(hBuf != nullptr);
    {
        ScopedLock lock(hFifo->lock);
        if (hFifo->flush) {
            return Media_FLUSHED;
        }
    }

    Buffer_Handle word = nullptr;
    ssize_t n;
    do {
        n = read(hFifo->readFd, &word, sizeof word);
    } while (n < 0 && errno == EINTR);

    ScopedLock lock(hFifo->lock);
    if (n == static_cast<ssize_t>(sizeof word) && word != flushMark()) {
        hFifo->numEntries--;
        *hBuf = word;
        return Media_EOK;
    }
    if (hFifo->flush) {
        hFifo->flush = 0;
        return Media_FLUSHED;
    }
    // A mark of an earlier flush whose flag a woken reader already cleared: still a flush.
    return n == static_cast<ssize_t>(sizeof word) ? Media_FLUSHED : Media_EIO;
}

int Fifo_put(Fifo_Handle hFifo, Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hFifo != nullptr);
    {
        ScopedLock lock(hFifo->lock);
        hFifo->numEntries++;
    }
    if (!writeWord(hFifo->writeFd, hBuf)) {
        ScopedLock lock(hFifo->lock);
        hFifo->numEntries--;
        return Media_EIO;
    }
    return Media_EOK;
}

int Fifo_flush(Fifo_Handle hFifo)
{
    MEDIA_ASSERT(hFifo != nullptr);
    {
        ScopedLock lock(hFifo->lock);
        hFifo->flush = 1;
    }
    return writeWord(hFifo->writeFd, flushMark()) ? Media_EOK : Media_EIO;
}

int Fifo_getNumEntries(Fifo_Handle hFifo)
{
    MEDIA_ASSERT(hFifo != nullptr);
    ScopedLock lock(hFifo->lock);
    return hFifo->numEntries;
}
