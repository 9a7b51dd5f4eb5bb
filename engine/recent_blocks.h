// Recently read blocks of a stream whose seeks restart its decoder
// (InStream::restartsNearby). A reader that goes a little back (a file
// system's read-ahead served by several threads hands reads over out of
// order) would make the decoder restart and decode megabytes again; the last
// few blocks are kept in memory instead.
#pragma once

#include "engine/stream.h"

namespace zorvex {

// A stream over `inner` (whose count it takes) that keeps the last blocks it
// read whole and undamaged; null when memory is short (`inner` released).
InStream* keepRecentBlocks(InStream* inner);

}  // namespace zorvex
