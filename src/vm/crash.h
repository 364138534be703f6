// Crash simulation: file changes made while a crash is armed go through
// these functions, which count writes towards the crash point and, in the
// reordering-cache mode, keep what each unflushed change overwrote.
#ifndef ZUN_VM_CRASH_H
#define ZUN_VM_CRASH_H

#include <cstdint>

#include "vm/files.h"

namespace zun {

// True while a crash is armed or has happened; the file operations then take
// the functions below instead of their direct path.
bool CrashActive();
// True once the crash point was reached: from then on nothing reaches a disk.
bool CrashHappened();

// A write of length bytes at offset; with cut, the file then ends after them
// (a whole-file copy). Counts towards the crash point when it succeeds.
FSStatus CrashWrite(OpenFile &f, uint64_t offset, const void *data, uint32_t length, bool cut);
FSStatus CrashSetSize(OpenFile &f, uint64_t size);
FSStatus CrashFlush(OpenFile &f);
// The file's journal follows it to its new name, or is dropped with it.
void CrashRenamed(const OpenFile &f);
void CrashDeleted(const OpenFile &f);

} // namespace zun

#endif
