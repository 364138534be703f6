// Record space below the session layer: where TBInsertRecords puts records,
// the chunk size limit, the steps it is built from, and failures that
// change no record.
#include "blocks/cache.h"
#include "common/fault_loop.h"
#include "recspace/recspace_fixture.h"
#include "tables/thunks.h"

namespace {

struct Placement {
    const char *name;
    std::vector<uint16_t> shape;
    bool indexed;
    uint32_t rix, n;
    bool keepWhole;
    FSStatus status;
    std::vector<uint16_t> wantShape;
    bool wantIndexed;
};

// Class maximum 4 throughout.
const Placement kPlacements[] = {
    {"three into an empty table", {0}, false, 0, 3, false, 0, {3}, false},
    {"two more at the end make it indexed", {3}, false, 3, 2, false, 0, {3, 2}, true},
    {"boundary, previous full: start of the next", {4, 3}, true, 4, 1, false, 0, {4, 4}, true},
    {"boundary, previous has room: its end", {3, 3}, true, 3, 1, false, 0, {4, 3}, true},
    {"boundary, both full: a chunk between", {4, 4}, true, 4, 1, false, 0, {4, 1, 4}, true},
    {"inside a full chunk: split, end of the head", {4}, false, 2, 1, false, 0, {3, 2}, true},
    {"inside a full chunk: split, start of the tail", {4}, false, 3, 2, false, 0, {3, 3}, true},
    {"seven inside a full chunk: chunks between the halves", {4}, false, 2, 7, false, 0, {2, 4, 3, 2}, true},
    {"keep whole, four inside a full chunk", {4}, false, 2, 4, true, 0, {2, 4, 2}, true},
    {"keep whole, one more than the maximum", {4}, false, 2, 5, true, FS_E_CHUNK_TOO_BIG, {4}, false},
    {"front of a full chunk", {4}, false, 0, 1, false, 0, {1, 4}, true},
    {"ten into an empty table: 4, 4, 2 before the empty chunk", {0}, false, 0, 10, false, 0, {4, 4, 2, 0}, true},
    {"nine after the last chunk: 3, 3, 3", {4, 4}, true, 8, 9, false, 0, {4, 4, 3, 3, 3}, true},
    {"inside a chunk with room", {4, 2, 4}, true, 5, 1, false, 0, {4, 3, 4}, true},
    {"none", {4}, false, 2, 0, false, 0, {4}, false},
    {"past the end", {4}, false, 5, 1, false, FS_E_BAD_RIX, {4}, false},
};

void PrintTo(const Placement &p, std::ostream *os) { *os << p.name; }

class PlacementTest : public RecSpaceTest, public ::testing::WithParamInterface<Placement> {};

// New records are zero bytes at the RIX asked for; the others keep their
// content and order.
TEST_P(PlacementTest, PlacesRecordsAndKeepsTheOthers) {
    const Placement &p = GetParam();
    const uint16_t top = MakeTable(p.shape, p.indexed);
    const std::vector<uint8_t> before = ReadRecords(fcb_, top);
    bool indexed = !p.wantIndexed;
    EXPECT_EQ(TBInsertRecords(fcb_, top, p.rix, p.n, p.keepWhole, &indexed), p.status);
    EXPECT_EQ(indexed, p.wantIndexed);
    EXPECT_EQ(IsIndexed(fcb_, top), p.wantIndexed);
    EXPECT_EQ(ChunkCounts(fcb_, top), p.wantShape);
    EXPECT_EQ(ReadRecords(fcb_, top), p.status == 0 ? WithGap(before, p.rix, p.n, 8) : before);
    ExpectWithinLimits(top, kSmall);
}

INSTANTIATE_TEST_SUITE_P(MaximumFour, PlacementTest, ::testing::ValuesIn(kPlacements), [](const auto &info) {
    std::string name;
    for (const char *c = info.param.name; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

// A class whose maximum passes the chunk size limit fills chunks only up
// to the limit: 61 records of 1000 bytes fit in 61440, 62 do not.
TEST_F(RecSpaceTest, ChunkSizeLimitStopsGrowthBeforeTheMaximum) {
    uint16_t empty = NewChunk(kLarge, 0);
    EXPECT_EQ(TBInsertRecords(fcb_, empty, 0, 62, false, nullptr), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(ChunkCounts(fcb_, empty), std::vector<uint16_t>{0});

    uint16_t top = MakeTable({61}, false, kLarge);
    const std::vector<uint8_t> full = ReadRecords(fcb_, top);
    EXPECT_EQ(TBInsertRecords(fcb_, top, 61, 1, false, nullptr), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(ChunkCounts(fcb_, top), std::vector<uint16_t>{61});
    // 90 new records would be one new chunk of 90000 bytes: refused, but
    // the table made indexed on the way stays so, with nothing else changed.
    EXPECT_EQ(TBInsertRecords(fcb_, top, 0, 90, false, nullptr), FS_E_BLOCK_LIMIT);
    EXPECT_TRUE(IsIndexed(fcb_, top));
    EXPECT_EQ(ChunkCounts(fcb_, top), std::vector<uint16_t>{61});
    EXPECT_EQ(ReadRecords(fcb_, top), full);
    // 120 records make two chunks of 60.
    EXPECT_EQ(TBInsertRecords(fcb_, top, 61, 120, false, nullptr), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{61, 60, 60}));
    ExpectWithinLimits(top, kLarge);
}

TEST_F(RecSpaceTest, CheckChunkSizeNeverWrapsOrPassesTheLimit) {
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

// Bad counts, positions and classes are refused and change nothing; a class
// without a maximum could only divide by zero.
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
    fcb_->h.maxChunk = MAX_CHUNK_DEFAULT;
    fcb_->classTable[kSmall].maxPerChunk = 0;
    EXPECT_EQ(TBInsertRecords(fcb_, top, 0, 9, false, nullptr), FS_E_BAD_CLASS);
    fcb_->classTable[kSmall].maxPerChunk = 4;
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
    uint16_t untouched = 777;
    EXPECT_EQ(TBMakeIndexed(fcb_, top, &untouched), 0);
    EXPECT_EQ(untouched, 777);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(ChunkCounts(fcb_, top), std::vector<uint16_t>{3});
    EXPECT_EQ(ReadRecords(fcb_, top), records);
}

// A failure at any allocation of an insertion changes no record and leaves
// every chunk within its limits.
TEST_F(RecSpaceTest, FailedAllocationsChangeNoRecord) {
    ForEachFault(VM_OP_GALLOC, 0, [&](FaultRun &fault) {
        uint16_t top = MakeTable({4, 4, 4}, true);
        const std::vector<uint8_t> before = ReadRecords(fcb_, top);
        GlobalReclaimDiscardable();
        fault.Arm();
        FSStatus status = TBInsertRecords(fcb_, top, 6, 7, false, nullptr);
        fault.Disarm();
        EXPECT_EQ(ReadRecords(fcb_, top), status == 0 ? WithGap(before, 6, 7, 8) : before);
        ExpectWithinLimits(top, kSmall);
        EXPECT_TRUE(status == 0 || fault.fired) << status;
        if (!fault.fired) {
            EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{4, 2, 4, 3, 2, 4}));
        }
    });
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
