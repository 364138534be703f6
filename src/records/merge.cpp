// Merging small neighbour chunks after deletions, and collapsing an index
// that is left with fewer than two chunks.
#include <algorithm>
#include <cstring>

#include "records/records.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

struct MergeLimits {
    uint16_t min; // a chunk below this merges with a neighbour...
    uint16_t max; // ...when the two fit one chunk
};

// An empty chunk always merges away, whatever the class minimum says: it
// holds nothing and would only lengthen the index.
MergeLimits LimitsOf(FCB *fcb, uint8_t cls) {
    const FSClassDesc *d = ClassDesc(fcb, cls);
    if (d == nullptr) return {0, 0};
    return {std::max<uint16_t>(d->minPerChunk, 1), d->maxPerChunk};
}

uint8_t ClassOf(FCB *fcb, uint16_t ti) {
    ThunkLock lock(fcb);
    return lock.held ? ThunkAt(fcb, ti)->cls : CLASS_INDEX;
}

// Appends the b records of chunk right to chunk left (a records), then frees
// right. False when nothing was moved.
bool MergePair(FCB *fcb, uint16_t left, uint16_t a, uint16_t right, uint16_t b,
               uint16_t recSize) {
    if (b > 0) {
        void *from, *to;
        if (TBLockChunk(fcb, right, &from) != 0) return false;
        if (TBInsertInChunk(fcb, left, a, b, &to) != 0) {
            TBUnlockChunk(fcb, right, 0);
            return false;
        }
        std::memcpy(to, from, uint32_t{b} * recSize);
        TBUnlockChunk(fcb, right, 0);
        TBUnlockChunk(fcb, left, 1);
    }
    // Its records now live in left: right goes whatever TBFreeChunk says.
    TBFreeChunk(fcb, right);
    return true;
}

// One pass over the locked index refs of m references; returns the new m.
// Vacated references at the end are zeroed (no chunk, no image, 0 records)
// so that a failure to trim them leaves nothing that names a chunk twice.
uint16_t MergePass(FCB *fcb, uint8_t *refs, uint16_t stride, uint16_t m, uint8_t cls,
                   uint16_t recSize) {
    MergeLimits lim = LimitsOf(fcb, cls);
    auto ref = [&](uint32_t i) { return reinterpret_cast<ChunkRef *>(refs + i * stride); };
    for (uint16_t i = 0; i + 1 < m;) {
        uint16_t left, right;
        if (TBSlotFor(fcb, ref(i), &left) != 0 || TBSlotFor(fcb, ref(i + 1), &right) != 0) break;
        if (ClassOf(fcb, left) != cls || ClassOf(fcb, right) != cls) break;
        uint16_t a = TBChunkCount(fcb, left), b = TBChunkCount(fcb, right);
        if ((a >= lim.min && b >= lim.min) || uint32_t{a} + b > lim.max) {
            ++i;
            continue;
        }
        if (!MergePair(fcb, left, a, right, b, recSize)) break;
        std::memmove(ref(i + 1), ref(i + 2), static_cast<uint32_t>(m - i - 2) * stride);
        std::memset(ref(m - 1), 0, stride);
        TBLayoutChanged(fcb);
        --m;
    }
    return m;
}

} // namespace

void FSIMergeChunks(SCB *scb) {
    if (scb->flags & FS_SCB_SINGLE_CHUNK) return;
    FCB *fcb = scb->fcb;
    uint16_t top = scb->topThunk;
    uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    if (stride < sizeof(ChunkRef) || TBPinChunk(fcb, top, +1) != 0) return;
    void *data;
    if (TBLockChunk(fcb, top, &data) != 0) {
        TBPinChunk(fcb, top, -1);
        return;
    }
    uint16_t m0 = TBChunkCount(fcb, top);
    uint16_t m = m0 <= 1 ? m0
                         : MergePass(fcb, static_cast<uint8_t *>(data), stride, m0,
                                     scb->classNumber, scb->recSize);
    TBUnlockChunk(fcb, top, m < m0 ? 1 : 0);
    if (m < m0) TBDeleteInChunk(fcb, top, m, m0 - m);
    TBPinChunk(fcb, top, -1);
    if (m < 2) FSICollapseIndex(scb);
}

FSStatus FSICollapseIndex(SCB *scb) {
    if (scb->flags & FS_SCB_SINGLE_CHUNK) return 0;
    FCB *fcb = scb->fcb;
    TableRecord *rec;
    uint16_t master;
    FSStatus status = TBFindTable(fcb, scb->tableNumber, &rec, &master);
    if (status != 0) return status;

    uint16_t top;
    status = TBSlotFor(fcb, &rec->top, &top);
    uint16_t n = status == 0 && ClassOf(fcb, top) == CLASS_INDEX ? TBChunkCount(fcb, top) : 2;
    if (n < 2) {
        ChunkRef only;
        if (n == 1) {
            void *data;
            status = TBLockChunk(fcb, top, &data);
            if (status == 0) {
                std::memcpy(&only, data, sizeof only);
                TBUnlockChunk(fcb, top, 0);
            }
        } else {
            uint16_t fresh;
            status = TBNewChunk(fcb, &only, scb->classNumber, 0, &fresh);
        }
        if (status == 0) {
            rec->top = only;
            TBFreeChunk(fcb, top);
            rec->flags &= ~TABLE_INDEXED;
            FSIRefreshSessions(fcb, rec, scb->tableNumber);
        }
    }
    TBUnlockChunk(fcb, master, 1);
    return status;
}
