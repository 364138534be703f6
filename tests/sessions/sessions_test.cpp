// Sessions: check-out chains and the master-table pin, refusals that leave
// nothing behind, invalid and damaged input, closing with sessions open,
// chunk steps, dirty marks, and status texts.
#include <gtest/gtest.h>

#include <cstring>

#include "common/scratch_fcb.h"
#include "common/session_fixture.h"
#include "tables/chunks.h"

namespace {

using Sessions = SessionFileTest;

TEST_F(Sessions, ChainsPinsAndFailedCheckOuts) {
    MakeTable(kTwelve); // the root table, which is never destroyed
    uint16_t tid = MakeTable(kTwelve), gone = MakeTable(kTwelve);
    ASSERT_EQ(FSDestroyTable(fcb_, gone), 0);
    SCB *first = CheckOut(tid), *second = CheckOut(tid, 0), *third = CheckOut(tid);
    EXPECT_EQ(MasterBusy(tid), 1) << "one pin per table, not per session";
    FSCheckIn(second); // out of the middle of the chain
    EXPECT_EQ(third->nextSession, first);
    SCB *fourth = CheckOut(tid), *scb = reinterpret_cast<SCB *>(&scb);
    EXPECT_EQ(FSCheckOut(fcb_, gone, 1, &scb), FS_E_BAD_TID);
    EXPECT_EQ(scb, nullptr);
    VMFaultFail(VM_OP_ALLOC, 0, 0);
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_NOMEM);
    VMFaultReset();
    for (SCB *s : {first, fourth, third}) FSCheckIn(s);
    EXPECT_EQ(MasterBusy(tid), 0) << "every pin, a failed session's too, was given back";
    EXPECT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0);
    GlobalReclaimDiscardable();
    EXPECT_EQ(SlotOf(tid), 0u) << "a written master table never holds a session handle";
}

TEST_F(Sessions, InvalidSessionsAndDamagedTableRecordsAreRefused) {
    uint16_t tid = MakeShapedTable(kTwelve, {false, {3}});
    SCB *live = CheckOut(tid), fake;
    std::memcpy(&fake, live, sizeof fake);
    fake.magic = 0; // what a checked-in session looks like
    for (SCB *bad : {static_cast<SCB *>(nullptr), &fake}) {
        void *rec = &fake, *end = nullptr;
        EXPECT_EQ(FSIxLock(bad, 0, &rec, &end), FS_E_BAD_SCB);
        EXPECT_EQ(rec, &fake) << "out pointers are left alone";
        for (auto step : {FSLockNext, FSLockPrev, FSINextChunk, FSIPrevChunk}) EXPECT_EQ(step(bad), nullptr);
        EXPECT_EQ(FSTableSize(bad), 0u);
        EXPECT_EQ(FSIAddLock(bad, 0, 1, 0, &rec), FS_E_BAD_SCB);
        EXPECT_EQ(FSIRecOps(bad, FSOpDelete, 0, 1, nullptr, 0), FS_E_BAD_SCB);
        FSUnlock(bad), FSDirtyRec(bad), FSCheckIn(bad);
    }
    EXPECT_EQ(fake.status, 0) << "nothing is stored in an invalid session";
    FCB dead{};
    fake.magic = FS_MAGIC;
    fake.fcb = &dead; // a session whose file is not valid is not checked in
    FSCheckIn(&fake);
    EXPECT_EQ(SlotOf(tid), live->sessionId) << "a refused check-in unchained nothing";
    EXPECT_EQ(TableBytes(tid), Patterns(tid, 3, 12));
    FSCheckIn(live);
    // A table record read from a damaged file must not lead a session outside
    // its chunks, nor make the library follow a handle that names nothing.
    auto edit = [&](auto change) {
        TableRecord *rec;
        uint16_t master;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        change(rec);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
    };
    SCB *other = CheckOut(MakeTable(kSmall)), *scb = nullptr;
    for (uint32_t stale : {0xDEADBEEFu, other->sessionId}) {
        edit([&](TableRecord *rec) { rec->sessions = stale; });
        scb = CheckOut(tid);
        EXPECT_EQ(scb->nextSession, nullptr) << "a stale or foreign handle is not this chain";
        FSCheckIn(scb);
    }
    FSCheckIn(other);
    edit([](TableRecord *rec) { rec->flags |= TABLE_INDEXED; }); // top is a data chunk
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    EXPECT_EQ(MasterBusy(tid), 0);
    edit([](TableRecord *rec) { rec->flags &= ~TABLE_INDEXED; rec->cls = kSixteen; }); // larger records
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
    edit([](TableRecord *rec) { rec->cls = 200; }); // no descriptor
    EXPECT_EQ(FSCheckOut(fcb_, tid, 1, &scb), FS_E_BAD_CLASS);
}

// Sessions left open, locked or not, on chunks of an indexed master table,
// are checked in by the close, also in the fatal state; the sanitizer build
// proves that nothing leaks.
TEST_F(Sessions, CloseChecksInSessionsLeftOpen) {
    for (bool fatal : {false, true}) {
        if (fatal) TearDown(), SetUp();
        uint16_t tid = MakeShapedTable(kSmall, {true, {4, 4}});
        for (int i = 0; i < 299; ++i) CheckOut(MakeTable(kSmall));
        CheckOut(tid);
        EXPECT_NE(FSIxOldLock(CheckOut(tid, 0), 5, nullptr), nullptr);
        if (fatal) fcb_->h.stateFlags |= STATE_FATAL;
        FSFileClose(fcb_, 0);
        fcb_ = nullptr;
    }
}

TEST_F(Sessions, ChunkStepsDirtyMarksAndFailedRelocks) {
    uint16_t tid = MakeShapedTable(kTwelve, {true, {10, 10}});
    ASSERT_EQ(BKFlush(fcb_, 0xFFFFFFFF), 0);
    GlobalReclaimDiscardable(); // every chunk clean, to be read again
    SCB *ro = CheckOut(tid, 0), *rw = CheckOut(tid, 1);
    auto at = [&](const void *p, uint32_t rix) { return std::memcmp(p, Pattern(tid, rix, 12).data(), 12) == 0; };
    ASSERT_NE(FSIxOldLock(ro, 15, nullptr), nullptr);
    EXPECT_TRUE(at(FSIPrevChunk(ro), 9)) << "the previous chunk's last record, not its first";
    EXPECT_TRUE(at(FSINextChunk(ro), 9)) << "inside a chunk it relocks the same record";
    FSDirtyRec(ro);
    FSUnlock(ro);
    EXPECT_EQ(FSError(ro), FS_E_READ_ONLY) << "a read-only session marks nothing";
    ASSERT_NE(FSIxOldLock(rw, 9, nullptr), nullptr);
    uint16_t first = rw->chunkThunk;
    FSDirtyRec(rw);
    EXPECT_NE(FSLockNext(rw), nullptr) << "steps into the second chunk";
    EXPECT_TRUE(ThunkOf(fcb_, first).flags & THUNK_DIRTY);
    FSUnlock(rw);
    BKFlush(fcb_, 0xFFFFFFFF); // all but the master table, which sessions pin
    GlobalReclaimDiscardable();
    ASSERT_NE(FSIxOldLock(rw, 1, nullptr), nullptr);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    EXPECT_EQ(FSIxOldLock(rw, 16, nullptr), nullptr);
    VMFaultReset();
    EXPECT_EQ(rw->flags & FS_SCB_LOCKED, 0) << "a failed relock leaves the session unlocked";
}

TEST(Messages, TextsAreTruncated) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(FSErrorStr(20519, buf, 10), 1);
    EXPECT_STREQ(buf, "Internal ");
    EXPECT_EQ(buf[10], 'x');
    for (FSStatus none : {0, 20555, 20500}) EXPECT_EQ(FSErrorStr(none, buf, sizeof buf), 0) << none;
}

} // namespace
