// Movable memory: locks, resizing, discarding, handle validation, moves.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <zunvm/zunvm.h>

namespace {

// Frees the handle at the end of a test.
struct Block {
    HGLOBAL h;
    explicit Block(uint32_t bytes, uint32_t flags = GMEM_MOVEABLE) : h(GlobalAlloc(flags, bytes)) {}
    ~Block() { GlobalFree(h); }
};

void Fill(void *p, uint32_t n, uint8_t seed) {
    auto *b = static_cast<uint8_t *>(p);
    for (uint32_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(seed + i * 7);
}

bool Holds(const void *p, uint32_t n, uint8_t seed) {
    auto *b = static_cast<const uint8_t *>(p);
    for (uint32_t i = 0; i < n; i++)
        if (b[i] != static_cast<uint8_t>(seed + i * 7)) return false;
    return true;
}

bool AllZero(const void *p, uint32_t n) {
    auto *b = static_cast<const uint8_t *>(p);
    for (uint32_t i = 0; i < n; i++)
        if (b[i] != 0) return false;
    return true;
}

TEST(MovableMemory, LocksNestAndCount) {
    Block b(100);
    ASSERT_NE(b.h, 0u);
    EXPECT_EQ(VMDeref(b.h), nullptr); // not locked yet
    void *p1 = GlobalLock(b.h);
    void *p2 = GlobalLock(b.h);
    void *p3 = GlobalLock(b.h);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(p1, p3);
    EXPECT_EQ(GlobalFlags(b.h) & GMEM_LOCKCOUNT, 3u);
    EXPECT_EQ(VMDeref(b.h), p1);
    EXPECT_NE(GlobalUnlock(b.h), 0);
    EXPECT_NE(GlobalUnlock(b.h), 0);
    EXPECT_EQ(GlobalUnlock(b.h), 0);
    EXPECT_EQ(GlobalFlags(b.h), 0u);
    EXPECT_EQ(GlobalUnlock(b.h), 0); // an extra unlock does not go below 0
    EXPECT_EQ(GlobalFlags(b.h), 0u);
    EXPECT_EQ(VMDeref(b.h), nullptr);
}

TEST(MovableMemory, SizesAreReportedSizesAndContentStartsZero) {
    for (uint32_t request : {1u, 15u, 16u, 17u, 1000u, 61440u}) {
        Block b(request, GMEM_MOVEABLE);
        uint32_t size = GlobalSize(b.h);
        EXPECT_GE(size, request);
        EXPECT_LT(size, request + 16);
        void *p = GlobalLock(b.h);
        ASSERT_NE(p, nullptr);
        EXPECT_TRUE(AllZero(p, size)); // reproducible content even without GMEM_ZEROINIT
        GlobalUnlock(b.h);
    }
    Block empty(0);
    ASSERT_NE(empty.h, 0u);
    EXPECT_EQ(GlobalSize(empty.h), 0u);
    EXPECT_EQ(GlobalLock(empty.h), nullptr);
    EXPECT_EQ(GlobalFlags(empty.h), 0u); // the failed lock was not counted
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 0xFFFFFFFFu), 0u); // does not fit once rounded
}

TEST(MovableMemory, ResizeKeepsContentAndZeroesGrowth) {
    Block b(100);
    Fill(GlobalLock(b.h), 100, 3);
    GlobalUnlock(b.h);

    ASSERT_EQ(GlobalReAlloc(b.h, 5000, GMEM_MOVEABLE), b.h);
    EXPECT_GE(GlobalSize(b.h), 5000u);
    auto *p = static_cast<uint8_t *>(GlobalLock(b.h));
    EXPECT_TRUE(Holds(p, 100, 3));
    EXPECT_TRUE(AllZero(p + GlobalSize(b.h) - 4900, 4900 - 16));
    GlobalUnlock(b.h);

    ASSERT_EQ(GlobalReAlloc(b.h, 50, 0), b.h);
    EXPECT_EQ(GlobalSize(b.h), 64u);
    EXPECT_TRUE(Holds(GlobalLock(b.h), 50, 3));

    // A locked block may be resized: its address changes and VMDeref follows.
    HGLOBAL h = b.h;
    ASSERT_EQ(VMRealloc(&h, 100000), 0);
    EXPECT_EQ(h, b.h);
    EXPECT_TRUE(Holds(VMDeref(h), 50, 3));
    EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 1u);
    // but not emptied while locked
    EXPECT_EQ(GlobalReAlloc(h, 0, 0), 0u);
    EXPECT_GE(GlobalSize(h), 100000u);
    GlobalUnlock(h);
    EXPECT_EQ(GlobalReAlloc(h, 0, 0), h);
    EXPECT_EQ(GlobalSize(h), 0u);
}

TEST(MovableMemory, ModifyChangesOnlyTheDiscardableState) {
    Block b(200);
    Fill(GlobalLock(b.h), 200, 9);
    GlobalUnlock(b.h);
    uint32_t size = GlobalSize(b.h);
    ASSERT_EQ(GlobalReAlloc(b.h, 0, GMEM_MODIFY | GMEM_DISCARDABLE | GMEM_MOVEABLE), b.h);
    EXPECT_EQ(GlobalFlags(b.h), static_cast<uint32_t>(GMEM_DISCARDABLE));
    EXPECT_EQ(GlobalSize(b.h), size);
    ASSERT_EQ(GlobalReAlloc(b.h, 0, GMEM_MODIFY), b.h);
    EXPECT_EQ(GlobalFlags(b.h), 0u);
    EXPECT_EQ(GlobalSize(b.h), size);
    EXPECT_TRUE(Holds(GlobalLock(b.h), 200, 9));
    GlobalUnlock(b.h);
}

TEST(MovableMemory, OnlyUnlockedDiscardableBlocksAreReclaimed) {
    Block kept(64);
    Block locked(64, GMEM_MOVEABLE | GMEM_DISCARDABLE);
    Block idle(64, GMEM_MOVEABLE | GMEM_DISCARDABLE);
    void *p = GlobalLock(locked.h);
    Fill(p, 64, 1);
    Fill(GlobalLock(idle.h), 64, 2);
    GlobalUnlock(idle.h);

    EXPECT_EQ(GlobalReclaimDiscardable(), 1u);
    EXPECT_EQ(GlobalFlags(kept.h), 0u);
    EXPECT_EQ(GlobalFlags(locked.h), GMEM_DISCARDABLE | 1u);
    EXPECT_TRUE(Holds(p, 64, 1));
    EXPECT_EQ(GlobalFlags(idle.h), static_cast<uint32_t>(GMEM_DISCARDABLE | GMEM_DISCARDED));

    // A reclaimed block keeps its handle, reports no size and cannot be locked.
    EXPECT_EQ(GlobalSize(idle.h), 0u);
    EXPECT_EQ(GlobalLock(idle.h), nullptr);
    EXPECT_EQ(GlobalFlags(idle.h) & GMEM_LOCKCOUNT, 0u);
    EXPECT_EQ(VMDeref(idle.h), nullptr);
    // Making it ordinary again does not bring the data back.
    GlobalReAlloc(idle.h, 0, GMEM_MODIFY);
    EXPECT_EQ(GlobalFlags(idle.h), static_cast<uint32_t>(GMEM_DISCARDED));
    // Resizing gives it new, zeroed memory.
    ASSERT_EQ(GlobalReAlloc(idle.h, 64, GMEM_MOVEABLE), idle.h);
    EXPECT_EQ(GlobalFlags(idle.h), 0u);
    EXPECT_TRUE(AllZero(GlobalLock(idle.h), 64));
    GlobalUnlock(idle.h);

    GlobalUnlock(locked.h);
    EXPECT_EQ(GlobalReclaimDiscardable(), 1u);
    EXPECT_EQ(GlobalReclaimDiscardable(), 0u); // already reclaimed
}

TEST(MovableMemory, FreedForgedAndNullHandlesAreRefused) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 32);
    ASSERT_EQ(GlobalFree(h), 0u);
    // Reuse the slot many times: the old handle must never come back to life.
    std::vector<HGLOBAL> others;
    for (int i = 0; i < 100; i++) others.push_back(GlobalAlloc(GMEM_MOVEABLE, 8));
    // Forged: an index never handed out, and generation 0, which is never used.
    for (HGLOBAL bad : {h, HGLOBAL{0}, HGLOBAL{0x001FFFFF}, h & 0x000FFFFFu}) {
        EXPECT_EQ(GlobalLock(bad), nullptr);
        EXPECT_EQ(GlobalUnlock(bad), 0);
        EXPECT_EQ(GlobalFlags(bad), static_cast<uint32_t>(GMEM_INVALID_HANDLE));
        EXPECT_EQ(GlobalSize(bad), 0u);
        EXPECT_EQ(GlobalReAlloc(bad, 10, 0), 0u);
        EXPECT_EQ(GlobalReAlloc(bad, 0, GMEM_MODIFY), 0u);
        EXPECT_EQ(VMDeref(bad), nullptr);
        HGLOBAL copy = bad;
        EXPECT_EQ(VMRealloc(&copy, 10), VM_E_BADSPEC);
        EXPECT_EQ(GlobalFree(bad), bad);
    }
    EXPECT_EQ(VMRealloc(nullptr, 10), VM_E_BADSPEC);
    for (HGLOBAL o : others) {
        EXPECT_NE(o, h);
        EXPECT_EQ(GlobalFree(o), 0u);
    }
    // A locked block can be freed too.
    HGLOBAL l = GlobalAlloc(GMEM_MOVEABLE, 8);
    ASSERT_NE(GlobalLock(l), nullptr);
    EXPECT_EQ(GlobalFree(l), 0u);
    EXPECT_EQ(GlobalFlags(l), static_cast<uint32_t>(GMEM_INVALID_HANDLE));
}

TEST(MovableMemory, MoveOnLockMovesAndPoisonsTheOldBytes) {
    GlobalSetMoveOnLock(1);
    Block b(40);
    auto *first = static_cast<uint8_t *>(GlobalLock(b.h));
    Fill(first, 40, 5);
    EXPECT_EQ(GlobalLock(b.h), first); // a nested lock does not move
    GlobalUnlock(b.h);
    GlobalUnlock(b.h);
    auto *second = static_cast<uint8_t *>(GlobalLock(b.h));
    EXPECT_NE(second, first);
    EXPECT_TRUE(Holds(second, 40, 5));
    for (int i = 0; i < 40; i++) ASSERT_EQ(first[i], 0xDB) << "byte " << i;
    GlobalUnlock(b.h);
    GlobalSetMoveOnLock(0);
    void *third = GlobalLock(b.h);
    EXPECT_EQ(GlobalLock(b.h), third);
    GlobalUnlock(b.h);
    GlobalUnlock(b.h);
    EXPECT_EQ(GlobalLock(b.h), third); // switched off: no more moves
    GlobalUnlock(b.h);
}

TEST(MovableMemory, ControlBlocksAreZeroFilled) {
    auto *p = static_cast<uint8_t *>(VMAlloc(300));
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(AllZero(p, 300));
    std::memcpy(p, "abcdef", 6);
    VMCopyMem(p + 2, p, 4); // overlapping ranges
    EXPECT_EQ(std::memcmp(p, "ababcd", 6), 0);
    VMFree(p);
    VMFree(nullptr);
}

// Threads that each own their blocks, while another reclaims discardable
// blocks: a lock either finds the data intact or reports it reclaimed.
TEST(MovableMemoryThreads, OwnBlocksPerThreadWithConcurrentReclaim) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread reclaimer([&] {
        while (!stop.load()) GlobalReclaimDiscardable();
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; t++) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 300; i++) {
                auto seed = static_cast<uint8_t>(t * 31 + i);
                uint32_t n = 64 + static_cast<uint32_t>(i % 7) * 100;
                HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, n);
                Fill(GlobalLock(h), n, seed);
                GlobalUnlock(h);
                if (GlobalReAlloc(h, n * 2, 0) != h) failures++;
                void *p = GlobalLock(h);
                if (!Holds(p, n, seed)) failures++;
                GlobalUnlock(h);
                GlobalReAlloc(h, 0, GMEM_MODIFY | GMEM_DISCARDABLE);
                p = GlobalLock(h);
                if (p != nullptr ? !Holds(p, n, seed) : !(GlobalFlags(h) & GMEM_DISCARDED))
                    failures++;
                if (p != nullptr) GlobalUnlock(h);
                if (GlobalFree(h) != 0) failures++;
            }
        });
    }
    for (std::thread &w : workers) w.join();
    stop = true;
    reclaimer.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
