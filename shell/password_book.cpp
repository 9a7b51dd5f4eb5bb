#include "shell/password_book.h"

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "shell/password_prompt.h"

namespace zorvex::shell {

namespace {

struct Page {
    int holds = 0;
    std::optional<Password> password;
    bool wanted = false;
    bool prompting = false;
};

// Archive file names compare without case, as Windows paths do.
std::u16string keyOf(const std::u16string& archive) {
    std::u16string key = archive;
    if (!key.empty()) CharLowerBuffW(reinterpret_cast<wchar_t*>(key.data()), static_cast<DWORD>(key.size()));
    return key;
}

class Book final : public PasswordSource {
public:
    bool askPassword(const std::u16string& archiveName, Password& password) override {
        std::lock_guard lock(mutex_);
        Page& page = pages_[keyOf(archiveName)];
        if (!page.password) {
            page.wanted = true;
            return false;
        }
        password = *page.password;
        return true;
    }

    std::mutex mutex_;
    std::map<std::u16string, Page> pages_;  // a page is never erased while its dialog is open
};

Book book;

}  // namespace

std::u16string archiveFileOf(const char16_t* levelName) {
    std::u16string name = levelName;
    for (size_t cut = name.find(u'\\'); cut != std::u16string::npos; cut = name.find(u'\\', cut + 1)) {
        std::u16string head = name.substr(0, cut);
        DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(head.c_str()));
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return head;
    }
    return name;
}

PasswordSource* passwordBook() { return &book; }

bool passwordKnown(const std::u16string& archive) {
    std::lock_guard lock(book.mutex_);
    auto page = book.pages_.find(keyOf(archive));
    return page != book.pages_.end() && page->second.password;
}

bool takePasswordWanted(const std::u16string& archive) {
    std::lock_guard lock(book.mutex_);
    auto page = book.pages_.find(keyOf(archive));
    return page != book.pages_.end() && std::exchange(page->second.wanted, false);
}

bool askUnlessKnown(HWND owner, const std::u16string& archive) {
    const std::u16string key = keyOf(archive);
    {
        std::lock_guard lock(book.mutex_);
        Page& page = book.pages_[key];
        if (page.password) return true;
        if (page.prompting) return false;
        page.prompting = true;
    }
    std::optional<Password> answer = promptForPassword(owner, archive);
    std::lock_guard lock(book.mutex_);
    Page& page = book.pages_[key];
    page.prompting = false;
    if (!answer) return false;
    page.password = std::move(answer);
    return true;
}

Locked<Archive> openArchiveFile(const std::u16string& path, ReadPlan plan, bool mayAsk, HWND owner) {
    const std::u16string file = archiveFileOf(path.c_str());
    // A listing that needs the password ends at once, damaged for that
    // reason; a reader may also fail to open at all.
    auto open = [&](Status* refusal) {
        EngineLock lock;
        Locked<Archive> archive(openArchivePath(path.c_str(), nullptr, plan, passwordBook()));
        Archive* opened = archive.get(lock);
        const std::string reason = opened ? opened->damageReason() : describe(Status::encrypted());
        if (reason == describe(Status::encrypted())) *refusal = Status::encrypted();
        // With a password given, a listing that yields nothing is taken for a
        // wrong one: a format may tell it no better than damage.
        if (reason == describe(Status::wrongPassword()) ||
            (passwordKnown(file) && opened && opened->damaged() && opened->entriesBeforeDamage() == 0))
            *refusal = Status::wrongPassword();
        return archive;
    };
    takePasswordWanted(file);
    Status refusal;
    Locked<Archive> archive = open(&refusal);
    if (!takePasswordWanted(file) || refusal.ok()) return archive;
    archive = Locked<Archive>();
    if (!mayAsk || !askUnlessKnown(owner, file)) return archive;
    refusal = Status();
    archive = open(&refusal);
    if (refusal.ok()) return archive;
    forgetPassword(file);
    return Locked<Archive>();
}

void forgetPassword(const std::u16string& archive) {
    std::lock_guard lock(book.mutex_);
    auto page = book.pages_.find(keyOf(archive));
    if (page == book.pages_.end()) return;
    page->second.password.reset();
}

PasswordHold::PasswordHold(std::u16string archive) : archive_(std::move(archive)) {
    if (archive_.empty()) return;
    std::lock_guard lock(book.mutex_);
    ++book.pages_[keyOf(archive_)].holds;
}

PasswordHold::~PasswordHold() {
    if (archive_.empty()) return;
    std::lock_guard lock(book.mutex_);
    auto page = book.pages_.find(keyOf(archive_));
    if (page == book.pages_.end()) return;
    if (--page->second.holds <= 0 && !page->second.prompting) book.pages_.erase(page);
}

}  // namespace zorvex::shell
