// Making and destroying tables: TIDs, the root table, the master table's
// growth, refusals, and the space and thunks a destroyed table gives back.
#include <algorithm>
#include <cstring>

#include "blocks/cache.h"
#include "blocks/space.h"
#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "platform/census.h"
#include "tables/chunks.h"
#include "tables/recspace.h"
#include "tables/tables.h"
#include "tables/thunks.h"

namespace {

constexpr uint8_t kRecords = 4;    // 8-byte records, at most 4 per chunk
constexpr uint8_t kNoSize = 5;     // records of 0 bytes
constexpr uint8_t kNoMax = 6;      // no maximum per chunk
constexpr uint8_t kWide = 7;       // 16-byte records, at most 8 per chunk

class TablesTest : public ScratchFcbTest {
protected:
    ScratchOptions Options() override {
        ScratchOptions o;
        o.hostClasses = {HostClass(8, 4), HostClass(0, 10), HostClass(8, 0), HostClass(16, 8)};
        return o;
    }

    uint16_t Make(uint8_t cls = kRecords) {
        uint16_t tid = 0x1234;
        EXPECT_EQ(FSMakeTable(fcb_, cls, &tid), 0);
        return tid;
    }

    uint16_t MasterTop() {
        uint16_t root;
        EXPECT_EQ(TBSlotFor(fcb_, &fcb_->h.currentRoot, &root), 0);
        return root;
    }

    // The table's record (copied) and whether it is in use.
    TableRecord RecordOf(uint16_t tid) {
        TableRecord *record, copy{};
        uint16_t chunk;
        if (TBFindTable(fcb_, tid, &record, &chunk) != 0) return copy;
        std::memcpy(&copy, record, sizeof copy);
        TBUnlockChunk(fcb_, chunk, 0);
        return copy;
    }

    // Appends n records of 0xA5 bytes to table tid (through its top chunk,
    // as the record layer does) and notes its shape.
    void AddRecords(uint16_t tid, uint32_t n) {
        HeldTable held;
        ASSERT_EQ(HoldTable(fcb_, tid, &held), 0);
        const uint32_t at = TBRecordCount(fcb_, held.top);
        ASSERT_EQ(TBInsertRecords(fcb_, held.top, at, n, false, nullptr), 0);
        NoteShape(fcb_, held);
        const uint32_t recSize = fcb_->classTable[RecordOf(tid).cls].recSize;
        ASSERT_EQ(WriteRecords(fcb_, held.top, at, std::vector<uint8_t>(n * recSize, 0xA5)), 0);
        ReleaseTable(fcb_, held);
    }

    int ThunksInUse() {
        ThunkLock lock(fcb_);
        int n = 0;
        for (uint16_t i = 0; i < fcb_->h.thunkCount; ++i) n += ThunkAt(fcb_, i)->flags & THUNK_IN_USE;
        return n;
    }

    // True when [pos, pos + len) lies in a free run.
    bool Free(uint32_t pos, uint32_t len) {
        for (const FreeEntry &e : FreeListOf(fcb_))
            if (e.owners == 0 && e.pos <= pos && pos + len <= e.pos + e.len) return true;
        return false;
    }
};

TEST_F(TablesTest, FirstTableIsTheRootTableAndCannotBeDestroyed) {
    EXPECT_EQ(FSRootTable(fcb_), TID_NONE);
    EXPECT_EQ(Make(), 0);
    EXPECT_EQ(FSRootTable(fcb_), 0);
    EXPECT_EQ(FSDirtied(fcb_), 1);
    EXPECT_EQ(FSError(fcb_), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, 0), FS_E_ROOT_TABLE);
    EXPECT_EQ(FSError(fcb_), FS_E_ROOT_TABLE);
    EXPECT_NE(RecordOf(0).flags & TABLE_IN_USE, 0);
    EXPECT_EQ(Make(), 1);
    EXPECT_EQ(FSRootTable(fcb_), 0);
}

// A new table is one empty chunk of its class, with no image.
TEST_F(TablesTest, NewTableIsAnEmptyChunkOfItsClass) {
    const uint16_t tid = Make(kWide);
    const TableRecord r = RecordOf(tid);
    EXPECT_EQ(r.flags, TABLE_IN_USE);
    EXPECT_EQ(r.cls, kWide);
    EXPECT_EQ(r.sessions, 0u);
    EXPECT_EQ(r.top.cls, kWide);
    EXPECT_EQ(r.top.filePos, 0u);
    HeldTable held;
    ASSERT_EQ(HoldTable(fcb_, tid, &held), 0);
    EXPECT_EQ(TBRecordCount(fcb_, held.top), 0u);
    ReleaseTable(fcb_, held);
}

// Built-in classes, classes without a descriptor and classes that cannot
// hold records are refused; only the low 8 bits of the class count.
TEST_F(TablesTest, RefusesClassesThatCannotHoldATable) {
    for (uint32_t cls : {0u, 1u, 3u, uint32_t{kNoSize}, uint32_t{kNoMax}, 8u, 200u, 0x103u}) {
        SCOPED_TRACE(cls);
        uint16_t tid = 0;
        EXPECT_EQ(FSMakeTable(fcb_, cls, &tid), FS_E_BAD_CLASS);
        EXPECT_EQ(tid, TID_NONE);
        EXPECT_EQ(FSError(fcb_), FS_E_BAD_CLASS);
    }
    EXPECT_EQ(FSMakeTable(fcb_, CLASS_FIRST_HOST, nullptr), 0); // the TID out is optional
    EXPECT_EQ(FSRootTable(fcb_), 0);
    uint16_t tid;
    EXPECT_EQ(FSMakeTable(fcb_, 0x100u + kWide, &tid), 0);
    EXPECT_EQ(RecordOf(tid).cls, kWide);
}

TEST_F(TablesTest, BadFcbIsRefusedAndUntouched) {
    uint16_t tid = 0;
    EXPECT_EQ(FSMakeTable(nullptr, kRecords, &tid), FS_E_BAD_FCB);
    EXPECT_EQ(tid, TID_NONE);
    EXPECT_EQ(FSDestroyTable(nullptr, 1), FS_E_BAD_FCB);
    fcb_->h.magic = 0x1234;
    fcb_->h.lastStatus = 77;
    EXPECT_EQ(FSMakeTable(fcb_, kRecords, &tid), FS_E_BAD_FCB);
    EXPECT_EQ(FSDestroyTable(fcb_, 1), FS_E_BAD_FCB);
    EXPECT_EQ(fcb_->h.lastStatus, 77);
    fcb_->h.magic = FS_MAGIC;
}

TEST_F(TablesTest, LowestFreeTidIsReusedFirst) {
    for (uint16_t i = 0; i < 5; ++i) EXPECT_EQ(Make(), i);
    EXPECT_EQ(FSDestroyTable(fcb_, 2), 0);
    EXPECT_EQ(FSDirtied(fcb_), 1);
    EXPECT_EQ(FSDestroyTable(fcb_, 2), FS_E_BAD_TID); // already destroyed
    EXPECT_EQ(FSDestroyTable(fcb_, 4), 0);
    EXPECT_EQ(Make(), 2);
    EXPECT_EQ(Make(), 4);
    EXPECT_EQ(Make(), 5);
    EXPECT_EQ(FSDestroyTable(fcb_, 16), FS_E_BAD_TID); // beyond the master table
    EXPECT_EQ(FSDestroyTable(fcb_, TID_NONE), FS_E_BAD_TID);
    EXPECT_EQ(FSDestroyTable(fcb_, 0x10003), 0); // the low 16 bits count
    EXPECT_EQ(Make(), 3);
}

// The master table grows 16 records at a time; past 256 records it is an
// indexed table, and TIDs in its later chunks are reused the same way.
TEST_F(TablesTest, MasterTableGrowsSixteenRecordsAtATime) {
    EXPECT_EQ(TBRecordCount(fcb_, MasterTop()), 0u);
    EXPECT_EQ(Make(), 0);
    EXPECT_EQ(TBRecordCount(fcb_, MasterTop()), 16u);
    for (uint16_t i = 1; i < 16; ++i) EXPECT_EQ(Make(), i);
    EXPECT_EQ(TBRecordCount(fcb_, MasterTop()), 16u);
    EXPECT_EQ(Make(), 16);
    EXPECT_EQ(TBRecordCount(fcb_, MasterTop()), 32u);
    for (uint16_t i = 17; i < 300; ++i) ASSERT_EQ(Make(), i);
    EXPECT_EQ(TBRecordCount(fcb_, MasterTop()), 304u);
    EXPECT_EQ(ChunkCounts(fcb_, MasterTop()), (std::vector<uint16_t>{256, 48}));
    ASSERT_EQ(FSDestroyTable(fcb_, 270), 0);
    ASSERT_EQ(FSDestroyTable(fcb_, 5), 0);
    EXPECT_EQ(Make(), 5);
    EXPECT_EQ(Make(), 270);
    EXPECT_EQ(Make(), 300);
}

TEST_F(TablesTest, TableWithSessionsCannotBeDestroyed) {
    Make();
    const uint16_t tid = Make();
    TableRecord *record;
    uint16_t chunk;
    ASSERT_EQ(TBFindTable(fcb_, tid, &record, &chunk), 0);
    record->sessions = 9;
    ASSERT_EQ(TBUnlockChunk(fcb_, chunk, 0), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, tid), FS_E_TABLE_IN_USE);
    EXPECT_EQ(FSError(fcb_), FS_E_TABLE_IN_USE);
    EXPECT_EQ(ThunkOf(fcb_, chunk).lockCount, 0);
    ASSERT_EQ(TBFindTable(fcb_, tid, &record, &chunk), 0);
    record->sessions = 0;
    ASSERT_EQ(TBUnlockChunk(fcb_, chunk, 0), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, tid), 0);
}

// Destroying an indexed table frees every chunk, its memory and thunk, and
// gives every image back to the free list at once.
TEST_F(TablesTest, DestroyedTableGivesBackItsChunksAndSpace) {
    Make();
    const int thunks = ThunksInUse();
    const uint32_t memory = fcb_->h.memInUse;
    const uint16_t tid = Make();
    AddRecords(tid, 37);
    EXPECT_NE(RecordOf(tid).flags & TABLE_INDEXED, 0);
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0); // images for every chunk
    std::vector<Image> before = LiveImages(fcb_);
    AddRecords(tid, 5); // and some chunks resident and dirty again
    ASSERT_EQ(FSDestroyTable(fcb_, tid), 0);

    std::vector<Image> after = LiveImages(fcb_);
    int freed = 0;
    for (const Image &image : before) {
        if (std::any_of(after.begin(), after.end(), [&](const Image &i) { return i.pos == image.pos; }))
            continue;
        EXPECT_TRUE(Free(image.pos, image.len)) << image.pos;
        ++freed;
    }
    EXPECT_GE(freed, 10); // 37 records of at most 4, and the index
    EXPECT_LE(ThunksInUse(), thunks);
    EXPECT_LE(fcb_->h.memInUse, memory + 512); // the master chunk may have grown
    EXPECT_EQ(SpaceCensus(fcb_), "");
}

// Made and destroyed in a loop, with everything written back each time,
// tables reuse the space that destroyed ones gave back.
TEST_F(TablesTest, FileDoesNotGrowWhenTablesComeAndGo) {
    Make();
    uint32_t size = 0;
    for (int round = 0; round < 30; ++round) {
        const uint16_t tid = Make();
        ASSERT_EQ(tid, 1);
        AddRecords(tid, 200);
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        ASSERT_EQ(FSDestroyTable(fcb_, tid), 0);
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        if (round == 2) size = fcb_->h.fileSize;
        if (round > 2) {
            ASSERT_EQ(+fcb_->h.fileSize, size) << "round " << round;
        }
    }
    EXPECT_EQ(SpaceCensus(fcb_), "");
}

// When the new table's chunk cannot be made, its TID is free again and no
// root table is named.
TEST_F(TablesTest, FailedMakeLeavesNoTableBehind) {
    // No free thunk: the new table's chunk needs the thunk table to grow.
    while (ThunksInUse() < fcb_->h.thunkCount) NewChunk(kRecords, 0);
    VMFaultReset();
    VMFaultFail(VM_OP_GALLOC, 1, 0); // the master table's memory is made, the thunks may not grow
    uint16_t tid = 0;
    const FSStatus status = FSMakeTable(fcb_, kRecords, &tid);
    VMFaultReset();
    EXPECT_NE(status, 0);
    EXPECT_EQ(FSError(fcb_), status);
    EXPECT_EQ(tid, TID_NONE);
    EXPECT_EQ(FSRootTable(fcb_), TID_NONE);
    EXPECT_EQ(RecordOf(0).flags, 0);
    EXPECT_EQ(Make(), 0);
    EXPECT_EQ(FSRootTable(fcb_), 0);
}

// Whether a table is indexed is read from its top chunk: a flag that says
// indexed over a chunk of records never has those records taken for chunk
// references (here, one naming another table's chunk).
TEST_F(TablesTest, DestroyTrustsTheTopChunkNotTheFlag) {
    Make();
    const uint16_t victim = Make(kWide), other = Make(kWide);
    AddRecords(other, 3);
    HeldTable held;
    ASSERT_EQ(HoldTable(fcb_, other, &held), 0);
    const std::vector<uint8_t> otherRecords = ReadRecords(fcb_, held.top);
    ReleaseTable(fcb_, held);

    // The victim's records look like resident references to the other's chunk.
    AddRecords(victim, 2);
    ASSERT_EQ(HoldTable(fcb_, victim, &held), 0);
    ChunkRef fake{REF_RESIDENT, kWide, 3, 0, 0};
    fake.thunk = RecordOf(other).top.thunk;
    std::vector<uint8_t> bytes(32, 0);
    std::memcpy(bytes.data(), &fake, sizeof fake);
    std::memcpy(bytes.data() + 16, &fake, sizeof fake);
    ASSERT_EQ(WriteRecords(fcb_, held.top, 0, bytes), 0);
    ReleaseTable(fcb_, held);
    TableRecord *record;
    uint16_t chunk;
    ASSERT_EQ(TBFindTable(fcb_, victim, &record, &chunk), 0);
    record->flags |= TABLE_INDEXED;
    ASSERT_EQ(TBUnlockChunk(fcb_, chunk, 1), 0);

    ASSERT_EQ(FSDestroyTable(fcb_, victim), 0);
    ASSERT_EQ(HoldTable(fcb_, other, &held), 0);
    EXPECT_EQ(ReadRecords(fcb_, held.top), otherRecords);
    ReleaseTable(fcb_, held);
}

} // namespace
