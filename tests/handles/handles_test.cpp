// Runs of records to and from the host's memory: buffers and movable blocks
// filled from a table, records added from them, refusals that change
// nothing, and adds that fail part-way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "blocks/cache.h"
#include "common/fault_loop.h"
#include "common/session_fixture.h"
#include "platform/census.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Handles : public SessionFileTest {
protected:
    // Bytes of records [first, first + count) of the table as Shape wrote it.
    static Bytes Slice(const Bytes &all, uint32_t first, uint32_t count, uint16_t size) {
        return Bytes(all.begin() + first * size, all.begin() + (first + count) * size);
    }
    static Bytes Concat(std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    }
    // Host records, distinct from any table's.
    static Bytes Host(uint32_t count, uint16_t size) { return Patterns(900, count, size); }
    bool Unlocked(const SCB *scb) { return (scb->flags & FS_SCB_LOCKED) == 0; }
};

TEST_F(Handles, FillPtrCopiesRunsAcrossChunks) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {10, 3, 7}});
    const Bytes all = Patterns(tid, 20, 12);
    SCB *scb = CheckOut(tid, 0);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "resident" : "reloaded, moving blocks");
        const std::pair<uint32_t, uint32_t> runs[] = {{0, 20}, {2, 3}, {8, 6}, {9, 1},
                                                      {10, 3}, {12, 8}, {19, 1}};
        for (auto [first, count] : runs) {
            Bytes got(count * 12);
            ASSERT_EQ(FSFillPtr(scb, first, count, got.data()), 0) << first << "+" << count;
            EXPECT_EQ(got, Slice(all, first, count, 12)) << first << "+" << count;
            EXPECT_TRUE(Unlocked(scb));
        }
        BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
        GlobalReclaimDiscardable();
        GlobalSetMoveOnLock(1);
    }
    ASSERT_NE(FSIxOldLock(scb, 15, nullptr), nullptr);
    Bytes got(24);
    ASSERT_EQ(FSFillPtr(scb, 1, 2, got.data()), 0) << "a lock the session held is released";
    EXPECT_TRUE(Unlocked(scb));
    EXPECT_FALSE(FSIsSessDirty(scb)) << "nothing is marked to be written";

    Bytes guard(48, 0xEE);
    const std::pair<uint32_t, uint32_t> outside[] = {{3, 0}, {19, 2}, {20, 1}, {0xFFFFFFFF, 2}};
    for (auto [first, count] : outside) {
        EXPECT_EQ(FSFillPtr(scb, first, count, guard.data()), FS_E_BAD_RIX)
            << first << "+" << count;
        EXPECT_EQ(FSError(scb), FS_E_BAD_RIX);
    }
    EXPECT_EQ(guard, Bytes(48, 0xEE));
    EXPECT_EQ(FSFillPtr(scb, 0, 1, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(FSFillPtr(nullptr, 0, 1, guard.data()), FS_E_BAD_SCB);
    FSCheckIn(scb);
}

TEST_F(Handles, BuildHandleHoldsWhatFillPtrGives) {
    uint16_t tid = MakeShapedTable(kSmall, {true, {4, 4, 4}});
    SCB *scb = CheckOut(tid, 0);
    const uint32_t blocks = zun::LiveGlobalBlocks();
    HGLOBAL h = 0;
    ASSERT_EQ(FSBuildHandle(scb, 5, 5, &h), 0);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u) << "handed over unlocked";
    EXPECT_GE(GlobalSize(h), 40u);
    Bytes filled(40);
    ASSERT_EQ(FSFillPtr(scb, 5, 5, filled.data()), 0);
    auto *p = static_cast<uint8_t *>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p, p + 40), filled);
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), 0u) << "the block is the host's";

    h = 0xDEAD;
    EXPECT_EQ(FSBuildHandle(scb, 10, 5, &h), FS_E_BAD_RIX);
    EXPECT_EQ(h, 0u);
    h = 0xDEAD;
    VMFaultFail(VM_OP_GALLOC, 0, VM_E_NOMEM);
    EXPECT_EQ(FSBuildHandle(scb, 0, 12, &h), FS_E_NOMEM);
    VMFaultReset();
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(FSError(scb), FS_E_NOMEM);
    EXPECT_EQ(FSBuildHandle(scb, 0, 1, nullptr), FS_E_BAD_HANDLE_PARAM);
    EXPECT_EQ(FSBuildHandle(nullptr, 0, 1, &h), FS_E_BAD_SCB);
    EXPECT_EQ(zun::LiveGlobalBlocks(), blocks) << "a failed build leaves no block behind";
    FSCheckIn(scb);
}

TEST_F(Handles, AddPtrInsertsTheHostsBytes) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {6, 4}});
    const Bytes all = Patterns(tid, 10, 12), host = Host(25, 12);
    SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
    ASSERT_EQ(FSIAddPtr(scb, RIX_LAST, 25, 0, host.data()), 0);
    EXPECT_EQ(TableBytes(tid), Concat({all, host}));
    ASSERT_EQ(FSIAddPtr(scb, 3, 2, 0, host.data() + 24), 0);
    EXPECT_EQ(TableBytes(tid),
              Concat({Slice(all, 0, 3, 12), Slice(host, 2, 2, 12), Slice(all, 3, 7, 12), host}));
    EXPECT_EQ(FSTableSize(other), 37u);
    EXPECT_TRUE(Unlocked(scb));
    EXPECT_TRUE(FSDirtied(fcb_));

    // No records: nothing changes and nothing stays locked.
    EXPECT_EQ(FSIAddPtr(scb, 4, 0, 0, host.data()), 0);
    EXPECT_EQ(FSIAddPtr(scb, RIX_LAST, 0, 0, host.data()), 0);
    EXPECT_TRUE(Unlocked(scb));
    EXPECT_EQ(FSTableSize(scb), 37u);

    // Replace empties the table first; 0 and RIX_LAST are then the same place.
    for (uint32_t at : {0u, RIX_LAST}) {
        ASSERT_EQ(FSIAddPtr(scb, at, 7, 1, host.data()), 0);
        EXPECT_EQ(TableBytes(tid), Slice(host, 0, 7, 12));
        EXPECT_EQ(FSTableSize(other), 7u);
    }
    ASSERT_EQ(FSIAddPtr(scb, 0, 0, 1, host.data()), 0);
    EXPECT_EQ(FSTableSize(other), 0u);
    FSCheckIn(scb);
    FSCheckIn(other);
}

TEST_F(Handles, AddRefusalsChangeNothing) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {6, 4}});
    const Bytes all = Patterns(tid, 10, 12), host = Host(3, 12);
    SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
    EXPECT_EQ(FSIAddPtr(scb, 11, 1, 0, host.data()), FS_E_BAD_RIX);
    // With replace the position must fit the emptied table.
    EXPECT_EQ(FSIAddPtr(scb, 3, 1, 1, host.data()), FS_E_BAD_RIX);
    EXPECT_EQ(FSIAddPtr(scb, 10, 1, 1, host.data()), FS_E_BAD_RIX);
    EXPECT_EQ(FSIAddPtr(scb, 0, 1, 0, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(FSError(scb), FS_E_NULL_DATA);
    EXPECT_EQ(FSIAddPtr(other, 0, 1, 0, host.data()), FS_E_READ_ONLY);
    ASSERT_NE(FSIxOldLock(other, 7, nullptr), nullptr);
    EXPECT_EQ(FSIAddPtr(scb, 0, 1, 1, host.data()), FS_E_LOCK_FOUND);
    EXPECT_EQ(FSIAddPtr(scb, 0, 1, 0, host.data()), FS_E_LOCK_FOUND);
    FSUnlock(other);
    EXPECT_EQ(FSIAddPtr(nullptr, 0, 1, 0, host.data()), FS_E_BAD_SCB);
    EXPECT_EQ(TableBytes(tid), all);

    // Records with RIDs come only through FSIAddLock, which stamps them.
    SCB *stamped = CheckOut(MakeTable(kStamped));
    ASSERT_EQ(FSIAddLock(stamped, 0, 2, 0, nullptr), 0);
    const uint32_t rids = fcb_->classTable[kStamped].ridCounter;
    const Bytes before = TableBytes(stamped->tableNumber);
    EXPECT_EQ(FSIAddPtr(stamped, 0, 1, 0, host.data()), FS_E_RID_CLASS);
    EXPECT_EQ(FSError(stamped), FS_E_RID_CLASS);
    EXPECT_EQ(FSIAddPtr(stamped, 0, 1, 1, host.data()), FS_E_RID_CLASS);
    EXPECT_EQ(TableBytes(stamped->tableNumber), before);
    EXPECT_EQ(fcb_->classTable[kStamped].ridCounter, rids);
    for (SCB *s : {scb, other, stamped}) FSCheckIn(s);
}

TEST_F(Handles, AddHandleReadsTheHostsBlock) {
    uint16_t tid = MakeShapedTable(kSixteen, {false, {2}});
    const Bytes host = Host(5, 16);
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 80);
    ASSERT_NE(h, 0u);
    std::memcpy(GlobalLock(h), host.data(), 80);
    GlobalUnlock(h);
    SCB *scb = CheckOut(tid);
    ASSERT_EQ(FSIAddHandle(scb, 1, 5, 0, h), 0);
    EXPECT_EQ(TableBytes(tid), Concat({Pattern(tid, 0, 16), host, Pattern(tid, 1, 16)}));
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u) << "the block is unlocked again";

    EXPECT_EQ(FSIAddHandle(scb, 0, 1, 0, 0), FS_E_NULL_DATA);
    EXPECT_EQ(FSError(scb), FS_E_NULL_DATA);
    EXPECT_EQ(FSIAddHandle(scb, 0, 6, 0, h), FS_E_BAD_HANDLE_PARAM) << "more records than it holds";
    EXPECT_EQ(FSIAddHandle(scb, 9, 1, 0, h), FS_E_BAD_RIX);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RIX);
    ASSERT_EQ(GlobalFree(h), 0u);
    EXPECT_EQ(FSIAddHandle(scb, 0, 1, 0, h), FS_E_BAD_HANDLE_PARAM) << "a freed block";
    EXPECT_EQ(FSTableSize(scb), 7u);
    FSCheckIn(scb);
}

// Each allocation of an add fails in turn, once or for good. A failed add
// leaves the records the table held; with replace the emptying may stand.
TEST_F(Handles, FailedAddsKeepTheTablesRecords) {
    const Bytes host = Host(30, 8);
    MakeTable(kSmall); // the root table, so that the others can be destroyed
    ForEachFault(VM_OP_GALLOC, VM_E_NOMEM, [&](FaultRun &fault) {
        uint16_t tid = MakeShapedTable(kSmall, {true, {4, 3, 4}});
        const Bytes all = Patterns(tid, 11, 8);
        SCB *scb = CheckOut(tid);
        for (uint32_t replace : {0u, 1u}) {
            const Bytes before = TableBytes(tid);
            fault.Arm();
            FSStatus status = FSIAddPtr(scb, replace ? 0 : 2, 30, replace, host.data());
            fault.Disarm();
            const Bytes after = TableBytes(tid);
            EXPECT_EQ(FSTableSize(scb) * 8, after.size());
            EXPECT_TRUE(Unlocked(scb));
            if (replace && status == 0) {
                EXPECT_EQ(after, host);
            } else if (status == 0) {
                EXPECT_EQ(after, Concat({Slice(all, 0, 2, 8), host, Slice(all, 2, 9, 8)}));
            } else if (replace) { // emptied, perhaps with blank records left
                bool blank =
                    std::all_of(after.begin(), after.end(), [](uint8_t b) { return b == 0; });
                EXPECT_TRUE(after == before || (blank && !fault.once)) << "status " << status;
            } else if (fault.once) {
                EXPECT_EQ(after, all) << "status " << status;
            } else { // the undo may itself have run out of memory
                ASSERT_GE(after.size(), all.size());
                EXPECT_EQ(Slice(after, 0, 2, 8), Slice(all, 0, 2, 8));
                EXPECT_EQ(Bytes(after.end() - 72, after.end()), Slice(all, 2, 9, 8));
            }
        }
        FSCheckIn(scb);
        ASSERT_EQ(FSDestroyTable(fcb_, tid), 0);
    });
}

} // namespace
