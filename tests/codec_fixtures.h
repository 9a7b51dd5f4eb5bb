// Helpers for codec tests: in-memory sources and codec streams over them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/refobject.h"
#include "engine/stream.h"
#include "tests/test_util.h"

namespace zorvex::test {

inline Ref<InStream> memorySource(const std::vector<uint8_t>& bytes) {
    return Ref<InStream>(MemoryStream::create(u"source", nullptr, 0, bytes.data(), bytes.size()));
}

// The stream of codec `codec` over packed data [offset, offset + packedSize) of `source`.
inline Ref<InStream> openCodec(const char16_t* codec, InStream* source, int64_t offset, int64_t packedSize,
                               int64_t unpackedSize, std::span<const uint8_t> properties = {}) {
    Codec* found = findCodec(codec);
    if (!found) return Ref<InStream>();
    CodecRequest request;
    request.name = u"entry";
    request.source = source;
    request.offset = offset;
    request.packedSize = packedSize;
    request.unpackedSize = unpackedSize;
    request.properties = properties;
    return Ref<InStream>(found->createStream(request));
}

inline Ref<InStream> openCodec(const char16_t* codec, const std::vector<uint8_t>& packed, int64_t unpackedSize,
                               std::span<const uint8_t> properties = {}) {
    Ref<InStream> source = memorySource(packed);
    return openCodec(codec, source.get(), 0, static_cast<int64_t>(packed.size()), unpackedSize, properties);
}

// Test data made by the tools keeps a codec's properties at its head (a
// .lzma file's first 5 bytes, a raw xz filter's property byte): the codec
// then gets the head as properties and the rest as packed data.
inline Ref<InStream> openPropertiesFirst(const char16_t* codec, const std::vector<uint8_t>& bytes,
                                         int64_t unpackedSize) {
    struct Head {
        const char16_t* codec;
        size_t size;
    };
    static constexpr Head kHeads[] = {{u"lzma", 5}, {u"lzma2", 1}, {u"delta", 1}, {u"ppmd-h", 5}};
    size_t head = 0;
    for (const Head& known : kHeads)
        if (findCodec(known.codec) == findCodec(codec)) head = std::min(known.size, bytes.size());
    Ref<InStream> source = memorySource(bytes);
    return openCodec(codec, source.get(), static_cast<int64_t>(head), static_cast<int64_t>(bytes.size() - head),
                     unpackedSize, std::span(bytes.data(), head));
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Reads `count` bytes at `position` after seeking there (fewer at the end).
inline std::vector<uint8_t> readAt(InStream* stream, int64_t position, int count) {
    std::vector<uint8_t> out(count);
    if (!stream->seek(position)) return {};
    int got = 0;
    while (got < count) {
        int n = stream->read(out.data() + got, count - got);
        if (n <= 0) break;
        got += n;
    }
    out.resize(got);
    return out;
}

// Everything from the current position, read `piece` bytes at a time.
inline std::vector<uint8_t> readInPieces(InStream* stream, int piece) {
    std::vector<uint8_t> out, buf(piece);
    for (int n; (n = stream->read(buf.data(), piece)) > 0;) out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
}

inline std::vector<uint8_t> slice(const std::vector<uint8_t>& data, size_t position, size_t count) {
    return std::vector<uint8_t>(data.begin() + position, data.begin() + position + count);
}

// Runs `command` in `dir` and fails the test when it does not succeed.
inline void mustRun(const TempDir& dir, const std::string& command) {
    ASSERT_EQ(run("cd '" + dir.path().string() + "' && " + command), 0) << command;
}

}  // namespace zorvex::test
