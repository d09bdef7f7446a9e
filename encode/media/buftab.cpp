// Buffer pools. A pool is owned by one thread (the stage that created it), so it is not locked; its
// buffers travel to other threads through Fifos and come back before they are taken again.
#include "encode/media/buftab.h"

#include <memory>
#include <new>

#include "encode/media/buffer_internal.h"
#include "encode/media/media.h"

struct BufTab_Object {
    std::unique_ptr<Buffer_Handle[]> bufs;
    int numBufs = 0;
};

// Frees every buffer made so far; -1 if any of them failed to free.
static int freeBuffers(BufTab_Object *tab)
{
    int status = 0;
    for (int i = 0; i < tab->numBufs; i++) {
        if (Buffer_delete(tab->bufs[i]) < 0) {
            status = -1;
        }
        tab->bufs[i] = nullptr;
    }
    tab->numBufs = 0;
    return status;
}

BufTab_Handle BufTab_create(int numBufs, int size, const Buffer_Attrs *attrs)
{
    if (attrs == nullptr) {
        Media_error("[BufTab] Must provide attrs\n");
        return nullptr;
    }
    if (numBufs <= 0) {
        Media_error("[BufTab] Invalid number of buffers (%d)\n", numBufs);
        return nullptr;
    }
    Media_trace("[BufTab] Allocating BufTab for %d buffers\n", numBufs);

    std::unique_ptr<BufTab_Object> tab(new (std::nothrow) BufTab_Object);
    if (!tab) {
        Media_error("[BufTab] Failed to allocate space for BufTab Object\n");
        return nullptr;
    }
    tab->bufs.reset(new (std::nothrow) Buffer_Handle[numBufs]());
    if (!tab->bufs) {
        Media_error("[BufTab] Failed to allocate space for Buffer Handles\n");
        return nullptr;
    }
    for (int i = 0; i < numBufs; i++) {
        Buffer_Handle buf = Buffer_create(size, attrs);
        if (buf == nullptr) {
            Media_error("[BufTab] Failed to allocate buffer %d for BufTab\n", i);
            freeBuffers(tab.get());
            return nullptr;
        }
        Buffer_setOwner(buf, tab.get(), i);
        tab->bufs[i] = buf;
        tab->numBufs = i + 1;
    }
    return tab.release();
}

int BufTab_delete(BufTab_Handle hBufTab)
{
    if (hBufTab == nullptr) {
        return Media_EOK;
    }
    int status = freeBuffers(hBufTab);
    delete hBufTab;
    return status;
}

Buffer_Handle BufTab_getFreeBuf(BufTab_Handle hBufTab)
{
    MEDIA_ASSERT(hBufTab != nullptr);
    for (int i = 0; i < hBufTab->numBufs; i++) {
        Buffer_Handle buf = hBufTab->bufs[i];
        if ((Buffer_getUseMask(buf) & 0xffff) == 0) {
            Buffer_resetUseMask(buf);
            return buf;
        }
    }
    return nullptr;
}

Buffer_Handle BufTab_getBuf(BufTab_Handle hBufTab, int index)
{
    MEDIA_ASSERT(hBufTab != nullptr);
    if (index < 0 || index >= hBufTab->numBufs) {
        Media_error("[BufTab] Buffer index %d out of range (%d buffers)\n", index, hBufTab->numBufs);
        return nullptr;
    }
    return hBufTab->bufs[index];
}

int BufTab_getNumBufs(BufTab_Handle hBufTab)
{
    MEDIA_ASSERT(hBufTab != nullptr);
    return hBufTab->numBufs;
}

void BufTab_freeBuf(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    Buffer_setUseMask(hBuf, 0);
}

void BufTab_freeAll(BufTab_Handle hBufTab)
{
    MEDIA_ASSERT(hBufTab != nullptr);
    for (int i = 0; i < hBufTab->numBufs; i++) {
        Buffer_setUseMask(hBufTab->bufs[i], 0);
    }
}
