// The pause gate. The control side switches it; processing threads pass it once per frame. A
// generation count makes "switched off" an event: a waiter returns when the gate was switched off
// after it began waiting, even if the gate is switched on again before it runs, and never on a
// spurious wake-up.
#include "encode/media/pause.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include "encode/media/media.h"

struct Pause_Object {
    std::mutex lock;
    std::condition_variable cond;
    int pause = 0;
    unsigned long releases = 0;
};

const Pause_Attrs Pause_Attrs_DEFAULT = {0};

Pause_Handle Pause_create(const Pause_Attrs *attrs)
{
    (void)attrs;
    Pause_Object *gate = new (std::nothrow) Pause_Object;
    if (gate == nullptr) {
        Media_error("[Pause] Failed to allocate space for Pause Object\n");
        return nullptr;
    }
    return gate;
}

int Pause_delete(Pause_Handle hPause)
{
    delete hPause;
    return Media_EOK;
}

void Pause_test(Pause_Handle hPause)
{
    MEDIA_ASSERT(hPause != nullptr);
    std::unique_lock<std::mutex> lock(hPause->lock);
    if (hPause->pause) {
        unsigned long seen = hPause->releases;
        hPause->cond.wait(lock, [&] { return hPause->releases != seen; });
    }
}

void Pause_on(Pause_Handle hPause)
{
    MEDIA_ASSERT(hPause != nullptr);
    std::lock_guard<std::mutex> lock(hPause->lock);
    hPause->pause = 1;
}

void Pause_off(Pause_Handle hPause)
{
    MEDIA_ASSERT(hPause != nullptr);
    std::lock_guard<std::mutex> lock(hPause->lock);
    if (hPause->pause) {
        hPause->pause = 0;
        hPause->releases++;
        hPause->cond.notify_all();
    }
}
