// The PC's contiguous allocator: page-aligned heap blocks (blocks of 2 MB or more aligned to 2 MB and
// advised onto huge pages), registered in one table so that frees are checked and tests can count what
// is live. Any thread may allocate; the table has its own mutex.
#include "encode/media/contig.h"

#include "encode/media/media.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

namespace {
using ScopedLock = std::lock_guard<std::mutex>;

constexpr size_t kHugePage = size_t{2} << 20;

std::mutex tableLock;
std::unordered_set<void *> *liveBlocks; // created on first use, never destroyed (outlives statics)
int failCountdown;

std::unordered_set<void *> &blocks()
{
    if (liveBlocks == nullptr) {
        liveBlocks = new std::unordered_set<void *>();
    }
    return *liveBlocks;
}

size_t pageSize()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}
} // namespace

void *Contig_alloc(size_t size, const Buffer_MemParams *params)
{
    size_t align = pageSize();
    if (params != nullptr && params->align != Buffer_Memory_DEFAULTALIGN && params->align != 0) {
        if (params->align < 0 || (params->align & (params->align - 1)) != 0) {
            return nullptr;
        }
        if (static_cast<size_t>(params->align) > align) {
            align = static_cast<size_t>(params->align);
        }
    }
    // A frame-sized block sits on huge pages where the kernel has them, as the board's contiguous
    // memory is one run: a picture then costs its readers (the encoder's copy, the scaler) a few TLB
    // entries rather than hundreds, and its first touch two faults rather than a thousand.
    const bool huge = size >= kHugePage;
    if (huge) {
        align = std::max(align, kHugePage);
    }
    // aligned_alloc wants a multiple of the alignment; a zero-byte request still gets a block.
    size_t rounded = size == 0 ? align : (size + align - 1) / align * align;
    if (rounded < size) {
        return nullptr;
    }
    try {
        ScopedLock lock(tableLock);
        if (failCountdown > 0 && --failCountdown == 0) {
            return nullptr;
        }
        void *ptr = std::aligned_alloc(align, rounded);
        if (ptr == nullptr) {
            return nullptr;
        }
        if (huge) {
            ::madvise(ptr, rounded, MADV_HUGEPAGE); // a hint: without huge pages the block works alike
        }
        blocks().insert(ptr);
        return ptr;
    } catch (...) {
        return nullptr;
    }
}

int Contig_free(void *ptr)
{
    if (ptr == nullptr) {
        return Media_EOK;
    }
    ScopedLock lock(tableLock);
    if (blocks().erase(ptr) == 0) {
        return Media_EFAIL;
    }
    std::free(ptr);
    return Media_EOK;
}

uintptr_t Contig_getPhys(const void *ptr)
{
    return reinterpret_cast<uintptr_t>(ptr);
}

int Contig_getNumBlocks(void)
{
    ScopedLock lock(tableLock);
    return static_cast<int>(blocks().size());
}

void Contig_failAfter(int n)
{
    ScopedLock lock(tableLock);
    failCountdown = n > 0 ? n : 0;
}
