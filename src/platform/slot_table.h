// A table of slots named by 32-bit ids, shared by the movable-memory handles
// and the open-file ids.
//
// An id is (generation << IndexBits) | index. The generation changes each
// time a slot is reused, so an id kept past its release no longer matches and
// is refused. Index 0 is never handed out, so id 0 names nothing. Released
// slots are reused oldest first, which keeps a stale id stale for as long as
// possible.
//
// Slots live in pages that are allocated once and never move or go away, so
// SlotLookup reads two atomics and takes no mutex: threads that use different
// slots never contend. Adding and removing slots, and anything that walks the
// table, hold its mutex.
#ifndef ZUN_PLATFORM_SLOT_TABLE_H
#define ZUN_PLATFORM_SLOT_TABLE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

namespace zun {

template <typename Entry> struct Slot {
    std::atomic<uint32_t> id{0}; // the id that names this slot now, 0 while free
    uint32_t generation = 0;     // of the last id handed out (under the mutex)
    uint32_t nextFree = 0;       // next index in the free queue (under the mutex)
    Entry value{};
};

template <typename Entry, unsigned IndexBits, unsigned PageBits> struct SlotTable {
    static constexpr unsigned kIndexBits = IndexBits;
    static constexpr unsigned kPageBits = PageBits;
    static constexpr uint32_t kIndexMask = (1u << IndexBits) - 1;
    static constexpr uint32_t kPageSize = 1u << PageBits;
    static constexpr uint32_t kPageCount = 1u << (IndexBits - PageBits);
    static constexpr uint32_t kGenerations = 1u << (32 - IndexBits);
    using SlotType = Slot<Entry>;

    std::atomic<SlotType *> pages[kPageCount] = {};
    std::mutex mutex;
    uint32_t used = 1;     // indexes handed out so far; index 0 is reserved
    uint32_t freeHead = 0; // oldest released index, 0 when none
    uint32_t freeTail = 0;
};

template <typename Table> typename Table::SlotType *SlotAt(Table &t, uint32_t index) {
    auto *page = t.pages[index >> Table::kPageBits].load(std::memory_order_acquire);
    return page == nullptr ? nullptr : &page[index & (Table::kPageSize - 1)];
}

// The entry named by id, or null for 0, a released or a forged id.
template <typename Table> auto *SlotLookup(Table &t, uint32_t id) {
    using Result = decltype(&SlotAt(t, 0)->value);
    if (id == 0) return static_cast<Result>(nullptr);
    auto *slot = SlotAt(t, id & Table::kIndexMask);
    if (slot == nullptr || slot->id.load(std::memory_order_acquire) != id)
        return static_cast<Result>(nullptr);
    return &slot->value;
}

// Takes a free slot, lets init fill its entry, then publishes it. Returns the
// new id, or 0 when the table is full or a page cannot be allocated.
template <typename Table, typename Init> uint32_t SlotAdd(Table &t, Init &&init) {
    std::lock_guard<std::mutex> guard(t.mutex);
    uint32_t index;
    typename Table::SlotType *slot;
    if (t.freeHead != 0) {
        index = t.freeHead;
        slot = SlotAt(t, index);
        t.freeHead = slot->nextFree;
        if (t.freeHead == 0) t.freeTail = 0;
    } else {
        if (t.used > Table::kIndexMask) return 0;
        index = t.used;
        uint32_t page = index / Table::kPageSize;
        if (t.pages[page].load(std::memory_order_relaxed) == nullptr) {
            auto *fresh = new (std::nothrow) typename Table::SlotType[Table::kPageSize];
            if (fresh == nullptr) return 0;
            t.pages[page].store(fresh, std::memory_order_release);
        }
        slot = SlotAt(t, index);
        t.used++;
    }
    slot->generation = slot->generation + 1 < Table::kGenerations ? slot->generation + 1 : 1;
    init(slot->value);
    uint32_t id = (slot->generation << Table::kIndexBits) | index;
    slot->id.store(id, std::memory_order_release);
    return id;
}

// Unpublishes the slot named by id, lets done release what its entry holds
// (still under the mutex), and queues the slot for reuse. False for a bad id.
template <typename Table, typename Done> bool SlotRemove(Table &t, uint32_t id, Done &&done) {
    std::lock_guard<std::mutex> guard(t.mutex);
    auto *entry = SlotLookup(t, id);
    if (entry == nullptr) return false;
    uint32_t index = id & Table::kIndexMask;
    auto *slot = SlotAt(t, index);
    slot->id.store(0, std::memory_order_release);
    done(*entry);
    slot->nextFree = 0;
    if (t.freeTail != 0) SlotAt(t, t.freeTail)->nextFree = index;
    else t.freeHead = index;
    t.freeTail = index;
    return true;
}

// Calls fn(id, entry) for every live slot. The caller holds t.mutex.
template <typename Table, typename Fn> void SlotForEachLocked(Table &t, Fn &&fn) {
    for (uint32_t index = 1; index < t.used; index++) {
        auto *slot = SlotAt(t, index);
        uint32_t id = slot->id.load(std::memory_order_relaxed);
        if (id != 0) fn(id, slot->value);
    }
}

} // namespace zun

#endif
