#include "codecs/crypto/secret.h"

namespace zorvex::crypto {

void secureZero(void* data, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    while (size--) *p++ = 0;
}

bool constantTimeEqual(const uint8_t* a, const uint8_t* b, size_t size) {
    uint8_t difference = 0;
    for (size_t i = 0; i < size; ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

}  // namespace zorvex::crypto
