// A crash at every write of a save, a mini-save, a close that keeps the file,
// a close that falls back to the saved version, and an open of the saved or
// the mini-saved version, in both cache modes
// (every write before the crash lands in order; or, of the writes since the
// last flush, only the newest lands). Afterwards the file must pass the
// checker, the crash code must name exactly the versions that exist, and
// each of them must read back equal to the model of that version: the save
// protocol's rules 1 to 5 (src/save/protocol.h) at work.
#include "common/doc_fixture.h"

namespace {

enum class Op { Save, MiniSave, CloseKeep, CloseFallBack, OpenSaved, OpenMini };

struct Case {
    const char *name;
    Op op;
    uint32_t mode;
};
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Crash : public DocFileTest, public ::testing::WithParamInterface<Case> {
protected:
    // Small enough that changes are written back while the work goes on:
    // the current version has images of its own in the file.
    uint32_t MemBudget() override { return 3000; }

    void SetUp() override {
        DocFileTest::SetUp();
        // The file as it stands after a save and a mini-save, closed: each
        // round starts from these bytes.
        ASSERT_NO_FATAL_FAILURE(MakeThreeVersions());
        FSFileClose(fcb_, 1);
        fcb_ = nullptr;
        base_ = gen::ReadFile(path_);
    }

    // The three versions again, open: the mini-saved version reopened as
    // the current one and changed the same way every time. The opens start
    // from the closed file.
    void Start() {
        gen::WriteFile(path_, base_);
        if (GetParam().op == Op::OpenSaved || GetParam().op == Op::OpenMini) return;
        ASSERT_EQ(Open(FS_VERSION_MINI), 0);
        current_ = mini_;
        std::mt19937 rng(77);
        DocChange(fcb_, current_, rng, 10);
    }

    void Run() {
        switch (GetParam().op) {
        case Op::Save: FSISaveCommit(fcb_, 1, 0); break;
        case Op::MiniSave: FSISaveCommit(fcb_, 0, 0); break;
        case Op::CloseKeep: FSFileClose(fcb_, 1); fcb_ = nullptr; break;
        case Op::CloseFallBack: FSFileClose(fcb_, 0); fcb_ = nullptr; break;
        case Op::OpenSaved: Open(FS_VERSION_SAVED); break;
        case Op::OpenMini: Open(FS_VERSION_MINI); break;
        }
    }

    // The machine stops (if it has not yet) with the file still open.
    void Stop() {
        if (fcb_ == nullptr) return;
        if (!VMFaultCrashed()) VMFaultCrashAfter(0, 0);
        FSFileClose(fcb_, 1); // writes nothing any more
        fcb_ = nullptr;
    }

    // Opens with the selector; the answer must be code (an open that
    // succeeds against expectations is closed again).
    void ExpectOpen(uint32_t selector, FSStatus code) {
        EXPECT_EQ(Open(selector), code) << "selector " << selector;
        if (fcb_ != nullptr) FSFileClose(fcb_, 1);
        fcb_ = nullptr;
    }

    // What the file must hold: done says whether the operation's header
    // reached the disk. code is what selector 0 answers (0: the file was
    // closed and that selector opens its saved version).
    void Verify(bool done) {
        const Op op = GetParam().op;
        const bool opening = op == Op::OpenSaved || op == Op::OpenMini;
        FSStatus code = opening ? 0 : FS_E_CRASHED_BOTH; // open when it stopped, or still closed
        const Doc *saved = &saved_, *mini = &mini_;
        if (done) {
            switch (op) {
            case Op::Save: code = FS_E_CRASHED_SAVED; saved = &current_; mini = nullptr; break;
            case Op::MiniSave: mini = &current_; break;
            case Op::CloseKeep: code = 0; break;
            case Op::CloseFallBack: code = 0; mini = nullptr; break;
            case Op::OpenSaved: code = FS_E_CRASHED_SAVED; mini = nullptr; break;
            case Op::OpenMini: code = FS_E_CRASHED_BOTH; break;
            }
        }
        if (code != 0) ExpectOpen(FS_VERSION_CURRENT, code);
        if (mini != nullptr) {
            EXPECT_TRUE(VersionHolds(path_, FS_VERSION_MINI, ctx_, *mini));
        } else {
            ExpectOpen(FS_VERSION_MINI, FS_E_NO_MINI);
        }
        EXPECT_TRUE(VersionHolds(path_, code == 0 ? FS_VERSION_CURRENT : FS_VERSION_SAVED, ctx_, *saved));
        EXPECT_TRUE(FileIsClean(path_));
    }

    gen::Bytes base_;
};

TEST_P(Crash, Rules1To5_EveryWritePointLeavesTheVersionsThatExist) {
    // How many writes the operation makes; its last one is the header.
    ASSERT_NO_FATAL_FAILURE(Start());
    const uint32_t before = VMFaultCount(VM_OP_WRITE);
    Run();
    const uint32_t writes = VMFaultCount(VM_OP_WRITE) - before;
    Stop();
    VMFaultReset();
    ASSERT_GE(writes, 1u);
    ASSERT_NO_FATAL_FAILURE(Verify(true));

    for (uint32_t k = 0; k <= writes && !HasFatalFailure(); ++k) {
        SCOPED_TRACE("crash after " + std::to_string(k) + " of " + std::to_string(writes) + " writes");
        ASSERT_NO_FATAL_FAILURE(Start());
        VMFaultCrashAfter(k, GetParam().mode);
        Run();
        ASSERT_TRUE(VMFaultCrashed());
        Stop();
        VMFaultReset();
        // Before its header the operation left nothing the checker can see.
        // (Bytes past fileSize in a file whose header shows it closed are
        // named by nothing, and the next open takes them off: a close's tail
        // not yet cut, or an open's stored list placed at the end before its
        // header landed.)
        const bool opening = GetParam().op == Op::OpenSaved || GetParam().op == Op::OpenMini;
        if (k < writes && !opening) {
            EXPECT_TRUE(FileIsClean(path_)) << "as the crash left it";
        }
        Verify(k == writes);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, Crash,
                         ::testing::Values(Case{"save_in_order", Op::Save, 0}, Case{"save_reordered", Op::Save, 1},
                                           Case{"mini_save_in_order", Op::MiniSave, 0},
                                           Case{"mini_save_reordered", Op::MiniSave, 1},
                                           Case{"close_keep_in_order", Op::CloseKeep, 0},
                                           Case{"close_keep_reordered", Op::CloseKeep, 1},
                                           Case{"close_fall_back_in_order", Op::CloseFallBack, 0},
                                           Case{"close_fall_back_reordered", Op::CloseFallBack, 1},
                                           Case{"open_saved_in_order", Op::OpenSaved, 0},
                                           Case{"open_saved_reordered", Op::OpenSaved, 1},
                                           Case{"open_mini_in_order", Op::OpenMini, 0},
                                           Case{"open_mini_reordered", Op::OpenMini, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
