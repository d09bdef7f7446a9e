// Capture adapter: picks the backend, settles standard and geometry, runs the second-picture maker on
// every delivered frame. The handle is used by the capture thread alone; CapBuf helpers also run in
// the no-signal thread, on buffers it holds.
#include "encode/device/capture.h"

#include "encode/core/second_stream.h"

#include "encode/core/shared_status.h"
#include "encode/device/capture_device.h"
#include "encode/media/media.h"
#include "encode/device/resizer.h"

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

const Capture_Attrs Capture_Attrs_DEFAULT = {
    3,                       // numBufs
    Capture_Input_COMPONENT, // videoInput
    -1, -1, -1, -1,          // no cropping
    "/dev/video0",
    VideoStd_720P_60,
    ColorSpace_YUV420PSEMI,
    nullptr,
    1,
    0, 0, // no second picture
};

struct Capture_Object {
    std::unique_ptr<CaptureDevice> device;
    Resizer_Handle resizer = nullptr;
    bool hardwareResizer = false;
    int std = 0;

    ~Capture_Object() { Resizer_delete(resizer); }
};

namespace {

// The backend ENCODE_VIDEO_SOURCE names; null (after a message) for a name it does not know.
std::unique_ptr<CaptureDevice> openDevice(const Capture_Attrs &attrs)
{
    const char *source = std::getenv("ENCODE_VIDEO_SOURCE");
    std::string s = source != nullptr ? source : "";
    if (s.empty() || s == "v4l2") {
        return CaptureV4l2_open(attrs.captureDevice != nullptr ? attrs.captureDevice : "/dev/video0");
    }
    if (s == "testsrc" || s.rfind("file:", 0) == 0) {
        return CaptureTestsrc_open(s);
    }
    Media_error("[Capture] Unknown video source %s (v4l2, testsrc or file:PATH)\n", s.c_str());
    return nullptr;
}

} // namespace

int Capture_detectVideoStd(Capture_Handle hCapture, VideoStd_Type *videoStdPtr, Capture_Attrs *attrs)
{
    MEDIA_ASSERT(videoStdPtr != nullptr);
    MEDIA_ASSERT(attrs != nullptr);
    std::unique_ptr<CaptureDevice> own;
    CaptureDevice *device = nullptr;
    if (hCapture != nullptr) {
        device = hCapture->device.get();
    } else {
        own = openDevice(*attrs);
        if (own == nullptr) {
            return Media_EFAIL;
        }
        device = own.get();
    }
    int std = 0;
    if (device->detect(*attrs, &std) < 0) {
        return Media_EFAIL;
    }
    *videoStdPtr = std;
    attrs->videoStd = std;
    return Media_EOK;
}

namespace {

// Step 2: the SoC resizer chain, where the board has one. The caller hands the second picture's size
// down with the pool it sized for it, so that the resizer never works from another reading of the
// settings than the buffers were made for. False after its messages.
bool setUpHardwareResizer(Capture_Object &cap, const Capture_Attrs &attrs, ResizerSettings &second)
{
    if (!attrs.onTheFly) {
        return true;
    }
    second.enabled = attrs.secondWidth > 0 && attrs.secondHeight > 0 ? 1 : 0;
    second.width = attrs.secondWidth;
    second.height = attrs.secondHeight;
    if (Resizer_hardwarePresent()) {
        cap.resizer = Resizer_createHardware(second, attrs.videoInput == Capture_Input_CAMERA);
        if (cap.resizer == nullptr) {
            Media_error("[Capture] Unable to configure Resizer\n");
            return false;
        }
        cap.hardwareResizer = true;
    }
    return true;
}

// Step 3: the device, and the standard it reports against the one asked for. False after its messages.
bool openAndDetect(Capture_Object &cap, const Capture_Attrs &attrs, CaptureSetup &setup)
{
    cap.device = openDevice(attrs);
    if (cap.device == nullptr) {
        return false;
    }
    int detected = 0;
    if (cap.device->detect(attrs, &detected) < 0) {
        return false;
    }
    if (detected != setup.std) {
        Media_warning("[Capture] New video standard detected.\n");
        if (setup.std == VideoStd_AUTO) {
            setup.std = detected;
        } else {
            Media_warning("[Capture] Forcing user specified video standard\n");
        }
    }
    return true;
}

// Step 4 and 5: the capture size and format. False after its messages.
bool chooseFormat(const Capture_Attrs &attrs, CaptureSetup &setup)
{
    int width = 0;
    int height = 0;
    if (attrs.captureDimension != nullptr) {
        width = attrs.captureDimension->width;
        height = attrs.captureDimension->height;
        Media_trace("[Capture] Capture dimention is set to %ldx%ld\n", static_cast<long>(width),
                    static_cast<long>(height));
    } else if (VideoStd_getResolution(setup.std, &width, &height) < 0) {
        return false;
    }
    if (CaptureFormat_fourcc(attrs.colorSpace) == 0) {
        Media_error("[Capture] Unsupported color format %g\n", static_cast<double>(attrs.colorSpace));
        return false;
    }
    int bpp = ColorSpace_getBpp(attrs.colorSpace);
    setup.width = width;
    setup.height = height;
    setup.colorSpace = attrs.colorSpace;
    setup.lineLength = attrs.captureDimension != nullptr && attrs.captureDimension->lineLength > 0
                           ? attrs.captureDimension->lineLength
                           : width * bpp / 8;
    int frameSize = ColorSpace_getFrameSize(attrs.colorSpace, setup.lineLength, height);
    if (frameSize < 0) {
        return false;
    }
    setup.frameSize = static_cast<size_t>(frameSize);
    setup.cropX = attrs.cropX;
    setup.cropY = attrs.cropY;
    setup.cropWidth = attrs.cropWidth;
    setup.cropHeight = attrs.cropHeight;
    return true;
}

// Without the SoC chain the second picture is made here, from the main picture, into pools that must
// have room for it. False after its messages.
bool setUpSoftwareResizer(Capture_Object &cap, BufTab_Handle hBufTab, const Capture_Attrs &attrs,
                          const ResizerSettings &second, const CaptureSetup &setup)
{
    if (!attrs.onTheFly || cap.hardwareResizer || second.enabled != 1) {
        return true;
    }
    bool failed = false;
    if (attrs.colorSpace != ColorSpace_YUV420PSEMI) {
        failed = true;
    } else {
        cap.resizer = Resizer_createSoftware(second, setup.width, setup.height, setup.lineLength, &failed);
    }
    size_t need = setup.frameSize + Resizer_secondSize(second);
    for (int i = 0; !failed && i < BufTab_getNumBufs(hBufTab); i++) {
        if (static_cast<size_t>(Buffer_getSize(BufTab_getBuf(hBufTab, i))) < need) {
            Media_error("[Resize] Buffers of %d bytes have no room for the second picture (%zu needed)\n",
                        Buffer_getSize(BufTab_getBuf(hBufTab, i)), need);
            failed = true;
        }
    }
    if (failed) {
        Media_error("[Capture] Unable to configure Resizer\n");
        return false;
    }
    return true;
}

} // namespace

Capture_Handle Capture_create(BufTab_Handle hBufTab, Capture_Attrs *attrs)
{
    MEDIA_ASSERT(hBufTab != nullptr);
    MEDIA_ASSERT(attrs != nullptr);
    auto cap = std::unique_ptr<Capture_Object>(new (std::nothrow) Capture_Object);
    if (cap == nullptr) {
        Media_error("[Capture] Failed to allocate space for Capture Object\n");
        return nullptr;
    }

    CaptureSetup setup{};
    setup.input = attrs->videoInput;
    setup.std = attrs->videoStd;
    // Step 1: the half-rate standard is 720P 60 captured at 30 frames a second.
    if (setup.std == VideoStd_720P_30 && attrs->videoInput != Capture_Input_CAMERA) {
        setup.std = VideoStd_720P_60;
        setup.halfRate = true;
    }

    ResizerSettings second;
    if (!setUpHardwareResizer(*cap, *attrs, second) || !openAndDetect(*cap, *attrs, setup) ||
        !chooseFormat(*attrs, setup) || !setUpSoftwareResizer(*cap, hBufTab, *attrs, second, setup)) {
        return nullptr;
    }
    if (cap->device->start(hBufTab, setup) < 0) {
        return nullptr;
    }
    cap->std = setup.std;
    return cap.release();
}

int Capture_get(Capture_Handle hCapture, Buffer_Handle *hBufPtr)
{
    MEDIA_ASSERT(hCapture != nullptr);
    MEDIA_ASSERT(hBufPtr != nullptr);
    int r = hCapture->device->get(hBufPtr);
    if (r != 0) {
        return r;
    }
    if (hCapture->resizer != nullptr && !hCapture->hardwareResizer) {
        if (Resizer_process(hCapture->resizer, Buffer_getUserPtr(*hBufPtr),
                            static_cast<size_t>(Buffer_getSize(*hBufPtr))) < 0) {
            Media_error("[Resize] Buffer too small for the second picture\n");
            return Media_EFAIL;
        }
    }
    return Media_EOK;
}

uint64_t Capture_dropped(Capture_Handle hCapture)
{
    MEDIA_ASSERT(hCapture != nullptr);
    return hCapture->device->dropped();
}

int Capture_put(Capture_Handle hCapture, Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hCapture != nullptr);
    MEDIA_ASSERT(hBuf != nullptr);
    return hCapture->device->put(hBuf);
}

int Capture_delete(Capture_Handle hCapture)
{
    delete hCapture;
    return Media_EOK;
}

VideoStd_Type Capture_getVideoStd(Capture_Handle hCapture)
{
    MEDIA_ASSERT(hCapture != nullptr);
    return hCapture->std;
}

CapPicture CapBuf_picture(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(hBuf != nullptr);
    CapPicture pic{};
    pic.data = Buffer_getUserPtr(hBuf);
    pic.size = static_cast<size_t>(Buffer_getSize(hBuf));
    if (Buffer_getType(hBuf) != Buffer_Type_GRAPHICS) {
        pic.colorSpace = -1;
        return pic;
    }
    BufferGfx_Dimensions dim{};
    BufferGfx_getDimensions(hBuf, &dim);
    pic.width = dim.width;
    pic.height = dim.height;
    pic.lineLength = dim.lineLength;
    pic.colorSpace = BufferGfx_getColorSpace(hBuf);
    return pic;
}

int CapBuf_blackFill(Buffer_Handle hBuf)
{
    Buffer_markAltered(hBuf);
    return CapPicture_blackFill(CapBuf_picture(hBuf));
}

int CapBuf_drawTestBars(Buffer_Handle hBuf)
{
    Buffer_markAltered(hBuf);
    return CapPicture_drawTestBars(CapBuf_picture(hBuf));
}
