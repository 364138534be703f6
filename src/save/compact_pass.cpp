// The two passes of a compact copy.
#include <algorithm>
#include <cstring>

#include "blocks/checks.h"
#include "blocks/memory.h"
#include "blocks/space.h"
#include "save/compact.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

// Every image fits: record count and record size are checked against this.
constexpr uint32_t kScratchBytes = 0x10000;

// A chunk to place: what its thunk says when it is resident (ti), else what
// its reference at rest says.
struct Source {
    uint8_t cls;
    uint16_t count;  // records of the chunk
    uint16_t stored; // records of its image in the old file
    uint32_t pos;    // the image in the old file, 0 = none
    uint16_t ti;     // THUNK_NONE when not resident
};

ChunkRef AtRest(uint8_t cls, uint16_t count, uint32_t pos) {
    return ChunkRef{0, cls, count, pos, THUNK_NONE};
}

ChunkRef *RefAt(uint8_t *records, uint32_t i, uint16_t recSize) {
    return reinterpret_cast<ChunkRef *>(records + i * recSize);
}

// A reference at rest that needs no image: no records, or records of zero
// bytes. It keeps position 0.
bool NoImage(const ChunkRef &r) { return r.storedCount == 0 || r.filePos == 0; }

// True when the thunk's memory holds the chunk's records.
bool InMemory(FCB *fcb, uint16_t ti) {
    const Thunk *t = ThunkAt(fcb, ti);
    return (t->flags & THUNK_HAS_MEM) != 0 && t->count != 0 && BKMemPresent(fcb, ti);
}

// The thunk of a reference of the open file that is marked resident.
FSStatus LiveThunk(CompactCopy &c, const ChunkRef &ref, uint16_t *ti) {
    FCB *fcb = c.fcb;
    if (ref.thunk >= c.capacity || !ThunkLive(fcb, ref.thunk)) return FS_CORRUPT(fcb, FS_E_LEVEL1);
    const Thunk *t = ThunkAt(fcb, ref.thunk);
    uint16_t recSize = ClassRecSize(fcb, t->cls);
    if (recSize == 0 || uint32_t{t->count} * recSize > kScratchBytes)
        return FS_CORRUPT(fcb, FS_E_LEVEL1);
    *ti = ref.thunk;
    return 0;
}

// A resident chunk's records, locked for reading. Clean memory that was
// discardable is made discardable again when released.
struct Held {
    uint16_t ti = THUNK_NONE;
    uint8_t *data = nullptr;
    bool unlock = false;
    bool rediscard = false;
};

FSStatus Hold(FCB *fcb, uint16_t ti, uint32_t bytes, Held *held) {
    *held = Held{};
    held->ti = ti;
    const Thunk *t = ThunkAt(fcb, ti);
    if (GlobalSize(t->mem) < bytes) return FS_CORRUPT(fcb, FS_E_LEVEL1);
    void *address = nullptr;
    if (t->lockCount != 0) {
        address = BKDerefMem(fcb, ti);
        if (address == nullptr) return FS_E_LOCKMEM;
    } else {
        held->rediscard = (t->flags & THUNK_DISCARDABLE) != 0;
        FSStatus status = BKLockMem(fcb, ti, &address);
        if (status != 0) {
            if (held->rediscard) BKDiscardMem(fcb, ti);
            held->rediscard = false;
            return status;
        }
        held->unlock = true;
    }
    held->data = static_cast<uint8_t *>(address);
    return 0;
}

void Release(FCB *fcb, Held *held) {
    if (held->unlock) BKUnlockMem(fcb, held->ti);
    if (held->rediscard) BKDiscardMem(fcb, held->ti);
    *held = Held{};
}

// The scratch buffer of a depth, made on first use.
uint8_t *Scratch(CompactCopy &c, unsigned depth) {
    if (c.scratch[depth] == nullptr) c.scratch[depth] = static_cast<uint8_t *>(VMAlloc(kScratchBytes));
    return c.scratch[depth];
}

// The next place in the new file for an image of bytes bytes.
FSStatus Claim(CompactCopy &c, uint32_t bytes, uint32_t *pos) {
    uint64_t end = c.next + SARoundUp(c.fcb, bytes);
    if (end > 0xFFFFFFFFu) return VM_E_RANGE;
    *pos = static_cast<uint32_t>(c.next);
    c.next = end;
    return 0;
}

FSStatus Emit(CompactCopy &c, const uint8_t *image, uint32_t bytes, uint32_t *pos) {
    FSStatus status = Claim(c, bytes, pos);
    return status != 0 ? status : WBWrite(&c.wb, *pos, bytes, image);
}

// Reads a chunk's image from the old file into bytes bytes at to: the
// records the image holds, zeros for the rest.
FSStatus ReadImage(CompactCopy &c, const Source &s, uint16_t recSize, uint8_t *to,
                   uint32_t bytes) {
    uint32_t have = uint32_t{std::min(s.stored, s.count)} * recSize;
    if (have != 0) {
        FSStatus status = VMRead(c.fcb->file, s.pos, have, to);
        if (status != 0) return status;
    }
    std::memset(to + have, 0, bytes - have);
    return 0;
}

// True when the old file holds the image the source names: inside the
// file, and not in a part of it that was found missing when it was opened.
bool ImageInFile(FCB *fcb, const Source &s, uint16_t recSize) {
    uint64_t end = s.pos + uint64_t{std::min(s.stored, s.count)} * recSize;
    if (fcb->lostTo != 0 && s.pos < fcb->lostTo && end > fcb->lostFrom) return false;
    return s.pos >= HEADER_SIZE && end <= fcb->h.fileSize;
}

// Records pass 1's place for a resident chunk.
FSStatus Place(CompactCopy &c, uint16_t ti, uint32_t pos, uint16_t count, bool *placed) {
    c.placements[ti] = Placement{pos, count, 1, 0};
    *placed = true;
    return 0;
}

// The new reference of a chunk that needs no image, or that pass 1 placed.
ChunkRef Placed(CompactCopy &c, const ChunkRef &ref) {
    if ((ref.flags & REF_RESIDENT) == 0) return AtRest(ref.cls, ref.storedCount, 0);
    const Placement &p = c.placements[ref.thunk];
    return AtRest(ThunkAt(c.fcb, ref.thunk)->cls, p.count, p.pos);
}

// Pass 1: places the chunk of a reference of the open file if it is held in
// memory (or needs no image) and all its children are placed; children
// first, in record order. Sets *placed.
FSStatus Pass1(CompactCopy &c, const ChunkRef &ref, unsigned depth, bool *placed) {
    *placed = false;
    if ((ref.flags & REF_RESIDENT) == 0) {
        *placed = NoImage(ref);
        return 0;
    }
    FCB *fcb = c.fcb;
    uint16_t ti;
    FSStatus status = depth < kCompactDepth ? LiveThunk(c, ref, &ti)
                                            : FS_CORRUPT(fcb, FS_E_LEVEL1);
    if (status != 0) return status;
    const uint8_t cls = ThunkAt(fcb, ti)->cls;
    const uint16_t count = ThunkAt(fcb, ti)->count;
    const uint16_t recSize = ClassRecSize(fcb, cls);
    const uint32_t bytes = uint32_t{count} * recSize;
    if (count == 0 || !InMemory(fcb, ti)) {
        // Not in memory: only a chunk without records or without an image
        // is placed now; the others are read in pass 2.
        if (count != 0 && ThunkAt(fcb, ti)->filePos != 0) return 0;
        return Place(c, ti, 0, count, placed);
    }

    Held held;
    if ((status = Hold(fcb, ti, bytes, &held)) != 0) return status;
    const uint8_t *image = held.data;
    if (ClassHoldsRefs(fcb, cls)) {
        bool all = true;
        for (uint32_t i = 0; i < count && status == 0; ++i) {
            bool child;
            status = Pass1(c, *RefAt(held.data, i, recSize), depth + 1, &child);
            all = all && child;
        }
        uint8_t *patched = status == 0 && all ? Scratch(c, depth) : nullptr;
        if (status == 0 && all && patched == nullptr) status = FS_E_NOMEM;
        if (status != 0 || !all) {
            Release(fcb, &held);
            return status;
        }
        // The parent's image carries its children's new references; its
        // memory keeps the references of the open file.
        std::memcpy(patched, held.data, bytes);
        for (uint32_t i = 0; i < count; ++i)
            *RefAt(patched, i, recSize) = Placed(c, *RefAt(held.data, i, recSize));
        image = patched;
    }
    uint32_t pos;
    status = Emit(c, image, bytes, &pos);
    Release(fcb, &held);
    return status != 0 ? status : Place(c, ti, pos, count, placed);
}

// What pass 2 copies for a reference; false when it needs no copy (*ref is
// then already its new reference).
FSStatus SourceOf(CompactCopy &c, ChunkRef *ref, bool live, Source *s, bool *copy) {
    const ChunkRef r = *ref;
    *copy = false;
    if (live && (r.flags & REF_RESIDENT)) {
        uint16_t ti;
        FSStatus status = LiveThunk(c, r, &ti);
        if (status != 0) return status;
        if (c.placements[ti].placed) {
            *ref = Placed(c, r);
            return 0;
        }
        const Thunk *t = ThunkAt(c.fcb, ti);
        *s = Source{t->cls, t->count, t->storedCount, t->filePos, ti};
    } else {
        // Read from an old image or at rest: whatever bit 0 says, it names
        // no thunk.
        if (NoImage(r)) {
            *ref = AtRest(r.cls, r.storedCount, 0);
            return 0;
        }
        *s = Source{r.cls, r.storedCount, r.storedCount, r.filePos, THUNK_NONE};
    }
    *copy = true;
    return 0;
}

// Pass 2: places the chunk of *ref, unless pass 1 did, children first, and
// rewrites *ref as its reference in the new file. live: *ref is a
// reference of the open file (it may name a thunk); otherwise it comes from
// an image in the old file.
FSStatus Pass2(CompactCopy &c, ChunkRef *ref, bool live, unsigned depth) {
    FCB *fcb = c.fcb;
    Source s;
    bool copy;
    FSStatus status = SourceOf(c, ref, live, &s, &copy);
    if (status != 0 || !copy) return status;
    const uint16_t recSize = ClassRecSize(fcb, s.cls);
    const uint32_t bytes = uint32_t{s.count} * recSize;
    const bool inMemory = s.ti != THUNK_NONE && InMemory(fcb, s.ti);
    if (depth >= kCompactDepth || recSize == 0 || bytes > kScratchBytes ||
        (!inMemory && !ImageInFile(fcb, s, recSize)))
        return FS_CORRUPT(fcb, FS_E_UNREADABLE);

    const bool parent = ClassHoldsRefs(fcb, s.cls);
    uint32_t pos;
    if (!parent && !inMemory) {
        // A plain image: straight from the old file into the buffer.
        uint8_t *at;
        uint32_t want = static_cast<uint32_t>(c.next);
        if ((status = WBReserve(&c.wb, want, bytes, &at)) != 0) return status;
        if (at != nullptr) {
            if ((status = ReadImage(c, s, recSize, at, bytes)) != 0) return status;
            if ((status = Claim(c, bytes, &pos)) != 0) return status;
            *ref = AtRest(s.cls, s.count, pos);
            return 0;
        }
    }

    uint8_t *image = Scratch(c, depth);
    if (image == nullptr) return FS_E_NOMEM;
    if (inMemory) {
        Held held;
        if ((status = Hold(fcb, s.ti, bytes, &held)) != 0) return status;
        std::memcpy(image, held.data, bytes);
        Release(fcb, &held);
    } else if ((status = ReadImage(c, s, recSize, image, bytes)) != 0) {
        return status;
    }
    for (uint32_t i = 0; parent && i < s.count && status == 0; ++i)
        status = Pass2(c, RefAt(image, i, recSize), inMemory, depth + 1);
    if (status == 0) status = Emit(c, image, bytes, &pos);
    if (status == 0) *ref = AtRest(s.cls, s.count, pos);
    return status;
}

} // namespace

uint64_t SARoundUp(const FCB *fcb, uint64_t n) {
    uint64_t g = Granule(fcb);
    return (n + g - 1) & ~(g - 1);
}

FSStatus SAWriteImages(FCB *fcb, const VMFileSpec *file, const SaveProgress *progress,
                       ChunkRef *root, uint32_t *end) {
    const uint32_t tableBytes = uint32_t{fcb->h.classCount} * sizeof(FSClassDesc);
    const uint64_t tableAt = SARoundUp(fcb, HEADER_SIZE);
    FSStatus status = VMWrite(file, static_cast<uint32_t>(tableAt), tableBytes, fcb->classTable);
    if (status != 0) return status;

    BlockOp op(fcb); // the invariants hold again once the copy is done
    ThunkLock lock(fcb);
    if (!lock.held) return FS_E_THUNK_LOCK;
    CompactCopy c;
    c.fcb = fcb;
    c.file = file;
    c.next = tableAt + SARoundUp(fcb, tableBytes);
    c.capacity = fcb->h.thunkCount;
    if (c.capacity != 0) {
        c.placements = static_cast<Placement *>(VMAlloc(uint32_t{c.capacity} * sizeof(Placement)));
        if (c.placements == nullptr) return FS_E_NOMEM;
    }

    // Pass 1 is written without progress reports; pass 2 reports each write.
    WBStart(&c.wb, file, progress);
    *root = fcb->h.currentRoot;
    bool placed;
    status = Pass1(c, *root, 0, &placed);
    if (status == 0) status = WBFlush(&c.wb);
    c.wb.report = true;
    if (status == 0) status = Pass2(c, root, true, 0);
    status = WBEnd(&c.wb, status);

    VMFree(c.placements);
    for (uint8_t *buffer : c.scratch) VMFree(buffer);
    *end = static_cast<uint32_t>(c.next);
    return status;
}
