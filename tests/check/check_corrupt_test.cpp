// Files damaged on purpose fail with the finding that names the damage.
#include "check_helpers.h"

namespace {

using gen::ImageInfo;
using gen::Put16;
using gen::Put32;

constexpr uint16_t SAVED = 0x4, MINI = 0x2, BOTH = 0x6;

class CheckCorrupt : public ::testing::Test {
protected:
    gen::NativeFile f = gen::BuildNative(TwoVersions());
    gen::Bytes &b = f.bytes;

    Report Check() { return CheckBytes(b); }

    // The image of a kind that the given version uses.
    const ImageInfo &Image(ImageInfo::Kind kind, int table, int chunk, uint16_t version) {
        for (const ImageInfo &im : f.images)
            if (im.kind == kind && im.table == table && im.chunk == chunk && (im.versions & version)) return im;
        ADD_FAILURE() << "no such image";
        return f.images[0];
    }
    // Position of table tid's record in a version's (single) master chunk.
    uint32_t TableRecord(int tid, uint16_t version) {
        return Image(ImageInfo::Master, -1, 0, version).pos + uint32_t(tid) * 16;
    }
    uint32_t IndexRef(int table, int chunk) { return Image(ImageInfo::TableIndex, table, 0, SAVED).pos + chunk * 10u; }
    uint32_t Entry(size_t i) { return f.freeListOffset + uint32_t(i) * 10; }
    size_t EntryAt(uint32_t pos) {
        for (size_t i = 0; i < f.freeList.size(); ++i)
            if (f.freeList[i].pos == pos) return i;
        ADD_FAILURE() << "no run at " << pos;
        return 0;
    }
    uint32_t Class(int cls) { return f.classTableOffset + uint32_t(cls) * 14; }
};

#define EXPECT_ONLY(r, kind) EXPECT_TRUE(OnlyKind(r, kind)) << Findings(r)

TEST_F(CheckCorrupt, ImagesOverlappingWithinOneVersion) {
    // Table 0 of the saved version pointed at table 2's image.
    Put32(b, TableRecord(0, SAVED) + 4, Image(ImageInfo::TableChunk, 2, 0, SAVED).pos);
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_OVERLAP);
    EXPECT_EQ(r->findingCount, 1u);
    EXPECT_EQ(r->findings[0].version, SAVED);
    EXPECT_EQ(r->recoverable, MINI);

    // An index naming one chunk twice.
    f = gen::BuildNative(TwoVersions());
    Put32(b, IndexRef(1, 2) + 4, Image(ImageInfo::TableChunk, 1, 0, SAVED).pos);
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_OVERLAP, SAVED) && Has(r, ZUNFS_CHECK_OVERLAP, MINI)) << Findings(r);
}

TEST_F(CheckCorrupt, FreeRunsOverLiveImages) {
    // Table 2's run (saved only) handed to the mini-saved version.
    Put16(b, Entry(EntryAt(Image(ImageInfo::TableChunk, 2, 0, SAVED).pos)), MINI);
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_OVER_LIVE);
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_FREE_OVER_LIVE, SAVED));
    EXPECT_EQ(r->findingCount, 1u);

    // Table 3's run (mini-saved and current) freed.
    f = gen::BuildNative(TwoVersions());
    Put16(b, Entry(EntryAt(Image(ImageInfo::TableChunk, 3, 0, MINI).pos)), 0);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_OVER_LIVE);
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_FREE_OVER_LIVE, MINI));

    // A free run stretched back over a shared image: both versions lose it.
    f = gen::BuildNative(TwoVersions());
    const ImageInfo &t0 = Image(ImageInfo::TableChunk, 0, 0, SAVED);
    size_t gap = EntryAt(t0.pos + 128);
    Put32(b, Entry(gap) + 2, t0.pos);
    Put32(b, Entry(gap) + 6, 192);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_OVER_LIVE);
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_FREE_OVER_LIVE, SAVED) && Has(r, ZUNFS_CHECK_FREE_OVER_LIVE, MINI));
}

TEST_F(CheckCorrupt, ChunkPastTheEnd) {
    uint32_t end = uint32_t(b.size());
    Put32(b, IndexRef(1, 2) + 4, end); // in the shared index: both versions
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_IMAGE_PAST_END);
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_IMAGE_PAST_END, SAVED) && Has(r, ZUNFS_CHECK_IMAGE_PAST_END, MINI));

    // Starting inside the file and running out of it.
    f = gen::BuildNative(TwoVersions());
    Put32(b, TableRecord(2, SAVED) + 4, end - 64);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_IMAGE_PAST_END);
    EXPECT_EQ(r->findings[0].position, end - 64);

    // Inside the file but past the saved version's size.
    f = gen::BuildNative(TwoVersions());
    Put32(b, 26, Image(ImageInfo::TableChunk, 2, 0, SAVED).pos + 64);
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_IMAGE_PAST_END, SAVED)) << Findings(r);
    EXPECT_FALSE(Has(r, ZUNFS_CHECK_IMAGE_PAST_END, MINI));
}

TEST_F(CheckCorrupt, ClassesWrongForTheirPlace) {
    b[IndexRef(1, 1) + 1] = 9; // no such class
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_BAD_CLASS);
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_BAD_CLASS, SAVED) && Has(r, ZUNFS_CHECK_BAD_CLASS, MINI));

    f = gen::BuildNative(TwoVersions());
    b[TableRecord(2, SAVED) + 11] = 2; // a built-in class as a table's class
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_BAD_CLASS);
    EXPECT_EQ(r->findingCount, 1u);

    f = gen::BuildNative(TwoVersions());
    b[44 + 1] = 4; // the saved root of a host class
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_BAD_CLASS, SAVED)) << Findings(r);

    f = gen::BuildNative(TwoVersions());
    b[TableRecord(1, MINI) + 10] = 0x01; // index on top, table not marked indexed
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_BAD_CLASS);
    EXPECT_EQ(r->findings[0].version, MINI);

    f = gen::BuildNative(TwoVersions());
    b[TableRecord(0, SAVED) + 10] = 0x03; // marked indexed, single chunk on top
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_BAD_CLASS);
}

TEST_F(CheckCorrupt, CountsOverTheClassMaximumAndChunksTooBig) {
    Put16(b, Class(4) + 6, 9); // tables 0 (10 records), 2 (50) and 3 (20) are over
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_COUNT_OVER_MAX);
    EXPECT_EQ(r->findingCount, 4u);

    f = gen::BuildNative(TwoVersions());
    Put16(b, Class(0) + 6, 2); // master chunks hold 3 table records
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_COUNT_OVER_MAX);
    EXPECT_EQ(r->findingCount, 2u);

    f = gen::BuildNative(TwoVersions());
    Put16(b, IndexRef(1, 0) + 2, 6000); // 72000 bytes
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_CHUNK_TOO_BIG)) << Findings(r);

    f = gen::BuildNative(TwoVersions());
    Put16(b, 84, 256); // maxChunk below table 2's 400 bytes
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_CHUNK_TOO_BIG);
}

TEST_F(CheckCorrupt, MisplacedImages) {
    Put32(b, TableRecord(0, SAVED) + 4, Image(ImageInfo::TableChunk, 0, 0, SAVED).pos + 8);
    Put32(b, TableRecord(0, MINI) + 4, Image(ImageInfo::TableChunk, 0, 0, SAVED).pos + 8);
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_IMAGE_ALIGN);
    EXPECT_EQ(r->findingCount, 2u);

    f = gen::BuildNative(TwoVersions());
    Put32(b, TableRecord(0, SAVED) + 4, f.classTableOffset);
    Put32(b, TableRecord(0, MINI) + 4, f.classTableOffset);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_STRUCTURE);

    // Table 3 of the mini-saved version laid half over table 2 of the saved one.
    f = gen::BuildNative(TwoVersions());
    Put32(b, TableRecord(2, MINI) + 4, Image(ImageInfo::TableChunk, 2, 0, SAVED).pos + 64);
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_SHARED_OVERLAP, BOTH)) << Findings(r);
}

TEST_F(CheckCorrupt, BadReferencesAndTableRecords) {
    b[TableRecord(0, SAVED)] = 0x01; // resident on disk
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_BAD_REF);

    f = gen::BuildNative(TwoVersions());
    Put32(b, TableRecord(1, SAVED) + 4, 0); // an index with references but no image
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_BAD_REF);

    f = gen::BuildNative(TwoVersions());
    Put32(b, TableRecord(2, SAVED) + 12, 0x1234); // session chain head left in the file
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_TABLE_RECORD);

    f = gen::BuildNative(TwoVersions());
    Put16(b, Class(5) + 4, 2); // RIDs in 2-byte records
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_CLASS_TABLE)) << Findings(r);
}

TEST_F(CheckCorrupt, FreeListOrderAlignmentRangeAndOwners) {
    gen::Bytes clean = b;
    auto entry = [&](size_t i) { return gen::Bytes(b.begin() + Entry(i), b.begin() + Entry(i) + 10); };
    gen::Bytes e0 = entry(0), e1 = entry(1);
    gen::PutBytes(b, Entry(0), e1);
    gen::PutBytes(b, Entry(1), e0);
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_ORDER);

    b = clean;
    size_t gap = EntryAt(f.freeList[0].pos);
    ASSERT_EQ(f.freeList[gap].owners, 0);
    Put32(b, Entry(gap) + 6, f.freeList[gap].len - 8);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_ALIGN);

    b = clean;
    size_t last = f.freeList.size() - 1;
    Put32(b, Entry(last) + 6, f.freeList[last].len + 64);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_RANGE);

    b = clean;
    Put16(b, Entry(gap), 0x8);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_OWNERS);

    b = clean;
    Put32(b, Entry(gap) + 6, 0);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_ALIGN);
}

TEST_F(CheckCorrupt, FreeListMisplaced) {
    gen::Bytes clean = b;
    Put16(b, 102, 6145);
    Report r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_FREE_LIST)) << Findings(r);
    EXPECT_EQ(r->freeEntries, 0u);

    b = clean;
    Put32(b, 104, 0);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_LIST);

    b = clean;
    Put32(b, 104, uint32_t(b.size()) - 64);
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_FREE_LIST)) << Findings(r);

    // Runs not used by every version over the class table and the list itself.
    b = clean;
    Put32(b, Entry(0) + 2, f.classTableOffset);
    Put32(b, Entry(0) + 6, 64);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_OVER_STRUCTURE);

    b = clean;
    size_t last = f.freeList.size() - 1;
    Put32(b, Entry(last) + 2, f.freeListOffset);
    Put32(b, Entry(last) + 6, uint32_t(b.size()) - f.freeListOffset);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_FREE_OVER_STRUCTURE);
}

TEST_F(CheckCorrupt, HeaderFieldsAndSizes) {
    gen::Bytes clean = b;
    struct Case {
        uint32_t at;
        uint32_t width;
        uint32_t value;
        ZunfsCheckKind kind;
    } cases[] = {
        {42, 1, 3, ZUNFS_CHECK_HEADER},        // classCount below the built-ins
        {12, 2, 17, ZUNFS_CHECK_HEADER},       // allocShift
        {14, 2, 5, ZUNFS_CHECK_HEADER},        // growShift below allocShift
        {84, 2, 0, ZUNFS_CHECK_HEADER},        // maxChunk
        {84, 2, 0xF001, ZUNFS_CHECK_HEADER},
        {16, 2, 0x17, ZUNFS_CHECK_HEADER},     // unknown version bits
        {22, 4, uint32_t(b.size()) - 32, ZUNFS_CHECK_SIZE}, // fileSize off the granule, file longer
        {26, 4, uint32_t(b.size()) + 64, ZUNFS_CHECK_SIZE}, // savedFileSize past fileSize
        {30, 4, 0, ZUNFS_CHECK_SIZE},          // mini-saved version without a size
    };
    for (const Case &c : cases) {
        b = clean;
        if (c.width == 1) b[c.at] = uint8_t(c.value);
        if (c.width == 2) Put16(b, c.at, uint16_t(c.value));
        if (c.width == 4) Put32(b, c.at, c.value);
        Report r = Check();
        EXPECT_TRUE(Has(r, c.kind)) << "field at " << c.at << "\n" << Findings(r);
    }

    b = clean;
    Put16(b, 6, 0x1234);
    Report r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_HEADER);
    EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_UNKNOWN));

    // A file longer than its fileSize is normal after a crash, not after a clean close.
    b = clean;
    b.resize(b.size() + 4096);
    r = Check();
    EXPECT_ONLY(r, ZUNFS_CHECK_SIZE);
    Put16(b, 8, 0);
    r = Check();
    EXPECT_EQ(r->findingCount, 0u) << Findings(r);

    // A class table out of the file: nothing can be walked.
    b = clean;
    Put32(b, 86, uint32_t(b.size()));
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_CLASS_TABLE)) << Findings(r);
    EXPECT_EQ(r->versions[0].walked, 0);
    EXPECT_EQ(r->recoverable, 0);
}

TEST_F(CheckCorrupt, TruncatedFile) {
    gen::Bytes clean = b;
    b.resize(b.size() / 2);
    Report r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_SIZE)) << Findings(r);
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_IMAGE_PAST_END));
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_FREE_LIST));

    for (size_t len : {0, 1, 100, 153}) {
        b.assign(clean.begin(), clean.begin() + long(len));
        r = Check();
        EXPECT_ONLY(r, ZUNFS_CHECK_HEADER);
        EXPECT_EQ(r->format, uint32_t(ZUNFS_CHECK_FORMAT_UNKNOWN));
    }
    b.assign(clean.begin(), clean.begin() + 154); // header only
    r = Check();
    EXPECT_TRUE(Has(r, ZUNFS_CHECK_SIZE) && Has(r, ZUNFS_CHECK_CLASS_TABLE)) << Findings(r);
}

} // namespace
