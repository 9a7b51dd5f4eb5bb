// The "bzip2" codec: libbz2's decompressor with a per-block index that lets a
// seek resume at the block holding its target. Concatenated streams are
// decoded one after the other.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeBzip2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
