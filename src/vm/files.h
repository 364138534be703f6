// The open-file table: each open file is a slot whose id is kept in bytes
// 12-15 of the file-spec record that opened it, so every copy of
// that record names the same open file, and a closed or forged id is refused.
#ifndef ZUN_VM_FILES_H
#define ZUN_VM_FILES_H

#include <sys/types.h>

#include <zunvm/zunvm.h>

namespace zun {

struct OpenFile {
    int fd = -1;
    bool readWrite = false;
    dev_t dev = 0; // identity of the open file, for delete, rename and crash undo
    ino_t ino = 0;
    char path[VM_MAX_PATH + 1] = {};
};

// The open file that spec names: VM_E_BADSPEC for a null record, VM_E_BADFILE
// when its id names no open file.
FSStatus FileOf(const VMFileSpec *spec, OpenFile **out);

// The same, for operations that change the file: VM_E_ACCESS when it is open
// read-only.
FSStatus WritableFileOf(const VMFileSpec *spec, OpenFile **out);

// The record's path: VM_E_BADSPEC for a null record, or a path that is empty
// or not zero-terminated within the record.
FSStatus SpecPath(const VMFileSpec *spec, const char **path);

// Stores path (at most VM_MAX_PATH characters) in the record, zeroing the
// rest of the path bytes.
void SetSpecPath(VMFileSpec *spec, const char *path);

// Opens path (open flags, no O_CLOEXEC or O_NONBLOCK needed) and makes sure
// it is a regular file: VM_E_ACCESS for anything else. A FIFO does not block.
FSStatus OpenRegular(const char *path, int flags, int *fd);

// Non-zero when some file of this process is open on the given file.
bool OpenHere(dev_t dev, ino_t ino);

} // namespace zun

#endif
