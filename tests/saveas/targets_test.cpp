// Where a save-as writes, what the host's callback sees, and what it may
// refuse.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "blocks/cache.h"
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

FSStatus Record(const void *a, const void *b) {
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
void NothingInMemory(Doc &doc) {
    ASSERT_EQ(BKFlush(doc.fcb, BK_QUOTA_ALL), 0);
    GlobalReclaimDiscardable();
}

} // namespace

TEST_F(SaveAsTest, ProgressArrivesInOrderWithTheWritesOfTheCopy) {
    Doc doc(folder_);
    doc.Fill(11);
    NothingInMemory(doc);
    uint32_t estimate = 0;
    ASSERT_EQ(FSCompSize(doc.fcb, &estimate), 0);
    const std::string oldPath = VMFileSpecPath(FSFileSpec(doc.fcb));
    Calls calls;
    g_calls = &calls;
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAsExt(Record, 77, doc.fcb, &target), 0);
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
    // Pass 2 wrote everything from the first image to the end of the last.
    Bytes file = gen::ReadFile(Path("new.zf"));
    const uint64_t images = file.size() - 320;
    EXPECT_LE(written, images);
    EXPECT_GT(written, images - 64);
    EXPECT_LT(codes.size() - 2, ImageSizes(file).size()) << "writes gather several images";
}

TEST_F(SaveAsTest, WithoutBufferEveryImageIsOneWrite) {
    Doc doc(folder_);
    doc.Fill(12);
    NothingInMemory(doc);
    Calls calls;
    calls.failAllocsAtStart = true;
    g_calls = &calls;
    VMFileSpec target = Spec(Path("new.zf"));
    ASSERT_EQ(FSSaveAsExt(Record, 0, doc.fcb, &target), 0);
    VMFaultReset();
    std::vector<uint32_t> written;
    for (const FSProgress &p : calls.progress)
        if (p.code == 1) written.push_back(p.bytes);
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, ImageSizes(gen::ReadFile(Path("new.zf"))));
    ExpectFileHolds(Path("new.zf"), doc.tables);
    doc.ExpectRecords();
}

TEST_F(SaveAsTest, RefusalEndsTheSaveAsAndLeavesNoFile) {
    Doc doc(folder_);
    doc.Fill(13);
    VMFileSpec first = Spec(Path("old.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &first), 0);
    doc.Churn(14, 20);
    Calls calls;
    calls.answer = 4321;
    g_calls = &calls;
    VMFileSpec target = Spec(Path("new.zf"));
    EXPECT_EQ(FSSaveAsExt(Record, 0, doc.fcb, &target), 4321);
    EXPECT_EQ(FSError(doc.fcb), 4321);
    EXPECT_EQ(calls.firstCalls, 1);
    EXPECT_TRUE(calls.progress.empty());
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"old.zf"});
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(doc.fcb)), Path("old.zf").c_str());
    doc.ExpectRecords();
    calls.answer = 0;
    ASSERT_EQ(FSSaveAsExt(Record, 0, doc.fcb, &target), 0);
    ExpectFileHolds(Path("new.zf"), doc.tables);
}

TEST_F(SaveAsTest, OntoTheFileItself) {
    Doc doc(folder_, 16 * 1024);
    doc.Fill(15);
    VMFileSpec target = Spec(Path("doc.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    doc.Churn(16, 60);
    VMFileSpec again = Spec(Path("doc.zf"));
    ASSERT_EQ(FSSaveAs(doc.fcb, &again), 0);
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"doc.zf"});
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(doc.fcb)), Path("doc.zf").c_str());
    EXPECT_EQ(FSFileSpec(doc.fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    Bytes bytes = gen::ReadFile(Path("doc.zf"));
    EXPECT_EQ(bytes.size(), CompactSizeOf(bytes));
    ExpectFileHolds(Path("doc.zf"), doc.tables);
    doc.ExpectRecords();
    doc.Close(0); // the saved version is the compact one: nothing is lost
    ExpectFileHolds(Path("doc.zf"), doc.tables);
}

// A new file's own record names it: saving as onto it keeps the name and
// makes the scratch file a normal one, kept by a close without keeping.
TEST_F(SaveAsTest, OntoTheScratchFileThroughItsOwnRecord) {
    Doc doc(folder_);
    doc.Fill(17);
    const std::string scratch = VMFileSpecPath(FSFileSpec(doc.fcb));
    ASSERT_NE(FSFileSpec(doc.fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    ASSERT_EQ(FSSaveAs(doc.fcb, FSFileSpec(doc.fcb)), 0);
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(doc.fcb)), scratch.c_str());
    EXPECT_EQ(FSFileSpec(doc.fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    EXPECT_EQ(FilesIn(folder_).size(), 1u);
    doc.Close(0);
    ExpectFileHolds(scratch, doc.tables);
}

TEST_F(SaveAsTest, TemporaryTargetGivesANormalFile) {
    Doc doc(folder_);
    doc.Fill(18);
    VMFileSpec target = Spec(Path("new.zf"));
    target.bytes[6] |= VM_SPEC_TEMPORARY;
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    EXPECT_EQ(target.bytes[6] & VM_SPEC_TEMPORARY, 0) << "cleared in the host's record";
    EXPECT_EQ(FSFileSpec(doc.fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    doc.Close(0);
    EXPECT_EQ(FilesIn(folder_), std::vector<std::string>{"new.zf"}) << "scratch file gone, copy kept";
    ExpectFileHolds(Path("new.zf"), doc.tables);
}

TEST_F(SaveAsTest, FolderTargetGetsAUniqueFile) {
    Doc doc(folder_);
    doc.Fill(19);
    VMFileSpec target = Spec(folder_);
    ASSERT_EQ(FSSaveAs(doc.fcb, &target), 0);
    const std::string made = VMFileSpecPath(FSFileSpec(doc.fcb));
    EXPECT_EQ(made.rfind(folder_ + "/", 0), 0u);
    ExpectFileHolds(made, doc.tables);
}

TEST_F(SaveAsTest, BadArgumentsAreRefused) {
    Doc doc(folder_);
    VMFileSpec target = Spec(Path("new.zf"));
    EXPECT_EQ(FSSaveAs(nullptr, &target), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSSaveAs(doc.fcb, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSError(doc.fcb), 0) << "not stored";
    alignas(FCB) uint8_t stale[sizeof(FCB)] = {};
    EXPECT_EQ(FSSaveAs(reinterpret_cast<FCB *>(stale), &target), FS_E_BAD_FCB);
    EXPECT_EQ(FSSaveAsExt(Record, 0, reinterpret_cast<FCB *>(stale), &target), FS_E_BAD_FCB);
    uint32_t size = 1;
    EXPECT_EQ(FSCompSize(nullptr, &size), FS_E_BAD_FCB);
    EXPECT_EQ(FSCompSize(reinterpret_cast<FCB *>(stale), &size), FS_E_BAD_FCB);
    EXPECT_EQ(FSCompSize(doc.fcb, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FilesIn(folder_).size(), 1u);
}
