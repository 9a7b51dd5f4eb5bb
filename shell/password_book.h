// The passwords the user gave in this process, one per archive file, and the
// engine's password source (engine/password.h) that hands them out.
//
// The engine asks its source lazily, deep inside an open, while the shell
// holds the engine lock. A modal dialog there would keep every other thread
// of the shell out of the engine while it is open, would let its message
// loop call back into the folder in the middle of that open, and could
// deadlock: a copy thread's dialog disables its owner, the browser window,
// whose thread may be waiting for that very lock. So the book never asks the
// user when the engine asks it; the shell asks first, outside the lock
// (askUnlessKnown), whenever it is about to read something encrypted, and
// the book only answers with what it was given.
//
// A password is kept while something of its archive holds it (PasswordHold:
// the archive's folder objects, its data objects and their streams), and is
// zeroed when the last of them lets go.
#pragma once

#include <windows.h>

#include <string>

#include "engine/archive.h"
#include "engine/password.h"
#include "shell/engine_lock.h"

namespace zorvex::shell {

// The archive file a level belongs to: the longest leading part of the
// level's name (its archive's full name) that is a file on disk. Passwords
// are kept under this name, which the engine also asks by.
std::u16string archiveFileOf(const char16_t* levelName);

// The process's only PasswordSource for archives the shell opens.
PasswordSource* passwordBook();

// Whether the book has a password for `archive` (as archiveFileOf names it).
bool passwordKnown(const std::u16string& archive);

// Whether the engine asked for `archive`'s password, and the book had none,
// since the last call; the next call answers false until it asks again.
bool takePasswordWanted(const std::u16string& archive);

// Asks the user for `archive`'s password in the library's dialog unless the
// book has it; true when it has it now. False when the user cancelled, and
// also, without asking, while a dialog for that archive is already open (on
// any thread: a second dialog would only repeat the first question).
// Never call it with the engine lock held.
bool askUnlessKnown(HWND owner, const std::u16string& archive);

// Drops `archive`'s password (found wrong), so that the next need asks again.
void forgetPassword(const std::u16string& archive);

// The archive file `path` opened with the book as its password source. When
// its listing needs the password and the book has none, and `mayAsk`, asks
// the user (dialog owned by `owner`) and opens it again. None when it cannot
// be opened, or its listing needs a password that was not given or is wrong
// (then forgotten). Never call it with the engine lock held.
Locked<Archive> openArchiveFile(const std::u16string& path, ReadPlan plan, bool mayAsk, HWND owner);

// Keeps `archive`'s password in the book while the hold lives.
class PasswordHold {
public:
    PasswordHold() = default;
    explicit PasswordHold(std::u16string archive);
    PasswordHold(const PasswordHold& other) : PasswordHold(other.archive_) {}
    PasswordHold& operator=(PasswordHold other) {
        archive_.swap(other.archive_);
        return *this;
    }
    ~PasswordHold();

    const std::u16string& archive() const { return archive_; }

private:
    std::u16string archive_;
};

}  // namespace zorvex::shell
