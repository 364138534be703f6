// The save protocol: what each version owns, and the order of writes that
// lets a crash at any moment leave the last saved and mini-saved versions
// readable, on a disk with a write cache that reorders.
//
// What the file holds. The header at offset 0 names the saved version
// (savedRoot, version bit 0x4), the mini-saved version (miniRoot, 0x2), the
// class table and the stored copy of the free list (savedFreeOffset). The
// current version (0x1) is the working state: a file found open after a
// crash is opened on its saved or mini-saved version, never on the current
// one, so the current version's chunks on disk matter only to the session
// that wrote them. Chunk images and the stored list lie in runs of file
// space; the free list gives each run the versions that still use it (0 =
// free), and a run it does not list is used by every version.
//
// When space may be reused. A run is free in memory only when no durable
// header names it: runs the current version alone wrote and gave up again,
// and runs that a move of ownership (save, mini-save, open of a version,
// close falling back to the saved version) dropped, once the header that
// made the move is durable.
//
// Rules (comments and tests cite them by number):
//  1. Nothing a durable header names is overwritten or cut off the file:
//     chunk images, the stored list, the header itself outside rule 5's one
//     write. The class table alone is rewritten in place: every version
//     shares it; a save changes only its RID counters, which only grow, and
//     an open's class refresh only the host's descriptors, which the host
//     states for every version alike.
//  2. A chunk is never written in place: write-back puts its image in space
//     free in memory, owned by the current version alone, and the current
//     version alone gives up the old image.
//  3. A move of ownership is prepared aside (BKPrepareCommit): the list as it
//     will be, with the previous stored copy freed there, and the new stored
//     copy placed only in space that was free before the move or at the end
//     of the file. Until rule 5 completes the FCB keeps its old list.
//  4. Before a header is written, everything it names (chunk images, class
//     table, stored list, the file's length) is made durable: VMFlushFile.
//  5. The header is the commit point: one 154-byte write at offset 0, then a
//     flush. Only after that flush does the new list replace the old one
//     (freeing what the dropped versions and the old stored copy used), and
//     only then is a free tail cut off the file.
//  6. A failure before the header write leaves the FCB as it was (a file
//     grown for the copy keeps that space as a free run): the operation can
//     be tried again. A failed header write leaves the disk unknown: the file
//     enters its fatal state, in which nothing more is written back and the
//     close writes nothing. A failed flush after a written header keeps the
//     new header's fields but frees nothing: the list is emptied, so no run
//     either header may name is reused (space is lost, never data).
//  7. Every header write, a save's, a mini-save's, an open's or a close's,
//     follows rules 4 and 5; so does a header that moves nothing.
#pragma once

#include "blocks/versions.h"
#include "session/fcb.h"

// Rules 4 to 6 for a prepared move: writes the stored copy, flushes, writes
// image (the header as it is to be, without the move's fields, which are
// added here), flushes, and adopts the move. On success fcb->h holds the
// image's persistent fields. Returns 0 or the failing status (99 also sets
// diskFull); c is used up either way.
FSStatus SVCommitHeader(FCB *fcb, VersionCommit &c, FileHeader &image);

// Rules 4 and 5 for fcb->h as it stands (a close that keeps the file).
FSStatus SVWriteHeader(FCB *fcb);
