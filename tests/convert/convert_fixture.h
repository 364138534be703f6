// Shared fixture of the conversion tests: a folder for the files converted,
// a separate scratch folder for the files the upgrade makes, the checker as
// the judge of a converted file, and the promise that no conversion leaves
// a working buffer behind.
#pragma once

#include <cstring>
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
    gen::TempDir files;
    gen::TempDir scratch;
    FSContext ctx = ScratchContext(scratch.path);
    FCB *fcb = nullptr;

    void SetUp() override { VMFaultReset(); }
    void TearDown() override {
        Discard();
        VMFaultReset();
        EXPECT_EQ(CVBuffersInUse(), 0u);
    }
    // Gives up the FCB; a new file an upgrade made goes away.
    void Discard() {
        if (fcb != nullptr && (fcb->file->bytes[6] & VM_SPEC_TEMPORARY)) VMCloseDeleteFile(fcb->file);
        FcbRelease(fcb);
        fcb = nullptr;
    }
    std::string Put(const gen::Bytes &bytes, const std::string &name = "file.zfs") {
        std::string path = files.File(name);
        gen::WriteFile(path, bytes);
        return path;
    }
    gen::Bytes FileBytes() const { return gen::ReadFile(VMFileSpecPath(fcb->file)); }
    gen::Bytes HeaderBytes() const {
        auto *p = reinterpret_cast<const uint8_t *>(&fcb->h);
        return gen::Bytes(p, p + HEADER_SIZE);
    }
    gen::ReadVersion Saved() const { return gen::ReadSaved(FileBytes()); }
    bool ScratchEmpty() const { return FolderEntries(scratch.path).empty(); }
};

// The file at path is in the current layout and the checker finds nothing
// in it (or, with classTableOnly, nothing but findings in its class table).
inline ::testing::AssertionResult Converted(const std::string &path, bool classTableOnly = false) {
    ZunfsCheckReport *r = nullptr;
    if (ZunfsCheckFile(path.c_str(), &r) != 0) return ::testing::AssertionFailure() << "cannot check " << path;
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (r->format != ZUNFS_CHECK_FORMAT_NATIVE) result = ::testing::AssertionFailure() << "format " << r->format;
    for (uint32_t i = 0; i < r->findingCount; ++i) {
        if (classTableOnly && r->findings[i].kind == ZUNFS_CHECK_CLASS_TABLE) continue;
        result = ::testing::AssertionFailure();
        result << "\n  " << ZunfsCheckKindName(r->findings[i].kind) << ": " << r->findings[i].message;
    }
    ZunfsCheckFree(r);
    return result;
}

// A copy of a field of a packed record: the test macros would bind a
// reference to it, which may be misaligned.
template <typename T> T Val(T v) { return v; }

inline gen::Bytes Concat(const std::vector<gen::Bytes> &parts) {
    gen::Bytes out;
    for (const gen::Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
