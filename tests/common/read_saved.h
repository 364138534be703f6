// Reads the saved version of a storage file in the current layout straight
// from its bytes, following the chunk references from the header's saved
// root: a second reading of the format, independent of the library, for
// tests that compare a file's records with what was put into it.
#pragma once

#include <cstdint>
#include <vector>

#include "gen_bytes.h"

namespace gen {

struct ReadTable {
    bool inUse = false;
    uint8_t cls = 0;
    bool indexed = false;
    std::vector<uint16_t> chunks; // records of each data chunk
    Bytes records;                // every record in order; zeros where a chunk has no image
};

struct ReadVersion {
    bool masterIndexed = false;
    std::vector<uint16_t> masterChunks; // table records of each master chunk
    std::vector<ReadTable> tables;      // by TID, free records included
};

// Throws std::runtime_error when a reference leads outside the file or to a
// class the file does not describe.
ReadVersion ReadSaved(const Bytes &file);

} // namespace gen
