// Save-as tests: documents, and the compact files read byte by byte.
#include <algorithm>
#include <cstring>

#include "common/read_saved.h"
#include "saveas/saveas_fixture.h"

using gen::Get16;
using gen::Get32;

void AddBulk(FCB *fcb, Doc &doc, std::mt19937 &rng, uint32_t bytes) {
    uint16_t tid;
    DocMakeTable(fcb, doc, 6, &tid);
    for (uint32_t done = 0; done < bytes && !::testing::Test::HasFatalFailure(); done += 20000)
        DocInsert(fcb, doc, tid, done, RandomRecords(rng, 6, std::min(20000u, bytes - done)));
}

std::string Differences(const std::string &path, const Doc &doc) {
    ::testing::AssertionResult clean = FileIsClean(path);
    std::string out = clean ? "" : clean.message();
    try {
        gen::ReadVersion v = gen::ReadSaved(gen::ReadFile(path));
        size_t inUse = 0;
        for (const gen::ReadTable &t : v.tables) inUse += t.inUse;
        if (inUse != doc.size()) out += std::to_string(inUse) + " tables in use\n";
        for (const auto &[tid, t] : doc) {
            Bytes records;
            for (const Record &r : t.recs) records.insert(records.end(), r.begin(), r.end());
            if (tid >= v.tables.size() || !v.tables[tid].inUse || v.tables[tid].cls != t.cls ||
                v.tables[tid].records != records)
                out += "table " + std::to_string(tid) + " differs\n";
        }
    } catch (const std::exception &e) {
        out += e.what();
    }
    return out;
}

std::vector<uint32_t> ImageSizes(const Bytes &file) {
    std::vector<uint32_t> sizes;
    const uint32_t classTable = Get32(file, 86);
    auto recSize = [&](uint8_t cls) { return uint32_t{Get16(file, classTable + cls * 14u + 4)}; };
    gen::ReadVersion v = gen::ReadSaved(file);
    if (v.masterIndexed) sizes.push_back(uint32_t(v.masterChunks.size()) * 10);
    for (uint16_t c : v.masterChunks) sizes.push_back(c * 16u);
    for (const gen::ReadTable &t : v.tables) {
        if (!t.inUse) continue;
        if (t.indexed) sizes.push_back(uint32_t(t.chunks.size()) * 10);
        for (uint16_t c : t.chunks) sizes.push_back(c * recSize(t.cls));
    }
    std::erase(sizes, 0u);
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

uint32_t CompactSizeOf(const Bytes &file) {
    uint32_t size = gen::RoundUp(HEADER_SIZE, 64) + gen::RoundUp(file.at(42) * 14u, 64);
    for (uint32_t bytes : ImageSizes(file)) size += gen::RoundUp(bytes, 64);
    return size;
}

void ExpectCompact(FCB *fcb, const std::string &path) {
    Bytes bytes = gen::ReadFile(path);
    ASSERT_GE(bytes.size(), HEADER_SIZE);
    const uint32_t size = uint32_t(bytes.size());
    EXPECT_EQ(size, CompactSizeOf(bytes)) << "images are not packed";
    // fileSize, savedFileSize, miniFileSize, versionFlags, classTableOffset,
    // savedFreeCount and savedFreeOffset, stateFlags but the closed bit.
    EXPECT_EQ((std::vector<uint32_t>{Get32(bytes, 22), Get32(bytes, 26), Get32(bytes, 30), Get16(bytes, 16), Get32(bytes, 86),
                                     Get16(bytes, 102), Get32(bytes, 104), Get16(bytes, 8) & 0x6Fu}),
              (std::vector<uint32_t>{size, size, 0, VER_CURRENT | VER_SAVED, 192, 0, 0, 0}));
    EXPECT_EQ(std::memcmp(&bytes[44], &bytes[64], sizeof(ChunkRef)), 0) << "savedRoot";
    EXPECT_STREQ(VMFileSpecPath(FSFileSpec(fcb)), path.c_str());
    EXPECT_EQ((std::vector<int>{FSSaved(fcb), FSCommitted(fcb), FSDirtied(fcb), FSError(fcb)}), (std::vector<int>{4, 0, 0, 0}));
    uint32_t compSize = 0;
    EXPECT_EQ(FSCompSize(fcb, &compSize), 0);
    EXPECT_EQ(compSize, size) << "FSCompSize right after a save-as";
}
