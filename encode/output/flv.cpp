#include "encode/output/flv.h"

#include <cstring>
#include <iterator>

namespace {

// ISO/IEC 14496-3 sampling frequencies by ADTS index.
constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr uint8_t kPacketHeader = 0;
constexpr uint8_t kPacketData = 1;
constexpr uint8_t kAmfNumber = 0x00;
constexpr uint8_t kAmfString = 0x02;
constexpr uint8_t kAmfObject = 0x03;
constexpr uint8_t kAmfObjectEnd = 0x09;
constexpr int kAdtsHeader = 7;
constexpr int kAdtsHeaderWithCrc = 9;

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// AMF0 into a bounded buffer: writes stop at its end, and length() tells whether all of it fitted.
class Amf {
public:
    Amf(uint8_t *p, int cap) : p_(p), cap_(cap) {}
    void raw(const void *d, int n)
    {
        if (len_ + n <= cap_) {
            std::memcpy(p_ + len_, d, static_cast<size_t>(n));
        }
        len_ += n;
    }
    void byte(uint8_t b) { raw(&b, 1); }
    void name(const char *s)
    {
        uint8_t l[2];
        put16(l, static_cast<uint32_t>(std::strlen(s)));
        raw(l, 2);
        raw(s, static_cast<int>(std::strlen(s)));
    }
    void string(const char *s)
    {
        byte(kAmfString);
        name(s);
    }
    void number(double v)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        uint8_t b[9] = {kAmfNumber};
        for (int i = 0; i < 8; i++) {
            b[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        }
        raw(b, 9);
    }
    void property(const char *key, double v)
    {
        name(key);
        number(v);
    }
    int length() const { return len_ <= cap_ ? len_ : Flv_ENOROOM; }

private:
    uint8_t *p_;
    int cap_;
    int len_ = 0;
};

// A parameter set of `type` behind the start code at `at`, ending within the search bound. An SPS
// carries at least profile, constraints and level.
bool paramSet(const uint8_t *u, int bytes, int at, int type, AnnexB_Nal *nal, int *next)
{
    if (at >= bytes || AnnexB_startCodeAt(u, bytes, at) == 0) {
        return false;
    }
    *nal = AnnexB_nalAt(u, bytes, at, next);
    int shortest = type == AnnexB_NAL_SPS ? 4 : 2;
    return nal->len >= shortest && nal->len <= FLV_PARAM_SET_BYTES && AnnexB_type(*nal) == type &&
           *next - at - nal->startCode <= FLV_PARAM_SET_BYTES;
}

} // namespace

int Flv_metadata(const FlvMetadata &m, uint8_t *out, int capacity)
{
    Amf a(out, capacity);
    a.string("@setDataFrame");
    a.string("onMetaData");
    a.byte(kAmfObject);
    a.name("copyright");
    a.string("kavex");
    a.property("width", m.width);
    a.property("height", m.height);
    a.property("framerate", m.framerate);
    if (m.aac) {
        a.property("audiocodecid", 10.0);
    }
    a.property("videocodecid", 7.0);
    if (m.aac) {
        a.property("audiodelay", 0.0);
    }
    a.name("");
    a.byte(kAmfObjectEnd);
    return a.length();
}

int Flv_splitKeyFrame(const uint8_t *unit, int bytes, FlvKeyFrame *key)
{
    int afterSps = 0;
    if (!paramSet(unit, bytes, 0, AnnexB_NAL_SPS, &key->sps, &afterSps) || key->sps.startCode != 4) {
        return Flv_ENOSPS;
    }
    if (!paramSet(unit, bytes, afterSps, AnnexB_NAL_PPS, &key->pps, &key->slicesAt)) {
        return Flv_ENOPPS;
    }
    return key->slicesAt < bytes ? Flv_EOK : Flv_ENOIFRAME;
}

int Flv_avcSequenceHeader(const AnnexB_Nal &sps, const AnnexB_Nal &pps, uint8_t *out, int capacity)
{
    int length = 16 + sps.len + pps.len;
    if (sps.len < 4 || length > capacity) {
        return Flv_ENOROOM;
    }
    const uint8_t head[] = {FLV_VIDEO_KEY, kPacketHeader, 0x00, 0x00, 0x00,
                            0x01, sps.p[1], sps.p[2], sps.p[3], 0xFF, 0xE1};
    std::memcpy(out, head, sizeof head);
    int n = sizeof head;
    put16(out + n, static_cast<uint32_t>(sps.len));
    std::memcpy(out + n + 2, sps.p, static_cast<size_t>(sps.len));
    n += 2 + sps.len;
    out[n++] = 0x01;
    put16(out + n, static_cast<uint32_t>(pps.len));
    std::memcpy(out + n + 2, pps.p, static_cast<size_t>(pps.len));
    return length;
}

int Flv_videoBody(uint8_t tag, const uint8_t *unit, int bytes, int from, uint8_t *out, int capacity)
{
    if (capacity < 5) {
        return Flv_ENOROOM;
    }
    out[0] = tag;
    out[1] = kPacketData;
    out[2] = out[3] = out[4] = 0;
    int n = 5;
    for (int at = from; at < bytes;) {
        int next = 0;
        AnnexB_Nal nal = AnnexB_nalAt(unit, bytes, at, &next);
        int type = AnnexB_type(nal);
        if (nal.len > 0 && type != AnnexB_NAL_SPS && type != AnnexB_NAL_PPS) {
            if (n + 4 + nal.len > capacity) {
                return Flv_ENOROOM;
            }
            put32(out + n, static_cast<uint32_t>(nal.len));
            std::memcpy(out + n + 4, nal.p, static_cast<size_t>(nal.len));
            n += 4 + nal.len;
        }
        at = next;
    }
    return n > 5 ? n : Flv_EEMPTY;
}

bool Flv_hasIdr(const uint8_t *unit, int bytes)
{
    for (int at = 0; at < bytes;) {
        int next = 0;
        if (AnnexB_type(AnnexB_nalAt(unit, bytes, at, &next)) == AnnexB_NAL_IDR) {
            return true;
        }
        at = next;
    }
    return false;
}

int Flv_adtsConfig(const uint8_t *f, int bytes, FlvAacConfig *c)
{
    if (bytes < kAdtsHeader || f[0] != 0xFF || f[1] < 0xF0) {
        return Flv_EADTSSYNC;
    }
    int profile = f[2] >> 6;
    if (profile == 3) {
        return Flv_EADTSPROFILE;
    }
    int index = (f[2] >> 2) & 0x0F;
    if (index >= static_cast<int>(std::size(kAacRates))) {
        return Flv_EADTSRATE;
    }
    int channels = ((f[2] & 0x01) << 2) | (f[3] >> 6);
    c->config[0] = static_cast<uint8_t>(((profile + 1) << 3) | (index >> 1));
    c->config[1] = static_cast<uint8_t>(((index & 1) << 7) | (channels << 3));
    c->sampleRate = kAacRates[index];
    c->rateIndex = index;
    return Flv_EOK;
}

const char *Flv_adtsRefusal(int code)
{
    switch (code) {
    case Flv_EADTSSYNC: return "Bad 'syncword' at start of ADTS file";
    case Flv_EADTSPROFILE: return "Bad (reserved) 'profile': 3 in first frame of ADTS file";
    case Flv_EADTSRATE: return "Bad 'sampling_frequency_index' in first frame of ADTS file";
    default: return "";
    }
}

int Flv_aacSequenceHeader(const FlvAacConfig &c, uint8_t *out, int capacity)
{
    if (capacity < 4) {
        return Flv_ENOROOM;
    }
    out[0] = FLV_AUDIO_AAC;
    out[1] = kPacketHeader;
    out[2] = c.config[0];
    out[3] = c.config[1];
    return 4;
}

int Flv_aacBody(const uint8_t *frame, int bytes, uint8_t *out, int capacity)
{
    if (bytes < kAdtsHeader || frame[0] != 0xFF || (frame[1] & 0xF0) != 0xF0) {
        return Flv_EEMPTY;
    }
    // The protection_absent bit: clear means a CRC follows the fixed header.
    int header = (frame[1] & 0x01) != 0 ? kAdtsHeader : kAdtsHeaderWithCrc;
    if (bytes <= header) {
        return Flv_EEMPTY;
    }
    int length = 2 + bytes - header;
    if (length > capacity) {
        return Flv_ENOROOM;
    }
    out[0] = FLV_AUDIO_AAC;
    out[1] = kPacketData;
    std::memcpy(out + 2, frame + header, static_cast<size_t>(bytes - header));
    return length;
}

int Flv_mp3Body(const uint8_t *frame, int bytes, uint8_t *out, int capacity)
{
    if (bytes < 4 || frame[0] != 0xFF || (frame[1] & 0xE0) != 0xE0) {
        return Flv_EEMPTY;
    }
    if (1 + bytes > capacity) {
        return Flv_ENOROOM;
    }
    out[0] = FLV_AUDIO_MP3;
    std::memcpy(out + 1, frame, static_cast<size_t>(bytes));
    return 1 + bytes;
}
