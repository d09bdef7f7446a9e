// The two capture backends behind the adapter (capture.h): the V4L2 device and the virtual device.
// Only the adapter and the backends include this.
#pragma once

#include "encode/device/capture.h"
#include "encode/media/buftab.h"

#include <atomic>
#include <memory>
#include <string>

// How the adapter has settled the capture before the device starts streaming.
struct CaptureSetup {
    int std;        // standard the device runs (after the half-rate rule)
    bool halfRate;  // 720P 60 captured at 30 frames per second
    int input;      // Capture_Input_*
    int width;      // picture the pool buffers hold
    int height;
    int lineLength;
    int colorSpace;
    size_t frameSize; // bytes of the main picture
    long cropX, cropY, cropWidth, cropHeight;
};

class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;
    // Selects the input and reports the standard the device sees. 0 or -1 after the message.
    virtual int detect(const Capture_Attrs &attrs, int *std) = 0;
    // Sets the format, queues every buffer of the pool and starts streaming. 0 or -1.
    virtual int start(BufTab_Handle pool, const CaptureSetup &setup) = 0;
    // As Capture_get / Capture_put, without the second picture.
    virtual int get(Buffer_Handle *hBuf) = 0;
    virtual int put(Buffer_Handle hBuf) = 0;

    // Frames the device dropped because the pipeline had no buffer for them in time. Any thread.
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

protected:
    void addDropped(uint64_t frames) { dropped_.fetch_add(frames, std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> dropped_{0};
};

// Opens the device node (a system path, rooted here). Null after "[Capture] Cannot open %s (%s)\n".
std::unique_ptr<CaptureDevice> CaptureV4l2_open(const std::string &device);
// The virtual device: "testsrc" or "file:PATH". Null after its message.
std::unique_ptr<CaptureDevice> CaptureTestsrc_open(const std::string &source);

