// System errors as services statuses, and the texts of those statuses.
#ifndef ZUN_VM_ERRORS_H
#define ZUN_VM_ERRORS_H

#include <zunvm/zunvm.h>

namespace zun {

// What failed, for the errors whose status depends on it (EIO and the like).
enum class IoKind { Read, Write, Other };

// The status for errno value err from a call of the given kind.
FSStatus StatusFromErrno(int err, IoKind kind);

} // namespace zun

#endif
