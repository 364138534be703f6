// Copying an old file's tables into the new file. A table whose data cannot
// be matched (a block number out of range, a block of another class, a
// block too large or outside the old file) arrives empty and marks the new
// file's header with "unreadable data"; it never fails the upgrade.
#include <algorithm>
#include <cstring>

#include "convert/upgrade_state.h"

namespace {

constexpr uint16_t MASTER_CHUNK_RECORDS = 256;
constexpr uint32_t INDEX_REFS_MAX = MAX_CHUNK_DEFAULT / sizeof(ChunkRef); // 6144
constexpr uint32_t COPY_PIECE = 256;

const OldBlockEntry *BlockAt(const Upgrade &u, uint16_t n) {
    if (n >= u.blockCount) return nullptr;
    return reinterpret_cast<const OldBlockEntry *>(u.blockTable.data) + n;
}

// Takes len bytes of images from the old file's budget.
bool Spend(Upgrade &u, uint32_t len) {
    if (len > u.budget) return false;
    u.budget -= len;
    return true;
}

// Copies len bytes of the old file at from to the new file at to: through
// one buffer of the image's size, or in small pieces when that cannot be had.
FSStatus CopyImage(Upgrade &u, uint32_t from, uint32_t len, uint32_t to) {
    CVBuffer buf;
    if (CVTake(buf, len, FS_E_LOCKMEM) == 0) {
        FSStatus status = VMRead(u.old, from, len, buf.data);
        return status != 0 ? status : VMWrite(u.out, to, len, buf.data);
    }
    uint8_t piece[COPY_PIECE];
    for (uint32_t done = 0; done < len;) {
        uint32_t n = std::min(COPY_PIECE, len - done);
        FSStatus status = VMRead(u.old, from + done, n, piece);
        if (status == 0) status = VMWrite(u.out, to + done, n, piece);
        if (status != 0) return status;
        done += n;
    }
    return 0;
}

// Copies data block n of a table of class cls and fills ref with it. A
// block that cannot be matched leaves ref an empty chunk of the class.
FSStatus ConvertData(Upgrade &u, uint8_t cls, uint16_t n, ChunkRef &ref) {
    ref = ChunkRef{0, cls, 0, 0, 0};
    const FSClassDesc &d = u.classes[cls];
    const OldBlockEntry *b = BlockAt(u, n);
    if (b == nullptr || b->cls != cls) {
        u.unreadable = true;
        return 0;
    }
    if (b->count == 0) return 0;
    uint32_t len = uint32_t(b->count) * d.recSize;
    uint64_t from = OldPos(u, b->pos);
    if (len > MAX_CHUNK_DEFAULT || (d.maxPerChunk != 0 && b->count > d.maxPerChunk) || !InOld(u, from, len) ||
        !Spend(u, len)) {
        u.unreadable = true;
        return 0;
    }
    uint32_t pos;
    FSStatus status = UpgradePlace(u, len, &pos);
    if (status == 0) status = CopyImage(u, uint32_t(from), len, pos);
    if (status != 0) return status;
    ref.storedCount = b->count;
    ref.filePos = pos;
    return 0;
}

// Converts the index block n of a table of class cls: an index chunk over
// the table's converted data chunks, placed before them. A block that is not
// a usable index leaves top an empty chunk of the class and indexed false.
FSStatus ConvertIndexed(Upgrade &u, uint8_t cls, uint16_t n, ChunkRef &top, bool &indexed) {
    indexed = false;
    top = ChunkRef{0, cls, 0, 0, 0};
    const OldBlockEntry *b = BlockAt(u, n);
    uint32_t count = b != nullptr ? b->count : 0;
    uint64_t from = b != nullptr ? OldPos(u, b->pos) : 0;
    if (b == nullptr || b->cls != OLD_CLASS_INDEX || count > INDEX_REFS_MAX ||
        (count != 0 && (!InOld(u, from, count * 2) || !Spend(u, count * 2)))) {
        u.unreadable = true;
        return 0;
    }
    indexed = true;
    top = ChunkRef{0, CLASS_INDEX, uint16_t(count), 0, 0};
    if (count == 0) return 0;

    CVBuffer numbers, refs;
    FSStatus status = CVTake(numbers, count * 2, FS_E_LOCKMEM);
    if (status == 0) status = CVTake(refs, count * sizeof(ChunkRef), FS_E_LOCKMEM);
    if (status == 0) status = VMRead(u.old, uint32_t(from), count * 2, numbers.data);
    uint32_t indexPos = 0;
    if (status == 0) status = UpgradePlace(u, count * sizeof(ChunkRef), &indexPos);
    top.filePos = indexPos;
    for (uint32_t i = 0; status == 0 && i < count; ++i) {
        uint16_t block;
        std::memcpy(&block, numbers.data + i * 2, sizeof block);
        ChunkRef ref;
        status = ConvertData(u, cls, block, ref);
        std::memcpy(refs.data + i * sizeof ref, &ref, sizeof ref);
    }
    if (status == 0) status = VMWrite(u.out, indexPos, count * sizeof(ChunkRef), refs.data);
    return status;
}

// Converts one old table record. A record in use whose class is not a host
// class of the file cannot be a table: it becomes free, as unreadable data.
FSStatus ConvertTable(Upgrade &u, const OldTableRecord &old, TableRecord &rec) {
    rec = TableRecord{};
    if (old.flags & OLD_TABLE_FREE) return 0;
    if (old.cls < CLASS_FIRST_HOST || old.cls >= u.classCount) {
        u.unreadable = true;
        return 0;
    }
    rec.flags = TABLE_IN_USE;
    rec.cls = old.cls;
    rec.top.cls = old.cls;
    if (u.classes[old.cls].recSize == 0) { // records of no size cannot be read
        u.unreadable = true;
        return 0;
    }
    if (old.flags & OLD_TABLE_SINGLE) return ConvertData(u, old.cls, old.block, rec.top);
    bool indexed;
    FSStatus status = ConvertIndexed(u, old.cls, old.block, rec.top, indexed);
    if (indexed) rec.flags |= TABLE_INDEXED;
    return status;
}

} // namespace

FSStatus UpgradePlace(Upgrade &u, uint32_t len, uint32_t *pos) {
    *pos = 0;
    if (len == 0) return 0;
    uint64_t end = u.next + (uint64_t(len) + UPGRADE_GRANULE - 1) / UPGRADE_GRANULE * UPGRADE_GRANULE;
    if (end > UINT32_MAX) return FS_CORRUPT(nullptr, FS_E_CANNOT_CONVERT);
    *pos = uint32_t(u.next);
    u.next = end;
    return 0;
}

FSStatus UpgradeMaster(Upgrade &u, ChunkRef &root) {
    // One master chunk per 256 table records; an empty master table still
    // gets one (empty) chunk, so that the index is never empty.
    uint32_t groups = std::max<uint32_t>(1, (u.masterCount + MASTER_CHUNK_RECORDS - 1) / MASTER_CHUNK_RECORDS);
    CVBuffer chunk, index;
    FSStatus status = CVTake(chunk, MASTER_CHUNK_RECORDS * sizeof(TableRecord), FS_E_NOMEM);
    if (status == 0) status = CVTake(index, groups * sizeof(ChunkRef), FS_E_NOMEM);
    for (uint32_t g = 0; status == 0 && g < groups; ++g) {
        uint32_t first = g * MASTER_CHUNK_RECORDS;
        uint16_t count = uint16_t(std::min<uint32_t>(MASTER_CHUNK_RECORDS, u.masterCount - first));
        std::memset(chunk.data, 0, MASTER_CHUNK_RECORDS * sizeof(TableRecord));
        for (uint32_t i = 0; status == 0 && i < count; ++i) {
            OldTableRecord old;
            std::memcpy(&old, u.master.data + (first + i) * sizeof old, sizeof old);
            TableRecord rec;
            status = ConvertTable(u, old, rec);
            std::memcpy(chunk.data + i * sizeof rec, &rec, sizeof rec);
        }
        uint32_t pos = 0;
        if (status == 0) status = UpgradePlace(u, count * uint32_t(sizeof(TableRecord)), &pos);
        if (status == 0) status = VMWrite(u.out, pos, count * uint32_t(sizeof(TableRecord)), chunk.data);
        ChunkRef ref{0, CLASS_MASTER, count, pos, 0};
        std::memcpy(index.data + g * sizeof ref, &ref, sizeof ref);
    }
    uint32_t pos = 0;
    if (status == 0) status = UpgradePlace(u, groups * uint32_t(sizeof(ChunkRef)), &pos);
    if (status == 0) status = VMWrite(u.out, pos, groups * uint32_t(sizeof(ChunkRef)), index.data);
    root = ChunkRef{0, CLASS_INDEX, uint16_t(groups), pos, 0};
    return status;
}
