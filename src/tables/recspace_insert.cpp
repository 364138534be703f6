// Where an insertion of records goes: the chunk that holds the RIX, its
// neighbour at a chunk boundary, a split chunk, or new chunks.
#include "blocks/checks.h"
#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/pin.h"
#include "tables/recspace.h"
#include "tables/thunks.h"

namespace {

// Locks the index chunk top and gives its reference at pos a thunk.
FSStatus ChunkAtIndex(FCB *fcb, uint16_t top, uint16_t pos, uint16_t *ti) {
    const uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    if (stride < sizeof(ChunkRef)) return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    void *refs;
    FSStatus status = TBLockChunk(fcb, top, &refs);
    if (status != 0) return status;
    auto *ref = reinterpret_cast<ChunkRef *>(static_cast<uint8_t *>(refs) + pos * stride);
    status = TBSlotFor(fcb, ref, ti);
    TBUnlockChunk(fcb, top, 0);
    return status;
}

FSStatus InsertAt(FCB *fcb, uint16_t ti, uint32_t pos, uint32_t n) {
    return TBInsertInChunk(fcb, ti, static_cast<uint16_t>(pos), static_cast<uint16_t>(n), nullptr);
}

// Thunks an insertion of n records next to chunk may take: its new chunks
// (at least one record each), the tail of a split and a new index.
uint32_t ThunksWanted(FCB *fcb, uint16_t chunk, uint32_t n) {
    ThunkLock lock(fcb);
    const FSClassDesc *desc = lock.held ? ClassDesc(fcb, ThunkAt(fcb, chunk)->cls) : nullptr;
    const uint32_t max = desc != nullptr && desc->maxPerChunk != 0 ? desc->maxPerChunk : 1;
    return n / max + 3;
}

FSStatus InsertRecords(FCB *fcb, uint16_t top, uint32_t rix, uint32_t n, bool keepWhole) {
    // X is the chunk that holds rix: first RIX f, x records, index position p.
    uint16_t chunk, x, p;
    uint32_t f;
    FSStatus status = TBLocateRecord(fcb, top, rix, &chunk, &f, &x, &p);
    if (status != 0) return status;
    // Thunks for the new chunks, a split and a new index, while nothing of
    // the table is pinned yet; then X again, whose thunk may have gone.
    if (TBFreeThunks(fcb, ThunksWanted(fcb, chunk, n)) &&
        (status = TBLocateRecord(fcb, top, rix, &chunk, &f, &x, &p)) != 0)
        return status;

    // The chunks worked on keep their thunks: X is pinned, and so is the
    // index, whose write-back would give its chunks' thunks back.
    ChunkPin pinX(fcb), pinIndex(fcb);
    if ((status = pinX.Pin(chunk)) != 0) return status;
    bool indexed = chunk != top;
    if (indexed && (status = pinIndex.Pin(top)) != 0) return status;

    uint8_t cls;
    {
        ThunkLock lock(fcb);
        if (!lock.held) return FS_E_LOCKMEM;
        cls = ThunkAt(fcb, chunk)->cls;
    }
    const FSClassDesc *desc = ClassDesc(fcb, cls);
    if (desc == nullptr || desc->recSize == 0 || desc->maxPerChunk == 0)
        return FS_CORRUPT(fcb, FS_E_BAD_CLASS);
    const uint32_t max = desc->maxPerChunk;
    if (keepWhole && n > max) return FS_E_CHUNK_TOO_BIG;
    if (n == 0) return 0;

    // At the first record of a chunk other than the table's first, the end
    // of the previous chunk is tried first, then the start of X.
    const bool boundary = indexed && rix == f && rix != 0 && p > 0;
    uint16_t candidate = chunk;
    uint32_t candidatePos = rix - f, candidateCount = x;
    if (boundary) {
        if ((status = ChunkAtIndex(fcb, top, static_cast<uint16_t>(p - 1), &candidate)) != 0)
            return status;
        candidateCount = candidatePos = TBChunkCount(fcb, candidate);
    }
    if (candidateCount + n <= max) return InsertAt(fcb, candidate, candidatePos, n);
    if (boundary && x + n <= max) return InsertAt(fcb, chunk, 0, n);

    if (!indexed) {
        uint16_t former;
        if ((status = TBMakeIndexed(fcb, top, &former)) != 0) return status;
        pinX.Moved(former); // the pin went with the chunk's thunk
        chunk = former;
        p = 0;
        if ((status = pinIndex.Pin(top)) != 0) return status;
    }

    // Strictly inside X: split it there; the records go to the end of the
    // head, the start of the tail, or new chunks between the two.
    if (rix > f && rix < f + x) {
        const uint16_t head = static_cast<uint16_t>(rix - f), tail = static_cast<uint16_t>(x - head);
        uint16_t tailChunk;
        status = TBSplitChunk(fcb, top, p, chunk, head, tail, &tailChunk);
        if (status != 0) return status;
        if (head + n <= max) return InsertAt(fcb, chunk, head, n);
        if (tail + n <= max) return InsertAt(fcb, tailChunk, 0, n);
        return TBAddChunks(fcb, top, cls, static_cast<uint16_t>(p + 1), n);
    }
    // New chunks: at the front, after the last chunk, or before X.
    const uint32_t at = rix == 0 ? 0 : rix == f + x ? p + 1u : p;
    return TBAddChunks(fcb, top, cls, static_cast<uint16_t>(at), n);
}

} // namespace

FSStatus TBInsertRecords(FCB *fcb, uint16_t topThunk, uint32_t rix, uint32_t count,
                         bool keepWhole, bool *indexedOut) {
    BlockOp op(fcb);
    FSStatus status = InsertRecords(fcb, topThunk, rix, count, keepWhole);
    if (indexedOut != nullptr) {
        ThunkLock lock(fcb);
        *indexedOut = lock.held && ThunkLive(fcb, topThunk) &&
                      ThunkAt(fcb, topThunk)->cls == CLASS_INDEX;
    }
    return status;
}
