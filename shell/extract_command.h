// ExtractW, the entry point rundll32 runs for the Extract command: it opens
// each archive, wraps the entries to extract in a data object and drops that
// on the target folder, so that the shell's copy engine writes the files with
// its own progress, overwrite and error dialogs. Levels found damaged are
// named in a message once the copy is over.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <optional>
#include <string>
#include <vector>

namespace zorvex::shell {

struct ExtractionRequest {
    std::wstring target;  // the folder to extract into
    std::vector<std::wstring> archives;
};

// The request in the extraction process's standard input (UTF-16LE lines:
// the target, possibly empty, then one archive per line; a last line without
// its line feed is incomplete and dropped). None when there is nothing to do.
std::optional<ExtractionRequest> parseExtractionInput(const std::u16string& input);

// The data object that extracts `archives` (one object for several); null
// when any of them cannot be opened or holds nothing. `damage`, when given,
// receives (null or not) a line "LEVEL: damaged after N entries: REASON" for
// each level on the way whose reader stopped at damage, of the archives
// opened; the entries such a level read are extracted all the same.
// Passwords are asked for in dialogs owned by `owner`, at most once per
// archive: as it is opened when its listing is encrypted, else when the copy
// first reads one of its encrypted entries.
IDataObject* extractionDataObject(const std::vector<std::wstring>& archives, IShellFolder* desktop,
                                  std::vector<std::wstring>* damage = nullptr, HWND owner = nullptr);

// Drops `data` on `target` and, when the target started an operation that is
// still running, serves messages until the data object ends it.
void dropAndWait(IDropTarget* target, IDataObject* data);

}  // namespace zorvex::shell
