// Secrets in memory: passwords and keys are kept in buffers that are zeroed
// when released, and compared in time that does not depend on where they differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace zorvex::crypto {

// Zeroes `size` bytes in a way the compiler may not drop as a dead store.
void secureZero(void* data, size_t size);

// True when the two byte ranges are equal; looks at every byte whatever it finds.
bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t size);

// Zeroes every block it hands back, so that a container growing or dying
// leaves no copy of its contents behind. (A vector, not a string: a string
// keeps short contents inside itself, where no allocator sees them.)
template <class T>
struct ZeroingAllocator {
    using value_type = T;
    ZeroingAllocator() = default;
    template <class U>
    ZeroingAllocator(const ZeroingAllocator<U>&) {}
    T* allocate(size_t count) { return static_cast<T*>(::operator new(count * sizeof(T))); }
    void deallocate(T* p, size_t count) {
        secureZero(p, count * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const ZeroingAllocator<U>&) const { return true; }
};

using SecretBytes = std::vector<uint8_t, ZeroingAllocator<uint8_t>>;

}  // namespace zorvex::crypto
