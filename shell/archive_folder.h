// The shell folder through which Explorer browses an archive file and the
// folders and nested archives inside it.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <string>

#include "shell/engine_lock.h"
#include "shell/password_book.h"

namespace zorvex {
class Archive;
}

namespace zorvex::shell {

// A further interface the shell asks folders for; its one method answers S_FALSE.
inline constexpr IID kFolderHintIid = {0xcd9617e6, 0xe67f, 0x4f7b, {0x8b, 0x64, 0x11, 0xb0, 0x5f, 0x50, 0x78, 0x68}};
struct IFolderHint : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE hint() = 0;
};

class ArchiveFolder final : public IShellFolder2,
                            public IPersistFolder3,
                            public IShellFolderViewCB,
                            public IFolderHint {
public:
    // A folder for `ownList` (adopted; null: not yet initialised) showing
    // `archive` (null: opened on first need), whose archive's password
    // `password` keeps.
    static IShellFolder2* create(LPITEMIDLIST ownList, Locked<Archive> archive, const PasswordHold& password = {});

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IShellFolder2
    HRESULT STDMETHODCALLTYPE ParseDisplayName(HWND, IBindCtx*, LPWSTR name, ULONG* eaten, PIDLIST_RELATIVE* out,
                                               ULONG* attributes) override;
    HRESULT STDMETHODCALLTYPE EnumObjects(HWND, SHCONTF flags, IEnumIDList** out) override;
    HRESULT STDMETHODCALLTYPE BindToObject(PCUIDLIST_RELATIVE list, IBindCtx*, REFIID riid, void** out) override;
    HRESULT STDMETHODCALLTYPE BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void**) override;
    HRESULT STDMETHODCALLTYPE CompareIDs(LPARAM column, PCUIDLIST_RELATIVE first,
                                         PCUIDLIST_RELATIVE second) override;
    HRESULT STDMETHODCALLTYPE CreateViewObject(HWND owner, REFIID riid, void** out) override;
    HRESULT STDMETHODCALLTYPE GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY items, SFGAOF* mask) override;
    HRESULT STDMETHODCALLTYPE GetUIObjectOf(HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items, REFIID riid,
                                            UINT* reserved, void** out) override;
    HRESULT STDMETHODCALLTYPE GetDisplayNameOf(PCUITEMID_CHILD item, SHGDNF flags, STRRET* name) override;
    HRESULT STDMETHODCALLTYPE SetNameOf(HWND, PCUITEMID_CHILD, LPCWSTR, SHGDNF, PITEMID_CHILD*) override;
    HRESULT STDMETHODCALLTYPE GetDefaultSearchGUID(GUID*) override;
    HRESULT STDMETHODCALLTYPE EnumSearches(IEnumExtraSearch** out) override;
    HRESULT STDMETHODCALLTYPE GetDefaultColumn(DWORD, ULONG* sort, ULONG* display) override;
    HRESULT STDMETHODCALLTYPE GetDefaultColumnState(UINT column, SHCOLSTATEF* state) override;
    HRESULT STDMETHODCALLTYPE GetDetailsEx(PCUITEMID_CHILD item, const SHCOLUMNID* key, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE GetDetailsOf(PCUITEMID_CHILD item, UINT column, SHELLDETAILS* details) override;
    HRESULT STDMETHODCALLTYPE MapColumnToSCID(UINT column, SHCOLUMNID* key) override;

    // IPersistFolder3 (with IPersist, IPersistFolder, IPersistFolder2)
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* out) override;
    HRESULT STDMETHODCALLTYPE Initialize(PCIDLIST_ABSOLUTE list) override;
    HRESULT STDMETHODCALLTYPE GetCurFolder(PIDLIST_ABSOLUTE* out) override;
    HRESULT STDMETHODCALLTYPE InitializeEx(IBindCtx*, PCIDLIST_ABSOLUTE list,
                                           const PERSIST_FOLDER_TARGET_INFO*) override;
    HRESULT STDMETHODCALLTYPE GetFolderTargetInfo(PERSIST_FOLDER_TARGET_INFO*) override;

    // IShellFolderViewCB: archive folders open in the details view.
    HRESULT STDMETHODCALLTYPE MessageSFVCB(UINT message, WPARAM, LPARAM value) override;

    // IFolderHint
    HRESULT STDMETHODCALLTYPE hint() override { return S_FALSE; }

    // The folder into which this folder's entries are copied to be opened,
    // made on first need and deleted when the library unloads; empty when it
    // cannot be made.
    std::wstring temporaryFolder();
    LPCITEMIDLIST ownList() const { return ownList_; }

private:
    ArchiveFolder(LPITEMIDLIST ownList, Locked<Archive> archive, const PasswordHold& password);
    ~ArchiveFolder();
    // Opens the archive of the own list when it is not open yet. When its
    // listing needs the password, and `mayAsk`, asks the user for it (the
    // folder is being entered).
    HRESULT ensureArchive(bool mayAsk = false);
    // The window that owns the password dialog: the last one the shell
    // named in a call (the browser's); null before any.
    void noteOwner(HWND owner);

    LONG refs_ = 1;
    HWND owner_ = nullptr;
    PasswordHold password_;  // declared before the archive, which it outlives
    LPITEMIDLIST ownList_;
    Locked<Archive> archive_;
    std::wstring temporaryFolder_;
};

}  // namespace zorvex::shell
