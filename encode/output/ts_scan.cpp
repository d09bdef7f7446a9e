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

bool TsScan_beginsKeyFrame(const uint8_t *p)
{
    int at = payloadAt(p);
    if (!TsScan_unitStart(p) || at < 0 || at + kPesHeader > TS_PACKET_BYTES) {
        return false;
    }
    const uint8_t *pes = p + at;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || (pes[3] & 0xF0) != 0xE0) {
        return false;
    }
    int es = at + kPesHeader + pes[8];
    return es < TS_PACKET_BYTES && AnnexB_beginsWithSps(p + es, TS_PACKET_BYTES - es);
}
