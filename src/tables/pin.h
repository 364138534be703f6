// Scope guard for one pin (busy count +1) of a chunk: a pinned chunk is
// never written back, so neither it nor, through it, its parent gives
// thunks back while the guard lives.
#pragma once

#include <cstdint>

#include "session/fcb.h"
#include "tables/chunks.h"

struct ChunkPin {
    FCB *fcb;
    uint16_t ti = THUNK_NONE;
    bool held = false;

    explicit ChunkPin(FCB *f) : fcb(f) {}
    ChunkPin(FCB *f, uint16_t t) : fcb(f) { Pin(t); }
    ~ChunkPin() { Release(); }
    ChunkPin(const ChunkPin &) = delete;
    ChunkPin &operator=(const ChunkPin &) = delete;

    // Pins t (releasing any earlier pin of this guard). 0 or the pin's status.
    FSStatus Pin(uint16_t t) {
        Release();
        FSStatus status = TBPinChunk(fcb, t, +1);
        held = status == 0;
        ti = t;
        return status;
    }
    // The pinned thunk's content now lives at thunk t (its pin went with it).
    void Moved(uint16_t t) { ti = t; }
    void Release() {
        if (held) TBPinChunk(fcb, ti, -1);
        held = false;
    }
};
