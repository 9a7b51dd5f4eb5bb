// The context menus: items, ids and flags the shell sees, verbs, the copy
// command, the file menu's initialisation from dropped files, folders and the
// clipboard, and the extraction process it starts (a stand-in child captures
// what the pipe carries; the real rundll32 runs ExtractW to its end).
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "copy_engine.h"
#include "shell/com_object.h"
#include "shell/menus.h"
#include "shell/module.h"
#include "shell_test_util.h"

namespace zorvex::shell {
namespace {

// A data object that offers dropped file names (CF_HDROP), as the shell
// hands them to menu handlers.
class DroppedFiles final : public SingleInterface<IDataObject> {
public:
    explicit DroppedFiles(std::vector<std::wstring> names) : names_(std::move(names)) {}

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL)) return DV_E_FORMATETC;
        std::wstring list;
        for (const std::wstring& name : names_) list += name + L'\0';
        list += L'\0';
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
        auto* drop = static_cast<DROPFILES*>(GlobalLock(block));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        memcpy(drop + 1, list.data(), list.size() * sizeof(wchar_t));
        GlobalUnlock(block);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
        return format->cfFormat == CF_HDROP ? S_OK : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC** out) override {
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        return SHCreateStdEnumFmtEtc(1, &format, out);
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    std::vector<std::wstring> names_;
};

struct MenuItems {
    std::vector<UINT> ids;  // 0 for separators
    int defaultId;
};

MenuItems itemsOf(HMENU menu) {
    MenuItems items;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) items.ids.push_back(GetMenuItemID(menu, i));
    items.defaultId = static_cast<int>(GetMenuDefaultItem(menu, FALSE, 0));
    return items;
}

// Query results: the count of ids used, and what went into the menu.
std::pair<int, MenuItems> query(IContextMenu* menu, UINT flags) {
    HMENU popup = CreatePopupMenu();
    HRESULT hr = menu->QueryContextMenu(popup, 0, 100, 200, flags);
    MenuItems items = itemsOf(popup);
    DestroyMenu(popup);
    return {SUCCEEDED(hr) ? HRESULT_CODE(hr) : -1, items};
}

std::wstring verb(IContextMenu* menu, UINT_PTR id, UINT type = GCS_VERBW, HRESULT* result = nullptr) {
    wchar_t text[32] = {};
    HRESULT hr = menu->GetCommandString(id, type, nullptr, reinterpret_cast<LPSTR>(text), 32);
    if (result) *result = hr;
    return SUCCEEDED(hr) ? text : L"<" + std::to_wstring(hr) + L">";
}

HRESULT invoke(IContextMenu* menu, LPCSTR command) {
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.lpVerb = command;
    info.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&info);
}

class MenuTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        if (fixtures().empty()) GTEST_SKIP() << "ZORVEX_SHELL_FIXTURES is not set";
        openArchiveFolder(fixtures() + L"\\main.zip", folder, own);
    }

    IContextMenu* itemMenu(const std::vector<std::wstring>& names) {
        return uiObjectOf<IContextMenu>(folder.p, names, IID_IContextMenu);
    }

    // A file menu initialised as the shell does for a selection or a drop.
    Com<IContextMenu> fileMenu(LPCITEMIDLIST folderList, const std::vector<std::wstring>& dropped,
                               HRESULT* result) {
        Com<IContextMenu> menu;
        EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IContextMenu, menu.out()), S_OK);
        Com<IShellExtInit> init;
        EXPECT_EQ(menu->QueryInterface(IID_IShellExtInit, init.out()), S_OK);
        DroppedFiles* data = dropped.empty() ? nullptr : new DroppedFiles(dropped);
        *result = init->Initialize(folderList, data, nullptr);
        if (data) data->Release();
        return menu;
    }

    Com<IShellFolder2> folder;
    IdList own;
};

TEST_F(MenuTest, ItemMenuEntriesFollowSelectionAndFlags) {
    Com<IContextMenu> file, dir, two;
    file.p = itemMenu({L"a.txt"});
    dir.p = itemMenu({L"sub"});
    two.p = itemMenu({L"a.txt", L"sub"});
    ASSERT_TRUE(file.p && dir.p && two.p);

    auto [count, items] = query(file.p, CMF_NORMAL);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(items.ids, std::vector<UINT>({100, 0, 102}));
    EXPECT_EQ(items.defaultId, 100);
    std::tie(count, items) = query(file.p, CMF_EXTENDEDVERBS);
    EXPECT_EQ(items.ids, std::vector<UINT>({100, 101, 0, 102}));
    std::tie(count, items) = query(file.p, CMF_DEFAULTONLY);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(items.ids, std::vector<UINT>({100}));
    std::tie(count, items) = query(file.p, CMF_NODEFAULT);
    EXPECT_EQ(items.defaultId, -1);
    // Open with only for a plain file.
    std::tie(count, items) = query(dir.p, CMF_EXTENDEDVERBS);
    EXPECT_EQ(items.ids, std::vector<UINT>({100, 0, 102}));
    std::tie(count, items) = query(two.p, CMF_NORMAL);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(items.ids, std::vector<UINT>({102}));
    std::tie(count, items) = query(two.p, CMF_DEFAULTONLY);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(items.ids.empty());

    EXPECT_EQ(verb(file.p, 0), L"open");
    EXPECT_EQ(verb(file.p, 1), L"openas");
    EXPECT_EQ(verb(file.p, 2), L"copy");
    HRESULT hr;
    verb(file.p, 3, GCS_VERBW, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    verb(file.p, 0, GCS_HELPTEXTW, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(file->GetCommandString(0, GCS_VERBW, nullptr, nullptr, 0), E_POINTER);

    EXPECT_EQ(invoke(file.p, "bogus"), E_INVALIDARG);
    EXPECT_EQ(invoke(file.p, MAKEINTRESOURCEA(3)), E_INVALIDARG);
    EXPECT_EQ(file->InvokeCommand(nullptr), E_INVALIDARG);
}

TEST_F(MenuTest, CopyPutsTheSelectionOnTheClipboard) {
    Com<IContextMenu> menu;
    menu.p = itemMenu({L"sub", L"a.txt"});
    ASSERT_TRUE(menu.p);
    ASSERT_EQ(invoke(menu.p, "COPY"), S_OK);
    Com<IDataObject> pasted;
    ASSERT_EQ(OleGetClipboard(&pasted.p), S_OK);
    // The copy is flushed; Wine's flush keeps what renders to global memory
    // (the descriptors) and, unlike Windows, does not persist the object, so
    // the contents are checked through persistence in the data object tests.
    std::vector<Descriptor> descriptors;
    ASSERT_EQ(readDescriptors(pasted.p, &descriptors), S_OK);
    std::vector<std::wstring> names;
    for (const Descriptor& d : descriptors) names.push_back(d.name);
    EXPECT_EQ(names, std::vector<std::wstring>({L"sub", L"a.txt", L"sub\\b.txt", L"sub\\inner.zip"}));
    OleSetClipboard(nullptr);
}

TEST_F(MenuTest, FileMenuOffersExploreOnlyForOneSelectedArchive) {
    const std::wstring f = fixtures() + L"\\";
    HRESULT hr;
    Com<IContextMenu> one = fileMenu(nullptr, {f + L"main.zip"}, &hr);
    ASSERT_EQ(hr, S_OK);
    auto [count, items] = query(one.p, CMF_NORMAL);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(items.ids, std::vector<UINT>({100, 101}));
    std::tie(count, items) = query(one.p, CMF_DEFAULTONLY);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(items.ids.empty());

    Com<IContextMenu> two = fileMenu(nullptr, {f + L"main.zip", f + L"only.zip"}, &hr);
    ASSERT_EQ(hr, S_OK);
    std::tie(count, items) = query(two.p, CMF_NORMAL);
    EXPECT_EQ(items.ids, std::vector<UINT>({101}));

    // Dragged with the right button onto a folder: the folder list is given.
    IdList target;
    ASSERT_EQ(SHParseDisplayName(fixtures().c_str(), nullptr, target.out(), 0, nullptr), S_OK);
    Com<IContextMenu> dragged = fileMenu(target.p, {f + L"main.zip"}, &hr);
    ASSERT_EQ(hr, S_OK);
    std::tie(count, items) = query(dragged.p, CMF_NORMAL);
    EXPECT_EQ(items.ids, std::vector<UINT>({101}));

    // Nothing that is an archive: no menu.
    fileMenu(nullptr, {f + L"src\\a.txt"}, &hr);
    EXPECT_EQ(hr, E_FAIL);
    fileMenu(nullptr, {}, &hr);
    EXPECT_EQ(hr, E_FAIL);

    EXPECT_EQ(verb(one.p, 0), L"explore");
    EXPECT_EQ(verb(one.p, 1), L"zorvexExtract");
    verb(one.p, 2, GCS_VERBW, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(invoke(one.p, "open"), E_INVALIDARG);
    EXPECT_EQ(invoke(one.p, MAKEINTRESOURCEA(2)), E_INVALIDARG);
}

TEST_F(MenuTest, FolderBackgroundExtractsArchivesOnTheClipboard) {
    IdList target;
    ASSERT_EQ(SHParseDisplayName(fixtures().c_str(), nullptr, target.out(), 0, nullptr), S_OK);
    HRESULT hr;
    OleSetClipboard(nullptr);
    fileMenu(target.p, {}, &hr);
    EXPECT_EQ(hr, E_FAIL);

    auto* copied = new DroppedFiles({fixtures() + L"\\main.zip", fixtures() + L"\\src\\a.txt"});
    ASSERT_EQ(OleSetClipboard(copied), S_OK);
    copied->Release();
    ASSERT_EQ(OleFlushClipboard(), S_OK);
    Com<IContextMenu> background = fileMenu(target.p, {}, &hr);
    EXPECT_EQ(hr, S_OK);
    auto [count, items] = query(background.p, CMF_NORMAL);
    EXPECT_EQ(items.ids, std::vector<UINT>({101}));
    // A folder right-clicked in its parent (one directory dropped, no list).
    fileMenu(nullptr, {fixtures()}, &hr);
    EXPECT_EQ(hr, S_OK);
    OleSetClipboard(nullptr);
}

std::string narrow(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(MenuTest, OpeningGoesThroughAFreshTemporaryCopy) {
    ScratchFolder out(L"zorvex-open-");
    const std::wstring opened = out.path + L"\\opened.bin";
    TestFileType type(opened);
    Com<IShellFolder2> archive;
    IdList archiveList;
    openArchiveFolder(fixtures() + L"\\open.zip", archive, archiveList);
    auto open = [&](const wchar_t* name, DWORD mask) {
        std::wstring copy = name;
        IdList item;
        archive->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, item.out(), nullptr);
        Com<IContextMenu> menu;
        LPCITEMIDLIST items[1] = {item.p};
        EXPECT_EQ(archive->GetUIObjectOf(nullptr, 1, items, IID_IContextMenu, nullptr, menu.out()), S_OK);
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof info;
        info.fMask = mask;
        info.lpVerb = "open";
        info.nShow = SW_SHOWNORMAL;
        DeleteFileW(opened.c_str());
        return menu->InvokeCommand(&info);
    };
    const std::vector<uint8_t> doc = readAll(archive.p, L"doc.zvt");

    ASSERT_EQ(open(L"doc.zvt", 0), S_OK);
    EXPECT_EQ(waitForFile(opened), doc);
    // The program got a copy in the folder's own temporary folder.
    std::string path = narrow(fileBytes(opened + L".path"));
    std::string temporary = path.substr(0, path.find_last_of('\\'));
    EXPECT_NE(temporary.find("zsf"), std::string::npos) << path;
    EXPECT_EQ(path.substr(path.find_last_of('\\') + 1), "doc.zvt");

    // With Shift, every file that can be read lands beside the one opened.
    ASSERT_EQ(open(L"other.zvt", CMIC_MASK_SHIFT_DOWN), S_OK);
    EXPECT_EQ(narrow(waitForFile(opened)), "opened beside it\n");
    std::wstring folder(temporary.begin(), temporary.end());
    EXPECT_EQ(fileBytes(folder + L"\\doc.zvt"), doc);
    EXPECT_EQ(GetFileAttributesW((folder + L"\\bad.zvt").c_str()), INVALID_FILE_ATTRIBUTES);

    // A damaged file is not opened, nor an older copy of it left there.
    for (DWORD mask : {0ul, static_cast<unsigned long>(CMIC_MASK_SHIFT_DOWN)}) {
        writeBytes(folder + L"\\bad.zvt", {'s', 't', 'a', 'l', 'e'});
        EXPECT_EQ(open(L"bad.zvt", mask), E_UNEXPECTED) << mask;
    }
    Sleep(1000);
    EXPECT_EQ(GetFileAttributesW(opened.c_str()), INVALID_FILE_ATTRIBUTES);

    // Beside a file whose name differs only in case, which shares its place
    // in the temporary folder, the selected one is what opens.
    archive->Release();
    archive.p = nullptr;
    CoTaskMemFree(archiveList.p);
    archiveList.p = nullptr;
    openArchiveFolder(fixtures() + L"\\case.zip", archive, archiveList);
    for (const wchar_t* name : {L"Note.zvt", L"note.zvt"}) {
        ASSERT_EQ(open(name, CMIC_MASK_SHIFT_DOWN), S_OK);
        std::wstring wide = name;
        EXPECT_EQ(narrow(waitForFile(opened)), std::string(wide.begin(), wide.end()));
    }
}

TEST(ExtractionProcess, PipeCarriesTheLinesAndEndsForTheChild) {
    std::wstring input = extractionInput(L"C:\\Out", {L"C:\\a.zip", L"D:\\b.rar"});
    EXPECT_EQ(input, L"C:\\Out\nC:\\a.zip\nD:\\b.rar\n");
    EXPECT_EQ(extractionInput(L"", {L"C:\\a.zip"}), L"\nC:\\a.zip\n");

    ScratchFolder out(L"zorvex-pipe-");
    const std::wstring captured = out.path + L"\\stdin.bin";
    const std::wstring child = besideTests(L"zorvex_stdin_capture.exe");
    std::wstring commandLine = L"\"" + child + L"\" \"" + captured + L"\"";
    ASSERT_TRUE(startWithInput(child, commandLine, input));
    // The child sees the end of its input only when no process but this one
    // ever held the pipe's write end.
    std::vector<uint8_t> bytes = waitForFile(captured);
    std::vector<uint8_t> want(reinterpret_cast<const uint8_t*>(input.data()),
                              reinterpret_cast<const uint8_t*>(input.data() + input.size()));
    EXPECT_EQ(bytes, want);
    EXPECT_FALSE(startWithInput(out.path + L"\\missing.exe", L"missing.exe", input));
}

TEST(ExtractionProcess, CommandRunsRundll32OfTheSystemFolder) {
    std::wstring application;
    std::wstring commandLine = extractionCommandLine(&application);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(application, std::wstring(system) + L"\\rundll32.exe");
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(moduleHandle(), module, MAX_PATH);
    EXPECT_EQ(commandLine, L"\"" + application + L"\" \"" + module + L"\",Extract -");
}

// Runs the library's ExtractW through rundll32 with `input` on its standard
// input; false when it did not end within a minute.
bool runExtract(const std::wstring& input) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring rundll32 = std::wstring(system) + L"\\rundll32.exe";
    std::wstring commandLine = L"\"" + rundll32 + L"\" \"" + environment(L"ZORVEX_SHELL_DLL") + L"\",Extract -";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(rundll32.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(readEnd);
    DWORD written;
    if (started) WriteFile(writeEnd, input.data(), static_cast<DWORD>(input.size() * 2), &written, nullptr);
    CloseHandle(writeEnd);
    if (!started) return false;
    bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
}

TEST(ExtractionProcess, ExtractThroughRundll32AlwaysEnds) {
    if (fixtures().empty() || environment(L"ZORVEX_SHELL_DLL").empty()) GTEST_SKIP() << "fixtures or DLL not set";
    ScratchFolder out(L"zorvex-rundll-");
    const std::wstring f = fixtures() + L"\\";
    // A missing archive among others: nothing is extracted.
    EXPECT_TRUE(runExtract(out.path + L"\n" + f + L"only.zip\n" + f + L"missing.zip\n"));
    EXPECT_TRUE(readTree(out.path).empty());
    // Input without an archive line, or without any line end.
    EXPECT_TRUE(runExtract(out.path + L"\n"));
    EXPECT_TRUE(runExtract(out.path));
    // A real archive: whatever the folder's drop target does with it, the
    // process does not wait for an operation that was never started.
    EXPECT_TRUE(runExtract(out.path + L"\n" + f + L"only.zip\n"));
}

}  // namespace
}  // namespace zorvex::shell
