// The codecs of the oldest zip methods: "shrink" (1), "reduce" (2 to 5) and
// "implode" (6). Reduce takes one property byte, its compression factor (1
// to 4, the method number - 1); Implode one byte of the entry's general
// purpose flags (bit 1: an 8 KiB dictionary instead of 4 KiB; bit 2: three
// code trees, one of them for literals, instead of two). Their data has no
// end mark: the streams stop at the unpacked size.
#pragma once

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeShrinkStream(const CodecRequest& request);
InStream* makeReduceStream(const CodecRequest& request);
InStream* makeImplodeStream(const CodecRequest& request);

}  // namespace zorvex
