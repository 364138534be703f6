// The checker's C interface: runs the steps of a check on a file opened
// read-only and turns the run into a report the caller owns.
#include <cstdio>
#include <cstring>
#include <new>

#include "check/check.h"

namespace {

template <typename T> T *CopyOut(const std::vector<T> &v) {
    if (v.empty()) return nullptr;
    T *out = new T[v.size()];
    std::memcpy(out, v.data(), v.size() * sizeof(T));
    return out;
}

void Summarise(const CheckRun &run, ZunfsCheckReport &r) {
    const FileHeader &h = run.h;
    r.format = run.format;
    r.fileLength = run.length;
    r.headerRead = run.headerRead;
    r.magic = h.magic;
    r.formatVersion = h.formatVersion;
    if (!run.headerRead) return;
    r.stateFlags = h.stateFlags;
    r.allocShift = h.allocShift;
    r.growShift = h.growShift;
    r.versionFlags = h.versionFlags;
    r.fileSize = h.fileSize;
    r.savedFileSize = h.savedFileSize;
    r.miniFileSize = h.miniFileSize;
    r.formatMark = h.formatMark;
    r.classCount = h.classCount;
    r.maxChunk = h.maxChunk;
    r.classTableOffset = h.classTableOffset;
    r.rootTable = h.rootTable;
    r.fileStamp = h.fileStamp;
    r.savedFreeCount = h.savedFreeCount;
    r.savedFreeOffset = h.savedFreeOffset;
    r.fileType = h.fileType;
    r.appVersion = h.appVersion;
    r.lastStatus = h.lastStatus;

    bool saved = h.versionFlags & VER_SAVED, mini = h.versionFlags & VER_MINI;
    r.leftOpen = !(h.stateFlags & STATE_CLOSED_CLEANLY);
    if (r.leftOpen)
        r.openCurrent = FSStatus(FS_E_CRASHED + (saved ? 1 : 0) + (mini ? 2 : 0));
    else
        r.openCurrent = saved ? 0 : FS_E_NO_SAVED;

    for (const FreeEntry &e : run.freeList) {
        if (e.owners == 0) r.freeBytes += e.len;
        if (e.owners & VER_CURRENT) r.ownedBytes[0] += e.len;
        if (e.owners & VER_MINI) r.ownedBytes[1] += e.len;
        if (e.owners & VER_SAVED) r.ownedBytes[2] += e.len;
    }
    r.freeEntries = uint32_t(run.freeList.size());
}

ZunfsCheckReport *BuildReport(const CheckRun &run) {
    auto *r = new ZunfsCheckReport{};
    try {
        Summarise(run, *r);
        if (run.classesRead) {
            r->classes = CopyOut(run.classes);
            r->classesRead = uint32_t(run.classes.size());
        }
        r->versions = new ZunfsCheckVersion[run.versions.size() + 1]{};
        for (const CheckVersion &v : run.versions) {
            ZunfsCheckVersion &out = r->versions[r->versionCount++];
            out = v.summary;
            out.findingCount = run.findingsOf[v.bit];
            out.tableCount = uint32_t(v.tables.size());
            out.tables = CopyOut(v.tables);
            if (v.summary.walked && out.findingCount == 0) r->recoverable |= v.bit;
        }
        std::vector<ZunfsCheckFinding> findings = run.findings;
        if (run.dropped != 0) {
            ZunfsCheckFinding f{};
            f.kind = ZUNFS_CHECK_TRUNCATED;
            std::snprintf(f.message, sizeof f.message, "%u more findings were not kept", run.dropped);
            findings.push_back(f);
        }
        r->findings = CopyOut(findings);
        r->findingCount = uint32_t(findings.size());
    } catch (...) {
        ZunfsCheckFree(r);
        throw;
    }
    return r;
}

void RunChecks(CheckRun &run) {
    run.length = VMFileSize(&run.spec);
    CheckHeader(run);
    if (run.format != ZUNFS_CHECK_FORMAT_NATIVE) return;
    CheckSizes(run);
    CheckClassTable(run);
    LoadFreeList(run);
    WalkVersions(run);
    CheckSharedImages(run);
    CheckFreeList(run);
}

} // namespace

extern "C" ZUN_API FSStatus ZunfsCheckSpec(const VMFileSpec *spec, ZunfsCheckReport **reportOut) {
    if (reportOut == nullptr) return FS_E_BAD_PARAMS;
    *reportOut = nullptr;
    if (spec == nullptr) return FS_E_BAD_PARAMS;
    CheckRun *run = new (std::nothrow) CheckRun;
    if (run == nullptr) return FS_E_NOMEM;
    // A fresh record for the same path: the caller's may name a file it has open.
    FSStatus st = VMMakeFileSpec(VMFileSpecPath(spec), 0, &run->spec);
    if (st == 0) st = VMOpenFile(&run->spec, 0);
    if (st == 0) {
        try {
            RunChecks(*run);
            *reportOut = BuildReport(*run);
        } catch (const std::bad_alloc &) {
            st = FS_E_NOMEM;
        }
        VMCloseFile(&run->spec);
    }
    delete run;
    return st;
}

extern "C" ZUN_API FSStatus ZunfsCheckFile(const char *path, ZunfsCheckReport **reportOut) {
    if (reportOut == nullptr) return FS_E_BAD_PARAMS;
    *reportOut = nullptr;
    if (path == nullptr) return FS_E_BAD_PARAMS;
    VMFileSpec spec;
    FSStatus st = VMMakeFileSpec(path, 0, &spec);
    if (st != 0) return st;
    return ZunfsCheckSpec(&spec, reportOut);
}

extern "C" ZUN_API void ZunfsCheckFree(ZunfsCheckReport *report) {
    if (report == nullptr) return;
    for (uint32_t i = 0; i < report->versionCount; ++i) delete[] report->versions[i].tables;
    delete[] report->versions;
    delete[] report->classes;
    delete[] report->findings;
    delete report;
}

extern "C" ZUN_API const char *ZunfsCheckKindName(uint32_t kind) {
    static const char *const names[] = {
        "unknown",        "unreadable",    "header",          "size",           "class-table",
        "bad-class",      "bad-ref",       "count-over-max",  "chunk-too-big",  "image-past-end",
        "image-align",    "overlap",       "shared-overlap",  "structure",      "table-record",
        "free-list",      "free-order",    "free-align",      "free-range",     "free-owners",
        "free-over-live", "free-over-structure", "truncated"};
    return kind < sizeof names / sizeof names[0] ? names[kind] : names[0];
}
