// Adding, deleting, copying and moving records: where they land, RID
// stamping, merging and collapsing of indexes, the no-lock rule, refusals,
// and failures that must leave the tables as they were.
#include <gtest/gtest.h>

#include <cstring>

#include "common/fault_loop.h"
#include "common/session_fixture.h"
#include "tables/thunks.h"

namespace {

using Records = std::vector<std::vector<uint8_t>>;

class RecOps : public SessionFileTest {
protected:
    // Records as Shape wrote them, by their original RIXes.
    Records Original(uint16_t tid, std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
        Records out;
        uint16_t size = RecSize(ClassOfTable(tid));
        for (auto [from, to] : runs)
            for (uint32_t r = from; r < to; ++r) out.push_back(Pattern(tid, r, size));
        return out;
    }
    uint8_t ClassOfTable(uint16_t tid) { return RecordOf(tid).cls; }
};

TEST_F(RecOps, AddLockAppendsZeroRecordsAndHandsOutTheFirst) {
    uint16_t tid = MakeTable(kTwelve);
    SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
    void *rec = nullptr;
    ASSERT_EQ(FSIAddLock(scb, RIX_LAST, 3, 0, &rec), 0);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec, scb->curRec);
    EXPECT_EQ(scb->flags & (FS_SCB_LOCKED | FS_SCB_CHUNK_DIRTY | FS_SCB_SESSION_DIRTIED),
              FS_SCB_LOCKED | FS_SCB_CHUNK_DIRTY | FS_SCB_SESSION_DIRTIED);
    EXPECT_EQ(FSxGetCurrent(scb), 0u);
    std::memcpy(rec, "twelve bytes", 12);
    FSUnlock(scb);
    EXPECT_EQ(FSTableSize(other), 3u) << "every session of the table sees the new size";
    Records expected(3, std::vector<uint8_t>(12, 0));
    std::memcpy(expected[0].data(), "twelve bytes", 12);
    EXPECT_EQ(RecordsOf(tid), expected);
    EXPECT_TRUE(FSDirtied(fcb_));

    // No records: the record at the position is locked, marked to be written.
    ASSERT_EQ(FSIAddLock(scb, 0, 0, 0, &rec), 0);
    EXPECT_EQ(std::memcmp(rec, "twelve bytes", 12), 0);
    EXPECT_TRUE(scb->flags & FS_SCB_CHUNK_DIRTY);
    FSUnlock(scb);
    EXPECT_EQ(FSIAddLock(scb, 3, 0, 0, &rec), FS_E_BAD_RIX) << "nothing to lock at the end";
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(FSTableSize(scb), 3u);
    FSCheckIn(scb);
    FSCheckIn(other);
}

TEST_F(RecOps, AddLockStampsConsecutiveRids) {
    uint16_t tid = MakeTable(kStamped);
    SCB *scb = CheckOut(tid);
    void *rec = nullptr;
    ASSERT_EQ(FSIAddLock(scb, RIX_LAST, 7, 0, &rec), 0); // spans two chunks of at most 5
    FSUnlock(scb);
    ASSERT_EQ(FSIAddLock(scb, 3, 2, 0, nullptr), 0);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    std::vector<uint32_t> rids;
    for (const auto &r : RecordsOf(tid)) {
        uint32_t head, rid;
        std::memcpy(&head, r.data(), 4);
        std::memcpy(&rid, r.data() + 4, 4);
        EXPECT_EQ(head, 0u);
        rids.push_back(rid);
    }
    EXPECT_EQ(rids, (std::vector<uint32_t>{1, 2, 3, 8, 9, 4, 5, 6, 7}));
    EXPECT_EQ(fcb_->classTable[kStamped].ridCounter, 10u);
    FSCheckIn(scb);
}

TEST_F(RecOps, AddLockRefusalsInsertNothing) {
    uint16_t tid = MakeShapedTable(kSmall, {true, {4, 4}});
    SCB *scb = CheckOut(tid), *other = CheckOut(tid), *ro = CheckOut(tid, 0);
    void *rec = &rec;
    ASSERT_NE(FSIxOldLock(scb, 0, nullptr), nullptr);
    EXPECT_EQ(FSIAddLock(scb, 0, 1, 0, &rec), FS_E_LOCK_FOUND) << "its own lock counts";
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(FSIAddLock(other, 0, 1, 0, nullptr), FS_E_LOCK_FOUND);
    FSUnlock(scb);
    EXPECT_EQ(FSIAddLock(ro, 0, 1, 0, nullptr), FS_E_READ_ONLY);
    EXPECT_EQ(FSIAddLock(scb, 9, 1, 0, nullptr), FS_E_BAD_RIX);
    EXPECT_EQ(FSIAddLock(scb, 2, 5, 1, nullptr), FS_E_CHUNK_TOO_BIG);
    EXPECT_EQ(FSError(scb), FS_E_CHUNK_TOO_BIG);
    EXPECT_EQ(FSIAddLock(scb, RIX_LAST, 0xFFFFFFF0, 0, nullptr), FS_E_BLOCK_LIMIT)
        << "more chunks than an index can hold";
    EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 8}}));
    EXPECT_EQ(ShapeOf(tid), (TableShape{true, {4, 4}}));

    ASSERT_EQ(FSIAddLock(scb, 2, 4, 1, &rec), 0);
    EXPECT_GE(scb->chunkEnd - static_cast<uint8_t *>(rec), 4 * 8) << "kept whole in one chunk";
    FSUnlock(scb);
    EXPECT_EQ(FSTableSize(ro), 12u);
    for (SCB *s : {scb, other, ro}) FSCheckIn(s);
}

TEST_F(RecOps, MoveThreeRecordsFromTenToTwo) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {10, 3}});
    SCB *scb = CheckOut(tid);
    ASSERT_EQ(FSIRecOps(scb, FSOpMove, 10, 3, scb, 2), 0);
    EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 2}, {10, 13}, {2, 10}}));
    EXPECT_EQ(FSTableSize(scb), 13u);
    EXPECT_EQ(SlotOf(tid), scb->sessionId) << "the helper session is gone";
    EXPECT_EQ(scb->nextSession, nullptr);
    EXPECT_EQ(MasterBusy(tid), 1);
    FSCheckIn(scb);
}

TEST_F(RecOps, CopyAndMoveBetweenTables) {
    uint16_t a = MakeShapedTable(kTwelve, {true, {6, 5}});
    uint16_t b = MakeShapedTable(kTwelveB, {true, {3, 2}});
    SCB *sa = CheckOut(a), *sb = CheckOut(b);
    ASSERT_EQ(FSIRecOps(sa, FSOpCopy, 4, 5, sb, 1), 0);
    Records bExpected = Original(b, {{0, 1}});
    Records run = Original(a, {{4, 9}});
    bExpected.insert(bExpected.end(), run.begin(), run.end());
    Records bTail = Original(b, {{1, 5}});
    bExpected.insert(bExpected.end(), bTail.begin(), bTail.end());
    EXPECT_EQ(RecordsOf(b), bExpected);
    EXPECT_EQ(RecordsOf(a), Original(a, {{0, 11}}));

    ASSERT_EQ(FSIRecOps(sa, FSOpMove, 0, 11, sb, RIX_LAST), 0);
    for (const auto &r : Original(a, {{0, 11}})) bExpected.push_back(r);
    EXPECT_EQ(RecordsOf(b), bExpected);
    EXPECT_EQ(ShapeOf(a), (TableShape{false, {0}}));
    EXPECT_EQ(FSTableSize(sa), 0u);
    EXPECT_EQ(FSTableSize(sb), 21u);
    FSCheckIn(sa);
    FSCheckIn(sb);
}

TEST_F(RecOps, CopyRefusalsChangeNothing) {
    uint16_t a = MakeShapedTable(kTwelve, {false, {4}});
    uint16_t b = MakeShapedTable(kSixteen, {false, {4}});
    uint16_t c = MakeShapedTable(kTwelve, {false, {2}}), s = MakeTable(kStamped);
    SCB *sa = CheckOut(a), *sb = CheckOut(b), *sc = CheckOut(c), *ro = CheckOut(c, 0);
    SCB *ss = CheckOut(s);
    EXPECT_EQ(FSIRecOps(sa, FSOpCopy, 0, 2, sb, 0), FS_E_BAD_CLASS) << "record sizes 12 and 16";
    EXPECT_EQ(FSIRecOps(ss, FSOpCopy, 0, 0, CheckOut(MakeTable(kSmall)), 0), FS_E_BAD_CLASS)
        << "RIDs on one side only";
    EXPECT_EQ(FSIRecOps(sa, FSOpDelete, 3, 2, nullptr, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSIRecOps(sa, FSOpDelete, 0xFFFFFFFF, 2, nullptr, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSIRecOps(sa, FSOpCopy, 0, 1, sc, 3), FS_E_BAD_RIX);
    EXPECT_EQ(FSIRecOps(sa, FSOpCopy, 0, 1, ro, 0), FS_E_READ_ONLY);
    EXPECT_EQ(FSIRecOps(ro, FSOpDelete, 0, 1, nullptr, 0), FS_E_READ_ONLY);
    EXPECT_EQ(RecordsOf(a), Original(a, {{0, 4}}));
    EXPECT_EQ(RecordsOf(b), Original(b, {{0, 4}}));
    EXPECT_EQ(RecordsOf(c), Original(c, {{0, 2}}));

    EXPECT_EQ(FSIRecOps(ro, FSOpCopy, 0, 2, sa, 4), 0) << "a read-only source may be copied";
    EXPECT_EQ(FSIRecOps(sa, 0, 0, 6, nullptr, 0), 0) << "operation 0 only validates";
    EXPECT_EQ(FSTableSize(sa), 6u);
}

TEST_F(RecOps, NoLockRuleCoversEverySessionOfBothTables) {
    uint16_t a = MakeShapedTable(kTwelve, {false, {4}}), b = MakeShapedTable(kTwelve, {false, {4}});
    SCB *sa = CheckOut(a), *sa2 = CheckOut(a, 0), *sb = CheckOut(b), *sb2 = CheckOut(b, 0);
    ASSERT_NE(FSIxOldLock(sa2, 1, nullptr), nullptr);
    EXPECT_EQ(FSIRecOps(sa, FSOpDelete, 0, 1, nullptr, 0), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSIRecOps(sb, FSOpCopy, 0, 1, sa, 0), FS_E_LOCK_FOUND);
    FSUnlock(sa2);
    ASSERT_NE(FSIxOldLock(sb2, 1, nullptr), nullptr);
    EXPECT_EQ(FSIRecOps(sa, FSOpMove, 0, 1, sb, 0), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSIRecOps(sa, FSOpCopy, 0, 0, sb, 0), FS_E_LOCK_FOUND) << "checked before count 0";
    FSUnlock(sb2);
    EXPECT_EQ(RecordsOf(a), Original(a, {{0, 4}}));
    EXPECT_EQ(RecordsOf(b), Original(b, {{0, 4}}));
    for (SCB *x : {sa, sa2, sb, sb2}) FSCheckIn(x);
}

// A copy within one table whose destination lies strictly inside the run
// inserts the run as it was, not blank records; a move there changes
// nothing.
TEST_F(RecOps, CopyIntoItsOwnRunCopiesTheRunAsItWas) {
    for (TableShape shape : {TableShape{false, {10}}, TableShape{true, {4, 4, 2}}}) {
        SCOPED_TRACE(::testing::PrintToString(shape));
        uint16_t tid = MakeShapedTable(shape.indexed ? kSmall : kWide, shape);
        SCB *scb = CheckOut(tid), *other = CheckOut(tid);
        ASSERT_EQ(FSIRecOps(scb, FSOpCopy, 2, 5, scb, 4), 0);
        EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 4}, {2, 7}, {4, 10}}));
        ASSERT_EQ(FSIRecOps(scb, FSOpCopy, 0, 3, other, 1), 0);
        EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 1}, {0, 3}, {1, 4}, {2, 7}, {4, 10}}));
        ASSERT_EQ(FSIRecOps(scb, FSOpMove, 3, 6, scb, 5), 0);
        EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 1}, {0, 3}, {1, 4}, {2, 7}, {4, 10}}));
        EXPECT_EQ(FSTableSize(other), 18u);
        FSCheckIn(scb);
        FSCheckIn(other);
    }
}

TEST_F(RecOps, SmallNeighboursMergeAfterDeletion) {
    // minimum 5, maximum 10: 3 + 4 become 7; 7 and 9 stay apart.
    uint16_t tid = MakeShapedTable(kTwelve, {true, {5, 6, 9}});
    SCB *scb = CheckOut(tid);
    ASSERT_EQ(FSIRecOps(scb, FSOpDelete, 3, 4, nullptr, 0), 0);
    EXPECT_EQ(ShapeOf(tid), (TableShape{true, {7, 9}}));
    EXPECT_EQ(RecordsOf(tid), Original(tid, {{0, 3}, {7, 20}}));

    uint16_t apart = MakeShapedTable(kTwelve, {true, {5, 9}});
    SCB *s2 = CheckOut(apart);
    ASSERT_EQ(FSIRecOps(s2, FSOpDelete, 0, 2, nullptr, 0), 0);
    EXPECT_EQ(ShapeOf(apart), (TableShape{true, {3, 9}})) << "3 + 9 pass the maximum";
    FSCheckIn(scb);
    FSCheckIn(s2);
}

TEST_F(RecOps, IndexesCollapseWhenOneChunkOrNoneIsLeft) {
    struct Case {
        uint8_t cls;
        TableShape shape;
        uint32_t first, count;
        TableShape after;
    };
    const Case cases[] = {
        {kSmall, {true, {4, 4, 4, 2}}, 0, 14, {false, {0}}}, // everything deleted
        {kTwelveB, {true, {3, 3, 3}}, 0, 9, {false, {0}}},   // minimum 0: empty chunks go too
        {kSmall, {true, {4, 4}}, 0, 4, {false, {4}}},        // one chunk left
        {kTwelveB, {true, {3, 3, 3}}, 3, 3, {true, {3, 3}}}, // an emptied chunk in the middle
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.shape));
        uint16_t tid = MakeShapedTable(c.cls, c.shape);
        SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
        ASSERT_EQ(FSIRecOps(scb, FSOpDelete, c.first, c.count, nullptr, 0), 0);
        EXPECT_EQ(ShapeOf(tid), c.after);
        uint32_t left = 0;
        for (uint16_t n : c.after.counts) left += n;
        for (SCB *s : {scb, other}) {
            EXPECT_EQ(s->recCount, left);
            EXPECT_EQ(s->flags & FS_SCB_SINGLE_CHUNK, c.after.indexed ? 0 : FS_SCB_SINGLE_CHUNK);
            EXPECT_EQ(s->topThunk, scb->topThunk);
        }
        void *rec;
        ASSERT_EQ(FSIAddLock(scb, RIX_LAST, 2, 0, &rec), 0) << "the table is usable again";
        FSCheckIn(scb);
        FSCheckIn(other);
    }
}

// Records of a table that should hold before with records inserted at at:
// a transient failure inserts nothing and success inserts `inserted`; a
// lasting one may leave records in between, but loses none of before.
void ExpectInsertedOrWhole(const Records &got, const Records &before, uint32_t at,
                           const Records &inserted, FSStatus status, bool once) {
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

// Every allocation of an add, a copy and a deletion fails in turn, once or
// for good (as when memory has run out). A failed deletion has removed a
// leading part of the run at most.
TEST_F(RecOps, FailuresLeaveTablesConsistent) {
    MakeTable(kSmall); // the root table, so that the others can be destroyed
    ForEachFault(VM_OP_GALLOC, VM_E_NOMEM, [&](FaultRun &fault) {
        uint16_t a = MakeShapedTable(kSmall, {true, {4, 3, 4}});
        uint16_t b = MakeShapedTable(kSmall, {true, {4, 4}});
        uint16_t c = MakeShapedTable(kStamped, {true, {5, 5}});
        SCB *sa = CheckOut(a), *sb = CheckOut(b), *sc = CheckOut(c);

        uint32_t rid = fcb_->classTable[kStamped].ridCounter;
        fault.Arm();
        void *rec;
        FSStatus add = FSIAddLock(sc, 3, 4, 0, &rec);
        fault.Disarm();
        FSUnlock(sc);
        Records stamped(4, std::vector<uint8_t>(8, 0));
        for (uint32_t i = 0; i < 4; ++i) {
            uint32_t id = rid + i;
            std::memcpy(stamped[i].data() + 4, &id, 4);
        }
        ExpectInsertedOrWhole(RecordsOf(c), Original(c, {{0, 10}}), 3, stamped, add, fault.once);
        EXPECT_EQ(sc->recCount, RecordsOf(c).size());

        fault.Arm();
        FSStatus copy = FSIRecOps(sa, FSOpCopy, 1, 9, sb, 6);
        fault.Disarm();
        ExpectInsertedOrWhole(RecordsOf(b), Original(b, {{0, 8}}), 6, Original(a, {{1, 10}}),
                              copy, fault.once);
        EXPECT_EQ(sb->recCount, RecordsOf(b).size());

        fault.Arm();
        FSStatus del = FSIRecOps(sa, FSOpDelete, 2, 6, nullptr, 0);
        fault.Disarm();
        Records left = RecordsOf(a);
        ASSERT_GE(left.size(), 5u);
        ASSERT_LE(left.size(), 11u);
        uint32_t gone = 11 - static_cast<uint32_t>(left.size());
        EXPECT_TRUE(del != 0 || gone == 6) << "delete status " << del;
        EXPECT_EQ(left, Original(a, {{0, 2}, {2 + gone, 11}})) << "delete status " << del;
        EXPECT_EQ(sa->recCount, left.size());
        for (SCB *s : {sa, sb, sc}) FSCheckIn(s);
        for (uint16_t t : {a, b, c}) ASSERT_EQ(FSDestroyTable(fcb_, t), 0);
    });
}

} // namespace
