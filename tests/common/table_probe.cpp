// Looking into tables from tests.
#include "common/table_probe.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "common/scratch_fcb.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

uint32_t RecSizeOf(FCB *fcb, uint16_t ti) { return ClassRecSize(fcb, ThunkOf(fcb, ti).cls); }

// Calls visit with the thunk of each of the table's chunks in order. The
// index stays locked meanwhile, so the thunks stay its chunks'; the thunk
// table is held too, so the invariant checks run once, at the end.
void ForEachChunk(FCB *fcb, uint16_t top, const std::function<void(uint16_t)> &visit) {
    ThunkLock hold(fcb);
    if (!IsIndexed(fcb, top)) return visit(top);
    void *refs;
    if (TBChunkCount(fcb, top) == 0 || TBLockChunk(fcb, top, &refs) != 0) return;
    const uint32_t stride = ClassRecSize(fcb, CLASS_INDEX);
    for (uint32_t i = 0; i < TBChunkCount(fcb, top); ++i) {
        uint16_t ti;
        auto *ref = reinterpret_cast<ChunkRef *>(static_cast<uint8_t *>(refs) + i * stride);
        if (TBSlotFor(fcb, ref, &ti) == 0) visit(ti);
    }
    TBUnlockChunk(fcb, top, 0);
}

} // namespace

bool IsIndexed(FCB *fcb, uint16_t top) { return ThunkOf(fcb, top).cls == CLASS_INDEX; }

std::vector<uint16_t> ChunkCounts(FCB *fcb, uint16_t top) {
    std::vector<uint16_t> counts;
    ForEachChunk(fcb, top, [&](uint16_t ti) { counts.push_back(TBChunkCount(fcb, ti)); });
    return counts;
}

std::vector<uint8_t> ReadRecords(FCB *fcb, uint16_t top) {
    std::vector<uint8_t> out;
    ForEachChunk(fcb, top, [&](uint16_t ti) {
        void *data;
        if (TBChunkCount(fcb, ti) == 0 || TBLockChunk(fcb, ti, &data) != 0) return;
        auto *p = static_cast<uint8_t *>(data);
        out.insert(out.end(), p, p + TBChunkCount(fcb, ti) * RecSizeOf(fcb, ti));
        TBUnlockChunk(fcb, ti, 0);
    });
    return out;
}

std::vector<uint8_t> ReadRecord(FCB *fcb, uint16_t top, uint32_t rix) {
    uint16_t chunk, count;
    uint32_t first;
    void *data;
    if (TBLocateRecord(fcb, top, rix, &chunk, &first, &count, nullptr) != 0 || rix >= first + count ||
        TBLockChunk(fcb, chunk, &data) != 0)
        return {};
    auto *p = static_cast<uint8_t *>(data) + (rix - first) * RecSizeOf(fcb, chunk);
    std::vector<uint8_t> out(p, p + RecSizeOf(fcb, chunk));
    return TBUnlockChunk(fcb, chunk, 0), out;
}

FSStatus WriteRecords(FCB *fcb, uint16_t top, uint32_t rix, const std::vector<uint8_t> &bytes) {
    ThunkLock hold(fcb);
    for (size_t done = 0; done < bytes.size();) {
        uint16_t chunk, count;
        uint32_t first;
        void *data;
        FSStatus status = TBLocateRecord(fcb, top, rix, &chunk, &first, &count, nullptr);
        if (status != 0 || (status = TBLockChunk(fcb, chunk, &data)) != 0) return status;
        const uint32_t recSize = RecSizeOf(fcb, chunk);
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
        uint16_t chunk = 0, count = 0;
        uint32_t first = rix;
        FSStatus status = TBLocateRecord(fcb, top, rix, &chunk, &first, &count, nullptr);
        const uint32_t k = std::min<uint32_t>(n, first + count - rix);
        if (status == 0 && k == 0) status = FS_E_BAD_RIX;
        if (status == 0) status = TBDeleteInChunk(fcb, chunk, static_cast<uint16_t>(rix - first), static_cast<uint16_t>(k));
        if (status != 0) return status;
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
    if (status != 0) TBPinChunk(fcb, held->masterChunk, -1); // nothing held
    held->tid = tid;
    return status;
}

void ReleaseTable(FCB *fcb, const HeldTable &held) { TBPinChunk(fcb, held.masterChunk, -1); }

void NoteShape(FCB *fcb, const HeldTable &held) {
    TableRecord *record;
    uint16_t chunk;
    if (TBFindTable(fcb, held.tid, &record, &chunk) != 0) return;
    record->flags = static_cast<uint8_t>(IsIndexed(fcb, held.top) ? record->flags | TABLE_INDEXED : record->flags & ~TABLE_INDEXED);
    TBUnlockChunk(fcb, chunk, 1);
}
