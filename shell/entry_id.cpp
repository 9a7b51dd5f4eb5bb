#include "shell/entry_id.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/checked_stream.h"
#include "engine/links.h"
#include "engine/names.h"
#include "engine/stream.h"
#include "shell/com_object.h"
#include "shell/password_book.h"

namespace zorvex::shell {

SFGAOF kindAttributes(uint8_t kind) {
    switch (kind) {
        case kFolderEntry: return kFolderAttributes;
        case kNestedEntry: return kNestedAttributes;
        default: return kFileAttributes;
    }
}

LPITEMIDLIST makeEntryId(uint8_t kind, int32_t index) {
    auto* bytes = static_cast<uint8_t*>(CoTaskMemAlloc(sizeof(EntryId) + 2));
    if (!bytes) return nullptr;
    EntryId id = {sizeof(EntryId), kind, 0, index};
    memcpy(bytes, &id, sizeof id);
    bytes[sizeof id] = bytes[sizeof id + 1] = 0;
    return reinterpret_cast<LPITEMIDLIST>(bytes);
}

bool readEntryId(LPCITEMIDLIST list, EntryId* out) {
    if (!list) return false;
    // Identifiers come from the shell and need not be aligned.
    memcpy(out, list, sizeof(uint16_t));
    if (out->size != sizeof(EntryId)) return false;
    memcpy(out, list, sizeof(EntryId));
    return out->kind <= kFileEntry && out->index >= 0;
}

LPCITEMIDLIST nextId(LPCITEMIDLIST list) {
    uint16_t size;
    memcpy(&size, list, sizeof size);
    if (size == 0) return nullptr;
    auto next = reinterpret_cast<LPCITEMIDLIST>(reinterpret_cast<const uint8_t*>(list) + size);
    memcpy(&size, next, sizeof size);
    return size == 0 ? nullptr : next;
}

int idCount(LPCITEMIDLIST list) {
    if (!list || list->mkid.cb == 0) return 0;
    int count = 1;
    while ((list = nextId(list))) ++count;
    return count;
}

const char16_t* itemName(Archive* archive, uint8_t kind, int32_t index) {
    switch (kind) {
        case kFolderEntry: return archive->folderName(index);
        case kNestedEntry: return archive->nestedName(index);
        case kFileEntry: return archive->fileName(index);
    }
    return nullptr;
}

int itemIndex(Archive* archive, uint8_t kind, const char16_t* name) {
    switch (kind) {
        case kFolderEntry: return archive->findFolder(name);
        case kNestedEntry: return archive->findNested(name);
        case kFileEntry: return archive->findFile(name);
    }
    return -1;
}

int64_t itemSize(Archive* archive, uint8_t kind, int32_t index) {
    switch (kind) {
        case kNestedEntry: return archive->nestedSize(index);
        case kFileEntry: return archive->fileSize(index);
    }
    return -1;
}

int64_t itemDataSize(Archive* archive, uint8_t kind, int32_t index) {
    if (kind != kNestedEntry && kind != kFileEntry) return -1;
    Ref<Archive> level = Ref<Archive>::share(archive);
    LevelEntry entry{u"", kind == kNestedEntry, index};
    if (!followLinks(level, entry)) return -1;
    return itemSize(level.get(), entry.nested ? kNestedEntry : kFileEntry, entry.index);
}

bool itemEncrypted(Archive* archive, uint8_t kind, int32_t index) {
    switch (kind) {
        case kNestedEntry: return archive->nestedMetadata(index).encrypted;
        case kFileEntry: return archive->fileMetadata(index).encrypted;
    }
    return false;
}

int64_t itemTime(Archive* archive, uint8_t kind, int32_t index) {
    switch (kind) {
        case kFolderEntry: return archive->folderTime(index);
        case kNestedEntry: return archive->nestedTime(index);
        case kFileEntry: return archive->fileTime(index);
    }
    return 0;
}

InStream* openItemStream(Archive* archive, uint8_t kind, int32_t index) {
    if (kind != kNestedEntry && kind != kFileEntry) return nullptr;
    // A symbolic link gives the data of the entry it points to; its own data
    // (the target's path, or nothing) must never stand in for that, so a link
    // out of the archive is a stream that fails.
    Ref<Archive> level = Ref<Archive>::share(archive);
    LevelEntry entry{u"", kind == kNestedEntry, index};
    if (!followLinks(level, entry)) {
        InStream* failed = MemoryStream::create(itemName(archive, kind, index), archive, 0, nullptr, 0);
        if (failed) failed->fail(Status::corrupt("link target is not in the archive"));
        return failed;
    }
    // The copy engine sees only the stream: data that fails a check the
    // archive stores must reach it as a failed read. A stream that failed as
    // it was made (no password, a wrong one) says so itself.
    InStream* stream = entry.nested ? level->openNestedStream(entry.index) : level->openFile(entry.index);
    if (stream && stream->damaged()) return stream;
    return openChecked(stream, entry.nested ? level->nestedChecks(entry.index) : level->fileChecks(entry.index));
}

namespace {

// The folder or nested archive `id` names below `archive`, opened by path so
// that one path always gives the same live Archive.
Archive* openChild(Archive* archive, const EntryId& id) {
    if (id.kind == kFileEntry) return nullptr;
    const char16_t* name = itemName(archive, id.kind, id.index);
    if (!name) return nullptr;
    std::u16string path = std::u16string(archive->name()) + u"\\" + name;
    return openArchivePath(path.c_str(), nullptr, ReadPlan::kBrowse, passwordBook());
}

}  // namespace

Archive* resolve(Archive* archive, LPCITEMIDLIST list, int count) {
    archive->addRef();
    if (!list || list->mkid.cb == 0) return archive;
    for (LPCITEMIDLIST item = list; item && count != 0; item = nextId(item), --count) {
        EntryId id;
        Archive* child = readEntryId(item, &id) ? openChild(archive, id) : nullptr;
        archive->release();
        if (!child) return nullptr;
        archive = child;
    }
    return archive;
}

HRESULT parseDisplayName(Archive* archive, const wchar_t* name, ULONG* eaten, LPITEMIDLIST* out,
                         ULONG* attributes) {
    if (!name || !out) return E_INVALIDARG;
    *out = nullptr;
    std::u16string text(name, name + wcslen(name));
    if (!text.empty() && (text.back() == u'\\' || text.back() == u'/')) text.pop_back();
    std::vector<std::u16string> components;
    for (size_t start = 0;;) {
        size_t cut = text.find_first_of(u"\\/", start);
        components.push_back(text.substr(start, cut - start));
        if (cut == std::u16string::npos) break;
        start = cut + 1;
    }

    std::vector<uint8_t> result;  // the identifiers found so far, without terminator
    Ref<Archive> level = Ref<Archive>::share(archive);
    for (size_t i = 0; i < components.size(); ++i) {
        EntryId id = {sizeof(EntryId), 0, 0, -1};
        for (uint8_t kind : {kFolderEntry, kNestedEntry, kFileEntry}) {
            int index = itemIndex(level.get(), kind, components[i].c_str());
            if (index >= 0) {
                id.kind = kind;
                id.index = index;
                break;
            }
        }
        if (id.index < 0) return E_FAIL;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&id);
        result.insert(result.end(), bytes, bytes + sizeof id);
        if (i + 1 == components.size()) {
            if (attributes) *attributes &= kindAttributes(id.kind);
            break;
        }
        Ref<Archive> child(openChild(level.get(), id));
        if (!child) return E_FAIL;
        level = std::move(child);
    }

    auto* list = static_cast<uint8_t*>(CoTaskMemAlloc(result.size() + 2));
    if (!list) return E_OUTOFMEMORY;
    memcpy(list, result.data(), result.size());
    list[result.size()] = list[result.size() + 1] = 0;
    *out = reinterpret_cast<LPITEMIDLIST>(list);
    if (eaten) *eaten = static_cast<ULONG>(text.size());
    return S_OK;
}

namespace {

HRESULT orderResult(int order) { return MAKE_HRESULT(SEVERITY_SUCCESS, 0, static_cast<USHORT>(order)); }

int sign(int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

// The last identifier of a non-empty list.
LPCITEMIDLIST lastId(LPCITEMIDLIST list) {
    for (LPCITEMIDLIST next; (next = nextId(list));) list = next;
    return list;
}

}  // namespace

HRESULT compareIds(Archive* archive, LPARAM lParam, LPCITEMIDLIST first, LPCITEMIDLIST second) {
    int n1 = idCount(first), n2 = idCount(second);
    EntryId id1, id2;
    if (n1 == 0 || n2 == 0 || !readEntryId(lastId(first), &id1) || !readEntryId(lastId(second), &id2))
        return orderResult(0);
    Ref<Archive> parent1(resolve(archive, first, n1 - 1));
    if (!parent1) return orderResult(0);
    Ref<Archive> parent2(resolve(archive, second, n2 - 1));
    if (!parent2) return orderResult(0);

    switch (lParam & 0xFF) {
        case 1:
            return orderResult(sign(itemSize(parent1.get(), id1.kind, id1.index),
                                    itemSize(parent2.get(), id2.kind, id2.index)));
        case 2:
            return orderResult(sign(itemTime(parent1.get(), id1.kind, id1.index),
                                    itemTime(parent2.get(), id2.kind, id2.index)));
    }
    if (id1.kind != id2.kind) return orderResult(id1.kind < id2.kind ? -1 : 1);
    if (parent1.get() == parent2.get()) return orderResult(sign(id1.index, id2.index));
    const char16_t* name1 = itemName(parent1.get(), id1.kind, id1.index);
    const char16_t* name2 = itemName(parent2.get(), id2.kind, id2.index);
    int order = naturalCompare(name1 ? name1 : u"", name2 ? name2 : u"");
    if (order == 0) order = naturalCompare(parent1->name(), parent2->name());
    return orderResult(order);
}

namespace {

class EntryIdEnumerator final : public SingleInterface<IEnumIDList> {
public:
    EntryIdEnumerator(int folders, int nested, int files) : counts_{folders, nested, files} {}

    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, LPITEMIDLIST* items, ULONG* fetched) override {
        if (!items && wanted > 0) return E_POINTER;
        ULONG got = 0;
        while (got < wanted && advanceToItem()) {
            LPITEMIDLIST id = makeEntryId(static_cast<uint8_t>(kind_), index_);
            if (!id) break;
            items[got++] = id;
            ++index_;
        }
        if (fetched) *fetched = got;
        return got == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        for (ULONG i = 0; i < count && advanceToItem(); ++i) ++index_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        kind_ = 0;
        index_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumIDList** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

private:
    // Moves past exhausted kinds; false when every kind is done.
    bool advanceToItem() {
        while (kind_ < 3 && index_ >= counts_[kind_]) {
            ++kind_;
            index_ = 0;
        }
        return kind_ < 3;
    }

    int counts_[3];
    int kind_ = 0;
    int index_ = 0;
};

}  // namespace

IEnumIDList* newEntryEnumerator(Archive* archive, SHCONTF flags) {
    bool folders = flags & (SHCONTF_FOLDERS | SHCONTF_STORAGE);
    bool files = flags & (SHCONTF_NONFOLDERS | SHCONTF_STORAGE);
    return new (std::nothrow) EntryIdEnumerator(folders ? archive->folderCount() : 0, archive->nestedCount(),
                                                files ? archive->fileCount() : 0);
}

}  // namespace zorvex::shell
