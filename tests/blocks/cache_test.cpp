// The chunk cache: write-back order and quota, parents and children, the
// memory budget and the shortage policy, reloading, and unreadable chunks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "blocks/cache.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "blocks/versions.h"
#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

class ChunkCache : public ByteRecordsTest {
protected:
    void SetUp() override {
        ByteRecordsTest::SetUp();
        GlobalSetMoveOnLock(1); // a pointer kept past its unlock fails
    }
    // A dirty chunk of n bytes waiting on the resident list.
    uint16_t Dirty(uint16_t n, uint8_t seed = 1) {
        uint16_t ti = NewChunk(4, n);
        FillChunk(ti, seed);
        return ti;
    }
    static std::vector<uint8_t> Pattern(uint32_t n, uint8_t seed) {
        std::vector<uint8_t> out(n);
        for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
        return out;
    }
    std::vector<uint8_t> Image(uint16_t ti) {
        Thunk t = ThunkOf(fcb_, ti);
        std::vector<uint8_t> out(t.storedCount);
        EXPECT_EQ(VMRead(fcb_->file, t.filePos, t.storedCount, out.data()), 0);
        return out;
    }
    std::vector<uint16_t> ListOrder() {
        std::vector<uint16_t> out;
        ThunkLock lock(fcb_);
        for (uint16_t i = fcb_->h.lruHead; i != THUNK_NONE; i = ThunkAt(fcb_, i)->next)
            out.push_back(i);
        return out;
    }
    // A new index chunk naming new resident chunks of these sizes.
    uint16_t Index(const std::vector<uint16_t> &sizes, std::vector<uint16_t> *children) {
        return NewIndex(sizes, 4, 1, children);
    }
    std::vector<ChunkRef> RefsOf(uint16_t idx) {
        void *data;
        EXPECT_EQ(TBLockChunk(fcb_, idx, &data), 0);
        auto *refs = static_cast<ChunkRef *>(data);
        std::vector<ChunkRef> out(refs, refs + TBChunkCount(fcb_, idx));
        EXPECT_EQ(TBUnlockChunk(fcb_, idx, 0), 0);
        return out;
    }
};

TEST_F(ChunkCache, QuotaWritesOldestFirstAndStopsWhenUsedUp) {
    uint16_t a = Dirty(1000, 1);
    uint16_t b = Dirty(3000, 2);
    uint32_t writes = VMFaultCount(VM_OP_WRITE);
    EXPECT_EQ(BKFlush(fcb_, 500), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) - writes, 1u);
    Thunk ta = ThunkOf(fcb_, a);
    EXPECT_EQ(ta.flags & (THUNK_DIRTY | THUNK_ON_LIST), 0);
    EXPECT_TRUE(ta.flags & THUNK_DISCARDABLE);
    EXPECT_EQ(+ta.storedCount, 1000);
    EXPECT_EQ(Image(a), Pattern(1000, 1));
    EXPECT_EQ(ListOrder(), std::vector<uint16_t>{b});

    EXPECT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(Image(b), Pattern(3000, 2));
    EXPECT_TRUE(ListOrder().empty());
}

TEST_F(ChunkCache, ParentIsWrittenAfterItsChildrenAndTakesTheirThunksBack) {
    std::vector<uint16_t> kids;
    uint16_t idx = Index({300, 200}, &kids);
    FillChunk(kids[0], 10);
    FillChunk(kids[1], 20);
    ASSERT_EQ(ListOrder(), (std::vector<uint16_t>{idx, kids[0], kids[1]}));

    uint32_t writes = VMFaultCount(VM_OP_WRITE);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) - writes, 3u);
    for (uint16_t k : kids) EXPECT_EQ(ThunkOf(fcb_, k).flags, 0) << "child thunk not given back";

    Thunk parent = ThunkOf(fcb_, idx);
    EXPECT_EQ(parent.flags & THUNK_DIRTY, 0);
    std::vector<ChunkRef> stored(2);
    ASSERT_EQ(VMRead(fcb_->file, parent.filePos, 20, stored.data()), 0);
    std::vector<ChunkRef> inMemory = RefsOf(idx);
    ASSERT_EQ(std::memcmp(stored.data(), inMemory.data(), 20), 0);
    const uint8_t seeds[] = {10, 20};
    const uint16_t counts[] = {300, 200};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(stored[i].flags, 0);
        EXPECT_EQ(+stored[i].thunk, THUNK_NONE);
        EXPECT_EQ(+stored[i].storedCount, counts[i]);
        EXPECT_LT(+stored[i].filePos, +parent.filePos) << "parent reached the file first";
        std::vector<uint8_t> image(counts[i]);
        ASSERT_EQ(VMRead(fcb_->file, stored[i].filePos, counts[i], image.data()), 0);
        EXPECT_EQ(image, Pattern(counts[i], seeds[i]));
    }
}

TEST_F(ChunkCache, CleanParentIsRewrittenOnlyWhenAChildMoved) {
    std::vector<uint16_t> kids;
    uint16_t idx = Index({100}, &kids);
    FillChunk(kids[0], 3);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);

    // Locked and unlocked clean, the parent waits on the list all the same.
    RefsOf(idx);
    ASSERT_EQ(ListOrder(), std::vector<uint16_t>{idx});
    uint32_t writes = VMFaultCount(VM_OP_WRITE);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), writes);

    // A child made resident and read, but unchanged: still nothing to write.
    uint16_t child;
    ASSERT_EQ(TBLocateRecord(fcb_, idx, 0, &child, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ChunkBytes(child), Pattern(100, 3));
    RefsOf(idx);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), writes);

    // A changed child moves (the saved version keeps its old image), so its
    // parent is written after it.
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    ASSERT_EQ(TBLocateRecord(fcb_, idx, 0, &child, nullptr, nullptr, nullptr), 0);
    FillChunk(child, 4);
    RefsOf(idx);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) - writes, 2u);
}

TEST_F(ChunkCache, ParentWithALockedChildStaysAndGoesToTheTail) {
    std::vector<uint16_t> kids;
    uint16_t idx = Index({100}, &kids);
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, kids[0], &data), 0);
    uint16_t other = Dirty(50);
    ASSERT_EQ(ListOrder(), (std::vector<uint16_t>{idx, other}));
    {
        ThunkLock lock(fcb_);
        EXPECT_EQ(BKFlushList(fcb_, BK_QUOTA_ALL), FS_E_LOCK_FOUND);
    }
    EXPECT_EQ(ListOrder(), std::vector<uint16_t>{idx});
    EXPECT_TRUE(ThunkOf(fcb_, idx).flags & THUNK_HAS_MEM);
    EXPECT_TRUE(ThunkOf(fcb_, kids[0]).flags & THUNK_IN_USE);
    EXPECT_EQ(RefsOf(idx)[0].flags & REF_RESIDENT, REF_RESIDENT);
    ASSERT_EQ(TBUnlockChunk(fcb_, kids[0], 0), 0);
}

TEST_F(ChunkCache, PinnedChunkIsNotWrittenBack) {
    uint16_t a = Dirty(100);
    ASSERT_EQ(TBPinChunk(fcb_, a, +1), 0);
    EXPECT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), FS_E_STILL_CHECKED_OUT);
    EXPECT_TRUE(ThunkOf(fcb_, a).flags & THUNK_DIRTY);
    EXPECT_EQ(ListOrder(), std::vector<uint16_t>{a});
    ASSERT_EQ(TBPinChunk(fcb_, a, -1), 0);
    EXPECT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
}

TEST_F(ChunkCache, EmptiedChunkGivesItsImageUp) {
    uint16_t a = Dirty(100);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    uint32_t at = ThunkOf(fcb_, a).filePos;
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, a, &data), 0);
    {
        ThunkLock lock(fcb_);
        ThunkAt(fcb_, a)->count = 0; // every record removed
    }
    ASSERT_EQ(TBUnlockChunk(fcb_, a, 1), 0);
    uint32_t writes = VMFaultCount(VM_OP_WRITE);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), writes);
    Thunk t = ThunkOf(fcb_, a);
    EXPECT_EQ(+t.filePos, 0u);
    EXPECT_EQ(+t.storedCount, 0);
    EXPECT_EQ(FreeListOf(fcb_), (std::vector<FreeEntry>{{0, at, 128}}));
}

// Without a budget nothing is written back to make room; over the budget
// the whole request is written back, not just the excess.
TEST_F(ChunkCache, BudgetWritesBackTheWholeRequestOnlyWhenOver) {
    uint16_t a = Dirty(1500), b = Dirty(1000), c = Dirty(1000);
    uint32_t writes = VMFaultCount(VM_OP_WRITE);
    BKMakeRoom(fcb_, 0xFFFFFF);
    ChunkBytes(NewChunk(4, 30000));
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), writes);
    fcb_->h.memBudget = fcb_->h.memInUse + 1000;
    BKMakeRoom(fcb_, 900); // within the budget
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), writes);
    BKMakeRoom(fcb_, 2000); // 1000 over: the quota is 2000 all the same
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) - writes, 2u);
    EXPECT_FALSE(ThunkOf(fcb_, a).flags & THUNK_DIRTY);
    EXPECT_FALSE(ThunkOf(fcb_, b).flags & THUNK_DIRTY);
    EXPECT_EQ(ListOrder(), std::vector<uint16_t>{c});
}

TEST_F(ChunkCache, RefusedAllocationWritesEverythingBackOnceAndRetriesOnce) {
    for (bool transient : {true, false}) {
        SCOPED_TRACE(transient ? "refused once" : "refused for good");
        for (int i = 0; i < 3; ++i) Dirty(1000);
        uint16_t fresh = NewChunk(4, 500);
        uint32_t writes = VMFaultCount(VM_OP_WRITE), allocs = VMFaultCount(VM_OP_GALLOC);
        if (transient) VMFaultFailOnce(VM_OP_GALLOC, 0, VM_E_NOMEM);
        else VMFaultFail(VM_OP_GALLOC, 0, VM_E_NOMEM);
        void *data;
        EXPECT_EQ(TBLockChunk(fcb_, fresh, &data), transient ? 0 : FS_E_NOMEM);
        EXPECT_EQ(VMFaultCount(VM_OP_WRITE) - writes, 3u);
        EXPECT_EQ(VMFaultCount(VM_OP_GALLOC) - allocs, 2u);
        EXPECT_TRUE(ListOrder().empty());
        Thunk t = ThunkOf(fcb_, fresh);
        EXPECT_EQ(t.mem != 0, transient);
        EXPECT_EQ((t.flags & THUNK_HAS_MEM) != 0, transient);
        EXPECT_EQ(ThunkBusy(&t), 0) << "the load's pin was not taken back";
        if (transient) {
            ASSERT_EQ(TBUnlockChunk(fcb_, fresh, 0), 0);
        }
    }
}

TEST_F(ChunkCache, RefusedGrowthWritesEverythingBackOnceAndRetriesOnce) {
    for (int i = 0; i < 3; ++i) Dirty(1000);
    uint16_t grow = NewChunk(4, 100);
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, grow, &data), 0);
    uint32_t writes = VMFaultCount(VM_OP_WRITE);
    VMFaultFailOnce(VM_OP_GALLOC, 0, VM_E_NOMEM);
    {
        ThunkLock lock(fcb_);
        EXPECT_EQ(BKResizeMem(fcb_, grow, 20000), 0);
        EXPECT_GE(GlobalSize(ThunkAt(fcb_, grow)->mem), 20000u);
    }
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE) - writes, 3u);
    ASSERT_EQ(TBUnlockChunk(fcb_, grow, 0), 0);
}

TEST_F(ChunkCache, ReclaimedChunkIsReloadedWithItsBytes) {
    uint16_t a = Dirty(2000, 5);
    uint16_t fresh = NewChunk(4, 300); // never written: reads as zeros
    ChunkBytes(fresh);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    ASSERT_GE(GlobalReclaimDiscardable(), 2u);

    uint32_t reads = VMFaultCount(VM_OP_READ);
    EXPECT_EQ(ChunkBytes(a), Pattern(2000, 5));
    EXPECT_EQ(VMFaultCount(VM_OP_READ) - reads, 1u) << "one read per image";
    EXPECT_EQ(ChunkBytes(fresh), std::vector<uint8_t>(300, 0));
    EXPECT_EQ(VMFaultCount(VM_OP_READ) - reads, 1u);
    // Survived this time: used again without a read.
    EXPECT_EQ(ChunkBytes(a), Pattern(2000, 5));
    EXPECT_EQ(VMFaultCount(VM_OP_READ) - reads, 1u);
}

TEST_F(ChunkCache, AfterAFailedReadEveryLoadFailsWithoutReading) {
    uint16_t a = Dirty(100, 1), b = Dirty(100, 2);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    ASSERT_EQ(GlobalReclaimDiscardable(), 2u);
    VMFaultFail(VM_OP_READ, 0, VM_E_READ);
    void *data = &data;
    EXPECT_EQ(TBLockChunk(fcb_, a, &data), FS_E_FATAL);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(FSFatalError(fcb_), 1);
    Thunk t = ThunkOf(fcb_, a);
    EXPECT_EQ(t.lockCount, 0);
    EXPECT_EQ(+t.mem, 0u) << "a block without a valid image was kept";

    VMFaultReset();
    EXPECT_EQ(TBLockChunk(fcb_, b, &data), FS_E_FATAL);
    EXPECT_EQ(TBLockChunk(fcb_, a, &data), FS_E_FATAL);
    EXPECT_EQ(TBLockChunk(fcb_, NewChunk(4, 10), &data), FS_E_FATAL);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), 0u);
}

TEST_F(ChunkCache, ReferencesThatCannotBeRightAreNeverRead) {
    struct Case {
        const char *what;
        ChunkRef ref;
    };
    uint32_t end = fcb_->h.fileSize;
    const Case cases[] = {
        {"class without descriptor", {0, 200, 10, 192, 0}},
        {"image past fileSize", {0, 4, 1000, end - 64, 0}},
        {"image over the chunk limit", {0, 4, 61441, 192, 0}},
        {"count over the chunk limit", {0, 4, 62000, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fcb_->h.stateFlags &= ~STATE_FATAL;
        ChunkRef &ref = refs_[nextRef_++];
        ref = c.ref;
        uint16_t ti;
        ASSERT_EQ(TBSlotFor(fcb_, &ref, &ti), 0);
        uint32_t reads = VMFaultCount(VM_OP_READ), allocs = VMFaultCount(VM_OP_GALLOC);
        void *data;
        EXPECT_EQ(TBLockChunk(fcb_, ti, &data), FS_E_FATAL);
        EXPECT_EQ(FSFatalError(fcb_), 1);
        EXPECT_EQ(VMFaultCount(VM_OP_READ), reads);
        EXPECT_EQ(VMFaultCount(VM_OP_GALLOC), allocs);
    }
}

TEST_F(ChunkCache, ResidentMarksInAStoredIndexAreNotTrusted) {
    uint32_t at;
    ChunkRef stale[2] = {{0xFD, 4, 3, 0, 7}, {0x01, 4, 2, 0, 9999}};
    ASSERT_EQ(BKAllocSpace(fcb_, sizeof stale, VER_CURRENT, &at), 0);
    ASSERT_EQ(VMWrite(fcb_->file, at, sizeof stale, stale), 0);
    ChunkRef &ref = refs_[nextRef_++];
    ref = ChunkRef{0, CLASS_INDEX, 2, at, 0};
    uint16_t idx;
    ASSERT_EQ(TBSlotFor(fcb_, &ref, &idx), 0);
    std::vector<ChunkRef> refs = RefsOf(idx);
    EXPECT_EQ(refs[0].flags, 0);
    EXPECT_EQ(refs[1].flags, 0);
    EXPECT_EQ(TBRecordCount(fcb_, idx), 5u);
    uint16_t chunk;
    uint32_t first;
    ASSERT_EQ(TBLocateRecord(fcb_, idx, 4, &chunk, &first, nullptr, nullptr), 0);
    EXPECT_EQ(first, 3u);
    EXPECT_EQ(+ThunkOf(fcb_, chunk).storedCount, 2);
}

TEST_F(ChunkCache, RandomUseUnderABudgetKeepsEveryByte) {
    // Replay a failure with --gtest_random_seed=<seed>.
    const int seed = ::testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };

    // Children of an index chunk (given back and made resident again as the
    // cache pleases) and chunks of their own.
    std::vector<uint16_t> sizes, kids;
    for (int i = 0; i < 10; ++i) sizes.push_back(static_cast<uint16_t>(pick(50, 3000)));
    uint16_t idx = Index(sizes, &kids);
    std::vector<uint16_t> loners;
    for (int i = 0; i < 6; ++i) loners.push_back(NewChunk(4, static_cast<uint16_t>(pick(50, 3000))));
    const size_t total = sizes.size() + loners.size();
    std::vector<std::vector<uint8_t>> model(total);
    for (size_t k = 0; k < total; ++k)
        model[k].assign(k < sizes.size() ? sizes[k] : TBChunkCount(fcb_, loners[k - sizes.size()]), 0);
    fcb_->h.memBudget = 12000;

    auto thunkOf = [&](size_t k, uint16_t *ti) -> FSStatus {
        if (k >= sizes.size()) {
            *ti = loners[k - sizes.size()];
            return 0;
        }
        uint32_t rix = 0;
        for (size_t i = 0; i < k; ++i) rix += sizes[i];
        return TBLocateRecord(fcb_, idx, rix, ti, nullptr, nullptr, nullptr);
    };

    // Where each chunk's image lies in the file, as the thunk or the
    // reference in the index says.
    auto images = [&] {
        std::vector<std::pair<uint32_t, uint32_t>> out; // position, bytes
        std::vector<ChunkRef> refs = RefsOf(idx);
        for (size_t k = 0; k < total; ++k) {
            const ChunkRef *r = k < sizes.size() ? &refs[k] : nullptr;
            if (r == nullptr || (r->flags & REF_RESIDENT)) {
                Thunk t = ThunkOf(fcb_, r != nullptr ? r->thunk : loners[k - sizes.size()]);
                out.emplace_back(+t.filePos, +t.storedCount);
            } else {
                out.emplace_back(+r->filePos, +r->storedCount);
            }
        }
        return out;
    };
    // The images of the last save stay untouched until the next one.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> saved;
    auto checkSaved = [&] {
        for (auto &[pos, bytes] : saved) {
            std::vector<uint8_t> now(bytes.size());
            ASSERT_EQ(VMRead(fcb_->file, pos, now.size(), now.data()), 0);
            ASSERT_EQ(now, bytes) << "saved image at " << pos << " overwritten";
        }
    };

    for (int step = 0; step < 2000; ++step) {
        SCOPED_TRACE(step);
        size_t k = pick(0, static_cast<uint32_t>(total - 1));
        uint32_t what = pick(0, 99);
        if (what < 4) { // the platform refuses a request now and then
            VMFaultFailOnce(VM_OP_GALLOC, pick(0, 3), VM_E_NOMEM);
            continue;
        }
        if (what < 10) {
            GlobalReclaimDiscardable();
            continue;
        }
        if (what < 16) {
            EXPECT_EQ(BKFlush(fcb_, pick(1, 8000)), 0);
            continue;
        }
        if (what < 18) { // the images written so far become the saved version
            checkSaved();
            if (CommitNow(fcb_, MOVE_SAVE) != 0) continue; // a refused request: nothing moved
            saved.clear();
            for (auto [pos, bytes] : images()) {
                if (pos == 0) continue;
                std::vector<uint8_t> image(bytes);
                ASSERT_EQ(VMRead(fcb_->file, pos, bytes, image.data()), 0);
                saved.emplace_back(pos, image);
            }
            continue;
        }
        uint16_t ti;
        FSStatus status = thunkOf(k, &ti);
        void *data = nullptr;
        if (status == 0) status = TBLockChunk(fcb_, ti, &data);
        if (status == FS_E_NOMEM) continue; // refused twice: nothing changed
        ASSERT_EQ(status, 0);
        auto *bytes = static_cast<uint8_t *>(data);
        std::vector<uint8_t> &m = model[k];
        ASSERT_EQ(std::memcmp(bytes, m.data(), m.size()), 0) << "chunk " << k;
        bool change = what < 60;
        if (change) {
            uint32_t from = pick(0, static_cast<uint32_t>(m.size() - 1));
            uint32_t to = pick(from, static_cast<uint32_t>(m.size() - 1));
            uint8_t value = static_cast<uint8_t>(pick(1, 255));
            for (uint32_t i = from; i <= to; ++i) bytes[i] = m[i] = value;
        }
        ASSERT_EQ(TBUnlockChunk(fcb_, ti, change), 0);
    }

    // Everything written back: the index and the images in the file say
    // what the model says.
    VMFaultReset();
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    checkSaved();
    std::vector<ChunkRef> refs = RefsOf(idx);
    std::vector<std::pair<uint32_t, uint32_t>> at = images();
    for (size_t k = 0; k < total; ++k) {
        SCOPED_TRACE(k);
        if (k < sizes.size()) {
            ASSERT_EQ(refs[k].flags & REF_RESIDENT, 0) << "child left resident";
        }
        std::vector<uint8_t> image(at[k].first != 0 ? at[k].second : model[k].size());
        if (at[k].first != 0) {
            ASSERT_EQ(VMRead(fcb_->file, at[k].first, image.size(), image.data()), 0);
        }
        EXPECT_EQ(image, model[k]);
    }
}

} // namespace
