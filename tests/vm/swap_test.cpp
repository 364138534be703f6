// Byte-order helpers.
#include <cstring>

#include <gtest/gtest.h>

#include <zunvm/zunvm.h>

namespace {

TEST(ByteOrder, WordsAndLongsAreReversedUnitByUnit) {
    const uint8_t src[7] = {1, 2, 3, 4, 5, 6, 7};
    uint8_t dst[7] = {};
    VMSwapWords(src, dst, 7);
    EXPECT_EQ(std::memcmp(dst, "\x02\x01\x04\x03\x06\x05\x07", 7), 0);
    VMSwapLongs(src, dst, 7);
    EXPECT_EQ(std::memcmp(dst, "\x04\x03\x02\x01\x05\x06\x07", 7), 0);
    uint8_t inPlace[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    VMSwapLongs(inPlace, inPlace, 8);
    EXPECT_EQ(std::memcmp(inPlace, "\x04\x03\x02\x01\x08\x07\x06\x05", 8), 0);
    VMSwapWords(inPlace, inPlace, 8);
    EXPECT_EQ(std::memcmp(inPlace, "\x03\x04\x01\x02\x07\x08\x05\x06", 8), 0);
    VMSwapWords(nullptr, dst, 4); // nothing happens
}

TEST(ByteOrder, FlagWordsAreReadBigEndianAndMirrored) {
    // w = 0x8001 big-endian: bits 15 and 0 -> bits 0 and 15: 0x8001 again.
    uint8_t a[2] = {0x80, 0x01};
    VMSwapFlags(a);
    EXPECT_EQ(a[0], 0x01);
    EXPECT_EQ(a[1], 0x80);
    // w = 0x4000 (bit 14, the second field) -> bit 1 -> stored 02 00.
    uint8_t b[2] = {0x40, 0x00};
    VMSwapFlags(b);
    EXPECT_EQ(b[0], 0x02);
    EXPECT_EQ(b[1], 0x00);
    // w = 0x0003 (bits 0, 1) -> bits 15, 14 -> 0xC000 stored 00 C0.
    uint8_t c[2] = {0x00, 0x03};
    VMSwapFlags(c);
    EXPECT_EQ(c[0], 0x00);
    EXPECT_EQ(c[1], 0xC0);
    VMSwapFlags(nullptr);
}

} // namespace
