// Check-out and check-in: session chains, the pin of the master-table chunk,
// refusals, damaged table records, and closing a file with sessions open.
#include <gtest/gtest.h>

#include <cstring>

#include "common/session_fixture.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

using Sessions = SessionFileTest;

TEST_F(Sessions, TwoReadWriteSessionsChainNewestFirst) {
    uint16_t tid = MakeTable(kTwelve);
    SCB *first = CheckOut(tid, 1), *second = CheckOut(tid, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->nextSession, first);
    EXPECT_EQ(first->nextSession, nullptr);
    EXPECT_EQ(SlotOf(tid), second->sessionId);
    EXPECT_NE(first->sessionId, second->sessionId);
    for (SCB *s : {first, second}) {
        EXPECT_EQ(s->magic, FS_MAGIC);
        EXPECT_EQ(s->flags, FS_SCB_READ_WRITE | FS_SCB_SINGLE_CHUNK);
        EXPECT_EQ(s->fcb, fcb_);
        EXPECT_EQ(s->tableNumber, tid);
        EXPECT_EQ(s->classNumber, kTwelve);
        EXPECT_EQ(s->recSize, 12);
        EXPECT_EQ(s->recCount, 0u);
        EXPECT_EQ(s->mode, 1);
        EXPECT_EQ(s->chunkBase, nullptr);
    }

    // Out of the middle of a chain; the freed handle is taken again.
    SCB *third = CheckOut(tid);
    uint32_t freed = second->sessionId;
    FSCheckIn(second);
    EXPECT_EQ(third->nextSession, first);
    EXPECT_EQ(SlotOf(tid), third->sessionId);
    SCB *fourth = CheckOut(tid);
    EXPECT_EQ(fourth->nextSession, third);
    EXPECT_EQ(fourth->sessionId, freed);
    FSCheckIn(first);
    EXPECT_EQ(third->nextSession, nullptr);
    FSCheckIn(fourth);
    EXPECT_EQ(SlotOf(tid), third->sessionId);
    FSCheckIn(third);
    EXPECT_EQ(SlotOf(tid), 0u);
    EXPECT_EQ(fcb_->sessionsOpen, 0u);
    EXPECT_EQ(fcb_->sessions, nullptr) << "the registry is freed with its last session";
}

TEST_F(Sessions, MasterChunkIsPinnedOncePerTableWithSessions) {
    uint16_t t1 = MakeTable(kTwelve), t2 = MakeTable(kSmall);
    SCB *a1 = CheckOut(t1), *a2 = CheckOut(t1, 0), *b = CheckOut(t2);
    EXPECT_EQ(MasterBusy(t1), 2) << "one pin per table, not per session";
    FSCheckIn(a1);
    EXPECT_EQ(MasterBusy(t1), 2);
    FSCheckIn(a2);
    EXPECT_EQ(MasterBusy(t1), 1);
    FSCheckIn(b);
    EXPECT_EQ(MasterBusy(t1), 0);
}

TEST_F(Sessions, PinnedMasterChunkIsNotWrittenBack) {
    uint16_t tid = MakeTable(kTwelve);
    SCB *scb = CheckOut(tid);
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), FS_E_STILL_CHECKED_OUT);
    EXPECT_EQ(SlotOf(tid), scb->sessionId) << "the slot stayed in memory";
    FSCheckIn(scb);
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0);
    GlobalReclaimDiscardable();
    EXPECT_EQ(SlotOf(tid), 0u) << "a written master table never holds a session handle";
}

TEST_F(Sessions, SessionFieldsFollowTheTableAndMode) {
    uint16_t indexed = MakeShapedTable(kTwelve, {true, {5, 7, 2}});
    uint16_t stamped = MakeTable(kStamped);
    SCB *s = CheckOut(indexed, 2);
    EXPECT_EQ(s->recCount, 14u);
    EXPECT_EQ(s->mode, 2);
    EXPECT_EQ(s->flags, 0) << "mode 2 is read-only; an indexed table is not single-chunk";
    SCB *r = CheckOut(stamped, 1);
    EXPECT_EQ(r->flags, FS_SCB_READ_WRITE | FS_SCB_STAMPS_IDS | FS_SCB_SINGLE_CHUNK);
    FSCheckIn(s);
    FSCheckIn(r);
}

TEST_F(Sessions, RefusalsLeaveNothingBehind) {
    MakeTable(kTwelve); // the root table, which is never destroyed
    uint16_t keep = MakeTable(kTwelve), gone = MakeTable(kTwelve);
    ASSERT_EQ(FSDestroyTable(fcb_, gone), 0);
    SCB *scb = reinterpret_cast<SCB *>(&scb);
    EXPECT_EQ(FSCheckOut(fcb_, gone, 1, &scb), FS_E_BAD_TID);
    EXPECT_EQ(scb, nullptr);
    EXPECT_EQ(FSError(fcb_), FS_E_BAD_TID);
    EXPECT_EQ(FSCheckOut(fcb_, 400, 1, &scb), FS_E_BAD_TID);
    EXPECT_EQ(FSCheckOut(nullptr, keep, 1, &scb), FS_E_BAD_FCB);
    EXPECT_EQ(scb, nullptr);

    VMFaultFail(VM_OP_ALLOC, 0, 0);
    EXPECT_EQ(FSCheckOut(fcb_, keep, 1, &scb), FS_E_NOMEM);
    VMFaultReset();
    EXPECT_EQ(scb, nullptr);
    EXPECT_EQ(MasterBusy(keep), 0) << "the pin taken for the failed session was given back";
    EXPECT_EQ(SlotOf(keep), 0u);
    EXPECT_EQ(fcb_->sessionsOpen, 0u);

    // With a session open, a failed second check-out keeps the table's pin.
    SCB *open = CheckOut(keep);
    VMFaultFail(VM_OP_ALLOC, 0, 0);
    EXPECT_EQ(FSCheckOut(fcb_, keep, 1, &scb), FS_E_NOMEM);
    VMFaultReset();
    EXPECT_EQ(MasterBusy(keep), 1);
    EXPECT_EQ(SlotOf(keep), open->sessionId);
    EXPECT_EQ(FSDestroyTable(fcb_, keep), FS_E_TABLE_IN_USE);
    FSCheckIn(open);
}

TEST_F(Sessions, InvalidSessionsAreRefusedEverywhere) {
    uint16_t tid = MakeShapedTable(kTwelve, {false, {3}});
    SCB *live = CheckOut(tid);
    SCB fake{};
    std::memcpy(&fake, live, sizeof fake);
    fake.magic = 0; // what a checked-in session looks like
    uint8_t buffer[12];
    for (SCB *bad : {static_cast<SCB *>(nullptr), &fake}) {
        void *rec = buffer, *end = buffer;
        EXPECT_EQ(FSIxLock(bad, 0, &rec, &end), FS_E_BAD_SCB);
        EXPECT_EQ(rec, buffer) << "out pointers are left alone";
        EXPECT_EQ(FSIxOldLock(bad, 0, &end), nullptr);
        EXPECT_EQ(end, nullptr);
        EXPECT_EQ(FSIxLockQuiet(bad, 0), nullptr);
        EXPECT_EQ(FSLockNext(bad), nullptr);
        EXPECT_EQ(FSLockPrev(bad), nullptr);
        EXPECT_EQ(FSINextChunk(bad), nullptr);
        EXPECT_EQ(FSIPrevChunk(bad), nullptr);
        EXPECT_EQ(FSxGetCurrent(bad), RIX_NONE);
        EXPECT_EQ(FSTableSize(bad), 0u);
        EXPECT_EQ(FSIAddLock(bad, 0, 1, 0, &rec), FS_E_BAD_SCB);
        EXPECT_EQ(FSIRecOps(bad, FSOpDelete, 0, 1, nullptr, 0), FS_E_BAD_SCB);
        FSUnlock(bad);
        FSDirtyRec(bad);
        FSCheckIn(bad);
    }
    EXPECT_EQ(fake.status, 0) << "nothing is stored in an invalid session";
    EXPECT_EQ(fake.flags, live->flags);
    EXPECT_EQ(FSIRecOps(live, FSOpCopy, 0, 1, &fake, 0), FS_E_BAD_SCB);
    EXPECT_EQ(FSError(live), FS_E_BAD_SCB);
    EXPECT_EQ(FSIRecOps(live, FSOpCopy, 0, 1, nullptr, 0), FS_E_BAD_SCB);
    FCB dead{};
    fake.magic = FS_MAGIC;
    fake.fcb = &dead; // a session whose file is not valid is not checked in
    FSCheckIn(&fake);
    EXPECT_EQ(fake.magic, FS_MAGIC);
    EXPECT_EQ(TableBytes(tid), Patterns(tid, 3, 12));
    EXPECT_EQ(SlotOf(tid), live->sessionId) << "a refused check-in unchained nothing";
    FSCheckIn(live);
}

// A table record read from a damaged file must not lead a session outside
// its chunks, nor make the library follow a handle that names nothing.
TEST_F(Sessions, DamagedTableRecordsAreHandledSafely) {
    uint16_t tid = MakeShapedTable(kTwelve, {false, {4}});
    auto edit = [&](auto change) {
        TableRecord *rec;
        uint16_t master;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        change(rec);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
    };

    edit([](TableRecord *rec) { rec->sessions = 0xDEADBEEF; });
    SCB *scb = CheckOut(tid);
    ASSERT_NE(scb, nullptr) << "a stale handle reads as no session";
    EXPECT_EQ(scb->nextSession, nullptr);
    EXPECT_EQ(MasterBusy(tid), 1);
    FSCheckIn(scb);
    EXPECT_EQ(SlotOf(tid), 0u);
    EXPECT_EQ(MasterBusy(tid), 0);

    SCB *other = CheckOut(MakeTable(kSmall)); // a live handle of another table
    edit([&](TableRecord *rec) { rec->sessions = other->sessionId; });
    scb = CheckOut(tid);
    EXPECT_EQ(scb->nextSession, nullptr) << "a handle of another table is not this chain";
    FSCheckIn(scb);
    FSCheckIn(other);

    edit([](TableRecord *rec) { rec->flags |= TABLE_INDEXED; }); // top is a data chunk
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    EXPECT_EQ(MasterBusy(tid), 0);
    edit([](TableRecord *rec) {
        rec->flags &= ~TABLE_INDEXED;
        rec->cls = kSixteen; // records larger than the chunk's
    });
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    edit([](TableRecord *rec) { rec->cls = 200; }); // no descriptor
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    edit([](TableRecord *rec) { rec->cls = kTwelve; });
    EXPECT_EQ(SlotOf(tid), 0u);
}

TEST_F(Sessions, ChunkOfAnotherClassInAnIndexIsRefusedOnLock) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {3, 3}});
    {
        TableRecord *rec;
        uint16_t master, top, child;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
        void *data;
        ASSERT_EQ(TBLockChunk(fcb_, top, &data), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &static_cast<ChunkRef *>(data)[1], &child), 0);
        ThunkLock lock(fcb_);
        ThunkAt(fcb_, child)->cls = kSixteen;
        ASSERT_EQ(TBUnlockChunk(fcb_, top, 0), 0);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 0), 0);
    }
    SCB *scb = CheckOut(tid);
    EXPECT_NE(FSIxOldLock(scb, 1, nullptr), nullptr);
    EXPECT_EQ(FSIxOldLock(scb, 4, nullptr), nullptr);
    EXPECT_EQ(FSError(scb), FS_E_BAD_CLASS);
    EXPECT_EQ(scb->flags & FS_SCB_LOCKED, 0);
    FSCheckIn(scb);
}

// Sessions left open, locked or not, on several tables and chunks of the
// master table, are checked in by the close; the sanitizer build proves
// that nothing leaks.
TEST_F(Sessions, CloseChecksInSessionsLeftOpen) {
    std::vector<uint16_t> tids;
    for (int i = 0; i < 300; ++i) tids.push_back(MakeTable(kSmall)); // master table indexed
    Shape(tids[0], {true, {4, 4}});
    Shape(tids[299], {false, {2}});
    CheckOut(tids[0]);
    SCB *locked = CheckOut(tids[0], 0);
    EXPECT_NE(FSIxOldLock(locked, 5, nullptr), nullptr);
    FSDirtyRec(locked);
    CheckOut(tids[299]);
    CheckOut(tids[150]);
    EXPECT_EQ(fcb_->sessionsOpen, 4u);
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
}

TEST_F(Sessions, CloseInTheFatalStateTouchesNoChunkAndLeaksNothing) {
    uint16_t tid = MakeShapedTable(kSmall, {true, {4, 4}});
    SCB *scb = CheckOut(tid);
    EXPECT_NE(FSIxOldLock(scb, 6, nullptr), nullptr);
    CheckOut(tid);
    fcb_->h.stateFlags |= STATE_FATAL;
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
}

} // namespace
