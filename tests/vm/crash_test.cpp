// Crash simulation: what the disk holds when the machine stops after k writes,
// with writes in order (mode 0) or through a reordering cache (mode 1).
#include <string>

#include "vm_fixture.h"

namespace {

using Crash = VMTest;

// Opens a file made before the crash was armed (so its content is durable).
VMFileSpec Reopen(VMFileSpec spec) {
    EXPECT_EQ(VMOpenFile(&spec, 1), 0);
    return spec;
}

TEST_F(Crash, InOrderModeKeepsTheWritesBeforeTheCrashPoint) {
    VMFileSpec spec = Reopen(MakeFile("f", "AAAAAAAAAA"));
    VMFileSpec source = MakeFile("src", "source");
    VMFaultCrashAfter(2, 0);
    EXPECT_EQ(VMWrite(&spec, 0, 1, "B"), 0);
    EXPECT_EQ(VMFaultCrashed(), 0);
    EXPECT_EQ(VMWrite(&spec, 1, 1, "C"), 0);
    EXPECT_NE(VMFaultCrashed(), 0);

    // After the crash point everything reports success and nothing changes.
    EXPECT_EQ(VMWrite(&spec, 2, 1, "D"), 0);
    EXPECT_EQ(VMSetFileSize(&spec, 1), 0);
    EXPECT_EQ(VMCopyFile(&source, &spec), 0);
    EXPECT_EQ(VMFlushFile(&spec), 0);
    EXPECT_EQ(VMSetFileTime(&spec, 12345), 0);
    VMFileSpec target = Spec("renamed");
    EXPECT_EQ(VMRenameFile(&spec, &target), 0);
    EXPECT_EQ(VMCloseDeleteFile(&spec), 0);
    VMFileSpec again = Spec("src");
    EXPECT_EQ(VMCreateFile(&again), 0); // does not empty the file
    EXPECT_EQ(VMCloseFile(&again), 0);

    VMFaultReset();
    EXPECT_EQ(VMFaultCrashed(), 0);
    EXPECT_EQ(Content("f"), "BCAAAAAAAA");
    EXPECT_EQ(Content("renamed"), "<missing>");
    EXPECT_EQ(Content("src"), "source");
    uint32_t stamp;
    VMFileSpec f = Reopen(Spec("f"));
    ASSERT_EQ(VMGetFileTime(&f, &stamp), 0);
    EXPECT_NE(stamp, 12345u);
    EXPECT_EQ(VMCloseFile(&f), 0);
}

TEST_F(Crash, ZeroWritesCrashesAtOnceAndACopyIsOneWrite) {
    VMFileSpec spec = Reopen(MakeFile("f", "old"));
    VMFileSpec source = MakeFile("src", "copied");
    VMFaultCrashAfter(0, 0);
    EXPECT_NE(VMFaultCrashed(), 0);
    EXPECT_EQ(VMWrite(&spec, 0, 3, "new"), 0);
    VMFaultReset();
    EXPECT_EQ(Content("f"), "old");

    VMFaultCrashAfter(1, 1);
    EXPECT_EQ(VMCopyFile(&source, &spec), 0);
    EXPECT_NE(VMFaultCrashed(), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    VMFaultReset();
    EXPECT_EQ(Content("f"), "copied"); // the newest write of the file persists
}

// Mode 1: per file, the flushed writes and the newest write survive; older
// unflushed writes are undone.
TEST_F(Crash, ReorderingCacheKeepsFlushedAndNewestWritesOnly) {
    VMFileSpec a = Reopen(MakeFile("a", "0000000000"));
    VMFileSpec b = Reopen(MakeFile("b", "0000000000"));
    VMFaultCrashAfter(5, 1);
    ASSERT_EQ(VMWrite(&a, 0, 1, "1"), 0);
    ASSERT_EQ(VMWrite(&a, 5, 1, "2"), 0);
    ASSERT_EQ(VMFlushFile(&a), 0);
    ASSERT_EQ(VMWrite(&a, 1, 1, "3"), 0); // unflushed, older: undone
    ASSERT_EQ(VMWrite(&a, 9, 1, "4"), 0); // newest of a: kept
    EXPECT_EQ(VMFaultCrashed(), 0);
    ASSERT_EQ(VMWrite(&b, 0, 1, "b"), 0); // the fifth write: the crash point
    EXPECT_NE(VMFaultCrashed(), 0);
    ASSERT_EQ(VMWrite(&a, 2, 1, "5"), 0); // after the crash: lost
    EXPECT_EQ(VMCloseFile(&a), 0);
    EXPECT_EQ(VMCloseFile(&b), 0);
    VMFaultReset();
    EXPECT_EQ(Content("a"), "1000020004");
    EXPECT_EQ(Content("b"), "b000000000");
}

TEST_F(Crash, ReorderingCacheRestoresSizesBeforeApplyingTheNewestWrite) {
    VMFileSpec spec = Reopen(MakeFile("f", "abc"));
    VMFaultCrashAfter(3, 1);
    ASSERT_EQ(VMWrite(&spec, 0, 6, "XXXXXX"), 0); // grows the file
    ASSERT_EQ(VMWrite(&spec, 1, 2, "YY"), 0);
    ASSERT_EQ(VMSetFileSize(&spec, 2), 0);        // cuts it
    ASSERT_EQ(VMWrite(&spec, 4, 1, "Z"), 0);      // newest
    EXPECT_NE(VMFaultCrashed(), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    VMFaultReset();
    EXPECT_EQ(Content("f"), std::string("abc\0Z", 5));

    spec = Reopen(Spec("f"));
    VMFaultCrashAfter(1, 1);
    ASSERT_EQ(VMSetFileSize(&spec, 1), 0);
    ASSERT_EQ(VMWrite(&spec, 0, 1, "Q"), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    VMFaultReset();
    EXPECT_EQ(Content("f"), std::string("Qbc\0Z", 5)); // the unflushed cut is undone
}

TEST_F(Crash, ReorderingCacheFollowsARenameAndForgetsDeletedFiles) {
    VMFileSpec spec = Reopen(MakeFile("scratch", "...."));
    VMFileSpec gone = Reopen(MakeFile("gone", "...."));
    VMFaultCrashAfter(4, 1);
    ASSERT_EQ(VMWrite(&gone, 0, 1, "g"), 0);
    ASSERT_EQ(VMCloseDeleteFile(&gone), 0);
    ASSERT_EQ(VMWrite(&spec, 0, 1, "1"), 0);
    VMFileSpec target = Spec("final");
    ASSERT_EQ(VMRenameFile(&spec, &target), 0);
    ASSERT_EQ(VMWrite(&spec, 1, 1, "2"), 0);
    MakeFile("gone", "new file"); // a new file under the deleted one's name: the fourth write
    EXPECT_NE(VMFaultCrashed(), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    VMFaultReset();
    EXPECT_EQ(Content("final"), ".2..");
    EXPECT_EQ(Content("gone"), "new file");
}

// A flush that fails leaves its writes unflushed: they are undone.
TEST_F(Crash, AFailedFlushDoesNotMakeWritesDurable) {
    VMFileSpec spec = Reopen(MakeFile("f", "...."));
    VMFaultCrashAfter(2, 1);
    ASSERT_EQ(VMWrite(&spec, 0, 1, "1"), 0);
    VMFaultFailOnce(VM_OP_FLUSH, 0, VM_E_DISKFULL);
    EXPECT_EQ(VMFlushFile(&spec), VM_E_DISKFULL);
    ASSERT_EQ(VMWrite(&spec, 1, 1, "2"), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    VMFaultReset();
    EXPECT_EQ(Content("f"), ".2..");
}

} // namespace
