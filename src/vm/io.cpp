// Descriptor input and output with retries; errors through StatusFromErrno.
#include "vm/io.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "vm/errors.h"

namespace zun {

FSStatus ReadAll(int fd, uint64_t offset, void *buffer, size_t length) {
    auto *p = static_cast<uint8_t *>(buffer);
    while (length > 0) {
        ssize_t n = pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return StatusFromErrno(errno, IoKind::Read);
        }
        if (n == 0) return VM_E_READ;
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return 0;
}

FSStatus WriteAll(int fd, uint64_t offset, const void *buffer, size_t length) {
    auto *p = static_cast<const uint8_t *>(buffer);
    while (length > 0) {
        ssize_t n = pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return StatusFromErrno(errno, IoKind::Write);
        }
        if (n == 0) return VM_E_WRITE;
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return 0;
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
