#include "shell/archive_folder.h"

#include <shlwapi.h>

#include <cstring>
#include <new>
#include <string>

#include "engine/archive.h"
#include "engine/convert.h"
#include "engine/stream.h"
#include "shell/entry_id.h"
#include "shell/data_object.h"
#include "shell/engine_lock.h"
#include "shell/entry_stream.h"
#include "shell/menus.h"
#include "shell/module.h"

namespace zorvex::shell {

namespace {

// Property sets and the properties of each that the folder answers.
constexpr GUID kStorageProperties = {0xb725f130, 0x47ef, 0x101a, {0xa5, 0xf1, 0x02, 0x60, 0x8c, 0x9e, 0xeb, 0xac}};
constexpr GUID kInfoTipProperties = {0x28636aa6, 0x953d, 0x11d2, {0xb5, 0xd6, 0x00, 0xc0, 0x4f, 0xd9, 0x18, 0xd0}};
constexpr GUID kItemTileProperties = {0xf2275480, 0xf782, 0x4291, {0xbd, 0x94, 0xf1, 0x36, 0x93, 0x51, 0x3a, 0xec}};
constexpr GUID kViewLayoutProperties = {0xc9944a21, 0xa406, 0x48fe, {0x82, 0x25, 0xae, 0xc7, 0xe2, 0x4c, 0x21, 0x1b}};
constexpr GUID kFolderPathProperties = {0xe3e0584c, 0xb788, 0x4a5a, {0xbb, 0x20, 0x7f, 0x5a, 0x44, 0xc9, 0xac, 0xdd}};
constexpr GUID kExplorerCommandProvider = {0x64961751, 0x0835, 0x43c0, {0x8f, 0xfe, 0xd5, 0x76, 0x86, 0x53, 0x0e, 0x64}};
constexpr GUID kQueryAssociationsClass = {0xa07034fd, 0x6caa, 0x4954, {0xac, 0x3f, 0x97, 0xa2, 0x72, 0x16, 0xf9, 0x8a}};
// Storage set.
constexpr DWORD kNameProperty = 10, kSizeProperty = 12, kAttributesProperty = 13, kWriteTimeProperty = 14;
constexpr DWORD kInfoTipProperty = 9;  // info-tip set
constexpr DWORD kTileProperty = 0;     // tile set
// View layout set: the property lists the view shows in each place.
constexpr DWORD kTileInfoProperty = 3, kInfoTipListProperty = 4, kPreviewTitleProperty = 6,
                kPreviewDetailsProperty = 8, kContentViewProperty = 13;
constexpr DWORD kFolderPathDisplayProperty = 6;  // folder path set
constexpr UINT kDefViewModeMessage = 27;  // SFVM_DEFVIEWMODE

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

HRESULT returnString(const wchar_t* text, STRRET* out) {
    out->uType = STRRET_WSTR;
    return SHStrDupW(text, &out->pOleStr) == S_OK ? S_OK : E_OUTOFMEMORY;
}

HRESULT returnBstr(const wchar_t* text, VARIANT* out) {
    BSTR value = SysAllocString(text);
    if (!value) return E_OUTOFMEMORY;
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = value;
    return S_OK;
}

// The column headers, borrowed from the desktop folder (its columns 0, 1 and
// 3: name, size, date modified) so that they read as the user's language,
// and the library's own "Encrypted", whose values are the entries' file
// attributes (FILE_ATTRIBUTE_ENCRYPTED or not) to a view that asks by property.
struct ColumnHeader {
    wchar_t title[32];
    int format;
    int width;
};
constexpr UINT kEncryptedColumn = 3;
ColumnHeader columnHeaders[4] = {{}, {}, {}, {L"Encrypted", LVCFMT_LEFT, 10}};

HRESULT fillColumnHeaders() {
    ScopedLock lock(LockId::columnCache);
    if (columnHeaders[0].title[0]) return S_OK;
    IShellFolder* desktop = nullptr;
    HRESULT hr = SHGetDesktopFolder(&desktop);
    if (FAILED(hr)) return hr;
    IShellFolder2* desktop2 = nullptr;
    hr = desktop->QueryInterface(IID_IShellFolder2, reinterpret_cast<void**>(&desktop2));
    desktop->Release();
    if (FAILED(hr)) return hr;
    static const UINT desktopColumns[3] = {0, 1, 3};
    for (int i = 0; i < 3 && SUCCEEDED(hr); ++i) {
        SHELLDETAILS details = {};
        hr = desktop2->GetDetailsOf(nullptr, desktopColumns[i], &details);
        if (FAILED(hr)) break;
        wchar_t* title = nullptr;
        hr = StrRetToStrW(&details.str, nullptr, &title);
        if (FAILED(hr)) break;
        lstrcpynW(columnHeaders[i].title, title, 32);
        CoTaskMemFree(title);
        columnHeaders[i].format = details.fmt;
        columnHeaders[i].width = details.cxChar;
    }
    desktop2->Release();
    return hr;
}

// The icon of an item kind: system icons, which the shell extracts itself.
class EntryIconProvider final : public IExtractIconW {
public:
    explicit EntryIconProvider(uint8_t kind) : kind_(kind) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IExtractIconW) {
            *out = static_cast<IExtractIconW*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetIconLocation(UINT flags, LPWSTR file, UINT size, int* index,
                                              UINT* outFlags) override {
        const wchar_t* library = kind_ == kNestedEntry ? L"zipfldr.dll" : L"shell32.dll";
        if (file && size > 0) lstrcpynW(file, library, static_cast<int>(size));
        if (index) {
            if (kind_ == kFolderEntry)
                *index = (flags & GIL_OPENICON) ? 4 : 3;
            else
                *index = 0;
        }
        if (outFlags) *outFlags = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Extract(LPCWSTR, UINT, HICON*, HICON*, UINT) override { return S_FALSE; }

private:
    uint8_t kind_;
};

EntryIconProvider iconProviders[3] = {EntryIconProvider(kFolderEntry), EntryIconProvider(kNestedEntry),
                                      EntryIconProvider(kFileEntry)};

bool splitTime(int64_t time, SYSTEMTIME* st) {
    std::optional<TimeParts> parts = time > 0 ? timeToParts(time) : std::nullopt;
    if (!parts) return false;
    *st = SYSTEMTIME{};
    st->wYear = static_cast<WORD>(parts->year);
    st->wMonth = static_cast<WORD>(parts->month);
    st->wDay = static_cast<WORD>(parts->day);
    st->wHour = static_cast<WORD>(parts->hour);
    st->wMinute = static_cast<WORD>(parts->minute);
    st->wSecond = static_cast<WORD>(parts->second);
    return true;
}

LPITEMIDLIST cloneList(LPCITEMIDLIST list) { return list ? ILClone(list) : nullptr; }

}  // namespace

IShellFolder2* ArchiveFolder::create(LPITEMIDLIST ownList, Locked<Archive> archive, const PasswordHold& password) {
    auto* folder = new (std::nothrow) ArchiveFolder(ownList, std::move(archive), password);
    if (!folder) {
        CoTaskMemFree(ownList);
        return nullptr;
    }
    return static_cast<IShellFolder2*>(folder);
}

ArchiveFolder::ArchiveFolder(LPITEMIDLIST ownList, Locked<Archive> archive, const PasswordHold& password)
    : password_(password), ownList_(ownList), archive_(std::move(archive)) {
    objectCreated();
}

ArchiveFolder::~ArchiveFolder() {
    CoTaskMemFree(ownList_);
    objectDestroyed();
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::QueryInterface(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IShellFolder || riid == IID_IShellFolder2)
        *out = static_cast<IShellFolder2*>(this);
    else if (riid == IID_IPersist || riid == IID_IPersistFolder || riid == IID_IPersistFolder2 ||
             riid == IID_IPersistFolder3)
        *out = static_cast<IPersistFolder3*>(this);
    else if (riid == kFolderHintIid)
        *out = static_cast<IFolderHint*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ArchiveFolder::AddRef() { return InterlockedIncrement(&refs_); }

ULONG STDMETHODCALLTYPE ArchiveFolder::Release() {
    ULONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
}

HRESULT ArchiveFolder::ensureArchive(bool mayAsk) {
    {
        EngineLock lock;
        if (archive_.get(lock)) return S_OK;
    }
    if (!ownList_) return E_FAIL;
    wchar_t path[MAX_PATH];
    if (!SHGetPathFromIDListW(ownList_, path)) return E_FAIL;
    const auto* name = reinterpret_cast<const char16_t*>(path);
    if (password_.archive().empty()) password_ = PasswordHold(archiveFileOf(name));
    // Encrypted headers: the listing itself needs the password, asked for
    // when the folder is entered.
    Locked<Archive> opened = openArchiveFile(name, ReadPlan::kBrowse, mayAsk, owner_);
    EngineLock lock;
    if (!archive_.get(lock)) archive_ = std::move(opened);
    return archive_.get(lock) ? S_OK : E_FAIL;
}

void ArchiveFolder::noteOwner(HWND owner) {
    if (owner) owner_ = owner;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::ParseDisplayName(HWND owner, IBindCtx*, LPWSTR name, ULONG* eaten,
                                                          PIDLIST_RELATIVE* out, ULONG* attributes) {
    if (out) *out = nullptr;
    noteOwner(owner);
    if (FAILED(ensureArchive(true))) return E_FAIL;
    EngineLock lock;
    return parseDisplayName(archive_.get(lock), name, eaten, out, attributes);
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::EnumObjects(HWND owner, SHCONTF flags, IEnumIDList** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    noteOwner(owner);
    if (FAILED(ensureArchive(true))) return E_FAIL;
    EngineLock lock;
    *out = newEntryEnumerator(archive_.get(lock), flags);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::BindToObject(PCUIDLIST_RELATIVE list, IBindCtx*, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (FAILED(ensureArchive(true))) return E_FAIL;
    if (riid == IID_IShellFolder || riid == IID_IShellFolder2) {
        Locked<Archive> child;
        std::shared_ptr<ArchivePassword> password;
        auto open = [&] {
            EngineLock lock;
            password = archive_.get(lock)->password();
            child.reset(resolve(archive_.get(lock), list), lock);
            return bool(child);
        };
        // A nested archive whose data is encrypted needs the password to be
        // listed. The engine keeps the answer it had, none, until told to
        // forget it.
        const std::u16string& archive = password_.archive();
        takePasswordWanted(archive);
        if (!open() && takePasswordWanted(archive)) {
            if (password) password->forget();
            if (askUnlessKnown(owner_, archive) && !open()) {
                forgetPassword(archive);
                if (password) password->forget();
            }
        }
        if (!child) return E_FAIL;
        LPITEMIDLIST combined = ILCombine(ownList_, list);
        if (!combined) return E_OUTOFMEMORY;
        IShellFolder2* folder = create(combined, std::move(child), password_);
        if (!folder) return E_OUTOFMEMORY;
        HRESULT hr = folder->QueryInterface(riid, out);
        folder->Release();
        return hr;
    }
    if (riid == IID_IStream) {
        int count = idCount(list);
        if (count == 0) return E_FAIL;
        LPCITEMIDLIST last = list;
        for (int i = 1; i < count; ++i) last = nextId(last);
        EntryId id;
        if (!readEntryId(last, &id) || id.kind == kFolderEntry) return E_FAIL;
        Locked<Archive> parent;
        {
            EngineLock lock;
            parent.reset(resolve(archive_.get(lock), list, count - 1), lock);
        }
        if (!parent) return E_FAIL;
        bool mayAsk = true;
        IStream* stream = nullptr;
        HRESULT hr = openEntryStream(parent, id.kind, id.index, {owner_, password_, &mayAsk}, &stream);
        *out = stream;
        return hr;
    }
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::CompareIDs(LPARAM column, PCUIDLIST_RELATIVE first,
                                                    PCUIDLIST_RELATIVE second) {
    if (FAILED(ensureArchive())) return E_FAIL;
    EngineLock lock;
    return compareIds(archive_.get(lock), column, first, second);
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::CreateViewObject(HWND owner, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    noteOwner(owner);
    if (riid == IID_IShellView) {
        using CreateView = HRESULT(WINAPI*)(const SFV_CREATE*, IShellView**);
        HMODULE shell32 = GetModuleHandleW(L"shell32.dll");
        auto createView =
            shell32 ? reinterpret_cast<CreateView>(reinterpret_cast<void*>(GetProcAddress(shell32, "SHCreateShellFolderView"))) : nullptr;
        if (!createView) return E_FAIL;
        SFV_CREATE create = {};
        create.cbSize = sizeof create;
        create.pshf = static_cast<IShellFolder2*>(this);
        create.psvOuter = nullptr;
        create.psfvcb = static_cast<IShellFolderViewCB*>(this);
        return createView(&create, reinterpret_cast<IShellView**>(out));
    }
    if (riid == kExplorerCommandProvider) return E_NOINTERFACE;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY items, SFGAOF* mask) {
    if (!mask) return E_POINTER;
    if (count == 1) {
        EntryId id;
        if (!items || !readEntryId(items[0], &id)) return E_INVALIDARG;
        *mask &= kindAttributes(id.kind);
    } else {
        *mask &= SFGAO_CANCOPY;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetUIObjectOf(HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items, REFIID riid,
                                                       UINT*, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    noteOwner(owner);
    if (riid == IID_IExtractIconW) {
        EntryId id;
        if (count < 1 || !items || !readEntryId(items[0], &id)) return E_INVALIDARG;
        *out = static_cast<IExtractIconW*>(&iconProviders[id.kind]);
        return S_OK;
    }
    if (riid == IID_IQueryAssociations) {
        EntryId id;
        if (count != 1 || !items || !readEntryId(items[0], &id)) return E_INVALIDARG;
        if (FAILED(ensureArchive())) return E_FAIL;
        std::wstring extension;
        {
            EngineLock lock;
            const char16_t* name = itemName(archive_.get(lock), id.kind, id.index);
            if (!name) return E_FAIL;
            const wchar_t* dot = wcsrchr(wide(name), L'.');
            if (!dot) return E_FAIL;
            extension = dot;
        }
        IQueryAssociations* associations = nullptr;
        HRESULT hr = AssocCreate(kQueryAssociationsClass, riid, reinterpret_cast<void**>(&associations));
        if (FAILED(hr)) return hr;
        hr = associations->Init(0, extension.c_str(), nullptr, nullptr);
        if (FAILED(hr)) {
            associations->Release();
            return hr;
        }
        *out = associations;
        return S_OK;
    }
    if (riid == IID_IDataObject) {
        if (count < 1 || !items) return E_INVALIDARG;
        if (FAILED(ensureArchive())) return E_FAIL;
        Locked<Archive> shared;
        {
            EngineLock lock;
            Archive* archive = archive_.get(lock);
            archive->addRef();
            shared.reset(archive, lock);
        }
        *out = newEntryDataObject(std::move(shared), ownList_, count, items, owner_, password_);
        return *out ? S_OK : E_INVALIDARG;
    }
    if (riid == IID_IContextMenu) {
        if (count < 1 || !items) return E_INVALIDARG;
        *out = newItemContextMenu(this, owner, count, items);
        return *out ? S_OK : E_INVALIDARG;
    }
    return E_NOINTERFACE;
}

std::wstring ArchiveFolder::temporaryFolder() {
    if (!temporaryFolder_.empty()) return temporaryFolder_;
    wchar_t temp[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) return {};
    // GetTempFileNameW makes a unique empty file; a folder takes its place.
    if (!GetTempFileNameW(temp, L"zsf", 0, name)) return {};
    DeleteFileW(name);
    if (!CreateDirectoryW(name, nullptr)) return {};
    temporaryFolder_ = addTemporaryFolder(name);
    return temporaryFolder_;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetDisplayNameOf(PCUITEMID_CHILD item, SHGDNF flags, STRRET* name) {
    if (!name) return E_POINTER;
    EntryId id;
    if (!readEntryId(item, &id)) return E_INVALIDARG;
    if (FAILED(ensureArchive())) return E_FAIL;
    std::wstring text;
    {
        EngineLock lock;
        Archive* archive = archive_.get(lock);
        const char16_t* own = itemName(archive, id.kind, id.index);
        if (!own) return E_FAIL;
        if ((flags & (SHGDN_FORPARSING | SHGDN_INFOLDER)) == SHGDN_FORPARSING)
            text = std::wstring(wide(archive->name())) + L"\\";
        text += wide(own);
    }
    return returnString(text.c_str(), name);
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::SetNameOf(HWND, PCUITEMID_CHILD, LPCWSTR, SHGDNF, PITEMID_CHILD* out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetDefaultSearchGUID(GUID*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE ArchiveFolder::EnumSearches(IEnumExtraSearch** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetDefaultColumn(DWORD, ULONG* sort, ULONG* display) {
    if (sort) *sort = 0;
    if (display) *display = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetDefaultColumnState(UINT column, SHCOLSTATEF* state) {
    if (!state) return E_POINTER;
    // The encrypted column is offered, not shown by default: knowing whether
    // a level holds an encrypted entry would mean looking at every entry.
    static const SHCOLSTATEF states[4] = {SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT,
                                          SHCOLSTATE_TYPE_INT | SHCOLSTATE_ONBYDEFAULT,
                                          SHCOLSTATE_TYPE_DATE | SHCOLSTATE_ONBYDEFAULT, SHCOLSTATE_TYPE_STR};
    if (column > kEncryptedColumn) return E_INVALIDARG;
    *state = states[column];
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetDetailsEx(PCUITEMID_CHILD item, const SHCOLUMNID* key, VARIANT* value) {
    if (!key || !value) return E_POINTER;
    if (FAILED(ensureArchive())) return E_FAIL;
    const GUID& set = key->fmtid;
    const DWORD property = key->pid;
    if (set == kStorageProperties && (property == kNameProperty || property == kSizeProperty ||
                                      property == kAttributesProperty || property == kWriteTimeProperty)) {
        EntryId id;
        if (!readEntryId(item, &id)) return E_INVALIDARG;
        EngineLock lock;
        Archive* archive = archive_.get(lock);
        if (property == kAttributesProperty) {
            V_VT(value) = VT_UI4;
            V_UI4(value) = id.kind == kFolderEntry                       ? FILE_ATTRIBUTE_DIRECTORY
                           : itemEncrypted(archive, id.kind, id.index) ? FILE_ATTRIBUTE_ENCRYPTED
                                                                        : FILE_ATTRIBUTE_NORMAL;
            return S_OK;
        }
        if (property == kNameProperty) {
            const char16_t* name = itemName(archive, id.kind, id.index);
            return name ? returnBstr(wide(name), value) : E_INVALIDARG;
        }
        if (property == kSizeProperty) {
            int64_t size = itemSize(archive, id.kind, id.index);
            if (id.kind == kFolderEntry || size < 0) return E_FAIL;
            V_VT(value) = VT_I8;
            V_I8(value) = size;
            return S_OK;
        }
        FILETIME utc;
        SYSTEMTIME st;
        DATE date;
        if (!entryTimeToFiletime(itemTime(archive, id.kind, id.index), &utc) || !FileTimeToSystemTime(&utc, &st) ||
            !SystemTimeToVariantTime(&st, &date))
            return E_FAIL;
        V_VT(value) = VT_DATE;
        V_DATE(value) = date;
        return S_OK;
    }
    if (set == kInfoTipProperties && property == kInfoTipProperty) return returnBstr(L"", value);
    if (set == kItemTileProperties && property == kTileProperty) return returnBstr(L"prop:Name;Write;Size", value);
    if (set == kViewLayoutProperties) {
        switch (property) {
            case kTileInfoProperty:
            case kInfoTipListProperty: return returnBstr(L"prop:Size;Write", value);
            case kPreviewTitleProperty: return returnBstr(L"prop:Name", value);
            case kPreviewDetailsProperty: return returnBstr(L"prop:Write;Size", value);
            case kContentViewProperty: return returnBstr(L"prop:Name;Write;Size", value);
        }
        return E_INVALIDARG;
    }
    if (set == kFolderPathProperties && property == kFolderPathDisplayProperty) {
        EngineLock lock;
        return returnBstr(wide(archive_.get(lock)->name()), value);
    }
    return E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetDetailsOf(PCUITEMID_CHILD item, UINT column, SHELLDETAILS* details) {
    if (!details) return E_POINTER;
    if (!item) {
        if (column > kEncryptedColumn) return E_INVALIDARG;
        HRESULT hr = fillColumnHeaders();
        if (FAILED(hr)) return hr;
        details->fmt = columnHeaders[column].format;
        details->cxChar = columnHeaders[column].width;
        return returnString(columnHeaders[column].title, &details->str);
    }
    EntryId id;
    if (!readEntryId(item, &id)) return E_INVALIDARG;
    if (FAILED(ensureArchive())) return E_FAIL;
    if (column == 0) return GetDisplayNameOf(item, SHGDN_NORMAL, &details->str);
    wchar_t text[80];
    if (column == 1) {
        if (id.kind == kFolderEntry) return E_FAIL;
        int64_t size;
        {
            EngineLock lock;
            size = itemSize(archive_.get(lock), id.kind, id.index);
        }
        if (size < 0 || !StrFormatByteSizeW(size, text, 40)) return E_FAIL;
        return returnString(text, &details->str);
    }
    if (column == 2) {
        SYSTEMTIME st;
        {
            EngineLock lock;
            if (!splitTime(itemTime(archive_.get(lock), id.kind, id.index), &st)) return E_FAIL;
        }
        int n = GetDateFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, text, 40);
        if (n <= 0) return E_FAIL;
        text[n - 1] = L' ';
        if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, text + n, 80 - n) <= 0) return E_FAIL;
        return returnString(text, &details->str);
    }
    if (column == kEncryptedColumn) {
        EngineLock lock;
        return returnString(itemEncrypted(archive_.get(lock), id.kind, id.index) ? L"Yes" : L"", &details->str);
    }
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::MapColumnToSCID(UINT column, SHCOLUMNID* key) {
    if (!key) return E_POINTER;
    static const DWORD properties[4] = {kNameProperty, kSizeProperty, kWriteTimeProperty, kAttributesProperty};
    if (column > kEncryptedColumn) return E_INVALIDARG;
    key->fmtid = kStorageProperties;
    key->pid = properties[column];
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetClassID(CLSID* out) {
    if (!out) return E_POINTER;
    *out = kClsid;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::Initialize(PCIDLIST_ABSOLUTE list) {
    if (ownList_) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    ownList_ = cloneList(list);
    return ownList_ ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetCurFolder(PIDLIST_ABSOLUTE* out) {
    if (!out) return E_POINTER;
    *out = cloneList(ownList_);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::InitializeEx(IBindCtx*, PCIDLIST_ABSOLUTE list,
                                                      const PERSIST_FOLDER_TARGET_INFO*) {
    return Initialize(list);
}

HRESULT STDMETHODCALLTYPE ArchiveFolder::GetFolderTargetInfo(PERSIST_FOLDER_TARGET_INFO*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE ArchiveFolder::MessageSFVCB(UINT message, WPARAM, LPARAM value) {
    if (message != kDefViewModeMessage) return E_NOTIMPL;
    if (!value) return E_POINTER;
    *reinterpret_cast<FOLDERVIEWMODE*>(value) = FVM_DETAILS;
    return S_OK;
}

}  // namespace zorvex::shell
