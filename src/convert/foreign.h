// Conversion, in place, of a storage file written in the other byte order
// (its magic reads 0xFF99): every number of the header, the class table,
// the chunk references and table records of the saved version, and the
// stored free list is brought to this byte order, and the host's records
// are converted by ctx->translateHook. Afterwards the file holds only its
// saved version.
//
// On entry fcb->h holds the first 154 bytes of the working file as read,
// fcb->file is the working file's record, open read-write, and hostSpec the
// host's record (handed to VMConvertBegin; the host file's stamp becomes
// the header's fileStamp, 0 when it cannot be had). No other field of the
// FCB is used or changed.
//
// The conversion makes two passes over the saved version. The first only
// reads: it checks every count, class and position against the class table,
// the file's length and the chunk size limit, and that no two images of the
// version (or an image and the header or class table) share file space, so
// that every image is converted exactly once. A file that fails a check is
// refused before anything is written. The second pass converts and writes.
// A chunk reference with records but no image (position 0) has nothing to
// convert. Chunks of host classes whose flags have neither 0x08 nor 0x20
// are left as they are. The hook is called once per converted host chunk
// with its class, its records in memory, their count and the formatMark
// stored in the file. A stored free list that cannot be converted (more
// than 6144 entries, out of range, unsorted, or freeing space the saved
// version uses) is dropped: its space is then treated as used, which loses
// space, never data.
//
// Success (0): fcb->h is the converted header (lastStatus 0, formatMark 1,
// versionFlags without 0x01, 0x02 and 0x08, the run-time slots 0), and the
// file is converted, its header written and flushed.
//
// Failure: fcb->h is as on entry and nothing stays allocated.
// Refused with the file unchanged:
//   FS_E_BAD_PARAMS        a null argument, or the header is not foreign;
//   FS_E_CANNOT_TRANSLATE  the context has no translate hook;
//   FS_E_CANNOT_CONVERT    a format version other than 2.x;
//   FS_E_UNREADABLE        a count, class or position out of range, or
//                          images that share space;
//   VMConvertBegin's status, statuses of reads, FS_E_NOMEM, FS_E_LOCKMEM.
// Failed part-way, the file partly converted (the open must discard it):
//   the hook's status, statuses of reads, writes and the flush,
//   FS_E_NOMEM, FS_E_LOCKMEM.
#pragma once

#include "session/fcb.h"

FSStatus CVConvertForeign(FCB *fcb, const FSContext *ctx, const VMFileSpec *hostSpec);
