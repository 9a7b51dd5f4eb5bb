// The archive folder's view in use: the system folder view hosted in a small
// shell browser window, showing an archive, its items opened by their default
// command. Needs a display (scripts/test-windows.sh runs it under Xvfb and
// names the screenshot file in ZORVEX_VIEW_SCREENSHOT).
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "copy_engine.h"
#include "shell_test_util.h"

namespace zorvex::shell {
namespace {

constexpr UINT kGetShellBrowser = WM_USER + 7;

// A browser frame that hosts one folder view and records where the view asks
// it to go instead of going there.
class TestBrowser final : public IShellBrowser, public IServiceProvider {
public:
    TestBrowser() {
        WNDCLASSW type = {};
        type.lpfnWndProc = frameProcedure;
        type.hInstance = GetModuleHandleW(nullptr);
        type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        type.lpszClassName = L"ZorvexTestBrowser";
        RegisterClassW(&type);
        frame_ = CreateWindowExW(0, type.lpszClassName, L"archive view", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 720,
                                 300, nullptr, nullptr, type.hInstance, nullptr);
        SetWindowLongPtrW(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(static_cast<IShellBrowser*>(this)));
    }
    ~TestBrowser() {
        if (view_) {
            view_->UIActivate(SVUIA_DEACTIVATE);
            view_->DestroyViewWindow();
            view_->Release();
        }
        DestroyWindow(frame_);
        for (LPITEMIDLIST list : browsed) CoTaskMemFree(list);
    }

    HRESULT show(IShellFolder* folder) {
        if (!frame_) return E_FAIL;
        HRESULT hr = folder->CreateViewObject(frame_, IID_IShellView, reinterpret_cast<void**>(&view_));
        if (FAILED(hr)) return hr;
        FOLDERSETTINGS settings = {FVM_DETAILS, 0};
        RECT area;
        GetClientRect(frame_, &area);
        hr = view_->CreateViewWindow(nullptr, &settings, this, &area, &viewWindow_);
        if (FAILED(hr)) return hr;
        view_->UIActivate(SVUIA_ACTIVATE_FOCUS);
        pumpMessages();
        return S_OK;
    }

    HWND frame() const { return frame_; }
    IShellView* view() const { return view_; }
    HWND list() const { return FindWindowExW(viewWindow_, nullptr, WC_LISTVIEWW, nullptr); }

    static void pumpMessages() {
        for (int round = 0; round < 20; ++round) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            Sleep(10);
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleWindow || riid == IID_IShellBrowser)
            *out = static_cast<IShellBrowser*>(this);
        else if (riid == IID_IServiceProvider)
            *out = static_cast<IServiceProvider*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        *window = frame_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InsertMenusSB(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetMenuSB(HMENU, HOLEMENU, HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RemoveMenusSB(HMENU) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetStatusTextSB(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EnableModelessSB(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE TranslateAcceleratorSB(MSG*, WORD) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE BrowseObject(PCUIDLIST_RELATIVE list, UINT flags) override {
        browsed.push_back(ILClone(list));
        browseFlags.push_back(flags);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetViewStateStream(DWORD, IStream** stream) override {
        *stream = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetControlWindow(UINT, HWND* window) override {
        *window = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SendControlMsg(UINT, UINT, WPARAM, LPARAM, LRESULT* result) override {
        if (result) *result = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryActiveShellView(IShellView** view) override {
        *view = view_;
        if (!view_) return E_FAIL;
        view_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnViewWindowActive(IShellView*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetToolbarItems(LPTBBUTTONSB, UINT, UINT) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** out) override {
        if (service == SID_SShellBrowser || service == SID_STopLevelBrowser) return QueryInterface(riid, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

    std::vector<LPITEMIDLIST> browsed;
    std::vector<UINT> browseFlags;

private:
    static LRESULT CALLBACK frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == kGetShellBrowser) return GetWindowLongPtrW(window, GWLP_USERDATA);
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND frame_ = nullptr;
    HWND viewWindow_ = nullptr;
    IShellView* view_ = nullptr;
};

std::vector<uint8_t> listBytes(LPCITEMIDLIST list) {
    auto* bytes = reinterpret_cast<const uint8_t*>(list);
    return std::vector<uint8_t>(bytes, bytes + ILGetSize(list));
}

void appendBig32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void appendChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    appendBig32(out, static_cast<uint32_t>(data.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    appendBig32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// The window as it is on screen, as an RGB PNG file.
bool saveScreenshot(HWND window, const std::wstring& path) {
    RECT area;
    GetWindowRect(window, &area);
    const int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rows;
    for (int y = 0; y < height; ++y) {
        rows.push_back(0);  // no filter
        const uint8_t* pixel = static_cast<const uint8_t*>(bits) + static_cast<size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x, pixel += 4) rows.insert(rows.end(), {pixel[2], pixel[1], pixel[0]});
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied) return false;

    std::vector<uint8_t> header;
    appendBig32(header, width);
    appendBig32(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size())) != Z_OK) return false;
    packed.resize(packedSize);
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", packed);
    appendChunk(png, "IEND", {});
    writeBytes(path, png);
    return true;
}

class ViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        if (fixtures().empty() || environment(L"ZORVEX_VIEW_SCREENSHOT").empty())
            GTEST_SKIP() << "needs ZORVEX_SHELL_FIXTURES and a display (ZORVEX_VIEW_SCREENSHOT)";
        openArchiveFolder(fixtures() + L"\\view.zip", folder, own);
        browser = std::make_unique<TestBrowser>();
        ASSERT_EQ(browser->show(folder.p), S_OK);
    }

    std::vector<std::wstring> shownNames() {
        std::vector<std::wstring> names;
        HWND list = browser->list();
        int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t text[MAX_PATH] = {};
            LVITEMW item = {};
            item.iSubItem = 0;
            item.pszText = text;
            item.cchTextMax = MAX_PATH;
            SendMessageW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item));
            names.push_back(text);
        }
        return names;
    }

    // Selects `name` in the view and runs the default command of the
    // selection's menu, as the view does for a double click or Enter. (Wine's
    // own view opens double-clicked items through a shell identifier list
    // that it asks of the selection's data object, not through the menu, so
    // the click itself is not replayed here.)
    HRESULT openInView(const wchar_t* name, IdList& item) {
        std::wstring copy = name;
        EXPECT_EQ(folder->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, item.out(), nullptr), S_OK);
        HRESULT hr = browser->view()->SelectItem(item.p, SVSI_SELECT | SVSI_FOCUSED | SVSI_DESELECTOTHERS);
        if (FAILED(hr)) return hr;
        EXPECT_EQ(SendMessageW(browser->list(), LVM_GETSELECTEDCOUNT, 0, 0), 1);
        Com<IContextMenu> menu;
        hr = browser->view()->GetItemObject(SVGIO_SELECTION, IID_IContextMenu, menu.out());
        if (FAILED(hr)) return hr;
        HMENU popup = CreatePopupMenu();
        menu->QueryContextMenu(popup, 0, 1, 0x7fff, CMF_DEFAULTONLY);
        UINT command = GetMenuDefaultItem(popup, FALSE, 0);
        DestroyMenu(popup);
        if (command == static_cast<UINT>(-1)) return E_FAIL;
        CMINVOKECOMMANDINFO info = {};
        info.cbSize = sizeof info;
        info.hwnd = browser->frame();
        info.lpVerb = MAKEINTRESOURCEA(command - 1);
        info.nShow = SW_SHOWNORMAL;
        hr = menu->InvokeCommand(&info);
        TestBrowser::pumpMessages();
        return hr;
    }

    Com<IShellFolder2> folder;
    IdList own;
    std::unique_ptr<TestBrowser> browser;
};

TEST_F(ViewTest, ShowsTheArchiveItemsInDetails) {
    std::vector<std::wstring> names = shownNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"docs", L"inner.zip", L"note.zvt"}));
    HWND header = reinterpret_cast<HWND>(SendMessageW(browser->list(), LVM_GETHEADER, 0, 0));
    // Wine's view shows every column, the encrypted one too, which Windows
    // shows only when chosen.
    EXPECT_EQ(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0), 4);
    EXPECT_TRUE(saveScreenshot(browser->frame(), environment(L"ZORVEX_VIEW_SCREENSHOT")));
}

TEST_F(ViewTest, FoldersAndNestedArchivesOpenInTheBrowser) {
    for (const wchar_t* name : {L"docs", L"inner.zip"}) {
        IdList item;
        ASSERT_EQ(openInView(name, item), S_OK) << name;
        ASSERT_EQ(browser->browsed.size(), 1u) << name;
        IdList expected;
        expected.p = ILCombine(own.p, item.p);
        EXPECT_EQ(listBytes(browser->browsed[0]), listBytes(expected.p)) << name;
        EXPECT_FALSE(browser->browseFlags[0] & (SBSP_RELATIVE | SBSP_PARENT)) << name;
        CoTaskMemFree(browser->browsed[0]);
        browser->browsed.clear();
        browser->browseFlags.clear();
    }
}

TEST_F(ViewTest, FilesOpenThroughATemporaryCopy) {
    ScratchFolder out(L"zorvex-view-open-");
    const std::wstring opened = out.path + L"\\opened.bin";
    TestFileType type(opened);
    IdList item;
    ASSERT_EQ(openInView(L"note.zvt", item), S_OK);
    EXPECT_EQ(waitForFile(opened), readAll(folder.p, L"note.zvt"));
    std::vector<uint8_t> path = fileBytes(opened + L".path");
    EXPECT_NE(std::string(path.begin(), path.end()).find("zsf"), std::string::npos);
    EXPECT_TRUE(browser->browsed.empty());
}

}  // namespace
}  // namespace zorvex::shell
