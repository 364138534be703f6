// Record operations beside the model: where records land at chunk
// boundaries (merges and collapsed indexes), a copy into its own run, the
// refusals the model never meets, list selectors, and failures part-way
// that must lose no record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "common/fault_loop.h"
#include "common/session_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Records = std::vector<Bytes>;

// The list selector: asked about a record, it answers by the record's
// first four bytes (its mark).
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
void PickMarks(std::set<uint32_t> first, std::set<uint32_t> then = {}, size_t switchAfter = SIZE_MAX) {
    g_asked.clear();
    g_pick = [=](uint32_t mark, size_t call) { return (call <= switchAfter ? first : then).count(mark) != 0; };
}
std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> out;
    for (uint32_t m = from; m < to; ++m) out.push_back(m);
    return out;
}
Records Split(const Bytes &bytes, uint16_t size) {
    Records out;
    for (size_t at = 0; at < bytes.size(); at += size) out.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
    return out;
}

class RecOps : public SessionFileTest {
protected:
    void TearDown() override {
        g_pick = nullptr;
        SessionFileTest::TearDown();
    }
    // Records as Shape wrote them, by their original RIXes.
    Records Original(uint16_t tid, std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
        Records out;
        for (auto [from, to] : runs)
            for (uint32_t r = from; r < to; ++r) out.push_back(Pattern(tid, r, RecSize(RecordOf(tid).cls)));
        return out;
    }
    // A table of n records marked base, base + 1, ... (zero but for a RID).
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
    std::vector<uint32_t> Marks(uint16_t tid) {
        std::vector<uint32_t> out;
        for (const Bytes &r : RecordsOf(tid)) out.push_back(MarkOf(r.data()));
        return out;
    }
};

// A copy within one table whose destination lies strictly inside the run
// inserts the run as it was, not blank records; a move there changes nothing.
TEST_F(RecOps, CopyIntoItsOwnRunCopiesTheRunAsItWas) {
    for (TableShape shape : {TableShape{false, {10}}, TableShape{true, {4, 4, 2}}}) {
        SCOPED_TRACE(::testing::PrintToString(shape));
        uint16_t tid = MakeShapedTable(shape.indexed ? kSmall : kWide, shape);
        SCB *scb = CheckOut(tid), *other = CheckOut(tid);
        ASSERT_EQ(FSIRecOps(scb, FSOpCopy, 2, 5, scb, 4), 0);
        EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 4}, {2, 7}, {4, 10}}));
        ASSERT_EQ(FSIRecOps(scb, FSOpCopy, 0, 3, other, 1), 0);
        ASSERT_EQ(FSIRecOps(scb, FSOpMove, 3, 6, scb, 5), 0);
        EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 1}, {0, 3}, {1, 4}, {2, 7}, {4, 10}}));
        EXPECT_EQ(FSTableSize(other), 18u);
        FSCheckIn(scb);
        FSCheckIn(other);
    }
}

// Deletions: small neighbours merge when they fit one chunk; an index of one
// chunk or none collapses, and every session sees the new top.
TEST_F(RecOps, DeletionMergesNeighboursAndCollapsesIndexes) {
    struct Case {
        uint8_t cls; // kTwelve: 5 to 10 a chunk; kSmall: 2 to 4; kTwelveB: 0 to 3
        TableShape shape;
        uint32_t first, count;
        TableShape after;
    };
    const Case cases[] = {
        {kTwelve, {true, {5, 6, 9}}, 3, 4, {true, {7, 9}}}, // 3 + 4 merge; 7 and 9 stay apart
        {kTwelve, {true, {5, 9}}, 0, 2, {true, {3, 9}}},    // 3 + 9 pass the maximum
        {kSmall, {true, {4, 4, 4, 2}}, 0, 14, {false, {0}}},
        {kTwelveB, {true, {3, 3, 3}}, 0, 9, {false, {0}}},   // minimum 0: empty chunks go too
        {kSmall, {true, {4, 4}}, 0, 4, {false, {4}}},
        {kTwelveB, {true, {3, 3, 3}}, 3, 3, {true, {3, 3}}}, // an emptied chunk in the middle
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.shape));
        uint16_t tid = MakeShapedTable(c.cls, c.shape);
        uint32_t total = 0;
        for (uint16_t n : c.shape.counts) total += n;
        SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
        ASSERT_EQ(FSIRecOps(scb, FSOpDelete, c.first, c.count, nullptr, 0), 0);
        EXPECT_EQ(ShapeOf(tid), c.after);
        EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, c.first}, {c.first + c.count, total}}));
        for (SCB *s : {scb, other}) {
            EXPECT_EQ(s->recCount, total - c.count);
            EXPECT_EQ(s->flags & FS_SCB_SINGLE_CHUNK, c.after.indexed ? 0 : FS_SCB_SINGLE_CHUNK);
            EXPECT_EQ(s->topThunk, scb->topThunk);
        }
        ASSERT_EQ(FSIAddLock(scb, RIX_LAST, 2, 0, nullptr), 0) << "the table is usable again";
        FSCheckIn(scb);
        FSCheckIn(other);
    }
}

TEST_F(RecOps, RefusalsChangeNothing) {
    uint16_t a = MarkedTable(kTwelve, 8), b = MarkedTable(kTwelve, 3, 200);
    uint16_t wide = MarkedTable(kSixteen, 2), plain = MarkedTable(kSmall, 2), stamped = MarkedTable(kStamped, 2);
    SCB *sa = CheckOut(a), *sa2 = CheckOut(a), *ra = CheckOut(a, 0), *sb = CheckOut(b), *rb = CheckOut(b, 0);
    SCB *sw = CheckOut(wide), *sp = CheckOut(plain), *ss = CheckOut(stamped), *empty = CheckOut(MakeTable(kTwelve));
    SCB bad{};
    PickMarks({101});
    struct Case {
        FSStatus expected;
        std::function<FSStatus()> call;
    };
    const Case cases[] = {
        {FS_E_BAD_CLASS, [&] { return FSIRecOps(sa, FSOpCopy, 0, 2, sw, 0); }}, // records of 12 and 16 bytes
        {FS_E_BAD_CLASS, [&] { return FSIRecOps(ss, FSOpCopy, 0, 0, sp, 0); }}, // RIDs on one side only
        {FS_E_BAD_CLASS, [&] { return FSCopyList(sa, Selector, sw, 0, 0); }},
        {FS_E_BAD_CLASS, [&] { return FSMoveList(sp, Selector, ss, 0, 0); }},
        {FS_E_BLOCK_LIMIT, [&] { return FSIAddLock(sa, RIX_LAST, 0xFFFFFFF0, 0, nullptr); }},
        {FS_E_BAD_PARAMS, [&] { return FSIRecOps(sa, FSOpDelete, 0xFFFFFFFF, 2, nullptr, 0); }},
        {FS_E_BAD_SCB, [&] { return FSCopyList(sa, Selector, &bad, 0, 0); }},
        {FS_E_BAD_SCB, [&] { return FSMoveList(sa, Selector, nullptr, 0, 0); }},
        {FS_E_BAD_SCB, [&] { return FSDelList(nullptr, Selector, 0); }},
        {FS_E_NOMEM, [&] { return FSDelList(sa, nullptr, 0); }}, // no selector
        {FS_E_NOMEM, [&] { return FSMoveList(sa, nullptr, sb, 0, 0); }},
        {0, [&] { return FSCopyList(empty, Selector, &bad, 7, 0); }}, // nothing to copy: no look at the destination
        {0, [&] { return FSIRecOps(sa, 0, 0, 6, nullptr, 0); }},       // operation 0 only validates
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].call(), cases[i].expected) << "case " << i;
    // The no-lock rule covers every session of both tables, before a count of 0.
    ASSERT_NE(FSIxOldLock(rb, 2, nullptr), nullptr);
    EXPECT_EQ(FSIRecOps(sa, FSOpCopy, 0, 0, sb, 0), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSMoveList(sa, Selector, sb, 0, 0), FS_E_LOCK_FOUND);
    FSUnlock(rb);
    void *rec = &rec;
    ASSERT_NE(FSIxOldLock(sa, 0, nullptr), nullptr);
    EXPECT_EQ(FSIAddLock(sa, 0, 1, 0, &rec), FS_E_LOCK_FOUND) << "its own lock counts";
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(FSDelList(sa2, Selector, 0), FS_E_LOCK_FOUND);
    FSUnlock(sa);

    EXPECT_TRUE(g_asked.empty());
    EXPECT_EQ(Marks(a), Range(100, 108));
    EXPECT_EQ(Marks(b), Range(200, 203));
    EXPECT_EQ(SlotOf(a), ra->sessionId) << "no helper session is left";
    EXPECT_EQ(FSIRecOps(ra, FSOpCopy, 0, 2, sb, 3), 0) << "a read-only source may be copied";
}

// Each record is asked about once, in order, in each pass. The selector must
// pick in the copying pass what it picked in the counting pass: when it
// picks more, the run holds the first ones; when fewer, the unfilled records
// are taken out again. Either way: FS_E_LIST_OP.
TEST_F(RecOps, ListSelectorsAreAskedInOrderAndMustNotChangeTheirMinds) {
    uint16_t a = MarkedTable(kSmall, 10), b = MarkedTable(kSmall, 2, 200);
    SCB *sa = CheckOut(a), *sb = CheckOut(b);
    PickMarks({100, 102, 104});
    ASSERT_EQ(FSCopyList(sa, Selector, sa, 1, 0), 0);
    std::vector<uint32_t> twice = Range(100, 110);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_EQ(g_asked, twice) << "10 + 10 calls, no copy seen";
    ASSERT_EQ(FSDelList(sa, Selector, 0), 0);
    EXPECT_EQ(Marks(a), (std::vector<uint32_t>{101, 103, 105, 106, 107, 108, 109}));

    PickMarks({101, 105}, {101, 105, 107}, 7);
    EXPECT_EQ(FSCopyList(sa, Selector, sb, 1, 0), FS_E_LIST_OP);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{200, 101, 105, 201}));
    PickMarks({101, 105}, {105}, 7);
    EXPECT_EQ(FSCopyList(sa, Selector, sb, RIX_LAST, 0), FS_E_LIST_OP);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{200, 101, 105, 201, 105}));
    PickMarks({101, 105}, {101, 105, 107}, 7);
    EXPECT_EQ(FSMoveList(sa, Selector, sb, 0, 0), FS_E_LIST_OP);
    EXPECT_EQ(Marks(b), (std::vector<uint32_t>{101, 105, 200, 101, 105, 201, 105}));
    EXPECT_EQ(Marks(a), (std::vector<uint32_t>{103, 106, 107, 108, 109})) << "the moved ones went";
    EXPECT_EQ(sa->flags & FS_SCB_LOCKED, 0);
}

// Records of a table that held before, with inserted put at at: a transient
// failure inserts nothing and success everything; a lasting one may leave
// records in between, but loses none of before.
void ExpectInsertedOrWhole(const Records &got, const Records &before, uint32_t at, const Records &inserted,
                           FSStatus status, bool once) {
    if (status == 0 || once) {
        Records expected = before;
        if (status == 0) expected.insert(expected.begin() + at, inserted.begin(), inserted.end());
        EXPECT_EQ(got, expected) << "status " << status;
        return;
    }
    ASSERT_GE(got.size(), before.size());
    EXPECT_EQ(Records(got.begin(), got.begin() + at), Records(before.begin(), before.begin() + at));
    size_t tail = before.size() - at;
    EXPECT_EQ(Records(got.end() - tail, got.end()), Records(before.end() - tail, before.end()));
}

// Every allocation of an add (stamped, from host memory, replacing), a copy,
// a list move and a deletion fails in turn, once or for good.
TEST_F(RecOps, FailuresPartWayLoseNoRecord) {
    MakeTable(kSmall); // the root table, so that the others can be destroyed
    const Bytes host = Patterns(900, 30, 8);
    ForEachFault(VM_OP_GALLOC, VM_E_NOMEM, [&](FaultRun &fault) {
        uint16_t a = MakeShapedTable(kSmall, {true, {4, 3, 4}}), b = MakeShapedTable(kSmall, {true, {4, 4}});
        uint16_t c = MakeShapedTable(kStamped, {true, {5, 5}});
        uint16_t d = MarkedTable(kSmall, 13, 100), e = MarkedTable(kSmall, 6, 200);
        SCB *sa = CheckOut(a), *sb = CheckOut(b), *sc = CheckOut(c), *sd = CheckOut(d), *se = CheckOut(e);
        auto run = [&](const std::function<FSStatus()> &op) {
            fault.Arm();
            FSStatus status = op();
            fault.Disarm();
            return status;
        };
        const uint32_t rid = fcb_->classTable[kStamped].ridCounter;
        void *rec;
        FSStatus status = run([&] { return FSIAddLock(sc, 3, 4, 0, &rec); });
        FSUnlock(sc);
        Records stamped(4, Bytes(8, 0));
        for (uint32_t i = 0; i < 4; ++i) {
            uint32_t id = rid + i;
            std::memcpy(stamped[i].data() + 4, &id, 4);
        }
        ExpectInsertedOrWhole(RecordsOf(c), Original(c, {{0, 10}}), 3, stamped, status, fault.once);
        EXPECT_EQ(sc->recCount, RecordsOf(c).size());

        status = run([&] { return FSIRecOps(sa, FSOpCopy, 1, 9, sb, 6); });
        ExpectInsertedOrWhole(RecordsOf(b), Original(b, {{0, 8}}), 6, Original(a, {{1, 10}}), status, fault.once);
        const Records bBefore = RecordsOf(b);
        status = run([&] { return FSIAddPtr(sb, 2, 30, 0, host.data()); });
        ExpectInsertedOrWhole(RecordsOf(b), bBefore, 2, Split(host, 8), status, fault.once);
        EXPECT_EQ(sb->recCount, RecordsOf(b).size());
        EXPECT_EQ(sb->flags & FS_SCB_LOCKED, 0);
        const Bytes bBytes = TableBytes(b);
        status = run([&] { return FSIAddPtr(sb, 0, 30, 1, host.data()); });
        const Bytes after = TableBytes(b);
        const bool blank = std::all_of(after.begin(), after.end(), [](uint8_t x) { return x == 0; });
        EXPECT_TRUE(status == 0 ? after == host : after == bBytes || (blank && !fault.once)) << "status " << status;

        // A lasting failure may leave blank records, and a record whose
        // deletion failed after it was copied in both tables; none is lost.
        PickMarks({100, 101, 102, 105, 106, 107, 108, 112});
        status = run([&] { return FSMoveList(sd, Selector, se, 3, 0); });
        std::vector<uint32_t> md = Marks(d), me = Marks(e);
        if (status == 0) {
            EXPECT_EQ(md, (std::vector<uint32_t>{103, 104, 109, 110, 111}));
            EXPECT_EQ(me, (std::vector<uint32_t>{200, 201, 202, 100, 101, 102, 105, 106, 107, 108, 112, 203, 204, 205}));
        } else if (fault.once) {
            EXPECT_EQ(md, Range(100, 113)) << "status " << status;
            EXPECT_EQ(me, Range(200, 206)) << "status " << status;
        }
        std::set<uint32_t> all(md.begin(), md.end());
        all.insert(me.begin(), me.end());
        all.erase(0);
        std::vector<uint32_t> expected = Range(100, 113), more = Range(200, 206);
        expected.insert(expected.end(), more.begin(), more.end());
        EXPECT_EQ(std::vector<uint32_t>(all.begin(), all.end()), expected) << "status " << status;

        // A failed deletion has removed a leading part of the run at most.
        status = run([&] { return FSIRecOps(sa, FSOpDelete, 2, 6, nullptr, 0); });
        Records left = RecordsOf(a);
        ASSERT_GE(left.size(), 5u);
        ASSERT_LE(left.size(), 11u);
        const uint32_t gone = 11 - static_cast<uint32_t>(left.size());
        EXPECT_TRUE(status != 0 || gone == 6) << "delete status " << status;
        EXPECT_EQ(left, Original(a, {{0, 2}, {2 + gone, 11}})) << "delete status " << status;
        EXPECT_EQ(sa->recCount, left.size());
        for (SCB *s : {sa, sb, sc, sd, se}) FSCheckIn(s);
        for (uint16_t t : {a, b, c, d, e}) ASSERT_EQ(FSDestroyTable(fcb_, t), 0);
    });
}

} // namespace
