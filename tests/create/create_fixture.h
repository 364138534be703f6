// A scratch folder and a host context naming it, for tests of creating
// and closing files.
#pragma once

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/scratch_fcb.h"
#include "session/fcb.h"

class CreateTest : public ::testing::Test {
protected:
    void SetUp() override {
        VMFaultReset();
        folder_ = MakeScratchFolder();
        ASSERT_FALSE(folder_.empty());
        std::memset(&ctx_, 0, sizeof ctx_);
        ctx_.fileType = 0x5A46;
        ctx_.appVersion = 7;
        ctx_.memBudget = 1u << 20;
        hostClasses_ = {HostClass(24, 100, FS_CLASS_RIDS), HostClass(3, 2000)};
        hostClasses_[0].ridCounter = 77; // a new file starts every counter at 1
        hostClasses_[1].ridCounter = 0;
        hostClasses_[1].unused = 0x5C;
        ctx_.classCount = static_cast<uint8_t>(hostClasses_.size());
        ctx_.classes = hostClasses_.data();
        ASSERT_EQ(VMMakeFileSpec(folder_.c_str(), 0, &ctx_.scratchSpec), 0);
    }
    void TearDown() override {
        VMFaultReset();
        RemoveScratchFolder(folder_);
    }

    // Files now in the scratch folder.
    std::vector<std::string> FilesInFolder() const {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(folder_))
            names.push_back(entry.path().string());
        return names;
    }

    static std::vector<uint8_t> FileBytes(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    static FileHeader HeaderOnDisk(const std::string &path) {
        FileHeader h{};
        std::vector<uint8_t> bytes = FileBytes(path);
        EXPECT_GE(bytes.size(), sizeof h);
        if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
        return h;
    }

    std::string folder_;
    FSContext ctx_;
    std::vector<FSClassDesc> hostClasses_;
};
