// The compact file: its exact layout and size, its records before and after
// it is closed and opened again, and the FCB that moves to it.
#include <cstring>

#include "blocks/cache.h"
#include "saveas/saveas_fixture.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

// The file holds the model read straight from its bytes, through the FCB
// moved to it, and again after the FCB is closed (keep) and the file opened.
void ExpectHolds(FCB *&fcb, const std::string &path, const FSContext &ctx, const Doc &doc,
                 uint16_t keep) {
    EXPECT_EQ(Differences(path, doc), "");
    EXPECT_TRUE(FileHolds(fcb, doc));
    FSFileClose(fcb, keep);
    fcb = nullptr;
    EXPECT_TRUE(FileIsClean(path));
    EXPECT_TRUE(VersionHolds(path, FS_VERSION_CURRENT, ctx, doc));
}

// The chunk reference of table tid in a file whose master table is one chunk.
ChunkRef TopRefOf(const Bytes &file, uint16_t tid) {
    ChunkRef ref{};
    std::memcpy(&ref, &file.at(gen::Get32(file, 44 + 4) + tid * 16u), sizeof ref);
    return ref;
}

// A file saved and mini-saved many times over, every image read from it.
TEST_F(SaveAsBudgetTest, NothingInMemoryIsCopiedFromTheOldFile) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(3));
    std::mt19937 rng(4);
    for (int round = 0; round < 6; ++round) {
        DocChange(fcb_, current_, rng, 15);
        ASSERT_EQ(FSISaveCommit(fcb_, round % 2, 0), 0);
        if (round % 2) saved_ = current_;
    }
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
    VMFaultReset();
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    EXPECT_GT(VMFaultCount(VM_OP_READ), 0u);
    ExpectCompact(fcb_, Path("new.zf"));
    ExpectHolds(fcb_, Path("new.zf"), ctx_, current_, 0);
    EXPECT_TRUE(VersionHolds(path_, FS_VERSION_CURRENT, ctx_, saved_))
        << "the old file falls back to its saved version";
}

TEST_F(SaveAsTest, ChunksInMemoryAreNotReadAgain) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(5, 200000));
    VMFaultReset();
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), 0u);
    ExpectCompact(fcb_, Path("new.zf"));
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"new.zf"}) << "scratch file gone";
    ExpectHolds(fcb_, Path("new.zf"), ctx_, current_, 1);
}

// Some chunks in memory, some not, parents in memory that wait for
// children that are not, blocks that move whenever they are locked. A
// compact copy made with nothing in memory has its images in tree order,
// so copying it again changes nothing but the header's stamp.
TEST_F(SaveAsBudgetTest, FragmentedFileCompactsAndStaysCompact) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(6));
    GlobalSetMoveOnLock(1);
    std::mt19937 rng(7);
    AddBulk(fcb_, current_, rng, 150000);
    DocChange(fcb_, current_, rng, 40);
    VMFileSpec a = Target("a.zf"), b = Target("b.zf"), c = Target("c.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &a), 0);
    ExpectCompact(fcb_, Path("a.zf"));
    EXPECT_EQ(Differences(Path("a.zf"), current_), "");
    EXPECT_TRUE(FileHolds(fcb_, current_));
    DocChange(fcb_, current_, rng, 40);
    ASSERT_EQ(FSSaveAs(fcb_, &b), 0);
    ExpectCompact(fcb_, Path("b.zf"));
    ASSERT_EQ(FSSaveAs(fcb_, &c), 0);
    Bytes bb = gen::ReadFile(Path("b.zf")), cb = gen::ReadFile(Path("c.zf"));
    ASSERT_EQ(bb.size(), cb.size());
    EXPECT_TRUE(std::equal(bb.begin() + 192, bb.end(), cb.begin() + 192));
    ExpectHolds(fcb_, Path("c.zf"), ctx_, current_, 1);
}

// A chunk of no records keeps position 0 and count 0, even when it was made
// with records it never wrote; a chunk of zero records that never had an
// image keeps position 0 and its count.
TEST_F(SaveAsTest, ChunksWithoutImagesKeepPositionZero) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    uint16_t emptied, zeros;
    DocMakeTable(fcb_, current_, 5, &emptied);
    DocMakeTable(fcb_, current_, 5, &zeros);
    for (uint16_t tid : {emptied, zeros}) {
        TableRecord *rec;
        uint16_t master, top;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
        ASSERT_EQ(TBFreeChunk(fcb_, top), 0);
        ASSERT_EQ(TBNewChunk(fcb_, &rec->top, 5, 5, &top), 0);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
        current_[tid].recs.assign(5, Record(12, 0));
    }
    DocDelete(fcb_, current_, emptied, 0, 5);
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    Bytes bytes = gen::ReadFile(Path("new.zf"));
    ChunkRef e = TopRefOf(bytes, emptied), z = TopRefOf(bytes, zeros);
    EXPECT_EQ(e.storedCount, 0);
    EXPECT_EQ(e.filePos, 0u);
    EXPECT_EQ(z.storedCount, 5);
    EXPECT_EQ(z.filePos, 0u);
    EXPECT_EQ(bytes.size(), CompactSizeOf(bytes) - 64) << "the chunk of zeros has no image";
    ExpectHolds(fcb_, Path("new.zf"), ctx_, current_, 1);
}

// A chunk whose count in memory differs from its image's: only the records
// the image holds are read, the rest are zeros.
TEST_F(SaveAsTest, CopiesOnlyWhatAnImageHolds) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    std::mt19937 rng(8);
    uint16_t shorter, longer;
    DocMakeTable(fcb_, current_, 5, &shorter);
    DocMakeTable(fcb_, current_, 5, &longer);
    DocInsert(fcb_, current_, shorter, 0, RandomRecords(rng, 5, 8));
    DocInsert(fcb_, current_, longer, 0, RandomRecords(rng, 5, 8));
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
    for (auto [tid, count] : {std::pair{shorter, 3}, std::pair{longer, 10}}) {
        TableRecord *rec;
        uint16_t master, top;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
        Thunk *thunks = TBLockThunks(fcb_);
        ASSERT_NE(thunks, nullptr);
        ASSERT_EQ(thunks[top].storedCount, 8);
        ASSERT_EQ(thunks[top].flags & THUNK_HAS_MEM, 0);
        thunks[top].count = static_cast<uint16_t>(count);
        TBUnlockThunks(fcb_);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 0), 0);
        current_[tid].recs.resize(count, Record(12, 0));
    }
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    ExpectCompact(fcb_, Path("new.zf"));
    ExpectHolds(fcb_, Path("new.zf"), ctx_, current_, 1);
}

// A new file: an empty master table, which needs no image.
TEST_F(SaveAsTest, EmptyFileIsHeaderAndClassTable) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    uint32_t estimate = 0;
    ASSERT_EQ(FSCompSize(fcb_, &estimate), 0);
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    EXPECT_EQ(gen::ReadFile(Path("new.zf")).size(), 192u + 128u); // 7 classes of 14 bytes
    EXPECT_EQ(estimate, 192u + 128u);
    ExpectCompact(fcb_, Path("new.zf"));
    ExpectHolds(fcb_, Path("new.zf"), ctx_, current_, 0);
}

// Sessions left open are checked in first; the FCB goes on working in the
// new file, and its next save-as starts from there.
TEST_F(SaveAsBudgetTest, FcbGoesOnInTheNewFile) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(9));
    SCB *scb = nullptr;
    ASSERT_EQ(FSCheckOut(fcb_, FSRootTable(fcb_), 1, &scb), 0);
    void *rec = nullptr;
    ASSERT_EQ(FSIxLock(scb, 0, &rec, nullptr), 0);
    VMFileSpec a = Target("a.zf"), b = Target("b.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &a), 0);
    EXPECT_EQ(fcb_->sessionsOpen, 0u);
    const Doc atA = current_;
    std::mt19937 rng(10);
    DocChange(fcb_, current_, rng, 40);
    ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0);
    DocChange(fcb_, current_, rng, 40);
    EXPECT_TRUE(FileHolds(fcb_, current_));
    ASSERT_EQ(FSSaveAs(fcb_, &b), 0);
    EXPECT_EQ(Differences(Path("a.zf"), atA), "") << "closed without keeping: its saved version";
    ExpectCompact(fcb_, Path("b.zf"));
    ExpectHolds(fcb_, Path("b.zf"), ctx_, current_, 0);
}

} // namespace
