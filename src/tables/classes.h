// What the chunk layer asks of a class descriptor. Every lookup goes through
// ClassDesc (bounded by classCount); a class without a descriptor has
// records of size 0 and holds no chunk references.
#pragma once

#include <cstdint>

#include "session/fcb.h"

inline uint16_t ClassRecSize(FCB *fcb, uint8_t cls) {
    const FSClassDesc *d = ClassDesc(fcb, cls);
    return d != nullptr ? d->recSize : 0;
}

// True when the records of the class begin with chunk references that
// write-back follows: classes flagged so, and always the master table and
// index chunks, whatever their stored flags say. Records too short to hold
// a reference are never followed.
inline bool ClassHoldsRefs(FCB *fcb, uint8_t cls) {
    const FSClassDesc *d = ClassDesc(fcb, cls);
    if (d == nullptr || d->recSize < sizeof(ChunkRef)) return false;
    return (d->flags & FS_CLASS_CHUNKREFS) != 0 || cls == CLASS_MASTER || cls == CLASS_INDEX;
}
