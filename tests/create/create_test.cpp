// Creating files: the new file's header and class table on disk, refused
// contexts, and nothing left behind by a creation that fails.
#include "blocks/space.h"
#include "common/fault_loop.h"
#include "create/create_fixture.h"
#include "tables/chunks.h"

namespace {

FSClassDesc Builtin(uint16_t recSize, uint16_t max) {
    FSClassDesc d = HostClass(recSize, max, 0x38);
    d.minPerChunk = 0;
    return d;
}

TEST_F(CreateTest, NewFileHoldsTheValuesOfANewFile) {
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
    const std::string path = VMFileSpecPath(FSFileSpec(fcb));
    const uint8_t classCount = 4 + 2;
    const uint32_t classTableAt = RoundUp(HEADER_SIZE, 6);

    // Every field of the header on disk: these, and 0 everywhere else (no
    // flag, so the file shows open; no saved or mini-saved version; every
    // root slot, since the master table has no image yet; no stored free
    // list; every run-time slot).
    FileHeader want{};
    want.magic = FS_MAGIC;
    want.formatVersion = 521;
    want.allocShift = 6;
    want.growShift = 12;
    want.versionFlags = 0x01;
    want.fileSize = classTableAt + RoundUp(classCount * 14u, 6);
    want.formatMark = 1;
    want.classCount = classCount;
    want.maxChunk = 0xF000;
    want.classTableOffset = classTableAt;
    want.rootTable = 0xFFFF;
    want.fileType = ctx_.fileType;
    want.appVersion = ctx_.appVersion;
    want.lruHead = want.lruTail = 0xFFFF;
    want.memBudget = ctx_.memBudget;
    const FileHeader h = HeaderOnDisk(path);
    for (size_t i = 0; i < sizeof h; ++i)
        EXPECT_EQ(reinterpret_cast<const uint8_t *>(&h)[i], reinterpret_cast<uint8_t *>(&want)[i])
            << "header byte " << i;
    EXPECT_EQ(gen::ReadFile(path).size(), +want.fileSize);

    // The class table: the four built-in classes, then the host's as given
    // but for their RID counters, at 1.
    std::vector<FSClassDesc> classes = {Builtin(16, 256), Builtin(10, 0), Builtin(0, 0),
                                        Builtin(0, 0), hostClasses_[0], hostClasses_[1]};
    classes[4].ridCounter = 1;
    EXPECT_EQ(std::memcmp(gen::ReadFile(path).data() + classTableAt, classes.data(), classCount * 14u), 0);
    EXPECT_EQ(std::memcmp(fcb->classTable, classes.data(), classCount * 14u), 0);

    // Open on an empty master table, as a scratch file in the folder.
    EXPECT_NE(FSFileSpec(fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    EXPECT_EQ(path.rfind(folder_ + "/", 0), 0u);
    uint16_t root;
    ASSERT_EQ(TBSlotFor(fcb, &fcb->h.currentRoot, &root), 0);
    EXPECT_EQ(TBRecordCount(fcb, root), 0u);
    FSFileClose(fcb, 0);
}

TEST_F(CreateTest, ClassCountIsFourPlusTheHostClasses) {
    std::vector<FSClassDesc> many(252, HostClass(8, 10));
    ctx_.classes = many.data();
    for (uint8_t hostClasses : {0, 251}) {
        ctx_.classCount = hostClasses;
        FCB *fcb = nullptr;
        ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
        EXPECT_EQ(HeaderOnDisk(VMFileSpecPath(FSFileSpec(fcb))).classCount, 4 + hostClasses);
        FSFileClose(fcb, 0);
    }
}

// A null context or FCB out, a class count that would wrap 8 bits, or
// classes that are missing: refused before anything is made.
TEST_F(CreateTest, RefusesContextsItCannotUse) {
    FCB *fcb = reinterpret_cast<FCB *>(&ctx_);
    EXPECT_EQ(FSCreate(nullptr, &fcb), FS_E_BAD_PARAMS);
    EXPECT_EQ(fcb, nullptr);
    EXPECT_EQ(FSCreate(&ctx_, nullptr), FS_E_BAD_PARAMS);
    std::vector<FSClassDesc> many(252, HostClass(8, 10));
    ctx_.classCount = 252;
    ctx_.classes = many.data();
    EXPECT_EQ(FSCreate(&ctx_, &fcb), FS_E_BAD_PARAMS);
    ctx_.classCount = 1;
    ctx_.classes = nullptr;
    EXPECT_EQ(FSCreate(&ctx_, &fcb), FS_E_BAD_PARAMS);
    ExpectNothingLeft();
}

// Failing the n-th call of each services operation that creation uses,
// once or for good: the failure is returned, no FCB handed out, and no file
// and no memory left behind. A missing free-list block alone is tolerated,
// and a transient failure may be retried.
TEST_F(CreateTest, FailureAtAnyStepLeavesNothingBehind) {
    for (VMOp op : {VM_OP_ALLOC, VM_OP_GALLOC, VM_OP_CREATE, VM_OP_WRITE, VM_OP_SETSIZE}) {
        SCOPED_TRACE("operation " + std::to_string(op));
        ForEachFault(op, 0, [&](FaultRun &fault) {
            FCB *fcb = reinterpret_cast<FCB *>(&ctx_);
            fault.Arm();
            const FSStatus status = FSCreate(&ctx_, &fcb);
            fault.Disarm();
            if (status != 0) {
                EXPECT_TRUE(fault.fired) << status;
                EXPECT_EQ(fcb, nullptr);
            } else {
                EXPECT_TRUE(!fault.fired || fault.once || (op == VM_OP_GALLOC && fault.n == 1 && fcb->freeList == 0));
                FSFileClose(fcb, 0);
            }
            ExpectNothingLeft();
        });
    }
}

} // namespace
