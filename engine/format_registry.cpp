// The registry of archive formats and detection by name and signature.
#include "engine/format_registry.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "engine/archive.h"
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

namespace {

ArchiveFormat* formatBySignature(InStream* stream) {
    // Shorter signatures first, reading no further than needed.
    std::vector<uint8_t> head;
    if (!stream->seek(0)) return nullptr;
    for (int n = 1; n <= maxSignatureLength(); ++n) {
        uint8_t byte;
        if (stream->read(&byte, 1) != 1) return nullptr;
        head.push_back(byte);
        for (ArchiveFormat* f : formats())
            if (f->displayName && f->signatureLength == n && std::memcmp(f->signature, head.data(), n) == 0)
                return f;
    }
    return nullptr;
}

ArchiveFormat* formatNamed(const char16_t* displayName) {
    for (ArchiveFormat* f : formats())
        if (f->displayName && std::u16string_view(f->displayName) == displayName) return f;
    return nullptr;
}

// The archive a format finds in the stream, or null when it finds nothing:
// for formats whose first bytes prove nothing (a tar header, a zip with data
// in front), finding entries is the proof.
Archive* openIfItHoldsEntries(const char16_t* format, const char16_t* name, Archive* container, InStream* stream) {
    ArchiveFormat* f = formatNamed(format);
    Archive* archive = f ? f->open(name, container, stream) : nullptr;
    if (archive && archive->entryCount() == 0 && archive->directoryCount() == 0) {
        archive->release();
        return nullptr;
    }
    return archive;
}

// For a name that says nothing, or bytes that do not match what it says: a
// tar by its headers, or a zip found from its end. Finding a zip's end means
// reading an entry's whole data, so inside archives only a name ending as a
// zip's does asks for it.
Archive* openByContent(const char16_t* name, Archive* container, InStream* stream, bool namedAsZip) {
    if (Archive* tar = openIfItHoldsEntries(u"tar", name, container, stream)) return tar;
    if (!container || namedAsZip) return openIfItHoldsEntries(u"zip", name, container, stream);
    return nullptr;
}

}  // namespace

// The extension says that a file is meant to be an archive, the bytes say
// which: a format with a signature opens when its signature starts the data;
// one without (tar, .lzma) opens when its extension is the first to match or
// no signature does. Names that match no extension are opened by content.
Archive* detectAndOpen(const char16_t* name, Archive* container, InStream* stream) {
    if (!name || !stream || formats().empty()) return nullptr;
    std::vector<ArchiveFormat*> byName;
    for (ArchiveFormat* f : formats())
        if (f->displayName && formatHasExtension(f, name)) byName.push_back(f);
    if (!byName.empty() && byName.front()->signatureLength == 0) return byName.front()->open(name, container, stream);
    if (ArchiveFormat* f = formatBySignature(stream)) return f->open(name, container, stream);
    for (ArchiveFormat* f : byName)
        if (f->signatureLength == 0) return f->open(name, container, stream);
    bool namedAsZip = !byName.empty() && byName.front() == formatNamed(u"zip");
    return openByContent(name, container, stream, namedAsZip);
}

}  // namespace zorvex
