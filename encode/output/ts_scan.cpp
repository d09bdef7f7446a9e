#include "encode/output/ts_scan.h"

#include "encode/media/annexb.h"

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr int kPatPid = 0;
constexpr int kPesHeader = 9; // start code prefix, stream id, length, flags, header length

// The payload of a packet: its offset in the packet, or -1 when it carries none.
int payloadAt(const uint8_t *p)
{
    int control = (p[3] >> 4) & 3;
    int at = 4;
    if ((control & 2) != 0) {
        at += 1 + p[4];
    }
    return (control & 1) != 0 && at < TS_PACKET_BYTES ? at : -1;
}

} // namespace

int TsScan_pid(const uint8_t *p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

bool TsScan_unitStart(const uint8_t *p)
{
    return p[0] == kSyncByte && (p[1] & 0x40) != 0;
}

size_t TsScan_nextPat(const uint8_t *data, size_t from, size_t length)
{
    const size_t packet = TS_PACKET_BYTES;
    for (size_t at = (from + packet - 1) / packet * packet; at + packet <= length; at += packet) {
        if (TsScan_unitStart(data + at) && TsScan_pid(data + at) == kPatPid) {
            return at;
        }
    }
    return length;
}

namespace {

// The PES header at the start of the packet's payload, or null.
const uint8_t *pesAt(const uint8_t *p)
{
    int at = payloadAt(p);
    if (!TsScan_unitStart(p) || at < 0 || at + kPesHeader > TS_PACKET_BYTES) {
        return nullptr;
    }
    const uint8_t *pes = p + at;
    return pes[0] == 0 && pes[1] == 0 && pes[2] == 1 ? pes : nullptr;
}

} // namespace

int TsScan_esAt(const uint8_t *p)
{
    const uint8_t *pes = pesAt(p);
    if (pes == nullptr) {
        return -1;
    }
    int es = static_cast<int>(pes - p) + kPesHeader + pes[8];
    return es < TS_PACKET_BYTES ? es : -1;
}

bool TsScan_beginsKeyFrame(const uint8_t *p)
{
    const uint8_t *pes = pesAt(p);
    int es = TsScan_esAt(p);
    return pes != nullptr && (pes[3] & 0xF0) == 0xE0 && es > 0 && AnnexB_beginsWithSps(p + es, TS_PACKET_BYTES - es);
}

bool TsScan_pts(const uint8_t *p, uint64_t *pts)
{
    const uint8_t *pes = pesAt(p);
    if (pes == nullptr || (pes[7] & 0x80) == 0 || (pes - p) + kPesHeader + 5 > TS_PACKET_BYTES) {
        return false;
    }
    const uint8_t *t = pes + kPesHeader;
    *pts = (uint64_t{t[0] & 0x0Eu} << 29) | (uint64_t{t[1]} << 22) | (uint64_t{t[2] & 0xFEu} << 14) |
           (uint64_t{t[3]} << 7) | (t[4] >> 1);
    return true;
}
