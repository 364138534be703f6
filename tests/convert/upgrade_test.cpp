// Upgrading old-format files: the new file's header and class table byte
// by byte, every record read back from it, unmatched or out-of-range data
// arriving empty with a warning, files of newer layouts used as they stand,
// and damaged files and failing services refused with nothing left behind.
// The old file is never changed and a new file is always sound.
#include <random>

#include "common/gen_native.h"
#include "common/gen_old.h"
#include "convert/upgrade.h"
#include "convert_fixture.h"

namespace {

using namespace gen;

constexpr uint32_t OLD_ENTRY = 24, OLD_RECORD = 10;

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
    // a success a file the checker finds sound (descriptors come from the old
    // file as they are: with anyDescriptor a damaged one may be found).
    FSStatus Run(bool anyDescriptor = false) {
        Discard();
        path = Put(b, "old.pub");
        fcb = FcbOnFile(path);
        if (fcb == nullptr) return FS_E_BAD_PARAMS;
        const FileHeader before = fcb->h;
        VMFileSpec *file = fcb->file;
        FSStatus status = CVUpgradeOld(fcb, &ctx);
        if (status != 0) {
            EXPECT_TRUE(ScratchEmpty());
            EXPECT_EQ(fcb->file, file);
            EXPECT_EQ(std::memcmp(&fcb->h, &before, HEADER_SIZE), 0);
            EXPECT_EQ(VMFileSize(fcb->file), b.size()); // still open
        } else {
            EXPECT_TRUE(Converted(VMFileSpecPath(fcb->file), anyDescriptor));
        }
        EXPECT_EQ(ReadFile(path), b);
        return status;
    }
    void Rebuild() { f = BuildOld(spec); }
    uint32_t Entry(uint16_t block) const { return f.blockTablePos + block * OLD_ENTRY; }
    uint32_t Record(int table) const { return f.blockPos[f.masterBlock] + uint32_t(table) * OLD_RECORD; }
    uint16_t TopBlock(int table) const { return f.tableBlocks[size_t(table)][0]; }
};

TEST_F(Upgrade, NewFileHeaderClassTableAndRecords) {
    ASSERT_EQ(Run(), 0);
    const FileHeader &h = fcb->h;
    EXPECT_EQ(h.magic, FS_MAGIC);
    EXPECT_EQ(h.formatVersion, FORMAT_CONVERTED);
    EXPECT_EQ(h.versionFlags, 0x05);
    EXPECT_EQ(h.stateFlags, STATE_CLOSED_CLEANLY);
    EXPECT_EQ(h.formatMark, 1);
    EXPECT_EQ(h.allocShift, 6);
    EXPECT_EQ(h.growShift, 12);
    EXPECT_EQ(h.maxChunk, 0xF000);
    EXPECT_EQ(h.classCount, 6);
    EXPECT_EQ(h.rootTable, 2);
    EXPECT_EQ(h.fileType, 0x5155);
    EXPECT_EQ(h.appVersion, 0x301); // kind 5, word 14 of 0
    EXPECT_EQ(h.lastStatus, 0);
    EXPECT_EQ(h.savedRoot.cls, CLASS_INDEX);
    EXPECT_EQ(h.savedFreeCount, 0);
    // A temporary scratch file in the scratch folder, as long as its fileSize.
    EXPECT_TRUE(fcb->file->bytes[6] & VM_SPEC_TEMPORARY);
    EXPECT_EQ(FolderEntries(scratch.path).size(), 1u);
    Bytes disk = FileBytes();
    EXPECT_EQ(disk.size(), Val(h.fileSize));
    EXPECT_EQ(Val(h.savedFileSize), Val(h.fileSize));
    EXPECT_EQ(Bytes(disk.begin(), disk.begin() + HEADER_SIZE), HeaderBytes());
    // Host classes widened: flags bits 0-2 kept and 0x08 added, the rest
    // copied, RID counters from the old header; built-ins as a new file has them.
    const uint32_t at = h.classTableOffset;
    EXPECT_EQ(disk[at + 4 * 14], 0x0B);
    EXPECT_EQ(disk[at + 4 * 14 + 2], 4);
    EXPECT_EQ(disk[at + 4 * 14 + 3], 6);
    EXPECT_EQ(Get16(disk, at + 4 * 14 + 4), 8);
    EXPECT_EQ(Get16(disk, at + 4 * 14 + 6), 64);
    EXPECT_EQ(Get16(disk, at + 4 * 14 + 8), 7);
    EXPECT_EQ(Get32(disk, at + 4 * 14 + 10), 42u);
    EXPECT_EQ(disk[at + 5 * 14], 0x08);
    EXPECT_EQ(Get32(disk, at + 5 * 14 + 10), 9u);
    for (uint32_t c = 0; c < 4; ++c) {
        EXPECT_EQ(disk[at + c * 14], 0x38) << c;
        EXPECT_EQ(Get32(disk, at + c * 14 + 10), 1u) << c;
    }
    EXPECT_EQ(Get16(disk, at + 4), 16);
    EXPECT_EQ(Get16(disk, at + 6), 256);
    EXPECT_EQ(Get16(disk, at + 14 + 4), 10);

    ReadVersion v = Saved();
    EXPECT_EQ(v.masterChunks, std::vector<uint16_t>{4}) << "an indexed master, even of one chunk";
    ASSERT_EQ(v.tables.size(), 4u);
    EXPECT_TRUE(v.tables[0].inUse && !v.tables[0].indexed);
    EXPECT_EQ(v.tables[0].cls, 4);
    EXPECT_EQ(v.tables[0].records, spec.tables[0].blocks[0]);
    EXPECT_FALSE(v.tables[1].inUse);
    EXPECT_TRUE(v.tables[2].inUse && v.tables[2].indexed);
    EXPECT_EQ(v.tables[2].cls, 5);
    EXPECT_EQ(v.tables[2].chunks, (std::vector<uint16_t>{20, 7, 15}));
    EXPECT_EQ(v.tables[2].records, Concat(spec.tables[2].blocks));
    EXPECT_TRUE(v.tables[3].inUse);
    EXPECT_EQ(v.tables[3].chunks, std::vector<uint16_t>{0});
}

TEST_F(Upgrade, MasterTableIsIndexedInChunksOf256) {
    spec.tables.clear();
    for (uint32_t t = 0; t < 300; ++t)
        spec.tables.push_back({t % 7 == 3, 4, false, {PatternRecords(1 + t % 3, 8, t)}, -1, 5, 1});
    Rebuild();
    ASSERT_EQ(Run(), 0);
    ReadVersion v = Saved();
    EXPECT_EQ(v.masterChunks, (std::vector<uint16_t>{256, 44}));
    ASSERT_EQ(v.tables.size(), 300u);
    for (uint32_t t = 0; t < 300; ++t) {
        EXPECT_EQ(v.tables[t].inUse, !spec.tables[t].free) << t;
        EXPECT_TRUE(spec.tables[t].free || v.tables[t].records == spec.tables[t].blocks[0]) << t;
    }
    spec.tables.clear();
    Rebuild();
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(Saved().masterChunks, std::vector<uint16_t>{0});
}

TEST_F(Upgrade, KindSelectsTheApplicationVersion) {
    struct Case {
        uint8_t kind;
        uint16_t word14;
        FSStatus status;
        uint16_t app;
    };
    for (Case c : {Case{3, 1, 0, 0x200}, Case{5, 1, 0, 0x300}, Case{4, 0, FS_E_CANNOT_CONVERT, 0}}) {
        spec.kind = c.kind;
        spec.word14 = c.word14;
        Rebuild();
        ASSERT_EQ(Run(), c.status);
        EXPECT_TRUE(c.status != 0 || fcb->h.appVersion == c.app) << int(c.kind);
    }
}

// Data that cannot be matched or lies out of range arrives empty, and the
// new file's status says so; the other tables arrive whole.
TEST_F(Upgrade, UnmatchedAndOutOfRangeDataArrivesEmpty) {
    const uint16_t data0 = TopBlock(0), index2 = TopBlock(2);
    struct Damage {
        const char *what;
        uint32_t at;
        uint16_t value;
        std::vector<uint16_t> chunks0, chunks2; // chunks0 empty: table 0 freed
    };
    const std::vector<uint16_t> whole0{10}, whole2{20, 7, 15};
    const Damage cases[] = {
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
        if (d.at == Record(0) + 2) b[d.at] = uint8_t(d.value);
        else Put16(b, d.at, d.value);
        ASSERT_EQ(Run(), 0) << d.what;
        EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE) << d.what;
        EXPECT_EQ(Get16(FileBytes(), 4), FS_E_UNREADABLE) << d.what;
        ReadVersion v = Saved();
        EXPECT_EQ(v.tables[0].inUse, !d.chunks0.empty()) << d.what;
        EXPECT_TRUE(d.chunks0.empty() || v.tables[0].chunks == d.chunks0) << d.what;
        EXPECT_EQ(v.tables[2].chunks, d.chunks2) << d.what;
    }
}

TEST_F(Upgrade, BlocksNamedByManyTablesCannotBlowUpTheCopy) {
    // One block of 61440 bytes and 1000 small tables, all made to name it.
    spec.classes = OldDefaultClasses({{0x00, 4, 6, 8, 0xFFFF, 0, 1}});
    spec.tables = {{false, 4, false, {PatternRecords(7680, 8, 1)}, -1, 5, 1}};
    for (int t = 0; t < 1000; ++t) spec.tables.push_back({false, 4, false, {PatternRecords(1, 8, 2)}, -1, 5, 1});
    Rebuild();
    for (int t = 1; t <= 1000; ++t) Put16(b, Record(t) + 4, TopBlock(0));
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE);
    EXPECT_LT(Val(fcb->h.fileSize), 2 * b.size());
    EXPECT_EQ(Saved().tables[0].records, spec.tables[0].blocks[0]);
}

// A scratch copy as the working file goes away once it is converted; a file
// of a newer layout is used as it stands, its header read again.
TEST_F(Upgrade, ScratchCopiesAndNewerLayouts) {
    fcb = FcbOnFile(Put(b, "copy.pub"), true);
    ASSERT_EQ(CVUpgradeOld(fcb, &ctx), 0);
    EXPECT_TRUE(FolderEntries(files.path).empty());
    Discard();
    NativeSpec n;
    n.classes = {{8, 64, 0, 0x08, 4, 6, 1}};
    n.tables = {{4, PatternRecords(5, 8, 1), false, {}, false}};
    n.saved = VersionSpec{{0}, false, {}};
    for (uint16_t version : {0x0105, 0x0200, 0x02FF}) {
        Bytes native = BuildNative(n).bytes;
        Put16(native, 10, version);
        Put16(native, 4, 0x1234); // a leftover status
        path = Put(native);
        fcb = FcbOnFile(path);
        VMFileSpec *file = fcb->file;
        fcb->h.rootTable = 77;
        ASSERT_EQ(CVUpgradeOld(fcb, &ctx), 0) << version;
        EXPECT_EQ(fcb->file, file);
        EXPECT_EQ(fcb->h.formatVersion, version);
        EXPECT_EQ(fcb->h.rootTable, 0);
        EXPECT_EQ(fcb->h.lastStatus, 0);
        EXPECT_EQ(ReadFile(path), native);
        Discard();
    }
    EXPECT_TRUE(ScratchEmpty());
}

// Damaged structures, files cut short and random damage: refused (Run checks
// that nothing is left behind) or converted into a sound file.
TEST_F(Upgrade, DamagedFilesAreRefused) {
    struct Damage {
        const char *what;
        uint32_t at;
        uint16_t value;
    };
    const Damage cases[] = {
        {"too few classes", 58, 3},
        {"more classes than RID counters", 58, 33},
        {"class count 0xFFFF", 58, 0xFFFF},
        {"shift beyond 32 bits", 44, 40},
        {"class table past the end", 50, 0xFFFF},
        {"block table past the end", 72, 0xFFFF},
        {"more block entries than the file holds", 74, 0xFFFF},
        {"master block out of range", 260, f.blockCount},
        {"master block of class 4", Entry(f.masterBlock) + 2, 4},
        {"master records past the end", Entry(f.masterBlock) + 16, 0xFFFF},
        {"master block over the old header", Entry(f.masterBlock) + 18, 0},
        {"unknown kind", 12, 0},
    };
    const Bytes original = b;
    for (const Damage &d : cases) {
        b = original;
        if (d.at == 12) b[12] = uint8_t(d.value);
        else Put16(b, d.at, d.value);
        EXPECT_EQ(Run(), FS_E_CANNOT_CONVERT) << d.what;
    }
    // Files shorter than a header never get this far: the open refuses them.
    for (uint32_t cut = HEADER_SIZE; cut < f.blockTablePos + f.blockCount * OLD_ENTRY; cut += 11) {
        b.assign(original.begin(), original.begin() + cut);
        EXPECT_EQ(Run(), FS_E_CANNOT_CONVERT) << cut;
    }
    std::mt19937 rng(20240607);
    for (int round = 0; round < 300; ++round) {
        b = original;
        for (int i = 0, flips = 1 + int(rng() % 6); i < flips; ++i) b[rng() % b.size()] = uint8_t(rng());
        b[11] = 0; // still an old-format file
        FSStatus status = Run(true);
        EXPECT_TRUE(status == 0 || status == FS_E_CANNOT_CONVERT) << "round " << round << ": " << status;
    }
}

// Every file operation and allocation, failed in turn for good and once: a
// status with nothing left behind, or (for a copy buffer, which falls back
// to small pieces) a sound file with every record.
TEST_F(Upgrade, FailuresOfServicesLeaveNothingBehind) {
    for (VMOp op : {VM_OP_READ, VM_OP_WRITE, VM_OP_SETSIZE, VM_OP_CREATE, VM_OP_ALLOC, VM_OP_GALLOC}) {
        ForEachFault(op, 4242, [&](FaultRun &fault) {
            Discard();
            path = Put(b, "old.pub");
            fcb = FcbOnFile(path);
            ASSERT_NE(fcb, nullptr);
            const FileHeader before = fcb->h;
            fault.Arm();
            FSStatus status = CVUpgradeOld(fcb, &ctx);
            fault.Disarm();
            if (status != 0) {
                EXPECT_EQ(status, op == VM_OP_ALLOC || op == VM_OP_GALLOC ? FS_E_NOMEM : 4242) << op;
                EXPECT_TRUE(ScratchEmpty()) << op;
                EXPECT_EQ(std::memcmp(&fcb->h, &before, HEADER_SIZE), 0) << op;
            } else {
                EXPECT_TRUE(op == VM_OP_GALLOC || !fault.fired) << op;
                EXPECT_EQ(Saved().tables[2].records, Concat(spec.tables[2].blocks)) << op;
                EXPECT_TRUE(Converted(VMFileSpecPath(fcb->file))) << op;
            }
            EXPECT_EQ(ReadFile(path), b) << op;
            EXPECT_EQ(CVBuffersInUse(), 0u) << op;
        });
    }
}

} // namespace
