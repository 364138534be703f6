// Creating and closing files: the new file's header and class table on
// disk, refused contexts and FCBs, nothing left behind by a creation that
// fails, and nothing written by a close that must not write.
#include <cstring>

#include <gtest/gtest.h>

#include "blocks/space.h"
#include "common/fault_loop.h"
#include "common/fcb_fixture.h"
#include "common/gen_bytes.h"
#include "common/scratch_fcb.h"
#include "platform/census.h"
#include "session/close.h"

namespace {

class Create : public ::testing::Test {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeScratchFolder();
        hostClasses_ = {HostClass(24, 100, FS_CLASS_RIDS), HostClass(3, 2000)};
        hostClasses_[0].ridCounter = 77; // a new file starts every counter at 1
        hostClasses_[1].unused = 0x5C;
        ctx_ = ScratchContext(folder_);
        ctx_.fileType = 0x5A46, ctx_.appVersion = 7, ctx_.memBudget = 1u << 20;
        ctx_.classCount = 2, ctx_.classes = hostClasses_.data();
        globals_ = zun::LiveGlobalBlocks(), controls_ = zun::LiveControlBlocks();
    }
    void TearDown() override { VMFaultReset(), RemoveScratchFolder(folder_); }
    // No file is left in the folder and no memory block of the library.
    void ExpectNothingLeft(bool files = true) const {
        EXPECT_TRUE(!files || FolderEntries(folder_).empty());
        EXPECT_TRUE(zun::LiveGlobalBlocks() == globals_ && zun::LiveControlBlocks() == controls_);
    }
    std::string folder_;
    FSContext ctx_;
    std::vector<FSClassDesc> hostClasses_;
    uint32_t globals_ = 0, controls_ = 0;
};

TEST_F(Create, NewFileHoldsTheValuesOfANewFile) {
    FCB *fcb = nullptr;
    ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
    const std::string path = VMFileSpecPath(FSFileSpec(fcb));
    const uint32_t classTableAt = RoundUp(HEADER_SIZE, 6);
    // Every byte of the header: these, and 0 elsewhere (the file shows open,
    // no saved or mini-saved version, no root image, no stored list).
    FileHeader want{};
    want.magic = FS_MAGIC;
    want.formatVersion = 521;
    want.allocShift = 6, want.growShift = 12;
    want.versionFlags = 0x01;
    want.fileSize = classTableAt + RoundUp(6 * 14u, 6);
    want.formatMark = 1;
    want.classCount = 6;
    want.maxChunk = 0xF000;
    want.classTableOffset = classTableAt;
    want.rootTable = want.lruHead = want.lruTail = 0xFFFF;
    want.fileType = ctx_.fileType, want.appVersion = ctx_.appVersion, want.memBudget = ctx_.memBudget;
    const gen::Bytes file = gen::ReadFile(path);
    ASSERT_EQ(file.size(), +want.fileSize);
    for (size_t i = 0; i < sizeof want; ++i) EXPECT_EQ(file[i], reinterpret_cast<uint8_t *>(&want)[i]) << "header byte " << i;
    // The four built-in classes, then the host's as given but for their RID
    // counters, at 1.
    std::vector<FSClassDesc> classes(4, HostClass(0, 0, 0x38));
    for (FSClassDesc &c : classes) c.minPerChunk = 0;
    classes[0].recSize = 16, classes[0].maxPerChunk = 256, classes[1].recSize = 10;
    classes.insert(classes.end(), hostClasses_.begin(), hostClasses_.end());
    classes[4].ridCounter = 1;
    EXPECT_EQ(std::memcmp(file.data() + classTableAt, classes.data(), 6 * 14u), 0);
    EXPECT_NE(FSFileSpec(fcb)->bytes[6] & VM_SPEC_TEMPORARY, 0);
    EXPECT_EQ(path.rfind(folder_ + "/", 0), 0u);
    FSFileClose(fcb, 2); // any keep but 1 deletes a new scratch file
    ExpectNothingLeft();
}

// A null context or FCB out, a class count that would wrap 8 bits, missing
// classes: refused before anything is made. Failing the nth call of each
// operation creation uses, once or for good, returns the failure, hands out
// no FCB and leaves no file or memory; a missing free-list block alone is
// tolerated, and a transient failure may be retried.
TEST_F(Create, RefusalsAndFailuresLeaveNothingBehind) {
    FCB *fcb = reinterpret_cast<FCB *>(&ctx_);
    EXPECT_TRUE(FSCreate(nullptr, &fcb) == FS_E_BAD_PARAMS && fcb == nullptr);
    EXPECT_EQ(FSCreate(&ctx_, nullptr), FS_E_BAD_PARAMS);
    std::vector<FSClassDesc> many(252, HostClass(8, 10));
    ctx_.classCount = 252, ctx_.classes = many.data();
    EXPECT_EQ(FSCreate(&ctx_, &fcb), FS_E_BAD_PARAMS);
    ctx_.classCount = 1, ctx_.classes = nullptr;
    EXPECT_EQ(FSCreate(&ctx_, &fcb), FS_E_BAD_PARAMS);
    ExpectNothingLeft();
    ctx_.classCount = 2, ctx_.classes = hostClasses_.data();
    for (VMOp op : {VM_OP_ALLOC, VM_OP_GALLOC, VM_OP_CREATE, VM_OP_WRITE, VM_OP_SETSIZE}) {
        ForEachFault(op, 0, [&](FaultRun &fault) {
            fault.Arm();
            const FSStatus status = FSCreate(&ctx_, &fcb);
            fault.Disarm();
            if (status != 0) EXPECT_TRUE(fault.fired && fcb == nullptr) << op << " " << status;
            else EXPECT_TRUE(!fault.fired || fault.once || (op == VM_OP_GALLOC && fault.n == 1 && fcb->freeList == 0)) << op;
            if (status == 0) FSFileClose(fcb, 0);
            ExpectNothingLeft();
        });
    }
}

// After a fatal error a close only closes: nothing written or cut, a
// scratch file not deleted. A host's file without a saved version is closed
// without a write (the next open reports the crash). A bad FCB is ignored.
TEST_F(Create, ClosesThatMustNotWriteWriteNothing) {
    for (int round = 0; round < 4; ++round) {
        FCB *fcb = nullptr;
        ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
        const std::string path = VMFileSpecPath(FSFileSpec(fcb));
        if (round != 2) fcb->file->bytes[6] &= ~VM_SPEC_TEMPORARY;
        if (round < 2) fcb->h.versionFlags = VER_CURRENT | VER_SAVED;
        if (round < 3) fcb->h.stateFlags |= STATE_FATAL;
        FCB copy;
        std::memcpy(&copy, fcb, sizeof copy);
        copy.h.magic = 0x1234; // would free the FCB's blocks if taken for valid
        FSFileClose(&copy, 1);
        FSFileClose(nullptr, 1);
        const gen::Bytes before = gen::ReadFile(path);
        const uint32_t writes = VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE);
        FSFileClose(fcb, round == 0 ? 1 : 0);
        EXPECT_EQ(VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE), writes) << round;
        EXPECT_EQ(gen::ReadFile(path), before) << round;
        ExpectNothingLeft(false);
    }
}

} // namespace
