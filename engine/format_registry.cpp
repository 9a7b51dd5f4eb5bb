// The registry of archive formats and detection by name and signature.
#include "engine/format_registry.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "engine/names.h"
#include "engine/stream.h"

namespace zorvex {
namespace {

std::vector<ArchiveFormat*>& formats() {
    static std::vector<ArchiveFormat*> registered;
    return registered;
}

int& maxSignature() {
    static int length = 0;
    return length;
}

}  // namespace

ArchiveFormat::ArchiveFormat(const char16_t* displayName, const char16_t* const* extensions, int extensionCount,
                             const uint8_t* signature, int signatureLength)
    : displayName(displayName),
      extensions(extensions),
      extensionCount(extensionCount),
      signature(signature),
      signatureLength(signature ? signatureLength : 0) {
    formats().push_back(this);
    maxSignature() = std::max(maxSignature(), this->signatureLength);
}

ArchiveFormat::~ArchiveFormat() {
    auto& all = formats();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
    maxSignature() = 0;
    for (ArchiveFormat* f : all) maxSignature() = std::max(maxSignature(), f->signatureLength);
}

ArchiveFormat* formatAt(int index) {
    return index >= 0 && index < formatCount() ? formats()[index] : nullptr;
}

int formatCount() { return static_cast<int>(formats().size()); }

int maxSignatureLength() { return maxSignature(); }

namespace {

// Every entry's name is matched against every extension when views are
// built, so the name is measured once and compared from its end.
char16_t foldUnit(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    return foldCase(c);
}

bool hasSuffix(std::u16string_view name, const char16_t* extension) {
    std::u16string_view e(extension);
    if (e.size() >= name.size()) return false;
    for (size_t i = 1; i <= e.size(); ++i)
        if (foldUnit(name[name.size() - i]) != foldUnit(e[e.size() - i])) return false;
    return true;
}

bool hasAnyExtension(const ArchiveFormat* format, std::u16string_view name) {
    for (int i = 0; i < format->extensionCount; ++i)
        if (hasSuffix(name, format->extensions[i])) return true;
    return false;
}

}  // namespace

bool endsWithExtension(const char16_t* name, const char16_t* extension) {
    return name && extension && hasSuffix(name, extension);
}

bool formatHasExtension(const ArchiveFormat* format, const char16_t* name) {
    return format && name && hasAnyExtension(format, name);
}

const char16_t* formatNameFor(const char16_t* name) {
    if (!name) return nullptr;
    std::u16string_view view(name);
    for (ArchiveFormat* f : formats())
        if (f->displayName && hasAnyExtension(f, view)) return f->displayName;
    return nullptr;
}

bool isArchiveName(const char16_t* name) { return formatNameFor(name) != nullptr; }

void forEachExtension(void (*visit)(const char16_t* extension, void* context), void* context) {
    std::unordered_set<std::u16string> seen;
    for (ArchiveFormat* f : formats())
        for (int i = 0; i < f->extensionCount; ++i)
            if (seen.insert(foldCase(f->extensions[i])).second) visit(f->extensions[i], context);
}

Archive* detectAndOpen(const char16_t* name, Archive* container, InStream* stream) {
    if (!name || !stream || formats().empty()) return nullptr;
    ArchiveFormat* byName = nullptr;
    for (ArchiveFormat* f : formats()) {
        if (f->displayName && formatHasExtension(f, name)) {
            byName = f;
            break;
        }
    }
    if (!byName) return nullptr;
    if (byName->signatureLength == 0) return byName->open(name, container, stream);
    // The bytes decide among the formats with signatures, shorter signatures
    // first: the extension only says that the file is meant to be an archive.
    std::vector<uint8_t> head;
    for (int n = 1; n <= maxSignatureLength(); ++n) {
        uint8_t byte;
        if (stream->read(&byte, 1) != 1) return nullptr;
        head.push_back(byte);
        for (ArchiveFormat* f : formats())
            if (f->displayName && f->signatureLength == n && std::memcmp(f->signature, head.data(), n) == 0)
                return f->open(name, container, stream);
    }
    return nullptr;
}

}  // namespace zorvex
