// Closing files: keeping, deleting, falling back to the saved version, and
// writing nothing after a fatal error.
#include <sys/stat.h>

#include "blocks/space.h"
#include "create/create_fixture.h"
#include "platform/census.h"
#include "session/close.h"

namespace {

class CloseTest : public CreateTest {
protected:
    void SetUp() override {
        CreateTest::SetUp();
        globals_ = zun::LiveGlobalBlocks();
        controls_ = zun::LiveControlBlocks();
        ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
        path_ = VMFileSpecPath(FSFileSpec(fcb_));
        // Some tables with records in memory, so that the close has chunk
        // memory to free.
        for (int i = 0; i < 3; ++i) ASSERT_EQ(FSMakeTable(fcb_, 4 + i % 2, &tid_), 0);
    }
    // Everything the FCB held is freed.
    void ExpectNothingHeld() {
        EXPECT_EQ(zun::LiveGlobalBlocks(), globals_);
        EXPECT_EQ(zun::LiveControlBlocks(), controls_);
    }
    // Gives the file a saved version and makes it a file of the host's
    // (not temporary), as opening a saved file would.
    void MakeSavedHostFile() {
        fcb_->h.versionFlags = VER_CURRENT | VER_SAVED;
        fcb_->file->bytes[6] &= ~VM_SPEC_TEMPORARY;
    }

    FCB *fcb_ = nullptr;
    std::string path_;
    uint16_t tid_ = TID_NONE;
    uint32_t globals_ = 0, controls_ = 0;
};

TEST_F(CloseTest, KeepZeroDeletesANewScratchFile) {
    FSFileClose(fcb_, 0);
    EXPECT_FALSE(std::filesystem::exists(path_));
    ExpectNothingHeld();
}

TEST_F(CloseTest, KeepOneKeepsTheScratchFileMarkedClosed) {
    fcb_->h.stateFlags |= 0x4200; // high byte: cleared by every close
    fcb_->h.reserved98 = 0xDEADBEEF;
    FSFileClose(fcb_, 1);
    ASSERT_TRUE(std::filesystem::exists(path_));
    const FileHeader h = HeaderOnDisk(path_);
    EXPECT_EQ(+h.magic, FS_MAGIC);
    EXPECT_EQ(+h.stateFlags, STATE_CLOSED_CLEANLY | STATE_DIRTIED);
    EXPECT_EQ(+h.reserved98, 0u);
    EXPECT_EQ(+h.versionFlags, VER_CURRENT);
    EXPECT_EQ(+h.rootTable, 0);
    ExpectNothingHeld();
}

TEST_F(CloseTest, KeepOnePutsTheFileStampBack) {
    fcb_->h.fileStamp = 1000000000;
    FSFileClose(fcb_, 1);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
}

TEST_F(CloseTest, AnyOtherKeepGivesUpTheScratchFile) {
    FSFileClose(fcb_, 2);
    EXPECT_FALSE(std::filesystem::exists(path_));
}

// Without keeping, a file with a saved version keeps only that version:
// space of the current and mini-saved versions is freed and the free tail
// cut, and the header is written closed with the saved version alone.
TEST_F(CloseTest, KeepZeroFallsBackToTheSavedVersion) {
    MakeSavedHostFile();
    fcb_->h.versionFlags |= VER_MINI;
    fcb_->h.miniFileSize = 4242;
    fcb_->h.fileStamp = 1100000000;
    const uint32_t savedEnd = fcb_->h.fileSize;
    uint32_t current, mini, saved;
    ASSERT_EQ(BKAllocSpace(fcb_, 500, VER_CURRENT, &current), 0);
    ASSERT_EQ(BKAllocSpace(fcb_, 300, VER_MINI, &mini), 0);
    ASSERT_EQ(BKAllocSpace(fcb_, 200, VER_SAVED | VER_MINI, &saved), 0);
    ASSERT_GT(+fcb_->h.fileSize, savedEnd);

    FSFileClose(fcb_, 0);
    ASSERT_TRUE(std::filesystem::exists(path_));
    const FileHeader h = HeaderOnDisk(path_);
    EXPECT_EQ(+h.versionFlags, VER_SAVED);
    EXPECT_EQ(+h.stateFlags & STATE_CLOSED_CLEANLY, STATE_CLOSED_CLEANLY);
    EXPECT_EQ(+h.miniFileSize, 0u);
    EXPECT_EQ(+h.savedFileSize, +h.fileSize);
    // The saved run is the last space in use: the free tail after it is cut.
    EXPECT_EQ(+h.fileSize, RoundUp(saved + 200, 6));
    EXPECT_EQ(FileBytes(path_).size(), +h.fileSize);
    // The runs given up before it are free; the stored list took the
    // first granule of them and lists the rest.
    ASSERT_EQ(+h.savedFreeCount, 1u);
    EXPECT_EQ(+h.savedFreeOffset, current);
    FreeEntry stored;
    std::memcpy(&stored, FileBytes(path_).data() + h.savedFreeOffset, sizeof stored);
    EXPECT_EQ(+stored.owners, 0);
    EXPECT_EQ(+stored.pos, current + 64);
    EXPECT_EQ(+stored.pos + stored.len, saved);
    EXPECT_LT(mini, saved);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1100000000);
    ExpectNothingHeld();
}

// A file of the host's without a saved version is closed without a write:
// its header still shows it open, so the next open reports the crash.
TEST_F(CloseTest, KeepZeroWithoutSavedVersionWritesNothing) {
    fcb_->file->bytes[6] &= ~VM_SPEC_TEMPORARY;
    const std::vector<uint8_t> before = FileBytes(path_);
    FSFileClose(fcb_, 0);
    EXPECT_EQ(FileBytes(path_), before);
    ExpectNothingHeld();
}

TEST_F(CloseTest, NothingIsWrittenAfterAFatalError) {
    for (uint16_t keep : {uint16_t{1}, uint16_t{0}}) {
        SCOPED_TRACE(keep);
        if (fcb_ == nullptr) {
            ASSERT_EQ(FSCreate(&ctx_, &fcb_), 0);
            path_ = VMFileSpecPath(FSFileSpec(fcb_));
        }
        MakeSavedHostFile();
        fcb_->h.stateFlags |= STATE_FATAL;
        const std::vector<uint8_t> before = FileBytes(path_);
        const uint32_t writes = VMFaultCount(VM_OP_WRITE), sizes = VMFaultCount(VM_OP_SETSIZE);
        FSFileClose(fcb_, keep);
        fcb_ = nullptr;
        EXPECT_EQ(VMFaultCount(VM_OP_WRITE), writes);
        EXPECT_EQ(VMFaultCount(VM_OP_SETSIZE), sizes);
        EXPECT_EQ(FileBytes(path_), before);
        EXPECT_EQ(HeaderOnDisk(path_).stateFlags & STATE_CLOSED_CLEANLY, 0);
        ExpectNothingHeld();
    }
}

TEST_F(CloseTest, AScratchFileIsNotDeletedAfterAFatalError) {
    fcb_->h.stateFlags |= STATE_FATAL;
    FSFileClose(fcb_, 0);
    EXPECT_TRUE(std::filesystem::exists(path_));
}

TEST_F(CloseTest, BadFcbIsIgnored) {
    FSFileClose(nullptr, 1);
    FCB copy;
    std::memcpy(&copy, fcb_, sizeof copy);
    copy.h.magic = 0x1234;
    FSFileClose(&copy, 1); // would free fcb_'s blocks if it were taken for valid
    FSCloseStep(&copy, 0, true);
    EXPECT_EQ(HeaderOnDisk(path_).stateFlags & STATE_CLOSED_CLEANLY, 0);
    FSFileClose(fcb_, 0);
    EXPECT_FALSE(std::filesystem::exists(path_));
    ExpectNothingHeld();
}

// Without release the FCB stays, holding neither file, thunks nor free
// list; its class table is still there.
TEST_F(CloseTest, CloseWithoutReleaseKeepsTheFcb) {
    FSCloseStep(fcb_, 1, false);
    EXPECT_EQ(+fcb_->h.magic, FS_MAGIC);
    EXPECT_EQ(fcb_->file, nullptr);
    EXPECT_EQ(fcb_->thunkTable, 0u);
    EXPECT_EQ(fcb_->freeList, 0u);
    EXPECT_NE(fcb_->classTable, nullptr);
    VMFree(fcb_->classTable);
    VMFree(fcb_);
    ExpectNothingHeld();
}

} // namespace
