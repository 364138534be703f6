// Running the checker on generated files, and reading its report in tests.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <zunfs/zunfs_check.h>

#include "common/gen_native.h"

struct ReportDeleter {
    void operator()(ZunfsCheckReport *r) const { ZunfsCheckFree(r); }
};
using Report = std::unique_ptr<ZunfsCheckReport, ReportDeleter>;

// Writes bytes to a file in its own temporary folder and checks it.
inline Report CheckBytes(const gen::Bytes &bytes) {
    gen::TempDir dir;
    gen::WriteFile(dir.File("file.zfs"), bytes);
    ZunfsCheckReport *r = nullptr;
    EXPECT_EQ(ZunfsCheckFile(dir.File("file.zfs").c_str(), &r), 0);
    return Report(r);
}

// A finding of the kind (for the version, unless 0xFFFF); with only, every
// finding is of that kind.
inline bool Has(const Report &r, ZunfsCheckKind kind, uint16_t version = 0xFFFF, bool only = false) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < r->findingCount; ++i) {
        const ZunfsCheckFinding &f = r->findings[i];
        if (f.kind == uint32_t(kind) && (version == 0xFFFF || f.version == version)) ++n;
        else if (only && f.kind != uint32_t(kind)) return false;
    }
    return n != 0;
}

// Every finding, one a line, for failure messages.
inline std::string Findings(const Report &r) {
    std::string out;
    for (uint32_t i = 0; i < r->findingCount; ++i)
        out += std::string(ZunfsCheckKindName(r->findings[i].kind)) + " v" + std::to_string(r->findings[i].version) +
               " @" + std::to_string(r->findings[i].position) + ": " + r->findings[i].message + "\n";
    return out;
}

// Two host classes (4: 8-byte records, at most 64 a chunk; 5: 12-byte records
// ending with a RID, at most 32) and four tables: 0 and 1 (indexed, three
// chunks) in both versions, 2 in the saved version only, 3 in the mini-saved
// version only. Free runs after every image and at the end.
inline gen::NativeSpec TwoVersions() {
    gen::NativeSpec s;
    s.classes = {{8, 64, 4, 0x08, 4, 6, 1}, {12, 32, 4, 0x09, 4, 6, 100}};
    s.tables = {
        {4, gen::PatternRecords(10, 8, 1), false, {}, false},
        {5, gen::PatternRecords(80, 12, 2), true, {30, 30, 20}, false},
        {4, gen::PatternRecords(50, 8, 3), false, {}, false},
        {4, gen::PatternRecords(20, 8, 4), false, {}, false},
    };
    s.saved = gen::VersionSpec{{0, 1, 2}, false, {}};
    s.mini = gen::VersionSpec{{0, 1, 3}, false, {}};
    s.freeAfterEachImage = 64;
    s.freeTail = 128;
    return s;
}
