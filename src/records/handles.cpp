// Moving runs of records between a table and the host's memory: into a
// buffer (FSFillPtr) or a new movable block (FSBuildHandle), and from a
// buffer (FSIAddPtr) or a movable block (FSIAddHandle). Records travel as
// their exact bytes, packed, in RIX order; each chunk is locked once and
// its stretch copied with one memory copy.
#include "records/records.h"

namespace {

FSStatus Store(SCB *scb, FSStatus status) {
    scb->status = status;
    return status;
}

// Bytes of count records, or 0 when they would not fit one movable block.
uint32_t RunBytes(const SCB *scb, uint32_t count) {
    uint64_t bytes = uint64_t{scb->recSize} * count;
    return bytes <= UINT32_MAX ? static_cast<uint32_t>(bytes) : 0;
}

// The checks of FSFillPtr, before anything is allocated or locked.
FSStatus CheckRun(const SCB *scb, uint32_t first, uint32_t count) {
    if (count == 0 || uint64_t{first} + count > scb->recCount) return FS_E_BAD_RIX;
    if (RunBytes(scb, count) == 0) return FS_E_DATA_TOO_LARGE;
    return 0;
}

} // namespace

extern "C" {

FSStatus FSFillPtr(SCB *scb, uint32_t first, uint32_t count, void *dst) {
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    FSStatus status = CheckRun(scb, first, count);
    if (status == 0 && dst == nullptr) status = FS_E_NULL_DATA;
    if (status == 0) status = FSIFetchRecords(scb, first, count, dst);
    return Store(scb, status);
}

FSStatus FSBuildHandle(SCB *scb, uint32_t first, uint32_t count, HGLOBAL *handleOut) {
    if (handleOut != nullptr) *handleOut = 0;
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    if (handleOut == nullptr) return Store(scb, FS_E_BAD_HANDLE_PARAM);
    FSStatus status = CheckRun(scb, first, count);
    if (status != 0) return Store(scb, status);
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, RunBytes(scb, count));
    if (h == 0) return Store(scb, FS_E_NOMEM);
    void *data = GlobalLock(h);
    status = data != nullptr ? FSIFetchRecords(scb, first, count, data) : FS_E_LOCKMEM;
    if (data != nullptr) GlobalUnlock(h);
    if (status != 0) {
        GlobalFree(h);
        return Store(scb, status);
    }
    *handleOut = h;
    return Store(scb, 0);
}

FSStatus FSIAddPtr(SCB *scb, uint32_t rix, uint32_t count, uint32_t replace, const void *src) {
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    if (src == nullptr) return Store(scb, FS_E_NULL_DATA);
    if (rix == RIX_LAST) rix = replace ? 0 : scb->recCount;
    // With replace the records go into the emptied table, where 0 is the
    // only position; any other is refused before anything is deleted.
    if (rix > (replace ? 0 : scb->recCount)) return Store(scb, FS_E_BAD_RIX);
    // Records with RIDs are added through FSIAddLock, which stamps them.
    if (scb->flags & FS_SCB_STAMPS_IDS) return Store(scb, FS_E_RID_CLASS);
    if ((scb->flags & FS_SCB_READ_WRITE) == 0) return Store(scb, FS_E_READ_ONLY);

    FSStatus status;
    if (replace && scb->recCount > 0 &&
        (status = FSIRecOps(scb, FSOpDelete, 0, scb->recCount, nullptr, 0)) != 0)
        return Store(scb, status);
    if (count == 0) return Store(scb, 0);
    if ((status = FSIAddLock(scb, rix, count, 0, nullptr)) != 0) return Store(scb, status);
    if ((status = FSIStoreRecords(src, count, scb, rix)) != 0) {
        FSIRecOps(scb, FSOpDelete, rix, count, nullptr, 0);
        return Store(scb, status);
    }
    return Store(scb, 0);
}

FSStatus FSIAddHandle(SCB *scb, uint32_t rix, uint32_t count, uint32_t replace, HGLOBAL h) {
    if (!SCBValid(scb)) return FS_E_BAD_SCB;
    if (h == 0) return Store(scb, FS_E_NULL_DATA);
    // The block must hold the records: nothing is read past its end.
    if (GlobalSize(h) < uint64_t{scb->recSize} * count) return Store(scb, FS_E_BAD_HANDLE_PARAM);
    const void *data = GlobalLock(h);
    if (data == nullptr) return Store(scb, FS_E_LOCKMEM);
    FSStatus status = FSIAddPtr(scb, rix, count, replace, data);
    GlobalUnlock(h);
    return Store(scb, status);
}

} // extern "C"
