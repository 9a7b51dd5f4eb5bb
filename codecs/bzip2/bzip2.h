// The "bzip2" codec: libbz2's decompressor with a per-block index that lets a
// seek resume at the block holding its target. Concatenated streams are
// decoded one after the other.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeBzip2Stream(const CodecRequest& request);

}  // namespace zorvex
