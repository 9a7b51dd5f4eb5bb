// The library's life in its host process: the module, the class identifier,
// the count of live objects that DllCanUnloadNow answers by, the locks, and
// the temporary folders it deletes when it may be unloaded.
#pragma once

#include <windows.h>

#include <string>

namespace zorvex::shell {

// {6B1F7C2A-58D3-4E0B-9A61-2F4D8C3E7A15}
inline constexpr CLSID kClsid = {0x6b1f7c2a, 0x58d3, 0x4e0b, {0x9a, 0x61, 0x2f, 0x4d, 0x8c, 0x3e, 0x7a, 0x15}};

HINSTANCE moduleHandle();

// Every live COM object of the library and every server lock counts once.
void objectCreated();
void objectDestroyed();
LONG objectCount();

// The library's other two mutexes (the engine's is taken only by EngineLock,
// shell/engine_lock.h).
enum class LockId { temporaryFolders = 1, columnCache = 2 };

// Holds one of them for its lifetime.
class ScopedLock {
public:
    explicit ScopedLock(LockId id);
    ~ScopedLock();
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    HANDLE mutex_;
};

// Registers a folder made for opening entries; DllCanUnloadNow deletes it.
// Returns the stored copy (owned by the list).
const wchar_t* addTemporaryFolder(const std::wstring& path);
// Deletes a folder with everything in it; failures are ignored.
void deleteFolderTree(const wchar_t* folder);

}  // namespace zorvex::shell
