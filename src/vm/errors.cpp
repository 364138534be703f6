// The one place where system errors become services statuses, and the texts
// of the services statuses (VMErrorStr).
//
// errno -> status:
//   ENOENT, ENOTDIR                -> VM_E_NOTFOUND (2)
//   EACCES, EPERM, EROFS, EISDIR,
//   ETXTBSY, ELOOP (a symlink where
//   none is followed)              -> VM_E_ACCESS (5)
//   EBADF                          -> VM_E_BADFILE (6)
//   ENOMEM                         -> VM_E_NOMEM (8)
//   EWOULDBLOCK (flock)            -> VM_E_SHARING (32)
//   EEXIST                         -> VM_E_EXISTS (80)
//   ENAMETOOLONG, EINVAL           -> VM_E_BADSPEC (87)
//   ENOSPC, EDQUOT, EFBIG          -> VM_E_DISKFULL (99)
//   EOVERFLOW                      -> VM_E_RANGE (110)
//   anything else: VM_E_READ (30) from a read, VM_E_WRITE (29) from a write
//   or flush, VM_E_IO (31) otherwise.
#include "vm/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zun {

FSStatus StatusFromErrno(int err, IoKind kind) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: return VM_E_NOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case ELOOP: return VM_E_ACCESS;
    case EBADF: return VM_E_BADFILE;
    case ENOMEM: return VM_E_NOMEM;
    case EWOULDBLOCK: return VM_E_SHARING;
    case EEXIST: return VM_E_EXISTS;
    case ENAMETOOLONG:
    case EINVAL: return VM_E_BADSPEC;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return VM_E_DISKFULL;
    case EOVERFLOW: return VM_E_RANGE;
    default: break;
    }
    switch (kind) {
    case IoKind::Read: return VM_E_READ;
    case IoKind::Write: return VM_E_WRITE;
    default: return VM_E_IO;
    }
}

} // namespace zun

namespace {

struct StatusText {
    FSStatus code;
    const char *text;
};

const StatusText kTexts[] = {
    {VM_E_NOTFOUND, "The file or folder does not exist."},
    {VM_E_ACCESS, "Access to the file was denied, or the file is read-only."},
    {VM_E_BADFILE, "The file is not open."},
    {VM_E_NOMEM, "There is not enough memory."},
    {VM_E_WRITE, "The file could not be written."},
    {VM_E_READ, "The file could not be read, or it ended too soon."},
    {VM_E_IO, "The system reported an error while using the file."},
    {VM_E_SHARING, "The file is in use by another program."},
    {VM_E_EXISTS, "The file already exists."},
    {VM_E_BADSPEC, "The file name or an argument is not valid."},
    {VM_E_DISKFULL, "The disk is full."},
    {VM_E_RANGE, "The file position is too large."},
    {VM_E_STREAMMODE, "A stream can only be opened read-only or read-write."},
};

} // namespace

extern "C" int32_t VMErrorStr(FSStatus code, char *buffer, uint16_t size) {
    if (buffer == nullptr || size == 0) return 0;
    for (const StatusText &t : kTexts) {
        if (t.code != code) continue;
        size_t n = std::min(std::strlen(t.text), static_cast<size_t>(size - 1));
        std::memcpy(buffer, t.text, n);
        buffer[n] = '\0';
        return 1;
    }
    return 0;
}
