// Reading an H.264 Annex B byte stream back, independently of the encoder: NAL units in order, and
// for each picture whether it is an IDR, an I or a P/B picture (from the slice header's slice_type).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct NalUnit {
    int type = 0;             // nal_unit_type
    std::vector<uint8_t> rbsp; // payload after the header byte, emulation prevention removed
};

inline std::vector<NalUnit> h264Nals(const std::vector<uint8_t> &s)
{
    std::vector<NalUnit> nals;
    size_t i = 0;
    auto startCode = [&](size_t at) {
        return at + 3 <= s.size() && s[at] == 0 && s[at + 1] == 0 && s[at + 2] == 1;
    };
    while (i + 3 <= s.size() && !startCode(i)) {
        i++;
    }
    while (i + 3 <= s.size()) {
        size_t begin = i + 3;
        size_t end = begin;
        while (end + 3 <= s.size() && !startCode(end)) {
            end++;
        }
        if (end + 3 > s.size()) {
            end = s.size();
        }
        size_t stop = end;
        while (stop > begin && s[stop - 1] == 0 && stop != s.size()) {
            stop--; // the zero of a 4-byte start code belongs to the next unit
        }
        if (begin < stop) {
            NalUnit n;
            n.type = s[begin] & 0x1F;
            int zeros = 0;
            for (size_t k = begin + 1; k < stop; k++) {
                if (zeros >= 2 && s[k] == 3) {
                    zeros = 0;
                    continue;
                }
                zeros = s[k] == 0 ? zeros + 1 : 0;
                n.rbsp.push_back(s[k]);
            }
            nals.push_back(std::move(n));
        }
        i = end;
    }
    return nals;
}

// Exp-Golomb reader over an RBSP.
class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t> &b) : b_(b) {}
    int bit()
    {
        if (pos_ >= b_.size() * 8) {
            return 0;
        }
        int v = (b_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        pos_++;
        return v;
    }
    uint32_t bits(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; i++) {
            v = (v << 1) | static_cast<uint32_t>(bit());
        }
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0 && zeros < 32) {
            zeros++;
        }
        return (1u << zeros) - 1 + bits(zeros);
    }

private:
    const std::vector<uint8_t> &b_;
    size_t pos_ = 0;
};

// One letter per picture (the first slice of each): 'D' IDR, 'I' intra, 'P' predicted, 'B'.
inline std::string h264PictureTypes(const std::vector<NalUnit> &nals)
{
    std::string types;
    for (const NalUnit &n : nals) {
        if (n.type != 1 && n.type != 5) {
            continue;
        }
        BitReader r(n.rbsp);
        uint32_t firstMb = r.ue();
        uint32_t sliceType = r.ue() % 5;
        if (firstMb != 0) {
            continue;
        }
        if (n.type == 5) {
            types += 'D';
        } else {
            types += sliceType == 2 || sliceType == 4 ? 'I' : sliceType == 1 ? 'B' : 'P';
        }
    }
    return types;
}
