// "lzma" and "lzma2": the SDK's LZMA and LZMA2 decoders as decoder streams.
// Their properties (5 bytes for "lzma", 1 byte for "lzma2") come with the
// request. "lzip": the members of an lzip file, each checked against its
// trailer.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeLzmaStream(const CodecRequest& request);
InStream* makeLzipStream(const CodecRequest& request);

constexpr int kLzipHeaderBytes = 6;    // "LZIP", version, coded dictionary size
constexpr int kLzipTrailerBytes = 20;  // CRC-32, data size, member size
// The dictionary size an lzip member header codes; 0 when the header is not
// one or codes a size outside 4 KiB..512 MiB.
uint32_t lzipDictionarySize(const uint8_t* header);

InStream* makeLzma2Stream(const CodecRequest& request);

}  // namespace zorvex
