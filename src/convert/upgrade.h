// Upgrade of files written in an older format: the open path hands over
// every file whose magic is right but whose format version is not the
// current one.
//
// On entry fcb->h holds the first 154 bytes of the working file as read and
// fcb->file is the working file's record (VMAlloc'd, 292 bytes), open. No
// other field of the FCB is used or changed.
//
// - Format version with a non-zero high byte: the file is used as it
//   stands. Its header is read again into fcb->h (lastStatus cleared, since
//   the stored value is a leftover of the writer's session); the working
//   file stays.
// - High byte 0, the old format: the whole file is converted into a new
//   scratch file at ctx->scratchSpec (temporary bit set) in the current
//   layout: format version 513, versions current and saved, closedCleanly
//   set, the class table widened, every table copied as one chunk or as an
//   index over its chunks, the master table indexed in chunks of 256 table
//   records, and the file's length equal to its fileSize. The old file is
//   only read.
//
// Success (0), old format: fcb->h is the new file's header and fcb->file the
// new file's record (VMAlloc'd), open read-write; the old working file is
// closed (deleted when its record is temporary) and its record freed. The
// open goes on with the saved version. fcb->h.lastStatus is
// FS_E_UNREADABLE when some table's data could not be matched and the table
// arrived empty (or, for a table record without a usable class, free), else
// 0: the open path must pass that warning on to the FCB it returns.
//
// Failure: fcb->h and fcb->file are as on entry and the working file is
// still open; no new file and no memory stay behind. Statuses:
//   FS_E_BAD_PARAMS      fcb, fcb->file or ctx null;
//   FS_E_BAD_FORMAT      a re-read header is no longer a storage header;
//   FS_E_CANNOT_CONVERT  an old kind other than 3 or 5, or an old header,
//                        class table, block table or master block that is
//                        out of range or of the wrong class;
//   FS_E_NOMEM, FS_E_LOCKMEM  a buffer or the new file's record;
//   services statuses    reads of the old file, creation of and writes to
//                        the new one.
#pragma once

#include "session/fcb.h"

FSStatus CVUpgradeOld(FCB *fcb, const FSContext *ctx);
