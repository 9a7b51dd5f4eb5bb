// "zip-jpeg": restores a baseline JPEG file from its recompressed form. The
// marker segments are stored (LZMA-compressed or plain) and each scan's
// coefficients are arithmetic-coded; the stream re-creates the Huffman-coded
// scan bytes one band of MCU rows at a time.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeZipJpegStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
