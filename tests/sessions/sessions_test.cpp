// Sessions: check-out chains and the master-table pin, refusals that leave
// nothing behind, invalid and damaged input, closing with sessions open,
// index locking and navigation, and status texts.
#include <gtest/gtest.h>

#include <cstring>

#include "blocks/cache.h"
#include "common/session_fixture.h"
#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

using Sessions = SessionFileTest;

TEST_F(Sessions, ChainsPinsAndHandleReuse) {
    uint16_t tid = MakeTable(kTwelve), other = MakeTable(kSmall);
    SCB *first = CheckOut(tid), *second = CheckOut(tid, 0), *b = CheckOut(other);
    EXPECT_EQ(second->nextSession, first);
    EXPECT_EQ(SlotOf(tid), second->sessionId);
    EXPECT_EQ(MasterBusy(tid), 2) << "one pin per table, not per session";
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), FS_E_STILL_CHECKED_OUT) << "a pinned master chunk stays";

    // Out of the middle of a chain; the freed handle is taken again.
    SCB *third = CheckOut(tid);
    uint32_t freed = second->sessionId;
    FSCheckIn(second);
    EXPECT_EQ(third->nextSession, first);
    SCB *fourth = CheckOut(tid);
    EXPECT_EQ(fourth->sessionId, freed);
    for (SCB *s : {first, fourth, third, b}) FSCheckIn(s);
    EXPECT_EQ(MasterBusy(tid), 0);
    EXPECT_EQ(fcb_->sessions, nullptr) << "the registry is freed with its last session";
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0);
    GlobalReclaimDiscardable();
    EXPECT_EQ(SlotOf(tid), 0u) << "a written master table never holds a session handle";
}

TEST_F(Sessions, FailedCheckOutsLeaveNothingBehind) {
    MakeTable(kTwelve); // the root table, which is never destroyed
    uint16_t keep = MakeTable(kTwelve), gone = MakeTable(kTwelve);
    ASSERT_EQ(FSDestroyTable(fcb_, gone), 0);
    SCB *scb = reinterpret_cast<SCB *>(&scb);
    EXPECT_EQ(FSCheckOut(fcb_, gone, 1, &scb), FS_E_BAD_TID);
    EXPECT_EQ(scb, nullptr);
    EXPECT_EQ(FSCheckOut(fcb_, 400, 1, &scb), FS_E_BAD_TID);
    EXPECT_EQ(FSCheckOut(nullptr, keep, 1, &scb), FS_E_BAD_FCB);
    for (int open = 0; open < 2; ++open) {
        SCB *held = open ? CheckOut(keep) : nullptr;
        VMFaultFail(VM_OP_ALLOC, 0, 0);
        EXPECT_EQ(FSCheckOut(fcb_, keep, 1, &scb), FS_E_NOMEM);
        VMFaultReset();
        EXPECT_EQ(scb, nullptr);
        EXPECT_EQ(MasterBusy(keep), open) << "the pin of the failed session was given back";
        EXPECT_EQ(SlotOf(keep), open ? held->sessionId : 0u);
        if (held) FSCheckIn(held);
    }
}

TEST_F(Sessions, InvalidSessionsAreRefusedEverywhere) {
    uint16_t tid = MakeShapedTable(kTwelve, {false, {3}});
    SCB *live = CheckOut(tid);
    SCB fake;
    std::memcpy(&fake, live, sizeof fake);
    fake.magic = 0; // what a checked-in session looks like
    for (SCB *bad : {static_cast<SCB *>(nullptr), &fake}) {
        void *rec = &fake, *end = nullptr;
        EXPECT_EQ(FSIxLock(bad, 0, &rec, &end), FS_E_BAD_SCB);
        EXPECT_EQ(rec, &fake) << "out pointers are left alone";
        EXPECT_EQ(FSIxOldLock(bad, 0, &end), nullptr);
        EXPECT_EQ(FSIxLockQuiet(bad, 0), nullptr);
        for (auto step : {FSLockNext, FSLockPrev, FSINextChunk, FSIPrevChunk}) EXPECT_EQ(step(bad), nullptr);
        EXPECT_EQ(FSxGetCurrent(bad), RIX_NONE);
        EXPECT_EQ(FSTableSize(bad), 0u);
        EXPECT_EQ(FSIAddLock(bad, 0, 1, 0, &rec), FS_E_BAD_SCB);
        EXPECT_EQ(FSIRecOps(bad, FSOpDelete, 0, 1, nullptr, 0), FS_E_BAD_SCB);
        FSUnlock(bad);
        FSDirtyRec(bad);
        FSCheckIn(bad);
    }
    EXPECT_EQ(fake.status, 0) << "nothing is stored in an invalid session";
    EXPECT_EQ(FSIRecOps(live, FSOpCopy, 0, 1, &fake, 0), FS_E_BAD_SCB);
    FCB dead{};
    fake.magic = FS_MAGIC;
    fake.fcb = &dead; // a session whose file is not valid is not checked in
    FSCheckIn(&fake);
    EXPECT_EQ(fake.magic, FS_MAGIC);
    EXPECT_EQ(SlotOf(tid), live->sessionId) << "a refused check-in unchained nothing";
    EXPECT_EQ(TableBytes(tid), Patterns(tid, 3, 12));
    FSCheckIn(live);
}

// A table record or index read from a damaged file must not lead a session
// outside its chunks, nor make the library follow a handle that names nothing.
TEST_F(Sessions, DamagedTableRecordsAndIndexesAreHandledSafely) {
    uint16_t tid = MakeShapedTable(kTwelve, {false, {4}});
    auto edit = [&](auto change) {
        TableRecord *rec;
        uint16_t master;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        change(rec);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
    };
    SCB *other = CheckOut(MakeTable(kSmall)); // a live handle of another table
    for (uint32_t stale : {0xDEADBEEFu, other->sessionId}) {
        edit([&](TableRecord *rec) { rec->sessions = stale; });
        SCB *scb = CheckOut(tid);
        ASSERT_NE(scb, nullptr);
        EXPECT_EQ(scb->nextSession, nullptr) << "a stale or foreign handle is not this chain";
        FSCheckIn(scb);
        EXPECT_EQ(SlotOf(tid), 0u);
        EXPECT_EQ(MasterBusy(tid), 1) << "only the other table's pin is left";
    }
    FSCheckIn(other);
    SCB *scb = nullptr;
    edit([](TableRecord *rec) { rec->flags |= TABLE_INDEXED; }); // top is a data chunk
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    EXPECT_EQ(MasterBusy(tid), 0);
    edit([](TableRecord *rec) { rec->flags &= ~TABLE_INDEXED; rec->cls = kSixteen; }); // larger records
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    edit([](TableRecord *rec) { rec->cls = 200; }); // no descriptor
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);

    // A data chunk of another class inside an index is refused when locked.
    uint16_t indexed = MakeShapedTable(kTwelve, {true, {3, 3}});
    {
        TableRecord *rec;
        uint16_t master, top, child;
        void *data;
        ASSERT_EQ(TBFindTable(fcb_, indexed, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
        ASSERT_EQ(TBLockChunk(fcb_, top, &data), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &static_cast<ChunkRef *>(data)[1], &child), 0);
        ThunkLock lock(fcb_);
        ThunkAt(fcb_, child)->cls = kSixteen;
        ASSERT_EQ(TBUnlockChunk(fcb_, top, 0), 0);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 0), 0);
    }
    scb = CheckOut(indexed);
    EXPECT_NE(FSIxOldLock(scb, 1, nullptr), nullptr);
    EXPECT_EQ(FSIxOldLock(scb, 4, nullptr), nullptr);
    EXPECT_EQ(FSError(scb), FS_E_BAD_CLASS);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    FSCheckIn(scb);
}

// Sessions left open, locked or not, on chunks of an indexed master table,
// are checked in by the close, also in the fatal state; the sanitizer build
// proves that nothing leaks.
TEST_F(Sessions, CloseChecksInSessionsLeftOpen) {
    for (bool fatal : {false, true}) {
        if (fatal) {
            TearDown();
            SetUp();
        }
        std::vector<uint16_t> tids;
        for (int i = 0; i < 300; ++i) tids.push_back(MakeTable(kSmall));
        Shape(tids[0], {true, {4, 4}});
        CheckOut(tids[0]);
        SCB *locked = CheckOut(tids[0], 0);
        EXPECT_NE(FSIxOldLock(locked, 5, nullptr), nullptr);
        FSDirtyRec(locked);
        CheckOut(tids[299]);
        if (fatal) fcb_->h.stateFlags |= STATE_FATAL;
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
    }
}

TEST_F(Sessions, LockingAndChunkSteps) {
    SCB *scb = CheckOut(MakeShapedTable(kTwelve, {true, {10, 10}}));
    auto at = [&](const void *p, uint32_t rix) {
        return std::memcmp(p, Pattern(scb->tableNumber, rix, 12).data(), 12) == 0;
    };
    for (auto step : {FSLockNext, FSLockPrev, FSINextChunk, FSIPrevChunk}) {
        EXPECT_EQ(step(scb), nullptr);
        EXPECT_EQ(FSError(scb), FS_E_LOCK_MISSING);
    }
    void *rec = nullptr, *end = nullptr;
    ASSERT_EQ(FSIxLock(scb, RIX_LAST, &rec, &end), 0);
    EXPECT_TRUE(at(rec, 19));
    EXPECT_EQ(static_cast<uint8_t *>(end) - static_cast<uint8_t *>(rec), 12);
    EXPECT_EQ(FSIxLock(scb, 20, &rec, &end), FS_E_BAD_RIX);
    EXPECT_EQ(FSxGetCurrent(scb), 19u) << "a refused lock keeps the one held";
    EXPECT_EQ(FSLockNext(scb), nullptr);
    EXPECT_EQ(FSError(scb), 0) << "the end of the table is not a failure";

    // Moving inside the locked chunk allocates nothing.
    ASSERT_NE(FSIxOldLock(scb, 15, nullptr), nullptr);
    uint8_t *base = scb->chunkBase;
    uint32_t allocs = VMFaultCount(VM_OP_GALLOC) + VMFaultCount(VM_OP_ALLOC);
    ASSERT_NE(FSIxOldLock(scb, 17, nullptr), nullptr);
    EXPECT_EQ(scb->chunkBase, base);
    EXPECT_EQ(VMFaultCount(VM_OP_GALLOC) + VMFaultCount(VM_OP_ALLOC), allocs);
    EXPECT_TRUE(at(FSIPrevChunk(scb), 9)) << "the previous chunk's last record, not its first";
    EXPECT_TRUE(at(FSINextChunk(scb), 9)) << "inside a chunk it relocks the same record";
    EXPECT_TRUE(at(FSLockNext(scb), 10));
    EXPECT_EQ(scb->chunkFirstRix, 10u);
    FSCheckIn(scb);

    SCB *empty = CheckOut(MakeTable(kTwelve));
    empty->status = 77;
    EXPECT_EQ(FSIxLockQuiet(empty, 0), nullptr);
    EXPECT_EQ(FSError(empty), 0) << "an empty table is quietly empty";
    FSCheckIn(empty);
}

TEST_F(Sessions, DirtyMarksAndFailedRelocks) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {4, 4}});
    ASSERT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0);
    GlobalReclaimDiscardable(); // every chunk clean, to be read again
    SCB *ro = CheckOut(tid, 0), *rw = CheckOut(tid, 1);
    ASSERT_NE(FSIxOldLock(ro, 1, nullptr), nullptr);
    uint16_t first = ro->chunkThunk;
    FSDirtyRec(ro);
    FSUnlock(ro);
    EXPECT_EQ(FSError(ro), FS_E_READ_ONLY);
    EXPECT_EQ(ThunkOf(fcb_, first).flags & THUNK_DIRTY, 0) << "a read-only session marks nothing";
    ASSERT_NE(FSIxOldLock(rw, 3, nullptr), nullptr);
    FSDirtyRec(rw);
    EXPECT_NE(FSLockNext(rw), nullptr) << "steps into the second chunk";
    EXPECT_TRUE(ThunkOf(fcb_, first).flags & THUNK_DIRTY);
    EXPECT_EQ(FSIsSessDirty(rw), 1);
    FSUnlock(rw);
    BKFlush(fcb_, BK_QUOTA_ALL); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();

    ASSERT_NE(FSIxOldLock(rw, 1, nullptr), nullptr);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    void *rec = &rec;
    EXPECT_NE(FSIxLock(rw, 6, &rec, nullptr), 0);
    VMFaultReset();
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(rw->flags & FS_SCB_LOCKED, 0) << "a failed relock leaves the session unlocked";
    EXPECT_EQ(FSINextChunk(rw), nullptr);
    EXPECT_EQ(FSError(rw), FS_E_LOCK_MISSING);
}

TEST(Messages, TextsAreTruncatedAndBadHandlesIgnored) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(FSErrorStr(20519, buf, 10), 1);
    EXPECT_STREQ(buf, "Internal ");
    EXPECT_EQ(buf[10], 'x');
    EXPECT_EQ(FSErrorStr(20519, buf, 1), 0);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "keep");
    EXPECT_EQ(FSErrorStr(20519, buf, 0), 0);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(FSErrorStr(20519, nullptr, 80), 0);
    EXPECT_EQ(FSErrorStr(0, buf, sizeof buf), 0);
    EXPECT_EQ(FSErrorStr(20555, buf, sizeof buf), 0) << "past the table";
    EXPECT_EQ(FSErrorStr(20500, buf, sizeof buf), 0) << "a gap in the table";
    EXPECT_EQ(FSError(nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSDirty(nullptr), 0);
    FSClearDirty(nullptr);
    FCB stale{}; // no magic: nothing changes
    FSDirtyFile(&stale);
    EXPECT_EQ(FSDirtied(&stale), 0);
}

} // namespace
