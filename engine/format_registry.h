// Registered archive formats: each reader registers one static object with
// its display name, extensions and signature; detection picks a reader by
// signature, then by name.
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

class ArchiveFormat {
public:
    // Registers the format. `extensions` is a static array of names with their dot.
    ArchiveFormat(const char16_t* displayName, const char16_t* const* extensions, int extensionCount,
                  const uint8_t* signature, int signatureLength);
    ArchiveFormat(const ArchiveFormat&) = delete;
    ArchiveFormat& operator=(const ArchiveFormat&) = delete;
    virtual ~ArchiveFormat();  // slots 0 and 1: unregisters
    virtual Archive* open(const char16_t* name, Archive* container, InStream* stream) = 0;  // slot 2

    const char16_t* displayName;
    const char16_t* const* extensions;
    int extensionCount;
    const uint8_t* signature;
    int signatureLength;
};

class FunctionFormat final : public ArchiveFormat {
public:
    FunctionFormat(const char16_t* displayName, const char16_t* const* extensions, int extensionCount,
                   const uint8_t* signature, int signatureLength, FormatOpener opener)
        : ArchiveFormat(displayName, extensions, extensionCount, signature, signatureLength), opener_(opener) {}
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
// signature that starts nothing else (7z, rar, xz, lzip, zstd) or a tar header.
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
