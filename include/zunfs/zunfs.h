/*
 * zunfs: record storage in one file of tables of fixed-size records.
 *
 * A storage file holds up to three versions of its content at once: the
 * current version (what the host works on), the mini-saved version and the
 * saved version. They share every chunk that none of them changed; chunks
 * are never overwritten in place, so a crash leaves the last saved and
 * mini-saved versions readable.
 *
 * A host creates or opens a file (an FCB), makes tables of its own record
 * classes, checks a table out (an SCB), locks records by index (RIX) and
 * reads and writes them in place, inserts, deletes, copies and moves runs of
 * records, and saves, mini-saves or saves as.
 *
 * Conventions of the whole interface:
 * - Failures are 16-bit status codes (0 = success), never exceptions.
 *   Operations on an FCB or SCB store their status in it, where FSError
 *   finds it; a null block or one with a wrong magic answers FS_E_BAD_FCB /
 *   FS_E_BAD_SCB and stores nothing.
 * - Functions that return a pointer, RIX, RID or TID return NULL or a
 *   sentinel (RIX_NONE, 0xFFFFFFFF, TID_NONE) on failure.
 * - A record pointer returned by a lock is valid until the session's next
 *   unlock, lock of another chunk, step across a chunk, or any operation that
 *   changes the number of records; never keep it longer.
 * - One thread uses an FCB (and its SCBs) at a time; different files may be
 *   used from different threads.
 */
#ifndef ZUNFS_ZUNFS_H
#define ZUNFS_ZUNFS_H

#include <stdint.h>
#include <zunvm/zunvm.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------- */
/* Status codes                                                             */

#define FS_OK 0
#define FS_E_NOMEM 0x4001           /* 16385 out of memory */
#define FS_E_LOCKMEM 0x4002         /* 16386 a movable block could not be locked */
#define FS_E_DISKFULL 99            /* the disk is full */
#define FS_E_BLOCK_LIMIT 20480      /* Internal error:  Hit block size limit. */
#define FS_E_BAD_FORMAT 20481       /* This format file cannot be opened by this application. */
#define FS_E_FILE_REF_LIMIT 20482   /* Internal error:  Hit file reference limit. */
#define FS_E_NO_SAVED 20483         /* There is no saved version. */
#define FS_E_NO_MINI 20484          /* There is no mini-save version. */
#define FS_E_BAD_CLASSES 20485      /* Internal error:  Bad classes; old version. */
#define FS_E_MEDIA_CHANGED 20486    /* File open on floppy disk changed. */
#define FS_E_CANNOT_CONVERT 20487   /* This file cannot be converted from old to new version */
#define FS_E_CANNOT_TRANSLATE 20488 /* Cannot translate file to DOS format. */
#define FS_E_TRANSLATE_AND_CONVERT 20489 /* ... translated ... and converted ... at the same time. */
#define FS_E_CRASHED 20508          /* This file crashed with no save or mini-save */
#define FS_E_CRASHED_SAVED 20509    /* Document was open during a crash:  a saved version exists. */
#define FS_E_CRASHED_MINI 20510     /* ... a mini-saved version exists. */
#define FS_E_CRASHED_BOTH 20511     /* ... a mini-saved version exists. (and a saved one) */
#define FS_E_BAD_FCB 20512          /* Internal error:  Bad FCB. */
#define FS_E_BAD_SCB 20513          /* Internal error:  Bad SCB. */
#define FS_E_BAD_TID 20514          /* Internal error:  Bad table index. */
#define FS_E_BAD_RIX 20515          /* Internal error:  Bad record index. */
#define FS_E_BAD_RID 20516          /* Internal error:  Bad record ID. */
#define FS_E_BAD_CLASS 20517        /* Internal error:  Bad class. */
#define FS_E_BAD_BLOCK_INDEX 20518  /* Internal error:  Bad block index. */
#define FS_E_BAD_PARAMS 20519       /* Internal error:  Generic bad parameters. */
#define FS_E_TWO_FILES 20520        /* Internal error:  Two files referenced. */
#define FS_E_ROOT_TABLE 20521       /* Internal error:  Cannot destroy root table. */
#define FS_E_TABLE_IN_USE 20522     /* Internal error:  Cannot destroy table in use. */
#define FS_E_BAD_FILE_TYPE 20523    /* Internal error:  Bad file type. */
#define FS_E_BAD_FILE_POS 20524     /* Internal error:  Bad file position. */
#define FS_E_READ_ONLY 20525        /* Internal error:  Session is read-only. */
#define FS_E_ONE_RW_SESSION 20526   /* Internal error:  Only one R-W session/table. */
#define FS_E_BAD_HANDLE_PARAM 20527 /* Internal error:  Bad parameter to get/stuff handle. */
#define FS_E_NULL_DATA 20528        /* Internal error:  NULL data pointer or handle. */
#define FS_E_DATA_TOO_LARGE 20529   /* Internal error:  Data block too large. */
#define FS_E_CHUNK_TOO_BIG 20530    /* Internal error:  Attempt to create a chunk that is too big. */
#define FS_E_LEVEL1 20536           /* Internal error:  Generic level 1 problem. */
#define FS_E_LEVEL2 20537           /* Internal error:  Generic level 2 problem. */
#define FS_E_LOCK_FOUND 20538       /* Internal error:  Lock not expected but found. */
#define FS_E_LOCK_MISSING 20539     /* Internal error:  Lock expected but not found. */
#define FS_E_ZERO_LOCK 20540        /* Internal error:  Tried to lock 0 length block. */
#define FS_E_THUNK_LOCK 20541       /* Internal error:  Cannot lock thunks. */
#define FS_E_FREELIST_LOCK 20542    /* Internal error:  Cannot lock free list. */
#define FS_E_CHECKED_OUT 20543      /* Internal error:  Table checked out. */
#define FS_E_FILE_SIZE 20544        /* Internal error:  File size is wrong. */
#define FS_E_FILE_STATE 20545       /* Internal error:  File state is wrong. */
#define FS_E_HEADER_SPACE 20546     /* Internal error:  FCB file space allocation failed. */
#define FS_E_LIST_OP 20547          /* Internal error:  List operation failed. */
#define FS_E_BAD_FREELIST 20548     /* Internal error:  Free list is bad. */
#define FS_E_SINGLE_CHUNK 20549     /* Internal error:  Single chunk size problem. */
#define FS_E_MULTI_CHUNK 20550      /* Internal error:  Multiple chunk size problem. */
#define FS_E_FATAL 20551            /* Closing publication, some work may be lost.  ... */
#define FS_E_STILL_CHECKED_OUT 20552 /* Internal error:  Table is still checked out. */
#define FS_E_UNREADABLE 20553       /* Unreadable data was found. */
#define FS_E_FREELIST_FULL 20554    /* Internal error: Free list full - cannot save ... */
#define FS_E_RID_CLASS 0xFFFF       /* FSIAddPtr/FSIAddHandle on a class with RIDs (no text) */

/* ---------------------------------------------------------------------- */
/* Constants                                                                */

#define RIX_LAST 0xFFFFFFFEu /* the last record, or the end of the table */
#define RIX_NONE 0xFFFFFFFFu /* no record */
#define TID_NONE 0xFFFF      /* no table */

#define FSOpDelete 1
#define FSOpCopy 2
#define FSOpMove 3

#define FS_VERSION_CURRENT 0 /* FSFileOpen version selectors */
#define FS_VERSION_SAVED 1
#define FS_VERSION_MINI 2

#define FS_ANY_VERSION 0x01    /* FSContext.flags */
#define FS_CALL_COPY_HOOK 0x02

#define FS_CLASS_RIDS 0x01     /* FSClassDesc.flags: records end with a 4-byte RID */
#define FS_CLASS_CHUNKREFS 0x20 /* records begin with chunk references (built-in classes) */

#define FS_MAGIC 0x99FF

/* SCB.flags */
#define FS_SCB_LOCKED 0x01
#define FS_SCB_CHUNK_DIRTY 0x02
#define FS_SCB_READ_WRITE 0x04
#define FS_SCB_STAMPS_IDS 0x08
#define FS_SCB_SINGLE_CHUNK 0x10
#define FS_SCB_SESSION_DIRTIED 0x40

/* ---------------------------------------------------------------------- */
/* Records                                                                  */

typedef struct FCB FCB; /* an open storage file; opaque */
typedef struct SCB SCB; /* a checked-out table session */

#pragma pack(push, 1)
typedef struct FSClassDesc { /* 14 bytes, as in the file */
    uint8_t flags;           /* FS_CLASS_RIDS, FS_CLASS_CHUNKREFS */
    uint8_t unused;
    uint8_t allocShift;      /* chunk memory rounded to 2^allocShift when it shrinks */
    uint8_t growShift;       /* ... and to 2^growShift when it grows */
    uint16_t recSize;        /* bytes per record */
    uint16_t maxPerChunk;    /* most records in one chunk (at least 1) */
    uint16_t minPerChunk;    /* chunks below this are merged after deletions */
    uint32_t ridCounter;     /* next RID FSAllocRID hands out */
} FSClassDesc;
#pragma pack(pop)

typedef FSStatus (*FSCopyHook)(const VMFileSpec *hostSpec, const VMFileSpec *scratchSpec);
typedef FSStatus (*FSUpgradeHook)(FCB *oldFcb, FCB *newFcb);
typedef FSStatus (*FSTranslateHook)(uint8_t classNumber, void *records, uint16_t count,
                                    uint8_t formatMark);
typedef int32_t (*FSSelector)(void *record); /* non-zero selects */
typedef FSStatus (*FSSaveAsCallback)(const void *a, const void *b);

/* Progress record passed as the second argument of a save-as callback. */
typedef struct FSProgress {
    uint32_t code;      /* 0 started, 1 a write of the copy, 2 finished */
    uintptr_t context;  /* the host's context value */
    uint32_t bytes;     /* 0 and 2: the estimated size; 1: bytes written */
} FSProgress;

/* Session control block: hosts may read these fields; only the library
 * writes them. */
struct SCB {
    uint32_t reserved;      /* common head with the FCB: status at 4, magic at 6 */
    uint16_t status;        /* last status of an operation on this session */
    uint16_t magic;         /* FS_MAGIC while valid, 0 after check-in */
    uint16_t flags;         /* FS_SCB_... */
    SCB *nextSession;       /* the session checked out before this one on the table */
    FCB *fcb;               /* the file */
    uint16_t tableNumber;   /* TID */
    uint8_t classNumber;    /* class of the table's records */
    uint8_t *chunkBase;     /* first record of the locked chunk, NULL when unlocked */
    uint8_t *curRec;        /* current record */
    uint8_t *chunkEnd;      /* just past the locked chunk's last record */
    uint32_t chunkFirstRix; /* RIX of the locked chunk's first record */
    uint16_t chunkThunk;    /* thunk index of the locked chunk */
    uint16_t topThunk;      /* thunk index of the table's top chunk */
    uint32_t recCount;      /* records in the table */
    uint16_t recSize;       /* bytes per record */
    uint16_t mode;          /* check-out mode as given (1 read-write) */
    uint32_t sessionId;     /* library's own: the session's handle in its file */
};

/* What the host tells the library at create and open. */
typedef struct FSContext {
    uint16_t fileType;        /* the host's file-type signature; 0 accepts any */
    uint16_t appVersion;      /* the host's version; 0 skips the newer-version test */
    uint8_t flags;            /* FS_ANY_VERSION, FS_CALL_COPY_HOOK */
    uint8_t classCount;       /* host classes, numbered from 4 */
    const FSClassDesc *classes;
    FSUpgradeHook upgradeHook;
    FSTranslateHook translateHook;
    uint32_t memBudget;       /* bytes of chunk memory per file, 0 = none */
    VMFileSpec scratchSpec;   /* folder for scratch copies and new files */
    FSCopyHook copyHook;      /* called after a scratch copy, with FS_CALL_COPY_HOOK */
} FSContext;

/* ---------------------------------------------------------------------- */
/* Files                                                                    */

/* Makes a new, empty storage file (a temporary scratch file in the
 * context's scratch folder; give it a name with FSSaveAs) and opens it.
 * *fcbOut receives the FCB, or NULL on failure. Returns 0; FS_E_BAD_PARAMS
 * for a null context or fcbOut, more than 251 host classes, or a class count
 * without classes; FS_E_NOMEM; a services status when the file cannot be
 * made. Nothing stays behind after a failure. */
ZUN_API FSStatus FSCreate(const FSContext *ctx, FCB **fcbOut);

/* Opens a storage file. version: FS_VERSION_CURRENT (after a clean close
 * this is the saved version), _SAVED or _MINI; opening a version drops the
 * versions newer than it (a mini-saved version stays when it is opened).
 * asCopy 1 works on a scratch copy in the context's scratch folder (a
 * temporary file: FSFileSpec names it); files that cannot be opened for
 * writing, need converting, come from the other byte order, or are shorter
 * than their header says always are, so the host's file is then never
 * written. Old-format files are converted into a new scratch file; foreign
 * ones are translated with the context's translate hook. A file of an older
 * application version goes to the context's upgrade hook, which moves it
 * into a new file (FSCreate's): that FCB is the one handed out. Otherwise
 * the context's host classes (when it has any) replace the file's
 * descriptors, keeping the file's RID counters.
 * *fcbOut receives the FCB (NULL on failure), *rootOut (optional) the root
 * table's TID (TID_NONE on failure). On success the file's header shows it
 * open, and FSError of the FCB is 0, or FS_E_UNREADABLE when a conversion
 * found data it could not match (those tables arrive empty). A selected
 * version whose chunks lie past the end of a short file reports FS_E_FATAL
 * when they are read. Returns 0 or:
 *   FS_E_BAD_PARAMS      fcbOut, spec or ctx null (nothing stored), a
 *                        selector other than 0-2, classes null with a count;
 *   FS_E_BAD_FORMAT      not a storage file of this host (1 to 153 bytes,
 *                        wrong magic or file type), or a header or built-in
 *                        class that cannot be right;
 *   FS_E_CANNOT_CONVERT  newer format or application (without
 *                        FS_ANY_VERSION), or an old file that cannot be
 *                        converted;
 *   FS_E_CANNOT_TRANSLATE, FS_E_TRANSLATE_AND_CONVERT  foreign files
 *                        without a translate hook, or that need converting;
 *   FS_E_NO_SAVED, FS_E_NO_MINI  the version asked for does not exist;
 *   FS_E_CRASHED + 1 (a saved version exists) + 2 (a mini-saved one exists)
 *                        selector 0 on a file left open by a crash: open it
 *                        again with selector 1 or 2;
 *   FS_E_BAD_CLASSES     the host's class count differs from the file's;
 *   FS_E_NOMEM, the hooks' statuses, services statuses.
 * No memory stays allocated after a failure, the host's file is closed, and
 * a scratch copy or new file made for the open is deleted. */
ZUN_API FSStatus FSFileOpen(const VMFileSpec *spec, uint32_t version, uint32_t asCopy,
                            const FSContext *ctx, FCB **fcbOut, uint16_t *rootOut);

/* Checks in every open session, then closes the file. keep 1 keeps the file
 * as it stands (marked closed); any other value gives up what was not saved:
 * the file falls back to its saved version, or is deleted when it is a
 * scratch file. After a fatal error nothing is written. The FCB and every
 * SCB on it are invalid afterwards. A bad FCB is ignored. */
ZUN_API void FSFileClose(FCB *fcb, uint16_t keep);

/* 1 when the file is a storage file of this host that could be opened for
 * writing and needs no conversion (the check FSFileOpen makes); 0 otherwise,
 * also for a null spec or ctx. *foreignOut (optional) is 1 when the file
 * passed the check and is of the other byte order, else 0. */
ZUN_API int32_t FSIsFileWriteable(const VMFileSpec *spec, const FSContext *ctx,
                                  uint32_t *foreignOut);

/* Runs the open's file check without opening the file for work; the file's
 * stamp is kept. On success stores foreign, needs-conversion, writable (each
 * 1 or 0) and the application version as stored in the file (not swapped
 * for a foreign file); convertOut and writableOut are written also on
 * failure, with what the check found out. Each out is optional. Returns the
 * check's status: 0, FS_E_BAD_PARAMS (null spec or ctx), FS_E_BAD_FORMAT,
 * FS_E_CANNOT_CONVERT, FS_E_TRANSLATE_AND_CONVERT, services statuses (a
 * file that does not exist, or of 0 bytes: VM_E_READ). */
ZUN_API FSStatus FSFileInfo(const VMFileSpec *spec, const FSContext *ctx, uint32_t *foreignOut,
                            uint32_t *convertOut, uint32_t *writableOut,
                            uint16_t *appVersionOut);

/* The last status stored in an FCB or SCB (no check of the pointer). */
ZUN_API FSStatus FSError(const void *fcbOrScb);

/* The message of a status code into buffer (at most size - 1 characters and
 * a zero). Returns 1 when a text was delivered; 0 with an empty string for
 * code 0 or a code without text; 0 and nothing written for a null buffer or
 * size 0. */
ZUN_API int32_t FSErrorStr(FSStatus code, char *buffer, uint16_t size);

/* Header accessors. They read the FCB without checking it, except where
 * said: pass only FCBs that are open. */
ZUN_API uint16_t FSVersion(FCB *fcb);
ZUN_API uint16_t FSAppVersion(FCB *fcb);
ZUN_API uint16_t FSMaxChunk(FCB *fcb);
ZUN_API uint16_t FSRootTable(FCB *fcb);
ZUN_API VMFileSpec *FSFileSpec(FCB *fcb);
ZUN_API uint32_t FSFileType(FCB *fcb);
ZUN_API int32_t FSDirtied(FCB *fcb);
ZUN_API int32_t FSDirtiedPage(FCB *fcb);
ZUN_API int32_t FSDirty(FCB *fcb);       /* 0 for NULL */
ZUN_API int32_t FSDiskFull(FCB *fcb);
ZUN_API int32_t FSFatalError(FCB *fcb);
ZUN_API uint16_t FSSaved(FCB *fcb);      /* 4 when a saved version exists, else 0 */
ZUN_API uint16_t FSCommitted(FCB *fcb);  /* 2 when a mini-saved version exists, else 0 */
ZUN_API int32_t FSIsSessDirty(SCB *scb);
ZUN_API void FSDirtyFile(FCB *fcb);      /* ignored unless the magic is right */
ZUN_API void FSClearDirty(FCB *fcb);     /* ignored for NULL or a wrong magic */
ZUN_API void FSClearPageDirty(FCB *fcb);
ZUN_API uint32_t FSRevision(void);       /* 0x0209FFFF */

/* Diagnostics exports: they do nothing. */
ZUN_API void FSStopRIXTrace(void);
ZUN_API void FSStopTIDTrace(void);
ZUN_API void FSInitCallCounts(void);
ZUN_API void FSEnableCheckSum(void);
ZUN_API void FSDisableCheckSum(void);
ZUN_API void FSDumpSession(uint32_t a);
ZUN_API void FSPrintRequests(uint32_t a);
ZUN_API void FSDumpThix(uint32_t a, uint32_t b);
ZUN_API void FSPrintCallCounts(uint32_t a, uint32_t b);
ZUN_API void FSWalkTables(uint32_t a, uint32_t b);
ZUN_API void FSDumpTable(uint32_t a, uint32_t b);
ZUN_API void FSPubCheck(uint32_t a, uint32_t b, uint32_t c);
ZUN_API void FSStartTIDTrace(uint32_t a, uint32_t b, uint32_t c);
ZUN_API void FSTableData(uint32_t a, uint32_t b, uint32_t c);
ZUN_API void FSStartRIXTrace(uint32_t a, uint32_t b, uint32_t c, uint32_t d);
ZUN_API void WEP(uint32_t a);

/* ---------------------------------------------------------------------- */
/* Tables and sessions                                                      */

/* FSMakeTable makes an empty table of host class classNumber (low 8 bits)
 * and stores its TID in *tidOut (optional; TID_NONE on failure): the lowest
 * free TID. The first table made in a file is its root table (FSRootTable).
 * Returns 0, FS_E_BAD_FCB (nothing stored), FS_E_BAD_CLASS (a built-in
 * class, a class the file does not have, or one whose record size or
 * maximum per chunk is 0), FS_E_BLOCK_LIMIT (65535 tables), memory and chunk
 * statuses. FSDestroyTable removes table tid (low 16 bits) with all its
 * records; their file space is free at once. It returns 0, FS_E_BAD_FCB,
 * FS_E_ROOT_TABLE, FS_E_BAD_TID (beyond the master table or not in use),
 * FS_E_TABLE_IN_USE (sessions are open on it), chunk statuses. Both store
 * their result as the FCB's last status; a success marks the file dirtied. */
ZUN_API FSStatus FSMakeTable(FCB *fcb, uint32_t classNumber, uint16_t *tidOut);
ZUN_API FSStatus FSDestroyTable(FCB *fcb, uint32_t tid);

/* Opens a session on table tid (low 16 bits): mode 1 reads and writes, any
 * other value only reads. A table may have any number of sessions of either
 * kind. *scbOut (optional) receives the SCB, NULL on failure; it belongs to
 * the library and stays valid until FSCheckIn or FSFileClose. Returns 0,
 * FS_E_BAD_FCB (nothing stored), FS_E_BAD_TID (beyond the master table or
 * not in use), FS_E_NOMEM, FS_E_BAD_CLASS (a damaged table record), chunk
 * statuses; the result is also the FCB's last status. */
ZUN_API FSStatus FSCheckOut(FCB *fcb, uint32_t tid, uint32_t mode, SCB **scbOut);

/* Ends a session: releases its lock (keeping its dirty mark), unchains
 * it and frees it. The SCB is invalid afterwards. Does nothing for NULL, an
 * SCB whose magic is wrong (one checked in already) or whose file is bad. */
ZUN_API void FSCheckIn(SCB *scb);

/* FSTableCount: the number of table records in the master table (in use or
 * free; a multiple of 16), 0 for a bad FCB: every TID below it may name a
 * table. FSTableClass stores table tid's class in *classOut (optional) and
 * returns 0; FS_E_BAD_TID with class 0 for a free table record, FS_E_BAD_TID
 * with nothing stored for a tid beyond the master table, FS_E_BAD_FCB, chunk
 * statuses. Neither touches the FCB's last status. */
ZUN_API FSStatus FSTableClass(FCB *fcb, uint16_t tid, uint8_t *classOut);
ZUN_API uint32_t FSTableCount(FCB *fcb);

/* ---------------------------------------------------------------------- */
/* Record IDs                                                               */

/* Records of a class flagged FS_CLASS_RIDS end with a 4-byte RID, which
 * FSIAddLock stamps from the class's counter; the host may also store RIDs
 * itself. FSAllocRID returns the class's counter and advances it (wrapping);
 * 0xFFFFFFFF for a bad FCB or a class the file does not have (then
 * FS_E_BAD_CLASS is the FCB's last status). FSBumpRIDCounter sets the
 * counter of the session's class past every RID stored in its table (no
 * change for a class without RIDs); it leaves the session unlocked and
 * returns 0, FS_E_BAD_SCB or the status of reading the records (the counter
 * is then unchanged). RID2RIX returns the RIX of the first record holding
 * rid, RIX2RID the last four bytes of record rix; both answer 0xFFFFFFFF on
 * failure with the reason in the session's status (nothing stored for a bad
 * SCB): FS_E_BAD_RID (no record holds it), FS_E_BAD_RIX (rix not below the
 * record count), FS_E_BAD_CLASS (records shorter than 4 bytes), check-out and
 * chunk statuses. Neither uses nor changes the session's lock. */
ZUN_API uint32_t FSAllocRID(FCB *fcb, uint8_t classNumber);
ZUN_API FSStatus FSBumpRIDCounter(SCB *scb);
ZUN_API uint32_t RID2RIX(SCB *scb, uint32_t rid);
ZUN_API uint32_t RIX2RID(SCB *scb, uint32_t rix);

/* ---------------------------------------------------------------------- */
/* Records                                                                  */

/* Record addresses. A session holds at most one chunk locked. FSIxLock
 * locks record rix (RIX_LAST: the last record) and hands out its address in
 * *recordOut and the end of its chunk in *endOut (each optional): the
 * records between lie packed, recSize bytes each, and may be read and, in a
 * read-write session after FSDirtyRec, written in place. A lock in the chunk
 * already locked only moves the current record; a lock elsewhere unlocks the
 * chunk first. Addresses stay valid until the session unlocks, locks or
 * steps into another chunk, or any session changes the number of records.
 * Returns (and stores) 0, FS_E_BAD_RIX (rix not below the record count; the
 * lock held before stays), or a chunk status (the session is then
 * unlocked, *recordOut NULL). FS_E_BAD_SCB for an invalid SCB, which is not
 * touched. FSIxOldLock returns the address (NULL on failure);
 * FSIxLockQuiet returns NULL with status 0 for an empty table. */
ZUN_API FSStatus FSIxLock(SCB *scb, uint32_t rix, void **recordOut, void **endOut);
ZUN_API void *FSIxOldLock(SCB *scb, uint32_t rix, void **endOut);
ZUN_API void *FSIxLockQuiet(SCB *scb, uint32_t rix);
/* Releases the session's chunk, marking it changed after FSDirtyRec; status
 * FS_E_READ_ONLY when a read-only session was marked (nothing is written). */
ZUN_API void FSUnlock(SCB *scb);
/* Steps: the next or previous record, crossing into the neighbouring chunk
 * at a chunk's end (one pointer step inside a chunk). NULL with status 0 past
 * either end of the table (the session is then unlocked); NULL with
 * FS_E_LOCK_MISSING without a lock. FSINextChunk/FSIPrevChunk move to the
 * chunk of the current record / the last record of the previous chunk. */
ZUN_API void *FSLockNext(SCB *scb);
ZUN_API void *FSLockPrev(SCB *scb);
ZUN_API void *FSINextChunk(SCB *scb);
ZUN_API void *FSIPrevChunk(SCB *scb);
ZUN_API uint32_t FSxGetCurrent(SCB *scb); /* RIX of the current record, RIX_NONE unlocked */
ZUN_API uint32_t FSTableSize(SCB *scb);   /* records in the table; no lock needed */
ZUN_API void FSDirtyRec(SCB *scb);        /* the locked chunk is written at unlock */

/* Inserts count zero records so that the first has index rix (RIX_LAST:
 * append); records of a class with RIDs get consecutive RIDs from the class
 * counter. keepWhole puts all of them in one chunk. With recordOut the
 * session returns locked on record rix (count 0: an existing record),
 * marked to be written. No session of the table may hold a lock. Returns
 * 0, FS_E_BAD_SCB, FS_E_READ_ONLY, FS_E_BAD_RIX, FS_E_LOCK_FOUND,
 * FS_E_CHUNK_TOO_BIG (keepWhole with more than a chunk holds),
 * FS_E_BLOCK_LIMIT, memory and chunk statuses; on failure *recordOut is
 * NULL and the records inserted are removed again (unless memory has run
 * out even for that: then they stay, and no earlier record is lost). */
ZUN_API FSStatus FSIAddLock(SCB *scb, uint32_t rix, uint32_t count, uint32_t keepWhole,
                            void **recordOut);

/* Applies op to the run [first, first + count) of src's table: FSOpDelete
 * removes it; FSOpCopy inserts a copy of it at dstRix (RIX_LAST: the end) of
 * dst's table, which may be the same table and src itself; FSOpMove copies,
 * then removes the run; 0 only validates. A copy into its own run inserts
 * the run as it was. No session of either table may hold a lock; every
 * session ends unlocked. Returns (and stores in src) 0, FS_E_BAD_SCB,
 * FS_E_READ_ONLY, FS_E_BAD_PARAMS (run outside the table), FS_E_BAD_RIX,
 * FS_E_BAD_CLASS (record sizes or RIDs differ), FS_E_LOCK_FOUND, memory and
 * chunk statuses. A failed copy is taken out again (as for FSIAddLock); a
 * move whose deletion fails keeps the copy once part of the run is gone. */
ZUN_API FSStatus FSIRecOps(SCB *src, uint32_t op, uint32_t first, uint32_t count, SCB *dst,
                           uint32_t dstRix);

/* Runs of records to and from host memory, as their exact bytes packed in
 * RIX order (count * recSize bytes). FSFillPtr copies records [first,
 * first + count) to dst; FSBuildHandle copies them into a new movable block
 * that *handleOut receives, unlocked, for the host to free (0 on failure).
 * Both leave the session unlocked and return (and store) 0, FS_E_BAD_RIX (a
 * count of 0 or a run outside the table), FS_E_NULL_DATA, FS_E_NOMEM,
 * FS_E_LOCKMEM, FS_E_BAD_HANDLE_PARAM (null handleOut), FS_E_DATA_TOO_LARGE,
 * chunk statuses; FS_E_BAD_SCB for a bad SCB (nothing stored).
 *
 * FSIAddPtr inserts count records holding the bytes at src so that the first
 * has index rix (RIX_LAST: append); with replace the table is emptied first,
 * and rix must then be 0 or RIX_LAST (checked before anything is deleted).
 * FSIAddHandle does the same from a movable block, which must hold the
 * records and stays the host's. A count of 0 adds nothing. The session ends
 * unlocked. Returns (and stores) 0, FS_E_NULL_DATA, FS_E_BAD_RIX,
 * FS_E_RID_CLASS (records with RIDs are added with FSIAddLock),
 * FS_E_READ_ONLY, FS_E_LOCK_FOUND, FS_E_BAD_HANDLE_PARAM (a block too small
 * or freed), FS_E_LOCKMEM, and the statuses of FSIAddLock. A failed add
 * leaves the records the table held, except that an emptying stands. */
ZUN_API FSStatus FSIAddPtr(SCB *scb, uint32_t rix, uint32_t count, uint32_t replace,
                           const void *src);
ZUN_API FSStatus FSIAddHandle(SCB *scb, uint32_t rix, uint32_t count, uint32_t replace,
                              HGLOBAL h);
ZUN_API FSStatus FSBuildHandle(SCB *scb, uint32_t first, uint32_t count, HGLOBAL *handleOut);
ZUN_API FSStatus FSFillPtr(SCB *scb, uint32_t first, uint32_t count, void *dst);

/* List operations on the records of scb's table that sel picks (non-zero),
 * in RIX order: FSDelList deletes them; FSCopyList inserts copies of them at
 * dstRix (RIX_LAST: the end) of dst's table, in their order; FSMoveList
 * copies, then deletes them. dst may be another table of the same record
 * size and RID flag, or scb itself for the same table (the selector never
 * sees the copies); another session on scb's own table is refused. sel is
 * called with the address of each record, inside its locked chunk, once per
 * record for a deletion and twice for a copy or move, and must answer the
 * same each time and change no table. Copies of records with RIDs get new
 * RIDs; moved records keep theirs. Every session ends unlocked. Returns (and
 * stores in scb) 0 (also at once for an empty table), FS_E_NOMEM for a null
 * selector (nothing stored), FS_E_BAD_SCB, FS_E_BAD_PARAMS (dst another
 * session on scb's table), FS_E_READ_ONLY, FS_E_BAD_CLASS, FS_E_BAD_RIX,
 * FS_E_LOCK_FOUND, FS_E_LIST_OP (the selector changed its answers), chunk
 * statuses. After a failure, records deleted or copied stay so and the
 * unfilled part of the inserted run is removed. */
ZUN_API FSStatus FSDelList(SCB *scb, FSSelector sel, uint32_t unused);
ZUN_API FSStatus FSCopyList(SCB *scb, FSSelector sel, SCB *dst, uint32_t dstRix,
                            uint32_t unused);
ZUN_API FSStatus FSMoveList(SCB *scb, FSSelector sel, SCB *dst, uint32_t dstRix,
                            uint32_t unused);

/* ---------------------------------------------------------------------- */
/* Saving                                                                   */

/* save non-zero: the current version becomes the saved version (a
 * mini-saved version is dropped, FSDirtied is cleared, the file's stamp is
 * taken); 0: it becomes the mini-saved version. In place: every changed
 * chunk is written to new space, and the header, written last, makes the
 * new version; a crash at any moment leaves the previous versions or the
 * new ones. Every table must be checked in and every chunk unlocked.
 * reserved is not used. Returns (and stores) 0 or:
 *   FS_E_BAD_FCB (nothing stored);
 *   FS_E_FATAL            the file is in its fatal state: close it;
 *   FS_E_STILL_CHECKED_OUT, FS_E_LOCK_FOUND  a table is checked out, a chunk locked;
 *   FS_E_DISKFULL (FSDiskFull then answers 1), other services statuses.
 * After a failure before the header write nothing on disk has changed and
 * the save may be tried again. A failed header write puts the file in its
 * fatal state (nothing more is written; the close writes nothing; the next
 * open finds the versions as before). A failed flush after the header keeps
 * the new version; space the old one used stays unused until a save-as. */
ZUN_API FSStatus FSISaveCommit(FCB *fcb, uint32_t save, uint32_t reserved);

/* Save-as writes the current version of the file as a compact file named by
 * target and moves the FCB, at the same address, to it: the host goes on
 * working in the new file. The compact file holds the header, the class
 * table and every chunk image packed one after the other, with no free
 * space and no free list; its one version is current and saved (FSSaved 4,
 * FSCommitted 0, and FSCompSize equals its size). Sessions still open are
 * checked in first: their SCBs are invalid afterwards. The old file is then
 * closed without keeping: it falls back to its saved version, or goes when
 * it is a scratch file. A target that names the open file itself is
 * replaced by a new file made in its folder, which takes its name once it
 * is complete. Either way the new file is a normal file, not a scratch
 * file (the temporary bit of a target naming another file is cleared in the
 * host's record); a target naming a folder gets a file with a unique name
 * there (FSFileSpec names it).
 *
 * cb (optional) is called once the new file exists as cb(old file's
 * record, new file's record): a non-zero answer ends the save-as with that
 * status and deletes the new file. Then it is called as cb(NULL, progress):
 * code 0 with FSCompSize's estimate, code 1 after each write of the images
 * copied from the old file with the bytes written, and code 2 with the
 * estimate once at the end, whether the save-as succeeded or not; context
 * is handed back in every progress record. The callback must not use the
 * file, its FCB or its sessions. Different files may be saved as on
 * different threads at once.
 *
 * Returns (and stores) 0 or: FS_E_BAD_PARAMS for a null fcb or target and
 * FS_E_BAD_FCB for a bad FCB (nothing stored); FS_E_STILL_CHECKED_OUT when
 * a session cannot be checked in; FS_E_THUNK_LOCK; FS_E_NOMEM; the status
 * of making, sizing or renaming the new file; the callback's refusal;
 * FS_E_FATAL when the copy fails (memory, the disk, or an image of the old
 * file that cannot be read). After every failure the new file is gone and
 * the FCB is as it was, open on the old file, which is untouched. A crash
 * during a save-as leaves the old file as it was or the new file complete.
 * FSSaveAs(fcb, target) is FSSaveAsExt(NULL, 0, fcb, target). */
ZUN_API FSStatus FSSaveAs(FCB *fcb, VMFileSpec *target);
ZUN_API FSStatus FSSaveAsExt(FSSaveAsCallback cb, uintptr_t context, FCB *fcb,
                             VMFileSpec *target);

/* An estimate of the size in bytes of a compact copy of the current version
 * (exact right after a save-as) into *sizeOut. Returns (and stores) 0,
 * FS_E_BAD_PARAMS for a null sizeOut, FS_E_THUNK_LOCK (*sizeOut 0);
 * FS_E_BAD_FCB for a bad FCB (nothing stored). */
ZUN_API FSStatus FSCompSize(FCB *fcb, uint32_t *sizeOut);
/* Writes changed chunks back to new file space, the least recently used
 * first, until quota bytes of chunk data are written (0xFFFFFFFF: all).
 * Returns 0, FS_E_BAD_FCB, FS_E_FATAL (the fatal state: nothing is
 * written), or the last write-back failure. */
ZUN_API FSStatus BKFlush(FCB *fcb, uint32_t quota);

/* ---------------------------------------------------------------------- */
/* Storage-manager callback table                                           */

/* Lets the services keep byte streams in tables of 1-byte records (see
 * VMStream... in zunvm.h). Installation is counted: the first FSInstallSFM
 * registers the callback table and returns the services' result; later ones
 * only count and return 0. Each stores the registration word in
 * *registrationOut; FS_E_BAD_PARAMS for a null pointer (nothing counted).
 * FSUninstallSFM withdraws the table when the count comes back to 0 and
 * returns the services' result, else 0. */
ZUN_API int32_t FSInstallSFM(uint16_t *registrationOut);
ZUN_API int32_t FSUninstallSFM(void);

#ifdef __cplusplus
}
#endif

#endif /* ZUNFS_ZUNFS_H */
