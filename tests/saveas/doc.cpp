// A storage file and its model for save-as tests.
#include "saveas/doc.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include <zunfs/zunfs_check.h>

#include "common/read_saved.h"
#include "common/scratch_fcb.h"

std::vector<FSClassDesc> DocClasses() {
    return {HostClass(8, 6), HostClass(100, 300), HostClass(24, 40)};
}

Doc::Doc(const std::string &folder, uint32_t memBudget) : folder_(folder) {
    static const std::vector<FSClassDesc> classes = DocClasses();
    FSContext ctx{};
    ctx.fileType = 0x5A46;
    ctx.appVersion = 1;
    ctx.classCount = static_cast<uint8_t>(classes.size());
    ctx.classes = classes.data();
    ctx.memBudget = memBudget;
    EXPECT_EQ(VMMakeFileSpec(folder.c_str(), 0, &ctx.scratchSpec), 0);
    EXPECT_EQ(FSCreate(&ctx, &fcb), 0);
}

Doc::~Doc() { Close(); }

void Doc::Close(uint16_t keep) {
    if (fcb != nullptr) FSFileClose(fcb, keep);
    fcb = nullptr;
}

size_t Doc::Make(uint8_t cls) {
    uint16_t tid = TID_NONE;
    EXPECT_EQ(FSMakeTable(fcb, cls, &tid), 0);
    tables.push_back(DocTable{tid, cls, DocClasses()[cls - CLASS_FIRST_HOST].recSize, {}});
    return tables.size() - 1;
}

namespace {

// A session on the table, checked in when it goes.
struct Session {
    SCB *scb = nullptr;
    Session(FCB *fcb, uint16_t tid, uint32_t mode) {
        EXPECT_EQ(FSCheckOut(fcb, tid, mode, &scb), 0);
    }
    ~Session() { FSCheckIn(scb); }
};

// Copies n records from src into the table from the record the session has
// locked on, stepping record by record and marking every chunk it enters.
void WriteFrom(SCB *scb, void *rec, const uint8_t *src, uint32_t n, uint16_t size) {
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_NE(rec, nullptr) << "record " << i << " of " << n << ", status " << FSError(scb);
        std::memcpy(rec, src + i * size, size);
        FSDirtyRec(scb);
        if (i + 1 < n) rec = FSLockNext(scb);
    }
    FSUnlock(scb);
    ASSERT_EQ(FSError(scb), 0);
}

} // namespace

void Doc::Insert(size_t t, uint32_t rix, uint32_t n, uint32_t seed) {
    DocTable &table = tables[t];
    Session s(fcb, table.tid, 1);
    void *rec = nullptr;
    ASSERT_EQ(FSIAddLock(s.scb, rix, n, 0, &rec), 0);
    Bytes add = gen::PatternRecords(n, table.size, seed);
    size_t at = rix == RIX_LAST ? table.records.size() : size_t{rix} * table.size;
    table.records.insert(table.records.begin() + long(at), add.begin(), add.end());
    WriteFrom(s.scb, rec, add.data(), n, table.size);
}

void Doc::Overwrite(size_t t, uint32_t rix, uint32_t n, uint32_t seed) {
    DocTable &table = tables[t];
    Session s(fcb, table.tid, 1);
    void *rec = nullptr;
    ASSERT_EQ(FSIxLock(s.scb, rix, &rec, nullptr), 0);
    Bytes put = gen::PatternRecords(n, table.size, seed);
    std::copy(put.begin(), put.end(), table.records.begin() + long(rix) * table.size);
    WriteFrom(s.scb, rec, put.data(), n, table.size);
}

void Doc::Delete(size_t t, uint32_t rix, uint32_t n) {
    DocTable &table = tables[t];
    Session s(fcb, table.tid, 1);
    ASSERT_EQ(FSIRecOps(s.scb, FSOpDelete, rix, n, nullptr, 0), 0);
    auto from = table.records.begin() + long(rix) * table.size;
    table.records.erase(from, from + long(n) * table.size);
}

Bytes Doc::Read(size_t t) {
    const DocTable &table = tables[t];
    Session s(fcb, table.tid, 0);
    Bytes out;
    uint32_t n = FSTableSize(s.scb);
    void *rec = nullptr;
    if (n != 0) {
        EXPECT_EQ(FSIxLock(s.scb, 0, &rec, nullptr), 0);
    }
    for (uint32_t i = 0; i < n && rec != nullptr; ++i) {
        auto *p = static_cast<uint8_t *>(rec);
        out.insert(out.end(), p, p + table.size);
        if (i + 1 < n) rec = FSLockNext(s.scb);
    }
    FSUnlock(s.scb);
    EXPECT_EQ(FSError(s.scb), 0);
    return out;
}

void Doc::ExpectRecords() {
    for (size_t t = 0; t < tables.size(); ++t)
        EXPECT_TRUE(Read(t) == tables[t].records) << "table " << tables[t].tid;
}

void Doc::Fill(uint32_t seed) {
    size_t big = Make(5), small = Make(4), emptied = Make(6), single = Make(6);
    Insert(big, RIX_LAST, 1000, seed);
    Insert(small, RIX_LAST, 200, seed + 1);
    Insert(emptied, RIX_LAST, 50, seed + 2);
    Delete(emptied, 0, 50);
    Insert(single, RIX_LAST, 30, seed + 3);
    Churn(seed, 40);
}

void Doc::Churn(uint32_t seed, int steps) {
    std::mt19937 rng(seed);
    auto r = [&](uint32_t n) { return n == 0 ? 0u : static_cast<uint32_t>(rng() % n); };
    for (int i = 0; i < steps && !::testing::Test::HasFatalFailure(); ++i) {
        size_t t = r(static_cast<uint32_t>(tables.size()));
        auto count = static_cast<uint32_t>(tables[t].records.size() / tables[t].size);
        uint32_t what = r(3), rix = r(count + 1), n = 1 + r(40);
        if (what == 0 || count == 0) {
            Insert(t, rix, n, seed * 977 + i);
        } else if (what == 1) {
            rix = std::min(rix, count - 1);
            Overwrite(t, rix, std::min(n, count - rix), seed * 983 + i);
        } else {
            rix = std::min(rix, count - 1);
            Delete(t, rix, std::min(n, count - rix));
        }
    }
}

std::string CheckerFindings(const std::string &path) {
    ZunfsCheckReport *report = nullptr;
    FSStatus status = ZunfsCheckFile(path.c_str(), &report);
    if (status != 0) return "the checker could not run: " + std::to_string(status);
    std::string out;
    for (uint32_t i = 0; i < report->findingCount; ++i)
        out += std::string(ZunfsCheckKindName(report->findings[i].kind)) + ": " +
               report->findings[i].message + "\n";
    ZunfsCheckFree(report);
    return out;
}

std::string Differences(const std::string &path, const std::vector<DocTable> &tables) {
    std::string out = CheckerFindings(path);
    try {
        gen::ReadVersion v = gen::ReadSaved(gen::ReadFile(path));
        size_t inUse = 0;
        for (const gen::ReadTable &t : v.tables) inUse += t.inUse;
        if (inUse != tables.size()) out += std::to_string(inUse) + " tables in use\n";
        for (const DocTable &t : tables)
            if (t.tid >= v.tables.size() || !v.tables[t.tid].inUse || v.tables[t.tid].cls != t.cls ||
                v.tables[t.tid].records != t.records)
                out += "table " + std::to_string(t.tid) + " differs\n";
    } catch (const std::exception &e) {
        out += e.what();
    }
    return out;
}

void ExpectFileHolds(const std::string &path, const std::vector<DocTable> &tables) {
    EXPECT_EQ(Differences(path, tables), "") << path;
}

std::vector<uint32_t> ImageSizes(const Bytes &file) {
    std::vector<uint32_t> sizes;
    const uint32_t classTable = gen::Get32(file, 86);
    auto recSize = [&](uint8_t cls) { return uint32_t{gen::Get16(file, classTable + cls * 14u + 4)}; };
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

VMFileSpec Spec(const std::string &path) {
    VMFileSpec spec{};
    EXPECT_EQ(VMMakeFileSpec(path.c_str(), 0, &spec), 0);
    return spec;
}

std::vector<std::string> FilesIn(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
