#include "convert/buffer.h"

#include <atomic>

#include <zunfs/zunfs.h>

namespace {
std::atomic<uint32_t> g_inUse{0};
}

FSStatus CVTake(CVBuffer &buf, uint32_t bytes, FSStatus lockFailure) {
    CVRelease(buf);
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, bytes == 0 ? 1 : bytes);
    if (h == 0) return FS_E_NOMEM;
    auto *data = static_cast<uint8_t *>(GlobalLock(h));
    if (data == nullptr) {
        GlobalFree(h);
        return lockFailure;
    }
    buf.handle = h;
    buf.data = data;
    g_inUse.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void CVRelease(CVBuffer &buf) {
    if (buf.handle == 0) return;
    GlobalUnlock(buf.handle);
    GlobalFree(buf.handle);
    buf.handle = 0;
    buf.data = nullptr;
    g_inUse.fetch_sub(1, std::memory_order_relaxed);
}

CVBuffer::~CVBuffer() { CVRelease(*this); }

uint32_t CVBuffersInUse() { return g_inUse.load(std::memory_order_relaxed); }
