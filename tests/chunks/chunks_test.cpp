// Chunk and table operations: thunk table growth, lock pairing, record
// location in single-chunk and indexed tables, finding tables, freeing.
#include <gtest/gtest.h>

#include <tuple>

#include "blocks/cache.h"
#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

class Chunks : public ByteRecordsTest {
protected:
    uint16_t Root() { return fcb_->h.currentRoot.thunk; }
    bool TableFull() {
        ThunkLock lock(fcb_);
        return fcb_->h.thunkCount == THUNK_CAPACITY_MAX &&
               TBFindFreeThunk(THUNK_CAPACITY_MAX, fcb_->thunks) == THUNK_CAPACITY_MAX;
    }
    // An indexed table: an index chunk naming chunks of these sizes.
    uint16_t Indexed(const std::vector<uint16_t> &sizes) { return NewIndex(sizes, 4, 1); }
    struct Found {
        FSStatus status;
        uint16_t chunk = THUNK_NONE;
        uint32_t first = 0;
        uint16_t count = 0, at = 0;
    };
    Found Locate(uint16_t top, uint32_t rix) {
        Found f;
        f.status = TBLocateRecord(fcb_, top, rix, &f.chunk, &f.first, &f.count, &f.at);
        return f;
    }
    // Status, first RIX and count of the chunk, and the chunk's place in the index.
    std::tuple<FSStatus, uint32_t, uint16_t, uint16_t> Where(uint16_t top, uint32_t rix) {
        Found f = Locate(top, rix);
        return {f.status, f.first, f.count, f.at};
    }
};

TEST_F(Chunks, ThunkTableGrowsBySixteenUpTo3276ThenRefuses) {
    uint32_t memBefore = fcb_->h.memInUse, sizeBefore = GlobalSize(fcb_->thunkTable);
    std::vector<uint16_t> capacities{fcb_->h.thunkCount};
    while (!TableFull()) {
        ASSERT_LT(nextRef_, refs_.size());
        NewChunk(4, 1);
        if (fcb_->h.thunkCount != capacities.back()) capacities.push_back(fcb_->h.thunkCount);
    }
    std::vector<uint16_t> expected;
    for (uint16_t c = 16; c <= 3264; c += 16) expected.push_back(c);
    expected.push_back(3276);
    EXPECT_EQ(capacities, expected);
    EXPECT_EQ(fcb_->h.memInUse - memBefore, GlobalSize(fcb_->thunkTable) - sizeBefore);

    uint16_t ti;
    EXPECT_EQ(TBNewChunk(fcb_, &refs_[nextRef_], 4, 1, &ti), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(refs_[nextRef_].flags & REF_RESIDENT, 0);
    EXPECT_EQ(fcb_->h.thunkCount, THUNK_CAPACITY_MAX);
}

TEST_F(Chunks, FullThunkTableIsRelievedByWritingParentsBack) {
    Indexed(std::vector<uint16_t>(10, 1)); // ten children, resident
    while (!TableFull()) NewChunk(4, 1);
    uint16_t ti;
    EXPECT_EQ(TBNewChunk(fcb_, &refs_[nextRef_++], 4, 1, &ti), 0);
    EXPECT_EQ(fcb_->h.lruHead, THUNK_NONE);
}

TEST_F(Chunks, LocksPairWithUnlocks) {
    uint16_t ti = NewChunk(4, 10);
    EXPECT_EQ(TBUnlockChunk(fcb_, ti, 1), FS_E_LOCK_MISSING);
    Thunk t = ThunkOf(fcb_, ti);
    EXPECT_EQ(t.lockCount, 0);
    EXPECT_EQ(t.flags & THUNK_DIRTY, 0) << "a refused unlock changed the chunk";

    void *a, *b;
    ASSERT_EQ(TBLockChunk(fcb_, ti, &a), 0);
    FillChunk(ti, 1); // a nested lock and unlock, changed
    uint32_t allocs = VMFaultCount(VM_OP_GALLOC), reads = VMFaultCount(VM_OP_READ);
    ASSERT_EQ(TBLockChunk(fcb_, ti, &b), 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(VMFaultCount(VM_OP_GALLOC), allocs) << "a resident chunk locks without allocating";
    EXPECT_EQ(VMFaultCount(VM_OP_READ), reads);
    EXPECT_EQ(ThunkOf(fcb_, ti).lockCount, 2);
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
    t = ThunkOf(fcb_, ti);
    EXPECT_EQ(t.lockCount, 1);
    EXPECT_EQ(t.flags & THUNK_ON_LIST, 0);
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
    EXPECT_TRUE(ThunkOf(fcb_, ti).flags & THUNK_ON_LIST) << "dirty chunk not kept";
}

TEST_F(Chunks, StaleThunkIndexesAreRefused) {
    uint16_t ti = NewChunk(4, 10);
    void *data = &data;
    ASSERT_EQ(TBFreeChunk(fcb_, ti), 0);
    EXPECT_EQ(TBLockChunk(fcb_, ti, &data), FS_E_BAD_PARAMS);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(TBLockChunk(fcb_, fcb_->h.thunkCount, &data), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBUnlockChunk(fcb_, fcb_->h.thunkCount, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBPinChunk(fcb_, fcb_->h.thunkCount, 1), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBFreeChunk(fcb_, fcb_->h.thunkCount), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBChunkCount(fcb_, fcb_->h.thunkCount), 0);
    EXPECT_EQ(BKFlush(nullptr, BK_QUOTA_ALL), FS_E_BAD_FCB);
}

TEST_F(Chunks, FreedChunkGivesUpItsMemoryAndImage) {
    uint32_t base = fcb_->h.memInUse, listBefore = GlobalSize(fcb_->freeList);
    uint16_t ti = NewChunk(4, 1000);
    FillChunk(ti, 1);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    uint32_t at = ThunkOf(fcb_, ti).filePos;
    ChunkBytes(ti);
    FillChunk(ti, 2); // dirty and listed again
    ASSERT_EQ(TBFreeChunk(fcb_, ti), 0);
    EXPECT_EQ(ThunkOf(fcb_, ti).flags, 0);
    EXPECT_EQ(fcb_->h.lruHead, THUNK_NONE);
    EXPECT_EQ(fcb_->h.memInUse, base + GlobalSize(fcb_->freeList) - listBefore);
    EXPECT_EQ(FreeListOf(fcb_), (std::vector<FreeEntry>{{0, at, 1024}}));
}

// A position is found in the chunk holding it; the table's end position
// (where an append goes) is accepted, past it is not. A boundary between
// chunks belongs to the later chunk.
TEST_F(Chunks, LocateAcceptsTheEndAndGivesBoundariesToTheLaterChunk) {
    uint16_t single = NewChunk(4, 0);
    EXPECT_EQ(Where(single, 0), std::make_tuple(0, 0u, uint16_t{0}, uint16_t{0}));
    EXPECT_EQ(Locate(single, 0).chunk, single);
    EXPECT_EQ(Locate(single, 1).status, FS_E_BAD_RIX);
    uint16_t idx = Indexed({3, 2});
    for (int pass = 0; pass < 2; ++pass) { // resident, then given back
        SCOPED_TRACE(pass);
        EXPECT_EQ(TBRecordCount(fcb_, idx), 5u);
        EXPECT_EQ(Where(idx, 2), std::make_tuple(0, 0u, uint16_t{3}, uint16_t{0}));
        EXPECT_EQ(Where(idx, 3), std::make_tuple(0, 3u, uint16_t{2}, uint16_t{1}));
        EXPECT_EQ(Where(idx, 5), std::make_tuple(0, 3u, uint16_t{2}, uint16_t{1}));
        EXPECT_NE(Locate(idx, 3).chunk, Locate(idx, 2).chunk);
        EXPECT_EQ(Locate(idx, 5).chunk, Locate(idx, 3).chunk);
        EXPECT_EQ(Locate(idx, 6).status, FS_E_BAD_RIX);
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    }
}

TEST_F(Chunks, FindTableLocksTheMasterChunkHoldingTheRecord) {
    TableRecord *record;
    uint16_t chunk;
    EXPECT_EQ(TBFindTable(fcb_, 0, nullptr, &chunk), FS_E_LEVEL2);
    EXPECT_EQ(TBFindTable(fcb_, 0, &record, nullptr), FS_E_LEVEL2);
    EXPECT_EQ(TBFindTable(fcb_, 0, &record, &chunk), FS_E_BAD_TID); // no tables yet
    {
        ThunkLock lock(fcb_);
        ThunkAt(fcb_, Root())->count = 3; // three table records, never written
    }
    ASSERT_EQ(TBFindTable(fcb_, 2, &record, &chunk), 0);
    EXPECT_EQ(chunk, Root());
    EXPECT_EQ(ThunkOf(fcb_, chunk).lockCount, 1);
    EXPECT_EQ(record->flags, 0);
    record->flags = TABLE_IN_USE;
    record->cls = 4;
    ASSERT_EQ(TBUnlockChunk(fcb_, chunk, 1), 0);

    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    ASSERT_EQ(GlobalReclaimDiscardable(), 1u);
    ASSERT_EQ(TBFindTable(fcb_, 2, &record, &chunk), 0);
    EXPECT_EQ(record->flags, TABLE_IN_USE);
    EXPECT_EQ(record->cls, 4);
    ASSERT_EQ(TBUnlockChunk(fcb_, chunk, 0), 0);
    EXPECT_EQ(TBFindTable(fcb_, 3, &record, &chunk), FS_E_BAD_TID);
    EXPECT_EQ(TBFindTable(fcb_, TID_NONE, &record, &chunk), FS_E_BAD_TID);
}

} // namespace
