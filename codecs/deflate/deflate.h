// "deflate": raw Deflate data (no zlib or gzip header) decoded by zlib's inflate.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

// Stream factory of the "deflate" codec. With an unpacked size of -1 the data
// is decoded once to learn its size.
InStream* makeDeflateStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
