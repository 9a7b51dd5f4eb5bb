// The registry of archive formats, and detection by name and by the bids of
// the formats themselves.
#include "engine/format_registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
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

void reindexExtensions();

}  // namespace

ArchiveFormat::ArchiveFormat(const char16_t* displayName, const char16_t* const* extensions, int extensionCount,
                             const uint8_t* signature, int signatureLength, FormatProbe probe)
    : displayName(displayName),
      extensions(extensions),
      extensionCount(extensionCount),
      signature(signature),
      signatureLength(signature ? signatureLength : 0),
      probe(probe) {
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

// Opens the stream as `format`, and the archive says which format it is.
Archive* openAs(ArchiveFormat* format, const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = format->open(name, container, stream);
    if (archive && format->displayName) archive->setFormatName(format->displayName);
    return archive;
}

// Reads up to `count` bytes, fewer only at the stream's end; the count read.
int readUpTo(InStream* stream, uint8_t* buf, int count) {
    int got = 0;
    while (got < count) {
        int n = stream->read(buf + got, count - got);
        if (n <= 0) break;
        got += n;
    }
    return got;
}

bool signatureAt(const ArchiveFormat* format, const uint8_t* bytes, int size) {
    return format->signatureLength > 0 && format->signatureLength <= size &&
           std::memcmp(format->signature, bytes, static_cast<size_t>(format->signatureLength)) == 0;
}

Bid bidOf(const ArchiveFormat* format, InStream* stream, int64_t position, ProbePlace place, bool signatureMatches) {
    if (format->probe) return format->probe({stream, position, place, signatureMatches});
    return place == ProbePlace::kStart && signatureMatches ? Bid::kSignature : Bid::kNone;
}

struct Bidder {
    ArchiveFormat* format;
    Bid bid;
};

// What every named format bids for the stream's start, in registry order.
std::vector<Bidder> bidsAtStart(InStream* stream) {
    std::vector<uint8_t> head(static_cast<size_t>(maxSignatureLength()));
    int headSize = stream->seek(0) ? readUpTo(stream, head.data(), static_cast<int>(head.size())) : 0;
    std::vector<Bidder> bids;
    for (ArchiveFormat* f : formats())
        if (f->displayName)
            bids.push_back({f, bidOf(f, stream, 0, ProbePlace::kStart, signatureAt(f, head.data(), headSize))});
    return bids;
}

// Of the formats whose signature starts the stream, the one with the shortest
// signature; of equal ones, the first registered.
ArchiveFormat* bySignature(const std::vector<Bidder>& bids) {
    ArchiveFormat* best = nullptr;
    for (const Bidder& b : bids)
        if (b.bid == Bid::kSignature && (!best || b.format->signatureLength < best->signatureLength)) best = b.format;
    return best;
}

// The archive a format finds in the stream, or null when it finds nothing:
// for formats whose first bytes prove nothing (a header without a signature,
// an archive with data in front), finding entries is the proof.
Archive* openIfItHoldsEntries(ArchiveFormat* format, const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = openAs(format, name, container, stream);
    if (archive && archive->entryCount() == 0 && archive->directoryCount() == 0) {
        archive->release();
        return nullptr;
    }
    return archive;
}

// ---- Archives behind a program stub (self-extractors) ----
//
// The stub is an ordinary program, whose code or data may well hold a
// signature's bytes: a place counts only when the format that owns the
// signature bids for it, which it does once the header after the signature
// checks.

// Stubs of the usual self-extractors are well under a megabyte; a few more
// leave room for installers with resources, and keep a failed search cheap.
constexpr int64_t kStubSearchLimit = 4 << 20;
constexpr int kSearchBlock = 1 << 16;
// No signature is missed at a block's end: a place within this many bytes of
// it is searched again at the next block's start.
constexpr int kSearchOverlap = 8;

struct Embedded {
    ArchiveFormat* format;
    int64_t offset;
};

// The first place in the stream's first few megabytes that a format bids for.
std::optional<Embedded> findEmbeddedArchive(InStream* stream) {
    std::vector<ArchiveFormat*> withSignature;
    bool startsSignature[256] = {};
    for (ArchiveFormat* f : formats()) {
        if (!f->displayName || f->signatureLength == 0) continue;
        withSignature.push_back(f);
        startsSignature[f->signature[0]] = true;
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kSearchBlock]);
    if (!block || withSignature.empty()) return std::nullopt;
    int overlap = std::max(kSearchOverlap, maxSignatureLength());
    for (int64_t base = 0; base < kStubSearchLimit; base += kSearchBlock - overlap) {
        if (!stream->seek(base)) return std::nullopt;
        int got = readUpTo(stream, block.get(), kSearchBlock);
        for (int i = 0; i < got; ++i) {
            if (!startsSignature[block[i]]) continue;
            for (ArchiveFormat* f : withSignature)
                if (signatureAt(f, block.get() + i, got - i) &&
                    bidOf(f, stream, base + i, ProbePlace::kBehindStub, true) == Bid::kSignature)
                    return Embedded{f, base + i};
            // The probes moved the stream: read on from the block held.
        }
        if (got < kSearchBlock) return std::nullopt;
    }
    return std::nullopt;
}

// Opens the archive found behind a stub through a window that starts at it,
// so that the reader's offsets count from the archive's own start.
Archive* openEmbedded(const char16_t* name, Archive* container, InStream* stream) {
    std::optional<Embedded> found = findEmbeddedArchive(stream);
    if (!found) return nullptr;
    Ref<ConcatStream> window(new (std::nothrow) ConcatStream(stream->name(), nullptr, stream->tag()));
    if (!window || !window->appendPart(stream, found->offset, stream->size() - found->offset)) return nullptr;
    return openAs(found->format, name, container, window.get());
}

// For a name that says nothing, or bytes that do not match what it says: a
// first header that checks, an archive behind a program stub, or one found
// from the stream's end. Finding the end means reading an entry's whole
// data, so inside archives only a name ending as that format's asks for it.
// The stub search goes first: the archive behind a stub may end with a stored
// archive whose end would then pass for the file's.
Archive* openByContent(const std::vector<Bidder>& bids, const std::vector<ArchiveFormat*>& byName,
                       const char16_t* name, Archive* container, InStream* stream) {
    for (const Bidder& b : bids)
        if (b.bid == Bid::kHeader)
            if (Archive* archive = openIfItHoldsEntries(b.format, name, container, stream)) return archive;
    if (byName.empty())
        if (Archive* embedded = openEmbedded(name, container, stream)) return embedded;
    for (const Bidder& b : bids) {
        bool named = !byName.empty() && byName.front() == b.format;
        if (b.bid == Bid::kFromEnd && (!container || named))
            if (Archive* archive = openIfItHoldsEntries(b.format, name, container, stream)) return archive;
    }
    return nullptr;
}

}  // namespace

// Formats whose signatures are at least this long start nothing but such an
// archive. Shorter ones (two bytes) also start text, or documents and
// packages that are archives a user wants whole.
constexpr int kDistinctSignature = 4;

bool startsWithArchive(InStream* stream) {
    if (!stream) return false;
    std::vector<Bidder> bids = bidsAtStart(stream);
    if (ArchiveFormat* format = bySignature(bids)) return format->signatureLength >= kDistinctSignature;
    return std::any_of(bids.begin(), bids.end(), [](const Bidder& b) { return b.bid == Bid::kHeader; });
}

// The extension says that a file is meant to be an archive, the bytes say
// which: a format with a signature opens when its signature starts the data;
// one without opens when its extension is the first to match or no signature
// does. Names that match no extension (a program, a document) are opened by
// content, which includes an archive behind a self-extractor stub.
Archive* detectAndOpen(const char16_t* name, Archive* container, InStream* stream) {
    if (!name || !stream || formats().empty()) return nullptr;
    std::vector<ArchiveFormat*> byName;
    for (ArchiveFormat* f : formats())
        if (f->displayName && formatHasExtension(f, name)) byName.push_back(f);
    if (!byName.empty() && byName.front()->signatureLength == 0)
        return openAs(byName.front(), name, container, stream);
    std::vector<Bidder> bids = bidsAtStart(stream);
    if (ArchiveFormat* f = bySignature(bids)) return openAs(f, name, container, stream);
    for (ArchiveFormat* f : byName)
        if (f->signatureLength == 0) return openAs(f, name, container, stream);
    return openByContent(bids, byName, name, container, stream);
}

}  // namespace zorvex
