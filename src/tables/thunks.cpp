// Thunk table: nested locking, free-slot search and growth.
#include "tables/thunks.h"

#include <cstring>

#include "blocks/checks.h"

Thunk *TBLockThunks(FCB *fcb) {
    if (fcb->thunkLockDepth > 0) {
        ++fcb->thunkLockDepth;
        return fcb->thunks;
    }
    auto *table = static_cast<Thunk *>(GlobalLock(fcb->thunkTable));
    if (table == nullptr) return nullptr;
    fcb->thunks = table;
    fcb->thunkLockDepth = 1;
    return table;
}

void TBUnlockThunks(FCB *fcb) {
    ZUN_ASSERT(fcb->thunkLockDepth > 0, "thunk table unlocked more often than locked");
    if (fcb->thunkLockDepth == 0 || --fcb->thunkLockDepth > 0) return;
    GlobalUnlock(fcb->thunkTable);
    fcb->thunks = nullptr;
}

uint16_t TBFindFreeThunk(uint16_t capacity, const Thunk *table) {
    for (uint16_t i = 0; i < capacity; ++i)
        if ((table[i].flags & THUNK_IN_USE) == 0) return i;
    return capacity;
}

FSStatus TBGrowThunks(FCB *fcb, uint16_t *first) {
    BlockOp op(fcb);
    uint16_t capacity = fcb->h.thunkCount;
    if (capacity >= THUNK_CAPACITY_MAX) return FS_E_BLOCK_LIMIT;
    uint16_t growth = capacity < THUNK_CAPACITY_MAX - 15 ? THUNK_GROWTH
                                                          : THUNK_CAPACITY_MAX - capacity;
    uint32_t bytes = uint32_t{growth} * sizeof(Thunk);

    // Over budget: write back chunks worth the excess before growing.
    uint64_t wanted = uint64_t{fcb->h.memInUse} + bytes;
    if (fcb->h.memBudget != 0 && wanted > fcb->h.memBudget)
        BKFlush(fcb, static_cast<uint32_t>(wanted - fcb->h.memBudget));

    uint32_t before = GlobalSize(fcb->thunkTable);
    FSStatus status = VMRealloc(&fcb->thunkTable, (uint32_t{capacity} + growth) * sizeof(Thunk));
    if (status != 0) return status;
    // An outer lock may be held: the block moved, so refresh the address.
    if (fcb->thunkLockDepth > 0) fcb->thunks = static_cast<Thunk *>(VMDeref(fcb->thunkTable));

    Thunk *table = TBLockThunks(fcb);
    if (table == nullptr) return FS_E_LOCKMEM;
    std::memset(table + capacity, 0, bytes);
    uint32_t after = GlobalSize(fcb->thunkTable);
    fcb->h.memInUse += after - before; // wraps correctly should the block shrink
    fcb->h.thunkCount = capacity + growth;
    *first = capacity;
    return 0;
}
