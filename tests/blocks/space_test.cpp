// File space: first fit, growth, release and merging, and their limits.
#include <gtest/gtest.h>

#include "blocks/space.h"
#include "common/scratch_fcb.h"

namespace {

using List = std::vector<FreeEntry>;

class BareFile : public BareFcbTest {
protected:
    // Pretends the file is size bytes long (only the list logic looks at it).
    void SetSize(uint32_t size) { fcb_->h.fileSize = size; }
    uint32_t Alloc(uint32_t length, uint16_t owner) {
        uint32_t at = 0xDEAD;
        EXPECT_EQ(BKAllocSpace(fcb_, length, owner, &at), 0);
        return at;
    }
};

TEST_F(BareFile, HeaderOfNewFileTakesTheFirstGranulesWithoutAnEntry) {
    EXPECT_EQ(Alloc(154, VER_CURRENT), 0u);
    EXPECT_EQ(+fcb_->h.fileSize, 192u);
    EXPECT_EQ(VMFileSize(fcb_->file), 192u);
    EXPECT_TRUE(FreeListOf(fcb_).empty());
}

TEST_F(BareFile, SpaceOfOneVersionGrowsTheFileByAStepAndListsTheRest) {
    Alloc(154, VER_CURRENT);
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    EXPECT_EQ(Alloc(100, VER_CURRENT), 192u);
    EXPECT_EQ(+fcb_->h.fileSize, 192u + 4096);
    EXPECT_EQ(FreeListOf(fcb_), (List{{1, 192, 128}, {0, 320, 3968}}));
    // The next allocation is served from the free tail without growth.
    uint32_t setSizes = VMFaultCount(VM_OP_SETSIZE);
    EXPECT_EQ(Alloc(64, VER_CURRENT), 320u);
    EXPECT_EQ(VMFaultCount(VM_OP_SETSIZE), setSizes);
    EXPECT_EQ(FreeListOf(fcb_), (List{{1, 192, 128}, {1, 320, 64}, {0, 384, 3904}}));
}

TEST_F(BareFile, FirstFitTakesTheLowestFreeRunThatIsLargeEnough) {
    SetSize(8192);
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    SetFreeList(fcb_, {{0, 192, 64}, {4, 256, 64}, {0, 320, 256}, {0, 1024, 512}});
    EXPECT_EQ(Alloc(200, VER_CURRENT), 320u);
    EXPECT_EQ(FreeListOf(fcb_), (List{{0, 192, 64}, {4, 256, 64}, {1, 320, 256}, {0, 1024, 512}}));
    EXPECT_EQ(Alloc(64, VER_CURRENT), 192u);
    // Space of every version carved from a free run needs no entry.
    EXPECT_EQ(Alloc(128, VER_CURRENT | VER_SAVED), 1024u);
    EXPECT_EQ(FreeListOf(fcb_), (List{{1, 192, 64}, {4, 256, 64}, {1, 320, 256}, {0, 1152, 384}}));
}

TEST_F(BareFile, ReleasedRunMergesWithFreeNeighboursBeforeAndAfter) {
    SetSize(8192);
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    SetFreeList(fcb_, {{0, 192, 64}, {1, 256, 128}, {0, 384, 64}, {4, 448, 64}});
    BKReleaseSpace(fcb_, 256, 100, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), (List{{0, 192, 256}, {4, 448, 64}}));
}

TEST_F(BareFile, UnlistedRunIsListedWithTheVersionsThatStillUseIt) {
    SetSize(8192);
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    BKReleaseSpace(fcb_, 512, 64, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), (List{{4, 512, 64}}));
    // In a file never saved the run is free at once.
    fcb_->h.versionFlags = VER_CURRENT;
    BKReleaseSpace(fcb_, 1024, 64, VER_CURRENT);
    EXPECT_EQ(FreeListOf(fcb_), (List{{4, 512, 64}, {0, 1024, 64}}));
}

TEST_F(BareFile, ReleasesThatCannotNameARealRunAreIgnored) {
    SetSize(8192);
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    List before{{1, 256, 128}, {0, 1024, 256}};
    SetFreeList(fcb_, before);
    BKReleaseSpace(fcb_, 0, 154, VER_CURRENT);      // the header
    BKReleaseSpace(fcb_, 520, 64, VER_CURRENT);     // unaligned
    BKReleaseSpace(fcb_, 8192, 64, VER_CURRENT);    // past fileSize
    BKReleaseSpace(fcb_, 8128, 128, VER_CURRENT);   // reaching past fileSize
    BKReleaseSpace(fcb_, 960, 128, VER_CURRENT);    // across a listed run
    BKReleaseSpace(fcb_, 320, 64, VER_CURRENT);     // inside a listed run
    BKReleaseSpace(fcb_, 512, 70000, VER_CURRENT);  // longer than any run
    BKReleaseSpace(fcb_, 256, 64, VER_CURRENT);     // shorter than its listed run
    EXPECT_EQ(FreeListOf(fcb_), before);
}

TEST_F(BareFile, FullListFallsBackToSpaceOfEveryVersion) {
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
    List full;
    for (uint32_t i = 0; i < FREE_LIST_MAX; ++i) full.push_back({4, 192 + 128 * i, 64});
    SetSize(192 + 128 * FREE_LIST_MAX);
    ASSERT_EQ(VMSetFileSize(fcb_->file, fcb_->h.fileSize), 0);
    SetFreeList(fcb_, full);

    BKReleaseSpace(fcb_, 256, 64, VER_CURRENT); // unlisted: cannot be listed
    EXPECT_EQ(FreeListOf(fcb_).size(), FREE_LIST_MAX);
    EXPECT_EQ(FreeListOf(fcb_)[0], (FreeEntry{4, 192, 64}));

    uint32_t end = fcb_->h.fileSize;
    EXPECT_EQ(Alloc(100, VER_CURRENT), end);
    EXPECT_EQ(+fcb_->h.fileSize, end + 128);
    EXPECT_EQ(VMFileSize(fcb_->file), end + 128);
    EXPECT_EQ(fcb_->h.freeCount, FREE_LIST_MAX);
    EXPECT_EQ(BKInsertFree(fcb_, end, 128, 0, FREE_LIST_MAX), FS_E_FREELIST_FULL);
}

TEST_F(BareFile, GrowthPast4GiBOrRefusedFailsAsAFullDisk) {
    SetSize(0xFFFFF000);
    uint32_t setSizes = VMFaultCount(VM_OP_SETSIZE);
    uint32_t at = 1;
    EXPECT_EQ(BKAllocSpace(fcb_, 8192, VER_CURRENT, &at), FS_E_DISKFULL);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(+fcb_->h.fileSize, 0xFFFFF000u);
    EXPECT_TRUE(fcb_->h.stateFlags & STATE_DISK_FULL);
    fcb_->h.stateFlags = 0;
    fcb_->h.versionFlags = VER_CURRENT | VER_SAVED; // a growth step, not exact
    EXPECT_EQ(BKAllocSpace(fcb_, 100, VER_CURRENT, &at), FS_E_DISKFULL);
    EXPECT_TRUE(fcb_->h.stateFlags & STATE_DISK_FULL);
    EXPECT_EQ(VMFaultCount(VM_OP_SETSIZE), setSizes);
    EXPECT_TRUE(FreeListOf(fcb_).empty());

    // A refusal of the platform is a full disk too.
    SetSize(192);
    fcb_->h.stateFlags = 0;
    VMFaultFail(VM_OP_SETSIZE, 0, VM_E_DISKFULL);
    EXPECT_EQ(BKAllocSpace(fcb_, 100, VER_CURRENT, &at), VM_E_DISKFULL);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(+fcb_->h.fileSize, 192u);
    EXPECT_TRUE(fcb_->h.stateFlags & STATE_DISK_FULL);
}

TEST_F(BareFile, RequestsOutsideSixteenBitsAllocateNothing) {
    SetSize(192);
    uint32_t at = 1;
    EXPECT_EQ(BKAllocSpace(fcb_, 0, VER_CURRENT, &at), 0);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(BKAllocSpace(fcb_, 65536, VER_CURRENT, &at), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(+fcb_->h.fileSize, 192u);
}

} // namespace
