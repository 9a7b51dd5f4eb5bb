// An IStream over an entry's InStream, for the shell's copy engine and for
// binding to an item as a stream.
#pragma once

#include <objidl.h>

#include <cstdint>

#include "engine/status.h"
#include "shell/engine_lock.h"

namespace zorvex {
class InStream;
}

namespace zorvex::shell {

// An IStream over `stream`; null when out of memory.
IStream* newEntryStream(Locked<InStream> stream);

// The result of a read that failed for `status` (engine/status.h), in the
// terms the copy engine shows its user: a CRC error, a corrupt file, an
// unsupported request, access denied for an encrypted entry, ...
HRESULT readFailure(const Status& status);

// An entry time (seconds, local time as stored) as a UTC FILETIME; false for
// times of 0 or less and ones the runtime cannot split.
bool entryTimeToFiletime(int64_t time, FILETIME* out);

}  // namespace zorvex::shell
