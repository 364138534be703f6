// Copying records between sessions, and between a session and memory, chunk
// by chunk: one lock per chunk on each side and one memory copy per
// contiguous stretch.
#include <algorithm>

#include "records/records.h"

namespace {

// Locks rix and gives the bytes from it to the end of its chunk. On failure
// the session is released and the status returned.
FSStatus LockStretch(SCB *scb, uint32_t rix, uint8_t **at, uint32_t *bytes) {
    void *rec = nullptr, *end = nullptr;
    FSStatus status = FSIxLock(scb, rix, &rec, &end);
    if (status != 0) {
        if (rec != nullptr) FSUnlock(scb);
        return status;
    }
    *at = static_cast<uint8_t *>(rec);
    *bytes = static_cast<uint32_t>(static_cast<uint8_t *>(end) - *at);
    return 0;
}

// Copies count records from rix on between the session's chunks and host
// memory, one stretch per chunk: into the chunks when store is set (marking
// them and the file dirty), out of them otherwise. The session ends
// unlocked, unless there was nothing to copy.
FSStatus Transfer(SCB *scb, uint32_t rix, uint32_t count, uint8_t *host, bool store) {
    uint64_t left = uint64_t{scb->recSize} * count;
    if (left == 0) return 0;
    while (left > 0) {
        uint8_t *rec;
        uint32_t avail;
        FSStatus status = LockStretch(scb, rix, &rec, &avail);
        if (status != 0) return status;
        auto take = static_cast<uint32_t>(std::min<uint64_t>(avail, left));
        rix += take / scb->recSize;
        if (store) {
            VMCopyMem(rec, host, take);
            scb->flags |= FS_SCB_CHUNK_DIRTY;
            FSDirtyFile(scb->fcb);
        } else {
            VMCopyMem(host, rec, take);
        }
        left -= take;
        host += take;
    }
    FSUnlock(scb);
    return 0;
}

} // namespace

FSStatus FSIStoreRecords(const void *data, uint32_t count, SCB *scb, uint32_t rix) {
    // What is written here must reach the file: a read-only session could
    // not mark the chunks dirty, so it is refused before anything changes.
    if (count != 0 && (scb->flags & FS_SCB_READ_WRITE) == 0) return FS_E_READ_ONLY;
    // Only read from: the store direction copies out of host.
    auto *host = const_cast<uint8_t *>(static_cast<const uint8_t *>(data));
    return Transfer(scb, rix, count, host, true);
}

FSStatus FSIFetchRecords(SCB *scb, uint32_t rix, uint32_t count, void *data) {
    return Transfer(scb, rix, count, static_cast<uint8_t *>(data), false);
}

FSStatus FSICopyRecords(SCB *src, uint32_t first, uint32_t count, SCB *dst, uint32_t dstRix) {
    FSStatus status = 0;
    while (count > 0) {
        uint8_t *from;
        uint32_t avail;
        status = LockStretch(src, first, &from, &avail);
        if (status != 0) return status;
        uint32_t t = std::min(avail / src->recSize, count);
        status = FSIStoreRecords(from, t, dst, dstRix);
        if (status != 0) break;
        first += t;
        dstRix += t;
        count -= t;
    }
    FSUnlock(src);
    return status;
}
