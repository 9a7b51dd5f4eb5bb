// Branch-call converters (x86, ARM, ARM Thumb, PowerPC, SPARC, IA-64, ARM64,
// RISC-V, each plain and with a 4-byte start offset at the head of the data)
// and the byte delta filter, all served by one buffered converting stream.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

#define ZORVEX_FILTER_FACTORY(function)                                                                     \
    InStream* function(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset, \
                       int64_t packedSize, int64_t unpackedSize)

ZORVEX_FILTER_FACTORY(makeBcjStream);
ZORVEX_FILTER_FACTORY(makeBcjOffsetStream);
ZORVEX_FILTER_FACTORY(makeArmStream);
ZORVEX_FILTER_FACTORY(makeArmOffsetStream);
ZORVEX_FILTER_FACTORY(makeArmtStream);
ZORVEX_FILTER_FACTORY(makeArmtOffsetStream);
ZORVEX_FILTER_FACTORY(makePpcStream);
ZORVEX_FILTER_FACTORY(makePpcOffsetStream);
ZORVEX_FILTER_FACTORY(makeSparcStream);
ZORVEX_FILTER_FACTORY(makeSparcOffsetStream);
ZORVEX_FILTER_FACTORY(makeIa64Stream);
ZORVEX_FILTER_FACTORY(makeIa64OffsetStream);
ZORVEX_FILTER_FACTORY(makeArm64Stream);
ZORVEX_FILTER_FACTORY(makeArm64OffsetStream);
ZORVEX_FILTER_FACTORY(makeRiscvStream);
ZORVEX_FILTER_FACTORY(makeRiscvOffsetStream);
ZORVEX_FILTER_FACTORY(makeDeltaStream);

#undef ZORVEX_FILTER_FACTORY

}  // namespace zorvex
