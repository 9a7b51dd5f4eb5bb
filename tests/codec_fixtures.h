// Helpers for codec tests: in-memory sources and codec streams over them.
#pragma once

#include <cstdint>
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
                               int64_t unpackedSize) {
    Codec* found = findCodec(codec);
    if (!found) return Ref<InStream>();
    return Ref<InStream>(found->createStream(u"entry", nullptr, 0, source, offset, packedSize, unpackedSize));
}

inline Ref<InStream> openCodec(const char16_t* codec, const std::vector<uint8_t>& packed, int64_t unpackedSize) {
    Ref<InStream> source = memorySource(packed);
    return openCodec(codec, source.get(), 0, static_cast<int64_t>(packed.size()), unpackedSize);
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
