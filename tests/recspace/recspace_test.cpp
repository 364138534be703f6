// Record space below the session layer: where TBInsertRecords puts records,
// a random run of insertions and removals against a model of each table,
// the chunk size limit, and failures and bad arguments that change nothing.
#include <numeric>
#include <random>

#include "blocks/cache.h"
#include "blocks/space.h"
#include "common/fault_loop.h"
#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Host classes from 4: record size, maximum, and about how many records the
// random run keeps. Class 4: the tables of placements. Then tiny chunks; a
// middle size; a maximum past the chunk size limit (87 records of 700 bytes
// fit); one record per chunk; exactly the limit.
struct Spec { uint16_t recSize, max; uint32_t cap; };
const Spec kSpecs[] = {{8, 4, 40}, {1, 7, 200}, {12, 50, 400}, {700, 100, 180}, {4, 1, 100}, {64, 960, 1000}};
constexpr uint8_t kSmall = 4;

class RecSpace : public ScratchFcbTest {
protected:
    ScratchOptions Options() override {
        ScratchOptions o;
        for (const Spec &s : kSpecs) o.hostClasses.push_back(HostClass(s.recSize, s.max));
        return o;
    }
    // A table of class 4 with chunks of these counts (indexed, or one chunk
    // of counts[0]); every record distinct.
    uint16_t MakeTable(const std::vector<uint16_t> &counts, bool indexed) {
        uint16_t top = indexed ? NewIndex(counts, kSmall, 1) : NewChunk(kSmall, counts.at(0));
        Bytes bytes(std::accumulate(counts.begin(), counts.end(), size_t{0}) * 8);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 8 + 1 + (i % 8) * 3);
        EXPECT_EQ(WriteRecords(fcb_, top, 0, bytes), 0);
        return top;
    }
    static Bytes WithGap(Bytes content, uint32_t rix, uint32_t n, uint16_t recSize = 8) {
        content.insert(content.begin() + rix * recSize, size_t{n} * recSize, 0);
        return content;
    }
    // Every chunk within its class maximum and the chunk size limit.
    ::testing::AssertionResult WithinLimits(uint16_t top, uint8_t cls) {
        const FSClassDesc *d = ClassDesc(fcb_, cls);
        for (uint16_t c : ChunkCounts(fcb_, top))
            if (c > d->maxPerChunk || uint32_t{c} * d->recSize > fcb_->h.maxChunk)
                return ::testing::AssertionFailure() << "a chunk of " << c;
        if (IsIndexed(fcb_, top) && TBChunkCount(fcb_, top) * sizeof(ChunkRef) > fcb_->h.maxChunk)
            return ::testing::AssertionFailure() << "index over the limit";
        return ::testing::AssertionSuccess();
    }
};

// New records are zero bytes at the RIX asked for; the others keep their
// content and order. Class maximum 4 throughout.
TEST_F(RecSpace, InsertionsLandWhereTheTableSays) {
    struct Placement {
        std::vector<uint16_t> shape; // indexed unless one chunk, before and after
        uint32_t rix, n;
        bool keepWhole;
        FSStatus status;
        std::vector<uint16_t> want;
    } const cases[] = {
        {{0}, 0, 3, false, 0, {3}},
        {{3}, 3, 2, false, 0, {3, 2}},               // at the end: indexed
        {{4, 3}, 4, 1, false, 0, {4, 4}},            // boundary, previous full: next's start
        {{3, 3}, 3, 1, false, 0, {4, 3}},            // boundary, previous has room: its end
        {{4, 4}, 4, 1, false, 0, {4, 1, 4}},         // boundary, both full: a chunk between
        {{4}, 2, 1, false, 0, {3, 2}},               // split: end of the head
        {{4}, 3, 2, false, 0, {3, 3}},               // split: start of the tail
        {{4}, 2, 7, false, 0, {2, 4, 3, 2}},         // chunks between the halves
        {{4}, 2, 4, true, 0, {2, 4, 2}},             // kept whole
        {{4}, 2, 5, true, FS_E_CHUNK_TOO_BIG, {4}},  // kept whole, one too many
        {{4}, 0, 1, false, 0, {1, 4}},               // front of a full chunk
        {{0}, 0, 10, false, 0, {4, 4, 2, 0}},        // before the empty chunk
        {{4, 4}, 8, 9, false, 0, {4, 4, 3, 3, 3}},   // after the last chunk
        {{4, 2, 4}, 5, 1, false, 0, {4, 3, 4}},      // inside a chunk with room
        {{4}, 2, 0, false, 0, {4}},
        {{4}, 5, 1, false, FS_E_BAD_RIX, {4}},
    };
    for (const Placement &p : cases) {
        SCOPED_TRACE(::testing::PrintToString(p.shape) + " at " + std::to_string(p.rix) + " +" + std::to_string(p.n));
        const uint16_t top = MakeTable(p.shape, p.shape.size() > 1);
        const bool wantIndexed = p.want.size() > 1;
        const Bytes before = ReadRecords(fcb_, top);
        bool indexed = !wantIndexed;
        EXPECT_EQ(TBInsertRecords(fcb_, top, p.rix, p.n, p.keepWhole, &indexed), p.status);
        EXPECT_TRUE(indexed == wantIndexed && IsIndexed(fcb_, top) == wantIndexed);
        EXPECT_EQ(ChunkCounts(fcb_, top), p.want);
        EXPECT_EQ(ReadRecords(fcb_, top), p.status == 0 ? WithGap(before, p.rix, p.n) : before);
        EXPECT_TRUE(WithinLimits(top, kSmall));
    }
}

// Insertions and removals at random RIXs in every class, with and without
// a budget small enough to write chunks back in the middle of the work:
// chunks within their limits, records those of the model. In the end, with
// the tables destroyed, every byte but the header, the class table and the
// master table's image is listed free.
TEST_F(RecSpace, RandomInsertionsAndRemovalsMatchTheModel) {
    const uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("rerun with --gtest_random_seed=" + std::to_string(seed));
    std::mt19937 rng(seed);
    GlobalSetMoveOnLock(1); // a pointer kept past its unlock reads poison
    uint16_t tid;
    ASSERT_EQ(FSMakeTable(fcb_, kSmall, &tid), 0); // the root table, left empty
    struct Table {
        Spec spec;
        HeldTable held;
        Bytes bytes;
        uint32_t Size() const { return static_cast<uint32_t>(bytes.size() / spec.recSize); }
        Bytes::iterator At(uint32_t rix) { return bytes.begin() + size_t{rix} * spec.recSize; }
    };
    for (uint32_t budget : {0u, 16u * 1024}) {
        fcb_->h.memBudget = budget;
        std::vector<Table> tables;
        for (size_t i = 0; i < std::size(kSpecs); ++i) {
            tables.push_back({kSpecs[i], {}, {}});
            ASSERT_EQ(FSMakeTable(fcb_, static_cast<uint8_t>(kSmall + i), &tid), 0);
            ASSERT_EQ(HoldTable(fcb_, tid, &tables.back().held), 0);
        }
        const uint32_t writes = VMFaultCount(VM_OP_WRITE);
        for (int step = 0; step < 1000; ++step) {
            SCOPED_TRACE(step);
            const size_t k = rng() % tables.size();
            Table &t = tables[k];
            const uint16_t top = t.held.top, max = t.spec.max;
            const bool grow = t.Size() < t.spec.cap / 2 ? rng() % 10 < 7 : t.Size() < t.spec.cap && rng() % 10 < 4;
            if (grow) {
                const uint32_t rix = rng() % (t.Size() + 1), pick = rng() % 10;
                const uint32_t most = pick < 6 ? max : pick < 9 ? 3 * max + 2 : 8 * max;
                const uint32_t n = 1 + rng() % std::min(most, t.spec.cap);
                const bool keepWhole = rng() % 6 == 0;
                bool indexed;
                const FSStatus status = TBInsertRecords(fcb_, top, rix, n, keepWhole, &indexed);
                NoteShape(fcb_, t.held);
                ASSERT_EQ(indexed, IsIndexed(fcb_, top));
                if (status == FS_E_CHUNK_TOO_BIG) ASSERT_TRUE(keepWhole && n > max);
                else if (status == FS_E_BLOCK_LIMIT) ASSERT_GT(uint32_t{max} * t.spec.recSize, 61440u);
                else ASSERT_EQ(status, 0) << "insert " << n << " at " << rix;
                if (status == 0) {
                    Bytes fresh(size_t{n} * t.spec.recSize);
                    for (uint8_t &b : fresh) b = static_cast<uint8_t>(rng());
                    ASSERT_EQ(ReadRecords(fcb_, top), WithGap(t.bytes, rix, n, t.spec.recSize)); // zeros
                    ASSERT_EQ(WriteRecords(fcb_, top, rix, fresh), 0);
                    t.bytes.insert(t.At(rix), fresh.begin(), fresh.end());
                }
            } else if (t.Size() != 0) {
                const uint32_t rix = rng() % t.Size(), n = 1 + rng() % std::min(t.Size() - rix, 3u * max);
                ASSERT_EQ(DeleteRecords(fcb_, top, rix, n), 0) << n << " at " << rix;
                t.bytes.erase(t.At(rix), t.At(rix + n));
            }
            ASSERT_TRUE(WithinLimits(top, static_cast<uint8_t>(kSmall + k)));
            ASSERT_TRUE(ReadRecords(fcb_, top) == t.bytes) << "records differ from the model";
            const uint32_t rix = t.Size() == 0 ? 0 : static_cast<uint32_t>(rng() % t.Size());
            ASSERT_TRUE(ReadRecord(fcb_, top, t.Size()).empty() && (t.Size() == 0 || ReadRecord(fcb_, top, rix) == Bytes(t.At(rix), t.At(rix + 1)))) << rix;
            if (step % 7 == 0) GlobalReclaimDiscardable(); // reloads from the file
        }
        EXPECT_TRUE(budget == 0 || VMFaultCount(VM_OP_WRITE) > writes) << "nothing was written back";
        for (Table &t : tables) {
            ReleaseTable(fcb_, t.held);
            ASSERT_EQ(FSDestroyTable(fcb_, t.held.tid), 0);
        }
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        ASSERT_TRUE(BKFreeListValid(fcb_, FreeListOf(fcb_).data(), fcb_->h.freeCount));
        const Thunk master = ThunkOf(fcb_, fcb_->h.currentRoot.thunk);
        uint32_t free = 0;
        for (const FreeEntry &e : FreeListOf(fcb_)) free += e.owners == 0 ? e.len : 0;
        EXPECT_EQ(free + RoundUp(HEADER_SIZE, 6) + RoundUp(fcb_->h.classCount * 14u, 6) +
                      RoundUp(master.storedCount * 16u, 6), +fcb_->h.fileSize);
    }
}

// A chunk size never wraps 16 bits or passes the limit; a failure at any
// allocation of an insertion changes no record; bad counts, positions and
// classes are refused and change nothing (a class without a maximum could
// only divide by zero).
TEST_F(RecSpace, LimitsFailuresAndBadArgumentsChangeNothing) {
    struct Size { uint32_t current, added, shift, maxChunk, status, size; } const sizes[] = {
        {0, 0, 8, 0xF000, 0, 0},          {100, 28, 8, 0xF000, 0, 256},
        {61000, 440, 8, 0xF000, 0, 61440}, {61000, 441, 0, 0xF000, FS_E_BLOCK_LIMIT, 0},
        {1, 65536, 0, 0xF000, FS_E_BLOCK_LIMIT, 0}, // would pass as 1 in 16 bits
        {65000, 535, 12, 0xFFFF, 0, 65535},         // rounding stops at the limit
        {65535, 1, 0, 0xFFFF, FS_E_BLOCK_LIMIT, 0}, // 65536 bytes never fit
        {10, 0, 20, 0xF000, 0, 32768},              // a shift past 15 counts as 15
    };
    for (const Size &c : sizes) {
        uint32_t size = 1234;
        fcb_->h.maxChunk = static_cast<uint16_t>(c.maxChunk);
        EXPECT_EQ(TBCheckChunkSize(fcb_, c.current, c.added, static_cast<uint8_t>(c.shift), &size), c.status) << c.current;
        EXPECT_EQ(size, c.size) << c.current;
    }
    fcb_->h.maxChunk = MAX_CHUNK_DEFAULT;
    ForEachFault(VM_OP_GALLOC, 0, [&](FaultRun &fault) {
        uint16_t top = MakeTable({4, 4, 4}, true);
        const Bytes before = ReadRecords(fcb_, top);
        GlobalReclaimDiscardable();
        fault.Arm();
        FSStatus status = TBInsertRecords(fcb_, top, 6, 7, false, nullptr);
        fault.Disarm();
        EXPECT_EQ(ReadRecords(fcb_, top), status == 0 ? WithGap(before, 6, 7) : before);
        EXPECT_TRUE(WithinLimits(top, kSmall) && (status == 0 || fault.fired)) << status;
    });
    const uint16_t top = MakeTable({3, 2}, true);
    const Bytes records = ReadRecords(fcb_, top);
    uint16_t chunk;
    ASSERT_EQ(TBLocateRecord(fcb_, top, 0, &chunk, nullptr, nullptr, nullptr), 0);
    for (auto [grow, shrink] : {std::pair{0, 0}, {1, 1}, {0, 4}}) EXPECT_EQ(TBResizeChunk(fcb_, chunk, grow, shrink), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBResizeChunk(fcb_, THUNK_CAPACITY_MAX, 1, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBInsertInChunk(fcb_, chunk, 4, 1, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBDeleteInChunk(fcb_, chunk, 2, 2), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBNewChunkAfter(fcb_, top, kSmall, 1, 0, nullptr, nullptr), FS_E_LEVEL1);
    for (auto [at, n] : {std::pair{0, 3}, {3, 0}}) EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, at, n, nullptr), FS_E_LEVEL1);
    EXPECT_EQ(TBSplitChunk(fcb_, top, 0, chunk, 1, 1, nullptr), FS_E_BAD_PARAMS);
    fcb_->h.maxChunk = 32; // four records of 8 bytes
    EXPECT_EQ(TBResizeChunk(fcb_, chunk, 2, 0), FS_E_BLOCK_LIMIT);
    fcb_->h.maxChunk = MAX_CHUNK_DEFAULT;
    fcb_->classTable[kSmall].maxPerChunk = 0;
    EXPECT_EQ(TBInsertRecords(fcb_, top, 0, 9, false, nullptr), FS_E_BAD_CLASS);
    fcb_->classTable[kSmall].maxPerChunk = 4;
    EXPECT_TRUE(ChunkCounts(fcb_, top) == (std::vector<uint16_t>{3, 2}) && ReadRecords(fcb_, top) == records);
}

} // namespace
