// The compact file: its exact layout and size, its records, and the state
// of the FCB that moves to it.
#include <cstring>

#include "blocks/cache.h"
#include "common/read_saved.h"
#include "saveas/saveas_fixture.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

using gen::Get16;
using gen::Get32;

// Header facts every compact file shows, and the FCB's state right after
// the save-as that wrote it.
void ExpectCompact(FCB *fcb, const std::string &path) {
    Bytes bytes = gen::ReadFile(path);
    ASSERT_GE(bytes.size(), HEADER_SIZE);
    EXPECT_EQ(bytes.size(), CompactSizeOf(bytes)) << "images are not packed";
    EXPECT_EQ(Get32(bytes, 22), bytes.size()) << "fileSize";
    EXPECT_EQ(Get32(bytes, 26), bytes.size()) << "savedFileSize";
    EXPECT_EQ(Get32(bytes, 30), 0u) << "miniFileSize";
    EXPECT_EQ(Get16(bytes, 16), VER_CURRENT | VER_SAVED);
    EXPECT_EQ(Get32(bytes, 86), 192u) << "classTableOffset";
    EXPECT_EQ(Get16(bytes, 102), 0u) << "savedFreeCount";
    EXPECT_EQ(Get32(bytes, 104), 0u) << "savedFreeOffset";
    EXPECT_EQ(Get16(bytes, 8) & 0x6F, 0) << "stateFlags";
    EXPECT_EQ(std::memcmp(&bytes[44], &bytes[64], sizeof(ChunkRef)), 0) << "savedRoot";
    EXPECT_EQ(Get16(bytes, 126), 0u) << "freeCount";
    EXPECT_EQ(Get16(bytes, 138), 0u) << "thunkCount";

    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(fcb)), path.c_str());
    EXPECT_EQ(FSSaved(fcb), 4);
    EXPECT_EQ(FSCommitted(fcb), 0);
    EXPECT_EQ(FSDirtied(fcb), 0);
    EXPECT_EQ(FSError(fcb), 0);
    uint32_t size = 0;
    EXPECT_EQ(FSCompSize(fcb, &size), 0);
    EXPECT_EQ(size, bytes.size()) << "FSCompSize right after a save-as";
}

// The chunk reference of table tid in a file whose master table is one chunk.
ChunkRef TopRefOf(const Bytes &file, uint16_t tid) {
    ChunkRef ref{};
    uint32_t master = Get32(file, 44 + 4);
    std::memcpy(&ref, &file.at(master + tid * 16u), sizeof ref);
    return ref;
}

TEST_F(SaveAsTest, NothingInMemoryIsCopiedFromTheOldFile) {
    Doc doc(folder_);
    doc.Fill(1);
    ASSERT_EQ(BKFlush(doc.fcb, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
    VMFaultReset();
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    EXPECT_GT(VMFaultCount(VM_OP_READ), 0u);
    ExpectCompact(doc.fcb, Path("new.zf"));
    ExpectFileHolds(Path("new.zf"), doc.tables);
    doc.ExpectRecords(); // through the FCB, now on the new file
}

TEST_F(SaveAsTest, ChunksInMemoryAreNotReadAgain) {
    Doc doc(folder_);
    doc.Fill(2);
    VMFaultReset();
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), 0u);
    ExpectCompact(doc.fcb, Path("new.zf"));
    ExpectFileHolds(Path("new.zf"), doc.tables);
    doc.ExpectRecords();
}

// Under a small budget the file is fragmented by write-backs and some
// chunks are in memory, some not; parents in memory wait for children that
// are not. A compact copy made with nothing in memory has its images in
// tree order, so copying it again changes nothing but the header's stamp.
TEST_F(SaveAsTest, FragmentedFileCompactsAndStaysCompact) {
    Doc doc(folder_, 16 * 1024);
    GlobalSetMoveOnLock(1);
    doc.Fill(3);
    doc.Churn(4, 60);
    VMFileSpec a = Spec(Path("a.zf")), b = Spec(Path("b.zf")), c = Spec(Path("c.zf")),
               d = Spec(Path("d.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &a), 0);
    ExpectCompact(doc.fcb, Path("a.zf"));
    ExpectFileHolds(Path("a.zf"), doc.tables);
    doc.ExpectRecords();
    doc.Churn(5, 60);
    ASSERT_EQ(FSSaveAs(doc.fcb, &b), 0);
    ExpectCompact(doc.fcb, Path("b.zf"));
    ExpectFileHolds(Path("b.zf"), doc.tables);

    ASSERT_EQ(FSSaveAs(doc.fcb, &c), 0);
    ASSERT_EQ(FSSaveAs(doc.fcb, &d), 0);
    Bytes cb = gen::ReadFile(Path("c.zf")), db = gen::ReadFile(Path("d.zf"));
    ASSERT_EQ(cb.size(), db.size());
    EXPECT_TRUE(std::equal(cb.begin() + HEADER_SIZE, cb.end(), db.begin() + HEADER_SIZE));
    EXPECT_EQ(FilesIn(folder_), (std::vector<std::string>{"a.zf", "b.zf", "c.zf", "d.zf"}));
    doc.ExpectRecords();
}

// A chunk of no records keeps position 0 and count 0, even when it was made
// with records it never wrote; a chunk of zero records that never had an
// image keeps position 0 and its count.
TEST_F(SaveAsTest, ChunksWithoutImagesKeepPositionZero) {
    Doc doc(folder_);
    size_t emptied = doc.Make(6), zeros = doc.Make(6);
    for (size_t t : {emptied, zeros}) {
        TableRecord *rec;
        uint16_t master, top;
        ASSERT_EQ(TBFindTable(doc.fcb, doc.tables[t].tid, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(doc.fcb, &rec->top, &top), 0);
        ASSERT_EQ(TBFreeChunk(doc.fcb, top), 0);
        ASSERT_EQ(TBNewChunk(doc.fcb, &rec->top, 6, 5, &top), 0);
        ASSERT_EQ(TBUnlockChunk(doc.fcb, master, 1), 0);
        doc.tables[t].records.assign(5 * 24, 0);
    }
    doc.Delete(emptied, 0, 5);
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    ExpectFileHolds(Path("new.zf"), doc.tables);
    Bytes bytes = gen::ReadFile(Path("new.zf"));
    ChunkRef e = TopRefOf(bytes, doc.tables[emptied].tid), z = TopRefOf(bytes, doc.tables[zeros].tid);
    EXPECT_EQ(e.storedCount, 0);
    EXPECT_EQ(e.filePos, 0u);
    EXPECT_EQ(z.storedCount, 5);
    EXPECT_EQ(z.filePos, 0u);
    EXPECT_EQ(bytes.size(), CompactSizeOf(bytes) - 128) << "the chunk of zeros has no image";
    doc.ExpectRecords();
}

// A chunk whose count in memory differs from its image's: only the records
// the image holds are read, the rest are zeros.
TEST_F(SaveAsTest, CopiesOnlyWhatAnImageHolds) {
    Doc doc(folder_);
    size_t shorter = doc.Make(6), longer = doc.Make(6);
    doc.Insert(shorter, RIX_LAST, 30, 7);
    doc.Insert(longer, RIX_LAST, 30, 8);
    ASSERT_EQ(BKFlush(doc.fcb, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
    for (auto [t, count] : {std::pair{shorter, 10}, std::pair{longer, 36}}) {
        TableRecord *rec;
        uint16_t master, top;
        ASSERT_EQ(TBFindTable(doc.fcb, doc.tables[t].tid, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(doc.fcb, &rec->top, &top), 0);
        Thunk *thunks = TBLockThunks(doc.fcb);
        ASSERT_NE(thunks, nullptr);
        ASSERT_EQ(thunks[top].storedCount, 30);
        ASSERT_EQ(thunks[top].flags & THUNK_HAS_MEM, 0);
        thunks[top].count = static_cast<uint16_t>(count);
        TBUnlockThunks(doc.fcb);
        ASSERT_EQ(TBUnlockChunk(doc.fcb, master, 0), 0);
        doc.tables[t].records.resize(count * 24u, 0);
    }
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    ExpectCompact(doc.fcb, Path("new.zf"));
    ExpectFileHolds(Path("new.zf"), doc.tables);
}

// A fresh file: an empty master table, which needs no image.
TEST_F(SaveAsTest, EmptyFileIsHeaderAndClassTable) {
    Doc doc(folder_);
    uint32_t estimate = 0;
    ASSERT_EQ(FSCompSize(doc.fcb, &estimate), 0);
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    EXPECT_EQ(gen::ReadFile(Path("new.zf")).size(), 192u + 128u); // 7 classes of 14 bytes
    EXPECT_EQ(estimate, 192u + 128u);
    ExpectCompact(doc.fcb, Path("new.zf"));
}

// Sessions left open are checked in first; the FCB goes on working on the
// new file, and its next save-as starts from there.
TEST_F(SaveAsTest, FcbGoesOnInTheNewFile) {
    Doc doc(folder_, 24 * 1024);
    doc.Fill(9);
    SCB *scb = nullptr;
    ASSERT_EQ(FSCheckOut(doc.fcb, doc.tables[0].tid, 1, &scb), 0);
    void *rec = nullptr;
    ASSERT_EQ(FSIxLock(scb, 3, &rec, nullptr), 0);
    VMFileSpec a = Spec(Path("a.zf")), b = Spec(Path("b.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &a), 0);
    EXPECT_EQ(doc.fcb->sessionsOpen, 0u);
    const std::vector<DocTable> atA = doc.tables;
    doc.Churn(10, 40);
    doc.ExpectRecords();
    ASSERT_EQ(FSSaveAs(doc.fcb, &b), 0);
    ExpectFileHolds(Path("a.zf"), atA); // closed without keeping: back to its saved version
    ExpectCompact(doc.fcb, Path("b.zf"));
    ExpectFileHolds(Path("b.zf"), doc.tables);
}

} // namespace
