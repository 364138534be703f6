// Thousands of insertions and removals at random RIXs in tables of several
// record sizes and maxima, against a plain model of each table's records;
// with and without a memory budget small enough to write chunks back in
// the middle of the work. The seed is GoogleTest's (--gtest_random_seed).
#include <random>

#include "blocks/cache.h"
#include "blocks/space.h"
#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/recspace.h"

namespace {

struct TableSpec {
    uint16_t recSize, max;
    uint32_t cap; // the test keeps the table below about this many records
};

// Tiny chunks; a middle size; a maximum past the chunk size limit (87
// records of 700 bytes fit); one record per chunk; exactly the limit.
const TableSpec kSpecs[] = {{1, 7, 200}, {12, 50, 400}, {700, 100, 180}, {4, 1, 100}, {64, 960, 1000}};

struct ModelTable {
    TableSpec spec;
    HeldTable held;
    std::vector<uint8_t> bytes; // the records in RIX order
    uint32_t Size() const { return static_cast<uint32_t>(bytes.size() / spec.recSize); }
    auto At(uint32_t rix) { return bytes.begin() + size_t{rix} * spec.recSize; }
};

class RandomRecordSpaceTest : public ScratchFcbTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    ScratchOptions Options() override {
        ScratchOptions o;
        o.memBudget = GetParam();
        for (const TableSpec &s : kSpecs) o.hostClasses.push_back(HostClass(s.recSize, s.max));
        return o;
    }

    // Every chunk within its class maximum and the chunk size limit, and
    // the records, in order and found one by one, those of the model.
    void Check(ModelTable &t) {
        for (uint16_t c : ChunkCounts(fcb_, t.held.top)) {
            ASSERT_LE(c, t.spec.max);
            ASSERT_LE(uint32_t{c} * t.spec.recSize, +fcb_->h.maxChunk);
        }
        ASSERT_TRUE(ReadRecords(fcb_, t.held.top) == t.bytes) << "records differ from the model";
        const uint32_t size = t.Size();
        ASSERT_TRUE(ReadRecord(fcb_, t.held.top, size).empty());
        if (size == 0) return;
        for (uint32_t rix : {0u, size - 1, static_cast<uint32_t>(rng_() % size)})
            ASSERT_EQ(ReadRecord(fcb_, t.held.top, rix), std::vector<uint8_t>(t.At(rix), t.At(rix + 1)));
    }

    void Insert(ModelTable &t) {
        const uint32_t rix = rng_() % (t.Size() + 1), pick = rng_() % 10;
        const uint32_t most = pick < 6 ? t.spec.max : pick < 9 ? 3 * t.spec.max + 2 : 8 * t.spec.max;
        const uint32_t n = 1 + rng_() % std::min(most, t.spec.cap);
        const bool keepWhole = rng_() % 6 == 0;
        bool indexed;
        const FSStatus status = TBInsertRecords(fcb_, t.held.top, rix, n, keepWhole, &indexed);
        NoteShape(fcb_, t.held);
        ASSERT_EQ(indexed, IsIndexed(fcb_, t.held.top));
        if (status == FS_E_CHUNK_TOO_BIG) ASSERT_TRUE(keepWhole && n > t.spec.max);
        else if (status == FS_E_BLOCK_LIMIT) ASSERT_GT(uint32_t{t.spec.max} * t.spec.recSize, 61440u);
        else ASSERT_EQ(status, 0) << "insert " << n << " at " << rix;
        if (status == 0) t.bytes.insert(t.At(rix), size_t{n} * t.spec.recSize, 0);
        ASSERT_NO_FATAL_FAILURE(Check(t)); // new records read as zeros, or nothing changed
        if (status != 0) return;
        std::vector<uint8_t> fresh(size_t{n} * t.spec.recSize);
        for (uint8_t &b : fresh) b = static_cast<uint8_t>(rng_());
        ASSERT_EQ(WriteRecords(fcb_, t.held.top, rix, fresh), 0);
        std::copy(fresh.begin(), fresh.end(), t.At(rix));
    }

    void Delete(ModelTable &t) {
        if (t.Size() == 0) return;
        const uint32_t rix = rng_() % t.Size();
        const uint32_t n = 1 + rng_() % std::min(t.Size() - rix, 3u * t.spec.max);
        ASSERT_EQ(DeleteRecords(fcb_, t.held.top, rix, n), 0) << n << " at " << rix;
        t.bytes.erase(t.At(rix), t.At(rix + n));
        ASSERT_NO_FATAL_FAILURE(Check(t));
    }

    std::mt19937 rng_;
};

TEST_P(RandomRecordSpaceTest, InsertionsAndRemovalsMatchTheModel) {
    uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("rerun with --gtest_random_seed=" + std::to_string(seed));
    rng_.seed(seed);
    GlobalSetMoveOnLock(1); // a pointer kept past its unlock reads poison
    uint16_t tid;
    ASSERT_EQ(FSMakeTable(fcb_, CLASS_FIRST_HOST, &tid), 0); // the root table, left empty
    std::vector<ModelTable> tables;
    for (size_t i = 0; i < std::size(kSpecs); ++i) {
        ModelTable t{kSpecs[i], {}, {}};
        ASSERT_EQ(FSMakeTable(fcb_, static_cast<uint8_t>(CLASS_FIRST_HOST + i), &tid), 0);
        ASSERT_EQ(HoldTable(fcb_, tid, &t.held), 0);
        tables.push_back(t);
    }
    for (int step = 0; step < 1000; ++step) {
        ModelTable &t = tables[rng_() % tables.size()];
        const bool grow = t.Size() < t.spec.cap / 2 ? rng_() % 10 < 7 : t.Size() < t.spec.cap && rng_() % 10 < 4;
        if (grow) {
            ASSERT_NO_FATAL_FAILURE(Insert(t)) << "step " << step;
        } else {
            ASSERT_NO_FATAL_FAILURE(Delete(t)) << "step " << step;
        }
        if (step % 7 == 0) GlobalReclaimDiscardable(); // reloads from the file
    }
    if (GetParam() != 0) {
        EXPECT_GT(+fcb_->h.fileSize, 100000u) << "nothing was written back";
    }
    ASSERT_TRUE(BKFreeListValid(fcb_, FreeListOf(fcb_).data(), fcb_->h.freeCount));

    // With the tables destroyed and the rest written back, only the
    // header, the class table and the master table's image are in use:
    // every other byte of the file is listed free.
    for (ModelTable &t : tables) {
        ReleaseTable(fcb_, t.held);
        ASSERT_EQ(FSDestroyTable(fcb_, t.held.tid), 0);
    }
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    const Thunk master = ThunkOf(fcb_, fcb_->h.currentRoot.thunk);
    uint32_t free = 0;
    for (const FreeEntry &e : FreeListOf(fcb_)) free += e.owners == 0 ? e.len : 0;
    EXPECT_EQ(free + RoundUp(HEADER_SIZE, 6) + RoundUp(fcb_->h.classCount * 14u, 6) +
                  RoundUp(master.storedCount * 16u, 6),
              +fcb_->h.fileSize);
    GlobalSetMoveOnLock(0);
}

INSTANTIATE_TEST_SUITE_P(Budgets, RandomRecordSpaceTest, ::testing::Values(0u, 16u * 1024),
                         [](const auto &info) { return info.param ? "SmallBudget" : "NoBudget"; });

} // namespace
