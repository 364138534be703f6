// Index locking and chunk navigation: where a lock lands, what stays locked,
// the ends of a table, dirty marks, and failures.
#include <gtest/gtest.h>

#include <cstring>

#include "common/scratch_fcb.h"
#include "common/session_fixture.h"
#include "tables/thunks.h"

namespace {

class Locking : public SessionFileTest {
protected:
    // The record at p as a vector, and the pattern it should hold.
    std::vector<uint8_t> At(SCB *scb, const void *p) {
        auto *b = static_cast<const uint8_t *>(p);
        return {b, b + scb->recSize};
    }
    std::vector<uint8_t> Expected(SCB *scb, uint32_t rix) {
        return Pattern(scb->tableNumber, rix, scb->recSize);
    }
    Thunk ChunkThunk(SCB *scb) { return ThunkOf(fcb_, scb->chunkThunk); }
};

TEST_F(Locking, LastRecordAndEndOfTable) {
    SCB *scb = CheckOut(MakeShapedTable(kTwelve, {false, {5}}));
    void *rec = nullptr, *end = nullptr;
    ASSERT_EQ(FSIxLock(scb, RIX_LAST, &rec, &end), 0);
    EXPECT_EQ(At(scb, rec), Expected(scb, 4));
    EXPECT_EQ(end, scb->chunkEnd);
    EXPECT_EQ(static_cast<uint8_t *>(end) - static_cast<uint8_t *>(rec), 12);

    // Past the end: refused, and the lock held before stays as it was.
    EXPECT_EQ(FSIxLock(scb, 5, &rec, &end), FS_E_BAD_RIX);
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(rec, scb->curRec);
    EXPECT_EQ(FSxGetCurrent(scb), 4u);
    EXPECT_EQ(FSIxLockQuiet(scb, 9), scb->curRec);
    EXPECT_EQ(FSError(scb), FS_E_BAD_RIX);
    EXPECT_EQ(FSIxLockQuiet(scb, 2), scb->curRec);
    EXPECT_EQ(FSError(scb), 0);
    EXPECT_EQ(At(scb, scb->curRec), Expected(scb, 2));
    FSCheckIn(scb); // releases the lock

    SCB *empty = CheckOut(MakeTable(kTwelve));
    EXPECT_EQ(FSIxLock(empty, RIX_LAST, &rec, nullptr), FS_E_BAD_RIX);
    EXPECT_EQ(rec, nullptr);
    empty->status = 77;
    EXPECT_EQ(FSIxLockQuiet(empty, 0), nullptr);
    EXPECT_EQ(FSError(empty), 0) << "an empty table is quietly empty";
    FSCheckIn(empty);
}

TEST_F(Locking, ARixInTheLockedChunkOnlyMovesTheCurrentRecord) {
    SCB *scb = CheckOut(MakeShapedTable(kSmall, {true, {4, 4, 4}}));
    ASSERT_NE(FSIxOldLock(scb, 5, nullptr), nullptr);
    uint16_t middle = scb->chunkThunk;
    uint8_t *base = scb->chunkBase;
    uint32_t allocs = VMFaultCount(VM_OP_GALLOC) + VMFaultCount(VM_OP_ALLOC);
    ASSERT_NE(FSIxOldLock(scb, 7, nullptr), nullptr);
    EXPECT_EQ(scb->chunkBase, base);
    EXPECT_EQ(scb->curRec, base + 3 * 8);
    EXPECT_EQ(ChunkThunk(scb).lockCount, 1);

    // Another chunk: the first is unlocked, carrying its dirty mark.
    FSDirtyRec(scb);
    ASSERT_NE(FSIxOldLock(scb, 1, nullptr), nullptr);
    EXPECT_EQ(At(scb, scb->curRec), Expected(scb, 1));
    EXPECT_NE(scb->chunkThunk, middle);
    EXPECT_EQ(ThunkOf(fcb_, middle).lockCount, 0);
    EXPECT_TRUE(ThunkOf(fcb_, middle).flags & THUNK_DIRTY);
    EXPECT_EQ(scb->flags & FS_SCB_CHUNK_DIRTY, 0);
    EXPECT_EQ(VMFaultCount(VM_OP_GALLOC) + VMFaultCount(VM_OP_ALLOC), allocs)
        << "moving between resident chunks allocates nothing";
    FSCheckIn(scb);
}

// A walk over an indexed table of a class with at most 4 records per chunk,
// forward and back, with every lock of an unlocked block moving it: the
// pointers handed out are good exactly while their chunk is locked.
TEST_F(Locking, WalksCrossChunkBoundariesBothWays) {
    const TableShape shape{true, {4, 3, 4, 1, 4}};
    SCB *scb = CheckOut(MakeShapedTable(kSmall, shape));
    GlobalSetMoveOnLock(1);
    uint32_t rix = 0;
    for (void *p = FSIxOldLock(scb, 0, nullptr); p != nullptr; p = FSLockNext(scb), ++rix) {
        ASSERT_EQ(At(scb, p), Expected(scb, rix)) << "rix " << rix;
        ASSERT_EQ(FSxGetCurrent(scb), rix);
    }
    EXPECT_EQ(rix, 16u);
    EXPECT_EQ(FSError(scb), 0) << "the end of the table is not a failure";
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    EXPECT_EQ(scb->curRec, nullptr);

    rix = 16;
    for (void *p = FSIxOldLock(scb, RIX_LAST, nullptr); p != nullptr; p = FSLockPrev(scb)) {
        --rix;
        ASSERT_EQ(At(scb, p), Expected(scb, rix)) << "rix " << rix;
    }
    EXPECT_EQ(rix, 0u);
    EXPECT_EQ(FSError(scb), 0);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    FSCheckIn(scb);
}

TEST_F(Locking, ChunkStepsLandOnTheNeighbouringChunk) {
    SCB *scb = CheckOut(MakeShapedTable(kTwelve, {true, {10, 10}}));
    ASSERT_NE(FSIxOldLock(scb, 9, nullptr), nullptr);
    void *p = FSLockNext(scb);
    EXPECT_EQ(At(scb, p), Expected(scb, 10));
    EXPECT_EQ(scb->chunkFirstRix, 10u);
    p = FSLockPrev(scb);
    EXPECT_EQ(At(scb, p), Expected(scb, 9));
    EXPECT_EQ(scb->chunkFirstRix, 0u);

    ASSERT_NE(FSIxOldLock(scb, 15, nullptr), nullptr);
    p = FSIPrevChunk(scb);
    EXPECT_EQ(At(scb, p), Expected(scb, 9)) << "the previous chunk's last record, not its first";
    p = FSINextChunk(scb);
    EXPECT_EQ(At(scb, p), Expected(scb, 9)) << "inside a chunk it relocks the same record";
    FSCheckIn(scb);
}

TEST_F(Locking, StepsNeedALock) {
    SCB *scb = CheckOut(MakeShapedTable(kTwelve, {false, {3}}));
    for (auto step : {FSLockNext, FSLockPrev, FSINextChunk, FSIPrevChunk}) {
        scb->status = 0;
        EXPECT_EQ(step(scb), nullptr);
        EXPECT_EQ(FSError(scb), FS_E_LOCK_MISSING);
    }
    EXPECT_EQ(FSxGetCurrent(scb), RIX_NONE);
    EXPECT_EQ(FSError(scb), FS_E_LOCK_MISSING);
    EXPECT_EQ(FSTableSize(scb), 3u) << "the size needs no lock";

    ASSERT_NE(FSIxOldLock(scb, 2, nullptr), nullptr);
    EXPECT_EQ(FSLockNext(scb), nullptr);
    EXPECT_EQ(FSError(scb), 0);
    ASSERT_NE(FSIxOldLock(scb, 0, nullptr), nullptr);
    EXPECT_EQ(FSLockPrev(scb), nullptr);
    EXPECT_EQ(FSError(scb), 0);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    FSCheckIn(scb);
}

TEST_F(Locking, UnlockCarriesTheDirtyMarkOnlyForReadWriteSessions) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {4, 4}});
    ASSERT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0); // every chunk clean
    SCB *ro = CheckOut(tid, 0), *rw = CheckOut(tid, 1);

    ASSERT_NE(FSIxOldLock(ro, 1, nullptr), nullptr);
    uint16_t first = ro->chunkThunk;
    FSDirtyRec(ro);
    FSUnlock(ro);
    EXPECT_EQ(FSError(ro), FS_E_READ_ONLY);
    EXPECT_EQ(ThunkOf(fcb_, first).flags & THUNK_DIRTY, 0);
    EXPECT_EQ(FSIsSessDirty(ro), 0);
    FSUnlock(ro);
    EXPECT_EQ(FSError(ro), 0) << "a second unlock is harmless";

    ASSERT_NE(FSIxOldLock(rw, 3, nullptr), nullptr);
    FSDirtyRec(rw);
    EXPECT_NE(FSLockNext(rw), nullptr) << "steps into the second chunk";
    EXPECT_TRUE(ThunkOf(fcb_, first).flags & THUNK_DIRTY);
    EXPECT_EQ(FSIsSessDirty(rw), 1);
    EXPECT_TRUE(FSDirty(fcb_));
    FSCheckIn(ro);
    FSCheckIn(rw);
}

TEST_F(Locking, FailedRelockLeavesTheSessionUnlocked) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {4, 4}});
    ASSERT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0);
    GlobalReclaimDiscardable(); // the records must be read again
    SCB *scb = CheckOut(tid);
    ASSERT_NE(FSIxOldLock(scb, 1, nullptr), nullptr);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    void *rec = &rec;
    EXPECT_NE(FSIxLock(scb, 6, &rec, nullptr), 0);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    EXPECT_EQ(FSINextChunk(scb), nullptr);
    EXPECT_EQ(FSError(scb), FS_E_LOCK_MISSING);
}

} // namespace
