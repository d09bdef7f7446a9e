// The writer thread. Owns the encoded-video pools; its buffers are lent to the video thread through
// the Fifo pair of its record and never copied: a unit is taken out of its buffer once, as a span
// with its frame time and whether it begins with a key frame, and that is what every output gets.
// A client, pipe reader or server that stalls costs only its own output: each output bounds itself
// or sends from its own worker, so the writer always comes back for the next unit.
#include "encode/output/writer.h"

#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/media/annexb.h"
#include "encode/media/buffer.h"
#include "encode/media/buftab.h"
#include "encode/media/media.h"

#include <cstdio>
#include <memory>

namespace {

struct BufTabDeleter {
    void operator()(BufTab_Object *p) const { BufTab_delete(p); }
};
using BufTabPtr = std::unique_ptr<BufTab_Object, BufTabDeleter>;

// Unwinds the thread in the order the other stages rely on, whatever point it got to: the video thread
// is let go before rvCleanup, the pools are freed after it.
class EndPath {
public:
    explicit EndPath(WriterThreadParams *envp) : envp_(envp) {}
    ~EndPath()
    {
        SharedStatus_setQuit();
        Rendezvous_force(envp_->hRendezvousInit);
        Pause_off(envp_->hPauseProcess);
        Fifo_flush(envp_->hToVideoFifo);
        if (envp_->hToVideoFmlFifo != nullptr) {
            Fifo_flush(envp_->hToVideoFmlFifo);
        }
        Rendezvous_meet(envp_->hRendezvousCleanup);
        mainTab.reset();
        secondTab.reset();
    }
    EndPath(const EndPath &) = delete;
    EndPath &operator=(const EndPath &) = delete;

    BufTabPtr mainTab;
    BufTabPtr secondTab;

private:
    WriterThreadParams *envp_;
};

void *fail(const char *message)
{
    std::fputs(message, stderr);
    return THREAD_FAILURE;
}

// Start-up steps 2 and 3: the pools and the multiplexer's room for the largest unit, then every main
// buffer lent to the video thread and one second-stream buffer to its path. Null, or the failure's
// message.
const char *allocate(WriterThreadParams *envp, EndPath &end, bool second)
{
    int count = Pipeline_bufferCount() == 3 ? 3 : 1; // low delay keeps one unit in flight
    end.mainTab.reset(BufTab_create(count, envp->outBufSize, &Buffer_Attrs_DEFAULT));
    if (second) {
        end.secondTab.reset(BufTab_create(count, envp->outBufSize, &Buffer_Attrs_DEFAULT));
    }
    if (end.mainTab == nullptr || (second && end.secondTab == nullptr) ||
        !OutputList_reserve(envp->outputs, envp->outBufSize)) {
        return "Error: Failed to allocate contiguous buffers\n";
    }
    for (int i = 0; i < count; i++) {
        if (Fifo_put(envp->hToVideoFifo, BufTab_getBuf(end.mainTab.get(), i)) < 0) {
            return "Error: Failed to send buffer to display thread\n";
        }
    }
    if (second && Fifo_put(envp->hToVideoFmlFifo, BufTab_getBuf(end.secondTab.get(), 0)) < 0) {
        return "Error: Failed to send buffer to display thread\n";
    }
    return nullptr;
}

// The unit a buffer holds, read out of it once.
OutputUnit unitOf(Buffer_Handle h, FrameTime t)
{
    const auto *data = reinterpret_cast<const uint8_t *>(Buffer_getUserPtr(h));
    int bytes = static_cast<int>(Buffer_getNumBytesUsed(h));
    return {data, bytes, t, AnnexB_beginsWithSps(data, bytes)};
}

// One encoded frame to every output; a frame whose main unit holds nothing goes nowhere.
void serve(WriterThreadParams *envp, Buffer_Handle hMain, Buffer_Handle hSecond, FrameTime t)
{
    OutputUnit main = unitOf(hMain, t);
    if (main.bytes <= 0) {
        return;
    }
    OutputUnit second{};
    bool haveSecond = hSecond != nullptr && (second = unitOf(hSecond, t)).bytes > 0;
    OutputList_video(envp->outputs, main, haveSecond ? &second : nullptr);
}

void *loop(WriterThreadParams *envp, bool second)
{
    for (;;) {
        Buffer_Handle hMain = nullptr;
        int r = Fifo_get(envp->hFromVideoFifo, &hMain);
        FrameTime t = FrameTimes_take();
        if (r < 0) {
            return fail("Error: Failed to get buffer from video thread\n");
        }
        if (r == Media_FLUSHED) {
            return THREAD_SUCCESS;
        }
        Buffer_Handle hSecond = nullptr;
        if (second) {
            r = Fifo_get(envp->hFromVideoFmlFifo, &hSecond);
            if (r == Media_FLUSHED) {
                return THREAD_SUCCESS;
            }
            if (r < 0) {
                return fail("Error: fml_outfifo Failed to get buffer from video thread\n");
            }
        }
        serve(envp, hMain, hSecond, t);
        if (Fifo_put(envp->hToVideoFifo, hMain) < 0 ||
            (hSecond != nullptr && Fifo_put(envp->hToVideoFmlFifo, hSecond) < 0)) {
            return fail("Error: Failed to send buffer to display thread\n");
        }
    }
}

void *run(WriterThreadParams *envp, EndPath &end)
{
    bool second = SecondStream_get().enabled == 1;
    if (const char *message = allocate(envp, end, second)) {
        return fail(message);
    }
    Rendezvous_meet(envp->hRendezvousInit);
    // The video FIFO waits for the RTSP server to open its end; only a stop ends the wait early.
    OutputList_begin(envp->outputs, OUTPUT_TAKES_MAIN | OUTPUT_TAKES_SECOND);
    return loop(envp, second);
}

} // namespace

void *writerThrFxn(void *arg)
{
    auto *envp = static_cast<WriterThreadParams *>(arg);
    void *status = THREAD_FAILURE;
    {
        EndPath end(envp);
        try {
            status = run(envp, end);
        } catch (...) {
            std::fputs("Error: Writer thread stopped by an unexpected failure\n", stderr);
            status = THREAD_FAILURE;
        }
    }
    return status;
}
