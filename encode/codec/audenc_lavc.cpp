// "aacenc" and "mp3enc": the runtime's audio encoders on libavcodec's "aac" (AAC-LC) and "libmp3lame"
// encoders. They keep the board encoders' contract: one frame of interleaved 16-bit PCM in, at most
// one whole coded frame out in the same call.
//
// Why it is built the way it is:
// - neither library encoder takes interleaved 16-bit samples ("aac" wants planar float, "libmp3lame"
//   planar 16-bit here), so libswresample converts every frame; source and target rate are the same,
//   so it holds nothing back between calls.
// - "aac" gives raw frames; the transport stream, the hand-off FIFO and the TCP slots carry ADTS, so
//   the 7-byte header is written here. A "libmp3lame" packet is one whole MP3 frame already.
// - the output bound is what the format allows, not what the bit rate suggests: an AAC frame carries
//   at most 6144 bits per channel, an MP3 frame at most the 320 kbit/s (160 kbit/s below 32000 Hz)
//   frame plus its padding byte. The audio thread sizes its transport-stream area from it.
// - everything a frame needs (codec context, frame, packet, converter) is made when the encoder opens;
//   process allocates nothing of its own. The converter runs once at open so that its own work
//   buffers exist before the first real frame.
// - neither library encoder can be flushed and opened again in place: reset and a changed
//   configuration build a new session first and swap it in only when it opened, so a refused change
//   leaves the running encoder as it was.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "encode/codec/audenc_internal.h"
#include "encode/media/media.h"

namespace {

constexpr int kAdtsHeaderBytes = 7;
constexpr int kAacMaxBitsPerChannel = 6144;
constexpr int kAacFrameSamples = 1024;

// Sampling frequency indices of the ADTS header, in index order.
constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr int kMp3Rates[] = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

struct Kind {
    const char *runtimeName;
    const char *libraryName;
    AVSampleFormat sampleFormat;
    bool adts;
    const int *rates;
    int numRates;
};

constexpr Kind kAac = {"aacenc", "aac", AV_SAMPLE_FMT_FLTP, true, kAacRates, static_cast<int>(std::size(kAacRates))};
constexpr Kind kMp3 = {"mp3enc", "libmp3lame", AV_SAMPLE_FMT_S16P, false, kMp3Rates,
                       static_cast<int>(std::size(kMp3Rates))};

struct Setup {
    int sampleRate = 0;
    int bitRate = 0;
    int channels = 0;

    bool operator==(const Setup &) const = default;
};

struct ContextFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct SwrFree {
    void operator()(SwrContext *s) const { swr_free(&s); }
};

// One opened library encoder and everything a frame passes through.
struct Session {
    std::unique_ptr<AVCodecContext, ContextFree> ctx;
    std::unique_ptr<AVFrame, FrameFree> frame;
    std::unique_ptr<AVPacket, PacketFree> packet;
    std::unique_ptr<SwrContext, SwrFree> swr;
    int frameSize = 0;
    int delay = 0;
    int64_t pts = 0;

    // The samples still in the encoder's delay are coded and dropped: closed with them queued, the
    // library warns on every reset and at every stop.
    ~Session()
    {
        if (ctx == nullptr || packet == nullptr || avcodec_send_frame(ctx.get(), nullptr) < 0) {
            return;
        }
        while (avcodec_receive_packet(ctx.get(), packet.get()) == 0) {
            av_packet_unref(packet.get());
        }
    }
};

const char *errorText(int err, char *buf, size_t size)
{
    if (av_strerror(err, buf, size) < 0) {
        std::snprintf(buf, size, "error %d", err);
    }
    return buf;
}

bool rateSupported(const Kind &kind, int rate)
{
    return std::find(kind.rates, kind.rates + kind.numRates, rate) != kind.rates + kind.numRates;
}

// The highest bit rate the format carries at this rate and channel count.
int maxBitRate(const Kind &kind, const Setup &s)
{
    if (kind.adts) {
        return static_cast<int>(int64_t{kAacMaxBitsPerChannel} * s.channels * s.sampleRate / kAacFrameSamples);
    }
    return s.sampleRate >= 32000 ? 320000 : 160000;
}

// Bytes of the largest coded frame at the sample rate (see the top of the file).
int maxFrameBytes(const Kind &kind, const Setup &s)
{
    if (kind.adts) {
        return kAacMaxBitsPerChannel / 8 * s.channels + kAdtsHeaderBytes;
    }
    int slotsFactor = s.sampleRate >= 32000 ? 144 : 72; // samples per frame / 8
    return static_cast<int>(int64_t{slotsFactor} * maxBitRate(kind, s) / s.sampleRate) + 1;
}

int adtsRateIndex(int rate)
{
    for (int i = 0; i < static_cast<int>(std::size(kAacRates)); i++) {
        if (kAacRates[i] == rate) {
            return i;
        }
    }
    return 15; // never reached: open refuses other rates
}

// LC profile, no CRC, one raw data block, buffer fullness 0x7FF (variable rate signalled).
void writeAdtsHeader(uint8_t *h, int rateIndex, int channels, int frameLength)
{
    constexpr int kProfileLc = 1; // audio object type 2 minus 1
    h[0] = 0xFF;
    h[1] = 0xF1; // sync, MPEG-4, layer 0, protection absent
    h[2] = static_cast<uint8_t>((kProfileLc << 6) | (rateIndex << 2) | ((channels >> 2) & 1));
    h[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((frameLength >> 11) & 3));
    h[4] = static_cast<uint8_t>((frameLength >> 3) & 0xFF);
    h[5] = static_cast<uint8_t>(((frameLength & 7) << 5) | 0x1F);
    h[6] = 0xFC;
}

// The checks both records share. False after the message.
bool checkSetup(const Kind &kind, int sampleRate, int bitRate, int channelMode, int bitsPerSample, int lfeFlag)
{
    if (!rateSupported(kind, sampleRate)) {
        Media_error("[AudioEnc] %s: sample rate %d Hz is not supported\n", kind.runtimeName, sampleRate);
        return false;
    }
    if (bitRate <= 0) {
        Media_error("[AudioEnc] %s: bit rate %d is not supported\n", kind.runtimeName, bitRate);
        return false;
    }
    if (channelMode != AudioEnc_CHANNELS_MONO && channelMode != AudioEnc_CHANNELS_STEREO) {
        Media_error("[AudioEnc] %s: channel mode %d is not supported (0 mono, 1 stereo)\n", kind.runtimeName,
                    channelMode);
        return false;
    }
    if (bitsPerSample != 16) {
        Media_error("[AudioEnc] %s: input of %d bits per sample is not supported (16)\n", kind.runtimeName,
                    bitsPerSample);
        return false;
    }
    if (lfeFlag != 0) {
        Media_error("[AudioEnc] %s: a low-frequency channel is not supported\n", kind.runtimeName);
        return false;
    }
    return true;
}

// The setup a record asks for, the bit rate brought down to what the format carries.
Setup setupOf(const Kind &kind, int sampleRate, int bitRate, int channelMode)
{
    Setup s{sampleRate, bitRate, channelMode == AudioEnc_CHANNELS_MONO ? 1 : 2};
    int highest = maxBitRate(kind, s);
    if (s.bitRate > highest) {
        Media_warning("[AudioEnc] %s: bit rate %d is above the %d the format carries at %d Hz, coding at %d\n",
                      kind.runtimeName, s.bitRate, highest, s.sampleRate, highest);
        s.bitRate = highest;
    }
    return s;
}

void keepLibraryQuiet()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_WARNING); });
}

// Step 1: the library encoder itself. Null after its message; the reason in *error.
std::unique_ptr<AVCodecContext, ContextFree> openCodec(const Kind &kind, const Setup &s, int *error)
{
    char text[128];
    const AVCodec *codec = avcodec_find_encoder_by_name(kind.libraryName);
    if (codec == nullptr) {
        Media_error("[AudioEnc] %s: libavcodec has no %s encoder\n", kind.runtimeName, kind.libraryName);
        *error = AudioEnc_ERR_ENCODER;
        return nullptr;
    }
    std::unique_ptr<AVCodecContext, ContextFree> ctx(avcodec_alloc_context3(codec));
    if (ctx == nullptr) {
        *error = AudioEnc_ERR_NOMEM;
        return nullptr;
    }
    ctx->sample_rate = s.sampleRate;
    ctx->bit_rate = s.bitRate;
    ctx->sample_fmt = kind.sampleFormat;
    ctx->time_base = AVRational{1, s.sampleRate};
    ctx->thread_count = 1;
    if (kind.adts) {
        ctx->profile = FF_PROFILE_AAC_LOW;
    }
    av_channel_layout_default(&ctx->ch_layout, s.channels);
    int r = avcodec_open2(ctx.get(), codec, nullptr);
    if (r < 0) {
        Media_error("[AudioEnc] %s: cannot open %s at %d Hz, %d bit/s, %d channel(s) (%s)\n", kind.runtimeName,
                    kind.libraryName, s.sampleRate, s.bitRate, s.channels, errorText(r, text, sizeof text));
        *error = AudioEnc_ERR_ENCODER;
        return nullptr;
    }
    return ctx;
}

// Step 2: the frame, the packet and the converter, converter run once on silence.
bool makeFramePath(const Kind &kind, Session &session, int *error)
{
    AVCodecContext *ctx = session.ctx.get();
    session.frame.reset(av_frame_alloc());
    session.packet.reset(av_packet_alloc());
    if (session.frame == nullptr || session.packet == nullptr) {
        *error = AudioEnc_ERR_NOMEM;
        return false;
    }
    AVFrame *f = session.frame.get();
    f->format = kind.sampleFormat;
    f->nb_samples = session.frameSize;
    f->sample_rate = ctx->sample_rate;
    if (av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0) {
        *error = AudioEnc_ERR_NOMEM;
        return false;
    }
    SwrContext *swr = nullptr;
    bool ready = swr_alloc_set_opts2(&swr, &ctx->ch_layout, kind.sampleFormat, ctx->sample_rate, &ctx->ch_layout,
                                     AV_SAMPLE_FMT_S16, ctx->sample_rate, 0, nullptr) >= 0 &&
                 swr_init(swr) >= 0;
    session.swr.reset(swr);
    if (ready) {
        std::vector<uint8_t> silence(static_cast<size_t>(session.frameSize) * ctx->ch_layout.nb_channels * 2, 0);
        const uint8_t *in = silence.data();
        ready = swr_convert(swr, f->data, session.frameSize, &in, session.frameSize) == session.frameSize;
    }
    if (!ready) {
        Media_error("[AudioEnc] %s: cannot set up the sample conversion\n", kind.runtimeName);
        *error = AudioEnc_ERR_ENCODER;
    }
    return ready;
}

std::unique_ptr<Session> openSession(const Kind &kind, const Setup &s, int *error)
{
    keepLibraryQuiet();
    auto session = std::make_unique<Session>();
    session->ctx = openCodec(kind, s, error);
    if (session->ctx == nullptr) {
        return nullptr;
    }
    session->frameSize = session->ctx->frame_size;
    session->delay = session->ctx->initial_padding;
    if (session->frameSize <= 0 || !makeFramePath(kind, *session, error)) {
        if (session->frameSize <= 0) {
            Media_error("[AudioEnc] %s: %s reports no frame size\n", kind.runtimeName, kind.libraryName);
            *error = AudioEnc_ERR_ENCODER;
        }
        return nullptr;
    }
    Media_trace("[AudioEnc] %s: %s open at %d Hz, %d bit/s, %d channel(s), %d samples per frame, delay %d\n",
                kind.runtimeName, kind.libraryName, s.sampleRate, s.bitRate, s.channels, session->frameSize,
                session->delay);
    return session;
}

class LavcAudioEncoder : public AudioEncoder {
public:
    LavcAudioEncoder(const Kind &kind, const Setup &setup, std::unique_ptr<Session> session)
        : kind_(kind), setup_(setup), session_(std::move(session))
    {
    }

    int control(int cmd, const AudioEnc_DynParams *dynParams, AudioEnc_Status *status) override
    {
        int error = 0;
        int r = Media_EOK;
        switch (cmd) {
        case AudioEnc_SETPARAMS:
            r = setParams(dynParams, &error);
            break;
        case AudioEnc_RESET:
        case AudioEnc_FLUSH:
            r = reopen(setup_, &error);
            break;
        case AudioEnc_GETBUFINFO:
            break;
        default:
            Media_error("[AudioEnc] %s: unknown control command %d\n", kind_.runtimeName, cmd);
            error = AudioEnc_ERR_BADPARAMS;
            r = Media_EINVAL;
            break;
        }
        if (status != nullptr) {
            status->extendedError = error;
            fillStatus(*status);
        }
        return r;
    }

    int process(const AudioEnc_BufDesc *in, AudioEnc_BufDesc *out, const AudioEnc_InArgs *inArgs,
                AudioEnc_OutArgs *outArgs) override
    {
        if (in == nullptr || out == nullptr || inArgs == nullptr || outArgs == nullptr ||
            inArgs->size != sizeof(AudioEnc_InArgs) || outArgs->size != sizeof(AudioEnc_OutArgs) ||
            out->data == nullptr || out->size < 0) {
            Media_error("[AudioEnc] %s: process arguments missing or of a wrong size\n", kind_.runtimeName);
            if (outArgs != nullptr) {
                outArgs->extendedError = AudioEnc_ERR_BADPARAMS;
            }
            return Media_EINVAL;
        }
        outArgs->extendedError = 0;
        outArgs->bytesGenerated = 0;
        outArgs->samplesConsumed = 0;
        int samples = std::min(inArgs->numInSamples, session_->frameSize);
        int64_t inBytes = int64_t{samples} * setup_.channels * 2;
        if (inArgs->numInSamples < 0 || (samples > 0 && (in->data == nullptr || in->size < inBytes))) {
            Media_error("[AudioEnc] %s: %d samples announced, the input buffer holds %d bytes\n", kind_.runtimeName,
                        inArgs->numInSamples, in->data == nullptr ? 0 : in->size);
            outArgs->extendedError = AudioEnc_ERR_BADINPUT;
            return Media_EINVAL;
        }
        if (samples == 0) {
            return Media_EOK;
        }
        int r = encode(in->data, samples, *out, *outArgs);
        if (r == Media_EOK) {
            outArgs->samplesConsumed = samples;
        }
        return r;
    }

private:
    int setParams(const AudioEnc_DynParams *dyn, int *error)
    {
        if (dyn == nullptr || dyn->size != sizeof(AudioEnc_DynParams)) {
            Media_error("[AudioEnc] %s: dynamic record missing or of %d bytes (%d expected)\n", kind_.runtimeName,
                        dyn == nullptr ? 0 : dyn->size, static_cast<int>(sizeof(AudioEnc_DynParams)));
            *error = AudioEnc_ERR_BADPARAMS;
            return Media_EINVAL;
        }
        if (!checkSetup(kind_, dyn->sampleRate, dyn->bitRate, dyn->channelMode, dyn->inputBitsPerSample,
                        dyn->lfeFlag)) {
            *error = AudioEnc_ERR_BADPARAMS;
            return Media_EINVAL;
        }
        Setup wanted = setupOf(kind_, dyn->sampleRate, dyn->bitRate, dyn->channelMode);
        return wanted == setup_ ? Media_EOK : reopen(wanted, error);
    }

    int reopen(const Setup &s, int *error)
    {
        std::unique_ptr<Session> fresh = openSession(kind_, s, error);
        if (fresh == nullptr) {
            return Media_EFAIL;
        }
        session_ = std::move(fresh);
        setup_ = s;
        return Media_EOK;
    }

    void fillStatus(AudioEnc_Status &status) const
    {
        status.bufInfo.minNumInBufs = 1;
        status.bufInfo.minInBufSize = session_->frameSize * setup_.channels * 2;
        status.bufInfo.minNumOutBufs = 1;
        status.bufInfo.minOutBufSize = maxFrameBytes(kind_, setup_);
        status.samplesPerFrame = session_->frameSize;
        status.encoderDelay = session_->delay;
    }

    // Converts `samples` sample frames (silence after them up to a whole frame) and codes the frame.
    int encode(const uint8_t *pcm, int samples, AudioEnc_BufDesc &out, AudioEnc_OutArgs &outArgs)
    {
        Session &s = *session_;
        AVFrame *f = s.frame.get();
        if (av_frame_make_writable(f) < 0) {
            outArgs.extendedError = AudioEnc_ERR_NOMEM;
            return failed("the frame cannot be written", 0);
        }
        if (swr_convert(s.swr.get(), f->data, s.frameSize, &pcm, samples) != samples) {
            outArgs.extendedError = AudioEnc_ERR_ENCODER;
            return failed("sample conversion failed", 0);
        }
        if (samples < s.frameSize) {
            av_samples_set_silence(f->extended_data, samples, s.frameSize - samples, setup_.channels,
                                   kind_.sampleFormat);
        }
        f->nb_samples = s.frameSize;
        f->pts = s.pts;
        s.pts += s.frameSize;

        // Both library encoders code a frame inside the send and hand out at most one packet for it,
        // which is received right away: the library never holds a packet between calls.
        int r = avcodec_send_frame(s.ctx.get(), f);
        if (r < 0) {
            return failedCoding(outArgs, r);
        }
        r = avcodec_receive_packet(s.ctx.get(), s.packet.get());
        if (r == AVERROR(EAGAIN)) {
            return Media_EOK; // the frame went into the encoder's delay
        }
        if (r < 0) {
            return failedCoding(outArgs, r);
        }
        return deliver(out, outArgs);
    }

    // The received packet into `out`, behind an ADTS header for AAC.
    int deliver(AudioEnc_BufDesc &out, AudioEnc_OutArgs &outArgs)
    {
        AVPacket *p = session_->packet.get();
        int header = kind_.adts ? kAdtsHeaderBytes : 0;
        int64_t total = int64_t{header} + p->size;
        if (total > out.size) {
            Media_error("[AudioEnc] %s: coded frame of %lld bytes does not fit the output buffer of %d\n",
                        kind_.runtimeName, static_cast<long long>(total), out.size);
            av_packet_unref(p);
            outArgs.extendedError = AudioEnc_ERR_OUTPUTFULL;
            return Media_EFAIL;
        }
        if (kind_.adts) {
            writeAdtsHeader(out.data, adtsRateIndex(setup_.sampleRate), setup_.channels, static_cast<int>(total));
        }
        std::memcpy(out.data + header, p->data, static_cast<size_t>(p->size));
        av_packet_unref(p);
        outArgs.bytesGenerated = static_cast<int>(total);
        return Media_EOK;
    }

    int failedCoding(AudioEnc_OutArgs &outArgs, int err)
    {
        outArgs.extendedError = AudioEnc_ERR_ENCODER;
        return failed("coding failed", err);
    }

    // `err` is the library's error code, 0 when it gave none.
    int failed(const char *what, int err)
    {
        char text[128] = "no detail";
        if (err != 0) {
            errorText(err, text, sizeof text);
        }
        Media_error("[AudioEnc] %s: %s (%s)\n", kind_.runtimeName, what, text);
        return Media_EFAIL;
    }

    const Kind &kind_;
    Setup setup_;
    std::unique_ptr<Session> session_;
};

std::unique_ptr<AudioEncoder> openEncoder(const Kind &kind, const AudioEnc_Params *p, int *error)
{
    *error = 0;
    if (p->size != sizeof(AudioEnc_Params)) {
        Media_error("[AudioEnc] %s: static record of %d bytes (%d expected)\n", kind.runtimeName, p->size,
                    static_cast<int>(sizeof(AudioEnc_Params)));
        *error = AudioEnc_ERR_BADPARAMS;
        return nullptr;
    }
    if (!checkSetup(kind, p->sampleRate, p->bitRate, p->channelMode, p->inputBitsPerSample, p->lfeFlag)) {
        *error = AudioEnc_ERR_BADPARAMS;
        return nullptr;
    }
    if (p->dataEndianness != AudioEnc_ENDIAN_LE16 || p->inputFormat != AudioEnc_INPUT_INTERLEAVED) {
        Media_error("[AudioEnc] %s: input must be 16-bit little-endian interleaved (endianness %d, format %d)\n",
                    kind.runtimeName, p->dataEndianness, p->inputFormat);
        *error = AudioEnc_ERR_BADPARAMS;
        return nullptr;
    }
    if (p->encMode != AudioEnc_MODE_CBR || p->crcFlag != 0 || p->ancFlag != 0) {
        Media_error("[AudioEnc] %s: only constant bit rate without CRC or ancillary data is supported "
                    "(encMode %d, crc %d, anc %d)\n",
                    kind.runtimeName, p->encMode, p->crcFlag, p->ancFlag);
        *error = AudioEnc_ERR_BADPARAMS;
        return nullptr;
    }
    Setup setup = setupOf(kind, p->sampleRate, p->bitRate, p->channelMode);
    std::unique_ptr<Session> session = openSession(kind, setup, error);
    if (session == nullptr) {
        return nullptr;
    }
    return std::make_unique<LavcAudioEncoder>(kind, setup, std::move(session));
}

} // namespace

std::unique_ptr<AudioEncoder> AacEnc_open(const AudioEnc_Params *params, int *error)
{
    return openEncoder(kAac, params, error);
}

std::unique_ptr<AudioEncoder> Mp3Enc_open(const AudioEnc_Params *params, int *error)
{
    return openEncoder(kMp3, params, error);
}
