// The "deflate64" codec: Deflate with a 64 KiB history.
#pragma once

#include <cstdint>

namespace zorvex {

class InStream;
struct CodecRequest;

InStream* makeDeflate64Stream(const CodecRequest& request);

}  // namespace zorvex
