// The generators write what the layouts say: fields read back at their
// offsets, in the right byte order.
#include <gtest/gtest.h>

#include "check_helpers.h"
#include "common/gen_foreign.h"
#include "common/gen_old.h"

namespace {

using namespace gen;

TEST(Generators, NativeHeaderClassTableAndReferences) {
    NativeFile f = BuildNative(TwoVersions());
    const Bytes &b = f.bytes;
    EXPECT_EQ(Get16(b, 6), 0x99FF);
    EXPECT_EQ(Get16(b, 10), 521);
    EXPECT_EQ(Get16(b, 16), 0x7);
    EXPECT_EQ(Get32(b, 22), b.size());
    EXPECT_EQ(b[42], 6);
    EXPECT_EQ(Get32(b, 86), 192u);
    EXPECT_EQ(Get16(b, 102), f.freeList.size());
    EXPECT_EQ(Get32(b, 104), f.freeListOffset);
    EXPECT_EQ(b.size() % 64, 0u);
    // Class 0: flags 0x38, shifts 5 and 8, 16-byte records, 256 a chunk.
    EXPECT_EQ(b[192], 0x38);
    EXPECT_EQ(b[194], 5);
    EXPECT_EQ(Get16(b, 196), 16);
    EXPECT_EQ(Get16(b, 198), 256);
    EXPECT_EQ(Get16(b, 192 + 14 + 4), 10);
    EXPECT_EQ(Get16(b, 192 + 5 * 14 + 4), 12);
    // Every reference names its image: class, count and position.
    for (const ImageInfo &im : f.images) {
        EXPECT_EQ(im.pos % 64, 0u);
        ASSERT_FALSE(im.refs.empty());
        for (uint32_t at : im.refs) EXPECT_EQ(Get32(b, at + 4), im.pos);
    }
    const ImageInfo &chunk = f.Image(ImageInfo::TableChunk, 1, 2);
    EXPECT_EQ(Get16(b, chunk.refs[0] + 2), 20);
    EXPECT_EQ(b[chunk.refs[0] + 1], 5);
    EXPECT_TRUE(std::equal(b.begin() + chunk.pos, b.begin() + chunk.pos + 240,
                           TwoVersions().tables[1].records.begin() + 60 * 12));
    // The saved master's record of the indexed table.
    uint32_t rec = f.Image(ImageInfo::Master, -1, 0).pos + 16;
    EXPECT_EQ(b[rec + 10], 0x03);
    EXPECT_EQ(b[rec + 11], 5);
}

TEST(Generators, ForeignIsTheNativeContentInTheOtherByteOrder) {
    NativeSpec s = TwoVersions();
    NativeFile n = BuildNative(s), f = BuildForeign(s);
    const Bytes &a = n.bytes, &b = f.bytes;
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(Get16(b, 6), 0xFF99); // the magic as read in this byte order
    for (uint32_t at : {10u, 12u, 14u, 16u, 84u, 90u, 102u, 108u, 110u}) EXPECT_EQ(Get16BE(b, at), Get16(a, at)) << at;
    for (uint32_t at : {22u, 26u, 30u, 86u, 104u}) EXPECT_EQ(Get32BE(b, at), Get32(a, at)) << at;
    EXPECT_EQ(Get16BE(b, 8), 0x8000);       // closedCleanly, the first bit from the top
    EXPECT_EQ(b[192], 0x1C);                // class flags 0x38 from the top: bits 2, 3, 4
    EXPECT_EQ(b[192 + 5 * 14], 0x90);       // 0x09: bits 7 and 4
    EXPECT_EQ(Get16BE(b, 192 + 5 * 14 + 4), 12);
    EXPECT_EQ(Get32BE(b, 192 + 5 * 14 + 10), 100u);
    // Table records: in use in bit 7, indexed in bit 6; class in the low byte.
    uint32_t rec = f.Image(ImageInfo::Master, -1, 0).pos;
    EXPECT_EQ(b[rec + 10], 0x80);
    EXPECT_EQ(b[rec + 16 + 10], 0xC0);
    EXPECT_EQ(b[rec + 16 + 11], 5);
    EXPECT_EQ(Get32BE(b, rec + 16 + 4), Get32(a, rec + 16 + 4));
    // Free entries, and host records as 32-bit words.
    for (size_t i = 0; i < f.freeList.size(); ++i) {
        uint32_t at = f.freeListOffset + uint32_t(i) * 10;
        EXPECT_EQ(Get16BE(b, at), Get16(a, at));
        EXPECT_EQ(Get32BE(b, at + 2), Get32(a, at + 2));
    }
    const ImageInfo &t0 = f.Image(ImageInfo::TableChunk, 0, 0);
    EXPECT_EQ(Get32BE(b, t0.pos + 4), Get32(a, t0.pos + 4));
    EXPECT_EQ(ForeignTableFlags(0x07), 0xC1);
}

TEST(Generators, OldFormatFieldsInUnits) {
    OldSpec s;
    s.shift = 5;
    s.classes = OldDefaultClasses({{0x03, 4, 6, 8, 64, 7, 42}});
    s.rootTable = 2;
    OldTable single{false, 4, false, {PatternRecords(3, 8, 1)}, -1, 5, 1};
    OldTable indexed{false, 4, true, {PatternRecords(2, 8, 2), PatternRecords(4, 8, 3)}, 1, 6, 1};
    OldTable freeRec{true, 0, false, {}, -1, 5, 1};
    s.tables = {single, freeRec, indexed};
    OldFile f = BuildOld(s);
    const Bytes &b = f.bytes;
    EXPECT_EQ(Get16(b, 6), 0x99FF);
    EXPECT_EQ(b[11], 0);
    EXPECT_EQ(b[12], 5);
    EXPECT_EQ(Get16(b, 44), 5);
    EXPECT_EQ(uint32_t(Get16(b, 50)) << 5, f.classTablePos);
    EXPECT_EQ(Get16(b, 58), 5);
    EXPECT_EQ(uint32_t(Get16(b, 72)) << 5, f.blockTablePos);
    EXPECT_EQ(Get16(b, 74), 5); // master, single's block, indexed's two blocks and index
    EXPECT_EQ(Get16(b, 130), 2);
    EXPECT_EQ(Get32(b, 132 + 4 * 4), 42u);
    EXPECT_EQ(Get16(b, 260), 0);
    uint32_t d4 = f.classTablePos + 40;
    EXPECT_EQ(b[d4], 0x03);
    EXPECT_EQ(Get16(b, d4 + 4), 8);
    EXPECT_EQ(Get16(b, d4 + 8), 7);

    auto entry = [&](uint16_t n) { return f.blockTablePos + n * 24u; };
    for (uint16_t n = 0; n < f.blockCount; ++n) EXPECT_EQ(uint32_t(Get16(b, entry(n) + 18)) << 5, f.blockPos[n]);
    // The master block: three 10-byte records.
    EXPECT_EQ(Get16(b, entry(0) + 16), 3);
    uint32_t m = f.blockPos[0];
    EXPECT_EQ(b[m], 0x02);      // single block
    EXPECT_EQ(b[m + 10], 0x01); // free
    EXPECT_EQ(b[m + 20], 0x00); // indexed
    EXPECT_EQ(b[m + 22], 4);
    uint16_t index = Get16(b, m + 24);
    ASSERT_EQ(index, f.tableBlocks[2][0]);
    EXPECT_EQ(b[entry(index) + 2], 1);
    EXPECT_EQ(Get16(b, entry(index) + 16), 2);
    uint16_t second = Get16(b, f.blockPos[index] + 2);
    EXPECT_EQ(b[entry(second) + 2], 6); // the mismatched block
    EXPECT_EQ(Get16(b, entry(second) + 16), 4);
    EXPECT_EQ(Get16(b, entry(Get16(b, m + 4)) + 16), 3);
}

} // namespace
