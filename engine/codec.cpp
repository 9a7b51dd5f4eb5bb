#include "engine/codec.h"

#include <algorithm>
#include <vector>

#include "engine/names.h"

namespace zorvex {
namespace {

// Built on first use, so that codecs registering from other translation units
// during static initialisation always find it.
std::vector<Codec*>& registry() {
    static std::vector<Codec*> codecs;
    return codecs;
}

}  // namespace

Codec::Codec(const char16_t* name) : name_(name) { registry().push_back(this); }

Codec::~Codec() {
    auto& codecs = registry();
    codecs.erase(std::remove(codecs.begin(), codecs.end(), this), codecs.end());
}

InStream* Codec::createStream(const CodecRequest& request) {
    if (request.inputs.empty() && !request.source) return nullptr;
    for (const CodecWindow& input : request.inputs)
        if (!input.stream) return nullptr;
    return makeStream(request);
}

Codec* findCodec(const char16_t* name) {
    if (!name) return nullptr;
    for (Codec* codec : registry())
        if (codec->name() && compareNoCase(codec->name(), name) == 0) return codec;
    return nullptr;
}

Codec* codecAt(int index) {
    auto& codecs = registry();
    if (index < 0 || index >= static_cast<int>(codecs.size())) return nullptr;
    return codecs[index];
}

int codecCount() { return static_cast<int>(registry().size()); }

Codec* damagedEntryCodec() {
    static FactoryCodec codec(u"damaged", [](const CodecRequest&) -> InStream* { return nullptr; });
    return &codec;
}

}  // namespace zorvex
