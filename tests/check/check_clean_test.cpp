// Sound files pass the check, and the summary describes what is in them.
#include "check_helpers.h"

namespace {

TEST(CheckClean, TwoVersionsSharingImagesWithStoredFreeList) {
    gen::NativeFile f = gen::BuildNative(TwoVersions());
    Report r = CheckBytes(f.bytes);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_NATIVE));
    EXPECT_EQ(r->versionFlags, 0x7);
    EXPECT_EQ(r->recoverable, 0x6);
    EXPECT_FALSE(r->leftOpen);
    EXPECT_EQ(r->openCurrent, 0);
    EXPECT_EQ(r->classesRead, 6u);
    EXPECT_EQ(r->classes[5].recSize, 12);

    const ZunfsCheckVersion *saved = VersionOf(r, 0x4), *mini = VersionOf(r, 0x2);
    ASSERT_TRUE(saved && mini);
    EXPECT_EQ(r->versions[0].version, 0x4); // saved first
    ASSERT_EQ(saved->tableCount, 3u);
    const ZunfsCheckTable &t1 = saved->tables[1];
    EXPECT_EQ(t1.tid, 1);
    EXPECT_EQ(t1.classNumber, 5);
    EXPECT_EQ(t1.indexed, 1);
    EXPECT_EQ(t1.records, 80u);
    EXPECT_EQ(t1.chunks, 3u);
    EXPECT_EQ(t1.bytes, 80u * 12 + 3 * 10);
    EXPECT_EQ(saved->tables[2].records, 50u);
    EXPECT_EQ(mini->tables[2].records, 20u);
    // Shared: table 0's chunk, table 1's index and three chunks.
    EXPECT_EQ(saved->sharedImages, 5u);
    EXPECT_EQ(mini->sharedImages, 5u);
    EXPECT_EQ(saved->imageCount, 7u); // + table 2 and the master chunk

    // Runs: a free one after every image and at the tail; the saved-only
    // images (table 2, saved master) owned by 0x4; the mini-saved ones by 0x3.
    EXPECT_EQ(r->freeEntries, f.freeList.size());
    EXPECT_EQ(r->freeBytes, 9u * 64 + 128);
    EXPECT_EQ(r->ownedBytes[2], 448u + 64);
    EXPECT_EQ(r->ownedBytes[1], 192u + 64);
    EXPECT_EQ(r->ownedBytes[0], r->ownedBytes[1]);
}

TEST(CheckClean, IndexedMasterManyTablesEmptyAndImagelessChunks) {
    // 300 table records over two master chunks; every seventh is free. The
    // tables are in turn empty, imageless (records read as zeros) and indexed.
    gen::NativeSpec s;
    s.classes = {{4, 100, 0, 0x00, 4, 6, 1}};
    gen::VersionSpec v;
    v.masterIndexed = true;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) s.tables.push_back({4, {}, false, {}, false});
        if (i % 3 == 1) s.tables.push_back({4, gen::PatternRecords(30, 4, i), false, {}, true});
        if (i % 3 == 2) s.tables.push_back({4, gen::PatternRecords(5, 4, i), true, {2, 2, 1}, false});
        v.tids.push_back(i % 7 == 3 ? -1 : i);
    }
    s.saved = v;
    Report r = CheckBytes(gen::BuildNative(s).bytes);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    ASSERT_EQ(r->versionCount, 1u);
    const ZunfsCheckVersion &sv = r->versions[0];
    EXPECT_EQ(sv.masterIndexed, 1);
    EXPECT_EQ(sv.masterChunks, 2u);
    EXPECT_EQ(sv.masterRecords, 300u);
    ASSERT_EQ(sv.tableCount, 300u - 43u);
    const ZunfsCheckTable &imageless = sv.tables[1], &indexed = sv.tables[2];
    EXPECT_EQ(imageless.records, 30u);
    EXPECT_EQ(imageless.bytes, 0u);
    EXPECT_EQ(indexed.tid, 2);
    EXPECT_EQ(indexed.chunks, 3u);
    EXPECT_EQ(indexed.records, 5u);
    EXPECT_EQ(sv.tables[sv.tableCount - 1].tid, 299);
}

TEST(CheckClean, CrashStateAndVersionsToRecover) {
    gen::NativeSpec s = TwoVersions();
    s.stateFlags = 0; // left open
    Report r = CheckBytes(gen::BuildNative(s).bytes);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_TRUE(r->leftOpen);
    EXPECT_EQ(r->openCurrent, FS_E_CRASHED_BOTH);
    EXPECT_EQ(r->recoverable, 0x6);

    s.mini.reset();
    r = CheckBytes(gen::BuildNative(s).bytes);
    EXPECT_EQ(r->openCurrent, FS_E_CRASHED_SAVED);
    EXPECT_EQ(r->versionCount, 1u);

    gen::NativeSpec never;
    never.stateFlags = 0x01; // closed, never saved: nothing readable on disk
    r = CheckBytes(gen::BuildNative(never).bytes);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_EQ(r->versionCount, 0u);
    EXPECT_EQ(r->openCurrent, FS_E_NO_SAVED);
}

TEST(CheckClean, IdenticalVersionsShareEveryImage) {
    gen::NativeSpec s = TwoVersions();
    s.mini = s.saved;
    Report r = CheckBytes(gen::BuildNative(s).bytes);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_EQ(r->versions[0].sharedImages, r->versions[0].imageCount);
    EXPECT_EQ(r->versions[1].sharedImages, r->versions[1].imageCount);
}

} // namespace
