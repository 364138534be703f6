// Writes the seed corpora of the fuzz targets into <out>/open and <out>/ops:
// files of the generators (native, foreign, old format) and files the
// library wrote itself (saved, mini-saved, left open), and operation
// scripts alone or in front of small files.
#include <filesystem>
#include <random>
#include <string>

#include "common/gen_foreign.h"
#include "common/gen_old.h"
#include "fuzz_util.h"

namespace {

using gen::Bytes;

std::vector<gen::NativeSpec> NativeSpecs() {
    gen::NativeSpec one;
    one.classes = {{8, 16, 2, 0x08, 4, 6, 1}};
    one.tables = {{4, gen::PatternRecords(20, 8, 1), false, {}, false}};
    one.saved = gen::VersionSpec{{0}, false, {}};

    gen::NativeSpec two = one;
    two.classes.push_back({12, 10, 2, 0x09, 4, 6, 50});
    two.tables.push_back({5, gen::PatternRecords(25, 12, 2), true, {10, 10, 5}, false});
    two.tables.push_back({4, gen::PatternRecords(6, 8, 3), false, {}, true});
    two.saved = gen::VersionSpec{{0, -1, 1}, false, {}};
    two.mini = gen::VersionSpec{{0, 1, 2}, false, {}};
    two.freeAfterEachImage = 64;
    two.freeTail = 128;

    gen::NativeSpec master = one;
    master.saved = gen::VersionSpec{{0, 0, -1, 0}, true, {2, 2}};
    master.stateFlags = 0;
    return {one, two, master};
}

Bytes OldFile() {
    gen::OldSpec s;
    s.classes = gen::OldDefaultClasses({{0x03, 4, 6, 8, 64, 7, 42}, {0xF0, 3, 5, 12, 20, 2, 9}});
    s.rootTable = 0;
    s.tables = {
        {false, 4, false, {gen::PatternRecords(10, 8, 1)}, -1, 5, 1},
        {true, 0, false, {}, -1, 5, 1},
        {false, 5, true, {gen::PatternRecords(20, 12, 2), gen::PatternRecords(7, 12, 3)}, -1, 4, 1},
    };
    return gen::BuildOld(s).bytes;
}

// Files written by the library: a saved document, then one with a
// mini-saved version on top, then one left open with unsaved changes.
std::vector<Bytes> LibraryFiles() {
    static const FSClassDesc classes[] = {{0, 0, 4, 6, 8, 4, 1, 1}, {FS_CLASS_RIDS, 0, 4, 6, 12, 10, 2, 1}};
    FSContext ctx = fuzz::Context();
    ctx.classCount = 2;
    ctx.classes = classes;
    std::vector<Bytes> files;
    FCB *fcb = nullptr;
    if (FSCreate(&ctx, &fcb) != 0) return files;
    const std::string path = VMFileSpecPath(FSFileSpec(fcb));
    uint16_t t1 = 0, t2 = 0;
    FSMakeTable(fcb, 4, &t1);
    FSMakeTable(fcb, 5, &t2);
    for (uint16_t tid : {t1, t2}) {
        SCB *scb = nullptr;
        FSCheckOut(fcb, tid, 1, &scb);
        for (int i = 0; i < 6; ++i) FSIAddLock(scb, RIX_LAST, 3, 0, nullptr);
        FSCheckIn(scb);
    }
    for (uint32_t save : {1u, 0u, 2u}) {
        if (save < 2) FSISaveCommit(fcb, save, 0);
        FSDestroyTable(fcb, t2);
        FSMakeTable(fcb, 5, &t2);
        BKFlush(fcb, 0xFFFFFFFF);
        files.push_back(gen::ReadFile(path));
    }
    FSFileClose(fcb, 0);
    return files;
}

void Put(const std::string &dir, const std::string &name, const Bytes &bytes) {
    gen::WriteFile(dir + "/" + name, bytes);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const std::string open = std::string(argv[1]) + "/open", ops = std::string(argv[1]) + "/ops";
    std::filesystem::create_directories(open);
    std::filesystem::create_directories(ops);

    std::vector<Bytes> files;
    for (const gen::NativeSpec &s : NativeSpecs()) {
        files.push_back(gen::BuildNative(s).bytes);
        files.push_back(gen::BuildForeign(s).bytes);
    }
    files.push_back(OldFile());
    for (Bytes &b : LibraryFiles()) files.push_back(std::move(b));
    for (size_t i = 0; i < files.size(); ++i) Put(open, "file" + std::to_string(i), files[i]);

    // Scripts: every operation in turn, then random ones, on a new file and
    // in front of each file.
    std::mt19937 rng(7);
    for (int s = 0; s < 6; ++s) {
        Bytes script;
        for (uint8_t op = 0; op < 17 && s == 0; ++op) script.insert(script.end(), {op, uint8_t(rng()), uint8_t(rng())});
        while (script.size() < 84) script.push_back(uint8_t(rng()));
        script.insert(script.begin(), uint8_t(script.size()));
        Put(ops, "new" + std::to_string(s), script);
        for (size_t i = 0; i < files.size(); ++i) {
            Bytes input = script;
            input.insert(input.end(), files[i].begin(), files[i].end());
            Put(ops, "file" + std::to_string(s) + "_" + std::to_string(i), input);
        }
    }
    return 0;
}
