// "xz": the xz container (one or more streams of blocks, each block an LZMA2
// filter chain). Its decoded size comes from the stream indexes, read from the
// end of the data, so it is known without decoding; seeks restart at the block
// that holds the target. A source whose size is not known (a pipe) is
// decoded front to back instead: no index can be read before the data.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeXzStream(const CodecRequest& request);

// The front-to-back decoder makeXzStream uses for a source of unknown size.
InStream* makeXzForwardStream(const CodecRequest& request);

}  // namespace zorvex
