// What the commands share: engine paths from the command line, names for
// display, and reading an entry with its size and CRC checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/refobject.h"
#include "engine/stream.h"
#include "tools/report.h"

namespace zorvex::cli {

#ifdef _WIN32
constexpr char kDisplaySeparator = '\\';
#else
constexpr char kDisplaySeparator = '/';
#endif

// The absolute engine path of a command-line path (UTF-8); "-" is standard
// input (tools/standard_input.h).
std::u16string engineArgumentPath(const std::string& argument);
// An absolute path without "." or ".." in the engine's spelling: what
// engineArgumentPath gives for it, for paths made per entry.
std::u16string enginePath(const std::filesystem::path& absolute);

// An engine name as UTF-8 for display (unconvertible units become "?").
std::string displayName(std::u16string_view name);

// "YYYY-MM-DD HH:MM:SS" in local time, or blanks when the time is unknown.
std::string formatTime(int64_t time);

// A file or nested archive of one level, as the commands read it.
struct LevelItem {
    std::u16string name;
    bool nested = false;
    int index = -1;  // in the file or nested view
    InStream* open(Archive* level) const;
    int64_t size(Archive* level) const;
    int64_t time(Archive* level) const;
    EntryChecks checks(Archive* level) const;
    const EntryMetadata& metadata(Archive* level) const;
};

// The entry a symbolic link entry of `level` points to in the same archive,
// through links to links; `level` becomes that entry's level. None when the
// target is absolute, climbs out of the archive, or is no file in it.
std::optional<LevelItem> linkedEntry(Ref<Archive>& level, LevelItem item);

// An engine path as UTF-8 with the system's separator: a link target as
// listed, and as a symbolic link holds it.
std::string displayPath(std::u16string_view path);

// The level's files and nested archives in the order that reads the archive
// front to back.
std::vector<LevelItem> itemsForExtraction(Archive* level);

// Whether the data `level`'s entries are read from is damaged. When that data
// is itself an entry of an enclosing archive (the tar inside a .gz), its
// checks (a CRC, a stated size) come after the last entry's data, so the rest
// of it is read first; an archive's own file is not read again. A CRC says
// nothing of where the damage lies: every entry read from that data is then
// suspect. Reading stops early when interrupted().
bool sourceFoundDamaged(Archive* level);

// What a failed read says (engine/status.h) after `total` bytes of
// `expected` (-1: unknown): counts where they tell the user more, such as
// "data ends after 10 of 100 bytes".
std::string failureText(const Status& status, int64_t total, int64_t expected);

// Why an entry of `level` could not be opened, after its open gave null.
std::string openFailureText(Archive* level);

// Reports a level that its reader found damaged, once, as "SUBJECT: LEVEL:
// damaged after N entries: REASON" (LEVEL empty for the archive itself).
// False when the level is whole.
bool reportDamagedLevel(Archive* level, Reporter& reporter, const std::string& subject, const std::string& levelPath);

// Receives decoded bytes; false stops the copy as a write failure.
using ByteSink = std::function<bool(const uint8_t* data, size_t size)>;

enum class CopyResult { kOk, kShort, kDamaged, kCheckFailed, kWriteFailed };

// Reads the whole stream into `sink`, checking that it yields exactly its size,
// that it was not found damaged and that it passes the checks the archive
// stores (CRC-32, BLAKE2sp). Short or damaged data and failed checks are
// reported as "SUBJECT: ENTRY: ..."; a write failure is left to the caller,
// which knows what it was writing.
CopyResult copyVerified(InStream* stream, const EntryChecks& stored, const ByteSink& sink, Reporter& reporter,
                        const std::string& subject, const std::string& entry);

}  // namespace zorvex::cli
