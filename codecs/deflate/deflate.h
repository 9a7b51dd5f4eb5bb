// "deflate": raw Deflate data (no zlib or gzip header).
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

// Stream factory of the "deflate" codec. An unpacked size of -1 is learnt by
// decoding.
InStream* makeDeflateStream(const CodecRequest& request);

}  // namespace zorvex
