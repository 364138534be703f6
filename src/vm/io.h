// Whole-range reads and writes on descriptors, retried over short transfers
// and interruptions, with errors turned into statuses.
#ifndef ZUN_VM_IO_H
#define ZUN_VM_IO_H

#include <cstddef>
#include <cstdint>

#include <zunvm/zunvm.h>

namespace zun {

// Exactly length bytes at offset; VM_E_READ when the file ends first.
FSStatus ReadAll(int fd, uint64_t offset, void *buffer, size_t length);
FSStatus WriteAll(int fd, uint64_t offset, const void *buffer, size_t length);
FSStatus SizeOf(int fd, uint64_t *size);
FSStatus Truncate(int fd, uint64_t size);
// Makes the data written so far durable.
FSStatus SyncData(int fd);

} // namespace zun

#endif
