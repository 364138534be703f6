// Converting files of the other byte order: the saved version reads back
// with every record and a native header and class table, the hook sees
// every translated chunk once, the stored free list is converted or
// dropped, and damaged files and failing services are refused before
// anything is written, with nothing left behind.
#include <algorithm>
#include <tuple>

#include "common/gen_foreign.h"
#include "convert/foreign.h"
#include "convert_fixture.h"

namespace {

using namespace gen;

using HookCall = std::tuple<uint8_t, uint16_t, uint8_t>; // class, count, mark
std::vector<HookCall> g_calls;
uint32_t g_failAfter = UINT32_MAX; // calls that succeed before the hook refuses

// Records its calls and undoes the generator's foreign record form.
FSStatus Translate(uint8_t cls, void *records, uint16_t count, uint8_t mark) {
    g_calls.push_back({cls, count, mark});
    if (g_calls.size() > g_failAfter) return 4711;
    static const uint16_t sizes[] = {0, 0, 0, 0, 8, 12, 6, 10};
    if (cls >= std::size(sizes)) return 4712;
    auto *p = static_cast<uint8_t *>(records);
    for (uint32_t r = 0; r < count; ++r, p += sizes[cls]) {
        uint16_t i = 0;
        for (; i + 4 <= sizes[cls]; i += 4) std::reverse(p + i, p + i + 4);
        if (i + 2 <= sizes[cls]) std::swap(p[i], p[i + 1]);
    }
    return 0;
}

// Host classes: 4 (8-byte records, translated), 5 (12-byte, RIDs,
// translated), 6 (6-byte, flags that ask for no translation), 7 (10-byte,
// records beginning with references: translated). Tables: 0 single, 1
// indexed over three chunks, 2 of class 6, 3 indexed of class 7, 4 with a
// chunk of records but no image, 5 only in the mini-saved version. The
// saved version has a free record at TID 2.
NativeSpec ForeignSample() {
    NativeSpec s;
    s.classes = {{8, 64, 4, 0x08, 4, 6, 1}, {12, 32, 4, 0x09, 4, 6, 100}, {6, 50, 0, 0x00, 4, 6, 1},
                 {10, 40, 0, 0x20, 4, 6, 7}};
    s.tables = {
        {4, PatternRecords(10, 8, 1), false, {}, false},  {5, PatternRecords(80, 12, 2), true, {30, 30, 20}, false},
        {6, PatternRecords(25, 6, 3), false, {}, false},  {7, PatternRecords(45, 10, 4), true, {40, 5}, false},
        {4, PatternRecords(12, 8, 5), false, {}, true},   {4, PatternRecords(20, 8, 6), false, {}, false},
    };
    s.saved = VersionSpec{{0, 1, -1, 2, 3, 4}, false, {}};
    s.mini = VersionSpec{{0, 1, 5}, false, {}};
    s.freeAfterEachImage = 64, s.freeTail = 128;
    return s;
}

class Foreign : public ConvertTest {
protected:
    NativeSpec spec = ForeignSample();
    NativeFile f = BuildForeign(spec);
    Bytes &b = f.bytes;
    std::string path;
    VMFileSpec host{};

    void SetUp() override {
        ConvertTest::SetUp();
        g_calls.clear(), g_failAfter = UINT32_MAX, ctx.translateHook = Translate;
    }
    // Writes b and converts it in place, between the given steps.
    FSStatus Run(const std::function<void()> &before = [] {}, const std::function<void()> &after = [] {}) {
        Discard();
        path = Put(b);
        fcb = FcbOnFile(path);
        if (fcb == nullptr) return FS_E_BAD_PARAMS;
        VMMakeFileSpec(path.c_str(), 0, &host);
        before();
        FSStatus status = CVConvertForeign(fcb, &ctx, &host);
        return after(), status;
    }
    // Converts b; a refusal must leave the file and the FCB as they were and
    // come before any host record was handed to the hook.
    FSStatus Refused() {
        FSStatus status = Run();
        if (status != 0) {
            EXPECT_EQ(ReadFile(path), b);
            EXPECT_EQ(std::memcmp(&fcb->h, b.data(), HEADER_SIZE), 0);
            EXPECT_TRUE(g_calls.empty());
        }
        g_calls.clear();
        return status;
    }
    const ImageInfo &Image(ImageInfo::Kind kind, int table, int chunk = 0) const { return f.Image(kind, table, chunk); }
    uint32_t SavedRecord(int tid) const { return Image(ImageInfo::Master, -1).pos + uint32_t(tid) * 16; }
    uint32_t Class(int cls) const { return f.classTableOffset + uint32_t(cls) * 14; }
};

TEST_F(Foreign, SavedVersionReadsBackWithEveryRecord) {
    b[38] = 7; // the writer's formatMark
    const Bytes before = b;
    ASSERT_EQ(Run(), 0);
    const FileHeader &h = fcb->h;
    EXPECT_EQ((std::vector<uint32_t>{h.magic, h.formatVersion, h.versionFlags, h.stateFlags, h.formatMark, h.lastStatus,
                                     h.allocShift, h.growShift, h.maxChunk, h.classCount, h.fileSize, h.classTableOffset,
                                     h.rootTable, h.fileType, h.appVersion, h.fileSlot}),
              (std::vector<uint32_t>{FS_MAGIC, FORMAT_CURRENT, VER_SAVED, STATE_CLOSED_CLEANLY, 1, 0, 6, 12, 0xF000, 8,
                                     uint32_t(b.size()), f.classTableOffset, 0, 0x5A46, 0x0100, 0}));
    Bytes disk = FileBytes();
    EXPECT_EQ(Bytes(disk.begin(), disk.begin() + HEADER_SIZE), HeaderBytes());
    // The class table and the stored free list now read as a native file's.
    Bytes native = BuildNative(spec).bytes;
    auto same = [&](const Bytes &other, uint32_t at, uint32_t len) {
        return std::equal(disk.begin() + at, disk.begin() + at + len, other.begin() + at);
    };
    EXPECT_TRUE(h.savedFreeCount == f.freeList.size() && h.savedFreeOffset == f.freeListOffset);
    EXPECT_TRUE(same(native, f.classTableOffset, 8 * 14) && same(native, f.freeListOffset, uint32_t(f.freeList.size()) * 10));

    ReadVersion v = ReadSaved(disk);
    ASSERT_EQ(v.tables.size(), spec.saved->tids.size());
    for (size_t tid = 0; tid < spec.saved->tids.size(); ++tid) {
        const int t = spec.saved->tids[tid];
        const TableSpec ts = t < 0 ? TableSpec{0, {}, false, {}, false} : spec.tables[size_t(t)];
        EXPECT_EQ(std::tuple(v.tables[tid].inUse, v.tables[tid].cls, v.tables[tid].indexed, v.tables[tid].records),
                  std::tuple(t >= 0, ts.cls, ts.indexed, ts.imageless ? Bytes(ts.records.size(), 0) : ts.records))
            << tid;
    }
    EXPECT_TRUE(Converted(path));
    // Classes 4, 5 and 7 of the saved version, each chunk once, with the
    // writer's mark; not class 6 (kept as it was), not the chunk without an
    // image, not the mini-saved version's own table (left for the free list).
    std::sort(g_calls.begin(), g_calls.end());
    EXPECT_EQ(g_calls, (std::vector<HookCall>{{4, 10, 7}, {5, 20, 7}, {5, 30, 7}, {5, 30, 7}, {7, 5, 7}, {7, 40, 7}}));
    for (int t : {2, 5}) EXPECT_TRUE(same(before, Image(ImageInfo::TableChunk, t).pos, Image(ImageInfo::TableChunk, t).len)) << t;
}

// Damage refused, or (status 0) a stored free list that cannot be used,
// dropped while every record arrives.
TEST_F(Foreign, RefusalsLeaveTheFileAsItWas) {
    const uint32_t t0 = SavedRecord(0), t1 = SavedRecord(1), chunk1 = Image(ImageInfo::TableChunk, 1).pos;
    const uint32_t index1 = Image(ImageInfo::TableIndex, 1).pos, list = f.freeListOffset;
    size_t live = 0; // the entry of the saved version's table of class 6
    while (f.freeList[live].pos != Image(ImageInfo::TableChunk, 2).pos) ++live;
    struct Case { const char *what; std::function<void()> damage; FSStatus expected = FS_E_UNREADABLE; };
    const Case cases[] = {
        {"no translate hook", [&] { ctx.translateHook = nullptr; }, FS_E_CANNOT_TRANSLATE},
        {"a newer format", [&] { Put16BE(b, 10, 0x0309); }, FS_E_CANNOT_CONVERT},
        {"a native header", [&] { Put16(b, 6, FS_MAGIC); }, FS_E_BAD_PARAMS},
        {"root of a host class", [&] { b[45] = 5; }},
        {"fewer classes than the built-ins", [&] { b[42] = 3; }},
        {"class table past the end", [&] { Put32BE(b, 86, uint32_t(b.size())); }},
        {"class table over the header", [&] { Put32BE(b, 86, 64); }},
        {"allocation shift of 20", [&] { Put16BE(b, 12, 20); }},
        {"master records of 20 bytes", [&] { Put16BE(b, Class(0) + 4, 20); }},
        {"index class without references", [&] { Put16BE(b, Class(1), ForeignFlagWord(0x18)); }},
        {"table of a built-in class", [&] { b[t0 + 11] = 3; }},
        {"table of a class beyond the table", [&] { b[t0 + 11] = 200; }},
        {"single table whose chunk is an index", [&] { b[t0 + 1] = 1; }},
        {"indexed table not marked indexed", [&] { b[t1 + 10] = ForeignTableFlags(0x01); }},
        {"indexed table whose top is no index", [&] { b[t1 + 1] = 5; }},
        {"index naming a chunk of another class", [&] { b[index1 + 10 + 1] = 4; }},
        {"count over the chunk size limit", [&] { Put16BE(b, t0 + 2, 0xFFFF); }},
        {"count over the class maximum", [&] { Put16BE(b, Class(6) + 6, 20); }},
        {"image past the end", [&] { Put32BE(b, t0 + 4, uint32_t(b.size()) - 16); }},
        {"image over the header", [&] { Put32BE(b, t0 + 4, 64); }},
        {"image over the class table", [&] { Put32BE(b, t0 + 4, f.classTableOffset); }},
        {"two tables sharing an image", [&] { Put32BE(b, t0 + 4, chunk1); }},
        {"master chunk over its class maximum", [&] { Put16BE(b, Class(0) + 6, 4); }},
        {"index with more references than its image", [&] { Put16BE(b, t1 + 2, 6000); }},
        {"free list of more than 6144 entries", [&] { Put16BE(b, 102, 6145); b.resize(list + 6145 * 10, 0); }, 0},
        {"free list unsorted", [&] { std::swap_ranges(b.begin() + list, b.begin() + list + 10, b.begin() + list + 10); }, 0},
        {"free list freeing a live image", [&] { Put16BE(b, list + uint32_t(live) * 10, 0); }, 0},
        {"free list over the header", [&] { Put32BE(b, 104, 64); }, 0},
    };
    const Bytes original = b;
    for (const Case &c : cases) {
        b = original;
        ctx.translateHook = Translate;
        c.damage();
        EXPECT_EQ(Refused(), c.expected) << c.what;
        EXPECT_TRUE(c.expected != 0 || (fcb->h.savedFreeCount == 0 && fcb->h.savedFreeOffset == 0 && Saved().tables[1].records == spec.tables[1].records)) << c.what;
    }
    // A hook that refuses ends the conversion; the FCB keeps the header as read.
    b = original;
    g_failAfter = 2;
    EXPECT_TRUE(Run() == 4711 && g_calls.size() == 3u && std::memcmp(&fcb->h, b.data(), HEADER_SIZE) == 0);
}

// Every file operation and allocation, failed in turn for good and once: the
// injected status (or FS_E_NOMEM), the FCB as it was, no memory left; or,
// where a failure is absorbed (the stamp, the free list), a sound file.
TEST_F(Foreign, FailuresOfServicesLeaveNoMemoryBehind) {
    for (VMOp op : {VM_OP_READ, VM_OP_WRITE, VM_OP_FLUSH, VM_OP_OPEN, VM_OP_GALLOC}) {
        ForEachFault(op, 4242, [&](FaultRun &fault) {
            FSStatus status = Run([&] { fault.Arm(); }, [&] { fault.Disarm(); });
            EXPECT_EQ(CVBuffersInUse(), 0u) << op;
            if (status != 0) {
                EXPECT_TRUE(status == (op == VM_OP_GALLOC ? FS_E_NOMEM : 4242) && std::memcmp(&fcb->h, b.data(), HEADER_SIZE) == 0) << op;
                return;
            }
            // Absorbed: a stamp that cannot be had, a free list that cannot be converted.
            EXPECT_TRUE(!fault.fired || (op == VM_OP_OPEN && fcb->h.fileStamp == 0) || fcb->h.savedFreeCount == 0)
                << op;
            EXPECT_TRUE(Saved().tables[1].records == spec.tables[1].records && Converted(path)) << op;
        });
    }
}

} // namespace
