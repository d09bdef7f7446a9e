// Buffers, pools, the colour-space and video-standard tables, null-handle assertions and the trace
// level's gating of messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

#include "encode/media/buffer.h"
#include "encode/media/buftab.h"
#include "encode/media/colorspace.h"
#include "encode/media/contig.h"
#include "encode/media/fifo.h"
#include "encode/media/media.h"
#include "encode/media/pause.h"
#include "encode/media/rendezvous.h"
#include "encode/media/videostd.h"

namespace {
// Every test starts at the default level and with no injected allocation failure.
class Media : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("MEDIA_DEBUG");
        Media_init();
        Contig_failAfter(0);
        blocksBefore_ = Contig_getNumBlocks();
    }
    void TearDown() override
    {
        Contig_failAfter(0);
        EXPECT_EQ(Contig_getNumBlocks(), blocksBefore_) << "contiguous memory left behind";
        unsetenv("MEDIA_DEBUG");
        Media_init();
    }
    int blocksBefore_ = 0;
};

BufferGfx_Attrs gfxAttrs(int width, int height)
{
    BufferGfx_Attrs attrs = BufferGfx_Attrs_DEFAULT;
    attrs.dim = {16, 8, width, height, width};
    return attrs;
}
} // namespace

using BufferTest = Media;
using BufTabTest = Media;
using TablesTest = Media;
using TraceTest = Media;

TEST_F(BufferTest, BasicBufferOwnsPageAlignedMemory)
{
    Buffer_Handle buf = Buffer_create(1000, &Buffer_Attrs_DEFAULT);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(Buffer_getType(buf), Buffer_Type_BASIC);
    EXPECT_EQ(Buffer_getSize(buf), 1000);
    ASSERT_NE(Buffer_getUserPtr(buf), nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Buffer_getUserPtr(buf)) % sysconf(_SC_PAGESIZE), 0u);
    EXPECT_EQ(Buffer_getPhysicalPtr(buf), reinterpret_cast<uintptr_t>(Buffer_getUserPtr(buf)));
    std::memset(Buffer_getUserPtr(buf), 0x5a, 1000); // the whole size is usable
    EXPECT_EQ(Buffer_getUseMask(buf), 0);
    EXPECT_EQ(Buffer_getId(buf), 0);
    EXPECT_EQ(Buffer_getBufTab(buf), nullptr);
    EXPECT_FALSE(Buffer_isReference(buf));
    Buffer_setNumBytesUsed(buf, 321);
    EXPECT_EQ(Buffer_getNumBytesUsed(buf), 321);
    // Owned memory cannot be swapped for another address.
    uint8_t other[16];
    testing::internal::CaptureStderr();
    EXPECT_EQ(Buffer_setUserPtr(buf, other), -5);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(Buffer_delete(buf), 0);
    EXPECT_EQ(Buffer_delete(nullptr), 0);
}

TEST_F(BufferTest, LargerAlignmentIsHonouredAndBadAlignmentRefused)
{
    Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
    attrs.memParams.align = 1 << 16;
    Buffer_Handle buf = Buffer_create(100, &attrs);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Buffer_getUserPtr(buf)) % (1 << 16), 0u);
    EXPECT_EQ(Buffer_delete(buf), 0);

    attrs.memParams.align = 48;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Buffer_create(100, &attrs), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to allocate memory.\n");
}

namespace {
// The huge pages of the mapping that holds addr, in kB (its AnonHugePages in smaps), or -1.
long hugeKbOfMappingAt(const void *addr)
{
    std::ifstream smaps("/proc/self/smaps");
    auto at = reinterpret_cast<uintptr_t>(addr);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) {
            inside = from <= at && at < to; // a mapping's first line; its fields follow
        } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
            return std::atol(line.c_str() + std::strlen("AnonHugePages:"));
        }
    }
    return -1;
}
} // namespace

// A capture buffer's worth of memory (a 1080p frame and its second picture) is on huge pages where
// the kernel offers them: its readers then walk few pages, as on the board's contiguous memory.
TEST_F(BufferTest, FrameSizedMemorySitsOnHugePagesWhereTheKernelHasThem)
{
    std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(thp, modes);
    if (modes.empty() || modes.find("[never]") != std::string::npos) {
        GTEST_SKIP() << "no transparent huge pages here";
    }
    const int frame = 1920 * 1080 * 3 / 2 + 640 * 480 * 3 / 2;
    Buffer_Handle buf = Buffer_create(frame, &Buffer_Attrs_DEFAULT);
    ASSERT_NE(buf, nullptr);
    std::memset(Buffer_getUserPtr(buf), 0x10, frame);
    EXPECT_GE(hugeKbOfMappingAt(Buffer_getUserPtr(buf)), 2048) << "THP modes: " << modes;
    EXPECT_EQ(Buffer_delete(buf), 0);
}

TEST_F(BufferTest, VirtualSizeReportedWhenSet)
{
    Buffer_Handle buf = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(Buffer_setVirtualSize(buf, 1024), 0);
    EXPECT_EQ(Buffer_getSize(buf), 1024);
    EXPECT_EQ(Buffer_setVirtualSize(buf, 4097), -5); // past the allocation
    EXPECT_EQ(Buffer_setVirtualSize(buf, -1), -5);
    EXPECT_EQ(Buffer_getSize(buf), 1024);
    EXPECT_EQ(Buffer_setVirtualSize(buf, 0), 0);
    EXPECT_EQ(Buffer_getSize(buf), 4096);
    EXPECT_EQ(Buffer_delete(buf), 0);
}

TEST_F(BufferTest, UseMaskSetFreeAndReset)
{
    Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
    attrs.defaultUseMask = 0x3;
    Buffer_Handle buf = Buffer_create(64, &attrs);
    ASSERT_NE(buf, nullptr);
    Buffer_resetUseMask(buf);
    EXPECT_EQ(Buffer_getUseMask(buf), 0x3);
    Buffer_freeUseMask(buf, 0x1);
    EXPECT_EQ(Buffer_getUseMask(buf), 0x2);
    Buffer_setUseMask(buf, 0x10000);
    EXPECT_EQ(Buffer_getUseMask(buf), 0x10000);
    EXPECT_EQ(Buffer_delete(buf), 0);
}

TEST_F(BufferTest, ReferenceBufferBorrowsMemory)
{
    Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
    attrs.reference = 1;
    int before = Contig_getNumBlocks();
    Buffer_Handle ref = Buffer_create(256, &attrs);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(Contig_getNumBlocks(), before); // nothing allocated
    EXPECT_TRUE(Buffer_isReference(ref));
    EXPECT_EQ(Buffer_getUserPtr(ref), nullptr);
    EXPECT_EQ(Buffer_getPhysicalPtr(ref), 0u);

    Buffer_Handle owner = Buffer_create(1024, &Buffer_Attrs_DEFAULT);
    ASSERT_NE(owner, nullptr);
    uint8_t *inside = Buffer_getUserPtr(owner) + 512;
    EXPECT_EQ(Buffer_setUserPtr(ref, inside), 0);
    EXPECT_EQ(Buffer_getUserPtr(ref), inside);
    EXPECT_EQ(Buffer_getPhysicalPtr(ref), Buffer_getPhysicalPtr(owner) + 512);
    EXPECT_EQ(Buffer_setUserPtr(ref, nullptr), 0);
    EXPECT_EQ(Buffer_getPhysicalPtr(ref), 0u);
    EXPECT_EQ(Buffer_setUserPtr(ref, inside), 0);
    // Deleting the reference leaves the owner's memory alone.
    EXPECT_EQ(Buffer_delete(ref), 0);
    EXPECT_EQ(Buffer_delete(owner), 0);
}

TEST_F(BufferTest, GraphicsBufferGeometry)
{
    BufferGfx_Attrs attrs = gfxAttrs(1280, 720);
    attrs.colorSpace = ColorSpace_YUV420PSEMI;
    Buffer_Handle buf = Buffer_create(1280 * 720 * 3 / 2, reinterpret_cast<Buffer_Attrs *>(&attrs));
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(Buffer_getType(buf), Buffer_Type_GRAPHICS);
    EXPECT_EQ(BufferGfx_getFrameDone(buf), 1);
    EXPECT_EQ(BufferGfx_getColorSpace(buf), ColorSpace_YUV420PSEMI);

    // The allocation's geometry, with x and y forced to 0.
    BufferGfx_Dimensions dim{};
    EXPECT_EQ(BufferGfx_getDimensions(buf, &dim), 0);
    EXPECT_EQ(dim.x, 0);
    EXPECT_EQ(dim.y, 0);
    EXPECT_EQ(dim.width, 1280);
    EXPECT_EQ(dim.height, 720);
    EXPECT_EQ(dim.lineLength, 1280);

    // Current dimensions apply while any of width, height, lineLength is set.
    BufferGfx_Dimensions second = {0, 720, 640, 480, 640};
    EXPECT_EQ(BufferGfx_setDimensions(buf, &second), 0);
    EXPECT_EQ(BufferGfx_getDimensions(buf, &dim), 0);
    EXPECT_EQ(dim.y, 720);
    EXPECT_EQ(dim.width, 640);
    BufferGfx_Dimensions onlyLine = {0, 0, 0, 0, 2048};
    EXPECT_EQ(BufferGfx_setDimensions(buf, &onlyLine), 0);
    EXPECT_EQ(BufferGfx_getDimensions(buf, &dim), 0);
    EXPECT_EQ(dim.lineLength, 2048);
    EXPECT_EQ(dim.width, 0);
    BufferGfx_resetDimensions(buf);
    EXPECT_EQ(BufferGfx_getDimensions(buf, &dim), 0);
    EXPECT_EQ(dim.width, 1280);
    EXPECT_EQ(BufferGfx_getDimensions(buf, nullptr), -5);

    BufferGfx_setFrameType(buf, 3);
    EXPECT_EQ(BufferGfx_getFrameType(buf), 3);

    BufferGfx_Attrs back{};
    EXPECT_EQ(Buffer_getAttrs(buf, reinterpret_cast<Buffer_Attrs *>(&back)), 0);
    EXPECT_EQ(back.bAttrs.type, Buffer_Type_GRAPHICS);
    EXPECT_EQ(back.bAttrs.memParams.type, Buffer_Memory_CONTIG);
    EXPECT_EQ(back.bAttrs.memParams.flags, Buffer_Memory_CACHED);
    EXPECT_EQ(back.bAttrs.memParams.align, Buffer_Memory_DEFAULTALIGN);
    EXPECT_EQ(back.bAttrs.defaultUseMask, 1);
    EXPECT_EQ(back.colorSpace, ColorSpace_YUV420PSEMI);
    EXPECT_EQ(back.dim.width, 1280);
    EXPECT_EQ(back.dim.height, 720);
    EXPECT_EQ(Buffer_getAttrs(buf, nullptr), -5);
    EXPECT_EQ(Buffer_delete(buf), 0);
}

TEST_F(BufferTest, CreateFailuresPrintAndReturnNull)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(Buffer_create(16, nullptr), nullptr);
    Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
    attrs.type = static_cast<Buffer_Type>(7);
    EXPECT_EQ(Buffer_create(16, &attrs), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Buffer] Must provide attrs\n[Buffer] Unknown Buffer type (7)\n");

    // Memory that cannot be had: the console line, the object freed.
    Contig_failAfter(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Buffer_create(16, &Buffer_Attrs_DEFAULT), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to allocate memory.\n");
}

TEST_F(BufTabTest, PoolBuffersCarryIdsAndOwner)
{
    BufferGfx_Attrs attrs = gfxAttrs(720, 576);
    BufTab_Handle tab = BufTab_create(3, 720 * 576 * 3 / 2, reinterpret_cast<Buffer_Attrs *>(&attrs));
    ASSERT_NE(tab, nullptr);
    EXPECT_EQ(BufTab_getNumBufs(tab), 3);
    for (int i = 0; i < 3; i++) {
        Buffer_Handle buf = BufTab_getBuf(tab, i);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(Buffer_getId(buf), i);
        EXPECT_EQ(Buffer_getBufTab(buf), tab);
        EXPECT_EQ(Buffer_getType(buf), Buffer_Type_GRAPHICS);
        EXPECT_EQ(Buffer_getSize(buf), 720 * 576 * 3 / 2);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(BufTab_getBuf(tab, 3), nullptr);
    EXPECT_EQ(BufTab_getBuf(tab, -1), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(BufTab_delete(tab), 0);
    EXPECT_EQ(BufTab_delete(nullptr), 0);
}

TEST_F(BufTabTest, FreeBufferRules)
{
    BufTab_Handle tab = BufTab_create(3, 128, &Buffer_Attrs_DEFAULT);
    ASSERT_NE(tab, nullptr);
    Buffer_Handle b0 = BufTab_getBuf(tab, 0);
    Buffer_Handle b1 = BufTab_getBuf(tab, 1);
    Buffer_Handle b2 = BufTab_getBuf(tab, 2);

    // Taken in index order, each with the default use mask.
    EXPECT_EQ(BufTab_getFreeBuf(tab), b0);
    EXPECT_EQ(Buffer_getUseMask(b0), 1);
    EXPECT_EQ(BufTab_getFreeBuf(tab), b1);
    EXPECT_EQ(BufTab_getFreeBuf(tab), b2);
    EXPECT_EQ(BufTab_getFreeBuf(tab), nullptr); // all in use

    // The first free one in index order comes back, not the last freed.
    BufTab_freeBuf(b2);
    BufTab_freeBuf(b1);
    EXPECT_EQ(Buffer_getUseMask(b1), 0);
    EXPECT_EQ(BufTab_getFreeBuf(tab), b1);

    // Only the low 16 bits mark a user.
    Buffer_setUseMask(b2, 0x10000);
    Buffer_setUseMask(b0, 0x30000);
    EXPECT_EQ(BufTab_getFreeBuf(tab), b0);
    EXPECT_EQ(Buffer_getUseMask(b0), 1);
    EXPECT_EQ(BufTab_getFreeBuf(tab), b2);
    EXPECT_EQ(BufTab_getFreeBuf(tab), nullptr);

    BufTab_freeAll(tab);
    EXPECT_EQ(BufTab_getFreeBuf(tab), b0);
    EXPECT_EQ(BufTab_delete(tab), 0);
}

TEST_F(BufTabTest, FailedBufferFreesTheOnesMadeSoFar)
{
    Contig_failAfter(3); // the third buffer's memory
    testing::internal::CaptureStderr();
    EXPECT_EQ(BufTab_create(4, 4096, &Buffer_Attrs_DEFAULT), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to allocate memory.\n[BufTab] Failed to allocate buffer 2 for BufTab\n");
    // The fixture checks that no block is left.
}

TEST_F(BufTabTest, CreateRefusesBadArguments)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(BufTab_create(3, 128, nullptr), nullptr);
    EXPECT_EQ(BufTab_create(0, 128, &Buffer_Attrs_DEFAULT), nullptr);
    EXPECT_EQ(BufTab_create(2, -1, &Buffer_Attrs_DEFAULT), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[BufTab] Must provide attrs\n"), std::string::npos);
    EXPECT_NE(err.find("[BufTab] Failed to allocate buffer 0 for BufTab\n"), std::string::npos);
}

TEST_F(TablesTest, ColorSpaceBitsAndFrameSizes)
{
    struct Row {
        int id;
        int bpp;
        int frameSize; // of lineLength 100 x height 10
    };
    const Row rows[] = {{0, 8, 1500}, {1, 8, 2000}, {2, 16, 1000}, {3, 32, 1000}, {4, 16, 1000},
                        {5, 2, 1000}, {6, 8, 1500}, {7, 8, 1000}, {8, 24, 1000}, {9, 8, 1000}};
    for (const Row &r : rows) {
        EXPECT_EQ(ColorSpace_getBpp(static_cast<ColorSpace_Type>(r.id)), r.bpp) << r.id;
        EXPECT_EQ(ColorSpace_getFrameSize(static_cast<ColorSpace_Type>(r.id), 100, 10), r.frameSize) << r.id;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(ColorSpace_getBpp(static_cast<ColorSpace_Type>(10)), -5);
    EXPECT_EQ(ColorSpace_getBpp(static_cast<ColorSpace_Type>(-1)), -5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[ColorSpace] Unknown color space format (10)\n[ColorSpace] Unknown color space format (-1)\n");
}

TEST_F(TablesTest, EveryVideoStandard)
{
    const int sizes[][2] = {
        {352, 288},   {352, 240},   {352, 288},   {640, 480},   {800, 600},   {1024, 768},  {1280, 1024},
        {1280, 768},  {1600, 1200}, {1280, 800},  {1440, 900},  {1280, 960},  {1440, 1050}, {1680, 1050},
        {1920, 1080}, {1920, 1200}, {1360, 768},  {1366, 768},  {1400, 1050}, {1600, 900},  {720, 480},
        {720, 576},   {720, 480},   {720, 576},   {1280, 720},  {1280, 720},  {1280, 720},  {1920, 1080},
        {1920, 1080}, {1920, 1080}, {1920, 1080}, {1920, 1080}, {320, 240},   {1920, 1080}, {1920, 1080},
        {1920, 1080}, {1920, 1080},
    };
    static_assert(std::size(sizes) == 37);
    for (int std = 1; std <= 37; std++) {
        int w = 0, h = 0;
        EXPECT_EQ(VideoStd_getResolution(std, &w, &h), 0) << std;
        EXPECT_EQ(w, sizes[std - 1][0]) << std;
        EXPECT_EQ(h, sizes[std - 1][1]) << std;
    }
    int w = -7, h = -7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(VideoStd_getResolution(0, &w, &h), -5);
    EXPECT_EQ(VideoStd_getResolution(38, &w, &h), -5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[VideoStd] Unknown video standard (0)\n[VideoStd] Unknown video standard (38)\n");
    EXPECT_EQ(w, -7);
    EXPECT_EQ(VideoStd_getResolution(25, nullptr, &h), -5);
}

TEST_F(TablesTest, CalcDimensionsFromStandardAndColorSpace)
{
    BufferGfx_Dimensions dim = {5, 5, 0, 0, 0};
    EXPECT_EQ(BufferGfx_calcDimensions(VideoStd_1080P_30, ColorSpace_YUV420PSEMI, &dim), 0);
    EXPECT_EQ(dim.x, 0);
    EXPECT_EQ(dim.y, 0);
    EXPECT_EQ(dim.width, 1920);
    EXPECT_EQ(dim.height, 1080);
    EXPECT_EQ(dim.lineLength, 1920);
    EXPECT_EQ(BufferGfx_calcDimensions(VideoStd_D1_PAL, ColorSpace_UYVY, &dim), 0);
    EXPECT_EQ(dim.lineLength, 1440);
    EXPECT_EQ(BufferGfx_calcDimensions(VideoStd_720P_60, ColorSpace_2BIT, &dim), 0);
    EXPECT_EQ(dim.lineLength, 320);
    EXPECT_EQ(BufferGfx_calcSize(VideoStd_720P_60, ColorSpace_YUV420PSEMI), 1280 * 720 * 3 / 2);

    testing::internal::CaptureStderr();
    EXPECT_EQ(BufferGfx_calcDimensions(38, ColorSpace_YUV420PSEMI, &dim), -5);
    EXPECT_EQ(BufferGfx_calcDimensions(25, static_cast<ColorSpace_Type>(12), &dim), -5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[VideoStd] Unknown video standard (38)\n[ColorSpace] Unknown color space format (12)\n");
    EXPECT_EQ(BufferGfx_calcDimensions(25, ColorSpace_YUV420PSEMI, nullptr), -5);
}

namespace {
struct Captured {
    std::string out;
    std::string err;
};

// One buffer's life and one error, with both streams captured, at the level MEDIA_DEBUG selects.
Captured runAtLevel(const char *level)
{
    if (level != nullptr) {
        setenv("MEDIA_DEBUG", level, 1);
    } else {
        unsetenv("MEDIA_DEBUG");
    }
    Media_init();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Buffer_Handle buf = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
    Buffer_delete(buf);
    VideoStd_getResolution(99, nullptr, nullptr);
    Captured c;
    c.err = testing::internal::GetCapturedStderr();
    c.out = testing::internal::GetCapturedStdout();
    return c;
}
} // namespace

TEST_F(TraceTest, LevelGatesMessages)
{
    const std::string unknown = "[VideoStd] Unknown video standard (99)\n";

    Captured none = runAtLevel("0");
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "");
    EXPECT_EQ(Media_getTraceLevel(), Media_LEVEL_NONE);

    for (const char *errorsOnly : {"1", static_cast<const char *>(nullptr), "", "verbose"}) {
        Captured c = runAtLevel(errorsOnly);
        EXPECT_EQ(c.out, "") << (errorsOnly ? errorsOnly : "unset");
        EXPECT_EQ(c.err, unknown) << (errorsOnly ? errorsOnly : "unset");
    }

    Captured all = runAtLevel("2");
    EXPECT_EQ(all.err, unknown);
    // "[Buffer] Alloc Buffer of size 4096 at 0x<addr> (0x<addr> phys)" with full 64-bit addresses.
    size_t alloc = all.out.find("[Buffer] Alloc Buffer of size 4096 at 0x");
    size_t freed = all.out.find("[Buffer] Free Buffer of size 4096 at 0x");
    EXPECT_NE(alloc, std::string::npos) << all.out;
    EXPECT_NE(freed, std::string::npos) << all.out;
    EXPECT_LT(alloc, freed);
    std::string line = all.out.substr(alloc, all.out.find('\n', alloc) - alloc);
    std::string addr = line.substr(line.find(" at ") + 4, line.find(" (") - line.find(" at ") - 4);
    EXPECT_EQ(line, "[Buffer] Alloc Buffer of size 4096 at " + addr + " (" + addr + " phys)");
    EXPECT_EQ(std::strtoull(addr.c_str(), nullptr, 16) % 4096, 0u);

    EXPECT_EQ(runAtLevel("3").out.empty(), false); // above 2 means everything
}

TEST_F(TraceTest, PoolAndReferenceTraces)
{
    Media_setTraceLevel(Media_LEVEL_ALL);
    testing::internal::CaptureStdout();
    BufTab_Handle tab = BufTab_create(2, 64, &Buffer_Attrs_DEFAULT);
    Buffer_Attrs refAttrs = Buffer_Attrs_DEFAULT;
    refAttrs.reference = 1;
    Buffer_Handle ref = Buffer_create(0, &refAttrs);
    Buffer_setUserPtr(ref, nullptr);
    Buffer_delete(ref);
    BufTab_delete(tab);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("[BufTab] Allocating BufTab for 2 buffers\n", 0), 0u) << out;
    EXPECT_NE(out.find("[Buffer] Set user pointer 0x0 (physical 0x0)\n"), std::string::npos) << out;
}

// A null handle stops the program with an assertion naming the argument.
using MediaDeathTest = Media;

TEST_F(MediaDeathTest, NullHandlesAbortNamingTheArgument)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Buffer_Handle noBuf = nullptr;
    EXPECT_DEATH(Buffer_getUserPtr(noBuf), "hBuf != nullptr");
    EXPECT_DEATH(Buffer_getSize(noBuf), "Assertion `hBuf != nullptr' failed");
    EXPECT_DEATH(BufTab_getFreeBuf(nullptr), "hBufTab != nullptr");
    EXPECT_DEATH(BufTab_freeBuf(nullptr), "hBuf != nullptr");
    Buffer_Handle got;
    EXPECT_DEATH(Fifo_get(nullptr, &got), "hFifo != nullptr");
    EXPECT_DEATH(Fifo_put(nullptr, nullptr), "hFifo != nullptr");
    EXPECT_DEATH(Fifo_flush(nullptr), "hFifo != nullptr");
    EXPECT_DEATH(Pause_test(nullptr), "hPause != nullptr");
    EXPECT_DEATH(Rendezvous_meet(nullptr), "hRv != nullptr");
    EXPECT_DEATH(Rendezvous_force(nullptr), "hRv != nullptr");
}

TEST_F(MediaDeathTest, BasicBufferRefusedByGraphicsOperations)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Buffer_Handle buf = Buffer_create(64, &Buffer_Attrs_DEFAULT);
    ASSERT_NE(buf, nullptr);
    BufferGfx_Dimensions dim;
    EXPECT_DEATH(BufferGfx_getDimensions(buf, &dim), "hBuf->type == Buffer_Type_GRAPHICS");
    EXPECT_DEATH(BufferGfx_setFrameType(buf, 1), "hBuf->type == Buffer_Type_GRAPHICS");
    EXPECT_EQ(Buffer_delete(buf), 0);
}
