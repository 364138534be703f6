// A scratch folder and a host context naming it, for tests of creating
// and closing files.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fcb_fixture.h"
#include "common/gen_bytes.h"
#include "common/scratch_fcb.h"
#include "platform/census.h"

class CreateTest : public ::testing::Test {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeScratchFolder();
        ASSERT_FALSE(folder_.empty());
        hostClasses_ = {HostClass(24, 100, FS_CLASS_RIDS), HostClass(3, 2000)};
        hostClasses_[0].ridCounter = 77; // a new file starts every counter at 1
        hostClasses_[1].unused = 0x5C;
        ctx_ = ScratchContext(folder_);
        ctx_.fileType = 0x5A46;
        ctx_.appVersion = 7;
        ctx_.memBudget = 1u << 20;
        ctx_.classCount = static_cast<uint8_t>(hostClasses_.size());
        ctx_.classes = hostClasses_.data();
        globals_ = zun::LiveGlobalBlocks();
        controls_ = zun::LiveControlBlocks();
    }
    void TearDown() override {
        VMFaultReset();
        RemoveScratchFolder(folder_);
    }

    // No file is left in the folder and no memory block of the library.
    void ExpectNothingLeft(bool files = true) const {
        EXPECT_TRUE(!files || FolderEntries(folder_).empty());
        EXPECT_EQ(zun::LiveGlobalBlocks(), globals_);
        EXPECT_EQ(zun::LiveControlBlocks(), controls_);
    }
    static FileHeader HeaderOnDisk(const std::string &path) {
        FileHeader h{};
        gen::Bytes bytes = gen::ReadFile(path);
        if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
        return h;
    }

    std::string folder_;
    FSContext ctx_;
    std::vector<FSClassDesc> hostClasses_;
    uint32_t globals_ = 0, controls_ = 0;
};
