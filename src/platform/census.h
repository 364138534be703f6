// Counts of the memory blocks alive now, for tests that check that a failed
// or finished operation left nothing allocated.
#ifndef ZUN_PLATFORM_CENSUS_H
#define ZUN_PLATFORM_CENSUS_H

#include <cstdint>

namespace zun {

// Movable blocks (GlobalAlloc) not yet freed.
uint32_t LiveGlobalBlocks();

// Control blocks (VMAlloc) not yet freed.
uint32_t LiveControlBlocks();

} // namespace zun

#endif
