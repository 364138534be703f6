// Looking into tables from tests.
#include "common/table_probe.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "blocks/space.h"
#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

uint16_t RefCount(FCB *fcb, const ChunkRef &ref) {
    if (ref.flags & REF_RESIDENT) return ThunkOf(fcb, ref.thunk).count;
    return ref.storedCount;
}

// Copies of the references of the index chunk top.
std::vector<ChunkRef> IndexRefs(FCB *fcb, uint16_t top) {
    std::vector<ChunkRef> refs(TBChunkCount(fcb, top));
    if (refs.empty()) return refs;
    void *data;
    if (TBLockChunk(fcb, top, &data) != 0) return {};
    uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    for (size_t i = 0; i < refs.size(); ++i)
        std::memcpy(&refs[i], static_cast<uint8_t *>(data) + i * stride, sizeof(ChunkRef));
    TBUnlockChunk(fcb, top, 0);
    return refs;
}

uint16_t RecSizeOf(FCB *fcb, uint16_t ti) { return ClassRecSize(fcb, ThunkOf(fcb, ti).cls); }

} // namespace

bool IsIndexed(FCB *fcb, uint16_t top) { return ThunkOf(fcb, top).cls == CLASS_INDEX; }

std::vector<uint16_t> ChunkCounts(FCB *fcb, uint16_t top) {
    ThunkLock hold(fcb);
    if (!IsIndexed(fcb, top)) return {TBChunkCount(fcb, top)};
    std::vector<uint16_t> counts;
    for (const ChunkRef &ref : IndexRefs(fcb, top)) counts.push_back(RefCount(fcb, ref));
    return counts;
}

namespace {

// Appends the records of chunk ti to out.
bool AppendChunk(FCB *fcb, uint16_t ti, std::vector<uint8_t> *out) {
    const uint32_t bytes = uint32_t{TBChunkCount(fcb, ti)} * RecSizeOf(fcb, ti);
    if (bytes == 0) return true;
    void *data;
    if (TBLockChunk(fcb, ti, &data) != 0) return false;
    auto *p = static_cast<uint8_t *>(data);
    out->insert(out->end(), p, p + bytes);
    TBUnlockChunk(fcb, ti, 0);
    return true;
}

} // namespace

std::vector<uint8_t> ReadRecords(FCB *fcb, uint16_t top) {
    // Held across the walk: the invariant checks run once, at its end.
    ThunkLock hold(fcb);
    std::vector<uint8_t> out;
    if (!IsIndexed(fcb, top)) {
        AppendChunk(fcb, top, &out);
        return out;
    }
    // The index stays locked, so the thunks given to its chunks stay theirs.
    void *refs;
    if (TBChunkCount(fcb, top) == 0 || TBLockChunk(fcb, top, &refs) != 0) return out;
    const uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    for (uint32_t i = 0; i < TBChunkCount(fcb, top); ++i) {
        uint16_t ti;
        auto *ref = reinterpret_cast<ChunkRef *>(static_cast<uint8_t *>(refs) + i * stride);
        if (TBSlotFor(fcb, ref, &ti) != 0 || !AppendChunk(fcb, ti, &out)) break;
    }
    TBUnlockChunk(fcb, top, 0);
    return out;
}

std::vector<uint8_t> ReadRecord(FCB *fcb, uint16_t top, uint32_t rix) {
    uint16_t chunk, count;
    uint32_t first;
    if (TBLocateRecord(fcb, top, rix, &chunk, &first, &count, nullptr) != 0 || rix >= first + count)
        return {};
    const uint32_t recSize = RecSizeOf(fcb, chunk);
    void *data;
    if (TBLockChunk(fcb, chunk, &data) != 0) return {};
    auto *p = static_cast<uint8_t *>(data) + (rix - first) * recSize;
    std::vector<uint8_t> out(p, p + recSize);
    TBUnlockChunk(fcb, chunk, 0);
    return out;
}

FSStatus WriteRecords(FCB *fcb, uint16_t top, uint32_t rix, const std::vector<uint8_t> &bytes) {
    ThunkLock hold(fcb);
    size_t done = 0;
    while (done < bytes.size()) {
        uint16_t chunk, count;
        uint32_t first;
        FSStatus status = TBLocateRecord(fcb, top, rix, &chunk, &first, &count, nullptr);
        if (status != 0) return status;
        const uint32_t recSize = RecSizeOf(fcb, chunk);
        void *data;
        if ((status = TBLockChunk(fcb, chunk, &data)) != 0) return status;
        size_t n = std::min<size_t>(bytes.size() - done, (first + count - rix) * size_t{recSize});
        std::memcpy(static_cast<uint8_t *>(data) + (rix - first) * recSize, bytes.data() + done, n);
        TBUnlockChunk(fcb, chunk, 1);
        done += n;
        rix = first + count;
    }
    return 0;
}

FSStatus DeleteRecords(FCB *fcb, uint16_t top, uint32_t rix, uint32_t n) {
    while (n > 0) {
        uint16_t chunk, count;
        uint32_t first;
        FSStatus status = TBLocateRecord(fcb, top, rix, &chunk, &first, &count, nullptr);
        if (status != 0) return status;
        uint32_t k = std::min<uint32_t>(n, first + count - rix);
        if (k == 0) return FS_E_BAD_RIX;
        if ((status = TBDeleteInChunk(fcb, chunk, static_cast<uint16_t>(rix - first),
                                      static_cast<uint16_t>(k))) != 0)
            return status;
        n -= k;
    }
    return 0;
}

FSStatus HoldTable(FCB *fcb, uint16_t tid, HeldTable *held) {
    TableRecord *record;
    FSStatus status = TBFindTable(fcb, tid, &record, &held->masterChunk);
    if (status != 0) return status;
    TBPinChunk(fcb, held->masterChunk, +1);
    status = TBSlotFor(fcb, &record->top, &held->top);
    TBUnlockChunk(fcb, held->masterChunk, 0);
    held->tid = tid;
    return status;
}

void ReleaseTable(FCB *fcb, const HeldTable &held) { TBPinChunk(fcb, held.masterChunk, -1); }

void NoteShape(FCB *fcb, const HeldTable &held) {
    TableRecord *record;
    uint16_t chunk;
    if (TBFindTable(fcb, held.tid, &record, &chunk) != 0) return;
    uint8_t before = record->flags;
    if (IsIndexed(fcb, held.top)) record->flags |= TABLE_INDEXED;
    else record->flags &= ~TABLE_INDEXED;
    TBUnlockChunk(fcb, chunk, record->flags != before);
}

namespace {

void AddImage(FCB *fcb, uint8_t cls, uint16_t stored, uint32_t pos, std::vector<Image> *out) {
    if (pos != 0) out->push_back({pos, uint32_t{stored} * ClassRecSize(fcb, cls)});
}

// The image of the chunk a reference names (through its thunk when
// resident), and, for a chunk of references, the images below it.
void Collect(FCB *fcb, ChunkRef ref, std::vector<Image> *out);

void CollectChildren(FCB *fcb, uint16_t ti, std::vector<Image> *out) {
    const uint8_t cls = ThunkOf(fcb, ti).cls;
    if (!ClassHoldsRefs(fcb, cls) || TBChunkCount(fcb, ti) == 0) return;
    const uint16_t stride = ClassRecSize(fcb, cls);
    void *data;
    if (TBLockChunk(fcb, ti, &data) != 0) return;
    std::vector<ChunkRef> refs;
    for (uint32_t i = 0; i < TBChunkCount(fcb, ti); ++i) {
        auto *p = static_cast<uint8_t *>(data) + i * stride;
        if (cls == CLASS_MASTER && (p[10] & TABLE_IN_USE) == 0) continue;
        ChunkRef ref;
        std::memcpy(&ref, p, sizeof ref);
        refs.push_back(ref);
    }
    TBUnlockChunk(fcb, ti, 0);
    for (const ChunkRef &ref : refs) Collect(fcb, ref, out);
}

void Collect(FCB *fcb, ChunkRef ref, std::vector<Image> *out) {
    if (ref.flags & REF_RESIDENT) {
        Thunk t = ThunkOf(fcb, ref.thunk);
        AddImage(fcb, t.cls, t.storedCount, t.filePos, out);
        CollectChildren(fcb, ref.thunk, out);
        return;
    }
    AddImage(fcb, ref.cls, ref.storedCount, ref.filePos, out);
    if (!ClassHoldsRefs(fcb, ref.cls) || ref.storedCount == 0) return;
    // Not resident: read its references from the file.
    const uint16_t stride = ClassRecSize(fcb, ref.cls);
    std::vector<uint8_t> bytes(uint32_t{ref.storedCount} * stride);
    if (VMRead(fcb->file, ref.filePos, static_cast<uint32_t>(bytes.size()), bytes.data()) != 0) return;
    for (uint32_t i = 0; i < ref.storedCount; ++i) {
        if (ref.cls == CLASS_MASTER && (bytes[i * stride + 10] & TABLE_IN_USE) == 0) continue;
        ChunkRef child;
        std::memcpy(&child, bytes.data() + i * stride, sizeof child);
        child.flags &= ~REF_RESIDENT;
        Collect(fcb, child, out);
    }
}

} // namespace

std::vector<Image> LiveImages(FCB *fcb) {
    std::vector<Image> out;
    Collect(fcb, fcb->h.currentRoot, &out);
    return out;
}

std::string SpaceCensus(FCB *fcb) {
    // Collecting the images loads chunks; without a budget meanwhile no
    // other chunk is written back (moving its image) during the census.
    const uint32_t budget = fcb->h.memBudget;
    fcb->h.memBudget = 0;
    const std::vector<Image> images = LiveImages(fcb);
    fcb->h.memBudget = budget;
    const std::vector<FreeEntry> runs = FreeListOf(fcb);
    const uint32_t g = Granule(fcb);
    const uint32_t granules = fcb->h.fileSize / g;
    // What each granule is: 0 unclaimed, else the claimant's number.
    std::vector<int> owner(granules, 0);
    std::ostringstream fault;
    int next = 0;
    auto claim = [&](uint32_t pos, uint32_t len, const std::string &what) {
        ++next;
        uint64_t end = uint64_t{pos} + RoundUp(len, fcb->h.allocShift);
        if (end > fcb->h.fileSize) {
            if (fault.tellp() == 0) fault << what << " at " << pos << " passes fileSize";
            return;
        }
        for (uint32_t i = pos / g; i < end / g; ++i) {
            if (owner[i] != 0 && fault.tellp() == 0)
                fault << what << " at " << pos << " overlaps claimant " << owner[i];
            owner[i] = next;
        }
    };
    claim(0, HEADER_SIZE, "header");
    claim(fcb->h.classTableOffset, uint32_t{fcb->h.classCount} * sizeof(FSClassDesc), "class table");
    for (const Image &image : images)
        if (image.len != 0) claim(image.pos, image.len, "image");
    for (const FreeEntry &e : runs)
        if (e.owners == 0) claim(e.pos, e.len, "free run");
    if (fault.tellp() != 0) return fault.str();
    for (uint32_t i = 0; i < granules; ++i)
        if (owner[i] == 0) return "space lost at " + std::to_string(i * g);
    return "";
}
