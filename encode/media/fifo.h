// Fifo: a blocking queue of buffer handles between two threads, carried by an operating-system pipe
// one machine word per entry. The reader blocks in the pipe read, never under the Fifo's mutex.
//
// Fifo_flush stops the reader: it sets the flush flag and writes a flush mark into the pipe, so a
// reader already blocked wakes with 1 (flushed), and every later Fifo_get returns 1 at once while the
// flag stays set. The flag is cleared by the reader whose blocked read the mark woke.
#pragma once

#include "encode/media/buffer.h"

typedef struct Fifo_Object *Fifo_Handle;

typedef struct Fifo_Attrs {
    int reserved;
} Fifo_Attrs;

extern const Fifo_Attrs Fifo_Attrs_DEFAULT;

// Null when attrs is null ("[Fifo] NULL attrs not supported"), on allocation or pipe failure.
Fifo_Handle Fifo_create(const Fifo_Attrs *attrs);
// Closes the pipe and frees. Null is accepted. 0, or -3 if a close failed.
int Fifo_delete(Fifo_Handle hFifo);

// 0 with the handle in *hBuf; 1 when flushed; -3 on a pipe failure.
int Fifo_get(Fifo_Handle hFifo, Buffer_Handle *hBuf);
// 0, or -3 if the pipe did not take the whole word (the entry is not counted then).
int Fifo_put(Fifo_Handle hFifo, Buffer_Handle hBuf);
// 0, or -3 if the flush mark could not be written (the flag is set regardless).
int Fifo_flush(Fifo_Handle hFifo);
int Fifo_getNumEntries(Fifo_Handle hFifo);
