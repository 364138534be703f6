// Working buffers of the format conversions: movable memory blocks, locked
// for as long as the buffer lives and freed with it, so that every path out
// of a conversion gives its memory back.
#pragma once

#include <cstdint>

#include <zunvm/zunvm.h>

struct CVBuffer {
    HGLOBAL handle = 0;
    uint8_t *data = nullptr;

    CVBuffer() = default;
    CVBuffer(const CVBuffer &) = delete;
    CVBuffer &operator=(const CVBuffer &) = delete;
    ~CVBuffer(); // releases the block
};

// Makes buf a locked, zeroed block of bytes bytes (at least 1). Returns 0,
// FS_E_NOMEM when the block cannot be had, or lockFailure when it cannot be
// locked; buf then holds nothing.
FSStatus CVTake(CVBuffer &buf, uint32_t bytes, FSStatus lockFailure);

// Unlocks and frees the block, if any.
void CVRelease(CVBuffer &buf);

// Buffers of the conversions that are alive now, across all threads: 0
// whenever no conversion runs. Tests use it to see that nothing leaks.
uint32_t CVBuffersInUse();
