// TS multiplexer. Each object owns its stored PAT and PMT packets, one continuity counter per
// (program, stream slot) and the count of calls since PAT/PMT last went out. TsMux_init runs in the
// owner's thread before streaming; TsMux_process runs in the writer and audio threads, always under
// the lock of the multiplexer stage that owns it, so the state needs no lock of its own.
// Nothing is allocated per call: packets are written straight into the caller's buffer and every
// frame byte is copied exactly once.
#include "encode/output/tsmux.h"
#include "encode/core/console.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

struct TsMux_Object {
    bool initialised = false;
    int builtPrograms = 0;  // programs whose PMT has been built
    uint8_t pat[TSMUX_PACKET_SIZE];
    uint8_t pmt[TSMUX_MAX_PROGRAMS][TSMUX_PACKET_SIZE];
    uint8_t continuity[TSMUX_MAX_PROGRAMS][TSMUX_MAX_STREAMS] = {};
    uint32_t psiCounter = 0;  // not reset by TsMux_init: a re-init must not delay the next PAT/PMT
};

namespace {

constexpr int kPsiBytes = 2 * TSMUX_PACKET_SIZE;
constexpr int kPieceMax = 65500;        // a PES packet's payload at most; keeps PES_packet_length in 16 bits
constexpr int kPcrCapacity = 176;       // PES bytes in a packet whose adaptation field carries the PCR
constexpr int kCapacity = 182;          // PES bytes in any other packet (2-byte adaptation field)
constexpr int kFirstHeaderLength = 14;  // PES header with PTS
constexpr int kNextHeaderLength = 9;    // PES header of the following pieces
constexpr uint32_t kPsiInterval = 100;  // calls without PAT/PMT before they are repeated anyway

constexpr TsMux_Config kDefaultConfig = {
    TSMUX_CONFIG_SIZE,
    2,
    {0x60, 0x61},
    {3, 2},
    {{0x1B, 0x98, 0x88}, {0x1B, 0x98, 0x88}},
    {{8, 9, 10}, {11, 12, 13}},
};

// The stream type decides the PES stream_id, and whether PES_packet_length is left 0 (video only).
struct StreamClass {
    int32_t streamType;
    uint8_t streamId;
};
constexpr StreamClass kStreamClasses[] = {
    {0x02, 0xE0}, {0x10, 0xE0}, {0x1B, 0xE0},                // MPEG-2, MPEG-4 part 2, H.264 video
    {0x03, 0xC0}, {0x0F, 0xC0}, {0x88, 0xC0}, {0x89, 0xC0},  // MPEG-1 audio, AAC ADTS, private audio
};
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kOtherStreamId = 0xBD;

uint8_t streamIdOf(int32_t streamType)
{
    for (const StreamClass &c : kStreamClasses) {
        if (c.streamType == streamType) {
            return c.streamId;
        }
    }
    return kOtherStreamId;
}

// MPEG-2 systems CRC-32: polynomial 0x04C11DB7, preset all ones, MSB first, no reflection, no final xor.
constexpr std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        }
        table[i] = r;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

uint32_t crc32Mpeg(const uint8_t *p, int n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < n; ++i) {
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ p[i]) & 0xFF];
    }
    return crc;
}

void putBe32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint8_t pidHigh(int32_t pid) { return static_cast<uint8_t>(0xE0 | ((pid >> 8) & 0x1F)); }
uint8_t pidLow(int32_t pid) { return static_cast<uint8_t>(pid & 0xFF); }

// The fixed part of PAT and PMT: sync, PID with payload_unit_start, a 1-byte empty adaptation field,
// pointer_field, table_id, section_length. The counter is always 0: the stored packets are re-sent as
// they are.
void psiHeader(uint8_t *pkt, int32_t pid, uint8_t tableId, int sectionLength)
{
    std::memset(pkt, 0xFF, TSMUX_PACKET_SIZE);
    pkt[0] = 0x47;
    pkt[1] = static_cast<uint8_t>(0x40 | ((pid >> 8) & 0x1F));
    pkt[2] = pidLow(pid);
    pkt[3] = 0x30;
    pkt[4] = 0x01;
    pkt[5] = 0x00;
    pkt[6] = 0x00;
    pkt[7] = tableId;
    pkt[8] = 0xB0;
    pkt[9] = static_cast<uint8_t>(sectionLength);
}

void buildPat(TsMux_Object &mux, const TsMux_Config &cfg)
{
    uint8_t *pat = mux.pat;
    const int n = cfg.numPrograms;
    psiHeader(pat, 0x0000, 0x00, 9 + 4 * n);
    pat[10] = 0xFF;  // transport_stream_id
    pat[11] = 0xFF;
    pat[12] = 0xC1;  // version 0, current_next_indicator 1
    pat[13] = 0x00;
    pat[14] = 0x00;
    for (int i = 0; i < n; ++i) {
        uint8_t *entry = pat + 15 + 4 * i;
        entry[0] = static_cast<uint8_t>((i + 1) >> 8);
        entry[1] = static_cast<uint8_t>(i + 1);
        entry[2] = pidHigh(cfg.pmtPid[i]);
        entry[3] = pidLow(cfg.pmtPid[i]);
    }
    putBe32(pat + 15 + 4 * n, crc32Mpeg(pat + 7, 8 + 4 * n));
}

void buildPmt(TsMux_Object &mux, const TsMux_Config &cfg, int program)
{
    uint8_t *pmt = mux.pmt[program];
    const int m = cfg.numStreams[program];
    psiHeader(pmt, cfg.pmtPid[program], 0x02, 13 + 5 * m);
    pmt[10] = static_cast<uint8_t>((program + 1) >> 8);
    pmt[11] = static_cast<uint8_t>(program + 1);
    pmt[12] = 0xC1;
    pmt[13] = 0x00;
    pmt[14] = 0x00;

    // The clock travels on the program's first video stream, or on slot 1 when it has none.
    int32_t pcrPid = cfg.esPid[program][0];
    for (int j = 0; j < m; ++j) {
        if (streamIdOf(cfg.streamType[program][j]) == kVideoStreamId) {
            pcrPid = cfg.esPid[program][j];
            break;
        }
    }
    pmt[15] = pidHigh(pcrPid);
    pmt[16] = pidLow(pcrPid);
    pmt[17] = 0xF0;  // program_info_length 0
    pmt[18] = 0x00;
    for (int j = 0; j < m; ++j) {
        uint8_t *es = pmt + 19 + 5 * j;
        es[0] = static_cast<uint8_t>(cfg.streamType[program][j]);
        es[1] = pidHigh(cfg.esPid[program][j]);
        es[2] = pidLow(cfg.esPid[program][j]);
        es[3] = 0xF0;  // ES_info_length 0
        es[4] = 0x00;
    }
    putBe32(pmt + 19 + 5 * m, crc32Mpeg(pmt + 7, 12 + 5 * m));
}

// The tables hold 2 programs of 3 streams; a config beyond them would build packets from memory
// outside the record and overrun the stored PMTs.
bool configFitsTables(const TsMux_Config &cfg)
{
    if (cfg.numPrograms > TSMUX_MAX_PROGRAMS) {
        return false;
    }
    for (int i = 0; i < cfg.numPrograms; ++i) {
        if (cfg.numStreams[i] < 1 || cfg.numStreams[i] > TSMUX_MAX_STREAMS) {
            return false;
        }
    }
    return true;
}

// Slot of `streamType` in the program: all three slots are searched, the highest match wins. -1 when
// none matches (or the program index lies outside the tables).
int findSlot(const TsMux_Config &cfg, int32_t program, int32_t streamType)
{
    if (program < 0 || program >= TSMUX_MAX_PROGRAMS) {
        return -1;
    }
    for (int j = TSMUX_MAX_STREAMS - 1; j >= 0; --j) {
        if (cfg.streamType[program][j] == streamType) {
            return j;
        }
    }
    return -1;
}

// Packets of one PES packet: `header` then `piece`, cut into 188-byte packets that each carry an
// adaptation field. The first packet of the frame's first piece carries the PCR; the last packet is
// padded with adaptation-field stuffing so the PES data ends exactly at the packet's end.
uint8_t *packetise(uint8_t *out, int32_t pid, uint8_t &counter, const uint8_t *header, int headerLength,
                   const uint8_t *piece, int pieceLength, bool withPcr, uint32_t t45)
{
    int left = headerLength + pieceLength;
    bool first = true;
    while (left > 0) {
        const bool pcr = first && withPcr;
        const int capacity = pcr ? kPcrCapacity : kCapacity;
        const int n = std::min(left, capacity);
        const int stuffing = capacity - n;

        out[0] = 0x47;
        out[1] = static_cast<uint8_t>((first ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
        out[2] = pidLow(pid);
        out[3] = static_cast<uint8_t>(0x30 | counter);
        counter = static_cast<uint8_t>((counter + 1) & 0x0F);

        uint8_t *p = out + 4;
        if (pcr) {
            // PCR base = 2 x T45 (33 bits), 6 reserved bits set, extension 0.
            *p++ = static_cast<uint8_t>(7 + stuffing);
            *p++ = 0x10;
            putBe32(p, t45);
            p += 4;
            *p++ = 0x7E;
            *p++ = 0x00;
        } else {
            *p++ = static_cast<uint8_t>(1 + stuffing);
            *p++ = 0x00;
        }
        std::memset(p, 0xFF, static_cast<size_t>(stuffing));
        p += stuffing;

        int payload = n;
        if (first) {
            // The header is shorter than any packet's capacity, so it always sits whole in the first.
            std::memcpy(p, header, static_cast<size_t>(headerLength));
            p += headerLength;
            payload -= headerLength;
        }
        std::memcpy(p, piece, static_cast<size_t>(payload));
        piece += payload;
        left -= n;
        out += TSMUX_PACKET_SIZE;
        first = false;
    }
    return out;
}

int piecePackets(int pesBytes, bool withPcr)
{
    if (withPcr) {
        return pesBytes <= kPcrCapacity ? 1 : 1 + (pesBytes - kPcrCapacity + kCapacity - 1) / kCapacity;
    }
    return (pesBytes + kCapacity - 1) / kCapacity;
}

void say(const char *line)
{
    Console_say("%s", line);
}

// The record's own checks, in the order the messages have always come: the slot of the frame's
// stream (0 or above), or the refusal's status after its message.
int checkParams(const TsMux_Object &mux, TsMux_Params *params)
{
    if (params == nullptr) {
        say("params==0 ! ");
        return Media_EINVAL;
    }
    if (params->size != TSMUX_PARAMS_SIZE) {
        Console_say("params size=%d, umcompatible version! \n", params->size);
        return Media_EINVAL;
    }
    params->outBytes = 0;
    if (params->config == nullptr) {
        say("params config ==0! ");
        return Media_EINVAL;
    }
    const TsMux_Config &cfg = *params->config;
    if (cfg.size != TSMUX_CONFIG_SIZE) {
        Console_say("config size:%d, umcompatible version! \n", cfg.size);
        return Media_EINVAL;
    }
    const int32_t program = params->program;
    const int slot = findSlot(cfg, program, params->streamType);
    if (slot < 0) {
        Console_say("strame Type[%d] is not register in this channel[%d] \n", params->streamType, program);
        return Media_EINVAL;
    }
    if (!mux.initialised) {
        say("TS packet doesn't inited!! ");
        return Media_EFAIL;
    }
    // A program beyond those TsMux_init built has no PMT to send.
    if (program >= mux.builtPrograms) {
        Console_say("strame Type[%d] is not register in this channel[%d] \n", params->streamType, program);
        return Media_EINVAL;
    }
    const int32_t length = params->dataLength;
    if (length < 0 || length > TSMUX_MAX_FRAME_LENGTH || (params->data == nullptr && length > 0)) {
        Console_say("params data invalid, dataLength=%d! \n", length);
        return Media_EINVAL;
    }
    if (params->output == nullptr) {
        say("params output ==0! ");
        return Media_EINVAL;
    }
    return slot;
}

} // namespace

TsMux_Handle TsMux_create(void)
{
    return new (std::nothrow) TsMux_Object;
}

void TsMux_delete(TsMux_Handle mux)
{
    delete mux;
}

int TsMux_init(TsMux_Handle mux, TsMux_Params *params)
{
    MEDIA_ASSERT(mux != nullptr);
    std::memset(mux->continuity, 0, sizeof mux->continuity);

    if (params == nullptr) {
        say("TS error:params==0! ");
        return Media_EINVAL;
    }
    if (params->size != TSMUX_PARAMS_SIZE) {
        Console_say("TS error:params.size==[%d]! \n", params->size);
        return Media_EINVAL;
    }
    if (params->config == nullptr) {
        say("TS error:params.config==0! ");
        return Media_EINVAL;
    }
    TsMux_Config &cfg = *params->config;
    if (cfg.size != TSMUX_CONFIG_SIZE) {
        say("TS error:config size is not compatible! ");
        return Media_EINVAL;
    }
    if (cfg.numPrograms == 0) {
        cfg = kDefaultConfig;
    }
    if (cfg.numPrograms <= 0) {
        return Media_EINVAL;
    }
    if (!configFitsTables(cfg)) {
        Console_say("TS error:config numPrograms=[%d] numStreams=[%d,%d] out of range! \n", cfg.numPrograms,
                    cfg.numStreams[0], cfg.numStreams[1]);
        return Media_EINVAL;
    }

    buildPat(*mux, cfg);
    for (int i = 0; i < cfg.numPrograms; ++i) {
        buildPmt(*mux, cfg, i);
    }
    mux->builtPrograms = cfg.numPrograms;
    mux->initialised = true;
    return Media_EOK;
}

// PES header of one piece of the frame: the first piece carries the PTS, the later ones none.
static int pesHeader(uint8_t (&header)[kFirstHeaderLength], uint8_t streamId, int pieceLength, bool firstPiece,
                     uint64_t pts)
{
    const int headerLength = firstPiece ? kFirstHeaderLength : kNextHeaderLength;
    // Video PES packets are unbounded (length 0); the others count the bytes after the length field.
    const int pesLength = streamId == kVideoStreamId ? 0 : pieceLength + headerLength - 6;
    header[0] = 0x00;
    header[1] = 0x00;
    header[2] = 0x01;
    header[3] = streamId;
    header[4] = static_cast<uint8_t>(pesLength >> 8);
    header[5] = static_cast<uint8_t>(pesLength);
    header[6] = 0x80;
    header[7] = firstPiece ? 0x80 : 0x00;
    header[8] = firstPiece ? 5 : 0;
    if (firstPiece) {
        header[9] = static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E));
        header[10] = static_cast<uint8_t>(pts >> 22);
        header[11] = static_cast<uint8_t>(((pts >> 14) & 0xFE) | 1);
        header[12] = static_cast<uint8_t>(pts >> 7);
        header[13] = static_cast<uint8_t>(((pts << 1) & 0xFE) | 1);
    }
    return headerLength;
}

int TsMux_process(TsMux_Handle mux, TsMux_Params *params)
{
    MEDIA_ASSERT(mux != nullptr);
    const int slot = checkParams(*mux, params);
    if (slot < 0) {
        return slot;
    }
    const TsMux_Config &cfg = *params->config;
    const int32_t program = params->program;

    uint8_t *out = params->output;
    ++mux->psiCounter;
    if ((params->flags & TSMUX_FLAGS_PSI) != 0 || mux->psiCounter > kPsiInterval) {
        mux->psiCounter = 0;
        std::memcpy(out, mux->pat, TSMUX_PACKET_SIZE);
        std::memcpy(out + TSMUX_PACKET_SIZE, mux->pmt[program], TSMUX_PACKET_SIZE);
        out += kPsiBytes;
    }

    // 45 kHz in 32 bits, wrapping like the 33-bit 90 kHz clock it is half of.
    const uint32_t t45 = params->microseconds * 45u / 1000u + params->seconds * 45000u;
    const uint64_t pts = 2ull * t45;

    const int32_t pid = cfg.esPid[program][slot];
    const uint8_t streamId = streamIdOf(params->streamType);
    uint8_t &counter = mux->continuity[program][slot];

    const uint8_t *src = params->data;
    int left = params->dataLength;
    bool firstPiece = true;
    while (left > 0) {
        const int pieceLength = std::min(left, kPieceMax);
        uint8_t header[kFirstHeaderLength];
        const int headerLength = pesHeader(header, streamId, pieceLength, firstPiece, pts);
        out = packetise(out, pid, counter, header, headerLength, src, pieceLength, firstPiece, t45);
        src += pieceLength;
        left -= pieceLength;
        firstPiece = false;
    }

    const int written = static_cast<int>(out - params->output);
    params->outBytes = written;
    return written;
}

TsMux_Config TsMux_encoderConfig(TsMux_Audio audio)
{
    TsMux_Config c{};
    c.size = TSMUX_CONFIG_SIZE;
    c.numPrograms = 1;
    c.pmtPid[0] = TSMUX_ENCODER_PMT_PID;
    c.numStreams[0] = 1;
    c.streamType[0][0] = TSMUX_STREAM_H264;
    c.esPid[0][0] = TSMUX_ENCODER_VIDEO_PID;
    if (audio != TsMux_Audio_NONE) {
        c.numStreams[0] = 2;
        c.streamType[0][1] = audio == TsMux_Audio_MP3 ? TSMUX_STREAM_MPEG_AUDIO : TSMUX_STREAM_AAC_ADTS;
        c.esPid[0][1] = TSMUX_ENCODER_AUDIO_PID;
    }
    return c;
}

int TsMux_outputBound(int dataLength)
{
    if (dataLength < 0 || dataLength > TSMUX_MAX_FRAME_LENGTH) {
        return 0;
    }
    int packets = 2;
    bool first = true;
    for (int left = dataLength; left > 0; left -= kPieceMax) {
        const int piece = std::min(left, kPieceMax);
        packets += piecePackets(piece + (first ? kFirstHeaderLength : kNextHeaderLength), first);
        first = false;
    }
    return packets * TSMUX_PACKET_SIZE;
}
