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
//
// With a staging folder (one in the destination of an extraction), entries'
// data that a reader announces with keepApart is kept in files of their own
// there, without names: linkRange then gives such a file the name of the
// extracted file, so that its bytes are written once, not kept, read back and
// written again. A range announced without its size (-1) ends where endApart
// says; one that turns out smaller than is worth a file joins the scratch
// file then.
InStream* keepDecodedData(InStream* decoded, const std::u16string& stagingFolder = {});

}  // namespace zorvex
