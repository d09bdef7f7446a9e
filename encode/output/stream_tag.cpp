// Stream tag layout; no state, any thread.
#include "encode/output/stream_tag.h"

namespace {

void putWord(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t getWord(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

} // namespace

void StreamTag_encode(uint8_t *out, FrameTime time, uint32_t length)
{
    putWord(out, STREAM_TAG_MAGIC);
    putWord(out + 4, time.seconds);
    putWord(out + 8, time.microseconds);
    putWord(out + 12, length);
}

bool StreamTag_decode(const uint8_t *in, StreamTag *tag)
{
    if (getWord(in) != STREAM_TAG_MAGIC) {
        return false;
    }
    tag->time = {getWord(in + 4), getWord(in + 8)};
    tag->length = getWord(in + 12);
    return true;
}
