// The C heap in the shape of the LZMA SDK's allocator interface, for every
// codec built over SDK code.
#pragma once

#include <cstdlib>

extern "C" {
#include "7zTypes.h"
}

namespace zorvex {

inline void* sdkHeapAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
inline void sdkHeapFree(ISzAllocPtr, void* address) { std::free(address); }
inline constexpr ISzAlloc kSdkHeap = {sdkHeapAlloc, sdkHeapFree};

}  // namespace zorvex
