// Files damaged on purpose fail with the finding that names the damage.
#include <functional>

#include "check_helpers.h"

namespace {

using gen::ImageInfo;
using gen::Put16;
using gen::Put32;

constexpr uint16_t SAVED = 0x4, MINI = 0x2, BOTH = 0x6;

// The file of TwoVersions and where its parts lie.
struct Damaged {
    gen::NativeFile f = gen::BuildNative(TwoVersions());
    gen::Bytes &b = f.bytes;

    // The image of a kind that the given version uses.
    uint32_t Image(ImageInfo::Kind kind, int table, uint16_t version) const {
        for (const ImageInfo &im : f.images)
            if (im.kind == kind && im.table == table && im.chunk == 0 && (im.versions & version)) return im.pos;
        ADD_FAILURE() << "no such image";
        return 0;
    }
    uint32_t Chunk(int table, uint16_t version = SAVED) const { return Image(ImageInfo::TableChunk, table, version); }
    // Position of table tid's record in a version's (single) master chunk.
    uint32_t TableRecord(int tid, uint16_t version) const {
        return Image(ImageInfo::Master, -1, version) + uint32_t(tid) * 16;
    }
    uint32_t IndexRef(int table, int chunk) const { return Image(ImageInfo::TableIndex, table, SAVED) + chunk * 10u; }
    uint32_t Entry(size_t i) const { return f.freeListOffset + uint32_t(i) * 10; }
    uint32_t EntryAt(uint32_t pos) const {
        for (size_t i = 0; i < f.freeList.size(); ++i)
            if (f.freeList[i].pos == pos) return Entry(i);
        ADD_FAILURE() << "no run at " << pos;
        return 0;
    }
    uint32_t LastEntry() const { return Entry(f.freeList.size() - 1); }
    uint32_t Class(int cls) const { return f.classTableOffset + uint32_t(cls) * 14; }
    uint32_t End() const { return uint32_t(b.size()); }
};

struct Case {
    const char *what;
    std::function<void(Damaged &)> damage;
    std::vector<ZunfsCheckKind> kinds;  // each is found
    std::vector<uint16_t> versions = {}; // the first kind is found for each of these versions
    bool only = false;                   // and no finding of another kind
    uint32_t count = 0;                  // when not 0: exactly this many findings
};

const Case kCases[] = {
    // Overlaps, free runs over images, images outside the file.
    {"a table pointed at another's image", [](Damaged &d) { Put32(d.b, d.TableRecord(0, SAVED) + 4, d.Chunk(2)); },
     {ZUNFS_CHECK_OVERLAP}, {SAVED}, true, 1},
    {"an index naming one chunk twice", [](Damaged &d) { Put32(d.b, d.IndexRef(1, 2) + 4, d.Chunk(1)); },
     {ZUNFS_CHECK_OVERLAP}, {SAVED, MINI}},
    {"a version's image laid half over the other's",
     [](Damaged &d) { Put32(d.b, d.TableRecord(2, MINI) + 4, d.Chunk(2) + 64); }, {ZUNFS_CHECK_SHARED_OVERLAP}, {BOTH}},
    {"a saved-only run handed to the mini-saved version", [](Damaged &d) { Put16(d.b, d.EntryAt(d.Chunk(2)), MINI); },
     {ZUNFS_CHECK_FREE_OVER_LIVE}, {SAVED}, true, 1},
    {"a mini-saved run freed", [](Damaged &d) { Put16(d.b, d.EntryAt(d.Chunk(3, MINI)), 0); },
     {ZUNFS_CHECK_FREE_OVER_LIVE}, {MINI}, true},
    {"a free run stretched back over a shared image",
     [](Damaged &d) {
         uint32_t e = d.EntryAt(d.Chunk(0) + 128);
         Put32(d.b, e + 2, d.Chunk(0));
         Put32(d.b, e + 6, 192);
     },
     {ZUNFS_CHECK_FREE_OVER_LIVE}, {SAVED, MINI}, true},
    {"a shared chunk past the end", [](Damaged &d) { Put32(d.b, d.IndexRef(1, 2) + 4, d.End()); },
     {ZUNFS_CHECK_IMAGE_PAST_END}, {SAVED, MINI}, true},
    {"a chunk running out of the file", [](Damaged &d) { Put32(d.b, d.TableRecord(2, SAVED) + 4, d.End() - 64); },
     {ZUNFS_CHECK_IMAGE_PAST_END}, {}, true},
    {"a chunk past the saved version's size", [](Damaged &d) { Put32(d.b, 26, d.Chunk(2) + 64); },
     {ZUNFS_CHECK_IMAGE_PAST_END}, {SAVED}},
    {"images off the granule",
     [](Damaged &d) {
         for (uint16_t v : {SAVED, MINI}) Put32(d.b, d.TableRecord(0, v) + 4, d.Chunk(0) + 8);
     },
     {ZUNFS_CHECK_IMAGE_ALIGN}, {}, true, 2},
    {"images over the class table",
     [](Damaged &d) {
         for (uint16_t v : {SAVED, MINI}) Put32(d.b, d.TableRecord(0, v) + 4, d.f.classTableOffset);
     },
     {ZUNFS_CHECK_STRUCTURE}, {}, true},
    // Classes, counts and sizes.
    {"a reference to no class", [](Damaged &d) { d.b[d.IndexRef(1, 1) + 1] = 9; }, {ZUNFS_CHECK_BAD_CLASS},
     {SAVED, MINI}, true},
    {"a built-in class as a table's", [](Damaged &d) { d.b[d.TableRecord(2, SAVED) + 11] = 2; },
     {ZUNFS_CHECK_BAD_CLASS}, {}, true, 1},
    {"a saved root of a host class", [](Damaged &d) { d.b[45] = 4; }, {ZUNFS_CHECK_BAD_CLASS}, {SAVED}},
    {"an index on top of a table not marked indexed", [](Damaged &d) { d.b[d.TableRecord(1, MINI) + 10] = 0x01; },
     {ZUNFS_CHECK_BAD_CLASS}, {MINI}, true},
    {"a table marked indexed over a single chunk", [](Damaged &d) { d.b[d.TableRecord(0, SAVED) + 10] = 0x03; },
     {ZUNFS_CHECK_BAD_CLASS}, {}, true},
    {"tables over a lowered class maximum", [](Damaged &d) { Put16(d.b, d.Class(4) + 6, 9); },
     {ZUNFS_CHECK_COUNT_OVER_MAX}, {}, true, 4},
    {"master chunks over a lowered maximum", [](Damaged &d) { Put16(d.b, d.Class(0) + 6, 2); },
     {ZUNFS_CHECK_COUNT_OVER_MAX}, {}, true, 2},
    {"a chunk of 72000 bytes", [](Damaged &d) { Put16(d.b, d.IndexRef(1, 0) + 2, 6000); },
     {ZUNFS_CHECK_CHUNK_TOO_BIG}},
    {"maxChunk below a chunk", [](Damaged &d) { Put16(d.b, 84, 256); }, {ZUNFS_CHECK_CHUNK_TOO_BIG}, {}, true},
    {"RIDs in 2-byte records", [](Damaged &d) { Put16(d.b, d.Class(5) + 4, 2); }, {ZUNFS_CHECK_CLASS_TABLE}},
    // References and table records.
    {"a reference marked resident on disk", [](Damaged &d) { d.b[d.TableRecord(0, SAVED)] = 0x01; },
     {ZUNFS_CHECK_BAD_REF}, {}, true},
    {"an index with references but no image", [](Damaged &d) { Put32(d.b, d.TableRecord(1, SAVED) + 4, 0); },
     {ZUNFS_CHECK_BAD_REF}, {}, true},
    {"a session chain head left in the file", [](Damaged &d) { Put32(d.b, d.TableRecord(2, SAVED) + 12, 0x1234); },
     {ZUNFS_CHECK_TABLE_RECORD}, {}, true},
    // The stored free list.
    {"entries out of order",
     [](Damaged &d) {
         gen::Bytes first(d.b.begin() + d.Entry(0), d.b.begin() + d.Entry(1));
         gen::PutBytes(d.b, d.Entry(0), gen::Bytes(d.b.begin() + d.Entry(1), d.b.begin() + d.Entry(2)));
         gen::PutBytes(d.b, d.Entry(1), first);
     },
     {ZUNFS_CHECK_FREE_ORDER}, {}, true},
    {"a run off the granule", [](Damaged &d) { Put32(d.b, d.Entry(0) + 6, d.f.freeList[0].len - 8); },
     {ZUNFS_CHECK_FREE_ALIGN}, {}, true},
    {"an empty run", [](Damaged &d) { Put32(d.b, d.Entry(0) + 6, 0); }, {ZUNFS_CHECK_FREE_ALIGN}, {}, true},
    {"a run past the end", [](Damaged &d) { Put32(d.b, d.LastEntry() + 6, d.f.freeList.back().len + 64); },
     {ZUNFS_CHECK_FREE_RANGE}, {}, true},
    {"a run of no version", [](Damaged &d) { Put16(d.b, d.Entry(0), 0x8); }, {ZUNFS_CHECK_FREE_OWNERS}, {}, true},
    {"an overlong list", [](Damaged &d) { Put16(d.b, 102, 6145); }, {ZUNFS_CHECK_FREE_LIST}},
    {"a list at 0", [](Damaged &d) { Put32(d.b, 104, 0); }, {ZUNFS_CHECK_FREE_LIST}, {}, true},
    {"a list running out of the file", [](Damaged &d) { Put32(d.b, 104, d.End() - 64); }, {ZUNFS_CHECK_FREE_LIST}},
    {"a run over the class table",
     [](Damaged &d) {
         Put32(d.b, d.Entry(0) + 2, d.f.classTableOffset);
         Put32(d.b, d.Entry(0) + 6, 64);
     },
     {ZUNFS_CHECK_FREE_OVER_STRUCTURE}, {}, true},
    {"a run over the list itself",
     [](Damaged &d) {
         Put32(d.b, d.LastEntry() + 2, d.f.freeListOffset);
         Put32(d.b, d.LastEntry() + 6, d.End() - d.f.freeListOffset);
     },
     {ZUNFS_CHECK_FREE_OVER_STRUCTURE}, {}, true},
    // The header and the file's size.
    {"classCount below the built-ins", [](Damaged &d) { d.b[42] = 3; }, {ZUNFS_CHECK_HEADER}},
    {"allocShift 17", [](Damaged &d) { Put16(d.b, 12, 17); }, {ZUNFS_CHECK_HEADER}},
    {"growShift below allocShift", [](Damaged &d) { Put16(d.b, 14, 5); }, {ZUNFS_CHECK_HEADER}},
    {"maxChunk 0", [](Damaged &d) { Put16(d.b, 84, 0); }, {ZUNFS_CHECK_HEADER}},
    {"maxChunk past 0xF000", [](Damaged &d) { Put16(d.b, 84, 0xF001); }, {ZUNFS_CHECK_HEADER}},
    {"unknown version bits", [](Damaged &d) { Put16(d.b, 16, 0x17); }, {ZUNFS_CHECK_HEADER}},
    {"bad magic", [](Damaged &d) { Put16(d.b, 6, 0x1234); }, {ZUNFS_CHECK_HEADER}, {}, true},
    {"fileSize off the granule", [](Damaged &d) { Put32(d.b, 22, d.End() - 32); }, {ZUNFS_CHECK_SIZE}},
    {"savedFileSize past fileSize", [](Damaged &d) { Put32(d.b, 26, d.End() + 64); }, {ZUNFS_CHECK_SIZE}},
    {"a mini-saved version without a size", [](Damaged &d) { Put32(d.b, 30, 0); }, {ZUNFS_CHECK_SIZE}},
    {"a closed file longer than its fileSize", [](Damaged &d) { d.b.resize(d.b.size() + 4096); },
     {ZUNFS_CHECK_SIZE}, {}, true},
    {"a class table out of the file", [](Damaged &d) { Put32(d.b, 86, d.End()); }, {ZUNFS_CHECK_CLASS_TABLE}},
    {"half the file", [](Damaged &d) { d.b.resize(d.b.size() / 2); },
     {ZUNFS_CHECK_SIZE, ZUNFS_CHECK_IMAGE_PAST_END, ZUNFS_CHECK_FREE_LIST}},
    {"the header alone", [](Damaged &d) { d.b.resize(154); }, {ZUNFS_CHECK_SIZE, ZUNFS_CHECK_CLASS_TABLE}},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.what; }

class CheckCorrupt : public ::testing::TestWithParam<Case> {};

TEST_P(CheckCorrupt, FindsTheDamage) {
    const Case &c = GetParam();
    Damaged d;
    c.damage(d);
    Report r = CheckBytes(d.b);
    for (ZunfsCheckKind kind : c.kinds) EXPECT_TRUE(Has(r, kind)) << ZunfsCheckKindName(kind) << "\n" << Findings(r);
    for (uint16_t v : c.versions) EXPECT_TRUE(Has(r, c.kinds[0], v)) << "version " << v << "\n" << Findings(r);
    EXPECT_TRUE(!c.only || OnlyKind(r, c.kinds[0])) << Findings(r);
    EXPECT_TRUE(c.count == 0 || r->findingCount == c.count) << Findings(r);
}

INSTANTIATE_TEST_SUITE_P(Damage, CheckCorrupt, ::testing::ValuesIn(kCases), [](const auto &info) {
    std::string name;
    for (const char *c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

// What the report says besides its findings.
TEST(CheckCorruptReport, NamesVersionPositionAndWhatIsLeftToRecover) {
    Damaged d;
    Put32(d.b, d.TableRecord(0, SAVED) + 4, d.Chunk(2));
    Report r = CheckBytes(d.b);
    EXPECT_EQ(r->findings[0].version, SAVED);
    EXPECT_EQ(r->recoverable, MINI);

    Damaged end;
    Put32(end.b, end.TableRecord(2, SAVED) + 4, end.End() - 64);
    r = CheckBytes(end.b);
    EXPECT_EQ(r->findings[0].position, end.End() - 64);
    Damaged size; // past the saved version's size only
    Put32(size.b, 26, size.Chunk(2) + 64);
    EXPECT_FALSE(Has(CheckBytes(size.b), ZUNFS_CHECK_IMAGE_PAST_END, MINI));

    Damaged list;
    Put16(list.b, 102, 6145);
    EXPECT_EQ(CheckBytes(list.b)->freeEntries, 0u);

    Damaged classes; // nothing can be walked
    Put32(classes.b, 86, classes.End());
    r = CheckBytes(classes.b);
    EXPECT_EQ(r->versions[0].walked, 0);
    EXPECT_EQ(r->recoverable, 0);

    // A file longer than its fileSize is normal after a crash.
    Damaged open;
    open.b.resize(open.b.size() + 4096);
    Put16(open.b, 8, 0);
    r = CheckBytes(open.b);
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);

    // Too short for a header, or not this format: nothing but a header finding.
    for (size_t len : {0, 1, 100, 153, 1000}) {
        Damaged cut;
        cut.b.resize(len);
        if (len == 1000) Put16(cut.b, 6, 0x1234);
        r = CheckBytes(cut.b);
        EXPECT_TRUE(OnlyKind(r, ZUNFS_CHECK_HEADER)) << Findings(r);
        EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_UNKNOWN));
    }
}

} // namespace
