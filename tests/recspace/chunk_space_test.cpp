// The steps below TBInsertRecords: the size check, bad arguments, what a
// resize does to a block, what stays locked or pinned, and how new chunks
// are spread and taken back.
#include "blocks/cache.h"
#include "recspace/recspace_fixture.h"
#include "tables/thunks.h"

namespace {

TEST_F(RecSpaceTest, CheckChunkSize) {
    struct Case {
        uint32_t current, added;
        uint8_t shift;
        uint16_t maxChunk;
        FSStatus status;
        uint32_t size;
    } const cases[] = {
        {0, 0, 8, 0xF000, 0, 0},
        {100, 28, 8, 0xF000, 0, 256},
        {61000, 440, 8, 0xF000, 0, 61440},
        {61000, 441, 0, 0xF000, FS_E_BLOCK_LIMIT, 0},
        {1, 65536, 0, 0xF000, FS_E_BLOCK_LIMIT, 0}, // would pass as 1 in 16 bits
        {65000, 535, 12, 0xFFFF, 0, 65535},         // rounding stops at the limit
        {65535, 1, 0, 0xFFFF, FS_E_BLOCK_LIMIT, 0}, // 65536 bytes never fit
        {10, 0, 20, 0xF000, 0, 32768},              // a shift past 15 counts as 15
    };
    for (const Case &c : cases) {
        fcb_->h.maxChunk = c.maxChunk;
        uint32_t size = 1234;
        EXPECT_EQ(TBCheckChunkSize(fcb_, c.current, c.added, c.shift, &size), c.status) << c.current;
        EXPECT_EQ(size, c.size) << c.current;
    }
}

// Bad counts and positions are refused and change nothing.
TEST_F(RecSpaceTest, BadArgumentsChangeNothing) {
    const uint16_t top = MakeTable({3, 2}, true);
    const std::vector<uint8_t> records = ReadRecords(fcb_, top);
    uint16_t chunk;
    ASSERT_EQ(TBLocateRecord(fcb_, top, 0, &chunk, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(TBResizeChunk(fcb_, chunk, 0, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, chunk, 1, 1), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, chunk, 0, 4), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, THUNK_CAPACITY_MAX, 1, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBInsertInChunk(fcb_, chunk, 4, 1, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBDeleteInChunk(fcb_, chunk, 2, 2), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBNewChunkAfter(fcb_, top, kSmall, 1, 0, nullptr, nullptr), FS_E_LEVEL1);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 0, 3, nullptr), FS_E_LEVEL1);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 3, 0, nullptr), FS_E_LEVEL1);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 1, 1, nullptr), FS_E_BAD_PARAMS);
    fcb_->h.maxChunk = 32; // four records of 8 bytes
    EXPECT_EQ(TBResizeChunk(fcb_, chunk, 2, 0), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{3, 2}));
    EXPECT_EQ(ReadRecords(fcb_, top), records);
}

// A clean chunk whose block was discardable stays so (uncounted) after a
// resize; one whose data was reclaimed changes only its count. Either way
// its next load reads its image for the new count.
TEST_F(RecSpaceTest, ResizeOfACleanChunkTakesEffectAtItsNextLoad) {
    const uint16_t ti = MakeTable({3}, false);
    const std::vector<uint8_t> records = ReadRecords(fcb_, ti);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    const uint32_t memory = fcb_->h.memInUse;
    ASSERT_EQ(TBResizeChunk(fcb_, ti, 40, 0), 0);
    EXPECT_NE(ThunkOf(fcb_, ti).flags & THUNK_DISCARDABLE, 0);
    EXPECT_EQ(+fcb_->h.memInUse, memory);
    ASSERT_GT(GlobalReclaimDiscardable(), 0u);
    ASSERT_EQ(TBResizeChunk(fcb_, ti, 0, 41), 0);
    EXPECT_EQ(ReadRecords(fcb_, ti), std::vector<uint8_t>(records.begin(), records.begin() + 16));
}

// The table's thunk index names the index afterwards; the former chunk
// keeps its records, locks, pins and place on the resident list.
TEST_F(RecSpaceTest, MakeIndexedKeepsTheTopThunkAndMovesTheChunk) {
    const uint16_t top = MakeTable({3}, false); // dirty: on the resident list
    const std::vector<uint8_t> records = ReadRecords(fcb_, top);
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, top, &data), 0);
    ASSERT_EQ(TBPinChunk(fcb_, top, +1), 0);
    uint16_t former = THUNK_NONE;
    ASSERT_EQ(TBMakeIndexed(fcb_, top, &former), 0);
    EXPECT_EQ(ThunkOf(fcb_, top).cls, CLASS_INDEX);
    EXPECT_EQ(ThunkOf(fcb_, top).lockCount, 0);
    EXPECT_EQ(ThunkOf(fcb_, former).lockCount, 1);
    EXPECT_EQ(ThunkOf(fcb_, former).refFlags & REF_BUSY_MASK, REF_BUSY_ONE);
    ASSERT_EQ(TBPinChunk(fcb_, former, -1), 0);
    ASSERT_EQ(TBUnlockChunk(fcb_, former, 0), 0);
    EXPECT_NE(ThunkOf(fcb_, former).flags & THUNK_ON_LIST, 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), std::vector<uint16_t>{3});
    EXPECT_EQ(ReadRecords(fcb_, top), records);
    uint16_t untouched = 777;
    EXPECT_EQ(TBMakeIndexed(fcb_, top, &untouched), 0);
    EXPECT_EQ(untouched, 777);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(ReadRecords(fcb_, top), records);
}

TEST_F(RecSpaceTest, AddChunksSpreadsRecordsEvenly) {
    struct Spread {
        uint32_t n;
        std::vector<uint16_t> counts;
    };
    for (const Spread &s : {Spread{10, {4, 4, 2}}, Spread{9, {3, 3, 3}}, Spread{5, {3, 2}}, Spread{1, {1}}}) {
        const uint16_t top = NewChunk(CLASS_INDEX, 0);
        ASSERT_EQ(TBAddChunks(fcb_, top, kSmall, 0, s.n), 0);
        EXPECT_EQ(ChunkCounts(fcb_, top), s.counts) << s.n;
        EXPECT_EQ(ReadRecords(fcb_, top), std::vector<uint8_t>(s.n * 8, 0));
    }
}

// A chunk that cannot be made takes back the chunks already made and their
// references: the index, its pin and the thunks in use are as before.
TEST_F(RecSpaceTest, AddChunksTakesEverythingBackOnFailure) {
    const uint16_t top = MakeTable({1, 1}, true);
    auto freeThunks = [&] {
        int n = 0;
        for (uint16_t i = 0; i < fcb_->h.thunkCount; ++i) n += (ThunkOf(fcb_, i).flags & THUNK_IN_USE) == 0;
        return n;
    };
    // Two free thunks: the third new chunk needs the thunk table to grow.
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
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{1, 1}));
    EXPECT_EQ(ThunkOf(fcb_, top).refFlags & REF_BUSY_MASK, 0);
    EXPECT_EQ(TBAddChunks(fcb_, top, kSmall, 1, 40), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{1, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 1}));
}

} // namespace
