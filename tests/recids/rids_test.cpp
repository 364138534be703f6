// Record IDs: the class counters, repairing a counter from the stored RIDs,
// finding a record by its RID and a RID by its record, and the table
// queries beside them.
#include <gtest/gtest.h>

#include <cstring>

#include "blocks/cache.h"
#include "common/session_fixture.h"

namespace {

class Rids : public SessionFileTest {
protected:
    FSClassDesc &Class(uint8_t cls) { return fcb_->classTable[cls]; }

    // A table of class kStamped (at most 5 records per chunk) whose records
    // hold these RIDs.
    SCB *TableWithRids(const std::vector<uint32_t> &rids) {
        SCB *scb = CheckOut(MakeTable(kStamped));
        auto n = static_cast<uint32_t>(rids.size());
        EXPECT_EQ(FSIAddLock(scb, RIX_LAST, n, 0, nullptr), 0);
        for (uint32_t rix = 0; rix < n; ++rix) {
            void *rec;
            EXPECT_EQ(FSIxLock(scb, rix, &rec, nullptr), 0);
            std::memcpy(static_cast<uint8_t *>(rec) + 4, &rids[rix], 4);
            FSDirtyRec(scb);
        }
        FSUnlock(scb);
        return scb;
    }
};

TEST_F(Rids, EachClassCountsItsOwnRids) {
    EXPECT_EQ(FSAllocRID(fcb_, kStamped), 1u);
    EXPECT_EQ(FSAllocRID(fcb_, kStamped), 2u);
    EXPECT_EQ(FSAllocRID(fcb_, kTwelve), 1u) << "another class starts on its own";
    EXPECT_EQ(Class(kStamped).ridCounter, 3u);
    EXPECT_EQ(Class(kTwelve).ridCounter, 2u);

    EXPECT_EQ(FSAllocRID(nullptr, kStamped), RIX_NONE);
    EXPECT_EQ(FSAllocRID(fcb_, 200), RIX_NONE) << "a class the file does not have";
    EXPECT_EQ(FSError(fcb_), FS_E_BAD_CLASS);
    EXPECT_EQ(Class(kStamped).ridCounter, 3u);
}

TEST_F(Rids, BumpPassesEveryStoredRid) {
    // 7 and 3 in the first chunk, 12 in the second.
    SCB *scb = TableWithRids({7, 3, 1, 1, 2, 12, 4});
    Class(kStamped).ridCounter = 5;
    ASSERT_EQ(FSBumpRIDCounter(scb), 0);
    EXPECT_EQ(Class(kStamped).ridCounter, 13u);
    ASSERT_EQ(FSBumpRIDCounter(scb), 0);
    EXPECT_EQ(Class(kStamped).ridCounter, 13u) << "run again it changes nothing";
    Class(kStamped).ridCounter = 40;
    ASSERT_EQ(FSBumpRIDCounter(scb), 0);
    EXPECT_EQ(Class(kStamped).ridCounter, 40u) << "a counter past every RID stays";
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);

    SCB *empty = CheckOut(MakeTable(kStamped), 0);
    Class(kStamped).ridCounter = 0;
    ASSERT_EQ(FSBumpRIDCounter(empty), 0);
    EXPECT_EQ(Class(kStamped).ridCounter, 1u) << "the maximum of an empty table is 0";
    ASSERT_EQ(FSBumpRIDCounter(empty), 0);
    EXPECT_EQ(Class(kStamped).ridCounter, 1u);

    SCB *plain = CheckOut(MakeShapedTable(kTwelve, {false, {3}}));
    Class(kTwelve).ridCounter = 2;
    EXPECT_EQ(FSBumpRIDCounter(plain), 0);
    EXPECT_EQ(Class(kTwelve).ridCounter, 2u) << "a class without RIDs is left alone";
    EXPECT_EQ(FSBumpRIDCounter(nullptr), FS_E_BAD_SCB);

    // A record that cannot be read leaves the counter as it was.
    Class(kStamped).ridCounter = 5;
    BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    EXPECT_NE(FSBumpRIDCounter(scb), 0);
    EXPECT_EQ(Class(kStamped).ridCounter, 5u);
}

TEST_F(Rids, RidToRixFindsTheFirstMatch) {
    // Chunks of 5: RIX 4 ends the first chunk, RIX 9 the second.
    SCB *scb = TableWithRids({1, 2, 3, 4, 77, 6, 7, 8, 9, 77, 11, 12});
    SCB *other = CheckOut(scb->tableNumber, 0);
    ASSERT_NE(FSIxOldLock(scb, 11, nullptr), nullptr);
    EXPECT_EQ(RID2RIX(scb, 77), 4u);
    EXPECT_EQ(FSError(scb), 0);
    EXPECT_EQ(RID2RIX(scb, 11), 10u);
    EXPECT_EQ(FSxGetCurrent(scb), 11u) << "the caller's own lock stays";
    EXPECT_EQ(RID2RIX(scb, 5), RIX_NONE);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RID);
    FSUnlock(scb);
    EXPECT_EQ(SlotOf(scb->tableNumber), other->sessionId) << "the walking session is gone";
    EXPECT_EQ(other->nextSession, scb);

    SCB *empty = CheckOut(MakeTable(kStamped));
    EXPECT_EQ(RID2RIX(empty, 0), RIX_NONE);
    EXPECT_EQ(FSError(empty), FS_E_BAD_RID);

    SCB bad{};
    EXPECT_EQ(RID2RIX(&bad, 1), RIX_NONE);
    EXPECT_EQ(RID2RIX(nullptr, 1), RIX_NONE);
    EXPECT_EQ(bad.status, 0) << "nothing is stored in a bad SCB";
}

TEST_F(Rids, RixToRidReadsTheLastFourBytes) {
    SCB *scb = TableWithRids({5, 6, 7, 8, 9, 10, 11});
    ASSERT_NE(FSIxOldLock(scb, 1, nullptr), nullptr);
    EXPECT_EQ(RIX2RID(scb, 0), 5u);
    EXPECT_EQ(RIX2RID(scb, 5), 10u) << "first record of the second chunk";
    EXPECT_EQ(RIX2RID(scb, 6), 11u);
    EXPECT_EQ(FSError(scb), 0);
    EXPECT_EQ(FSxGetCurrent(scb), 1u) << "the session's lock is not used";
    FSUnlock(scb);
    EXPECT_EQ(RIX2RID(scb, 7), RIX_NONE);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RIX);
    EXPECT_EQ(RIX2RID(scb, RIX_LAST), RIX_NONE);

    // A class without RIDs: the record's last four bytes all the same.
    uint16_t tid = MakeShapedTable(kTwelve, {true, {4, 4}});
    SCB *plain = CheckOut(tid, 0);
    uint32_t tail;
    std::memcpy(&tail, Pattern(tid, 6, 12).data() + 8, 4);
    EXPECT_EQ(RIX2RID(plain, 6), tail);

    // Records shorter than a RID hold none.
    SCB *bytes = CheckOut(MakeShapedTable(kBytes, {false, {9}}));
    EXPECT_EQ(RIX2RID(bytes, 8), RIX_NONE);
    EXPECT_EQ(FSError(bytes), FS_E_BAD_CLASS);
    EXPECT_EQ(RID2RIX(bytes, 0), RIX_NONE);
    EXPECT_EQ(FSError(bytes), FS_E_BAD_CLASS);
}

TEST_F(Rids, TableCountAndClassListTheTables) {
    EXPECT_EQ(FSTableCount(fcb_), 0u);
    EXPECT_EQ(FSTableCount(nullptr), 0u);
    uint16_t first = MakeTable(kTwelve), second = MakeTable(kBytes);
    EXPECT_EQ(FSTableCount(fcb_), 16u) << "the master table grows by 16 records";

    uint8_t cls = 0xAA;
    EXPECT_EQ(FSTableClass(fcb_, second, &cls), 0);
    EXPECT_EQ(cls, kBytes);
    ASSERT_EQ(FSDestroyTable(fcb_, second), 0);
    fcb_->h.lastStatus = 0;
    EXPECT_EQ(FSTableClass(fcb_, second, &cls), FS_E_BAD_TID);
    EXPECT_EQ(cls, 0) << "a free table record reads as class 0";
    cls = 0xAA;
    EXPECT_EQ(FSTableClass(fcb_, 15, &cls), FS_E_BAD_TID);
    EXPECT_EQ(cls, 0);
    cls = 0xAA;
    EXPECT_EQ(FSTableClass(fcb_, 16, &cls), FS_E_BAD_TID);
    EXPECT_EQ(cls, 0xAA) << "beyond the master table nothing is written";
    EXPECT_EQ(FSError(fcb_), 0) << "the file's last status is not touched";
    EXPECT_EQ(FSTableClass(nullptr, first, &cls), FS_E_BAD_FCB);

    for (int i = 0; i < 16; ++i) MakeTable(kSmall);
    EXPECT_EQ(FSTableCount(fcb_), 32u);
}

} // namespace
