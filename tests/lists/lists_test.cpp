// List operations: deleting, copying and moving the records a selector
// picks, within one table and between tables, with and without RIDs; what
// the selector is asked; refusals; a selector that changes its mind; and
// moves that fail part-way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <set>

#include "common/fault_loop.h"
#include "common/session_fixture.h"

namespace {

using Record = std::vector<uint8_t>;

// What the selector is asked, and how it answers: by the record's first four
// bytes (its mark). MarkOf reads any four bytes.
std::vector<uint32_t> g_asked;
std::function<bool(uint32_t mark, size_t call)> g_pick;

uint32_t MarkOf(const void *rec) {
    uint32_t mark;
    std::memcpy(&mark, rec, 4);
    return mark;
}

int32_t Selector(void *rec) {
    g_asked.push_back(MarkOf(rec));
    return g_pick(MarkOf(rec), g_asked.size()) ? 1 : 0;
}

// Picks the records whose marks are in the set.
void PickMarks(std::set<uint32_t> marks) {
    g_asked.clear();
    g_pick = [marks](uint32_t mark, size_t) { return marks.count(mark) != 0; };
}

class Lists : public SessionFileTest {
protected:
    void TearDown() override {
        g_pick = nullptr;
        SessionFileTest::TearDown();
    }

    // A table of cls with n records marked base, base + 1, ... (the rest of
    // each record zero but its RID), in chunks of the class's maximum.
    uint16_t MarkedTable(uint8_t cls, uint32_t n, uint32_t base = 100) {
        uint16_t tid = MakeTable(cls);
        SCB *scb = CheckOut(tid);
        EXPECT_EQ(FSIAddLock(scb, RIX_LAST, n, 0, nullptr), 0);
        for (uint32_t rix = 0; rix < n; ++rix) {
            void *rec;
            EXPECT_EQ(FSIxLock(scb, rix, &rec, nullptr), 0);
            uint32_t mark = base + rix;
            std::memcpy(rec, &mark, 4);
            FSDirtyRec(scb);
        }
        FSCheckIn(scb);
        return tid;
    }
    // The first four bytes (the mark) or the last four (the RID) of each
    // record of the table.
    std::vector<uint32_t> Words(uint16_t tid, bool last) {
        std::vector<uint32_t> out;
        for (const Record &r : RecordsOf(tid)) out.push_back(MarkOf(&r[last ? r.size() - 4 : 0]));
        return out;
    }
    std::vector<uint32_t> Marks(uint16_t tid) { return Words(tid, false); }
    std::vector<uint32_t> Rids(uint16_t tid) { return Words(tid, true); }
    static std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
        std::vector<uint32_t> out;
        for (uint32_t m = from; m < to; ++m) out.push_back(m);
        return out;
    }
    static std::vector<uint32_t> Join(std::initializer_list<std::vector<uint32_t>> parts) {
        std::vector<uint32_t> out;
        for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    }
    FSClassDesc &Class(uint8_t cls) { return fcb_->classTable[cls]; }
};

TEST_F(Lists, EmptySourceAnswersAtOnce) {
    SCB *scb = CheckOut(MakeTable(kTwelve));
    PickMarks({});
    SCB bad{};
    EXPECT_EQ(FSDelList(scb, Selector, 0), 0);
    EXPECT_EQ(FSCopyList(scb, Selector, &bad, 7, 0), 0) << "the destination is not looked at";
    EXPECT_EQ(FSMoveList(scb, Selector, nullptr, 7, 0), 0);
    EXPECT_TRUE(g_asked.empty());

    // A null selector answers 16385 and leaves the session's status.
    EXPECT_EQ(FSIxLock(scb, 0, nullptr, nullptr), FS_E_BAD_RIX);
    EXPECT_EQ(FSDelList(scb, nullptr, 0), FS_E_NOMEM);
    EXPECT_EQ(FSCopyList(scb, nullptr, scb, 0, 0), FS_E_NOMEM);
    EXPECT_EQ(FSMoveList(scb, nullptr, scb, 0, 0), FS_E_NOMEM);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RIX);
    EXPECT_EQ(FSDelList(nullptr, Selector, 0), FS_E_BAD_SCB);
    FSCheckIn(scb);
}

TEST_F(Lists, DelListRemovesEverySecondRecord) {
    uint16_t tid = MarkedTable(kSmall, 10); // chunks of at most 4
    SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
    PickMarks({100, 102, 104, 106, 108});
    ASSERT_EQ(FSDelList(scb, Selector, 0), 0);
    EXPECT_EQ(g_asked, Range(100, 110)) << "each record is asked about once, in order";
    EXPECT_EQ(Marks(tid), (std::vector<uint32_t>{101, 103, 105, 107, 109}));
    EXPECT_EQ(FSTableSize(other), 5u);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    EXPECT_TRUE(FSDirtied(fcb_));

    PickMarks({101, 103, 105, 107, 109});
    ASSERT_EQ(FSDelList(scb, Selector, 0), 0);
    EXPECT_EQ(ShapeOf(tid), (TableShape{false, {0}})) << "emptied and collapsed";
    FSCheckIn(scb);
    FSCheckIn(other);
}

TEST_F(Lists, CopyIntoItsOwnTableSkipsTheCopies) {
    uint16_t tid = MarkedTable(kTwelve, 10, 0); // chunks of at most 10
    SCB *scb = CheckOut(tid);
    ASSERT_EQ(FSIRecOps(scb, FSOpMove, 0, 4, scb, RIX_LAST), 0); // mix the chunks up a bit
    ASSERT_EQ(FSIRecOps(scb, FSOpMove, 6, 4, scb, 0), 0);
    ASSERT_EQ(Marks(tid), Range(0, 10));
    PickMarks({1, 4, 7});
    ASSERT_EQ(FSCopyList(scb, Selector, scb, 3, 0), 0);
    EXPECT_EQ(g_asked, Join({Range(0, 10), Range(0, 10)})) << "10 + 10 calls, no copy seen";
    EXPECT_EQ(Marks(tid), Join({{0, 1, 2}, {1, 4, 7}, Range(3, 10)}));
    EXPECT_EQ(SlotOf(tid), scb->sessionId) << "the helper session is gone";
    EXPECT_EQ(MasterBusy(tid), 1);

    PickMarks({});
    ASSERT_EQ(FSCopyList(scb, Selector, scb, 0, 0), 0);
    EXPECT_EQ(FSTableSize(scb), 13u) << "nothing picked, nothing inserted";
    FSCheckIn(scb);
}

TEST_F(Lists, MoveWithinATableKeepsRidsAndTheCounter) {
    uint16_t tid = MarkedTable(kStamped, 12); // RIDs 1 to 12, chunks of at most 5
    SCB *scb = CheckOut(tid);
    const uint32_t counter = Class(kStamped).ridCounter;
    ASSERT_EQ(counter, 13u);
    PickMarks({100, 105, 106, 111});
    ASSERT_EQ(FSMoveList(scb, Selector, scb, RIX_LAST, 0), 0);
    EXPECT_EQ(Marks(tid), Join({Range(101, 105), Range(107, 111), {100, 105, 106, 111}}));
    EXPECT_EQ(Rids(tid), Join({Range(2, 6), Range(8, 12), {1, 6, 7, 12}}));
    EXPECT_EQ(Class(kStamped).ridCounter, counter) << "the RIDs the copies took are given back";
    EXPECT_EQ(RID2RIX(scb, 6), 9u);

    PickMarks({108, 110, 111});
    ASSERT_EQ(FSMoveList(scb, Selector, scb, 2, 0), 0);
    EXPECT_EQ(Marks(tid),
              Join({{101, 102, 108, 110, 111}, Range(103, 105), {107, 109}, {100, 105, 106}}));
    EXPECT_EQ(Class(kStamped).ridCounter, counter);

    // A class without RIDs: the counter never moved and is not lowered.
    uint16_t plain = MarkedTable(kTwelve, 6);
    SCB *sp = CheckOut(plain);
    Class(kTwelve).ridCounter = 1;
    PickMarks({101, 102});
    ASSERT_EQ(FSMoveList(sp, Selector, sp, RIX_LAST, 0), 0);
    EXPECT_EQ(Marks(plain), (std::vector<uint32_t>{100, 103, 104, 105, 101, 102}));
    EXPECT_EQ(Class(kTwelve).ridCounter, 1u);
    FSCheckIn(scb);
    FSCheckIn(sp);
}

TEST_F(Lists, CopiesBetweenTablesGetNewRidsMovesKeepTheirs) {
    uint16_t a = MarkedTable(kStamped, 6, 100), b = MarkedTable(kStamped, 2, 200);
    SCB *sa = CheckOut(a), *sb = CheckOut(b);
    ASSERT_EQ(Rids(b), (std::vector<uint32_t>{7, 8}));
    PickMarks({101, 103});
    ASSERT_EQ(FSCopyList(sa, Selector, sb, 1, 0), 0);
    EXPECT_EQ(g_asked.size(), 12u);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{200, 101, 103, 201}));
    EXPECT_EQ(Rids(b), (std::vector<uint32_t>{7, 9, 10, 8}));
    EXPECT_EQ(Marks(a), Range(100, 106));

    PickMarks({100, 102, 105});
    ASSERT_EQ(FSMoveList(sa, Selector, sb, RIX_LAST, 0), 0);
    EXPECT_EQ(Marks(a), (std::vector<uint32_t>{101, 103, 104}));
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{200, 101, 103, 201, 100, 102, 105}));
    EXPECT_EQ(Rids(b), (std::vector<uint32_t>{7, 9, 10, 8, 1, 3, 6}));
    EXPECT_EQ(Class(kStamped).ridCounter, 14u);
    FSCheckIn(sa);
    FSCheckIn(sb);
}

TEST_F(Lists, RefusalsChangeNothing) {
    uint16_t a = MarkedTable(kTwelve, 8), b = MarkedTable(kTwelve, 3, 200);
    uint16_t wide = MarkedTable(kSixteen, 2), ridless = MarkedTable(kSmall, 2);
    uint16_t stamped = MarkedTable(kStamped, 2);
    SCB *sa = CheckOut(a), *sa2 = CheckOut(a), *ra = CheckOut(a, 0);
    SCB *sb = CheckOut(b), *rb = CheckOut(b, 0);
    SCB *sw = CheckOut(wide), *sr = CheckOut(ridless), *ss = CheckOut(stamped);
    PickMarks({101});
    SCB bad{};
    struct Case {
        FSStatus expected;
        std::function<FSStatus()> call;
    };
    const Case cases[] = {
        // Another session on the source's own table.
        {FS_E_BAD_PARAMS, [&] { return FSCopyList(sa, Selector, sa2, 0, 0); }},
        {FS_E_BAD_PARAMS, [&] { return FSMoveList(sa, Selector, ra, 0, 0); }},
        {FS_E_READ_ONLY, [&] { return FSDelList(ra, Selector, 0); }},
        {FS_E_READ_ONLY, [&] { return FSMoveList(ra, Selector, sb, 0, 0); }},
        {FS_E_READ_ONLY, [&] { return FSCopyList(sa, Selector, rb, 0, 0); }},
        {FS_E_READ_ONLY, [&] { return FSCopyList(ra, Selector, ra, 0, 0); }},
        {FS_E_BAD_CLASS, [&] { return FSCopyList(sa, Selector, sw, 0, 0); }},
        {FS_E_BAD_CLASS, [&] { return FSCopyList(ss, Selector, sr, 0, 0); }},
        {FS_E_BAD_CLASS, [&] { return FSMoveList(sr, Selector, ss, 0, 0); }},
        {FS_E_BAD_RIX, [&] { return FSCopyList(sa, Selector, sb, 4, 0); }},
        {FS_E_BAD_SCB, [&] { return FSCopyList(sa, Selector, &bad, 0, 0); }},
        {FS_E_BAD_SCB, [&] { return FSMoveList(sa, Selector, nullptr, 0, 0); }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].call(), cases[i].expected);
    }
    // The no-lock rule, on either table.
    ASSERT_NE(FSIxOldLock(ra, 2, nullptr), nullptr);
    EXPECT_EQ(FSDelList(sa, Selector, 0), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSCopyList(sb, Selector, sa, 0, 0), FS_E_LOCK_FOUND);
    FSUnlock(ra);
    ASSERT_NE(FSIxOldLock(rb, 2, nullptr), nullptr);
    EXPECT_EQ(FSMoveList(sa, Selector, sb, 0, 0), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSError(sa), FS_E_LOCK_FOUND);
    FSUnlock(rb);

    EXPECT_TRUE(g_asked.empty());
    EXPECT_EQ(Marks(a), Range(100, 108));
    EXPECT_EQ(Marks(b), Range(200, 203));
    EXPECT_EQ(SlotOf(a), ra->sessionId) << "no helper session is left";
    for (SCB *s : {sa, sa2, ra, sb, rb, sw, sr, ss}) FSCheckIn(s);
}

// The selector must pick in the copying pass what it picked in the counting
// pass. When it picks more, the run holds the first ones; when it picks
// fewer, the unfilled records are taken out again. Either way: 20547.
TEST_F(Lists, ASelectorThatChangesItsMindFails) {
    uint16_t a = MarkedTable(kTwelve, 10), b = MarkedTable(kTwelve, 2, 200);
    SCB *sa = CheckOut(a), *sb = CheckOut(b);
    auto changing = [](std::set<uint32_t> first, std::set<uint32_t> then) {
        g_asked.clear();
        g_pick = [=](uint32_t mark, size_t call) {
            return (call <= 10 ? first : then).count(mark) != 0;
        };
    };
    changing({101, 104}, {101, 104, 107});
    EXPECT_EQ(FSCopyList(sa, Selector, sb, 1, 0), FS_E_LIST_OP);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{200, 101, 104, 201}));
    changing({101, 104}, {104});
    EXPECT_EQ(FSCopyList(sa, Selector, sb, RIX_LAST, 0), FS_E_LIST_OP);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{200, 101, 104, 201, 104}));
    EXPECT_EQ(Marks(a), Range(100, 110));

    changing({101, 104}, {101, 104, 107});
    EXPECT_EQ(FSMoveList(sa, Selector, sb, 0, 0), FS_E_LIST_OP);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{101, 104, 200, 101, 104, 201, 104}));
    EXPECT_EQ(Marks(a), Join({{100}, {102, 103}, Range(105, 110)})) << "the moved ones went";
    EXPECT_EQ(sa->flags & FS_SCB_LOCKED, 0);
    EXPECT_EQ(sb->flags & FS_SCB_LOCKED, 0);
    FSCheckIn(sa);
    FSCheckIn(sb);
}

// Each allocation of a move fails in turn, once or for good: a transient
// failure changes nothing, and no record is ever lost.
TEST_F(Lists, FailedMovesLoseNoRecord) {
    MakeTable(kSmall); // the root table, so that the others can be destroyed
    ForEachFault(VM_OP_GALLOC, VM_E_NOMEM, [&](FaultRun &fault) {
        uint16_t a = MarkedTable(kSmall, 13, 100), b = MarkedTable(kSmall, 6, 200);
        SCB *sa = CheckOut(a), *sb = CheckOut(b);
        PickMarks({100, 101, 102, 105, 106, 107, 108, 112});
        fault.Arm();
        FSStatus status = FSMoveList(sa, Selector, sb, 3, 0);
        fault.Disarm();
        std::vector<uint32_t> ma = Marks(a), mb = Marks(b);
        if (status == 0) {
            EXPECT_EQ(ma, (std::vector<uint32_t>{103, 104, 109, 110, 111}));
            EXPECT_EQ(
                mb,
                Join({{200, 201, 202}, {100, 101, 102, 105, 106, 107, 108, 112}, Range(203, 206)}));
        } else if (fault.once) {
            EXPECT_EQ(ma, Range(100, 113)) << "status " << status;
            EXPECT_EQ(mb, Range(200, 206)) << "status " << status;
        }
        // A lasting failure may leave blank records, and a record whose
        // deletion failed after it was copied in both tables; none is lost.
        std::vector<uint32_t> all = ma;
        all.insert(all.end(), mb.begin(), mb.end());
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        all.erase(std::remove(all.begin(), all.end(), 0u), all.end());
        EXPECT_EQ(all, Join({Range(100, 113), Range(200, 206)})) << "status " << status;
        EXPECT_EQ(FSTableSize(sa), ma.size());
        EXPECT_EQ(FSTableSize(sb), mb.size());
        FSCheckIn(sa);
        FSCheckIn(sb);
        ASSERT_EQ(FSDestroyTable(fcb_, a), 0);
        ASSERT_EQ(FSDestroyTable(fcb_, b), 0);
    });
}

} // namespace
