// How entries leave an archive: a data object that the shell's copy engine
// reads as a list of file descriptors ("FileGroupDescriptorW") and one stream
// per file ("FileContents"). It persists itself, so that a copy on the
// clipboard outlives the folder it came from.
#pragma once

#include <windows.h>

#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "shell/engine_lock.h"
#include "shell/password_book.h"

namespace zorvex::shell {

// The clipboard formats the data objects serve, registered at load.
enum ClipboardFormat { kPreferredDropEffect, kFileGroupDescriptor, kFileContents, kShellIdList, kPersistOnFlush };
UINT clipboardFormat(ClipboardFormat which);

// The selection `items` (child identifiers of `level`) of the folder whose
// absolute list is `folderList` (both copied). Reading an encrypted entry
// asks for the archive's password (kept in `password`) once per object, in a
// dialog owned by `owner`, on the thread that asks for the entry's stream.
// Null when out of memory.
IDataObject* newEntryDataObject(Locked<Archive> level, LPCITEMIDLIST folderList, UINT count,
                                PCUITEMID_CHILD_ARRAY items, HWND owner, const PasswordHold& password);

// An empty object, to be filled by its IPersistStream::Load.
IDataObject* newEmptyEntryDataObject();

// Every entry of `level` for extraction, under `wrapper` (a folder name; empty:
// none); passwords as for newEntryDataObject. When the shell's copy ends, the
// object posts the quit message to the thread that made it.
IDataObject* newExtractionDataObject(Locked<Archive> level, LPCITEMIDLIST levelList, const std::u16string& wrapper,
                                     HWND owner, const PasswordHold& password);

// Several extraction objects as one (their references adopted); its end of
// operation always posts the quit message.
IDataObject* newMultiArchiveDataObject(std::vector<IDataObject*> members);

// Whether the shell started an operation on `object` that has not ended yet.
bool operationPending(IDataObject* object);

}  // namespace zorvex::shell
