// Codecs: one static object per method name, kept in one ordered registry.
#pragma once

#include <cstdint>
#include <span>

namespace zorvex {

class Archive;
class ArchivePassword;
class InStream;

// [offset, offset + size) of a stream: one input of a codec.
struct CodecWindow {
    InStream* stream = nullptr;  // not counted: the caller keeps it alive while the codec's stream is made
    int64_t offset = 0;
    int64_t size = 0;
};

// Everything a codec is told to make its decoding stream. Property bytes are
// the method's own, as the archive stores them beside (not inside) the
// packed data; the views only need to live until the stream is made, and
// codecs copy what they keep.
struct CodecRequest {
    const char16_t* method = nullptr;  // registry name; openCodecStream (engine/pipeline.h) looks it up
    const char16_t* name = u"";        // the decoded stream's name
    Archive* owner = nullptr;
    int64_t tag = 0;
    // The packed data of a codec with one input.
    InStream* source = nullptr;
    int64_t offset = 0;
    int64_t packedSize = 0;
    int64_t unpackedSize = -1;  // -1: not known
    std::span<const uint8_t> properties;
    // All inputs of a codec with several (BCJ2: main, call, jump, range), in
    // the coder's order; such a codec ignores `source`.
    std::span<const CodecWindow> inputs;
    // Branch filters: where the filtered data starts in its file, which
    // relative branch targets were converted against.
    uint32_t startOffset = 0;
    // Where a decrypting method gets the password (engine/password.h): it
    // calls get() when it makes its stream; null when none can be had, and
    // the stream then fails with Status::encrypted().
    ArchivePassword* password = nullptr;
    // The reader takes the data once, front to back (an extraction): decoder
    // states kept to restart from would cost time for nothing.
    bool readOnce = false;
};

// Makes the stream that decodes what the request describes. Returns a new
// stream (count 1) or null.
using StreamFactory = InStream* (*)(const CodecRequest& request);

class Codec {
public:
    // Registers the codec (appended to the registry).
    explicit Codec(const char16_t* name);
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;
    virtual ~Codec();  // slots 0 and 1: unregisters

    // Null without a source (or, for several inputs, without one of them);
    // otherwise what makeStream returns.
    virtual InStream* createStream(const CodecRequest& request);      // slot 2
    virtual InStream* makeStream(const CodecRequest& request) = 0;  // slot 3

    const char16_t* name() const { return name_; }

protected:
    // A codec kept out of the registry (findCodec never gives it): one that
    // stands for a registered codec's method in an archive that holds the
    // entries' data already decoded.
    struct Unlisted {};
    Codec(const char16_t* name, Unlisted) : name_(name) {}

private:
    const char16_t* name_;
};

// A codec whose stream comes from a plain factory function.
class FactoryCodec final : public Codec {
public:
    FactoryCodec(const char16_t* name, StreamFactory factory) : Codec(name), factory_(factory) {}
    InStream* makeStream(const CodecRequest& request) override { return factory_(request); }

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
