// Runs a short script of operations on a file. Input: one byte L, L bytes
// of script (three bytes a step: operation and two arguments), then the
// file; without file bytes the script starts on a new file. A file that
// the checker found clean at the start must be clean at the end.
#include "fuzz_util.h"

#include <cstring>
#include <filesystem>
#include <vector>

#include <zunfs/zunfs_check.h>

namespace {

const FSClassDesc kClasses[] = {
    {0, 0, 4, 6, 8, 4, 1, 1},
    {FS_CLASS_RIDS, 0, 4, 6, 12, 10, 2, 1},
    {0, 0, 4, 8, 1, 3000, 100, 1},
};

struct Run {
    FSContext ctx{};
    FCB *fcb = nullptr;
    std::string path;
    uint8_t a = 0, b = 0;
    unsigned saveAs = 0;

    // A table in use, or TID 0 when there is none.
    uint16_t Tid(uint8_t pick) {
        std::vector<uint16_t> used;
        uint32_t n = FSTableCount(fcb);
        for (uint32_t tid = 0; tid < n && tid < 4096; ++tid)
            if (FSTableClass(fcb, static_cast<uint16_t>(tid), nullptr) == 0) used.push_back(static_cast<uint16_t>(tid));
        return used.empty() ? 0 : used[pick % used.size()];
    }
    // A read-write session; none on a table grown past a bound, so that
    // copies of a table into itself cannot double it step after step.
    SCB *Out(uint8_t pick) {
        SCB *scb = nullptr;
        FSCheckOut(fcb, Tid(pick), 1, &scb);
        if (scb != nullptr && FSTableSize(scb) > 20000) {
            FSCheckIn(scb);
            scb = nullptr;
        }
        return scb;
    }
    bool Reopen(uint32_t selector) {
        VMFileSpec spec{};
        VMMakeFileSpec(path.c_str(), 0, &spec);
        FSStatus s = FSFileOpen(&spec, selector, 0, &ctx, &fcb, nullptr);
        if (s >= FS_E_CRASHED && s <= FS_E_CRASHED_BOTH)
            s = FSFileOpen(&spec, (s & 2) ? FS_VERSION_MINI : FS_VERSION_SAVED, 0, &ctx, &fcb, nullptr);
        return s == 0;
    }
    void Close(uint16_t keep) {
        path = VMFileSpecPath(FSFileSpec(fcb));
        FSFileClose(fcb, keep);
        fcb = nullptr;
    }
    void Step(uint8_t op);
};

int32_t Odd(void *record) { return *static_cast<uint8_t *>(record) & 1; }

void Run::Step(uint8_t op) {
    switch (op % 17) {
    case 0: FSMakeTable(fcb, 4 + a % 4, nullptr); break;
    case 1: {
        SCB *scb = Out(a);
        void *rec = nullptr;
        if (scb && FSIAddLock(scb, b % (FSTableSize(scb) + 1), 1 + a % 9, b & 1, &rec) == 0 && rec)
            memset(rec, b, scb->recSize);
        if (scb) FSUnlock(scb);
        FSCheckIn(scb);
        break;
    }
    case 2: {
        SCB *scb = Out(a);
        if (scb) {
            std::vector<uint8_t> src(size_t(scb->recSize) * (b % 40 + 1), a);
            FSIAddPtr(scb, RIX_LAST, b % 40 + 1, a & 1, src.data());
        }
        FSCheckIn(scb);
        break;
    }
    case 3: case 4: case 5: {
        SCB *src = Out(a), *dst = op % 17 == 3 ? src : Out(b);
        if (src && dst) {
            uint32_t n = FSTableSize(src), first = n ? b % n : 0;
            FSIRecOps(src, op % 17 - 2, first, n ? 1 + a % (n - first) : 0, dst, a % 2 ? RIX_LAST : 0);
        }
        if (dst != src) FSCheckIn(dst);
        FSCheckIn(src);
        break;
    }
    case 6: FSISaveCommit(fcb, 1, 0); break;
    case 7: FSISaveCommit(fcb, 0, 0); break;
    case 8: {
        VMFileSpec target{};
        std::string name = (b & 1) ? path : fuzz::Folder() + "/as" + std::to_string(saveAs++ % 2) + ".zf";
        VMMakeFileSpec(name.c_str(), 0, &target);
        if (FSSaveAs(fcb, &target) == 0) path = VMFileSpecPath(FSFileSpec(fcb));
        break;
    }
    case 9: case 10:
        Close(op % 17 == 9 ? 1 : 0);
        Reopen(a % 3);
        break;
    case 11: FSDestroyTable(fcb, Tid(a)); break;
    case 12: case 13: {
        SCB *scb = Out(a), *dst = (b & 1) ? scb : Out(b);
        if (scb && dst) {
            if (op % 17 == 12) FSDelList(scb, Odd, 0);
            else if (b & 2) FSMoveList(scb, Odd, dst, RIX_LAST, 0);
            else FSCopyList(scb, Odd, dst, 0, 0);
        }
        if (dst != scb) FSCheckIn(dst);
        FSCheckIn(scb);
        break;
    }
    case 14: fuzz::WalkTables(fcb); break;
    case 15: BKFlush(fcb, a % 2 ? 0xFFFFFFFF : b * 64u); break;
    case 16: {
        // A crash during a save, then the open of what the disk holds.
        VMFaultCrashAfter(a % 24, b & 1);
        FSISaveCommit(fcb, b & 2, 0);
        Close(1);
        VMFaultReset();
        Reopen(FS_VERSION_CURRENT);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::error_code ignored;
    for (auto &entry : std::filesystem::directory_iterator(fuzz::Folder(), ignored))
        std::filesystem::remove(entry.path(), ignored);
    VMFaultReset();
    size_t scriptLen = std::min<size_t>(data[0], size - 1);
    const uint8_t *script = data + 1;
    const uint8_t *file = script + scriptLen;
    size_t fileLen = size - 1 - scriptLen;

    Run run;
    run.ctx = fuzz::Context(scriptLen % 2 ? 8192 : 0);
    run.path = fuzz::Folder() + "/doc.zf";
    bool clean = true;
    if (fileLen == 0) {
        run.ctx.classCount = 3;
        run.ctx.classes = kClasses;
        if (FSCreate(&run.ctx, &run.fcb) != 0) return 0;
    } else {
        fuzz::WriteBytes(run.path, file, fileLen);
        clean = fuzz::CheckClean(run.path);
        if (!run.Reopen(file[0] % 3)) return 0;
    }
    for (size_t i = 0; i + 3 <= scriptLen && run.fcb != nullptr; i += 3) {
        run.a = script[i + 1];
        run.b = script[i + 2];
        run.Step(script[i]);
    }
    if (run.fcb == nullptr) return 0;
    bool fatal = FSFatalError(run.fcb);
    run.Close(1);
    // A file that was sound stays sound through any sequence of calls.
    if (clean && !fatal && !fuzz::CheckClean(run.path)) __builtin_trap();
    return 0;
}
