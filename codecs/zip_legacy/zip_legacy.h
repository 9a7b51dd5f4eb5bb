// The codecs of the oldest zip methods: "shrink" (1), "reduce-1" to
// "reduce-4" (2 to 5, by compression factor) and "implode-4k-2",
// "implode-4k-3", "implode-8k-2", "implode-8k-3" (6, by dictionary size and
// number of code trees, which the entry's flags give). Their data has no end
// mark: the streams stop at the unpacked size.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeShrinkStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                           int64_t packedSize, int64_t unpackedSize);
// kFactor: 1 to 4.
template <int kFactor>
InStream* makeReduceStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                           int64_t packedSize, int64_t unpackedSize);
// An 8 KiB dictionary instead of 4 KiB; three trees (one for literals) instead of two.
template <bool kBigDictionary, bool kLiteralTree>
InStream* makeImplodeStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
