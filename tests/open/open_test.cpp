// Opening: which version a selector gives, the crash codes, scratch copies,
// and the files and arguments that are refused.
#include <sys/stat.h>

#include "common/doc_fixture.h"
#include "common/fcb_fixture.h"
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
    // behind: no memory, no scratch file.
    void ExpectRefused(FSStatus expected, uint32_t selector = FS_VERSION_CURRENT, uint32_t asCopy = 0) {
        FCB *fcb = reinterpret_cast<FCB *>(1);
        uint16_t root = 7;
        EXPECT_EQ(FSFileOpen(&spec_, selector, asCopy, &ctx_, &fcb, &root), expected);
        EXPECT_EQ(fcb, nullptr);
        EXPECT_EQ(root, TID_NONE);
        EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"doc.zf"});
        EXPECT_EQ(zun::LiveGlobalBlocks(), globals_);
        EXPECT_EQ(zun::LiveControlBlocks(), controls_);
    }
    // The file as the host's, with the header still showing it open: the
    // bytes of the open scratch file of fcb, taken while it is open.
    void TakeOpenFile(FCB *fcb) {
        gen::WriteFile(path_, gen::ReadFile(VMFileSpecPath(FSFileSpec(fcb))));
        FSFileClose(fcb, 0);
    }

    uint32_t globals_ = 0, controls_ = 0;
};

TEST_F(OpenTest, CleanlyClosedFileOpensOnItsSavedVersion) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    uint16_t root = 0;
    ASSERT_EQ(FSFileOpen(&spec_, FS_VERSION_CURRENT, 0, &ctx_, &fcb_, &root), 0);
    EXPECT_EQ(root, saved_.begin()->first);
    EXPECT_EQ(FSError(fcb_), 0);
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(fcb_)), path_.c_str()) << "worked on in place";
    EXPECT_TRUE(FileHolds(fcb_, saved_));
    // The header on disk shows the file open from now on.
    EXPECT_EQ(HeaderOnDisk().stateFlags & STATE_CLOSED_CLEANLY, 0);
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    EXPECT_TRUE(FileIsClean(path_));
    EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
}

// A file never saved has no version to open; a file whose header shows it
// open names the versions it holds, and each of them opens with its
// selector. With a mini-saved version and no saved one the document never
// got a name of its own: opened on that version, the file goes if not kept.
TEST_F(OpenTest, FileLeftOpenNamesTheVersionsItHolds) {
    struct Row {
        bool closed, save, mini;
        FSStatus code;
    };
    for (const Row &row : {Row{true, false, false, FS_E_NO_SAVED}, Row{false, false, false, FS_E_CRASHED},
                           Row{false, true, false, FS_E_CRASHED_SAVED}, Row{false, false, true, FS_E_CRASHED_MINI},
                           Row{false, true, true, FS_E_CRASHED_BOTH}}) {
        SCOPED_TRACE(row.code);
        FCB *fcb = nullptr;
        ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
        std::mt19937 rng(row.code);
        Doc saved, mini;
        DocChange(fcb, saved, rng, 8);
        if (row.save) {
            ASSERT_EQ(FSISaveCommit(fcb, 1, 0), 0);
        }
        mini = saved;
        DocChange(fcb, mini, rng, 8);
        if (row.mini) {
            ASSERT_EQ(FSISaveCommit(fcb, 0, 0), 0);
        }
        if (row.closed) {
            const std::string scratch = VMFileSpecPath(FSFileSpec(fcb));
            FSFileClose(fcb, 1);
            ASSERT_EQ(std::rename(scratch.c_str(), path_.c_str()), 0);
        } else {
            TakeOpenFile(fcb);
        }
        ExpectRefused(row.code);
        if (row.mini) {
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, mini));
        } else {
            ExpectRefused(FS_E_NO_MINI, FS_VERSION_MINI);
        }
        if (row.save) {
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved));
        } else {
            ExpectRefused(FS_E_NO_SAVED, FS_VERSION_SAVED);
        }
        EXPECT_TRUE(FileIsClean(path_));
        if (row.mini && !row.save) {
            ASSERT_EQ(Open(FS_VERSION_MINI), 0);
            EXPECT_NE(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
            FSFileClose(fcb_, 0);
            fcb_ = nullptr;
            EXPECT_TRUE(FolderEntries(folder_).empty());
        }
    }
}

// A file that cannot be opened for writing (here: another session holds
// it), and any file opened with asCopy 1, is worked on in a scratch copy;
// the host's file is never written, whatever is saved or kept.
TEST_F(OpenTest, ReadOnlyFilesAndCopiesAreWorkedOnInAScratchCopy) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    static int copies = 0;
    static std::string copyFrom, copyTo;
    ctx_.flags |= FS_CALL_COPY_HOOK;
    ctx_.copyHook = [](const VMFileSpec *host, const VMFileSpec *scratch) -> FSStatus {
        ++copies;
        copyFrom = VMFileSpecPath(host);
        copyTo = VMFileSpecPath(scratch);
        return 0;
    };
    FCB *holder = nullptr;
    ASSERT_EQ(FSFileOpen(&spec_, FS_VERSION_CURRENT, 0, &ctx_, &holder, nullptr), 0);
    EXPECT_EQ(copies, 0);
    const gen::Bytes held = gen::ReadFile(path_);
    for (uint32_t asCopy : {0u, 1u}) {
        SCOPED_TRACE(asCopy);
        // The holder's header shows the file open: its saved version is
        // asked for by name.
        ASSERT_EQ(FSFileOpen(&spec_, FS_VERSION_SAVED, asCopy, &ctx_, &fcb_, nullptr), 0);
        const std::string scratch = VMFileSpecPath(FSFileSpec(fcb_));
        EXPECT_NE(scratch, path_);
        EXPECT_EQ(copies, int(asCopy) + 1);
        EXPECT_EQ(copyFrom, path_);
        EXPECT_EQ(copyTo, scratch);
        EXPECT_NE(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
        EXPECT_TRUE(FileHolds(fcb_, saved_));
        std::mt19937 rng(9);
        Doc changed = saved_;
        DocChange(fcb_, changed, rng, 10);
        ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
        FSFileClose(fcb_, asCopy);
        fcb_ = nullptr;
        EXPECT_EQ(gen::ReadFile(path_), held);
    }
    FSFileClose(holder, 1);
    // With asCopy 1 on a file nobody holds, too.
    ASSERT_EQ(FSFileOpen(&spec_, FS_VERSION_CURRENT, 1, &ctx_, &fcb_, nullptr), 0);
    const gen::Bytes closedByHolder = gen::ReadFile(path_);
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    EXPECT_EQ(gen::ReadFile(path_), closedByHolder);
    EXPECT_EQ(FolderEntries(folder_).size(), 2u); // the host's file and the copy kept with keep 1
}

TEST_F(OpenTest, FailedCopyOrCopyHookLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    ctx_.flags |= FS_CALL_COPY_HOOK;
    ctx_.copyHook = [](const VMFileSpec *, const VMFileSpec *) -> FSStatus { return 4321; };
    ExpectRefused(4321, FS_VERSION_CURRENT, 1);
    ctx_.copyHook = nullptr;
    VMFaultFail(VM_OP_WRITE, 0, VM_E_DISKFULL); // the copy is one write
    ExpectRefused(VM_E_DISKFULL, FS_VERSION_CURRENT, 1);
    VMFaultReset();
    VMFaultFail(VM_OP_CREATE, 0, VM_E_ACCESS);
    ExpectRefused(VM_E_ACCESS, FS_VERSION_CURRENT, 1);
}

TEST_F(OpenTest, ArgumentsThatCannotBeUsedAreRefused) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    FCB *fcb = reinterpret_cast<FCB *>(1);
    uint16_t root = 7;
    EXPECT_EQ(FSFileOpen(&spec_, 0, 0, &ctx_, nullptr, &root), FS_E_BAD_PARAMS);
    EXPECT_EQ(root, 7) << "nothing is stored for a null argument";
    EXPECT_EQ(FSFileOpen(nullptr, 0, 0, &ctx_, &fcb, &root), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSFileOpen(&spec_, 0, 0, nullptr, &fcb, &root), FS_E_BAD_PARAMS);
    EXPECT_EQ(fcb, reinterpret_cast<FCB *>(1));
    ExpectRefused(FS_E_BAD_PARAMS, 3);
    ctx_.classes = nullptr;
    ExpectRefused(FS_E_BAD_PARAMS);
}

// Files that are not storage files of this host, of a newer format or
// application, and headers and class tables that cannot be right are
// refused before anything is trusted or written.
TEST_F(OpenTest, FilesThatCannotBeUsedAreRefused) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    const gen::Bytes good = gen::ReadFile(path_);
    const FileHeader h = HeaderOnDisk();
    const uint32_t ct = h.classTableOffset;
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
        {"growShift 20", 14, 2, 20},
        {"maxChunk 0", 84, 2, 0},
        {"classCount 3", 42, 1, 3},
        {"class table over the header", 86, 4, 64},
        {"class table past fileSize", 86, 4, h.fileSize - 14},
        {"fileSize off its granule", 22, 4, h.fileSize + 8},
        {"fileSize below the class table", 22, 4, ct},
        {"master records of 12 bytes", ct + 4, 2, 12},
        {"master maximum 0", ct + 6, 2, 0},
        {"master maximum past the chunk limit", ct + 6, 2, 4000},
        {"index records of 8 bytes", ct + 14 + 4, 2, 8},
        {"built-in shift 16", ct + 2, 1, 16},
        {"saved root of a host class", 45, 1, 4},
    };
    auto with = [&](const Damage &d) {
        gen::Bytes b = good;
        if (d.size == 1) gen::Put8(b, d.at, uint8_t(d.value));
        else if (d.size == 2) gen::Put16(b, d.at, uint16_t(d.value));
        else gen::Put32(b, d.at, d.value);
        gen::WriteFile(path_, b);
        return b;
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        const gen::Bytes b = with(d);
        ExpectRefused(d.expected);
        EXPECT_EQ(gen::ReadFile(path_), b) << "written to";
    }
    for (size_t length : {0, 1, 153}) {
        gen::WriteFile(path_, gen::Bytes(good.begin(), good.begin() + length));
        ExpectRefused(length == 0 ? VM_E_READ : FS_E_BAD_FORMAT);
    }
    // anyVersion takes the newer format and application as they stand; a
    // host of file type 0 takes any file type.
    ctx_.flags |= FS_ANY_VERSION;
    for (int i : {2, 3, 1}) {
        if (i == 1) ctx_.fileType = 0;
        with(damages[i]);
        ASSERT_EQ(Open(), 0) << damages[i].what;
        EXPECT_TRUE(FileHolds(fcb_, saved_));
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
    }
}

// Marks that mean something only in memory are dropped from what is read:
// a resident bit or a busy count in the saved root, unknown version bits.
TEST_F(OpenTest, RunTimeMarksReadFromTheFileAreDropped) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    gen::Bytes b = gen::ReadFile(path_);
    gen::Put8(b, 44, 0xFD);     // saved root: resident, busy 63
    gen::Put16(b, 52, 0x0003);  // and a thunk index
    gen::Put16(b, 16, 0x0D);    // version bit 0x08
    gen::Put32(b, 140, 0xDEAD); // run-time slot
    gen::WriteFile(path_, b);
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(FileHolds(fcb_, saved_));
    EXPECT_EQ(fcb_->h.versionFlags, VER_CURRENT | VER_SAVED);
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    EXPECT_TRUE(FileIsClean(path_));
    EXPECT_TRUE(VersionHolds(path_, FS_VERSION_CURRENT, ctx_, saved_));
}

// A file shorter than its header says still opens, on a scratch copy: the
// tables whose images are there read back, the others report 20551 and put
// the file in its fatal state. A file longer than its header says loses the
// bytes nothing names.
TEST_F(OpenTest, ShortFilesOpenAndLongFilesAreTrimmed) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    const gen::Bytes good = gen::ReadFile(path_);
    const FileHeader h = HeaderOnDisk();
    gen::Bytes longer = good;
    longer.resize(good.size() + 5000, 0xEE);
    gen::WriteFile(path_, longer);
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(FileHolds(fcb_, saved_));
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    EXPECT_EQ(gen::ReadFile(path_).size(), +HeaderOnDisk().fileSize);
    EXPECT_TRUE(FileIsClean(path_));

    // Cut the file in the middle of its images.
    gen::Bytes shorter(good.begin(), good.begin() + h.fileSize / 2);
    gen::WriteFile(path_, shorter);
    ASSERT_EQ(Open(), 0);
    EXPECT_NE(VMFileSpecPath(FSFileSpec(fcb_)), path_);
    int missing = 0;
    for (const auto &[tid, table] : saved_) {
        std::vector<Record> recs = ReadTable(fcb_, tid);
        if (recs == table.recs) continue;
        ++missing;
        EXPECT_EQ(FSFatalError(fcb_), 1);
    }
    EXPECT_GT(missing, 0);
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    EXPECT_EQ(gen::ReadFile(path_), shorter);
}

// Host classes whose descriptors cannot describe chunks: their tables are
// refused when checked out, the others work.
TEST_F(OpenTest, TablesOfUnusableClassesAreRefused) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    const gen::Bytes good = gen::ReadFile(path_);
    const uint32_t desc = HeaderOnDisk().classTableOffset + 14 * 4; // class 4
    ctx_.classCount = 0; // no refresh: the file's descriptors stay
    ctx_.classes = nullptr;
    struct Damage {
        const char *what;
        uint32_t at, size, value;
    };
    for (const Damage &d : {Damage{"record size 0", 4, 2, 0}, Damage{"maximum 0", 6, 2, 0},
                            Damage{"allocation shift 16", 2, 1, 16}, Damage{"growth shift 99", 3, 1, 99}}) {
        SCOPED_TRACE(d.what);
        gen::Bytes b = good;
        if (d.size == 1) gen::Put8(b, desc + d.at, uint8_t(d.value));
        else gen::Put16(b, desc + d.at, uint16_t(d.value));
        gen::WriteFile(path_, b);
        ASSERT_EQ(Open(), 0);
        for (const auto &[tid, table] : saved_) {
            SCB *scb = nullptr;
            if (table.cls == 4) {
                EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
                EXPECT_EQ(scb, nullptr);
                uint16_t made;
                EXPECT_EQ(FSMakeTable(fcb_, 4, &made), FS_E_BAD_CLASS);
            } else {
                EXPECT_EQ(ReadTable(fcb_, tid), table.recs);
            }
        }
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
    }
}

} // namespace
