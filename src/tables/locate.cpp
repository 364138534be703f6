// Finding the chunk that holds a record, counting a table's records, and
// finding a table's record in the master table.
#include <cstdlib>

#include "blocks/cache.h"
#include "blocks/checks.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

// Record count of the chunk a reference names: its thunk's while resident.
uint16_t RefCount(FCB *fcb, const ChunkRef &ref) {
    if ((ref.flags & REF_RESIDENT) && ThunkLive(fcb, ref.thunk)) return ThunkAt(fcb, ref.thunk)->count;
    return ref.storedCount;
}

// Locks the index chunk top; its references lie every *stride bytes.
FSStatus LockIndex(FCB *fcb, uint16_t top, uint8_t **refs, uint16_t *stride) {
    *stride = ClassRecSize(fcb, CLASS_INDEX);
    if (*stride < sizeof(ChunkRef)) return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    void *data = nullptr;
    FSStatus status = TBLockChunk(fcb, top, &data);
    *refs = static_cast<uint8_t *>(data);
    return status;
}

ChunkRef *RefAt(uint8_t *refs, uint32_t i, uint16_t stride) {
    return reinterpret_cast<ChunkRef *>(refs + i * stride);
}

bool CacheValid(const FCB *fcb, uint16_t top, uint16_t n) {
    const LocateCache &c = fcb->locate;
    return c.starts != nullptr && c.gen == fcb->layoutGen && c.top == top && c.count == n;
}

// The first RIX of each of the n chunks of index top, from the cache or
// rebuilt into it by one walk; null when there is no memory for it.
const uint32_t *ChunkStarts(FCB *fcb, uint16_t top, uint16_t n, uint8_t *refs, uint16_t stride) {
    LocateCache &c = fcb->locate;
    if (CacheValid(fcb, top, n)) return c.starts;
    if (c.capacity < n + 1u) {
        uint32_t capacity = n + 1u > 2 * c.capacity ? n + 1u : 2 * c.capacity;
        void *grown = std::realloc(c.starts, capacity * sizeof(uint32_t));
        if (grown == nullptr) return nullptr;
        c.starts = static_cast<uint32_t *>(grown);
        c.capacity = capacity;
    }
    uint32_t f = 0;
    for (uint32_t i = 0; i < n; ++i) {
        c.starts[i] = f;
        f += RefCount(fcb, *RefAt(refs, i, stride));
    }
    c.starts[n] = f;
    c.gen = fcb->layoutGen;
    c.top = top;
    c.count = n;
    c.lastThunk = THUNK_NONE;
    return c.starts;
}

// Position in the index of the chunk holding rix, and its first RIX: the
// first chunk that ends past rix, or the last one for the end position; n
// when rix is beyond the end.
uint16_t FindChunk(FCB *fcb, uint16_t top, uint16_t n, uint8_t *refs, uint16_t stride,
                   uint32_t rix, uint32_t *first) {
    uint16_t at = 0;
    uint32_t f = 0;
    if (const uint32_t *starts = ChunkStarts(fcb, top, n, refs, stride)) {
        uint32_t lo = 0, hi = n; // the answer's end, starts[at + 1], is the first above rix
        while (lo < hi) {
            uint32_t mid = (lo + hi) / 2;
            if (starts[mid + 1] > rix) hi = mid;
            else lo = mid + 1;
        }
        at = static_cast<uint16_t>(lo);
        if (at == n && n > 0 && starts[n] == rix) at = n - 1;
        f = starts[at];
    } else {
        while (at < n) {
            uint32_t c = RefCount(fcb, *RefAt(refs, at, stride));
            if (f + c > rix || (f + c == rix && at + 1 == n)) break;
            f += c;
            ++at;
        }
    }
    *first = f;
    return at;
}

// True when the reference has no thunk and none is free: the thunk table is
// at its limit and every thunk is in use.
bool NoThunkFree(FCB *fcb, const ChunkRef &ref) {
    if ((ref.flags & REF_RESIDENT) || fcb->h.thunkCount < THUNK_CAPACITY_MAX) return false;
    return TBFindFreeThunk(fcb->h.thunkCount, fcb->thunks) == fcb->h.thunkCount;
}

} // namespace

void TBCountChanged(FCB *fcb, uint16_t ti, int delta) {
    LocateCache &c = fcb->locate;
    const bool kept = c.starts != nullptr && c.gen == fcb->layoutGen && c.lastThunk == ti &&
                      c.lastAt < c.count;
    TBLayoutChanged(fcb);
    if (!kept) return;
    for (uint32_t i = c.lastAt + 1u; i <= c.count; ++i) c.starts[i] += static_cast<uint32_t>(delta);
    c.gen = fcb->layoutGen;
}

void TBFreeLocateCache(FCB *fcb) {
    std::free(fcb->locate.starts);
    fcb->locate = LocateCache{};
    TBLayoutChanged(fcb);
}

FSStatus TBLocateRecord(FCB *fcb, uint16_t top, uint32_t rix, uint16_t *chunk,
                        uint32_t *first, uint16_t *count, uint16_t *indexPos) {
    if (top >= fcb->h.thunkCount) return FS_E_BAD_PARAMS;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_LOCKMEM;

    uint16_t found = top, at = 0;
    uint32_t f = 0;
    if (ThunkAt(fcb, top)->cls != CLASS_INDEX) {
        if (rix > ThunkAt(fcb, top)->count) return FS_E_BAD_RIX;
    } else {
        uint8_t *refs = nullptr;
        uint16_t stride = 0;
        FSStatus status = LockIndex(fcb, top, &refs, &stride);
        if (status != 0) return status;
        // A RIX on a chunk boundary belongs to the later chunk; the end
        // position belongs to the last chunk.
        const uint16_t n = ThunkAt(fcb, top)->count;
        at = FindChunk(fcb, top, n, refs, stride, rix, &f);
        if (at < n && NoThunkFree(fcb, *RefAt(refs, at, stride))) {
            // Writing back the index gives its chunks' thunks back, which it
            // cannot do while locked here. Write-back changes no count.
            TBUnlockChunk(fcb, top, 0);
            BKFlushList(fcb, BK_QUOTA_ALL);
            if ((status = LockIndex(fcb, top, &refs, &stride)) != 0) return status;
        }
        status = at < n ? TBSlotFor(fcb, RefAt(refs, at, stride), &found) : FS_E_BAD_RIX;
        if (status == 0 && CacheValid(fcb, top, n)) {
            fcb->locate.lastAt = at;
            fcb->locate.lastThunk = found;
        }
        TBUnlockChunk(fcb, top, 0); // a thunk index in a reference is no change to the file
        if (status != 0) return status;
    }
    if (chunk != nullptr) *chunk = found;
    if (first != nullptr) *first = f;
    if (count != nullptr) *count = ThunkAt(fcb, found)->count;
    if (indexPos != nullptr) *indexPos = at;
    return 0;
}

uint32_t TBRecordCount(FCB *fcb, uint16_t top) {
    if (top >= fcb->h.thunkCount) return 0;
    BlockOp op(fcb);
    ThunkLock lock(fcb);
    if (!lock.held) return 0;
    if (ThunkAt(fcb, top)->cls != CLASS_INDEX) return ThunkAt(fcb, top)->count;
    if (CacheValid(fcb, top, ThunkAt(fcb, top)->count)) return fcb->locate.starts[fcb->locate.count];
    uint8_t *refs = nullptr;
    uint16_t stride = 0;
    if (LockIndex(fcb, top, &refs, &stride) != 0) return 0;
    uint32_t total = 0;
    for (uint32_t i = 0, n = ThunkAt(fcb, top)->count; i < n; ++i)
        total += RefCount(fcb, *RefAt(refs, i, stride));
    TBUnlockChunk(fcb, top, 0);
    return total;
}

FSStatus TBFindTable(FCB *fcb, uint16_t tid, TableRecord **record, uint16_t *chunk) {
    if (record == nullptr || chunk == nullptr) return FS_E_LEVEL2;
    *record = nullptr;
    BlockOp op(fcb);
    uint16_t root, found, n;
    uint32_t first;
    FSStatus status = TBSlotFor(fcb, &fcb->h.currentRoot, &root);
    if (status == 0) status = TBLocateRecord(fcb, root, tid, &found, &first, &n, nullptr);
    if (status == FS_E_BAD_RIX || (status == 0 && tid >= first + n)) return FS_E_BAD_TID;
    if (status != 0) return status;

    uint16_t stride = ClassRecSize(fcb, CLASS_MASTER);
    void *data;
    status = TBLockMasterChunk(fcb, found, &data);
    if (status != 0) return status;
    *record = reinterpret_cast<TableRecord *>(static_cast<uint8_t *>(data) +
                                              (tid - first) * uint32_t{stride});
    *chunk = found;
    return 0;
}
