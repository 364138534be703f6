// Byte-order helpers for converting files written in the other byte order.
#include <cstdint>
#include <cstring>

#include <zunvm/zunvm.h>

extern "C" void VMSwapWords(const void *source, void *dest, uint32_t bytes) {
    if (source == nullptr || dest == nullptr) return;
    auto *s = static_cast<const uint8_t *>(source);
    auto *d = static_cast<uint8_t *>(dest);
    for (uint32_t i = 0; i + 2 <= bytes; i += 2) {
        uint8_t a = s[i], b = s[i + 1];
        d[i] = b;
        d[i + 1] = a;
    }
    if (bytes % 2 != 0 && d != s) d[bytes - 1] = s[bytes - 1]; // a trailing odd byte is copied
}

extern "C" void VMSwapLongs(const void *source, void *dest, uint32_t bytes) {
    if (source == nullptr || dest == nullptr) return;
    auto *s = static_cast<const uint8_t *>(source);
    auto *d = static_cast<uint8_t *>(dest);
    uint32_t whole = bytes / 4 * 4;
    for (uint32_t i = 0; i < whole; i += 4) {
        uint8_t a = s[i], b = s[i + 1], c = s[i + 2], e = s[i + 3];
        d[i] = e;
        d[i + 1] = c;
        d[i + 2] = b;
        d[i + 3] = a;
    }
    if (d != s) std::memmove(d + whole, s + whole, bytes - whole); // trailing bytes are copied
}

extern "C" void VMSwapFlags(void *address) {
    if (address == nullptr) return;
    auto *p = static_cast<uint8_t *>(address);
    uint16_t w = static_cast<uint16_t>(p[0] << 8 | p[1]);
    uint16_t r = 0;
    for (int i = 0; i < 16; i++)
        if (w & (1u << (15 - i))) r |= static_cast<uint16_t>(1u << i);
    p[0] = static_cast<uint8_t>(r);
    p[1] = static_cast<uint8_t>(r >> 8);
}

// The conversion is done in place by the storage library; the services have
// nothing to prepare or release around it.
extern "C" FSStatus VMConvertBegin(const VMFileSpec *spec) { return spec == nullptr ? VM_E_BADSPEC : 0; }

extern "C" void VMConvertEnd(void) {}
