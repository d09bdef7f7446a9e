// Buffer: a block of contiguous memory with a user-space and a "physical" address, and, for graphics
// buffers, the picture geometry laid out in it. A buffer belongs to one thread at a time (it travels
// between threads through a Fifo), so nothing here is locked.
//
// Memory comes from the contiguous allocator (contig.h). On the PC the physical address is a stable
// stand-in for the user address; it is held as uintptr_t because a 64-bit address does not fit an int.
//
// Graphics attributes embed the basic ones as their first member: a BufferGfx_Attrs is handed to
// Buffer_create as (Buffer_Attrs *)&gfxAttrs with bAttrs.type == Buffer_Type_GRAPHICS.
#pragma once

#include <cstdint>

#include "encode/media/colorspace.h"
#include "encode/media/videostd.h"

typedef struct Buffer_Object *Buffer_Handle;
typedef struct BufTab_Object *BufTab_Handle;

typedef enum Buffer_Type : int {
    Buffer_Type_BASIC = 0,
    Buffer_Type_GRAPHICS = 1,
} Buffer_Type;

// Memory parameters handed to the contiguous allocator.
enum {
    Buffer_Memory_CONTIG = 2,        // memory type: physically contiguous
    Buffer_Memory_CACHED = 1,        // flags: cached mapping
    Buffer_Memory_DEFAULTALIGN = -1, // alignment: the allocator's own (one page)
};

typedef struct Buffer_MemParams {
    int type;
    int flags;
    int align; // -1 or a power of two
    int bank;
} Buffer_MemParams;

typedef struct Buffer_Attrs {
    Buffer_MemParams memParams;
    Buffer_Type type;
    uint16_t defaultUseMask; // restored by Buffer_resetUseMask / BufTab_getFreeBuf
    int16_t reference;       // 1: no memory of its own; its address comes from Buffer_setUserPtr
} Buffer_Attrs;

typedef struct BufferGfx_Dimensions {
    int x;
    int y;
    int width;
    int height;
    int lineLength; // bytes per line
} BufferGfx_Dimensions;

typedef struct BufferGfx_Attrs {
    Buffer_Attrs bAttrs; // must stay first
    ColorSpace_Type colorSpace;
    BufferGfx_Dimensions dim;
} BufferGfx_Attrs;

// Contiguous, cached, default alignment, basic, use mask 1, owns its memory.
extern const Buffer_Attrs Buffer_Attrs_DEFAULT;
// The same for a graphics buffer: 4:2:0 semi-planar, zero dimensions.
extern const BufferGfx_Attrs BufferGfx_Attrs_DEFAULT;

// Null on failure (message printed at error level). A new buffer is free (use mask 0).
Buffer_Handle Buffer_create(int size, const Buffer_Attrs *attrs);
// Frees the memory (unless reference) and the object. Null is accepted. 0, or -1 if the memory was
// not the allocator's.
int Buffer_delete(Buffer_Handle hBuf);

uint8_t *Buffer_getUserPtr(Buffer_Handle hBuf);
uintptr_t Buffer_getPhysicalPtr(Buffer_Handle hBuf);
// The virtual size when one is set, else the allocated size.
int Buffer_getSize(Buffer_Handle hBuf);
// Reports a smaller size than allocated (0 clears it); -5 when negative or larger than the buffer.
int Buffer_setVirtualSize(Buffer_Handle hBuf, int size);
Buffer_Type Buffer_getType(Buffer_Handle hBuf);
int Buffer_getId(Buffer_Handle hBuf);
BufTab_Handle Buffer_getBufTab(Buffer_Handle hBuf);
int Buffer_getNumBytesUsed(Buffer_Handle hBuf);
void Buffer_setNumBytesUsed(Buffer_Handle hBuf, int numBytes);
int Buffer_getUseMask(Buffer_Handle hBuf);
void Buffer_setUseMask(Buffer_Handle hBuf, int useMask);
// Clears the given bits of the use mask (a user letting go of the buffer).
void Buffer_freeUseMask(Buffer_Handle hBuf, int useMask);
void Buffer_resetUseMask(Buffer_Handle hBuf);
bool Buffer_isReference(Buffer_Handle hBuf);
// Whoever writes into a filled buffer's contents (an overlay drawing on a captured picture, the
// no-signal pictures) marks it; the producer takes the mark when the buffer comes back, and may hand
// out a buffer it has not refilled only when no mark was taken (the virtual capture hands its stored
// frames out that way).
void Buffer_markAltered(Buffer_Handle hBuf);
// Whether the buffer was marked since the last take; clears the mark.
bool Buffer_takeAltered(Buffer_Handle hBuf);
// Reference buffers only (-5 otherwise): points the buffer at `ptr` (null clears; physical 0).
int Buffer_setUserPtr(Buffer_Handle hBuf, uint8_t *ptr);
// The attributes of the buffer. For a graphics buffer `attrs` must point to a BufferGfx_Attrs; its
// graphics part is filled too. -5 for null attrs.
int Buffer_getAttrs(Buffer_Handle hBuf, Buffer_Attrs *attrs);

// Graphics buffers only (a basic buffer is refused by assertion).
// x 0, y 0, the standard's width and height, lineLength = width x bpp / 8. -5 for an unknown standard
// or colour space, or a null dim.
int BufferGfx_calcDimensions(VideoStd_Type videoStd, ColorSpace_Type colorSpace, BufferGfx_Dimensions *dim);
// Bytes of one frame of the standard in the colour space; -5 when either is unknown.
int BufferGfx_calcSize(VideoStd_Type videoStd, ColorSpace_Type colorSpace);
// The current dimensions when any of width, height or lineLength is set, else the allocation's.
int BufferGfx_getDimensions(Buffer_Handle hBuf, BufferGfx_Dimensions *dim);
int BufferGfx_setDimensions(Buffer_Handle hBuf, const BufferGfx_Dimensions *dim);
// Zeroes the current dimensions so the allocation's apply again.
void BufferGfx_resetDimensions(Buffer_Handle hBuf);
ColorSpace_Type BufferGfx_getColorSpace(Buffer_Handle hBuf);
void BufferGfx_setColorSpace(Buffer_Handle hBuf, ColorSpace_Type colorSpace);
int BufferGfx_getFrameType(Buffer_Handle hBuf);
void BufferGfx_setFrameType(Buffer_Handle hBuf, int frameType);
int BufferGfx_getFrameDone(Buffer_Handle hBuf);
void BufferGfx_setFrameDone(Buffer_Handle hBuf, int frameDone);
