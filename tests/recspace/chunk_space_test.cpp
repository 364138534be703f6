// Record space inside one chunk and the steps that enter chunks into an
// index: sizes, bad arguments, and what stays locked or pinned.
#include "blocks/cache.h"
#include "blocks/space.h"
#include "recspace/recspace_fixture.h"
#include "tables/thunks.h"

namespace {

struct SizeCase {
    uint32_t current, added;
    uint8_t shift;
    uint16_t maxChunk;
    FSStatus status;
    uint32_t size;
};

TEST_F(RecSpaceTest, CheckChunkSize) {
    const SizeCase cases[] = {
        {0, 0, 8, 0xF000, 0, 0},
        {100, 28, 8, 0xF000, 0, 256},
        {61000, 440, 8, 0xF000, 0, 61440},
        {61000, 441, 0, 0xF000, FS_E_BLOCK_LIMIT, 0},
        {1, 65536, 0, 0xF000, FS_E_BLOCK_LIMIT, 0}, // would pass as 1 in 16 bits
        {65000, 535, 12, 0xFFFF, 0, 65535},         // rounding stops at the limit
        {65535, 1, 0, 0xFFFF, FS_E_BLOCK_LIMIT, 0}, // 65536 bytes never fit
        {10, 0, 20, 0xF000, 0, 32768},              // a shift past 15 counts as 15
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.current) + " + " + std::to_string(c.added));
        fcb_->h.maxChunk = c.maxChunk;
        uint32_t size = 1234;
        EXPECT_EQ(TBCheckChunkSize(fcb_, c.current, c.added, c.shift, &size), c.status);
        EXPECT_EQ(size, c.size);
    }
}

TEST_F(RecSpaceTest, ResizeRefusesBadCountsAndKeepsTheOld) {
    uint16_t ti = MakeTable({3}, false);
    EXPECT_EQ(TBResizeChunk(fcb_, ti, 0, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, ti, 1, 1), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, ti, 0, 4), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, THUNK_CAPACITY_MAX, 1, 0), FS_E_BAD_PARAMS);
    fcb_->h.maxChunk = 40; // five records of 8 bytes
    EXPECT_EQ(TBResizeChunk(fcb_, ti, 3, 0), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(TBChunkCount(fcb_, ti), 3);
    EXPECT_EQ(TBResizeChunk(fcb_, ti, 2, 0), 0);
    EXPECT_EQ(TBChunkCount(fcb_, ti), 5);
}

// Growth follows the growth shift, shrinking the allocation shift, and the
// memory in use follows the block.
TEST_F(RecSpaceTest, ResizeRoundsTheBlockAndCountsIt) {
    uint16_t ti = MakeTable({3}, false);
    const uint32_t before = fcb_->h.memInUse;
    const HGLOBAL mem = ThunkOf(fcb_, ti).mem;
    const uint32_t size = GlobalSize(mem);
    ASSERT_EQ(TBResizeChunk(fcb_, ti, 30, 0), 0); // 264 bytes: 512 with shift 8
    EXPECT_EQ(GlobalSize(ThunkOf(fcb_, ti).mem), 512u);
    EXPECT_EQ(fcb_->h.memInUse, before - size + 512);
    ASSERT_EQ(TBResizeChunk(fcb_, ti, 0, 31), 0); // 16 bytes: 32 with shift 5
    EXPECT_EQ(GlobalSize(ThunkOf(fcb_, ti).mem), 32u);
    EXPECT_EQ(fcb_->h.memInUse, before - size + 32);
}

// A chunk whose memory was reclaimed only changes its count; its next lock
// loads the image for the new count.
TEST_F(RecSpaceTest, ResizeOfAReclaimedChunkTakesEffectAtItsNextLoad) {
    uint16_t ti = MakeTable({3}, false);
    const std::vector<uint8_t> records = ReadRecords(fcb_, ti);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0); // written back, memory discardable
    ASSERT_GT(GlobalReclaimDiscardable(), 0u);
    ASSERT_EQ(TBResizeChunk(fcb_, ti, 0, 1), 0);
    EXPECT_EQ(ReadRecords(fcb_, ti), std::vector<uint8_t>(records.begin(), records.begin() + 16));
}

TEST_F(RecSpaceTest, InsertInChunkOpensAGapOfZeros) {
    uint16_t ti = MakeTable({3}, false);
    const std::vector<uint8_t> before = ReadRecords(fcb_, ti);
    ASSERT_EQ(TBInsertInChunk(fcb_, ti, 1, 2, nullptr), 0);
    EXPECT_EQ(ReadRecords(fcb_, ti), WithGap(before, 1, 2, 8));
    EXPECT_EQ(ThunkOf(fcb_, ti).lockCount, 0);
    EXPECT_NE(ThunkOf(fcb_, ti).flags & THUNK_DIRTY, 0);

    EXPECT_EQ(TBInsertInChunk(fcb_, ti, 6, 1, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBChunkCount(fcb_, ti), 5);
}

// With an address out the chunk stays locked on the first new record.
TEST_F(RecSpaceTest, InsertInChunkCanLeaveTheChunkLocked) {
    uint16_t ti = MakeTable({2}, false);
    void *at = nullptr;
    ASSERT_EQ(TBInsertInChunk(fcb_, ti, 2, 1, &at), 0);
    EXPECT_EQ(ThunkOf(fcb_, ti).lockCount, 1);
    EXPECT_EQ(ThunkOf(fcb_, ti).refFlags & REF_BUSY_MASK, 0); // the pin is taken back
    std::memset(at, 0xAB, 8);
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 1), 0);
    EXPECT_EQ(ReadRecords(fcb_, ti)[16], 0xAB);
}

TEST_F(RecSpaceTest, DeleteInChunkClosesTheGap) {
    uint16_t ti = MakeTable({4}, false);
    std::vector<uint8_t> records = ReadRecords(fcb_, ti);
    EXPECT_EQ(TBDeleteInChunk(fcb_, ti, 3, 2), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBDeleteInChunk(fcb_, ti, 1, 0), 0);
    EXPECT_EQ(ReadRecords(fcb_, ti), records);
    ASSERT_EQ(TBDeleteInChunk(fcb_, ti, 1, 2), 0);
    records.erase(records.begin() + 8, records.begin() + 24);
    EXPECT_EQ(ReadRecords(fcb_, ti), records);
    ASSERT_EQ(TBDeleteInChunk(fcb_, ti, 0, 2), 0);
    EXPECT_EQ(TBChunkCount(fcb_, ti), 0);
    EXPECT_EQ(TBRecordCount(fcb_, ti), 0u);
}

// The table's thunk index names the index afterwards; the former chunk
// keeps its records, its locks and its place on the resident list.
TEST_F(RecSpaceTest, MakeIndexedKeepsTheTopThunkAndMovesTheChunk) {
    uint16_t top = MakeTable({3}, false);
    const std::vector<uint8_t> records = ReadRecords(fcb_, top);
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, top, &data), 0);
    ASSERT_EQ(TBPinChunk(fcb_, top, +1), 0);
    uint16_t former = THUNK_NONE;
    ASSERT_EQ(TBMakeIndexed(fcb_, top, &former), 0);
    ASSERT_NE(former, top);
    EXPECT_EQ(ThunkOf(fcb_, top).cls, CLASS_INDEX);
    EXPECT_EQ(ThunkOf(fcb_, top).lockCount, 0);
    EXPECT_EQ(ThunkOf(fcb_, former).cls, kSmall);
    EXPECT_EQ(ThunkOf(fcb_, former).lockCount, 1);
    EXPECT_EQ(ThunkOf(fcb_, former).refFlags & REF_BUSY_MASK, REF_BUSY_ONE);
    ASSERT_EQ(TBPinChunk(fcb_, former, -1), 0);
    ASSERT_EQ(TBUnlockChunk(fcb_, former, 0), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), std::vector<uint16_t>{3});
    EXPECT_EQ(ReadRecords(fcb_, top), records);

    uint16_t untouched = 777;
    EXPECT_EQ(TBMakeIndexed(fcb_, top, &untouched), 0);
    EXPECT_EQ(untouched, 777);
}

TEST_F(RecSpaceTest, MakeIndexedKeepsAListedChunkListed) {
    uint16_t top = MakeTable({3}, false); // unlocked dirty: on the resident list
    ASSERT_NE(ThunkOf(fcb_, top).flags & THUNK_ON_LIST, 0);
    uint16_t former;
    ASSERT_EQ(TBMakeIndexed(fcb_, top, &former), 0);
    EXPECT_NE(ThunkOf(fcb_, former).flags & THUNK_ON_LIST, 0);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(fcb_->h.lruHead, THUNK_NONE);
}

TEST_F(RecSpaceTest, NewChunkAfterEntersAChunkOfZeros) {
    uint16_t top = MakeTable({2, 2}, true);
    EXPECT_EQ(TBNewChunkAfter(fcb_, top, kSmall, 1, 0, nullptr, nullptr), FS_E_LEVEL1);
    uint16_t ti;
    void *data;
    ASSERT_EQ(TBNewChunkAfter(fcb_, top, kSmall, 1, 3, &ti, &data), 0);
    EXPECT_EQ(ThunkOf(fcb_, ti).lockCount, 1);
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{2, 3, 2}));
    EXPECT_EQ(ReadRecords(fcb_, top), WithGap(ReadRecords(fcb_, top), 0, 0, 8));
    const std::vector<uint8_t> all = ReadRecords(fcb_, top);
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 16, all.begin() + 40), std::vector<uint8_t>(24, 0));
}

TEST_F(RecSpaceTest, SplitMovesTheTailIntoTheNextChunk) {
    uint16_t top = MakeTable({4}, true);
    const std::vector<uint8_t> records = ReadRecords(fcb_, top);
    uint16_t chunk;
    ASSERT_EQ(TBLocateRecord(fcb_, top, 0, &chunk, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 0, 4, nullptr), FS_E_LEVEL1);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 4, 0, nullptr), FS_E_LEVEL1);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 1, 2, nullptr), FS_E_BAD_PARAMS);
    uint16_t tail;
    ASSERT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 1, 3, &tail), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{1, 3}));
    EXPECT_EQ(TBChunkCount(fcb_, tail), 3);
    EXPECT_EQ(ReadRecords(fcb_, top), records);
    EXPECT_EQ(ThunkOf(fcb_, chunk).lockCount, 0);
    EXPECT_EQ(ThunkOf(fcb_, tail).lockCount, 0);
}

TEST_F(RecSpaceTest, AddChunksSpreadsRecordsEvenly) {
    struct Spread {
        uint32_t n;
        std::vector<uint16_t> counts;
    };
    for (const Spread &s : {Spread{10, {4, 4, 2}}, Spread{9, {3, 3, 3}}, Spread{4, {4}},
                            Spread{5, {3, 2}}, Spread{1, {1}}}) {
        SCOPED_TRACE(s.n);
        uint16_t top = NewChunk(CLASS_INDEX, 0);
        ASSERT_EQ(TBAddChunks(fcb_, top, kSmall, 0, s.n), 0);
        EXPECT_EQ(ChunkCounts(fcb_, top), s.counts);
        EXPECT_EQ(ReadRecords(fcb_, top), std::vector<uint8_t>(s.n * 8, 0));
    }
}

// A chunk that cannot be made takes back the chunks already made and their
// references: the index and the thunks in use are as before.
TEST_F(RecSpaceTest, AddChunksTakesEverythingBackOnFailure) {
    uint16_t top = MakeTable({1, 1}, true);
    const std::vector<uint16_t> shape = ChunkCounts(fcb_, top);
    auto freeThunks = [&] {
        ThunkLock lock(fcb_);
        int n = 0;
        for (uint16_t i = 0; i < fcb_->h.thunkCount; ++i)
            n += (ThunkAt(fcb_, i)->flags & THUNK_IN_USE) == 0;
        return n;
    };
    // Two free thunks: the third new chunk needs the table to grow, and
    // that growth is refused.
    std::vector<uint16_t> spare;
    while (freeThunks() > 0) spare.push_back(NewChunk(kSmall, 1));
    ASSERT_EQ(TBFreeChunk(fcb_, spare.back()), 0);
    ASSERT_EQ(TBFreeChunk(fcb_, spare[spare.size() - 2]), 0);
    VMFaultReset();
    VMFaultFail(VM_OP_GALLOC, 1, 0); // the index may grow, the thunk table may not
    EXPECT_NE(TBAddChunks(fcb_, top, kSmall, 1, 40), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_GALLOC), 2u);
    VMFaultReset();
    EXPECT_EQ(freeThunks(), 2);
    EXPECT_EQ(ChunkCounts(fcb_, top), shape);
    EXPECT_EQ(ThunkOf(fcb_, top).refFlags & REF_BUSY_MASK, 0);
    EXPECT_EQ(TBAddChunks(fcb_, top, kSmall, 1, 40), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{1, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 1}));
}

} // namespace
