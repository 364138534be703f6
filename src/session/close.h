// The close step: settles which versions the file keeps, writes the header
// marked closed when the file is kept, closes or deletes the file, and
// frees the memory that belongs to the FCB.
#pragma once

#include <cstdint>

#include "session/fcb.h"

// keep 1 keeps the file as it stands (header marked closed, even for a
// scratch file). Any other value gives up the working state: a file with a
// saved version falls back to it (the file's free tail is cut), a scratch
// file is deleted, any other file is closed without a write. After a fatal
// error nothing is written: the file is only closed. release also frees the
// class table and the FCB itself; without it the FCB stays, without file,
// thunk table or free list. A null FCB or a wrong magic is ignored.
void FSCloseStep(FCB *fcb, uint16_t keep, bool release);
