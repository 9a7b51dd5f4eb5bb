// The C heap in the shape of the LZMA SDK's allocator interface, for every
// codec built over SDK code, and the large-page variant for PPMd models and
// LZMA dictionaries.
#pragma once

#include <cstdlib>

#include "platform/platform.h"

extern "C" {
#include "7zTypes.h"
}

namespace zorvex {

inline void* sdkHeapAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
inline void sdkHeapFree(ISzAllocPtr, void* address) { std::free(address); }
inline constexpr ISzAlloc kSdkHeap = {sdkHeapAlloc, sdkHeapFree};

// PPMd models and LZMA dictionaries are read all over: large pages make
// decoding markedly faster.
inline void* sdkLargeAlloc(ISzAllocPtr, size_t size) { return platform::allocateLarge(size); }
inline void sdkLargeFree(ISzAllocPtr, void* address) { platform::freeLarge(address); }
inline constexpr ISzAlloc kSdkLargeHeap = {sdkLargeAlloc, sdkLargeFree};

}  // namespace zorvex
