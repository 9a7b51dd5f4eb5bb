// An IStream over an entry's InStream, for the shell's copy engine and for
// binding to an item as a stream.
#pragma once

#include <windows.h>

#include <objidl.h>

#include <cstdint>

#include "engine/status.h"
#include "shell/engine_lock.h"
#include "shell/password_book.h"

namespace zorvex {
class InStream;
}

namespace zorvex::shell {

// What opening an entry for a reader outside the engine needs to know about
// its archive's password (shell/password_book.h).
struct PasswordAccess {
    HWND owner;  // of the password dialog
    const PasswordHold& hold;  // the archive's password, kept while the stream lives
    // Whether the user may be asked; cleared once asked, so that one copy
    // asks at most once however many encrypted entries it reads.
    bool* mayAsk;
};

// Opens item (kind, index) of `level` (see openItemStream) as an EntryStream.
// When its data needs the archive's password and none is known, asks the
// user (when access.mayAsk) outside the engine lock and opens it again.
// Fails, with the HRESULT the copy engine shows, when no password was given
// or the archive's check value says it is wrong (forgotten then, so that the
// next attempt asks again), and with E_FAIL when there is no stream at all.
HRESULT openEntryStream(const Locked<Archive>& level, uint8_t kind, int32_t index, const PasswordAccess& access,
                        IStream** out);

// The result of a read that failed for `status` (engine/status.h), in the
// terms the copy engine shows its user: a CRC error, a corrupt file, an
// unsupported request, access denied for an encrypted entry, ...
HRESULT readFailure(const Status& status);

// An entry time (seconds, local time as stored) as a UTC FILETIME; false for
// times of 0 or less and ones the runtime cannot split.
bool entryTimeToFiletime(int64_t time, FILETIME* out);

}  // namespace zorvex::shell
