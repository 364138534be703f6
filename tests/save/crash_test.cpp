// A crash at every write of a save, a mini-save, a close that keeps the file,
// a close that falls back to the saved version, and an open of the saved or
// the mini-saved version, in both cache modes (every write before the crash
// lands in order; or, of the writes since the last flush, only the newest
// lands). Afterwards the file passes the checker, the crash code names
// exactly the versions that exist, and each reads back equal to its model.
#include "common/doc_fixture.h"

namespace {

enum Op { Save, MiniSave, CloseKeep, CloseFallBack, OpenSaved, OpenMini };
const char *const kOpNames[] = {"save", "mini_save", "close_keep", "close_fall_back", "open_saved", "open_mini"};

class Crash : public DocFileTest, public ::testing::WithParamInterface<std::tuple<Op, uint32_t>> {
protected:
    // Small enough that changes are written back while the work goes on:
    // the current version has images of its own in the file.
    uint32_t MemBudget() override { return 3000; }
    Op Operation() const { return std::get<0>(GetParam()); }
    bool Opening() const { return Operation() == OpenSaved || Operation() == OpenMini; }

    // From the file as MakeThreeVersions left it (base_): the mini-saved
    // version reopened as the current one and changed the same way every
    // time (the opens start from the closed file), then the operation; the
    // machine then stops (if it has not yet) with the file still open.
    // Answers how many writes the operation made.
    uint32_t Run(uint32_t crashAfter, bool crash) {
        gen::WriteFile(path_, base_);
        if (!Opening()) {
            EXPECT_EQ(Open(FS_VERSION_MINI), 0);
            current_ = mini_;
            std::mt19937 rng(77);
            DocChange(fcb_, current_, rng, 10);
        }
        const uint32_t before = VMFaultCount(VM_OP_WRITE);
        if (crash) VMFaultCrashAfter(crashAfter, std::get<1>(GetParam()));
        switch (Operation()) {
        case Save: FSISaveCommit(fcb_, 1, 0); break;
        case MiniSave: FSISaveCommit(fcb_, 0, 0); break;
        case CloseKeep: case CloseFallBack: FSFileClose(fcb_, Operation() == CloseKeep); fcb_ = nullptr; break;
        case OpenSaved: Open(FS_VERSION_SAVED); break;
        case OpenMini: Open(FS_VERSION_MINI); break;
        }
        EXPECT_EQ(VMFaultCrashed(), crash);
        const uint32_t writes = VMFaultCount(VM_OP_WRITE) - before;
        if (fcb_ != nullptr) {
            if (!VMFaultCrashed()) VMFaultCrashAfter(0, 0);
            FSFileClose(fcb_, 1); // writes nothing any more
            fcb_ = nullptr;
        }
        VMFaultReset();
        return writes;
    }

    void ExpectOpen(uint32_t selector, FSStatus code) {
        EXPECT_EQ(Open(selector), code) << "selector " << selector;
        if (fcb_ != nullptr) FSFileClose(fcb_, 1);
        fcb_ = nullptr;
    }

    // What the file must hold: done says whether the operation's header
    // reached the disk. code is what selector 0 answers (0: the file was
    // closed and that selector opens its saved version).
    void Verify(bool done) {
        FSStatus code = Opening() ? 0 : FS_E_CRASHED_BOTH; // open when it stopped, or still closed
        const Doc *saved = &saved_, *mini = &mini_;
        if (done) switch (Operation()) {
        case Save: code = FS_E_CRASHED_SAVED, saved = &current_, mini = nullptr; break;
        case MiniSave: mini = &current_; break;
        case CloseKeep: code = 0; break;
        case CloseFallBack: code = 0, mini = nullptr; break;
        case OpenSaved: code = FS_E_CRASHED_SAVED, mini = nullptr; break;
        case OpenMini: code = FS_E_CRASHED_BOTH; break;
        }
        if (code != 0) ExpectOpen(FS_VERSION_CURRENT, code);
        if (mini != nullptr) EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, *mini));
        else ExpectOpen(FS_VERSION_MINI, FS_E_NO_MINI);
        EXPECT_TRUE(VersionHolds(path_, code == 0 ? FS_VERSION_CURRENT : FS_VERSION_SAVED, ctx_, *saved));
        EXPECT_TRUE(FileIsClean(path_));
    }

    gen::Bytes base_;
};

TEST_P(Crash, EveryWritePointLeavesTheVersionsThatExist) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    base_ = gen::ReadFile(path_);
    const uint32_t writes = Run(0, false); // the last one is the header
    ASSERT_GE(writes, 1u);
    ASSERT_NO_FATAL_FAILURE(Verify(true));
    for (uint32_t k = 0; k <= writes && !HasFatalFailure(); ++k) {
        SCOPED_TRACE("crash after " + std::to_string(k) + " of " + std::to_string(writes) + " writes");
        Run(k, true);
        // Before its header the operation left nothing the checker can see.
        // (An open may have placed its stored list past fileSize before its
        // header landed: named by nothing, taken off by the next open.)
        if (k < writes && !Opening()) {
            EXPECT_TRUE(FileIsClean(path_)) << "as the crash left it";
        }
        Verify(k == writes);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, Crash,
                         ::testing::Combine(::testing::Values(Save, MiniSave, CloseKeep, CloseFallBack, OpenSaved, OpenMini),
                                            ::testing::Values(0u, 1u)),
                         [](const auto &info) {
                             return std::string(kOpNames[std::get<0>(info.param)]) +
                                    (std::get<1>(info.param) ? "_reordered" : "_in_order");
                         });

} // namespace
