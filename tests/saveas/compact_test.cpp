// The compact file a save-as writes: its exact layout and size, its records
// read from its bytes and through the FCB that moves to it, where it is
// written, and the refusals.
#include <algorithm>
#include <cstring>

#include "blocks/cache.h"
#include "saveas/saveas_fixture.h"
#include "tables/chunks.h"

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

} // namespace
