// The item identifiers minted for archive entries, and what the folder does
// with them: resolving lists to Archive levels, enumerating a level, parsing
// textual paths and ordering items for the view.
//
// Every function here that takes an Archive expects the engine lock held.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <cstdint>

namespace zorvex {
class Archive;
class InStream;
}  // namespace zorvex

namespace zorvex::shell {

enum EntryKind : uint8_t { kFolderEntry = 0, kNestedEntry = 1, kFileEntry = 2 };

#pragma pack(push, 1)
struct EntryId {
    uint16_t size;  // always 8: the item identifier's own size field
    uint8_t kind;   // an EntryKind
    uint8_t reserved;
    int32_t index;  // position in the parent's list of that kind
};
#pragma pack(pop)
static_assert(sizeof(EntryId) == 8, "the shell sees EntryId as an 8-byte item identifier");

inline constexpr SFGAOF kFolderAttributes = 0xB8000001;  // HASSUBFOLDER FOLDER FILESYSANCESTOR BROWSABLE CANCOPY
inline constexpr SFGAOF kNestedAttributes = 0xB8400001;  // the same and STREAM
inline constexpr SFGAOF kFileAttributes = 0x00400001;    // STREAM CANCOPY
SFGAOF kindAttributes(uint8_t kind);

// A single EntryId with its list terminator, task-allocated; null when out of memory.
LPITEMIDLIST makeEntryId(uint8_t kind, int32_t index);
// The first identifier of a list, when it is one of ours.
bool readEntryId(LPCITEMIDLIST list, EntryId* out);
// The identifier after `list`'s first one, or null at the end of the list.
LPCITEMIDLIST nextId(LPCITEMIDLIST list);
int idCount(LPCITEMIDLIST list);

// An item of an Archive level by kind and index.
const char16_t* itemName(Archive* archive, uint8_t kind, int32_t index);
int itemIndex(Archive* archive, uint8_t kind, const char16_t* name);
int64_t itemSize(Archive* archive, uint8_t kind, int32_t index);  // -1 for folders
// The size of what openItemStream gives: for a symbolic link, its target's
// size; -1 for folders and links that lead nowhere in the archive.
int64_t itemDataSize(Archive* archive, uint8_t kind, int32_t index);
int64_t itemTime(Archive* archive, uint8_t kind, int32_t index);
// Whether the item's data needs its archive's password (never for folders).
bool itemEncrypted(Archive* archive, uint8_t kind, int32_t index);
// The entry stream of a nested archive or a file (counted), checked by what
// the archive stores for it (CRC-32, BLAKE2sp); null for folders.
InStream* openItemStream(Archive* archive, uint8_t kind, int32_t index);

// The Archive named by the first `count` identifiers of `list` below
// `archive` (all of them when count is negative), with a reference for the
// caller; null when an identifier is not a folder or nested archive.
Archive* resolve(Archive* archive, LPCITEMIDLIST list, int count = -1);

// IShellFolder::ParseDisplayName over `archive`.
HRESULT parseDisplayName(Archive* archive, const wchar_t* name, ULONG* eaten, LPITEMIDLIST* out,
                         ULONG* attributes);
// IShellFolder::CompareIDs over `archive`.
HRESULT compareIds(Archive* archive, LPARAM column, LPCITEMIDLIST first, LPCITEMIDLIST second);
// A new enumerator over the children of `archive`, or null when out of memory.
IEnumIDList* newEntryEnumerator(Archive* archive, SHCONTF flags);

}  // namespace zorvex::shell
