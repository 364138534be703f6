// Two processes never write one file: a read-write open by another process
// turns our read-write opens, creations and replacements into VM_E_SHARING.
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "vm_fixture.h"

namespace {

// A child process that opens a file read-write and holds it until told to go.
struct Holder {
    pid_t pid = -1;
    int go[2] = {-1, -1};

    bool Start(const VMFileSpec &file) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(go) != 0) return false;
        pid = fork();
        if (pid == 0) {
            VMFileSpec spec = file;
            char c = VMOpenFile(&spec, 1) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &c, 1);
            (void)!read(go[0], &c, 1);
            _exit(0);
        }
        close(ready[1]);
        char c = 'n';
        bool ok = pid > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
        return ok;
    }

    ~Holder() {
        if (pid <= 0) return;
        (void)!write(go[1], "x", 1);
        int status;
        waitpid(pid, &status, 0);
        close(go[0]);
        close(go[1]);
    }
};

using Sharing = VMTest;

TEST_F(Sharing, AnotherWriterMakesReadWriteOpensFail) {
    VMFileSpec file = MakeFile("shared", "precious");
    {
        Holder child;
        ASSERT_TRUE(child.Start(file));

        VMFileSpec spec = file;
        EXPECT_EQ(VMOpenFile(&spec, 1), VM_E_SHARING);
        // Creating the file again must not empty it under the other writer.
        EXPECT_EQ(VMCreateFile(&spec), VM_E_SHARING);
        EXPECT_EQ(Content("shared"), "precious");
        // Read-only opens still work.
        ASSERT_EQ(VMOpenFile(&spec, 0), 0);
        EXPECT_EQ(VMFileSize(&spec), 8u);
        EXPECT_EQ(VMCloseFile(&spec), 0);
        // Nor is it replaced by a rename.
        VMFileSpec other = Spec("other");
        ASSERT_EQ(VMCreateFile(&other), 0);
        EXPECT_EQ(VMRenameFile(&other, &file), VM_E_SHARING);
        EXPECT_EQ(VMCloseDeleteFile(&other), 0);
        EXPECT_EQ(Content("shared"), "precious");
    }
    // Once the other process is gone the file opens read-write again.
    VMFileSpec spec = file;
    ASSERT_EQ(VMOpenFile(&spec, 1), 0);
    EXPECT_EQ(VMCloseFile(&spec), 0);
}

TEST_F(Sharing, OurOwnOpenFileIsOneWriterAndMayBeReplacedByRename) {
    VMFileSpec file = MakeFile("doc", "v1");
    ASSERT_EQ(VMOpenFile(&file, 1), 0);
    VMFileSpec second = Spec("doc");
    EXPECT_EQ(VMOpenFile(&second, 1), VM_E_SHARING);
    EXPECT_EQ(VMCreateFile(&second), VM_E_SHARING);
    VMFileSpec saved = Spec("saved");
    ASSERT_EQ(VMCreateFile(&saved), 0);
    ASSERT_EQ(VMWrite(&saved, 0, 2, "v2"), 0);
    VMFileSpec target = Spec("doc");
    EXPECT_EQ(VMRenameFile(&saved, &target), 0);
    EXPECT_EQ(VMCloseFile(&file), 0);
    EXPECT_EQ(VMCloseFile(&saved), 0);
    EXPECT_EQ(Content("doc"), "v2");
}

} // namespace
