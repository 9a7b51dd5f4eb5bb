// "lzma" and "lzma2": the SDK's LZMA and LZMA2 decoders as decoder streams.
// The properties (5 bytes for "lzma", 1 byte for "lzma2") lie at the head of
// the packed data; the stream reads them itself.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeLzmaStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize);
InStream* makeLzma2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
