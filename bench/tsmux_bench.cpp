// Throughput of TsMux_process against libavformat's MPEG-TS muxer on the same access units.
//
// The units are made once at start: 720p H.264 from libx264 (through libavcodec, set up as the encoder
// runs it: zero latency, no B pictures, Annex B) and AAC-LC frames with a 7-byte ADTS header, as the
// audio thread hands them over. Both muxers then take the same frames, interleaved in time order,
// and write into memory that is thrown away; the time per pass gives MB/s of frame data in.
#include "encode/output/tsmux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr int kVideoFrames = 150;
constexpr int kSampleRate = 44100;
constexpr int kRounds = 5;
constexpr double kMinSecondsPerRound = 0.4;

struct Unit {
    bool video;
    int64_t micros;  // presentation time
    std::vector<uint8_t> bytes;
};

struct CodecDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

void drain(AVCodecContext *ctx, AVPacket *pkt, std::vector<std::vector<uint8_t>> &out)
{
    while (avcodec_receive_packet(ctx, pkt) == 0) {
        out.emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
    }
}

// A moving gradient with some texture, so that frames have a realistic size at the set rate.
void paint(AVFrame *f, int t)
{
    uint32_t noise = 12345u + static_cast<uint32_t>(t);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t *row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1103515245u + 12345u;
            row[x] = static_cast<uint8_t>(((x + 3 * t) ^ (y - 2 * t)) + ((noise >> 28) & 7));
        }
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        memset(f->data[1] + y * f->linesize[1], 128 + ((y + t) & 31), static_cast<size_t>(kWidth / 2));
        memset(f->data[2] + y * f->linesize[2], 128 - ((y + 2 * t) & 31), static_cast<size_t>(kWidth / 2));
    }
}

bool makeVideo(std::vector<std::vector<uint8_t>> &units)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        std::fprintf(stderr, "libavcodec has no libx264 encoder\n");
        return false;
    }
    CodecPtr ctx(avcodec_alloc_context3(codec));
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, kFps};
    ctx->framerate = {kFps, 1};
    ctx->bit_rate = 8000000;
    ctx->gop_size = 60;
    ctx->max_b_frames = 0;
    av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        std::fprintf(stderr, "cannot open libx264\n");
        return false;
    }
    FramePtr frame(av_frame_alloc());
    frame->format = ctx->pix_fmt;
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        return false;
    }
    PacketPtr pkt(av_packet_alloc());
    for (int i = 0; i < kVideoFrames; ++i) {
        if (av_frame_make_writable(frame.get()) < 0) {
            return false;
        }
        paint(frame.get(), i);
        frame->pts = i;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0) {
            return false;
        }
        drain(ctx.get(), pkt.get(), units);
    }
    avcodec_send_frame(ctx.get(), nullptr);
    drain(ctx.get(), pkt.get(), units);
    return !units.empty();
}

// AAC-LC raw frames with the ADTS header the audio path puts in front of them.
bool makeAudio(std::vector<std::vector<uint8_t>> &units, int seconds)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) {
        return false;
    }
    CodecPtr ctx(avcodec_alloc_context3(codec));
    ctx->sample_rate = kSampleRate;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&ctx->ch_layout, 2);
    ctx->bit_rate = 128000;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        return false;
    }
    FramePtr frame(av_frame_alloc());
    frame->format = ctx->sample_fmt;
    frame->nb_samples = ctx->frame_size;
    frame->sample_rate = kSampleRate;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        return false;
    }
    PacketPtr pkt(av_packet_alloc());
    std::vector<std::vector<uint8_t>> raw;
    const int frames = seconds * kSampleRate / ctx->frame_size;
    for (int i = 0; i < frames; ++i) {
        if (av_frame_make_writable(frame.get()) < 0) {
            return false;
        }
        for (int ch = 0; ch < 2; ++ch) {
            auto *s = reinterpret_cast<float *>(frame->data[ch]);
            for (int n = 0; n < frame->nb_samples; ++n) {
                s[n] = 0.3f * std::sin(2.0f * 3.14159265f * 440.0f * static_cast<float>(i * frame->nb_samples + n) /
                                       kSampleRate);
            }
        }
        frame->pts = static_cast<int64_t>(i) * frame->nb_samples;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0) {
            return false;
        }
        drain(ctx.get(), pkt.get(), raw);
    }
    avcodec_send_frame(ctx.get(), nullptr);
    drain(ctx.get(), pkt.get(), raw);
    for (const auto &r : raw) {
        const size_t len = r.size() + 7;
        std::vector<uint8_t> a(len);
        a[0] = 0xFF;
        a[1] = 0xF1;                                // MPEG-4, no CRC
        a[2] = (1 << 6) | (4 << 2) | (2 >> 2);      // LC, 44100 Hz, channels high bit
        a[3] = static_cast<uint8_t>(((2 & 3) << 6) | (len >> 11));
        a[4] = static_cast<uint8_t>(len >> 3);
        a[5] = static_cast<uint8_t>(((len & 7) << 5) | 0x1F);
        a[6] = 0xFC;
        std::memcpy(a.data() + 7, r.data(), r.size());
        units.push_back(std::move(a));
    }
    return !units.empty();
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One pass of our multiplexer over all units; `pass` moves the clock on so the stream stays continuous.
size_t oursPass(TsMux_Handle mux, const std::vector<Unit> &units, int64_t passMicros, int pass,
                std::vector<uint8_t> &out, TsMux_Config &cfg)
{
    size_t written = 0;
    TsMux_Params p{};
    p.size = TSMUX_PARAMS_SIZE;
    p.config = &cfg;
    p.output = out.data();
    for (const Unit &u : units) {
        const int64_t t = u.micros + pass * passMicros;
        p.data = u.bytes.data();
        p.dataLength = static_cast<int32_t>(u.bytes.size());
        p.streamType = u.video ? 0x1B : 0x0F;
        p.seconds = static_cast<uint32_t>(t / 1000000);
        p.microseconds = static_cast<uint32_t>(t % 1000000);
        p.flags = u.video ? TSMUX_FLAGS_VIDEO : TSMUX_FLAGS_AUDIO;
        written += static_cast<size_t>(TsMux_process(mux, &p));
    }
    return written;
}

int discard(void *opaque, uint8_t *, int size)
{
    *static_cast<size_t *>(opaque) += static_cast<size_t>(size);
    return size;
}

struct Lavf {
    AVFormatContext *oc = nullptr;
    AVIOContext *pb = nullptr;
    size_t written = 0;
    AVPacket *pkt = nullptr;

    ~Lavf()
    {
        if (oc != nullptr) {
            avformat_free_context(oc);
        }
        if (pb != nullptr) {
            av_freep(&pb->buffer);
            avio_context_free(&pb);
        }
        av_packet_free(&pkt);
    }

    bool open()
    {
        if (avformat_alloc_output_context2(&oc, nullptr, "mpegts", nullptr) < 0) {
            return false;
        }
        const int bufSize = 65536;
        auto *buf = static_cast<uint8_t *>(av_malloc(bufSize));
        pb = avio_alloc_context(buf, bufSize, 1, &written, nullptr, discard, nullptr);
        oc->pb = pb;
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVStream *v = avformat_new_stream(oc, nullptr);
        v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        v->codecpar->codec_id = AV_CODEC_ID_H264;
        v->codecpar->width = kWidth;
        v->codecpar->height = kHeight;
        v->time_base = {1, 90000};
        AVStream *a = avformat_new_stream(oc, nullptr);
        a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        a->codecpar->codec_id = AV_CODEC_ID_AAC;
        a->codecpar->sample_rate = kSampleRate;
        av_channel_layout_default(&a->codecpar->ch_layout, 2);
        a->time_base = {1, 90000};
        pkt = av_packet_alloc();
        return avformat_write_header(oc, nullptr) >= 0;
    }

    bool pass(const std::vector<Unit> &units, int64_t passMicros, int n)
    {
        for (const Unit &u : units) {
            const int64_t t = u.micros + n * passMicros;
            const int index = u.video ? 0 : 1;
            // The packet points at the unit's bytes; the muxer copies what it keeps.
            pkt->data = const_cast<uint8_t *>(u.bytes.data());
            pkt->size = static_cast<int>(u.bytes.size());
            pkt->stream_index = index;
            pkt->pts = av_rescale_q(t, {1, 1000000}, oc->streams[index]->time_base);
            pkt->dts = pkt->pts;
            pkt->flags = 0;
            if (av_write_frame(oc, pkt) < 0) {
                return false;
            }
        }
        return true;
    }
};

} // namespace

int main()
{
    av_log_set_level(AV_LOG_ERROR);
    std::vector<std::vector<uint8_t>> video;
    std::vector<std::vector<uint8_t>> audio;
    std::printf("making %d frames of %dx%d H.264 and %d s of AAC...\n", kVideoFrames, kWidth, kHeight,
                kVideoFrames / kFps);
    std::fflush(stdout);
    if (!makeVideo(video) || !makeAudio(audio, kVideoFrames / kFps)) {
        std::fprintf(stderr, "cannot make the access units\n");
        return 1;
    }

    std::vector<Unit> units;
    size_t inBytes = 0;
    size_t largest = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        units.push_back({true, static_cast<int64_t>(i) * 1000000 / kFps, std::move(video[i])});
    }
    for (size_t i = 0; i < audio.size(); ++i) {
        units.push_back({false, static_cast<int64_t>(i) * 1024 * 1000000 / kSampleRate, std::move(audio[i])});
    }
    std::stable_sort(units.begin(), units.end(), [](const Unit &a, const Unit &b) { return a.micros < b.micros; });
    for (const Unit &u : units) {
        inBytes += u.bytes.size();
        largest = std::max(largest, u.bytes.size());
    }
    const int64_t passMicros = static_cast<int64_t>(kVideoFrames) * 1000000 / kFps;
    std::printf("%zu units (%zu video, %zu audio), %.2f MB per pass, largest %zu bytes\n", units.size(),
                video.size(), audio.size(), static_cast<double>(inBytes) / 1e6, largest);

    TsMux_Config cfg = TsMux_encoderConfig(TsMux_Audio_AAC);
    TsMux_Params init{};
    init.size = TSMUX_PARAMS_SIZE;
    init.config = &cfg;
    TsMux_Handle mux = TsMux_create();
    if (mux == nullptr || TsMux_init(mux, &init) != Media_EOK) {
        return 1;
    }
    std::vector<uint8_t> out(4608000);  // the writer thread's buffer
    if (static_cast<size_t>(TsMux_outputBound(static_cast<int>(largest))) > out.size()) {
        return 1;
    }

    Lavf lavf;
    if (!lavf.open()) {
        std::fprintf(stderr, "cannot open libavformat's mpegts muxer\n");
        return 1;
    }

    // Rounds alternate between the two so that load from elsewhere on the machine hits both alike;
    // the best round of each counts.
    double bestOurs = 0;
    double bestLavf = 0;
    size_t oursOut = 0;
    size_t lavfOut = 0;
    int oursPassNo = 0;
    int lavfPassNo = 0;
    for (int round = 0; round < kRounds; ++round) {
        double t0 = now();
        size_t bytes = 0;
        int passes = 0;
        do {
            const size_t w = oursPass(mux, units, passMicros, oursPassNo++, out, cfg);
            if (w == 0) {
                return 1;
            }
            oursOut = w;
            bytes += inBytes;
            ++passes;
        } while (now() - t0 < kMinSecondsPerRound);
        bestOurs = std::max(bestOurs, static_cast<double>(bytes) / 1e6 / (now() - t0));

        t0 = now();
        bytes = 0;
        const size_t before = lavf.written;
        passes = 0;
        do {
            if (!lavf.pass(units, passMicros, lavfPassNo++)) {
                std::fprintf(stderr, "libavformat refused a packet\n");
                return 1;
            }
            bytes += inBytes;
            ++passes;
        } while (now() - t0 < kMinSecondsPerRound);
        bestLavf = std::max(bestLavf, static_cast<double>(bytes) / 1e6 / (now() - t0));
        lavfOut = (lavf.written - before) / static_cast<size_t>(passes);
    }
    av_write_trailer(lavf.oc);

    std::printf("TsMux_process:          %8.1f MB/s  (%zu TS bytes per pass, %.2f%% overhead)\n", bestOurs, oursOut,
                100.0 * (static_cast<double>(oursOut) / static_cast<double>(inBytes) - 1));
    std::printf("libavformat mpegts:     %8.1f MB/s  (%zu TS bytes per pass, %.2f%% overhead)\n", bestLavf, lavfOut,
                100.0 * (static_cast<double>(lavfOut) / static_cast<double>(inBytes) - 1));
    std::printf("ratio ours / libavformat: %.2f\n", bestOurs / bestLavf);
    TsMux_delete(mux);
    return 0;
}
