// Chunks and tables: the thunk table's limit, stale thunk indexes, where a
// position lies, TIDs and the master table's growth, and what making and
// destroying tables refuses, keeps and gives back.
#include <cstring>
#include <tuple>

#include "blocks/cache.h"
#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

constexpr uint8_t kRecords = 4; // 8-byte records, at most 4 per chunk
constexpr uint8_t kWide = 7;    // 16-byte records, at most 8 per chunk

class Tables : public ScratchFcbTest {
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
    bool ThunkTableFull() {
        ThunkLock lock(fcb_);
        return fcb_->h.thunkCount == THUNK_CAPACITY_MAX &&
               TBFindFreeThunk(THUNK_CAPACITY_MAX, fcb_->thunks) == THUNK_CAPACITY_MAX;
    }
};

// The thunk table grows 16 at a time up to 3276, then a new chunk is
// refused unless writing parents back gives thunks back; indexes of freed
// or absent thunks are refused.
TEST_F(Tables, ThunkTableLimitAndStaleThunks) {
    NewIndex(std::vector<uint16_t>(10, 1), kRecords, 1); // ten resident children
    std::vector<uint16_t> capacities{fcb_->h.thunkCount}, expected{16};
    while (!ThunkTableFull()) {
        NewChunk(kRecords, 1);
        if (fcb_->h.thunkCount != capacities.back()) capacities.push_back(fcb_->h.thunkCount);
    }
    for (uint16_t c = 32; c <= 3264; c += 16) expected.push_back(c);
    expected.push_back(3276);
    EXPECT_EQ(capacities, expected);
    uint16_t ti, given;
    EXPECT_EQ(TBNewChunk(fcb_, &refs_[nextRef_++], kRecords, 1, &given), 0); // a child given back
    EXPECT_EQ(fcb_->h.lruHead, THUNK_NONE);
    while (!ThunkTableFull()) NewChunk(kRecords, 1);
    EXPECT_EQ(TBNewChunk(fcb_, &refs_[nextRef_], kRecords, 1, &ti), FS_E_BLOCK_LIMIT);
    EXPECT_EQ(refs_[nextRef_].flags & REF_RESIDENT, 0);

    void *data = &data;
    ASSERT_EQ(TBFreeChunk(fcb_, given), 0);
    EXPECT_TRUE(TBLockChunk(fcb_, given, &data) == FS_E_BAD_PARAMS && data == nullptr);
    const uint16_t past = fcb_->h.thunkCount;
    EXPECT_EQ(TBLockChunk(fcb_, past, &data), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBUnlockChunk(fcb_, past, 0), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBPinChunk(fcb_, past, 1), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBFreeChunk(fcb_, past), FS_E_BAD_PARAMS);
    EXPECT_EQ(TBChunkCount(fcb_, past), 0);
    EXPECT_EQ(TBUnlockChunk(fcb_, NewChunk(kRecords, 1), 1), FS_E_LOCK_MISSING);
    EXPECT_EQ(BKFlush(nullptr, BK_QUOTA_ALL), FS_E_BAD_FCB);
}

// A position is found in the chunk holding it; the table's end (where an
// append goes) is accepted, past it is not; a boundary between chunks
// belongs to the later chunk, resident or given back.
TEST_F(Tables, LocateAcceptsTheEndAndGivesBoundariesToTheLaterChunk) {
    uint16_t chunk, count, at;
    uint32_t first;
    const uint16_t single = NewChunk(kRecords, 0), idx = NewIndex({3, 2}, kRecords, 1);
    ASSERT_EQ(TBLocateRecord(fcb_, single, 0, &chunk, &first, &count, &at), 0);
    EXPECT_TRUE(chunk == single && first == 0 && count == 0 && at == 0);
    EXPECT_EQ(TBLocateRecord(fcb_, single, 1, &chunk, &first, &count, &at), FS_E_BAD_RIX);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(TBRecordCount(fcb_, idx), 5u);
        uint16_t chunks[6];
        for (uint32_t rix : {2u, 3u, 5u}) {
            ASSERT_EQ(TBLocateRecord(fcb_, idx, rix, &chunks[rix], &first, &count, &at), 0);
            EXPECT_EQ(std::make_tuple(first, count, at), rix < 3 ? std::make_tuple(0u, uint16_t{3}, uint16_t{0})
                                                                  : std::make_tuple(3u, uint16_t{2}, uint16_t{1}))
                << pass << " " << rix;
        }
        EXPECT_TRUE(chunks[3] != chunks[2] && chunks[5] == chunks[3]);
        EXPECT_EQ(TBLocateRecord(fcb_, idx, 6, &chunk, &first, &count, &at), FS_E_BAD_RIX);
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    }
}

// The first table is the root table and cannot be destroyed; the lowest
// free TID is reused first, in the master table's later chunk too; the
// master table grows 16 records at a time and is indexed past 256.
TEST_F(Tables, TidsAndTheMasterTable) {
    EXPECT_EQ(FSRootTable(fcb_), TID_NONE);
    for (uint16_t i = 0; i < 5; ++i) EXPECT_EQ(Make(), i);
    EXPECT_TRUE(FSRootTable(fcb_) == 0 && FSDirtied(fcb_) == 1);
    EXPECT_EQ(FSDestroyTable(fcb_, 0), FS_E_ROOT_TABLE);
    EXPECT_EQ(FSError(fcb_), FS_E_ROOT_TABLE);
    EXPECT_EQ(FSDestroyTable(fcb_, 2), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, 2), FS_E_BAD_TID);
    EXPECT_EQ(FSDestroyTable(fcb_, 0x10004), 0); // the low 16 bits count
    EXPECT_EQ(FSDestroyTable(fcb_, 16), FS_E_BAD_TID);
    EXPECT_EQ(FSDestroyTable(fcb_, TID_NONE), FS_E_BAD_TID);
    EXPECT_TRUE(Make() == 2 && Make() == 4 && Make() == 5);
    EXPECT_EQ(ChunkCounts(fcb_, fcb_->h.currentRoot.thunk), std::vector<uint16_t>{16});
    for (uint16_t i = 6; i < 17; ++i) ASSERT_EQ(Make(), i);
    EXPECT_EQ(ChunkCounts(fcb_, fcb_->h.currentRoot.thunk), std::vector<uint16_t>{32});
    for (uint16_t i = 17; i < 300; ++i) ASSERT_EQ(Make(), i);
    EXPECT_EQ(ChunkCounts(fcb_, fcb_->h.currentRoot.thunk), (std::vector<uint16_t>{256, 48}));
    ASSERT_EQ(FSDestroyTable(fcb_, 270), 0);
    ASSERT_EQ(FSDestroyTable(fcb_, 5), 0);
    EXPECT_TRUE(Make() == 5 && Make() == 270 && Make() == 300);
}

// Built-in classes, classes without a descriptor, a record size or a
// maximum are refused (only the low 8 bits of the class count); a bad FCB
// is refused untouched; a failed make leaves its TID free and no root; an
// open session keeps its table, a slot naming none does not.
TEST_F(Tables, RefusalsAndFailuresLeaveNoTableBehind) {
    for (uint32_t cls : {0u, 1u, 3u, 5u, 6u, 8u, 200u, 0x103u}) {
        uint16_t tid = 0;
        EXPECT_EQ(FSMakeTable(fcb_, cls, &tid), FS_E_BAD_CLASS) << cls;
        EXPECT_TRUE(tid == TID_NONE && FSError(fcb_) == FS_E_BAD_CLASS);
    }
    uint16_t tid = 0;
    EXPECT_TRUE(FSMakeTable(nullptr, kRecords, &tid) == FS_E_BAD_FCB && tid == TID_NONE);
    EXPECT_EQ(FSDestroyTable(nullptr, 1), FS_E_BAD_FCB);
    fcb_->h.magic = 0x1234;
    fcb_->h.lastStatus = 77;
    EXPECT_EQ(FSMakeTable(fcb_, kRecords, &tid), FS_E_BAD_FCB);
    EXPECT_EQ(FSDestroyTable(fcb_, 1), FS_E_BAD_FCB);
    EXPECT_EQ(FSError(fcb_), 77);
    fcb_->h.magic = FS_MAGIC;

    while (ThunksInUse() < fcb_->h.thunkCount) NewChunk(kRecords, 0); // the next thunk needs growth
    VMFaultReset();
    VMFaultFail(VM_OP_GALLOC, 1, 0); // the master table gets memory, the thunk table cannot grow
    const FSStatus status = FSMakeTable(fcb_, kRecords, &tid);
    VMFaultReset();
    EXPECT_TRUE(status != 0 && FSError(fcb_) == status && tid == TID_NONE && FSRootTable(fcb_) == TID_NONE);
    WithRecord(0, [](TableRecord *r) { EXPECT_EQ(r->flags, 0); return 0; });
    EXPECT_EQ(FSMakeTable(fcb_, 0x100u + kWide, nullptr), 0);
    WithRecord(0, [](TableRecord *r) { EXPECT_EQ(r->cls, kWide); return 0; });

    const uint16_t kept = Make(), other = Make();
    SCB *scb = nullptr;
    ASSERT_EQ(FSCheckOut(fcb_, kept, 0, &scb), 0);
    EXPECT_EQ(FSDestroyTable(fcb_, kept), FS_E_TABLE_IN_USE);
    WithRecord(other, [&](TableRecord *r) { return r->sessions = scb->sessionId, 0; });
    EXPECT_EQ(FSDestroyTable(fcb_, other), 0);
    FSCheckIn(scb);
    WithRecord(kept, [](TableRecord *r) { return r->sessions = 9, 0; });
    EXPECT_EQ(FSDestroyTable(fcb_, kept), 0);
}

// Destroying an indexed table frees every chunk and gives every image back
// at once: made and destroyed in a loop, tables reuse the space and the
// file stops growing. Whether a table is indexed is read from its top
// chunk: a flag saying indexed over records never has them taken for
// chunk references (here, ones naming another table's chunk).
TEST_F(Tables, DestroyGivesBackEverythingAndTrustsTheTopChunk) {
    Make();
    ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
    const int thunks = ThunksInUse();
    uint32_t size = 0;
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(Make(), 1);
        AddRecords(1, 37); // ten chunks and an index
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        AddRecords(1, 5); // some resident and changed again
        ASSERT_EQ(FSDestroyTable(fcb_, 1), 0);
        ASSERT_EQ(BKFlush(fcb_, BK_QUOTA_ALL), 0);
        EXPECT_EQ(ThunksInUse(), thunks);
        if (round == 2) size = fcb_->h.fileSize;
        EXPECT_TRUE(round <= 2 || fcb_->h.fileSize == size) << round;
    }
    const uint16_t victim = Make(kWide), other = Make(kWide);
    AddRecords(other, 3, 16);
    AddRecords(victim, 2, 16);
    HeldTable held;
    ASSERT_EQ(HoldTable(fcb_, other, &held), 0);
    const std::vector<uint8_t> otherRecords = ReadRecords(fcb_, held.top);
    const ChunkRef fake{REF_RESIDENT, kWide, 3, 0, held.top};
    ReleaseTable(fcb_, held);
    ASSERT_EQ(HoldTable(fcb_, victim, &held), 0);
    std::vector<uint8_t> bytes(32, 0);
    std::memcpy(bytes.data(), &fake, sizeof fake);
    std::memcpy(bytes.data() + 16, &fake, sizeof fake);
    ASSERT_EQ(WriteRecords(fcb_, held.top, 0, bytes), 0);
    ReleaseTable(fcb_, held);
    WithRecord(victim, [](TableRecord *r) { return r->flags |= TABLE_INDEXED, 1; });
    ASSERT_EQ(FSDestroyTable(fcb_, victim), 0);
    ASSERT_EQ(HoldTable(fcb_, other, &held), 0);
    EXPECT_EQ(ReadRecords(fcb_, held.top), otherRecords);
    ReleaseTable(fcb_, held);
}

} // namespace
