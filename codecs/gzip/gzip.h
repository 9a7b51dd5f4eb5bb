// The "gzip" codec: the members of a gzip file decoded back to back, each
// member's header, CRC and size checked. Bytes after a member that do not
// start another one (zero padding, junk) end the data. Without a given size,
// a caller that asks for it gets the last trailer's size when nothing argues
// against it; otherwise the data is decoded to learn it.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeGzipStream(const CodecRequest& request);

}  // namespace zorvex
