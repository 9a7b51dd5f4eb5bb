// The 7z AES-256 coder: a key derived from the password by SHA-256, and CBC
// decryption of the packed stream.
#pragma once

#include "engine/codec.h"

namespace zorvex {

// Work the key derivation may take: 2^24 rounds at most (about a second);
// an archive asking more is refused rather than keeping a command busy for
// hours.
inline constexpr int kMaxSevenZipCyclesPower = 24;

InStream* makeSevenZipAesStream(const CodecRequest& request);

}  // namespace zorvex
