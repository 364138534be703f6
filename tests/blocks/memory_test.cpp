// Chunk memory blocks and the memory accounting.
#include <algorithm>

#include <gtest/gtest.h>

#include "blocks/memory.h"
#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

class ChunkMemory : public ByteRecordsTest {
protected:
    // A chunk of n records with an ordinary, unlocked block (dirty, listed).
    uint16_t Resident(uint16_t n) {
        uint16_t ti = NewChunk(4, n);
        FillChunk(ti, 1);
        return ti;
    }
};

TEST_F(ChunkMemory, AccountingFollowsTheReportedSizeThroughEveryState) {
    uint32_t base = fcb_->h.memInUse;
    uint16_t ti = NewChunk(4, 1000);
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, ti, &data), 0);
    HGLOBAL mem = ThunkOf(fcb_, ti).mem;
    uint32_t size = GlobalSize(mem);
    EXPECT_GE(size, 1024u) << "1000 bytes round up to the class's 32-byte granule";
    EXPECT_EQ(fcb_->h.memInUse, base + size);

    // A clean unlocked chunk becomes discardable and is no longer counted.
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
    EXPECT_TRUE(ThunkOf(fcb_, ti).flags & THUNK_DISCARDABLE);
    EXPECT_EQ(fcb_->h.memInUse, base);

    // Locked again while its data survived: ordinary and counted, no read.
    uint32_t reads = VMFaultCount(VM_OP_READ);
    ASSERT_EQ(TBLockChunk(fcb_, ti, &data), 0);
    EXPECT_FALSE(ThunkOf(fcb_, ti).flags & THUNK_DISCARDABLE);
    EXPECT_EQ(fcb_->h.memInUse, base + size);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), reads);
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);

    // Freeing a discardable block leaves the count alone.
    {
        ThunkLock lock(fcb_);
        BKFreeMem(fcb_, ti);
    }
    EXPECT_EQ(fcb_->h.memInUse, base);
    Thunk t = ThunkOf(fcb_, ti);
    EXPECT_EQ(t.flags & THUNK_HAS_MEM, 0);
    EXPECT_EQ(+t.mem, 0u);
}

// A resize corrects the count and never asks for nothing; a refused one
// keeps the old block, counted as before.
TEST_F(ChunkMemory, ResizeCorrectsTheCountAndARefusalKeepsTheOldBlock) {
    uint16_t ti = Resident(1000);
    uint32_t base = fcb_->h.memInUse - GlobalSize(ThunkOf(fcb_, ti).mem);
    {
        ThunkLock lock(fcb_);
        for (uint32_t size : {5000u, 0u}) {
            ASSERT_EQ(BKResizeMem(fcb_, ti, size), 0);
            HGLOBAL mem = ThunkAt(fcb_, ti)->mem;
            EXPECT_GE(GlobalSize(mem), std::max(size, 1u));
            EXPECT_EQ(GlobalFlags(mem) & GMEM_INVALID_HANDLE, 0u);
            EXPECT_EQ(fcb_->h.memInUse, base + GlobalSize(mem));
        }
    }
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, ti, &data), 0);
    uint32_t inUse = fcb_->h.memInUse;
    VMFaultFail(VM_OP_GALLOC, 0, VM_E_NOMEM);
    {
        ThunkLock lock(fcb_);
        HGLOBAL mem = ThunkAt(fcb_, ti)->mem;
        uint32_t size = GlobalSize(mem);
        EXPECT_NE(BKResizeMem(fcb_, ti, 30000), 0);
        EXPECT_EQ(+ThunkAt(fcb_, ti)->mem, mem);
        EXPECT_EQ(GlobalSize(mem), size);
        EXPECT_EQ(fcb_->h.memInUse, inUse);
    }
    VMFaultReset();
    EXPECT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
}

TEST_F(ChunkMemory, ResizeOfReclaimedDataChangesNothing) {
    uint16_t ti = NewChunk(4, 1000);
    ChunkBytes(ti); // loaded, then discardable
    ASSERT_GE(GlobalReclaimDiscardable(), 1u);
    Thunk before = ThunkOf(fcb_, ti);
    uint32_t inUse = fcb_->h.memInUse;
    {
        ThunkLock lock(fcb_);
        EXPECT_FALSE(BKMemPresent(fcb_, ti));
        EXPECT_EQ(BKResizeMem(fcb_, ti, 2000), BK_RECLAIMED);
        // Kept again, its dead block is still not counted.
        BKKeepMem(fcb_, ti);
        EXPECT_FALSE(BKMemPresent(fcb_, ti));
    }
    EXPECT_EQ(+ThunkOf(fcb_, ti).mem, +before.mem);
    EXPECT_EQ(fcb_->h.memInUse, inUse);
}

TEST_F(ChunkMemory, LockingFailsWithoutABlockOrWithoutRecords) {
    uint16_t ti = NewChunk(4, 0);
    void *data = &data;
    EXPECT_EQ(TBLockChunk(fcb_, ti, &data), FS_E_ZERO_LOCK);
    EXPECT_EQ(data, nullptr);
    ThunkLock lock(fcb_);
    EXPECT_EQ(BKLockMem(fcb_, ti, &data), FS_E_LOCKMEM);
    EXPECT_EQ(BKDerefMem(fcb_, ti), nullptr);
}

} // namespace
