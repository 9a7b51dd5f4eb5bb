// "zip-jpeg": restores a baseline JPEG file from its recompressed form. The
// marker segments are stored (LZMA-compressed or plain) and each scan's
// coefficients are arithmetic-coded; the stream re-creates the Huffman-coded
// scan bytes one band of MCU rows at a time.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeZipJpegStream(const CodecRequest& request);

}  // namespace zorvex
