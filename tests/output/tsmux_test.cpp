// Byte-exact tests of the TS multiplexer: PSI tables and their CRC, PES headers, adaptation-field
// stuffing, PCR, continuity counters, PSI repetition, and every refusal.
#include "encode/output/tsmux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kPkt = TSMUX_PACKET_SIZE;

// Independent CRC: bit by bit, straight from the polynomial.
uint32_t bitCrc(const uint8_t *p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        for (int b = 7; b >= 0; --b) {
            const bool in = ((p[i] >> b) & 1) != 0;
            const bool top = (crc & 0x80000000u) != 0;
            crc <<= 1;
            if (in != top) {
                crc ^= 0x04C11DB7u;
            }
        }
    }
    return crc;
}

uint32_t be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// One parsed TS packet.
struct Packet {
    int pid = -1;
    bool start = false;
    int counter = -1;
    int afLength = -1;
    int afFlags = -1;
    bool hasPcr = false;
    uint32_t pcrHigh = 0;  // the first four PCR bytes (T45)
    std::vector<uint8_t> payload;
};

Packet parse(const uint8_t *p)
{
    Packet k;
    EXPECT_EQ(p[0], 0x47);
    k.pid = ((p[1] & 0x1F) << 8) | p[2];
    k.start = (p[1] & 0x40) != 0;
    EXPECT_EQ(p[1] & 0xA0, 0) << "transport_error and priority stay clear";
    EXPECT_EQ(p[3] & 0xF0, 0x30);
    k.counter = p[3] & 0x0F;
    k.afLength = p[4];
    k.afFlags = p[5];
    int at = 5 + k.afLength;
    EXPECT_LE(at, kPkt);
    if (k.afFlags & 0x10) {
        k.hasPcr = true;
        k.pcrHigh = be32(p + 6);
        EXPECT_EQ(p[10], 0x7E);
        EXPECT_EQ(p[11], 0x00);
        for (int i = 12; i < at; ++i) {
            EXPECT_EQ(p[i], 0xFF) << "stuffing at " << i;
        }
    } else {
        for (int i = 6; i < at; ++i) {
            EXPECT_EQ(p[i], 0xFF) << "stuffing at " << i;
        }
    }
    k.payload.assign(p + at, p + kPkt);
    return k;
}

std::vector<Packet> parseAll(const std::vector<uint8_t> &out, int bytes)
{
    EXPECT_EQ(bytes % kPkt, 0);
    std::vector<Packet> v;
    for (int i = 0; i + kPkt <= bytes; i += kPkt) {
        v.push_back(parse(out.data() + i));
    }
    return v;
}

uint64_t ptsOf(const uint8_t *h)
{
    return (uint64_t(h[0] & 0x0E) << 29) | (uint64_t(h[1]) << 22) | (uint64_t(h[2] & 0xFE) << 14) |
           (uint64_t(h[3]) << 7) | (uint64_t(h[4]) >> 1);
}

std::vector<uint8_t> pattern(int n, int seed)
{
    std::vector<uint8_t> v(static_cast<size_t>(n));
    uint32_t x = 0x9E3779B9u * static_cast<uint32_t>(seed + 1);
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

// Captures what the multiplexer prints around one call.
template <typename F> std::string printed(F &&f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

struct MuxDeleter {
    void operator()(TsMux_Object *m) const { TsMux_delete(m); }
};
using MuxPtr = std::unique_ptr<TsMux_Object, MuxDeleter>;

class TsMuxTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(handle, nullptr);
        config = TsMux_encoderConfig(TsMux_Audio_AAC);
        params = {};
        params.size = TSMUX_PARAMS_SIZE;
        params.config = &config;
        ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
        out.assign(8u << 20, 0xAA);
    }

    // Multiplexes one frame (with `other` instead of the fixture's multiplexer) and returns the byte count.
    int mux(const std::vector<uint8_t> &frame, int32_t type, int32_t flags, uint32_t sec = 0, uint32_t usec = 0,
            int32_t program = 0, TsMux_Handle other = nullptr)
    {
        params.program = program;
        params.data = frame.data();
        params.dataLength = static_cast<int32_t>(frame.size());
        params.streamType = type;
        params.seconds = sec;
        params.microseconds = usec;
        params.output = out.data();
        params.flags = flags;
        params.outBytes = -1;
        const int n = TsMux_process(other != nullptr ? other : handle.get(), &params);
        EXPECT_EQ(params.outBytes, std::max(n, 0)) << "a refusal writes no byte count";
        return n;
    }

    MuxPtr handle{TsMux_create()};
    TsMux_Config config{};
    TsMux_Params params{};
    std::vector<uint8_t> out;
};

TEST(TsMuxRecords, ConfigKeepsItsWordLayout)
{
    EXPECT_EQ(sizeof(TsMux_Config), 72u);
    EXPECT_EQ(offsetof(TsMux_Config, numPrograms), 4u);
    EXPECT_EQ(offsetof(TsMux_Config, pmtPid), 8u);
    EXPECT_EQ(offsetof(TsMux_Config, numStreams), 16u);
    EXPECT_EQ(offsetof(TsMux_Config, streamType), 24u);
    EXPECT_EQ(offsetof(TsMux_Config, esPid), 48u);
}

TEST(TsMuxCrc, IndependentCrcMatchesTheStandardCheckValue)
{
    const std::string check = "123456789";
    EXPECT_EQ(bitCrc(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0x0376E6E7u);
}

// A fresh multiplexer answers an unregistered type first, and only a registered one is told it is not
// initialised.
TEST(TsMuxBeforeInit, RefusesUntilInitialised)
{
    MuxPtr fresh(TsMux_create());
    TsMux_Config c = TsMux_encoderConfig(TsMux_Audio_AAC);
    std::vector<uint8_t> frame(10, 1), buf(4096, 0xAA);
    TsMux_Params p{};
    p.size = TSMUX_PARAMS_SIZE;
    p.config = &c;
    p.data = frame.data();
    p.dataLength = 10;
    p.output = buf.data();
    p.flags = 4;
    p.streamType = 0x03;
    int ra = -1;
    int rb = -1;
    EXPECT_EQ(printed([&] { ra = TsMux_process(fresh.get(), &p); }),
              "strame Type[3] is not register in this channel[0] \n");
    p.streamType = 0x1B;
    EXPECT_EQ(printed([&] { rb = TsMux_process(fresh.get(), &p); }), "TS packet doesn't inited!! ");
    EXPECT_EQ(ra, Media_EINVAL);
    EXPECT_EQ(rb, Media_EFAIL);
    EXPECT_EQ(p.outBytes, 0);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xAA), static_cast<long>(buf.size()));
}

TEST_F(TsMuxTest, DefaultConfigFillsAnEmptyConfig)
{
    TsMux_Config c{};
    c.size = TSMUX_CONFIG_SIZE;
    TsMux_Params p{};
    p.size = TSMUX_PARAMS_SIZE;
    p.config = &c;
    EXPECT_EQ(TsMux_init(handle.get(), &p), Media_EOK);
    EXPECT_EQ(c.size, 72);
    EXPECT_EQ(c.numPrograms, 2);
    EXPECT_EQ(c.pmtPid[0], 0x60);
    EXPECT_EQ(c.pmtPid[1], 0x61);
    EXPECT_EQ(c.numStreams[0], 3);
    EXPECT_EQ(c.numStreams[1], 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(c.streamType[i][0], 0x1B);
        EXPECT_EQ(c.streamType[i][1], 0x98);
        EXPECT_EQ(c.streamType[i][2], 0x88);
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(c.esPid[i][j], 8 + 3 * i + j);
        }
    }

    // Both programs are announced in the PAT; program 2's PMT carries two streams on PIDs 11 and 12.
    std::vector<uint8_t> frame(20, 7);
    p.data = frame.data();
    p.dataLength = 20;
    p.output = out.data();
    p.flags = 4;
    p.program = 1;
    p.streamType = 0x98;
    ASSERT_EQ(TsMux_process(handle.get(), &p), 3 * kPkt);
    const uint8_t *pat = out.data();
    EXPECT_EQ(pat[9], 9 + 8);
    const uint8_t entries[] = {0x00, 0x01, 0xE0, 0x60, 0x00, 0x02, 0xE0, 0x61};
    EXPECT_EQ(std::vector<uint8_t>(pat + 15, pat + 23), std::vector<uint8_t>(entries, entries + 8));
    EXPECT_EQ(be32(pat + 23), bitCrc(pat + 7, 16));
    const uint8_t *pmt = out.data() + kPkt;
    EXPECT_EQ(pmt[1], 0x40);
    EXPECT_EQ(pmt[2], 0x61);
    EXPECT_EQ(pmt[9], 13 + 10);
    EXPECT_EQ(pmt[11], 2);
    EXPECT_EQ(pmt[16], 11) << "PCR on the program's video stream";
    const uint8_t es[] = {0x1B, 0xE0, 11, 0xF0, 0x00, 0x98, 0xE0, 12, 0xF0, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(pmt + 19, pmt + 29), std::vector<uint8_t>(es, es + 10));
    EXPECT_EQ(be32(pmt + 29), bitCrc(pmt + 7, 22));
    // 0x98 belongs to no class: private stream 1.
    const Packet k = parse(out.data() + 2 * kPkt);
    EXPECT_EQ(k.pid, 12);
    EXPECT_EQ(k.payload[3], 0xBD);
}

TEST_F(TsMuxTest, PatAndPmtOfTheEncoderConfig)
{
    std::vector<uint8_t> frame(100, 0x5A);
    ASSERT_EQ(mux(frame, 0x1B, 4), 3 * kPkt);

    std::vector<uint8_t> pat(kPkt, 0xFF);
    const uint8_t patHead[] = {0x47, 0x40, 0x00, 0x30, 0x01, 0x00, 0x00, 0x00, 0xB0, 0x0D, 0xFF, 0xFF,
                               0xC1, 0x00, 0x00, 0x00, 0x01, 0xE0, 0x0A};
    std::copy(std::begin(patHead), std::end(patHead), pat.begin());
    const uint32_t patCrc = bitCrc(pat.data() + 7, 12);
    for (int i = 0; i < 4; ++i) {
        pat[19 + i] = static_cast<uint8_t>(patCrc >> (24 - 8 * i));
    }
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + kPkt), pat);
    // Re-running the CRC over the section and its CRC leaves no remainder.
    EXPECT_EQ(bitCrc(out.data() + 7, 16), 0u);

    std::vector<uint8_t> pmt(kPkt, 0xFF);
    const uint8_t pmtHead[] = {0x47, 0x40, 0x0A, 0x30, 0x01, 0x00, 0x00, 0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1, 0x00,
                               0x00, 0xE0, 0x64, 0xF0, 0x00, 0x1B, 0xE0, 0x64, 0xF0, 0x00, 0x0F, 0xE0, 0x66, 0xF0,
                               0x00};
    std::copy(std::begin(pmtHead), std::end(pmtHead), pmt.begin());
    const uint32_t pmtCrc = bitCrc(pmt.data() + 7, 22);
    for (int i = 0; i < 4; ++i) {
        pmt[29 + i] = static_cast<uint8_t>(pmtCrc >> (24 - 8 * i));
    }
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + kPkt, out.begin() + 2 * kPkt), pmt);
}

TEST_F(TsMuxTest, PcrPidFollowsTheFirstVideoSlotElseSlotOne)
{
    config.numStreams[0] = 3;
    config.streamType[0][0] = 0x0F;
    config.streamType[0][1] = 0x02;
    config.streamType[0][2] = 0x10;
    config.esPid[0][2] = 0x1234;
    ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
    std::vector<uint8_t> frame(1, 0);
    ASSERT_EQ(mux(frame, 0x0F, 4), 3 * kPkt);
    EXPECT_EQ(out[kPkt + 15], 0xE0);
    EXPECT_EQ(out[kPkt + 16], 102);
    EXPECT_EQ(out[kPkt + 19 + 10 + 1], 0xE0 | 0x12) << "PID high bits of a 13-bit PID";
    EXPECT_EQ(out[kPkt + 19 + 10 + 2], 0x34);

    config.streamType[0][1] = 0x03;
    config.streamType[0][2] = 0x88;
    ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
    ASSERT_EQ(mux(frame, 0x0F, 4), 3 * kPkt);
    EXPECT_EQ(out[kPkt + 16], 100) << "no video stream: slot 1";
    EXPECT_EQ(be32(out.data() + kPkt + 19 + 15), bitCrc(out.data() + kPkt + 7, 27));
}

TEST_F(TsMuxTest, HundredByteVideoFrame)
{
    const std::vector<uint8_t> frame = pattern(100, 1);
    ASSERT_EQ(mux(frame, 0x1B, 4, 1, 500000), 564);
    const uint8_t *p = out.data() + 2 * kPkt;
    const uint8_t head[] = {0x47, 0x40, 0x64, 0x30, 69, 0x10};
    EXPECT_EQ(std::vector<uint8_t>(p, p + 6), std::vector<uint8_t>(head, head + 6));
    EXPECT_EQ(be32(p + 6), 67500u) << "T45 of 1.5 s";
    EXPECT_EQ(p[10], 0x7E);
    EXPECT_EQ(p[11], 0x00);
    for (int i = 12; i < 12 + 62; ++i) {
        ASSERT_EQ(p[i], 0xFF);
    }
    const uint8_t *pes = p + 74;
    const uint8_t pesHead[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05};
    EXPECT_EQ(std::vector<uint8_t>(pes, pes + 9), std::vector<uint8_t>(pesHead, pesHead + 9));
    EXPECT_EQ(pes[9] & 0xF1, 0x21);
    EXPECT_EQ(ptsOf(pes + 9), 135000u);
    EXPECT_EQ(std::vector<uint8_t>(pes + 14, pes + 114), frame);
    EXPECT_EQ(out[564], 0xAA) << "nothing written past the result";
}

TEST_F(TsMuxTest, PcrPacketFullAndOneByteOver)
{
    std::vector<uint8_t> frame = pattern(162, 2);
    ASSERT_EQ(mux(frame, 0x1B, 0), kPkt) << "PSI counter not due yet, no flag";
    Packet k = parse(out.data());
    EXPECT_TRUE(k.hasPcr);
    EXPECT_EQ(k.afLength, 7);
    EXPECT_EQ(k.payload.size(), 176u);

    frame = pattern(163, 3);
    ASSERT_EQ(mux(frame, 0x1B, 0), 2 * kPkt);
    const std::vector<Packet> v = parseAll(out, 2 * kPkt);
    EXPECT_EQ(v[0].afLength, 7);
    EXPECT_TRUE(v[0].start);
    EXPECT_FALSE(v[1].start);
    EXPECT_FALSE(v[1].hasPcr);
    EXPECT_EQ(v[1].afLength, 182);
    EXPECT_EQ(v[1].afFlags, 0x00);
    ASSERT_EQ(v[1].payload.size(), 1u);
    EXPECT_EQ(v[1].payload[0], frame.back());
}

TEST_F(TsMuxTest, AudioPesIsBoundedAndFillsANonPcrPacketExactly)
{
    // 14 + 344 = 176 + 182: the second packet takes exactly 182 bytes, no stuffing.
    const std::vector<uint8_t> frame = pattern(344, 4);
    ASSERT_EQ(mux(frame, 0x0F, 1), 2 * kPkt);
    const std::vector<Packet> v = parseAll(out, 2 * kPkt);
    EXPECT_EQ(v[0].pid, 102);
    EXPECT_TRUE(v[0].hasPcr) << "audio frames carry a PCR too";
    EXPECT_EQ(v[1].afLength, 1);
    EXPECT_EQ(v[1].payload.size(), 182u);
    const std::vector<uint8_t> &pes = v[0].payload;
    EXPECT_EQ(pes[3], 0xC0);
    EXPECT_EQ((pes[4] << 8) | pes[5], 344 + 8);
    std::vector<uint8_t> body(pes.begin() + 14, pes.end());
    body.insert(body.end(), v[1].payload.begin(), v[1].payload.end());
    EXPECT_EQ(body, frame);
}

TEST_F(TsMuxTest, FrameIsCutIntoPesPiecesOf65500Bytes)
{
    std::vector<uint8_t> frame = pattern(65500, 5);
    int n = mux(frame, 0x1B, 0);
    int starts = 0;
    for (const Packet &k : parseAll(out, n)) {
        starts += k.start ? 1 : 0;
    }
    EXPECT_EQ(starts, 1);

    frame = pattern(65501, 6);
    n = mux(frame, 0x0F, 0, 7, 0);
    const std::vector<Packet> v = parseAll(out, n);
    std::vector<size_t> starting;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i].start) {
            starting.push_back(i);
        }
        EXPECT_EQ(v[i].hasPcr, i == 0) << i;
    }
    ASSERT_EQ(starting.size(), 2u);
    const Packet &second = v[starting[1]];
    EXPECT_EQ(second.afLength, 1 + 182 - 10) << "9-byte header and the last frame byte";
    const uint8_t head[] = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x04, 0x80, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(second.payload.begin(), second.payload.begin() + 9),
              std::vector<uint8_t>(head, head + 9));
    EXPECT_EQ(second.payload[9], frame.back());
    const std::vector<uint8_t> &first = v[0].payload;
    EXPECT_EQ((first[4] << 8) | first[5], 65500 + 8);
    EXPECT_EQ(ptsOf(first.data() + 9), 2u * 7 * 45000);
    EXPECT_EQ(n, TsMux_outputBound(65501) - 2 * kPkt);
}

TEST_F(TsMuxTest, ContinuityCountersPerSlotWrapAndPsiStaysAtZero)
{
    const std::vector<uint8_t> video = pattern(400, 7);  // 3 packets per frame
    const std::vector<uint8_t> audio = pattern(50, 8);   // 1 packet per frame
    int expectVideo = 0;
    int expectAudio = 0;
    for (int i = 0; i < 12; ++i) {
        int n = mux(video, 0x1B, 4);
        std::vector<Packet> v = parseAll(out, n);
        ASSERT_EQ(v.size(), 5u);
        EXPECT_EQ(v[0].counter, 0);
        EXPECT_EQ(v[1].counter, 0);
        EXPECT_EQ(out[3], 0x30);
        EXPECT_EQ(out[kPkt + 3], 0x30);
        for (size_t j = 2; j < v.size(); ++j) {
            EXPECT_EQ(v[j].pid, 100);
            EXPECT_EQ(v[j].counter, expectVideo) << "frame " << i;
            expectVideo = (expectVideo + 1) % 16;
        }
        n = mux(audio, 0x0F, 1);
        v = parseAll(out, n);
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0].pid, 102);
        EXPECT_EQ(v[0].counter, expectAudio);
        expectAudio = (expectAudio + 1) % 16;
    }
    EXPECT_EQ(expectVideo, 36 % 16);

    // A second multiplexer beside the first counts on its own, and so does the first.
    MuxPtr second(TsMux_create());
    ASSERT_EQ(TsMux_init(second.get(), &params), Media_EOK);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(mux(video, 0x1B, 0, 0, 0, 0, second.get()), 3 * kPkt);
        EXPECT_EQ(parse(out.data()).counter, 3 * i);
        ASSERT_EQ(mux(video, 0x1B, 0), 3 * kPkt);
        EXPECT_EQ(parse(out.data()).counter, (expectVideo + 3 * i) % 16);
    }

    // A new init starts every slot's counter again.
    ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
    ASSERT_EQ(mux(audio, 0x0F, 0), kPkt);
    EXPECT_EQ(parse(out.data()).counter, 0);
    ASSERT_EQ(mux(video, 0x1B, 0), 3 * kPkt);
    EXPECT_EQ(parse(out.data()).counter, 0);
}

TEST_F(TsMuxTest, HighestMatchingSlotWinsWhateverNumStreams)
{
    config.numStreams[0] = 1;
    config.streamType[0][2] = 0x1B;
    config.esPid[0][2] = 300;
    ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
    std::vector<uint8_t> frame(10, 1);
    ASSERT_EQ(mux(frame, 0x1B, 0), kPkt);
    EXPECT_EQ(parse(out.data()).pid, 300);
    // Slot 2 is outside numStreams yet still found.
    ASSERT_EQ(mux(frame, 0x0F, 0), kPkt);
    EXPECT_EQ(parse(out.data()).pid, 102);
}

TEST_F(TsMuxTest, PsiRepeatsAfterHundredCallsOrOnRequest)
{
    std::vector<uint8_t> frame(10, 1);
    ASSERT_EQ(mux(frame, 0x0F, 8), 3 * kPkt) << "bit 0x08 requests PSI as well";
    for (int i = 1; i <= 100; ++i) {
        ASSERT_EQ(mux(frame, 0x0F, 1 | 2 | 0x10), kPkt) << "call " << i;
    }
    ASSERT_EQ(mux(frame, 0x0F, 1), 3 * kPkt) << "the 101st call";
    ASSERT_EQ(mux(frame, 0x0F, 1), kPkt);
    // Refused calls do not count; a re-init keeps the count.
    for (int i = 0; i < 50; ++i) {
        printed([&] { mux(frame, 0x03, 1); });
    }
    ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
    for (int i = 2; i <= 100; ++i) {
        ASSERT_EQ(mux(frame, 0x0F, 1), kPkt) << "call " << i;
    }
    EXPECT_EQ(mux(frame, 0x0F, 1), 3 * kPkt);
}

TEST_F(TsMuxTest, TimeBaseWrapsIn32Bits)
{
    std::vector<uint8_t> frame(10, 1);
    ASSERT_EQ(mux(frame, 0x1B, 0, 95443, 700000), kPkt);  // just below the wrap
    const uint32_t t45 = 4294935000u + 31500u;
    Packet k = parse(out.data());
    EXPECT_EQ(k.pcrHigh, t45);
    EXPECT_EQ(ptsOf(k.payload.data() + 9), 2ull * t45);
    EXPECT_GT(2ull * t45, 0xFFFFFFFFull) << "the PTS uses its 33rd bit";

    ASSERT_EQ(mux(frame, 0x1B, 0, 95444, 0), kPkt);
    k = parse(out.data());
    EXPECT_EQ(k.pcrHigh, uint32_t(95444u * 45000u));
    EXPECT_EQ(k.pcrHigh, 12704u) << "wrapped";

    // A 64-bit tv_sec handed in keeps its low 32 bits, which give the same clock.
    const int64_t now = 1700000000;
    ASSERT_EQ(mux(frame, 0x1B, 0, static_cast<uint32_t>(now), 999999), kPkt);
    EXPECT_EQ(parse(out.data()).pcrHigh, uint32_t(44999u + uint32_t(now) * 45000u));
}

TEST_F(TsMuxTest, EveryFrameLengthRoundTripsAndMatchesTheBound)
{
    config.streamType[0][2] = 0x42;  // a stream type of no class
    config.esPid[0][2] = 104;
    ASSERT_EQ(TsMux_init(handle.get(), &params), Media_EOK);
    std::vector<int> lengths;
    for (int n = 0; n <= 600; ++n) {
        lengths.push_back(n);
    }
    for (int n : {65317, 65318, 65499, 65500, 65501, 131000, 131001, 200000}) {
        lengths.push_back(n);
    }
    for (int32_t type : {0x1B, 0x0F, 0x42}) {
        for (int n : lengths) {
            const std::vector<uint8_t> frame = pattern(n, n);
            const int bytes = mux(frame, type, 4);
            ASSERT_EQ(bytes, TsMux_outputBound(n)) << n;
            std::vector<uint8_t> body;
            for (const Packet &k : parseAll(out, bytes)) {
                if (k.pid == 0 || k.pid == 10) {
                    continue;
                }
                size_t skip = 0;
                if (k.start) {
                    skip = 9 + k.payload[8];
                    const int len = (k.payload[4] << 8) | k.payload[5];
                    if (type == 0x1B) {
                        EXPECT_EQ(len, 0);
                    }
                }
                body.insert(body.end(), k.payload.begin() + static_cast<long>(skip), k.payload.end());
            }
            ASSERT_EQ(body, frame) << "length " << n << " type " << type;
            if (HasFailure()) {
                return;
            }
        }
    }
    EXPECT_EQ(TsMux_outputBound(-1), 0);
    EXPECT_EQ(TsMux_outputBound(TSMUX_MAX_FRAME_LENGTH + 1), 0);
}

TEST_F(TsMuxTest, EmptyFrameGivesOnlyTablesWhenDue)
{
    std::vector<uint8_t> none;
    params.data = nullptr;
    EXPECT_EQ(mux(none, 0x1B, 4), 2 * kPkt);
    EXPECT_EQ(mux(none, 0x1B, 0), 0);
    EXPECT_EQ(out[0], 0x47);
}

// Refusals: one line each, nothing written, Media_EINVAL and outBytes 0.
TEST_F(TsMuxTest, ProcessRefusals)
{
    const std::vector<uint8_t> frame(50, 3);
    auto expectRefused = [&](TsMux_Params *p, const std::string &line) {
        std::fill(out.begin(), out.begin() + 1024, 0xAA);
        int r = -1;
        EXPECT_EQ(printed([&] { r = TsMux_process(handle.get(), p); }), line);
        EXPECT_EQ(r, Media_EINVAL);
        if (p != nullptr && p->size == TSMUX_PARAMS_SIZE) {
            EXPECT_EQ(p->outBytes, 0);
        }
        for (int i = 0; i < 1024; ++i) {
            ASSERT_EQ(out[static_cast<size_t>(i)], 0xAA) << line;
        }
    };
    auto fresh = [&] {
        TsMux_Params p = params;
        p.program = 0;
        p.data = frame.data();
        p.dataLength = 50;
        p.streamType = 0x1B;
        p.output = out.data();
        p.flags = 4;
        p.outBytes = 77;
        return p;
    };

    expectRefused(nullptr, "params==0 ! ");
    TsMux_Params p = fresh();
    p.size = 40;
    expectRefused(&p, "params size=40, umcompatible version! \n");
    EXPECT_EQ(p.outBytes, 77) << "a record of another version is not written to";
    p = fresh();
    p.config = nullptr;
    expectRefused(&p, "params config ==0! ");
    TsMux_Config bad = config;
    bad.size = 71;
    p = fresh();
    p.config = &bad;
    expectRefused(&p, "config size:71, umcompatible version! \n");
    p = fresh();
    p.streamType = 0x03;
    expectRefused(&p, "strame Type[3] is not register in this channel[0] \n");
    p = fresh();
    p.program = 1;
    expectRefused(&p, "strame Type[27] is not register in this channel[1] \n");
    p = fresh();
    p.program = 7;
    expectRefused(&p, "strame Type[27] is not register in this channel[7] \n");
    p = fresh();
    p.program = -1;
    expectRefused(&p, "strame Type[27] is not register in this channel[-1] \n");
    p = fresh();
    p.data = nullptr;
    expectRefused(&p, "params data invalid, dataLength=50! \n");
    p = fresh();
    p.dataLength = -5;
    expectRefused(&p, "params data invalid, dataLength=-5! \n");
    p = fresh();
    p.output = nullptr;
    expectRefused(&p, "params output ==0! ");

    // None of the refusals consumed a continuity count or the pending PSI request.
    p = fresh();
    ASSERT_EQ(TsMux_process(handle.get(), &p), 3 * kPkt);
    EXPECT_EQ(parse(out.data() + 2 * kPkt).counter, 0);
}

// Program 2 of a one-program config has a registered type in its slots but no PMT was built.
TEST_F(TsMuxTest, ProgramBeyondThoseInitialisedIsRefused)
{
    config.streamType[1][0] = 0x1B;
    config.esPid[1][0] = 200;
    std::vector<uint8_t> frame(10, 1);
    int r = -1;
    EXPECT_EQ(printed([&] { r = mux(frame, 0x1B, 4, 0, 0, 1); }),
              "strame Type[27] is not register in this channel[1] \n");
    EXPECT_EQ(r, Media_EINVAL);
}

TEST_F(TsMuxTest, InitRefusals)
{
    auto expectInit = [&](TsMux_Params *p, const std::string &line) {
        int r = -1;
        EXPECT_EQ(printed([&] { r = TsMux_init(handle.get(), p); }), line);
        EXPECT_EQ(r, Media_EINVAL);
    };
    TsMux_Config c = config;
    TsMux_Params p{};
    p.size = TSMUX_PARAMS_SIZE;
    p.config = &c;

    expectInit(nullptr, "TS error:params==0! ");
    p.size = 43;
    expectInit(&p, "TS error:params.size==[43]! \n");
    p.size = TSMUX_PARAMS_SIZE;
    p.config = nullptr;
    expectInit(&p, "TS error:params.config==0! ");
    p.config = &c;
    c.size = 0;
    expectInit(&p, "TS error:config size is not compatible! ");
    c.size = TSMUX_CONFIG_SIZE;
    c.numPrograms = -1;
    expectInit(&p, "");
    c.numPrograms = 3;
    expectInit(&p, "TS error:config numPrograms=[3] numStreams=[2,0] out of range! \n");
    c.numPrograms = 2;
    expectInit(&p, "TS error:config numPrograms=[2] numStreams=[2,0] out of range! \n");
    c.numPrograms = 1;
    c.numStreams[0] = 4;
    expectInit(&p, "TS error:config numPrograms=[1] numStreams=[4,0] out of range! \n");
    EXPECT_EQ(c.numPrograms, 1) << "a refused config is left as it was";

    // The tables built by the last good init survive refused ones.
    const std::vector<uint8_t> frame(10, 1);
    ASSERT_EQ(mux(frame, 0x1B, 4), 3 * kPkt);
    EXPECT_EQ(out[kPkt + 2], 10);
    EXPECT_EQ(out[kPkt + 9], 13 + 10);
}

TEST_F(TsMuxTest, FailedInitStillZeroesCounters)
{
    const std::vector<uint8_t> frame(10, 1);
    ASSERT_EQ(mux(frame, 0x1B, 0), kPkt);
    ASSERT_EQ(mux(frame, 0x1B, 0), kPkt);
    EXPECT_EQ(parse(out.data()).counter, 1);
    printed([&] { TsMux_init(handle.get(), nullptr); });
    ASSERT_EQ(mux(frame, 0x1B, 0), kPkt);
    EXPECT_EQ(parse(out.data()).counter, 0);
}

// A fixed sequence of video and audio frames, its whole output pinned by hash. Any change to a byte
// of the stream shows here.
TEST_F(TsMuxTest, GoldenStream)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    auto fold = [&](const uint8_t *p, int n) {
        for (int i = 0; i < n; ++i) {
            hash = (hash ^ p[i]) * 0x100000001B3ull;
        }
    };
    int total = 0;
    for (int i = 0; i < 40; ++i) {
        const uint32_t usec = static_cast<uint32_t>((i % 30) * 33333);
        const uint32_t sec = 1000 + static_cast<uint32_t>(i / 30);
        const int videoLength = i == 0 ? 70000 : 300 + 977 * (i % 7);
        int n = mux(pattern(videoLength, i), 0x1B, 4, sec, usec);
        fold(out.data(), n);
        total += n;
        n = mux(pattern(200 + 13 * i, 100 + i), 0x0F, 1, sec, usec + 11);
        fold(out.data(), n);
        total += n;
    }
    EXPECT_EQ(total, 242520);
    EXPECT_EQ(hash, 0xC6AF2FAD9BBE65BEull);
}

} // namespace
