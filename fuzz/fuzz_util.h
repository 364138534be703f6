// Shared pieces of the fuzz targets: a private folder for the files they
// write, the host context they open files with, and a walk that reads every
// record of every table of an open file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <zunfs/zunfs.h>

namespace fuzz {

// The process's own folder (made once, under /dev/shm when it exists).
const std::string &Folder();

// Writes size bytes to path, replacing the file.
void WriteBytes(const std::string &path, const uint8_t *data, size_t size);

// A context that takes the file's own classes and type, any version, and
// a translate hook that accepts records as they are; scratch files go to
// Folder(). memBudget 0 is none.
FSContext Context(uint32_t memBudget = 0);

// Reads every record of every table in use, up to a bound of records per
// table (a hostile index may repeat a huge chunk), through steps, jumps and
// runs copied out. Stops at the first failure of a table.
void WalkTables(FCB *fcb);

// Runs the whole-file checker on path; true when it found nothing.
bool CheckClean(const std::string &path);

} // namespace fuzz
