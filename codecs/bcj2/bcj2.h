// The BCJ2 x86 branch converter: CALL and JMP targets kept in their own
// streams, an adaptive binary range coder telling which opcodes were
// converted.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

// The packed data starts with four unsigned 64-bit little-endian sizes, of
// the main, call, jump and range-coder streams, followed by those streams in
// that order.
InStream* makeBcj2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
