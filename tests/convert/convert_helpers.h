// Shared fixture of the conversion tests: a folder for the files converted,
// a separate scratch folder for the files the upgrade makes, the checker as
// the judge of a converted file, and the promise that no conversion leaves
// a working buffer behind.
#pragma once

#include <gtest/gtest.h>

#include "check/check_helpers.h"
#include "common/fcb_fixture.h"
#include "common/read_saved.h"
#include "convert/buffer.h"

class ConvertTest : public ::testing::Test {
protected:
    gen::TempDir files;
    gen::TempDir scratch;
    FSContext ctx = ScratchContext(scratch.path);

    void SetUp() override { VMFaultReset(); }
    void TearDown() override {
        VMFaultReset();
        EXPECT_EQ(CVBuffersInUse(), 0u);
    }

    std::string Put(const gen::Bytes &bytes, const std::string &name = "file.zfs") {
        std::string path = files.File(name);
        gen::WriteFile(path, bytes);
        return path;
    }

    static Report CheckPath(const std::string &path) {
        ZunfsCheckReport *r = nullptr;
        EXPECT_EQ(ZunfsCheckFile(path.c_str(), &r), 0);
        return Report(r);
    }

    static gen::Bytes FileBytes(const FCB *fcb) { return gen::ReadFile(VMFileSpecPath(fcb->file)); }

    static gen::Bytes HeaderBytes(const FCB *fcb) {
        auto *p = reinterpret_cast<const uint8_t *>(&fcb->h);
        return gen::Bytes(p, p + HEADER_SIZE);
    }

    bool ScratchEmpty() const { return FolderEntries(scratch.path).empty(); }
};

// A copy of a field of a packed record: the test macros would bind a
// reference to it, which may be misaligned.
template <typename T> T Val(T v) { return v; }

// Records of a table of a version, all of them in order.
inline gen::Bytes Concat(const std::vector<gen::Bytes> &parts) {
    gen::Bytes out;
    for (const gen::Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

#define EXPECT_CLEAN(path)                                                                                             \
    do {                                                                                                               \
        Report r_ = CheckPath(path);                                                                                   \
        ASSERT_TRUE(r_ != nullptr);                                                                                    \
        EXPECT_EQ(r_->format, uint32_t(ZUNFS_CHECK_FORMAT_NATIVE));                                                    \
        EXPECT_EQ(r_->findingCount, 0u) << Findings(r_);                                                               \
    } while (0)
