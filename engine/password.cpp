#include "engine/password.h"

#include <algorithm>
#include <utility>

#include "engine/archive.h"

namespace zorvex {
namespace {

thread_local std::shared_ptr<ArchivePassword> passwordOfOpening;

}  // namespace

const Password* ArchivePassword::get() {
    std::lock_guard lock(mutex_);
    if (!asked_) {
        asked_ = true;
        Password answer;
        if (source_ && source_->askPassword(archiveName_, answer)) {
            passwords_.push_back(std::move(answer));
            answered_ = true;
        }
    }
    return answered_ ? &passwords_.back() : nullptr;
}

void ArchivePassword::forget() {
    std::lock_guard lock(mutex_);
    asked_ = false;
    answered_ = false;
    keys_.clear();
}

crypto::SecretBytes ArchivePassword::derivedKey(std::span<const uint8_t> recipe,
                                                const std::function<crypto::SecretBytes(const Password&)>& derive) {
    std::lock_guard lock(mutex_);
    if (!answered_) return {};
    for (const DerivedKey& known : keys_)
        if (std::equal(known.recipe.begin(), known.recipe.end(), recipe.begin(), recipe.end())) return known.key;
    if (keys_.size() == kMaxKeys) keys_.erase(keys_.begin());
    keys_.push_back({crypto::SecretBytes(recipe.begin(), recipe.end()), derive(passwords_.back())});
    return keys_.back().key;
}

std::shared_ptr<ArchivePassword> passwordFor(Archive* container) {
    return container ? container->password() : passwordOfOpening;
}

OpeningWithPassword::OpeningWithPassword(std::shared_ptr<ArchivePassword> password)
    : previous_(std::exchange(passwordOfOpening, std::move(password))) {}

OpeningWithPassword::~OpeningWithPassword() { passwordOfOpening = std::move(previous_); }

crypto::SecretBytes passwordUtf16le(const Password& password) {
    crypto::SecretBytes bytes;
    bytes.reserve(password.size() * 2);
    for (char16_t unit : password) {
        bytes.push_back(uint8_t(unit));
        bytes.push_back(uint8_t(unit >> 8));
    }
    return bytes;
}

crypto::SecretBytes passwordUtf8(const Password& password) {
    crypto::SecretBytes bytes;
    bytes.reserve(password.size() * 3);
    for (size_t i = 0; i < password.size(); ++i) {
        uint32_t c = password[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < password.size() && password[i + 1] >= 0xDC00 &&
            password[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (password[++i] - 0xDC00);
        if (c < 0x80) {
            bytes.push_back(uint8_t(c));
        } else if (c < 0x800) {
            bytes.push_back(uint8_t(0xC0 | c >> 6));
            bytes.push_back(uint8_t(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            bytes.push_back(uint8_t(0xE0 | c >> 12));
            bytes.push_back(uint8_t(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(uint8_t(0x80 | (c & 0x3F)));
        } else {
            bytes.push_back(uint8_t(0xF0 | c >> 18));
            bytes.push_back(uint8_t(0x80 | ((c >> 12) & 0x3F)));
            bytes.push_back(uint8_t(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(uint8_t(0x80 | (c & 0x3F)));
        }
    }
    return bytes;
}

}  // namespace zorvex
