#include "gen_foreign.h"

namespace gen {

uint16_t ForeignFlagWord(uint16_t flags) {
    uint16_t w = 0;
    for (int i = 0; i < 16; ++i)
        if (flags & (1u << i)) w = uint16_t(w | 1u << (15 - i));
    return w;
}

uint8_t ForeignTableFlags(uint8_t flags) {
    return uint8_t((flags & 0x01) << 7 | (flags & 0x02) << 5 | flags >> 2);
}

NativeFile BuildForeign(const NativeSpec &spec) {
    static const Encoding big{
        Put16BE, Put32BE,
        [](Bytes &b, uint32_t at, uint16_t flags) { Put16BE(b, at, ForeignFlagWord(flags)); },
        ForeignTableFlags, true};
    return BuildEncoded(spec, big);
}

} // namespace gen
