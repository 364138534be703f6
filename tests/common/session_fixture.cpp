// A new storage file for tests of sessions and records.
#include "common/session_fixture.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ostream>

#include "common/fcb_fixture.h"
#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

FSClassDesc WithMin(FSClassDesc d, uint16_t min) { return d.minPerChunk = min, d; }

// Calls f with the table's top chunk, the master chunk holding its record
// pinned meanwhile, after checking the record's indexed bit against it.
template <typename F>
void OnTop(FCB *fcb, uint16_t tid, F f) {
    HeldTable held;
    FSStatus status = HoldTable(fcb, tid, &held);
    EXPECT_EQ(status, 0) << "tid " << tid;
    if (status != 0) return;
    TableRecord *rec;
    uint16_t master;
    if (TBFindTable(fcb, tid, &rec, &master) == 0) {
        EXPECT_EQ(IsIndexed(fcb, held.top), (rec->flags & TABLE_INDEXED) != 0) << "table record's indexed bit is wrong";
        TBUnlockChunk(fcb, master, 0);
    }
    f(held.top);
    ReleaseTable(fcb, held);
}

std::vector<FSClassDesc> TestClasses() {
    return {WithMin(HostClass(8, 4), 2),
            WithMin(HostClass(12, 10), 5),
            WithMin(HostClass(16, 10), 5),
            WithMin(HostClass(8, 5, FS_CLASS_RIDS), 2),
            WithMin(HostClass(12, 3), 0),
            HostClass(4, 1000),
            HostClass(1, 700)};
}

} // namespace

void PrintTo(const TableShape &s, std::ostream *os) {
    *os << (s.indexed ? "indexed {" : "single {");
    for (uint16_t c : s.counts) *os << " " << c;
    *os << " }";
}

FSContext SessionFileTest::Context() {
    static const std::vector<FSClassDesc> classes = TestClasses();
    FSContext ctx = ScratchContext(folder_);
    ctx.fileType = 0x5A46, ctx.appVersion = 1, ctx.memBudget = MemBudget();
    ctx.classCount = static_cast<uint8_t>(classes.size()), ctx.classes = classes.data();
    return ctx;
}

void SessionFileTest::SetUp() {
    VMFaultReset();
    folder_ = MakeScratchFolder();
    ASSERT_FALSE(folder_.empty());
    FSContext ctx = Context();
    ASSERT_EQ(FSCreate(&ctx, &fcb_), 0);
}

void SessionFileTest::TearDown() {
    VMFaultReset();
    FSFileClose(fcb_, 0);
    GlobalSetMoveOnLock(0);
    RemoveScratchFolder(folder_);
}

uint16_t SessionFileTest::MakeTable(uint8_t cls) {
    uint16_t tid = TID_NONE;
    EXPECT_EQ(FSMakeTable(fcb_, cls, &tid), 0);
    return tid;
}

std::vector<uint8_t> SessionFileTest::Pattern(uint16_t tid, uint32_t rix, uint16_t recSize) {
    std::vector<uint8_t> r(recSize);
    for (uint16_t i = 0; i < recSize; ++i)
        r[i] = static_cast<uint8_t>(0x40 + tid * 31 + rix * 7 + i + (rix >> 8) * 13);
    return r;
}

std::vector<uint8_t> SessionFileTest::Patterns(uint16_t tid, uint32_t count, uint16_t recSize) {
    std::vector<uint8_t> out;
    for (uint32_t rix = 0; rix < count; ++rix) std::ranges::copy(Pattern(tid, rix, recSize), std::back_inserter(out));
    return out;
}

void SessionFileTest::Shape(uint16_t tid, const TableShape &shape) {
    ASSERT_TRUE(shape.indexed || shape.counts.size() == 1);
    TableRecord *rec;
    uint16_t master, top;
    ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
    ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
    ASSERT_EQ(TBFreeChunk(fcb_, top), 0);
    const uint8_t cls = rec->cls;
    const uint16_t recSize = RecSize(cls), n = static_cast<uint16_t>(shape.counts.size());
    ChunkRef *refs = &rec->top;
    void *data;
    if (shape.indexed) {
        ASSERT_EQ(TBNewChunk(fcb_, &rec->top, CLASS_INDEX, n, &top), 0);
        ASSERT_EQ(TBLockChunk(fcb_, top, &data), 0);
        refs = static_cast<ChunkRef *>(data);
    }
    for (uint16_t i = 0, rix = 0; i < n; ++i) {
        uint16_t ti;
        ASSERT_EQ(TBNewChunk(fcb_, &refs[i], cls, shape.counts[i], &ti), 0);
        if (shape.counts[i] == 0) continue;
        ASSERT_EQ(TBLockChunk(fcb_, ti, &data), 0);
        for (uint16_t j = 0; j < shape.counts[i]; ++j, ++rix)
            std::memcpy(static_cast<uint8_t *>(data) + j * recSize, Pattern(tid, rix, recSize).data(), recSize);
        ASSERT_EQ(TBUnlockChunk(fcb_, ti, 1), 0);
    }
    if (shape.indexed) {
        ASSERT_EQ(TBUnlockChunk(fcb_, top, 1), 0);
    }
    rec->flags = static_cast<uint8_t>(shape.indexed ? rec->flags | TABLE_INDEXED : rec->flags & ~TABLE_INDEXED);
    ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
}

uint16_t SessionFileTest::MakeShapedTable(uint8_t cls, const TableShape &shape) {
    const uint16_t tid = MakeTable(cls);
    return Shape(tid, shape), tid;
}

SCB *SessionFileTest::CheckOut(uint16_t tid, uint32_t mode) {
    SCB *scb = nullptr;
    EXPECT_EQ(FSCheckOut(fcb_, tid, mode, &scb), 0);
    return scb;
}

TableShape SessionFileTest::ShapeOf(uint16_t tid) {
    TableShape s;
    OnTop(fcb_, tid, [&](uint16_t top) { s = {IsIndexed(fcb_, top), ChunkCounts(fcb_, top)}; });
    return s;
}

std::vector<uint8_t> SessionFileTest::TableBytes(uint16_t tid) {
    std::vector<uint8_t> out;
    OnTop(fcb_, tid, [&](uint16_t top) { out = ReadRecords(fcb_, top); });
    return out;
}

std::vector<std::vector<uint8_t>> SessionFileTest::RecordsOf(uint16_t tid) {
    std::vector<uint8_t> bytes = TableBytes(tid);
    uint16_t size = RecSize(RecordOf(tid).cls);
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; size != 0 && at + size <= bytes.size(); at += size)
        out.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
    return out;
}

TableRecord SessionFileTest::RecordOf(uint16_t tid, uint16_t *masterChunk) {
    TableRecord *rec, copy{};
    uint16_t master = THUNK_NONE;
    EXPECT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
    if (rec != nullptr) {
        copy = *rec;
        EXPECT_EQ(TBUnlockChunk(fcb_, master, 0), 0);
    }
    if (masterChunk != nullptr) *masterChunk = master;
    return copy;
}

uint8_t SessionFileTest::MasterBusy(uint16_t tid) {
    uint16_t master;
    RecordOf(tid, &master);
    Thunk t = ThunkOf(fcb_, master);
    return ThunkBusy(&t);
}
