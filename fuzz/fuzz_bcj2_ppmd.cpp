// Fuzzes the BCJ2 and PPMd decoders. The first byte picks the codec and the
// output size; the rest is the packed data (size table or properties first).
// Each stream is read to its end, then read again after seeks back and forth.
#include <algorithm>
#include <cstdint>
#include <vector>

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
    Ref<InStream> stream(codec->createStream(u"fuzz", nullptr, 0, source.get(), 0, int64_t(size - 1), unpacked));
    if (!stream) return 0;
    std::vector<uint8_t> buffer(4096);
    while (stream->read(buffer.data(), int(buffer.size())) > 0) {
    }
    for (int64_t position : {unpacked / 2, int64_t{0}, unpacked - 1})
        if (stream->seek(std::max<int64_t>(position, 0))) stream->read(buffer.data(), 100);
    return 0;
}
