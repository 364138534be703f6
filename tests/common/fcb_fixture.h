// FCBs for tests of the steps that run inside an open, before the file's
// tables are loaded: the header image as read from the file and the file
// open through a VMAlloc'd record, as the open path hands them over.
#pragma once

#include <string>
#include <vector>

#include <zunfs/zunfs.h>

#include "session/fcb.h"

// An FCB on the file at path: its first 154 bytes in fcb->h and the file
// open (read-write unless readOnly) through fcb->file, whose temporary bit
// is set when temporary. Null when the file cannot be opened or read.
FCB *FcbOnFile(const std::string &path, bool temporary = false, bool readOnly = false);

// Closes fcb->file (without deleting it) and frees its record and the FCB.
void FcbRelease(FCB *fcb);

// A context whose scratch records go to folder.
FSContext ScratchContext(const std::string &folder);

// Names of the entries of a folder, sorted.
std::vector<std::string> FolderEntries(const std::string &folder);
