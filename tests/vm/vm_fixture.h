// A fresh temporary folder per test, removed afterwards, with fault injection
// reset before and after each test.
#ifndef ZUN_TESTS_VM_FIXTURE_H
#define ZUN_TESTS_VM_FIXTURE_H

#include <string>

#include <gtest/gtest.h>

#include <zunvm/zunvm.h>

#include "common/scratch_fcb.h"

class VMTest : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        VMFaultReset();
        dir = MakeScratchFolder();
        ASSERT_FALSE(dir.empty());
    }

    void TearDown() override {
        VMFaultReset();
        RemoveScratchFolder(dir);
    }

    std::string Path(const std::string &name) const { return dir + "/" + name; }

    VMFileSpec Spec(const std::string &name) const {
        VMFileSpec spec;
        EXPECT_EQ(VMMakeFileSpec(Path(name).c_str(), 0, &spec), 0);
        return spec;
    }

    // Creates the named file with the given content and leaves it closed.
    VMFileSpec MakeFile(const std::string &name, const std::string &content) {
        VMFileSpec spec = Spec(name);
        EXPECT_EQ(VMCreateFile(&spec), 0);
        EXPECT_EQ(VMWrite(&spec, 0, static_cast<uint32_t>(content.size()), content.data()), 0);
        EXPECT_EQ(VMCloseFile(&spec), 0);
        return spec;
    }

    // The whole content of a file, read through a fresh read-only open.
    std::string Content(const std::string &name) {
        VMFileSpec spec = Spec(name);
        if (VMOpenFile(&spec, 0) != 0) return "<missing>";
        std::string s(VMFileSize(&spec), '\0');
        EXPECT_EQ(VMRead(&spec, 0, static_cast<uint32_t>(s.size()), s.data()), 0);
        VMCloseFile(&spec);
        return s;
    }
};

#endif
