// BufTab: a pool of equal buffers owned by one thread. Buffers taken with BufTab_getFreeBuf carry
// their default use mask until every user has let go (BufTab_freeBuf or Buffer_freeUseMask); a buffer
// whose low 16 use-mask bits are clear is free. Not locked: the pool's owner is the only caller.
#pragma once

#include "encode/media/buffer.h"

// `numBufs` buffers of `size` bytes with `attrs` (a BufferGfx_Attrs for graphics pools); buffer i has
// id i. Null on failure, with every buffer made so far freed.
BufTab_Handle BufTab_create(int numBufs, int size, const Buffer_Attrs *attrs);
// Frees every buffer and the pool. Null is accepted. -1 if any buffer failed to free, else 0.
int BufTab_delete(BufTab_Handle hBufTab);

// The first free buffer in index order, its use mask reset to the default; null when all are in use.
Buffer_Handle BufTab_getFreeBuf(BufTab_Handle hBufTab);
// Buffer `index`, or null when out of range.
Buffer_Handle BufTab_getBuf(BufTab_Handle hBufTab, int index);
int BufTab_getNumBufs(BufTab_Handle hBufTab);
// Marks the buffer free (use mask 0).
void BufTab_freeBuf(Buffer_Handle hBuf);
void BufTab_freeAll(BufTab_Handle hBufTab);
