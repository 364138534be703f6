// Closing a storage file.
#include "session/close.h"

extern "C" void FSFileClose(FCB *fcb, uint16_t keep) {
    if (!FCBValid(fcb)) return;
    FSCloseStep(fcb, keep, true);
}
