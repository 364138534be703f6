// The header, the file's sizes and the class table.
#include <cstring>

#include "check/check.h"

namespace {

constexpr uint16_t MAGIC_FOREIGN = 0xFF99; // the magic as read from a file of the other byte order
constexpr uint16_t SHIFT_MAX = 15;         // shifts build 16-bit masks

uint16_t Swap16(uint16_t v) { return uint16_t(v << 8 | v >> 8); }
uint32_t Swap32(uint32_t v) { return uint32_t(Swap16(uint16_t(v))) << 16 | Swap16(uint16_t(v >> 16)); }

// A flag word whose one-bit fields were allocated from the most significant
// bit, read as it lies: bit i of the result is bit 15 - i of the big-endian word.
uint16_t ForeignFlags(uint16_t asRead) {
    uint16_t w = Swap16(asRead), out = 0;
    for (int i = 0; i < 16; ++i)
        if (w & (1u << (15 - i))) out = uint16_t(out | 1u << i);
    return out;
}

// Decodes the numeric fields of a header written in the other byte order,
// for the summary; chunk references stay as read.
void DecodeForeign(FileHeader &h) {
    h.lastStatus = Swap16(h.lastStatus);
    h.magic = Swap16(h.magic);
    h.stateFlags = ForeignFlags(h.stateFlags);
    h.formatVersion = Swap16(h.formatVersion);
    h.allocShift = Swap16(h.allocShift);
    h.growShift = Swap16(h.growShift);
    h.versionFlags = Swap16(h.versionFlags);
    h.fileSize = Swap32(h.fileSize);
    h.savedFileSize = Swap32(h.savedFileSize);
    h.miniFileSize = Swap32(h.miniFileSize);
    h.maxChunk = Swap16(h.maxChunk);
    h.classTableOffset = Swap32(h.classTableOffset);
    h.rootTable = Swap16(h.rootTable);
    h.fileStamp = Swap32(h.fileStamp);
    h.savedFreeCount = Swap16(h.savedFreeCount);
    h.savedFreeOffset = Swap32(h.savedFreeOffset);
    h.fileType = Swap16(h.fileType);
    h.appVersion = Swap16(h.appVersion);
}

void CheckShiftsAndLimits(CheckRun &run) {
    const FileHeader &h = run.h;
    if (h.allocShift > SHIFT_MAX || h.growShift > SHIFT_MAX || h.growShift < h.allocShift)
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 12, "unusable shifts: allocShift %u, growShift %u", h.allocShift,
                 h.growShift);
    else
        run.granule = 1u << h.allocShift;
    if (h.maxChunk == 0 || h.maxChunk > MAX_CHUNK_DEFAULT)
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 84, "maxChunk %u outside 1 to %u", h.maxChunk, MAX_CHUNK_DEFAULT);
    else
        run.chunkLimit = h.maxChunk;
    if (h.classCount < CLASS_FIRST_HOST)
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 42, "classCount %u is below the %u built-in classes", h.classCount,
                 CLASS_FIRST_HOST);
    if (h.versionFlags & ~uint16_t(VER_CURRENT | VER_MINI | VER_SAVED))
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 16, "unknown version bits 0x%x", h.versionFlags);
}

void CheckDescriptor(CheckRun &run, uint8_t cls) {
    const FSClassDesc &d = run.classes[cls];
    uint32_t at = run.h.classTableOffset + uint32_t(cls) * DESC_SIZE;
    if (d.allocShift > SHIFT_MAX || d.growShift > SHIFT_MAX)
        CheckAdd(run, ZUNFS_CHECK_CLASS_TABLE, 0, at, "class %u: unusable shifts %u and %u", cls, d.allocShift,
                 d.growShift);
    if (cls == CLASS_MASTER && (d.recSize != TABLE_RECORD_SIZE || d.maxPerChunk == 0))
        CheckAdd(run, ZUNFS_CHECK_CLASS_TABLE, 0, at, "class 0: record size %u and maximum %u, not 16 and non-zero",
                 d.recSize, d.maxPerChunk);
    if (cls == CLASS_INDEX && d.recSize != REF_SIZE)
        CheckAdd(run, ZUNFS_CHECK_CLASS_TABLE, 0, at, "class 1: record size %u, not 10", d.recSize);
}

} // namespace

void CheckHeader(CheckRun &run) {
    if (run.length < HEADER_SIZE) {
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 0, "the file is %u bytes, shorter than a %u-byte header", run.length,
                 HEADER_SIZE);
        return;
    }
    if (!CheckRead(run, 0, HEADER_SIZE, &run.h, 0)) return;
    FileHeader &h = run.h;
    if (h.magic == MAGIC_FOREIGN) {
        DecodeForeign(h);
        run.format = ZUNFS_CHECK_FORMAT_FOREIGN;
        run.headerRead = true;
        return;
    }
    if (h.magic != FS_MAGIC) {
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 6, "not a storage file: magic 0x%04x", h.magic);
        return;
    }
    uint16_t major = h.formatVersion & 0xFF00;
    if (major == 0) {
        run.format = ZUNFS_CHECK_FORMAT_OLD; // its header has another layout
        return;
    }
    if (major > (FORMAT_CURRENT & 0xFF00)) {
        CheckAdd(run, ZUNFS_CHECK_HEADER, 0, 10, "format version 0x%04x is newer than this library's", h.formatVersion);
        return;
    }
    run.format = ZUNFS_CHECK_FORMAT_NATIVE;
    run.headerRead = true;
    CheckShiftsAndLimits(run);
}

void CheckSizes(CheckRun &run) {
    const FileHeader &h = run.h;
    if (h.fileSize > run.length)
        CheckAdd(run, ZUNFS_CHECK_SIZE, 0, 22, "the file is %u bytes, shorter than its fileSize %u", run.length,
                 h.fileSize);
    else if (h.fileSize < run.length && (h.stateFlags & STATE_CLOSED_CLEANLY))
        CheckAdd(run, ZUNFS_CHECK_SIZE, 0, 22, "the file is %u bytes after a clean close, longer than fileSize %u",
                 run.length, h.fileSize);
    if (h.fileSize % run.granule != 0)
        CheckAdd(run, ZUNFS_CHECK_SIZE, 0, 22, "fileSize %u is not a multiple of %u", h.fileSize, run.granule);
    if ((h.versionFlags & VER_SAVED) && (h.savedFileSize == 0 || h.savedFileSize > h.fileSize))
        CheckAdd(run, ZUNFS_CHECK_SIZE, VER_SAVED, 26, "savedFileSize %u outside 1 to fileSize %u", h.savedFileSize,
                 h.fileSize);
    if ((h.versionFlags & VER_MINI) && (h.miniFileSize == 0 || h.miniFileSize > h.fileSize))
        CheckAdd(run, ZUNFS_CHECK_SIZE, VER_MINI, 30, "miniFileSize %u outside 1 to fileSize %u", h.miniFileSize,
                 h.fileSize);
}

void CheckClassTable(CheckRun &run) {
    const FileHeader &h = run.h;
    uint32_t len = uint32_t(h.classCount) * DESC_SIZE;
    uint32_t at = h.classTableOffset;
    if (Meets(at, len, 0, HEADER_SIZE))
        CheckAdd(run, ZUNFS_CHECK_CLASS_TABLE, 0, at, "the class table at %u overlaps the header", at);
    if (uint64_t(at) + len > run.length) {
        CheckAdd(run, ZUNFS_CHECK_CLASS_TABLE, 0, at, "the class table (%u bytes at %u) lies past the end of the file",
                 len, at);
        return;
    }
    if (h.classCount < CLASS_FIRST_HOST) return; // reported with the header; the built-ins are missing
    run.classes.resize(h.classCount);
    if (!CheckRead(run, at, len, run.classes.data(), 0)) return;
    run.classesRead = true;
    run.classVetted.assign(h.classCount, 0);
    for (uint32_t cls = 0; cls < h.classCount; ++cls) CheckDescriptor(run, uint8_t(cls));
}

uint16_t VetTableClass(CheckRun &run, uint8_t cls) {
    const FSClassDesc &d = run.classes[cls];
    bool rid = d.flags & FS_CLASS_RIDS;
    bool usable = d.recSize != 0 && d.maxPerChunk != 0 && !(rid && d.recSize < 4);
    if (!run.classVetted[cls]) {
        run.classVetted[cls] = 1;
        if (!usable)
            CheckAdd(run, ZUNFS_CHECK_CLASS_TABLE, 0, run.h.classTableOffset + uint32_t(cls) * DESC_SIZE,
                     "class %u holds tables but has record size %u, maximum %u%s", cls, d.recSize, d.maxPerChunk,
                     rid ? " and RIDs" : "");
    }
    return d.recSize;
}
