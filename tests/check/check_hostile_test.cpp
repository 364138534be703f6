// Hostile input: garbage, damaged bytes anywhere, counts and references
// built to make the walk large. The checker must answer with findings, in
// bounded time and memory, and never crash (run under ASan and UBSan too).
#include <random>

#include "check_helpers.h"
#include "common/gen_foreign.h"
#include "common/gen_old.h"

namespace {

TEST(CheckHostile, GarbageBytes) {
    std::mt19937 rng(7);
    for (size_t len : {154u, 200u, 4096u, 70000u}) {
        gen::Bytes b(len);
        for (auto &x : b) x = uint8_t(rng());
        Report r = CheckBytes(b);
        ASSERT_TRUE(r);
        EXPECT_TRUE(Has(r, ZUNFS_CHECK_HEADER)) << Findings(r);
        // The same garbage behind a plausible magic and format is walked as far as it goes.
        gen::Put16(b, 6, 0x99FF);
        gen::Put16(b, 10, 521);
        r = CheckBytes(b);
        ASSERT_TRUE(r);
        EXPECT_NE(r->findingCount, 0u);
    }
}

TEST(CheckHostile, DamagedBytesAnywhere) {
    gen::NativeSpec s = TwoVersions();
    s.saved->masterIndexed = true;
    gen::NativeFile f = gen::BuildNative(s);
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        gen::Bytes b = f.bytes;
        int flips = 1 + int(rng() % 8);
        for (int i = 0; i < flips; ++i) {
            // Header and structures most of the time: that is where damage matters.
            uint32_t at = rng() % 4 ? rng() % 154 : rng() % uint32_t(b.size());
            b[at] = uint8_t(rng());
        }
        if (rng() % 5 == 0) b.resize(rng() % b.size());
        Report r = CheckBytes(b);
        ASSERT_TRUE(r) << "round " << round;
    }
}

TEST(CheckHostile, HugeIndexOfOneChunkIsBounded) {
    // The saved root becomes an index of 6144 references, all to the saved
    // master chunk: one walk of it, then an overlap per reference, with the
    // findings capped.
    gen::NativeFile f = gen::BuildNative(TwoVersions());
    gen::Bytes &b = f.bytes;
    uint32_t at = uint32_t(b.size());
    gen::Bytes ref(b.begin() + 44, b.begin() + 54);
    for (int i = 0; i < 6144; ++i) gen::PutBytes(b, at + uint32_t(i) * 10, ref);
    b.resize(gen::RoundUp(uint32_t(b.size()), 64));
    gen::Put32(b, 22, uint32_t(b.size()));
    gen::Put32(b, 26, uint32_t(b.size()));
    gen::Put32(b, 30, uint32_t(b.size()));
    b[45] = 1;
    gen::Put16(b, 46, 6144);
    gen::Put32(b, 48, at);
    Report r = CheckBytes(b);
    EXPECT_EQ(r->findingCount, uint32_t(ZUNFS_CHECK_FINDINGS_MAX) + 1);
    EXPECT_EQ(r->findings[r->findingCount - 1].kind, uint32_t(ZUNFS_CHECK_TRUNCATED));
    EXPECT_EQ(r->versions[0].masterChunks, 6144u);
    EXPECT_EQ(r->versions[0].tableCount, 3u); // the tables were walked once
}

TEST(CheckHostile, FilesNeedingConversionAreRecognisedNotWalked) {
    gen::NativeSpec s = TwoVersions();
    gen::NativeFile native = gen::BuildNative(s);
    Report r = CheckBytes(gen::BuildForeign(s).bytes);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_FOREIGN));
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_EQ(r->versionCount, 0u);
    EXPECT_TRUE(r->headerRead);
    EXPECT_EQ(r->magic, FS_MAGIC);
    EXPECT_EQ(r->fileSize, uint32_t(native.bytes.size()));
    EXPECT_EQ(r->versionFlags, 0x7);
    EXPECT_EQ(r->stateFlags, 0x01);
    EXPECT_EQ(r->savedFreeOffset, native.freeListOffset);

    gen::OldSpec old;
    old.classes = gen::OldDefaultClasses({{0, 4, 6, 8, 64, 0, 1}});
    old.tables = {{false, 4, false, {gen::PatternRecords(3, 8, 1)}, -1, 5, 1}};
    r = CheckBytes(gen::BuildOld(old).bytes);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_OLD));
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_FALSE(r->headerRead);
    EXPECT_EQ(r->formatVersion, old.formatVersion);

    gen::Bytes newer = native.bytes;
    gen::Put16(newer, 10, 0x0309);
    r = CheckBytes(newer);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_UNKNOWN));
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_HEADER));

    gen::Bytes converted = native.bytes; // the format old files are converted to
    gen::Put16(converted, 10, 513);
    r = CheckBytes(converted);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_NATIVE));
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
}

TEST(CheckHostile, ArgumentsAndMissingFiles) {
    ZunfsCheckReport *r = reinterpret_cast<ZunfsCheckReport *>(1);
    EXPECT_EQ(ZunfsCheckFile(nullptr, &r), FS_E_BAD_PARAMS);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(ZunfsCheckFile("x", nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(ZunfsCheckSpec(nullptr, &r), FS_E_BAD_PARAMS);
    EXPECT_EQ(ZunfsCheckFile("", &r), VM_E_BADSPEC);
    gen::TempDir dir;
    EXPECT_EQ(ZunfsCheckFile(dir.File("absent").c_str(), &r), VM_E_NOTFOUND);
    EXPECT_EQ(r, nullptr);
    ZunfsCheckFree(nullptr);
    EXPECT_STREQ(ZunfsCheckKindName(ZUNFS_CHECK_FREE_OVER_LIVE), "free-over-live");
    EXPECT_STREQ(ZunfsCheckKindName(999), "unknown");
}

} // namespace
