// Closing a storage file: check in what the host left checked out, then the
// close step.
#include "session/close.h"
#include "tables/sessions.h"

extern "C" void FSFileClose(FCB *fcb, uint16_t keep) {
    if (!FCBValid(fcb)) return;
    // The walk over the master table releases the sessions' locks and pins.
    // In the fatal state no chunk is touched; either way no SCB outlives the
    // file, so every one still registered is retired without the walk.
    if ((fcb->h.stateFlags & STATE_FATAL) == 0) TBCheckInAll(fcb);
    TBDropSessions(fcb);
    FSCloseStep(fcb, keep, true);
}
