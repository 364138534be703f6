// Where TBInsertRecords puts records: the worked placements, the chunk
// size limit, and failures that change no record.
#include "recspace/recspace_fixture.h"

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
    {"seven inside a full chunk: chunks between the halves", {4}, false, 2, 7, false, 0,
     {2, 4, 3, 2}, true},
    {"keep whole, four inside a full chunk", {4}, false, 2, 4, true, 0, {2, 4, 2}, true},
    {"keep whole, one more than the maximum", {4}, false, 2, 5, true, FS_E_CHUNK_TOO_BIG, {4},
     false},
    {"front of a full chunk", {4}, false, 0, 1, false, 0, {1, 4}, true},
    {"end of a full chunk", {4}, false, 4, 1, false, 0, {4, 1}, true},
    {"ten into an empty table: 4, 4, 2 before the empty chunk", {0}, false, 0, 10, false, 0,
     {4, 4, 2, 0}, true},
    {"nine after the last chunk: 3, 3, 3", {4, 4}, true, 8, 9, false, 0, {4, 4, 3, 3, 3}, true},
    {"inside a chunk with room", {4, 2, 4}, true, 5, 1, false, 0, {4, 3, 4}, true},
    {"front of a table whose first chunk has room", {2, 4}, true, 0, 2, false, 0, {4, 4}, true},
    {"none", {4}, false, 2, 0, false, 0, {4}, false},
    {"past the end", {4}, false, 5, 1, false, FS_E_BAD_RIX, {4}, false},
    {"past the end of an indexed table", {4, 2}, true, 7, 1, false, FS_E_BAD_RIX, {4, 2}, true},
};

class PlacementTest : public RecSpaceTest, public ::testing::WithParamInterface<Placement> {};

TEST_P(PlacementTest, PlacesRecordsAndKeepsTheOthers) {
    const Placement &p = GetParam();
    const uint16_t top = MakeTable(p.shape, p.indexed);
    const std::vector<uint8_t> before = ReadRecords(fcb_, top);
    bool indexed = !p.wantIndexed;
    EXPECT_EQ(TBInsertRecords(fcb_, top, p.rix, p.n, p.keepWhole, &indexed), p.status);
    EXPECT_EQ(indexed, p.wantIndexed);
    EXPECT_EQ(IsIndexed(fcb_, top), p.wantIndexed);
    EXPECT_EQ(ChunkCounts(fcb_, top), p.wantShape);
    // New records are zero bytes at the RIX asked for; the others keep
    // their content and order.
    EXPECT_EQ(ReadRecords(fcb_, top), p.status == 0 ? WithGap(before, p.rix, p.n, 8) : before);
    ExpectWithinLimits(top, kSmall);
}

INSTANTIATE_TEST_SUITE_P(MaximumFour, PlacementTest, ::testing::ValuesIn(kPlacements),
                         [](const auto &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// A class whose maximum passes the chunk size limit fills chunks only up
// to the limit: 61 records of 1000 bytes fit in 61440, 62 do not.
TEST_F(RecSpaceTest, ChunkSizeLimitStopsGrowthBeforeTheMaximum) {
    uint16_t top = MakeTable({61}, false, kLarge);
    const std::vector<uint8_t> full = ReadRecords(fcb_, top);
    EXPECT_EQ(TBInsertRecords(fcb_, top, 61, 1, false, nullptr), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(ChunkCounts(fcb_, top), std::vector<uint16_t>{61});
    EXPECT_EQ(ReadRecords(fcb_, top), full);

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

TEST_F(RecSpaceTest, EmptyTableRefusesMoreThanTheLimitInOneChunk) {
    uint16_t top = NewChunk(kLarge, 0);
    EXPECT_EQ(TBInsertRecords(fcb_, top, 0, 62, false, nullptr), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(TBRecordCount(fcb_, top), 0u);
    EXPECT_FALSE(IsIndexed(fcb_, top));
}

// A table whose class has no maximum could only divide by zero.
TEST_F(RecSpaceTest, ClassWithoutMaximumIsRefused) {
    fcb_->classTable[kSmall].maxPerChunk = 0;
    uint16_t top = NewChunk(kSmall, 2);
    EXPECT_EQ(TBInsertRecords(fcb_, top, 0, 9, false, nullptr), FS_E_BAD_CLASS);
    EXPECT_EQ(TBChunkCount(fcb_, top), 2);
}

// A failure injected at any allocation of an insertion changes no record
// and leaves every chunk within its limits; the insertion then succeeds.
TEST_F(RecSpaceTest, FailedAllocationsChangeNoRecord) {
    for (bool once : {false, true}) {
        for (uint32_t n = 0;; ++n) {
            SCOPED_TRACE(std::string(once ? "once" : "from") + " allocation " + std::to_string(n));
            ASSERT_LT(n, 100u);
            uint16_t top = MakeTable({4, 4, 4}, true);
            const std::vector<uint8_t> before = ReadRecords(fcb_, top);
            GlobalReclaimDiscardable();
            VMFaultReset();
            if (once) VMFaultFailOnce(VM_OP_GALLOC, n, 0);
            else VMFaultFail(VM_OP_GALLOC, n, 0);
            FSStatus status = TBInsertRecords(fcb_, top, 6, 7, false, nullptr);
            const bool fired = VMFaultCount(VM_OP_GALLOC) > n;
            VMFaultReset();
            EXPECT_EQ(ReadRecords(fcb_, top), status == 0 ? WithGap(before, 6, 7, 8) : before);
            ExpectWithinLimits(top, kSmall);
            EXPECT_TRUE(status == 0 || fired) << status;
            if (!fired) {
                EXPECT_GT(n, 0u) << "the insertion allocated nothing";
                EXPECT_EQ(status, 0);
                EXPECT_EQ(ChunkCounts(fcb_, top), (std::vector<uint16_t>{4, 2, 4, 3, 2, 4}));
                break;
            }
        }
    }
}

} // namespace
