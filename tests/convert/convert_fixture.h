// Shared fixture of the conversion tests: a folder for the files converted,
// a separate scratch folder for the files the upgrade makes, the checker as
// the judge of a converted file, and the promise that no conversion leaves
// a working buffer behind.
#pragma once

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <zunfs/zunfs_check.h>

#include "common/fault_loop.h"
#include "common/fcb_fixture.h"
#include "common/read_saved.h"
#include "convert/buffer.h"
#include "session/format.h"

class ConvertTest : public ::testing::Test {
protected:
    gen::TempDir files, scratch;
    FSContext ctx = ScratchContext(scratch.path);
    FCB *fcb = nullptr;

    void SetUp() override { VMFaultReset(); }
    void TearDown() override {
        Discard(), VMFaultReset();
        EXPECT_EQ(CVBuffersInUse(), 0u);
    }
    // Gives up the FCB; a new file an upgrade made goes away.
    void Discard() {
        if (fcb != nullptr && (fcb->file->bytes[6] & VM_SPEC_TEMPORARY)) VMCloseDeleteFile(fcb->file);
        FcbRelease(fcb), fcb = nullptr;
    }
    std::string Put(const gen::Bytes &bytes, const std::string &name = "file.zfs") {
        return gen::WriteFile(files.File(name), bytes), files.File(name);
    }
    gen::Bytes FileBytes() const { return gen::ReadFile(VMFileSpecPath(fcb->file)); }
    gen::Bytes HeaderBytes() const { auto *p = reinterpret_cast<const uint8_t *>(&fcb->h); return {p, p + HEADER_SIZE}; }
    gen::ReadVersion Saved() const { return gen::ReadSaved(FileBytes()); }
    bool ScratchEmpty() const { return FolderEntries(scratch.path).empty(); }
};

// The file at path is in the current layout and the checker finds nothing in it.
inline ::testing::AssertionResult Converted(const std::string &path) {
    ZunfsCheckReport *r = nullptr;
    if (ZunfsCheckFile(path.c_str(), &r) != 0) return ::testing::AssertionFailure() << "cannot check " << path;
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (r->format != ZUNFS_CHECK_FORMAT_NATIVE) result = ::testing::AssertionFailure() << "format " << r->format;
    for (uint32_t i = 0; i < r->findingCount; ++i)
        result = ::testing::AssertionFailure() << result.message() << "\n  " << ZunfsCheckKindName(r->findings[i].kind) << ": " << r->findings[i].message;
    ZunfsCheckFree(r);
    return result;
}

inline gen::Bytes Concat(const std::vector<gen::Bytes> &parts) {
    gen::Bytes out;
    for (const gen::Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
