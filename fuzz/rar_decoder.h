// Shared by the RAR block decoder fuzz targets. Input: a control byte (bit 0
// picks the second codec, bit 1 splits the data into two solid members at
// the middle), the unpacked size minus 1 (16 bits, little-endian), then the
// packed data. The stream is read to its end, then again after a seek back.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/rar/unpacker.h"
#include "engine/codec.h"
#include "engine/refobject.h"
#include "engine/stream.h"

namespace zorvex::fuzz {

inline void decodeRarInput(const char16_t* codec, const char16_t* secondCodec, const uint8_t* data, size_t size) {
    if (size < 3) return;
    const char16_t* name = data[0] & 1 ? secondCodec : codec;
    uint64_t unpacked = (data[1] | data[2] << 8) + 1u;
    const uint8_t* packed = data + 3;
    size_t packedSize = size - 3;
    std::vector<rar::Member> members;
    if (data[0] & 2) {
        members.push_back({packedSize / 2, unpacked / 2});
        members.push_back({packedSize - packedSize / 2, unpacked - unpacked / 2});
    } else {
        members.push_back({packedSize, unpacked});
    }
    std::vector<uint8_t> properties = rar::encodeProperties(0, members);

    Ref<InStream> source(MemoryStream::create(u"fuzz", nullptr, 0, packed, packedSize));
    Codec* found = findCodec(name);
    if (!source || !found) return;
    CodecRequest request;
    request.name = u"entry";
    request.source = source.get();
    request.packedSize = static_cast<int64_t>(packedSize);
    request.unpackedSize = static_cast<int64_t>(unpacked);
    request.properties = properties;
    Ref<InStream> stream(found->createStream(request));
    if (!stream) return;
    static uint8_t buf[4096];
    while (stream->read(buf, sizeof buf) > 0) {
    }
    if (stream->seek(static_cast<int64_t>(unpacked / 3))) stream->read(buf, sizeof buf);
}

}  // namespace zorvex::fuzz
