// The class factory and DllGetClassObject, which make the library a COM
// server (registration is in registration.cpp, the module's lifetime in
// module.cpp).
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include "shell/archive_folder.h"
#include "shell/data_object.h"
#include "shell/menus.h"
#include "shell/module.h"

namespace zorvex::shell {

namespace {

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

}  // namespace zorvex::shell

using namespace zorvex::shell;

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (rclsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
    if (riid != IID_IClassFactory && riid != IID_IUnknown) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(&classFactory);
    return S_OK;
}
