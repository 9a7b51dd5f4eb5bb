#include "shell/extract_command.h"

#include <cstring>

#include "engine/convert.h"
#include "engine/extraction.h"
#include "shell/data_object.h"
#include "shell/engine_lock.h"
#include "shell/entry_id.h"
#include "shell/password_book.h"

namespace zorvex::shell {

namespace {

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

std::u16string readStandardInput() {
    std::u16string text;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!input || input == INVALID_HANDLE_VALUE) return text;
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    text.resize(bytes.size() / 2);
    memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

// The archive's list with one nested-archive identifier per unwrapped level.
LPITEMIDLIST levelList(LPITEMIDLIST archiveList, size_t unwrapped) {
    for (size_t i = 0; i < unwrapped && archiveList; ++i) {
        LPITEMIDLIST nested = makeEntryId(kNestedEntry, 0);
        LPITEMIDLIST combined = nested ? ILCombine(archiveList, nested) : nullptr;
        CoTaskMemFree(nested);
        CoTaskMemFree(archiveList);
        archiveList = combined;
    }
    return archiveList;
}

// "PATH: damaged after N entries: REASON" for each damaged level of the plan,
// PATH being the archive's followed by the nested archives unwrapped to it.
void noteDamagedLevels(const std::wstring& path, const ExtractionPlan& plan, std::vector<std::wstring>& damage) {
    std::wstring levelPath = path;
    for (size_t i = 0; i < plan.levels.size(); ++i) {
        if (i > 0) levelPath += L"\\" + std::wstring(plan.unwrapped[i - 1].begin(), plan.unwrapped[i - 1].end());
        Archive* level = plan.levels[i].get();
        if (!level->damaged()) continue;
        int entries = level->entriesBeforeDamage();
        std::u16string reason = utf8ToWide(level->damageReason()).value_or(u"damaged");
        damage.push_back(levelPath + L": damaged after " + std::to_wstring(entries) +
                         (entries == 1 ? L" entry: " : L" entries: ") + std::wstring(reason.begin(), reason.end()));
    }
}

IDataObject* openForExtraction(const std::wstring& path, IShellFolder* desktop, HWND owner,
                               std::vector<std::wstring>& damage) {
    // Kept by the data object: entries that need the password ask for it
    // once, when the copy engine first wants one of them.
    PasswordHold password(archiveFileOf(reinterpret_cast<const char16_t*>(path.c_str())));
    Locked<Archive> archive =
        openArchiveFile(std::u16string(path.begin(), path.end()), ReadPlan::kEveryEntry, true, owner);
    if (!archive) return nullptr;
    Locked<Archive> level;
    size_t unwrapped;
    std::u16string wrapper;
    {
        EngineLock lock;
        ExtractionPlan plan = planExtraction(archive.get(lock));
        noteDamagedLevels(path, plan, damage);
        if (!plan.level) return nullptr;  // an empty archive extracts nothing
        unwrapped = plan.unwrapped.size();
        wrapper = plan.wrapper;
        level.reset(plan.level.detach(), lock);
    }
    std::wstring name = path;
    LPITEMIDLIST list = nullptr;
    if (FAILED(desktop->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &list, nullptr))) return nullptr;
    list = levelList(list, unwrapped);
    if (!list) return nullptr;
    IDataObject* data = newExtractionDataObject(std::move(level), list, wrapper, owner, password);
    CoTaskMemFree(list);
    return data;
}

// The target folder's drop target, through the desktop.
IDropTarget* dropTargetOf(const std::wstring& folder, IShellFolder* desktop) {
    std::wstring name = folder;
    LPITEMIDLIST list = nullptr;
    if (FAILED(desktop->ParseDisplayName(nullptr, nullptr, name.data(), nullptr, &list, nullptr))) return nullptr;
    IShellFolder* target = nullptr;
    IDropTarget* drop = nullptr;
    if (SUCCEEDED(desktop->BindToObject(list, nullptr, IID_IShellFolder, reinterpret_cast<void**>(&target)))) {
        target->CreateViewObject(nullptr, IID_IDropTarget, reinterpret_cast<void**>(&drop));
        target->Release();
    }
    CoTaskMemFree(list);
    return drop;
}

// The copy engine shows what fails while it reads entries; that a level
// ended early at damage (its entries read before it are extracted all the
// same) is told once the copy is over, so that it does not pass for a whole
// extraction.
void extract(const ExtractionRequest& request, IShellFolder* desktop, HWND window) {
    std::vector<std::wstring> damage;
    if (IDataObject* data = extractionDataObject(request.archives, desktop, &damage, window)) {
        if (IDropTarget* target = dropTargetOf(request.target, desktop)) {
            dropAndWait(target, data);
            target->Release();
        }
        data->Release();
    }
    if (damage.empty()) return;
    std::wstring text = L"Not everything could be extracted:";
    for (const std::wstring& line : damage) text += L"\n" + line;
    MessageBoxW(window, text.c_str(), L"zorvex", MB_OK | MB_ICONWARNING);
}

}  // namespace

std::optional<ExtractionRequest> parseExtractionInput(const std::u16string& input) {
    size_t end = input.find(u'\n');
    if (end == std::u16string::npos) return std::nullopt;
    ExtractionRequest request;
    request.target.assign(input.begin(), input.begin() + end);
    for (size_t start = end + 1; (end = input.find(u'\n', start)) != std::u16string::npos; start = end + 1)
        request.archives.emplace_back(input.begin() + start, input.begin() + end);
    if (request.archives.empty()) return std::nullopt;
    if (request.target.empty()) request.target = folderOf(request.archives[0]);
    return request;
}

IDataObject* extractionDataObject(const std::vector<std::wstring>& archives, IShellFolder* desktop,
                                  std::vector<std::wstring>* damage, HWND owner) {
    std::vector<IDataObject*> members;
    std::vector<std::wstring> found;
    for (const std::wstring& archive : archives) {
        IDataObject* member = openForExtraction(archive, desktop, owner, found);
        if (!member) {
            for (IDataObject* m : members) m->Release();
            if (damage) *damage = std::move(found);
            return nullptr;
        }
        members.push_back(member);
    }
    if (damage) *damage = std::move(found);
    if (members.size() == 1) return members[0];
    return newMultiArchiveDataObject(std::move(members));
}

void dropAndWait(IDropTarget* target, IDataObject* data) {
    POINTL point = {0, 0};
    DWORD effect = DROPEFFECT_COPY;
    if (FAILED(target->DragEnter(data, MK_LBUTTON, point, &effect))) return;
    effect = DROPEFFECT_COPY;
    if (FAILED(target->Drop(data, MK_LBUTTON, point, &effect))) return;
    // A target that copied synchronously has finished already: waiting for
    // an end that never comes would keep the process for ever.
    if (!operationPending(data)) return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace zorvex::shell

using namespace zorvex::shell;

extern "C" void CALLBACK ExtractW(HWND window, HINSTANCE, LPWSTR commandLine, int) {
    if (!commandLine || !commandLine[0]) {
        MessageBoxA(window, "zorvex extractor 1.0\nReads zip, rar, 7z, tar, gzip, bzip2, lzma, xz and lzip archives.",
                    "zorvex", MB_OK);
        return;
    }
    if (FAILED(OleInitialize(nullptr))) return;
    IShellFolder* desktop = nullptr;
    if (SUCCEEDED(SHGetDesktopFolder(&desktop))) {
        std::optional<ExtractionRequest> request;
        if (lstrcmpW(commandLine, L"-") == 0) {
            request = parseExtractionInput(readStandardInput());
        } else {
            // One archive path, perhaps quoted as typed.
            std::wstring path = commandLine;
            if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
            request = ExtractionRequest{folderOf(path), {path}};
        }
        if (request) extract(*request, desktop, window);
        desktop->Release();
    }
    OleUninitialize();
}
