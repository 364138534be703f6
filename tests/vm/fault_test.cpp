// Fault injection: failing calls after a count, for good or once, and the
// call counters.
#include <string>

#include "vm_fixture.h"

namespace {

using Faults = VMTest;

TEST_F(Faults, PersistentFailureHitsEveryCallFromTheArmedOne) {
    VMFileSpec spec = Spec("f");
    ASSERT_EQ(VMCreateFile(&spec), 0);
    VMFaultFail(VM_OP_WRITE, 2, VM_E_DISKFULL);
    EXPECT_EQ(VMWrite(&spec, 0, 1, "a"), 0);
    EXPECT_EQ(VMWrite(&spec, 1, 1, "b"), 0);
    EXPECT_EQ(VMWrite(&spec, 2, 1, "c"), VM_E_DISKFULL);
    EXPECT_EQ(VMWrite(&spec, 2, 1, "c"), VM_E_DISKFULL);
    EXPECT_EQ(VMFileSize(&spec), 2u); // failed writes change nothing
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), 4u);
    VMFaultReset();
    EXPECT_EQ(VMFaultCount(VM_OP_WRITE), 0u);
    EXPECT_EQ(VMWrite(&spec, 2, 1, "c"), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
}

TEST_F(Faults, OnceFailsOnlyThatCall) {
    VMFileSpec spec = MakeFile("f", "0123456789");
    ASSERT_EQ(VMOpenFile(&spec, 1), 0);
    char buf[4];
    VMFaultFailOnce(VM_OP_READ, 1, 0); // 0 asks for the operation's own failure
    EXPECT_EQ(VMRead(&spec, 0, 1, buf), 0);
    EXPECT_EQ(VMRead(&spec, 0, 1, buf), VM_E_READ);
    EXPECT_EQ(VMRead(&spec, 0, 1, buf), 0);
    EXPECT_EQ(VMFaultCount(VM_OP_READ), 3u);
    EXPECT_EQ(VMCloseFile(&spec), 0);
}

// Every file operation that can be failed fails with the armed status and
// leaves the file as it was.
TEST_F(Faults, EveryFileOperationCanBeFailed) {
    VMFileSpec spec = MakeFile("f", "content");
    VMFileSpec source = MakeFile("src", "xyz");
    const FSStatus kInjected = 4242;

    VMFaultFail(VM_OP_OPEN, 0, kInjected);
    EXPECT_EQ(VMOpenFile(&spec, 0), kInjected);
    VMFaultReset();

    VMFileSpec fresh = Spec("new");
    VMFaultFail(VM_OP_CREATE, 0, kInjected);
    EXPECT_EQ(VMCreateFile(&fresh), kInjected);
    EXPECT_EQ(Content("new"), "<missing>");
    VMFaultReset();

    ASSERT_EQ(VMOpenFile(&spec, 1), 0);
    VMFaultFail(VM_OP_SETSIZE, 0, kInjected);
    EXPECT_EQ(VMSetFileSize(&spec, 0), kInjected);
    EXPECT_EQ(VMFileSize(&spec), 7u);
    VMFaultFail(VM_OP_WRITE, 0, kInjected);
    EXPECT_EQ(VMCopyFile(&source, &spec), kInjected);
    VMFaultFail(VM_OP_FLUSH, 0, kInjected);
    EXPECT_EQ(VMFlushFile(&spec), kInjected);
    EXPECT_EQ(VMCloseFile(&spec), 0);
    VMFaultReset();
    EXPECT_EQ(Content("f"), "content");
}

TEST_F(Faults, MemoryAllocationsCanBeFailed) {
    VMFaultFail(VM_OP_ALLOC, 1, 0);
    void *p = VMAlloc(10);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(VMAlloc(10), nullptr);
    VMFree(p);

    VMFaultFailOnce(VM_OP_GALLOC, 1, 0);
    HGLOBAL a = GlobalAlloc(GMEM_MOVEABLE, 16);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 16), 0u);
    HGLOBAL b = GlobalAlloc(GMEM_MOVEABLE, 16);
    EXPECT_NE(b, 0u);

    // Growth fails, leaving the block as it was; shrinking needs no memory.
    VMFaultFail(VM_OP_GALLOC, 0, 0);
    *static_cast<char *>(GlobalLock(a)) = 'k';
    GlobalUnlock(a);
    EXPECT_EQ(GlobalReAlloc(a, 1000, 0), 0u);
    HGLOBAL h = a;
    EXPECT_EQ(VMRealloc(&h, 1000), VM_E_NOMEM);
    EXPECT_EQ(GlobalSize(a), 16u);
    EXPECT_EQ(*static_cast<char *>(GlobalLock(a)), 'k');
    GlobalUnlock(a);
    EXPECT_EQ(VMRealloc(&h, 8), 0);
    EXPECT_EQ(GlobalReAlloc(a, 16, 0), a); // back to its size: not a growth
    EXPECT_EQ(VMFaultCount(VM_OP_GALLOC), 5u);
    GlobalFree(a);
    GlobalFree(b);
}

} // namespace
