// FSIsFileWriteable and FSFileInfo: the open's file check without opening
// the file for work.
#include <sys/stat.h>
#include <utime.h>

#include "common/doc_fixture.h"
#include "common/gen_foreign.h"
#include "common/gen_old.h"

namespace {

class FileInfoTest : public DocFileTest {
protected:
    struct Info {
        FSStatus status;
        uint32_t foreign = 77, convert = 77, writable = 77;
        uint16_t app = 77;
        bool operator==(const Info &) const = default;
    };
    Info Ask() {
        Info i{};
        i.foreign = i.convert = i.writable = i.app = 77;
        i.status = FSFileInfo(&spec_, &ctx_, &i.foreign, &i.convert, &i.writable, &i.app);
        return i;
    }
    int32_t Writeable(uint32_t *foreign = nullptr) { return FSIsFileWriteable(&spec_, &ctx_, foreign); }
};

TEST_F(FileInfoTest, OwnFileIsWriteable) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    uint32_t foreign = 9;
    EXPECT_EQ(Writeable(&foreign), 1);
    EXPECT_EQ(foreign, 0u);
    EXPECT_TRUE(Ask() == (Info{0, 0, 0, 1, 0x0100}));
    // A file held open read-write elsewhere can only be read.
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(Writeable(), 0);
    EXPECT_TRUE(Ask() == (Info{0, 0, 0, 0, 0x0100}));
    // One of an older application version needs converting.
    FSFileClose(fcb_, 1);
    fcb_ = nullptr;
    ctx_.appVersion = 0x0300;
    EXPECT_EQ(Writeable(), 0);
    EXPECT_EQ(Ask().convert, 1u);
}

TEST_F(FileInfoTest, ForeignAndOldFilesAreRecognised) {
    gen::NativeSpec s;
    s.classes = {{8, 64, 4, 0x08, 4, 6, 1}};
    s.tables = {{4, gen::PatternRecords(5, 8, 1), false, {}, false}};
    s.saved = gen::VersionSpec{{0}, false, {}};
    s.fileType = 0x4443;
    gen::WriteFile(path_, gen::BuildForeign(s).bytes);
    uint32_t foreign = 0;
    EXPECT_EQ(Writeable(&foreign), 1);
    EXPECT_EQ(foreign, 1u);
    // The version as stored: 0x0100 written most significant byte first.
    EXPECT_TRUE(Ask() == (Info{0, 1, 0, 1, 0x0001}));

    gen::OldSpec old;
    old.classes = gen::OldDefaultClasses({{0, 4, 6, 8, 64, 7, 1}});
    old.tables = {{false, 4, false, {gen::PatternRecords(3, 8, 1)}, -1, 5, 1}};
    gen::WriteFile(path_, gen::BuildOld(old).bytes);
    ctx_.fileType = 0;
    ctx_.appVersion = 0;
    EXPECT_EQ(Writeable(&foreign), 0);
    EXPECT_EQ(foreign, 0u);
    EXPECT_EQ(Ask().convert, 1u);
}

// A failed check still tells what it found out; foreign and the version
// are told only on success.
TEST_F(FileInfoTest, FailedCheckTellsWhatItReached) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    gen::Bytes b = gen::ReadFile(path_);
    gen::Put16(b, 6, 0x1234);
    gen::WriteFile(path_, b);
    uint32_t foreign = 9;
    EXPECT_EQ(Writeable(&foreign), 0);
    EXPECT_EQ(foreign, 0u);
    EXPECT_TRUE(Ask() == (Info{FS_E_BAD_FORMAT, 77, 0, 1, 77}));
    EXPECT_EQ(FSFileInfo(nullptr, &ctx_, nullptr, nullptr, nullptr, nullptr), FS_E_BAD_PARAMS);
    EXPECT_EQ(FSIsFileWriteable(&spec_, nullptr, nullptr), 0);
    VMFileSpec missing;
    ASSERT_EQ(VMMakeFileSpec((folder_ + "/none").c_str(), 0, &missing), 0);
    EXPECT_EQ(FSFileInfo(&missing, &ctx_, nullptr, nullptr, nullptr, nullptr), VM_E_NOTFOUND);
}

TEST_F(FileInfoTest, TheFileKeepsItsStamp) {
    ASSERT_NO_FATAL_FAILURE(MakeSavedFile());
    struct utimbuf times{1200000000, 1200000000};
    ASSERT_EQ(utime(path_.c_str(), &times), 0);
    EXPECT_EQ(Ask().status, 0);
    EXPECT_EQ(Writeable(), 1);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1200000000);
}

} // namespace
