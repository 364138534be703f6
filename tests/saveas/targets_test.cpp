// Where a save-as writes, what the host's callback sees, and what it may
// refuse.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "blocks/cache.h"
#include "common/read_saved.h"
#include "saveas/saveas_fixture.h"

namespace {

// What a callback received, for one save-as at a time.
struct Calls {
    std::string oldPath, newPath; // the first call's two records
    int firstCalls = 0;
    std::vector<FSProgress> progress;
    FSStatus answer = 0;               // the first call's answer
    bool failAllocsAtStart = false;    // arm GlobalAlloc failures at code 0
};
thread_local Calls *g_calls = nullptr;

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

std::vector<uint32_t> Codes(const Calls &c) {
    std::vector<uint32_t> codes;
    for (const FSProgress &p : c.progress) codes.push_back(p.code);
    return codes;
}

// A file with nothing in memory: every image of the copy is read and
// written by pass 2.
void NothingInMemory(FCB *fcb) {
    ASSERT_EQ(BKFlush(fcb, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
}

} // namespace

TEST_F(SaveAsTest, ProgressArrivesInOrderWithTheWritesOfTheCopy) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(11, 300000));
    NothingInMemory(fcb_);
    uint32_t estimate = 0;
    ASSERT_EQ(FSCompSize(fcb_, &estimate), 0);
    const std::string oldPath = VMFileSpecPath(FSFileSpec(fcb_));
    Calls calls;
    g_calls = &calls;
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAsExt(Remember, 77, fcb_, &target), 0);
    EXPECT_EQ(calls.firstCalls, 1);
    EXPECT_EQ(calls.oldPath, oldPath);
    EXPECT_EQ(calls.newPath, Path("new.zf"));

    std::vector<uint32_t> codes = Codes(calls);
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes.front(), 0u);
    EXPECT_EQ(codes.back(), 2u);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 1u), long(codes.size() - 2));
    EXPECT_EQ(calls.progress.front().bytes, estimate);
    EXPECT_EQ(calls.progress.back().bytes, estimate);
    uint64_t written = 0;
    for (const FSProgress &p : calls.progress) {
        EXPECT_EQ(p.context, 77u);
        if (p.code != 1) continue;
        EXPECT_GT(p.bytes, 0u);
        EXPECT_LE(p.bytes, 64512u) << "one write of the buffer at most";
        written += p.bytes;
    }
    // Pass 2 wrote every image; only the padding after the last image of
    // each write was left out.
    Bytes file = gen::ReadFile(Path("new.zf"));
    const uint64_t images = file.size() - 320, writes = codes.size() - 2;
    EXPECT_LE(written, images);
    EXPECT_GT(written, images - 64 * writes);
    EXPECT_LT(writes, ImageSizes(file).size() / 4) << "writes gather images";
}

TEST_F(SaveAsTest, WithoutBufferEveryImageIsOneWrite) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(12));
    NothingInMemory(fcb_);
    Calls calls;
    calls.failAllocsAtStart = true;
    g_calls = &calls;
    VMFileSpec target = Target("new.zf");
    ASSERT_EQ(FSSaveAsExt(Remember, 0, fcb_, &target), 0);
    VMFaultReset();
    std::vector<uint32_t> written;
    for (const FSProgress &p : calls.progress)
        if (p.code == 1) written.push_back(p.bytes);
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, ImageSizes(gen::ReadFile(Path("new.zf"))));
    EXPECT_EQ(Differences(Path("new.zf"), current_), "");
    EXPECT_TRUE(FileHolds(fcb_, current_));
}

TEST_F(SaveAsTest, RefusalEndsTheSaveAsAndLeavesNoFile) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(13));
    const Bytes before = gen::ReadFile(path_);
    Calls calls;
    calls.answer = 4321;
    g_calls = &calls;
    VMFileSpec target = Target("new.zf");
    EXPECT_EQ(FSSaveAsExt(Remember, 0, fcb_, &target), 4321);
    EXPECT_EQ(FSError(fcb_), 4321);
    EXPECT_EQ(calls.firstCalls, 1);
    EXPECT_TRUE(calls.progress.empty());
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"doc.zf"});
    EXPECT_TRUE(gen::ReadFile(path_) == before);
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(fcb_)), path_.c_str());
    EXPECT_TRUE(FileHolds(fcb_, current_));
    calls.answer = 0;
    ASSERT_EQ(FSSaveAsExt(Remember, 0, fcb_, &target), 0);
    EXPECT_EQ(Differences(Path("new.zf"), current_), "");
}

// The file is replaced through a new file in its folder that takes its
// name: nothing else is left there, and the file is no scratch file.
TEST_F(SaveAsBudgetTest, OntoTheFileItself) {
    ASSERT_NO_FATAL_FAILURE(MakeThreeVersions(14));
    std::mt19937 rng(15);
    AddBulk(fcb_, current_, rng, 100000);
    VMFileSpec again = spec_;
    ASSERT_EQ(FSSaveAs(fcb_, &again), 0);
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"doc.zf"});
    EXPECT_EQ(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    ExpectCompact(fcb_, path_);
    EXPECT_EQ(Differences(path_, current_), "");
    EXPECT_TRUE(FileHolds(fcb_, current_));
    FSFileClose(fcb_, 0); // its saved version is the compact one: nothing is lost
    fcb_ = nullptr;
    EXPECT_TRUE(VersionHolds(path_, FS_VERSION_CURRENT, ctx_, current_));
}

// A new file's own record names it: saving as onto it keeps the name and
// makes the scratch file a normal one, kept by a close without keeping.
TEST_F(SaveAsTest, OntoTheScratchFileThroughItsOwnRecord) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(16));
    const std::string scratch = VMFileSpecPath(FSFileSpec(fcb_));
    ASSERT_NE(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    ASSERT_EQ(FSSaveAs(fcb_, FSFileSpec(fcb_)), 0);
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(fcb_)), scratch.c_str());
    EXPECT_EQ(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    EXPECT_EQ(FilesIn(folder_).size(), 1u);
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    EXPECT_TRUE(VersionHolds(scratch, FS_VERSION_CURRENT, ctx_, current_));
}

TEST_F(SaveAsTest, TemporaryTargetGivesANormalFile) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(17));
    VMFileSpec target = Target("new.zf");
    target.bytes[6] |= VM_SPEC_TEMPORARY;
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    EXPECT_EQ(target.bytes[6] & VM_SPEC_TEMPORARY, 0) << "cleared in the host's record";
    EXPECT_EQ(FSFileSpec(fcb_)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    FSFileClose(fcb_, 0);
    fcb_ = nullptr;
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"new.zf"}) << "scratch file gone, copy kept";
    EXPECT_TRUE(VersionHolds(Path("new.zf"), FS_VERSION_CURRENT, ctx_, current_));
}

TEST_F(SaveAsTest, FolderTargetGetsAUniqueFile) {
    ASSERT_NO_FATAL_FAILURE(MakeScratch(18));
    VMFileSpec target{};
    ASSERT_EQ(VMMakeFileSpec(folder_.c_str(), 0, &target), 0);
    ASSERT_EQ(FSSaveAs(fcb_, &target), 0);
    const std::string made = VMFileSpecPath(FSFileSpec(fcb_));
    EXPECT_EQ(made.rfind(folder_ + "/", 0), 0u);
    EXPECT_EQ(Differences(made, current_), "");
}

TEST_F(SaveAsTest, BadArgumentsAreRefused) {
    ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
    VMFileSpec target = Target("new.zf");
    EXPECT_EQ(FSSaveAs(nullptr, &target), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSSaveAs(fcb_, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSError(fcb_), 0) << "not stored";
    alignas(FCB) uint8_t stale[sizeof(FCB)] = {};
    EXPECT_EQ(FSSaveAs(reinterpret_cast<FCB *>(stale), &target), FS_E_BAD_FCB);
    EXPECT_EQ(FSSaveAsExt(Remember, 0, reinterpret_cast<FCB *>(stale), &target), FS_E_BAD_FCB);
    uint32_t size = 1;
    EXPECT_EQ(FSCompSize(nullptr, &size), FS_E_BAD_FCB);
    EXPECT_EQ(FSCompSize(reinterpret_cast<FCB *>(stale), &size), FS_E_BAD_FCB);
    EXPECT_EQ(FSCompSize(fcb_, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FilesIn(folder_).size(), 1u);
}
