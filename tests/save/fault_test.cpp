// Saves and mini-saves that fail at each call of one kind, at that call only
// or from it on: a full disk when the file grows or is flushed, a refused
// write. A failure before the header leaves the file usable and its
// versions on disk as they were; the save then goes through (rule 6). A
// failed header write makes the file fatal. Every file left behind passes
// the checker.
#include "common/doc_fixture.h"
#include "common/fault_loop.h"

namespace {

struct Fault {
    const char *name;
    VMOp op;
    FSStatus status;
};
void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

class SaveFault : public DocFileTest, public ::testing::WithParamInterface<std::tuple<Fault, bool>> {
protected:
    const Fault &F() const { return std::get<0>(GetParam()); }
    uint32_t Save() const { return std::get<1>(GetParam()) ? 1 : 0; }

    // After a save that failed: the versions on disk, the fatal state or a
    // save that goes through when tried again.
    void AfterFailure(FSStatus status, const FileHeader &headerBefore) {
        ASSERT_EQ(status, F().status);
        EXPECT_EQ(FSError(fcb_), F().status);
        if (F().status == FS_E_DISKFULL) {
            EXPECT_EQ(FSDiskFull(fcb_), 1);
        }
        const FileHeader h = HeaderOnDisk();
        if (std::memcmp(&h, &headerBefore, sizeof h) == 0) {
            EXPECT_TRUE(OnDisk(FS_VERSION_SAVED, saved_));
            EXPECT_TRUE(OnDisk(FS_VERSION_MINI, mini_));
        } else {
            ++afterHeader_; // the flush after the header failed: nothing is freed
            EXPECT_EQ(fcb_->h.freeCount, 0);
        }
        if (FSFatalError(fcb_) == 1) {
            // The header write failed: nothing more may be written, and the
            // host closes the file.
            ++headerFailures_;
            EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_FATAL);
            FSFileClose(fcb_, 1);
            fcb_ = nullptr;
            EXPECT_EQ(HeaderOnDisk().stateFlags & STATE_CLOSED_CLEANLY, 0);
            EXPECT_TRUE(FileIsClean(path_));
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, mini_));
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
            return;
        }
        ASSERT_EQ(FSISaveCommit(fcb_, Save(), 0), 0) << "the save could not be repeated";
        EXPECT_EQ(FSDiskFull(fcb_), 0);
        ExpectSaved();
    }

    // The file holds what the save saved, and keeps it when reopened.
    void ExpectSaved() {
        EXPECT_TRUE(FileHolds(fcb_, current_));
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
        EXPECT_TRUE(FileIsClean(path_));
        if (Save()) {
            EXPECT_EQ(Open(FS_VERSION_MINI), FS_E_NO_MINI);
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, current_));
        } else {
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, current_));
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
        }
    }

    int afterHeader_ = 0, headerFailures_ = 0;
};

TEST_P(SaveFault, Rule6_FailureLeavesTheVersionsOnDiskAndTheSaveCanBeRepeated) {
    int failures = 0;
    ForEachFault(F().op, F().status, [&](FaultRun &fault) {
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
        const FileHeader headerBefore = HeaderOnDisk();
        fault.Arm();
        const FSStatus status = FSISaveCommit(fcb_, Save(), 0);
        fault.Disarm();
        if (status == 0) {
            ExpectSaved();
            return;
        }
        ++failures;
        AfterFailure(status, headerBefore);
    });
    // Every kind of failure a save can meet was met.
    EXPECT_GE(failures, 1);
    EXPECT_EQ(afterHeader_ > 0, F().op == VM_OP_FLUSH);
    EXPECT_EQ(headerFailures_ > 0, F().op == VM_OP_WRITE);
}

// A close that falls back to the saved version but cannot write its header
// cuts nothing: the file still shows itself open with all its versions.
TEST_F(DocFileTest, Rule5_CloseThatCannotWriteItsHeaderCutsNothing) {
    ForEachFault(VM_OP_WRITE, VM_E_WRITE, [&](FaultRun &fault) {
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
        const gen::Bytes before = gen::ReadFile(path_);
        fault.Arm();
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
        fault.Disarm();
        const gen::Bytes after = gen::ReadFile(path_);
        if (!std::equal(before.begin(), before.begin() + HEADER_SIZE, after.begin())) {
            // The header got through (the fault hit another write, or a
            // transient one was passed): the file fell back to its saved version.
            EXPECT_TRUE(FileIsClean(path_));
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_CURRENT, ctx_, saved_));
            return;
        }
        EXPECT_EQ(after.size(), before.size());
        EXPECT_TRUE(FileIsClean(path_));
        EXPECT_EQ(Open(), FS_E_CRASHED_BOTH);
        EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, mini_));
        EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
    });
}

INSTANTIATE_TEST_SUITE_P(Faults, SaveFault,
                         ::testing::Combine(::testing::Values(Fault{"growth_disk_full", VM_OP_SETSIZE, FS_E_DISKFULL},
                                                              Fault{"flush_disk_full", VM_OP_FLUSH, FS_E_DISKFULL},
                                                              Fault{"write_refused", VM_OP_WRITE, VM_E_WRITE}),
                                            ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_save" : "_mini_save");
                         });

} // namespace
