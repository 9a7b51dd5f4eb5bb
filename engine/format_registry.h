// Registered archive formats: each reader registers one static object with
// its display name, extensions, signature and, where the signature is not the
// whole story, a probe. Detection ranks what the formats bid for a stream,
// with the name deciding for formats that have no signature.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zorvex {

class Archive;
class InStream;

using FormatOpener = Archive* (*)(const char16_t* name, Archive* container, InStream* stream);

// How strongly a format claims a stream; detection tries the strongest first.
enum class Bid {
    kNone,       // not this format's
    kFromEnd,    // nothing at the start says so, but the archive may be found from the stream's end, which means
                 // reading it whole: tried last, and inside an archive only when the name ends as the format's
    kHeader,     // no signature, but a first header that checks: kept only when it holds entries
    kSignature,  // the format's signature starts it (behind a stub: and the header after it checks)
};

// Where detection looks: at the stream's start, or at a place behind a program
// stub (a self-extractor), whose code or data may hold any signature's bytes.
enum class ProbePlace { kStart, kBehindStub };

// What a probe is given. It may read the stream at `position` and after it, as
// far as its own header bounds it, and leave it anywhere.
struct ProbeInput {
    InStream* stream;
    int64_t position;  // where the archive would start
    ProbePlace place;
    bool signatureMatches;  // the format's registered signature starts there
};

// A format's bid from its first bytes; without one, a format bids kSignature
// when its signature starts the stream and nothing otherwise.
using FormatProbe = Bid (*)(const ProbeInput& input);

class ArchiveFormat {
public:
    // Registers the format. `extensions` is a static array of names with their dot.
    ArchiveFormat(const char16_t* displayName, const char16_t* const* extensions, int extensionCount,
                  const uint8_t* signature, int signatureLength, FormatProbe probe = nullptr);
    ArchiveFormat(const ArchiveFormat&) = delete;
    ArchiveFormat& operator=(const ArchiveFormat&) = delete;
    virtual ~ArchiveFormat();  // slots 0 and 1: unregisters
    virtual Archive* open(const char16_t* name, Archive* container, InStream* stream) = 0;  // slot 2

    const char16_t* displayName;
    const char16_t* const* extensions;
    int extensionCount;
    const uint8_t* signature;
    int signatureLength;
    FormatProbe probe;
};

class FunctionFormat final : public ArchiveFormat {
public:
    FunctionFormat(const char16_t* displayName, const char16_t* const* extensions, int extensionCount,
                   const uint8_t* signature, int signatureLength, FormatOpener opener, FormatProbe probe = nullptr)
        : ArchiveFormat(displayName, extensions, extensionCount, signature, signatureLength, probe),
          opener_(opener) {}
    Archive* open(const char16_t* name, Archive* container, InStream* stream) override {
        return opener_(name, container, stream);
    }

private:
    FormatOpener opener_;
};

// Extensions matched against the ends of many names (every entry of a
// listing), case-insensitively and never as the whole name: each one is
// folded once and found by its last unit.
class ExtensionSet {
public:
    ExtensionSet() = default;
    ExtensionSet(std::initializer_list<const char16_t*> extensions);
    void add(std::u16string_view extension);  // an empty one is ignored: it names no type
    void clear() {
        folded_.clear();
        byLastUnit_.clear();
    }
    // The position, among the extensions added, of the first one the name
    // ends with; -1 for none.
    int find(std::u16string_view name) const;

private:
    struct Ending {
        char16_t lastUnit;
        int position;
        bool operator<(const Ending& other) const {
            return lastUnit != other.lastUnit ? lastUnit < other.lastUnit : position < other.position;
        }
    };
    std::vector<std::u16string> folded_;
    // Sorted by last unit, then position: a name is compared only with the
    // extensions that end as it does.
    std::vector<Ending> byLastUnit_;
};

Archive* detectAndOpen(const char16_t* name, Archive* container, InStream* stream);
const char16_t* formatNameFor(const char16_t* name);
bool isArchiveName(const char16_t* name);
// True when the stream starts as an archive whatever its name says: with a
// signature long enough to start nothing else, or a header that checks.
bool startsWithArchive(InStream* stream);
bool formatHasExtension(const ArchiveFormat* format, const char16_t* name);
bool endsWithExtension(const char16_t* name, const char16_t* extension);
ArchiveFormat* formatAt(int index);
int formatCount();
int maxSignatureLength();
template <class Visitor>
void forEachFormatName(Visitor&& visit) {
    for (int i = 0; i < formatCount(); ++i)
        if (formatAt(i)->displayName) visit(formatAt(i)->displayName);
}
// Calls `visit` once per distinct extension (case-insensitive), in registry order.
void forEachExtension(void (*visit)(const char16_t* extension, void* context), void* context);

}  // namespace zorvex
