// Codecs: one static object per method name, kept in one ordered registry.
#pragma once

#include <cstdint>

namespace zorvex {

class Archive;
class InStream;

// Makes the stream that decodes packed data [offset, offset + packedSize) of
// `source`. Returns a new stream (count 1) or null.
using StreamFactory = InStream* (*)(const char16_t* name, Archive* owner, int64_t tag, InStream* source,
                                    int64_t offset, int64_t packedSize, int64_t unpackedSize);

class Codec {
public:
    // Registers the codec (appended to the registry).
    explicit Codec(const char16_t* name);
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;
    virtual ~Codec();  // slots 0 and 1: unregisters

    // Null without a source; otherwise what makeStream returns.
    virtual InStream* createStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source,
                                   int64_t offset, int64_t packedSize, int64_t unpackedSize);  // slot 2
    virtual InStream* makeStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source,
                                 int64_t offset, int64_t packedSize, int64_t unpackedSize) = 0;  // slot 3

    const char16_t* name() const { return name_; }

private:
    const char16_t* name_;
};

// A codec whose stream comes from a plain factory function.
class FactoryCodec final : public Codec {
public:
    FactoryCodec(const char16_t* name, StreamFactory factory) : Codec(name), factory_(factory) {}
    InStream* makeStream(const char16_t* name, Archive* owner, int64_t tag, InStream* source, int64_t offset,
                         int64_t packedSize, int64_t unpackedSize) override {
        return factory_(name, owner, tag, source, offset, packedSize, unpackedSize);
    }

private:
    StreamFactory factory_;
};

// First codec whose name equals `name` case-insensitively; null for null or unknown.
Codec* findCodec(const char16_t* name);
Codec* codecAt(int index);
int codecCount();

// A codec that never decodes. Readers list an entry whose data they know to
// be unusable (bytes shared with another entry, a map that does not fit the
// archive) with it, so that every command reports the entry as an error.
// Its sibling, addEntry(..., damaged) in engine/archive.h, keeps the entry's
// codec: the data up to the damage is still decoded and delivered, and only
// the stream's damage mark (InStream::damaged) says it is not whole, so a
// user may salvage what is there. The two stay apart on purpose: entries
// listed with this codec are the ones whose decoding itself must not happen
// (an overlapping entry would expand the same bytes again; a sparse map that
// does not fit the archive describes no data to deliver).
Codec* damagedEntryCodec();

}  // namespace zorvex
