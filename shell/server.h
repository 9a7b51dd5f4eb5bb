// Process-wide state of the COM server: the module, the class identifier,
// the count of live objects, the three locks and the temporary folder list.
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

// Clipboard formats registered at load, in this order.
enum ClipboardFormat { kPreferredDropEffect, kFileGroupDescriptor, kFileContents, kShellIdList, kPersistOnFlush };
UINT clipboardFormat(ClipboardFormat which);

// COM objects of the library count themselves from construction to destruction.
class Counted {
public:
    Counted() { objectCreated(); }
    ~Counted() { objectDestroyed(); }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

// The interlocked reference count of a COM object with several interfaces:
// it starts at 1, and the object deletes itself when it drops to 0.
class RefCount {
public:
    ULONG add() { return InterlockedIncrement(&refs_); }
    template <class Object>
    ULONG release(Object* object) {
        ULONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete object;
        return left;
    }

private:
    LONG refs_ = 1;
};

// IUnknown of an object that exposes one interface: an interlocked count that
// starts at 1; the object deletes itself when it drops to 0.
template <class Interface>
class SingleInterface : public Interface, private Counted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(Interface)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~SingleInterface() = default;

private:
    LONG refs_ = 1;
};

}  // namespace zorvex::shell
