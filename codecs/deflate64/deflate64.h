// The "deflate64" codec: Deflate with a 64 KiB history.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeDeflate64Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                              int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
