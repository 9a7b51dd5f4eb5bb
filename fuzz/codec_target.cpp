// Fuzzes one codec family on its own, without a container in front. Built
// once per family, with ZORVEX_FUZZ_CODECS listing the family's codec names.
//
// The first input byte picks the codec (low four bits) and the unpacked size
// (1 MiB halved by the high four bits: the work per input stays bounded;
// sizes measured by decoding are exercised by the reader targets); the rest
// is the packed data, after the codec's property bytes for the codecs that
// take them (as .lzma files and raw xz filters keep them). The stream is
// read to its end within a fixed bound, rewound and read again.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/codec.h"
#include "engine/stream.h"
#include "fuzz/target.h"
#include "fuzz/walk.h"

namespace {

const char16_t* const kCodecs[] = {ZORVEX_FUZZ_CODECS};
constexpr int kCodecCount = static_cast<int>(std::size(kCodecs));
static_assert(kCodecCount <= 16, "the codec is picked by four bits");
constexpr int64_t kLargestSize = 1 << 20;

size_t propertyBytes(const char16_t* codec) {
    std::u16string_view name(codec);
    if (name == u"lzma") return 5;
    return name == u"lzma2" || name == u"delta" || name == u"reduce" || name == u"implode" ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Seeds are the packed data alone, named "*.raw-CODEC".
    std::vector<zorvex::fuzz::SeedKind> kinds;
    for (int i = 0; i < kCodecCount; ++i) kinds.push_back({u".raw-" + std::u16string(kCodecs[i]), i});
    zorvex::fuzz::answerSeedQuery(kinds);
    for (const char16_t* name : kCodecs)
        if (!zorvex::findCodec(name)) std::abort();  // the codec is not built in
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char16_t* name = kCodecs[(data[0] & 15) % kCodecCount];
    zorvex::Codec* codec = zorvex::findCodec(name);
    size_t properties = std::min(propertyBytes(name), size - 1);
    zorvex::InStream* source =
        zorvex::MemoryStream::create(u"packed", nullptr, 0, data + 1 + properties, size - 1 - properties);
    if (!source) return 0;
    zorvex::CodecRequest request;
    request.name = u"entry";
    request.source = source;
    request.packedSize = static_cast<int64_t>(size - 1 - properties);
    request.unpackedSize = kLargestSize >> (data[0] >> 4);
    request.properties = std::span<const uint8_t>(data + 1, properties);
    zorvex::walk::Budget budget;
    zorvex::walk::drain(codec->createStream(request), budget);
    source->release();
    return 0;
}
