// CRC-32 (reflected polynomial 0xEDB88320), slicing by 8.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvex {

// Continues a CRC: start with crc32Update(0, ...) and chain the results; the
// value returned is final (inverted) after every call.
uint32_t crc32Update(uint32_t crc, const void* data, size_t size);

}  // namespace zorvex
