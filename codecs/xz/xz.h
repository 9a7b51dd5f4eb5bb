// "xz": the xz container (one or more streams of blocks, each block an LZMA2
// filter chain). Its decoded size comes from the stream indexes, read from the
// end of the data, so it is known without decoding; seeks restart at the block
// that holds the target.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeXzStream(const CodecRequest& request);

}  // namespace zorvex
