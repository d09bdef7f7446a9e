// The writer thread. Owns the encoded-video pools and the TS output buffer; its buffers are lent to
// the video thread through the Fifo pair of its record and never copied. The multiplexer and its
// output go through the TS output of its record, under that object's lock, which it shares with the
// audio threads; its RTMP sends take the RTMP connection's semaphore.
// A client, pipe reader or server that stalls costs only its own output: each of those sends is
// bounded in its own module, so the writer always comes back for the next unit.
#include "encode/output/writer.h"

#include "encode/core/output_switches.h"
#include "encode/core/pipeline_settings.h"
#include "encode/core/second_stream.h"
#include "encode/core/shared_status.h"
#include "encode/media/buffer.h"
#include "encode/media/buftab.h"
#include "encode/media/media.h"
#include "encode/output/handoff_fifo.h"
#include "encode/output/rtmp.h"
#include "encode/output/stream_slots.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

struct BufTabDeleter {
    void operator()(BufTab_Object *p) const { BufTab_delete(p); }
};
struct BufferDeleter {
    void operator()(Buffer_Object *p) const { Buffer_delete(p); }
};
using BufTabPtr = std::unique_ptr<BufTab_Object, BufTabDeleter>;
using BufferPtr = std::unique_ptr<Buffer_Object, BufferDeleter>;

// What the writer works with, settled once at its start.
struct Outputs {
    OutputSwitches sw;
    bool second;        // the second stream runs
    bool secondToTs;    // the multiplexer gets it instead of the main stream
    bool secondToRtsp;  // the FIFO gets it instead of the main stream
};

struct SlotsDeleter {
    void operator()(StreamSlots_Object *p) const { StreamSlots_stop(p); }
};
struct HandoffDeleter {
    void operator()(HandoffFifo_Object *p) const { HandoffFifo_close(p); }
};
using SlotsPtr = std::unique_ptr<StreamSlots_Object, SlotsDeleter>;
using HandoffPtr = std::unique_ptr<HandoffFifo_Object, HandoffDeleter>;

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
        fifo.reset();
        secondSlots.reset();
        mainSlots.reset();
        mainTab.reset();
        secondTab.reset();
        tsBuffer.reset();
    }
    EndPath(const EndPath &) = delete;
    EndPath &operator=(const EndPath &) = delete;

    BufTabPtr mainTab;
    BufTabPtr secondTab;
    BufferPtr tsBuffer;
    SlotsPtr mainSlots;
    SlotsPtr secondSlots; // listens even while the second stream is off
    HandoffPtr fifo;      // open while a reader has the video FIFO

private:
    WriterThreadParams *envp_;
};

void *fail(const char *message)
{
    std::fputs(message, stderr);
    return THREAD_FAILURE;
}

// Start-up steps 2 and 3: the TS buffer and the pools, then every main buffer lent to the video thread
// and one second-stream buffer to its path. Null, or the failure's message.
const char *allocate(WriterThreadParams *envp, EndPath &end, const Outputs &out)
{
    int count = Pipeline_bufferCount() == 3 ? 3 : 1; // low delay keeps one unit in flight
    int tsBytes = std::max(WRITER_TS_BUFFER_BYTES, TsMux_outputBound(envp->outBufSize));
    end.tsBuffer.reset(Buffer_create(tsBytes, &Buffer_Attrs_DEFAULT));
    end.mainTab.reset(BufTab_create(count, envp->outBufSize, &Buffer_Attrs_DEFAULT));
    if (out.second) {
        end.secondTab.reset(BufTab_create(count, envp->outBufSize, &Buffer_Attrs_DEFAULT));
    }
    if (end.tsBuffer == nullptr || end.mainTab == nullptr || (out.second && end.secondTab == nullptr)) {
        return "Error: Failed to allocate contiguous buffers\n";
    }
    for (int i = 0; i < count; i++) {
        if (Fifo_put(envp->hToVideoFifo, BufTab_getBuf(end.mainTab.get(), i)) < 0) {
            return "Error: Failed to send buffer to display thread\n";
        }
    }
    if (out.second && Fifo_put(envp->hToVideoFmlFifo, BufTab_getBuf(end.secondTab.get(), 0)) < 0) {
        return "Error: Failed to send buffer to display thread\n";
    }
    return nullptr;
}

// Step 7 of a unit: multiplexed, then out to UDP or the HTTP ring and to the recorder.
void multiplex(WriterThreadParams *envp, EndPath &end, Buffer_Handle hUnit, FrameTime t)
{
    TsMux_Params &p = envp->tsParams;
    p.data = Buffer_getUserPtr(hUnit);
    p.dataLength = Buffer_getNumBytesUsed(hUnit);
    p.streamType = TSMUX_STREAM_H264;
    p.seconds = t.seconds;
    p.microseconds = t.microseconds;
    p.output = Buffer_getUserPtr(end.tsBuffer.get());
    p.flags = TSMUX_FLAGS_VIDEO;
    p.outBytes = 0;
    TsOut_send(envp->tsOut, &p);
}

void sendToSlots(StreamSlots_Handle slots, Buffer_Handle hUnit, FrameTime t)
{
    StreamSlots_send(slots, reinterpret_cast<const uint8_t *>(Buffer_getUserPtr(hUnit)),
                     static_cast<int>(Buffer_getNumBytesUsed(hUnit)), t);
}

// Step 8 of a unit: RTMP or the RTSP hand-off FIFO gets the stream it was asked for. Each publisher
// takes a copy and sends it from its own thread.
void handOff(EndPath &end, const Outputs &out, const RtmpPublishers *rtmp, Buffer_Handle hMain, Buffer_Handle hSecond,
             FrameTime t)
{
    Buffer_Handle hUnit = out.secondToRtsp && hSecond != nullptr ? hSecond : hMain;
    int bytes = static_cast<int>(Buffer_getNumBytesUsed(hUnit));
    const auto *unit = reinterpret_cast<const uint8_t *>(Buffer_getUserPtr(hUnit));
    if (bytes <= 0) {
        return;
    }
    if (out.sw.rtmp) {
        RtmpPublishers_sendVideo(rtmp, unit, bytes, t);
    } else if (end.fifo != nullptr) {
        HandoffFifo_write(end.fifo.get(), unit, bytes, t);
    }
}

// One encoded unit through every output, in their order.
void serve(WriterThreadParams *envp, EndPath &end, const Outputs &out, Buffer_Handle hMain, Buffer_Handle hSecond,
           FrameTime t)
{
    if (Buffer_getNumBytesUsed(hMain) <= 0) {
        return;
    }
    sendToSlots(end.mainSlots.get(), hMain, t);
    if (hSecond != nullptr) {
        sendToSlots(end.secondSlots.get(), hSecond, t);
    }
    if (TsOut_wanted(envp->tsOut)) {
        multiplex(envp, end, out.secondToTs && hSecond != nullptr ? hSecond : hMain, t);
    }
    if (out.sw.rtsp) {
        handOff(end, out, &envp->rtmp, hMain, hSecond, t);
    }
}

void *loop(WriterThreadParams *envp, EndPath &end, const Outputs &out)
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
        if (out.second) {
            r = Fifo_get(envp->hFromVideoFmlFifo, &hSecond);
            if (r == Media_FLUSHED) {
                return THREAD_SUCCESS;
            }
            if (r < 0) {
                return fail("Error: fml_outfifo Failed to get buffer from video thread\n");
            }
        }
        serve(envp, end, out, hMain, hSecond, t);
        if (Fifo_put(envp->hToVideoFifo, hMain) < 0 ||
            (hSecond != nullptr && Fifo_put(envp->hToVideoFmlFifo, hSecond) < 0)) {
            return fail("Error: Failed to send buffer to display thread\n");
        }
    }
}

void *run(WriterThreadParams *envp, EndPath &end)
{
    Outputs out;
    out.sw = OutputSwitches_get();
    SecondStreamSettings second = SecondStream_get();
    out.second = second.enabled == 1;
    out.secondToTs = out.second && second.tsCarriesSecond == 1;
    out.secondToRtsp = out.second && second.rtspCarriesSecond == 1;

    bool tagged = out.sw.tcp != 0;
    end.mainSlots.reset(StreamSlots_start(&StreamSlots_videoMain, tagged));
    if (end.mainSlots != nullptr) {
        end.secondSlots.reset(StreamSlots_start(&StreamSlots_videoSecond, tagged));
    }
    if (end.mainSlots == nullptr || end.secondSlots == nullptr) {
        return fail("Error: Failed to open socket for writing\n");
    }
    if (const char *message = allocate(envp, end, out)) {
        return fail(message);
    }
    Rendezvous_meet(envp->hRendezvousInit);
    if (out.sw.rtsp && !out.sw.rtmp) {
        // Waits for the RTSP server to open its end; only a stop ends the wait early.
        end.fifo.reset(HandoffFifo_open(&HandoffFifo_video));
    }
    return loop(envp, end, out);
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
