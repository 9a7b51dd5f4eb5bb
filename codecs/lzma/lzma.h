// "lzma" and "lzma2": the SDK's LZMA and LZMA2 decoders as decoder streams.
// The properties (5 bytes for "lzma", 1 byte for "lzma2") lie at the head of
// the packed data; the stream reads them itself. "lzip": the members of an
// lzip file, each checked against its trailer.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeLzmaStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize);
InStream* makeLzipStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize);

constexpr int kLzipHeaderBytes = 6;    // "LZIP", version, coded dictionary size
constexpr int kLzipTrailerBytes = 20;  // CRC-32, data size, member size
// The dictionary size an lzip member header codes; 0 when the header is not
// one or codes a size outside 4 KiB..512 MiB.
uint32_t lzipDictionarySize(const uint8_t* header);

InStream* makeLzma2Stream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                          int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
