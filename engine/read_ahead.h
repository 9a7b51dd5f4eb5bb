// A stream decoded ahead of its reader on a worker thread: the worker reads
// the source front to back into a ring of a few blocks while the reader
// takes bytes from the ring, so that a consumer that decodes other streams
// itself (BCJ2 and its three small inputs) overlaps with the big one.
//
// The worker reads the source without any lock: the source, and everything
// it reads in turn, must be read by nothing else while the stream lives
// (give it its own SharedStream view of a shared file). The worker touches
// no counts; it is stopped and joined by any seek to another position and by
// destruction, so no thread outlives the stream. When the thread or the ring
// cannot be had, or no worker is allowed (jobWorkerCount), reads go to the
// source directly.
#pragma once

#include "engine/stream.h"

namespace zorvex {

// A stream that reads `source` (whose count it raises) ahead; null when
// memory is short. Its size is the source's at this call; damage the source
// reports reaches the stream with the bytes read before it was seen.
InStream* openReadAhead(InStream* source);

}  // namespace zorvex
