// The "wavpack" codec: WavPack audio decoded back into the WAV file that was
// compressed (RIFF header, PCM samples, trailing chunks).
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

InStream* makeWavPackStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                            int64_t packedSize, int64_t unpackedSize);

}  // namespace zorvex
