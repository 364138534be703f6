#include "fuzz_util.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <zunfs/zunfs_check.h>

namespace fuzz {

const std::string &Folder() {
    static const std::string folder = [] {
        std::string base = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
        if (FILE *probe = std::fopen("/dev/shm/.", "r")) {
            std::fclose(probe);
            base = "/dev/shm";
        }
        std::string tmpl = base + "/zunfs-fuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) std::abort();
        return tmpl;
    }();
    return folder;
}

void WriteBytes(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

static FSStatus KeepRecords(uint8_t, void *, uint16_t, uint8_t) { return 0; }

FSContext Context(uint32_t memBudget) {
    FSContext ctx{};
    ctx.flags = FS_ANY_VERSION;
    ctx.translateHook = KeepRecords;
    ctx.memBudget = memBudget;
    VMMakeFileSpec(Folder().c_str(), 0, &ctx.scratchSpec);
    return ctx;
}

static const uint32_t kWalkBound = 20000;

static void WalkTable(SCB *scb) {
    uint32_t n = FSTableSize(scb);
    void *rec = nullptr;
    void *end = nullptr;
    if (n == 0 || FSIxLock(scb, 0, &rec, &end) != 0) return;
    volatile uint8_t sink = 0;
    for (uint32_t i = 1; rec != nullptr && i < kWalkBound; ++i) {
        sink = sink + *static_cast<uint8_t *>(rec) + static_cast<uint8_t *>(end)[-1];
        rec = FSLockNext(scb);
    }
    FSUnlock(scb);
    if (FSIxLock(scb, RIX_LAST, &rec, &end) == 0) {
        for (uint32_t i = 0; rec != nullptr && i < 64; ++i) rec = FSLockPrev(scb);
    }
    FSIxLock(scb, n / 2, nullptr, nullptr);
    FSUnlock(scb);
    uint32_t count = n < 256 ? n : 256;
    std::vector<uint8_t> out(size_t(count) * scb->recSize + 1);
    FSFillPtr(scb, n - count, count, out.data());
    RID2RIX(scb, 1);
    RIX2RID(scb, n - 1);
}

void WalkTables(FCB *fcb) {
    uint32_t tables = FSTableCount(fcb);
    for (uint32_t tid = 0; tid < tables && tid < 4096; ++tid) {
        uint8_t cls = 0;
        if (FSTableClass(fcb, static_cast<uint16_t>(tid), &cls) != 0) continue;
        SCB *scb = nullptr;
        if (FSCheckOut(fcb, tid, 0, &scb) != 0) continue;
        WalkTable(scb);
        FSCheckIn(scb);
    }
}

bool CheckClean(const std::string &path) {
    ZunfsCheckReport *report = nullptr;
    if (ZunfsCheckFile(path.c_str(), &report) != 0) return false;
    bool clean = report->findingCount == 0 && report->format == ZUNFS_CHECK_FORMAT_NATIVE;
    ZunfsCheckFree(report);
    return clean;
}

} // namespace fuzz
