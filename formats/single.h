// Readers of the compressed single-file formats: each presents one entry, the
// decompressed data, named after the archive (x.tgz gives x.tar, which opens
// in its turn as a nested archive).
#pragma once

#include "engine/format_registry.h"

namespace zorvex {

class Archive;
class InStream;

Archive* openGzip(const char16_t* name, Archive* container, InStream* stream);
Archive* openBzip2(const char16_t* name, Archive* container, InStream* stream);
Archive* openLzma(const char16_t* name, Archive* container, InStream* stream);
Archive* openXz(const char16_t* name, Archive* container, InStream* stream);
Archive* openLzip(const char16_t* name, Archive* container, InStream* stream);
Archive* openZstd(const char16_t* name, Archive* container, InStream* stream);
// zstd data may begin with skippable frames (pzstd writes one before each
// frame): it is zstd when a frame follows them.
Bid probeZstd(const ProbeInput& input);

}  // namespace zorvex
