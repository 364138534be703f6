// A scratch folder and a host context naming it, for tests of creating
// and closing files.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
        ctx_ = FSContext{};
        ctx_.fileType = 0x5A46;
        ctx_.appVersion = 7;
        ctx_.memBudget = 1u << 20;
        ctx_.classCount = static_cast<uint8_t>(hostClasses_.size());
        ctx_.classes = hostClasses_.data();
        ASSERT_EQ(VMMakeFileSpec(folder_.c_str(), 0, &ctx_.scratchSpec), 0);
        globals_ = zun::LiveGlobalBlocks();
        controls_ = zun::LiveControlBlocks();
    }
    void TearDown() override {
        VMFaultReset();
        RemoveScratchFolder(folder_);
    }

    size_t FilesInFolder() const {
        auto it = std::filesystem::directory_iterator(folder_);
        return static_cast<size_t>(std::distance(begin(it), end(it)));
    }
    // No memory block of the library is left.
    void ExpectNothingHeld() const {
        EXPECT_EQ(zun::LiveGlobalBlocks(), globals_);
        EXPECT_EQ(zun::LiveControlBlocks(), controls_);
    }
    static std::vector<uint8_t> FileBytes(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    static FileHeader HeaderOnDisk(const std::string &path) {
        FileHeader h{};
        std::vector<uint8_t> bytes = FileBytes(path);
        if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
        return h;
    }

    std::string folder_;
    FSContext ctx_;
    std::vector<FSClassDesc> hostClasses_;
    uint32_t globals_ = 0, controls_ = 0;
};
