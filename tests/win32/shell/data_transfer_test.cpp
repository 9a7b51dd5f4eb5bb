// Entries leaving archives: the data object read by a test copy engine (drag
// out, clipboard, persistence), the extraction objects of ExtractW, and the
// names that reach the disk. The reference for every byte is what
// `zorvex extract` wrote into ZORVEX_SHELL_FIXTURES\expected.
#include <gtest/gtest.h>

#include <windows.h>

#include <shldisp.h>
#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

#include "copy_engine.h"
#include "shell/data_object.h"
#include "shell/entry_id.h"
#include "shell/entry_writer.h"
#include "shell/extract_command.h"
#include "shell/module.h"
#include "shell_test_util.h"

namespace zorvex::shell {
namespace {

// The expected tree below `expected\<top>`, restricted to the given top-level names.
Tree expectedTree(const std::wstring& top, const std::vector<std::wstring>& names = {}) {
    Tree all = readTree(fixtures() + L"\\expected\\" + top);
    if (names.empty()) return all;
    Tree some;
    for (const auto& [path, bytes] : all)
        for (const std::wstring& name : names)
            if (path == name || path.rfind(name + L"\\", 0) == 0) some[path] = bytes;
    return some;
}

class DataTransferTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        if (fixtures().empty()) GTEST_SKIP() << "ZORVEX_SHELL_FIXTURES is not set";
    }

    // The data object of `names` (children of the folder at `path`, which may
    // lead into the archive).
    IDataObject* selection(const std::wstring& archive, const wchar_t* inside,
                           const std::vector<std::wstring>& names) {
        Com<IShellFolder2> top;
        IdList topList;
        openArchiveFolder(fixtures() + L"\\" + archive, top, topList);
        Com<IShellFolder2> folder;
        if (inside) {
            IdList list;
            std::wstring copy = inside;
            EXPECT_EQ(top->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, list.out(), nullptr), S_OK);
            EXPECT_EQ(top->BindToObject(list.p, nullptr, IID_IShellFolder2, folder.out()), S_OK);
        } else {
            folder.p = top.p;
            top.p->AddRef();
        }
        if (!folder.p) return nullptr;
        return uiObjectOf<IDataObject>(folder.p, names, IID_IDataObject);
    }
};

TEST_F(DataTransferTest, DragOutOfZipTarGzAndSplitArchives) {
    struct Case {
        const wchar_t* archive;
        const wchar_t* inside;
        std::vector<std::wstring> names;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"main.zip", nullptr, {L"sub", L"a.txt", L"empty.txt", L"noext", L"Photo10.jpg"}, L"main"},
        {L"bundle.tar.gz", L"bundle.tar", {L"docs", L"top.bin"}, L"bundle"},
        {L"pieces.zip.001", L"pieces.zip", {L"p", L"two.bin"}, L"pieces"},
    };
    for (const Case& c : cases) {
        for (ULONG piece : {4096u, 1u << 16}) {
            Com<IDataObject> data;
            data.p = selection(c.archive, c.inside, c.names);
            ASSERT_TRUE(data.p) << c.archive;
            ScratchFolder out(L"zorvex-drag-");
            EXPECT_EQ(copyOut(data.p, out.path, piece), S_OK) << c.archive;
            EXPECT_EQ(readTree(out.path), expectedTree(c.expected, c.names)) << c.archive;
        }
    }
}

TEST_F(DataTransferTest, DescriptorsListFoldersFirstWithSizesAndTimes) {
    Com<IDataObject> data;
    data.p = selection(L"main.zip", nullptr, {L"a1.txt", L"sub", L"a.txt"});
    ASSERT_TRUE(data.p);
    std::vector<Descriptor> descriptors;
    ASSERT_EQ(readDescriptors(data.p, &descriptors), S_OK);
    std::vector<std::wstring> names;
    for (const Descriptor& d : descriptors) names.push_back(d.name);
    // The folders, then the files (also those below the folders) in the order
    // the archive stores them.
    ASSERT_EQ(names, std::vector<std::wstring>({L"sub", L"a.txt", L"a1.txt", L"sub\\b.txt", L"sub\\inner.zip"}));
    EXPECT_EQ(descriptors[0].attributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(descriptors[0].flags, static_cast<DWORD>(FD_ATTRIBUTES | FD_PROGRESSUI));
    EXPECT_EQ(descriptors[1].flags, static_cast<DWORD>(FD_ATTRIBUTES | FD_FILESIZE | FD_PROGRESSUI | FD_WRITESTIME));
    EXPECT_EQ(descriptors[1].size, fileBytes(fixtures() + L"\\src\\a.txt").size());
    // An undated entry has no write time.
    EXPECT_EQ(descriptors[2].flags, static_cast<DWORD>(FD_ATTRIBUTES | FD_FILESIZE | FD_PROGRESSUI));

    std::vector<uint8_t> bytes;
    EXPECT_EQ(readContents(data.p, 0, 4096, &bytes), DV_E_LINDEX);
    EXPECT_EQ(readContents(data.p, 5, 4096, &bytes), DV_E_LINDEX);
    EXPECT_EQ(readContents(data.p, -1, 4096, &bytes), DV_E_LINDEX);
    ASSERT_EQ(readContents(data.p, 4, 4096, &bytes), S_OK);
    EXPECT_EQ(bytes, fileBytes(fixtures() + L"\\src\\inner.zip"));

    // Media and formats.
    FORMATETC wrongMedium = formatOf(kFileGroupDescriptor, TYMED_ISTREAM);
    STGMEDIUM medium = {};
    EXPECT_EQ(data->GetData(&wrongMedium, &medium), DV_E_TYMED);
    FORMATETC text = {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(data->GetData(&text, &medium), DV_E_FORMATETC);
    EXPECT_EQ(data->GetData(nullptr, &medium), E_INVALIDARG);
    FORMATETC effect = formatOf(kPreferredDropEffect, TYMED_HGLOBAL);
    ASSERT_EQ(data->GetData(&effect, &medium), S_OK);
    EXPECT_EQ(*static_cast<DWORD*>(GlobalLock(medium.hGlobal)), static_cast<DWORD>(DROPEFFECT_COPY));
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
    FORMATETC ids = formatOf(kShellIdList, TYMED_HGLOBAL);
    ASSERT_EQ(data->GetData(&ids, &medium), S_OK);
    auto* cida = static_cast<CIDA*>(GlobalLock(medium.hGlobal));
    EXPECT_EQ(cida->cidl, 3u);
    EntryId id;
    ASSERT_TRUE(readEntryId(reinterpret_cast<LPCITEMIDLIST>(reinterpret_cast<uint8_t*>(cida) + cida->aoffset[2]), &id));
    EXPECT_EQ(id.kind, kFolderEntry);
    GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);

    Com<IEnumFORMATETC> formats;
    ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, &formats.p), S_OK);
    FORMATETC listed[6];
    ULONG fetched = 0;
    EXPECT_EQ(formats->Next(6, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 4u);
    EXPECT_EQ(listed[0].cfFormat, clipboardFormat(kFileGroupDescriptor));
    EXPECT_EQ(listed[1].tymed, static_cast<DWORD>(TYMED_ISTREAM));
    IEnumFORMATETC* none = nullptr;
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_SET, &none), E_NOTIMPL);
}

TEST_F(DataTransferTest, FilesFollowTheDataAcrossFolders) {
    // In a tar inside gzip, a folder's subfolder comes before its own files in
    // the walk, but after them in the data: the copy engine must be sent
    // forward through the stream, never back to decode it again.
    Com<IDataObject> data;
    data.p = selection(L"bundle.tar.gz", L"bundle.tar", {L"top.bin", L"docs"});
    ASSERT_TRUE(data.p);
    std::vector<Descriptor> descriptors;
    ASSERT_EQ(readDescriptors(data.p, &descriptors), S_OK);
    std::vector<std::wstring> names;
    for (const Descriptor& d : descriptors) names.push_back(d.name);
    EXPECT_EQ(names, std::vector<std::wstring>({L"docs", L"docs\\deeper", L"docs\\readme.txt",
                                                L"docs\\deeper\\notes.txt", L"top.bin"}));
}

TEST_F(DataTransferTest, NamesFromArchivesAreMadeSafe) {
    Com<IShellFolder2> folder;
    IdList list;
    openArchiveFolder(fixtures() + L"\\names.zip", folder, list);
    Com<IEnumIDList> items;
    ASSERT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items.p), S_OK);
    std::vector<LPITEMIDLIST> all;
    LPITEMIDLIST item;
    while (items->Next(1, &item, nullptr) == S_OK) all.push_back(item);
    Com<IDataObject> data;
    ASSERT_EQ(folder->GetUIObjectOf(nullptr, static_cast<UINT>(all.size()),
                                    const_cast<PCUITEMID_CHILD_ARRAY>(all.data()), IID_IDataObject, nullptr,
                                    data.out()),
              S_OK);
    for (LPITEMIDLIST i : all) CoTaskMemFree(i);
    std::vector<Descriptor> descriptors;
    ASSERT_EQ(readDescriptors(data.p, &descriptors), S_OK);
    std::vector<std::wstring> names;
    for (const Descriptor& d : descriptors) names.push_back(d.name);
    EXPECT_EQ(names, std::vector<std::wstring>({L"dir_", L"_CON.txt", L"b.txt", L"trail_", L"trail", L"space_",
                                                L"q_x", L"dir_\\_LPT1", L"ok.txt"}));
    // What the copy engine writes under those names holds the entries' own
    // bytes ("trail." is not confused with "trail").
    ScratchFolder out(L"zorvex-names-");
    ASSERT_EQ(copyOut(data.p, out.path), S_OK);
    Tree tree = readTree(out.path);
    EXPECT_EQ(tree[L"_CON.txt"], std::vector<uint8_t>({'C', 'O', 'N', '.', 't', 'x', 't'}));
    EXPECT_EQ(tree[L"trail_"], std::vector<uint8_t>({'t', 'r', 'a', 'i', 'l', '.'}));
    EXPECT_EQ(tree[L"trail"], std::vector<uint8_t>({'t', 'r', 'a', 'i', 'l'}));
    EXPECT_EQ(tree.size(), 9u);

    // A path longer than the descriptor's name field is an error, not cut.
    Com<IShellFolder2> longFolder;
    IdList longList;
    openArchiveFolder(fixtures() + L"\\long.zip", longFolder, longList);
    Com<IEnumIDList> longItems;
    ASSERT_EQ(longFolder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &longItems.p), S_OK);
    std::vector<LPITEMIDLIST> both;
    while (longItems->Next(1, &item, nullptr) == S_OK) both.push_back(item);
    Com<IDataObject> longData;
    ASSERT_EQ(longFolder->GetUIObjectOf(nullptr, static_cast<UINT>(both.size()),
                                        const_cast<PCUITEMID_CHILD_ARRAY>(both.data()), IID_IDataObject, nullptr,
                                        longData.out()),
              S_OK);
    for (LPITEMIDLIST i : both) CoTaskMemFree(i);
    std::vector<Descriptor> none;
    EXPECT_EQ(readDescriptors(longData.p, &none), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    std::vector<uint8_t> bytes;
    EXPECT_EQ(readContents(longData.p, 0, 4096, &bytes), HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));

    // The entry writer maps names the same way.
    IdList con;
    std::wstring name = L"CON.txt";
    ASSERT_EQ(folder->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, con.out(), nullptr), S_OK);
    Com<IStream> stream;
    ASSERT_EQ(folder->BindToObject(con.p, nullptr, IID_IStream, stream.out()), S_OK);
    EXPECT_EQ(writeEntry(stream.p, out.path), out.path + L"\\_CON.txt");
}

TEST_F(DataTransferTest, ClipboardAndPersistenceOutliveTheFolder) {
    const std::vector<std::wstring> names = {L"sub", L"a.txt", L"noext"};
    Com<IDataObject> data;
    data.p = selection(L"main.zip", nullptr, names);
    ASSERT_TRUE(data.p);
    const Tree expected = expectedTree(L"main", names);

    ASSERT_EQ(OleSetClipboard(data.p), S_OK);
    {
        Com<IDataObject> pasted;
        ASSERT_EQ(OleGetClipboard(&pasted.p), S_OK);
        ScratchFolder out(L"zorvex-paste-");
        EXPECT_EQ(copyOut(pasted.p, out.path), S_OK);
        EXPECT_EQ(readTree(out.path), expected);
    }
    ASSERT_EQ(OleSetClipboard(nullptr), S_OK);

    // Save, drop every object of the folder, and load into a new object.
    Com<IStream> saved;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &saved.p), S_OK);
    {
        Com<IPersistStream> persist;
        ASSERT_EQ(data->QueryInterface(IID_IPersistStream, persist.out()), S_OK);
        CLSID clsid;
        EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
        EXPECT_EQ(clsid, kClsid);
        ASSERT_EQ(persist->Save(saved.p, TRUE), S_OK);
        EXPECT_EQ(persist->Save(nullptr, TRUE), E_INVALIDARG);
    }
    std::vector<Descriptor> before;
    ASSERT_EQ(readDescriptors(data.p, &before), S_OK);
    data->Release();
    data.p = nullptr;

    LARGE_INTEGER zero = {};
    saved->Seek(zero, STREAM_SEEK_SET, nullptr);
    // As the clipboard does: the class as a data object, then its persistence.
    Com<IDataObject> copy;
    ASSERT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject, copy.out()), S_OK);
    Com<IPersistStream> loaded;
    ASSERT_EQ(copy->QueryInterface(IID_IPersistStream, loaded.out()), S_OK);
    ASSERT_EQ(loaded->Load(saved.p), S_OK);
    std::vector<Descriptor> after;
    ASSERT_EQ(readDescriptors(copy.p, &after), S_OK);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_EQ(after[i].size, before[i].size);
    }
    ScratchFolder out(L"zorvex-loaded-");
    EXPECT_EQ(copyOut(copy.p, out.path), S_OK);
    EXPECT_EQ(readTree(out.path), expected);
}

// The persisted form of one selected file of main.zip, with parts replaced.
std::vector<uint8_t> persisted(uint32_t listSize, const std::vector<uint8_t>& list, uint32_t count,
                               uint32_t itemSize, const std::vector<uint8_t>& item, uint32_t nameLength,
                               const std::wstring& name) {
    std::vector<uint8_t> out;
    auto put32 = [&](uint32_t v) { out.insert(out.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4); };
    put32(listSize);
    out.insert(out.end(), list.begin(), list.end());
    put32(count);
    put32(itemSize);
    out.insert(out.end(), item.begin(), item.end());
    put32(nameLength);
    const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
    out.insert(out.end(), bytes, bytes + name.size() * 2);
    return out;
}

TEST_F(DataTransferTest, LoadChecksWhatItReads) {
    IdList folderList;
    ASSERT_EQ(SHParseDisplayName((fixtures() + L"\\main.zip").c_str(), nullptr, folderList.out(), 0, nullptr), S_OK);
    const auto* listBytes = reinterpret_cast<const uint8_t*>(folderList.p);
    std::vector<uint8_t> list(listBytes, listBytes + ILGetSize(folderList.p));
    const uint8_t fileItem[10] = {8, 0, kFileEntry, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> item(fileItem, fileItem + 10);
    const std::wstring name = fixtures() + L"\\main.zip" + std::wstring(1, L'\0');
    const uint32_t length = static_cast<uint32_t>(name.size());

    auto load = [&](const std::vector<uint8_t>& bytes) {
        Com<IStream> stream;
        CreateStreamOnHGlobal(nullptr, TRUE, &stream.p);
        stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        LARGE_INTEGER zero = {};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        Com<IDataObject> data;
        Com<IPersistStream> persist;
        if (CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDataObject, data.out()) != S_OK ||
            data->QueryInterface(IID_IPersistStream, persist.out()) != S_OK)
            return E_UNEXPECTED;
        return persist->Load(stream.p);
    };
    const uint32_t n = static_cast<uint32_t>(list.size());
    EXPECT_EQ(load(persisted(n, list, 1, 10, item, length, name)), S_OK);
    std::vector<uint8_t> whole = persisted(n, list, 1, 10, item, length, name);
    for (size_t cut : {2u, 10u, 30u})
        EXPECT_TRUE(FAILED(load(std::vector<uint8_t>(whole.begin(), whole.end() - cut)))) << cut;
    // Sizes that do not match the data, lists without their terminator.
    EXPECT_TRUE(FAILED(load(persisted(0x7FFFFFFF, list, 1, 10, item, length, name))));
    EXPECT_TRUE(FAILED(load(persisted(1, {0}, 1, 10, item, length, name))));
    std::vector<uint8_t> unterminated = list;
    unterminated.back() = 1;
    EXPECT_TRUE(FAILED(load(persisted(n, unterminated, 1, 10, item, length, name))));
    std::vector<uint8_t> badChain = list;
    badChain[0] = 0xFF;  // the first identifier's size runs past the end
    EXPECT_TRUE(FAILED(load(persisted(n, badChain, 1, 10, item, length, name))));
    std::vector<uint8_t> notOurs = item;
    notOurs[2] = 7;  // no such kind
    EXPECT_TRUE(FAILED(load(persisted(n, list, 1, 10, notOurs, length, name))));
    EXPECT_TRUE(FAILED(load(persisted(n, list, 0xFFFFFFFF, 10, item, length, name))));
    // Names: without their NUL, with one inside, too long.
    std::wstring noNul = name;
    noNul.back() = L'x';
    EXPECT_TRUE(FAILED(load(persisted(n, list, 1, 10, item, length, noNul))));
    std::wstring inner = name;
    inner[3] = 0;
    EXPECT_TRUE(FAILED(load(persisted(n, list, 1, 10, item, length, inner))));
    EXPECT_TRUE(FAILED(load(persisted(n, list, 1, 10, item, 0x40000000, name))));
    // An archive that is not there any more.
    std::wstring moved = fixtures() + L"\\moved.zip" + std::wstring(1, L'\0');
    EXPECT_EQ(load(persisted(n, list, 1, 10, item, static_cast<uint32_t>(moved.size()), moved)), E_FAIL);
}

TEST_F(DataTransferTest, ExtractionObjectsWrapUnwrapAndJoinArchives) {
    Com<IShellFolder> desktop;
    ASSERT_EQ(SHGetDesktopFolder(&desktop.p), S_OK);
    const std::wstring f = fixtures() + L"\\";
    for (bool asynchronous : {false, true}) {
        ScratchFolder out(L"zorvex-extract-");
        {
            Com<IDataObject> data;
            data.p = extractionDataObject({f + L"bundle.tar.gz", f + L"pieces.zip.001", f + L"only.zip"}, desktop.p);
            ASSERT_TRUE(data.p);
            CopyEngineTarget target(out.path, asynchronous);
            dropAndWait(&target, data.p);
        }
        Tree want;
        for (const wchar_t* top : {L"bundle", L"pieces"}) {
            want[std::wstring(top) + L"\\"] = {};
            for (const auto& [path, bytes] : expectedTree(top)) want[std::wstring(top) + L"\\" + path] = bytes;
        }
        // One entry: no wrapper folder.
        want[L"only.txt"] = {'t', 'h', 'e', ' ', 'o', 'n', 'l', 'y', ' ', 'e', 'n', 't', 'r', 'y'};
        EXPECT_EQ(readTree(out.path), want) << (asynchronous ? "asynchronous" : "synchronous");
    }

    // One archive that cannot be opened: nothing at all.
    EXPECT_EQ(extractionDataObject({f + L"main.zip", f + L"missing.zip"}, desktop.p), nullptr);
    EXPECT_EQ(extractionDataObject({f + L"src\\a.txt"}, desktop.p), nullptr);

    // Index arithmetic across members.
    Com<IDataObject> joined;
    joined.p = extractionDataObject({f + L"only.zip", f + L"only.zip"}, desktop.p);
    ASSERT_TRUE(joined.p);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(readContents(joined.p, 0, 4096, &bytes), E_FAIL);  // before the descriptors
    std::vector<Descriptor> descriptors;
    ASSERT_EQ(readDescriptors(joined.p, &descriptors), S_OK);
    EXPECT_EQ(descriptors.size(), 2u);
    EXPECT_EQ(readContents(joined.p, 1, 4096, &bytes), S_OK);
    EXPECT_EQ(readContents(joined.p, 2, 4096, &bytes), DV_E_LINDEX);
    EXPECT_EQ(readContents(joined.p, -1, 4096, &bytes), DV_E_LINDEX);
}

// A level whose reader stopped at damage still gives the entries it read;
// damage that only the outer stream's check at its end finds fails the read
// of the entry whose bytes it changed, never passes for a whole copy.
TEST_F(DataTransferTest, DamagedLevelsAndStreamsReachTheCopy) {
    struct Case {
        const wchar_t* archive;
        const wchar_t* inside;
        const wchar_t* name;
        HRESULT read;
    };
    const Case cases[] = {
        {L"cut.tar.gz", L"cut.tar", L"one", S_OK},
        {L"flip.tar.gz", L"flip.tar", L"last.txt", HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT)},
    };
    for (const Case& c : cases) {
        Com<IDataObject> data;
        data.p = selection(c.archive, c.inside, {c.name});
        ASSERT_TRUE(data.p) << c.archive;
        std::vector<Descriptor> descriptors;
        ASSERT_EQ(readDescriptors(data.p, &descriptors), S_OK);
        std::vector<uint8_t> bytes;
        EXPECT_EQ(readContents(data.p, 0, 4096, &bytes), c.read) << c.archive;
    }

    // The Extract command's objects name each damaged level, even when an
    // archive beside it cannot be opened and nothing is extracted.
    Com<IShellFolder> desktop;
    ASSERT_EQ(SHGetDesktopFolder(&desktop.p), S_OK);
    const std::wstring f = fixtures() + L"\\";
    const std::wstring cutLine = f + L"cut.tar.gz\\cut.tar: damaged after 1 entry: archive cut inside a header";
    std::vector<std::wstring> damage;
    Com<IDataObject> data;
    data.p = extractionDataObject({f + L"bundle.tar.gz", f + L"cut.tar.gz"}, desktop.p, &damage);
    ASSERT_TRUE(data.p);
    EXPECT_EQ(damage, std::vector<std::wstring>({cutLine}));
    ScratchFolder out(L"zorvex-damaged-");
    {
        CopyEngineTarget target(out.path, false);
        dropAndWait(&target, data.p);
    }
    EXPECT_EQ(readTree(out.path)[L"one"], std::vector<uint8_t>(700, '1'));
    EXPECT_EQ(extractionDataObject({f + L"cut.tar.gz", f + L"missing.zip"}, desktop.p, &damage), nullptr);
    EXPECT_EQ(damage, std::vector<std::wstring>({cutLine}));
    data.p->Release();
    data.p = extractionDataObject({f + L"bundle.tar.gz"}, desktop.p, &damage);
    EXPECT_TRUE(damage.empty());
}

TEST_F(DataTransferTest, SymbolicLinksGiveTheirTargetsData) {
    struct Case {
        const wchar_t* name;
        HRESULT read;
        std::string bytes;
    };
    const Case cases[] = {
        {L"inside", S_OK, "the data the link points to\n"},
        {L"outside", HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT), ""},
    };
    for (const Case& c : cases) {
        Com<IDataObject> data;
        data.p = selection(L"links.zip", L"dir", {c.name});
        ASSERT_TRUE(data.p) << c.name;
        std::vector<uint8_t> bytes;
        EXPECT_EQ(readContents(data.p, 0, 4096, &bytes), c.read) << c.name;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes) << c.name;
        // The descriptor gives the size of those bytes, not the link's own.
        std::vector<Descriptor> descriptors;
        ASSERT_EQ(readDescriptors(data.p, &descriptors), S_OK) << c.name;
        ASSERT_EQ(descriptors.size(), 1u) << c.name;
        EXPECT_EQ((descriptors[0].flags & FD_FILESIZE) != 0, c.read == S_OK) << c.name;
        if (c.read == S_OK) EXPECT_EQ(descriptors[0].size, c.bytes.size()) << c.name;
    }
}

TEST(ExtractionInput, LinesOfTheExtractCommand) {
    auto parse = [](const std::u16string& text) { return parseExtractionInput(text); };
    auto request = parse(u"C:\\Out\nC:\\a.zip\nD:\\b.rar\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->target, L"C:\\Out");
    EXPECT_EQ(request->archives, std::vector<std::wstring>({L"C:\\a.zip", L"D:\\b.rar"}));
    // An empty target is the first archive's folder.
    request = parse(u"\nC:\\x\\a.zip\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->target, L"C:\\x\\");
    // A last line without its line feed is incomplete.
    request = parse(u"C:\\Out\nC:\\a.zip\nC:\\b.zip");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->archives, std::vector<std::wstring>({L"C:\\a.zip"}));
    EXPECT_FALSE(parse(u"C:\\Out\nC:\\a.zip"));
    EXPECT_FALSE(parse(u"C:\\Out"));
    EXPECT_FALSE(parse(u""));
}

TEST_F(DataTransferTest, EntryWriterKeepsOnlyWholeFiles) {
    ScratchFolder out(L"zorvex-writer-");
    Com<IShellFolder2> folder;
    IdList list;
    openArchiveFolder(fixtures() + L"\\main.zip", folder, list);
    auto stream = [&](IShellFolder2* in, const wchar_t* name) {
        IdList item;
        std::wstring copy = name;
        IStream* s = nullptr;
        if (SUCCEEDED(in->ParseDisplayName(nullptr, nullptr, copy.data(), nullptr, item.out(), nullptr)))
            in->BindToObject(item.p, nullptr, IID_IStream, reinterpret_cast<void**>(&s));
        return s;
    };
    Com<IStream> a;
    a.p = stream(folder.p, L"a.txt");
    ASSERT_TRUE(a.p);
    std::wstring path = writeEntry(a.p, out.path);
    ASSERT_EQ(path, out.path + L"\\a.txt");
    EXPECT_EQ(fileBytes(path), fileBytes(fixtures() + L"\\src\\a.txt"));
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes));
    STATSTG stat;
    ASSERT_EQ(a->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(CompareFileTime(&attributes.ftLastWriteTime, &stat.mtime), 0);

    Com<IStream> empty;
    empty.p = stream(folder.p, L"empty.txt");
    EXPECT_EQ(fileBytes(writeEntry(empty.p, out.path)).size(), 0u);

    // A damaged entry leaves nothing, not even the reserved file.
    Com<IShellFolder2> damagedFolder;
    IdList damagedList;
    openArchiveFolder(fixtures() + L"\\damaged.zip", damagedFolder, damagedList);
    Com<IStream> damaged;
    damaged.p = stream(damagedFolder.p, L"big.txt");
    ASSERT_TRUE(damaged.p);
    EXPECT_EQ(writeEntry(damaged.p, out.path), L"");
    EXPECT_EQ(GetFileAttributesW((out.path + L"\\big.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    // So does one that decodes whole but not to its stored CRC-32.
    Com<IStream> flipped;
    flipped.p = stream(damagedFolder.p, L"flipped.txt");
    ASSERT_TRUE(flipped.p);
    EXPECT_EQ(writeEntry(flipped.p, out.path), L"");
    EXPECT_EQ(GetFileAttributesW((out.path + L"\\flipped.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(writeEntry(nullptr, out.path), L"");
    EXPECT_EQ(writeEntry(a.p, out.path + L"\\no such folder"), L"");
}

}  // namespace
}  // namespace zorvex::shell
