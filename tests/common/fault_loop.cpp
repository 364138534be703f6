#include "common/fault_loop.h"

#include <gtest/gtest.h>

void FaultRun::Arm() {
    VMFaultReset();
    once ? VMFaultFailOnce(op, n, status) : VMFaultFail(op, n, status);
}

void FaultRun::Disarm() {
    fired = fired || VMFaultCount(op) > n;
    VMFaultReset();
}

void ForEachFault(VMOp op, FSStatus status, const std::function<void(FaultRun &)> &body) {
    bool fired = true;
    for (uint32_t n = 0; fired; ++n) {
        SCOPED_TRACE(n);
        ASSERT_LT(n, 500u) << "the fault is still reached";
        fired = false;
        for (bool once : {true, false}) {
            SCOPED_TRACE(once ? "transient" : "lasting");
            FaultRun run{op, status, n, once};
            body(run);
            fired = fired || run.fired;
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}
