// The context menus: the one of items inside an archive folder (open, open
// with, copy) and the one the shell asks for archive files, folders that
// receive dragged archives and folder backgrounds ("Explore", "Extract").
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

namespace zorvex::shell {

class ArchiveFolder;

// The menu of `items` (child identifiers, copied) of `folder`.
IContextMenu* newItemContextMenu(ArchiveFolder* folder, HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items);

// The file menu, not yet initialised (IShellExtInit and IContextMenu).
IUnknown* newArchiveFileMenu();

// What the Extract command hands the extraction process on its standard
// input: UTF-16LE lines, the target folder (may be empty) and then each
// archive, every line ended by a line feed.
std::wstring extractionInput(const std::wstring& target, const std::vector<std::wstring>& archives);

// The extraction command: this library's Extract entry through rundll32 of the
// system folder. `application` receives rundll32's full path.
std::wstring extractionCommandLine(std::wstring* application);

// Starts `application` with `commandLine` and writes `input` to its standard
// input. Only the pipe's read end is inherited by the child. False when the
// process cannot be started.
bool startWithInput(const std::wstring& application, std::wstring commandLine, const std::wstring& input);

}  // namespace zorvex::shell
