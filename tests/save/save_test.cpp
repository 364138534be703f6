// Save and mini-save: the versions they leave, what they clear and refuse,
// what reaches the file, and round trips through a close and an open.
#include <sys/stat.h>
#include <utime.h>

#include <ctime>

#include "blocks/cache.h"
#include "common/doc_fixture.h"

namespace {

using SaveTest = DocFileTest;

// Each row: the versions before, and after a save and after a mini-save.
TEST_F(SaveTest, VersionsMoveAsTheTableSays) {
    struct Row {
        uint16_t before, afterSave, afterMini;
    };
    for (const Row &row : {Row{0x1, 0x5, 0x3}, Row{0x3, 0x5, 0x3}, Row{0x5, 0x5, 0x7}, Row{0x7, 0x5, 0x7}}) {
        for (uint32_t save : {1u, 0u}) {
            SCOPED_TRACE(std::to_string(row.before) + (save ? ", save" : ", mini-save"));
            FCB *fcb = nullptr;
            ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
            Doc doc;
            DocMakeTable(fcb, doc, 4);
            FSDirtyFile(fcb);
            if (row.before & VER_SAVED) {
                ASSERT_EQ(FSISaveCommit(fcb, 1, 0), 0);
            }
            if (row.before & VER_MINI) {
                ASSERT_EQ(FSISaveCommit(fcb, 0, 0), 0);
            }
            ASSERT_EQ(fcb->h.versionFlags, row.before);
            ASSERT_EQ(FSISaveCommit(fcb, save, 0), 0);
            const uint16_t after = save ? row.afterSave : row.afterMini;
            EXPECT_EQ(FSSaved(fcb), after & VER_SAVED);
            EXPECT_EQ(FSCommitted(fcb), after & VER_MINI);
            EXPECT_EQ(FSDirtied(fcb), (row.before & VER_SAVED) || save ? 0 : 1) << "cleared by a save only";
            FileHeader h;
            ASSERT_EQ(VMRead(FSFileSpec(fcb), 0, sizeof h, &h), 0);
            EXPECT_EQ(+h.versionFlags, after);
            EXPECT_EQ(h.stateFlags & STATE_CLOSED_CLEANLY, 0) << "a save leaves the file shown open";
            EXPECT_EQ(+h.miniFileSize, save ? 0u : +h.fileSize);
            EXPECT_TRUE(FileIsClean(VMFileSpecPath(FSFileSpec(fcb))));
            FSFileClose(fcb, 0);
        }
    }
}

// A table still checked out pins its master-table chunk: the save fails
// before anything is written, and goes through once the table is back.
// The save takes the file's stamp into the header; the close puts it back.
TEST_F(SaveTest, CheckedOutTablesAndTheFileStamp) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    struct utimbuf times{1300000000, 1300000000};
    ASSERT_EQ(utime(path_.c_str(), &times), 0);
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(+fcb_->h.fileStamp, 1300000000u); // taken at open after a clean close
    std::mt19937 rng(5);
    DocChange(fcb_, saved_, rng, 5);
    const gen::Bytes before = gen::ReadFile(path_);
    SCB *scb = nullptr;
    ASSERT_EQ(FSCheckOut(fcb_, saved_.begin()->first, 0, &scb), 0);
    EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_STILL_CHECKED_OUT);
    const gen::Bytes after = gen::ReadFile(path_);
    ASSERT_GE(after.size(), HEADER_SIZE);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + HEADER_SIZE, after.begin()));
    FSCheckIn(scb);
    ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0);
    EXPECT_EQ(+fcb_->h.fileStamp, 1300000000u) << "a mini-save leaves it alone";
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    const uint32_t stamp = HeaderOnDisk().fileStamp;
    EXPECT_NEAR(double(stamp), double(st.st_mtime), 5.0);
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, time_t{stamp});
    EXPECT_TRUE(FileIsClean(path_));
    EXPECT_TRUE(VersionHolds(path_, FS_VERSION_CURRENT, ctx_, saved_));
}

TEST_F(SaveTest, BadOrFatalFilesAreRefused) {
    EXPECT_EQ(FSISaveCommit(nullptr, 1, 0), FS_E_BAD_FCB);
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    fcb_->h.magic = 0x1234;
    EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_BAD_FCB);
    fcb_->h.magic = FS_MAGIC;
    // In the fatal state nothing more reaches the file.
    Doc doc;
    DocMakeTable(fcb_, doc, 4); // a changed chunk waiting to be written
    fcb_->h.stateFlags |= STATE_FATAL;
    const uint32_t writes = VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE);
    EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_FATAL);
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), FS_E_FATAL);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE), writes);
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
        if (round == 5) size = fcb_->h.fileSize;
        if (round > 5) {
            ASSERT_LE(+fcb_->h.fileSize, size) << "round " << round;
        }
    }
    EXPECT_TRUE(FileHolds(fcb_, doc));
}

// What is written, saved, closed and opened again reads back record for
// record: empty tables, a few chunks, and many chunks under a memory budget
// small enough that chunks are written back and read again meanwhile.
class RoundTrip : public DocFileTest, public ::testing::WithParamInterface<std::pair<uint32_t, uint32_t>> {
protected:
    uint32_t MemBudget() override { return GetParam().second; }
};

TEST_P(RoundTrip, SavedContentReadsBackAfterReopening) {
    const uint32_t n = GetParam().first;
    std::mt19937 rng(n);
    Doc doc;
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    for (uint8_t cls : {4, 5, 6, 4}) {
        uint16_t tid;
        DocMakeTable(fcb_, doc, cls, &tid);
        // In pieces, at the front, the back and the middle.
        const uint32_t count = cls == 6 ? n * 8 : n;
        for (uint32_t done = 0; done < count && !HasFatalFailure();) {
            uint32_t piece = std::min<uint32_t>(count - done, cls == 6 ? 5000 : 300);
            uint32_t at = done == 0 ? 0 : static_cast<uint32_t>(rng() % (done + 1));
            DocInsert(fcb_, doc, tid, at, RandomRecords(rng, cls, piece));
            done += piece;
        }
    }
    if (MemBudget() != 0) {
        EXPECT_LE(fcb_->h.memInUse, MemBudget() + 65536) << "the budget was not kept";
    }
    ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
    const std::string scratch = VMFileSpecPath(FSFileSpec(fcb_));
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    ASSERT_EQ(std::rename(scratch.c_str(), path_.c_str()), 0);
    EXPECT_TRUE(FileIsClean(path_));
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(FileHolds(fcb_, doc));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, ::testing::Values(std::pair{0u, 0u}, std::pair{30u, 0u}, std::pair{1000u, 16384u}));

} // namespace
