// The storage-manager callback table: what the services library calls to
// keep a byte stream in a table of an open storage file.
//
// A stream's table has a class of 1-byte records, so positions, sizes and
// lengths are byte counts and RIXes at once. Each callback works on a
// stream context: the file, the table, the open session (none until create
// or open, none again after close) and the position after the last call.
// A context whose file is not open, or whose session is not an open session
// of that file and table, is refused with a status; nothing is touched.
#pragma once

#include <zunvm/zunvm.h>

// The eleven callbacks, in slot order; FSInstallSFM registers this table.
extern const VMSFMTable kSFMTable;
