// Upgrade of older files: reading and checking the old file's header, class
// table, block table and master block, then writing the new file:
//
//   header | class table | per group of 256 table records: each table's
//   index (if any) and data chunks, then the group's master chunk | master
//   index
//
// Everything is placed on 64-byte granules from offset 192. Nothing read
// from the old file is used before it has been checked against the file's
// length and the format's limits.
#include "convert/upgrade.h"

#include <cstring>

#include "convert/upgrade_state.h"

namespace {

constexpr uint16_t CONVERTED_FILE_TYPE = 0x5155;
constexpr uint16_t APP_VERSION_KIND_3 = 0x200;
constexpr uint16_t APP_VERSION_KIND_5_SET = 0x300;
constexpr uint16_t APP_VERSION_KIND_5_CLEAR = 0x301;
constexpr uint16_t NEW_ALLOC_SHIFT = 6;
constexpr uint16_t NEW_GROW_SHIFT = 12;
constexpr uint8_t HOST_FLAGS_KEPT = 0x07;
constexpr uint8_t CONVERTED_CLASS_FLAG = 0x08;
constexpr uint32_t SHIFT_LIMIT = 32; // keeps 64-bit position arithmetic defined

uint32_t RoundToGranule(uint32_t n) { return (n + UPGRADE_GRANULE - 1) / UPGRADE_GRANULE * UPGRADE_GRANULE; }

FSStatus Corrupt() { return FS_CORRUPT(nullptr, FS_E_CANNOT_CONVERT); }

// Reads and checks the old header; its kind, class count and shift.
FSStatus ReadOldHeader(Upgrade &u) {
    u.oldLength = VMFileSize(u.old);
    if (u.oldLength < sizeof u.oh) return Corrupt();
    FSStatus status = VMRead(u.old, 0, sizeof u.oh, &u.oh);
    if (status != 0) return status;
    if (u.oh.kind != OLD_KIND_3 && u.oh.kind != OLD_KIND_5) return FS_E_CANNOT_CONVERT;
    // The header has RID counters for 32 classes: a file with more cannot
    // be one of this format.
    if (u.oh.classCount < CLASS_FIRST_HOST || u.oh.classCount > OLD_RID_SLOTS) return Corrupt();
    u.classCount = uint8_t(u.oh.classCount);
    u.shift = uint8_t(u.oh.posShift);
    if (u.shift >= SHIFT_LIMIT) return Corrupt();
    u.budget = u.oldLength;
    return 0;
}

// Reads the old class descriptors and widens them; the built-in classes get
// the built-in descriptors.
FSStatus ReadClasses(Upgrade &u) {
    OldClassDesc old[OLD_RID_SLOTS];
    uint32_t len = u.classCount * uint32_t(sizeof(OldClassDesc));
    uint64_t pos = OldPos(u, u.oh.classTablePos);
    if (!InOld(u, pos, len)) return Corrupt();
    FSStatus status = VMRead(u.old, uint32_t(pos), len, old);
    if (status != 0) return status;
    for (uint8_t c = 0; c < u.classCount; ++c) {
        FSClassDesc &d = u.classes[c];
        if (c < CLASS_FIRST_HOST) {
            d = BuiltinClassDesc(c);
            continue;
        }
        d = FSClassDesc{};
        d.flags = uint8_t((old[c].flags & HOST_FLAGS_KEPT) | CONVERTED_CLASS_FLAG);
        d.allocShift = old[c].allocShift;
        d.growShift = old[c].growShift;
        d.recSize = old[c].recSize;
        d.maxPerChunk = old[c].maxPerChunk;
        d.minPerChunk = old[c].word8;
        d.ridCounter = u.oh.ridCounters[c];
    }
    return 0;
}

// Reads the block table and the master block's table records.
FSStatus ReadBlocksAndMaster(Upgrade &u) {
    u.blockCount = u.oh.blockCount;
    uint32_t len = u.blockCount * uint32_t(sizeof(OldBlockEntry));
    uint64_t pos = OldPos(u, u.oh.blockTablePos);
    if (u.oh.masterBlock >= u.blockCount || !InOld(u, pos, len)) return Corrupt();
    FSStatus status = CVTake(u.blockTable, len, FS_E_NOMEM);
    if (status == 0) status = VMRead(u.old, uint32_t(pos), len, u.blockTable.data);
    if (status != 0) return status;

    OldBlockEntry m;
    std::memcpy(&m, u.blockTable.data + u.oh.masterBlock * sizeof m, sizeof m);
    if (m.cls != CLASS_MASTER) return Corrupt();
    u.masterCount = m.count;
    len = m.count * uint32_t(sizeof(OldTableRecord));
    pos = OldPos(u, m.pos);
    if (m.count != 0 && !InOld(u, pos, len)) return Corrupt();
    u.budget -= len;
    status = CVTake(u.master, len, FS_E_NOMEM);
    if (status == 0) status = VMRead(u.old, uint32_t(pos), len, u.master.data);
    return status;
}

// Makes the new file: a copy of the scratch folder's record, temporary.
FSStatus CreateNewFile(Upgrade &u, const FSContext *ctx) {
    auto *spec = static_cast<VMFileSpec *>(VMAlloc(sizeof(VMFileSpec)));
    if (spec == nullptr) return FS_E_NOMEM;
    *spec = ctx->scratchSpec;
    spec->bytes[6] |= VM_SPEC_TEMPORARY;
    FSStatus status = VMCreateFile(spec);
    if (status != 0) {
        VMFree(spec);
        return status;
    }
    u.out = spec;
    return 0;
}

// Writes the class table, the tables and the master table, then the header
// h, and gives the file its length.
FSStatus WriteNewFile(Upgrade &u, FileHeader &h) {
    u.next = RoundToGranule(HEADER_SIZE);
    uint32_t classBytes = u.classCount * uint32_t(sizeof(FSClassDesc));
    uint32_t classPos;
    FSStatus status = UpgradePlace(u, classBytes, &classPos);
    if (status == 0) status = VMWrite(u.out, classPos, classBytes, u.classes);
    ChunkRef root{};
    if (status == 0) status = UpgradeMaster(u, root);
    if (status != 0) return status;

    h.classTableOffset = classPos;
    h.lastStatus = u.unreadable ? FS_E_UNREADABLE : 0;
    h.magic = FS_MAGIC;
    h.stateFlags = STATE_CLOSED_CLEANLY;
    h.formatVersion = FORMAT_CONVERTED;
    h.allocShift = NEW_ALLOC_SHIFT;
    h.growShift = NEW_GROW_SHIFT;
    h.versionFlags = VER_CURRENT | VER_SAVED;
    h.fileSize = uint32_t(u.next);
    h.savedFileSize = h.fileSize;
    h.formatMark = 1;
    h.classCount = u.classCount;
    h.savedRoot = root;
    h.maxChunk = MAX_CHUNK_DEFAULT;
    h.rootTable = u.oh.rootTable;
    h.fileType = CONVERTED_FILE_TYPE;
    h.appVersion = u.oh.kind == OLD_KIND_3 ? APP_VERSION_KIND_3
                   : u.oh.appWord != 0    ? APP_VERSION_KIND_5_SET
                                          : APP_VERSION_KIND_5_CLEAR;
    // The last image may end short of its granule: the file is as long as
    // the space its header says it manages.
    status = VMSetFileSize(u.out, h.fileSize);
    if (status == 0) status = VMWrite(u.out, 0, HEADER_SIZE, &h);
    return status;
}

// A file of a newer layout is used as it stands: its header again.
FSStatus RereadHeader(FCB *fcb) {
    FileHeader h;
    FSStatus status = VMRead(fcb->file, 0, HEADER_SIZE, &h);
    if (status != 0) return status;
    if (h.magic != FS_MAGIC || (h.formatVersion & 0xFF00) == 0) return FS_E_BAD_FORMAT;
    h.lastStatus = 0;
    fcb->h = h;
    return 0;
}

} // namespace

FSStatus CVUpgradeOld(FCB *fcb, const FSContext *ctx) {
    if (fcb == nullptr || fcb->file == nullptr || ctx == nullptr) return FS_E_BAD_PARAMS;
    if ((fcb->h.formatVersion & 0xFF00) != 0) return RereadHeader(fcb);

    Upgrade u;
    u.old = fcb->file;
    FSStatus status = ReadOldHeader(u);
    if (status == 0) status = ReadClasses(u);
    if (status == 0) status = ReadBlocksAndMaster(u);
    if (status == 0) status = CreateNewFile(u, ctx);
    if (status != 0) return status;

    FileHeader h{};
    status = WriteNewFile(u, h);
    if (status != 0) {
        VMCloseDeleteFile(u.out);
        VMFree(u.out);
        return status;
    }
    // The working file was only read; a scratch copy of it goes away.
    if (fcb->file->bytes[6] & VM_SPEC_TEMPORARY) VMCloseDeleteFile(fcb->file);
    else VMCloseFile(fcb->file);
    VMFree(fcb->file);
    fcb->file = u.out;
    fcb->h = h;
    return 0;
}
