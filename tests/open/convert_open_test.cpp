// Opening files that must be converted or moved first: old-format files,
// files of the other byte order, files of an older application version
// (the upgrade hook), and the refresh of the host's classes.
#include <algorithm>

#include "common/doc_fixture.h"
#include "common/fcb_fixture.h"
#include "common/gen_foreign.h"
#include "common/gen_old.h"

namespace {

// The tables a generated version holds, as a model.
Doc DocOf(const gen::NativeSpec &spec, const gen::VersionSpec &v) {
    Doc doc;
    for (size_t tid = 0; tid < v.tids.size(); ++tid) {
        if (v.tids[tid] < 0) continue;
        const gen::TableSpec &t = spec.tables[size_t(v.tids[tid])];
        const uint16_t size = spec.classes[t.cls - 4].recSize;
        DocTable &table = doc[uint16_t(tid)];
        table.cls = t.cls;
        for (size_t at = 0; at < t.records.size(); at += size)
            table.recs.emplace_back(t.records.begin() + at, t.records.begin() + at + size);
    }
    return doc;
}

// Classes 4 (8-byte records) and 5 (12-byte, RIDs); a single-chunk table,
// an indexed one and a free record in the saved version.
gen::NativeSpec Sample() {
    gen::NativeSpec s;
    s.classes = {{8, 64, 4, 0x08, 4, 6, 1}, {12, 32, 4, 0x09, 4, 6, 100}};
    s.tables = {{4, gen::PatternRecords(10, 8, 1), false, {}, false},
                {5, gen::PatternRecords(50, 12, 2), true, {30, 20}, false}};
    s.saved = gen::VersionSpec{{0, -1, 1}, false, {}};
    return s;
}

// Undoes the generator's foreign form of host records: 32-bit words
// reversed, a 16-bit word at an odd end swapped.
FSStatus Translate(uint8_t cls, void *records, uint16_t count, uint8_t) {
    const uint16_t size = cls == 4 ? 8 : 12;
    auto *p = static_cast<uint8_t *>(records);
    for (uint32_t r = 0; r < count; ++r, p += size)
        for (uint16_t i = 0; i + 4 <= size; i += 4) std::reverse(p + i, p + i + 4);
    return 0;
}

class ConvertOpen : public DocFileTest {
protected:
    void SetUp() override {
        DocFileTest::SetUp();
        ctx_.classCount = 0; // the generated files have classes of their own
        ctx_.classes = nullptr;
        ctx_.fileType = 0;
        ctx_.appVersion = 0; // old files count as version 0x301
    }
    void Put(const gen::Bytes &bytes) {
        gen::WriteFile(path_, bytes);
        host_ = bytes;
    }
    // The host's file is never written, and only the host's file is left.
    void ExpectHostFileUntouched() {
        EXPECT_EQ(gen::ReadFile(path_), host_);
        EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"doc.zf"});
    }
    gen::Bytes host_;
};

TEST_F(ConvertOpen, ForeignFilesAreConvertedInAScratchCopy) {
    const gen::NativeSpec spec = Sample();
    Put(gen::BuildForeign(spec).bytes);
    ExpectHostFileUntouched();
    EXPECT_EQ(Open(), FS_E_CANNOT_TRANSLATE); // no translate hook
    ExpectHostFileUntouched();

    ctx_.translateHook = Translate;
    ASSERT_EQ(Open(), 0);
    EXPECT_NE(VMFileSpecPath(FSFileSpec(fcb_)), path_);
    EXPECT_EQ(FSSaved(fcb_), VER_SAVED);
    EXPECT_TRUE(FileHolds(fcb_, DocOf(spec, *spec.saved)));
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    ExpectHostFileUntouched();

    // A conversion that fails half way leaves the host's file whole.
    ctx_.translateHook = [](uint8_t, void *, uint16_t, uint8_t) -> FSStatus { return 999; };
    EXPECT_EQ(Open(), 999);
    ExpectHostFileUntouched();

    // One that would need a version upgrade as well is refused at once.
    ctx_.translateHook = Translate;
    ctx_.appVersion = 0x0200;
    EXPECT_EQ(Open(), FS_E_TRANSLATE_AND_CONVERT);
    ExpectHostFileUntouched();
}

TEST_F(ConvertOpen, OldFilesAreConvertedIntoANewScratchFile) {
    gen::OldSpec s;
    s.classes = gen::OldDefaultClasses({{0x03, 4, 6, 8, 64, 7, 42}, {0x00, 3, 5, 12, 20, 2, 9}});
    s.tables = {{false, 4, false, {gen::PatternRecords(10, 8, 1)}, -1, 5, 1},
                {false, 5, true, {gen::PatternRecords(20, 12, 2), gen::PatternRecords(7, 12, 3)}, -1, 4, 1}};
    Put(gen::BuildOld(s).bytes);
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(FSVersion(fcb_), FORMAT_CONVERTED);
    EXPECT_EQ(FSError(fcb_), 0);
    auto records = [](const std::vector<gen::Bytes> &parts, uint16_t size) {
        std::vector<Record> out;
        for (const gen::Bytes &part : parts)
            for (size_t at = 0; at < part.size(); at += size) out.emplace_back(part.begin() + at, part.begin() + at + size);
        return out;
    };
    Doc doc;
    doc[0] = DocTable{4, records(s.tables[0].blocks, 8)};
    doc[1] = DocTable{5, records(s.tables[1].blocks, 12)};
    EXPECT_TRUE(FileHolds(fcb_, doc));
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    ExpectHostFileUntouched();

    // Data that cannot be matched arrives empty, and the open says so.
    s.tables[0].mismatchBlock = 0;
    Put(gen::BuildOld(s).bytes);
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(FSError(fcb_), FS_E_UNREADABLE);
    doc[0].recs.clear();
    EXPECT_TRUE(FileHolds(fcb_, doc));
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    ExpectHostFileUntouched();
}

// A file of an older application version is moved by the host's hook into
// a new file, which the open hands out; the RID counters come along, and so
// does a warning about data the conversion could not match.
class UpgradeOpen : public ConvertOpen {
protected:
    static FCB *seenOld, *seenNew;
    static FSStatus hookResult;
    static FSStatus Hook(FCB *oldFcb, FCB *newFcb) {
        seenOld = oldFcb;
        seenNew = newFcb;
        if (hookResult != 0) return hookResult;
        // The host copies its root table across.
        std::vector<Record> recs = ReadTable(oldFcb, FSRootTable(oldFcb));
        Doc doc;
        uint16_t tid;
        DocMakeTable(newFcb, doc, 4, &tid);
        DocInsert(newFcb, doc, tid, 0, recs);
        return 0;
    }
    void SetUp() override {
        ConvertOpen::SetUp();
        ctx_ = DocContext(folder_); // files made with version 0x0100
        ctx_.upgradeHook = Hook;
        seenOld = seenNew = nullptr;
        hookResult = 0;
    }
};
FCB *UpgradeOpen::seenOld = nullptr;
FCB *UpgradeOpen::seenNew = nullptr;
FSStatus UpgradeOpen::hookResult = 0;

TEST_F(UpgradeOpen, HookMovesTheFileIntoANewOne) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    ctx_.appVersion = 0x0200;
    gen::Bytes b = gen::ReadFile(path_);
    const uint32_t desc5 = HeaderOnDisk().classTableOffset + 14 * 5;
    gen::Put32(b, desc5 + 10, 4242); // RID counter of class 5
    Put(b);
    ASSERT_EQ(Open(), 0);
    ASSERT_NE(seenNew, nullptr);
    EXPECT_EQ(fcb_, seenNew);
    EXPECT_EQ(fcb_->classTable[5].ridCounter, 4242u);
    EXPECT_EQ(FSAppVersion(fcb_), 0x0200);
    EXPECT_EQ(FSError(fcb_), 0);
    Doc expected;
    expected[0] = saved_.at(0);
    EXPECT_TRUE(FileHolds(fcb_, expected));
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    ExpectHostFileUntouched(); // the old file was a scratch copy, deleted
}

TEST_F(UpgradeOpen, FailedHookLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    ctx_.appVersion = 0x0200;
    Put(gen::ReadFile(path_));
    hookResult = 4711;
    EXPECT_EQ(Open(), 4711);
    EXPECT_EQ(fcb_, nullptr);
    EXPECT_NE(seenOld, nullptr);
    ExpectHostFileUntouched();
}

TEST_F(UpgradeOpen, WarningOfAnOldFileComesThroughTheHook) {
    gen::OldSpec s;
    s.classes = gen::OldDefaultClasses({{0, 4, 6, 8, 64, 7, 1}, {0, 3, 5, 12, 20, 2, 1}, {0, 3, 5, 1, 20, 2, 1}});
    s.tables = {{false, 4, false, {gen::PatternRecords(10, 8, 1)}, 0, 5, 1}}; // its block is of class 5
    Put(gen::BuildOld(s).bytes);
    ctx_.appVersion = 0x0400; // newer than 0x301
    ctx_.fileType = 0;
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(fcb_, seenNew);
    EXPECT_EQ(FSError(fcb_), FS_E_UNREADABLE);
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    ExpectHostFileUntouched();
}

// The host's descriptors replace the file's where they differ; the RID
// counters stay the file's. A different number of classes is refused; a
// scratch copy made for the open goes with the failure.
TEST_F(ConvertOpen, HostClassesAreRefreshedFromTheContext) {
    ctx_ = DocContext(folder_);
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    std::vector<FSClassDesc> classes = DocClasses();
    classes[1].minPerChunk = 7;
    classes[1].ridCounter = 999; // not taken
    ctx_.classes = classes.data();
    const uint32_t desc5 = HeaderOnDisk().classTableOffset + 14 * 5;
    const uint32_t counter = gen::Get32(gen::ReadFile(path_), desc5 + 10);
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(fcb_->classTable[5].minPerChunk, 7);
    EXPECT_EQ(fcb_->classTable[5].ridCounter, counter);
    EXPECT_EQ(gen::Get16(gen::ReadFile(path_), desc5 + 8), 7) << "written to the file";
    EXPECT_TRUE(FileHolds(fcb_, saved_));
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;

    // Refused before the version is committed: the file keeps every version.
    ASSERT_EQ(Open(), 0); // and a mini-saved version to keep
    ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0);
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    Put(gen::ReadFile(path_));
    ctx_.classCount = 2;
    for (uint32_t asCopy : {0u, 1u}) {
        EXPECT_EQ(FSFileOpen(&spec_, FS_VERSION_SAVED, asCopy, &ctx_, &fcb_, nullptr), FS_E_BAD_CLASSES);
        EXPECT_EQ(fcb_, nullptr);
        ExpectHostFileUntouched();
    }
}

} // namespace
