// The block store: the chunk cache under a memory budget, file space and
// the moves of ownership between versions, each against a model, and what
// damaged references, stored lists and impossible requests get.
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "blocks/cache.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "blocks/versions.h"
#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

using List = std::vector<FreeEntry>;
using Bytes = std::vector<uint8_t>;

class ChunkCache : public ByteRecordsTest {
protected:
    void SetUp() override {
        ByteRecordsTest::SetUp();
        GlobalSetMoveOnLock(1); // a pointer kept past its unlock fails
    }
    std::vector<ChunkRef> RefsOf(uint16_t idx) {
        void *data;
        EXPECT_EQ(TBLockChunk(fcb_, idx, &data), 0);
        auto *refs = static_cast<ChunkRef *>(data);
        std::vector<ChunkRef> out(refs, refs + TBChunkCount(fcb_, idx));
        EXPECT_EQ(TBUnlockChunk(fcb_, idx, 0), 0);
        return out;
    }
    Bytes FileBytes(uint32_t pos, uint32_t n) { Bytes out(n); return VMRead(fcb_->file, pos, n, out.data()) == 0 ? out : Bytes{}; }
};

// Chunks of an index (given back and made resident again as the cache
// pleases) and chunks of their own, locked, changed, written back, reclaimed
// and saved at random under a small budget with refused allocations: every
// lock sees the model's bytes, and in the end the file holds the model.
// That a save leaves the images of the last one alone is the soak's to see.
TEST_F(ChunkCache, RandomUseUnderABudgetKeepsEveryByte) {
    const int seed = ::testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (--gtest_random_seed)");
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    std::vector<uint16_t> sizes, kids, loners;
    for (int i = 0; i < 10; ++i) sizes.push_back(static_cast<uint16_t>(pick(50, 3000)));
    uint16_t idx = NewIndex(sizes, 4, 1, &kids);
    for (int i = 0; i < 6; ++i) loners.push_back(NewChunk(4, static_cast<uint16_t>(pick(50, 3000))));
    const size_t total = sizes.size() + loners.size();
    std::vector<Bytes> model(total);
    for (size_t k = 0; k < total; ++k)
        model[k].assign(k < sizes.size() ? sizes[k] : TBChunkCount(fcb_, loners[k - sizes.size()]), 0);
    fcb_->h.memBudget = 12000;
    // Locks chunk k and compares it with the model; FS_E_NOMEM changes nothing.
    auto lock = [&](size_t k, uint16_t *ti, uint8_t **bytes) {
        *ti = k >= sizes.size() ? loners[k - sizes.size()] : THUNK_NONE;
        uint32_t rix = 0;
        for (size_t i = 0; i < k && k < sizes.size(); ++i) rix += sizes[i];
        FSStatus status = *ti != THUNK_NONE ? 0 : TBLocateRecord(fcb_, idx, rix, ti, nullptr, nullptr, nullptr);
        void *data = nullptr;
        if (status == 0) status = TBLockChunk(fcb_, *ti, &data);
        *bytes = static_cast<uint8_t *>(data);
        EXPECT_TRUE(status != 0 || std::memcmp(*bytes, model[k].data(), model[k].size()) == 0) << "chunk " << k;
        return status;
    };
    uint16_t ti;
    uint8_t *bytes;
    for (int step = 0; step < 2000; ++step) {
        SCOPED_TRACE(step);
        size_t k = pick(0, static_cast<uint32_t>(total - 1));
        uint32_t what = pick(0, 99);
        if (what < 4) {
            VMFaultFailOnce(VM_OP_GALLOC, pick(0, 3), VM_E_NOMEM);
        } else if (what < 10) {
            GlobalReclaimDiscardable();
        } else if (what < 16) {
            EXPECT_EQ(BKFlush(fcb_, pick(1, 8000)), 0);
        } else if (what < 18) {
            CommitNow(fcb_, MOVE_SAVE); // a refusal moves nothing
        } else if (FSStatus status = lock(k, &ti, &bytes); status != FS_E_NOMEM) {
            ASSERT_EQ(status, 0);
            Bytes &m = model[k];
            const uint32_t from = pick(0, m.size() - 1), to = pick(from, m.size() - 1), value = pick(1, 255);
            for (uint32_t i = from; i <= to && what < 60; ++i) bytes[i] = m[i] = static_cast<uint8_t>(value);
            ASSERT_EQ(TBUnlockChunk(fcb_, ti, what < 60), 0);
        }
    }
    VMFaultReset();
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    std::vector<ChunkRef> refs = RefsOf(idx);
    GlobalReclaimDiscardable();
    for (size_t k = 0; k < total; ++k) {
        EXPECT_FALSE(k < sizes.size() && (refs[k].flags & REF_RESIDENT)) << "child " << k << " left resident";
        ASSERT_EQ(lock(k, &ti, &bytes), 0);
        ASSERT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
    }
}

// References that cannot be right (no such class, past the end, over the
// chunk limit) are fatal without a read; resident marks read from a stored
// index are not trusted; after a failed read no block is kept without a
// valid image and no later load reads.
TEST_F(ChunkCache, DamagedReferencesAndFailedReadsAreFatalWithoutReading) {
    uint32_t end = fcb_->h.fileSize;
    for (ChunkRef bad : {ChunkRef{0, 200, 10, 192, 0}, ChunkRef{0, 4, 1000, end - 64, 0},
                         ChunkRef{0, 4, 61441, 192, 0}, ChunkRef{0, 4, 62000, 0, 0}}) {
        fcb_->h.stateFlags &= ~STATE_FATAL;
        ChunkRef &ref = refs_[nextRef_++] = bad;
        uint16_t ti;
        void *data;
        ASSERT_EQ(TBSlotFor(fcb_, &ref, &ti), 0);
        uint32_t reads = VMFaultCount(VM_OP_READ) + VMFaultCount(VM_OP_GALLOC);
        EXPECT_TRUE(TBLockChunk(fcb_, ti, &data) == FS_E_FATAL && FSFatalError(fcb_) == 1);
        EXPECT_EQ(VMFaultCount(VM_OP_READ) + VMFaultCount(VM_OP_GALLOC), reads) << bad.storedCount;
    }
    fcb_->h.stateFlags &= ~STATE_FATAL;
    uint32_t at, first;
    ChunkRef stale[2] = {{0xFD, 4, 3, 0, 7}, {0x01, 4, 2, 0, 9999}};
    ASSERT_EQ(BKAllocSpace(fcb_, sizeof stale, VER_CURRENT, &at), 0);
    ASSERT_EQ(VMWrite(fcb_->file, at, sizeof stale, stale), 0);
    ChunkRef &ref = refs_[nextRef_++] = ChunkRef{0, CLASS_INDEX, 2, at, 0};
    uint16_t idx, chunk;
    ASSERT_EQ(TBSlotFor(fcb_, &ref, &idx), 0);
    EXPECT_EQ(RefsOf(idx)[0].flags | RefsOf(idx)[1].flags, 0);
    EXPECT_TRUE(TBLocateRecord(fcb_, idx, 4, &chunk, &first, nullptr, nullptr) == 0 && first == 3u);

    uint16_t a = NewChunk(4, 100), b = NewChunk(4, 100);
    FillChunk(a, 1), FillChunk(b, 2);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    ASSERT_GE(GlobalReclaimDiscardable(), 2u);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    void *data = &data;
    EXPECT_TRUE(TBLockChunk(fcb_, a, &data) == FS_E_FATAL && data == nullptr && ThunkOf(fcb_, a).mem == 0);
    VMFaultReset();
    EXPECT_TRUE(TBLockChunk(fcb_, b, &data) == FS_E_FATAL && TBLockChunk(fcb_, NewChunk(4, 10), &data) == FS_E_FATAL);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), 0u);
}

// The owner bits of every 64-byte granule; unlisted granules belong to
// every version.
struct Model {
    std::vector<uint16_t> owners;
    static Model From(const List &list, uint32_t size, uint16_t versions) {
        Model m{std::vector<uint16_t>(size / 64, versions)};
        for (const FreeEntry &e : list) m.Set(e.pos, e.len, e.owners);
        return m;
    }
    static Model Of(FCB *fcb) { return From(FreeListOf(fcb), fcb->h.fileSize, fcb->h.versionFlags); }
    bool AllFree(uint32_t pos, uint32_t len) const {
        for (uint32_t g = pos / 64; g < (pos + len + 63) / 64; ++g) if (g < owners.size() && owners[g] != 0) return false;
        return true;
    }
    void Set(uint32_t pos, uint32_t len, uint16_t bits) { for (uint32_t g = pos / 64; g < (pos + len + 63) / 64; ++g) owners[g] = bits; }
};

class Space : public BareFcbTest {
protected:
    uint32_t Alloc(uint32_t length, uint16_t owner) {
        uint32_t at = 0;
        return BKAllocSpace(fcb_, length, owner, &at) == 0 ? at : 0xDEAD;
    }
    List StoredList() {
        List out(fcb_->h.savedFreeCount);
        return out.empty() || VMRead(fcb_->file, fcb_->h.savedFreeOffset, out.size() * 10, out.data()) == 0 ? out : List{};
    }
    void Start(uint16_t versions, uint32_t size, const List &list) {
        fcb_->h.versionFlags = versions, fcb_->h.fileSize = size, fcb_->h.stateFlags = 0;
        fcb_->h.savedFreeCount = 0, fcb_->h.savedFreeOffset = 0;
        ASSERT_EQ(VMSetFileSize(fcb_->file, size), 0);
        SetFreeList(fcb_, list);
    }
};

// Each row: a move, the versions and list before, the versions, list and
// size after (before the stored copy takes its place). The copy must lie in
// a run free before the move, or at the old end; the list stays canonical.
TEST_F(Space, EachMoveOfOwnershipGivesTheListOfItsRow) {
    struct Row { VersionMove move; uint16_t before, after; List in, out; uint32_t sizeAfter = 4096; };
    const Row rows[] = {
        {MOVE_SAVE, 0x5, 0x5, {{4, 192, 64}, {1, 256, 64}, {0, 320, 64}}, {{0, 192, 64}, {0, 320, 64}}},
        {MOVE_SAVE, 0x7, 0x5, {{1, 192, 64}, {2, 256, 64}, {6, 320, 64}, {0, 1024, 256}}, {{0, 256, 128}, {0, 1024, 256}}},
        {MOVE_MINI_SAVE, 0x5, 0x7, {{1, 192, 64}, {4, 256, 64}, {0, 512, 128}}, {{3, 192, 64}, {4, 256, 64}, {0, 512, 128}}},
        {MOVE_MINI_SAVE, 0x7, 0x7, {{2, 192, 64}, {3, 256, 64}, {4, 320, 64}}, {{0, 192, 64}, {3, 256, 64}, {4, 320, 64}}, 4160},
        {MOVE_OPEN_SAVED, 0x7, 0x5, {{1, 192, 64}, {4, 256, 64}, {2, 320, 64}, {0, 2048, 64}}, {{0, 192, 64}, {0, 320, 64}, {0, 2048, 64}}},
        {MOVE_OPEN_MINI, 0x7, 0x7, {{1, 192, 64}, {2, 256, 64}, {6, 320, 64}, {0, 960, 64}}, {{0, 192, 64}, {3, 256, 64}, {0, 960, 64}}},
        // the copy goes to the tail's first place free before; the file is cut after it
        {MOVE_CLOSE_TO_SAVED, 0x7, 0x4, {{3, 192, 64}, {4, 256, 64}, {2, 320, 1024}, {0, 1344, 128}, {3, 1472, 2624}},
         {{0, 192, 64}, {0, 320, 1024}}, 1408},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.in));
        Start(row.before, 4096, row.in);
        ASSERT_EQ(CommitNow(fcb_, row.move), 0);
        EXPECT_TRUE(fcb_->h.versionFlags == row.after && VMFileSize(fcb_->file) == row.sizeAfter);
        const uint32_t copy = fcb_->h.savedFreeOffset, copyLen = fcb_->h.savedFreeCount * 10u;
        EXPECT_TRUE(copy >= 4096 || Model::From(row.in, 4096, row.before).AllFree(copy, copyLen)) << copy;
        Model expected = Model::From(row.out, 4096, row.after);
        expected.owners.resize(row.sizeAfter / 64, row.after);
        expected.Set(copy, copyLen, row.after);
        EXPECT_EQ(Model::Of(fcb_).owners, expected.owners);
        List list = FreeListOf(fcb_);
        EXPECT_TRUE(StoredList() == list && BKFreeListValid(fcb_, list.data(), static_cast<uint32_t>(list.size())));
    }
}

// Allocations, releases and moves at random against the model of owners.
TEST_F(Space, RandomSequencesAgreeWithAModelOfOwnership) {
    const int seed = ::testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (--gtest_random_seed)");
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    Start(0x1, 192, {});
    Model model = Model::Of(fcb_);
    std::vector<std::pair<uint32_t, uint32_t>> runs; // runs the current version may give up
    auto apply = [&](VersionMove move) {
        const uint32_t oldCopy = fcb_->h.savedFreeOffset, oldLen = fcb_->h.savedFreeCount * 10u, oldSize = fcb_->h.fileSize;
        const Model before = model;
        ASSERT_EQ(CommitNow(fcb_, move), 0);
        if (oldCopy != 0) model.Set(oldCopy, oldLen, 0);
        for (uint16_t &o : model.owners) o &= ~move.clear, o = (o & move.test) ? (o | move.set) : (o & ~move.set);
        // Runs the current version no longer wholly owns are not its to give up.
        std::erase_if(runs, [&](std::pair<uint32_t, uint32_t> r) {
            for (uint32_t g = r.first / 64; g < (r.first + r.second + 63) / 64; ++g) if (!(model.owners[g] & VER_CURRENT)) return true;
            return false;
        });
        for (size_t g = fcb_->h.fileSize / 64; g < model.owners.size(); ++g) ASSERT_EQ(model.owners[g], 0) << "cut space in use";
        model.owners.resize(fcb_->h.fileSize / 64, fcb_->h.versionFlags);
        const uint32_t copy = fcb_->h.savedFreeOffset, len = fcb_->h.savedFreeCount * 10u;
        if (copy == 0) return;
        ASSERT_TRUE(copy >= oldSize || before.AllFree(copy, len)) << "copy over freed space at " << copy;
        model.Set(copy, len, fcb_->h.versionFlags);
        EXPECT_EQ(StoredList(), FreeListOf(fcb_));
    };
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        uint32_t what = pick(0, 99);
        uint16_t vf = fcb_->h.versionFlags;
        if (what < 55) {
            const uint32_t len = pick(1, 2000), owner = what < 50 ? VER_CURRENT : vf, at = Alloc(len, owner);
            ASSERT_TRUE(model.AllFree(at, len)) << "allocated space in use";
            model.owners.resize(fcb_->h.fileSize / 64, 0), model.Set(at, len, static_cast<uint16_t>(owner));
            runs.emplace_back(at, len);
        } else if (what < 93) {
            if (runs.empty()) continue;
            size_t i = pick(0, static_cast<uint32_t>(runs.size() - 1));
            auto [pos, len] = runs[i];
            BKReleaseSpace(fcb_, pos, len, VER_CURRENT);
            for (uint32_t g = pos / 64; g < (pos + len + 63) / 64; ++g) model.owners[g] &= ~VER_CURRENT;
            runs.erase(runs.begin() + i);
        } else {
            const VersionMove moves[] = {MOVE_SAVE, MOVE_MINI_SAVE, MOVE_OPEN_SAVED, MOVE_OPEN_MINI, MOVE_CLOSE_TO_SAVED};
            uint32_t m = pick(0, 4);
            if (((m == 2 || m == 4) && !(vf & VER_SAVED)) || (m == 3 && !(vf & VER_MINI))) continue;
            apply(moves[m]);
            if (m == 4) apply(MOVE_OPEN_SAVED); // reopened
        }
        List list = FreeListOf(fcb_);
        ASSERT_TRUE(BKFreeListValid(fcb_, list.data(), static_cast<uint32_t>(list.size())));
        ASSERT_EQ(VMFileSize(fcb_->file), +fcb_->h.fileSize);
        ASSERT_EQ(Model::Of(fcb_).owners, model.owners);
    }
}

// Releases that cannot name a real run are ignored; a full list falls back
// to space of every version; growth past 4 GiB, a refused growth and a
// request over 16 bits fail as a full disk or a block limit, taking nothing.
TEST_F(Space, ImpossibleReleasesAndRequestsChangeNothing) {
    const List before{{1, 256, 128}, {0, 1024, 256}};
    Start(0x5, 8192, before);
    for (auto [pos, len] : {std::pair{0u, 154u}, {520u, 64u}, {8192u, 64u}, {8128u, 128u}, {960u, 128u}, {320u, 64u}, {512u, 70000u}, {256u, 64u}})
        BKReleaseSpace(fcb_, pos, len, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), before);

    List full;
    for (uint32_t i = 0; i < FREE_LIST_MAX; ++i) full.push_back({4, 192 + 128 * i, 64});
    const uint32_t end = 192 + 128 * FREE_LIST_MAX;
    Start(0x5, end, full);
    BKReleaseSpace(fcb_, 256, 64, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), full);
    EXPECT_TRUE(Alloc(100, VER_CURRENT) == end && VMFileSize(fcb_->file) == end + 128);
    EXPECT_EQ(BKInsertFree(fcb_, end, 128, 0, FREE_LIST_MAX), FS_E_FREELIST_FULL);

    struct Case { uint32_t size, len; uint16_t versions; FSStatus status; };
    for (Case c : {Case{0xFFFFF000, 8192, 0x1, FS_E_DISKFULL}, Case{0xFFFFF000, 100, 0x5, FS_E_DISKFULL},
                   Case{192, 100, 0x1, VM_E_DISKFULL}, Case{192, 65536, 0x1, FS_E_BLOCK_LIMIT}}) {
        Start(c.versions, 192, {}), fcb_->h.fileSize = c.size;
        if (c.status == VM_E_DISKFULL) VMFaultFail(VM_OP_SETSIZE, 0, VM_E_DISKFULL);
        uint32_t at = 1, setSizes = VMFaultCount(VM_OP_SETSIZE);
        EXPECT_EQ(BKAllocSpace(fcb_, c.len, VER_CURRENT, &at), c.status);
        EXPECT_TRUE(at == 0 && fcb_->h.fileSize == c.size && FreeListOf(fcb_).empty());
        EXPECT_EQ(c.status != FS_E_BLOCK_LIMIT, (fcb_->h.stateFlags & STATE_DISK_FULL) != 0);
        EXPECT_TRUE(c.size == 192 || VMFaultCount(VM_OP_SETSIZE) == setSizes);
        VMFaultReset();
    }
}

// A stored list that cannot be right is not trusted: the header then names
// no copy, so its space is never freed.
TEST_F(Space, DamagedStoredListsAreDropped) {
    auto load = [&](const List &stored, uint32_t count, uint32_t offset = 1024) {
        Start(0x5, 65536, {});
        EXPECT_EQ(VMWrite(fcb_->file, offset, stored.size() * 10, stored.data()), 0);
        fcb_->h.savedFreeCount = static_cast<uint16_t>(count), fcb_->h.savedFreeOffset = offset;
        BKLoadFreeList(fcb_);
        return fcb_->h.freeCount == 0 && fcb_->h.savedFreeCount == 0 && fcb_->h.savedFreeOffset == 0;
    };
    const List good{{4, 192, 64}, {0, 256, 128}, {1, 4096, 4096}};
    EXPECT_TRUE(!load(good, 3) && FreeListOf(fcb_) == good);
    const List bad[] = {{{4, 256, 64}, {0, 192, 64}}, {{4, 192, 128}, {0, 256, 64}}, {{4, 200, 64}},
                        {{4, 192, 100}}, {{0, 65472, 128}}, {{0, 0, 192}}, {{0, 192, 0}},
                        {{0, 0xFFFFFFC0, 0x80}}, {{0x8, 192, 64}}};
    for (const List &stored : bad) EXPECT_TRUE(load(stored, static_cast<uint32_t>(stored.size()))) << ::testing::PrintToString(stored);
    EXPECT_TRUE(load({{4, 192, 64}}, FREE_LIST_MAX + 1));
    EXPECT_TRUE(load({{4, 192, 64}}, 1, 65530));
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    EXPECT_TRUE(load({{4, 192, 64}}, 1));
}

} // namespace
