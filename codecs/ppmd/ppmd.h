// PPMd decoders over the LZMA SDK's models: variant H with the 7z range coder
// ("ppmd-h", 5 property bytes: order, memory size) and variant I revision 1
// ("ppmd-i", as in zip, 2 property bytes: order, memory, restore method).
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makePpmdHStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t unpackedSize);
InStream* makePpmdIStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t unpackedSize);

// The model memory a variant H stream of `outputSize` bytes gets for a
// declared size (see the definition).
uint32_t ppmdHModelSize(uint32_t declared, unsigned order, int64_t outputSize);

}  // namespace zorvex
