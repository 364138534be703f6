// Fault points: every operation that fault injection can fail passes through
// FaultCheck, which counts the call and says whether it must fail.
#ifndef ZUN_PLATFORM_FAULT_H
#define ZUN_PLATFORM_FAULT_H

#include <zunvm/zunvm.h>

namespace zun {

// Counts a call of op. Returns 0 when the call goes ahead, otherwise the
// status it must fail with (never 0: an armed status of 0 becomes the
// operation's own failure status).
FSStatus FaultCheck(VMOp op);

// Disarms every fault and sets the counters to 0.
void FaultResetCounters();

} // namespace zun

#endif
