// The sound adapter: the virtual device (tone channels, file loop, pacing, the way out at shutdown),
// the read sizes the HDMI audio choice sets, and the ALSA backend against ALSA's own file plugin
// (a configuration of the test's own, ALSA_CONFIG_PATH, no sound card), with the failures a file PCM
// cannot produce (overrun, suspend, a dead device, the mixer) injected into its alsa-lib calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "encode/media/media.h"
#include "encode/device/sound_device.h"
#include "tests/support/audio_test_support.h"
#include "tests/support/temp_root.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Created {
    SoundPtr sound;
    std::string out;
    std::string err;
};

Created create(const Sound_Attrs &attrs)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Created c;
    c.sound.reset(Sound_create(&attrs));
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

Sound_Attrs attrsOf(int rate, int channels)
{
    Sound_Attrs a = Sound_Attrs_STEREO_DEFAULT;
    a.sampleRate = rate;
    a.channels = channels;
    return a;
}

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override { Media_setTraceLevel(Media_LEVEL_ERRORS); }
    void TearDown() override { Media_setTraceLevel(Media_LEVEL_ERRORS); }

    TempRoot root_;
};

TEST_F(SoundTest, AttributesAndSourcesAreChecked)
{
    AudioEnv env("tone");
    const Sound_Attrs good = Sound_Attrs_STEREO_DEFAULT;
    const std::pair<void (*)(Sound_Attrs &), const char *> cases[] = {
        {[](Sound_Attrs &a) { a.soundStd = static_cast<Sound_Std>(1); }, "[Sound] Unknown sound standard (1)\n"},
        {[](Sound_Attrs &a) { a.mode = static_cast<Sound_Mode>(1); }, "[Sound] Unsupported sound mode (1): capture only\n"},
        {[](Sound_Attrs &a) { a.channels = 6; }, "[Sound] Unsupported number of channels (6): 1 or 2\n"},
        {[](Sound_Attrs &a) { a.sampleRate = 0; }, "[Sound] Unsupported sample rate (0)\n"},
        {[](Sound_Attrs &a) { a.soundInput = static_cast<Sound_Input>(2); }, "[Sound] Unknown sound input (2)\n"},
    };
    for (const auto &[spoil, message] : cases) {
        Sound_Attrs bad = good;
        spoil(bad);
        Created r = create(bad);
        EXPECT_EQ(r.sound, nullptr);
        EXPECT_EQ(r.err, message);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(Sound_create(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Sound] Must provide attrs\n");

    const std::pair<const char *, const char *> sources[] = {
        {"pulse", "[Sound] Unknown audio source pulse (alsa, alsa:PCMNAME, tone or file:PATH)\n"},
        {"alsa:", "[Sound] Unknown audio source alsa: (alsa, alsa:PCMNAME, tone or file:PATH)\n"},
        {"file:", "[Sound] Cannot open file: (No such file or directory)\n"},
    };
    for (const auto &[source, message] : sources) {
        setenv("ENCODE_AUDIO_SOURCE", source, 1);
        Created r = create(good);
        EXPECT_EQ(r.sound, nullptr) << source;
        EXPECT_EQ(r.err, message);
    }
}

TEST_F(SoundTest, ToneChannelsDifferAndRunOnAcrossReads)
{
    AudioEnv env("tone");
    const int rate = 48000;
    Created c = create(attrsOf(rate, 2));
    ASSERT_NE(c.sound, nullptr);
    EXPECT_EQ(c.out, "no ha.ini\n");
    AudioBufPtr buf = makeAudioBuffer(4096);
    std::vector<int16_t> all;
    for (int i = 0; i < rate / 1024 + 1; i++) {
        ASSERT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
        ASSERT_EQ(Buffer_getNumBytesUsed(buf.get()), 4096);
        std::vector<int16_t> s = samplesOf(Buffer_getUserPtr(buf.get()), 4096);
        all.insert(all.end(), s.begin(), s.end());
    }
    EXPECT_NEAR(toneFrequency(all, 2, 0, rate, 0, rate), 440.0, 1.0);
    EXPECT_NEAR(toneFrequency(all, 2, 1, rate, 0, rate), 660.0, 1.0);
    // No jump where one read ends and the next begins: the step between neighbours stays what a
    // 660 Hz sine of this amplitude allows.
    int maxStep = 0;
    for (size_t i = 2; i < all.size(); i++) {
        maxStep = std::max(maxStep, std::abs(all[i] - all[i - 2]));
    }
    EXPECT_LE(maxStep, 8192 * 2 * 3.1416 * 660 / rate + 2);
    EXPECT_NE(*std::max_element(all.begin(), all.end()), 0);
}

TEST_F(SoundTest, PacedByTheClockUnlessPacingIsOff)
{
    {
        AudioEnv env("tone", true);
        Created c = create(attrsOf(44100, 2));
        ASSERT_NE(c.sound, nullptr);
        AudioBufPtr buf = makeAudioBuffer(4096);
        const double perRead = 1024.0 / 44100;
        auto start = Clock::now();
        for (int i = 0; i < 8; i++) {
            ASSERT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
        }
        EXPECT_GE(secondsSince(start), 8 * perRead * 0.95);
        // A reader that fell behind gets no burst: the clock starts over.
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        start = Clock::now();
        for (int i = 0; i < 5; i++) {
            ASSERT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
        }
        EXPECT_GE(secondsSince(start), 5 * perRead * 0.95);
    }
    {
        AudioEnv env("tone", false);
        Created c = create(attrsOf(44100, 2));
        ASSERT_NE(c.sound, nullptr);
        AudioBufPtr buf = makeAudioBuffer(4096);
        auto start = Clock::now();
        for (int i = 0; i < 200; i++) { // 4.6 seconds of audio
            ASSERT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
        }
        EXPECT_LT(secondsSince(start), 1.0);
    }
}

TEST_F(SoundTest, QuitEndsAWaitingRead)
{
    AudioEnv env("tone", true);
    Created c = create(attrsOf(44100, 2));
    ASSERT_NE(c.sound, nullptr);
    AudioBufPtr big = makeAudioBuffer(44100 * 4 * 10); // ten seconds
    std::thread raiser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        SharedStatus_setQuit();
    });
    auto start = Clock::now();
    int r = Sound_read(c.sound.get(), big.get());
    double took = secondsSince(start);
    raiser.join();
    EXPECT_EQ(r, Sound_STOPPED);
    EXPECT_EQ(Buffer_getNumBytesUsed(big.get()), 0);
    EXPECT_LT(took, 1.0);
    // With quit already raised a read does not start.
    EXPECT_EQ(Sound_read(c.sound.get(), big.get()), Sound_STOPPED);
}

TEST_F(SoundTest, FilePlaysInALoopOfWholeFrames)
{
    std::vector<int16_t> pattern;
    for (int i = 0; i < 1500; i++) {
        pattern.push_back(static_cast<int16_t>(i));
        pattern.push_back(static_cast<int16_t>(-i - 1));
    }
    std::string path = root_.path("/tmp/loop.raw");
    writeSamples(path, pattern);
    {
        std::vector<uint8_t> b = readBytes(path);
        b.push_back(0x55); // a stray byte: no whole frame, never played
        b.push_back(0x55);
        writeBytes(path, b);
    }
    AudioEnv env(("file:" + path).c_str());
    Created c = create(attrsOf(44100, 2));
    ASSERT_NE(c.sound, nullptr);
    AudioBufPtr buf = makeAudioBuffer(4096);
    for (int r = 0; r < 4; r++) {
        ASSERT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
        std::vector<int16_t> s = samplesOf(Buffer_getUserPtr(buf.get()), 4096);
        for (int k = 0; k < 1024; k++) {
            int frame = (r * 1024 + k) % 1500;
            ASSERT_EQ(s[2 * k], frame) << "read " << r << " frame " << k;
            ASSERT_EQ(s[2 * k + 1], -frame - 1);
        }
    }

    std::string empty = root_.path("/tmp/empty.raw");
    writeBytes(empty, {0x01, 0x02, 0x03});
    setenv("ENCODE_AUDIO_SOURCE", ("file:" + empty).c_str(), 1);
    Created e = create(attrsOf(44100, 2));
    EXPECT_EQ(e.sound, nullptr);
    EXPECT_EQ(e.err, "[Sound] " + empty + " holds no whole sample frame of 2 channel(s)\n");
    setenv("ENCODE_AUDIO_SOURCE", ("file:" + root_.path("/tmp/none.raw")).c_str(), 1);
    Created m = create(attrsOf(44100, 2));
    EXPECT_EQ(m.sound, nullptr);
    EXPECT_EQ(m.err, "[Sound] Cannot open file:" + root_.path("/tmp/none.raw") + " (No such file or directory)\n");
}

// Reads by the HDMI audio choice: a quarter of the buffer in frames with HDMI selected (mono capture
// fills half the buffer), the whole buffer otherwise; the used size is always what was read.
TEST_F(SoundTest, HdmiChoiceSizesTheReads)
{
    AudioEnv env("tone");
    const int S = 4096;
    struct Case {
        const char *ha;  // null: no file
        const char *has; // null: no file
        int channels;
        std::string console;
        int used;
        bool warning;
    };
    const Case cases[] = {
        {nullptr, nullptr, 2, "no ha.ini\n", S, false},
        {"", nullptr, 2, "no ha.ini\n", S, false},
        {"0", nullptr, 2, "ha.ini read=0\n====3.5 audio select\n", S, false},
        {"0", nullptr, 1, "ha.ini read=0\n====3.5 audio select\n", S, false},
        {"1", "0", 1, "ha.ini read=1\n====hdmi audio select\n", S / 2, false},
        {"1", nullptr, 2, "ha.ini read=1\n====hdmi audio select\nno has.ini\n", S, false},
        {"1", "2", 2, "ha.ini read=1\n====hdmi audio select\n", S, false},
        // has.ini changed between the thread's reading and the device's: the reads follow the
        // channels, so the thread never spreads stale bytes past the buffer.
        {"1", "1", 1, "ha.ini read=1\n====hdmi audio select\n", S / 2, true},
        {"1", "0", 2, "ha.ini read=1\n====hdmi audio select\n", S, true},
    };
    for (const Case &c : cases) {
        std::remove(root_.path("/mnt/ha.ini").c_str());
        std::remove(root_.path("/mnt/has.ini").c_str());
        if (c.ha != nullptr) {
            root_.write("/mnt/ha.ini", c.ha);
        }
        if (c.has != nullptr) {
            root_.write("/mnt/has.ini", c.has);
        }
        Created r = create(attrsOf(44100, c.channels));
        ASSERT_NE(r.sound, nullptr);
        EXPECT_EQ(r.out, c.console) << (c.ha ? c.ha : "-") << " " << (c.has ? c.has : "-");
        EXPECT_EQ(r.err.find("does not match") != std::string::npos, c.warning) << r.err;
        AudioBufPtr buf = makeAudioBuffer(S);
        ASSERT_EQ(Sound_read(r.sound.get(), buf.get()), Media_EOK);
        EXPECT_EQ(Buffer_getNumBytesUsed(buf.get()), c.used) << (c.ha ? c.ha : "-") << " " << c.channels;
    }
    AudioBufPtr crumb = makeAudioBuffer(3);
    Created r = create(attrsOf(44100, 2));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Sound_read(r.sound.get(), crumb.get()), Media_EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Sound] Buffer of 3 bytes holds no sample frame\n");
}

// --- ALSA ---

// What the injected alsa-lib calls do; each test sets what it needs.
struct Injection {
    std::deque<int> readErrors; // returned by readi, one a call, before data flows again
    bool silentDevice = false;  // readi would block for ever
    int prepareResult = 0;
    int prepareCalls = 0;
    std::deque<int> resumeResults; // then 0
    int resumeCalls = 0;
    unsigned forcedRate = 0;
    bool bufferEqualsPeriod = false;
    int failWrite = -1; // index of the switch write that fails
    std::vector<std::pair<std::string, long>> writes;
};
Injection inj;
int ctlDummy;

int popOr(std::deque<int> &q, int otherwise)
{
    if (q.empty()) {
        return otherwise;
    }
    int v = q.front();
    q.pop_front();
    return v;
}

const SoundAlsaOps &lib()
{
    return SoundAlsa_libraryOps();
}

const SoundAlsaOps kInjected = {
    [](snd_pcm_t *p, void *b, snd_pcm_uframes_t n) -> snd_pcm_sframes_t {
        int e = inj.silentDevice ? -EAGAIN : popOr(inj.readErrors, 0);
        return e != 0 ? e : lib().readi(p, b, n);
    },
    [](snd_pcm_t *p, int timeoutMs) {
        if (!inj.silentDevice) {
            return lib().wait(p, timeoutMs);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return 0;
    },
    [](snd_pcm_t *p) {
        inj.prepareCalls++;
        return inj.prepareResult < 0 ? inj.prepareResult : lib().prepare(p);
    },
    [](snd_pcm_t *) {
        inj.resumeCalls++;
        return popOr(inj.resumeResults, 0);
    },
    [](const snd_pcm_hw_params_t *hw, unsigned int *rate, int *dir) {
        int r = lib().getRate(hw, rate, dir);
        *rate = inj.forcedRate != 0 ? inj.forcedRate : *rate;
        return r;
    },
    [](const snd_pcm_hw_params_t *hw, snd_pcm_uframes_t *frames) {
        int dir = 0;
        return inj.bufferEqualsPeriod ? snd_pcm_hw_params_get_period_size(hw, frames, &dir)
                                      : lib().getBufferSize(hw, frames);
    },
    [](snd_ctl_t **ctl, const char *name, int) {
        EXPECT_STREQ(name, "hw:0");
        *ctl = reinterpret_cast<snd_ctl_t *>(&ctlDummy);
        return 0;
    },
    [](snd_ctl_t *, snd_ctl_elem_value_t *v) {
        if (static_cast<int>(inj.writes.size()) == inj.failWrite) {
            return -EIO;
        }
        EXPECT_EQ(snd_ctl_elem_value_get_interface(v), SND_CTL_ELEM_IFACE_MIXER);
        EXPECT_EQ(snd_ctl_elem_value_get_index(v), 0u);
        inj.writes.emplace_back(snd_ctl_elem_value_get_name(v), snd_ctl_elem_value_get_integer(v, 0));
        return 0;
    },
    [](snd_ctl_t *) { return 0; },
};

// A configuration of our own instead of the system's: "testin" is ALSA's file plugin over a null
// device, reading the test's raw file; "plughw" (the board's name) is the same, so the board path
// gets as far as its mixer.
class AlsaTest : public SoundTest {
protected:
    void SetUp() override
    {
        SoundTest::SetUp();
        inj = Injection{};
        for (int i = 0; i < 16384; i++) {
            pcm_.push_back(static_cast<int16_t>(i * 3));
            pcm_.push_back(static_cast<int16_t>(-i * 5));
        }
        writeSamples(root_.path("/tmp/in.raw"), pcm_);
        std::string file = "    type file\n    slave.pcm { type null }\n    file \"" + root_.path("/tmp/out.raw") +
                           "\"\n    infile \"" + root_.path("/tmp/in.raw") + "\"\n    format \"raw\"\n";
        std::string conf = "pcm.testin {\n" + file + "}\n";
        conf += "pcm.plughw {\n    @args [ CARD DEV ]\n    @args.CARD { type string }\n"
                "    @args.DEV { type integer }\n" + file + "}\n";
        // Two channels and no other: the client's channels are its bindings.
        conf += "pcm.twochannels {\n    type multi\n    slaves.a { pcm { type null } channels 2 }\n"
                "    bindings.0 { slave a channel 0 }\n    bindings.1 { slave a channel 1 }\n}\n";
        root_.write("/tmp/asound.conf", conf);
        setenv("ALSA_CONFIG_PATH", root_.path("/tmp/asound.conf").c_str(), 1);
    }
    void TearDown() override
    {
        SoundAlsa_setOps(nullptr);
        unsetenv("ALSA_CONFIG_PATH");
        SoundTest::TearDown();
    }

    std::vector<int16_t> pcm_;
};

TEST_F(AlsaTest, ReadsWhatTheDeviceDelivers)
{
    AudioEnv env("alsa:testin");
    Media_setTraceLevel(Media_LEVEL_ALL);
    Created c = create(attrsOf(44100, 2));
    ASSERT_NE(c.sound, nullptr) << c.err;
    EXPECT_NE(c.out.find("[Sound] ++++++++++++++++++period size=1024\n"), std::string::npos) << c.out;
    Media_setTraceLevel(Media_LEVEL_ERRORS);
    AudioBufPtr buf = makeAudioBuffer(4096);
    std::vector<int16_t> got;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
        ASSERT_EQ(Buffer_getNumBytesUsed(buf.get()), 4096);
        std::vector<int16_t> s = samplesOf(Buffer_getUserPtr(buf.get()), 4096);
        got.insert(got.end(), s.begin(), s.end());
    }
    EXPECT_TRUE(std::equal(got.begin(), got.end(), pcm_.begin()));
}

TEST_F(AlsaTest, MissingDevicesGiveTheirMessages)
{
    {
        AudioEnv env("alsa:nosuchpcm");
        Created c = create(attrsOf(44100, 2));
        EXPECT_EQ(c.sound, nullptr);
        EXPECT_EQ(c.err, "[Sound] Failed to open ALSA sound device for input nosuchpcm (No such file or directory)\n");
    }
    {
        // The board's device is there, its card's control device is not: the mixer set-up fails the
        // device.
        AudioEnv env("alsa");
        Created c = create(attrsOf(44100, 2));
        EXPECT_EQ(c.sound, nullptr);
        EXPECT_NE(c.err.find("[Sound] Cannot open control device hw:0 ("), std::string::npos) << c.err;
        EXPECT_NE(c.err.find("[Sound] Failed to configure Right_PGA_Mixer_Line1R_Switch\n"), std::string::npos);
    }
    {
        // No board device at all (the configuration lacks it, as this machine lacks a sound card).
        root_.write("/tmp/asound2.conf", "pcm.testin { type null }\n");
        setenv("ALSA_CONFIG_PATH", root_.path("/tmp/asound2.conf").c_str(), 1);
        AudioEnv env("alsa");
        Created c = create(attrsOf(44100, 2));
        EXPECT_EQ(c.sound, nullptr);
        EXPECT_EQ(c.err.rfind("[Sound] Failed to open ALSA sound device for input plughw:0,0 (", 0), 0u) << c.err;
    }
}

TEST_F(AlsaTest, BoardMixerSwitchesFollowTheInput)
{
    SoundAlsa_setOps(&kInjected);
    AudioEnv env("alsa");
    using W = std::vector<std::pair<std::string, long>>;
    Sound_Attrs line = attrsOf(44100, 2);
    Created c = create(line);
    ASSERT_NE(c.sound, nullptr) << c.err;
    EXPECT_EQ(inj.writes, (W{{"Right PGA Mixer Line1R Switch", 1},
                             {"Left PGA Mixer Line1L Switch", 1},
                             {"Right PGA Mixer Mic3R Switch", 0},
                             {"Left PGA Mixer Mic3L Switch", 0}}));
    c.sound.reset();

    inj.writes.clear();
    Sound_Attrs mic = line;
    mic.soundInput = Sound_Input_MIC;
    c = create(mic);
    ASSERT_NE(c.sound, nullptr);
    EXPECT_EQ(inj.writes, (W{{"Right PGA Mixer Line1R Switch", 0},
                             {"Left PGA Mixer Line1L Switch", 0},
                             {"Right PGA Mixer Mic3R Switch", 1},
                             {"Left PGA Mixer Mic3L Switch", 1}}));
    c.sound.reset();

    inj.writes.clear();
    inj.failWrite = 2;
    c = create(line);
    EXPECT_EQ(c.sound, nullptr);
    EXPECT_EQ(c.err, "[Sound] Cannot write Right PGA Mixer Mic3R Switch on hw:0 (Input/output error)\n"
                     "[Sound] Failed to configure Right_PGA_Mixer_Mic3R_Switch\n");

    // Another PCM by name leaves the board's mixer alone.
    inj.writes.clear();
    inj.failWrite = -1;
    setenv("ENCODE_AUDIO_SOURCE", "alsa:testin", 1);
    c = create(line);
    ASSERT_NE(c.sound, nullptr);
    EXPECT_TRUE(inj.writes.empty());
}

TEST_F(AlsaTest, HardwareSetupsThatCannotServeAreRefused)
{
    SoundAlsa_setOps(&kInjected);
    AudioEnv env("alsa:testin");
    inj.bufferEqualsPeriod = true;
    Created c = create(attrsOf(44100, 2));
    EXPECT_EQ(c.sound, nullptr);
    EXPECT_EQ(c.err, "[Sound] Can't use period size equal to buf size (1024 == 1024)\n");

    inj = Injection{};
    inj.forcedRate = 48000;
    c = create(attrsOf(44100, 2));
    EXPECT_EQ(c.sound, nullptr);
    EXPECT_EQ(c.err, "[Sound] testin captures at 48000 Hz, not at 44100 Hz\n");

    setenv("ENCODE_AUDIO_SOURCE", "alsa:twochannels", 1);
    inj = Injection{};
    c = create(attrsOf(44100, 1));
    EXPECT_EQ(c.sound, nullptr);
    EXPECT_EQ(c.err, "[Sound] Failed to set channel count on twochannels (Invalid argument)\n");
    c = create(attrsOf(44100, 2));
    EXPECT_NE(c.sound, nullptr) << c.err;
}

TEST_F(AlsaTest, OverrunAndSuspendAreRecovered)
{
    SoundAlsa_setOps(&kInjected);
    AudioEnv env("alsa:testin");
    Created c = create(attrsOf(44100, 2));
    ASSERT_NE(c.sound, nullptr) << c.err;
    AudioBufPtr buf = makeAudioBuffer(4096);

    inj.readErrors = {-EPIPE};
    Media_setTraceLevel(Media_LEVEL_ALL);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[Sound] Recovering from underrun\n");
    Media_setTraceLevel(Media_LEVEL_ERRORS);
    EXPECT_EQ(inj.prepareCalls, 1);
    EXPECT_EQ(Buffer_getNumBytesUsed(buf.get()), 4096);

    // Suspended: resume is retried every second while it would block.
    inj.readErrors = {-ESTRPIPE};
    inj.resumeResults = {-EAGAIN, 0};
    auto start = Clock::now();
    EXPECT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
    EXPECT_GE(secondsSince(start), 0.95);
    EXPECT_EQ(inj.resumeCalls, 2);
    EXPECT_EQ(inj.prepareCalls, 1) << "a resumed device needs no restart";

    // A device that cannot resume is restarted.
    inj.readErrors = {-ESTRPIPE};
    inj.resumeResults = {-ENOSYS};
    EXPECT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);
    EXPECT_EQ(inj.prepareCalls, 2);
}

TEST_F(AlsaTest, ReadFailuresKeepTheirReasonAndPrintNothing)
{
    SoundAlsa_setOps(&kInjected);
    AudioEnv env("alsa:testin");
    Created c = create(attrsOf(44100, 2));
    ASSERT_NE(c.sound, nullptr) << c.err;
    AudioBufPtr buf = makeAudioBuffer(4096);
    auto failedWith = [&](const std::string &reason) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EFAIL);
        EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(Sound_failure(c.sound.get()), reason);
        EXPECT_EQ(Buffer_getNumBytesUsed(buf.get()), 0);
    };

    inj.readErrors = {-EPIPE};
    inj.prepareResult = -EBADFD;
    failedWith("[Sound] Failed to recover from over or underrun on testin; "
               "[Sound] Failed to read from testin (Broken pipe)");
    inj.readErrors = {-EIO};
    failedWith("[Sound] Failed to read from testin (Input/output error)");

    // The stream goes on after a failed read.
    inj.prepareResult = 0;
    EXPECT_EQ(Sound_read(c.sound.get(), buf.get()), Media_EOK);

    // A device that stops delivering fails the read after two seconds instead of stalling.
    inj.silentDevice = true;
    auto start = Clock::now();
    failedWith("[Sound] No audio from testin for 2 seconds");
    EXPECT_GE(secondsSince(start), 1.9);
}

TEST_F(AlsaTest, QuitEndsAWaitingRead)
{
    SoundAlsa_setOps(&kInjected);
    AudioEnv env("alsa:testin");
    Created c = create(attrsOf(44100, 2));
    ASSERT_NE(c.sound, nullptr) << c.err;
    AudioBufPtr buf = makeAudioBuffer(4096);
    inj.silentDevice = true;
    std::thread raiser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        SharedStatus_setQuit();
    });
    auto start = Clock::now();
    int r = Sound_read(c.sound.get(), buf.get());
    raiser.join();
    EXPECT_EQ(r, Sound_STOPPED);
    EXPECT_LT(secondsSince(start), 1.0);

    // Quit also ends a resume that keeps waiting.
    SharedStatus_reset();
    inj.silentDevice = false;
    inj.readErrors = {-ESTRPIPE};
    inj.resumeResults = std::deque<int>(100, -EAGAIN);
    std::thread raiser2([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        SharedStatus_setQuit();
    });
    start = Clock::now();
    r = Sound_read(c.sound.get(), buf.get());
    raiser2.join();
    EXPECT_EQ(r, Sound_STOPPED);
    EXPECT_LT(secondsSince(start), 1.0);
}

} // namespace
