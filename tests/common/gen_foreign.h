// Generator of storage files written in the other byte order: the content
// of a NativeSpec with every 16- and 32-bit number most significant byte
// first, and one-bit flag fields allocated from the most significant bit:
//
//   header stateFlags (8-9), class flags (bytes 0-1 of a descriptor):
//       a big-endian word w whose bit 15 - i is the flag bit i
//   table record bytes 10-11: a big-endian word whose high byte holds the
//       in-use flag in bit 7, the indexed flag in bit 6 and the other flag
//       bits 2-7 in bits 0-5; its low byte is the class
//   host records of classes with flag 0x08 or 0x20: every 32-bit word
//       byte-reversed (a 16-bit word at an odd end), its own inverse
//
// The layout (every position) is the one BuildNative gives for the same
// spec. Run-time slots of the header (112-153) and its status hold leftovers.
#pragma once

#include "gen_native.h"

namespace gen {

NativeFile BuildForeign(const NativeSpec &spec);

// The two bytes written for a flag word, as a big-endian value.
uint16_t ForeignFlagWord(uint16_t flags);
// Byte 10 of a foreign table record for the table flags.
uint8_t ForeignTableFlags(uint8_t flags);

} // namespace gen
