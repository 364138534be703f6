// Upgrading old-format files: the new file's header and class table byte
// by byte, every record read back from it, unmatched or out-of-range data
// arriving empty with a warning, files of newer layouts used as they stand,
// and damaged files and failing services refused with nothing left behind.
// The old file is never changed and a new file is always sound.

#include "common/gen_native.h"
#include "common/gen_old.h"
#include "convert/upgrade.h"
#include "convert_fixture.h"

namespace {

using namespace gen;

constexpr uint32_t OLD_ENTRY = 24, OLD_RECORD = 10; // block table entries, master records

// Host classes 4 (8-byte records, at most 64 a chunk, RID counter 42) and
// 5 (12-byte records, at most 20); a single-block table, a free record, an
// indexed table of three blocks and an empty table.
OldSpec MixedOld() {
    OldSpec s;
    s.classes = OldDefaultClasses({{0x03, 4, 6, 8, 64, 7, 42}, {0xF0, 3, 5, 12, 20, 2, 9}});
    s.rootTable = 2;
    s.tables = {
        {false, 4, false, {PatternRecords(10, 8, 1)}, -1, 5, 1},
        {true, 0, false, {}, -1, 5, 1},
        {false, 5, true, {PatternRecords(20, 12, 2), PatternRecords(7, 12, 3), PatternRecords(15, 12, 4)}, -1, 4, 1},
        {false, 4, false, {Bytes{}}, -1, 5, 1},
    };
    return s;
}

class Upgrade : public ConvertTest {
protected:
    OldSpec spec = MixedOld();
    OldFile f = BuildOld(spec);
    Bytes &b = f.bytes;
    std::string path;

    // Upgrades b. A refusal must leave nothing behind and the FCB as it was;
    // a success a file the checker finds sound. The given steps come just
    // before and after the upgrade.
    FSStatus Run(const std::function<void()> &before = [] {}, const std::function<void()> &after = [] {}) {
        Discard();
        path = Put(b, "old.pub");
        fcb = FcbOnFile(path);
        if (fcb == nullptr) return FS_E_BAD_PARAMS;
        const FileHeader old = fcb->h;
        VMFileSpec *file = fcb->file;
        before();
        FSStatus status = CVUpgradeOld(fcb, &ctx);
        after();
        if (status != 0) {
            EXPECT_TRUE(ScratchEmpty() && fcb->file == file && std::memcmp(&fcb->h, &old, HEADER_SIZE) == 0);
            EXPECT_EQ(VMFileSize(fcb->file), b.size()); // still open
        } else {
            EXPECT_TRUE(Converted(VMFileSpecPath(fcb->file)));
        }
        EXPECT_EQ(ReadFile(path), b);
        return status;
    }
    uint32_t Entry(uint16_t block) const { return f.blockTablePos + block * OLD_ENTRY; }
    uint32_t Record(int table) const { return f.blockPos[f.masterBlock] + uint32_t(table) * OLD_RECORD; }
    uint16_t TopBlock(int table) const { return f.tableBlocks[size_t(table)][0]; }
};

TEST_F(Upgrade, NewFileHeaderClassTableAndRecords) {
    ASSERT_EQ(Run(), 0);
    const FileHeader &h = fcb->h; // application version 0x301: kind 5, word 14 of 0
    EXPECT_EQ((std::vector<uint32_t>{h.magic, h.formatVersion, h.versionFlags, h.stateFlags, h.formatMark, h.allocShift,
                                     h.growShift, h.maxChunk, h.classCount, h.rootTable, h.fileType, h.appVersion,
                                     h.lastStatus, h.savedRoot.cls, h.savedFreeCount}),
              (std::vector<uint32_t>{FS_MAGIC, FORMAT_CONVERTED, 0x05, STATE_CLOSED_CLEANLY, 1, 6, 12, 0xF000, 6, 2, 0x5155,
                                     0x301, 0, CLASS_INDEX, 0}));
    // A temporary scratch file in the scratch folder, as long as its fileSize.
    Bytes disk = FileBytes();
    EXPECT_TRUE((fcb->file->bytes[6] & VM_SPEC_TEMPORARY) && FolderEntries(scratch.path).size() == 1u);
    EXPECT_TRUE(disk.size() == h.fileSize && h.savedFileSize == h.fileSize);
    EXPECT_EQ(Bytes(disk.begin(), disk.begin() + HEADER_SIZE), HeaderBytes());
    // Host classes widened: flags bits 0-2 kept and 0x08 added, the rest
    // copied, RID counters from the old header; built-ins as a new file has them.
    const uint32_t at = h.classTableOffset, c4 = at + 4 * 14, c5 = at + 5 * 14;
    EXPECT_EQ((std::vector<uint32_t>{disk[c4], disk[c4 + 2], disk[c4 + 3], Get16(disk, c4 + 4), Get16(disk, c4 + 6),
                                     Get16(disk, c4 + 8), Get32(disk, c4 + 10), disk[c5], Get32(disk, c5 + 10)}),
              (std::vector<uint32_t>{0x0B, 4, 6, 8, 64, 7, 42, 0x08, 9}));
    for (uint32_t c = 0; c < 4; ++c) EXPECT_EQ(std::pair(+disk[at + c * 14], Get32(disk, at + c * 14 + 10)), std::pair(0x38, 1u)) << c;
    EXPECT_EQ((std::vector<uint16_t>{Get16(disk, at + 4), Get16(disk, at + 6), Get16(disk, at + 14 + 4)}),
              (std::vector<uint16_t>{16, 256, 10}));

    ReadVersion v = Saved();
    // An indexed master, even of one chunk.
    ASSERT_TRUE(v.masterChunks == std::vector<uint16_t>{4} && v.tables.size() == 4u);
    auto table = [](const ReadTable &t) { return std::tuple(t.inUse, t.cls, t.indexed, t.chunks, t.records); };
    using Chunks = std::vector<uint16_t>;
    EXPECT_EQ(table(v.tables[0]), std::tuple(true, 4, false, Chunks{10}, spec.tables[0].blocks[0]));
    EXPECT_FALSE(v.tables[1].inUse);
    EXPECT_EQ(table(v.tables[2]), std::tuple(true, 5, true, Chunks{20, 7, 15}, Concat(spec.tables[2].blocks)));
    EXPECT_EQ(table(v.tables[3]), std::tuple(true, 4, false, Chunks{0}, Bytes{}));
}

// Damaged structures are refused (Run checks that nothing is left behind);
// random damage and short files are the fuzzers' to try. Data that cannot be
// matched or lies out of range (status 0) arrives empty, and the new file's
// status says so; the other tables arrive whole.
TEST_F(Upgrade, DamagedFilesAreRefusedOrArriveInPart) {
    const uint16_t data0 = TopBlock(0), index2 = TopBlock(2), master = f.masterBlock;
    // chunks0 empty: table 0 freed
    struct Damage { const char *what; uint32_t at; uint16_t value; std::vector<uint16_t> chunks0, chunks2; FSStatus status = 0; };
    const std::vector<uint16_t> whole0{10}, whole2{20, 7, 15}, none;
    const FSStatus refused = FS_E_CANNOT_CONVERT;
    const Damage cases[] = {
        {"too few classes", 58, 3, none, none, refused},
        {"more classes than RID counters", 58, 33, none, none, refused},
        {"class count 0xFFFF", 58, 0xFFFF, none, none, refused},
        {"shift beyond 32 bits", 44, 40, none, none, refused},
        {"class table past the end", 50, 0xFFFF, none, none, refused},
        {"block table past the end", 72, 0xFFFF, none, none, refused},
        {"more block entries than the file holds", 74, 0xFFFF, none, none, refused},
        {"master block out of range", 260, f.blockCount, none, none, refused},
        {"master block of class 4", Entry(master) + 2, 4, none, none, refused},
        {"master records past the end", Entry(master) + 16, 0xFFFF, none, none, refused},
        {"master block over the old header", Entry(master) + 18, 0, none, none, refused},
        {"unknown kind", 12, 0, none, none, refused},
        {"kind 4", 12, 4, none, none, refused},
        {"block number out of range", Record(0) + 4, 999, {0}, whole2},
        {"image over the chunk size limit", Entry(data0) + 16, 60000, {0}, whole2},
        {"more records than the class allows", Entry(data0) + 16, 65, {0}, whole2},
        {"image past the end", Entry(data0) + 18, 0xFFFF, {0}, whole2},
        {"image over the old header", Entry(data0) + 18, 0, {0}, whole2},
        {"single block of another class", Entry(data0) + 2, 5, {0}, whole2},
        {"class beyond the class table", Record(0) + 2, 200, {}, whole2},
        {"built-in class", Record(0) + 2, 2, {}, whole2},
        {"index of more references than an index holds", Entry(index2) + 16, 7000, whole0, {0}},
        {"index naming a block out of range", f.blockPos[index2] + 2, 999, whole0, {20, 0, 15}},
        {"indexed block of another class", Entry(f.tableBlocks[2][2]) + 2, 4, whole0, {20, 0, 15}},
    };
    const Bytes original = b;
    for (const Damage &d : cases) {
        b = original;
        if (d.at == Record(0) + 2 || d.at == 12) b[d.at] = uint8_t(d.value);
        else Put16(b, d.at, d.value);
        ASSERT_EQ(Run(), d.status) << d.what;
        if (d.status != 0) continue;
        EXPECT_TRUE(fcb->h.lastStatus == FS_E_UNREADABLE && Get16(FileBytes(), 4) == FS_E_UNREADABLE) << d.what;
        ReadVersion v = Saved();
        EXPECT_TRUE(v.tables[0].inUse ? v.tables[0].chunks == d.chunks0 : d.chunks0.empty()) << d.what;
        EXPECT_EQ(v.tables[2].chunks, d.chunks2) << d.what;
    }
    b = original;
    b.resize(f.blockTablePos + OLD_ENTRY); // cut inside its block table
    EXPECT_EQ(Run(), refused);
}

TEST_F(Upgrade, BlocksNamedByManyTablesCannotBlowUpTheCopy) {
    // One block of 61440 bytes and 1000 small tables, all made to name it.
    spec.classes = OldDefaultClasses({{0x00, 4, 6, 8, 0xFFFF, 0, 1}});
    spec.tables = {{false, 4, false, {PatternRecords(7680, 8, 1)}, -1, 5, 1}};
    for (int t = 0; t < 1000; ++t) spec.tables.push_back({false, 4, false, {PatternRecords(1, 8, 2)}, -1, 5, 1});
    f = BuildOld(spec);
    for (int t = 1; t <= 1000; ++t) Put16(b, Record(t) + 4, TopBlock(0));
    ASSERT_EQ(Run(), 0);
    EXPECT_TRUE(fcb->h.lastStatus == FS_E_UNREADABLE && fcb->h.fileSize < 2 * b.size());
    EXPECT_EQ(Saved().tables[0].records, spec.tables[0].blocks[0]);
}

// Every file operation and allocation, failed in turn for good and once: a
// status with nothing left behind, or (for a copy buffer, which falls back
// to small pieces) a sound file with every record.
TEST_F(Upgrade, FailuresOfServicesLeaveNothingBehind) {
    for (VMOp op : {VM_OP_READ, VM_OP_WRITE, VM_OP_SETSIZE, VM_OP_CREATE, VM_OP_ALLOC, VM_OP_GALLOC}) {
        ForEachFault(op, 4242, [&](FaultRun &fault) {
            FSStatus status = Run([&] { fault.Arm(); }, [&] { fault.Disarm(); });
            EXPECT_TRUE(status == 0 || status == (op == VM_OP_ALLOC || op == VM_OP_GALLOC ? FS_E_NOMEM : 4242)) << op;
            EXPECT_TRUE(status != 0 || op == VM_OP_GALLOC || !fault.fired) << op;
            EXPECT_TRUE(status != 0 || Saved().tables[2].records == Concat(spec.tables[2].blocks)) << op;
            EXPECT_EQ(CVBuffersInUse(), 0u) << op;
        });
    }
}

// 300 tables (a few free) give a master table indexed in chunks of 256 and 44.
TEST_F(Upgrade, MasterTableIsIndexedInChunksOf256) {
    spec.tables.clear();
    for (uint32_t t = 0; t < 300; ++t)
        spec.tables.push_back({t % 7 == 3, 4, false, {PatternRecords(1 + t % 3, 8, t)}, -1, 5, 1});
    f = BuildOld(spec);
    ASSERT_EQ(Run(), 0);
    ReadVersion v = Saved();
    EXPECT_EQ(v.masterChunks, (std::vector<uint16_t>{256, 44}));
    ASSERT_EQ(v.tables.size(), 300u);
    for (uint32_t t = 0; t < 300; ++t)
        EXPECT_TRUE(v.tables[t].inUse != spec.tables[t].free &&
                    (spec.tables[t].free || v.tables[t].records == spec.tables[t].blocks[0])) << t;
}

// Files of layouts 1.x and 2.x are used as they stand: same file, bytes
// untouched, only the run-time fields cleared.
TEST_F(Upgrade, NewerLayoutsAreUsedAsTheyStand) {
    NativeSpec n;
    n.classes = {{8, 64, 0, 0x08, 4, 6, 1}};
    n.tables = {{4, PatternRecords(5, 8, 1), false, {}, false}};
    n.saved = VersionSpec{{0}, false, {}};
    for (uint16_t version : {0x0105, 0x0200, 0x02FF}) {
        Bytes native = BuildNative(n).bytes;
        Put16(native, 10, version);
        Put16(native, 4, 0x1234); // a leftover status
        Discard();
        path = Put(native);
        fcb = FcbOnFile(path);
        ASSERT_NE(fcb, nullptr);
        VMFileSpec *file = fcb->file;
        ASSERT_EQ(CVUpgradeOld(fcb, &ctx), 0) << version;
        EXPECT_TRUE(fcb->file == file && fcb->h.formatVersion == version && fcb->h.lastStatus == 0) << version;
        EXPECT_EQ(ReadFile(path), native);
    }
    Discard();
    EXPECT_TRUE(ScratchEmpty());
}

} // namespace
