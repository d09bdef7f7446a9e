// Venc1: the store settings become the H.264 records, and captured buffers become encoder inputs
// without a copy. Used by the video thread alone; the store is read only while an encoder is created.
#include "encode/codec/venc1.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>

#include "encode/core/config_store.h"
#include "encode/media/second_picture.h"
#include "encode/media/media.h"

namespace {

constexpr int kRateControlUserDefined = 5;
constexpr int kDefaultMaxDelayMs = 1000;

// The levels the store may name (9 is level 1b); anything else up to 51 is no H.264 level.
constexpr int kLevels[] = {9, 10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51};

// What the encoder's create takes from the store.
struct StoreSetup {
    H264Enc_Params params;
    H264Enc_DynParams dyn;
    bool roi = false;
    H264Enc_Region region{};
};

bool inRange(int v, int low, int high)
{
    return v >= low && v <= high;
}

// The store's quality choice (0 high quality, 1 high speed) in the encoder's terms.
int encQualityOf(int storeValue)
{
    static constexpr int kMap[] = {H264Enc_QUALITY_HIGH, H264Enc_QUALITY_SPEED, 0, 1};
    return inRange(storeValue, 0, 3) ? kMap[storeValue] : H264Enc_QUALITY_HIGH;
}

// A level from the store: below 1 is level 4.0; above 51 or not a level leaves the encoder's choice.
int levelOf(int value)
{
    if (value < 1) {
        return 40;
    }
    if (value > 51) {
        return H264Enc_LEVEL_AUTO;
    }
    if (std::find(std::begin(kLevels), std::end(kLevels), value) == std::end(kLevels)) {
        Media_warning("[Venc1] Level %d is no H.264 level, the encoder chooses one\n", value);
        return H264Enc_LEVEL_AUTO;
    }
    return value;
}

// /mnt/cvbr.ini, each field checked on its own. A missing file gives the defaults; a file that holds
// fewer fields leaves the others at 0, which the range checks then replace.
void readRateControl(H264Enc_DynParams &dyn)
{
    int f[6] = {0, 0, 0, 0, 0, 0};
    if (Config_readRecord("/mnt/cvbr.ini", f, kRecordLimitSecondStream) == Config_ENOFILE) {
        const int defaults[6] = {1, 28, 45, 0, 42, 0};
        std::copy(std::begin(defaults), std::end(defaults), f);
    }
    dyn.rcAlgo = inRange(f[0], 1, 6) ? f[0] : H264Enc_RC_VBR;
    dyn.initQ = inRange(f[1], 1, 51) ? f[1] : 28;
    dyn.rcQMax = inRange(f[2], 1, 51) ? f[2] : 45;
    dyn.rcQMin = inRange(f[3], 1, 51) ? f[3] : 0;
    dyn.rcQMaxI = inRange(f[4], 1, 51) ? f[4] : 45;
    dyn.rcQMinI = inRange(f[5], 1, 51) ? f[5] : 0;
    if (dyn.rcQMin > dyn.rcQMax) {
        dyn.rcQMin = 0;
    }
    if (dyn.rcQMinI > dyn.rcQMaxI) {
        dyn.rcQMinI = 0;
    }
}

// The region of interest of /mnt/m.ini (fields 6 to 10), on 16-pixel steps and inside the picture.
// False when it is off or holds no macroblock.
bool readRegion(int width, int height, H264Enc_Region &region)
{
    int m[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (Config_readRecord("/mnt/m.ini", m, kRecordLimitMask) < 6 || m[5] != 1) {
        return false;
    }
    std::printf("gx_c=%d,%d,%d,%d,%d\n", m[5], m[6], m[7], m[8], m[9]);
    std::fflush(stdout);
    auto down16 = [](int v) { return v < 0 ? 0 : v / 16 * 16; };
    int64_t x = down16(m[6]);
    int64_t y = down16(m[7]);
    int64_t right = std::min<int64_t>(x + down16(m[8]), width);
    int64_t bottom = std::min<int64_t>(y + down16(m[9]), height);
    if (right <= x || bottom <= y) {
        return false;
    }
    region = {static_cast<int>(x), static_cast<int>(y), static_cast<int>(right), static_cast<int>(bottom),
              H264Enc_REGION_INTEREST, 0};
    return true;
}

// Both streams start from the caller's standard records with the encoder's H.264 defaults.
StoreSetup baseSetup(const VideoEnc_Params &params, const VideoEnc_DynParams &dynParams)
{
    StoreSetup s{};
    s.params.videoParams = params;
    s.params.videoParams.size = sizeof(H264Enc_Params);
    s.params.videoParams.rateControlPreset = kRateControlUserDefined;
    s.params.profileIdc = H264Enc_PROFILE_HIGH;
    s.params.levelIdc = H264Enc_LEVEL_AUTO;
    s.params.encQuality = H264Enc_QUALITY_HIGH;
    s.params.transform8x8 = 1;
    s.params.sliceMode = H264Enc_SLICEMODE_NONE;
    s.params.sliceFormat = H264Enc_SLICEFORMAT_ANNEXB;
    s.params.outputDataMode = H264Enc_OUTPUT_ACCESSUNIT;
    s.dyn.videoDynParams = dynParams;
    s.dyn.videoDynParams.size = sizeof(H264Enc_DynParams);
    s.dyn.maxDelay = kDefaultMaxDelayMs;
    readRateControl(s.dyn);
    return s;
}

StoreSetup mainSetup(const VideoEnc_Params &params, const VideoEnc_DynParams &dynParams)
{
    StoreSetup s = baseSetup(params, dynParams);
    FlagRead profile = Config_readFlag("/mnt/kavex_encProfileIdc.ini");
    bool read = profile.state == FileState::Read;
    s.params.profileIdc = read && profile.first == '1'   ? H264Enc_PROFILE_MAIN
                          : read && profile.first == '2' ? H264Enc_PROFILE_BASELINE
                                                         : H264Enc_PROFILE_HIGH;

    int slice[2] = {0, 1};
    Config_readRecord("/mnt/kavex_slice.ini", slice, kRecordLimitSecondStream);
    int sliceSize = inRange(slice[0], 0, 1920) ? slice[0] : 0;
    int highOption = inRange(slice[1], 0, 1) ? slice[1] : 1;
    if (s.params.profileIdc == H264Enc_PROFILE_HIGH) {
        std::printf("+++++++++++%d\n", highOption);
        std::fflush(stdout);
        s.params.transform8x8 = highOption;
    } else {
        s.params.transform8x8 = 0;
    }

    s.params.levelIdc = levelOf(Config_readEncLevel());
    s.params.encQuality = encQualityOf(Config_readFlag("/mnt/kavex_encQuality.ini").on() ? 1 : 0);
    int maxHeight = params.maxHeight;
    if (sliceSize > 0 && sliceSize < maxHeight) {
        s.params.sliceMode = H264Enc_SLICEMODE_ROWS;
        s.dyn.sliceSize = maxHeight / 16;
    }
    s.dyn.maxDelay = Config_readMaxDelayMs();
    s.roi = readRegion(dynParams.inputWidth, dynParams.inputHeight, s.region);
    s.dyn.roiEnable = s.roi ? 1 : 0;

    Media_trace("[Venc1] +++++sliceSize=%d\n", s.dyn.sliceSize);
    Media_trace("[Venc1] +++++rcAlgo=%d\n", s.dyn.rcAlgo);
    Media_trace("[Venc1] +++++rcQMax=%d\n", s.dyn.rcQMax);
    Media_trace("[Venc1] +++++rcQMin=%d\n", s.dyn.rcQMin);
    Media_trace("[Venc1] +++++initQ=%d\n", s.dyn.initQ);
    Media_trace("[Venc1] +++++maxdelay=%d\n", s.dyn.maxDelay);
    Media_trace("[Venc1] +++++roi=%d\n", s.dyn.roiEnable);
    return s;
}

// /mnt/kavex_rs.ini: enabled, width, height, bit rate, frame rate, intra and IDR interval (these
// reach the encoder through the caller's records), then delay, profile, quality and level.
StoreSetup fmlSetup(const VideoEnc_Params &params, const VideoEnc_DynParams &dynParams)
{
    StoreSetup s = baseSetup(params, dynParams);
    int rs[11] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Config_readRecord("/mnt/kavex_rs.ini", rs, kRecordLimitSecondStream);
    // No delay (a missing or short record) would leave the rate control without a buffer.
    s.dyn.maxDelay = rs[7] > 0 ? std::min(rs[7], std::numeric_limits<int>::max() / 100) * 100 : kDefaultMaxDelayMs;
    s.params.profileIdc = rs[8] == 1   ? H264Enc_PROFILE_MAIN
                          : rs[8] == 2 ? H264Enc_PROFILE_BASELINE
                                       : H264Enc_PROFILE_HIGH;
    if (s.params.profileIdc != H264Enc_PROFILE_HIGH) {
        s.params.transform8x8 = 0;
    }
    s.params.encQuality = encQualityOf(rs[9]);
    s.params.levelIdc = levelOf(rs[10]);

    Media_trace("[Venc1] +++++ROI=%d\n", s.dyn.roiEnable);
    Media_trace("[Venc1] +++++sliceFormat=%d\n", s.params.sliceFormat);
    Media_trace("[Venc1] +++++sliceMode=%d\n", s.params.sliceMode);
    Media_trace("[Venc1] +++++outputDataMode=%d\n", s.params.outputDataMode);
    Media_trace("[Venc1] +++++encQuality=%d\n", s.params.encQuality);
    Media_trace("[Venc1] +++++profileidc=%d\n", s.params.profileIdc);
    Media_trace("[Venc1] +++++level=%d\n", s.params.levelIdc);
    return s;
}

} // namespace

struct Venc1_Object {
    VideoEnc_Handle codec = nullptr;
    VideoEnc_BufInfo bufInfo{};
    bool roi = false;
    H264Enc_Region region{};

    ~Venc1_Object() { VideoEnc_delete(codec); }
};

namespace {

Venc1_Handle createEncoder(Engine_Handle hEngine, const char *codecName, const VideoEnc_Params *params,
                           const VideoEnc_DynParams *dynParams, bool second)
{
    if (hEngine == nullptr || codecName == nullptr || params == nullptr || dynParams == nullptr) {
        Media_error("[Venc1] Cannot pass null for engine, codec name, params or dynamic params\n");
        return nullptr;
    }
    std::unique_ptr<Venc1_Object> ve(new (std::nothrow) Venc1_Object);
    if (ve == nullptr) {
        Media_error("[Venc1] Failed to allocate space for Venc1 Object\n");
        return nullptr;
    }
    Media_trace("[Venc1] Creating encoder %s for max %dx%d bitrate %d ratectrl %d\n", codecName, params->maxWidth,
                params->maxHeight, params->maxBitRate, params->rateControlPreset);
    StoreSetup setup = second ? fmlSetup(*params, *dynParams) : mainSetup(*params, *dynParams);

    int error = 0;
    ve->codec = VideoEnc_create(hEngine, codecName, &setup.params.videoParams, &error);
    if (ve->codec == nullptr) {
        Media_error("[Venc1] Failed to open video encode algorithm: %s (0x%x)\n", codecName,
                    static_cast<unsigned>(error));
        return nullptr;
    }
    VideoEnc_Status status{};
    status.size = sizeof status;
    int r = VideoEnc_control(ve->codec, VideoEnc_SETPARAMS, &setup.dyn.videoDynParams, &status);
    if (r != Media_EOK) {
        Media_error("[Venc1] SETPARAMS failed, status=%d\n", r);
        return nullptr;
    }
    Media_trace("[Venc1] Made SETPARAMS control call\n");
    if (VideoEnc_control(ve->codec, VideoEnc_GETBUFINFO, nullptr, &status) != Media_EOK) {
        Media_error("[Venc1] GETBUFINFO control failed\n");
        return nullptr;
    }
    ve->bufInfo = status.bufInfo;
    ve->roi = setup.roi;
    ve->region = setup.region;
    return ve.release();
}

// Hands the picture to the encoder, the access unit to hOutBuf and the picture type to hInBuf.
int encode(Venc1_Handle hVe, const VideoEnc_InPicture &picture, Buffer_Handle hInBuf, Buffer_Handle hOutBuf)
{
    H264Enc_InArgs inArgs{};
    inArgs.videoInArgs.size = hVe->roi ? sizeof(H264Enc_InArgs) : sizeof(VideoEnc_InArgs);
    inArgs.videoInArgs.inputID = Buffer_getId(hInBuf) + 1;
    if (hVe->roi) {
        inArgs.numRegions = 1;
        inArgs.region = hVe->region;
    }
    VideoEnc_OutBuf out{Buffer_getUserPtr(hOutBuf), Buffer_getSize(hOutBuf)};
    VideoEnc_OutArgs outArgs{};
    outArgs.size = sizeof outArgs;
    Buffer_setNumBytesUsed(hOutBuf, 0);
    int r = VideoEnc_process(hVe->codec, &picture, &out, &inArgs.videoInArgs, &outArgs);
    if (r != Media_EOK) {
        Media_error("[Venc1] encoder process() failed with error (%d ext: 0x%x)\n", r,
                    static_cast<unsigned>(outArgs.extendedError));
        return Media_EFAIL;
    }
    Buffer_setNumBytesUsed(hOutBuf, outArgs.bytesGenerated);
    if (outArgs.encodedFrameType != VideoEnc_FRAME_AUTO) {
        BufferGfx_setFrameType(hInBuf, outArgs.encodedFrameType);
    }
    Media_trace("[Venc1] encoder process() ret %d inId %d outID %d generated %d bytes\n", r,
                inArgs.videoInArgs.inputID, outArgs.outputID, outArgs.bytesGenerated);
    return Media_EOK;
}

// The input buffer's memory, or null after its message when it cannot hold a picture.
uint8_t *pictureMemory(Buffer_Handle hBuf)
{
    MEDIA_ASSERT(Buffer_getType(hBuf) == Buffer_Type_GRAPHICS);
    if (BufferGfx_getColorSpace(hBuf) != ColorSpace_YUV420PSEMI) {
        Media_error("[Venc1] Unsupported color format of input buffer\n");
        return nullptr;
    }
    if (Buffer_getUserPtr(hBuf) == nullptr || Buffer_getSize(hBuf) <= 0) {
        Media_error("[Venc1] Input buffer has no memory\n");
        return nullptr;
    }
    return Buffer_getUserPtr(hBuf);
}

} // namespace

Venc1_Handle Venc1_create(Engine_Handle hEngine, const char *codecName, const VideoEnc_Params *params,
                          const VideoEnc_DynParams *dynParams)
{
    return createEncoder(hEngine, codecName, params, dynParams, false);
}

Venc1_Handle Venc1_createFml(Engine_Handle hEngine, const char *codecName, const VideoEnc_Params *params,
                             const VideoEnc_DynParams *dynParams)
{
    return createEncoder(hEngine, codecName, params, dynParams, true);
}

int Venc1_process(Venc1_Handle hVe, Buffer_Handle hInBuf, Buffer_Handle hOutBuf)
{
    MEDIA_ASSERT(hVe != nullptr);
    MEDIA_ASSERT(hInBuf != nullptr);
    MEDIA_ASSERT(hOutBuf != nullptr);
    uint8_t *base = pictureMemory(hInBuf);
    if (base == nullptr) {
        return Media_EINVAL;
    }
    BufferGfx_Dimensions dim{};
    BufferGfx_getDimensions(hInBuf, &dim);
    int width = 0;
    int height = 0;
    VideoEnc_getInputSize(hVe->codec, &width, &height);
    // The caller may round the height up to whole macroblock rows; the chroma plane still starts right
    // behind the real picture's luma.
    int64_t size = Buffer_getSize(hInBuf);
    int64_t luma = static_cast<int64_t>(dim.y) * dim.lineLength + dim.x;
    int64_t chroma = luma + static_cast<int64_t>(dim.lineLength) * height;
    if (dim.x < 0 || dim.y < 0 || dim.lineLength <= 0 || luma >= size || chroma >= size) {
        Media_error("[Venc1] Input picture lies outside its buffer\n");
        return Media_EINVAL;
    }
    VideoEnc_InPicture picture{};
    picture.planes[0] = base + luma;
    picture.planes[1] = base + chroma;
    picture.planeSizes[0] = static_cast<int>(size - luma);
    picture.planeSizes[1] = static_cast<int>(size - chroma);
    picture.lineLength = dim.lineLength;
    picture.width = dim.width;
    picture.height = dim.height;
    return encode(hVe, picture, hInBuf, hOutBuf);
}

int Venc1_process_fml(Venc1_Handle hVe, Buffer_Handle hCaptured, Buffer_Handle hOutBuf)
{
    MEDIA_ASSERT(hVe != nullptr);
    MEDIA_ASSERT(hCaptured != nullptr);
    MEDIA_ASSERT(hOutBuf != nullptr);
    uint8_t *base = pictureMemory(hCaptured);
    if (base == nullptr) {
        return Media_EINVAL;
    }
    // The capture laid the second picture behind the main picture of the allocation, whatever
    // dimensions the buffer carries at the moment.
    BufferGfx_Attrs attrs = BufferGfx_Attrs_DEFAULT;
    Buffer_getAttrs(hCaptured, &attrs.bAttrs);
    SecondPictureGeometry g = SecondPicture_geometry(attrs.dim.lineLength, attrs.dim.height);
    if (!g.present) {
        Media_error("[Venc1] No second picture behind the main picture\n");
        return Media_EINVAL;
    }
    if (g.offset + g.lumaSize + g.chromaSize > static_cast<size_t>(Buffer_getSize(hCaptured))) {
        Media_error("[Venc1] Input picture lies outside its buffer\n");
        return Media_EINVAL;
    }
    VideoEnc_InPicture picture{};
    picture.planes[0] = base + g.offset;
    picture.planes[1] = base + g.offset + g.lumaSize;
    picture.planeSizes[0] = static_cast<int>(g.lumaSize);
    picture.planeSizes[1] = static_cast<int>(g.chromaSize);
    picture.lineLength = g.lineLength;
    picture.width = g.width;
    picture.height = g.height;
    return encode(hVe, picture, hCaptured, hOutBuf);
}

int Venc1_flush(Venc1_Handle hVe)
{
    MEDIA_ASSERT(hVe != nullptr);
    VideoEnc_Status status{};
    status.size = sizeof status;
    if (VideoEnc_control(hVe->codec, VideoEnc_FLUSH, nullptr, &status) != Media_EOK) {
        Media_error("[Venc1] FLUSH control failed\n");
        return Media_EFAIL;
    }
    return Media_EOK;
}

int Venc1_getInBufSize(Venc1_Handle hVe)
{
    MEDIA_ASSERT(hVe != nullptr);
    return hVe->bufInfo.minInBufSize[0] + hVe->bufInfo.minInBufSize[1];
}

int Venc1_getOutBufSize(Venc1_Handle hVe)
{
    MEDIA_ASSERT(hVe != nullptr);
    return hVe->bufInfo.minOutBufSize;
}

VideoEnc_Handle Venc1_getCodecHandle(Venc1_Handle hVe)
{
    MEDIA_ASSERT(hVe != nullptr);
    return hVe->codec;
}

int Venc1_delete(Venc1_Handle hVe)
{
    delete hVe;
    return Media_EOK;
}
