// Descriptor input and output with retries; errors through StatusFromErrno.
#include "vm/io.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "vm/errors.h"

namespace zun {

namespace {

// Moves length bytes at offset with pread or pwrite, however many calls it
// takes; a call that moves nothing means the file ended (reads) or the device
// would not take more (writes).
template <typename Byte, typename Call>
FSStatus Transfer(int fd, uint64_t offset, Byte *p, size_t length, Call call, IoKind kind) {
    while (length > 0) {
        ssize_t n = call(fd, p, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return StatusFromErrno(errno, kind);
        }
        if (n == 0) return kind == IoKind::Read ? VM_E_READ : VM_E_WRITE;
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

FSStatus ReadAll(int fd, uint64_t offset, void *buffer, size_t length) {
    return Transfer(fd, offset, static_cast<uint8_t *>(buffer), length, pread, IoKind::Read);
}

FSStatus WriteAll(int fd, uint64_t offset, const void *buffer, size_t length) {
    return Transfer(fd, offset, static_cast<const uint8_t *>(buffer), length, pwrite,
                    IoKind::Write);
}

FSStatus SizeOf(int fd, uint64_t *size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return StatusFromErrno(errno, IoKind::Other);
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

FSStatus Truncate(int fd, uint64_t size) {
    while (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) return StatusFromErrno(errno, IoKind::Write);
    }
    return 0;
}

FSStatus SyncData(int fd) {
    while (fdatasync(fd) != 0) {
        if (errno != EINTR) return StatusFromErrno(errno, IoKind::Write);
    }
    return 0;
}

} // namespace zun
