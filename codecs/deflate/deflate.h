// "deflate": raw Deflate data (no zlib or gzip header).
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

// Stream factory of the "deflate" codec. An unpacked size of -1 is learnt by
// decoding.
InStream* makeDeflateStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
