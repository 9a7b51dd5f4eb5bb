// The library entry point, the class factory and the exports that make the
// library a COM server (registration is in registration.cpp).
#include "shell/server.h"

#include <objbase.h>

#include <deque>

#include "shell/archive_folder.h"
#include "shell/data_object.h"
#include "shell/engine_lock.h"
#include "shell/menus.h"

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

struct ClipboardFormats {
    UINT ids[5];
    ClipboardFormats() {
        static const wchar_t* const names[] = {L"Preferred DropEffect", L"FileGroupDescriptorW", L"FileContents",
                                               L"Shell IDList Array", L"OleClipboardPersistOnFlush"};
        for (int i = 0; i < 5; ++i) ids[i] = RegisterClipboardFormatW(names[i]);
    }
} clipboardFormats;

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IClassFactory || riid == IID_IUnknown) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object: its counts mean nothing.
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        // One class serves three purposes: a data object to be loaded from
        // the clipboard, the menu handler of files and folders, and the folder.
        IUnknown* object;
        if (riid == IID_IDataObject)
            object = newEmptyEntryDataObject();
        else if (riid == IID_IShellExtInit || riid == IID_IContextMenu)
            object = newArchiveFileMenu();
        else
            object = ArchiveFolder::create(nullptr, {});
        if (!object) return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(riid, out);
        object->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            objectCreated();
        else
            objectDestroyed();
        return S_OK;
    }
} classFactory;

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

UINT clipboardFormat(ClipboardFormat which) { return clipboardFormats.ids[which]; }

}  // namespace zorvex::shell

using namespace zorvex::shell;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        moduleInstance = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (rclsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
    if (riid != IID_IClassFactory && riid != IID_IUnknown) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(&classFactory);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    if (objectCount() != 0) return S_FALSE;
    ScopedLock lock(LockId::temporaryFolders);
    for (const std::wstring& folder : temporaryFolders) deleteFolderTree(folder.c_str());
    temporaryFolders.clear();
    return S_OK;
}
