// The file check that opening, FSIsFileWriteable and FSFileInfo share: is
// this a storage file of the host's kind, of a version this library can
// handle, and how must it be treated.
#pragma once

#include <cstdint>

#include "session/fcb.h"

constexpr uint16_t MAGIC_OTHER_ORDER = 0xFF99; // the magic as read from a foreign file

struct FileCheck {
    bool writable = false;        // the file opened for reading and writing
    bool needsConversion = false; // old format, or the host's application is newer
    bool foreign = false;         // written in the other byte order
    uint32_t length = 0;          // the file's length
};

// Opens the file that spec names (read-write, else read-only) and reads its
// first 154 bytes into *header. 0 leaves the file open; on failure it is
// closed. Statuses: the open's, the read's (a file of 0 bytes fails the
// read), FS_E_BAD_FORMAT (1 to 153 bytes, wrong magic, another file type),
// FS_E_CANNOT_CONVERT (a newer format or application without anyVersion),
// FS_E_TRANSLATE_AND_CONVERT (foreign and in need of conversion). The check
// results are filled as far as the check got.
FSStatus FSCheckFile(VMFileSpec *spec, const FSContext *ctx, FileHeader *header, FileCheck *out);

// The upgrade rule: whether a file of appVersion is to be upgraded for the
// host (with anyVersion on any difference, else when the file's major
// version is below the host's).
bool FSNeedsUpgrade(uint16_t appVersion, const FSContext *ctx);
