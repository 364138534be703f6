// Files named by file-spec records: create, open, close, read,
// write, flush, size and stamp, over POSIX descriptors.
//
// Read-write opens hold an exclusive flock on the file for as long as it is
// open, so that two processes never write one file: while another holds it,
// a read-write open fails with VM_E_SHARING. Only regular files are opened.
#include "vm/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/slot_table.h"
#include "vm/crash.h"
#include "vm/errors.h"
#include "vm/io.h"

namespace zun {
namespace {

constexpr size_t kIdOffset = 12;
constexpr size_t kPathOffset = 20;
constexpr size_t kPathBytes = sizeof(VMFileSpec::bytes) - kPathOffset;
constexpr uint64_t kLimit = uint64_t{1} << 32; // files never pass 4 GiB
constexpr char kScratchPrefix[] = "zun";

// 2^16 open files, 16 bits of generation.
SlotTable<OpenFile, 16, 8> g_files;

uint32_t IdOf(const VMFileSpec *spec) {
    uint32_t id;
    std::memcpy(&id, spec->bytes + kIdOffset, sizeof id);
    return id;
}

void SetId(VMFileSpec *spec, uint32_t id) { std::memcpy(spec->bytes + kIdOffset, &id, sizeof id); }

FSStatus Errno(IoKind kind = IoKind::Other) { return StatusFromErrno(errno, kind); }

// Takes the exclusive lock of a read-write open.
FSStatus LockExclusive(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno == EWOULDBLOCK ? VM_E_SHARING : Errno();
    }
    return 0;
}

// Enters an open descriptor of a regular file in the table and its id in the record. The
// descriptor is closed on failure.
FSStatus Register(VMFileSpec *spec, int fd, bool readWrite, const char *path) {
    struct stat st;
    FSStatus status = 0;
    if (fstat(fd, &st) != 0) status = Errno();
    else if (readWrite) status = LockExclusive(fd);
    uint32_t id = 0;
    if (status == 0) {
        id = SlotAdd(g_files, [&](OpenFile &f) {
            f.fd = fd;
            f.readWrite = readWrite;
            f.dev = st.st_dev;
            f.ino = st.st_ino;
            std::strncpy(f.path, path, VM_MAX_PATH);
            f.path[VM_MAX_PATH] = '\0';
        });
        if (id == 0) status = VM_E_NOMEM;
    }
    if (status != 0) {
        close(fd);
        return status;
    }
    SetId(spec, id);
    return 0;
}

// Makes a new file with a unique name in folder, mode 0600, never through a
// symlink (O_EXCL), and names it in the record.
FSStatus CreateIn(VMFileSpec *spec, const char *folder) {
    std::string name = folder;
    if (name.back() != '/') name += '/';
    name += kScratchPrefix;
    name += "XXXXXX";
    if (name.size() > VM_MAX_PATH) return VM_E_BADSPEC;
    int fd = mkstemp(name.data());
    if (fd < 0) return Errno();
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    FSStatus status = Register(spec, fd, true, name.c_str());
    if (status != 0) {
        unlink(name.c_str());
        return status;
    }
    SetSpecPath(spec, name.c_str());
    return 0;
}

} // namespace

FSStatus OpenRegular(const char *path, int flags, int *fd) {
    // O_NONBLOCK: opening a FIFO put where a file was expected must not hang.
    *fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (*fd < 0) return Errno();
    struct stat st;
    FSStatus status = fstat(*fd, &st) != 0 ? Errno() : S_ISREG(st.st_mode) ? 0 : VM_E_ACCESS;
    if (status == 0 && fcntl(*fd, F_SETFL, 0) != 0) status = Errno();
    if (status != 0) {
        close(*fd);
        *fd = -1;
    }
    return status;
}

namespace {

// Creates the named file or empties it. The lock is taken before emptying,
// so a file another process has open for writing is refused, not cleared.
FSStatus CreateNamed(VMFileSpec *spec, const char *path) {
    int fd;
    FSStatus status = OpenRegular(path, O_RDWR | O_CREAT | O_NOFOLLOW, &fd);
    if (status == 0) status = Register(spec, fd, true, path);
    if (status != 0) return status;
    OpenFile *f;
    FileOf(spec, &f);
    if (CrashHappened()) return 0; // emptying is a change that no longer reaches the disk
    status = Truncate(f->fd, 0);
    if (status != 0) VMCloseFile(spec);
    return status;
}

} // namespace

FSStatus FileOf(const VMFileSpec *spec, OpenFile **out) {
    if (spec == nullptr) return VM_E_BADSPEC;
    *out = SlotLookup(g_files, IdOf(spec));
    return *out != nullptr ? 0 : VM_E_BADFILE;
}

FSStatus WritableFileOf(const VMFileSpec *spec, OpenFile **out) {
    FSStatus status = FileOf(spec, out);
    if (status == 0 && !(*out)->readWrite) status = VM_E_ACCESS;
    return status;
}

FSStatus SpecPath(const VMFileSpec *spec, const char **path) {
    if (spec == nullptr) return VM_E_BADSPEC;
    const char *p = reinterpret_cast<const char *>(spec->bytes + kPathOffset);
    if (std::memchr(p, 0, kPathBytes) == nullptr || p[0] == '\0') return VM_E_BADSPEC;
    *path = p;
    return 0;
}

void SetSpecPath(VMFileSpec *spec, const char *path) {
    char *p = reinterpret_cast<char *>(spec->bytes + kPathOffset);
    std::memset(p, 0, kPathBytes);
    std::strncpy(p, path, VM_MAX_PATH);
}

bool OpenHere(dev_t dev, ino_t ino) {
    bool found = false;
    std::lock_guard<std::mutex> guard(g_files.mutex);
    SlotForEachLocked(g_files, [&](uint32_t, const OpenFile &f) {
        if (f.dev == dev && f.ino == ino) found = true;
    });
    return found;
}

// Checks a transfer of length bytes at offset against the 4 GiB limit.
FSStatus InRange(uint64_t offset, uint64_t length) {
    return offset + length > kLimit ? VM_E_RANGE : 0;
}

} // namespace zun

using zun::OpenFile;

extern "C" FSStatus VMCreateFile(VMFileSpec *spec) {
    const char *path;
    FSStatus status = zun::SpecPath(spec, &path);
    if (status != 0) return status;
    if ((status = zun::FaultCheck(VM_OP_CREATE)) != 0) return status;
    // The path may be rewritten below: work on a copy.
    std::string name = path;
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return zun::CreateIn(spec, name.c_str());
    return zun::CreateNamed(spec, name.c_str());
}

extern "C" FSStatus VMOpenFile(VMFileSpec *spec, uint32_t readWrite) {
    const char *path;
    FSStatus status = zun::SpecPath(spec, &path);
    if (status != 0) return status;
    if (readWrite > 1) return VM_E_BADSPEC;
    if ((status = zun::FaultCheck(VM_OP_OPEN)) != 0) return status;
    int fd;
    if ((status = zun::OpenRegular(path, readWrite ? O_RDWR : O_RDONLY, &fd)) != 0) return status;
    std::string name = path;
    return zun::Register(spec, fd, readWrite != 0, name.c_str());
}

// Closes the file; with remove, first deletes it, but only while its name
// still leads to this very file. After a crash only the descriptor goes.
static FSStatus CloseFile(VMFileSpec *spec, bool remove) {
    OpenFile *f;
    FSStatus status = zun::FileOf(spec, &f);
    if (status != 0) return status;
    uint32_t id = zun::IdOf(spec);
    zun::SlotRemove(zun::g_files, id, [&](OpenFile &open) {
        struct stat st;
        if (remove && !zun::CrashHappened()) {
            if (lstat(open.path, &st) == 0 && st.st_dev == open.dev && st.st_ino == open.ino) {
                if (unlink(open.path) != 0) status = zun::Errno();
                else if (zun::CrashActive()) zun::CrashDeleted(open);
            }
        }
        close(open.fd);
        open = OpenFile{};
    });
    zun::SetId(spec, 0);
    return status;
}

extern "C" FSStatus VMCloseFile(VMFileSpec *spec) { return CloseFile(spec, false); }

extern "C" FSStatus VMCloseDeleteFile(VMFileSpec *spec) { return CloseFile(spec, true); }

extern "C" FSStatus VMRead(const VMFileSpec *spec, uint32_t offset, uint32_t length,
                           void *buffer) {
    OpenFile *f;
    FSStatus status = zun::FileOf(spec, &f);
    if (status != 0 || length == 0) return status;
    if (buffer == nullptr) return VM_E_BADSPEC;
    if ((status = zun::InRange(offset, length)) != 0) return status;
    if ((status = zun::FaultCheck(VM_OP_READ)) != 0) return status;
    return zun::ReadAll(f->fd, offset, buffer, length);
}

extern "C" FSStatus VMWrite(const VMFileSpec *spec, uint32_t offset, uint32_t length,
                            const void *buffer) {
    OpenFile *f;
    FSStatus status = zun::WritableFileOf(spec, &f);
    if (status != 0 || length == 0) return status;
    if (buffer == nullptr) return VM_E_BADSPEC;
    if ((status = zun::InRange(offset, length)) != 0) return status;
    if ((status = zun::FaultCheck(VM_OP_WRITE)) != 0) return status;
    if (zun::CrashActive()) return zun::CrashWrite(*f, offset, buffer, length, false);
    return zun::WriteAll(f->fd, offset, buffer, length);
}

extern "C" FSStatus VMFlushFile(const VMFileSpec *spec) {
    OpenFile *f;
    FSStatus status = zun::FileOf(spec, &f);
    if (status != 0) return status;
    if ((status = zun::FaultCheck(VM_OP_FLUSH)) != 0) return status;
    if (zun::CrashActive()) return zun::CrashFlush(*f);
    return zun::SyncData(f->fd);
}

extern "C" uint32_t VMFileSize(const VMFileSpec *spec) {
    OpenFile *f;
    uint64_t size;
    if (zun::FileOf(spec, &f) != 0 || zun::SizeOf(f->fd, &size) != 0) return 0;
    return size >= zun::kLimit ? UINT32_MAX : static_cast<uint32_t>(size);
}

extern "C" FSStatus VMSetFileSize(const VMFileSpec *spec, uint32_t length) {
    OpenFile *f;
    FSStatus status = zun::WritableFileOf(spec, &f);
    if (status != 0) return status;
    if ((status = zun::FaultCheck(VM_OP_SETSIZE)) != 0) return status;
    if (zun::CrashActive()) return zun::CrashSetSize(*f, length);
    return zun::Truncate(f->fd, length);
}

extern "C" FSStatus VMGetFileTime(const VMFileSpec *spec, uint32_t *stamp) {
    OpenFile *f;
    FSStatus status = zun::FileOf(spec, &f);
    if (status != 0) return status;
    if (stamp == nullptr) return VM_E_BADSPEC;
    struct stat st;
    if (fstat(f->fd, &st) != 0) return zun::Errno();
    // Seconds since 1970, held in 32 bits: earlier times read as 0.
    time_t t = st.st_mtim.tv_sec;
    *stamp = t < 0 ? 0 : static_cast<uint64_t>(t) > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(t);
    return 0;
}

extern "C" FSStatus VMSetFileTime(const VMFileSpec *spec, uint32_t stamp) {
    OpenFile *f;
    FSStatus status = zun::FileOf(spec, &f);
    if (status != 0 || zun::CrashHappened()) return status;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(stamp);
    times[1].tv_nsec = 0;
    return futimens(f->fd, times) == 0 ? 0 : zun::Errno();
}
