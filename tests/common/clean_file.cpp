#include "clean_file.h"

#include <zunfs/zunfs_check.h>

::testing::AssertionResult FileIsClean(const std::string &path) {
    ZunfsCheckReport *report = nullptr;
    FSStatus status = ZunfsCheckFile(path.c_str(), &report);
    if (status != 0) return ::testing::AssertionFailure() << "cannot check " << path << ": status " << status;
    auto result = report->findingCount == 0 ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
    if (report->findingCount != 0) result << report->findingCount << " findings in " << path << ":";
    for (uint32_t i = 0; i < report->findingCount; ++i) {
        const ZunfsCheckFinding &f = report->findings[i];
        result << "\n  " << ZunfsCheckKindName(f.kind) << " at " << f.position << ": " << f.message;
    }
    ZunfsCheckFree(report);
    return result;
}
