// Fuzzes one codec family on its own, without a container in front. Built
// once per family, with ZORVEX_FUZZ_CODECS listing the family's codec names.
//
// The first input byte picks the codec (low four bits) and the unpacked size
// (1 MiB halved by the high four bits: the work per input stays bounded;
// sizes measured by decoding are exercised by the reader targets); the rest
// is the packed data. The stream is read to its end within a fixed bound,
// rewound and read again.
#include <cstdint>
#include <iterator>
#include <string>
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
    zorvex::Codec* codec = zorvex::findCodec(kCodecs[(data[0] & 15) % kCodecCount]);
    int64_t unpackedSize = kLargestSize >> (data[0] >> 4);
    zorvex::InStream* source = zorvex::MemoryStream::create(u"packed", nullptr, 0, data + 1, size - 1);
    if (!source) return 0;
    zorvex::walk::Budget budget;
    zorvex::walk::drain(
        codec->createStream(u"entry", nullptr, 0, source, 0, static_cast<int64_t>(size - 1), unpackedSize), budget);
    source->release();
    return 0;
}
