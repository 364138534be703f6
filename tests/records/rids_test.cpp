// Record IDs: class counters, repairing a counter from the stored RIDs, a
// record by its RID and a RID by its record, and the class of a table.
#include <gtest/gtest.h>

#include <cstring>

#include "blocks/cache.h"
#include "common/session_fixture.h"

namespace {

class Rids : public SessionFileTest {
protected:
    uint32_t &Counter(uint8_t cls) { return fcb_->classTable[cls].ridCounter; }
    // A table of kStamped (at most 5 records a chunk) whose records hold these RIDs.
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

TEST_F(Rids, CountersAndTheirRepair) {
    EXPECT_EQ(FSAllocRID(fcb_, kStamped), 1u);
    EXPECT_EQ(FSAllocRID(fcb_, kTwelve), 1u) << "each class counts on its own";
    EXPECT_EQ(FSAllocRID(fcb_, 200), RIX_NONE);
    EXPECT_EQ(FSError(fcb_), FS_E_BAD_CLASS);

    SCB *scb = TableWithRids({7, 3, 1, 1, 2, 12, 4}); // 12 in the second chunk
    for (auto [before, after] : {std::pair{5u, 13u}, {13u, 13u}, {40u, 40u}}) {
        Counter(kStamped) = before;
        ASSERT_EQ(FSBumpRIDCounter(scb), 0);
        EXPECT_EQ(Counter(kStamped), after) << "from " << before;
    }
    SCB *plain = CheckOut(MakeShapedTable(kTwelve, {false, {3}}));
    Counter(kTwelve) = 2;
    EXPECT_EQ(FSBumpRIDCounter(plain), 0);
    EXPECT_EQ(Counter(kTwelve), 2u) << "a class without RIDs is left alone";
    // A record that cannot be read leaves the counter as it was.
    Counter(kStamped) = 5;
    BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    EXPECT_NE(FSBumpRIDCounter(scb), 0);
    VMFaultReset();
    EXPECT_EQ(Counter(kStamped), 5u);
}

TEST_F(Rids, RidToRixAndBack) {
    SCB *scb = TableWithRids({1, 2, 3, 4, 77, 6, 7, 8, 9, 77, 11, 12}); // chunks of 5
    ASSERT_NE(FSIxOldLock(scb, 11, nullptr), nullptr);
    EXPECT_EQ(RID2RIX(scb, 77), 4u) << "the first match";
    EXPECT_EQ(RID2RIX(scb, 11), 10u);
    EXPECT_EQ(RIX2RID(scb, 5), 6u) << "first record of the second chunk";
    EXPECT_EQ(FSxGetCurrent(scb), 11u) << "the caller's own lock stays";
    EXPECT_EQ(RID2RIX(scb, 5), RIX_NONE);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RID);
    EXPECT_EQ(RIX2RID(scb, 12), RIX_NONE);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RIX);
    FSUnlock(scb);
    EXPECT_EQ(SlotOf(scb->tableNumber), scb->sessionId) << "the walking session is gone";
    SCB bad{};
    EXPECT_EQ(RID2RIX(&bad, 1), RIX_NONE);
    EXPECT_EQ(RID2RIX(nullptr, 1), RIX_NONE);
    EXPECT_EQ(bad.status, 0) << "nothing is stored in a bad SCB";
    // Records shorter than a RID hold none.
    SCB *bytes = CheckOut(MakeShapedTable(kBytes, {false, {9}}));
    EXPECT_EQ(RIX2RID(bytes, 8), RIX_NONE);
    EXPECT_EQ(FSError(bytes), FS_E_BAD_CLASS);
    EXPECT_EQ(RID2RIX(bytes, 0), RIX_NONE);
}

TEST_F(Rids, TableClassOfFreeAndMissingTables) {
    MakeTable(kTwelve);
    uint16_t second = MakeTable(kBytes);
    EXPECT_EQ(FSTableCount(fcb_), 16u) << "the master table grows by 16 records";
    uint8_t cls = 0xAA;
    ASSERT_EQ(FSDestroyTable(fcb_, second), 0);
    fcb_->h.lastStatus = 0;
    EXPECT_EQ(FSTableClass(fcb_, second, &cls), FS_E_BAD_TID);
    EXPECT_EQ(cls, 0) << "a free table record reads as class 0";
    cls = 0xAA;
    EXPECT_EQ(FSTableClass(fcb_, 16, &cls), FS_E_BAD_TID);
    EXPECT_EQ(cls, 0xAA) << "beyond the master table nothing is written";
    EXPECT_EQ(FSError(fcb_), 0) << "the file's last status is not touched";
    EXPECT_EQ(FSTableClass(nullptr, second, &cls), FS_E_BAD_FCB);
}

} // namespace
