// Passwords of encrypted archives.
//
// A caller that can supply a password (the command line from its options or
// a prompt, the shell from a dialog) implements PasswordSource and passes it
// to openArchivePath (engine/archive.h). Nothing is asked while nothing
// encrypted is read. The first time a reader (encrypted headers, at open
// time) or a codec (encrypted data, when its stream is made) needs the
// password, it calls ArchivePassword::get, which asks the source once for
// the outermost archive; every level of that archive, nested archives
// included, then uses the same answer. The password is UTF-16 here; each
// format converts it to the bytes it hashes (passwordUtf8, passwordUtf16le).
//
//   // a reader, at open time:
//   std::shared_ptr<ArchivePassword> password = passwordFor(container);
//   const Password* text = password ? password->get() : nullptr;
//   if (!text) -> Status::encrypted();  a check value that disagrees -> Status::wrongPassword()
//   (headers it cannot read so: archive->markDamaged(describe(status)), which
//   the command line shows as that reason alone)
//   // a codec, in makeStream:
//   const Password* text = request.password ? request.password->get() : nullptr;
//   no text, or a check value that disagrees: return failedStream(request, status)
//   keys: request.password->derivedKey(recipe, derive), derived once per recipe
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <optional>
#include <string>
#include <vector>

#include "codecs/crypto/secret.h"

namespace zorvex {

class Archive;

// UTF-16 units, zeroed when released.
using Password = std::vector<char16_t, crypto::ZeroingAllocator<char16_t>>;

class PasswordSource {
public:
    // Fills `password` for the archive `archiveName` (the outermost file's
    // path); false when the user gives none. Asked at most once per archive
    // opened with this source, which must outlive those archives.
    virtual bool askPassword(const std::u16string& archiveName, Password& password) = 0;

protected:
    ~PasswordSource() = default;
};

// One outermost archive's password, shared by all its levels and streams;
// zeroed when the last of them lets it go. Any thread may ask for it.
class ArchivePassword {
public:
    ArchivePassword(PasswordSource* source, std::u16string archiveName)
        : source_(source), archiveName_(std::move(archiveName)) {}
    // The password, asked of the source on the first call; null when none was
    // given. The pointer lives as long as this object.
    const Password* get();
    // A key derived from the password, once get() gave one, remembered under
    // `recipe` (what else it is derived from: the format, salt and cost) so
    // that the entries and folders that share it derive it once. `derive` makes
    // it from the password when it is not known yet. Empty without a password.
    crypto::SecretBytes derivedKey(std::span<const uint8_t> recipe,
                                   const std::function<crypto::SecretBytes(const Password&)>& derive);
    // Drops the answer (none given, or a password found wrong) and the keys
    // derived from it, so that the next get() asks the source again: a caller
    // that can ask its user afresh (the shell, whose archives stay open) lets
    // the user try again.
    void forget();

private:
    static constexpr size_t kMaxKeys = 16;
    struct DerivedKey {
        crypto::SecretBytes recipe, key;
    };

    std::mutex mutex_;
    PasswordSource* source_;
    std::u16string archiveName_;
    bool asked_ = false;
    // Every password given; the last is the answer while `answered_`. Earlier
    // ones stay (unused) until this object goes: get() handed out pointers.
    std::list<Password> passwords_;
    bool answered_ = false;
    std::vector<DerivedKey> keys_;  // the most recent last
};

// Where the password of an archive opened inside `container` comes from: the
// container's, or, for an outermost archive (null container), the source its
// opener passed to openArchivePath. Null when there is none.
std::shared_ptr<ArchivePassword> passwordFor(Archive* container);

// While it lives, outermost archives opened on this thread take `password`
// (openArchivePath sets it around the open).
class OpeningWithPassword {
public:
    explicit OpeningWithPassword(std::shared_ptr<ArchivePassword> password);
    ~OpeningWithPassword();
    OpeningWithPassword(const OpeningWithPassword&) = delete;
    OpeningWithPassword& operator=(const OpeningWithPassword&) = delete;

private:
    std::shared_ptr<ArchivePassword> previous_;
};

// The password in the bytes a format hashes: UTF-8, or UTF-16LE (surrogate
// pairs kept), neither terminated.
crypto::SecretBytes passwordUtf8(const Password& password);
crypto::SecretBytes passwordUtf16le(const Password& password);

}  // namespace zorvex
