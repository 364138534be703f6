// The walk over a foreign file's saved version. The structure is fixed by
// the format, so the walk follows it rather than any class flag found in
// the file: the root is a master chunk or an index of master chunks; a
// table record in use names its table's chunk, or an index of the table's
// chunks. Every reference is checked against the place it is found in, so
// the walk is at most four chunks deep and, with the space map, reads each
// image of the version once per pass.
#include <cstring>

#include "convert/foreign_state.h"

namespace {

FSStatus Unreadable() { return FS_CORRUPT(nullptr, FS_E_UNREADABLE); }

// Converts bytes 10-15 of a table record in place: the flag word, whose
// flags were allocated from the most significant bit (in use, indexed, then
// the rest), and the class; the session chain head is cleared.
void ConvertTableFlags(uint8_t *rec) {
    uint16_t w = uint16_t(rec[10] << 8 | rec[11]);
    rec[10] = uint8_t((w >> 15 & 0x01) | (w >> 13 & 0x02) | (w >> 6 & 0xFC));
    rec[11] = uint8_t(w);
    std::memset(rec + 12, 0, 4);
}

// Checks a converted reference to a chunk of records of size bytes, claims
// its image in the checking pass and gives its length; present is false when
// there is nothing to convert (no records, or no image: they read as zeros).
FSStatus CheckImage(Foreign &f, const ChunkRef &ref, uint16_t size, uint32_t &len, bool &present) {
    present = false;
    len = uint32_t(ref.storedCount) * size;
    uint16_t max = ClassOf(f, ref.cls).maxPerChunk;
    if (len > MAX_CHUNK_DEFAULT || (max != 0 && ref.storedCount > max)) return Unreadable();
    if (len == 0 || ref.filePos == 0) return 0;
    if (uint64_t(ref.filePos) + len > f.length) return Unreadable();
    if (!f.writing && !SpaceClaim(f, ref.filePos, len)) return Unreadable();
    present = true;
    return 0;
}

FSStatus ReadImage(Foreign &f, const ChunkRef &ref, uint32_t len, CVBuffer &buf) {
    FSStatus status = CVTake(buf, len, FS_E_LOCKMEM);
    return status != 0 ? status : VMRead(f.file, ref.filePos, len, buf.data);
}

FSStatus WriteBack(Foreign &f, const ChunkRef &ref, uint32_t len, const CVBuffer &buf) {
    return f.writing ? VMWrite(f.file, ref.filePos, len, buf.data) : 0;
}

// A chunk of a host class: its records go through the host's hook, when the
// class's flags ask for conversion at all.
FSStatus WalkData(Foreign &f, const ChunkRef &ref) {
    uint32_t len;
    bool present;
    FSStatus status = CheckImage(f, ref, ClassOf(f, ref.cls).recSize, len, present);
    if (status != 0 || !present || !f.writing || !(ClassOf(f, ref.cls).flags & CLASS_CONVERTED_FLAGS)) return status;
    CVBuffer buf;
    status = ReadImage(f, ref, len, buf);
    if (status == 0) status = f.hook(ref.cls, buf.data, ref.storedCount, f.formatMark);
    if (status == 0) status = WriteBack(f, ref, len, buf);
    return status;
}

FSStatus WalkMaster(Foreign &f, const ChunkRef &ref);

// Loads a chunk of records of size bytes, hands each record to each (which
// converts it in memory and follows what it references) and, in the second
// pass, writes the chunk back.
template <typename Each> FSStatus WalkRecords(Foreign &f, const ChunkRef &ref, uint16_t size, Each each) {
    uint32_t len;
    bool present;
    FSStatus status = CheckImage(f, ref, size, len, present);
    if (status != 0 || !present) return status;
    CVBuffer buf;
    status = ReadImage(f, ref, len, buf);
    for (uint32_t i = 0; status == 0 && i < ref.storedCount; ++i) status = each(buf.data + i * size);
    return status == 0 ? WriteBack(f, ref, len, buf) : status;
}

// An index chunk whose references must all name chunks of class child: the
// master table's chunks (class 0) or a table's data chunks.
FSStatus WalkIndex(Foreign &f, const ChunkRef &ref, uint8_t child) {
    return WalkRecords(f, ref, sizeof(ChunkRef), [&](uint8_t *at) {
        ConvertRef(at);
        ChunkRef r;
        std::memcpy(&r, at, sizeof r);
        if (r.cls != child) return Unreadable();
        return child == CLASS_MASTER ? WalkMaster(f, r) : WalkData(f, r);
    });
}

// The table record of a table in use: a host class, and a top chunk of that
// class or, for an indexed table, an index over chunks of that class.
FSStatus WalkTable(Foreign &f, const TableRecord &t) {
    if (t.cls < CLASS_FIRST_HOST || t.cls >= f.h.classCount) return Unreadable();
    if (t.flags & TABLE_INDEXED) return t.top.cls == CLASS_INDEX ? WalkIndex(f, t.top, t.cls) : Unreadable();
    return t.top.cls == t.cls ? WalkData(f, t.top) : Unreadable();
}

// A master chunk: 16-byte table records. Free records are converted but not
// followed: whatever their reference names belongs to no table.
FSStatus WalkMaster(Foreign &f, const ChunkRef &ref) {
    return WalkRecords(f, ref, sizeof(TableRecord), [&](uint8_t *at) {
        ConvertRef(at);
        ConvertTableFlags(at);
        TableRecord t;
        std::memcpy(&t, at, sizeof t);
        return (t.flags & TABLE_IN_USE) ? WalkTable(f, t) : FSStatus(0);
    });
}

} // namespace

void ConvertRef(uint8_t *ref) {
    VMSwapWords(ref + 2, ref + 2, 2);
    VMSwapLongs(ref + 4, ref + 4, 4);
    ref[0] = 0;
    ref[8] = ref[9] = 0;
}

FSStatus WalkSaved(Foreign &f) {
    const ChunkRef &root = f.h.savedRoot;
    if (root.cls == CLASS_MASTER) return WalkMaster(f, root);
    if (root.cls == CLASS_INDEX) return WalkIndex(f, root, CLASS_MASTER);
    return Unreadable();
}
