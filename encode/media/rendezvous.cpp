// Rendezvous points shared by the stage threads and the main thread. A generation count tells a
// waiter that its round was completed (or released by forceAndReset), so that spurious wake-ups do
// not release it early and a fast party of the next round cannot be mistaken for this one.
#include "encode/media/rendezvous.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "encode/media/media.h"

struct Rendezvous_Object {
    std::mutex lock;
    std::condition_variable cond;
    int orig = 0;
    int count = 0;
    int force = 0;
    unsigned long round = 0;
};

const Rendezvous_Attrs Rendezvous_Attrs_DEFAULT = {0};

Rendezvous_Handle Rendezvous_create(int count, const Rendezvous_Attrs *attrs)
{
    if (attrs == nullptr) {
        Media_error("[Rendezvous] NULL attrs not supported\n");
        return nullptr;
    }
    if (count < -1) {
        Media_error("[Rendezvous] Count (%d) must be > 0\n", count);
        return nullptr;
    }
    Rendezvous_Object *rv = new (std::nothrow) Rendezvous_Object;
    if (rv == nullptr) {
        Media_error("[Rendezvous] Failed to allocate space for Rendezvous Object\n");
        return nullptr;
    }
    rv->orig = count;
    rv->count = count;
    return rv;
}

int Rendezvous_delete(Rendezvous_Handle hRv)
{
    delete hRv;
    return Media_EOK;
}

void Rendezvous_meet(Rendezvous_Handle hRv)
{
    MEDIA_ASSERT(hRv != nullptr);
    std::unique_lock<std::mutex> lock(hRv->lock);
    if (hRv->force) {
        return;
    }
    if (hRv->count > 0) {
        hRv->count--;
    }
    if (hRv->count > 0 || hRv->count == -1) {
        unsigned long mine = hRv->round;
        hRv->cond.wait(lock, [&] { return hRv->force || hRv->round != mine; });
        return;
    }
    hRv->count = hRv->orig;
    hRv->round++;
    hRv->cond.notify_all();
}

void Rendezvous_force(Rendezvous_Handle hRv)
{
    MEDIA_ASSERT(hRv != nullptr);
    std::lock_guard<std::mutex> lock(hRv->lock);
    hRv->force = 1;
    hRv->cond.notify_all();
}

void Rendezvous_reset(Rendezvous_Handle hRv)
{
    MEDIA_ASSERT(hRv != nullptr);
    std::lock_guard<std::mutex> lock(hRv->lock);
    hRv->count = hRv->orig;
    hRv->force = 0;
}

void Rendezvous_forceAndReset(Rendezvous_Handle hRv)
{
    MEDIA_ASSERT(hRv != nullptr);
    std::lock_guard<std::mutex> lock(hRv->lock);
    hRv->round++;
    hRv->cond.notify_all();
    hRv->count = hRv->orig;
    hRv->force = 0;
}
