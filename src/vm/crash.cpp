// Crash simulation (VMFaultCrashAfter) and VMFaultReset.
//
// Mode 0 lets the first `writes` writes reach their files in order and then
// stops the machine. Mode 1 models a write cache that reorders: for each file
// (by device and inode) it keeps a journal of the changes made since the
// file's last successful flush, each with the bytes and size it overwrote.
// When the crash point is reached every journal is rolled back to the last
// flush and only the newest write of that file is applied again, which is the
// harshest outcome such a cache allows: the newest write landed, the older
// unflushed ones did not. Size changes made since the flush are rolled back
// too. Creations, renames and deletions made before the crash point persist.
//
// Journals are kept only while a crash is armed; writes from before arming
// count as flushed. All of this runs under one mutex: it is a test facility,
// and the normal file path only reads the `active` flag.
#include "vm/crash.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fault.h"
#include "vm/io.h"

namespace zun {
namespace {

struct Change {
    uint64_t offset;
    uint64_t oldSize;
    std::vector<uint8_t> oldBytes; // what [offset, offset + size) held before
};

struct Journal {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string path;
    std::vector<Change> changes;
    bool hasNewest = false; // the newest write, applied again after the rollback
    uint64_t newestOffset = 0;
    bool newestCuts = false;
    std::vector<uint8_t> newest;
};

std::mutex g_mutex;
std::atomic<bool> g_active{false};
std::atomic<bool> g_crashed{false};
uint32_t g_writesLeft = 0;
bool g_reorder = false;
std::vector<Journal> g_journals;

Journal &JournalOf(const OpenFile &f) {
    for (Journal &j : g_journals)
        if (j.dev == f.dev && j.ino == f.ino) return j;
    Journal &j = g_journals.emplace_back();
    j.dev = f.dev;
    j.ino = f.ino;
    j.path = f.path;
    return j;
}

void DropJournal(const OpenFile &f) {
    std::erase_if(g_journals, [&](const Journal &j) { return j.dev == f.dev && j.ino == f.ino; });
}

// Saves the file's size and its bytes in [offset, end) before a change.
FSStatus Remember(const OpenFile &f, uint64_t offset, uint64_t end) {
    uint64_t size;
    FSStatus status = SizeOf(f.fd, &size);
    if (status != 0) return status;
    Change c{offset, size, {}};
    end = std::min(end, size);
    if (offset < end) {
        c.oldBytes.resize(end - offset);
        status = ReadAll(f.fd, offset, c.oldBytes.data(), c.oldBytes.size());
        if (status != 0) return status;
    }
    JournalOf(f).changes.push_back(std::move(c));
    return 0;
}

// Rolls one file back to its last flush, then applies its newest write.
void Undo(const Journal &j) {
    int fd = open(j.path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return; // deleted since: nothing left to undo
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_dev == j.dev && st.st_ino == j.ino) {
        for (auto c = j.changes.rbegin(); c != j.changes.rend(); ++c) {
            WriteAll(fd, c->offset, c->oldBytes.data(), c->oldBytes.size());
            Truncate(fd, c->oldSize);
        }
        if (j.hasNewest) {
            WriteAll(fd, j.newestOffset, j.newest.data(), j.newest.size());
            if (j.newestCuts) Truncate(fd, j.newestOffset + j.newest.size());
        }
    }
    close(fd);
}

void Crash() {
    g_crashed.store(true, std::memory_order_release);
    for (const Journal &j : g_journals) Undo(j);
    g_journals.clear();
}

} // namespace

bool CrashActive() { return g_active.load(std::memory_order_acquire); }
bool CrashHappened() { return g_crashed.load(std::memory_order_acquire); }

FSStatus CrashWrite(OpenFile &f, uint64_t offset, const void *data, uint32_t length, bool cut) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (CrashHappened()) return 0;
    FSStatus status = 0;
    if (g_reorder) status = Remember(f, offset, cut ? UINT64_MAX : offset + length);
    if (status == 0) status = WriteAll(f.fd, offset, data, length);
    if (status == 0 && cut) status = Truncate(f.fd, offset + length);
    if (status != 0) return status; // a failed write does not count; its journal entry stays
    if (g_reorder) {
        Journal &j = JournalOf(f);
        j.hasNewest = true;
        j.newestOffset = offset;
        j.newestCuts = cut;
        auto *bytes = static_cast<const uint8_t *>(data);
        j.newest.assign(bytes, bytes + length);
    }
    if (--g_writesLeft == 0) Crash();
    return 0;
}

FSStatus CrashSetSize(OpenFile &f, uint64_t size) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (CrashHappened()) return 0;
    if (g_reorder) {
        FSStatus status = Remember(f, size, UINT64_MAX);
        if (status != 0) return status;
    }
    return Truncate(f.fd, size);
}

FSStatus CrashFlush(OpenFile &f) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (CrashHappened()) return 0;
    FSStatus status = SyncData(f.fd);
    if (status == 0) DropJournal(f);
    return status;
}

void CrashRenamed(const OpenFile &f) {
    std::lock_guard<std::mutex> guard(g_mutex);
    for (Journal &j : g_journals)
        if (j.dev == f.dev && j.ino == f.ino) j.path = f.path;
}

void CrashDeleted(const OpenFile &f) {
    std::lock_guard<std::mutex> guard(g_mutex);
    DropJournal(f);
}

} // namespace zun

extern "C" void VMFaultCrashAfter(uint32_t writes, uint32_t mode) {
    std::lock_guard<std::mutex> guard(zun::g_mutex);
    zun::g_journals.clear();
    zun::g_reorder = mode != 0;
    zun::g_writesLeft = writes;
    zun::g_crashed.store(false, std::memory_order_release);
    zun::g_active.store(true, std::memory_order_release);
    if (writes == 0) zun::Crash();
}

extern "C" int32_t VMFaultCrashed(void) { return zun::CrashHappened() ? 1 : 0; }

extern "C" void VMFaultReset(void) {
    zun::FaultResetCounters();
    std::lock_guard<std::mutex> guard(zun::g_mutex);
    zun::g_journals.clear();
    zun::g_active.store(false, std::memory_order_release);
    zun::g_crashed.store(false, std::memory_order_release);
}
