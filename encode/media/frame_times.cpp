// The frame time queue's ring. A slot word packs seconds (32 bits), microseconds (20 bits) and the
// low 12 bits of the entry's number; the number tells the consumer whether the slot still holds the
// entry it came for (the producer only reuses a slot 18 entries later, so the low 12 bits suffice).
#include "encode/media/frame_times.h"

#include <sys/time.h>

namespace {

constexpr uint64_t kTagBits = 12;
constexpr uint64_t kTagMask = (uint64_t{1} << kTagBits) - 1;
constexpr uint64_t kMicrosBits = 20;

uint64_t pack(FrameTime t, uint64_t number)
{
    return (uint64_t{t.seconds} << (kMicrosBits + kTagBits)) |
           ((uint64_t{t.microseconds} & ((uint64_t{1} << kMicrosBits) - 1)) << kTagBits) | (number & kTagMask);
}

FrameTime unpack(uint64_t v)
{
    FrameTime t;
    t.seconds = static_cast<uint32_t>(v >> (kMicrosBits + kTagBits));
    t.microseconds = static_cast<uint32_t>((v >> kTagBits) & ((uint64_t{1} << kMicrosBits) - 1));
    return t;
}

FrameTimeQueue processQueue;

} // namespace

void FrameTimeQueue::push(FrameTime t)
{
    uint64_t h = head_.load(std::memory_order_relaxed);
    slots_[h % kSlots].store(pack(t, h), std::memory_order_release);
    head_.store(h + 1, std::memory_order_release);
}

bool FrameTimeQueue::take(FrameTime *t)
{
    for (;;) {
        uint64_t h = head_.load(std::memory_order_acquire);
        if (h == tail_) {
            return false;
        }
        if (h - tail_ > kMaxHeld) {
            tail_ = h - kMaxHeld; // what the producer would have dropped, oldest first
        }
        uint64_t v = slots_[tail_ % kSlots].load(std::memory_order_acquire);
        if ((v & kTagMask) != (tail_ & kTagMask)) {
            continue; // overwritten while we looked: the producer ran ahead, count again
        }
        ++tail_;
        *t = unpack(v);
        return true;
    }
}

int FrameTimeQueue::held() const
{
    uint64_t n = head_.load(std::memory_order_acquire) - tail_;
    return static_cast<int>(n > kMaxHeld ? kMaxHeld : n);
}

void FrameTimeQueue::reset()
{
    head_.store(0);
    tail_ = 0;
    for (auto &slot : slots_) {
        slot.store(0);
    }
}

FrameTime FrameTime_now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

void FrameTimes_push(FrameTime t)
{
    processQueue.push(t);
}

FrameTime FrameTimes_take()
{
    FrameTime t;
    if (!processQueue.take(&t)) {
        t = FrameTime_now();
    }
    return t;
}

void FrameTimes_reset()
{
    processQueue.reset();
}
