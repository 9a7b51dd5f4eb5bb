// "xz": the xz container (one or more streams of blocks, each block an LZMA2
// filter chain). Its decoded size comes from the stream indexes, read from the
// end of the data, so it is known without decoding; seeks restart at the block
// that holds the target.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeXzStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                       int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
