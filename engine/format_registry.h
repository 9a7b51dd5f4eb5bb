// Registered archive formats: each reader registers one static object with
// its display name, extensions and signature; detection picks a reader by
// signature, then by name.
#pragma once

#include <cstdint>

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

Archive* detectAndOpen(const char16_t* name, Archive* container, InStream* stream);
const char16_t* formatNameFor(const char16_t* name);
bool isArchiveName(const char16_t* name);
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
