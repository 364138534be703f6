// Saves and mini-saves that fail at each call of one kind, from that call
// on or at that call only: a full disk when the file grows or is flushed, a
// refused write. A failure before the
// header leaves the file usable and its versions on disk as they were; the
// save then goes through (rule 6). A failed header write makes the file
// fatal. Every file left behind passes the checker.
#include "common/doc_fixture.h"

namespace {

struct Fault {
    const char *name;
    VMOp op;
    FSStatus status;
    bool once = false;
};
void PrintTo(const Fault &f, std::ostream *os) { *os << f.name; }

class SaveFault : public DocFileTest, public ::testing::WithParamInterface<std::tuple<Fault, bool>> {
protected:
    const Fault &F() const { return std::get<0>(GetParam()); }
    bool FullSave() const { return std::get<1>(GetParam()); }
};

TEST_P(SaveFault, Rule6_FailureLeavesTheVersionsOnDiskAndTheSaveCanBeRepeated) {
    const Doc &after = current_;
    bool fired = true;
    int failures = 0, afterHeader = 0, headerFailures = 0;
    for (uint32_t k = 0; fired && !HasFatalFailure(); ++k) {
        SCOPED_TRACE("fails after " + std::to_string(k) + " calls");
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
        VMFaultReset();
        const FileHeader headerBefore = HeaderOnDisk();
        if (F().once) VMFaultFailOnce(F().op, k, F().status);
        else VMFaultFail(F().op, k, F().status);
        const FSStatus status = FSISaveCommit(fcb_, FullSave() ? 1 : 0, 0);
        fired = VMFaultCount(F().op) > k;
        const bool headerFailed = F().op == VM_OP_WRITE && fired && status != 0 &&
                                  FSFatalError(fcb_) == 1;
        VMFaultReset();
        if (!fired) {
            ASSERT_EQ(status, 0);
        } else {
            ASSERT_EQ(status, F().status);
            EXPECT_EQ(FSError(fcb_), F().status);
            ++failures;
            if (F().status == FS_E_DISKFULL) {
                EXPECT_EQ(FSDiskFull(fcb_), 1);
            }
            // The versions on disk are the ones before the save, unless the
            // failing call came after the header.
            const FileHeader h = HeaderOnDisk();
            if (std::memcmp(&h, &headerBefore, sizeof h) == 0) {
                EXPECT_TRUE(OnDisk(FS_VERSION_SAVED, saved_));
                EXPECT_TRUE(OnDisk(FS_VERSION_MINI, mini_));
            } else {
                ++afterHeader; // the flush after the header failed: rule 6 frees nothing
                EXPECT_EQ(fcb_->h.freeCount, 0);
            }
            if (headerFailed) {
                ++headerFailures;
                // Nothing more may be written: the host closes the file.
                EXPECT_EQ(FSISaveCommit(fcb_, 1, 0), FS_E_FATAL);
                FSFileClose(fcb_, 1);
                fcb_ = nullptr;
                EXPECT_EQ(HeaderOnDisk().stateFlags & STATE_CLOSED_CLEANLY, 0);
                EXPECT_TRUE(FileIsClean(path_));
                EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, mini_));
                EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
                continue;
            }
            ASSERT_EQ(FSISaveCommit(fcb_, FullSave() ? 1 : 0, 0), 0) << "the save could not be repeated";
            EXPECT_EQ(FSDiskFull(fcb_), 0);
        }
        EXPECT_TRUE(FileHolds(fcb_, after));
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
        EXPECT_TRUE(FileIsClean(path_));
        if (!fired) {
            // Every kind of failure the save can meet was met.
            EXPECT_GE(failures, 1);
            EXPECT_EQ(afterHeader, F().op == VM_OP_FLUSH ? 1 : 0);
            EXPECT_EQ(headerFailures, F().op == VM_OP_WRITE ? 1 : 0);
        }
        if (FullSave()) {
            EXPECT_EQ(Open(FS_VERSION_MINI), FS_E_NO_MINI);
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, after));
        } else {
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, after));
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
        }
    }
}

// A close that falls back to the saved version but cannot write its header
// cuts nothing: the file still shows itself open with all its versions.
TEST_F(DocFileTest, Rule5_CloseThatCannotWriteItsHeaderCutsNothing) {
    for (uint32_t k = 0;; ++k) {
        SCOPED_TRACE("writes refused after " + std::to_string(k));
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
        const gen::Bytes before = gen::ReadFile(path_);
        VMFaultReset();
        VMFaultFail(VM_OP_WRITE, k, VM_E_WRITE);
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
        const bool fired = VMFaultCount(VM_OP_WRITE) > k;
        VMFaultReset();
        if (!fired) break;
        EXPECT_EQ(gen::ReadFile(path_).size(), before.size());
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + HEADER_SIZE, gen::ReadFile(path_).begin()));
        EXPECT_TRUE(FileIsClean(path_));
        EXPECT_EQ(Open(), FS_E_CRASHED_BOTH);
        EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, mini_));
        EXPECT_TRUE(VersionHolds(path_, FS_VERSION_SAVED, ctx_, saved_));
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, SaveFault,
                         ::testing::Combine(::testing::Values(Fault{"growth_disk_full", VM_OP_SETSIZE, FS_E_DISKFULL},
                                                              Fault{"flush_disk_full", VM_OP_FLUSH, FS_E_DISKFULL},
                                                              Fault{"write_refused", VM_OP_WRITE, VM_E_WRITE},
                                                              Fault{"flush_fails_once", VM_OP_FLUSH, VM_E_WRITE, true},
                                                              Fault{"write_fails_once", VM_OP_WRITE, VM_E_WRITE, true}),
                                            ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_save" : "_mini_save");
                         });

} // namespace
