#include "fcb_fixture.h"

#include <algorithm>
#include <filesystem>

FCB *FcbOnFile(const std::string &path, bool temporary, bool readOnly) {
    auto *fcb = static_cast<FCB *>(VMAlloc(sizeof(FCB)));
    auto *spec = static_cast<VMFileSpec *>(VMAlloc(sizeof(VMFileSpec)));
    bool ok = fcb != nullptr && spec != nullptr && VMMakeFileSpec(path.c_str(), 0, spec) == 0;
    if (ok && temporary) spec->bytes[6] |= VM_SPEC_TEMPORARY;
    ok = ok && VMOpenFile(spec, readOnly ? 0 : 1) == 0;
    if (ok && VMRead(spec, 0, HEADER_SIZE, &fcb->h) != 0) {
        VMCloseFile(spec);
        ok = false;
    }
    if (!ok) return VMFree(spec), VMFree(fcb), nullptr;
    return fcb->file = spec, fcb;
}

void FcbRelease(FCB *fcb) {
    if (fcb != nullptr) VMCloseFile(fcb->file), VMFree(fcb->file), VMFree(fcb);
}

FSContext ScratchContext(const std::string &folder) {
    FSContext ctx{};
    VMMakeFileSpec(folder.c_str(), 0, &ctx.scratchSpec);
    return ctx;
}

std::vector<std::string> FolderEntries(const std::string &folder) {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}
