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

// A big-endian word whose bit i becomes bit 15 - i, stored little-endian.
TEST(ByteOrder, FlagWordsAreReadBigEndianAndMirrored) {
    const uint8_t cases[][4] = {{0x80, 0x01, 0x01, 0x80}, {0x40, 0x00, 0x02, 0x00}, {0x00, 0x03, 0x00, 0xC0}};
    for (const auto &c : cases) {
        uint8_t w[2] = {c[0], c[1]};
        VMSwapFlags(w);
        EXPECT_EQ(w[0], c[2]);
        EXPECT_EQ(w[1], c[3]);
    }
    VMSwapFlags(nullptr);
}

} // namespace
