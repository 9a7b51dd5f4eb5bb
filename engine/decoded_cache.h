// Decoded data kept for a second reading. A nested archive inside a
// compressed stream (a tar inside a .gz) is decoded once to list it; a
// command that then reads its entries would decode it all again. Kept in a
// scratch file as it is first decoded, the data is read back from there
// instead, and memory stays small whatever the size.
#pragma once

#include "engine/stream.h"

namespace zorvex {

// A stream that reads `decoded` (whose count it takes) and keeps what it
// read, front to back, in a scratch file: bytes it has passed are read back
// from the file, and a jump ahead decodes (and keeps) the bytes in between.
// Keeping stops where the file would take more than half of the space that
// was free on its volume, or when writing fails; beyond that point the
// stream reads from `decoded` as it is. When no scratch file can be made,
// `decoded` itself is returned.
InStream* keepDecodedData(InStream* decoded);

}  // namespace zorvex
