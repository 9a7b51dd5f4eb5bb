// Standard input as an archive. A pipe can be read only once, front to back,
// while readers seek: what they have read is kept in a scratch file
// (engine/decoded_cache.h), so that going back reads it from there. Readers
// that walk the data front to back (tar) pass through it once, and with a
// staging folder the entries' data goes straight into files of its own there
// (an extraction names them instead of writing them again); readers that ask
// for the size or the end first (7z, RAR, the compressed single streams)
// have all of it kept before they start. A zip that starts with a local
// header is read front to back instead (formats/zip.h): its entries are
// decoded as they arrive and only their decoded data is kept, each entry's
// in a file of its own as for tar. The scratch file takes at most half
// of the space free on its volume; data beyond that cannot be read again, and
// a reader that needs it finds the stream damaged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/archive.h"
#include "engine/status.h"

namespace zorvex {

// The engine path standard input is opened under ("\\dev\\stdin" made
// whole): while it is open, the path API finds it and the levels below it
// by that path.
std::u16string standardInputPath();

// The entry a compressed single stream read from standard input presents.
inline constexpr char16_t kStandardInputStream[] = u"stdin.out";

// Opens standard input as an archive (counted), with entries' data kept in
// `stagingFolder` when it is not empty, and `onRead` told how many bytes each
// read from the input took (for a progress line). Null when it opens as no
// archive; `failure` then says why when reading the input failed.
// A single compressed stream (a .gz, an .xz, a raw .lzma known by its header) is
// decoded as the input arrives, its packed data never kept: its one entry,
// kStandardInputStream, is the decoded data, and opens as the archive it
// starts with, since no name says what it holds. Its size is unknown until
// it has been decoded to the end.
// Encrypted data asks `passwords` for the password (engine/password.h).
Archive* openStandardInput(const std::u16string& stagingFolder, std::function<void(int64_t)> onRead,
                           Status& failure, PasswordSource* passwords = nullptr);

}  // namespace zorvex
