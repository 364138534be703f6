// Opening: temporary and scratch copies, conversion and upgrade on open,
// the host's classes, and the files and arguments that are refused. Crash
// codes and each version's contents are the soak's.
#include "common/doc_fixture.h"
#include "common/fcb_fixture.h"
#include "common/gen_foreign.h"
#include "platform/census.h"

namespace {

class OpenTest : public DocFileTest {
protected:
    void SetUp() override {
        DocFileTest::SetUp();
        globals_ = zun::LiveGlobalBlocks();
        controls_ = zun::LiveControlBlocks();
    }
    // An open that fails stores a null FCB and no root, and leaves nothing
    // behind: no memory, no scratch file, the host's file as it was.
    void ExpectRefused(FSStatus expected, uint32_t selector = FS_VERSION_CURRENT, uint32_t asCopy = 0) {
        const gen::Bytes before = gen::ReadFile(path_);
        FCB *fcb = reinterpret_cast<FCB *>(1);
        uint16_t root = 7;
        EXPECT_EQ(FSFileOpen(&spec_, selector, asCopy, &ctx_, &fcb, &root), expected);
        EXPECT_EQ(fcb, nullptr);
        EXPECT_EQ(root, TID_NONE);
        EXPECT_EQ(gen::ReadFile(path_), before) << "written to";
        ExpectOnlyTheHostFile();
    }
    void ExpectOnlyTheHostFile() {
        EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"doc.zf"});
        EXPECT_EQ(zun::LiveGlobalBlocks(), globals_);
        EXPECT_EQ(zun::LiveControlBlocks(), controls_);
    }
    void Close(uint32_t keep = 0) {
        FSFileClose(fcb_, keep);
        fcb_ = nullptr;
    }
    // A generated file of classes 4 (8-byte records) and 5 (12-byte, RIDs),
    // foreign: a single-chunk table and an indexed one.
    gen::Bytes Foreign(uint16_t fileType = 0) {
        gen::NativeSpec s;
        s.classes = {{8, 64, 4, 0x08, 4, 6, 1}, {12, 32, 4, 0x09, 4, 6, 100}};
        s.tables = {{4, gen::PatternRecords(10, 8, 1), false, {}, false},
                    {5, gen::PatternRecords(50, 12, 2), true, {30, 20}, false}};
        s.saved = gen::VersionSpec{{0, -1, 1}, false, {}};
        s.fileType = fileType;
        return gen::BuildForeign(s).bytes;
    }

    uint32_t globals_ = 0, controls_ = 0;
};

// A file left open with only a mini-saved version never got a name of its
// own: opened on that version it is temporary, and goes when closed
// without keeping.
TEST_F(OpenTest, MiniSavedNewFileLeftOpenIsTemporary) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    std::mt19937 rng(5);
    Doc doc;
    DocChange(fcb_, doc, rng, 8);
    ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0);
    gen::WriteFile(path_, gen::ReadFile(VMFileSpecPath(FSFileSpec(fcb_))));
    Close();
    ExpectRefused(FS_E_CRASHED_MINI);
    ASSERT_EQ(Open(FS_VERSION_MINI), 0);
    EXPECT_NE(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    Close();
    EXPECT_TRUE(FolderEntries(folder_).empty());
}

// A file that cannot be opened for writing (here: another session holds
// it), and any file opened with asCopy 1, is worked on in a scratch copy;
// the host's file is never written, whatever is saved or kept.
TEST_F(OpenTest, ReadOnlyFilesAndCopiesAreWorkedOnInAScratchCopy) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    FCB *holder = nullptr;
    ASSERT_EQ(FSFileOpen(&spec_, FS_VERSION_CURRENT, 0, &ctx_, &holder, nullptr), 0);
    const gen::Bytes held = gen::ReadFile(path_);
    for (uint32_t asCopy : {0u, 1u}) { // the holder's header shows the file open: its saved version by name
        ASSERT_EQ(FSFileOpen(&spec_, FS_VERSION_SAVED, asCopy, &ctx_, &fcb_, nullptr), 0);
        EXPECT_NE(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
        EXPECT_TRUE(FileHolds(fcb_, saved_));
        Doc changed = saved_;
        DocMakeTable(fcb_, changed, 4);
        ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
        Close(asCopy);
        EXPECT_EQ(gen::ReadFile(path_), held);
    }
    FSFileClose(holder, 1);
}

TEST_F(OpenTest, ArgumentsAndFailedCopiesAreRefused) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    FCB *fcb = reinterpret_cast<FCB *>(1);
    uint16_t root = 7;
    EXPECT_EQ(FSFileOpen(&spec_, 0, 0, &ctx_, nullptr, &root), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSFileOpen(nullptr, 0, 0, &ctx_, &fcb, &root), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSFileOpen(&spec_, 0, 0, nullptr, &fcb, &root), FS_E_BAD_PARAMS);
    EXPECT_EQ(std::pair(fcb, root), std::pair(reinterpret_cast<FCB *>(1), uint16_t{7})) << "stored for a null argument";
    ExpectRefused(FS_E_BAD_PARAMS, 3);
    ctx_.flags |= FS_CALL_COPY_HOOK;
    ctx_.copyHook = [](const VMFileSpec *, const VMFileSpec *) -> FSStatus { return 4321; };
    ExpectRefused(4321, FS_VERSION_CURRENT, 1);
    ctx_.copyHook = nullptr;
    for (auto [op, status] : {std::pair{VM_OP_WRITE, VM_E_DISKFULL}, {VM_OP_CREATE, VM_E_ACCESS}}) {
        VMFaultFail(op, 0, status); // the copy is one write
        ExpectRefused(status, FS_VERSION_CURRENT, 1);
        VMFaultReset();
    }
    ctx_.classCount = 2; // fewer classes than the file's
    ExpectRefused(FS_E_BAD_CLASSES, FS_VERSION_SAVED, 1);
    ctx_.classes = nullptr;
    ExpectRefused(FS_E_BAD_PARAMS);
}

// Files that are not storage files of this host, of a newer format or
// application, and headers and class tables that cannot be right are
// refused before anything is trusted or written.
TEST_F(OpenTest, FilesThatCannotBeUsedAreRefused) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    const gen::Bytes good = gen::ReadFile(path_);
    const uint32_t ct = HeaderOnDisk().classTableOffset, end = HeaderOnDisk().fileSize;
    struct Damage {
        const char *what;
        uint32_t at, size, value;
        FSStatus expected = FS_E_BAD_FORMAT;
    };
    const Damage damages[] = {
        {"magic", 6, 2, 0x1234},
        {"another application's files", 108, 2, 0x7777},
        {"a newer format", 10, 2, 0x0309, FS_E_CANNOT_CONVERT},
        {"a newer application", 110, 2, 0x0200, FS_E_CANNOT_CONVERT},
        {"allocShift 16", 12, 2, 16},
        {"maxChunk 0", 84, 2, 0},
        {"classCount 3", 42, 1, 3},
        {"class table over the header", 86, 4, 64},
        {"class table past fileSize", 86, 4, end - 14},
        {"fileSize off its granule", 22, 4, end + 8},
        {"fileSize below the class table", 22, 4, ct},
        {"master records of 12 bytes", ct + 4, 2, 12},
        {"master maximum 0", ct + 6, 2, 0},
        {"master maximum past the chunk limit", ct + 6, 2, 4000},
        {"index records of 8 bytes", ct + 14 + 4, 2, 8},
        {"saved root of a host class", 45, 1, 4},
    };
    auto with = [&](const Damage &d) {
        gen::Bytes b = good;
        for (uint32_t i = 0; i < d.size; ++i) b[d.at + i] = uint8_t(d.value >> 8 * i);
        gen::WriteFile(path_, b);
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        with(d);
        ExpectRefused(d.expected);
    }
    for (size_t length : {0, 1, 153}) {
        gen::WriteFile(path_, gen::Bytes(good.begin(), good.begin() + length));
        ExpectRefused(length == 0 ? VM_E_READ : FS_E_BAD_FORMAT);
    }
}

// Marks that mean something only in memory are dropped from what is read:
// a resident bit or a busy count in the saved root, unknown version bits.
// A file longer than its header says loses the bytes nothing names. The
// host's class descriptors replace the file's, but not its RID counters.
TEST_F(OpenTest, RunTimeMarksAndBytesPastTheEndAreDroppedClassesRefreshed) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    gen::Bytes b = gen::ReadFile(path_);
    const uint32_t desc5 = HeaderOnDisk().classTableOffset + 14 * 5;
    const uint32_t counter = gen::Get32(b, desc5 + 10);
    gen::Put8(b, 44, 0xFD);     // saved root: resident, busy 63
    gen::Put16(b, 52, 0x0003);  // and a thunk index
    gen::Put16(b, 16, 0x0D);    // version bit 0x08
    gen::Put32(b, 140, 0xDEAD); // run-time slot
    b.resize(b.size() + 5000, 0xEE);
    gen::WriteFile(path_, b);
    std::vector<FSClassDesc> classes = DocClasses();
    classes[1].minPerChunk = 7;
    classes[1].ridCounter = 999;
    ctx_.classes = classes.data();
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(FileHolds(fcb_, saved_));
    EXPECT_EQ(fcb_->h.versionFlags, VER_CURRENT | VER_SAVED);
    EXPECT_EQ(fcb_->classTable[5].ridCounter, counter);
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    Close(1);
    b = gen::ReadFile(path_);
    EXPECT_EQ((std::vector<uint32_t>{uint32_t(b.size()), gen::Get16(b, desc5 + 8), gen::Get32(b, desc5 + 10)}),
              (std::vector<uint32_t>{HeaderOnDisk().fileSize, 7, counter}));
    EXPECT_TRUE(FileIsClean(path_));
    EXPECT_TRUE(VersionHolds(path_, FS_VERSION_CURRENT, ctx_, saved_));
}

// A file shorter than its header says still opens, on a scratch copy: the
// tables whose images are there read back, the others report 20551 and put
// the file in its fatal state. Host classes whose descriptors cannot
// describe chunks (record size 0, maximum 0, shifts 16 and 99): their
// tables are refused, the others work.
TEST_F(OpenTest, ShortFilesAndUnusableClassesGiveWhatCanBeRead) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    const gen::Bytes good = gen::ReadFile(path_);
    gen::Bytes shorter(good.begin(), good.begin() + HeaderOnDisk().fileSize / 2);
    gen::WriteFile(path_, shorter);
    ASSERT_EQ(Open(), 0);
    int missing = 0;
    for (const auto &[tid, table] : saved_) missing += ReadTable(fcb_, tid) != table.recs;
    EXPECT_GT(missing, 0);
    EXPECT_EQ(FSFatalError(fcb_), 1);
    Close(1);
    EXPECT_EQ(gen::ReadFile(path_), shorter);

    const uint32_t desc = HeaderOnDisk().classTableOffset + 14 * 4; // class 4
    ctx_.classCount = 0; // no refresh: the file's descriptors stay
    ctx_.classes = nullptr;
    for (auto [at, value] : {std::pair{4, 0}, {6, 0}, {2, 16}, {3, 99}}) {
        gen::Bytes b = good;
        b[desc + at] = uint8_t(value); // the 16-bit fields are set to 0
        if (at >= 4) b[desc + at + 1] = 0;
        gen::WriteFile(path_, b);
        ASSERT_EQ(Open(), 0);
        uint16_t made;
        EXPECT_EQ(FSMakeTable(fcb_, 4, &made), FS_E_BAD_CLASS) << at;
        for (const auto &[tid, table] : saved_) {
            SCB *scb = nullptr;
            if (table.cls == 4) EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS) << at;
            else EXPECT_EQ(ReadTable(fcb_, tid), table.recs);
        }
        Close(1);
    }
}

// Files of the other byte order are converted in a scratch copy (the
// conversion has tests of its own), whether the translate hook succeeds or
// fails; one that would need a version upgrade as well is refused at once.
TEST_F(OpenTest, ForeignFilesAreConvertedInAScratchCopy) {
    ctx_.classCount = 0; // the generated file has classes of its own
    ctx_.classes = nullptr;
    ctx_.fileType = 0;
    ctx_.appVersion = 0; // old files count as version 0x301
    const gen::Bytes host = Foreign();
    gen::WriteFile(path_, host);
    ctx_.translateHook = [](uint8_t, void *, uint16_t, uint8_t) -> FSStatus { return 999; };
    ExpectRefused(999);
    ctx_.translateHook = [](uint8_t, void *, uint16_t, uint8_t) -> FSStatus { return 0; };
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ((std::pair{ReadTable(fcb_, 0).size(), ReadTable(fcb_, 2).size()}), (std::pair{size_t{10}, size_t{50}}));
    Close();
    EXPECT_EQ(gen::ReadFile(path_), host);
    ctx_.appVersion = 0x0200;
    ExpectRefused(FS_E_TRANSLATE_AND_CONVERT);
}

// A file of an older application version is moved by the host's hook into a
// new file, which the open hands out; a failing hook leaves nothing behind.
FSStatus g_hookResult = 0;
FSStatus UpgradeHook(FCB *oldFcb, FCB *newFcb) {
    Doc doc; // the host copies its root table across
    uint16_t tid;
    DocMakeTable(newFcb, doc, 4, &tid);
    DocInsert(newFcb, doc, tid, 0, ReadTable(oldFcb, FSRootTable(oldFcb)));
    return g_hookResult;
}

TEST_F(OpenTest, UpgradeHookMovesTheFileIntoANewOne) {
    ctx_.upgradeHook = UpgradeHook;
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile()); // made with version 0x0100
    ctx_.appVersion = 0x0200;
    const gen::Bytes b = gen::ReadFile(path_);
    g_hookResult = 4711;
    ExpectRefused(4711);
    g_hookResult = 0;
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(FSAppVersion(fcb_), 0x0200);
    EXPECT_TRUE(FileHolds(fcb_, Doc{{0, saved_.at(0)}}));
    Close(); // the old file was a scratch copy, deleted
    EXPECT_EQ(gen::ReadFile(path_), b);
    ExpectOnlyTheHostFile();
}

// FSFileInfo and FSIsFileWriteable: what a file needs without opening it; a
// failed check still tells what it reached.
TEST_F(OpenTest, FileInfoTellsWhatTheFileNeeds) {
    using Info = std::array<uint32_t, 5>; // status, foreign, convert, writable, app
    auto ask = [&] {
        uint32_t foreign = 77, convert = 77, writable = 77;
        uint16_t app = 77;
        FSStatus status = FSFileInfo(&spec_, &ctx_, &foreign, &convert, &writable, &app);
        return Info{status, foreign, convert, writable, app};
    };
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    EXPECT_EQ(ask(), (Info{0, 0, 0, 1, 0x0100}));
    ASSERT_EQ(Open(), 0); // held open read-write elsewhere: only to be read
    EXPECT_EQ(ask(), (Info{0, 0, 0, 0, 0x0100}));
    EXPECT_EQ(FSIsFileWriteable(&spec_, &ctx_, nullptr), 0);
    Close(1);
    gen::Bytes damaged = gen::ReadFile(path_);
    gen::Put16(damaged, 6, 0x1234);
    gen::WriteFile(path_, damaged);
    EXPECT_EQ(ask(), (Info{FS_E_BAD_FORMAT, 77, 0, 1, 77}));
    gen::WriteFile(path_, Foreign(0x4443));
    EXPECT_EQ(ask(), (Info{0, 1, 0, 1, 0x0001})) << "the version as stored";
    EXPECT_EQ(FSFileInfo(nullptr, &ctx_, nullptr, nullptr, nullptr, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSIsFileWriteable(&spec_, nullptr, nullptr), 0);
}

} // namespace
