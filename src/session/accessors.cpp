// Header accessors, the header write, the corruption report, and the empty
// diagnostics exports.
#include <cstring>

#include "session/fcb.h"

namespace {
thread_local const char *g_lastCorruption = nullptr;
}

FSStatus FSCorrupt(FCB *, FSStatus code, const char *where) {
    g_lastCorruption = where;
    return code;
}

// Where the last corrupt structure was found on this thread (for tests and
// debugging), or null.
const char *FSLastCorruption() { return g_lastCorruption; }

// memInUse depends on how the platform rounds memory blocks, not on the
// file: it goes to the file as 0, like the address slots, so that a file's
// bytes do not depend on the allocator.
FSStatus FSWriteHeader(FCB *fcb) { return FSWriteHeaderImage(fcb, fcb->h); }

FSStatus FSWriteHeaderImage(FCB *fcb, const FileHeader &image) {
    FileHeader h = image;
    h.memInUse = 0;
    return VMWrite(fcb->file, 0, HEADER_SIZE, &h);
}

// The accessors make no check of the FCB beyond refusing a null pointer.
extern "C" {

uint16_t FSVersion(FCB *fcb) { return fcb ? fcb->h.formatVersion : 0; }
uint16_t FSAppVersion(FCB *fcb) { return fcb ? fcb->h.appVersion : 0; }
uint16_t FSMaxChunk(FCB *fcb) { return fcb ? fcb->h.maxChunk : 0; }
uint16_t FSRootTable(FCB *fcb) { return fcb ? fcb->h.rootTable : TID_NONE; }
VMFileSpec *FSFileSpec(FCB *fcb) { return fcb ? fcb->file : nullptr; }

uint32_t FSFileType(FCB *fcb) {
    if (fcb == nullptr || fcb->file == nullptr) return 0;
    uint32_t type;
    std::memcpy(&type, fcb->file->bytes + 8, sizeof type);
    return type;
}

static int32_t StateBit(const FCB *fcb, uint16_t bit) {
    return fcb != nullptr && (fcb->h.stateFlags & bit) != 0 ? 1 : 0;
}

int32_t FSDirtied(FCB *fcb) { return StateBit(fcb, STATE_DIRTIED); }
int32_t FSDirtiedPage(FCB *fcb) { return StateBit(fcb, STATE_DIRTIED_PAGE); }
int32_t FSDirty(FCB *fcb) { return StateBit(fcb, STATE_DIRTIED | STATE_DIRTIED_PAGE); }
int32_t FSDiskFull(FCB *fcb) { return StateBit(fcb, STATE_DISK_FULL); }
int32_t FSFatalError(FCB *fcb) { return StateBit(fcb, STATE_FATAL); }
uint16_t FSSaved(FCB *fcb) { return fcb ? (fcb->h.versionFlags & VER_SAVED) : 0; }
uint16_t FSCommitted(FCB *fcb) { return fcb ? (fcb->h.versionFlags & VER_MINI) : 0; }

int32_t FSIsSessDirty(SCB *scb) {
    return scb != nullptr && (scb->flags & (FS_SCB_CHUNK_DIRTY | FS_SCB_SESSION_DIRTIED)) ? 1 : 0;
}

void FSDirtyFile(FCB *fcb) {
    if (FCBValid(fcb)) fcb->h.stateFlags |= STATE_DIRTIED | STATE_DIRTIED_PAGE;
}

void FSClearDirty(FCB *fcb) {
    if (FCBValid(fcb)) fcb->h.stateFlags &= ~(STATE_DIRTIED | STATE_DIRTIED_PAGE);
}

void FSClearPageDirty(FCB *fcb) {
    if (fcb) fcb->h.stateFlags &= ~STATE_DIRTIED_PAGE;
}

uint32_t FSRevision(void) { return 0x0209FFFFu; }

void FSStopRIXTrace(void) {}
void FSStopTIDTrace(void) {}
void FSInitCallCounts(void) {}
void FSEnableCheckSum(void) {}
void FSDisableCheckSum(void) {}
void FSDumpSession(uint32_t) {}
void FSPrintRequests(uint32_t) {}
void FSDumpThix(uint32_t, uint32_t) {}
void FSPrintCallCounts(uint32_t, uint32_t) {}
void FSWalkTables(uint32_t, uint32_t) {}
void FSDumpTable(uint32_t, uint32_t) {}
void FSPubCheck(uint32_t, uint32_t, uint32_t) {}
void FSStartTIDTrace(uint32_t, uint32_t, uint32_t) {}
void FSTableData(uint32_t, uint32_t, uint32_t) {}
void FSStartRIXTrace(uint32_t, uint32_t, uint32_t, uint32_t) {}
void WEP(uint32_t) {}

} // extern "C"
