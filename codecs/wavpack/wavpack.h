// The "wavpack" codec: WavPack audio decoded back into the WAV file that was
// compressed (RIFF header, PCM samples, trailing chunks).
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeWavPackStream(const CodecRequest& request);

}  // namespace zorvex
