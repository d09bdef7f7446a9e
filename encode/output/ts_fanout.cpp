#include "encode/output/ts_fanout.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

using ScopedLock = std::lock_guard<std::mutex>;

// The largest multiplexed frame the stage always has room for: a key frame of a high-rate 1080p
// stream, so that a unit never finds the buffer short even before anyone reserved.
constexpr int kFirstBufferBytes = 4608000;
constexpr int kMostConsumers = 8;

} // namespace

struct TsFanOut_Object : Output {
    TsMux_Config config{};
    TsMux_Params params{};
    TsMux_Handle mux = nullptr;
    Output *consumers[kMostConsumers] = {};
    int consumerCount = 0;

    std::mutex lock; // held for a whole unit: mux, buffer, consumers
    std::unique_ptr<uint8_t[]> buffer;
    int bufferBytes = 0;

    std::atomic<uint64_t> units{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> refused{0};

    bool wanted() const
    {
        for (int i = 0; i < consumerCount; i++) {
            if (consumers[i]->wantsTs()) {
                return true;
            }
        }
        return false;
    }

    void multiplex(const OutputUnit &u, int32_t streamType, int32_t flags)
    {
        if (!wanted()) {
            return;
        }
        ScopedLock hold(lock);
        params.data = u.data;
        params.dataLength = u.bytes;
        params.streamType = streamType;
        params.seconds = u.time.seconds;
        params.microseconds = u.time.microseconds;
        params.output = buffer.get();
        params.flags = flags;
        params.outBytes = 0;
        int n = TsMux_outputBound(u.bytes) <= bufferBytes ? TsMux_process(mux, &params) : Media_EINVAL;
        if (n < 0) {
            refused.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        units.fetch_add(1, std::memory_order_relaxed);
        bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        for (int i = 0; n > 0 && i < consumerCount; i++) {
            if (consumers[i]->wantsTs()) {
                consumers[i]->ts(buffer.get(), n);
            }
        }
    }

    void video(const OutputUnit &u) override { multiplex(u, TSMUX_STREAM_H264, TSMUX_FLAGS_VIDEO); }
    void audio(const OutputUnit &u) override
    {
        bool mp3 = config.streamType[0][1] == TSMUX_STREAM_MPEG_AUDIO;
        multiplex(u, mp3 ? TSMUX_STREAM_MPEG_AUDIO : TSMUX_STREAM_AAC_ADTS, TSMUX_FLAGS_AUDIO);
    }
    // The consumers show themselves.
    int reports() const override { return 0; }
    void report(int, nlohmann::json &) const override {}
    void stop() override
    {
        TsMux_delete(mux);
        delete this;
    }
};

TsFanOut_Handle TsFanOut_create(TsMux_Audio audio)
{
    std::unique_ptr<TsFanOut_Object> t(new (std::nothrow) TsFanOut_Object);
    if (t == nullptr) {
        return nullptr;
    }
    t->config = TsMux_encoderConfig(audio);
    t->params.size = TSMUX_PARAMS_SIZE;
    t->params.config = &t->config;
    t->params.program = 0;
    t->mux = TsMux_create();
    if (t->mux == nullptr || TsMux_init(t->mux, &t->params) != Media_EOK || !TsFanOut_reserve(t.get(), 0)) {
        TsMux_delete(t->mux);
        return nullptr;
    }
    return t.release();
}

Output *TsFanOut_output(TsFanOut_Handle h)
{
    return h;
}

void TsFanOut_addConsumer(TsFanOut_Handle h, Output *consumer)
{
    MEDIA_ASSERT(h != nullptr && h->consumerCount < kMostConsumers);
    h->consumers[h->consumerCount++] = consumer;
}

bool TsFanOut_reserve(TsFanOut_Handle h, int unitBytes)
{
    MEDIA_ASSERT(h != nullptr);
    int want = std::max(kFirstBufferBytes, TsMux_outputBound(unitBytes));
    ScopedLock hold(h->lock);
    if (want <= h->bufferBytes) {
        return true;
    }
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[static_cast<size_t>(want)]);
    if (grown == nullptr) {
        return false;
    }
    h->buffer = std::move(grown);
    h->bufferBytes = want;
    return true;
}

bool TsFanOut_wanted(TsFanOut_Handle h)
{
    return h != nullptr && h->wanted();
}

TsFanOutStats TsFanOut_stats(TsFanOut_Handle h)
{
    MEDIA_ASSERT(h != nullptr);
    return {h->units.load(), h->bytes.load(), h->refused.load()};
}

TsMux_Config TsFanOut_config(TsFanOut_Handle h)
{
    MEDIA_ASSERT(h != nullptr);
    return h->config;
}
