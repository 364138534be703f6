// A new storage file for tests of sessions and records.
#include "common/session_fixture.h"

#include <cstring>
#include <ostream>

#include "common/scratch_fcb.h"
#include "common/table_probe.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

FSClassDesc WithMin(FSClassDesc d, uint16_t min) {
    d.minPerChunk = min;
    return d;
}

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

} // namespace

std::vector<FSClassDesc> TestClasses() {
    return {WithMin(HostClass(8, 4), 2),
            WithMin(HostClass(12, 10), 5),
            WithMin(HostClass(16, 10), 5),
            WithMin(HostClass(8, 5, FS_CLASS_RIDS), 2),
            WithMin(HostClass(12, 3), 0),
            HostClass(4, 1000),
            HostClass(1, 700)};
}

void PrintTo(const TableShape &s, std::ostream *os) {
    *os << (s.indexed ? "indexed {" : "single {");
    for (uint16_t c : s.counts) *os << " " << c;
    *os << " }";
}

FSContext SessionFileTest::Context() {
    static const std::vector<FSClassDesc> classes = TestClasses();
    FSContext ctx{};
    ctx.fileType = 0x5A46;
    ctx.appVersion = 1;
    ctx.classCount = static_cast<uint8_t>(classes.size());
    ctx.classes = classes.data();
    ctx.memBudget = MemBudget();
    EXPECT_EQ(VMMakeFileSpec(folder_.c_str(), 0, &ctx.scratchSpec), 0);
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
    for (uint32_t rix = 0; rix < count; ++rix) {
        std::vector<uint8_t> r = Pattern(tid, rix, recSize);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

void SessionFileTest::Shape(uint16_t tid, const TableShape &shape) {
    TableRecord *rec;
    uint16_t master, top;
    ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
    ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
    ASSERT_EQ(TBFreeChunk(fcb_, top), 0);
    uint8_t cls = rec->cls;
    uint16_t recSize = RecSize(cls);
    uint32_t rix = 0;
    auto fill = [&](uint16_t ti, uint16_t count) {
        if (count == 0) return;
        void *data;
        ASSERT_EQ(TBLockChunk(fcb_, ti, &data), 0);
        for (uint16_t j = 0; j < count; ++j, ++rix)
            std::memcpy(static_cast<uint8_t *>(data) + j * recSize,
                        Pattern(tid, rix, recSize).data(), recSize);
        ASSERT_EQ(TBUnlockChunk(fcb_, ti, 1), 0);
    };
    if (!shape.indexed) {
        ASSERT_EQ(shape.counts.size(), 1u);
        ASSERT_EQ(TBNewChunk(fcb_, &rec->top, cls, shape.counts[0], &top), 0);
        fill(top, shape.counts[0]);
        rec->flags &= ~TABLE_INDEXED;
    } else {
        auto n = static_cast<uint16_t>(shape.counts.size());
        ASSERT_EQ(TBNewChunk(fcb_, &rec->top, CLASS_INDEX, n, &top), 0);
        void *data;
        ASSERT_EQ(TBLockChunk(fcb_, top, &data), 0);
        auto *refs = static_cast<ChunkRef *>(data);
        for (uint16_t i = 0; i < n; ++i) {
            uint16_t ti;
            ASSERT_EQ(TBNewChunk(fcb_, &refs[i], cls, shape.counts[i], &ti), 0);
            fill(ti, shape.counts[i]);
        }
        ASSERT_EQ(TBUnlockChunk(fcb_, top, 1), 0);
        rec->flags |= TABLE_INDEXED;
    }
    ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
}

uint16_t SessionFileTest::MakeShapedTable(uint8_t cls, const TableShape &shape) {
    uint16_t tid = MakeTable(cls);
    Shape(tid, shape);
    return tid;
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
