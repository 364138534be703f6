// What opening checks in a header and a class table before trusting them.
#include <cstring>

#include "session/open.h"

namespace {

constexpr uint16_t SHIFT_MAX = 15; // shifts build 16-bit masks
constexpr uint16_t KNOWN_VERSIONS = VER_CURRENT | VER_MINI | VER_SAVED;
constexpr uint32_t RUNTIME_FIELDS = offsetof(FileHeader, classTableSlot); // 112 to the end

FSStatus Bad() { return FS_CORRUPT(nullptr, FS_E_BAD_FORMAT); }

// References at rest carry no resident bit, busy count or thunk index.
void AtRest(ChunkRef &ref) {
    ref.flags &= static_cast<uint8_t>(~(REF_RESIDENT | REF_BUSY_MASK));
    ref.thunk = THUNK_NONE;
}

} // namespace

FSStatus FSCheckHeader(FileHeader &h, uint32_t length) {
    if (h.magic != FS_MAGIC || (h.formatVersion & 0xFF00) == 0) return Bad();
    if (h.allocShift > SHIFT_MAX || h.growShift > SHIFT_MAX) return Bad();
    if (h.maxChunk == 0 || h.maxChunk > MAX_CHUNK_DEFAULT) return Bad();
    if (h.classCount < CLASS_FIRST_HOST) return Bad();
    const uint64_t classEnd = uint64_t{h.classTableOffset} + uint32_t{h.classCount} * sizeof(FSClassDesc);
    if (h.classTableOffset < HEADER_SIZE || classEnd > h.fileSize || classEnd > length) return Bad();
    if (h.fileSize % (1u << h.allocShift) != 0) return Bad();

    h.lastStatus = 0; // a leftover of the session that wrote the header
    h.versionFlags &= KNOWN_VERSIONS;
    AtRest(h.savedRoot);
    AtRest(h.miniRoot);
    AtRest(h.currentRoot);
    h.fileSlot = 0;
    std::memset(reinterpret_cast<uint8_t *>(&h) + RUNTIME_FIELDS, 0, HEADER_SIZE - RUNTIME_FIELDS);
    return 0;
}

FSStatus FSCheckBuiltinClasses(const FileHeader &h, const FSClassDesc *classes) {
    for (uint8_t c = 0; c < CLASS_FIRST_HOST; ++c)
        if (classes[c].allocShift > SHIFT_MAX || classes[c].growShift > SHIFT_MAX) return Bad();
    const FSClassDesc &master = classes[CLASS_MASTER], &index = classes[CLASS_INDEX];
    if (master.recSize != sizeof(TableRecord) || master.maxPerChunk == 0 ||
        uint32_t{master.maxPerChunk} * master.recSize > h.maxChunk)
        return Bad();
    if (index.recSize != sizeof(ChunkRef)) return Bad();
    return 0;
}

bool FSRootUsable(const ChunkRef &root) { return root.cls == CLASS_MASTER || root.cls == CLASS_INDEX; }
