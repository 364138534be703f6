// The services layer below the library: fault injection and the crash
// simulator that every other test relies on, the stream split, sharing
// between processes, and what bad records, ranges and handles get.
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <zunvm/zunvm.h>

#include "common/scratch_fcb.h"

namespace {

class VM : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override { VMFaultReset(), dir = MakeScratchFolder(); }
    void TearDown() override { VMFaultReset(), RemoveScratchFolder(dir); }
    std::string Path(const std::string &name) const { return dir + "/" + name; }
    VMFileSpec Spec(const std::string &name) const {
        VMFileSpec spec;
        EXPECT_EQ(VMMakeFileSpec(Path(name).c_str(), 0, &spec), 0);
        return spec;
    }
    // The named file with this content, left open read-write when open.
    VMFileSpec MakeFile(const std::string &name, const std::string &content, bool open = false) {
        VMFileSpec spec = Spec(name);
        EXPECT_TRUE(VMCreateFile(&spec) == 0 && VMWrite(&spec, 0, static_cast<uint32_t>(content.size()), content.data()) == 0);
        EXPECT_TRUE(VMCloseFile(&spec) == 0 && (!open || VMOpenFile(&spec, 1) == 0));
        return spec;
    }
    std::string Content(const std::string &name) {
        VMFileSpec spec = Spec(name);
        if (VMOpenFile(&spec, 0) != 0) return "<missing>";
        std::string s(VMFileSize(&spec), '\0');
        EXPECT_EQ(VMRead(&spec, 0, static_cast<uint32_t>(s.size()), s.data()), 0);
        VMCloseFile(&spec);
        return s;
    }
};

TEST_F(VM, FaultsFailFromTheNthCallForGoodOrOnceAndChangeNothing) {
    VMFileSpec spec = MakeFile("f", "ab", true), source = MakeFile("src", "xyz");
    VMFaultFail(VM_OP_WRITE, 1, VM_E_DISKFULL); // n counts from the arming
    EXPECT_EQ(VMWrite(&spec, 2, 1, "c"), 0);
    for (int i = 0; i < 2; i++) EXPECT_EQ(VMWrite(&spec, 3, 1, "d"), VM_E_DISKFULL);
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), 5u); // counted since the reset
    VMFaultFailOnce(VM_OP_READ, 1, 0); // 0: the operation's own failure
    char buf[4];
    EXPECT_TRUE(VMRead(&spec, 0, 1, buf) == 0 && VMRead(&spec, 0, 1, buf) == VM_E_READ && VMRead(&spec, 0, 1, buf) == 0);
    const FSStatus kInjected = 4242;
    VMFaultFail(VM_OP_SETSIZE, 0, kInjected);
    VMFaultFail(VM_OP_WRITE, 0, kInjected);
    // A copy is a write.
    EXPECT_TRUE(VMSetFileSize(&spec, 0) == kInjected && VMCopyFile(&source, &spec) == kInjected);
    VMFaultFail(VM_OP_FLUSH, 0, kInjected);
    EXPECT_TRUE(VMFlushFile(&spec) == kInjected && VMCloseFile(&spec) == 0);
    VMFileSpec fresh = Spec("new");
    VMFaultFail(VM_OP_CREATE, 0, kInjected);
    EXPECT_EQ(VMCreateFile(&fresh), kInjected);
    VMFaultFail(VM_OP_OPEN, 0, kInjected);
    EXPECT_EQ(VMOpenFile(&spec, 0), kInjected);
    VMFaultReset();
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), 0u);
    EXPECT_TRUE(Content("f") == "abc" && Content("new") == "<missing>");

    // Growth of a block fails and leaves it as it was; shrinking needs no memory.
    VMFaultFail(VM_OP_ALLOC, 0, 0);
    EXPECT_EQ(VMAlloc(10), nullptr);
    HGLOBAL a = GlobalAlloc(GMEM_MOVEABLE, 16), h = a;
    *static_cast<char *>(GlobalLock(a)) = 'k';
    GlobalUnlock(a);
    VMFaultFail(VM_OP_GALLOC, 0, 0);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 16), 0u);
    EXPECT_TRUE(VMRealloc(&h, 1000) == VM_E_NOMEM && *static_cast<char *>(GlobalLock(a)) == 'k' && VMRealloc(&h, 8) == 0);
    GlobalFree(a);
}

TEST_F(VM, InOrderCrashKeepsTheWritesBeforeTheCrashPointAndNothingAfter) {
    VMFileSpec spec = MakeFile("f", "AAAAAAAAAA", true), source = MakeFile("src", "source");
    VMFaultCrashAfter(2, 0);
    EXPECT_TRUE(VMWrite(&spec, 0, 1, "B") == 0 && VMFaultCrashed() == 0 && VMWrite(&spec, 1, 1, "C") == 0);
    EXPECT_NE(VMFaultCrashed(), 0);
    // After the crash point everything reports success and nothing changes.
    VMFileSpec target = Spec("renamed");
    EXPECT_TRUE(VMWrite(&spec, 2, 1, "D") == 0 && VMSetFileSize(&spec, 1) == 0 && VMCopyFile(&source, &spec) == 0);
    // The creation does not empty the file.
    EXPECT_TRUE(VMRenameFile(&spec, &target) == 0 && VMCloseDeleteFile(&spec) == 0 && VMCreateFile(&source) == 0);
    VMFaultReset();
    EXPECT_TRUE(Content("f") == "BCAAAAAAAA" && Content("renamed") == "<missing>" && Content("src") == "source");
}

// With a reordering cache, per file the flushed writes and the newest write
// survive, sizes included; older unflushed writes and failed flushes do not.
TEST_F(VM, ReorderingCrashKeepsFlushedAndNewestWritesOnly) {
    VMFileSpec a = MakeFile("a", "0000000000", true), b = MakeFile("b", "0000000000", true), c = MakeFile("c", "abc", true);
    VMFaultCrashAfter(8, 1); // sizes and flushes are not counted
    ASSERT_TRUE(VMWrite(&a, 0, 1, "1") == 0 && VMWrite(&a, 5, 1, "2") == 0 && VMFlushFile(&a) == 0);
    ASSERT_TRUE(VMWrite(&a, 1, 1, "3") == 0 && VMWrite(&a, 9, 1, "4") == 0 && VMWrite(&b, 0, 1, "5") == 0);
    VMFaultFailOnce(VM_OP_FLUSH, 0, VM_E_DISKFULL);
    EXPECT_TRUE(VMFlushFile(&b) == VM_E_DISKFULL && VMWrite(&b, 1, 1, "6") == 0);
    ASSERT_TRUE(VMWrite(&c, 0, 6, "XXXXXX") == 0 && VMSetFileSize(&c, 2) == 0 && VMFaultCrashed() == 0);
    ASSERT_TRUE(VMWrite(&c, 4, 1, "Z") == 0 && VMFaultCrashed() != 0 && VMWrite(&a, 2, 1, "7") == 0);
    for (VMFileSpec *s : {&a, &b, &c}) EXPECT_EQ(VMCloseFile(s), 0);
    VMFaultReset();
    EXPECT_EQ(Content("a") + Content("b") + Content("c"), std::string("10000200040600000000abc\0Z", 25));
}

// The fake stream table keeps one stream's bytes and the size of each call.
struct FakeFile {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> calls;
};
FakeFile &File(VMStreamContext *s) { return *static_cast<FakeFile *>(s->fcb); }
FSStatus Bind(VMStreamContext *s, const VMBindParams *p) { return s->fcb = p->fcb, s->tid = p->tid, 0; }
FSStatus Open(VMStreamContext *, uint32_t mode) { return mode > 1 ? VM_E_STREAMMODE : 0; }
FSStatus Create(VMStreamContext *s) { return s->tid = 1, 0; }
FSStatus None(VMStreamContext *) { return 0; }
void Close(VMStreamContext *) {}
FSStatus Read(VMStreamContext *s, uint32_t at, uint16_t n, void *dest) {
    File(s).calls.push_back(n);
    if (uint64_t{at} + n > File(s).bytes.size()) return 20515;
    if (n != 0) std::memcpy(dest, File(s).bytes.data() + at, n);
    return 0;
}
FSStatus Write(VMStreamContext *s, uint32_t at, uint16_t n, const void *source) {
    File(s).calls.push_back(n);
    if (at + n > File(s).bytes.size()) File(s).bytes.resize(at + n);
    std::memcpy(File(s).bytes.data() + at, source, n);
    return 0;
}
FSStatus SetSize(VMStreamContext *s, uint32_t size) { return File(s).bytes.resize(size), 0; }
uint32_t GetSize(VMStreamContext *s) { return static_cast<uint32_t>(File(s).bytes.size()); }
int32_t SameTable(VMStreamContext *s, VMStreamContext *t) { return s->fcb == t->fcb && s->tid == t->tid; }
const VMSFMTable kFake = {Bind, Create, Open, None, Close, Read, Write, None, SetSize, GetSize, SameTable};

TEST(Streams, TransfersAreSplitIntoCallsOf65535BytesAtMost) {
    FakeFile file;
    VMStream *stream = nullptr;
    uint16_t registration = 0;
    EXPECT_EQ(VMStreamCreate(&file, 1, &stream), VM_E_BADSPEC); // nothing registered
    ASSERT_TRUE(VMInstallSFM(&kFake, &registration) == 0 && VMStreamCreate(&file, 1, &stream) == 0);
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 31 + 7);
    ASSERT_EQ(VMStreamWrite(stream, 0, static_cast<uint32_t>(data.size()), data.data()), 0);
    EXPECT_TRUE(file.calls == (std::vector<uint32_t>{65535, 65535, 65535, 3395}) && file.bytes == data);
    file.calls.clear();
    std::vector<uint8_t> back(140000);
    ASSERT_EQ(VMStreamRead(stream, 50000, 140000, back.data()), 0);
    EXPECT_EQ(file.calls, (std::vector<uint32_t>{65535, 65535, 8930}));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 50000));
    EXPECT_EQ(VMStreamRead(stream, 150000, 100000, back.data()), 20515); // the callback's status
    file.calls.clear();
    EXPECT_TRUE(VMStreamRead(stream, 0xFFFFFFF0u, 0x20, back.data()) == VM_E_RANGE && VMStreamWrite(stream, 0, 5, nullptr) == VM_E_BADSPEC);
    EXPECT_TRUE(file.calls.empty());
    VMStreamClose(stream);
    EXPECT_TRUE(VMStreamOpen(&file, 1, 2, &stream) == VM_E_STREAMMODE && stream == nullptr);
    EXPECT_TRUE(VMUninstallSFM(registration) == 0 && VMUninstallSFM(registration) == VM_E_BADSPEC);
}

// Another process holding the file read-write turns our read-write opens,
// creations and replacements into VM_E_SHARING; our own open file is one
// writer, which a rename may replace.
TEST_F(VM, TwoWritersNeverShareAFile) {
    VMFileSpec file = MakeFile("shared", "precious");
    int ready[2], go[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
    pid_t pid = fork();
    if (pid == 0) {
        VMFileSpec spec = file;
        char c = VMOpenFile(&spec, 1) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(go[0], &c, 1);
        _exit(0);
    }
    char c = 'n';
    ASSERT_TRUE(pid > 0 && read(ready[0], &c, 1) == 1 && c == 'y');
    VMFileSpec spec = file, other = MakeFile("other", "x", true);
    EXPECT_TRUE(VMOpenFile(&spec, 1) == VM_E_SHARING && VMCreateFile(&spec) == VM_E_SHARING);
    EXPECT_EQ(VMRenameFile(&other, &file), VM_E_SHARING);
    EXPECT_EQ(Content("shared"), "precious"); // read-only opens still work
    (void)!write(go[1], "x", 1);
    waitpid(pid, nullptr, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);

    VMFileSpec second = file;
    ASSERT_EQ(VMOpenFile(&spec, 1), 0);
    EXPECT_TRUE(VMOpenFile(&second, 1) == VM_E_SHARING && VMRenameFile(&other, &file) == 0);
    EXPECT_TRUE(VMCloseFile(&spec) == 0 && VMCloseFile(&other) == 0 && Content("shared") == "x");
}

TEST_F(VM, BadRecordsRangesAndFilesAreRefused) {
    char buf[8] = {};
    EXPECT_EQ(VMCreateFile(nullptr), VM_E_BADSPEC);
    VMFileSpec unterminated;
    std::memset(unterminated.bytes, 'a', sizeof unterminated.bytes);
    std::memset(unterminated.bytes + 12, 0, 4);
    EXPECT_EQ(VMOpenFile(&unterminated, 0), VM_E_BADSPEC);
    EXPECT_STREQ(VMFileSpecPath(&unterminated), "");
    EXPECT_EQ(VMMakeFileSpec(std::string(VM_MAX_PATH + 1, 'x').c_str(), 0, &unterminated), VM_E_BADSPEC);

    VMFileSpec spec = MakeFile("f", "abc", true), copy = spec;
    EXPECT_TRUE(VMWrite(&spec, 0xFFFFFFFC, 8, buf) == VM_E_RANGE && VMRead(&spec, 0xFFFFFFFF, 2, buf) == VM_E_RANGE);
    EXPECT_TRUE(VMRead(&spec, 2, 4, buf) == VM_E_READ && VMWrite(&spec, 0, 1, nullptr) == VM_E_BADSPEC);
    EXPECT_EQ(VMOpenFile(&spec, 2), VM_E_BADSPEC);
    // Once closed, every copy of the record is refused, and so is a forged id.
    EXPECT_EQ(VMCloseFile(&spec), 0);
    EXPECT_TRUE(VMWrite(&copy, 0, 3, "xyz") == VM_E_BADFILE && VMCloseDeleteFile(&copy) == VM_E_BADFILE);
    for (uint32_t forged : {0xFFFFFFFFu, 0x00010001u, 0x12345678u}) {
        std::memcpy(copy.bytes + 12, &forged, 4);
        EXPECT_EQ(VMRead(&copy, 0, 1, buf), VM_E_BADFILE);
    }
    EXPECT_EQ(Content("f"), "abc");

    // Only regular files open (a FIFO does not hang); creation never writes
    // through a symlink; a delete removes only the file that was opened.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    VMFileSpec fifo = Spec("fifo"), folder = Spec(""), link = Spec("link");
    EXPECT_TRUE(VMOpenFile(&fifo, 0) == VM_E_ACCESS && VMOpenFile(&folder, 0) == VM_E_ACCESS);
    ASSERT_EQ(symlink(Path("f").c_str(), Path("link").c_str()), 0);
    EXPECT_TRUE(VMCreateFile(&link) == VM_E_ACCESS && Content("f") == "abc");
    spec = MakeFile("d", "", true);
    ASSERT_EQ(rename(Path("d").c_str(), Path("moved").c_str()), 0);
    MakeFile("d", "newcomer");
    EXPECT_TRUE(VMCloseDeleteFile(&spec) == 0 && Content("d") == "newcomer");
    // Scratch files are private; a folder whose scratch name would not fit is refused.
    ASSERT_EQ(VMCreateFile(&folder), 0);
    struct stat st;
    ASSERT_EQ(lstat(VMFileSpecPath(&folder), &st), 0);
    EXPECT_TRUE((st.st_mode & 0777) == 0600u && VMCloseDeleteFile(&folder) == 0);
    std::string longDir = dir + "/" + std::string(VM_MAX_PATH - dir.size() - 5, 'd');
    ASSERT_EQ(mkdir(longDir.c_str(), 0700), 0);
    ASSERT_EQ(VMMakeFileSpec(longDir.c_str(), 0, &folder), 0);
    EXPECT_EQ(VMCreateFile(&folder), VM_E_BADSPEC);
}

TEST(MovableMemory, StaleForgedAndNullHandlesAreRefused) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 32);
    ASSERT_EQ(GlobalFree(h), 0u);
    std::vector<HGLOBAL> others;
    for (int i = 0; i < 100; i++) others.push_back(GlobalAlloc(GMEM_MOVEABLE, 8));
    for (HGLOBAL bad : {h, HGLOBAL{0}, HGLOBAL{0x001FFFFF}, h & 0x000FFFFFu}) {
        HGLOBAL copy = bad;
        EXPECT_TRUE(GlobalLock(bad) == nullptr && GlobalFlags(bad) == GMEM_INVALID_HANDLE &&
                    GlobalReAlloc(bad, 10, 0) == 0 && VMRealloc(&copy, 10) == VM_E_BADSPEC && GlobalFree(bad) == bad);
    }
    for (HGLOBAL o : others) EXPECT_EQ(GlobalFree(o), 0u);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 0xFFFFFFFFu), 0u); // does not fit once rounded
}

} // namespace
