// FLV as an RTMP server records it, read independently of the publisher's packaging: tags, the two
// sequence headers, and the NAL units of an AVC tag behind their 4-byte lengths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flv {

using Bytes = std::vector<uint8_t>;

struct Tag {
    int type = 0; // 8 audio, 9 video, 18 script
    uint32_t ts = 0;
    Bytes data;
};

// Tags of a recording; a tail still being written is left out.
inline std::vector<Tag> parse(const std::string &f)
{
    std::vector<Tag> tags;
    if (f.size() < 13 || f.compare(0, 3, "FLV") != 0) {
        return tags;
    }
    auto u8 = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(f[i])); };
    size_t i = (u8(5) << 24 | u8(6) << 16 | u8(7) << 8 | u8(8)) + 4;
    while (i + 11 <= f.size()) {
        Tag t;
        t.type = static_cast<int>(u8(i) & 0x1F);
        size_t size = u8(i + 1) << 16 | u8(i + 2) << 8 | u8(i + 3);
        t.ts = u8(i + 7) << 24 | u8(i + 4) << 16 | u8(i + 5) << 8 | u8(i + 6);
        if (i + 11 + size + 4 > f.size()) {
            break;
        }
        t.data.assign(f.begin() + static_cast<long>(i + 11), f.begin() + static_cast<long>(i + 11 + size));
        tags.push_back(std::move(t));
        i += 11 + size + 4;
    }
    return tags;
}

inline bool isAvcHeader(const Tag &t)
{
    return t.type == 9 && t.data.size() > 5 && t.data[0] == 0x17 && t.data[1] == 0;
}
inline bool isAacHeader(const Tag &t)
{
    return t.type == 8 && t.data.size() >= 4 && t.data[0] == 0xAF && t.data[1] == 0;
}
inline bool isVideoFrame(const Tag &t)
{
    return t.type == 9 && t.data.size() > 5 && t.data[1] == 1;
}
inline bool isKeyFrame(const Tag &t)
{
    return isVideoFrame(t) && t.data[0] == 0x17;
}

// The NAL units of an AVC NALU tag; false when the lengths do not add up to the body exactly.
inline bool nals(const Tag &t, std::vector<Bytes> *out)
{
    size_t i = 5;
    while (i + 4 <= t.data.size()) {
        size_t len = static_cast<size_t>(t.data[i]) << 24 | t.data[i + 1] << 16 | t.data[i + 2] << 8 | t.data[i + 3];
        if (len == 0 || i + 4 + len > t.data.size()) {
            return false;
        }
        out->emplace_back(t.data.begin() + static_cast<long>(i + 4), t.data.begin() + static_cast<long>(i + 4 + len));
        i += 4 + len;
    }
    return i == t.data.size();
}

} // namespace flv
