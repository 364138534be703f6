/*
 * zunvm: the services library of zunfs and its platform layer.
 *
 * It gives the storage library everything it needs from the system, behind
 * one narrow seam: control-block memory, movable memory blocks, files named
 * by file-spec records, byte-order helpers, message texts, the
 * registration of the storage-manager callback table (with a byte-stream API
 * over it), and fault injection for tests.
 *
 * Statuses are 16-bit, 0 = success. The services' own statuses are below
 * 20480 and listed below (VM_E_...); each has a text through VMErrorStr.
 *
 * Threads: different files may be used from different threads at the same
 * time, one thread per file. Movable memory and the file table are
 * thread-safe; a single block or open file is used by one thread at a time.
 * The fault-injection switches are process-wide and meant for tests.
 */
#ifndef ZUNVM_ZUNVM_H
#define ZUNVM_ZUNVM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZUN_API __declspec(dllexport)
#elif defined(__GNUC__)
#define ZUN_API __attribute__((visibility("default")))
#else
#define ZUN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------- */
/* Types shared with the storage library                                   */

typedef uint16_t FSStatus; /* 0 = success */
typedef uint32_t HGLOBAL;  /* movable block handle, 0 = none */

/*
 * File-spec record: 292 bytes that name a file. The storage
 * library reads only byte 6 bit 0x04 (temporary: the file is deleted when it
 * is closed without being kept) and the 32-bit file type at bytes 8-11.
 * The rest is the services' own: bytes 12-15 hold the id of the open file
 * (0 when the record names no open file), bytes 20-291 the path as a
 * zero-terminated string (at most VM_MAX_PATH characters).
 */
typedef struct VMFileSpec {
    uint8_t bytes[292];
} VMFileSpec;

#define VM_SPEC_TEMPORARY 0x04 /* bit of byte 6 */
#define VM_MAX_PATH 271

/* Services statuses (all below 20480), with the system errors that map to
 * each. */
#define VM_E_NOTFOUND 2   /* file or folder does not exist (ENOENT, ENOTDIR) */
#define VM_E_ACCESS 5     /* permission denied, read-only, or not a regular file
                             (EACCES, EPERM, EROFS, EISDIR, ETXTBSY, ELOOP) */
#define VM_E_BADFILE 6    /* the record names no open file, or a closed one (EBADF) */
#define VM_E_NOMEM 8      /* out of memory (ENOMEM) */
#define VM_E_READ 30      /* read failed, or fewer bytes than asked for (EIO, EOF) */
#define VM_E_WRITE 29     /* write or flush failed (EIO and other errors of a write) */
#define VM_E_SHARING 32   /* another process has the file open for writing */
#define VM_E_EXISTS 80    /* the file exists and may not be replaced (EEXIST) */
#define VM_E_BADSPEC 87   /* null record, empty, unterminated or too long path, bad
                             argument (ENAMETOOLONG, EINVAL) */
#define VM_E_DISKFULL 99  /* the device is full (ENOSPC, EDQUOT, EFBIG) */
#define VM_E_RANGE 110    /* a position or length past 4 GiB (EOVERFLOW) */
#define VM_E_IO 31        /* any other system error */
#define VM_E_STREAMMODE 16405 /* stream opened with a mode other than 0 or 1 */

/* ---------------------------------------------------------------------- */
/* File-spec helpers                                              */

/* Fills *out (all 292 bytes) for path with the given file type. Returns 0,
 * or VM_E_BADSPEC for a null path or out, an empty path or one longer than
 * VM_MAX_PATH characters. */
ZUN_API FSStatus VMMakeFileSpec(const char *path, uint32_t fileType, VMFileSpec *out);

/* The path held in the record; "" for a null record or one whose path bytes
 * hold no terminating zero. The pointer lives as long as the record. */
ZUN_API const char *VMFileSpecPath(const VMFileSpec *spec);

/* ---------------------------------------------------------------------- */
/* Control-block memory                                                    */

/* A zero-filled block of size bytes, or NULL (also when the fault injection
 * fails VM_OP_ALLOC). VMFree(NULL) does nothing. */
ZUN_API void *VMAlloc(uint32_t size);
ZUN_API void VMFree(void *block);

/* Resizes the movable block *handle to size bytes, keeping its content up to
 * the smaller size; may store a new handle. The block may be locked: its
 * address then changes and VMDeref gives the new one (but it cannot be
 * resized to 0 bytes). A reclaimed block gets new, zeroed memory. Returns 0,
 * VM_E_BADSPEC for a null argument, a bad handle or size 0 for a locked
 * block, VM_E_NOMEM when memory runs out (or the fault injection fails
 * VM_OP_GALLOC for a growth); on failure the block is unchanged. */
ZUN_API FSStatus VMRealloc(HGLOBAL *handle, uint32_t size);

/* Address of a locked block without adding a lock; NULL for 0, a bad handle
 * or a block that is not locked. */
ZUN_API void *VMDeref(HGLOBAL handle);

/* memmove: the ranges may overlap. */
ZUN_API void VMCopyMem(void *dest, const void *source, uint32_t length);

/* ---------------------------------------------------------------------- */
/* Files                                                                    */
/*
 * A file is named by its record; an open file's id is kept in the record
 * (bytes 12-15), so a record that was copied while open names the same open
 * file. Positions and lengths are 32-bit: files never pass 4 GiB.
 *
 * Read-write opens and creations take an exclusive advisory lock on the
 * file; while another process (or another read-write open in this one)
 * holds it, a read-write open fails with VM_E_SHARING (open it read-only
 * instead). Only regular files are opened; a path that names anything else
 * (a folder, a FIFO, a device) gives VM_E_ACCESS without blocking.
 */

/* Creates an empty file and opens it read-write. When the record's path
 * names an existing folder, a new file with a unique name is made in it
 * (O_EXCL, mode 0600) and the record's path is rewritten to name that file
 * (VM_E_BADSPEC when that name would not fit the record); otherwise the
 * named file is created or emptied. A symlink is never followed at the last
 * step (VM_E_ACCESS), and a file that another process holds open read-write
 * is refused with VM_E_SHARING before anything is emptied. Any id already in
 * the record is replaced; the file it named stays open. */
ZUN_API FSStatus VMCreateFile(VMFileSpec *spec);

/* Opens an existing file: readWrite 1 for reading and writing, 0 read-only
 * (VM_E_BADSPEC for another value). Only regular files open: anything else
 * is VM_E_ACCESS. */
ZUN_API FSStatus VMOpenFile(VMFileSpec *spec, uint32_t readWrite);

/* Closes the open file (its id in the record becomes 0). VMCloseDeleteFile
 * also deletes it, as long as its name still leads to that very file (a file
 * put there since by someone else is left alone). Both return VM_E_BADFILE
 * when the record names no open file. */
ZUN_API FSStatus VMCloseFile(VMFileSpec *spec);
ZUN_API FSStatus VMCloseDeleteFile(VMFileSpec *spec);

/* Exactly length bytes at offset; a short read is VM_E_READ. VM_E_RANGE when
 * offset + length passes 4 GiB, VM_E_BADSPEC for a null buffer with a length,
 * VM_E_ACCESS for a write to a file open read-only. A length of 0 does
 * nothing. */
ZUN_API FSStatus VMRead(const VMFileSpec *spec, uint32_t offset, uint32_t length, void *buffer);
ZUN_API FSStatus VMWrite(const VMFileSpec *spec, uint32_t offset, uint32_t length,
                         const void *buffer);

/* Makes everything written so far durable (fdatasync). VM_E_DISKFULL (99)
 * when the device is full. */
ZUN_API FSStatus VMFlushFile(const VMFileSpec *spec);

/* Length in bytes; 0 for a record that names no open file, 0xFFFFFFFF for a
 * file of 4 GiB or more. */
ZUN_API uint32_t VMFileSize(const VMFileSpec *spec);
ZUN_API FSStatus VMSetFileSize(const VMFileSpec *spec, uint32_t length);

/* The modification stamp: seconds since 1970 (UTC) as 32 bits. */
ZUN_API FSStatus VMGetFileTime(const VMFileSpec *spec, uint32_t *stamp);
ZUN_API FSStatus VMSetFileTime(const VMFileSpec *spec, uint32_t stamp);

/* Copies the whole content of the (closed) source file, found by its path,
 * into the open destination file, which then has the source's length. For
 * fault injection it is one VM_OP_WRITE call and one write. */
ZUN_API FSStatus VMCopyFile(const VMFileSpec *source, const VMFileSpec *dest);

/* Gives the open file the target's name, replacing any file there, and
 * makes the new name durable; the open file stays open and its record's path
 * becomes the target's. A target that another process holds open read-write
 * is not replaced: VM_E_SHARING. Both names must be on one file system. */
ZUN_API FSStatus VMRenameFile(VMFileSpec *file, const VMFileSpec *target);

/* Non-zero when both records name the same existing file (device and inode;
 * for an open record, the open file). */
ZUN_API int32_t VMSameFile(const VMFileSpec *a, const VMFileSpec *b);

/* ---------------------------------------------------------------------- */
/* Byte order                                                               */

/* Reverse the bytes of each 16-bit / 32-bit unit of bytes bytes from source
 * into dest (which may equal source); trailing bytes that make no whole unit
 * are copied unchanged. */
ZUN_API void VMSwapWords(const void *source, void *dest, uint32_t bytes);
ZUN_API void VMSwapLongs(const void *source, void *dest, uint32_t bytes);

/* Converts one 16-bit flag word written in the other byte order with its
 * one-bit fields allocated from the most significant bit: reads the two
 * bytes big-endian as w and stores, little-endian, the word whose bit i is
 * bit 15 - i of w. */
ZUN_API void VMSwapFlags(void *address);

/* Bracket the in-place conversion of a foreign file. */
ZUN_API FSStatus VMConvertBegin(const VMFileSpec *spec);
ZUN_API void VMConvertEnd(void);

/* ---------------------------------------------------------------------- */
/* Messages and resource libraries                                          */

/* Writes the text of a services status into buffer (at most size - 1
 * characters and a terminating zero) and returns non-zero; returns 0 and
 * writes nothing for a code it does not know, a null buffer or size 0. */
ZUN_API int32_t VMErrorStr(FSStatus code, char *buffer, uint16_t size);

typedef struct VMStringEntry {
    int32_t id;
    const char *text;
} VMStringEntry;

/* Registers a string table under a resource-library name (the name is
 * compared without regard to case). Registering a name again replaces its
 * table. The table must outlive the process's use of it. */
ZUN_API void VMRegisterResLib(const char *name, const VMStringEntry *table, uint32_t count);

/* Module handle of a registered resource library, 0 when none. */
ZUN_API uintptr_t VMLoadResLib(const char *name);

/* Copies the string with the given id into buffer, truncated to size - 1
 * characters, zero-terminated; returns the number of characters copied
 * (0 when there is no such string, or for a null buffer or size < 1). */
ZUN_API int32_t LoadStringA(uintptr_t module, int32_t id, char *buffer, int32_t size);

/* ---------------------------------------------------------------------- */
/* Movable memory (the platform layer)                                      */
/*
 * A block is named by a 32-bit handle (0 = none). GlobalLock gives its
 * address and nests; the address is valid until the matching GlobalUnlock
 * brings the lock count to 0: an unlocked block may move, and an unlocked
 * discardable block may be reclaimed (its data dropped; the handle stays and
 * GlobalFlags reports GMEM_DISCARDED). Lock, unlock and size are O(1).
 * A freed or unknown handle is refused: 0/NULL results, no crash.
 */
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GMEM_MODIFY 0x0080
#define GMEM_DISCARDABLE 0x0100
#define GMEM_DISCARDED 0x4000
#define GMEM_INVALID_HANDLE 0x8000
#define GMEM_LOCKCOUNT 0x00FF

/* New block of bytes bytes (its reported size may be larger: the request
 * rounded up to 16); 0 on failure (also when the fault injection fails
 * VM_OP_GALLOC). Every block is movable (GMEM_FIXED is treated as
 * GMEM_MOVEABLE). Content is always zeroed, as with GMEM_ZEROINIT, so that
 * what is written from it is reproducible; GMEM_DISCARDABLE makes the block
 * discardable. */
ZUN_API HGLOBAL GlobalAlloc(uint32_t flags, uint32_t bytes);

/* With GMEM_MODIFY: changes only the discardable state (GMEM_DISCARDABLE set
 * or clear in flags); bytes is ignored. Otherwise resizes the block, keeping
 * its content (the new bytes are zeroed); a reclaimed block gets new, zeroed
 * memory. A locked block may be resized (its address changes) but not to 0
 * bytes. Returns the handle, or 0 on failure (the block is then
 * unchanged). */
ZUN_API HGLOBAL GlobalReAlloc(HGLOBAL handle, uint32_t bytes, uint32_t flags);

/* Address of the block, adding a lock; NULL for a bad handle, a reclaimed
 * block or a block of size 0. */
ZUN_API void *GlobalLock(HGLOBAL handle);

/* Removes a lock; returns non-zero while the block stays locked, 0 when it
 * is now unlocked (or was not locked, or the handle is bad). */
ZUN_API int32_t GlobalUnlock(HGLOBAL handle);

/* Lock count (low byte) | GMEM_DISCARDABLE | GMEM_DISCARDED; GMEM_INVALID_HANDLE
 * for a bad handle. */
ZUN_API uint32_t GlobalFlags(HGLOBAL handle);

/* Reported size in bytes (at least the size asked for); 0 for a bad handle or
 * a reclaimed block. */
ZUN_API uint32_t GlobalSize(HGLOBAL handle);

/* Frees the block (locked or not); returns 0 on success, the handle when it
 * was bad. */
ZUN_API HGLOBAL GlobalFree(HGLOBAL handle);

/* Reclaims every discardable, unlocked block now; returns how many. */
ZUN_API uint32_t GlobalReclaimDiscardable(void);

/* Test switch (off by default): every first lock of an unlocked block moves
 * it to a new address and fills the old bytes with 0xDB. The old memory
 * stays allocated (for the last 64 moves), so a pointer kept past its unlock
 * reads the poison; turning the switch off releases it. */
ZUN_API void GlobalSetMoveOnLock(int32_t on);

/* ---------------------------------------------------------------------- */
/* Storage-manager callback table and byte streams                          */

/* Stream context: the part the storage library reads and writes. */
typedef struct VMStreamContext {
    void *fcb;            /* FCB of the open storage file */
    uint16_t tid;         /* the stream's table */
    uint8_t classNumber;  /* class of the stream's table (record size 1) */
    void *scb;            /* open session, NULL when none */
    uint32_t position;    /* byte position after the last call */
    const struct VMSFMTable *sfm; /* services' own: the table that serves it */
} VMStreamContext;

typedef struct VMBindParams {
    void *fcb;
    uint16_t tid;
    uint8_t classNumber;
} VMBindParams;

/* The eleven callbacks, in slot order. */
typedef struct VMSFMTable {
    FSStatus (*bind)(VMStreamContext *s, const VMBindParams *params);
    FSStatus (*create)(VMStreamContext *s);
    FSStatus (*open)(VMStreamContext *s, uint32_t mode);
    FSStatus (*destroy)(VMStreamContext *s);
    void (*close)(VMStreamContext *s);
    FSStatus (*read)(VMStreamContext *s, uint32_t position, uint16_t count, void *dest);
    FSStatus (*write)(VMStreamContext *s, uint32_t position, uint16_t count, const void *source);
    FSStatus (*reopen)(VMStreamContext *s);
    FSStatus (*setSize)(VMStreamContext *s, uint32_t size);
    uint32_t (*getSize)(VMStreamContext *s);
    int32_t (*sameTable)(VMStreamContext *s, VMStreamContext *t);
} VMSFMTable;

/* Registers the table; *registration receives the word that unregisters it.
 * Returns 0, or VM_E_BADSPEC for null arguments. New streams are served by
 * the newest registered table; the table must stay valid while it is
 * registered and while streams opened through it are open. Unregistering an
 * unknown word is VM_E_BADSPEC. */
ZUN_API int32_t VMInstallSFM(const VMSFMTable *table, uint16_t *registration);
ZUN_API int32_t VMUninstallSFM(uint16_t registration);

/* Byte streams kept in tables of a storage file through the registered
 * table. A stream's table has a class whose record size is 1. Reads and
 * writes of any length are split into calls of at most 65535 bytes.
 * Every function returns VM_E_BADSPEC when no table is registered or an
 * argument is null. */
typedef struct VMStream VMStream;
ZUN_API FSStatus VMStreamCreate(void *fcb, uint8_t classNumber, VMStream **out);
ZUN_API FSStatus VMStreamOpen(void *fcb, uint16_t tid, uint32_t mode, VMStream **out);
ZUN_API uint16_t VMStreamTable(const VMStream *stream);
ZUN_API FSStatus VMStreamRead(VMStream *stream, uint32_t position, uint32_t count, void *dest);
ZUN_API FSStatus VMStreamWrite(VMStream *stream, uint32_t position, uint32_t count,
                               const void *source);
ZUN_API uint32_t VMStreamSize(VMStream *stream);
ZUN_API FSStatus VMStreamSetSize(VMStream *stream, uint32_t size);
ZUN_API void VMStreamClose(VMStream *stream);
ZUN_API FSStatus VMStreamDestroy(void *fcb, uint16_t tid);

/* ---------------------------------------------------------------------- */
/* Fault injection (for tests; off by default)                              */

typedef enum VMOp {
    VM_OP_READ,
    VM_OP_WRITE,
    VM_OP_SETSIZE,
    VM_OP_FLUSH,
    VM_OP_CREATE,
    VM_OP_OPEN,
    VM_OP_ALLOC,
    VM_OP_GALLOC,
    VM_OP_COUNT_
} VMOp;

/* Everything back to normal: no faults armed, no crash, counters at 0. (The
 * move-on-lock switch is the platform's and is left as it is.) */
ZUN_API void VMFaultReset(void);

/* After `after` more calls of op, every further one fails with status (0
 * asks for the operation's own failure status) and changes nothing.
 * VM_OP_ALLOC: VMAlloc returns NULL; VM_OP_GALLOC: GlobalAlloc, and
 * GlobalReAlloc or VMRealloc that grow a block, fail as when memory runs
 * out. The calls are those of VMRead, VMWrite (and VMCopyFile), VMSetFileSize,
 * VMFlushFile, VMCreateFile and VMOpenFile that got past checking their
 * arguments. Arming again replaces what op had armed. */
ZUN_API void VMFaultFail(VMOp op, uint32_t after, FSStatus status);

/* The same, but only that one call fails; later calls succeed again. */
ZUN_API void VMFaultFailOnce(VMOp op, uint32_t after, FSStatus status);

/* After `writes` more writes have reached any file, nothing more does:
 * writes, size changes, flushes, renames and stamps report success and
 * change nothing on disk; closes and deletes only release the descriptor;
 * creating a named file no longer empties it. With writes 0 the crash point
 * is reached at once.
 * mode 0: every write before the crash point persists, in order.
 * mode 1: a reordering write cache: of the writes made to a file (device and
 * inode) since its last successful VMFlushFile, only the newest persists;
 * the older ones, and size changes made since that flush, are undone when
 * the crash point is reached. Writes made before the arming count as
 * flushed; creations, renames and deletions before the crash point persist.
 * A test then closes its files, calls VMFaultReset and reopens them to see
 * what a crash at that point leaves. */
ZUN_API void VMFaultCrashAfter(uint32_t writes, uint32_t mode);

/* Calls of op since the last reset. */
ZUN_API uint32_t VMFaultCount(VMOp op);

/* Non-zero once the crash point armed by VMFaultCrashAfter has been reached. */
ZUN_API int32_t VMFaultCrashed(void);

#ifdef __cplusplus
}
#endif

#endif /* ZUNVM_ZUNVM_H */
