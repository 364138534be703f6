// Whole-file operations: copy, rename, and the same-file test.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fault.h"
#include "vm/crash.h"
#include "vm/errors.h"
#include "vm/files.h"
#include "vm/io.h"

namespace zun {
namespace {

constexpr size_t kCopyBuffer = 1 << 16;

// Device and inode of what the record names: the open file when its id is
// live, else the file its path leads to.
bool Identify(const VMFileSpec *spec, dev_t *dev, ino_t *ino) {
    OpenFile *f;
    if (FileOf(spec, &f) == 0) {
        *dev = f->dev;
        *ino = f->ino;
        return true;
    }
    const char *path;
    struct stat st;
    if (SpecPath(spec, &path) != 0 || stat(path, &st) != 0) return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}

// Copies length bytes of source into dest from offset 0, then cuts dest to
// length. While a crash is armed the copy is one write, held in memory.
FSStatus CopyContent(int source, OpenFile &dest, uint64_t length) {
    if (CrashActive()) {
        std::vector<uint8_t> all(length);
        FSStatus status = ReadAll(source, 0, all.data(), all.size());
        if (status != 0) return status;
        return CrashWrite(dest, 0, all.data(), static_cast<uint32_t>(length), true);
    }
    std::vector<uint8_t> buffer(kCopyBuffer);
    for (uint64_t at = 0; at < length;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyBuffer, length - at));
        FSStatus status = ReadAll(source, at, buffer.data(), n);
        if (status == 0) status = WriteAll(dest.fd, at, buffer.data(), n);
        if (status != 0) return status;
        at += n;
    }
    return Truncate(dest.fd, length);
}

// Makes a rename durable: syncs the folder that holds path.
void SyncFolderOf(const char *path) {
    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

} // namespace
} // namespace zun

using zun::OpenFile;

extern "C" FSStatus VMCopyFile(const VMFileSpec *source, const VMFileSpec *dest) {
    const char *path;
    OpenFile *f;
    FSStatus status = zun::SpecPath(source, &path);
    if (status == 0) status = zun::WritableFileOf(dest, &f);
    if (status != 0) return status;
    int fd;
    if ((status = zun::OpenRegular(path, O_RDONLY, &fd)) != 0) return status;
    uint64_t length = 0;
    status = zun::SizeOf(fd, &length);
    if (status == 0 && length > UINT32_MAX) status = VM_E_RANGE;
    if (status == 0) status = zun::FaultCheck(VM_OP_WRITE);
    if (status == 0 && !zun::CrashHappened()) status = zun::CopyContent(fd, *f, length);
    close(fd);
    return status;
}

extern "C" FSStatus VMRenameFile(VMFileSpec *file, const VMFileSpec *target) {
    OpenFile *f;
    const char *to;
    FSStatus status = zun::FileOf(file, &f);
    if (status == 0) status = zun::SpecPath(target, &to);
    if (status != 0) return status;
    std::string name = to; // target may be the same record as file
    if (!zun::CrashHappened()) {
        // A file that another process holds open for writing is not replaced
        // under it. The probe keeps its lock until the rename is done.
        int probe = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat st;
        if (probe >= 0 && fstat(probe, &st) == 0 && !zun::OpenHere(st.st_dev, st.st_ino) &&
            flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            status = VM_E_SHARING;
        if (status == 0 && rename(f->path, name.c_str()) != 0)
            status = zun::StatusFromErrno(errno, zun::IoKind::Other);
        if (probe >= 0) close(probe);
        if (status != 0) return status;
        zun::SyncFolderOf(name.c_str());
    }
    std::strncpy(f->path, name.c_str(), VM_MAX_PATH);
    zun::SetSpecPath(file, name.c_str());
    if (zun::CrashActive()) zun::CrashRenamed(*f);
    return 0;
}

extern "C" int32_t VMSameFile(const VMFileSpec *a, const VMFileSpec *b) {
    dev_t devA, devB;
    ino_t inoA, inoB;
    if (!zun::Identify(a, &devA, &inoA) || !zun::Identify(b, &devB, &inoB)) return 0;
    return devA == devB && inoA == inoB;
}
