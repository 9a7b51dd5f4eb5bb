// The BCJ2 x86 branch converter: CALL and JMP targets kept in their own
// streams, an adaptive binary range coder telling which opcodes were
// converted.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

// Takes its four inputs from the request, in this order: the main, call,
// jump and range-coder streams. The decoded size must be known.
InStream* makeBcj2Stream(const CodecRequest& request);

}  // namespace zorvex
