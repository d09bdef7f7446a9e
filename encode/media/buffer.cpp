// Buffer objects. A buffer is owned by one thread at a time (handed on through a Fifo), so its
// fields are plain. Memory comes from the contiguous allocator; reference buffers borrow memory
// owned elsewhere (a capture driver's frame, a part of another buffer) and never free it.
//
// Addresses are traced as 0x%lx-style full-width values: a 64-bit address does not fit %x.
#include "encode/media/buffer.h"

#include <cinttypes>
#include <cstdio>
#include <new>

#include "encode/media/buffer_internal.h"
#include "encode/media/contig.h"
#include "encode/media/media.h"

struct Buffer_Object {
    Buffer_Type type = Buffer_Type_BASIC;
    int size = 0;
    uint16_t defaultUseMask = 0;
    int numBytesUsed = 0;
    int useMask = 0;
    Buffer_MemParams memParams{};
    uint8_t *userPtr = nullptr;
    uintptr_t physPtr = 0;
    int id = 0;
    int16_t reference = 0;
    BufTab_Handle bufTab = nullptr;
    int virtualSize = 0;
    bool altered = false;

    // Graphics part, used when type is graphics.
    BufferGfx_Dimensions maxDimensions{};
    BufferGfx_Dimensions dimensions{};
    int frameDone = 0;
    int frameType = 0;
    ColorSpace_Type colorSpace = ColorSpace_YUV420PSEMI;
};

const Buffer_Attrs Buffer_Attrs_DEFAULT = {
    {Buffer_Memory_CONTIG, Buffer_Memory_CACHED, Buffer_Memory_DEFAULTALIGN, 0},
    Buffer_Type_BASIC,
    1,
    0,
};

const BufferGfx_Attrs BufferGfx_Attrs_DEFAULT = {
    {{Buffer_Memory_CONTIG, Buffer_Memory_CACHED, Buffer_Memory_DEFAULTALIGN, 0}, Buffer_Type_GRAPHICS, 1, 0},
    ColorSpace_YUV420PSEMI,
    {0, 0, 0, 0, 0},
};


Buffer_Handle Buffer_create(int size, const Buffer_Attrs *attrs)
{
    if (attrs == nullptr) {
        Media_error("[Buffer] Must provide attrs\n");
        return nullptr;
    }
    if (attrs->type != Buffer_Type_BASIC && attrs->type != Buffer_Type_GRAPHICS) {
        Media_error("[Buffer] Unknown Buffer type (%d)\n", static_cast<int>(attrs->type));
        return nullptr;
    }
    if (size < 0) {
        Media_error("[Buffer] Invalid Buffer size (%d)\n", size);
        return nullptr;
    }
    Buffer_Object *buf = new (std::nothrow) Buffer_Object;
    if (buf == nullptr) {
        Media_error("[Buffer] Failed to allocate space for Buffer Object\n");
        return nullptr;
    }
    buf->type = attrs->type;
    buf->size = size;
    buf->defaultUseMask = attrs->defaultUseMask;
    buf->memParams = attrs->memParams;
    buf->reference = attrs->reference;

    if (buf->type == Buffer_Type_GRAPHICS) {
        // The graphics attributes start with the basic ones (see buffer.h).
        const BufferGfx_Attrs *gfx = reinterpret_cast<const BufferGfx_Attrs *>(attrs);
        buf->frameDone = 1;
        buf->colorSpace = gfx->colorSpace;
        buf->maxDimensions = gfx->dim;
        buf->maxDimensions.x = 0;
        buf->maxDimensions.y = 0;
    }

    if (!buf->reference) {
        void *mem = Contig_alloc(static_cast<size_t>(size), &buf->memParams);
        if (mem == nullptr) {
            std::fprintf(stderr, "Failed to allocate memory.\n");
            delete buf;
            return nullptr;
        }
        buf->userPtr = static_cast<uint8_t *>(mem);
        buf->physPtr = Contig_getPhys(mem);
        Media_trace("[Buffer] Alloc Buffer of size %u at 0x%" PRIxPTR " (0x%" PRIxPTR " phys)\n",
                    static_cast<unsigned>(size), reinterpret_cast<uintptr_t>(buf->userPtr), buf->physPtr);
    }
    return buf;
}

int Buffer_delete(Buffer_Handle hBuf)
{
    if (hBuf == nullptr) {
        return Media_EOK;
    }
    int status = 0;
    if (!hBuf->reference && hBuf->userPtr != nullptr) {
        Media_trace("[Buffer] Free Buffer of size %u at 0x%" PRIxPTR " (0x%" PRIxPTR " phys)\n",
                    static_cast<unsigned>(hBuf->size), reinterpret_cast<uintptr_t>(hBuf->userPtr), hBuf->physPtr);
        if (Contig_free(hBuf->userPtr) < 0) {
            Media_error("[Buffer] Failed to free Buffer memory at 0x%" PRIxPTR "\n",
                        reinterpret_cast<uintptr_t>(hBuf->userPtr));
            status = -1;
        }
    }
    delete hBuf;
    return status;
}

void Buffer_setOwner(Buffer_Handle hBuf, BufTab_Handle hBufTab, int id)
{
    MEDIA_ASSERT(hBuf != nullptr);
    hBuf->bufTab = hBufTab;
    hBuf->id = id;
}

uint8_t *Buffer_getUserPtr(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->userPtr;
}

uintptr_t Buffer_getPhysicalPtr(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->physPtr;
}

int Buffer_getSize(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->virtualSize != 0 ? hBuf->virtualSize : hBuf->size;
}

int Buffer_setVirtualSize(Buffer_Handle hBuf, int size)
{
    MEDIA_ASSERT(hBuf != nullptr);
    // A virtual size beyond the allocation would let users run past the memory.
    if (size < 0 || (!hBuf->reference && size > hBuf->size)) {
        return Media_EINVAL;
    }
    hBuf->virtualSize = size;
    return Media_EOK;
}

Buffer_Type Buffer_getType(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->type;
}

int Buffer_getId(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->id;
}

BufTab_Handle Buffer_getBufTab(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->bufTab;
}

int Buffer_getNumBytesUsed(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->numBytesUsed;
}

void Buffer_setNumBytesUsed(Buffer_Handle hBuf, int numBytes)
{
    MEDIA_ASSERT(hBuf != nullptr);
    hBuf->numBytesUsed = numBytes;
}

int Buffer_getUseMask(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->useMask;
}

void Buffer_setUseMask(Buffer_Handle hBuf, int useMask)
{
    MEDIA_ASSERT(hBuf != nullptr);
    hBuf->useMask = useMask;
}

void Buffer_freeUseMask(Buffer_Handle hBuf, int useMask)
{
    MEDIA_ASSERT(hBuf != nullptr);
    hBuf->useMask &= ~useMask;
}

void Buffer_resetUseMask(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    hBuf->useMask = hBuf->defaultUseMask;
}

bool Buffer_isReference(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    return hBuf->reference != 0;
}

void Buffer_markAltered(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    hBuf->altered = true;
}

bool Buffer_takeAltered(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    bool was = hBuf->altered;
    hBuf->altered = false;
    return was;
}

int Buffer_setUserPtr(Buffer_Handle hBuf, uint8_t *ptr)
{
    MEDIA_ASSERT(hBuf != nullptr);
    if (!hBuf->reference) {
        Media_error("[Buffer] Cannot set user pointer of a Buffer that owns its memory\n");
        return Media_EINVAL;
    }
    hBuf->userPtr = ptr;
    hBuf->physPtr = ptr != nullptr ? Contig_getPhys(ptr) : 0;
    Media_trace("[Buffer] Set user pointer 0x%" PRIxPTR " (physical 0x%" PRIxPTR ")\n",
                reinterpret_cast<uintptr_t>(ptr), hBuf->physPtr);
    return Media_EOK;
}

int Buffer_getAttrs(Buffer_Handle hBuf, Buffer_Attrs *attrs)
{
    MEDIA_ASSERT(hBuf != nullptr);
    if (attrs == nullptr) {
        return Media_EINVAL;
    }
    attrs->memParams = hBuf->memParams;
    attrs->type = hBuf->type;
    attrs->defaultUseMask = hBuf->defaultUseMask;
    attrs->reference = hBuf->reference;
    if (hBuf->type == Buffer_Type_GRAPHICS) {
        BufferGfx_Attrs *gfx = reinterpret_cast<BufferGfx_Attrs *>(attrs);
        gfx->colorSpace = hBuf->colorSpace;
        gfx->dim = hBuf->maxDimensions;
    }
    return Media_EOK;
}

int BufferGfx_calcDimensions(VideoStd_Type videoStd, ColorSpace_Type colorSpace, BufferGfx_Dimensions *dim)
{
    if (dim == nullptr) {
        return Media_EINVAL;
    }
    int width = 0;
    int height = 0;
    if (VideoStd_getResolution(videoStd, &width, &height) < 0) {
        return Media_EINVAL;
    }
    int bpp = ColorSpace_getBpp(colorSpace);
    if (bpp < 0) {
        return Media_EINVAL;
    }
    dim->x = 0;
    dim->y = 0;
    dim->width = width;
    dim->height = height;
    dim->lineLength = width * bpp / 8;
    return Media_EOK;
}

int BufferGfx_calcSize(VideoStd_Type videoStd, ColorSpace_Type colorSpace)
{
    BufferGfx_Dimensions dim;
    if (BufferGfx_calcDimensions(videoStd, colorSpace, &dim) < 0) {
        return Media_EINVAL;
    }
    return ColorSpace_getFrameSize(colorSpace, dim.lineLength, dim.height);
}

// Graphics operations on a basic buffer would read geometry that was never set.
#define GFX_ASSERT(hBuf)                                \
    do {                                                \
        MEDIA_ASSERT(hBuf != nullptr);                  \
        MEDIA_ASSERT(hBuf->type == Buffer_Type_GRAPHICS); \
    } while (0)

int BufferGfx_getDimensions(Buffer_Handle hBuf, BufferGfx_Dimensions *dim)
{
    GFX_ASSERT(hBuf);
    if (dim == nullptr) {
        return Media_EINVAL;
    }
    const BufferGfx_Dimensions &cur = hBuf->dimensions;
    bool set = cur.width != 0 || cur.height != 0 || cur.lineLength != 0;
    *dim = set ? cur : hBuf->maxDimensions;
    return Media_EOK;
}

int BufferGfx_setDimensions(Buffer_Handle hBuf, const BufferGfx_Dimensions *dim)
{
    GFX_ASSERT(hBuf);
    if (dim == nullptr) {
        return Media_EINVAL;
    }
    hBuf->dimensions = *dim;
    return Media_EOK;
}

void BufferGfx_resetDimensions(Buffer_Handle hBuf)
{
    GFX_ASSERT(hBuf);
    hBuf->dimensions = BufferGfx_Dimensions{};
}

ColorSpace_Type BufferGfx_getColorSpace(Buffer_Handle hBuf)
{
    GFX_ASSERT(hBuf);
    return hBuf->colorSpace;
}

void BufferGfx_setColorSpace(Buffer_Handle hBuf, ColorSpace_Type colorSpace)
{
    GFX_ASSERT(hBuf);
    hBuf->colorSpace = colorSpace;
}

int BufferGfx_getFrameType(Buffer_Handle hBuf)
{
    GFX_ASSERT(hBuf);
    return hBuf->frameType;
}

void BufferGfx_setFrameType(Buffer_Handle hBuf, int frameType)
{
    GFX_ASSERT(hBuf);
    hBuf->frameType = frameType;
}

int BufferGfx_getFrameDone(Buffer_Handle hBuf)
{
    GFX_ASSERT(hBuf);
    return hBuf->frameDone;
}

void BufferGfx_setFrameDone(Buffer_Handle hBuf, int frameDone)
{
    GFX_ASSERT(hBuf);
    hBuf->frameDone = frameDone;
}
