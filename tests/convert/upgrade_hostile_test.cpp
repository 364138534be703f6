// Damaged old-format files and failing services: the upgrade either refuses
// with a status, leaving no file, no memory and the FCB as it was, or
// converts with unmatched tables empty and a warning; the old file is never
// changed and the new file is always sound.
#include <cstring>
#include <random>

#include "common/gen_old.h"
#include "convert/upgrade.h"
#include "convert_helpers.h"

namespace {

using namespace gen;

constexpr uint32_t OLD_ENTRY = 24, OLD_RECORD = 10;

OldSpec Sample() {
    OldSpec s;
    s.classes = OldDefaultClasses({{0x01, 4, 6, 8, 64, 0, 5}, {0x00, 4, 6, 12, 20, 0, 1}});
    s.tables = {
        {false, 4, false, {PatternRecords(10, 8, 1)}, -1, 5, 1},
        {true, 0, false, {}, -1, 5, 1},
        {false, 5, true, {PatternRecords(20, 12, 2), PatternRecords(7, 12, 3)}, -1, 5, 1},
    };
    return s;
}

class UpgradeHostile : public ConvertTest {
protected:
    OldSpec spec = Sample();
    OldFile f = BuildOld(spec);
    Bytes &b = f.bytes;
    FCB *fcb = nullptr;
    std::string path;

    void TearDown() override {
        Discard();
        ConvertTest::TearDown();
    }

    // Gives up the FCB; a new file the upgrade made goes away.
    void Discard() {
        if (fcb != nullptr && (fcb->file->bytes[6] & VM_SPEC_TEMPORARY)) VMCloseDeleteFile(fcb->file);
        FcbRelease(fcb);
        fcb = nullptr;
    }

    // Upgrades b. A refusal must leave nothing behind and the FCB as it was;
    // a success must give a file the checker finds sound. The old file is
    // never changed.
    FSStatus Run(bool anyDescriptor = false) {
        Discard();
        path = Put(b, "old.pub");
        fcb = FcbOnFile(path);
        if (fcb == nullptr) {
            ADD_FAILURE() << "no FCB";
            return FS_E_BAD_PARAMS;
        }
        FileHeader before = fcb->h;
        VMFileSpec *file = fcb->file;
        FSStatus status = CVUpgradeOld(fcb, &ctx);
        if (status != 0) {
            EXPECT_TRUE(ScratchEmpty());
            EXPECT_EQ(fcb->file, file);
            EXPECT_EQ(std::memcmp(&fcb->h, &before, HEADER_SIZE), 0);
            EXPECT_EQ(VMFileSize(fcb->file), b.size()); // still open
        } else {
            Report r = CheckPath(VMFileSpecPath(fcb->file));
            // Descriptors come from the old file as they are; a damaged one
            // is the only thing the checker may find.
            if (anyDescriptor && r->findingCount != 0) {
                EXPECT_TRUE(OnlyKind(r, ZUNFS_CHECK_CLASS_TABLE)) << Findings(r);
            } else {
                EXPECT_EQ(r->findingCount, 0u) << Findings(r);
            }
        }
        EXPECT_EQ(ReadFile(path), b);
        return status;
    }

    uint32_t Entry(uint16_t block) const { return f.blockTablePos + block * OLD_ENTRY; }
    uint32_t Record(int table) const { return f.blockPos[f.masterBlock] + uint32_t(table) * OLD_RECORD; }
    uint16_t TopBlock(int table) const { return f.tableBlocks[size_t(table)][0]; }
};

TEST_F(UpgradeHostile, DamagedStructuresAreRefused) {
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
}

TEST_F(UpgradeHostile, TruncatedFilesAreRefused) {
    const Bytes original = b;
    const uint32_t structuresEnd = f.blockTablePos + f.blockCount * OLD_ENTRY;
    // Files shorter than a header never get this far: the open refuses them.
    for (uint32_t cut = HEADER_SIZE; cut < original.size(); cut += 11) {
        b.assign(original.begin(), original.begin() + cut);
        FSStatus status = Run();
        if (cut < structuresEnd) {
            EXPECT_EQ(status, FS_E_CANNOT_CONVERT) << cut;
        }
    }
}

TEST_F(UpgradeHostile, TableDataOutOfRangeArrivesEmpty) {
    struct Damage {
        const char *what;
        uint32_t at;
        uint16_t value;
        bool recordFreed;
    };
    const uint16_t data0 = TopBlock(0), index2 = TopBlock(2);
    const Damage cases[] = {
        {"block number out of range", Record(0) + 4, 999, false},
        {"image over the chunk size limit", Entry(data0) + 16, 60000, false},
        {"more records than the class allows", Entry(data0) + 16, 65, false},
        {"image past the end", Entry(data0) + 18, 0xFFFF, false},
        {"image over the old header", Entry(data0) + 18, 0, false},
        {"class beyond the class table", Record(0) + 2, 200, true},
        {"built-in class", Record(0) + 2, 2, true},
    };
    const Bytes original = b;
    for (const Damage &d : cases) {
        b = original;
        if (d.at == Record(0) + 2) b[d.at] = uint8_t(d.value);
        else Put16(b, d.at, d.value);
        ASSERT_EQ(Run(), 0) << d.what;
        EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE) << d.what;
        ReadVersion v = ReadSaved(FileBytes(fcb));
        EXPECT_EQ(v.tables[0].inUse, !d.recordFreed) << d.what;
        EXPECT_TRUE(v.tables[0].records.empty()) << d.what;
        EXPECT_EQ(v.tables[2].records, Concat(spec.tables[2].blocks)) << d.what;
    }

    // An index of more references than an index chunk holds: the table is empty.
    b = original;
    Put16(b, Entry(index2) + 16, 7000);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE);
    ReadVersion v = ReadSaved(FileBytes(fcb));
    EXPECT_FALSE(v.tables[2].indexed);
    EXPECT_TRUE(v.tables[2].records.empty());
    EXPECT_EQ(v.tables[0].records, spec.tables[0].blocks[0]);

    // An index naming a block out of range: only that chunk is empty.
    b = original;
    Put16(b, f.blockPos[index2] + 2, 999);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE);
    EXPECT_EQ(ReadSaved(FileBytes(fcb)).tables[2].chunks, (std::vector<uint16_t>{20, 0}));
}

TEST_F(UpgradeHostile, BlocksNamedByManyTablesCannotBlowUpTheCopy) {
    // One block of 61440 bytes and 1000 small tables, all made to name it.
    spec.classes = OldDefaultClasses({{0x00, 4, 6, 8, 0xFFFF, 0, 1}});
    spec.tables = {{false, 4, false, {PatternRecords(7680, 8, 1)}, -1, 5, 1}};
    for (int t = 0; t < 1000; ++t) spec.tables.push_back({false, 4, false, {PatternRecords(1, 8, 2)}, -1, 5, 1});
    f = BuildOld(spec);
    for (int t = 1; t <= 1000; ++t) Put16(b, Record(t) + 4, TopBlock(0));
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(fcb->h.lastStatus, FS_E_UNREADABLE);
    EXPECT_LT(Val(fcb->h.fileSize), 2 * b.size());
    EXPECT_EQ(ReadSaved(FileBytes(fcb)).tables[0].records, spec.tables[0].blocks[0]);
}

TEST_F(UpgradeHostile, RandomDamageGivesAStatusOrASoundFile) {
    const Bytes original = b;
    std::mt19937 rng(20240607);
    for (int round = 0; round < 300; ++round) {
        b = original;
        int flips = 1 + int(rng() % 6);
        for (int i = 0; i < flips; ++i) b[rng() % b.size()] = uint8_t(rng());
        b[11] = 0; // still an old-format file
        FSStatus status = Run(true);
        EXPECT_TRUE(status == 0 || status == FS_E_CANNOT_CONVERT) << "round " << round << ": " << status;
    }
}

// Every file operation and allocation of the upgrade, failed in turn, for
// good and once: a status with nothing left behind, or (for a copy buffer,
// which falls back to small pieces) a sound file with every record.
TEST_F(UpgradeHostile, FailuresOfServicesLeaveNothingBehind) {
    const FSStatus injected = 4242;
    for (VMOp op : {VM_OP_READ, VM_OP_WRITE, VM_OP_SETSIZE, VM_OP_CREATE, VM_OP_ALLOC, VM_OP_GALLOC}) {
        for (bool once : {false, true}) {
            for (uint32_t n = 0;; ++n) {
                Discard();
                path = Put(b, "old.pub");
                fcb = FcbOnFile(path);
                ASSERT_NE(fcb, nullptr);
                FileHeader before = fcb->h;
                VMFaultReset();
                if (once) VMFaultFailOnce(op, n, injected);
                else VMFaultFail(op, n, injected);
                FSStatus status = CVUpgradeOld(fcb, &ctx);
                bool fired = VMFaultCount(op) > n;
                VMFaultReset();
                std::string where = "op " + std::to_string(op) + (once ? " once" : "") + " after " + std::to_string(n);
                if (status != 0) {
                    FSStatus expected = op == VM_OP_ALLOC || op == VM_OP_GALLOC ? FS_E_NOMEM : injected;
                    EXPECT_EQ(status, expected) << where;
                    EXPECT_TRUE(ScratchEmpty()) << where;
                    EXPECT_EQ(std::memcmp(&fcb->h, &before, HEADER_SIZE), 0) << where;
                } else {
                    EXPECT_TRUE(op == VM_OP_GALLOC || !fired) << where;
                    EXPECT_EQ(ReadSaved(FileBytes(fcb)).tables[2].records, Concat(spec.tables[2].blocks)) << where;
                    EXPECT_CLEAN(VMFileSpecPath(fcb->file));
                }
                EXPECT_EQ(ReadFile(path), b) << where;
                EXPECT_EQ(CVBuffersInUse(), 0u) << where;
                if (!fired) break;
            }
        }
    }
}

} // namespace
