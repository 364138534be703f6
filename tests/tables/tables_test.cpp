// Making and destroying tables: TIDs, the root table, the master table's
// growth, refusals, and what a destroyed table gives back.
#include <cstring>

#include "blocks/cache.h"
#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

constexpr uint8_t kRecords = 4; // 8-byte records, at most 4 per chunk
constexpr uint8_t kWide = 7;    // 16-byte records, at most 8 per chunk

class TablesTest : public ScratchFcbTest {
protected:
    ScratchOptions Options() override {
        ScratchOptions o; // classes 5 and 6: no record size, no maximum
        o.hostClasses = {HostClass(8, 4), HostClass(0, 10), HostClass(8, 0), HostClass(16, 8)};
        return o;
    }
    uint16_t Make(uint8_t cls = kRecords) {
        uint16_t tid = 0x1234;
        EXPECT_EQ(FSMakeTable(fcb_, cls, &tid), 0);
        return tid;
    }
    uint32_t MasterRecords() {
        uint16_t root;
        EXPECT_EQ(TBSlotFor(fcb_, &fcb_->h.currentRoot, &root), 0);
        return TBRecordCount(fcb_, root);
    }
    // Runs f on the table's record, changed when f says so.
    template <typename F> void WithRecord(uint16_t tid, F f) {
        TableRecord *record;
        uint16_t chunk;
        ASSERT_EQ(TBFindTable(fcb_, tid, &record, &chunk), 0);
        ASSERT_EQ(TBUnlockChunk(fcb_, chunk, f(record)), 0);
    }
    // Appends n records of 0xA5 bytes, as the record layer would.
    void AddRecords(uint16_t tid, uint32_t n, uint32_t recSize = 8) {
        HeldTable held;
        ASSERT_EQ(HoldTable(fcb_, tid, &held), 0);
        const uint32_t at = TBRecordCount(fcb_, held.top);
        ASSERT_EQ(TBInsertRecords(fcb_, held.top, at, n, false, nullptr), 0);
        NoteShape(fcb_, held);
        ASSERT_EQ(WriteRecords(fcb_, held.top, at, std::vector<uint8_t>(n * recSize, 0xA5)), 0);
        ReleaseTable(fcb_, held);
    }
    int ThunksInUse() {
        int n = 0;
        for (uint16_t i = 0; i < fcb_->h.thunkCount; ++i) n += ThunkOf(fcb_, i).flags & THUNK_IN_USE;
        return n;
    }
    uint32_t FreeBytes() {
        uint32_t n = 0;
        for (const FreeEntry &e : FreeListOf(fcb_)) n += e.owners == 0 ? e.len : 0;
        return n;
    }
};

TEST_F(TablesTest, FirstTableIsTheRootTableAndCannotBeDestroyed) {
    EXPECT_EQ(FSRootTable(fcb_), TID_NONE);
    EXPECT_EQ(Make(), 0);
    EXPECT_EQ(FSRootTable(fcb_), 0);
    EXPECT_EQ(FSDirtied(fcb_), 1);
    EXPECT_EQ(FSDestroyTable(fcb_, 0), FS_E_ROOT_TABLE);
    EXPECT_EQ(FSError(fcb_), FS_E_ROOT_TABLE);
    WithRecord(0, [](TableRecord *r) { EXPECT_EQ(r->flags, TABLE_IN_USE); return 0; });
    EXPECT_EQ(Make(), 1);
    EXPECT_EQ(FSRootTable(fcb_), 0);
}

// Built-in classes, classes without a descriptor, and classes without a
// record size or maximum are refused; only the low 8 bits of the class
// count; a bad FCB is refused untouched.
TEST_F(TablesTest, RefusesClassesThatCannotHoldATableAndBadFcbs) {
    for (uint32_t cls : {0u, 1u, 3u, 5u, 6u, 8u, 200u, 0x103u}) {
        uint16_t tid = 0;
        EXPECT_EQ(FSMakeTable(fcb_, cls, &tid), FS_E_BAD_CLASS) << cls;
        EXPECT_EQ(tid, TID_NONE);
        EXPECT_EQ(FSError(fcb_), FS_E_BAD_CLASS);
    }
    EXPECT_EQ(FSMakeTable(fcb_, 0x100u + kWide, nullptr), 0);
    WithRecord(0, [](TableRecord *r) { EXPECT_EQ(r->cls, kWide); return 0; });

    uint16_t tid = 0;
    EXPECT_EQ(FSMakeTable(nullptr, kRecords, &tid), FS_E_BAD_FCB);
    EXPECT_EQ(tid, TID_NONE);
    EXPECT_EQ(FSDestroyTable(nullptr, 1), FS_E_BAD_FCB);
    fcb_->h.magic = 0x1234;
    fcb_->h.lastStatus = 77;
    EXPECT_EQ(FSMakeTable(fcb_, kRecords, &tid), FS_E_BAD_FCB);
    EXPECT_EQ(FSDestroyTable(fcb_, 1), FS_E_BAD_FCB);
    EXPECT_EQ(FSError(fcb_), 77);
    fcb_->h.magic = FS_MAGIC;
}

TEST_F(TablesTest, LowestFreeTidIsReusedFirst) {
    for (uint16_t i = 0; i < 5; ++i) EXPECT_EQ(Make(), i);
    EXPECT_EQ(FSDestroyTable(fcb_, 2), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, 2), FS_E_BAD_TID); // already destroyed
    EXPECT_EQ(FSDestroyTable(fcb_, 0x10004), 0);      // the low 16 bits count
    EXPECT_EQ(Make(), 2);
    EXPECT_EQ(Make(), 4);
    EXPECT_EQ(Make(), 5);
    EXPECT_EQ(FSDestroyTable(fcb_, 16), FS_E_BAD_TID); // beyond the master table
    EXPECT_EQ(FSDestroyTable(fcb_, TID_NONE), FS_E_BAD_TID);
}

// The master table grows 16 records at a time; past 256 records it is
// indexed, and TIDs in its later chunk are reused the same way.
TEST_F(TablesTest, MasterTableGrowsSixteenRecordsAtATime) {
    EXPECT_EQ(MasterRecords(), 0u);
    EXPECT_EQ(Make(), 0);
    EXPECT_EQ(MasterRecords(), 16u);
    for (uint16_t i = 1; i < 16; ++i) EXPECT_EQ(Make(), i);
    EXPECT_EQ(MasterRecords(), 16u);
    EXPECT_EQ(Make(), 16);
    EXPECT_EQ(MasterRecords(), 32u);
    for (uint16_t i = 17; i < 300; ++i) ASSERT_EQ(Make(), i);
    EXPECT_EQ(ChunkCounts(fcb_, fcb_->h.currentRoot.thunk), (std::vector<uint16_t>{256, 48}));
    ASSERT_EQ(FSDestroyTable(fcb_, 270), 0);
    ASSERT_EQ(FSDestroyTable(fcb_, 5), 0);
    EXPECT_EQ(Make(), 5);
    EXPECT_EQ(Make(), 270);
    EXPECT_EQ(Make(), 300);
}

// An open session keeps its table; a session slot that names none (bytes
// of a damaged record, or another table's session) does not.
TEST_F(TablesTest, OnlyAnOpenSessionKeepsATable) {
    Make();
    const uint16_t tid = Make(), other = Make();
    SCB *scb = nullptr;
    ASSERT_EQ(FSCheckOut(fcb_, tid, 0, &scb), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, tid), FS_E_TABLE_IN_USE);
    WithRecord(other, [&](TableRecord *r) { r->sessions = scb->sessionId; return 0; });
    EXPECT_EQ(FSDestroyTable(fcb_, other), 0);
    FSCheckIn(scb);
    WithRecord(tid, [](TableRecord *r) { r->sessions = 9; return 0; });
    EXPECT_EQ(FSDestroyTable(fcb_, tid), 0);
}

// Destroying an indexed table frees every chunk (memory and thunk) and
// gives every image back to the free list at once; made and destroyed in
// a loop, tables reuse that space and the file stops growing.
TEST_F(TablesTest, DestroyedTablesGiveBackTheirChunksAndSpace) {
    Make();
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    const int thunks = ThunksInUse();
    uint32_t size = 0;
    for (int round = 0; round < 20; ++round) {
        const uint16_t tid = Make();
        ASSERT_EQ(tid, 1);
        AddRecords(tid, 37); // ten chunks and an index
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        AddRecords(tid, 5); // some of them resident and changed again
        const uint32_t free = FreeBytes();
        ASSERT_EQ(FSDestroyTable(fcb_, tid), 0);
        EXPECT_GE(FreeBytes(), free + 10 * 64 + 128) << "round " << round;
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        EXPECT_EQ(ThunksInUse(), thunks);
        if (round == 2) size = fcb_->h.fileSize;
        if (round > 2) {
            ASSERT_EQ(+fcb_->h.fileSize, size) << "round " << round;
        }
    }
}

// When the new table's chunk cannot be made, its TID is free again and no
// root table is named.
TEST_F(TablesTest, FailedMakeLeavesNoTableBehind) {
    while (ThunksInUse() < fcb_->h.thunkCount) NewChunk(kRecords, 0); // the next thunk needs growth
    VMFaultReset();
    VMFaultFail(VM_OP_GALLOC, 1, 0); // the master table gets memory, the thunk table cannot grow
    uint16_t tid = 0;
    const FSStatus status = FSMakeTable(fcb_, kRecords, &tid);
    VMFaultReset();
    EXPECT_NE(status, 0);
    EXPECT_EQ(FSError(fcb_), status);
    EXPECT_EQ(tid, TID_NONE);
    EXPECT_EQ(FSRootTable(fcb_), TID_NONE);
    WithRecord(0, [](TableRecord *r) { EXPECT_EQ(r->flags, 0); return 0; });
    EXPECT_EQ(Make(), 0);
    EXPECT_EQ(FSRootTable(fcb_), 0);
}

// Whether a table is indexed is read from its top chunk: a flag that says
// indexed over a chunk of records never has those records taken for chunk
// references (here, ones naming another table's chunk).
TEST_F(TablesTest, DestroyTrustsTheTopChunkNotTheFlag) {
    Make();
    const uint16_t victim = Make(kWide), other = Make(kWide);
    AddRecords(other, 3, 16);
    HeldTable held;
    ASSERT_EQ(HoldTable(fcb_, other, &held), 0);
    const std::vector<uint8_t> otherRecords = ReadRecords(fcb_, held.top);
    ChunkRef fake{REF_RESIDENT, kWide, 3, 0, held.top};
    ReleaseTable(fcb_, held);

    AddRecords(victim, 2, 16);
    ASSERT_EQ(HoldTable(fcb_, victim, &held), 0);
    std::vector<uint8_t> bytes(32, 0);
    std::memcpy(bytes.data(), &fake, sizeof fake);
    std::memcpy(bytes.data() + 16, &fake, sizeof fake);
    ASSERT_EQ(WriteRecords(fcb_, held.top, 0, bytes), 0);
    ReleaseTable(fcb_, held);
    WithRecord(victim, [](TableRecord *r) { r->flags |= TABLE_INDEXED; return 1; });

    ASSERT_EQ(FSDestroyTable(fcb_, victim), 0);
    ASSERT_EQ(HoldTable(fcb_, other, &held), 0);
    EXPECT_EQ(ReadRecords(fcb_, held.top), otherRecords);
    ReleaseTable(fcb_, held);
}

} // namespace
