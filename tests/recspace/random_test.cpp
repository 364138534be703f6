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
#include "tables/classes.h"
#include "tables/recspace.h"

namespace {

struct TableSpec {
    uint16_t recSize, max;
    uint32_t cap; // the test keeps the table below about this many records
};

// Tiny chunks; a middle size; a maximum past the chunk size limit (87
// records of 700 bytes fit); one record per chunk; exactly the limit.
const TableSpec kSpecs[] = {{1, 7, 600}, {12, 50, 1500}, {700, 100, 400}, {4, 1, 300},
                            {64, 960, 3000}};

struct ModelTable {
    TableSpec spec;
    uint8_t cls;
    HeldTable held;
    std::vector<uint8_t> bytes; // the records in RIX order
    uint32_t nextId = 1;

    uint32_t Size() const { return static_cast<uint32_t>(bytes.size() / spec.recSize); }
};

struct Budget {
    const char *name;
    uint32_t memBudget;
};

class RandomRecordSpaceTest : public ::testing::TestWithParam<Budget> {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeScratchFolder();
        ASSERT_FALSE(folder_.empty());
        ScratchOptions o;
        o.memBudget = GetParam().memBudget;
        for (const TableSpec &s : kSpecs) o.hostClasses.push_back(HostClass(s.recSize, s.max));
        fcb_ = MakeScratchFcb(folder_, o);
        ASSERT_NE(fcb_, nullptr);
        GlobalSetMoveOnLock(1); // a pointer kept past its unlock reads poison
    }
    void TearDown() override {
        GlobalSetMoveOnLock(0);
        for (ModelTable &t : tables_) ReleaseTable(fcb_, t.held);
        FreeScratchFcb(fcb_);
        RemoveScratchFolder(folder_);
    }

    // Every chunk within its class maximum and the chunk size limit, and
    // the records equal to the model.
    void Check(ModelTable &t) {
        for (uint16_t c : ChunkCounts(fcb_, t.held.top)) {
            ASSERT_LE(c, t.spec.max);
            ASSERT_LE(uint32_t{c} * t.spec.recSize, +fcb_->h.maxChunk);
        }
        if (IsIndexed(fcb_, t.held.top)) {
            ASSERT_LE(uint32_t{TBChunkCount(fcb_, t.held.top)} * 10, +fcb_->h.maxChunk);
        }
        ASSERT_EQ(TBRecordCount(fcb_, t.held.top), t.Size());
        ASSERT_TRUE(ReadRecords(fcb_, t.held.top) == t.bytes) << "records differ from the model";
        // Finding single records, at the ends and anywhere.
        const uint32_t size = t.Size();
        if (size == 0) return;
        for (uint32_t rix : {0u, size - 1, static_cast<uint32_t>(rng_() % size)}) {
            const auto at = t.bytes.begin() + size_t{rix} * t.spec.recSize;
            ASSERT_EQ(ReadRecord(fcb_, t.held.top, rix), std::vector<uint8_t>(at, at + t.spec.recSize))
                << "record " << rix;
        }
        ASSERT_TRUE(ReadRecord(fcb_, t.held.top, size).empty());
    }

    void Insert(ModelTable &t, std::mt19937 &rng) {
        const uint32_t size = t.Size();
        const uint32_t rix = std::uniform_int_distribution<uint32_t>(0, size)(rng);
        const uint32_t pick = rng() % 10;
        const uint32_t most = pick < 6 ? t.spec.max : pick < 9 ? 3 * t.spec.max + 2 : 8 * t.spec.max;
        const uint32_t n = std::uniform_int_distribution<uint32_t>(1, std::min(most, 2 * t.spec.cap))(rng);
        const bool keepWhole = rng() % 6 == 0;

        bool indexed;
        const FSStatus status = TBInsertRecords(fcb_, t.held.top, rix, n, keepWhole, &indexed);
        NoteShape(fcb_, t.held);
        ASSERT_EQ(indexed, IsIndexed(fcb_, t.held.top));
        if (status == FS_E_CHUNK_TOO_BIG) {
            ASSERT_TRUE(keepWhole && n > t.spec.max);
            return Check(t);
        }
        if (status == FS_E_BLOCK_LIMIT) { // only a maximum past the limit meets it
            ASSERT_GT(uint32_t{t.spec.max} * t.spec.recSize, +fcb_->h.maxChunk);
            return Check(t);
        }
        ASSERT_EQ(status, 0) << "insert " << n << " at " << rix << " of " << size;
        t.bytes.insert(t.bytes.begin() + size_t{rix} * t.spec.recSize, size_t{n} * t.spec.recSize, 0);
        ASSERT_NO_FATAL_FAILURE(Check(t)); // the new records read as zeros
        std::vector<uint8_t> fresh(size_t{n} * t.spec.recSize);
        for (uint8_t &b : fresh) b = static_cast<uint8_t>(t.nextId++ * 131 + 7);
        ASSERT_EQ(WriteRecords(fcb_, t.held.top, rix, fresh), 0);
        std::copy(fresh.begin(), fresh.end(), t.bytes.begin() + size_t{rix} * t.spec.recSize);
    }

    void Delete(ModelTable &t, std::mt19937 &rng) {
        const uint32_t size = t.Size();
        if (size == 0) return;
        const uint32_t rix = std::uniform_int_distribution<uint32_t>(0, size - 1)(rng);
        const uint32_t most = std::min(size - rix, 3u * t.spec.max);
        const uint32_t n = std::uniform_int_distribution<uint32_t>(1, most)(rng);
        ASSERT_EQ(DeleteRecords(fcb_, t.held.top, rix, n), 0) << n << " at " << rix;
        t.bytes.erase(t.bytes.begin() + size_t{rix} * t.spec.recSize,
                      t.bytes.begin() + size_t{rix + n} * t.spec.recSize);
        ASSERT_NO_FATAL_FAILURE(Check(t));
    }

    std::string folder_;
    FCB *fcb_ = nullptr;
    std::vector<ModelTable> tables_;
    std::mt19937 rng_;
};

TEST_P(RandomRecordSpaceTest, InsertionsAndRemovalsMatchTheModel) {
    uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed();
    if (seed == 0) seed = 20240601;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (rerun with --gtest_random_seed=" +
                 std::to_string(seed) + ")");
    std::mt19937 rng(seed);
    rng_.seed(seed + 1);

    for (size_t i = 0; i < std::size(kSpecs); ++i) {
        ModelTable t;
        t.spec = kSpecs[i];
        t.cls = static_cast<uint8_t>(CLASS_FIRST_HOST + i);
        uint16_t tid;
        ASSERT_EQ(FSMakeTable(fcb_, t.cls, &tid), 0);
        ASSERT_EQ(HoldTable(fcb_, tid, &t.held), 0);
        tables_.push_back(t);
    }
    const bool budget = GetParam().memBudget != 0;
    for (int step = 0; step < 4000; ++step) {
        ModelTable &t = tables_[rng() % tables_.size()];
        const bool grow = t.Size() < t.spec.cap / 2 ? rng() % 10 < 7 : t.Size() < t.spec.cap && rng() % 10 < 4;
        if (grow) {
            ASSERT_NO_FATAL_FAILURE(Insert(t, rng)) << "step " << step;
        } else {
            ASSERT_NO_FATAL_FAILURE(Delete(t, rng)) << "step " << step;
        }
        if (budget && step % 7 == 0) GlobalReclaimDiscardable(); // force reloads from the file
        if (step % 500 == 499) {
            ASSERT_EQ(SpaceCensus(fcb_), "") << "step " << step;
        }
    }
    if (budget) {
        EXPECT_GT(+fcb_->h.fileSize, 10000u) << "nothing was written back";
    }

    // The file's space: every listed run well formed, and every granule the
    // header, the class table, a live image or free, exactly once.
    EXPECT_TRUE(BKFreeListValid(fcb_, FreeListOf(fcb_).data(), fcb_->h.freeCount));
    EXPECT_EQ(SpaceCensus(fcb_), "");
    for (ModelTable &t : tables_) ASSERT_NO_FATAL_FAILURE(Check(t));
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), FS_E_STILL_CHECKED_OUT); // the master chunk is held
    EXPECT_EQ(SpaceCensus(fcb_), "");
    for (ModelTable &t : tables_) ASSERT_NO_FATAL_FAILURE(Check(t));
}

INSTANTIATE_TEST_SUITE_P(Budgets, RandomRecordSpaceTest,
                         ::testing::Values(Budget{"unlimited", 0}, Budget{"small", 16 * 1024}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
