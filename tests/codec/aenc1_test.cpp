// The audio encoder wrapper and the runtime's "aacenc" and "mp3enc": the virtual tone coded frame by
// frame, every frame's header checked against the bytes the wrapper returned, the files read back by
// ffprobe and decoded by ffmpeg (the decoded tone must be the tone that went in), the buffer sizes the
// audio thread builds its buffers from, the used sizes after a call, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "encode/codec/audenc.h"
#include "encode/media/media.h"
#include "tests/support/audio_test_support.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

// An encoder fed by the virtual sound device, built as the audio thread builds them: the dynamic
// record filled first and copied into the static one, buffers of the sizes the wrapper reports.
struct Chain {
    EnginePtr engine{Engine_open(ENGINE_NAME, nullptr, nullptr)};
    AencPtr enc;
    AudioBufPtr in;
    AudioBufPtr out;
    SoundPtr sound;

    Chain(const char *codec, int rate, int bitRate, int channelMode = AudioEnc_CHANNELS_STEREO, int soundChannels = 2)
    {
        AudioEnc_DynParams dyn = AudioEnc_DynParams_DEFAULT;
        dyn.sampleRate = rate;
        dyn.bitRate = bitRate;
        dyn.channelMode = channelMode;
        AudioEnc_Params params = AudioEnc_Params_DEFAULT;
        params.sampleRate = dyn.sampleRate;
        params.bitRate = dyn.bitRate;
        params.channelMode = dyn.channelMode;
        enc.reset(Aenc1_create(engine.get(), codec, &params, &dyn));
        if (enc == nullptr) {
            return;
        }
        in = makeAudioBuffer(Aenc1_getInBufSize(enc.get()));
        out = makeAudioBuffer(Aenc1_getOutBufSize(enc.get()));
        Sound_Attrs attrs = Sound_Attrs_STEREO_DEFAULT;
        attrs.sampleRate = rate;
        attrs.channels = soundChannels;
        testing::internal::CaptureStdout(); // the device's "no ha.ini"
        sound.reset(Sound_create(&attrs));
        testing::internal::GetCapturedStdout();
    }

    std::vector<uint8_t> coded() const
    {
        const uint8_t *p = Buffer_getUserPtr(out.get());
        return std::vector<uint8_t>(p, p + Buffer_getNumBytesUsed(out.get()));
    }

    // One capture and one encoder call; the coded frame (empty while the encoder fills its delay).
    std::vector<uint8_t> step()
    {
        EXPECT_EQ(Sound_read(sound.get(), in.get()), Media_EOK);
        EXPECT_EQ(Aenc1_process(enc.get(), in.get(), out.get()), Media_EOK);
        EXPECT_EQ(Buffer_getNumBytesUsed(in.get()), Buffer_getSize(in.get())) << "a whole frame is consumed";
        return coded();
    }
};

struct Adts {
    bool sync;
    int profile; // audio object type - 1
    int rateIndex;
    int channels;
    int length;
    int fullness;
    int blocks;
};

Adts parseAdts(const std::vector<uint8_t> &f)
{
    if (f.size() < 7) {
        return Adts{};
    }
    Adts a;
    a.sync = f[0] == 0xFF && f[1] == 0xF1;
    a.profile = f[2] >> 6;
    a.rateIndex = (f[2] >> 2) & 0xF;
    a.channels = ((f[2] & 1) << 2) | (f[3] >> 6);
    a.length = ((f[3] & 3) << 11) | (f[4] << 3) | (f[5] >> 5);
    a.fullness = ((f[5] & 0x1F) << 6) | (f[6] >> 2);
    a.blocks = f[6] & 3;
    return a;
}

// MPEG-1 layer III only: bit rate in kbit/s and the frame length its header announces (0 otherwise).
struct Mp3Header {
    int kbps = 0;
    int rate = 0;
    int length = 0;
};

Mp3Header parseMp3(const std::vector<uint8_t> &f)
{
    static const int kKbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int kRates[4] = {44100, 48000, 32000, 0};
    Mp3Header h;
    if (f.size() < 4 || f[0] != 0xFF || (f[1] & 0xFE) != 0xFA || kRates[(f[2] >> 2) & 3] == 0) {
        return h;
    }
    h.kbps = kKbps[f[2] >> 4];
    h.rate = kRates[(f[2] >> 2) & 3];
    h.length = 144 * h.kbps * 1000 / h.rate + ((f[2] >> 1) & 1);
    return h;
}

std::string probe(const std::string &file)
{
    return runCommand("ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels "
                      "-of default=noprint_wrappers=1 '" + file + "' 2>&1");
}

// Decodes with ffmpeg to interleaved 16-bit samples; anything ffmpeg prints at error level fails.
std::vector<int16_t> decode(const std::string &file)
{
    int status = -1;
    std::string raw = file + ".raw";
    std::string errors = runCommand("ffmpeg -nostdin -v error -y -i '" + file + "' -f s16le '" + raw + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(errors, "") << "the decoder complained";
    std::vector<uint8_t> b = readBytes(raw);
    return samplesOf(b.data(), b.size());
}

class Aenc1Test : public ::testing::Test {
protected:
    void TearDown() override { Media_setTraceLevel(Media_LEVEL_ERRORS); }

    // Everything coded goes to `file` (under the temporary root) as one stream.
    std::string save(const std::string &name, const std::vector<std::vector<uint8_t>> &frames)
    {
        std::vector<uint8_t> all;
        for (const auto &f : frames) {
            all.insert(all.end(), f.begin(), f.end());
        }
        std::string file = root_.path("/tmp/" + name);
        writeBytes(file, all);
        return file;
    }

    TempRoot root_;
    AudioEnv env_{"tone"};
};

class AacRates : public Aenc1Test, public ::testing::WithParamInterface<int> {};

TEST_P(AacRates, AdtsFramesDecodeToTheTone)
{
    const int rate = GetParam();
    Chain chain("aacenc", rate, 96000);
    ASSERT_NE(chain.sound, nullptr);
    EXPECT_EQ(Aenc1_getInBufSize(chain.enc.get()), 4096);
    EXPECT_EQ(Aenc1_getOutBufSize(chain.enc.get()), 2 * 768 + 7);
    EXPECT_TRUE(chain.step().empty()) << "the first frame fills the encoder's delay";
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 1; i < 3 * rate / 1024; i++) {
        frames.push_back(chain.step());
        const auto &f = frames.back();
        Adts a = parseAdts(f);
        ASSERT_TRUE(a.sync) << "frame " << i;
        EXPECT_EQ(a.profile, 1) << "LC";
        EXPECT_EQ(a.rateIndex, rate == 48000 ? 3 : 4);
        EXPECT_EQ(a.channels, 2);
        EXPECT_EQ(a.length, static_cast<int>(f.size())) << "frame " << i;
        EXPECT_EQ(a.fullness, 0x7FF);
        EXPECT_EQ(a.blocks, 0);
    }
    std::string file = save("tone.aac", frames);
    std::string info = probe(file);
    for (std::string want : {"codec_name=aac", "profile=LC", "channels=2"}) {
        EXPECT_NE(info.find(want), std::string::npos) << info;
    }
    EXPECT_NE(info.find("sample_rate=" + std::to_string(rate)), std::string::npos) << info;
    std::vector<int16_t> pcm = decode(file);
    ASSERT_GE(pcm.size() / 2, static_cast<size_t>(rate) * 2);
    // Past the delay and the encoder's start: the tone that went in, each channel its own.
    EXPECT_NEAR(toneFrequency(pcm, 2, 0, rate, rate / 4, rate * 2), 440.0, 2.0);
    EXPECT_NEAR(toneFrequency(pcm, 2, 1, rate, rate / 4, rate * 2), 660.0, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Both, AacRates, ::testing::Values(44100, 48000));

// 320 kbit/s at 48000 Hz: the largest frames the thread's output area must take, each one whole.
TEST_F(Aenc1Test, Mp3FramesAreWholeAtTheHighestRate)
{
    const int rate = 48000;
    Chain chain("mp3enc", rate, 320000);
    ASSERT_NE(chain.sound, nullptr);
    EXPECT_EQ(Aenc1_getInBufSize(chain.enc.get()), 1152 * 4);
    EXPECT_EQ(Aenc1_getOutBufSize(chain.enc.get()), 961); // 144 x 320000 / 48000 + the padding byte
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 3 * rate / 1152; i++) {
        std::vector<uint8_t> f = chain.step();
        if (f.empty()) {
            continue;
        }
        Mp3Header h = parseMp3(f);
        EXPECT_EQ(h.kbps, 320) << "frame " << i;
        EXPECT_EQ(h.rate, rate);
        EXPECT_EQ(h.length, static_cast<int>(f.size())) << "frame " << i << " was cut or joined";
        frames.push_back(f);
    }
    ASSERT_GT(frames.size(), 100u);
    std::string file = save("tone.mp3", frames);
    std::string info = probe(file);
    for (std::string want : {"codec_name=mp3", "sample_rate=48000", "channels=2"}) {
        EXPECT_NE(info.find(want), std::string::npos) << info;
    }
    std::vector<int16_t> pcm = decode(file);
    EXPECT_NEAR(toneFrequency(pcm, 2, 0, rate, rate / 4, rate * 2), 440.0, 2.0);
    EXPECT_NEAR(toneFrequency(pcm, 2, 1, rate, rate / 4, rate * 2), 660.0, 2.0);
}

// HDMI mono capture (has.ini "0"): the device fills half the buffer, the audio thread spreads sample k
// to both halves of stereo frame k from the last sample down, and the stereo encoder takes it.
TEST_F(Aenc1Test, MonoCaptureSpreadToStereoCodesBothChannelsAlike)
{
    root_.write("/mnt/ha.ini", "1");
    root_.write("/mnt/has.ini", "0");
    const int rate = 44100;
    Chain chain("aacenc", rate, 96000, AudioEnc_CHANNELS_STEREO, 1);
    ASSERT_NE(chain.sound, nullptr);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 2 * rate / 1024; i++) {
        ASSERT_EQ(Sound_read(chain.sound.get(), chain.in.get()), Media_EOK);
        int n = Buffer_getNumBytesUsed(chain.in.get());
        ASSERT_EQ(n, Buffer_getSize(chain.in.get()) / 2);
        uint8_t *p = Buffer_getUserPtr(chain.in.get());
        for (int k = n / 2 - 1; k >= 0; k--) {
            std::memcpy(p + 4 * k + 2, p + 2 * k, 2);
            std::memcpy(p + 4 * k, p + 4 * k + 2, 2);
        }
        Buffer_setNumBytesUsed(chain.in.get(), 2 * n);
        ASSERT_EQ(Aenc1_process(chain.enc.get(), chain.in.get(), chain.out.get()), Media_EOK);
        EXPECT_EQ(Buffer_getNumBytesUsed(chain.in.get()), 2 * n);
        frames.push_back(chain.coded());
    }
    std::vector<int16_t> pcm = decode(save("mono.aac", frames));
    ASSERT_GT(pcm.size(), static_cast<size_t>(rate));
    EXPECT_NEAR(toneFrequency(pcm, 2, 0, rate, rate / 4, rate), 440.0, 2.0);
    EXPECT_NEAR(toneFrequency(pcm, 2, 1, rate, rate / 4, rate), 440.0, 2.0);
    int maxDiff = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        maxDiff = std::max(maxDiff, std::abs(pcm[i] - pcm[i + 1]));
    }
    EXPECT_LT(maxDiff, 300) << "both channels carry the same signal";
}

TEST_F(Aenc1Test, MonoEncoderWritesOneChannel)
{
    Chain chain("aacenc", 44100, 64000, AudioEnc_CHANNELS_MONO, 1);
    ASSERT_NE(chain.sound, nullptr);
    EXPECT_EQ(Aenc1_getInBufSize(chain.enc.get()), 2048);
    EXPECT_EQ(Aenc1_getOutBufSize(chain.enc.get()), 768 + 7);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 20; i++) {
        frames.push_back(chain.step());
        if (i > 0) {
            EXPECT_EQ(parseAdts(frames.back()).channels, 1);
        }
    }
    EXPECT_NE(probe(save("mono.aac", frames)).find("channels=1"), std::string::npos);
}

// The wrapper's sample count comes from the used size; the used size afterwards is what was taken.
TEST_F(Aenc1Test, UsedSizesFollowTheSamplesConsumed)
{
    Chain chain("mp3enc", 44100, 128000);
    ASSERT_NE(chain.enc, nullptr);
    AudioBufPtr in = makeAudioBuffer(2 * Aenc1_getInBufSize(chain.enc.get()));
    std::memset(Buffer_getUserPtr(in.get()), 0, static_cast<size_t>(Buffer_getSize(in.get())));
    Buffer_Handle out = chain.out.get();

    Buffer_setNumBytesUsed(in.get(), 500 * 4 + 3); // a short frame and a stray byte
    ASSERT_EQ(Aenc1_process(chain.enc.get(), in.get(), out), Media_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(in.get()), 500 * 4);

    Buffer_setNumBytesUsed(in.get(), Buffer_getSize(in.get())); // two frames: one is taken
    ASSERT_EQ(Aenc1_process(chain.enc.get(), in.get(), out), Media_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(in.get()), 1152 * 4);

    Buffer_setNumBytesUsed(in.get(), 0);
    Buffer_setNumBytesUsed(out, 77);
    ASSERT_EQ(Aenc1_process(chain.enc.get(), in.get(), out), Media_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(in.get()), 0);
    EXPECT_EQ(Buffer_getNumBytesUsed(out), 0);
}

// Reset reopens the library encoder: its delay starts over, and the stream goes on decoding.
TEST_F(Aenc1Test, ResetRestartsTheDelay)
{
    Chain chain("aacenc", 48000, 128000);
    ASSERT_NE(chain.sound, nullptr);
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 40; i++) {
        if (i == 20) {
            AudioEnc_Status st{};
            st.size = sizeof st;
            EXPECT_EQ(AudioEnc_control(Aenc1_getCodecHandle(chain.enc.get()), AudioEnc_RESET, nullptr, &st), Media_EOK);
            EXPECT_EQ(st.encoderDelay, 1024);
        }
        frames.push_back(chain.step());
    }
    EXPECT_TRUE(frames[0].empty());
    EXPECT_FALSE(frames[19].empty());
    EXPECT_TRUE(frames[20].empty()) << "a reopened encoder takes its delay again";
    EXPECT_FALSE(frames[21].empty());
    decode(save("reset.aac", frames));
}

// A dynamic record with another rate reopens the encoder and changes the sizes; a refused one leaves
// the running encoder as it was; a bit rate the format cannot carry is brought down with a warning.
TEST_F(Aenc1Test, SetParamsReopensOrKeepsTheEncoder)
{
    Chain chain("mp3enc", 44100, 320000);
    ASSERT_NE(chain.enc, nullptr);
    EXPECT_EQ(Aenc1_getOutBufSize(chain.enc.get()), 1045);
    AudioEnc_Handle codec = Aenc1_getCodecHandle(chain.enc.get());
    AudioEnc_DynParams dyn = AudioEnc_DynParams_DEFAULT;
    dyn.bitRate = 320000;
    AudioEnc_Status st{};
    st.size = sizeof st;
    auto setRate = [&](int rate) {
        dyn.sampleRate = rate;
        testing::internal::CaptureStderr();
        int r = AudioEnc_control(codec, AudioEnc_SETPARAMS, &dyn, &st);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(AudioEnc_control(codec, AudioEnc_GETBUFINFO, nullptr, &st), Media_EOK);
        return std::make_pair(r, err);
    };
    EXPECT_EQ(setRate(32000).first, Media_EOK);
    EXPECT_EQ(st.bufInfo.minOutBufSize, 1441);
    EXPECT_EQ(st.encoderDelay, 1105);

    auto [r, err] = setRate(96000);
    EXPECT_EQ(r, Media_EINVAL);
    EXPECT_EQ(err, "[AudioEnc] mp3enc: sample rate 96000 Hz is not supported\n");
    EXPECT_EQ(st.bufInfo.minOutBufSize, 1441) << "still the 32000 Hz encoder";

    std::tie(r, err) = setRate(22050);
    EXPECT_EQ(r, Media_EOK);
    EXPECT_EQ(err, "[AudioEnc] mp3enc: bit rate 320000 is above the 160000 the format carries at 22050 Hz, "
                   "coding at 160000\n");
    EXPECT_EQ(st.samplesPerFrame, 576);
    EXPECT_EQ(st.bufInfo.minInBufSize, 576 * 4);
    EXPECT_EQ(st.bufInfo.minOutBufSize, 72 * 160000 / 22050 + 1);
}

TEST_F(Aenc1Test, RefusalsGiveTheirMessages)
{
    EnginePtr engine(Engine_open(ENGINE_NAME, nullptr, nullptr));
    const AudioEnc_Params params = AudioEnc_Params_DEFAULT;
    const AudioEnc_DynParams dyn = AudioEnc_DynParams_DEFAULT;
    AudioEnc_Params badRate = params;
    badRate.sampleRate = 96000;
    AudioEnc_Params crc = params;
    crc.crcFlag = 1;
    AudioEnc_DynParams badBits = dyn;
    badBits.inputBitsPerSample = 24;
    AudioEnc_DynParams shortDyn = dyn;
    shortDyn.size = 20;
    const std::string nulls = "[Aenc1] Cannot pass null for engine, codec name, params or dynamic params\n";
    struct Case {
        const char *codec;
        Engine_Handle engine;
        const AudioEnc_Params *params;
        const AudioEnc_DynParams *dyn;
        std::string err;
    };
    const Case cases[] = {
        {"aacenc", nullptr, &params, &dyn, nulls},
        {"aacenc", engine.get(), &params, nullptr, nulls},
        {"h264enc", engine.get(), &params, &dyn,
         "[AudioEnc] No audio encoder is built for codec h264enc\n[Aenc1] Failed to open audio encode algorithm: h264enc\n"},
        {"wmaenc", engine.get(), &params, &dyn,
         "[AudioEnc] Codec wmaenc is not in engine encode\n[Aenc1] Failed to open audio encode algorithm: wmaenc\n"},
        {"mp3enc", engine.get(), &badRate, &dyn,
         "[AudioEnc] mp3enc: sample rate 96000 Hz is not supported\n"
         "[Aenc1] Failed to open audio encode algorithm: mp3enc\n"},
        {"aacenc", engine.get(), &crc, &dyn,
         "[AudioEnc] aacenc: only constant bit rate without CRC or ancillary data is supported (encMode 0, crc 1, "
         "anc 0)\n[Aenc1] Failed to open audio encode algorithm: aacenc\n"},
        {"aacenc", engine.get(), &params, &badBits,
         "[AudioEnc] aacenc: input of 24 bits per sample is not supported (16)\n[Aenc1] SETPARAMS failed, status=-5\n"},
        {"aacenc", engine.get(), &params, &shortDyn,
         "[AudioEnc] aacenc: dynamic record missing or of 20 bytes (28 expected)\n[Aenc1] SETPARAMS failed, status=-5\n"},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        AencPtr enc(Aenc1_create(c.engine, c.codec, c.params, c.dyn));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(enc, nullptr) << c.codec;
    }
    Media_setTraceLevel(Media_LEVEL_NONE);
    testing::internal::CaptureStderr();
    AencPtr none(Aenc1_create(engine.get(), "h264enc", &params, &dyn));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "level 0 prints nothing";
}

TEST_F(Aenc1Test, ProcessFailuresAreReportedNotOverrun)
{
    Chain chain("aacenc", 44100, 96000);
    ASSERT_NE(chain.sound, nullptr);
    AudioBufPtr tiny = makeAudioBuffer(16);
    uint8_t *t = Buffer_getUserPtr(tiny.get());
    std::memset(t, 0xAB, 16);
    ASSERT_EQ(Buffer_setVirtualSize(tiny.get(), 8), 0);
    int r = Media_EOK;
    std::string err;
    for (int i = 0; i < 3 && r == Media_EOK; i++) { // the first frame gives nothing to fit
        ASSERT_EQ(Sound_read(chain.sound.get(), chain.in.get()), Media_EOK);
        testing::internal::CaptureStderr();
        r = Aenc1_process(chain.enc.get(), chain.in.get(), tiny.get());
        err = testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(r, Media_EFAIL);
    EXPECT_NE(err.find("does not fit the output buffer of 8\n[Aenc1] encoder process() failed with error (-1 ext: 0x20)\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(Buffer_getNumBytesUsed(tiny.get()), 0);
    EXPECT_TRUE(std::all_of(t, t + 16, [](uint8_t b) { return b == 0xAB; })) << "written past the reported size";

    // More samples announced than the input holds.
    uint8_t pcm[64] = {};
    uint8_t coded[2048];
    AudioEnc_BufDesc in{pcm, sizeof pcm};
    AudioEnc_BufDesc out{coded, sizeof coded};
    AudioEnc_InArgs inArgs{sizeof(AudioEnc_InArgs), 1024};
    AudioEnc_OutArgs outArgs{sizeof(AudioEnc_OutArgs), 0, 0, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(AudioEnc_process(Aenc1_getCodecHandle(chain.enc.get()), &in, &out, &inArgs, &outArgs), Media_EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[AudioEnc] aacenc: 1024 samples announced, the input buffer holds 64 bytes\n");
    EXPECT_EQ(outArgs.extendedError, AudioEnc_ERR_BADINPUT);
}

} // namespace
