// A fresh folder per test, with fault injection reset around it.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "common/scratch_fcb.h"
#include "saveas/doc.h"

class SaveAsTest : public ::testing::Test {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeScratchFolder();
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override {
        VMFaultReset();
        GlobalSetMoveOnLock(0);
        RemoveScratchFolder(folder_);
    }
    std::string Path(const std::string &name) const { return folder_ + "/" + name; }

    std::string folder_;
};
