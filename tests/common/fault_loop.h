// Fault loops: a test body runs again and again while the nth call of an
// operation fails, for n = 0, 1, 2, ..., once (a transient fault) and for
// good (as when memory has run out), until no call reaches the nth.
#pragma once

#include <cstdint>
#include <functional>

#include <zunvm/zunvm.h>

struct FaultRun {
    VMOp op;
    FSStatus status;
    uint32_t n;
    bool once;
    bool fired = false;

    // Arms the fault, counting calls from now.
    void Arm();
    // Ends it, noting whether the nth call was reached.
    void Disarm();
};

// Calls body for each n and both kinds of fault, with the fault described
// (not armed): the body arms it around the calls under test.
void ForEachFault(VMOp op, FSStatus status, const std::function<void(FaultRun &)> &body);
