// The write-behind buffer of a save-as.
#include "save/writebehind.h"

#include <cstring>

namespace {

constexpr uint32_t kCapacity = 64512;
constexpr uint32_t kSmallest = 4096;

// One physical write, reported when asked for.
FSStatus Out(WriteBehind *wb, uint32_t position, uint32_t length, const void *data) {
    FSStatus status = VMWrite(wb->file, position, length, data);
    if (status == 0 && wb->report) SAReport(*wb->progress, 1, length);
    return status;
}

// Makes room for length bytes at position in the buffer and returns where
// they go, or null when they are to be written straight to the file.
// Flushes the bytes held when the new ones do not fit behind them.
FSStatus Place(WriteBehind *wb, uint32_t position, uint32_t length, uint8_t **at) {
    *at = nullptr;
    if (wb->data == nullptr) return 0;
    if (wb->held == 0) wb->first = position;
    if (position < wb->first || position - wb->first < wb->held) return WB_BACKWARDS;
    uint32_t gap = position - wb->first;
    if (uint64_t{gap} + length > wb->capacity) {
        FSStatus status = WBFlush(wb);
        if (status != 0 || length > wb->capacity) return status;
        wb->first = position;
        gap = 0;
    }
    if (gap > wb->held) std::memset(wb->data + wb->held, 0, size_t{gap} - wb->held);
    *at = wb->data + gap;
    wb->held = gap + length;
    return 0;
}

} // namespace

void SAReport(const SaveProgress &progress, uint32_t code, uint32_t bytes) {
    if (progress.callback == nullptr) return;
    FSProgress record{code, progress.context, bytes};
    progress.callback(nullptr, &record);
}

void WBStart(WriteBehind *wb, const VMFileSpec *file, const SaveProgress *progress) {
    *wb = WriteBehind{};
    wb->file = file;
    wb->progress = progress;
    for (uint32_t capacity = kCapacity; capacity >= kSmallest; capacity /= 2) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, capacity);
        if (block == 0) continue;
        auto *data = static_cast<uint8_t *>(GlobalLock(block));
        if (data == nullptr) {
            GlobalFree(block);
            continue;
        }
        wb->block = block;
        wb->data = data;
        wb->capacity = capacity;
        return;
    }
}

FSStatus WBWrite(WriteBehind *wb, uint32_t position, uint32_t length, const void *data) {
    if (length == 0) return 0;
    uint8_t *at;
    FSStatus status = Place(wb, position, length, &at);
    if (status != 0) return status;
    if (at == nullptr) return Out(wb, position, length, data);
    std::memcpy(at, data, length);
    return 0;
}

FSStatus WBReserve(WriteBehind *wb, uint32_t position, uint32_t length, uint8_t **at) {
    *at = nullptr;
    return length == 0 ? 0 : Place(wb, position, length, at);
}

FSStatus WBFlush(WriteBehind *wb) {
    if (wb->held == 0) return 0;
    FSStatus status = Out(wb, wb->first, wb->held, wb->data);
    wb->held = 0;
    return status;
}

FSStatus WBEnd(WriteBehind *wb, FSStatus status) {
    if (wb->data == nullptr) return status;
    if (status == 0) status = WBFlush(wb);
    GlobalUnlock(wb->block);
    GlobalFree(wb->block);
    *wb = WriteBehind{};
    return status;
}
