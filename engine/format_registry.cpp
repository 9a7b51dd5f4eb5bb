// The registry of archive formats and detection by name and signature.
#include "engine/format_registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <unordered_set>
#include <vector>

#include "engine/archive.h"
#include "engine/byte_order.h"
#include "engine/crc32.h"
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

void reindexExtensions();

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
    reindexExtensions();
}

ArchiveFormat::~ArchiveFormat() {
    auto& all = formats();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
    maxSignature() = 0;
    for (ArchiveFormat* f : all) maxSignature() = std::max(maxSignature(), f->signatureLength);
    reindexExtensions();
}

ArchiveFormat* formatAt(int index) {
    return index >= 0 && index < formatCount() ? formats()[index] : nullptr;
}

int formatCount() { return static_cast<int>(formats().size()); }

int maxSignatureLength() { return maxSignature(); }

namespace {

// The extensions of the named formats in registry order, each with its
// format's name: looking a name up costs one pass over them.
struct NamedExtensions {
    ExtensionSet extensions;
    std::vector<const char16_t*> formatNames;
};

NamedExtensions& namedExtensions() {
    static NamedExtensions named;
    return named;
}

char16_t foldUnit(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    return foldCase(c);
}

// Whether the name ends with the already folded suffix and is longer than it;
// `last` is the name's last unit folded.
bool endsWithFolded(std::u16string_view name, char16_t last, std::u16string_view suffix) {
    if (suffix.size() >= name.size()) return false;
    if (suffix.empty()) return true;
    if (suffix.back() != last) return false;
    for (size_t i = 2; i <= suffix.size(); ++i)
        if (foldUnit(name[name.size() - i]) != suffix[suffix.size() - i]) return false;
    return true;
}

std::u16string foldedUnits(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& c : folded) c = foldUnit(c);
    return folded;
}

// As endsWithFolded for an extension not folded yet, without copying it: a
// name is checked against every format's extensions whenever one is opened.
bool hasSuffix(std::u16string_view name, std::u16string_view extension) {
    if (extension.size() >= name.size()) return false;
    for (size_t i = 1; i <= extension.size(); ++i)
        if (foldUnit(name[name.size() - i]) != foldUnit(extension[extension.size() - i])) return false;
    return true;
}

void reindexExtensions() {
    NamedExtensions& named = namedExtensions();
    named.extensions.clear();
    named.formatNames.clear();
    for (ArchiveFormat* f : formats()) {
        if (!f->displayName) continue;
        for (int i = 0; i < f->extensionCount; ++i) {
            if (!*f->extensions[i]) continue;
            named.extensions.add(f->extensions[i]);
            named.formatNames.push_back(f->displayName);
        }
    }
}

}  // namespace

ExtensionSet::ExtensionSet(std::initializer_list<const char16_t*> extensions) {
    for (const char16_t* extension : extensions) add(extension);
}

void ExtensionSet::add(std::u16string_view extension) {
    if (extension.empty()) return;
    folded_.push_back(foldedUnits(extension));
    Ending ending{folded_.back().back(), static_cast<int>(folded_.size() - 1)};
    byLastUnit_.insert(std::upper_bound(byLastUnit_.begin(), byLastUnit_.end(), ending), ending);
}

int ExtensionSet::find(std::u16string_view name) const {
    if (name.empty()) return -1;
    char16_t last = foldUnit(name.back());
    auto it = std::lower_bound(byLastUnit_.begin(), byLastUnit_.end(), Ending{last, -1});
    for (; it != byLastUnit_.end() && it->lastUnit == last; ++it)
        if (endsWithFolded(name, last, folded_[it->position])) return it->position;
    return -1;
}

bool endsWithExtension(const char16_t* name, const char16_t* extension) {
    return name && extension && hasSuffix(name, extension);
}

bool formatHasExtension(const ArchiveFormat* format, const char16_t* name) {
    if (!format || !name) return false;
    for (int i = 0; i < format->extensionCount; ++i)
        if (hasSuffix(name, format->extensions[i])) return true;
    return false;
}

const char16_t* formatNameFor(const char16_t* name) {
    if (!name) return nullptr;
    const NamedExtensions& named = namedExtensions();
    int found = named.extensions.find(name);
    return found < 0 ? nullptr : named.formatNames[found];
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

// ---- Archives behind a program stub (self-extractors) ----
//
// The stub is an ordinary program, whose code or data may well hold a
// signature's bytes: a place counts only when the header that follows the
// signature carries a checksum that holds.

constexpr uint8_t kRar4Signature[7] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr uint8_t kRar5Signature[8] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
constexpr uint8_t k7zSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
// Stubs of the usual self-extractors are well under a megabyte; a few more
// leave room for installers with resources, and keep a failed search cheap.
constexpr int64_t kStubSearchLimit = 4 << 20;
constexpr int kSearchBlock = 1 << 16;
constexpr int kSearchOverlap = 8;  // the longest signature, so none is missed at a block's end

bool readAt(InStream* stream, int64_t position, uint8_t* buf, int count) {
    return stream->seek(position) && readExact(stream, buf, count);
}

// A format 1.5-4.x main header: its CRC-16 is the low half of the CRC-32 of
// the header after the CRC field. Old writers that kept the archive comment
// inside the main header covered only its fixed 13 bytes.
bool rar4MainHeaderAt(InStream* stream, int64_t position) {
    constexpr int kFixedMainHeader = 13;
    uint8_t base[7];
    if (!readAt(stream, position, base, sizeof base) || base[2] != 0x73) return false;
    int size = le16(base + 5);
    if (size < 7) return false;
    std::unique_ptr<uint8_t[]> header(new (std::nothrow) uint8_t[size]);
    if (!header || !readAt(stream, position, header.get(), size)) return false;
    auto crcOver = [&](int length) {
        return crc32Update(0, header.get() + 2, static_cast<size_t>(length) - 2) & 0xFFFF;
    };
    return crcOver(size) == le16(base) || (size > kFixedMainHeader && crcOver(kFixedMainHeader) == le16(base));
}

// A format 5.0 header: a CRC-32 over the size field and the header it sizes.
bool rar5HeaderAt(InStream* stream, int64_t position) {
    uint8_t head[4 + 3];
    if (!readAt(stream, position, head, sizeof head)) return false;
    uint32_t size = 0;
    int fieldLength = 0;
    while (fieldLength < 3) {
        uint8_t b = head[4 + fieldLength];
        size |= uint32_t{b & 0x7Fu} << (7 * fieldLength++);
        if (!(b & 0x80)) break;
    }
    if (fieldLength == 3 && (head[6] & 0x80)) return false;
    if (size == 0) return false;
    std::unique_ptr<uint8_t[]> header(new (std::nothrow) uint8_t[fieldLength + size]);
    if (!header || !readAt(stream, position + 4, header.get(), fieldLength + static_cast<int>(size))) return false;
    return crc32Update(0, header.get(), fieldLength + size) == le32(head);
}

// A 7z start header: its CRC-32 covers the next header's place, size and CRC.
bool sevenZipStartHeaderAt(InStream* stream, int64_t position) {
    uint8_t start[32];
    if (!readAt(stream, position, start, sizeof start)) return false;
    return crc32Update(0, start + 12, 20) == le32(start + 8);
}

struct Embedded {
    const char16_t* format;
    int64_t offset;
};

// What a signature at `at` of the buffer (file position `position`) starts,
// once its header checks.
std::optional<Embedded> archiveAt(InStream* stream, const uint8_t* at, size_t left, int64_t position) {
    auto starts = [&](const uint8_t* signature, size_t length) {
        return left >= length && std::memcmp(at, signature, length) == 0;
    };
    if (starts(kRar4Signature, sizeof kRar4Signature) &&
        rar4MainHeaderAt(stream, position + static_cast<int64_t>(sizeof kRar4Signature)))
        return Embedded{u"rar", position};
    if (starts(kRar5Signature, sizeof kRar5Signature) &&
        rar5HeaderAt(stream, position + static_cast<int64_t>(sizeof kRar5Signature)))
        return Embedded{u"rar", position};
    if (starts(k7zSignature, sizeof k7zSignature) && sevenZipStartHeaderAt(stream, position))
        return Embedded{u"7zip", position};
    return std::nullopt;
}

// The first RAR or 7z archive in the stream's first few megabytes.
std::optional<Embedded> findEmbeddedArchive(InStream* stream) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kSearchBlock]);
    if (!block) return std::nullopt;
    for (int64_t base = 0; base < kStubSearchLimit; base += kSearchBlock - kSearchOverlap) {
        if (!stream->seek(base)) return std::nullopt;
        int got = 0;
        while (got < kSearchBlock) {
            int n = stream->read(block.get() + got, kSearchBlock - got);
            if (n <= 0) break;
            got += n;
        }
        for (int i = 0; i < got; ++i) {
            if (block[i] != 'R' && block[i] != '7') continue;
            std::optional<Embedded> found = archiveAt(stream, block.get() + i, static_cast<size_t>(got - i), base + i);
            if (found) return found;
            // The checks moved the stream: read on from the block held.
        }
        if (got < kSearchBlock) return std::nullopt;
    }
    return std::nullopt;
}

// Opens the archive found behind a stub through a window that starts at it,
// so that the reader's offsets count from the archive's own start.
Archive* openEmbedded(const char16_t* name, Archive* container, InStream* stream) {
    std::optional<Embedded> found = findEmbeddedArchive(stream);
    ArchiveFormat* format = found ? formatNamed(found->format) : nullptr;
    if (!format) return nullptr;
    Ref<ConcatStream> window(new (std::nothrow) ConcatStream(stream->name(), nullptr, stream->tag()));
    if (!window || !window->appendPart(stream, found->offset, stream->size() - found->offset)) return nullptr;
    return format->open(name, container, window.get());
}

// A tar's first header: the sum of its bytes, with the checksum field counted
// as spaces, is the octal number in that field (old writers summed signed
// bytes). Without this, a program's first bytes would pass for a header.
bool tarHeaderAtStart(InStream* stream) {
    constexpr int kBlock = 512, kChecksum = 148, kChecksumLength = 8;
    uint8_t block[kBlock];
    if (!readAt(stream, 0, block, kBlock)) return false;
    int i = kChecksum;
    while (i < kChecksum + kChecksumLength && block[i] == ' ') ++i;
    int digitsStart = i;
    int64_t stored = 0;
    for (; i < kChecksum + kChecksumLength && block[i] >= '0' && block[i] <= '7'; ++i)
        stored = stored * 8 + (block[i] - '0');
    if (i == digitsStart || (i < kChecksum + kChecksumLength && block[i] != ' ' && block[i] != 0)) return false;
    int64_t unsignedSum = 0, signedSum = 0;
    for (int k = 0; k < kBlock; ++k) {
        uint8_t byte = k >= kChecksum && k < kChecksum + kChecksumLength ? ' ' : block[k];
        unsignedSum += byte;
        signedSum += static_cast<int8_t>(byte);
    }
    return stored == unsignedSum || stored == signedSum;
}

// For a name that says nothing, or bytes that do not match what it says: a
// tar by its first header's checksum, an archive behind a program stub, or a zip found from
// its end. Finding a zip's end means reading an entry's whole data, so inside
// archives only a name ending as a zip's does asks for it. The stub search
// goes first: a RAR behind a stub may end with a stored zip, whose end would
// then pass for the file's.
Archive* openByContent(const char16_t* name, Archive* container, InStream* stream, bool namedAsZip,
                       bool namedAsNothing) {
    if (tarHeaderAtStart(stream))
        if (Archive* tar = openIfItHoldsEntries(u"tar", name, container, stream)) return tar;
    if (namedAsNothing)
        if (Archive* embedded = openEmbedded(name, container, stream)) return embedded;
    if (!container || namedAsZip) return openIfItHoldsEntries(u"zip", name, container, stream);
    return nullptr;
}

}  // namespace

// Formats whose signatures are at least this long start nothing but such an
// archive. Shorter ones (gzip's, bzip2's, zip's) also start text, or
// documents and packages that are zips a user wants whole.
constexpr int kDistinctSignature = 4;

bool startsWithArchive(InStream* stream) {
    if (!stream) return false;
    ArchiveFormat* format = formatBySignature(stream);
    if (format) return format->signatureLength >= kDistinctSignature;
    return tarHeaderAtStart(stream);
}

// The extension says that a file is meant to be an archive, the bytes say
// which: a format with a signature opens when its signature starts the data;
// one without (tar, .lzma) opens when its extension is the first to match or
// no signature does. Names that match no extension (a program, a .jar) are
// opened by content, which includes an archive behind a self-extractor stub.
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
    return openByContent(name, container, stream, namedAsZip, byName.empty());
}

}  // namespace zorvex
