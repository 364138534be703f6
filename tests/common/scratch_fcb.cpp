// Scratch storage files for tests.
#include "common/scratch_fcb.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "blocks/memory.h"
#include "blocks/space.h"
#include "common/fcb_fixture.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/thunks.h"

FSClassDesc HostClass(uint16_t recSize, uint16_t maxPerChunk, uint8_t flags) {
    FSClassDesc d{};
    d.flags = flags, d.allocShift = 5, d.growShift = 8, d.recSize = recSize;
    d.maxPerChunk = maxPerChunk, d.minPerChunk = maxPerChunk / 4, d.ridCounter = 1;
    return d;
}

namespace {

std::string MakeFolderIn(const std::string &base) {
    std::string pattern = base + "/zunfs-test-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

} // namespace

std::string MakeScratchFolder() {
    const char *tmp = std::getenv("TMPDIR");
    return MakeFolderIn(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
}

std::string MakeMemoryScratchFolder() {
    std::string folder = MakeFolderIn("/dev/shm");
    return folder.empty() ? MakeScratchFolder() : folder;
}

void RemoveScratchFolder(const std::string &folder) {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
}

namespace {

// Makes the file and the FCB in folder (with layout through FSCreate); a
// bare FCB has fileSize 0, no class table and no master table.
FCB *MakeScratchFcb(const std::string &folder, const ScratchOptions &options) {
    if (options.layout) {
        FSContext ctx = ScratchContext(folder);
        ctx.classCount = static_cast<uint8_t>(options.hostClasses.size()), ctx.classes = options.hostClasses.data();
        ctx.memBudget = options.memBudget;
        FCB *fcb = nullptr;
        return FSCreate(&ctx, &fcb) == 0 ? fcb : nullptr;
    }
    auto *fcb = static_cast<FCB *>(VMAlloc(sizeof(FCB)));
    auto *spec = static_cast<VMFileSpec *>(VMAlloc(sizeof(VMFileSpec)));
    if (fcb == nullptr || spec == nullptr) return nullptr;
    std::string path = folder + "/scratch.zf";
    if (VMMakeFileSpec(path.c_str(), 0, spec) != 0 || VMCreateFile(spec) != 0) return nullptr;
    fcb->file = spec;
    FileHeader &h = fcb->h;
    h.magic = FS_MAGIC, h.formatVersion = FORMAT_CURRENT, h.allocShift = 6, h.growShift = 12;
    h.versionFlags = VER_CURRENT, h.formatMark = 1, h.maxChunk = MAX_CHUNK_DEFAULT, h.rootTable = TID_NONE;
    h.lruHead = h.lruTail = THUNK_NONE, h.memBudget = options.memBudget;
    fcb->thunkTable = GlobalAlloc(GMEM_MOVEABLE, 1);
    return BKNewFreeList(fcb, 1) == 0 ? fcb : nullptr;
}

void FreeScratchFcb(FCB *fcb) {
    if (fcb == nullptr) return;
    ASSERT_EQ(fcb->thunkLockDepth, 0u) << "a thunk-table lock was left held";
    if (auto *table = static_cast<Thunk *>(GlobalLock(fcb->thunkTable))) {
        for (uint16_t i = 0; i < fcb->h.thunkCount; ++i)
            if (table[i].mem != 0) GlobalFree(table[i].mem);
        GlobalUnlock(fcb->thunkTable);
    }
    GlobalFree(fcb->thunkTable);
    TBFreeLocateCache(fcb);
    if (fcb->freeList != 0) GlobalFree(fcb->freeList);
    VMFree(fcb->classTable);
    VMCloseDeleteFile(fcb->file);
    VMFree(fcb->file);
    VMFree(fcb);
}

} // namespace

std::vector<FreeEntry> FreeListOf(FCB *fcb) {
    if (fcb->h.freeCount == 0) return {};
    const FreeEntry *list = BKLockFreeList(fcb);
    std::vector<FreeEntry> out(list, list + fcb->h.freeCount);
    BKUnlockFreeList(fcb);
    return out;
}

void SetFreeList(FCB *fcb, const std::vector<FreeEntry> &entries) {
    ASSERT_EQ(BKResizeHandle(fcb, &fcb->freeList, entries.size() * sizeof(FreeEntry)), 0);
    fcb->h.freeCount = static_cast<uint16_t>(entries.size());
    if (!entries.empty()) std::memcpy(BKLockFreeList(fcb), entries.data(), entries.size() * sizeof(FreeEntry)), BKUnlockFreeList(fcb);
}

Thunk ThunkOf(FCB *fcb, uint16_t ti) {
    ThunkLock lock(fcb);
    return *ThunkAt(fcb, ti);
}

bool operator==(const FreeEntry &a, const FreeEntry &b) {
    return a.owners == b.owners && a.pos == b.pos && a.len == b.len;
}

void PrintTo(const FreeEntry &e, std::ostream *os) {
    *os << "(" << e.owners << ", " << e.pos << ", " << e.len << ")";
}

void ScratchFcbTest::SetUp() {
    VMFaultReset();
    ASSERT_FALSE((folder_ = MakeScratchFolder()).empty());
    ASSERT_NE(fcb_ = MakeScratchFcb(folder_, Options()), nullptr);
}

void ScratchFcbTest::TearDown() {
    VMFaultReset();
    GlobalSetMoveOnLock(0);
    FreeScratchFcb(fcb_);
    RemoveScratchFolder(folder_);
}

uint16_t ScratchFcbTest::NewChunk(uint8_t cls, uint16_t count) {
    uint16_t ti = THUNK_NONE;
    EXPECT_LT(nextRef_, refs_.size());
    EXPECT_EQ(TBNewChunk(fcb_, &refs_[nextRef_++], cls, count, &ti), 0);
    return ti;
}

void ScratchFcbTest::FillChunk(uint16_t ti, uint8_t seed) {
    void *data;
    ASSERT_EQ(TBLockChunk(fcb_, ti, &data), 0);
    const uint32_t bytes = uint32_t{TBChunkCount(fcb_, ti)} * ClassRecSize(fcb_, ThunkOf(fcb_, ti).cls);
    for (uint32_t i = 0; i < bytes; ++i) static_cast<uint8_t *>(data)[i] = static_cast<uint8_t>(seed + i * 7);
    ASSERT_EQ(TBUnlockChunk(fcb_, ti, 1), 0);
}

std::vector<uint8_t> ScratchFcbTest::ChunkBytes(uint16_t ti) {
    void *data;
    EXPECT_EQ(TBLockChunk(fcb_, ti, &data), 0);
    if (data == nullptr) return {};
    auto *p = static_cast<uint8_t *>(data);
    std::vector<uint8_t> out(p, p + uint32_t{TBChunkCount(fcb_, ti)} * ClassRecSize(fcb_, ThunkOf(fcb_, ti).cls));
    EXPECT_EQ(TBUnlockChunk(fcb_, ti, 0), 0);
    return out;
}

uint16_t ScratchFcbTest::NewIndex(const std::vector<uint16_t> &counts, uint8_t cls, int changed,
                                  std::vector<uint16_t> *children) {
    uint16_t idx = NewChunk(CLASS_INDEX, static_cast<uint16_t>(counts.size()));
    void *data;
    EXPECT_EQ(TBLockChunk(fcb_, idx, &data), 0);
    auto *refs = static_cast<ChunkRef *>(data);
    for (size_t i = 0; i < counts.size(); ++i) {
        uint16_t child;
        EXPECT_EQ(TBNewChunk(fcb_, &refs[i], cls, counts[i], &child), 0);
        if (children != nullptr) children->push_back(child);
    }
    EXPECT_EQ(TBUnlockChunk(fcb_, idx, changed), 0);
    return idx;
}

FSStatus CommitNow(FCB *fcb, const VersionMove &move) {
    VersionCommit c;
    FSStatus status = BKPrepareCommit(fcb, move, &c);
    if (status == 0) status = BKWriteCommitList(fcb, c);
    if (status != 0) return BKDropCommit(fcb, &c), status;
    BKCommitHeader(c, fcb->h);
    return BKAdoptCommit(fcb, &c), 0;
}
