// Contiguous memory allocator. On the board this is the codec runtime's allocator of physically
// contiguous memory; on the PC it hands out page-aligned heap blocks and reports the user address as
// the stable stand-in for the physical one. Every live block is registered, so a free of memory that
// is not the allocator's is refused instead of corrupting the heap. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "encode/media/buffer.h"

// `size` bytes aligned to max(page, params->align); null on failure (bad alignment, no memory).
void *Contig_alloc(size_t size, const Buffer_MemParams *params);
// 0, or -1 when `ptr` is not a live block of the allocator.
int Contig_free(void *ptr);
// The physical address of a user address (0 for null).
uintptr_t Contig_getPhys(const void *ptr);
// Number of live blocks (tests use it to see that every failure path freed its memory).
int Contig_getNumBlocks(void);
// Fault injection: the n-th allocation from now (1 = the next) fails; 0 disables.
void Contig_failAfter(int n);
