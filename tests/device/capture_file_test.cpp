// The virtual capture playing a raw NV12 file: each frame of the file in turn and looped, whatever
// buffers the pipeline holds or has drawn on, and a file held in memory handed out without a copy.
#include "encode/device/capture.h"
#include "encode/media/buftab.h"
#include "encode/media/media.h"
#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kW = 64;
constexpr int kH = 32;
constexpr int kLine = 96; // padded lines: the file's packed lines land at the pool's pitch
constexpr size_t kFileFrame = static_cast<size_t>(kW) * kH * 3 / 2;
constexpr size_t kBufFrame = static_cast<size_t>(kLine) * kH * 3 / 2;

// Sample (x, y) of row-plane `row` in frame f: tells frame, row and column apart.
uint8_t sample(int f, int row, int x)
{
    return static_cast<uint8_t>(f * 37 + row * 5 + x);
}

// The picture in `b` is frame f of the file, at the buffer's pitch.
bool holdsFrame(Buffer_Handle b, int f)
{
    const uint8_t *p = Buffer_getUserPtr(b);
    for (int row = 0; row < kH * 3 / 2; row++) {
        for (int x = 0; x < kW; x++) {
            if (p[static_cast<size_t>(row) * kLine + x] != sample(f, row, x)) {
                return false;
            }
        }
    }
    return true;
}

class CaptureFileTest : public ::testing::Test {
protected:
    void open(int frames)
    {
        std::string path = root.dir() + "/frames.nv12";
        std::ofstream out(path, std::ios::binary);
        for (int f = 0; f < frames; f++) {
            for (int row = 0; row < kH * 3 / 2; row++) {
                for (int x = 0; x < kW; x++) {
                    out.put(static_cast<char>(sample(f, row, x)));
                }
            }
        }
        out.close();
        ASSERT_EQ(static_cast<size_t>(std::filesystem::file_size(path)), kFileFrame * frames);
        setenv("ENCODE_VIDEO_SOURCE", ("file:" + path).c_str(), 1);
        setenv("ENCODE_PACING", "off", 1);
        BufferGfx_Attrs gfx = BufferGfx_Attrs_DEFAULT;
        gfx.colorSpace = ColorSpace_YUV420PSEMI;
        gfx.dim = {0, 0, kW, kH, kLine};
        pool = BufTab_create(3, static_cast<int>(kBufFrame), &gfx.bAttrs);
        ASSERT_NE(pool, nullptr);
        BufferGfx_Dimensions dim = gfx.dim;
        Capture_Attrs attrs = Capture_Attrs_DEFAULT;
        attrs.captureDimension = &dim;
        attrs.onTheFly = 0;
        capture = Capture_create(pool, &attrs);
        ASSERT_NE(capture, nullptr);
    }
    void TearDown() override
    {
        Capture_delete(capture);
        BufTab_delete(pool);
        unsetenv("ENCODE_VIDEO_SOURCE");
        unsetenv("ENCODE_PACING");
    }
    Buffer_Handle get()
    {
        Buffer_Handle b = nullptr;
        EXPECT_EQ(Capture_get(capture, &b), 0);
        return b;
    }

    TempRoot root;
    BufTab_Handle pool = nullptr;
    Capture_Handle capture = nullptr;
};

// The pipeline's own pattern: the video thread holds two buffers and gives the oldest back for each
// new one, and sometimes draws on one. Every frame is the file's, in order, looped; a frame not drawn
// on comes round in the very buffer it came in the time before (nothing was copied for it).
TEST_F(CaptureFileTest, FramesInTurnLoopedAndDrawnOnesRestored)
{
    const int frames = 5;
    open(frames);
    std::deque<Buffer_Handle> held;
    std::map<int, Buffer_Handle> firstBuffer;
    int reused = 0;
    for (int n = 0; n < 4 * frames; n++) {
        Buffer_Handle b = get();
        ASSERT_NE(b, nullptr);
        int f = n % frames;
        EXPECT_TRUE(holdsFrame(b, f)) << "frame " << n;
        if (n < frames) {
            firstBuffer[f] = b;
        } else if (firstBuffer[f] == b) {
            reused++;
        }
        if (n % 3 == 1) {
            Buffer_getUserPtr(b)[5] ^= 0xFF; // an overlay draws on it
            Buffer_markAltered(b);
        }
        held.push_back(b);
        if (held.size() > 2) {
            ASSERT_EQ(Capture_put(capture, held.front()), 0);
            held.pop_front();
        }
    }
    EXPECT_EQ(reused, 3 * frames);
}

// A file of one frame while the pipeline holds three: the frame's stored buffer is still out when it
// is due again, so it comes in the pool's buffers, read from the file.
TEST_F(CaptureFileTest, FileShorterThanThePipelineIsDeep)
{
    open(1);
    std::vector<Buffer_Handle> held;
    for (int n = 0; n < 3; n++) {
        held.push_back(get());
        ASSERT_NE(held.back(), nullptr);
        EXPECT_TRUE(holdsFrame(held.back(), 0)) << n;
    }
    EXPECT_NE(held[0], held[1]);
    EXPECT_NE(held[1], held[2]);
    for (Buffer_Handle b : held) {
        EXPECT_EQ(Capture_put(capture, b), 0);
    }
    // Nothing is out any more: a further put is refused.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Capture_put(capture, held[0]), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("You must get a captured buffer before putting one"),
              std::string::npos);
}

} // namespace
