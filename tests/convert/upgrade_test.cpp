// Upgrading old-format files: the new file's header and layout, every
// record read back from it, unmatched data, and files of newer layouts.
#include "convert/upgrade.h"
#include "common/gen_old.h"
#include "convert_helpers.h"

namespace {

using namespace gen;

constexpr uint16_t KIND5_DEFAULT_APP = 0x301;

// Host classes 4 (8-byte records, at most 64 a chunk, RID counter 42) and
// 5 (12-byte records, at most 20); a single-block table, a free record, an
// indexed table of three blocks and an empty table.
OldSpec MixedOld() {
    OldSpec s;
    s.classes = OldDefaultClasses({{0x03, 4, 6, 8, 64, 7, 42}, {0xF0, 3, 5, 12, 20, 2, 9}});
    s.rootTable = 2;
    s.tables = {
        {false, 4, false, {PatternRecords(10, 8, 1)}, -1, 5, 1},
        {true, 0, false, {}, -1, 5, 1},
        {false, 5, true, {PatternRecords(20, 12, 2), PatternRecords(7, 12, 3), PatternRecords(15, 12, 4)}, -1, 4, 1},
        {false, 4, false, {Bytes{}}, -1, 5, 1},
    };
    return s;
}

class Upgrade : public ConvertTest {
protected:
    FCB *fcb = nullptr;
    void TearDown() override {
        FcbRelease(fcb);
        ConvertTest::TearDown();
    }
    FSStatus Run(const OldSpec &s, bool temporary = false) {
        fcb = FcbOnFile(Put(BuildOld(s).bytes, "old.pub"), temporary);
        EXPECT_NE(fcb, nullptr);
        return fcb ? CVUpgradeOld(fcb, &ctx) : FS_E_BAD_PARAMS;
    }
    std::string NewPath() const { return VMFileSpecPath(fcb->file); }
    ReadVersion Saved() const { return ReadSaved(FileBytes(fcb)); }
};

TEST_F(Upgrade, NewFileHeaderAndClassTable) {
    ASSERT_EQ(Run(MixedOld()), 0);
    const FileHeader &h = fcb->h;
    EXPECT_EQ(h.magic, FS_MAGIC);
    EXPECT_EQ(h.formatVersion, FORMAT_CONVERTED);
    EXPECT_EQ(h.versionFlags, 0x05);
    EXPECT_EQ(h.stateFlags, STATE_CLOSED_CLEANLY);
    EXPECT_EQ(h.formatMark, 1);
    EXPECT_EQ(h.allocShift, 6);
    EXPECT_EQ(h.growShift, 12);
    EXPECT_EQ(h.maxChunk, 0xF000);
    EXPECT_EQ(h.classCount, 6);
    EXPECT_EQ(h.rootTable, 2);
    EXPECT_EQ(h.fileType, 0x5155);
    EXPECT_EQ(h.appVersion, KIND5_DEFAULT_APP);
    EXPECT_EQ(h.lastStatus, 0);
    EXPECT_EQ(h.savedRoot.cls, CLASS_INDEX);
    EXPECT_EQ(h.savedFreeCount, 0);

    // A temporary scratch file in the scratch folder, as long as its fileSize.
    EXPECT_TRUE(fcb->file->bytes[6] & VM_SPEC_TEMPORARY);
    EXPECT_EQ(FolderEntries(scratch.path).size(), 1u);
    Bytes disk = FileBytes(fcb);
    EXPECT_EQ(disk.size(), Val(h.fileSize));
    EXPECT_EQ(Val(h.savedFileSize), Val(h.fileSize));
    EXPECT_EQ(Bytes(disk.begin(), disk.begin() + HEADER_SIZE), HeaderBytes(fcb));
    EXPECT_CLEAN(NewPath());
    Report r = CheckPath(NewPath());
    const ZunfsCheckVersion *saved = VersionOf(r, VER_SAVED);
    ASSERT_NE(saved, nullptr);
    EXPECT_TRUE(saved->walked && saved->masterIndexed);
    EXPECT_EQ(saved->tableCount, 3u);
    EXPECT_EQ(saved->imageCount, 7u); // master index and chunk, table index, four data chunks

    // Host classes widened: flags bits 0-2 kept and 0x08 added, the rest
    // copied, RID counters from the old header; built-ins as a new file has them.
    const uint32_t at = h.classTableOffset;
    EXPECT_EQ(disk[at + 4 * 14], 0x0B);
    EXPECT_EQ(disk[at + 4 * 14 + 2], 4);
    EXPECT_EQ(disk[at + 4 * 14 + 3], 6);
    EXPECT_EQ(Get16(disk, at + 4 * 14 + 4), 8);
    EXPECT_EQ(Get16(disk, at + 4 * 14 + 6), 64);
    EXPECT_EQ(Get16(disk, at + 4 * 14 + 8), 7);
    EXPECT_EQ(Get32(disk, at + 4 * 14 + 10), 42u);
    EXPECT_EQ(disk[at + 5 * 14], 0x08);
    EXPECT_EQ(Get32(disk, at + 5 * 14 + 10), 9u);
    for (uint32_t c = 0; c < 4; ++c) {
        EXPECT_EQ(disk[at + c * 14], 0x38) << c;
        EXPECT_EQ(Get32(disk, at + c * 14 + 10), 1u) << c;
    }
    EXPECT_EQ(Get16(disk, at + 4), 16);
    EXPECT_EQ(Get16(disk, at + 6), 256);
    EXPECT_EQ(Get16(disk, at + 14 + 4), 10);
}

TEST_F(Upgrade, EveryRecordReadsBack) {
    OldSpec s = MixedOld();
    ASSERT_EQ(Run(s), 0);
    ReadVersion v = Saved();
    ASSERT_TRUE(v.masterIndexed);
    ASSERT_EQ(v.tables.size(), 4u);
    EXPECT_TRUE(v.tables[0].inUse && !v.tables[0].indexed);
    EXPECT_EQ(v.tables[0].cls, 4);
    EXPECT_EQ(v.tables[0].records, s.tables[0].blocks[0]);
    EXPECT_FALSE(v.tables[1].inUse);
    EXPECT_TRUE(v.tables[2].inUse && v.tables[2].indexed);
    EXPECT_EQ(v.tables[2].cls, 5);
    EXPECT_EQ(v.tables[2].chunks, (std::vector<uint16_t>{20, 7, 15}));
    EXPECT_EQ(v.tables[2].records, Concat(s.tables[2].blocks));
    EXPECT_TRUE(v.tables[3].inUse);
    EXPECT_EQ(v.tables[3].chunks, std::vector<uint16_t>{0});
}

TEST_F(Upgrade, MasterTableIsIndexedInChunksOf256) {
    OldSpec s = MixedOld();
    s.tables.clear();
    for (uint32_t t = 0; t < 300; ++t)
        s.tables.push_back({t % 7 == 3, 4, false, {PatternRecords(1 + t % 3, 8, t)}, -1, 5, 1});
    ASSERT_EQ(Run(s), 0);
    ReadVersion v = Saved();
    EXPECT_EQ(v.masterChunks, (std::vector<uint16_t>{256, 44}));
    ASSERT_EQ(v.tables.size(), 300u);
    for (uint32_t t = 0; t < 300; ++t) {
        EXPECT_EQ(v.tables[t].inUse, !s.tables[t].free) << t;
        if (!s.tables[t].free) {
            EXPECT_EQ(v.tables[t].records, s.tables[t].blocks[0]) << t;
        }
    }
    EXPECT_CLEAN(NewPath());

    // Even a single table (and an empty master) makes an indexed master.
    FcbRelease(fcb);
    s.tables.resize(1);
    ASSERT_EQ(Run(s), 0);
    EXPECT_EQ(Saved().masterChunks, std::vector<uint16_t>{1});
    FcbRelease(fcb);
    s.tables.clear();
    ASSERT_EQ(Run(s), 0);
    EXPECT_EQ(Saved().masterChunks, std::vector<uint16_t>{0});
    EXPECT_CLEAN(NewPath());
}

TEST_F(Upgrade, KindSelectsTheApplicationVersion) {
    struct Case {
        uint8_t kind;
        uint16_t word14;
        uint16_t app;
    };
    for (Case c : {Case{3, 1, 0x200}, Case{5, 1, 0x300}, Case{5, 0, 0x301}}) {
        OldSpec s = MixedOld();
        s.kind = c.kind;
        s.word14 = c.word14;
        ASSERT_EQ(Run(s), 0);
        EXPECT_EQ(fcb->h.appVersion, c.app);
        FcbRelease(fcb);
    }
    // Any other kind cannot be converted, and nothing is made.
    OldSpec s = MixedOld();
    s.kind = 4;
    fcb = nullptr;
    EXPECT_EQ(Run(s), FS_E_CANNOT_CONVERT);
    EXPECT_EQ(FolderEntries(scratch.path).size(), 3u); // the three kept scratch files above
}

TEST_F(Upgrade, UnmatchedDataArrivesEmptyWithAWarning) {
    OldSpec s = MixedOld();
    s.tables[0].mismatchBlock = 0; // single block of another class
    s.tables[2].mismatchBlock = 1; // the middle block of the indexed table
    s.tables.push_back({false, 4, true, {PatternRecords(3, 8, 9)}, -1, 5, 4}); // index block of class 4
    ASSERT_EQ(Run(s), 0);
    EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE);
    EXPECT_EQ(Get16(FileBytes(fcb), 4), FS_E_UNREADABLE);

    ReadVersion v = Saved();
    ASSERT_EQ(v.tables.size(), 5u);
    EXPECT_TRUE(v.tables[0].inUse && !v.tables[0].indexed);
    EXPECT_EQ(v.tables[0].cls, 4);
    EXPECT_EQ(v.tables[0].chunks, std::vector<uint16_t>{0});
    EXPECT_TRUE(v.tables[2].indexed);
    EXPECT_EQ(v.tables[2].chunks, (std::vector<uint16_t>{20, 0, 15}));
    EXPECT_EQ(v.tables[2].records, Concat({s.tables[2].blocks[0], s.tables[2].blocks[2]}));
    EXPECT_TRUE(v.tables[4].inUse && !v.tables[4].indexed);
    EXPECT_EQ(v.tables[4].chunks, std::vector<uint16_t>{0});
    EXPECT_EQ(v.tables[3].chunks, std::vector<uint16_t>{0});
    EXPECT_CLEAN(NewPath());
}

TEST_F(Upgrade, TheOldFileIsOnlyRead) {
    Bytes old = BuildOld(MixedOld()).bytes;
    std::string path = Put(old, "kept.pub");
    fcb = FcbOnFile(path);
    ASSERT_EQ(CVUpgradeOld(fcb, &ctx), 0);
    EXPECT_EQ(ReadFile(path), old);

    // A scratch copy as the working file goes away once it is converted.
    FcbRelease(fcb);
    std::string copy = Put(old, "copy.pub");
    fcb = FcbOnFile(copy, true);
    ASSERT_EQ(CVUpgradeOld(fcb, &ctx), 0);
    EXPECT_EQ(FolderEntries(files.path), std::vector<std::string>{"kept.pub"});
}

TEST_F(Upgrade, NewerLayoutsAreUsedAsTheyStand) {
    NativeSpec n;
    n.classes = {{8, 64, 0, 0x08, 4, 6, 1}};
    n.tables = {{4, PatternRecords(5, 8, 1), false, {}, false}};
    n.saved = VersionSpec{{0}, false, {}};
    for (uint16_t version : {0x0105, 0x0200, 0x02FF}) {
        Bytes b = BuildNative(n).bytes;
        Put16(b, 10, version);
        Put16(b, 4, 0x1234); // a leftover status
        std::string path = Put(b);
        fcb = FcbOnFile(path);
        VMFileSpec *file = fcb->file;
        fcb->h.rootTable = 77; // the header is read again from the file
        ASSERT_EQ(CVUpgradeOld(fcb, &ctx), 0) << version;
        EXPECT_EQ(fcb->file, file);
        EXPECT_EQ(fcb->h.formatVersion, version);
        EXPECT_EQ(fcb->h.rootTable, 0);
        EXPECT_EQ(fcb->h.lastStatus, 0);
        EXPECT_EQ(ReadFile(path), b);
        FcbRelease(fcb);
        fcb = nullptr;
    }
    EXPECT_TRUE(ScratchEmpty());
}

} // namespace
