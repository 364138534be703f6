// The whole-file checker: sound files pass with a summary of what is in
// them; every kind of damage is found and named; hostile input gets
// findings, in bounded time and memory, never a crash.
#include <functional>
#include <random>

#include "check_helpers.h"
#include "common/gen_foreign.h"
#include "common/gen_old.h"

namespace {

using gen::ImageInfo;
using gen::Put16;
using gen::Put32;

constexpr uint16_t SAVED = 0x4, MINI = 0x2, BOTH = 0x6;

TEST(Check, SoundFilesPassAndAreSummed) {
    gen::NativeFile f = gen::BuildNative(TwoVersions());
    Report r = CheckBytes(f.bytes);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_NATIVE));
    EXPECT_TRUE(r->versionFlags == 0x7 && r->recoverable == 0x6 && !r->leftOpen && r->classesRead == 6);
    ASSERT_EQ(r->versionCount, 2u);
    const ZunfsCheckVersion &saved = r->versions[0], &mini = r->versions[1];
    ASSERT_TRUE(saved.version == SAVED && saved.tableCount == 3);
    const ZunfsCheckTable &t1 = saved.tables[1];
    EXPECT_TRUE(t1.tid == 1 && t1.classNumber == 5 && t1.indexed && t1.records == 80 && t1.chunks == 3);
    EXPECT_EQ(t1.bytes, 80u * 12 + 3 * 10);
    EXPECT_EQ(mini.tables[2].records, 20u);
    // Shared: table 0's chunk, table 1's index and chunks; the saved-only
    // images (table 2, saved master) owned by 0x4, the mini-saved ones by 0x3.
    EXPECT_TRUE(saved.sharedImages == 5 && mini.sharedImages == 5 && saved.imageCount == 7);
    EXPECT_TRUE(r->freeEntries == f.freeList.size() && r->freeBytes == 9 * 64 + 128);
    EXPECT_TRUE(r->ownedBytes[2] == 448 + 64 && r->ownedBytes[1] == 192 + 64);

    gen::NativeSpec s = TwoVersions();
    s.stateFlags = 0; // left open: a file longer than its fileSize is normal
    gen::Bytes open = gen::BuildNative(s).bytes;
    open.resize(open.size() + 4096);
    r = CheckBytes(open);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_TRUE(r->leftOpen && r->openCurrent == FS_E_CRASHED_BOTH && r->recoverable == 0x6);
    s.mini.reset();
    EXPECT_EQ(CheckBytes(gen::BuildNative(s).bytes)->openCurrent, FS_E_CRASHED_SAVED);
    r = CheckBytes(gen::BuildNative(gen::NativeSpec{}).bytes); // closed, never saved
    EXPECT_TRUE(r->findingCount == 0 && r->versionCount == 0 && r->openCurrent == FS_E_NO_SAVED);

    // 300 table records over an indexed master; every seventh free; tables
    // in turn empty, imageless and indexed.
    s = gen::NativeSpec{};
    s.classes = {{4, 100, 0, 0x00, 4, 6, 1}};
    s.saved = gen::VersionSpec{{}, true, {}};
    for (int i = 0; i < 300; ++i) {
        s.tables.push_back({4, gen::PatternRecords(i % 3 == 0 ? 0 : 5, 4, i), i % 3 == 2, {}, i % 3 == 1});
        if (i % 3 == 2) s.tables.back().chunks = {2, 2, 1};
        s.saved->tids.push_back(i % 7 == 3 ? -1 : i);
    }
    r = CheckBytes(gen::BuildNative(s).bytes);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);
    EXPECT_TRUE(r->versions[0].masterChunks == 2 && r->versions[0].tableCount == 300 - 43);
}

// The file of TwoVersions and where its parts lie.
struct Damaged {
    gen::NativeFile f = gen::BuildNative(TwoVersions());
    gen::Bytes &b = f.bytes;
    uint32_t Image(ImageInfo::Kind kind, int table, uint16_t version) const {
        for (const ImageInfo &im : f.images)
            if (im.kind == kind && im.table == table && im.chunk == 0 && (im.versions & version)) return im.pos;
        ADD_FAILURE() << "no such image";
        return 0;
    }
    uint32_t Chunk(int table, uint16_t version = SAVED) const { return Image(ImageInfo::TableChunk, table, version); }
    uint32_t TableRecord(int tid, uint16_t v) const { return Image(ImageInfo::Master, -1, v) + uint32_t(tid) * 16; }
    uint32_t IndexRef(int table, int chunk) const { return Image(ImageInfo::TableIndex, table, SAVED) + chunk * 10u; }
    uint32_t Entry(size_t i) const { return f.freeListOffset + uint32_t(i) * 10; }
    uint32_t EntryAt(uint32_t pos) const {
        for (size_t i = 0; i < f.freeList.size(); ++i)
            if (f.freeList[i].pos == pos) return Entry(i);
        return 0;
    }
    uint32_t Last() const { return Entry(f.freeList.size() - 1); }
    uint32_t Class(int cls) const { return f.classTableOffset + uint32_t(cls) * 14; }
    uint32_t End() const { return uint32_t(b.size()); }
    // Table tid's top chunk at pos in both versions.
    void Both(int tid, uint32_t pos) { Put32(b, TableRecord(tid, SAVED) + 4, pos), Put32(b, TableRecord(tid, MINI) + 4, pos); }
    void Run(uint32_t entry, uint32_t pos, uint32_t len) { Put32(b, entry + 2, pos), Put32(b, entry + 6, len); }
};

struct Case {
    const char *what;
    std::function<void(Damaged &)> damage;
    ZunfsCheckKind kind;
    uint16_t versions = 0; // found for each of these versions
    bool only = false;     // and no finding of another kind
};

const Case kCases[] = {
    {"table at another's image", [](Damaged &d) { Put32(d.b, d.TableRecord(0, SAVED) + 4, d.Chunk(2)); }, ZUNFS_CHECK_OVERLAP, SAVED, true},
    {"index naming a chunk twice", [](Damaged &d) { Put32(d.b, d.IndexRef(1, 2) + 4, d.Chunk(1)); }, ZUNFS_CHECK_OVERLAP, BOTH},
    {"image half over the other version's", [](Damaged &d) { Put32(d.b, d.TableRecord(2, MINI) + 4, d.Chunk(2) + 64); }, ZUNFS_CHECK_SHARED_OVERLAP},
    {"saved-only run given to mini", [](Damaged &d) { Put16(d.b, d.EntryAt(d.Chunk(2)), MINI); }, ZUNFS_CHECK_FREE_OVER_LIVE, SAVED, true},
    {"mini-saved run freed", [](Damaged &d) { Put16(d.b, d.EntryAt(d.Chunk(3, MINI)), 0); }, ZUNFS_CHECK_FREE_OVER_LIVE, MINI, true},
    {"free run over a shared image", [](Damaged &d) { d.Run(d.EntryAt(d.Chunk(0) + 128), d.Chunk(0), 192); }, ZUNFS_CHECK_FREE_OVER_LIVE, BOTH, true},
    {"shared chunk past the end", [](Damaged &d) { Put32(d.b, d.IndexRef(1, 2) + 4, d.End()); }, ZUNFS_CHECK_IMAGE_PAST_END, BOTH, true},
    {"chunk out of the file", [](Damaged &d) { Put32(d.b, d.TableRecord(2, SAVED) + 4, d.End() - 64); }, ZUNFS_CHECK_IMAGE_PAST_END, 0, true},
    {"chunk past the saved size", [](Damaged &d) { Put32(d.b, 26, d.Chunk(2) + 64); }, ZUNFS_CHECK_IMAGE_PAST_END, SAVED},
    {"image off the granule", [](Damaged &d) { d.Both(0, d.Chunk(0) + 8); }, ZUNFS_CHECK_IMAGE_ALIGN, 0, true},
    {"image over the class table", [](Damaged &d) { d.Both(0, d.f.classTableOffset); }, ZUNFS_CHECK_STRUCTURE, 0, true},
    {"reference to no class", [](Damaged &d) { d.b[d.IndexRef(1, 1) + 1] = 9; }, ZUNFS_CHECK_BAD_CLASS, BOTH, true},
    {"built-in class as a table's", [](Damaged &d) { d.b[d.TableRecord(2, SAVED) + 11] = 2; }, ZUNFS_CHECK_BAD_CLASS, 0, true},
    {"saved root of a host class", [](Damaged &d) { d.b[45] = 4; }, ZUNFS_CHECK_BAD_CLASS, SAVED},
    {"index under a table not indexed", [](Damaged &d) { d.b[d.TableRecord(1, MINI) + 10] = 0x01; }, ZUNFS_CHECK_BAD_CLASS, MINI, true},
    {"indexed table over a chunk", [](Damaged &d) { d.b[d.TableRecord(0, SAVED) + 10] = 0x03; }, ZUNFS_CHECK_BAD_CLASS, 0, true},
    {"tables over a lowered maximum", [](Damaged &d) { Put16(d.b, d.Class(4) + 6, 9); }, ZUNFS_CHECK_COUNT_OVER_MAX, 0, true},
    {"master over a lowered maximum", [](Damaged &d) { Put16(d.b, d.Class(0) + 6, 2); }, ZUNFS_CHECK_COUNT_OVER_MAX, 0, true},
    {"chunk of 72000 bytes", [](Damaged &d) { Put16(d.b, d.IndexRef(1, 0) + 2, 6000); }, ZUNFS_CHECK_CHUNK_TOO_BIG},
    {"maxChunk below a chunk", [](Damaged &d) { Put16(d.b, 84, 256); }, ZUNFS_CHECK_CHUNK_TOO_BIG, 0, true},
    {"RIDs in 2-byte records", [](Damaged &d) { Put16(d.b, d.Class(5) + 4, 2); }, ZUNFS_CHECK_CLASS_TABLE},
    {"reference marked resident", [](Damaged &d) { d.b[d.TableRecord(0, SAVED)] = 0x01; }, ZUNFS_CHECK_BAD_REF, 0, true},
    {"index without an image", [](Damaged &d) { Put32(d.b, d.TableRecord(1, SAVED) + 4, 0); }, ZUNFS_CHECK_BAD_REF, 0, true},
    {"session chain left in the file", [](Damaged &d) { Put32(d.b, d.TableRecord(2, SAVED) + 12, 0x1234); }, ZUNFS_CHECK_TABLE_RECORD, 0, true},
    {"runs out of order", [](Damaged &d) { d.Run(d.Entry(1), d.f.freeList[0].pos, d.f.freeList[0].len); d.Run(d.Entry(0), d.f.freeList[1].pos, d.f.freeList[1].len); }, ZUNFS_CHECK_FREE_ORDER},
    {"run off the granule", [](Damaged &d) { Put32(d.b, d.Entry(0) + 6, d.f.freeList[0].len - 8); }, ZUNFS_CHECK_FREE_ALIGN, 0, true},
    {"empty run", [](Damaged &d) { Put32(d.b, d.Entry(0) + 6, 0); }, ZUNFS_CHECK_FREE_ALIGN, 0, true},
    {"run past the end", [](Damaged &d) { Put32(d.b, d.Last() + 6, d.f.freeList.back().len + 64); }, ZUNFS_CHECK_FREE_RANGE, 0, true},
    {"run of no version", [](Damaged &d) { Put16(d.b, d.Entry(0), 0x8); }, ZUNFS_CHECK_FREE_OWNERS, 0, true},
    {"overlong list", [](Damaged &d) { Put16(d.b, 102, 6145); }, ZUNFS_CHECK_FREE_LIST},
    {"list at 0", [](Damaged &d) { Put32(d.b, 104, 0); }, ZUNFS_CHECK_FREE_LIST, 0, true},
    {"list out of the file", [](Damaged &d) { Put32(d.b, 104, d.End() - 64); }, ZUNFS_CHECK_FREE_LIST},
    {"run over the class table", [](Damaged &d) { d.Run(d.Entry(0), d.f.classTableOffset, 64); }, ZUNFS_CHECK_FREE_OVER_STRUCTURE, 0, true},
    {"run over the list", [](Damaged &d) { d.Run(d.Last(), d.f.freeListOffset, d.End() - d.f.freeListOffset); }, ZUNFS_CHECK_FREE_OVER_STRUCTURE, 0, true},
    {"classCount below the built-ins", [](Damaged &d) { d.b[42] = 3; }, ZUNFS_CHECK_HEADER},
    {"allocShift 17", [](Damaged &d) { Put16(d.b, 12, 17); }, ZUNFS_CHECK_HEADER},
    {"growShift below allocShift", [](Damaged &d) { Put16(d.b, 14, 5); }, ZUNFS_CHECK_HEADER},
    {"maxChunk 0", [](Damaged &d) { Put16(d.b, 84, 0); }, ZUNFS_CHECK_HEADER},
    {"maxChunk past 0xF000", [](Damaged &d) { Put16(d.b, 84, 0xF001); }, ZUNFS_CHECK_HEADER},
    {"unknown version bits", [](Damaged &d) { Put16(d.b, 16, 0x17); }, ZUNFS_CHECK_HEADER},
    {"bad magic", [](Damaged &d) { Put16(d.b, 6, 0x1234); }, ZUNFS_CHECK_HEADER, 0, true},
    {"fileSize off the granule", [](Damaged &d) { Put32(d.b, 22, d.End() - 32); }, ZUNFS_CHECK_SIZE},
    {"savedFileSize past fileSize", [](Damaged &d) { Put32(d.b, 26, d.End() + 64); }, ZUNFS_CHECK_SIZE},
    {"mini-saved version without a size", [](Damaged &d) { Put32(d.b, 30, 0); }, ZUNFS_CHECK_SIZE},
    {"closed file past its fileSize", [](Damaged &d) { d.b.resize(d.b.size() + 4096); }, ZUNFS_CHECK_SIZE, 0, true},
    {"class table out of the file", [](Damaged &d) { Put32(d.b, 86, d.End()); }, ZUNFS_CHECK_CLASS_TABLE},
    {"half the file", [](Damaged &d) { d.b.resize(d.b.size() / 2); }, ZUNFS_CHECK_IMAGE_PAST_END},
    {"the header alone", [](Damaged &d) { d.b.resize(154); }, ZUNFS_CHECK_CLASS_TABLE},
};

TEST(Check, EveryDamageIsFoundAndNamed) {
    for (const Case &c : kCases) {
        Damaged d;
        c.damage(d);
        Report r = CheckBytes(d.b);
        EXPECT_TRUE(Has(r, c.kind, 0xFFFF, c.only)) << c.what << "\n" << Findings(r);
        for (uint16_t v : {SAVED, MINI})
            EXPECT_TRUE(!(c.versions & v) || Has(r, c.kind, v)) << c.what << " version " << v << "\n" << Findings(r);
    }
    Damaged d; // what is left to recover, and where the damage lies
    Put32(d.b, d.TableRecord(2, SAVED) + 4, d.Chunk(0));
    Report r = CheckBytes(d.b);
    EXPECT_TRUE(r->findings[0].version == SAVED && r->findings[0].position == d.Chunk(0) && r->recoverable == MINI);
    Put32(d.b, 86, d.End());
    r = CheckBytes(d.b);
    EXPECT_TRUE(r->versions[0].walked == 0 && r->recoverable == 0);
}

// Garbage, flipped bytes and cut files anywhere, and an index of 6144
// references to one chunk (one walk, findings capped) get a report.
TEST(Check, HostileFilesGetFindingsNeverACrash) {
    std::mt19937 rng(7);
    for (size_t len : {0u, 100u, 154u, 4096u, 70000u}) {
        gen::Bytes b(len);
        for (auto &x : b) x = uint8_t(rng());
        EXPECT_TRUE(Has(CheckBytes(b), ZUNFS_CHECK_HEADER, 0xFFFF, len < 154)) << len;
        if (len < 154) continue;
        Put16(b, 6, 0x99FF), Put16(b, 10, 521); // walked as far as it goes
        EXPECT_NE(CheckBytes(b)->findingCount, 0u);
    }
    gen::NativeSpec s = TwoVersions();
    s.saved->masterIndexed = true;
    const gen::NativeFile f = gen::BuildNative(s);
    for (int round = 0; round < 300; ++round) {
        gen::Bytes b = f.bytes;
        for (int i = 1 + int(rng() % 8); i > 0; --i) b[rng() % 4 ? rng() % 154 : rng() % b.size()] = uint8_t(rng());
        if (rng() % 5 == 0) b.resize(rng() % b.size());
        ASSERT_TRUE(CheckBytes(b)) << "round " << round;
    }
    gen::Bytes b = gen::BuildNative(TwoVersions()).bytes;
    const uint32_t at = uint32_t(b.size());
    const gen::Bytes ref(b.begin() + 44, b.begin() + 54);
    for (int i = 0; i < 6144; ++i) gen::PutBytes(b, at + uint32_t(i) * 10, ref);
    b.resize(gen::RoundUp(uint32_t(b.size()), 64));
    for (uint32_t field : {22, 26, 30}) Put32(b, field, uint32_t(b.size()));
    b[45] = 1, Put16(b, 46, 6144), Put32(b, 48, at);
    Report r = CheckBytes(b);
    ASSERT_EQ(r->findingCount, uint32_t(ZUNFS_CHECK_FINDINGS_MAX) + 1);
    EXPECT_EQ(r->findings[ZUNFS_CHECK_FINDINGS_MAX].kind, uint32_t(ZUNFS_CHECK_TRUNCATED));
    EXPECT_TRUE(r->versions[0].masterChunks == 6144 && r->versions[0].tableCount == 3);
}

// Foreign and old files are recognised, their header summed, not walked;
// a newer format is unknown; the converted format is native.
TEST(Check, FilesNeedingConversionAreRecognisedNotWalked) {
    gen::NativeSpec s = TwoVersions();
    gen::NativeFile native = gen::BuildNative(s);
    Report r = CheckBytes(gen::BuildForeign(s).bytes);
    EXPECT_TRUE(r->format == ZUNFS_CHECK_FORMAT_FOREIGN && r->findingCount == 0 && r->versionCount == 0);
    EXPECT_TRUE(r->headerRead && r->magic == FS_MAGIC);
    EXPECT_TRUE(r->fileSize == native.bytes.size() && r->versionFlags == 0x7 && r->stateFlags == 0x01 &&
                r->savedFreeOffset == native.freeListOffset);
    gen::OldSpec old{.classes = gen::OldDefaultClasses({{0, 4, 6, 8, 64, 0, 1}}),
                     .tables = {{false, 4, false, {gen::PatternRecords(3, 8, 1)}, -1, 5, 1}}};
    r = CheckBytes(gen::BuildOld(old).bytes);
    EXPECT_TRUE(r->format == ZUNFS_CHECK_FORMAT_OLD && r->findingCount == 0 && !r->headerRead);
    for (auto [version, format] : {std::pair{0x0309, ZUNFS_CHECK_FORMAT_UNKNOWN}, {513, ZUNFS_CHECK_FORMAT_NATIVE}}) {
        Put16(native.bytes, 10, uint16_t(version));
        r = CheckBytes(native.bytes);
        EXPECT_EQ(r->format, uint32_t(format));
        EXPECT_EQ(r->findingCount != 0, format == ZUNFS_CHECK_FORMAT_UNKNOWN) << Findings(r);
    }
    ZunfsCheckReport *none = reinterpret_cast<ZunfsCheckReport *>(1);
    EXPECT_TRUE(ZunfsCheckFile(nullptr, &none) == FS_E_BAD_PARAMS && none == nullptr);
    EXPECT_TRUE(ZunfsCheckFile("x", nullptr) == FS_E_BAD_PARAMS && ZunfsCheckSpec(nullptr, &none) == FS_E_BAD_PARAMS);
    EXPECT_EQ(ZunfsCheckFile(gen::TempDir().File("absent").c_str(), &none), VM_E_NOTFOUND);
}

} // namespace
