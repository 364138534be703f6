// The registry of open sessions and the check-in walk of a closing file.
#include "tables/sessions.h"

#include <cstring>

#include "tables/chunks.h"
#include "tables/classes.h"
#include "tables/thunks.h"

namespace {

constexpr uint32_t FIRST_SLOTS = 8;

// The registered SCB of a handle, or null.
SCB *Registered(FCB *fcb, uint32_t handle) {
    if (handle == 0 || handle > fcb->sessionSlots) return nullptr;
    return fcb->sessions[handle - 1];
}

FSStatus GrowRegistry(FCB *fcb) {
    uint32_t slots = fcb->sessionSlots != 0 ? fcb->sessionSlots * 2 : FIRST_SLOTS;
    if (slots > UINT32_MAX / sizeof(SCB *) || slots < fcb->sessionSlots) return FS_E_NOMEM;
    auto *grown = static_cast<SCB **>(VMAlloc(slots * uint32_t{sizeof(SCB *)}));
    if (grown == nullptr) return FS_E_NOMEM;
    if (fcb->sessions != nullptr)
        std::memcpy(grown, fcb->sessions, fcb->sessionSlots * sizeof(SCB *));
    VMFree(fcb->sessions);
    fcb->sessions = grown;
    fcb->sessionSlots = slots;
    return 0;
}

// Checks in the sessions of each in-use table record of one master-table
// chunk, whose first record is table first. A check-in that cannot unchain
// its SCB leaves the head unchanged; the slot is then cleared and the SCB is
// left to TBDropSessions. Returns the chunk's record count.
uint16_t CheckInChunk(FCB *fcb, ChunkRef *ref, uint32_t first) {
    uint16_t ti;
    void *data;
    if (TBSlotFor(fcb, ref, &ti) != 0) return ref->storedCount;
    uint16_t n = TBChunkCount(fcb, ti);
    if (TBLockMasterChunk(fcb, ti, &data) != 0) return n;
    uint16_t stride = ClassRecSize(fcb, CLASS_MASTER);
    for (uint16_t i = 0; i < n; ++i) {
        auto *rec = reinterpret_cast<TableRecord *>(static_cast<uint8_t *>(data) + i * stride);
        if ((rec->flags & TABLE_IN_USE) == 0) continue;
        auto tid = static_cast<uint16_t>(first + i);
        while (rec->sessions != 0) {
            uint32_t before = rec->sessions;
            FSCheckIn(TBSessionHead(fcb, rec, tid));
            if (rec->sessions == before) rec->sessions = 0;
        }
    }
    TBUnlockChunk(fcb, ti, 0);
    return n;
}

} // namespace

SCB *TBSessionHead(FCB *fcb, const TableRecord *rec, uint16_t tid) {
    SCB *scb = Registered(fcb, rec->sessions);
    if (scb == nullptr || scb->sessionId != rec->sessions || scb->tableNumber != tid)
        return nullptr;
    return scb;
}

bool TBSessionOpen(const FCB *fcb, const SCB *scb) {
    if (scb == nullptr) return false;
    for (uint32_t slot = 0; fcb->sessions != nullptr && slot < fcb->sessionSlots; ++slot)
        if (fcb->sessions[slot] == scb) return true;
    return false;
}

FSStatus TBRegisterSession(FCB *fcb, SCB *scb) {
    uint32_t slot = 0;
    while (slot < fcb->sessionSlots && fcb->sessions[slot] != nullptr) ++slot;
    if (slot == fcb->sessionSlots) {
        FSStatus status = GrowRegistry(fcb);
        if (status != 0) return status;
    }
    fcb->sessions[slot] = scb;
    ++fcb->sessionsOpen;
    scb->sessionId = slot + 1;
    return 0;
}

void TBRetireSession(FCB *fcb, SCB *scb) {
    if (Registered(fcb, scb->sessionId) == scb) {
        fcb->sessions[scb->sessionId - 1] = nullptr;
        if (--fcb->sessionsOpen == 0) {
            VMFree(fcb->sessions);
            fcb->sessions = nullptr;
            fcb->sessionSlots = 0;
        }
    }
    std::memset(scb, 0, sizeof *scb);
    VMFree(scb);
}

void TBDropSessions(FCB *fcb) {
    for (uint32_t slot = 0; fcb->sessions != nullptr && slot < fcb->sessionSlots; ++slot)
        if (SCB *scb = fcb->sessions[slot]) TBRetireSession(fcb, scb);
}

void TBCheckInAll(FCB *fcb) {
    uint16_t root;
    if (TBSlotFor(fcb, &fcb->h.currentRoot, &root) != 0) return;
    uint8_t cls;
    {
        ThunkLock lock(fcb);
        if (!lock.held) return;
        cls = ThunkAt(fcb, root)->cls;
    }
    if (cls != CLASS_INDEX) {
        if (TBChunkCount(fcb, root) != 0) CheckInChunk(fcb, &fcb->h.currentRoot, 0);
        return;
    }
    void *data;
    uint16_t stride = ClassRecSize(fcb, CLASS_INDEX);
    if (stride < sizeof(ChunkRef) || TBLockChunk(fcb, root, &data) != 0) return;
    auto *refs = static_cast<uint8_t *>(data);
    uint32_t first = 0;
    for (uint16_t i = 0, n = TBChunkCount(fcb, root); i < n; ++i)
        first += CheckInChunk(fcb, reinterpret_cast<ChunkRef *>(refs + i * stride), first);
    TBUnlockChunk(fcb, root, 0);
}
