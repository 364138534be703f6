// Conversion of a foreign file: the header, the class table, the two passes
// over the saved version, and the stored free list.
#include "convert/foreign.h"

#include <algorithm>
#include <cstring>

#include "convert/foreign_state.h"

namespace {

constexpr uint16_t FORMAT_MAJOR_MASK = 0xFF00;
constexpr uint16_t SHIFT_MAX = 15; // allocation shifts make 16-bit masks
constexpr uint16_t VERSIONS_DROPPED = VER_CURRENT | VER_MINI | 0x08;
constexpr uint32_t RUNTIME_TAIL = offsetof(FileHeader, classTableSlot); // 112: run-time fields to the end

FSStatus Unreadable() { return FS_CORRUPT(nullptr, FS_E_UNREADABLE); }

void Swap16(uint8_t *p) { VMSwapWords(p, p, 2); }
void Swap32(uint8_t *p) { VMSwapLongs(p, p, 4); }

// Converts the header in place. The saved root is converted here; the
// other roots name versions that the conversion drops and stay as read.
void ConvertHeader(FileHeader &h) {
    auto *p = reinterpret_cast<uint8_t *>(&h);
    for (uint32_t at : {6u, 10u, 12u, 14u, 16u, 84u, 90u, 92u, 98u, 100u, 102u, 108u, 110u}) Swap16(p + at);
    for (uint32_t at : {22u, 26u, 30u, 34u, 86u, 94u, 104u}) Swap32(p + at);
    VMSwapFlags(p + offsetof(FileHeader, stateFlags));
    std::memset(p + RUNTIME_TAIL, 0, HEADER_SIZE - RUNTIME_TAIL);
    h.lastStatus = 0;
    h.fileSlot = 0;
    h.formatMark = 1;
    ConvertRef(p + offsetof(FileHeader, savedRoot));
}

// The stamp of the host's file, 0 when it cannot be had.
uint32_t HostStamp(const VMFileSpec *hostSpec) {
    VMFileSpec probe = *hostSpec;
    uint32_t stamp = 0;
    if (VMOpenFile(&probe, 0) != 0) return 0;
    if (VMGetFileTime(&probe, &stamp) != 0) stamp = 0;
    VMCloseFile(&probe);
    return stamp;
}

// Reads and converts the class table; the built-in classes that hold the
// file's structure must be what the walk takes them for.
FSStatus LoadClasses(Foreign &f) {
    const FileHeader &h = f.h;
    uint32_t len = h.classCount * uint32_t(sizeof(FSClassDesc));
    if (h.classCount < CLASS_FIRST_HOST || h.classTableOffset < HEADER_SIZE ||
        uint64_t(h.classTableOffset) + len > f.length)
        return Unreadable();
    FSStatus status = CVTake(f.classes, len, FS_E_NOMEM);
    if (status == 0) status = VMRead(f.file, h.classTableOffset, len, f.classes.data);
    if (status != 0) return status;
    for (uint32_t c = 0; c < h.classCount; ++c) {
        uint8_t *d = f.classes.data + c * sizeof(FSClassDesc);
        VMSwapFlags(d);
        for (uint32_t at : {4u, 6u, 8u}) Swap16(d + at);
        Swap32(d + 10);
    }
    const FSClassDesc &master = ClassOf(f, CLASS_MASTER), &index = ClassOf(f, CLASS_INDEX);
    if (master.recSize != sizeof(TableRecord) || !(master.flags & FS_CLASS_CHUNKREFS) ||
        index.recSize != sizeof(ChunkRef) || !(index.flags & FS_CLASS_CHUNKREFS))
        return Unreadable();
    return 0;
}

// Makes the space map and claims the header and the class table.
FSStatus MapStructures(Foreign &f) {
    uint32_t granule = 1u << f.h.allocShift;
    uint64_t granules = (uint64_t(f.length) + granule - 1) >> f.h.allocShift;
    FSStatus status = CVTake(f.space, uint32_t((granules + 7) / 8), FS_E_NOMEM);
    if (status != 0) return status;
    SpaceClaim(f, 0, HEADER_SIZE);
    return SpaceClaim(f, f.h.classTableOffset, f.h.classCount * uint32_t(sizeof(FSClassDesc))) ? 0 : Unreadable();
}

// Whether the stored free list can be taken over: a length within the
// list's limit, inside the file, clear of everything the first pass claimed.
bool FreeListUsable(Foreign &f) {
    const FileHeader &h = f.h;
    uint32_t len = h.savedFreeCount * uint32_t(sizeof(FreeEntry));
    return h.savedFreeCount != 0 && h.savedFreeCount <= FREE_LIST_MAX && h.savedFreeOffset >= HEADER_SIZE &&
           uint64_t(h.savedFreeOffset) + len <= f.length && SpaceClaim(f, h.savedFreeOffset, len);
}

// Whether converted entries make a list the block store can trust: sorted,
// disjoint, inside fileSize, known owners, and no run that the saved
// version does not own lying over its images or structures.
bool FreeEntriesSound(const Foreign &f, const uint8_t *entries, uint32_t count) {
    uint64_t end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        FreeEntry e;
        std::memcpy(&e, entries + i * sizeof e, sizeof e);
        if ((e.owners & ~(VER_CURRENT | VER_MINI | VER_SAVED)) || e.len == 0 || e.pos < end ||
            uint64_t(e.pos) + e.len > f.h.fileSize)
            return false;
        if (!(e.owners & VER_SAVED) && SpaceTaken(f, e.pos, e.len)) return false;
        end = uint64_t(e.pos) + e.len;
    }
    return true;
}

// Converts the stored free list in place, or drops it from the header.
void ConvertFreeList(Foreign &f, bool usable) {
    FileHeader &h = f.h;
    if (usable) {
        uint32_t len = h.savedFreeCount * uint32_t(sizeof(FreeEntry));
        CVBuffer buf;
        FSStatus status = CVTake(buf, len, FS_E_LOCKMEM);
        if (status == 0) status = VMRead(f.file, h.savedFreeOffset, len, buf.data);
        for (uint32_t i = 0; status == 0 && i < h.savedFreeCount; ++i) {
            uint8_t *e = buf.data + i * sizeof(FreeEntry);
            Swap16(e);
            Swap32(e + 2);
            Swap32(e + 6);
        }
        if (status == 0 && FreeEntriesSound(f, buf.data, h.savedFreeCount) &&
            VMWrite(f.file, h.savedFreeOffset, len, buf.data) == 0)
            return;
    }
    h.savedFreeCount = 0;
    h.savedFreeOffset = 0;
}

FSStatus Convert(Foreign &f, const FCB *fcb, const VMFileSpec *hostSpec) {
    f.h = fcb->h;
    f.file = fcb->file;
    f.length = VMFileSize(fcb->file);
    f.formatMark = fcb->h.formatMark;
    if (f.length < HEADER_SIZE) return Unreadable();
    ConvertHeader(f.h);
    if ((f.h.formatVersion & FORMAT_MAJOR_MASK) != (FORMAT_CURRENT & FORMAT_MAJOR_MASK)) return FS_E_CANNOT_CONVERT;
    if (f.h.allocShift > SHIFT_MAX) return Unreadable();
    f.h.fileStamp = HostStamp(hostSpec);

    // First pass: check everything, write nothing.
    bool saved = f.h.versionFlags & VER_SAVED;
    FSStatus status = LoadClasses(f);
    if (status == 0) status = MapStructures(f);
    if (status == 0 && saved) status = WalkSaved(f);
    if (status != 0) return status;
    bool freeListUsable = FreeListUsable(f);

    // Second pass: convert.
    f.writing = true;
    status = VMWrite(f.file, f.h.classTableOffset, f.h.classCount * uint32_t(sizeof(FSClassDesc)), f.classes.data);
    if (status == 0 && saved) status = WalkSaved(f);
    if (status != 0) return status;
    ConvertFreeList(f, freeListUsable);
    f.h.versionFlags &= uint16_t(~VERSIONS_DROPPED);
    status = VMWrite(f.file, 0, HEADER_SIZE, &f.h);
    return status != 0 ? status : VMFlushFile(f.file);
}

} // namespace

bool SpaceClaim(Foreign &f, uint32_t pos, uint32_t len) {
    uint32_t first = pos >> f.h.allocShift, last = uint32_t((uint64_t(pos) + len - 1) >> f.h.allocShift);
    for (uint32_t g = first; g <= last; ++g)
        if (f.space.data[g / 8] & (1u << (g % 8))) return false;
    for (uint32_t g = first; g <= last; ++g) f.space.data[g / 8] |= uint8_t(1u << (g % 8));
    return true;
}

bool SpaceTaken(const Foreign &f, uint32_t pos, uint32_t len) {
    if (pos >= f.length) return false;
    uint64_t end = std::min<uint64_t>(uint64_t(pos) + len, f.length);
    for (uint64_t g = pos >> f.h.allocShift; g <= (end - 1) >> f.h.allocShift; ++g)
        if (f.space.data[g / 8] & (1u << (g % 8))) return true;
    return false;
}

FSStatus CVConvertForeign(FCB *fcb, const FSContext *ctx, const VMFileSpec *hostSpec) {
    if (fcb == nullptr || fcb->file == nullptr || ctx == nullptr || hostSpec == nullptr ||
        fcb->h.magic != MAGIC_FOREIGN)
        return FS_E_BAD_PARAMS;
    if (ctx->translateHook == nullptr) return FS_E_CANNOT_TRANSLATE;
    FSStatus status = VMConvertBegin(hostSpec);
    if (status != 0) return status;
    Foreign f;
    f.hook = ctx->translateHook;
    status = Convert(f, fcb, hostSpec);
    VMConvertEnd();
    if (status == 0) fcb->h = f.h;
    return status;
}
