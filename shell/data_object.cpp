#include "shell/data_object.h"

#include <shldisp.h>

#include <cstring>
#include <new>
#include <optional>

#include "engine/extraction.h"
#include "engine/level_walk.h"
#include "shell/com_object.h"
#include "shell/entry_id.h"
#include "shell/entry_stream.h"
#include "shell/module.h"

namespace zorvex::shell {

namespace {

// Global blocks handed out; the drop-effect block is not zero-initialised.
constexpr UINT kBlockFlags = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DISCARDABLE | GMEM_SHARE;
constexpr UINT kDropEffectFlags = GMEM_MOVEABLE | GMEM_DISCARDABLE | GMEM_SHARE;
// The longest name a file descriptor holds, without its NUL.
constexpr size_t kMaxDescriptorName = MAX_PATH - 1;
// Bounds on persisted data this object did not necessarily write.
constexpr uint32_t kMaxPersistedList = 0x10000;
constexpr uint32_t kMaxPersistedName = 0x8000;

struct ClipboardFormats {
    UINT ids[5];
    ClipboardFormats() {
        static const wchar_t* const names[] = {L"Preferred DropEffect", L"FileGroupDescriptorW", L"FileContents",
                                               L"Shell IDList Array", L"OleClipboardPersistOnFlush"};
        for (int i = 0; i < 5; ++i) ids[i] = RegisterClipboardFormatW(names[i]);
    }
} clipboardFormats;

bool asyncByDefault() { return LOBYTE(LOWORD(GetVersion())) > 5; }

HRESULT globalBlock(const void* data, size_t size, UINT flags, STGMEDIUM* medium) {
    HGLOBAL block = GlobalAlloc(flags, size);
    if (!block) return E_OUTOFMEMORY;
    if (data) {
        void* p = GlobalLock(block);
        memcpy(p, data, size);
        GlobalUnlock(block);
    }
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

HRESULT uint32Block(uint32_t value, UINT flags, STGMEDIUM* medium) {
    return globalBlock(&value, sizeof value, flags, medium);
}

// The formats the object lists (the identifier list array is served unlisted).
class FormatEnumerator final : public SingleInterface<IEnumFORMATETC> {
public:
    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, FORMATETC* out, ULONG* fetched) override {
        if (!out && wanted > 0) return E_POINTER;
        static const ClipboardFormat formats[] = {kFileGroupDescriptor, kFileContents, kPreferredDropEffect,
                                                  kPersistOnFlush};
        ULONG got = 0;
        for (; got < wanted && position_ < 4; ++got, ++position_) {
            ClipboardFormat format = formats[position_];
            out[got] = FORMATETC{static_cast<CLIPFORMAT>(clipboardFormat(format)), nullptr, DVASPECT_CONTENT, -1,
                                 static_cast<DWORD>(format == kFileContents ? TYMED_ISTREAM : TYMED_HGLOBAL)};
        }
        if (fetched) *fetched = got;
        return got == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position_ += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumFORMATETC** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

private:
    ULONG position_ = 0;
};

HRESULT enumerateFormats(DWORD direction, IEnumFORMATETC** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (direction != DATADIR_GET) return E_NOTIMPL;
    *out = new (std::nothrow) FormatEnumerator();
    return *out ? S_OK : E_OUTOFMEMORY;
}

// What both data objects share: the reference count, the data object
// methods neither supports, and the shell's asynchronous operation. The
// reference StartOperation takes keeps the object alive until the copy ends;
// an end without a start releases nothing.
class DataObjectBase : public IDataObject, public IDataObjectAsyncCapability, private Counted {
public:
    DataObjectBase(bool async, bool quitOnEnd)
        : async_(async), quitOnEnd_(quitOnEnd), thread_(GetCurrentThreadId()) {}
    virtual ~DataObjectBase() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDataObject)
            *out = static_cast<IDataObject*>(this);
        else if (riid == IID_IDataObjectAsyncCapability)
            *out = static_cast<IDataObjectAsyncCapability*>(this);
        else
            *out = otherInterface(riid);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.add(); }
    ULONG STDMETHODCALLTYPE Release() override { return refs_.release(this); }

    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out) out->ptd = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** out) override {
        if (out) *out = nullptr;
        return OLE_E_ADVISENOTSUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE SetAsyncMode(BOOL async) override {
        async_ = async != FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAsyncMode(BOOL* async) override {
        if (!async) return E_POINTER;
        *async = async_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StartOperation(IBindCtx*) override {
        AddRef();
        InterlockedIncrement(&pending_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InOperation(BOOL* pending) override {
        if (!pending) return E_POINTER;
        *pending = InterlockedCompareExchange(&pending_, 0, 0) > 0;
        return S_OK;
    }
    // The copy engine may end the operation from its own thread: the quit
    // message goes to the thread that waits for it.
    HRESULT STDMETHODCALLTYPE EndOperation(HRESULT, IBindCtx*, DWORD) override {
        if (quitOnEnd_) PostThreadMessageW(thread_, WM_QUIT, 0, 0);
        if (InterlockedDecrement(&pending_) < 0) {
            InterlockedIncrement(&pending_);
            return S_OK;
        }
        Release();
        return S_OK;
    }

protected:
    // A further interface of the derived object, or null.
    virtual void* otherInterface(REFIID) { return nullptr; }

private:
    RefCount refs_;
    bool async_;
    bool quitOnEnd_;
    DWORD thread_;
    LONG pending_ = 0;
};

struct FileItem {
    std::u16string path;    // relative, safe names, "\\"-separated
    std::u16string stored;  // the same as the archive names it, relative to the selection's level
    int level;            // in EntryDataObject::levels_
    uint8_t kind;
    int index;
};

std::u16string joinStored(const std::u16string& base, const char16_t* name) {
    if (base.empty() || base.back() == u'\\') return base + name;
    return base + u'\\' + name;
}

std::u16string joinPath(const std::u16string& base, const char16_t* name) {
    return joinStored(base, windowsSafeName(name).c_str());
}

// Where paths below a selected level begin: safe names for the descriptors,
// stored names for the archive.
struct Base {
    std::u16string path;
    std::u16string stored;
    Base down(const char16_t* name) const { return {joinPath(path, name), joinStored(stored, name)}; }
};

HRESULT writeAll(IStream* stream, const void* data, ULONG size) {
    ULONG written = 0;
    HRESULT hr = stream->Write(data, size, &written);
    if (FAILED(hr)) return hr;
    return written == size ? S_OK : STG_E_WRITEFAULT;
}

HRESULT readAll(IStream* stream, void* data, ULONG size) {
    ULONG got = 0;
    HRESULT hr = stream->Read(data, size, &got);
    if (FAILED(hr)) return hr;
    return got == size ? S_OK : STG_E_READFAULT;
}

HRESULT writeList(IStream* stream, LPCITEMIDLIST list) {
    uint32_t size = ILGetSize(list);
    HRESULT hr = writeAll(stream, &size, sizeof size);
    return SUCCEEDED(hr) ? writeAll(stream, list, size) : hr;
}

// A persisted identifier list, checked: a chain of identifiers that ends in
// its terminator exactly at the stored size.
HRESULT readList(IStream* stream, LPITEMIDLIST* out) {
    uint32_t size = 0;
    HRESULT hr = readAll(stream, &size, sizeof size);
    if (FAILED(hr)) return hr;
    if (size < 2 || size > kMaxPersistedList) return E_FAIL;
    auto* bytes = static_cast<uint8_t*>(CoTaskMemAlloc(size));
    if (!bytes) return E_OUTOFMEMORY;
    hr = readAll(stream, bytes, size);
    uint32_t at = 0;
    while (SUCCEEDED(hr)) {
        uint16_t cb;
        memcpy(&cb, bytes + at, sizeof cb);
        if (cb == 0) {
            if (at + 2 != size) hr = E_FAIL;
            break;
        }
        if (cb < 2 || cb > size - 2 - at) hr = E_FAIL;
        at += cb;
    }
    if (FAILED(hr)) {
        CoTaskMemFree(bytes);
        return hr;
    }
    *out = reinterpret_cast<LPITEMIDLIST>(bytes);
    return S_OK;
}

class EntryDataObject final : public DataObjectBase, public IPersistStream {
public:
    EntryDataObject(Locked<Archive> level, LPITEMIDLIST folderList, std::vector<EntryId> items, bool async,
                    bool quitOnEnd, std::u16string prefix, HWND owner, const PasswordHold& password)
        : DataObjectBase(async, quitOnEnd),
          owner_(owner),
          password_(password),
          level_(std::move(level)),
          folderList_(folderList),
          items_(std::move(items)),
          prefix_(std::move(prefix)) {}
    ~EntryDataObject() override { CoTaskMemFree(folderList_); }

    // IUnknown, shared with the persistence interface.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return DataObjectBase::QueryInterface(riid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return DataObjectBase::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return DataObjectBase::Release(); }

    // IDataObject
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** out) override {
        return enumerateFormats(direction, out);
    }

    // IPersistStream
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* out) override {
        if (!out) return E_POINTER;
        *out = kClsid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Load(IStream* stream) override;
    HRESULT STDMETHODCALLTYPE Save(IStream* stream, BOOL) override;
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

protected:
    void* otherInterface(REFIID riid) override {
        return riid == IID_IPersistStream || riid == IID_IPersist ? static_cast<IPersistStream*>(this) : nullptr;
    }

private:
    // Builds the folder and file lists once; the result of the first build
    // stands for every later request.
    HRESULT expand();
    HRESULT expandSelection(const EngineLock& lock);
    class FolderCollector;
    // Adds the level's own files and nested archives.
    void addFiles(const EngineLock& lock, int levelIndex, const std::vector<EntryId>& ids, const Base& base);
    // Puts the files in the order their data lies in the archive, across
    // folders too (engine/extraction.h): the copy engine asks for them in this
    // order.
    void orderByData(Archive* root);
    int keepLevel(Archive* adopted);
    HRESULT checkedPath(const std::u16string& path) const;
    HRESULT descriptors(STGMEDIUM* medium);
    HRESULT contents(LONG index, STGMEDIUM* medium);
    HRESULT idListArray(STGMEDIUM* medium);

    HWND owner_;               // of the password dialog
    PasswordHold password_;    // the archive's password, kept while the object lives
    bool mayAskPassword_ = true;  // asked at most once (openEntryStream)
    Locked<Archive> level_;
    LPITEMIDLIST folderList_;
    std::vector<EntryId> items_;
    std::u16string prefix_;  // the wrapper folder with its "\\", or empty

    bool expanded_ = false;
    HRESULT expandResult_ = S_OK;
    std::vector<std::u16string> folderPaths_;
    std::vector<FileItem> files_;
    std::vector<Locked<Archive>> levels_;  // [0] is level_ itself
};

HRESULT STDMETHODCALLTYPE EntryDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_INVALIDARG;
    const UINT cf = format->cfFormat;
    if (cf == clipboardFormat(kPreferredDropEffect)) return uint32Block(DROPEFFECT_COPY, kDropEffectFlags, medium);
    if (cf == clipboardFormat(kFileGroupDescriptor)) {
        if (!(format->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
        return descriptors(medium);
    }
    if (cf == clipboardFormat(kFileContents)) {
        if (!(format->tymed & TYMED_ISTREAM)) return DV_E_TYMED;
        return contents(format->lindex, medium);
    }
    if (cf == clipboardFormat(kShellIdList)) {
        if (!(format->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
        return idListArray(medium);
    }
    if (cf == clipboardFormat(kPersistOnFlush)) {
        if (!(format->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
        return uint32Block(0, kBlockFlags, medium);
    }
    return DV_E_FORMATETC;
}

HRESULT EntryDataObject::expand() {
    EngineLock lock;
    if (!expanded_) {
        expanded_ = true;
        expandResult_ = expandSelection(lock);
    }
    return expandResult_;
}

int EntryDataObject::keepLevel(Archive* adopted) {
    levels_.emplace_back(adopted);
    return static_cast<int>(levels_.size()) - 1;
}

HRESULT EntryDataObject::checkedPath(const std::u16string& path) const {
    return prefix_.size() + path.size() > kMaxDescriptorName ? HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)
                                                              : S_OK;
}

// Adds what a selected folder holds, through the walk over the levels
// (engine/level_walk.h): each folder's path as the walk enters it, depth
// first, and a level's nested archives and files after everything below its
// folders. Nested archives are copied as files, not walked into. The first
// failure ends the collection.
class EntryDataObject::FolderCollector {
public:
    FolderCollector(EntryDataObject& object, const EngineLock& lock) : object_(object), lock_(lock) {}
    HRESULT result() const { return result_; }

    void items(Archive*, const Base&) {}
    std::optional<Base> folder(Archive* level, int i, const Base& base) {
        if (FAILED(result_)) return std::nullopt;
        Base folder = base.down(level->folderName(i));
        // Every level adds at least two characters: this also bounds the depth.
        result_ = object_.checkedPath(folder.path);
        if (FAILED(result_)) return std::nullopt;
        object_.folderPaths_.push_back(folder.path);
        return folder;
    }
    void folderFailed(Archive*, int, const Base&) { result_ = E_FAIL; }
    std::optional<Base> nested(Archive*, int, const Base&) { return std::nullopt; }
    void nestedFailed(Archive*, int, const Base&) {}
    void after(Archive* level, const Base& base) {
        if (FAILED(result_)) return;
        level->addRef();
        int levelIndex = object_.keepLevel(level);
        std::vector<EntryId> ids;
        for (int i = 0; i < level->nestedCount(); ++i) ids.push_back(EntryId{sizeof(EntryId), kNestedEntry, 0, i});
        for (int i = 0; i < level->fileCount(); ++i) ids.push_back(EntryId{sizeof(EntryId), kFileEntry, 0, i});
        object_.addFiles(lock_, levelIndex, ids, base);
    }

private:
    EntryDataObject& object_;
    const EngineLock& lock_;
    HRESULT result_ = S_OK;
};

HRESULT EntryDataObject::expandSelection(const EngineLock& lock) {
    Archive* root = level_.get(lock);
    if (!root) return E_FAIL;
    if (prefix_.size() > kMaxDescriptorName) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (!prefix_.empty()) folderPaths_.emplace_back();
    root->addRef();
    keepLevel(root);
    FolderCollector collector(*this, lock);
    std::vector<EntryId> files;
    for (const EntryId& id : items_) {
        if (!itemName(root, id.kind, id.index)) return E_FAIL;
        if (id.kind != kFolderEntry) {
            files.push_back(id);
            continue;
        }
        std::optional<Base> folder = collector.folder(root, id.index, Base{});
        if (!folder) return collector.result();
        Ref<Archive> sub(root->openFolder(id.index));
        if (!sub) return E_FAIL;
        walkLevels(sub.get(), collector, *folder);
        if (FAILED(collector.result())) return collector.result();
    }
    addFiles(lock, 0, files, Base{});
    for (const FileItem& file : files_) {
        HRESULT hr = checkedPath(file.path);
        if (FAILED(hr)) return hr;
    }
    orderByData(root);
    return S_OK;
}

void EntryDataObject::addFiles(const EngineLock& lock, int levelIndex, const std::vector<EntryId>& ids,
                               const Base& base) {
    Archive* level = levels_[levelIndex].get(lock);
    for (const EntryId& id : ids) {
        Base file = base.down(itemName(level, id.kind, id.index));
        files_.push_back(FileItem{std::move(file.path), std::move(file.stored), levelIndex, id.kind, id.index});
    }
}

void EntryDataObject::orderByData(Archive* root) {
    std::vector<std::u16string> stored;
    stored.reserve(files_.size());
    for (const FileItem& file : files_) stored.push_back(file.stored);
    std::vector<FileItem> ordered;
    ordered.reserve(files_.size());
    for (size_t position : extractionOrder(root, stored)) ordered.push_back(std::move(files_[position]));
    files_ = std::move(ordered);
}

HRESULT EntryDataObject::descriptors(STGMEDIUM* medium) {
    HRESULT hr = expand();
    if (FAILED(hr)) return hr;
    const uint64_t count = folderPaths_.size() + files_.size();
    const uint64_t size = offsetof(FILEGROUPDESCRIPTORW, fgd) + (count > 0 ? count : 1) * sizeof(FILEDESCRIPTORW);
    if (count > UINT32_MAX || size > SIZE_MAX) return E_OUTOFMEMORY;
    HGLOBAL block = GlobalAlloc(kBlockFlags, static_cast<SIZE_T>(size));
    if (!block) return E_OUTOFMEMORY;
    auto* group = static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(block));
    group->cItems = static_cast<UINT>(count);
    auto setName = [&](FILEDESCRIPTORW& d, const std::u16string& path) {
        std::u16string name = prefix_ + path;
        if (!name.empty() && name.back() == u'\\') name.pop_back();
        memcpy(d.cFileName, name.c_str(), name.size() * sizeof(wchar_t));
    };
    size_t k = 0;
    for (const std::u16string& path : folderPaths_) {
        FILEDESCRIPTORW& d = group->fgd[k++];
        d.dwFlags = FD_ATTRIBUTES | FD_PROGRESSUI;
        d.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        setName(d, path);
    }
    {
        EngineLock lock;
        for (const FileItem& file : files_) {
            FILEDESCRIPTORW& d = group->fgd[k++];
            Archive* level = levels_[file.level].get(lock);
            d.dwFlags = FD_ATTRIBUTES | FD_PROGRESSUI;
            d.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
            setName(d, file.path);
            // The size of the data the stream gives, a link's target's.
            int64_t fileSize = itemDataSize(level, file.kind, file.index);
            if (fileSize >= 0) {
                d.dwFlags |= FD_FILESIZE;
                d.nFileSizeLow = static_cast<DWORD>(fileSize);
                d.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(fileSize) >> 32);
            }
            if (entryTimeToFiletime(itemTime(level, file.kind, file.index), &d.ftLastWriteTime))
                d.dwFlags |= FD_WRITESTIME;
        }
    }
    GlobalUnlock(block);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

HRESULT EntryDataObject::contents(LONG index, STGMEDIUM* medium) {
    HRESULT hr = expand();
    if (FAILED(hr)) return hr;
    const size_t folders = folderPaths_.size();
    if (index < 0 || static_cast<size_t>(index) < folders || static_cast<size_t>(index) - folders >= files_.size())
        return DV_E_LINDEX;
    const FileItem& file = files_[static_cast<size_t>(index) - folders];
    // Asked here, on the copy engine's thread, as the stream is wanted: the
    // dialog appears only when bytes of an encrypted entry are needed (not
    // while the shell merely looks at the object during a drag), and the
    // browser's thread stays free while it is open.
    IStream* entry = nullptr;
    hr = openEntryStream(levels_[file.level], file.kind, file.index, {owner_, password_, &mayAskPassword_}, &entry);
    if (FAILED(hr)) return hr;
    medium->tymed = TYMED_ISTREAM;
    medium->pstm = entry;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

HRESULT EntryDataObject::idListArray(STGMEDIUM* medium) {
    if (!folderList_) return E_FAIL;
    const size_t n = items_.size();
    const size_t listBytes = ILGetSize(folderList_);
    const size_t itemBytes = sizeof(EntryId) + 2;
    const size_t headerBytes = sizeof(UINT) * (n + 2);
    std::vector<uint8_t> block(headerBytes + listBytes + n * itemBytes, 0);
    auto setOffset = [&](size_t slot, size_t offset) {
        UINT value = static_cast<UINT>(offset);
        memcpy(block.data() + sizeof(UINT) * slot, &value, sizeof value);
    };
    setOffset(0, n);
    setOffset(1, headerBytes);
    memcpy(block.data() + headerBytes, folderList_, listBytes);
    for (size_t i = 0; i < n; ++i) {
        size_t at = headerBytes + listBytes + i * itemBytes;
        setOffset(i + 2, at);
        memcpy(block.data() + at, &items_[i], sizeof(EntryId));
    }
    return globalBlock(block.data(), block.size(), kBlockFlags, medium);
}

HRESULT STDMETHODCALLTYPE EntryDataObject::Save(IStream* stream, BOOL) {
    if (!stream || !folderList_) return E_INVALIDARG;
    std::u16string name;
    {
        EngineLock lock;
        Archive* level = level_.get(lock);
        if (!level) return E_INVALIDARG;
        name = level->name();
    }
    HRESULT hr = writeList(stream, folderList_);
    uint32_t count = static_cast<uint32_t>(items_.size());
    if (SUCCEEDED(hr)) hr = writeAll(stream, &count, sizeof count);
    for (const EntryId& id : items_) {
        uint8_t list[sizeof(EntryId) + 2] = {};
        memcpy(list, &id, sizeof id);
        if (SUCCEEDED(hr)) hr = writeList(stream, reinterpret_cast<LPCITEMIDLIST>(list));
    }
    uint32_t length = static_cast<uint32_t>(name.size() + 1);
    if (SUCCEEDED(hr)) hr = writeAll(stream, &length, sizeof length);
    if (SUCCEEDED(hr)) hr = writeAll(stream, name.c_str(), length * sizeof(char16_t));
    return hr;
}

HRESULT STDMETHODCALLTYPE EntryDataObject::Load(IStream* stream) {
    if (!stream) return E_INVALIDARG;
    if (folderList_ || level_) return E_UNEXPECTED;
    LPITEMIDLIST folderList = nullptr;
    HRESULT hr = readList(stream, &folderList);
    if (FAILED(hr)) return hr;
    std::vector<EntryId> items;
    uint32_t count = 0;
    hr = readAll(stream, &count, sizeof count);
    for (uint32_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
        LPITEMIDLIST item = nullptr;
        hr = readList(stream, &item);
        if (FAILED(hr)) break;
        EntryId id;
        if (readEntryId(item, &id) && !nextId(item))
            items.push_back(id);
        else
            hr = E_FAIL;
        CoTaskMemFree(item);
    }
    uint32_t length = 0;
    if (SUCCEEDED(hr)) hr = readAll(stream, &length, sizeof length);
    std::u16string name;
    if (SUCCEEDED(hr) && (length < 2 || length > kMaxPersistedName)) hr = E_FAIL;
    if (SUCCEEDED(hr)) {
        name.resize(length);
        hr = readAll(stream, name.data(), length * sizeof(char16_t));
    }
    // One terminating NUL, at the end and nowhere else.
    if (SUCCEEDED(hr) && (name.back() != 0 || name.find(u'\0') != length - 1)) hr = E_FAIL;
    if (FAILED(hr)) {
        CoTaskMemFree(folderList);
        return hr;
    }
    name.pop_back();
    // The archive's password is kept from here on, should it already be
    // known (the folder the copy came from may still be open) or be given.
    password_ = PasswordHold(archiveFileOf(name.c_str()));
    EngineLock lock;
    level_.reset(openArchivePath(name.c_str(), nullptr, ReadPlan::kBrowse, passwordBook()), lock);
    if (!level_) {
        CoTaskMemFree(folderList);
        return E_FAIL;
    }
    folderList_ = folderList;
    items_ = std::move(items);
    return S_OK;
}

class MultiArchiveDataObject final : public DataObjectBase {
public:
    explicit MultiArchiveDataObject(std::vector<IDataObject*> members)
        : DataObjectBase(true, true), members_(std::move(members)) {}
    ~MultiArchiveDataObject() override {
        for (IDataObject* member : members_) member->Release();
    }

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** out) override {
        return members_[0]->EnumFormatEtc(direction, out);
    }

private:
    HRESULT descriptors(STGMEDIUM* medium);

    std::vector<IDataObject*> members_;
    std::vector<UINT> counts_;  // each member's descriptor count, once asked
};

HRESULT STDMETHODCALLTYPE MultiArchiveDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium) return E_INVALIDARG;
    const UINT cf = format->cfFormat;
    if (cf == clipboardFormat(kPreferredDropEffect) || cf == clipboardFormat(kPersistOnFlush))
        return members_[0]->GetData(format, medium);
    if (cf == clipboardFormat(kFileGroupDescriptor)) {
        if (!(format->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
        return descriptors(medium);
    }
    if (cf == clipboardFormat(kFileContents)) {
        if (!(format->tymed & TYMED_ISTREAM)) return DV_E_TYMED;
        if (counts_.size() != members_.size()) return E_FAIL;
        if (format->lindex < 0) return DV_E_LINDEX;
        UINT index = static_cast<UINT>(format->lindex);
        for (size_t i = 0; i < members_.size(); ++i) {
            if (index < counts_[i]) {
                FORMATETC inner = *format;
                inner.lindex = static_cast<LONG>(index);
                return members_[i]->GetData(&inner, medium);
            }
            index -= counts_[i];
        }
        return DV_E_LINDEX;
    }
    return DV_E_FORMATETC;
}

HRESULT MultiArchiveDataObject::descriptors(STGMEDIUM* medium) {
    std::vector<STGMEDIUM> blocks;
    std::vector<UINT> counts;
    uint64_t total = 0;
    HRESULT hr = S_OK;
    for (IDataObject* member : members_) {
        FORMATETC format = {static_cast<CLIPFORMAT>(clipboardFormat(kFileGroupDescriptor)), nullptr,
                            DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM block = {};
        hr = member->GetData(&format, &block);
        if (FAILED(hr)) break;
        blocks.push_back(block);
        auto* group = static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(block.hGlobal));
        counts.push_back(group->cItems);
        GlobalUnlock(block.hGlobal);
        total += counts.back();
    }
    if (SUCCEEDED(hr) && total > UINT32_MAX) hr = E_OUTOFMEMORY;
    HGLOBAL joined = nullptr;
    if (SUCCEEDED(hr)) {
        const uint64_t size =
            offsetof(FILEGROUPDESCRIPTORW, fgd) + (total > 0 ? total : 1) * sizeof(FILEDESCRIPTORW);
        joined = size <= SIZE_MAX ? GlobalAlloc(kBlockFlags, static_cast<SIZE_T>(size)) : nullptr;
        if (!joined) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
        auto* group = static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(joined));
        group->cItems = static_cast<UINT>(total);
        size_t at = 0;
        for (size_t i = 0; i < blocks.size(); ++i) {
            auto* part = static_cast<FILEGROUPDESCRIPTORW*>(GlobalLock(blocks[i].hGlobal));
            memcpy(&group->fgd[at], part->fgd, counts[i] * sizeof(FILEDESCRIPTORW));
            GlobalUnlock(blocks[i].hGlobal);
            at += counts[i];
        }
        GlobalUnlock(joined);
        counts_ = std::move(counts);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = joined;
        medium->pUnkForRelease = nullptr;
    }
    for (STGMEDIUM& block : blocks) ReleaseStgMedium(&block);
    return hr;
}

std::vector<EntryId> childIds(UINT count, PCUITEMID_CHILD_ARRAY items, bool* valid) {
    std::vector<EntryId> ids;
    *valid = items != nullptr || count == 0;
    for (UINT i = 0; *valid && i < count; ++i) {
        EntryId id;
        *valid = readEntryId(items[i], &id);
        ids.push_back(id);
    }
    return ids;
}

}  // namespace

UINT clipboardFormat(ClipboardFormat which) { return clipboardFormats.ids[which]; }

IDataObject* newEntryDataObject(Locked<Archive> level, LPCITEMIDLIST folderList, UINT count,
                                PCUITEMID_CHILD_ARRAY items, HWND owner, const PasswordHold& password) {
    bool valid;
    std::vector<EntryId> ids = childIds(count, items, &valid);
    if (!valid || !folderList) return nullptr;
    LPITEMIDLIST list = ILClone(folderList);
    if (!list) return nullptr;
    auto* object = new (std::nothrow)
        EntryDataObject(std::move(level), list, std::move(ids), asyncByDefault(), false, u"", owner, password);
    if (!object) CoTaskMemFree(list);
    return object;
}

IDataObject* newEmptyEntryDataObject() {
    return new (std::nothrow) EntryDataObject({}, nullptr, {}, asyncByDefault(), false, u"", nullptr, {});
}

IDataObject* newExtractionDataObject(Locked<Archive> level, LPCITEMIDLIST levelList, const std::u16string& wrapper,
                                     HWND owner, const PasswordHold& password) {
    std::vector<EntryId> ids;
    {
        EngineLock lock;
        Archive* archive = level.get(lock);
        if (!archive) return nullptr;
        for (int i = 0; i < archive->folderCount(); ++i) ids.push_back(EntryId{sizeof(EntryId), kFolderEntry, 0, i});
        for (int i = 0; i < archive->nestedCount(); ++i) ids.push_back(EntryId{sizeof(EntryId), kNestedEntry, 0, i});
        for (int i = 0; i < archive->fileCount(); ++i) ids.push_back(EntryId{sizeof(EntryId), kFileEntry, 0, i});
    }
    LPITEMIDLIST list = levelList ? ILClone(levelList) : nullptr;
    if (levelList && !list) return nullptr;
    std::u16string prefix = wrapper.empty() ? u"" : windowsSafeName(wrapper) + u"\\";
    auto* object = new (std::nothrow)
        EntryDataObject(std::move(level), list, std::move(ids), true, true, prefix, owner, password);
    if (!object) CoTaskMemFree(list);
    return object;
}

IDataObject* newMultiArchiveDataObject(std::vector<IDataObject*> members) {
    if (members.empty()) return nullptr;
    auto* object = new (std::nothrow) MultiArchiveDataObject(members);
    if (!object)
        for (IDataObject* member : members) member->Release();
    return object;
}

bool operationPending(IDataObject* object) {
    IDataObjectAsyncCapability* async = nullptr;
    if (FAILED(object->QueryInterface(IID_IDataObjectAsyncCapability, reinterpret_cast<void**>(&async))))
        return false;
    BOOL pending = FALSE;
    async->InOperation(&pending);
    async->Release();
    return pending != FALSE;
}

}  // namespace zorvex::shell
