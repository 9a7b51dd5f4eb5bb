// PPMd decoders over the LZMA SDK's models: variant H with the 7z range coder
// ("ppmd-h", 5 property bytes in the request: order, memory size) and variant
// I revision 1 ("ppmd-i", as in zip, 2 bytes at the head of the data: order,
// memory, restore method).
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makePpmdHStream(const CodecRequest& request);
InStream* makePpmdIStream(const CodecRequest& request);

// The model memory a variant H stream of `outputSize` bytes gets for a
// declared size (see the definition).
uint32_t ppmdHModelSize(uint32_t declared, unsigned order, int64_t outputSize);

}  // namespace zorvex
