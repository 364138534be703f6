// The compact file a save-as writes: its exact layout and size, its records
// read from its bytes and through the FCB that moves to it, where it is
// written, chunks without images, what the host's callback sees, and the
// refusals.
#include <algorithm>
#include <cstring>

#include "blocks/cache.h"
#include "saveas/saveas_fixture.h"
#include "tables/chunks.h"
#include "tables/thunks.h"

namespace {

// The file holds the model read straight from its bytes, through the FCB
// moved to it, and again after the FCB is closed (keep) and the file opened.
void ExpectHolds(FCB *&fcb, const std::string &path, const FSContext &ctx, const Doc &doc, uint16_t keep) {
    EXPECT_EQ(Differences(path, doc), "");
    EXPECT_TRUE(FileHolds(fcb, doc));
    FSFileClose(fcb, keep);
    fcb = nullptr;
    EXPECT_TRUE(VersionHolds(path, FS_VERSION_CURRENT, ctx, doc));
}

void NothingInMemory(FCB *fcb) {
    ASSERT_EQ(BKFlush(fcb, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
}

// A file of three versions: copied with some chunks in memory and some not
// (parents waiting for children) and every block moving when locked, then
// with nothing in memory. A compact copy made with nothing
// in memory has its images in tree order, so copying it again the same way
// changes nothing but the stamp.
TEST_F(SaveAsBudgetTest, FragmentedFileCompactsAndStaysCompact) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(6));
    std::mt19937 rng(7);
    AddBulk(fcb_, current_, rng, 60000);
    GlobalSetMoveOnLock(1);
    DocChange(fcb_, current_, rng, 40);
    VMFileSpec a = Target("a.zf"), b = Target("b.zf"), c = Target("c.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &a), 0);
    ExpectCompact(fcb_, Path("a.zf"));
    EXPECT_EQ(Differences(Path("a.zf"), current_), "");
    DocChange(fcb_, current_, rng, 40);
    NothingInMemory(fcb_);
    VMFaultReset();
    ASSERT_EQ(FSSaveAs(fcb_, &b), 0);
    EXPECT_GT(VMFaultCount(VM_OP_READ), 0u);
    ExpectCompact(fcb_, Path("b.zf"));
    NothingInMemory(fcb_);
    ASSERT_EQ(FSSaveAs(fcb_, &c), 0);
    Bytes bb = gen::ReadFile(Path("b.zf")), cb = gen::ReadFile(Path("c.zf"));
    ASSERT_EQ(bb.size(), cb.size());
    EXPECT_TRUE(std::equal(bb.begin() + 192, bb.end(), cb.begin() + 192));
    ExpectHolds(fcb_, Path("c.zf"), ctx_, current_, 1);
}

// A callback's refusal ends the save-as before anything is written and
// leaves no file; bad arguments are refused.
int g_firstCalls = 0;
FSStatus Refuse(const void *a, const void *) { return a != nullptr ? (++g_firstCalls, 4321) : 0; }

TEST_F(SaveAsTest, RefusalsLeaveNoFile) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(13));
    const Bytes before = gen::ReadFile(path_);
    VMFileSpec target = Target("new.zf");
    alignas(FCB) uint8_t stale[sizeof(FCB)] = {};
    FCB *bad = reinterpret_cast<FCB *>(stale);
    uint32_t size = 1;
    EXPECT_EQ(FSSaveAsExt(Refuse, 0, fcb_, &target), 4321);
    EXPECT_EQ(std::pair(int{FSError(fcb_)}, g_firstCalls), std::pair(4321, 1));
    for (auto [got, want] : {std::pair{FSSaveAs(nullptr, &target), FS_E_BAD_PARAMS}, {FSSaveAs(fcb_, nullptr), FS_E_BAD_PARAMS},
                             {FSSaveAsExt(Refuse, 0, bad, &target), FS_E_BAD_FCB}, {FSCompSize(nullptr, &size), FS_E_BAD_FCB},
                             {FSCompSize(bad, &size), FS_E_BAD_FCB}, {FSCompSize(fcb_, nullptr), FS_E_BAD_PARAMS}})
        EXPECT_EQ(got, want);
    EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"doc.zf"});
    EXPECT_TRUE(gen::ReadFile(path_) == before);
    EXPECT_TRUE(FileHolds(fcb_, current_));
}

// Onto a scratch file through its own record, or to a target marked
// temporary: a normal file, kept by a close without keeping. Onto a folder:
// a new file of its own there. A new file's empty master table needs no
// image.
TEST_F(SaveAsTest, TargetsGiveNormalFiles) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        current_.clear();
        ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
        std::mt19937 rng(16 + kind);
        DocMakeTable(fcb_, current_, 5);
        DocChange(fcb_, current_, rng, 30);
        const std::string scratch = VMFileSpecPath(FSFileSpec(fcb_));
        VMFileSpec target = Target("new" + std::to_string(kind));
        if (kind == 1) target.bytes[6] |= VM_SPEC_TEMPORARY;
        if (kind == 2) {
            ASSERT_EQ(VMMakeFileSpec(folder_.c_str(), 0, &target), 0);
        }
        ASSERT_EQ(FSSaveAs(fcb_, kind == 0 ? FSFileSpec(fcb_) : &target), 0);
        const std::string made = VMFileSpecPath(FSFileSpec(fcb_));
        EXPECT_EQ(made == scratch, kind == 0);
        EXPECT_EQ(made.rfind(folder_ + "/", 0), 0u);
        EXPECT_EQ(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
        EXPECT_EQ(target.bytes[6] & VM_SPEC_TEMPORARY, 0) << "cleared in the host's record";
        ExpectHolds(fcb_, made, ctx_, current_, 0);
    }
    EXPECT_EQ(FolderEntries(folder_).size(), 3u) << "every scratch file gone";
    uint32_t size = 0;
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    ASSERT_EQ(FSCompSize(fcb_, &size), 0);
    EXPECT_EQ(size, 192u + 128u); // 7 classes of 14 bytes
    VMFileSpec target = Target("empty.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    ExpectCompact(fcb_, Path("empty.zf"));
    ExpectHolds(fcb_, Path("empty.zf"), ctx_, Doc{}, 0);
}

// A chunk of no records keeps position 0 and count 0, even when it was made
// with records it never wrote; a chunk of zeros that never had an image
// keeps position 0 and its count. A chunk whose count in memory differs
// from its image's gives only what the image holds, the rest zeros.
TEST_F(SaveAsTest, ChunksWithoutImagesOrWithShortImages) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    std::mt19937 rng(8);
    uint16_t emptied, zeros, shorter, longer;
    for (uint16_t *tid : {&emptied, &zeros, &shorter, &longer}) DocMakeTable(fcb_, current_, 5, tid);
    auto edit = [&](uint16_t tid, auto change) {
        TableRecord *rec;
        uint16_t master, top;
        ASSERT_EQ(TBFindTable(fcb_, tid, &rec, &master), 0);
        ASSERT_EQ(TBSlotFor(fcb_, &rec->top, &top), 0);
        change(rec, top);
        ASSERT_EQ(TBUnlockChunk(fcb_, master, 1), 0);
    };
    for (uint16_t tid : {emptied, zeros}) {
        edit(tid, [&](TableRecord *rec, uint16_t top) {
            ASSERT_EQ(TBFreeChunk(fcb_, top), 0);
            ASSERT_EQ(TBNewChunk(fcb_, &rec->top, 5, 5, &top), 0);
        });
        current_[tid].recs.assign(5, Record(12, 0));
    }
    DocDelete(fcb_, current_, emptied, 0, 5);
    for (uint16_t tid : {shorter, longer}) DocInsert(fcb_, current_, tid, 0, RandomRecords(rng, 5, 8));
    NothingInMemory(fcb_);
    for (auto [tid, count] : {std::pair{shorter, 3}, std::pair{longer, 10}}) {
        edit(tid, [&](TableRecord *, uint16_t top) {
            Thunk *thunks = TBLockThunks(fcb_);
            ASSERT_EQ(thunks[top].storedCount, 8);
            thunks[top].count = static_cast<uint16_t>(count);
            TBUnlockThunks(fcb_);
        });
        current_[tid].recs.resize(count, Record(12, 0));
    }
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    Bytes bytes = gen::ReadFile(Path("new.zf"));
    auto topRef = [&](uint16_t tid) { // the master table is one chunk
        ChunkRef ref{};
        std::memcpy(&ref, &bytes.at(gen::Get32(bytes, 44 + 4) + tid * 16u), sizeof ref);
        return ref;
    };
    EXPECT_EQ(std::tuple(topRef(emptied).storedCount, topRef(emptied).filePos, topRef(zeros).storedCount, topRef(zeros).filePos),
              std::tuple(0, 0u, 5, 0u));
    EXPECT_EQ(bytes.size(), CompactSizeOf(bytes) - 64) << "the chunk of zeros has no image";
    ExpectHolds(fcb_, Path("new.zf"), ctx_, current_, 1);
}

// What a callback received, for one save-as at a time.
struct Calls {
    std::string oldPath, newPath; // the first call's two records
    int firstCalls = 0;
    std::vector<FSProgress> progress;
    FSStatus answer = 0;            // the first call's answer
    bool failAllocsAtStart = false; // no copy buffer
};
Calls *g_calls = nullptr;

FSStatus Remember(const void *a, const void *b) {
    Calls &c = *g_calls;
    if (a != nullptr) {
        ++c.firstCalls;
        c.oldPath = VMFileSpecPath(static_cast<const VMFileSpec *>(a));
        c.newPath = VMFileSpecPath(static_cast<const VMFileSpec *>(b));
        return c.answer;
    }
    c.progress.push_back(*static_cast<const FSProgress *>(b));
    if (c.progress.back().code == 0 && c.failAllocsAtStart) VMFaultFail(VM_OP_GALLOC, 0, 0);
    return 0;
}

// Progress: a start and an end with the estimate, one call a write of the
// buffer between; pass 2 writes every image, gathered into few writes, or
// one write an image when there is no buffer.
TEST_F(SaveAsTest, ProgressArrivesWithTheWritesOfTheCopy) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    std::mt19937 rng(11);
    for (uint8_t cls : {4, 5, 6}) DocMakeTable(fcb_, current_, cls);
    DocChange(fcb_, current_, rng, 30);
    AddBulk(fcb_, current_, rng, 150000);
    for (bool buffer : {true, false}) {
        SCOPED_TRACE(buffer);
        NothingInMemory(fcb_);
        uint32_t estimate = 0;
        ASSERT_EQ(FSCompSize(fcb_, &estimate), 0);
        const std::string oldPath = VMFileSpecPath(FSFileSpec(fcb_)), name = buffer ? "a.zf" : "b.zf";
        Calls calls;
        calls.failAllocsAtStart = !buffer;
        g_calls = &calls;
        VMFileSpec target = Target(name);
        ASSERT_EQ(FSSaveAsExt(Remember, 77, fcb_, &target), 0);
        VMFaultReset();
        EXPECT_EQ(std::tuple(calls.firstCalls, calls.oldPath, calls.newPath), std::tuple(1, oldPath, Path(name)));
        ASSERT_GE(calls.progress.size(), 3u);
        const FSProgress &first = calls.progress.front(), &last = calls.progress.back();
        EXPECT_EQ(std::tuple(first.code, first.bytes, last.code, last.bytes), std::tuple(0u, estimate, 2u, estimate));
        std::vector<uint32_t> written;
        for (size_t i = 1; i + 1 < calls.progress.size(); ++i) {
            const FSProgress &p = calls.progress[i];
            EXPECT_TRUE(p.code == 1 && p.context == 77 && p.bytes > 0 && p.bytes <= 64512) << "one write of the buffer at most";
            written.push_back(p.bytes);
        }
        const Bytes file = gen::ReadFile(Path(name));
        std::sort(written.begin(), written.end());
        if (buffer) { // only the padding after the last image of each write is left out
            uint64_t sum = 0, images = file.size() - 320;
            for (uint32_t w : written) sum += w;
            EXPECT_TRUE(sum <= images && sum > images - 64 * written.size()) << sum << " of " << images;
            EXPECT_LT(written.size(), ImageSizes(file).size() / 4) << "writes gather images";
        } else {
            EXPECT_EQ(written, ImageSizes(file));
        }
        EXPECT_EQ(Differences(Path(name), current_), "");
    }
}

} // namespace
