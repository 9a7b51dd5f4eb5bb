// Fuzzes the BCJ2 and PPMd decoders. The first byte picks the codec and the
// output size; the rest is the packed data: for BCJ2 a table of its four
// inputs' sizes (64-bit little-endian) and the inputs back to back, for
// "ppmd-h" its 5 property bytes first.
// Each stream is read to its end, then read again after seeks back and forth.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/refobject.h"
#include "engine/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zorvex;
    static const char16_t* const kCodecs[] = {u"bcj2", u"ppmd-h", u"ppmd-i"};
    if (size < 1) return 0;
    Codec* codec = findCodec(kCodecs[data[0] % 3]);
    // Up to 21 KiB of output: enough for every decoder state, and it keeps a
    // PPMd model (bounded by the output size) well under the fuzzer's memory limit.
    int64_t unpacked = int64_t{data[0] / 3} << 8;
    Ref<InStream> source(MemoryStream::create(u"fuzz", nullptr, 0, data + 1, size - 1));
    if (!codec || !source) return 0;
    CodecRequest request;
    request.name = u"fuzz";
    request.source = source.get();
    request.packedSize = int64_t(size - 1);
    request.unpackedSize = unpacked;
    CodecWindow inputs[4];
    if (data[0] % 3 == 0) {
        // The four windows as the size table places them, cut to the data there is.
        int64_t at = 32;
        for (int i = 0; i < 4; ++i) {
            uint64_t stated = size - 1 >= 32 ? le64(data + 1 + 8 * i) : 0;
            uint64_t left = uint64_t(std::max<int64_t>(request.packedSize - at, 0));
            int64_t length = static_cast<int64_t>(std::min(stated, left));
            inputs[i] = {source.get(), at, length};
            at += length;
        }
        request.inputs = inputs;
    } else if (data[0] % 3 == 1) {
        size_t head = std::min<size_t>(5, size - 1);
        request.properties = std::span<const uint8_t>(data + 1, head);
        request.offset = int64_t(head);
        request.packedSize -= int64_t(head);
    }
    Ref<InStream> stream(codec->createStream(request));
    if (!stream) return 0;
    std::vector<uint8_t> buffer(4096);
    while (stream->read(buffer.data(), int(buffer.size())) > 0) {
    }
    for (int64_t position : {unpacked / 2, int64_t{0}, unpacked - 1})
        if (stream->seek(std::max<int64_t>(position, 0))) stream->read(buffer.data(), 100);
    return 0;
}
