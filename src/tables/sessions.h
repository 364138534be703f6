// Sessions of a file: the registry of open SCBs and the session chains.
//
// A table record's session slot (bytes 12-15) never holds an address: it
// holds the handle of the table's most recently checked-out SCB, or 0 when
// the table has no session. A handle is 1 + the SCB's entry in the FCB's
// registry of open sessions, and the SCB keeps it in sessionId. Each SCB
// links to the one checked out before it on the same table through
// nextSession; the chain lives in memory only.
//
// While a table has sessions, the master-table chunk holding its record is
// pinned (one busy count per table, not per session), so the slot is never
// written back or dropped while it is non-zero.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// The head of the table's session chain, or null when it has none. A slot
// that names no open session of this table (a stale handle, or bytes of a
// damaged record) reads as no session: it is never dereferenced.
SCB *TBSessionHead(FCB *fcb, const TableRecord *rec, uint16_t tid);

// Makes head (null for none) the head of the chain in the record's slot.
inline void TBSetSessionHead(TableRecord *rec, const SCB *head) {
    rec->sessions = head != nullptr ? head->sessionId : 0;
}

// True when scb is an open session of the file. The pointer is only
// compared with the registry's entries, never dereferenced, so a stale one
// is safe to ask about.
bool TBSessionOpen(const FCB *fcb, const SCB *scb);

// Enters an SCB in the registry and gives it its handle. FS_E_NOMEM when the
// registry cannot grow.
FSStatus TBRegisterSession(FCB *fcb, SCB *scb);

// Takes the SCB out of the registry, clears it whole (its magic becomes 0, so
// the pointer is refused from now on) and frees it.
void TBRetireSession(FCB *fcb, SCB *scb);

// Retires every session still registered, touching no chunk: the last step
// of closing a file, after the check-in walk (or instead of it once the file
// is in its fatal state).
void TBDropSessions(FCB *fcb);

// Checks in every session open on the file by walking the master table;
// failures to reach a chunk only skip it.
void TBCheckInAll(FCB *fcb);
