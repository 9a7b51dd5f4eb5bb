// The COM server as the shell sees it: the DLL is loaded through COM (the
// CLSID registered by regsvr32, and DllGetClassObject directly) and browses
// archives that scripts/test-windows.sh makes before the run:
//
//   main.zip   a.txt a01.txt a1.txt Photo10.jpg photo9.JPG empty.txt noext
//              dup (a file) and dup\z.txt (a folder of the same name)
//              sub\b.txt sub\inner.zip (dir\deep.txt, x.bin)
//   src\...    the same files on disk, to compare entry bytes with
//   case.zip   Case.txt case.txt Docs\a.txt docs\a.txt Note.zvt note.zvt
//
// ZORVEX_SHELL_FIXTURES names that folder, ZORVEX_SHELL_DLL the library.
#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "shell/archive_folder.h"
#include "shell/entry_id.h"
#include "shell/module.h"
#include "shell_test_util.h"

namespace zorvex::shell {
namespace {

class ShellFolderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        if (fixtures().empty()) GTEST_SKIP() << "ZORVEX_SHELL_FIXTURES is not set";
        archivePath = fixtures() + L"\\main.zip";
        openArchiveFolder(archivePath, folder, own);
    }

    // One identifier list for a path inside the archive, relative to the folder.
    LPITEMIDLIST parse(const wchar_t* path, HRESULT* result = nullptr, ULONG* eaten = nullptr,
                       ULONG* attributes = nullptr) {
        LPITEMIDLIST list = nullptr;
        std::wstring copy = path;
        HRESULT hr = folder->ParseDisplayName(nullptr, nullptr, copy.data(), eaten, &list, attributes);
        if (result) *result = hr;
        return list;
    }

    std::wstring displayName(IShellFolder* in, LPCITEMIDLIST item, SHGDNF flags = SHGDN_NORMAL) {
        STRRET name;
        if (in->GetDisplayNameOf(item, flags, &name) != S_OK) return L"<failed>";
        return takeString(name);
    }

    // Names of the children an enumeration yields, with their kinds.
    std::vector<std::wstring> enumerate(IShellFolder* in, SHCONTF flags) {
        std::vector<std::wstring> out;
        Com<IEnumIDList> items;
        EXPECT_EQ(in->EnumObjects(nullptr, flags, &items.p), S_OK);
        if (!items.p) return out;
        LPITEMIDLIST item;
        ULONG fetched;
        while (items->Next(1, &item, &fetched) == S_OK) {
            EXPECT_EQ(fetched, 1u);
            EntryId id;
            EXPECT_TRUE(readEntryId(item, &id));
            EXPECT_EQ(ILGetSize(item), 10u);
            out.push_back(std::to_wstring(id.kind) + L":" + displayName(in, item));
            CoTaskMemFree(item);
        }
        return out;
    }

    std::wstring archivePath;
    Com<IShellFolder2> folder;
    IdList own;
};

TEST(ShellServer, ClassObjectAndUnloading) {
    HMODULE dll = LoadLibraryW(environment(L"ZORVEX_SHELL_DLL").c_str());
    ASSERT_NE(dll, nullptr);
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    auto canUnloadNow =
        reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject && canUnloadNow);

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_IShellFolder, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(kClsid, IID_IStream, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(factory->AddRef(), 1u);
    EXPECT_EQ(factory->Release(), 1u);
    IUnknown* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void**>(&object)),
              CLASS_E_NOAGGREGATION);
    // The one class is the file menu for the handler keys, an empty data
    // object for the clipboard, and otherwise the folder.
    IContextMenu* menu = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    IShellExtInit* init = nullptr;
    EXPECT_EQ(menu->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)), S_OK);
    if (init) init->Release();
    EXPECT_EQ(menu->QueryInterface(IID_IShellFolder, reinterpret_cast<void**>(&object)), E_NOINTERFACE);
    menu->Release();
    IDataObject* data = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDataObject, reinterpret_cast<void**>(&data)), S_OK);
    IPersistStream* persist = nullptr;
    EXPECT_EQ(data->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)), S_OK);
    if (persist) persist->Release();
    data->Release();

    EXPECT_EQ(canUnloadNow(), S_OK);
    factory->LockServer(TRUE);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    factory->LockServer(FALSE);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IShellFolder, reinterpret_cast<void**>(&object)), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    object->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
    FreeLibrary(dll);
}

TEST_F(ShellFolderTest, PersistenceAndInterfaces) {
    Com<IPersistFolder3> persist;
    ASSERT_EQ(folder->QueryInterface(IID_IPersistFolder3, persist.out()), S_OK);
    CLSID clsid;
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, kClsid);
    IdList other;
    ASSERT_EQ(SHParseDisplayName(fixtures().c_str(), nullptr, other.out(), 0, nullptr), S_OK);
    EXPECT_EQ(persist->Initialize(other.p), static_cast<HRESULT>(0x800704DF));
    IdList current;
    ASSERT_EQ(persist->GetCurFolder(current.out()), S_OK);
    EXPECT_TRUE(ILIsEqual(current.p, own.p));
    EXPECT_EQ(persist->GetFolderTargetInfo(nullptr), E_NOTIMPL);

    // The unnamed folder interface answers S_FALSE from its one method.
    static const GUID hint = {0xcd9617e6, 0xe67f, 0x4f7b, {0x8b, 0x64, 0x11, 0xb0, 0x5f, 0x50, 0x78, 0x68}};
    IUnknown* unknown = nullptr;
    ASSERT_EQ(folder->QueryInterface(hint, reinterpret_cast<void**>(&unknown)), S_OK);
    using Method = HRESULT(STDMETHODCALLTYPE*)(IUnknown*);
    Method method = (*reinterpret_cast<Method**>(unknown))[3];
    EXPECT_EQ(method(unknown), S_FALSE);
    unknown->Release();
    void* none = nullptr;
    EXPECT_EQ(folder->QueryInterface(IID_IShellFolderViewCB, &none), E_NOINTERFACE);
    EXPECT_EQ(folder->QueryInterface(IID_IDataObject, &none), E_NOINTERFACE);
}

TEST_F(ShellFolderTest, EnumerationFlags) {
    const std::vector<std::wstring> folders = {L"0:dup", L"0:sub"};
    const std::vector<std::wstring> files = {L"2:a.txt",     L"2:a01.txt",   L"2:a1.txt", L"2:dup",
                                             L"2:empty.txt", L"2:noext",     L"2:photo9.JPG",
                                             L"2:Photo10.jpg"};
    auto join = [](std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    EXPECT_EQ(enumerate(folder.p, SHCONTF_FOLDERS), folders);
    EXPECT_EQ(enumerate(folder.p, SHCONTF_NONFOLDERS), files);
    EXPECT_EQ(enumerate(folder.p, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS), join(folders, files));
    EXPECT_EQ(enumerate(folder.p, SHCONTF_STORAGE), join(folders, files));
    EXPECT_EQ(enumerate(folder.p, 0), std::vector<std::wstring>());

    // Nested archives come whatever the flags; Skip and Reset work across kinds.
    IdList sub;
    ASSERT_EQ(folder->BindToObject(sub.p = parse(L"sub"), nullptr, IID_IShellFolder, nullptr), E_POINTER);
    Com<IShellFolder> subFolder;
    ASSERT_EQ(folder->BindToObject(sub.p, nullptr, IID_IShellFolder, subFolder.out()), S_OK);
    EXPECT_EQ(enumerate(subFolder.p, SHCONTF_FOLDERS), std::vector<std::wstring>({L"1:inner.zip"}));
    EXPECT_EQ(enumerate(subFolder.p, 0), std::vector<std::wstring>({L"1:inner.zip"}));
    EXPECT_EQ(enumerate(subFolder.p, SHCONTF_NONFOLDERS), std::vector<std::wstring>({L"1:inner.zip", L"2:b.txt"}));

    Com<IEnumIDList> items;
    ASSERT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items.p), S_OK);
    EXPECT_EQ(items->Skip(3), S_OK);
    LPITEMIDLIST batch[20] = {};
    ULONG fetched = 0;
    EXPECT_EQ(items->Next(20, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 7u);
    EXPECT_EQ(displayName(folder.p, batch[0]), L"a01.txt");
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(batch[i]);
    EXPECT_EQ(items->Reset(), S_OK);
    EXPECT_EQ(items->Next(2, batch, nullptr), S_OK);
    EXPECT_EQ(displayName(folder.p, batch[1]), L"sub");
    CoTaskMemFree(batch[0]);
    CoTaskMemFree(batch[1]);
    IEnumIDList* clone = reinterpret_cast<IEnumIDList*>(1);
    EXPECT_EQ(items->Clone(&clone), E_NOTIMPL);
    EXPECT_EQ(clone, nullptr);
}

TEST_F(ShellFolderTest, ParsingNestedPaths) {
    HRESULT hr;
    ULONG eaten = 0, attributes = 0xFFFFFFFF;
    IdList list;
    list.p = parse(L"sub/inner.zip/dir/", &hr, &eaten, &attributes);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(eaten, 17u);
    EXPECT_EQ(attributes, kFolderAttributes);
    std::vector<int> kinds;
    for (LPCITEMIDLIST item = list.p; item; item = nextId(item)) {
        EntryId id;
        ASSERT_TRUE(readEntryId(item, &id));
        kinds.push_back(id.kind);
    }
    EXPECT_EQ(kinds, std::vector<int>({kFolderEntry, kNestedEntry, kFolderEntry}));

    IdList deep;
    attributes = SFGAO_STREAM | SFGAO_FOLDER;
    deep.p = parse(L"sub\\inner.zip\\dir\\deep.txt", &hr, &eaten, &attributes);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(attributes, static_cast<ULONG>(SFGAO_STREAM));
    EXPECT_EQ(eaten, 26u);

    IdList bad;
    bad.p = parse(L"a.txt/x", &hr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(bad.p, nullptr);
    parse(L"nothing", &hr);
    EXPECT_EQ(hr, E_FAIL);
    parse(L"sub/nothing/b.txt", &hr);
    EXPECT_EQ(hr, E_FAIL);
    // A name in another case finds the one item it can mean.
    IdList upper;
    upper.p = parse(L"SUB\\B.TXT", &hr);
    EXPECT_EQ(hr, S_OK);
}

// Names that differ only in case are separate items with identifiers of
// their own; a name in another case finds an item only when it is the only one.
TEST_F(ShellFolderTest, NamesThatDifferOnlyInCaseAreSeparateItems) {
    Com<IShellFolder2> cased;
    IdList caseList;
    openArchiveFolder(fixtures() + L"\\case.zip", cased, caseList);
    EXPECT_EQ(enumerate(cased.p, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS),
              std::vector<std::wstring>(
                  {L"0:Docs", L"0:docs", L"2:Case.txt", L"2:case.txt", L"2:Note.zvt", L"2:note.zvt"}));
    auto itemBytes = [&](const wchar_t* path, IdList& item) {
        std::wstring copy = path;
        std::string out;
        if (cased->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, item.out(), nullptr) != S_OK) return out;
        Com<IStream> stream;
        if (cased->BindToObject(item.p, nullptr, IID_IStream, stream.out()) != S_OK) return out;
        char buffer[64];
        ULONG n = 0;
        stream->Read(buffer, sizeof buffer, &n);
        return std::string(buffer, n);
    };
    struct Case {
        const wchar_t* path;
        const char* bytes;  // empty: not found
    };
    IdList items[6];
    const Case cases[] = {{L"Case.txt", "Case.txt"},     {L"case.txt", "case.txt"},
                          {L"Docs\\a.txt", "Docs/a.txt"}, {L"docs\\A.TXT", "docs/a.txt"},
                          {L"CASE.TXT", ""},              {L"DOCS\\a.txt", ""}};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(itemBytes(cases[i].path, items[i]), cases[i].bytes) << cases[i].path;
    // The two files and the files of the two folders never compare equal.
    EXPECT_NE(HRESULT_CODE(cased->CompareIDs(0, items[0].p, items[1].p)), 0);
    EXPECT_NE(HRESULT_CODE(cased->CompareIDs(0, items[2].p, items[3].p)), 0);
    EXPECT_EQ(HRESULT_CODE(cased->CompareIDs(0, items[1].p, items[1].p)), 0);
}

TEST_F(ShellFolderTest, BindingToFoldersNestedArchivesAndStreams) {
    IdList inner;
    inner.p = parse(L"sub/inner.zip");
    ASSERT_TRUE(inner.p);
    Com<IShellFolder2> innerFolder;
    ASSERT_EQ(folder->BindToObject(inner.p, nullptr, IID_IShellFolder2, innerFolder.out()), S_OK);
    EXPECT_EQ(enumerate(innerFolder.p, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS),
              std::vector<std::wstring>({L"0:dir", L"2:x.bin"}));
    // The bound folder's own list is the parent's list with the items appended.
    Com<IPersistFolder2> persist;
    ASSERT_EQ(innerFolder->QueryInterface(IID_IPersistFolder2, persist.out()), S_OK);
    IdList current;
    ASSERT_EQ(persist->GetCurFolder(current.out()), S_OK);
    IdList expected;
    expected.p = ILCombine(own.p, inner.p);
    ASSERT_EQ(ILGetSize(current.p), ILGetSize(expected.p));
    EXPECT_EQ(memcmp(current.p, expected.p, ILGetSize(current.p)), 0);
    // Names for parsing are full paths through the nested archive.
    IdList x;
    std::wstring copy = L"x.bin";
    ASSERT_EQ(innerFolder->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, x.out(), nullptr), S_OK);
    EXPECT_EQ(displayName(innerFolder.p, x.p, SHGDN_FORPARSING), archivePath + L"\\sub\\inner.zip\\x.bin");

    auto streamBytes = [&](const wchar_t* path, HRESULT* result) {
        std::vector<uint8_t> out;
        IdList item;
        item.p = parse(path);
        Com<IStream> stream;
        *result = folder->BindToObject(item.p, nullptr, IID_IStream, stream.out());
        if (*result != S_OK) return out;
        uint8_t buffer[70000];
        ULONG n = 0;
        HRESULT hr;
        while ((hr = stream->Read(buffer, sizeof buffer, &n)) == S_OK || (hr == S_FALSE && n > 0))
            out.insert(out.end(), buffer, buffer + n);
        EXPECT_EQ(hr, S_FALSE);
        return out;
    };
    HRESULT hr;
    EXPECT_EQ(streamBytes(L"a.txt", &hr), fileBytes(fixtures() + L"\\src\\a.txt"));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(streamBytes(L"sub/inner.zip/dir/deep.txt", &hr), fileBytes(fixtures() + L"\\src\\deep.txt"));
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(streamBytes(L"sub/inner.zip", &hr), fileBytes(fixtures() + L"\\src\\inner.zip"));
    EXPECT_EQ(hr, S_OK);
    streamBytes(L"sub", &hr);
    EXPECT_EQ(hr, E_FAIL);

    // A file cannot be bound as a folder; other interfaces are refused.
    IdList file;
    file.p = parse(L"a.txt");
    void* none = nullptr;
    EXPECT_EQ(folder->BindToObject(file.p, nullptr, IID_IShellFolder, &none), E_FAIL);
    EXPECT_EQ(folder->BindToObject(file.p, nullptr, IID_IDataObject, &none), E_NOINTERFACE);
    EXPECT_EQ(folder->BindToStorage(file.p, nullptr, IID_IStream, &none), E_NOTIMPL);
}

TEST_F(ShellFolderTest, EntryStreamReadSeekAndStat) {
    IdList item;
    item.p = parse(L"a.txt");
    Com<IStream> stream;
    ASSERT_EQ(folder->BindToObject(item.p, nullptr, IID_IStream, stream.out()), S_OK);
    std::vector<uint8_t> source = fileBytes(fixtures() + L"\\src\\a.txt");
    STATSTG stat;
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(stat.cbSize.QuadPart, source.size());
    EXPECT_STREQ(stat.pwcsName, L"a.txt");
    CoTaskMemFree(stat.pwcsName);
    // Stored as 2020-06-15 12:34:56 local time.
    SYSTEMTIME local;
    FILETIME localFile;
    ASSERT_TRUE(FileTimeToLocalFileTime(&stat.mtime, &localFile));
    ASSERT_TRUE(FileTimeToSystemTime(&localFile, &local));
    EXPECT_EQ(local.wYear, 2020);
    EXPECT_EQ(local.wHour, 12);
    EXPECT_EQ(local.wMinute, 34);

    LARGE_INTEGER move;
    move.QuadPart = -10;
    ULARGE_INTEGER at;
    ASSERT_EQ(stream->Seek(move, STREAM_SEEK_END, &at), S_OK);
    EXPECT_EQ(at.QuadPart, source.size() - 10);
    uint8_t tail[20];
    ULONG n = 0;
    EXPECT_EQ(stream->Read(tail, 20, &n), S_FALSE);
    ASSERT_EQ(n, 10u);
    EXPECT_TRUE(std::equal(tail, tail + 10, source.end() - 10));
    EXPECT_EQ(stream->Read(tail, 20, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(stream->Write(tail, 1, &n), E_NOTIMPL);

    IdList empty;
    empty.p = parse(L"empty.txt");
    Com<IStream> emptyStream;
    ASSERT_EQ(folder->BindToObject(empty.p, nullptr, IID_IStream, emptyStream.out()), S_OK);
    n = 99;
    EXPECT_EQ(emptyStream->Read(tail, 20, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
}

// Binds `item` of `folder` as a stream and reads it in pieces until a read
// does not return S_OK: that read's result, and all bytes read with it.
std::pair<HRESULT, size_t> readUntilNotOk(IShellFolder2* folder, LPCITEMIDLIST item, ULONG piece) {
    Com<IStream> stream;
    if (folder->BindToObject(item, nullptr, IID_IStream, stream.out()) != S_OK) return {E_FAIL, 0};
    std::vector<uint8_t> buffer(piece);
    size_t total = 0;
    ULONG n = 0;
    HRESULT hr;
    while ((hr = stream->Read(buffer.data(), piece, &n)) == S_OK) total += n;
    return {hr, total + n};
}

TEST_F(ShellFolderTest, DamagedEntryFailsInsteadOfEndingEarly) {
    // damaged.zip's big.txt decodes about half of a.txt, then its data ends.
    Com<IShellFolder2> damaged;
    IdList damagedList;
    openArchiveFolder(fixtures() + L"\\damaged.zip", damaged, damagedList);
    IdList item;
    std::wstring name = L"big.txt";
    ASSERT_EQ(damaged->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, item.out(), nullptr), S_OK);
    const size_t size = fileBytes(fixtures() + L"\\src\\a.txt").size();
    for (ULONG piece : {4096u, 1000u, 70000u}) {
        auto [hr, total] = readUntilNotOk(damaged.p, item.p, piece);
        // Some data came, then a failure: never S_FALSE (the end) short of the size.
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)) << piece << ": " << std::hex << hr;
        EXPECT_GT(total, 0u);
        EXPECT_LT(total, size);
    }
    // flipped.txt decodes whole, but not to its stored CRC-32: the read that
    // completes it fails.
    IdList flipped;
    name = L"flipped.txt";
    ASSERT_EQ(damaged->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, flipped.out(), nullptr), S_OK);
    for (ULONG piece : {4096u, 4200u, 70000u}) {
        auto [hr, total] = readUntilNotOk(damaged.p, flipped.p, piece);
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_CRC)) << piece << ": " << std::hex << hr;
        EXPECT_EQ(total, 4200u) << piece;  // all of flipped.txt
    }

    Com<IStream> stream;
    IdList good;
    good.p = parse(L"a.txt");
    ASSERT_EQ(folder->BindToObject(good.p, nullptr, IID_IStream, stream.out()), S_OK);
    ULONG n = 7;
    EXPECT_EQ(stream->Read(nullptr, 10, &n), STG_E_INVALIDPOINTER);
    EXPECT_EQ(n, 0u);
}

TEST_F(ShellFolderTest, OrderingByEachColumn) {
    auto compare = [&](LPARAM column, const wchar_t* a, const wchar_t* b) {
        IdList first, second;
        first.p = parse(a);
        second.p = parse(b);
        EXPECT_TRUE(first.p && second.p) << a << " " << b;
        return static_cast<short>(HRESULT_CODE(folder->CompareIDs(column, first.p, second.p)));
    };
    // Names: natural order, then case-insensitive for numeric ties.
    EXPECT_EQ(compare(0, L"photo9.JPG", L"Photo10.jpg"), -1);
    EXPECT_EQ(compare(0, L"Photo10.jpg", L"photo9.JPG"), 1);
    EXPECT_EQ(compare(0, L"a01.txt", L"a1.txt"), -1);
    EXPECT_EQ(compare(0, L"a.txt", L"a.txt"), 0);
    // Folders before files, also for equal names; only the low byte is the column.
    EXPECT_EQ(compare(0, L"dup", L"a.txt"), -1);
    EXPECT_EQ(compare(0x100, L"a.txt", L"dup"), 1);
    // Items of different levels compare by name.
    EXPECT_EQ(compare(0, L"sub/b.txt", L"a.txt"), 1);
    EXPECT_EQ(compare(0, L"sub/inner.zip/x.bin", L"Photo10.jpg"), 1);
    // Sizes: folders count as -1, no tie-break by name.
    EXPECT_EQ(compare(1, L"sub", L"empty.txt"), -1);
    EXPECT_EQ(compare(1, L"empty.txt", L"a.txt"), -1);
    EXPECT_EQ(compare(1, L"a1.txt", L"a01.txt"), 0);
    // Dates: the undated entry first.
    EXPECT_EQ(compare(2, L"a.txt", L"a1.txt"), 1);
    EXPECT_EQ(compare(2, L"a1.txt", L"a.txt"), -1);
}

TEST_F(ShellFolderTest, AttributesAndDisplayNames) {
    IdList dir, nested, file;
    dir.p = parse(L"sub");
    nested.p = parse(L"sub/inner.zip");
    file.p = parse(L"a.txt");
    Com<IShellFolder> subFolder;
    ASSERT_EQ(folder->BindToObject(dir.p, nullptr, IID_IShellFolder, subFolder.out()), S_OK);
    LPCITEMIDLIST nestedItem = nextId(nested.p);

    SFGAOF mask = 0xFFFFFFFF;
    LPCITEMIDLIST one[1] = {dir.p};
    EXPECT_EQ(folder->GetAttributesOf(1, one, &mask), S_OK);
    EXPECT_EQ(mask, kFolderAttributes);
    mask = 0xFFFFFFFF;
    one[0] = nestedItem;
    EXPECT_EQ(subFolder->GetAttributesOf(1, one, &mask), S_OK);
    EXPECT_EQ(mask, kNestedAttributes);
    mask = SFGAO_STREAM | SFGAO_FOLDER;
    one[0] = file.p;
    EXPECT_EQ(folder->GetAttributesOf(1, one, &mask), S_OK);
    EXPECT_EQ(mask, static_cast<SFGAOF>(SFGAO_STREAM));
    LPCITEMIDLIST two[2] = {dir.p, file.p};
    mask = 0xFFFFFFFF;
    EXPECT_EQ(folder->GetAttributesOf(2, two, &mask), S_OK);
    EXPECT_EQ(mask, static_cast<SFGAOF>(SFGAO_CANCOPY));

    EXPECT_EQ(displayName(folder.p, file.p), L"a.txt");
    EXPECT_EQ(displayName(folder.p, file.p, SHGDN_FORPARSING), archivePath + L"\\a.txt");
    EXPECT_EQ(displayName(folder.p, file.p, SHGDN_FORPARSING | SHGDN_INFOLDER), L"a.txt");
    EXPECT_EQ(displayName(subFolder.p, nestedItem, SHGDN_FORPARSING), archivePath + L"\\sub\\inner.zip");
    LPITEMIDLIST bogus = makeEntryId(kFileEntry, 999);
    STRRET name;
    EXPECT_EQ(folder->GetDisplayNameOf(bogus, SHGDN_NORMAL, &name), E_FAIL);
    CoTaskMemFree(bogus);
}

TEST_F(ShellFolderTest, ColumnsAndDetails) {
    ULONG sort = 9, display = 9;
    EXPECT_EQ(folder->GetDefaultColumn(0, &sort, &display), S_OK);
    EXPECT_EQ(sort + display, 0u);
    SHCOLSTATEF state;
    EXPECT_EQ(folder->GetDefaultColumnState(1, &state), S_OK);
    EXPECT_EQ(state, 0x12u);
    EXPECT_EQ(folder->GetDefaultColumnState(4, &state), E_INVALIDARG);  // 3: encrypted (password_test.cpp)
    SHCOLUMNID key;
    EXPECT_EQ(folder->MapColumnToSCID(2, &key), S_OK);
    EXPECT_EQ(key.pid, 14u);
    EXPECT_EQ(folder->MapColumnToSCID(4, &key), E_INVALIDARG);

    // Headers read as the desktop's own name, size and date-modified columns.
    Com<IShellFolder> desktop;
    ASSERT_EQ(SHGetDesktopFolder(&desktop.p), S_OK);
    Com<IShellFolder2> desktop2;
    ASSERT_EQ(desktop->QueryInterface(IID_IShellFolder2, desktop2.out()), S_OK);
    const UINT desktopColumns[3] = {0, 1, 3};
    for (UINT column = 0; column < 3; ++column) {
        SHELLDETAILS ours = {}, theirs = {};
        ASSERT_EQ(folder->GetDetailsOf(nullptr, column, &ours), S_OK);
        ASSERT_EQ(desktop2->GetDetailsOf(nullptr, desktopColumns[column], &theirs), S_OK);
        std::wstring title = takeString(ours.str);
        EXPECT_FALSE(title.empty());
        EXPECT_EQ(title, takeString(theirs.str).substr(0, 31));
        EXPECT_EQ(ours.fmt, theirs.fmt);
    }
    SHELLDETAILS details;
    EXPECT_EQ(folder->GetDetailsOf(nullptr, 4, &details), E_INVALIDARG);

    IdList dir, file, undated;
    dir.p = parse(L"sub");
    file.p = parse(L"a.txt");
    undated.p = parse(L"a1.txt");
    ASSERT_EQ(folder->GetDetailsOf(file.p, 0, &details), S_OK);
    EXPECT_EQ(takeString(details.str), L"a.txt");
    EXPECT_EQ(folder->GetDetailsOf(dir.p, 1, &details), E_FAIL);
    ASSERT_EQ(folder->GetDetailsOf(file.p, 1, &details), S_OK);
    wchar_t size[40];
    StrFormatByteSizeW(static_cast<LONGLONG>(fileBytes(fixtures() + L"\\src\\a.txt").size()), size, 40);
    EXPECT_EQ(takeString(details.str), size);
    ASSERT_EQ(folder->GetDetailsOf(file.p, 2, &details), S_OK);
    SYSTEMTIME stored = {2020, 6, 1, 15, 12, 34, 56, 0};
    wchar_t date[40], time[40];
    GetDateFormatW(LOCALE_USER_DEFAULT, 0, &stored, nullptr, date, 40);
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &stored, nullptr, time, 40);
    EXPECT_EQ(takeString(details.str), std::wstring(date) + L" " + time);
    EXPECT_EQ(folder->GetDetailsOf(undated.p, 2, &details), E_FAIL);
    EXPECT_EQ(folder->GetDetailsOf(file.p, 4, &details), E_FAIL);
}

TEST_F(ShellFolderTest, DetailsByPropertyKey) {
    const GUID storage = {0xb725f130, 0x47ef, 0x101a, {0xa5, 0xf1, 0x02, 0x60, 0x8c, 0x9e, 0xeb, 0xac}};
    const GUID layout = {0xc9944a21, 0xa406, 0x48fe, {0x82, 0x25, 0xae, 0xc7, 0xe2, 0x4c, 0x21, 0x1b}};
    const GUID folderPath = {0xe3e0584c, 0xb788, 0x4a5a, {0xbb, 0x20, 0x7f, 0x5a, 0x44, 0xc9, 0xac, 0xdd}};
    IdList dir, file, undated;
    dir.p = parse(L"sub");
    file.p = parse(L"a.txt");
    undated.p = parse(L"a1.txt");
    auto details = [&](LPCITEMIDLIST item, const GUID& set, DWORD id, VARIANT* value) {
        SHCOLUMNID key = {set, id};
        VariantInit(value);
        return folder->GetDetailsEx(item, &key, value);
    };
    VARIANT value;
    ASSERT_EQ(details(file.p, storage, 10, &value), S_OK);
    EXPECT_EQ(V_VT(&value), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&value), L"a.txt");
    VariantClear(&value);
    ASSERT_EQ(details(file.p, storage, 12, &value), S_OK);
    EXPECT_EQ(V_VT(&value), VT_I8);
    EXPECT_EQ(V_I8(&value), static_cast<LONGLONG>(fileBytes(fixtures() + L"\\src\\a.txt").size()));
    EXPECT_EQ(details(dir.p, storage, 12, &value), E_FAIL);
    ASSERT_EQ(details(file.p, storage, 14, &value), S_OK);
    EXPECT_EQ(V_VT(&value), VT_DATE);
    // The stored local time, as UTC.
    SYSTEMTIME stored = {2020, 6, 1, 15, 12, 34, 56, 0}, utc;
    FILETIME localFile, utcFile;
    SystemTimeToFileTime(&stored, &localFile);
    LocalFileTimeToFileTime(&localFile, &utcFile);
    FileTimeToSystemTime(&utcFile, &utc);
    DATE expected;
    SystemTimeToVariantTime(&utc, &expected);
    EXPECT_DOUBLE_EQ(V_DATE(&value), expected);
    EXPECT_EQ(details(undated.p, storage, 14, &value), E_FAIL);

    ASSERT_EQ(details(file.p, layout, 13, &value), S_OK);
    EXPECT_STREQ(V_BSTR(&value), L"prop:Name;Write;Size");
    VariantClear(&value);
    ASSERT_EQ(details(nullptr, layout, 4, &value), S_OK);
    EXPECT_STREQ(V_BSTR(&value), L"prop:Size;Write");
    VariantClear(&value);
    EXPECT_EQ(details(nullptr, layout, 5, &value), E_INVALIDARG);
    ASSERT_EQ(details(nullptr, folderPath, 6, &value), S_OK);
    EXPECT_EQ(std::wstring(V_BSTR(&value)), archivePath);
    VariantClear(&value);
    EXPECT_EQ(details(file.p, folderPath, 7, &value), E_INVALIDARG);
}

TEST_F(ShellFolderTest, IconsAssociationsAndViews) {
    IdList dir, nested, file, noext;
    dir.p = parse(L"sub");
    nested.p = parse(L"sub/inner.zip");
    file.p = parse(L"a.txt");
    noext.p = parse(L"noext");
    Com<IShellFolder> subFolder;
    ASSERT_EQ(folder->BindToObject(dir.p, nullptr, IID_IShellFolder, subFolder.out()), S_OK);

    auto icon = [](IShellFolder* in, LPCITEMIDLIST item, UINT flags) {
        IExtractIconW* extract = nullptr;
        EXPECT_EQ(in->GetUIObjectOf(nullptr, 1, &item, IID_IExtractIconW, nullptr,
                                    reinterpret_cast<void**>(&extract)),
                  S_OK);
        if (!extract) return std::wstring();
        wchar_t file[MAX_PATH];
        int index = -1;
        UINT outFlags = 99;
        EXPECT_EQ(extract->GetIconLocation(flags, file, MAX_PATH, &index, &outFlags), S_OK);
        EXPECT_EQ(outFlags, 0u);
        EXPECT_EQ(extract->Extract(file, index, nullptr, nullptr, 16), S_FALSE);
        extract->Release();
        return std::wstring(file) + L"," + std::to_wstring(index);
    };
    EXPECT_EQ(icon(folder.p, dir.p, 0), L"shell32.dll,3");
    EXPECT_EQ(icon(folder.p, dir.p, GIL_OPENICON), L"shell32.dll,4");
    EXPECT_EQ(icon(subFolder.p, nextId(nested.p), 0), L"zipfldr.dll,0");
    EXPECT_EQ(icon(folder.p, file.p, 0), L"shell32.dll,0");

    LPCITEMIDLIST item = file.p;
    Com<IQueryAssociations> associations;
    ASSERT_EQ(folder->GetUIObjectOf(nullptr, 1, &item, IID_IQueryAssociations, nullptr, associations.out()), S_OK);
    item = noext.p;
    void* none = nullptr;
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 1, &item, IID_IQueryAssociations, nullptr, &none), E_FAIL);
    LPCITEMIDLIST two[2] = {file.p, noext.p};
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 2, two, IID_IQueryAssociations, nullptr, &none), E_INVALIDARG);
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 1, two, IID_IStream, nullptr, &none), E_NOINTERFACE);

    const GUID commandProvider = {0x64961751, 0x0835, 0x43c0, {0x8f, 0xfe, 0xd5, 0x76, 0x86, 0x53, 0x0e, 0x64}};
    EXPECT_EQ(folder->CreateViewObject(nullptr, commandProvider, &none), E_NOINTERFACE);
    EXPECT_EQ(folder->CreateViewObject(nullptr, IID_IDropTarget, &none), E_NOTIMPL);
    Com<IShellView> view;
    EXPECT_EQ(folder->CreateViewObject(nullptr, IID_IShellView, view.out()), S_OK);
}

// A small tree of folders and files in the temporary folder.
std::wstring makeTree(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    EXPECT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring root = std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
    EXPECT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW((root + L"\\a").c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW((root + L"\\a\\b").c_str(), nullptr));
    for (const wchar_t* file : {L"\\x.txt", L"\\a\\y.txt", L"\\a\\b\\z.txt"}) {
        HANDLE h = CreateFileW((root + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    return root;
}

TEST(ShellInternals, FolderTreeDeletion) {
    std::wstring root = makeTree(L"zorvex-tree-");
    deleteFolderTree(root.c_str());
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);

    // Deeper than MAX_PATH, with names that make the paths long.
    root = makeTree(L"zorvex-deep-");
    std::wstring deep = L"\\\\?\\" + root;
    for (int level = 0; level < 30; ++level) {
        deep += L"\\folder-with-a-long-name-" + std::to_wstring(level);
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << level;
    }
    HANDLE file = CreateFileW((deep + L"\\leaf.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    deleteFolderTree(root.c_str());
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);

    // A link inside the tree goes, what it points at stays.
    std::wstring outside = makeTree(L"zorvex-outside-");
    root = makeTree(L"zorvex-linked-");
    if (!CreateSymbolicLinkW((root + L"\\link").c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        deleteFolderTree(root.c_str());
        deleteFolderTree(outside.c_str());
        GTEST_SKIP() << "no directory links here";
    }
    deleteFolderTree(root.c_str());
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW((outside + L"\\a\\b\\z.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    deleteFolderTree(outside.c_str());
}

TEST(ShellInternals, NullArgumentsAndMissingTemporaryFolder) {
    // This program's own copy of the folder class, not yet initialised.
    IShellFolder2* created = ArchiveFolder::create(nullptr, {});
    ASSERT_TRUE(created);
    auto* folder = static_cast<ArchiveFolder*>(created);
    EXPECT_EQ(folder->MessageSFVCB(27, 0, 0), E_POINTER);
    FOLDERVIEWMODE mode = FVM_ICON;
    EXPECT_EQ(folder->MessageSFVCB(27, 0, reinterpret_cast<LPARAM>(&mode)), S_OK);
    EXPECT_EQ(mode, FVM_DETAILS);
    EXPECT_EQ(folder->GetUIObjectOf(nullptr, 0, nullptr, IID_IDataObject, nullptr, nullptr), E_POINTER);

    // No temporary folder can be made: opening fails rather than writing
    // somewhere else (such as the drive's root).
    wchar_t saved[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", L"C:\\no such folder\\at all");
    EXPECT_EQ(folder->temporaryFolder(), L"");
    SetEnvironmentVariableW(L"TMP", n ? saved : nullptr);
    created->Release();
}

TEST(ShellInternals, TemporaryFoldersGoOnlyWhenNothingIsAlive) {
    // This program links the server code itself, so its own DllCanUnloadNow
    // sees the folders registered here.
    std::wstring root = makeTree(L"zorvex-temporary-");
    addTemporaryFolder(root);
    objectCreated();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_NE(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
    objectDestroyed();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace zorvex::shell
