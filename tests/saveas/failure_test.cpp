// A save-as that fails, or that a crash cuts short, loses nothing: until
// the new file is complete the old file is untouched and the FCB goes on
// working on it; a crash at any write leaves the old file as it was or the
// new file complete.
#include <filesystem>

#include "blocks/cache.h"
#include "saveas/saveas_fixture.h"
#include "tables/chunks.h"

namespace {

constexpr FSStatus kInjected = 1234;

// Every round starts from the same closed file, with a saved and a
// mini-saved version: opened on the mini-saved version, changed the same
// way, part of the changes written back into the file.
class SaveAsRound : public SaveAsBudgetTest {
protected:
    // Bytes of the table of 1-byte records: each chunk of it is one more
    // read of a copy, each 64 KiB one more write.
    virtual uint32_t BulkBytes() { return 20000; }

    void SetUp() override {
        SaveAsBudgetTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(20));
        std::mt19937 rng(21);
        AddBulk(fcb_, current_, rng, BulkBytes());
        bulk_ = current_.rbegin()->first;
        ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0);
        mini_ = current_;
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
        base_ = gen::ReadFile(path_);
    }

    void Start() {
        for (const std::string &name : FolderEntries(folder_)) std::filesystem::remove(Path(name));
        gen::WriteFile(path_, base_);
        ASSERT_EQ(Open(FS_VERSION_MINI), 0);
        current_ = mini_;
        std::mt19937 rng(22);
        DocChange(fcb_, current_, rng, 30);
        before_ = gen::ReadFile(path_);
    }

    // After a failed save-as: no new file, the old file as it was, the FCB
    // on it with every record.
    void ExpectUntouched(FSStatus status) {
        EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"doc.zf"});
        EXPECT_TRUE(gen::ReadFile(path_) == before_) << "the old file changed";
        EXPECT_EQ(FSError(fcb_), status);
        EXPECT_STREQ(VMFileSpecPath(FSFileSpec(fcb_)), path_.c_str());
    }

    Bytes base_, before_;
    uint16_t bulk_ = TID_NONE; // the table of 1-byte records
};

class SaveAsFaults : public SaveAsRound, public ::testing::WithParamInterface<VMOp> {};

// Fails the n-th call of an operation for n = 0, 1, ... until a save-as
// runs without reaching the fault. Each save-as either succeeds, or fails
// with the fault's status (before the copy), FS_E_NOMEM, or FS_E_FATAL
// (during the copy) and leaves everything as it was.
TEST_P(SaveAsFaults, FailureLeavesTheOldFileAndTheFcb) {
    const VMOp op = GetParam();
    for (uint32_t n = 0;; ++n) {
        SCOPED_TRACE(n);
        ASSERT_NO_FATAL_FAILURE(Start());
        const uint32_t calls = VMFaultCount(op);
        VMFaultFail(op, n, kInjected);
        VMFileSpec target = Target("new.zf");
        FSStatus status = FSSaveAs(fcb_, &target);
        const bool fired = VMFaultCount(op) > calls + n;
        VMFaultReset();
        if (status != 0) {
            EXPECT_TRUE(fired);
            EXPECT_TRUE(status == kInjected || status == FS_E_NOMEM || status == FS_E_FATAL) << status;
            ExpectUntouched(status);
            EXPECT_TRUE(FileHolds(fcb_, current_));
            ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
        }
        EXPECT_EQ(Differences(Path("new.zf"), current_), "");
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
        ASSERT_FALSE(HasFailure());
        if (!fired) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Ops, SaveAsFaults,
                         ::testing::Values(VM_OP_ALLOC, VM_OP_GALLOC, VM_OP_READ, VM_OP_WRITE, VM_OP_FLUSH, VM_OP_SETSIZE,
                                           VM_OP_CREATE));

// Saving onto the file itself (with a reordering write cache) or to a new
// file (writes in order).
class SaveAsCrash : public SaveAsRound, public ::testing::WithParamInterface<bool> {
protected:
    uint32_t BulkBytes() override { return 130000; }
};

// Crashes after k writes, for every write of a save-as (the close of the
// old file included); every round starts from the same file.
TEST_P(SaveAsCrash, OldFileOrCompleteNewFile) {
    const bool itself = GetParam();
    const std::string made = itself ? path_ : Path("new.zf");
    for (uint32_t k = 0;; ++k) {
        SCOPED_TRACE(k);
        ASSERT_NO_FATAL_FAILURE(Start());
        VMFileSpec target = itself ? spec_ : Target("new.zf");
        VMFaultCrashAfter(k, itself ? 1 : 0);
        const FSStatus status = FSSaveAs(fcb_, &target);
        const bool crashed = VMFaultCrashed();
        EXPECT_TRUE(crashed || status == 0);
        FSFileClose(fcb_, 0); // nothing reaches the disk any more
        fcb_ = nullptr;
        VMFaultReset();

        const Bytes bytes = std::filesystem::exists(made) ? gen::ReadFile(made) : Bytes{};
        if (itself ? bytes != before_ : bytes.size() >= HEADER_SIZE && gen::Get16(bytes, 6) == FS_MAGIC) {
            // The new file is complete.
            EXPECT_EQ(Differences(made, current_), "");
            EXPECT_TRUE(itself || OnDisk(FS_VERSION_SAVED, saved_)) << "the old file's fall-back";
        } else {
            EXPECT_TRUE(gen::ReadFile(path_) == before_) << "the old file changed";
        }
        ASSERT_FALSE(HasFailure());
        if (!crashed) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, SaveAsCrash, ::testing::Bool());

// References in the old file that cannot be right (an image past the end of
// the file, an index that names itself) end the save-as; the FCB keeps
// working on the tables it can read.
TEST_F(SaveAsRound, DamagedOldImagesEndTheCopy) {
    for (bool cycle : {false, true}) {
        SCOPED_TRACE(cycle);
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        GlobalReclaimDiscardable();
        TableRecord *rec;
        uint16_t master;
        ASSERT_EQ(TBFindTable(fcb_, bulk_, &rec, &master), 0);
        ChunkRef index = rec->top;
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 0), 0);
        ASSERT_EQ(index.flags & REF_RESIDENT, 0);
        ChunkRef bad = cycle ? index : ChunkRef{0, 6, 3000, fcb_->h.fileSize - 64, THUNK_NONE};
        ASSERT_EQ(VMWrite(fcb_->file, index.filePos, sizeof bad, &bad), 0);
        before_ = gen::ReadFile(path_);

        VMFileSpec target = Target("new.zf");
        EXPECT_EQ(FSSaveAs(fcb_, &target), FS_E_FATAL);
        ExpectUntouched(FS_E_FATAL);
        for (const auto &[tid, table] : current_)
            EXPECT_TRUE(tid == bulk_ || ReadTable(fcb_, tid) == table.recs) << tid;
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
    }
}

} // namespace
