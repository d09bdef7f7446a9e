// The H.264 encoder wrapper and the codec runtime's "h264enc": the store settings it reads, the
// access units it writes (read back NAL by NAL here and decoded by ffprobe/ffmpeg), the picture types
// the video thread steers, and its refusals of bad records and buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "encode/core/second_stream.h"
#include "encode/media/buffer.h"
#include "encode/codec/engine.h"
#include "encode/media/media.h"
#include "encode/codec/venc1.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

struct VencDeleter {
    void operator()(Venc1_Object *v) const { Venc1_delete(v); }
};
using VencPtr = std::unique_ptr<Venc1_Object, VencDeleter>;
struct BufDeleter {
    void operator()(Buffer_Object *b) const { Buffer_delete(b); }
};
using BufPtr = std::unique_ptr<Buffer_Object, BufDeleter>;

// --- Reading access units back. ---

struct Nal {
    int type = 0;
    int startCode = 0;         // 3 or 4 bytes
    std::vector<uint8_t> rbsp; // after the header byte, emulation prevention removed
};

std::vector<Nal> parseUnits(const std::vector<uint8_t> &s)
{
    std::vector<size_t> starts; // index of the 01 of each 00 00 01
    for (size_t i = 2; i < s.size(); i++) {
        if (s[i] == 1 && s[i - 1] == 0 && s[i - 2] == 0) {
            starts.push_back(i);
        }
    }
    std::vector<Nal> nals;
    for (size_t k = 0; k < starts.size(); k++) {
        size_t begin = starts[k] + 1;
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 2 : s.size();
        if (k + 1 < starts.size() && starts[k + 1] >= 3 && s[starts[k + 1] - 3] == 0) {
            end--; // the leading zero of a 4-byte start code
        }
        Nal n;
        n.startCode = starts[k] >= 3 && s[starts[k] - 3] == 0 ? 4 : 3;
        n.type = s[begin] & 0x1f;
        int zeros = 0;
        for (size_t i = begin + 1; i < end; i++) {
            if (zeros >= 2 && s[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = s[i] == 0 ? zeros + 1 : 0;
            n.rbsp.push_back(s[i]);
        }
        nals.push_back(std::move(n));
    }
    return nals;
}

class Bits {
public:
    explicit Bits(const std::vector<uint8_t> &b) : b_(b)
    {
        for (size_t i = b.size(); i-- > 0;) {
            if (b[i] != 0) {
                stopBit_ = i * 8 + 7 - static_cast<size_t>(__builtin_ctz(b[i]));
                break;
            }
        }
    }
    int bit()
    {
        int v = pos_ < b_.size() * 8 ? (b_[pos_ / 8] >> (7 - pos_ % 8)) & 1 : 0;
        pos_++;
        return v;
    }
    unsigned ue()
    {
        int zeros = 0;
        while (bit() == 0 && zeros < 31) {
            zeros++;
        }
        unsigned v = 0;
        for (int i = 0; i < zeros; i++) {
            v = (v << 1) | static_cast<unsigned>(bit());
        }
        return (1u << zeros) - 1 + v;
    }
    int se()
    {
        unsigned k = ue();
        return k % 2 ? static_cast<int>((k + 1) / 2) : -static_cast<int>(k / 2);
    }
    bool moreData() const { return pos_ < stopBit_; }

private:
    const std::vector<uint8_t> &b_;
    size_t pos_ = 0;
    size_t stopBit_ = 0;
};

struct PpsInfo {
    int cabac = -1;
    int initQp = -1;
    int transform8x8 = 0;
};

PpsInfo parsePps(const Nal &n)
{
    Bits r(n.rbsp);
    PpsInfo p;
    r.ue();
    r.ue();
    p.cabac = r.bit();
    r.bit();
    r.ue(); // slice groups (none)
    r.ue();
    r.ue();
    r.bit();
    r.bit();
    r.bit();
    p.initQp = 26 + r.se();
    r.se();
    r.se();
    r.bit();
    r.bit();
    r.bit();
    if (r.moreData()) {
        p.transform8x8 = r.bit();
    }
    return p;
}

// 'D' IDR, 'I', 'P' for each picture (its first slice).
char pictureLetter(const std::vector<Nal> &nals)
{
    for (const Nal &n : nals) {
        if (n.type == 5) {
            return 'D';
        }
        if (n.type == 1) {
            Bits r(n.rbsp);
            r.ue();
            unsigned t = r.ue() % 5;
            return t == 2 || t == 4 ? 'I' : 'P';
        }
    }
    return '?';
}

// --- Pictures as the capture thread lays them: NV12, the second picture behind the main one. ---

BufPtr makeCaptured(int width, int height, int secondWidth = 0, int secondHeight = 0)
{
    BufferGfx_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.colorSpace = ColorSpace_YUV420PSEMI;
    a.dim = {0, 0, width, height, width};
    int size = width * height * 3 / 2 + secondWidth * secondHeight * 3 / 2;
    return BufPtr(Buffer_create(size, &a.bAttrs));
}

// A moving texture with some noise, so that P pictures cost bits too.
void drawFrame(Buffer_Handle hBuf, int width, int height, int frame, int noise = 24)
{
    uint8_t *p = Buffer_getUserPtr(hBuf);
    uint32_t seed = 12345u + static_cast<uint32_t>(frame) * 7919u;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            seed = seed * 1103515245u + 12345u;
            int v = ((x + 3 * frame) * 4 + y * 2) % 200 + 20 + static_cast<int>((seed >> 16) % (noise + 1));
            p[y * width + x] = static_cast<uint8_t>(v > 255 ? 255 : v);
        }
    }
    std::memset(p + width * height, 128, static_cast<size_t>(width * height / 2));
}

// What the video thread does before Venc1_process: the height rounded up to whole macroblock rows.
void roundHeight(Buffer_Handle hBuf)
{
    BufferGfx_resetDimensions(hBuf);
    BufferGfx_Dimensions d{};
    BufferGfx_getDimensions(hBuf, &d);
    d.height = (d.height + 15) / 16 * 16;
    BufferGfx_setDimensions(hBuf, &d);
}

struct Records {
    VideoEnc_Params params;
    VideoEnc_DynParams dyn;
};

Records records(int width, int height, int bitRate = 1000000, int frameRate = 25000, int intra = 30)
{
    Records r{VideoEnc_Params_DEFAULT, VideoEnc_DynParams_DEFAULT};
    r.params.encodingPreset = 2;
    r.params.rateControlPreset = 2;
    r.params.maxHeight = (height + 15) / 16 * 16;
    r.params.maxWidth = width;
    r.params.maxFrameRate = frameRate;
    r.params.maxBitRate = bitRate;
    r.params.inputChromaFormat = VideoEnc_CHROMA_YUV420SP;
    r.dyn.inputHeight = height;
    r.dyn.inputWidth = width;
    r.dyn.refFrameRate = frameRate;
    r.dyn.targetFrameRate = frameRate;
    r.dyn.targetBitRate = bitRate;
    r.dyn.intraFrameInterval = intra;
    return r;
}

// One encoder with its output buffer and everything it wrote.
struct Session {
    VencPtr enc;
    BufPtr out;
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> units;
    std::string letters; // picture types as the input buffers reported them

    bool open(Engine_Handle engine, Records &r, bool second = false)
    {
        enc.reset(second ? Venc1_createFml(engine, "h264enc", &r.params, &r.dyn)
                         : Venc1_create(engine, "h264enc", &r.params, &r.dyn));
        if (enc == nullptr) {
            return false;
        }
        out.reset(Buffer_create(Venc1_getOutBufSize(enc.get()), &Buffer_Attrs_DEFAULT));
        return out != nullptr;
    }
    int encode(Buffer_Handle in, bool second = false)
    {
        int r = second ? Venc1_process_fml(enc.get(), in, out.get()) : Venc1_process(enc.get(), in, out.get());
        if (r == Media_EOK) {
            const uint8_t *p = Buffer_getUserPtr(out.get());
            units.emplace_back(p, p + Buffer_getNumBytesUsed(out.get()));
            stream.insert(stream.end(), units.back().begin(), units.back().end());
            int t = BufferGfx_getFrameType(in);
            letters += t == VideoEnc_FRAME_IDR ? 'D' : t == VideoEnc_FRAME_I ? 'I' : t == VideoEnc_FRAME_P ? 'P' : '?';
        }
        return r;
    }
    int control(int cmd, VideoEnc_DynParams &dyn)
    {
        VideoEnc_Status status{};
        status.size = sizeof status;
        return VideoEnc_control(Venc1_getCodecHandle(enc.get()), cmd, &dyn, &status);
    }
    H264Enc_Settings settings() const
    {
        H264Enc_Settings s{};
        H264Enc_getSettings(Venc1_getCodecHandle(enc.get()), &s);
        return s;
    }
};

std::string probe(const std::string &file)
{
    return runCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                      "stream=profile,width,height,level,nb_read_frames -of default=nw=1 '" +
                      file + "' 2>&1");
}

// "name=value" of each "[Venc1] +++++name=value" trace line, joined by spaces ("name=?" when absent).
std::string tracedValues(const std::string &out, std::initializer_list<const char *> names)
{
    std::string got;
    for (const char *name : names) {
        std::string key = std::string("[Venc1] +++++") + name + "=";
        size_t at = out.find(key);
        std::string value = at == std::string::npos
                                ? "?"
                                : out.substr(at + key.size(), out.find('\n', at) - at - key.size());
        got += (got.empty() ? "" : " ") + std::string(name) + "=" + value;
    }
    return got;
}

std::vector<uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Venc1Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        SecondStream_reset();
        Media_setTraceLevel(Media_LEVEL_ERRORS);
        engine_ = Engine_open("encode", nullptr, nullptr);
        ASSERT_NE(engine_, nullptr);
    }
    void TearDown() override
    {
        Engine_close(engine_);
        SecondStream_reset();
        Media_setTraceLevel(Media_LEVEL_ERRORS);
    }
    std::string save(const std::vector<uint8_t> &bytes, const std::string &name)
    {
        std::string path = root_.path("/tmp/" + name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // Encodes `frames` moving pictures of a small size; the store as the test laid it.
    Session run(int frames, int width = 320, int height = 240, bool second = false)
    {
        Session s;
        Records r = records(width, height);
        EXPECT_TRUE(s.open(engine_, r, second));
        BufPtr in = makeCaptured(width, height);
        for (int i = 0; i < frames && s.enc != nullptr; i++) {
            drawFrame(in.get(), width, height, i);
            roundHeight(in.get());
            EXPECT_EQ(s.encode(in.get()), Media_EOK);
        }
        return s;
    }
    // The store-derived traces and console lines of one main-stream create.
    std::string createTraces(bool second = false)
    {
        Media_setTraceLevel(Media_LEVEL_ALL);
        testing::internal::CaptureStdout();
        Records r = records(320, 240);
        Session s;
        s.open(engine_, r, second);
        std::string out = testing::internal::GetCapturedStdout();
        Media_setTraceLevel(Media_LEVEL_ERRORS);
        settings_ = s.enc != nullptr ? s.settings() : H264Enc_Settings{};
        return out;
    }

    TempRoot root_;
    Engine_Handle engine_ = nullptr;
    H264Enc_Settings settings_{};
};

// --- The access units. ---

TEST_F(Venc1Test, AccessUnitsAreStartCodeSpsPpsSlicesWithoutAudOrVersionSei)
{
    Session s = run(8);
    ASSERT_EQ(s.units.size(), 8u);
    EXPECT_EQ(s.letters, "DPPPPPPP");
    for (size_t i = 0; i < s.units.size(); i++) {
        const std::vector<uint8_t> &u = s.units[i];
        ASSERT_GE(u.size(), 5u);
        EXPECT_EQ(0, std::memcmp(u.data(), "\0\0\0\1", 4)) << "unit " << i;
        std::vector<Nal> nals = parseUnits(u);
        std::vector<int> types;
        for (const Nal &n : nals) {
            EXPECT_EQ(n.startCode, 4) << "unit " << i << " NAL type " << n.type;
            EXPECT_NE(n.type, 9) << "access unit delimiter";
            if (n.type == 6) {
                EXPECT_NE(n.rbsp.at(0), 5) << "user-data SEI in unit " << i;
            }
            types.push_back(n.type);
        }
        if (i == 0) {
            ASSERT_GE(types.size(), 3u);
            EXPECT_EQ(types[0], 7);
            EXPECT_EQ(types[1], 8);
            for (size_t k = 2; k < types.size(); k++) {
                EXPECT_EQ(types[k], 5);
            }
        } else {
            for (int t : types) {
                EXPECT_EQ(t, 1);
            }
        }
        EXPECT_LE(static_cast<int>(u.size()), Venc1_getOutBufSize(s.enc.get()));
    }
    std::string file = save(s.stream, "main.264");
    std::string info = probe(file);
    EXPECT_NE(info.find("profile=High"), std::string::npos) << info;
    EXPECT_NE(info.find("width=320\nheight=240"), std::string::npos) << info;
    EXPECT_NE(info.find("nb_read_frames=8"), std::string::npos) << info;
    EXPECT_EQ(runCommand("ffmpeg -v error -i '" + file + "' -f null - 2>&1"), "");
}

// The video thread hands the buffer over with 1088 rows; the stream still says 1080, and the chroma
// plane is found right behind the 1080 luma rows although a second picture follows the main one.
TEST_F(Venc1Test, FullHdPictureKeepsItsRealHeightAndFindsBothPictures)
{
    SecondStreamSettings second = SecondStream_get();
    second.enabled = 1;
    second.width = 640;
    second.height = 360;
    SecondStream_set(second);
    const int w = 1920, h = 1080;
    BufPtr in = makeCaptured(w, h, 640, 360);
    uint8_t *p = Buffer_getUserPtr(in.get());
    std::memset(p, 100, w * h);
    std::memset(p + w * h, 60, w * h / 4);          // chroma rows 0..269
    std::memset(p + w * h * 5 / 4, 200, w * h / 4); // chroma rows 270..539
    uint8_t *fml = p + w * h * 3 / 2;
    std::memset(fml, 150, 640 * 360);
    for (int i = 0; i < 640 * 360 / 2; i += 2) {
        fml[640 * 360 + i] = 90;
        fml[640 * 360 + i + 1] = 170;
    }

    Records mainRec = records(w, h, 8000000);
    Records fmlRec = records(640, 360, 800000);
    Session mainEnc, fmlEnc;
    ASSERT_TRUE(mainEnc.open(engine_, mainRec));
    ASSERT_TRUE(fmlEnc.open(engine_, fmlRec, true));
    for (int i = 0; i < 2; i++) {
        roundHeight(in.get());
        ASSERT_EQ(mainEnc.encode(in.get()), Media_EOK);
        BufferGfx_resetDimensions(in.get());
        ASSERT_EQ(fmlEnc.encode(in.get(), true), Media_EOK);
    }

    std::string mainFile = save(mainEnc.stream, "hd.264");
    std::string info = probe(mainFile);
    EXPECT_NE(info.find("width=1920\nheight=1080"), std::string::npos) << info;
    EXPECT_NE(info.find("nb_read_frames=2"), std::string::npos) << info;
    std::string raw = root_.path("/tmp/hd.nv12");
    runCommand("ffmpeg -v error -i '" + mainFile + "' -frames:v 1 -f rawvideo -pix_fmt nv12 '" + raw + "' 2>&1");
    std::vector<uint8_t> pic = readFile(raw);
    ASSERT_EQ(pic.size(), static_cast<size_t>(w * h * 3 / 2));
    EXPECT_NEAR(pic[w * 540 + 960], 100, 4);
    // A chroma plane taken 8 rows too late would show the lower colour from row 262 on.
    for (int row : {0, 200, 263, 266}) {
        EXPECT_NEAR(pic[w * h + row * w + 960], 60, 8) << "chroma row " << row;
    }
    for (int row : {273, 276, 400, 539}) {
        EXPECT_NEAR(pic[w * h + row * w + 960], 200, 8) << "chroma row " << row;
    }

    std::string fmlFile = save(fmlEnc.stream, "fml.264");
    info = probe(fmlFile);
    EXPECT_NE(info.find("width=640\nheight=360"), std::string::npos) << info;
    std::string fmlRaw = root_.path("/tmp/fml.nv12");
    runCommand("ffmpeg -v error -i '" + fmlFile + "' -frames:v 1 -f rawvideo -pix_fmt nv12 '" + fmlRaw + "' 2>&1");
    std::vector<uint8_t> small = readFile(fmlRaw);
    ASSERT_EQ(small.size(), static_cast<size_t>(640 * 360 * 3 / 2));
    EXPECT_NEAR(small[640 * 180 + 320], 150, 4);
    EXPECT_NEAR(small[640 * 360 + 640 * 90 + 320], 90, 4);
    EXPECT_NEAR(small[640 * 360 + 640 * 90 + 321], 170, 4);
}

// --- Picture types steered through set-params. ---

// The video thread's key-picture steering: at every intra-interval point force I, or IDR every
// second time, and clear the force after one picture. libx264 must not turn the I into an IDR.
TEST_F(Venc1Test, ForcedPicturesComeOutExactlyAsForced)
{
    Session s;
    Records r = records(160, 128, 500000, 25000, 5);
    ASSERT_TRUE(s.open(engine_, r));
    BufPtr in = makeCaptured(160, 128);
    int idrCounter = 0;
    for (int n = 0; n < 21;) {
        drawFrame(in.get(), 160, 128, n);
        ASSERT_EQ(s.encode(in.get()), Media_EOK);
        n++;
        if (n % 5 == 0) {
            r.dyn.forceFrame = idrCounter % 2 == 0 ? VideoEnc_FRAME_IDR : VideoEnc_FRAME_I;
            idrCounter++;
            ASSERT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EOK);
        } else if (n % 5 == 1) {
            r.dyn.forceFrame = VideoEnc_FRAME_AUTO;
            ASSERT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EOK);
        }
    }
    const std::string expected = "DPPPPDPPPPIPPPPDPPPPI";
    EXPECT_EQ(s.letters, expected);
    std::string fromStream;
    for (const std::vector<uint8_t> &u : s.units) {
        std::vector<Nal> nals = parseUnits(u);
        fromStream += pictureLetter(nals);
        bool hasSps = !nals.empty() && nals[0].type == 7;
        EXPECT_EQ(hasSps, fromStream.back() == 'D') << "SPS and PPS come with IDR pictures only";
    }
    EXPECT_EQ(fromStream, expected);
    EXPECT_NE(probe(save(s.stream, "forced.264")).find("nb_read_frames=21"), std::string::npos);
}

TEST_F(Venc1Test, IntraIntervalResetAndHeaderOnlyCalls)
{
    Session s;
    Records r = records(160, 128, 500000, 25000, 4);
    ASSERT_TRUE(s.open(engine_, r));
    BufPtr in = makeCaptured(160, 128);
    int frame = 0;
    auto encodeSome = [&](int count) {
        for (int i = 0; i < count; i++, frame++) {
            drawFrame(in.get(), 160, 128, frame);
            ASSERT_EQ(s.encode(in.get()), Media_EOK);
        }
    };
    encodeSome(9);
    r.dyn.intraFrameInterval = 2; // takes effect on the next picture
    ASSERT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EOK);
    encodeSome(3);
    ASSERT_EQ(s.control(VideoEnc_RESET, r.dyn), Media_EOK);
    encodeSome(2);
    EXPECT_EQ(s.letters, "DPPPIPPPIPIP" "DP");

    // A header-only call writes SPS and PPS and leaves the picture and the type alone.
    r.dyn.generateHeader = 1;
    ASSERT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EOK);
    BufferGfx_setFrameType(in.get(), 77);
    ASSERT_EQ(Venc1_process(s.enc.get(), in.get(), s.out.get()), Media_EOK);
    const uint8_t *o = Buffer_getUserPtr(s.out.get());
    std::vector<Nal> nals = parseUnits(std::vector<uint8_t>(o, o + Buffer_getNumBytesUsed(s.out.get())));
    ASSERT_EQ(nals.size(), 2u);
    EXPECT_EQ(nals[0].type, 7);
    EXPECT_EQ(nals[1].type, 8);
    EXPECT_EQ(BufferGfx_getFrameType(in.get()), 77);
    r.dyn.generateHeader = 0;
    ASSERT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EOK);
    EXPECT_EQ(Venc1_flush(s.enc.get()), Media_EOK);
    encodeSome(1);
    EXPECT_EQ(s.letters.back(), 'I'); // two after the reset IDR at the interval of 2
}

// --- Rate control. ---

TEST_F(Venc1Test, RateControlAlgorithmsMapOntoTheEncoder)
{
    struct Row {
        const char *cvbr;
        const char *method;
        int vbvMax; // kbit/s at a 1000 kbit/s target
        int hrd;
    };
    const Row rows[] = {
        {"1 28 45 0 42 0", "abr", 2000, 0}, {"2 30 45 0 42 0", "cqp", 0, 0}, {"3 28 45 0 42 0", "abr", 1000, 0},
        {"4 28 45 0 42 0", "abr", 1000, 1}, {"5 28 45 0 42 0", "abr", 1000, 1}, {"6 23 45 0 42 0", "crf", 1000, 0},
    };
    root_.write("/mnt/kavex_maxdelay.ini", "5\n");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cvbr);
        root_.write("/mnt/cvbr.ini", row.cvbr);
        Session s = run(2);
        H264Enc_Settings st = s.settings();
        EXPECT_STREQ(st.rateControl, row.method);
        EXPECT_EQ(st.vbvMaxKbps, row.vbvMax);
        EXPECT_EQ(st.vbvBufferKbit, row.vbvMax / 2); // 500 ms
        EXPECT_EQ(st.nalHrdCbr, row.hrd);
        EXPECT_EQ(st.qpMax, std::string(row.method) == "cqp" ? st.qpMax : 45);
        EXPECT_GE(st.keyintMin, 1 << 20);
        EXPECT_EQ(st.scenecut, 0);
        EXPECT_EQ(st.bframes, 0);
        if (std::string(row.method) == "cqp") {
            EXPECT_EQ(parsePps(parseUnits(s.units[0])[1]).initQp, 30); // the constant quantiser
        }
        if (std::string(row.method) == "crf") {
            EXPECT_FLOAT_EQ(st.rfConstant, 23.0f);
        }
    }
}

// Constant bit rate: the rate is held (filler included), and a new rate restarts the stream with an
// IDR picture because the SPS announces the rate. Other rates change in the running stream.
TEST_F(Venc1Test, BitRatesAreHeldAndChangeAtRunTime)
{
    struct Case {
        const char *cvbr;
        int before; // kbit/s
        int after;
        const char *letterAtChange;
    } cases[] = {{"4 28 51 0 51 0", 500, 1500, "D"}, {"3 28 51 0 51 0", 1500, 300, "P"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cvbr);
        root_.write("/mnt/cvbr.ini", c.cvbr);
        Session s;
        Records r = records(320, 240, 2000000);
        r.dyn.targetBitRate = c.before * 1000;
        ASSERT_TRUE(s.open(engine_, r));
        BufPtr in = makeCaptured(320, 240);
        size_t bytes[3] = {0, 0, 0};
        for (int i = 0; i < 150; i++) {
            if (i == 100) {
                r.dyn.targetBitRate = c.after * 1000;
                ASSERT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EOK);
            }
            drawFrame(in.get(), 320, 240, i, 60);
            ASSERT_EQ(s.encode(in.get()), Media_EOK);
            bytes[i < 50 ? 0 : i < 100 ? 1 : 2] += s.units.back().size();
        }
        // Frames 50 to 99 are two seconds at the first rate; 100 to 149 follow the new one.
        EXPECT_NEAR(static_cast<double>(bytes[1]), c.before * 250.0, c.before * 250.0 * 0.15);
        // Capped: at most the rate plus the one-second buffer the old rate left filled.
        EXPECT_GT(static_cast<double>(bytes[2]), c.after * 250.0 * 0.7);
        EXPECT_LT(static_cast<double>(bytes[2]), c.after * 250.0 * 1.5);
        EXPECT_EQ(s.settings().bitrateKbps, c.after);
        EXPECT_EQ(s.letters.substr(100, 1), c.letterAtChange);
        if (c.letterAtChange[0] == 'D') {
            // HRD timing SEIs stay (buffering period, picture timing), libx264's version SEI goes.
            std::string seis;
            for (const Nal &n : parseUnits(s.units[0])) {
                seis += n.type == 6 ? std::to_string(n.rbsp.at(0)) : n.type == 5 ? "" : "|";
            }
            EXPECT_EQ(seis, "||01");
        }
        EXPECT_EQ(s.letters.find('D', 1), c.letterAtChange[0] == 'D' ? 100 : std::string::npos);

        // Above the static maximum: refused, the encoder keeps its rate.
        r.dyn.targetBitRate = 2000001;
        EXPECT_EQ(s.control(VideoEnc_SETPARAMS, r.dyn), Media_EINVAL);
        EXPECT_EQ(s.settings().bitrateKbps, c.after);
        EXPECT_NE(probe(save(s.stream, "rate.264")).find("nb_read_frames=150"), std::string::npos);
    }
}

TEST_F(Venc1Test, QuantiserCeilingBoundsTheQuality)
{
    auto bytesWith = [&](const char *cvbr) {
        root_.write("/mnt/cvbr.ini", cvbr);
        Session s;
        Records r = records(160, 128, 50000);
        EXPECT_TRUE(s.open(engine_, r));
        BufPtr in = makeCaptured(160, 128);
        drawFrame(in.get(), 160, 128, 0, 120);
        EXPECT_EQ(s.encode(in.get()), Media_EOK);
        return s.units.empty() ? 0u : s.units[0].size();
    };
    // 50 kbit/s wants a coarse quantiser; a ceiling of 20 forbids it.
    EXPECT_GT(bytesWith("3 28 20 0 42 0"), bytesWith("3 28 51 0 42 0") * 2);
}

// --- The store files of the main stream. ---

TEST_F(Venc1Test, LevelFileGivesTheStreamLevel)
{
    struct Case {
        const char *text;
        int level; // 0: the encoder's own choice
    } cases[] = {{"31\n", 31}, {"0\n", 40}, {"9\n", 9}, {"3x", 40}, {"55\n", 0}, {"35\n", 0}, {"", 40}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        root_.write("/mnt/kavex_encLevel.ini", c.text);
        Session s = run(1);
        ASSERT_FALSE(s.units.empty());
        int spsLevel = parseUnits(s.units[0])[0].rbsp.at(2);
        if (c.level != 0) {
            EXPECT_EQ(spsLevel, c.level);
        } else {
            EXPECT_TRUE(spsLevel >= 10 && spsLevel <= 51 && spsLevel != 35) << spsLevel;
        }
    }
}

TEST_F(Venc1Test, ProfileQualityAndHighProfileOptionFiles)
{
    struct Case {
        const char *profile; // null: no file
        const char *quality;
        const char *slice;
        const char *requested;
        int announced; // the smallest profile the tools in use need
        int cabac;
        int transform8x8;
        const char *preset;
    } cases[] = {
        {nullptr, nullptr, nullptr, "high", 100, 1, 1, "superfast"},
        {"1", "0", "0 1", "main", 77, 1, 0, "superfast"},
        {"1", "1", "0 1", "main", 66, 0, 0, "ultrafast"}, // no CABAC at high speed
        {"2", "0", "0 1", "baseline", 66, 0, 0, "superfast"},
        {"0", "1", "0 1", "high", 100, 0, 1, "ultrafast"}, // the option word turns 8x8 on even at high speed
        {"x", "x", "0 0", "high", 77, 1, 0, "superfast"},  // High without 8x8 needs Main only
        {"0", "0", "5000 7", "high", 100, 1, 1, "superfast"}, // out of range: no slices, option 1
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.profile ? c.profile : "-") + " " + (c.quality ? c.quality : "-"));
        if (c.profile) {
            root_.write("/mnt/kavex_encProfileIdc.ini", c.profile);
            root_.write("/mnt/kavex_encQuality.ini", c.quality);
            root_.write("/mnt/kavex_slice.ini", c.slice);
        }
        std::string out = createTraces();
        EXPECT_EQ(out.find("+++++++++++") != std::string::npos, std::string(c.requested) == "high") << out;
        Session s = run(1);
        ASSERT_FALSE(s.units.empty());
        std::vector<Nal> nals = parseUnits(s.units[0]);
        EXPECT_EQ(nals.at(0).rbsp.at(0), c.announced);
        EXPECT_STREQ(s.settings().profile, c.requested);
        PpsInfo pps = parsePps(nals.at(1));
        EXPECT_EQ(pps.cabac, c.cabac);
        EXPECT_EQ(pps.transform8x8, c.transform8x8);
        EXPECT_STREQ(s.settings().preset, c.preset);
        EXPECT_EQ(s.settings().sliceMaxMbs, 0);
    }
}

TEST_F(Venc1Test, SliceFileSwitchesRowSlicing)
{
    root_.write("/mnt/kavex_slice.ini", "32 1");
    std::string out = createTraces();
    EXPECT_NE(out.find("[Venc1] Creating encoder h264enc for max 320x240 bitrate 1000000 ratectrl 2\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("+++++++++++1\n"), std::string::npos);
    EXPECT_NE(out.find("[Venc1] +++++sliceSize=15\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[Venc1] Made SETPARAMS control call\n"), std::string::npos);
    EXPECT_EQ(settings_.sliceMaxMbs, 15 * 20);

    Media_setTraceLevel(Media_LEVEL_ALL);
    testing::internal::CaptureStdout();
    Session s = run(2);
    out = testing::internal::GetCapturedStdout();
    std::string line = "[Venc1] encoder process() ret 0 inId 1 outID 1 generated " +
                       std::to_string(s.units.at(1).size()) + " bytes\n";
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_NE(probe(save(s.stream, "slices.264")).find("nb_read_frames=2"), std::string::npos);
}

TEST_F(Venc1Test, RateControlAndDelayFilesAreCheckedFieldByField)
{
    struct Case {
        const char *cvbr;  // null: no file
        const char *delay; // null: no file
        const char *traces;
        int vbvBuffer; // kbit at VBR 1000 kbit/s (maximum 2000)
    } cases[] = {
        {nullptr, nullptr, "rcAlgo=1 rcQMax=45 rcQMin=0 initQ=28 maxdelay=1000", 2000},
        {"2 30 40 50 45 0", "5\n", "rcAlgo=2 rcQMax=40 rcQMin=0 initQ=30 maxdelay=500", 0},
        {"1 20 40 10 45 0", "25\n", "rcAlgo=1 rcQMax=40 rcQMin=10 initQ=20 maxdelay=2500", 5000},
        {"9 0 99 -1 77 3", "0\n", "rcAlgo=1 rcQMax=45 rcQMin=0 initQ=28 maxdelay=1000", 2000},
        {"garbage", "x", "rcAlgo=1 rcQMax=45 rcQMin=0 initQ=28 maxdelay=1000", 2000},
        {"", "", "rcAlgo=1 rcQMax=45 rcQMin=0 initQ=28 maxdelay=1000", 2000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cvbr ? c.cvbr : "no file");
        if (c.cvbr) {
            root_.write("/mnt/cvbr.ini", c.cvbr);
            root_.write("/mnt/kavex_maxdelay.ini", c.delay);
        }
        std::string out = createTraces();
        EXPECT_EQ(tracedValues(out, {"rcAlgo", "rcQMax", "rcQMin", "initQ", "maxdelay"}), c.traces);
        EXPECT_EQ(settings_.vbvBufferKbit, c.vbvBuffer);
    }
}

// The region of interest: traced and switched on from m.ini, and really coded better than the rest,
// also at high speed where the preset has adaptive quantisation off.
TEST_F(Venc1Test, RegionOfInterestFromTheMaskFile)
{
    root_.write("/mnt/kavex_encQuality.ini", "1");
    root_.write("/mnt/cvbr.ini", "6 30 51 0 51 0"); // constant quality: the quantiser is the one variable
    root_.write("/mnt/m.ini", "0 0 0 0 0 1 0 0 100 250");
    std::string out = createTraces();
    EXPECT_NE(out.find("gx_c=1,0,0,100,250\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[Venc1] +++++roi=1\n"), std::string::npos);
    EXPECT_NE(settings_.aqMode, 0);

    // Squared error left (inside the 96-pixel wide region) and right of the region, first picture.
    auto errors = [&](bool roi) {
        root_.write("/mnt/m.ini", roi ? "0 0 0 0 0 1 0 0 100 250" : "0 0 0 0 0 0 0 0 100 250");
        Session s;
        Records r = records(320, 240, 8000000); // a cap far above what constant quality needs
        EXPECT_TRUE(s.open(engine_, r));
        BufPtr in = makeCaptured(320, 240);
        drawFrame(in.get(), 320, 240, 0, 30);
        EXPECT_EQ(s.encode(in.get()), Media_EOK);
        std::string raw = root_.path("/tmp/roi.y");
        runCommand("ffmpeg -v error -y -i '" + save(s.stream, "roi.264") + "' -f rawvideo -pix_fmt nv12 '" + raw +
                   "' 2>&1");
        std::vector<uint8_t> got = readFile(raw);
        EXPECT_EQ(got.size(), 320u * 240u * 3 / 2);
        const uint8_t *src = Buffer_getUserPtr(in.get());
        double sum[2] = {0, 0};
        for (size_t i = 0; i < got.size() && i < 320 * 240; i++) {
            double d = static_cast<double>(got[i]) - src[i];
            sum[i % 320 < 96 ? 0 : 1] += d * d;
        }
        return std::pair<double, double>(sum[0] / (96 * 240), sum[1] / (224 * 240));
    };
    auto [inside, outside] = errors(true);
    auto [plainLeft, plainRight] = errors(false);
    EXPECT_LT(inside / outside, 0.5 * plainLeft / plainRight) << inside << " " << outside << " " << plainLeft << " "
                                                              << plainRight;

    root_.write("/mnt/m.ini", "0 0 0 0 0 1 400 400 32 32"); // outside the picture
    EXPECT_NE(createTraces().find("[Venc1] +++++roi=0\n"), std::string::npos);
}

// --- The second stream's encoder. ---

TEST_F(Venc1Test, SecondStreamTakesDelayProfileQualityAndLevelFromItsRecord)
{
    struct Case {
        const char *rs; // null: no file
        const char *traces;
        int vbvBuffer; // at VBR 1000 kbit/s
    } cases[] = {
        {nullptr, "ROI=0 sliceFormat=1 sliceMode=0 outputDataMode=1 encQuality=2 profileidc=100 level=40", 2000},
        {"1 320 240 500000 25 50 100 5 1 1 31",
         "ROI=0 sliceFormat=1 sliceMode=0 outputDataMode=1 encQuality=3 profileidc=77 level=31", 1000},
        {"1 320 240 500000 25 50 100 20 2 0 0",
         "ROI=0 sliceFormat=1 sliceMode=0 outputDataMode=1 encQuality=2 profileidc=66 level=40", 4000},
        {"1 320 240 500000 25 50 100 0 0 2 99",
         "ROI=0 sliceFormat=1 sliceMode=0 outputDataMode=1 encQuality=0 profileidc=100 level=0", 2000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rs ? c.rs : "no file");
        if (c.rs) {
            root_.write("/mnt/kavex_rs.ini", c.rs);
        }
        std::string out = createTraces(true);
        EXPECT_EQ(tracedValues(out, {"ROI", "sliceFormat", "sliceMode", "outputDataMode", "encQuality", "profileidc",
                                     "level"}),
                  c.traces);
        EXPECT_EQ(out.find("+++++roi="), std::string::npos);
        EXPECT_EQ(settings_.vbvBufferKbit, c.vbvBuffer);
    }
}

// --- Refusals. ---

TEST_F(Venc1Test, CreateFailuresSayWhy)
{
    Records r = records(320, 240);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Venc1_create(nullptr, "h264enc", &r.params, &r.dyn), nullptr);
    EXPECT_EQ(Venc1_create(engine_, "h264enc", &r.params, nullptr), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Venc1] Cannot pass null for engine, codec name, params or dynamic params\n"),
              std::string::npos);

    struct Case {
        const char *name;
        void (*spoil)(Records &);
        const char *message;
    } cases[] = {
        {"mpeg4enc", [](Records &) {}, "[Venc1] Failed to open video encode algorithm: mpeg4enc (0x1)\n"},
        {"h263enc", [](Records &) {}, "[Venc1] Failed to open video encode algorithm: h263enc (0x1)\n"},
        {"h264enc", [](Records &x) { x.params.inputChromaFormat = 1; },
         "[Venc1] Failed to open video encode algorithm: h264enc (0x2)\n"},
        {"h264enc", [](Records &x) { x.dyn.inputWidth = 336; }, "[Venc1] SETPARAMS failed, status=-5\n"},
        {"h264enc", [](Records &x) { x.dyn.inputHeight = 241; }, "[Venc1] SETPARAMS failed, status=-5\n"},
        {"h264enc", [](Records &x) { x.dyn.targetFrameRate = 0; }, "[Venc1] SETPARAMS failed, status=-5\n"},
    };
    for (const Case &c : cases) {
        Records bad = records(320, 240);
        c.spoil(bad);
        testing::internal::CaptureStderr();
        Venc1_Handle h = Venc1_create(engine_, c.name, &bad.params, &bad.dyn);
        err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(h, nullptr);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        Venc1_delete(h);
    }
    EXPECT_EQ(Venc1_delete(nullptr), Media_EOK);
}

TEST_F(Venc1Test, BadBuffersAreRefusedAndNothingIsWrittenPastTheOutput)
{
    Session s;
    Records r = records(160, 128);
    ASSERT_TRUE(s.open(engine_, r));
    EXPECT_EQ(Venc1_getInBufSize(s.enc.get()), 160 * 128 * 3 / 2);
    EXPECT_GE(Venc1_getOutBufSize(s.enc.get()), 160 * 128 * 3 / 2);
    BufPtr in = makeCaptured(160, 128);
    drawFrame(in.get(), 160, 128, 0, 200);

    auto expectRefused = [&](int result, const char *message) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Venc1_process(s.enc.get(), in.get(), s.out.get()), result);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(message), std::string::npos) << err;
    };
    BufferGfx_setColorSpace(in.get(), ColorSpace_UYVY);
    expectRefused(Media_EINVAL, "[Venc1] Unsupported color format of input buffer\n");
    BufferGfx_setColorSpace(in.get(), ColorSpace_YUV420PSEMI);
    BufferGfx_Dimensions d = {0, 100, 160, 128, 160};
    BufferGfx_setDimensions(in.get(), &d);
    expectRefused(Media_EINVAL, "[Venc1] Input picture lies outside its buffer\n");
    d = {0, 0, 96, 128, 160}; // narrower than the encoder's input
    BufferGfx_setDimensions(in.get(), &d);
    expectRefused(Media_EFAIL, "[Venc1] encoder process() failed with error (-5 ext: 0x10)\n");
    BufferGfx_resetDimensions(in.get());
    testing::internal::CaptureStderr();
    EXPECT_EQ(Venc1_process_fml(s.enc.get(), in.get(), s.out.get()), Media_EINVAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[Venc1] No second picture behind the main picture\n"),
              std::string::npos);

    // An output buffer too small for the access unit: refused, untouched past its size, and the next
    // picture starts again with an IDR picture so that the stream stays decodable.
    ASSERT_EQ(s.encode(in.get()), Media_EOK);
    BufPtr small(Buffer_create(4096, &Buffer_Attrs_DEFAULT));
    std::memset(Buffer_getUserPtr(small.get()), 0xAB, 4096);
    ASSERT_EQ(Buffer_setVirtualSize(small.get(), 100), Media_EOK);
    drawFrame(in.get(), 160, 128, 1, 200);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Venc1_process(s.enc.get(), in.get(), small.get()), Media_EFAIL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("failed with error (-1 ext: 0x20)"), std::string::npos);
    EXPECT_EQ(Buffer_getNumBytesUsed(small.get()), 0);
    const uint8_t *guard = Buffer_getUserPtr(small.get());
    for (int i = 100; i < 4096; i++) {
        ASSERT_EQ(guard[i], 0xAB) << i;
    }
    drawFrame(in.get(), 160, 128, 2, 200);
    ASSERT_EQ(s.encode(in.get()), Media_EOK);
    EXPECT_EQ(s.letters, "DD");
    EXPECT_NE(probe(save(s.stream, "after.264")).find("nb_read_frames=2"), std::string::npos);
}

// The output size the writer allocates holds the largest access unit: noise at the finest quantiser.
TEST_F(Venc1Test, OutputBufferSizeHoldsTheWorstPicture)
{
    root_.write("/mnt/cvbr.ini", "2 1 51 0 51 0");
    Session s;
    Records r = records(64, 64);
    ASSERT_TRUE(s.open(engine_, r));
    BufPtr in = makeCaptured(64, 64);
    uint8_t *p = Buffer_getUserPtr(in.get());
    uint32_t seed = 1;
    for (int i = 0; i < 64 * 64 * 3 / 2; i++) {
        seed = seed * 1103515245u + 12345u;
        p[i] = static_cast<uint8_t>(seed >> 16);
    }
    ASSERT_EQ(s.encode(in.get()), Media_EOK);
    EXPECT_GT(s.units[0].size(), 64u * 64u); // more than the picture's luma: a real worst case
    EXPECT_LE(static_cast<int>(s.units[0].size()), Venc1_getOutBufSize(s.enc.get()));
}

} // namespace
