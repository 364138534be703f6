// Files: opening, transfers, sizes, stamps, scratch files, copy, rename, and
// what bad records and bad ids get.
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "vm_fixture.h"

namespace {

using Files = VMTest;

uint32_t IdOf(const VMFileSpec &spec) {
    uint32_t id;
    std::memcpy(&id, spec.bytes + 12, 4);
    return id;
}

TEST_F(Files, WriteReadSizeAndReopen) {
    VMFileSpec spec = Spec("a");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    EXPECT_NE(IdOf(spec), 0u);
    EXPECT_EQ(VMFileSize(&spec), 0u);
    ASSERT_EQ(VMWrite(&spec, 10, 5, "hello"), 0);
    EXPECT_EQ(VMFileSize(&spec), 15u);
    char buf[16] = {};
    ASSERT_EQ(VMRead(&spec, 10, 5, buf), 0);
    EXPECT_STREQ(buf, "hello");
    ASSERT_EQ(VMRead(&spec, 0, 10, buf), 0); // the gap reads as zeros
    EXPECT_EQ(std::string(buf, 10), std::string(10, '\0'));
    EXPECT_EQ(VMRead(&spec, 12, 4, buf), VM_E_READ); // past the end
    EXPECT_EQ(VMFlushFile(&spec), 0);
    EXPECT_EQ(VMSetFileSize(&spec, 12), 0);
    EXPECT_EQ(VMFileSize(&spec), 12u);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    EXPECT_EQ(IdOf(spec), 0u);
    EXPECT_EQ(Content("a"), std::string(10, '\0') + "he");

    // Creating a named file again empties it.
    ASSERT_EQ(VMCreateFile(&spec), 0);
    EXPECT_EQ(VMFileSize(&spec), 0u);
    EXPECT_EQ(VMCloseFile(&spec), 0);
}

TEST_F(Files, ReadOnlyOpensRefuseChanges) {
    MakeFile("ro", "content");
    VMFileSpec spec = Spec("ro");
    ASSERT_EQ(VMOpenFile(&spec, 0), 0);
    EXPECT_EQ(VMWrite(&spec, 0, 1, "x"), VM_E_ACCESS);
    EXPECT_EQ(VMSetFileSize(&spec, 0), VM_E_ACCESS);
    VMFileSpec other = Spec("other");
    ASSERT_EQ(VMCreateFile(&other), 0);
    EXPECT_EQ(VMCopyFile(&other, &spec), VM_E_ACCESS);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    EXPECT_EQ(VMCloseFile(&other), 0);
    EXPECT_EQ(Content("ro"), "content");
    EXPECT_EQ(VMOpenFile(&spec, 2), VM_E_BADSPEC);
}

TEST_F(Files, MissingFilesFoldersAndSymlinks) {
    VMFileSpec spec = Spec("absent");
    EXPECT_EQ(VMOpenFile(&spec, 0), VM_E_NOTFOUND);
    VMFileSpec deep = Spec("no/such/folder/file");
    EXPECT_EQ(VMCreateFile(&deep), VM_E_NOTFOUND);
    VMFileSpec folder = Spec("");
    EXPECT_EQ(VMOpenFile(&folder, 0), VM_E_ACCESS); // only regular files open
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    VMFileSpec fifo = Spec("fifo");
    EXPECT_EQ(VMOpenFile(&fifo, 0), VM_E_ACCESS); // and a FIFO does not hang the open
    VMFileSpec dest = Spec("dest");
    ASSERT_EQ(VMCreateFile(&dest), 0);
    EXPECT_EQ(VMCopyFile(&fifo, &dest), VM_E_ACCESS);
    EXPECT_EQ(VMCloseFile(&dest), 0);
    // Creation never writes through a symlink.
    MakeFile("target", "keep me");
    ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
    VMFileSpec link = Spec("link");
    EXPECT_EQ(VMCreateFile(&link), VM_E_ACCESS);
    EXPECT_EQ(Content("target"), "keep me");
}

TEST_F(Files, BadRecordsAndIdsGetStatuses) {
    char buf[4];
    EXPECT_EQ(VMCreateFile(nullptr), VM_E_BADSPEC);
    EXPECT_EQ(VMRead(nullptr, 0, 1, buf), VM_E_BADSPEC);

    // A path that is not zero-terminated within the record.
    VMFileSpec unterminated;
    std::memset(unterminated.bytes, 'a', sizeof unterminated.bytes);
    std::memset(unterminated.bytes + 12, 0, 4);
    EXPECT_EQ(VMCreateFile(&unterminated), VM_E_BADSPEC);
    EXPECT_EQ(VMOpenFile(&unterminated, 0), VM_E_BADSPEC);
    EXPECT_STREQ(VMFileSpecPath(&unterminated), "");
    VMFileSpec empty = {};
    EXPECT_EQ(VMOpenFile(&empty, 0), VM_E_BADSPEC);
    std::string tooLong(VM_MAX_PATH + 1, 'x');
    EXPECT_EQ(VMMakeFileSpec(tooLong.c_str(), 0, &empty), VM_E_BADSPEC);

    // A record copied while open names the same file; once closed, every
    // copy is refused, and so is a forged id.
    VMFileSpec spec = Spec("f");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    VMFileSpec copy = spec;
    ASSERT_EQ(VMWrite(&copy, 0, 3, "abc"), 0);
    EXPECT_EQ(VMFileSize(&spec), 3u);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    EXPECT_EQ(VMCloseFile(&spec), VM_E_BADFILE);
    EXPECT_EQ(VMRead(&copy, 0, 3, buf), VM_E_BADFILE);
    EXPECT_EQ(VMWrite(&copy, 0, 3, "abc"), VM_E_BADFILE);
    EXPECT_EQ(VMFileSize(&copy), 0u);
    EXPECT_EQ(VMCloseDeleteFile(&copy), VM_E_BADFILE);
    for (uint32_t forged : {0xFFFFFFFFu, 0x00010001u, 0x12345678u}) {
        std::memcpy(copy.bytes + 12, &forged, 4);
        EXPECT_EQ(VMRead(&copy, 0, 1, buf), VM_E_BADFILE);
    }
    EXPECT_EQ(Content("f"), "abc"); // the closed copy deleted nothing
}

TEST_F(Files, TransfersPast4GiBAreRefused) {
    VMFileSpec spec = Spec("r");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    char buf[8] = {};
    EXPECT_EQ(VMWrite(&spec, 0xFFFFFFFC, 8, buf), VM_E_RANGE);
    EXPECT_EQ(VMRead(&spec, 0xFFFFFFFF, 2, buf), VM_E_RANGE);
    EXPECT_EQ(VMWrite(&spec, 0, 0, nullptr), 0); // nothing to move
    EXPECT_EQ(VMWrite(&spec, 0, 1, nullptr), VM_E_BADSPEC);
    EXPECT_EQ(VMFileSize(&spec), 0u);
    EXPECT_EQ(VMCloseFile(&spec), 0);
}

TEST_F(Files, StampsAreModificationSeconds) {
    VMFileSpec spec = Spec("t");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    ASSERT_EQ(VMSetFileTime(&spec, 1000000000u), 0);
    uint32_t stamp = 0;
    ASSERT_EQ(VMGetFileTime(&spec, &stamp), 0);
    EXPECT_EQ(stamp, 1000000000u);
    EXPECT_EQ(VMGetFileTime(&spec, nullptr), VM_E_BADSPEC);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    struct stat st;
    ASSERT_EQ(stat(Path("t").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
}

TEST_F(Files, ScratchFilesAreUniquePrivateAndDeletedOnRequest) {
    VMFileSpec folder = Spec("");
    VMFileSpec a = folder, b = folder;
    ASSERT_EQ(VMCreateFile(&a), 0);
    ASSERT_EQ(VMCreateFile(&b), 0);
    std::string pa = VMFileSpecPath(&a), pb = VMFileSpecPath(&b);
    EXPECT_NE(pa, pb);
    EXPECT_EQ(pa.rfind(dir + "/", 0), 0u);
    for (const std::string &p : {pa, pb}) {
        struct stat st;
        ASSERT_EQ(lstat(p.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    ASSERT_EQ(VMWrite(&a, 0, 2, "hi"), 0);
    EXPECT_EQ(VMCloseDeleteFile(&a), 0);
    EXPECT_NE(access(pa.c_str(), F_OK), 0);
    EXPECT_EQ(VMCloseFile(&b), 0);
    EXPECT_EQ(access(pb.c_str(), F_OK), 0);

    // A folder whose scratch name would not fit the record is refused.
    std::string longDir = dir + "/" + std::string(VM_MAX_PATH - dir.size() - 5, 'd');
    ASSERT_EQ(mkdir(longDir.c_str(), 0700), 0);
    VMFileSpec tight;
    ASSERT_EQ(VMMakeFileSpec(longDir.c_str(), 0, &tight), 0);
    EXPECT_EQ(VMCreateFile(&tight), VM_E_BADSPEC);
}

TEST_F(Files, DeleteRemovesOnlyTheFileThatWasOpened) {
    VMFileSpec spec = Spec("d");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    // Someone else replaced the file under that name meanwhile.
    ASSERT_EQ(rename(Path("d").c_str(), Path("moved").c_str()), 0);
    MakeFile("d", "newcomer");
    EXPECT_EQ(VMCloseDeleteFile(&spec), 0);
    EXPECT_EQ(Content("d"), "newcomer");
}

TEST_F(Files, CopyGivesTheDestinationTheSourcesContentAndLength) {
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 13);
    VMFileSpec source = MakeFile("src", big);
    VMFileSpec dest = Spec("dst");
    ASSERT_EQ(VMCreateFile(&dest), 0);
    std::string longer(300000, 'z');
    ASSERT_EQ(VMWrite(&dest, 0, static_cast<uint32_t>(longer.size()), longer.data()), 0);
    ASSERT_EQ(VMCopyFile(&source, &dest), 0);
    EXPECT_EQ(VMFileSize(&dest), big.size());
    EXPECT_EQ(VMCloseFile(&dest), 0);
    EXPECT_EQ(Content("dst"), big);
    VMFileSpec missing = Spec("missing");
    ASSERT_EQ(VMOpenFile(&dest, 1), 0);
    EXPECT_EQ(VMCopyFile(&missing, &dest), VM_E_NOTFOUND);
    EXPECT_EQ(VMCloseFile(&dest), 0);
}

TEST_F(Files, RenameReplacesTheTargetAndKeepsTheFileOpen) {
    MakeFile("old", "old content");
    VMFileSpec spec = Spec("new");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    ASSERT_EQ(VMWrite(&spec, 0, 3, "new"), 0);
    VMFileSpec target = Spec("old");
    ASSERT_EQ(VMRenameFile(&spec, &target), 0);
    EXPECT_STREQ(VMFileSpecPath(&spec), Path("old").c_str());
    ASSERT_EQ(VMWrite(&spec, 3, 4, "more"), 0); // still open
    EXPECT_NE(VMSameFile(&spec, &target), 0);
    EXPECT_EQ(VMCloseDeleteFile(&spec), 0); // deletes under its new name
    EXPECT_NE(access(Path("old").c_str(), F_OK), 0);
    EXPECT_NE(access(Path("new").c_str(), F_OK), 0);
}

TEST_F(Files, SameFileComparesDeviceAndInode) {
    VMFileSpec a = MakeFile("a", "x");
    VMFileSpec b = MakeFile("b", "x");
    ASSERT_EQ(link(Path("a").c_str(), Path("hard").c_str()), 0);
    VMFileSpec hard = Spec("hard");
    VMFileSpec indirect = Spec("sub/../a");
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
    EXPECT_NE(VMSameFile(&a, &hard), 0);
    EXPECT_NE(VMSameFile(&a, &indirect), 0);
    EXPECT_EQ(VMSameFile(&a, &b), 0);
    VMFileSpec absent = Spec("absent");
    EXPECT_EQ(VMSameFile(&absent, &absent), 0);
    // An open record is compared by its open file, even after its name moved.
    ASSERT_EQ(VMOpenFile(&a, 0), 0);
    ASSERT_EQ(rename(Path("a").c_str(), Path("c").c_str()), 0);
    EXPECT_NE(VMSameFile(&a, &hard), 0);
    EXPECT_EQ(VMCloseFile(&a), 0);
}

// Texts are cut to the buffer; a code of the storage library is not ours.
TEST_F(Files, StatusTextsAreCutToTheBuffer) {
    char buf[128] = "old";
    EXPECT_EQ(VMErrorStr(20519, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "old");
    EXPECT_EQ(VMErrorStr(VM_E_DISKFULL, buf, 5), 1);
    EXPECT_STREQ(buf, "The ");
}

// Threads working on different files at the same time.
TEST_F(Files, ThreadsUseTheirOwnFiles) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            VMFileSpec spec = Spec("t" + std::to_string(t));
            if (VMCreateFile(&spec) != 0) {
                failures[t]++;
                return;
            }
            for (uint32_t i = 0; i < 200; i++) {
                uint32_t value = i * 4 + static_cast<uint32_t>(t), back = 0;
                if (VMWrite(&spec, i * 4, 4, &value) != 0 || VMRead(&spec, i * 4, 4, &back) != 0 ||
                    back != value)
                    failures[t]++;
            }
            if (VMFileSize(&spec) != 800 || VMCloseDeleteFile(&spec) != 0) failures[t]++;
        });
    }
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < 4; t++) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

} // namespace
