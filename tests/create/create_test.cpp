// Creating files: the new file's header and class table on disk, refused
// contexts, and nothing left behind by a creation that fails.
#include <cstring>

#include "blocks/space.h"
#include "create/create_fixture.h"
#include "platform/census.h"
#include "tables/chunks.h"

namespace {

FSClassDesc Builtin(uint8_t flags, uint16_t recSize, uint16_t max) {
    FSClassDesc d{};
    d.flags = flags;
    d.allocShift = 5;
    d.growShift = 8;
    d.recSize = recSize;
    d.maxPerChunk = max;
    d.ridCounter = 1;
    return d;
}

// Byte offsets at which two headers differ.
std::vector<size_t> Differences(const FileHeader &a, const FileHeader &b) {
    std::vector<size_t> at;
    auto *pa = reinterpret_cast<const uint8_t *>(&a), *pb = reinterpret_cast<const uint8_t *>(&b);
    for (size_t i = 0; i < sizeof a; ++i)
        if (pa[i] != pb[i]) at.push_back(i);
    return at;
}

TEST_F(CreateTest, NewFileHeaderOnDiskHoldsTheValuesOfANewFile) {
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
    ASSERT_NE(fcb, nullptr);
    const std::string path = VMFileSpecPath(FSFileSpec(fcb));
    const FileHeader h = HeaderOnDisk(path);

    const uint8_t classCount = 4 + 2;
    const uint32_t classTableAt = RoundUp(HEADER_SIZE, 6);
    FileHeader expected{};
    expected.magic = FS_MAGIC;
    expected.formatVersion = 521;
    expected.allocShift = 6;
    expected.growShift = 12;
    expected.versionFlags = 0x01;
    expected.fileSize = classTableAt + RoundUp(classCount * 14u, 6);
    expected.formatMark = 1;
    expected.classCount = classCount;
    expected.maxChunk = 0xF000;
    expected.classTableOffset = classTableAt;
    expected.rootTable = 0xFFFF;
    expected.fileType = ctx_.fileType;
    expected.appVersion = ctx_.appVersion;
    expected.lruHead = expected.lruTail = 0xFFFF;
    expected.memBudget = ctx_.memBudget;
    // Everything else is 0: flags (the file shows open), sizes of saved and
    // mini-saved versions, every root slot (the master table has no image
    // yet), the stored free list, stamps and every run-time slot.
    EXPECT_EQ(Differences(h, expected), std::vector<size_t>{});
    EXPECT_EQ(FileBytes(path).size(), +expected.fileSize);

    // The class table: the four built-in classes, then the host's as given
    // but with RID counters at 1.
    std::vector<FSClassDesc> want = {Builtin(0x38, 16, 256), Builtin(0x38, 10, 0),
                                     Builtin(0x38, 0, 0), Builtin(0x38, 0, 0), hostClasses_[0],
                                     hostClasses_[1]};
    want[4].ridCounter = want[5].ridCounter = 1;
    std::vector<FSClassDesc> onDisk(classCount);
    std::memcpy(onDisk.data(), FileBytes(path).data() + classTableAt, classCount * 14u);
    EXPECT_EQ(std::memcmp(onDisk.data(), want.data(), classCount * 14u), 0);
    EXPECT_EQ(std::memcmp(fcb->classTable, want.data(), classCount * 14u), 0);

    // Open on an empty master table, as a scratch file in the folder.
    EXPECT_EQ(FSRootTable(fcb), TID_NONE);
    EXPECT_NE(FSFileSpec(fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(folder_));
    uint16_t root;
    ASSERT_EQ(TBSlotFor(fcb, &fcb->h.currentRoot, &root), 0);
    EXPECT_EQ(TBRecordCount(fcb, root), 0u);
    EXPECT_EQ(ThunkOf(fcb, root).cls, CLASS_MASTER);
    FSFileClose(fcb, 0);
}

TEST_F(CreateTest, WithoutHostClassesOnlyTheFourBuiltInClasses) {
    ctx_.classCount = 0;
    ctx_.classes = nullptr;
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
    EXPECT_EQ(HeaderOnDisk(VMFileSpecPath(FSFileSpec(fcb))).classCount, 4);
    FSFileClose(fcb, 0);
}

TEST_F(CreateTest, EachCreationMakesItsOwnFile) {
    FCB *a = nullptr, *b = nullptr;
    ASSERT_EQ(FSCreate(&ctx_, &a), 0);
    ASSERT_EQ(FSCreate(&ctx_, &b), 0);
    EXPECT_STRNE(VMFileSpecPath(FSFileSpec(a)), VMFileSpecPath(FSFileSpec(b)));
    EXPECT_EQ(FilesInFolder().size(), 2u);
    FSFileClose(a, 0);
    FSFileClose(b, 0);
    EXPECT_TRUE(FilesInFolder().empty());
}

TEST_F(CreateTest, RefusesContextsItCannotUse) {
    FCB *fcb = reinterpret_cast<FCB *>(&ctx_); // must be overwritten
    EXPECT_EQ(FSCreate(nullptr, &fcb), FS_E_BAD_PARAMS);
    EXPECT_EQ(fcb, nullptr);
    EXPECT_EQ(FSCreate(&ctx_, nullptr), FS_E_BAD_PARAMS);

    // 252 host classes would wrap the 8-bit class count.
    std::vector<FSClassDesc> many(252, HostClass(8, 10));
    ctx_.classCount = 252;
    ctx_.classes = many.data();
    EXPECT_EQ(FSCreate(&ctx_, &fcb), FS_E_BAD_PARAMS);
    ctx_.classCount = 1;
    ctx_.classes = nullptr;
    EXPECT_EQ(FSCreate(&ctx_, &fcb), FS_E_BAD_PARAMS);
    EXPECT_TRUE(FilesInFolder().empty());

    ctx_.classCount = 251; // the largest count that fits
    ctx_.classes = many.data();
    ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
    EXPECT_EQ(+fcb->h.classCount, 255);
    FSFileClose(fcb, 0);
}

TEST_F(CreateTest, ScratchFolderThatDoesNotExistFailsWithTheServicesStatus) {
    std::string missing = folder_ + "/missing/new.zf";
    ASSERT_EQ(VMMakeFileSpec(missing.c_str(), 0, &ctx_.scratchSpec), 0);
    FCB *fcb = nullptr;
    EXPECT_EQ(FSCreate(&ctx_, &fcb), VM_E_NOTFOUND);
    EXPECT_EQ(fcb, nullptr);
}

// A creation failed at the n-th call of each services operation it uses
// returns that failure, hands out no FCB, and leaves no file and no memory
// behind; once the count passes every call, creation succeeds.
TEST_F(CreateTest, FailureAtAnyStepLeavesNothingBehind) {
    struct Case {
        VMOp op;
        const char *name;
    };
    for (Case c : {Case{VM_OP_ALLOC, "alloc"}, Case{VM_OP_GALLOC, "galloc"},
                   Case{VM_OP_CREATE, "create"}, Case{VM_OP_WRITE, "write"},
                   Case{VM_OP_SETSIZE, "setsize"}}) {
        for (uint32_t n = 0;; ++n) {
            SCOPED_TRACE(std::string(c.name) + " fails after " + std::to_string(n));
            ASSERT_LT(n, 50u);
            const uint32_t globals = zun::LiveGlobalBlocks(), controls = zun::LiveControlBlocks();
            VMFaultReset();
            VMFaultFail(c.op, n, 0);
            FCB *fcb = reinterpret_cast<FCB *>(&ctx_);
            FSStatus status = FSCreate(&ctx_, &fcb);
            const bool fired = VMFaultCount(c.op) > n;
            VMFaultReset();
            if (status == 0) {
                ASSERT_NE(fcb, nullptr);
                // A free-list block that could not be made is tolerated.
                EXPECT_TRUE(!fired || c.op == VM_OP_GALLOC);
                FSFileClose(fcb, 0);
                EXPECT_TRUE(FilesInFolder().empty());
                if (!fired) {
                    EXPECT_GT(n, 0u) << "creation never used the operation";
                    break;
                }
                continue;
            }
            EXPECT_TRUE(fired) << status;
            EXPECT_EQ(fcb, nullptr);
            EXPECT_TRUE(FilesInFolder().empty());
            EXPECT_EQ(zun::LiveGlobalBlocks(), globals);
            EXPECT_EQ(zun::LiveControlBlocks(), controls);
        }
    }
}

// The free list is the second movable block; without it the file works
// with an empty list and grows exactly.
TEST_F(CreateTest, MissingFreeListIsTolerated) {
    VMFaultFailOnce(VM_OP_GALLOC, 1, 0);
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
    EXPECT_EQ(fcb->freeList, 0u);
    uint16_t tid;
    EXPECT_EQ(FSMakeTable(fcb, 4, &tid), 0);
    FSFileClose(fcb, 1);
    EXPECT_EQ(FilesInFolder().size(), 1u);
}

} // namespace
