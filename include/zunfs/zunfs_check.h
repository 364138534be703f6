/*
 * zunfs_check: integrity check and summary of a whole storage file.
 *
 * The checker reads a storage file read-only, without opening it as a
 * storage file (nothing is converted, recovered or written), and reports
 * every fault it finds, not just the first, together with the summary that
 * `zunfs info` prints.
 *
 * What is checked:
 * - the header: magic, format, allocation and growth shifts, maxChunk,
 *   classCount, version bits; fileSize against the file's real length,
 *   savedFileSize and miniFileSize against fileSize;
 * - the class table: inside the file, clear of the header, the built-in
 *   classes' record sizes, sane shifts, and record size and maximum non-zero
 *   for every host class a table uses;
 * - every version on disk: the saved version (versionFlags 0x4, savedRoot)
 *   and the mini-saved version (0x2, miniRoot). The current version is not
 *   on disk in readable form: a file opened "current" after a clean close
 *   opens its saved version. From each root, every chunk reference of the
 *   master table (one chunk of class 0, or a class-1 index over class-0
 *   chunks), of each table in use (a chunk of the table's class, or a
 *   class-1 index over such chunks) is checked: class known and right for
 *   its place, record count within the class maximum, image within maxChunk,
 *   on a granule, inside the file and the version's size, clear of the
 *   header, class table and stored free list, and no two images of one
 *   version overlapping. Images of different versions may be the same image
 *   (shared) but must not partly overlap;
 * - the stored free list: at most 6144 entries, inside the file, sorted,
 *   disjoint, on granules, known owner bits, no run covering a live image of
 *   a version that the run's owner bits say does not use it, and no run
 *   that is not used by every version over the header, the class table or
 *   the stored list itself.
 *
 * Files that need conversion before use (the old format, the other byte
 * order) are recognised and summarised, not walked. Every count and
 * position read from the file is bounded by the file's length and the
 * format's limits: a hostile file gives findings, never a crash, a hang or
 * unbounded memory.
 */
#ifndef ZUNFS_ZUNFS_CHECK_H
#define ZUNFS_ZUNFS_CHECK_H

#include <stdint.h>
#include <zunfs/zunfs.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kinds of finding. */
typedef enum ZunfsCheckKind {
    ZUNFS_CHECK_UNREADABLE = 1,      /* a read of the file failed */
    ZUNFS_CHECK_HEADER = 2,          /* bad magic, format, shifts, maxChunk, classCount or version bits */
    ZUNFS_CHECK_SIZE = 3,            /* fileSize, savedFileSize or miniFileSize wrong */
    ZUNFS_CHECK_CLASS_TABLE = 4,     /* class table misplaced or a descriptor unusable */
    ZUNFS_CHECK_BAD_CLASS = 5,       /* a class without descriptor, or the wrong class for its place */
    ZUNFS_CHECK_BAD_REF = 6,         /* a chunk reference marked resident, or an index without image */
    ZUNFS_CHECK_COUNT_OVER_MAX = 7,  /* more records than the class allows in one chunk */
    ZUNFS_CHECK_CHUNK_TOO_BIG = 8,   /* an image larger than maxChunk */
    ZUNFS_CHECK_IMAGE_PAST_END = 9,  /* an image past the file's end or the version's size */
    ZUNFS_CHECK_IMAGE_ALIGN = 10,    /* an image not on a granule */
    ZUNFS_CHECK_OVERLAP = 11,        /* two images of one version overlap */
    ZUNFS_CHECK_SHARED_OVERLAP = 12, /* images of two versions overlap without being the same image */
    ZUNFS_CHECK_STRUCTURE = 13,      /* an image or the stored list over the header, class table or list */
    ZUNFS_CHECK_TABLE_RECORD = 14,   /* a table record that cannot be right */
    ZUNFS_CHECK_FREE_LIST = 15,      /* the stored list misplaced or too long */
    ZUNFS_CHECK_FREE_ORDER = 16,     /* entries unsorted or overlapping */
    ZUNFS_CHECK_FREE_ALIGN = 17,     /* an entry not on granules, or empty */
    ZUNFS_CHECK_FREE_RANGE = 18,     /* an entry past fileSize */
    ZUNFS_CHECK_FREE_OWNERS = 19,    /* owner bits other than 0x1, 0x2, 0x4 */
    ZUNFS_CHECK_FREE_OVER_LIVE = 20, /* a run over a live image of a version that does not own it */
    ZUNFS_CHECK_FREE_OVER_STRUCTURE = 21, /* a run not used by every version over header, class table or list */
    ZUNFS_CHECK_TRUNCATED = 22       /* more findings than ZUNFS_CHECK_FINDINGS_MAX; the rest dropped */
} ZunfsCheckKind;

/* How the file must be treated before it can be used. */
typedef enum ZunfsCheckFormat {
    ZUNFS_CHECK_FORMAT_NATIVE = 0,   /* current layout: walked */
    ZUNFS_CHECK_FORMAT_OLD = 1,      /* old format: needs conversion, not walked */
    ZUNFS_CHECK_FORMAT_FOREIGN = 2,  /* other byte order: needs conversion, not walked */
    ZUNFS_CHECK_FORMAT_UNKNOWN = 3   /* not a storage file, too short, or a newer format */
} ZunfsCheckFormat;

#define ZUNFS_CHECK_MESSAGE_MAX 160
#define ZUNFS_CHECK_FINDINGS_MAX 1000

typedef struct ZunfsCheckFinding {
    uint32_t kind;      /* ZunfsCheckKind */
    uint16_t version;   /* 0x4 saved, 0x2 mini-saved, 0x6 both, 0 the file as a whole */
    uint32_t position;  /* file position concerned (image, entry, field), 0 when none */
    char message[ZUNFS_CHECK_MESSAGE_MAX]; /* one line, zero-terminated */
} ZunfsCheckFinding;

/* One table of a version. */
typedef struct ZunfsCheckTable {
    uint16_t tid;
    uint8_t classNumber;
    uint8_t indexed;     /* 1 when its top chunk is an index */
    uint16_t recordSize; /* from the class table, 0 for an unknown class */
    uint32_t records;    /* sum of its chunks' record counts */
    uint32_t chunks;     /* data chunks */
    uint32_t bytes;      /* bytes of its images, index included */
} ZunfsCheckTable;

/* One version found on disk. */
typedef struct ZunfsCheckVersion {
    uint16_t version;        /* 0x4 saved, 0x2 mini-saved */
    uint8_t walked;          /* 0 when the class table could not be read */
    uint8_t masterIndexed;
    uint32_t masterChunks;
    uint32_t masterRecords;  /* table records, free ones included */
    uint32_t tableCount;     /* entries of tables */
    ZunfsCheckTable *tables; /* tables in use, by TID */
    uint32_t imageCount;     /* distinct images of the version */
    uint32_t sharedImages;   /* of those, images the other version uses too */
    uint64_t imageBytes;
    uint32_t findingCount;   /* findings that concern this version */
} ZunfsCheckVersion;

typedef struct ZunfsCheckReport {
    uint32_t format;         /* ZunfsCheckFormat */
    uint32_t fileLength;     /* real length in bytes (0xFFFFFFFF: 4 GiB or more) */
    uint8_t headerRead;      /* 1 when the header fields below were decoded; for an
                                old-format file only magic and formatVersion are set */

    /* Header fields, decoded (from the other byte order for a foreign file). */
    uint16_t magic;
    uint16_t formatVersion;
    uint16_t stateFlags;
    uint16_t allocShift;
    uint16_t growShift;
    uint16_t versionFlags;
    uint32_t fileSize;
    uint32_t savedFileSize;
    uint32_t miniFileSize;
    uint8_t formatMark;
    uint8_t classCount;
    uint16_t maxChunk;
    uint32_t classTableOffset;
    uint16_t rootTable;
    uint32_t fileStamp;
    uint16_t savedFreeCount;
    uint32_t savedFreeOffset;
    uint16_t fileType;
    uint16_t appVersion;
    uint16_t lastStatus;

    /* Crash state. */
    uint8_t leftOpen;        /* closedCleanly clear: the file was open during a crash */
    uint16_t recoverable;    /* versions on disk (0x4, 0x2) with no finding of their own */
    FSStatus openCurrent;    /* what opening the current version answers: 0 (it opens the
                                saved version), FS_E_NO_SAVED, or FS_E_CRASHED..._BOTH */

    /* Stored free list. */
    uint32_t freeEntries;    /* entries read */
    uint64_t freeBytes;      /* bytes in runs with owner bits 0 */
    uint64_t ownedBytes[3];  /* bytes in runs owned by the current [0], mini-saved [1], saved [2] version */

    /* Class table (classCount descriptors, or none when it could not be read). */
    uint32_t classesRead;
    FSClassDesc *classes;

    uint32_t versionCount;   /* saved first, then mini-saved */
    ZunfsCheckVersion *versions;

    uint32_t findingCount;   /* 0: the file is clean */
    ZunfsCheckFinding *findings; /* in the order found: at most ZUNFS_CHECK_FINDINGS_MAX,
                                    then one ZUNFS_CHECK_TRUNCATED that counts the rest */
} ZunfsCheckReport;

/*
 * Checks the file at path. On success (0) *reportOut receives a report that
 * the caller releases with ZunfsCheckFree; the file is clean when its
 * findingCount is 0. A file that is too short, not a storage file or
 * corrupt still gives 0 and a report: its faults are findings.
 * Failures (*reportOut is then NULL):
 *   FS_E_BAD_PARAMS  path or reportOut null (nothing stored for a null reportOut);
 *   VM_E_BADSPEC     path empty or too long;
 *   services status  the file cannot be opened for reading (VM_E_NOTFOUND, ...);
 *   FS_E_NOMEM       no memory for the report.
 * The file is opened read-only and closed again; it is never written.
 */
ZUN_API FSStatus ZunfsCheckFile(const char *path, ZunfsCheckReport **reportOut);

/* The same for a file named by a file-spec record, which is only
 * read (the check works on a copy). */
ZUN_API FSStatus ZunfsCheckSpec(const VMFileSpec *spec, ZunfsCheckReport **reportOut);

/* Releases a report and everything it points to. NULL does nothing. */
ZUN_API void ZunfsCheckFree(ZunfsCheckReport *report);

/* A short stable name of a finding kind ("overlap", "free-over-live", ...),
 * "unknown" for any other value. The string is static. */
ZUN_API const char *ZunfsCheckKindName(uint32_t kind);

#ifdef __cplusplus
}
#endif

#endif /* ZUNFS_ZUNFS_CHECK_H */
