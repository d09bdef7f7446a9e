#include "encode/media/h264_sps.h"

namespace {

// Exp-Golomb reading over the RBSP: emulation prevention bytes (00 00 03) skipped as they come.
class Bits {
public:
    Bits(const uint8_t *p, int n) : p_(p), n_(n) {}

    bool failed() const { return failed_; }

    unsigned bit()
    {
        if (bitAt_ == 8) {
            next();
        }
        if (failed_) {
            return 0;
        }
        return (cur_ >> (7 - bitAt_++)) & 1u;
    }
    uint32_t bits(int count)
    {
        uint32_t v = 0;
        while (count-- > 0) {
            v = (v << 1) | bit();
        }
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0 && !failed_) {
            if (++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return (uint32_t{1} << zeros) - 1 + bits(zeros);
    }
    int32_t se()
    {
        uint32_t k = ue();
        return (k & 1) != 0 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

private:
    void next()
    {
        if (at_ >= n_) {
            failed_ = true;
            return;
        }
        if (zeros_ >= 2 && p_[at_] == 3) {
            zeros_ = 0;
            if (++at_ >= n_) {
                failed_ = true;
                return;
            }
        }
        cur_ = p_[at_++];
        zeros_ = cur_ == 0 ? zeros_ + 1 : 0;
        bitAt_ = 0;
    }

    const uint8_t *p_;
    int n_;
    int at_ = 0;
    int zeros_ = 0;
    uint8_t cur_ = 0;
    int bitAt_ = 8;
    bool failed_ = false;
};

void skipScalingList(Bits &b, int size)
{
    int last = 8;
    int next = 8;
    for (int j = 0; j < size && !b.failed(); j++) {
        if (next != 0) {
            next = (last + b.se() + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

// The profiles whose SPS carries the chroma format, bit depths and scaling matrices.
bool highProfile(int p)
{
    switch (p) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
        return true;
    default:
        return false;
    }
}

// Returns the chroma format (1 for 4:2:0 when the profile does not carry it).
int chromaPart(Bits &b, int profile)
{
    if (!highProfile(profile)) {
        return 1;
    }
    int chroma = static_cast<int>(b.ue());
    if (chroma == 3) {
        b.bit(); // separate_colour_plane_flag
    }
    b.ue(); // bit depths
    b.ue();
    b.bit(); // qpprime_y_zero_transform_bypass_flag
    if (b.bit() != 0) { // seq_scaling_matrix_present_flag
        for (int i = 0; i < (chroma != 3 ? 8 : 12) && !b.failed(); i++) {
            if (b.bit() != 0) {
                skipScalingList(b, i < 6 ? 16 : 64);
            }
        }
    }
    return chroma;
}

void pictureOrderPart(Bits &b)
{
    uint32_t type = b.ue();
    if (type == 0) {
        b.ue();
    } else if (type == 1) {
        b.bit();
        b.se();
        b.se();
        uint32_t cycle = b.ue();
        for (uint32_t i = 0; i < cycle && i < 256 && !b.failed(); i++) {
            b.se();
        }
    }
}

} // namespace

bool H264Sps_parse(const uint8_t *nal, int bytes, H264Sps &out)
{
    if (nal == nullptr || bytes < 4 || (nal[0] & 0x1F) != 7) {
        return false;
    }
    out.profile = nal[1];
    out.compatibility = nal[2];
    out.level = nal[3];
    Bits b(nal + 4, bytes - 4);
    b.ue(); // seq_parameter_set_id
    int chroma = chromaPart(b, out.profile);
    b.ue(); // log2_max_frame_num_minus4
    pictureOrderPart(b);
    b.ue(); // max_num_ref_frames
    b.bit();
    uint32_t widthMbs = b.ue() + 1;
    uint32_t heightUnits = b.ue() + 1;
    unsigned frameMbsOnly = b.bit();
    if (frameMbsOnly == 0) {
        b.bit();
    }
    b.bit(); // direct_8x8_inference_flag
    uint32_t crop[4] = {0, 0, 0, 0};
    if (b.bit() != 0) {
        for (uint32_t &c : crop) {
            c = b.ue();
        }
    }
    if (b.failed() || widthMbs > 1024 || heightUnits > 1024) {
        return false;
    }
    int cropX = chroma == 1 || chroma == 2 ? 2 : 1;
    int cropY = (chroma == 1 ? 2 : 1) * (2 - static_cast<int>(frameMbsOnly));
    if (chroma == 0) {
        cropX = 1;
        cropY = 2 - static_cast<int>(frameMbsOnly);
    }
    out.width = static_cast<int>(widthMbs * 16) - cropX * static_cast<int>(crop[0] + crop[1]);
    out.height = static_cast<int>(heightUnits * 16 * (2 - frameMbsOnly)) - cropY * static_cast<int>(crop[2] + crop[3]);
    return out.width > 0 && out.height > 0;
}
