// Opening files that must be converted or moved first: old-format files,
// files of the other byte order, files of an older application version (the
// upgrade hook), the refresh of the host's classes, and the file check that
// tells the host which of these a file needs without opening it.
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>

#include "common/doc_fixture.h"
#include "common/fcb_fixture.h"
#include "common/gen_foreign.h"
#include "common/gen_old.h"

namespace {

std::vector<Record> Split(const gen::Bytes &bytes, uint16_t size) {
    std::vector<Record> out;
    for (size_t at = 0; at < bytes.size(); at += size) out.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
    return out;
}

// Classes 4 (8-byte records) and 5 (12-byte, RIDs); a single-chunk table,
// a free record and an indexed table.
gen::NativeSpec Sample() {
    gen::NativeSpec s;
    s.classes = {{8, 64, 4, 0x08, 4, 6, 1}, {12, 32, 4, 0x09, 4, 6, 100}};
    s.tables = {{4, gen::PatternRecords(10, 8, 1), false, {}, false},
                {5, gen::PatternRecords(50, 12, 2), true, {30, 20}, false}};
    s.saved = gen::VersionSpec{{0, -1, 1}, false, {}};
    return s;
}

// Undoes the generator's foreign form of host records: 32-bit words reversed.
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
    void Close() {
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
        ExpectHostFileUntouched();
    }
    gen::Bytes host_;
};

TEST_F(ConvertOpen, ForeignFilesAreConvertedInAScratchCopy) {
    const gen::NativeSpec spec = Sample();
    Put(gen::BuildForeign(spec).bytes);
    EXPECT_EQ(Open(), FS_E_CANNOT_TRANSLATE); // no translate hook
    ExpectHostFileUntouched();
    ctx_.translateHook = Translate;
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(FSSaved(fcb_), VER_SAVED);
    Doc doc;
    doc[0] = DocTable{4, Split(spec.tables[0].records, 8)};
    doc[2] = DocTable{5, Split(spec.tables[1].records, 12)};
    EXPECT_TRUE(FileHolds(fcb_, doc));
    Close();
    // A conversion that fails half way leaves the host's file whole; one that
    // would need a version upgrade as well is refused at once.
    ctx_.translateHook = [](uint8_t, void *, uint16_t, uint8_t) -> FSStatus { return 999; };
    EXPECT_EQ(Open(), 999);
    ExpectHostFileUntouched();
    ctx_.translateHook = Translate;
    ctx_.appVersion = 0x0200;
    EXPECT_EQ(Open(), FS_E_TRANSLATE_AND_CONVERT);
    ExpectHostFileUntouched();
}

// Data that cannot be matched arrives empty, and the open says so.
TEST_F(ConvertOpen, OldFilesAreConvertedIntoANewScratchFile) {
    gen::OldSpec s;
    s.classes = gen::OldDefaultClasses({{0x03, 4, 6, 8, 64, 7, 42}, {0x00, 3, 5, 12, 20, 2, 9}});
    s.tables = {{false, 4, false, {gen::PatternRecords(10, 8, 1)}, 0, 5, 1},
                {false, 5, true, {gen::PatternRecords(20, 12, 2), gen::PatternRecords(7, 12, 3)}, -1, 4, 1}};
    Put(gen::BuildOld(s).bytes);
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(FSVersion(fcb_), FORMAT_CONVERTED);
    EXPECT_EQ(FSError(fcb_), FS_E_UNREADABLE);
    Doc doc;
    doc[0] = DocTable{4, {}};
    doc[1] = DocTable{5, Split(s.tables[1].blocks[0], 12)};
    for (const Record &r : Split(s.tables[1].blocks[1], 12)) doc[1].recs.push_back(r);
    EXPECT_TRUE(FileHolds(fcb_, doc));
    Close();
}

// A file of an older application version is moved by the host's hook into a
// new file, which the open hands out with the RID counters and any warning of
// the conversion; a failing hook leaves nothing behind.
FCB *g_seenNew = nullptr;
FSStatus g_hookResult = 0;
FSStatus UpgradeHook(FCB *oldFcb, FCB *newFcb) {
    g_seenNew = newFcb;
    if (g_hookResult != 0) return g_hookResult;
    Doc doc; // the host copies its root table across
    uint16_t tid;
    DocMakeTable(newFcb, doc, 4, &tid);
    DocInsert(newFcb, doc, tid, 0, ReadTable(oldFcb, FSRootTable(oldFcb)));
    return 0;
}

TEST_F(ConvertOpen, UpgradeHookMovesTheFileIntoANewOne) {
    ctx_ = DocContext(folder_); // files made with version 0x0100
    ctx_.upgradeHook = UpgradeHook;
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    ctx_.appVersion = 0x0200;
    gen::Bytes b = gen::ReadFile(path_);
    gen::Put32(b, HeaderOnDisk().classTableOffset + 14 * 5 + 10, 4242); // RID counter of class 5
    Put(b);
    for (FSStatus result : {4711, 0}) {
        g_hookResult = result;
        g_seenNew = nullptr;
        ASSERT_EQ(Open(), result);
        ASSERT_NE(g_seenNew, nullptr);
        if (result != 0) {
            EXPECT_EQ(fcb_, nullptr);
            ExpectHostFileUntouched();
            continue;
        }
        EXPECT_EQ(fcb_, g_seenNew);
        EXPECT_EQ(fcb_->classTable[5].ridCounter, 4242u);
        EXPECT_EQ(FSAppVersion(fcb_), 0x0200);
        EXPECT_TRUE(FileHolds(fcb_, Doc{{0, saved_.at(0)}}));
        Close(); // the old file was a scratch copy, deleted
    }
    gen::OldSpec s; // an old file whose only block is of another class
    s.classes = gen::OldDefaultClasses({{0, 4, 6, 8, 64, 7, 1}, {0, 3, 5, 12, 20, 2, 1}, {0, 3, 5, 1, 20, 2, 1}});
    s.tables = {{false, 4, false, {gen::PatternRecords(10, 8, 1)}, 0, 5, 1}};
    Put(gen::BuildOld(s).bytes);
    ctx_.appVersion = 0x0400;
    ctx_.fileType = 0;
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(fcb_, g_seenNew);
    EXPECT_EQ(FSError(fcb_), FS_E_UNREADABLE);
    Close();
}

// The host's descriptors replace the file's where they differ; the RID
// counters stay the file's. A different number of classes is refused before
// the version is committed; a scratch copy made for the open goes with it.
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
    ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0); // a mini-saved version to keep
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

// FSFileInfo and FSIsFileWriteable: what a file needs, without opening it
// for work and without touching its stamp; a failed check still tells what
// it reached, foreign and the version only on success.
TEST_F(ConvertOpen, FileInfoTellsWhatTheFileNeeds) {
    struct Info {
        FSStatus status;
        uint32_t foreign = 77, convert = 77, writable = 77;
        uint16_t app = 77;
        bool operator==(const Info &) const = default;
    };
    auto ask = [&] {
        Info i{};
        i.foreign = i.convert = i.writable = i.app = 77;
        i.status = FSFileInfo(&spec_, &ctx_, &i.foreign, &i.convert, &i.writable, &i.app);
        return i;
    };
    ctx_ = DocContext(folder_);
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    struct utimbuf times{1200000000, 1200000000};
    ASSERT_EQ(utime(path_.c_str(), &times), 0);
    gen::Bytes damaged = gen::ReadFile(path_);
    gen::Put16(damaged, 6, 0x1234);
    uint32_t foreign = 9;
    EXPECT_EQ(FSIsFileWriteable(&spec_, &ctx_, &foreign), 1);
    EXPECT_EQ(foreign, 0u);
    EXPECT_TRUE(ask() == (Info{0, 0, 0, 1, 0x0100}));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1200000000);
    ASSERT_EQ(Open(), 0); // held open read-write elsewhere: only to be read
    EXPECT_EQ(FSIsFileWriteable(&spec_, &ctx_, nullptr), 0);
    EXPECT_TRUE(ask() == (Info{0, 0, 0, 0, 0x0100}));
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    ctx_.appVersion = 0x0300; // an older application version needs converting
    EXPECT_EQ(FSIsFileWriteable(&spec_, &ctx_, nullptr), 0);
    EXPECT_EQ(ask().convert, 1u);

    ctx_ = DocContext(folder_);
    gen::NativeSpec s = Sample();
    s.fileType = 0x4443;
    gen::WriteFile(path_, gen::BuildForeign(s).bytes);
    EXPECT_EQ(FSIsFileWriteable(&spec_, &ctx_, &foreign), 1);
    EXPECT_EQ(foreign, 1u);
    EXPECT_TRUE(ask() == (Info{0, 1, 0, 1, 0x0001})) << "the version as stored";
    gen::OldSpec old;
    old.classes = gen::OldDefaultClasses({{0, 4, 6, 8, 64, 7, 1}});
    old.tables = {{false, 4, false, {gen::PatternRecords(3, 8, 1)}, -1, 5, 1}};
    gen::WriteFile(path_, gen::BuildOld(old).bytes);
    ctx_.fileType = 0;
    ctx_.appVersion = 0;
    EXPECT_EQ(FSIsFileWriteable(&spec_, &ctx_, &foreign), 0);
    EXPECT_EQ(ask().convert, 1u);

    ctx_ = DocContext(folder_);
    gen::WriteFile(path_, damaged);
    EXPECT_TRUE(ask() == (Info{FS_E_BAD_FORMAT, 77, 0, 1, 77}));
    EXPECT_EQ(FSFileInfo(nullptr, &ctx_, nullptr, nullptr, nullptr, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSIsFileWriteable(&spec_, nullptr, nullptr), 0);
    VMFileSpec missing;
    ASSERT_EQ(VMMakeFileSpec((folder_ + "/none").c_str(), 0, &missing), 0);
    EXPECT_EQ(FSFileInfo(&missing, &ctx_, nullptr, nullptr, nullptr, nullptr), VM_E_NOTFOUND);
}

} // namespace
