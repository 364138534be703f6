// The stream callbacks: a byte stream kept in a table of 1-byte records,
// read and written through the stream's session, chunk by chunk.
#include "records/records.h"
#include "tables/sessions.h"
#include "tables/sfm.h"

namespace {

constexpr uint32_t kUnbound = 0xFFFFFFFF; // position after bind

FCB *StreamFile(const VMStreamContext *s) { return static_cast<FCB *>(s->fcb); }

// The context's open session (*status 0), or null with *status saying why.
SCB *StreamSession(VMStreamContext *s, FSStatus *status) {
    *status = 0;
    if (s == nullptr) {
        *status = FS_E_BAD_PARAMS;
        return nullptr;
    }
    FCB *fcb = StreamFile(s);
    auto *scb = static_cast<SCB *>(s->scb);
    if (!FCBValid(fcb)) {
        *status = FS_E_BAD_FCB;
        return nullptr;
    }
    if (!TBSessionOpen(fcb, scb) || !SCBValid(scb) || scb->tableNumber != s->tid) {
        *status = FS_E_BAD_SCB;
        return nullptr;
    }
    if (scb->recSize != 1) {
        *status = FS_E_BAD_CLASS;
        return nullptr;
    }
    return scb;
}

FSStatus Stored(SCB *scb, FSStatus status) {
    scb->status = status;
    return status;
}

// Checks the stream's table out into the context: only a table of 1-byte
// records holds a stream.
FSStatus OpenSession(VMStreamContext *s, uint32_t mode) {
    SCB *scb = nullptr;
    FSStatus status = FSCheckOut(StreamFile(s), s->tid, mode, &scb);
    if (status == 0 && scb->recSize != 1) {
        FSCheckIn(scb);
        scb = nullptr;
        status = FS_E_BAD_CLASS;
    }
    s->scb = scb;
    return status;
}

FSStatus SFMBind(VMStreamContext *s, const VMBindParams *params) {
    if (s == nullptr || params == nullptr) return FS_E_BAD_PARAMS;
    s->fcb = params->fcb;
    s->tid = params->tid;
    s->classNumber = params->classNumber;
    s->scb = nullptr;
    s->position = kUnbound;
    return 0;
}

FSStatus SFMCreate(VMStreamContext *s) {
    if (s == nullptr) return FS_E_BAD_PARAMS;
    FCB *fcb = StreamFile(s);
    if (!FCBValid(fcb)) return FS_E_BAD_FCB;
    const FSClassDesc *d = ClassDesc(fcb, s->classNumber);
    if (d != nullptr && d->recSize != 1) return FCBStatus(fcb, FS_E_BAD_CLASS);
    uint16_t tid;
    FSStatus status = FSMakeTable(fcb, s->classNumber, &tid);
    if (status != 0) return status;
    SCB *scb;
    status = FSCheckOut(fcb, tid, 1, &scb);
    if (status != 0) {
        // Nobody would ever learn the new table's TID: it goes again.
        s->scb = nullptr;
        FSDestroyTable(fcb, tid);
        return FCBStatus(fcb, status);
    }
    s->scb = scb;
    s->tid = tid;
    s->position = 0;
    return 0;
}

FSStatus SFMOpen(VMStreamContext *s, uint32_t mode) {
    if (s == nullptr) return FS_E_BAD_PARAMS;
    if (mode > 1) return VM_E_STREAMMODE;
    FSStatus status = OpenSession(s, mode);
    if (status == 0) s->position = 0;
    return status;
}

FSStatus SFMDestroy(VMStreamContext *s) {
    if (s == nullptr) return FS_E_BAD_PARAMS;
    return FSDestroyTable(StreamFile(s), s->tid);
}

void SFMClose(VMStreamContext *s) {
    if (s == nullptr) return;
    FSStatus status;
    if (SCB *scb = StreamSession(s, &status)) FSCheckIn(scb);
    s->scb = nullptr;
}

FSStatus SFMSetSize(VMStreamContext *s, uint32_t size) {
    FSStatus status;
    SCB *scb = StreamSession(s, &status);
    if (scb == nullptr) return status;
    const uint32_t now = scb->recCount;
    if (size < now) status = FSIRecOps(scb, FSOpDelete, size, now - size, nullptr, 0);
    else if (size > now) status = FSIAddLock(scb, RIX_LAST, size - now, 0, nullptr);
    if (status != 0) return status;
    s->position = size;
    return 0;
}

FSStatus SFMRead(VMStreamContext *s, uint32_t position, uint16_t count, void *dest) {
    FSStatus status;
    SCB *scb = StreamSession(s, &status);
    if (scb == nullptr) return status;
    if (dest == nullptr && count != 0) return Stored(scb, FS_E_NULL_DATA);
    // Nothing is read past the end of the stream.
    if (uint64_t{position} + count > scb->recCount) return Stored(scb, FS_E_BAD_RIX);
    if ((status = FSIFetchRecords(scb, position, count, dest)) != 0) return Stored(scb, status);
    s->position = position + count;
    return Stored(scb, 0);
}

FSStatus SFMWrite(VMStreamContext *s, uint32_t position, uint16_t count, const void *source) {
    FSStatus status;
    SCB *scb = StreamSession(s, &status);
    if (scb == nullptr) return status;
    if (source == nullptr && count != 0) return Stored(scb, FS_E_NULL_DATA);
    // Bytes written through a read-only session could never reach the file.
    if ((scb->flags & FS_SCB_READ_WRITE) == 0) return Stored(scb, FS_E_READ_ONLY);
    const uint64_t end = uint64_t{position} + count;
    if (end > UINT32_MAX) return Stored(scb, FS_E_BAD_RIX);
    if (end > scb->recCount && (status = SFMSetSize(s, static_cast<uint32_t>(end))) != 0)
        return status;
    if ((status = FSIStoreRecords(source, count, scb, position)) != 0) return Stored(scb, status);
    s->position = static_cast<uint32_t>(end);
    return Stored(scb, 0);
}

FSStatus SFMReopen(VMStreamContext *s) {
    FSStatus status;
    SCB *scb = StreamSession(s, &status);
    if (scb == nullptr) return status;
    const uint16_t mode = scb->mode;
    FSCheckIn(scb);
    return OpenSession(s, mode);
}

uint32_t SFMGetSize(VMStreamContext *s) {
    FSStatus status;
    SCB *scb = StreamSession(s, &status);
    return scb != nullptr ? scb->recCount : 0;
}

int32_t SFMSameTable(VMStreamContext *s, VMStreamContext *t) {
    if (s == nullptr || t == nullptr || s->tid != t->tid) return 0;
    FCB *a = StreamFile(s), *b = StreamFile(t);
    if (!FCBValid(a) || !FCBValid(b)) return 0;
    return a == b || VMSameFile(FSFileSpec(a), FSFileSpec(b)) != 0 ? 1 : 0;
}

} // namespace

const VMSFMTable kSFMTable = {SFMBind,  SFMCreate,  SFMOpen,    SFMDestroy,
                              SFMClose, SFMRead,    SFMWrite,   SFMReopen,
                              SFMSetSize, SFMGetSize, SFMSameTable};
