// The stream tag's bytes, against a layout written out by hand.
#include "encode/output/stream_tag.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(StreamTag, FourLittleEndianWordsMagicSecondsMicrosecondsLength)
{
    uint8_t out[STREAM_TAG_BYTES];
    StreamTag_encode(out, {0x01020304u, 999999u}, 5000u);
    const uint8_t want[STREAM_TAG_BYTES] = {0x21, 0x43, 0x75, 0x98, 0x04, 0x03, 0x02, 0x01,
                                            0x3F, 0x42, 0x0F, 0x00, 0x88, 0x13, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(out, want, sizeof want), 0);

    StreamTag_encode(out, {0xFFFFFFFFu, 0u}, 0xA0B0C0D0u);
    const uint8_t high[STREAM_TAG_BYTES] = {0x21, 0x43, 0x75, 0x98, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0x00, 0x00, 0x00, 0x00, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(std::memcmp(out, high, sizeof high), 0);
}

TEST(StreamTag, DecodeReadsWhatEncodeWroteAndRefusesAWrongMagic)
{
    uint8_t bytes[STREAM_TAG_BYTES];
    StreamTag_encode(bytes, {1700000000u, 250000u}, 123456u);
    StreamTag tag{{9, 9}, 9};
    ASSERT_TRUE(StreamTag_decode(bytes, &tag));
    EXPECT_EQ(tag.time.seconds, 1700000000u);
    EXPECT_EQ(tag.time.microseconds, 250000u);
    EXPECT_EQ(tag.length, 123456u);

    bytes[3] = 0x99; // magic read in the other byte order would still start 0x98
    StreamTag other{{9, 9}, 9};
    EXPECT_FALSE(StreamTag_decode(bytes, &other));
    EXPECT_EQ(other.length, 9u);
}
