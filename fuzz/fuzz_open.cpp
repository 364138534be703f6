// Opens the input as a storage file with each version selector, in place
// and as a copy, walks every table of it, and runs the whole-file checker.
#include "fuzz_util.h"

#include <zunfs/zunfs_check.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz::Folder() + "/open.zf";
    fuzz::WriteBytes(path, data, size);
    fuzz::CheckClean(path);
    VMFileSpec spec{};
    VMMakeFileSpec(path.c_str(), 0, &spec);
    FSContext info = fuzz::Context();
    FSFileInfo(&spec, &info, nullptr, nullptr, nullptr, nullptr);
    FSIsFileWriteable(&spec, &info, nullptr);
    // A small budget on the last pass makes chunks leave memory and come back.
    for (uint32_t pass = 0; pass < 4; ++pass) {
        FSContext ctx = fuzz::Context(pass == 3 ? 4096 : 0);
        uint32_t selector = pass % 3;
        if (pass != 0) fuzz::WriteBytes(path, data, size);
        FCB *fcb = nullptr;
        uint16_t root = TID_NONE;
        if (FSFileOpen(&spec, selector, pass == 2, &ctx, &fcb, &root) != 0) continue;
        fuzz::WalkTables(fcb);
        FSFileClose(fcb, 0);
    }
    return 0;
}
