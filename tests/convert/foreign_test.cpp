// Converting files of the other byte order: the saved version reads back
// with every record, the hook sees every translated chunk once, untouched
// classes and chunks without an image stay as they are, the stored free list
// is converted or dropped.
#include <functional>

#include "foreign_helpers.h"

namespace {

using namespace gen;
using Foreign = ForeignTest;

TEST_F(Foreign, SavedVersionReadsBackWithEveryRecord) {
    ASSERT_EQ(Run(), 0);
    const FileHeader &h = fcb->h;
    EXPECT_EQ(h.magic, FS_MAGIC);
    EXPECT_EQ(h.formatVersion, FORMAT_CURRENT);
    EXPECT_EQ(h.versionFlags, VER_SAVED);
    EXPECT_EQ(h.stateFlags, STATE_CLOSED_CLEANLY);
    EXPECT_EQ(h.formatMark, 1);
    EXPECT_EQ(h.lastStatus, 0);
    EXPECT_EQ(h.allocShift, 6);
    EXPECT_EQ(h.growShift, 12);
    EXPECT_EQ(h.maxChunk, 0xF000);
    EXPECT_EQ(h.classCount, 8);
    EXPECT_EQ(Val(h.fileSize), b.size());
    EXPECT_EQ(Val(h.classTableOffset), f.classTableOffset);
    EXPECT_EQ(h.rootTable, 0);
    EXPECT_EQ(h.fileType, 0x5A46);
    EXPECT_EQ(h.appVersion, 0x0100);
    EXPECT_EQ(Val(h.fileSlot), 0u);
    Bytes header = HeaderBytes(fcb);
    EXPECT_TRUE(std::all_of(header.begin() + 112, header.end(), [](uint8_t x) { return x == 0; }));

    Bytes disk = FileBytes(fcb);
    EXPECT_EQ(Bytes(disk.begin(), disk.begin() + HEADER_SIZE), header);
    // The class table and the stored free list now read as a native file's.
    Bytes native = BuildNative(spec).bytes;
    auto same = [&](uint32_t at, uint32_t len) {
        return std::equal(disk.begin() + at, disk.begin() + at + len, native.begin() + at);
    };
    EXPECT_TRUE(same(f.classTableOffset, 8 * 14));
    EXPECT_EQ(h.savedFreeCount, f.freeList.size());
    EXPECT_EQ(Val(h.savedFreeOffset), f.freeListOffset);
    EXPECT_TRUE(same(f.freeListOffset, uint32_t(f.freeList.size()) * 10));

    ReadVersion v = ReadSaved(disk);
    ASSERT_EQ(v.tables.size(), SavedTids().size());
    for (size_t tid = 0; tid < SavedTids().size(); ++tid) {
        int t = SavedTids()[tid];
        EXPECT_EQ(v.tables[tid].inUse, t >= 0) << tid;
        if (t < 0) continue;
        const TableSpec &ts = spec.tables[size_t(t)];
        EXPECT_EQ(v.tables[tid].cls, ts.cls) << tid;
        EXPECT_EQ(v.tables[tid].indexed, ts.indexed) << tid;
        EXPECT_EQ(v.tables[tid].records, ts.imageless ? Bytes(ts.records.size(), 0) : ts.records) << tid;
    }
    EXPECT_CLEAN(path);
}

TEST_F(Foreign, HookSeesEveryTranslatedChunkOnce) {
    b[38] = 7; // the writer's formatMark
    ASSERT_EQ(Run(), 0);
    std::sort(calls.begin(), calls.end());
    // Classes 4, 5 and 7 of the saved version; not class 6, not the chunk
    // without an image, not the table only the mini-saved version has.
    std::vector<HookCall> expected = {{4, 10, 7}, {5, 20, 7}, {5, 30, 7}, {5, 30, 7}, {7, 5, 7}, {7, 40, 7}};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(fcb->h.formatMark, 1);
}

TEST_F(Foreign, OnlyTheSavedVersionIsConverted) {
    const Bytes before = b;
    ASSERT_EQ(Run(), 0);
    Bytes disk = FileBytes(fcb);
    auto unchanged = [&](const ImageInfo &im) {
        return std::equal(disk.begin() + im.pos, disk.begin() + im.pos + im.len, before.begin() + im.pos);
    };
    // A class whose flags ask for no translation keeps its bytes.
    EXPECT_TRUE(unchanged(Image(ImageInfo::TableChunk, 2)));
    // The mini-saved version's own images are left for the free list to reclaim.
    EXPECT_TRUE(unchanged(Image(ImageInfo::TableChunk, 5)));
    EXPECT_FALSE(unchanged(Image(ImageInfo::TableChunk, 0)));

    // A file that was never saved keeps no version at all.
    spec.saved.reset();
    f = BuildForeign(spec);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(fcb->h.versionFlags, 0);
    EXPECT_TRUE(calls.size() == 6u); // only the first file's chunks
}

TEST_F(Foreign, ChunkWithoutImageLeavesTheHeaderAlone) {
    spec.tables = {{4, PatternRecords(60, 8, 1), false, {}, true}};
    spec.saved = VersionSpec{{0}, false, {}};
    spec.mini.reset();
    f = BuildForeign(spec);
    ASSERT_EQ(Run(), 0);
    EXPECT_TRUE(calls.empty());
    Bytes disk = FileBytes(fcb);
    EXPECT_EQ(Bytes(disk.begin(), disk.begin() + HEADER_SIZE), HeaderBytes(fcb));
    EXPECT_EQ(fcb->h.magic, FS_MAGIC);
    EXPECT_EQ(ReadSaved(disk).tables[0].records, Bytes(480, 0));
    EXPECT_CLEAN(path);
}

TEST_F(Foreign, IndexedMasterTable) {
    spec.saved = VersionSpec{{0, 1, -1, 2, 3, 4}, true, {2, 4}};
    f = BuildForeign(spec);
    ASSERT_EQ(Run(), 0);
    ReadVersion v = ReadSaved(FileBytes(fcb));
    EXPECT_TRUE(v.masterIndexed);
    EXPECT_EQ(v.masterChunks, (std::vector<uint16_t>{2, 4}));
    EXPECT_EQ(v.tables[1].records, spec.tables[1].records);
    EXPECT_EQ(v.tables[4].records, spec.tables[3].records);
    EXPECT_CLEAN(path);
}

TEST_F(Foreign, UnusableFreeListsAreDropped) {
    auto expectDropped = [&](const char *what) {
        ASSERT_EQ(Run(), 0) << what;
        EXPECT_EQ(fcb->h.savedFreeCount, 0) << what;
        EXPECT_EQ(Val(fcb->h.savedFreeOffset), 0u) << what;
        EXPECT_EQ(ReadSaved(FileBytes(fcb)).tables[1].records, spec.tables[1].records) << what;
    };
    const Bytes original = b;
    // More entries than a free list holds, all inside the file.
    Put16BE(b, 102, 6145);
    b.resize(f.freeListOffset + 6145 * 10, 0);
    expectDropped("more than 6144 entries");

    // Out of order.
    b = original;
    Bytes first(b.begin() + f.freeListOffset, b.begin() + f.freeListOffset + 10);
    std::copy(b.begin() + f.freeListOffset + 10, b.begin() + f.freeListOffset + 20, b.begin() + f.freeListOffset);
    PutBytes(b, f.freeListOffset + 10, first);
    expectDropped("unsorted");

    // A run that would hand the saved version's own table to the allocator.
    b = original;
    uint32_t image = Image(ImageInfo::TableChunk, 2).pos;
    size_t i = 0;
    while (f.freeList[i].pos != image) ++i;
    Put16BE(b, f.freeListOffset + uint32_t(i) * 10, 0);
    expectDropped("freeing a live image");

    // A list over the header.
    b = original;
    Put32BE(b, 104, 64);
    expectDropped("over the header");
}

TEST_F(Foreign, RefusalsLeaveTheFileAsItWas) {
    const Bytes original = b;
    struct Case {
        const char *what;
        std::function<void()> damage;
        FSStatus expected;
    };
    const Case cases[] = {
        {"no translate hook", [&] { ctx.translateHook = nullptr; }, FS_E_CANNOT_TRANSLATE},
        {"a newer format", [&] { Put16BE(b, 10, 0x0309); }, FS_E_CANNOT_CONVERT},
        {"a native header", [&] { Put16(b, 6, FS_MAGIC); }, FS_E_BAD_PARAMS},
    };
    for (const Case &c : cases) {
        b = original;
        ctx.translateHook = Translate;
        c.damage();
        FSStatus status = Run();
        EXPECT_EQ(status, c.expected) << c.what;
        FileHeader asRead;
        std::memcpy(&asRead, b.data(), HEADER_SIZE);
        EXPECT_EQ(std::memcmp(&fcb->h, &asRead, HEADER_SIZE), 0) << c.what;
        EXPECT_EQ(ReadFile(path), b) << c.what;
    }
    EXPECT_TRUE(calls.empty());
}

TEST_F(Foreign, HookRefusalEndsTheConversion) {
    failAfter = 2;
    FSStatus status = Run();
    EXPECT_EQ(status, 4711);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(std::memcmp(&fcb->h, b.data(), HEADER_SIZE), 0); // the FCB keeps the header as read
}

TEST_F(Foreign, HeaderTakesTheHostFilesStamp) {
    path = Put(b);
    VMFileSpec s;
    VMMakeFileSpec(path.c_str(), 0, &s);
    ASSERT_EQ(VMOpenFile(&s, 1), 0);
    ASSERT_EQ(VMSetFileTime(&s, 1234567890), 0);
    VMCloseFile(&s);
    fcb = FcbOnFile(path);
    VMMakeFileSpec(path.c_str(), 0, &host);
    ASSERT_EQ(CVConvertForeign(fcb, &ctx, &host), 0);
    EXPECT_EQ(Val(fcb->h.fileStamp), 1234567890u);

    // A host file that cannot be found gives no stamp, and no failure.
    VMMakeFileSpec(files.File("missing.zfs").c_str(), 0, &host);
    FcbRelease(fcb);
    fcb = FcbOnFile(Put(b, "third.zfs"));
    ASSERT_EQ(CVConvertForeign(fcb, &ctx, &host), 0);
    EXPECT_EQ(Val(fcb->h.fileStamp), 0u);
}

} // namespace
