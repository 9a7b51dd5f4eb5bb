#include "shell/menus.h"

#include <shellapi.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <new>

#include "engine/archive.h"
#include "engine/extraction.h"
#include "engine/format_registry.h"
#include "shell/archive_folder.h"
#include "shell/com_object.h"
#include "shell/data_object.h"
#include "shell/entry_id.h"
#include "shell/entry_writer.h"
#include "shell/module.h"
#include "shell/resource_ids.h"

namespace zorvex::shell {

namespace {

constexpr UINT kOpenCommand = 0, kOpenWithCommand = 1, kCopyCommand = 2;
constexpr UINT kExploreCommand = 0, kExtractCommand = 1;
constexpr int kBitmapSize = 11;
constexpr GUID kShellLibraryClass = {0xd9b3211d, 0xe57f, 0x4426, {0xaa, 0xef, 0x30, 0xa8, 0x06, 0xad, 0xd3, 0x97}};
constexpr GUID kShellLibraryIid = {0x11a66efa, 0x382e, 0x451a, {0x92, 0x34, 0x1e, 0x0e, 0x12, 0xef, 0x30, 0x85}};
constexpr GUID kShellItemIid = {0x43826d1e, 0xe718, 0x42ee, {0xbc, 0x55, 0xa1, 0xe2, 0x61, 0xc3, 0x7b, 0xfe}};

// Menu texts come from the system's own resources, so that they read in the
// user's language.
struct MenuText {
    wchar_t text[32];
};
MenuText openText, openWithText, copyText, exploreText, extractText;

void loadString(HMODULE module, UINT id, MenuText* out, const wchar_t* fallback) {
    if (!module || LoadStringW(module, id, out->text, 32) <= 0) lstrcpynW(out->text, fallback, 32);
}

void loadItemTexts() {
    if (openText.text[0]) return;
    HMODULE shell32 = GetModuleHandleW(L"shell32.dll");
    loadString(shell32, 8496, &openText, L"");
    loadString(shell32, 5377, &openWithText, L"");
    copyText.text[0] = 0;
    if (HMENU menu = shell32 ? LoadMenuW(shell32, MAKEINTRESOURCEW(210)) : nullptr) {
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_STRING;
        info.dwTypeData = copyText.text;
        info.cch = 32;
        GetMenuItemInfoW(menu, 25, FALSE, &info);
        DestroyMenu(menu);
    }
}

void loadFileTexts() {
    if (exploreText.text[0]) return;
    loadString(GetModuleHandleW(L"shell32.dll"), 8502, &exploreText, L"Explore");
    HMODULE zipfldr = LoadLibraryW(L"zipfldr.dll");
    loadString(zipfldr, 10095, &extractText, L"Extract");
    if (zipfldr) FreeLibrary(zipfldr);
}

HRESULT itemCount(UINT count) { return MAKE_HRESULT(SEVERITY_SUCCESS, 0, count); }

// A command given by number (high word 0) or by verb; UINT_MAX when unknown.
UINT commandOf(LPCSTR verb, const char* const* verbs, UINT verbCount) {
    if (IS_INTRESOURCE(verb)) {
        UINT id = LOWORD(reinterpret_cast<UINT_PTR>(verb));
        return id < verbCount ? id : UINT_MAX;
    }
    for (UINT i = 0; i < verbCount; ++i)
        if (lstrcmpiA(verb, verbs[i]) == 0) return i;
    return UINT_MAX;
}

HRESULT copyVerb(UINT_PTR id, UINT type, LPSTR buffer, UINT size, const wchar_t* const* verbs, UINT verbCount) {
    if (type != GCS_VERBW || id >= verbCount) return E_INVALIDARG;
    if (!buffer || size == 0) return E_POINTER;
    lstrcpynW(reinterpret_cast<LPWSTR>(buffer), verbs[id], static_cast<int>(size));
    return S_OK;
}

// The shell browser whose top-level window holds `window`, if any. Browser
// frames answer CWM_GETISHELLBROWSER with their IShellBrowser, not counted.
IShellBrowser* browserOf(HWND window) {
    constexpr UINT kGetShellBrowser = WM_USER + 7;
    HWND top = window ? GetAncestor(window, GA_ROOT) : nullptr;
    if (!top || GetWindowThreadProcessId(top, nullptr) != GetCurrentThreadId()) return nullptr;
    return reinterpret_cast<IShellBrowser*>(SendMessageW(top, kGetShellBrowser, 0, 0));
}

class ItemContextMenu final : public SingleInterface<IContextMenu> {
public:
    ItemContextMenu(ArchiveFolder* folder, HWND owner, std::vector<LPITEMIDLIST> items)
        : folder_(folder), owner_(owner), items_(std::move(items)) {
        folder_->AddRef();
    }
    ~ItemContextMenu() override {
        for (LPITEMIDLIST item : items_) CoTaskMemFree(item);
        folder_->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryContextMenu(HMENU menu, UINT position, UINT first, UINT, UINT flags) override {
        loadItemTexts();
        if (items_.size() == 1) {
            InsertMenuW(menu, position++, MF_BYPOSITION | MF_STRING, first + kOpenCommand, openText.text);
            if (!(flags & CMF_NODEFAULT)) SetMenuDefaultItem(menu, first + kOpenCommand, FALSE);
            if (flags & CMF_DEFAULTONLY) return itemCount(1);
            EntryId id;
            if ((flags & CMF_EXTENDEDVERBS) && readEntryId(items_[0], &id) && id.kind == kFileEntry)
                InsertMenuW(menu, position++, MF_BYPOSITION | MF_STRING, first + kOpenWithCommand,
                            openWithText.text);
            InsertMenuW(menu, position++, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
        } else if (flags & CMF_DEFAULTONLY) {
            return itemCount(0);
        }
        InsertMenuW(menu, position, MF_BYPOSITION | MF_STRING, first + kCopyCommand, copyText.text);
        return itemCount(3);
    }

    HRESULT STDMETHODCALLTYPE InvokeCommand(CMINVOKECOMMANDINFO* info) override {
        if (!info) return E_INVALIDARG;
        static const char* const verbs[] = {"open", "openas", "copy"};
        UINT command = commandOf(info->lpVerb, verbs, 3);
        if (command == UINT_MAX) return E_INVALIDARG;
        HWND window = info->hwnd ? info->hwnd : owner_;
        if (command == kCopyCommand) return copyToClipboard();
        EntryId id;
        if (!readEntryId(items_[0], &id)) return E_INVALIDARG;
        if (id.kind != kFileEntry) return browse(window);
        bool everyFile = (info->fMask & CMIC_MASK_SHIFT_DOWN) != 0;
        return openFile(window, command == kOpenWithCommand, everyFile);
    }

    HRESULT STDMETHODCALLTYPE GetCommandString(UINT_PTR id, UINT type, UINT*, LPSTR buffer, UINT size) override {
        static const wchar_t* const verbs[] = {L"open", L"openas", L"copy"};
        return copyVerb(id, type, buffer, size, verbs, 3);
    }

private:
    HRESULT copyToClipboard() {
        IDataObject* data = nullptr;
        HRESULT hr = folder_->GetUIObjectOf(owner_, static_cast<UINT>(items_.size()),
                                            const_cast<PCUITEMID_CHILD_ARRAY>(items_.data()), IID_IDataObject,
                                            nullptr, reinterpret_cast<void**>(&data));
        if (FAILED(hr)) return hr;
        hr = OleSetClipboard(data);
        data->Release();
        return SUCCEEDED(hr) ? OleFlushClipboard() : hr;
    }

    // A folder or nested archive opens in the window that shows this folder
    // when that window is a shell browser, and in a new one otherwise.
    HRESULT browse(HWND window) {
        LPITEMIDLIST list = ILCombine(folder_->ownList(), items_[0]);
        if (!list) return E_OUTOFMEMORY;
        if (IShellBrowser* browser = browserOf(window)) {
            HRESULT hr = browser->BrowseObject(list, SBSP_DEFBROWSER | SBSP_ABSOLUTE);
            CoTaskMemFree(list);
            return SUCCEEDED(hr) ? S_OK : E_UNEXPECTED;
        }
        SHELLEXECUTEINFOW execute = {};
        execute.cbSize = sizeof execute;
        execute.fMask = SEE_MASK_IDLIST | SEE_MASK_CLASSNAME;
        execute.hwnd = window;
        execute.lpIDList = list;
        execute.lpClass = L"folder";
        execute.nShow = SW_SHOWNORMAL;
        BOOL ok = ShellExecuteExW(&execute);
        CoTaskMemFree(list);
        return ok ? S_OK : E_UNEXPECTED;
    }

    // Writes the file (with Shift, every file of the folder beside it) into
    // the folder's temporary folder and opens it.
    HRESULT openFile(HWND window, bool openWith, bool everyFile) {
        std::wstring folder = folder_->temporaryFolder();
        if (folder.empty()) return E_UNEXPECTED;
        std::wstring path = everyFile ? writeEveryFile(folder) : writeSelected(folder);
        if (path.empty()) return E_UNEXPECTED;
        // The file's identifier list is given too: not every shell makes one
        // from the path when asked to invoke through it.
        LPITEMIDLIST list = ILCreateFromPathW(path.c_str());
        SHELLEXECUTEINFOW execute = {};
        execute.cbSize = sizeof execute;
        execute.fMask = SEE_MASK_INVOKEIDLIST | SEE_MASK_NOASYNC;
        execute.hwnd = window;
        execute.lpVerb = openWith ? L"openas" : nullptr;
        execute.lpFile = path.c_str();
        execute.lpIDList = list;
        execute.nShow = SW_SHOWNORMAL;
        BOOL ok = ShellExecuteExW(&execute);
        ILFree(list);
        return ok ? S_OK : E_UNEXPECTED;
    }

    std::wstring writeSelected(const std::wstring& folder) {
        IStream* stream = nullptr;
        if (FAILED(folder_->BindToObject(items_[0], nullptr, IID_IStream, reinterpret_cast<void**>(&stream))))
            return {};
        std::wstring path = writeEntry(stream, folder);
        stream->Release();
        return path;
    }

    // The selected file's path only when it was written now: an older copy
    // left in the folder is never opened in its place.
    std::wstring writeEveryFile(const std::wstring& folder) {
        STRRET name;
        if (FAILED(folder_->GetDisplayNameOf(items_[0], SHGDN_INFOLDER, &name))) return {};
        wchar_t* selectedName = nullptr;
        if (FAILED(StrRetToStrW(&name, items_[0], &selectedName))) return {};
        std::u16string safe = windowsSafeName(reinterpret_cast<const char16_t*>(selectedName));
        CoTaskMemFree(selectedName);
        const std::wstring selected = folder + L"\\" + std::wstring(safe.begin(), safe.end());

        std::vector<LPITEMIDLIST> files;
        IEnumIDList* items = nullptr;
        if (folder_->EnumObjects(nullptr, SHCONTF_NONFOLDERS, &items) != S_OK) return {};
        LPITEMIDLIST item;
        while (items->Next(1, &item, nullptr) == S_OK) {
            EntryId id;
            if (readEntryId(item, &id) && id.kind == kFileEntry)
                files.push_back(item);
            else
                CoTaskMemFree(item);
        }
        items->Release();
        bool selectedWritten = false, variantWritten = false;
        IDataObject* data = nullptr;
        if (!files.empty() &&
            SUCCEEDED(folder_->GetUIObjectOf(owner_, static_cast<UINT>(files.size()),
                                             const_cast<PCUITEMID_CHILD_ARRAY>(files.data()), IID_IDataObject,
                                             nullptr, reinterpret_cast<void**>(&data)))) {
            // The data object lists the files in the archive's order, which
            // need not be the folder's: the written paths tell which is which.
            for (size_t j = 0; j < files.size(); ++j) {
                FORMATETC format = {static_cast<CLIPFORMAT>(clipboardFormat(kFileContents)), nullptr,
                                    DVASPECT_CONTENT, static_cast<LONG>(j), TYMED_ISTREAM};
                STGMEDIUM medium = {};
                if (FAILED(data->GetData(&format, &medium))) continue;
                std::wstring written = writeEntry(medium.pstm, folder);
                if (lstrcmpiW(written.c_str(), selected.c_str()) == 0)
                    (written == selected ? selectedWritten : variantWritten) = true;
                ReleaseStgMedium(&medium);
            }
            data->Release();
        }
        for (LPITEMIDLIST file : files) CoTaskMemFree(file);
        // A file whose name differs from the selected one's only in case is
        // the same file here: the selected entry's bytes are written last.
        if (variantWritten) return writeSelected(folder);
        return selectedWritten ? selected : std::wstring();
    }

    ArchiveFolder* folder_;
    HWND owner_;
    std::vector<LPITEMIDLIST> items_;
};

// The file-system path of a library's default save folder.
std::wstring librarySaveFolder(LPCITEMIDLIST list) {
    using CreateItem = HRESULT(WINAPI*)(PCIDLIST_ABSOLUTE, REFIID, void**);
    HMODULE shell32 = GetModuleHandleW(L"shell32.dll");
    auto createItem = shell32 ? reinterpret_cast<CreateItem>(
                                    reinterpret_cast<void*>(GetProcAddress(shell32, "SHCreateItemFromIDList")))
                              : nullptr;
    if (!createItem) return {};
    std::wstring path;
    IShellItem* item = nullptr;
    IShellLibrary* library = nullptr;
    IShellItem* save = nullptr;
    wchar_t* name = nullptr;
    if (SUCCEEDED(createItem(list, kShellItemIid, reinterpret_cast<void**>(&item))) &&
        SUCCEEDED(CoCreateInstance(kShellLibraryClass, nullptr, CLSCTX_INPROC_SERVER, kShellLibraryIid,
                                   reinterpret_cast<void**>(&library))) &&
        SUCCEEDED(library->LoadLibraryFromItem(item, STGM_READWRITE)) &&
        SUCCEEDED(library->GetDefaultSaveFolder(DSFT_PRIVATE, kShellItemIid, reinterpret_cast<void**>(&save))) &&
        SUCCEEDED(save->GetDisplayName(SIGDN_FILESYSPATH, &name))) {
        path = name;
        CoTaskMemFree(name);
    }
    if (save) save->Release();
    if (library) library->Release();
    if (item) item->Release();
    return path;
}

bool isDirectory(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isArchiveFile(const wchar_t* path) {
    return !isDirectory(path) && isArchiveName(reinterpret_cast<const char16_t*>(path));
}

std::vector<std::wstring> droppedNames(HDROP drop) {
    std::vector<std::wstring> names;
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring name(length + 1, L'\0');
        if (DragQueryFileW(drop, i, name.data(), length + 1) != length) continue;
        name.resize(length);
        names.push_back(name);
    }
    return names;
}

class ArchiveFileMenu final : public IShellExtInit, public IContextMenu, private Counted {
public:
    ~ArchiveFileMenu() {
        if (bitmap_) DeleteObject(bitmap_);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IShellExtInit)
            *out = static_cast<IShellExtInit*>(this);
        else if (riid == IID_IUnknown || riid == IID_IContextMenu)
            *out = static_cast<IContextMenu*>(this);
        else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.release(this); }

    HRESULT STDMETHODCALLTYPE Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) override;

    HRESULT STDMETHODCALLTYPE QueryContextMenu(HMENU menu, UINT position, UINT first, UINT, UINT flags) override {
        if (flags & CMF_DEFAULTONLY) return itemCount(0);
        loadFileTexts();
        if (singleArchive_)
            InsertMenuW(menu, position++, MF_BYPOSITION | MF_STRING, first + kExploreCommand, exploreText.text);
        InsertMenuW(menu, position, MF_BYPOSITION | MF_STRING, first + kExtractCommand, extractText.text);
        if (HBITMAP bitmap = menuBitmap()) SetMenuItemBitmaps(menu, position, MF_BYPOSITION, bitmap, nullptr);
        return itemCount(2);
    }

    HRESULT STDMETHODCALLTYPE InvokeCommand(CMINVOKECOMMANDINFO* info) override {
        if (!info) return E_INVALIDARG;
        static const char* const verbs[] = {"explore", "zorvexExtract"};
        UINT command = commandOf(info->lpVerb, verbs, 2);
        if (command == UINT_MAX || archives_.empty()) return E_INVALIDARG;
        if (command == kExploreCommand) {
            SHELLEXECUTEINFOW execute = {};
            execute.cbSize = sizeof execute;
            execute.fMask = SEE_MASK_CLASSNAME;
            execute.hwnd = info->hwnd;
            execute.lpVerb = L"explore";
            execute.lpFile = archives_[0].c_str();
            execute.lpClass = L"folder";
            execute.nShow = SW_SHOWNORMAL;
            return ShellExecuteExW(&execute) ? S_OK : E_UNEXPECTED;
        }
        std::wstring application;
        std::wstring commandLine = extractionCommandLine(&application);
        if (commandLine.empty()) return E_FAIL;
        return startWithInput(application, commandLine, extractionInput(target_, archives_)) ? S_OK : E_FAIL;
    }

    HRESULT STDMETHODCALLTYPE GetCommandString(UINT_PTR id, UINT type, UINT*, LPSTR buffer, UINT size) override {
        static const wchar_t* const verbs[] = {L"explore", L"zorvexExtract"};
        return copyVerb(id, type, buffer, size, verbs, 2);
    }

private:
    void addClipboardArchives();
    HBITMAP menuBitmap();

    RefCount refs_;
    std::wstring target_;
    std::vector<std::wstring> archives_;
    bool singleArchive_ = false;
    HBITMAP bitmap_ = nullptr;
};

HRESULT STDMETHODCALLTYPE ArchiveFileMenu::Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY) {
    target_.clear();
    archives_.clear();
    singleArchive_ = false;
    if (folder) {
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(folder, path) && path[0])
            target_ = path;
        else
            target_ = librarySaveFolder(folder);
        if (target_.empty()) return E_FAIL;
    }
    if (data) {
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium = {};
        HRESULT hr = data->GetData(&format, &medium);
        if (FAILED(hr)) return hr;
        std::vector<std::wstring> names = droppedNames(static_cast<HDROP>(medium.hGlobal));
        ReleaseStgMedium(&medium);
        if (!folder && names.size() == 1 && isDirectory(names[0].c_str())) {
            // A folder right-clicked (or its background): archives on the clipboard go there.
            target_ = names[0];
        } else {
            for (const std::wstring& name : names)
                if (isArchiveFile(name.c_str())) archives_.push_back(name);
            singleArchive_ = !folder && names.size() == 1 && archives_.size() == 1;
            return archives_.empty() ? E_FAIL : S_OK;
        }
    } else if (target_.empty()) {
        return archives_.empty() ? E_FAIL : S_OK;
    }
    addClipboardArchives();
    return archives_.empty() ? E_FAIL : S_OK;
}

void ArchiveFileMenu::addClipboardArchives() {
    if (!OpenClipboard(nullptr)) return;
    if (HANDLE drop = GetClipboardData(CF_HDROP))
        for (const std::wstring& name : droppedNames(static_cast<HDROP>(drop)))
            if (isArchiveFile(name.c_str())) archives_.push_back(name);
    CloseClipboard();
}

// The library's 11x11 bitmap centred on a black check-mark-sized one; none
// when check marks are too small to hold it.
HBITMAP ArchiveFileMenu::menuBitmap() {
    int width = GetSystemMetrics(SM_CXMENUCHECK), height = GetSystemMetrics(SM_CYMENUCHECK);
    if (width <= 10 || height <= 10) return nullptr;
    if (bitmap_) return bitmap_;
    HDC screen = GetDC(nullptr);
    HDC target = CreateCompatibleDC(screen);
    HDC source = CreateCompatibleDC(screen);
    bitmap_ = CreateBitmap(width, height, GetDeviceCaps(screen, PLANES), GetDeviceCaps(screen, BITSPIXEL), nullptr);
    HBITMAP own = static_cast<HBITMAP>(
        LoadImageW(moduleHandle(), MAKEINTRESOURCEW(ZORVEX_MENU_BITMAP), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    if (bitmap_ && own && target && source) {
        HGDIOBJ oldTarget = SelectObject(target, bitmap_);
        HGDIOBJ oldSource = SelectObject(source, own);
        PatBlt(target, 0, 0, width, height, BLACKNESS);
        BitBlt(target, (width - kBitmapSize) / 2, (height - kBitmapSize) / 2, kBitmapSize, kBitmapSize, source, 0, 0,
               SRCCOPY);
        SelectObject(source, oldSource);
        SelectObject(target, oldTarget);
    }
    if (own) DeleteObject(own);
    if (source) DeleteDC(source);
    if (target) DeleteDC(target);
    ReleaseDC(nullptr, screen);
    return bitmap_;
}

}  // namespace

IContextMenu* newItemContextMenu(ArchiveFolder* folder, HWND owner, UINT count, PCUITEMID_CHILD_ARRAY items) {
    std::vector<LPITEMIDLIST> copies;
    for (UINT i = 0; i < count; ++i) {
        EntryId id;
        LPITEMIDLIST copy = readEntryId(items[i], &id) ? ILClone(items[i]) : nullptr;
        if (!copy) {
            for (LPITEMIDLIST c : copies) CoTaskMemFree(c);
            return nullptr;
        }
        copies.push_back(copy);
    }
    auto* menu = new (std::nothrow) ItemContextMenu(folder, owner, std::move(copies));
    return menu;
}

IUnknown* newArchiveFileMenu() { return static_cast<IContextMenu*>(new (std::nothrow) ArchiveFileMenu()); }

std::wstring extractionInput(const std::wstring& target, const std::vector<std::wstring>& archives) {
    std::wstring input = target + L"\n";
    for (const std::wstring& archive : archives) input += archive + L"\n";
    return input;
}

std::wstring extractionCommandLine(std::wstring* application) {
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    wchar_t module[MAX_PATH];
    DWORD length = GetModuleFileNameW(moduleHandle(), module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    *application = std::wstring(system) + L"\\rundll32.exe";
    return L"\"" + *application + L"\" \"" + module + L"\",Extract -";
}

bool startWithInput(const std::wstring& application, std::wstring commandLine, const std::wstring& input) {
    // Neither end is inheritable at first; then only the read end is made so.
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return false;
    bool started = false;
    if (SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = readEnd;
        PROCESS_INFORMATION process = {};
        started = CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process);
        if (started) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    CloseHandle(readEnd);
    if (started) {
        // Write errors are the child's to notice: it sees incomplete input.
        DWORD written = 0;
        WriteFile(writeEnd, input.data(), static_cast<DWORD>(input.size() * sizeof(wchar_t)), &written, nullptr);
    }
    CloseHandle(writeEnd);
    return started;
}

}  // namespace zorvex::shell
