// Fault points: per operation, a call counter and an optional armed failure.
//
// Arming records the call number from which calls fail (the counter at arming
// plus `after`); a persistent failure hits every call from there on, a single
// one only that call. Counters and switches are atomics, so threads working on
// different files count without a lock.
#include "platform/fault.h"

#include <atomic>

namespace zun {
namespace {

enum : uint32_t { kOff = 0, kPersistent = 1, kOnce = 2 };

struct FaultPoint {
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> failFrom{0};
    std::atomic<uint32_t> status{0};
    std::atomic<uint32_t> mode{kOff};
};

FaultPoint g_points[VM_OP_COUNT_];

// The status of a failed call when the test armed 0.
FSStatus DefaultStatus(VMOp op) {
    switch (op) {
    case VM_OP_READ: return VM_E_READ;
    case VM_OP_WRITE:
    case VM_OP_SETSIZE:
    case VM_OP_FLUSH: return VM_E_WRITE;
    case VM_OP_ALLOC:
    case VM_OP_GALLOC: return VM_E_NOMEM;
    default: return VM_E_IO;
    }
}

void Arm(VMOp op, uint32_t after, FSStatus status, uint32_t mode) {
    if (op < 0 || op >= VM_OP_COUNT_) return;
    FaultPoint &p = g_points[op];
    p.mode.store(kOff, std::memory_order_relaxed);
    p.status.store(status != 0 ? status : DefaultStatus(op), std::memory_order_relaxed);
    p.failFrom.store(p.calls.load(std::memory_order_relaxed) + after, std::memory_order_relaxed);
    p.mode.store(mode, std::memory_order_release);
}

} // namespace

FSStatus FaultCheck(VMOp op) {
    FaultPoint &p = g_points[op];
    uint32_t call = p.calls.fetch_add(1, std::memory_order_relaxed);
    uint32_t mode = p.mode.load(std::memory_order_acquire);
    if (mode == kOff) return 0;
    uint32_t from = p.failFrom.load(std::memory_order_relaxed);
    if (call < from || (mode == kOnce && call != from)) return 0;
    return static_cast<FSStatus>(p.status.load(std::memory_order_relaxed));
}

void FaultResetCounters() {
    for (FaultPoint &p : g_points) {
        p.mode.store(kOff, std::memory_order_relaxed);
        p.calls.store(0, std::memory_order_relaxed);
    }
}

} // namespace zun

extern "C" void VMFaultFail(VMOp op, uint32_t after, FSStatus status) {
    zun::Arm(op, after, status, zun::kPersistent);
}

extern "C" void VMFaultFailOnce(VMOp op, uint32_t after, FSStatus status) {
    zun::Arm(op, after, status, zun::kOnce);
}

extern "C" uint32_t VMFaultCount(VMOp op) {
    if (op < 0 || op >= VM_OP_COUNT_) return 0;
    return zun::g_points[op].calls.load(std::memory_order_relaxed);
}
