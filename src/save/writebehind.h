// The write-behind buffer of a save-as: images bound for consecutive
// positions of the new file are gathered into one movable block and go out
// in writes of up to its capacity (64512 bytes, halved down to 8064 bytes
// when memory is short; without any block every image is written alone).
// Gaps between images that pass through the buffer are written as zeros.
//
// Every physical write can be reported to the host's progress callback
// (code 1 with the bytes written) while `report` is set.
#pragma once

#include <cstdint>

#include <zunfs/zunfs.h>

// The host's callback and its context value, as one save-as received them.
struct SaveProgress {
    FSSaveAsCallback callback = nullptr; // null: nothing is reported
    uintptr_t context = 0;
};

// Sends one progress record (code 0, 1 or 2); nothing without a callback.
void SAReport(const SaveProgress &progress, uint32_t code, uint32_t bytes);

struct WriteBehind {
    const VMFileSpec *file = nullptr;
    const SaveProgress *progress = nullptr;
    bool report = false;     // physical writes are reported (code 1)
    HGLOBAL block = 0;       // 0: no buffer, every write goes straight to the file
    uint8_t *data = nullptr; // the locked block
    uint32_t capacity = 0;
    uint32_t first = 0;      // file position of data[0]
    uint32_t held = 0;       // bytes gathered, from data[0]
};

// Takes a buffer for writes to file, as large as memory allows.
void WBStart(WriteBehind *wb, const VMFileSpec *file, const SaveProgress *progress);

// Writes length bytes at position. Positions must go forwards: a write
// before the end of the bytes held is refused with WB_BACKWARDS.
constexpr FSStatus WB_BACKWARDS = 0xFFFF;
FSStatus WBWrite(WriteBehind *wb, uint32_t position, uint32_t length, const void *data);

// As WBWrite, but hands out the place in the buffer where the caller puts
// the length bytes itself (*at). *at is null when they cannot be held (no
// buffer, or more than its capacity): the caller then uses WBWrite.
FSStatus WBReserve(WriteBehind *wb, uint32_t position, uint32_t length, uint8_t **at);

// Writes out the bytes held.
FSStatus WBFlush(WriteBehind *wb);

// Writes out what is held when status is 0, releases the buffer, and
// returns status or the status of that last write.
FSStatus WBEnd(WriteBehind *wb, FSStatus status);
