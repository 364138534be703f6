// Runs of records to and from the host's memory: buffers and movable blocks
// filled from a table across chunks, records added from them, and refusals
// that write nothing and leave no block behind.
#include <gtest/gtest.h>

#include <cstring>

#include "blocks/cache.h"
#include "common/session_fixture.h"
#include "platform/census.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Handles = SessionFileTest;

Bytes Slice(const Bytes &all, uint32_t first, uint32_t count, uint16_t size) {
    return Bytes(all.begin() + first * size, all.begin() + (first + count) * size);
}

TEST_F(Handles, FillPtrAndBuildHandleCopyRunsAcrossChunks) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {10, 3, 7}});
    const Bytes all = Patterns(tid, 20, 12);
    SCB *scb = CheckOut(tid, 0);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "resident" : "reloaded, moving blocks");
        for (auto [first, count] : {std::pair{0u, 20u}, {8u, 6u}, {9u, 1u}, {10u, 3u}, {12u, 8u}}) {
            Bytes got(count * 12);
            ASSERT_EQ(FSFillPtr(scb, first, count, got.data()), 0) << first << "+" << count;
            EXPECT_EQ(got, Slice(all, first, count, 12)) << first << "+" << count;
        }
        BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
        GlobalReclaimDiscardable();
        GlobalSetMoveOnLock(1);
    }
    ASSERT_NE(FSIxOldLock(scb, 15, nullptr), nullptr);
    Bytes guard(48, 0xEE);
    ASSERT_EQ(FSFillPtr(scb, 1, 2, guard.data()), 0) << "a lock the session held is released";
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    EXPECT_FALSE(FSIsSessDirty(scb)) << "nothing is marked to be written";
    guard.assign(48, 0xEE);
    for (auto [first, count] : {std::pair{3u, 0u}, {19u, 2u}, {20u, 1u}, {0xFFFFFFFFu, 2u}})
        EXPECT_EQ(FSFillPtr(scb, first, count, guard.data()), FS_E_BAD_RIX) << first << "+" << count;
    EXPECT_EQ(guard, Bytes(48, 0xEE));
    EXPECT_EQ(FSFillPtr(scb, 0, 1, nullptr), FS_E_NULL_DATA);

    const uint32_t blocks = zun::LiveGlobalBlocks();
    HGLOBAL h = 0;
    ASSERT_EQ(FSBuildHandle(scb, 5, 5, &h), 0);
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u) << "handed over unlocked";
    auto *p = static_cast<uint8_t *>(GlobalLock(h));
    EXPECT_EQ(Bytes(p, p + 60), Slice(all, 5, 5, 12));
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), 0u) << "the block is the host's";
    h = 0xDEAD;
    EXPECT_EQ(FSBuildHandle(scb, 18, 5, &h), FS_E_BAD_RIX);
    EXPECT_EQ(h, 0u);
    h = 0xDEAD;
    VMFaultFail(VM_OP_GALLOC, 0, VM_E_NOMEM);
    EXPECT_EQ(FSBuildHandle(scb, 0, 12, &h), FS_E_NOMEM);
    VMFaultReset();
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(FSBuildHandle(scb, 0, 1, nullptr), FS_E_BAD_HANDLE_PARAM);
    EXPECT_EQ(zun::LiveGlobalBlocks(), blocks) << "a failed build leaves no block behind";
    FSCheckIn(scb);
}

TEST_F(Handles, AddPtrAndAddHandleInsertTheHostsBytes) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {6, 4}});
    const Bytes all = Patterns(tid, 10, 12), host = Patterns(900, 25, 12);
    SCB *scb = CheckOut(tid), *other = CheckOut(tid, 0);
    ASSERT_EQ(FSIAddPtr(scb, 3, 25, 0, host.data()), 0);
    Bytes expected = Slice(all, 0, 3, 12);
    expected.insert(expected.end(), host.begin(), host.end());
    expected.insert(expected.end(), all.begin() + 36, all.end());
    EXPECT_EQ(TableBytes(tid), expected);
    EXPECT_EQ(FSTableSize(other), 35u);
    EXPECT_EQ(FSIAddPtr(scb, 4, 0, 0, host.data()), 0) << "no records: nothing changes";
    // Replace empties the table first; 0 and RIX_LAST are then the same place.
    for (uint32_t at : {0u, RIX_LAST}) {
        ASSERT_EQ(FSIAddPtr(scb, at, 7, 1, host.data()), 0);
        EXPECT_EQ(TableBytes(tid), Slice(host, 0, 7, 12));
    }
    EXPECT_EQ(FSIAddPtr(scb, 8, 1, 0, host.data()), FS_E_BAD_RIX);
    EXPECT_EQ(FSIAddPtr(scb, 3, 1, 1, host.data()), FS_E_BAD_RIX) << "must fit the emptied table";
    EXPECT_EQ(FSIAddPtr(scb, 0, 1, 0, nullptr), FS_E_NULL_DATA);
    EXPECT_EQ(FSIAddPtr(other, 0, 1, 0, host.data()), FS_E_READ_ONLY);
    ASSERT_NE(FSIxOldLock(other, 2, nullptr), nullptr);
    EXPECT_EQ(FSIAddPtr(scb, 0, 1, 1, host.data()), FS_E_LOCK_FOUND);
    FSUnlock(other);

    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 60);
    ASSERT_NE(h, 0u);
    std::memcpy(GlobalLock(h), host.data() + 120, 60);
    GlobalUnlock(h);
    ASSERT_EQ(FSIAddHandle(scb, 1, 5, 0, h), 0);
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 0u) << "the block is unlocked again";
    expected = Slice(host, 0, 1, 12);
    for (const Bytes &part : {Slice(host, 10, 5, 12), Slice(host, 1, 6, 12)})
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(TableBytes(tid), expected);
    EXPECT_EQ(FSIAddHandle(scb, 0, 1, 0, 0), FS_E_NULL_DATA);
    EXPECT_EQ(FSIAddHandle(scb, 0, 6, 0, h), FS_E_BAD_HANDLE_PARAM) << "more records than it holds";
    ASSERT_EQ(GlobalFree(h), 0u);
    EXPECT_EQ(FSIAddHandle(scb, 0, 1, 0, h), FS_E_BAD_HANDLE_PARAM) << "a freed block";
    EXPECT_EQ(TableBytes(tid), expected);

    // Records with RIDs come only through FSIAddLock, which stamps them.
    SCB *stamped = CheckOut(MakeTable(kStamped));
    ASSERT_EQ(FSIAddLock(stamped, 0, 2, 0, nullptr), 0);
    const Bytes before = TableBytes(stamped->tableNumber);
    for (uint32_t replace : {0u, 1u})
        EXPECT_EQ(FSIAddPtr(stamped, 0, 1, replace, host.data()), FS_E_RID_CLASS);
    EXPECT_EQ(TableBytes(stamped->tableNumber), before);
    for (SCB *s : {scb, other, stamped}) FSCheckIn(s);
}

} // namespace
