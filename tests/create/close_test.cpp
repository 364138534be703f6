// Closing files: keeping, deleting, falling back to the saved version, and
// writing nothing after a fatal error.
#include <sys/stat.h>

#include "blocks/space.h"
#include "create/create_fixture.h"
#include "session/close.h"

namespace {

class CloseTest : public CreateTest {
protected:
    void SetUp() override {
        CreateTest::SetUp();
        ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
        path_ = VMFileSpecPath(FSFileSpec(fcb_));
        uint16_t tid; // tables, so that the close has chunk memory to free
        for (int i = 0; i < 3; ++i) ASSERT_EQ(FSMakeTable(fcb_, 4 + i % 2, &tid), 0);
    }
    // A file of the host's (not a scratch file) with a saved version.
    void MakeSavedHostFile() {
        fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
        fcb_->file->bytes[6] &= ~VM_SPEC_TEMPORARY;
    }
    time_t Stamp() const {
        struct stat st;
        return stat(path_.c_str(), &st) == 0 ? st.st_mtime : 0;
    }

    FCB *fcb_ = nullptr;
    std::string path_;
};

TEST_F(CloseTest, AnyKeepButOneDeletesANewScratchFile) {
    for (uint16_t keep : {0, 2}) {
        if (fcb_ == nullptr) {
            ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
        }
        FSFileClose(fcb_, keep);
        fcb_ = nullptr;
        ExpectNothingLeft();
    }
}

// The scratch file stays, its header marked closed with the high byte of
// the state flags and the field at 98 cleared, its stamp put back.
TEST_F(CloseTest, KeepOneKeepsTheScratchFileMarkedClosed) {
    fcb_->h.stateFlags |= 0x4200;
    fcb_->h.reserved98 = 0xDEADBEEF;
    fcb_->h.fileStamp = 1000000000;
    FSFileClose(fcb_, 1);
    const FileHeader h = HeaderOnDisk(path_);
    EXPECT_EQ(+h.stateFlags, STATE_CLOSED_CLEANLY | STATE_DIRTIED);
    EXPECT_EQ(+h.reserved98, 0u);
    EXPECT_EQ(+h.versionFlags, VER_CURRENT);
    EXPECT_EQ(+h.rootTable, 0);
    EXPECT_EQ(Stamp(), 1000000000);
    ExpectNothingLeft(false);
}

// Without keeping, a file with a saved version keeps only that version:
// the space of the others is freed, the free tail cut, and the header
// written closed.
TEST_F(CloseTest, KeepZeroFallsBackToTheSavedVersion) {
    MakeSavedHostFile();
    fcb_->h.versionFlags |= VER_MINI;
    fcb_->h.miniFileSize = 4242;
    fcb_->h.fileStamp = 1100000000;
    uint32_t current, mini, saved;
    ASSERT_EQ(BKAllocSpace(fcb_, 500, VER_CURRENT, &current), 0);
    ASSERT_EQ(BKAllocSpace(fcb_, 300, VER_MINI, &mini), 0);
    ASSERT_EQ(BKAllocSpace(fcb_, 200, VER_SAVED | VER_MINI, &saved), 0);
    ASSERT_LT(mini, saved);
    FSFileClose(fcb_, 0);

    const FileHeader h = HeaderOnDisk(path_);
    EXPECT_EQ(+h.versionFlags, VER_SAVED);
    EXPECT_EQ(h.stateFlags & STATE_CLOSED_CLEANLY, STATE_CLOSED_CLEANLY);
    EXPECT_EQ(+h.miniFileSize, 0u);
    EXPECT_EQ(+h.savedFileSize, +h.fileSize);
    // The runs given up before the saved run are free, but the stored list
    // may not go over them before the header that frees them is durable: it
    // takes the first granule of the free tail, which is cut right after it.
    const uint32_t savedEnd = RoundUp(saved + 200, 6);
    EXPECT_EQ(+h.fileSize, savedEnd + 64);
    EXPECT_EQ(gen::ReadFile(path_).size(), +h.fileSize);
    ASSERT_EQ(+h.savedFreeCount, 1u);
    EXPECT_EQ(+h.savedFreeOffset, savedEnd);
    FreeEntry stored;
    std::memcpy(&stored, gen::ReadFile(path_).data() + h.savedFreeOffset, sizeof stored);
    EXPECT_EQ(stored, (FreeEntry{0, current, saved - current}));
    EXPECT_EQ(Stamp(), 1100000000);
    ExpectNothingLeft(false);
}

// A file of the host's without a saved version is closed without a write:
// its header still shows it open, so the next open reports the crash.
TEST_F(CloseTest, KeepZeroWithoutSavedVersionWritesNothing) {
    fcb_->file->bytes[6] &= ~VM_SPEC_TEMPORARY;
    const gen::Bytes before = gen::ReadFile(path_);
    FSFileClose(fcb_, 0);
    EXPECT_EQ(gen::ReadFile(path_), before);
    ExpectNothingLeft(false);
}

// After a fatal error the file is only closed: not written, not cut, and
// a scratch file not deleted.
TEST_F(CloseTest, NothingIsWrittenAfterAFatalError) {
    for (int round = 0; round < 3; ++round) {
        if (fcb_ == nullptr) {
            ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
        }
        path_ = VMFileSpecPath(FSFileSpec(fcb_));
        if (round < 2) MakeSavedHostFile();
        fcb_->h.stateFlags |= STATE_FATAL;
        const gen::Bytes before = gen::ReadFile(path_);
        const uint32_t writes = VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE);
        FSFileClose(fcb_, round == 0 ? 1 : 0);
        fcb_ = nullptr;
        EXPECT_EQ(VMFaultCount(VM_OP_WRITE) + VMFaultCount(VM_OP_SETSIZE), writes);
        EXPECT_EQ(gen::ReadFile(path_), before);
        ExpectNothingLeft(false);
    }
}

TEST_F(CloseTest, BadFcbIsIgnored) {
    FSFileClose(nullptr, 1);
    FCB copy;
    std::memcpy(&copy, fcb_, sizeof copy);
    copy.h.magic = 0x1234;
    FSFileClose(&copy, 1); // would free the FCB's blocks if it were taken for valid
    FSCloseStep(&copy, 0, true);
    EXPECT_EQ(HeaderOnDisk(path_).stateFlags & STATE_CLOSED_CLEANLY, 0);
    FSFileClose(fcb_, 0);
    ExpectNothingLeft(false);
}

// Without release the FCB stays, with its class table but without file,
// thunk table or free list.
TEST_F(CloseTest, CloseWithoutReleaseKeepsTheFcb) {
    FSCloseStep(fcb_, 1, false);
    EXPECT_EQ(+fcb_->h.magic, FS_MAGIC);
    EXPECT_EQ(fcb_->file, nullptr);
    EXPECT_EQ(fcb_->thunkTable, 0u);
    EXPECT_EQ(fcb_->freeList, 0u);
    VMFree(fcb_->classTable);
    VMFree(fcb_);
    ExpectNothingLeft(false);
}

} // namespace
