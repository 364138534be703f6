// Save and mini-save: the versions they leave, what they clear and refuse,
// space given up and taken again, and failures at every call.
#include "blocks/cache.h"
#include "common/doc_fixture.h"
#include "common/fault_loop.h"

namespace {

using SaveTest = DocFileTest;

// Each row: the versions before, and after a save and after a mini-save.
TEST_F(SaveTest, VersionsMoveAsTheTableSays) {
    using Row = std::array<uint16_t, 3>;
    for (auto [before, afterSave, afterMini] : {Row{0x1, 0x5, 0x3}, Row{0x3, 0x5, 0x3}, Row{0x5, 0x5, 0x7}, Row{0x7, 0x5, 0x7}}) {
        for (uint32_t save : {1u, 0u}) {
            SCOPED_TRACE(std::to_string(before) + (save ? ", save" : ", mini-save"));
            ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
            Doc doc;
            DocMakeTable(fcb_, doc, 4);
            FSDirtyFile(fcb_);
            ASSERT_EQ(before & VER_SAVED ? FSISaveCommit(fcb_, 1, 0) : 0, 0);
            ASSERT_EQ(before & VER_MINI ? FSISaveCommit(fcb_, 0, 0) : 0, 0);
            ASSERT_EQ(FSISaveCommit(fcb_, save, 0), 0);
            const uint16_t after = save ? afterSave : afterMini;
            EXPECT_EQ(FSDirtied(fcb_), (before & VER_SAVED) || save ? 0 : 1) << "cleared by a save only";
            FileHeader h;
            ASSERT_EQ(VMRead(FSFileSpec(fcb_), 0, sizeof h, &h), 0);
            EXPECT_EQ(+h.versionFlags, after);
            EXPECT_EQ(+h.miniFileSize, save ? 0u : +h.fileSize);
            FSFileClose(fcb_, 0);
            fcb_ = nullptr;
        }
    }
}

// A table still checked out pins its master-table chunk: the save fails
// before its header is written. In the fatal state nothing reaches the file.
TEST_F(SaveTest, RefusalsWriteNothing) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
    const FileHeader before = HeaderOnDisk();
    SCB *scb = nullptr;
    ASSERT_EQ(FSCheckOut(fcb_, current_.begin()->first, 0, &scb), 0);
    EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_STILL_CHECKED_OUT);
    FSCheckIn(scb);
    EXPECT_EQ(FSISaveCommit(nullptr, 1, 0), FS_E_BAD_FCB);
    fcb_->h.magic = 0x1234;
    EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_BAD_FCB);
    fcb_->h.magic = FS_MAGIC;
    const uint32_t writes = VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE);
    fcb_->h.stateFlags |= STATE_FATAL;
    EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_FATAL);
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), FS_E_FATAL);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE), writes);
    const FileHeader after = HeaderOnDisk();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// Tables made, filled, saved and destroyed again and again reuse the space
// they gave up: the file stops growing.
TEST_F(SaveTest, TablesMadeAndDestroyedInALoopDoNotGrowTheFile) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    Doc doc;
    DocMakeTable(fcb_, doc, 4); // the root table stays
    std::mt19937 rng(3);
    uint32_t size = 0;
    for (int round = 0; round < 40; ++round) {
        uint16_t tid;
        DocMakeTable(fcb_, doc, static_cast<uint8_t>(4 + round % 3), &tid);
        DocInsert(fcb_, doc, tid, 0, RandomRecords(rng, doc[tid].cls, 60));
        ASSERT_EQ(FSISaveCommit(fcb_, round % 2, 0), 0);
        DocDestroyTable(fcb_, doc, tid);
        ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
        if (round <= 5) size = fcb_->h.fileSize; // after that it must not grow
        else ASSERT_LE(+fcb_->h.fileSize, size) << "round " << round;
    }
    EXPECT_TRUE(FileHolds(fcb_, doc));
}

class SaveFault : public DocFileTest {
protected:
    // Closes the file if open; it must show itself open when fatal (closed
    // otherwise), pass the checker and hold these versions.
    void CloseAndExpect(bool fatal, const Doc *mini, const Doc &saved) {
        if (fcb_ != nullptr) FSFileClose(fcb_, 1);
        fcb_ = nullptr;
        EXPECT_EQ(HeaderOnDisk().stateFlags & STATE_CLOSED_CLEANLY, fatal ? 0 : STATE_CLOSED_CLEANLY);
        EXPECT_TRUE(FileIsClean(path_));
        if (mini) EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, *mini));
        else EXPECT_EQ(Open(FS_VERSION_MINI), FS_E_NO_MINI);
        EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved));
    }
};

// Saves and mini-saves that fail at each call of one kind, at that call only
// or from it on: a full disk when the file grows or is flushed, a refused
// write. A failure before the header leaves the file usable and its
// versions on disk as they were, and the save then goes through; a failed
// header write makes the file fatal. Every file left behind passes the
// checker.
TEST_F(SaveFault, FailureLeavesTheVersionsOnDiskAndTheSaveCanBeRepeated) {
    const std::pair<VMOp, FSStatus> faults[] = {{VM_OP_SETSIZE, FS_E_DISKFULL}, {VM_OP_FLUSH, FS_E_DISKFULL}, {VM_OP_WRITE, VM_E_WRITE}};
    for (auto [op, code] : faults) {
        for (uint32_t save : {0u, 1u}) {
            SCOPED_TRACE(::testing::Message() << "op " << op << (save ? " save" : " mini-save"));
            int failures = 0, afterHeader = 0, headerFailures = 0;
            ForEachFault(op, code, [&](FaultRun &fault) {
                ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
                const FileHeader before = HeaderOnDisk();
                fault.Arm();
                FSStatus status = FSISaveCommit(fcb_, save, 0);
                fault.Disarm();
                if (status != 0) {
                    ++failures;
                    ASSERT_EQ(status, code);
                    EXPECT_EQ(FSDiskFull(fcb_), code == FS_E_DISKFULL ? 1 : 0);
                    const FileHeader h = HeaderOnDisk();
                    if (std::memcmp(&h, &before, sizeof h) == 0) {
                        EXPECT_TRUE(OnDisk(FS_VERSION_SAVED, saved_));
                        EXPECT_TRUE(OnDisk(FS_VERSION_MINI, mini_));
                    } else {
                        ++afterHeader; // the flush after the header failed: nothing is freed
                        EXPECT_EQ(fcb_->h.freeCount, 0);
                    }
                    if (FSFatalError(fcb_) == 1) { // the header write failed: nothing more is written
                        ++headerFailures;
                        EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_FATAL);
                        return CloseAndExpect(true, &mini_, saved_);
                    }
                    ASSERT_EQ(FSISaveCommit(fcb_, save, 0), 0) << "the save could not be repeated";
                }
                EXPECT_TRUE(FileHolds(fcb_, current_));
                CloseAndExpect(false, save ? nullptr : &current_, save ? current_ : saved_);
            });
            EXPECT_GE(failures, 1);
            EXPECT_EQ(afterHeader > 0, op == VM_OP_FLUSH);
            EXPECT_EQ(headerFailures > 0, op == VM_OP_WRITE);
        }
    }
}

// A close that falls back to the saved version but cannot write its header
// cuts nothing: the file still shows itself open with all its versions.
TEST_F(SaveFault, CloseThatCannotWriteItsHeaderCutsNothing) {
    ForEachFault(VM_OP_WRITE, VM_E_WRITE, [&](FaultRun &fault) {
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
        const gen::Bytes before = gen::ReadFile(path_);
        fault.Arm();
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
        fault.Disarm();
        const gen::Bytes after = gen::ReadFile(path_);
        if (!std::equal(before.begin(), before.begin() + HEADER_SIZE, after.begin())) {
            // The header got through: the file fell back to its saved version.
            return CloseAndExpect(false, nullptr, saved_);
        }
        EXPECT_EQ(after.size(), before.size());
        CloseAndExpect(true, &mini_, saved_);
    });
}

} // namespace
