// The module's state from load to unload: the live object count, the
// mutexes (the engine lock's among them), the temporary folder list, and the
// exports that the loader and COM call about the library's lifetime.
#include "shell/module.h"

#include <objbase.h>

#include <deque>

#include "engine/job_pool.h"
#include "shell/engine_lock.h"

namespace zorvex::shell {

namespace {

HINSTANCE moduleInstance = nullptr;
LONG liveObjects = 0;

// The three mutexes (engine, temporary folders, column cache), created at load
// and closed at unload.
constexpr int kEngineMutex = 0;
struct Mutexes {
    HANDLE handles[3];
    Mutexes() {
        for (HANDLE& h : handles) h = CreateMutexW(nullptr, FALSE, nullptr);
    }
    ~Mutexes() {
        for (HANDLE h : handles)
            if (h) CloseHandle(h);
    }
} mutexes;

// A deque keeps the strings in place as it grows: callers hold their pointers.
std::deque<std::wstring> temporaryFolders;

}  // namespace

HINSTANCE moduleHandle() { return moduleInstance; }

void objectCreated() { InterlockedIncrement(&liveObjects); }
void objectDestroyed() { InterlockedDecrement(&liveObjects); }
LONG objectCount() { return InterlockedCompareExchange(&liveObjects, 0, 0); }

ScopedLock::ScopedLock(LockId id) : mutex_(mutexes.handles[static_cast<int>(id)]) {
    WaitForSingleObject(mutex_, INFINITE);
}
ScopedLock::~ScopedLock() { ReleaseMutex(mutex_); }

EngineLock::EngineLock() { WaitForSingleObject(mutexes.handles[kEngineMutex], INFINITE); }
EngineLock::~EngineLock() { ReleaseMutex(mutexes.handles[kEngineMutex]); }

const wchar_t* addTemporaryFolder(const std::wstring& path) {
    ScopedLock lock(LockId::temporaryFolders);
    temporaryFolders.push_back(path);
    return temporaryFolders.back().c_str();
}

namespace {

// Paths are built as long as they need to be; the "\\?\" form lets Windows
// handle those beyond MAX_PATH.
void deleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            const DWORD attributes = found.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
            // A junction or link is removed itself; what it points at is not ours.
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                deleteTree(path);
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(path.c_str());
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

void deleteFolderTree(const wchar_t* folder) {
    std::wstring path = folder;
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') path.insert(0, L"\\\\?\\");
    deleteTree(path);
}

}  // namespace zorvex::shell

using namespace zorvex::shell;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        moduleInstance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    // A worker thread of a stream still running code of this library keeps it loaded.
    if (objectCount() != 0 || zorvex::liveJobWorkers() != 0) return S_FALSE;
    ScopedLock lock(LockId::temporaryFolders);
    for (const std::wstring& folder : temporaryFolders) deleteFolderTree(folder.c_str());
    temporaryFolders.clear();
    return S_OK;
}
