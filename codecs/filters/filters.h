// Branch-call converters (x86, ARM, ARM Thumb, PowerPC, SPARC, IA-64, ARM64,
// RISC-V) and the byte delta filter, all served by one buffered converting
// stream.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

// The branch converters take their start offset from the request; "delta"
// takes its distance less one as its one property byte.
InStream* makeBcjStream(const CodecRequest& request);
InStream* makeArmStream(const CodecRequest& request);
InStream* makeArmtStream(const CodecRequest& request);
InStream* makePpcStream(const CodecRequest& request);
InStream* makeSparcStream(const CodecRequest& request);
InStream* makeIa64Stream(const CodecRequest& request);
InStream* makeArm64Stream(const CodecRequest& request);
InStream* makeRiscvStream(const CodecRequest& request);
InStream* makeDeltaStream(const CodecRequest& request);

}  // namespace zorvex
