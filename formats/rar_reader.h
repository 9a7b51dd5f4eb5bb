// What the two "rar" header parsers (formats 1.5-4.x and 5.0) share: volume
// sets, files split over volumes, solid groups and the entries they become.
//
// Entries live in the archive's joined stream. A compressed file is its
// packed parts, listed with the properties the RAR codecs take (dictionary
// and member sizes). The compressed members of a solid group are decoded by one
// codec stream over the group's packed data; that stream is appended whole
// to the joined stream and every member is a stored range of it. Stored
// files in a solid archive keep their own ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "codecs/crypto/rar_cipher.h"
#include "codecs/rar/unpacker.h"
#include "engine/archive.h"
#include "engine/stream.h"

namespace zorvex {
namespace rar_reader {

enum class Layout { kNone, kRar4, kRar5 };

// The layout whose signature starts the stream at `position`.
Layout layoutAt(InStream* stream, int64_t position);

// Where the first block follows the signature.
constexpr int kSignature4Size = 7;
constexpr int kSignature5Size = 8;

// Whether the block at `blockStart` is a main block whose CRC holds (1.5-4.x),
// or any block whose CRC holds (5.0).
bool mainBlockChecks4(InStream* stream, int64_t blockStart);
bool blockChecks5(InStream* stream, int64_t blockStart);

// Reads little-endian fields and variable-length integers from a header
// held in memory; every read past its end fails.
class HeaderCursor {
public:
    HeaderCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool skip(uint64_t n) {
        if (n > size_ - pos_) return false;
        pos_ += static_cast<size_t>(n);
        return true;
    }
    bool u8(uint8_t* v) { return fixed(1, v); }
    bool u16(uint16_t* v) { return fixed(2, v); }
    bool u32(uint32_t* v) { return fixed(4, v); }
    bool u64(uint64_t* v) { return fixed(8, v); }
    bool vint(uint64_t* v) {
        *v = 0;
        for (int shift = 0; shift < 70 && pos_ < size_; shift += 7) {
            uint8_t b = data_[pos_++];
            if (shift < 64) *v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    const uint8_t* here() const { return data_ + pos_; }
    size_t position() const { return pos_; }
    size_t left() const { return size_ - pos_; }

private:
    template <class T>
    bool fixed(int n, T* v) {
        if (left() < static_cast<size_t>(n)) return false;
        uint64_t x = 0;
        for (int i = n - 1; i >= 0; --i) x = x << 8 | data_[pos_ + i];
        *v = static_cast<T>(x);
        pos_ += static_cast<size_t>(n);
        return true;
    }
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A byte range of one volume.
struct Range {
    Ref<InStream> stream;
    int64_t offset;
    int64_t length;
    std::optional<rar_crypto::Cipher> cipher;  // each part of an encrypted file has its own
};

// What the headers say about one file, gathered over its parts.
struct FileRecord {
    std::u16string name;
    int64_t time = 0;
    EntryChecks checks;
    uint64_t unpackedSize = 0;
    bool directory = false;
    bool stored = false;
    bool solid = false;  // continues the current solid group
    bool link = false;   // a symbolic link or junction: listed empty
    Codec* codec = nullptr;
    uint8_t version = 0;  // of the packer, named when no codec decodes it
    uint64_t dictionary = 0;
    std::u16string linkTarget;  // a hard link or file copy: the entry it repeats
    bool olderVersion = false;  // kept by the archiver's file versions; the current one has no version record
    uint64_t versionNumber = 0;
    EntryMetadata metadata;     // Unix mode, and the link it is
    std::optional<rar_crypto::Cipher> cipher;  // how the data is encrypted
    Status unreadable;  // why the data cannot be read at all: a cipher not decrypted here
    std::vector<Range> parts;
};

// The reader of one archive; each format's parser walks its blocks and hands
// every file part to takePart.
class Reader {
public:
    Reader(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first);
    virtual ~Reader() = default;

    // False when the archive is refused.
    bool read();
    // Why it was refused, when the reason is more than not being an archive
    // of this format: encrypted headers without a password or with a wrong one.
    const Status& refusal() const { return refusal_; }

protected:
    // Walks the blocks from the first volume on; false refuses the archive.
    virtual bool readBlocks() = 0;

    // Volumes.
    bool moveToVolume(uint64_t index, bool allowSeen);
    bool restartAtFirstVolume();
    uint64_t volumeIndexFromName() const;

    // Notes damage (the first reason counts); the archive is then marked
    // damaged, its entries listed as read. stopDamaged also ends the walk.
    void noteDamage(const char* reason) {
        if (damage_.empty()) damage_ = reason;
    }
    bool stopDamaged(const char* reason) {
        noteDamage(reason);
        return true;
    }

    // Collects one part of a file; the file is placed after its last part.
    bool takePart(FileRecord&& header, bool fromPrevious, bool toNext, int64_t dataStart, int64_t length);

    // The key of the archive's encrypted headers; false (and the reason kept
    // for the archive's refusal) when there is none: no password given, or a
    // wrong one.
    bool headerKey(const rar_crypto::Cipher& cipher, rar_crypto::DerivedKey* key);
    // Refuses the archive for that reason.
    bool refuse(const Status& reason);

    Ref<InStream> volume_;
    uint64_t volumeIndex_ = 0;
    int64_t position_ = 0;
    Codec* store_;

    bool isVolume_ = false;
    bool solid_ = false;
    bool newNumbering_ = false;
    bool sawMain_ = false;
    bool startedMidSet_ = false;  // opened at a later volume of an old-numbering set
    std::string damage_;
    Status refusal_;

    // A member of a solid group, listed once the group's stream exists.
    struct GroupEntry {
        std::u16string name;
        uint64_t offset, size;
        int64_t time;
        EntryChecks checks;
        bool olderVersion;  // decoded for the members after it, not listed
        EntryMetadata metadata;
    };
    // The compressed members of a solid group, decoded by one stream.
    struct Group {
        Codec* codec = nullptr;
        uint64_t dictionary = 0;
        Ref<ConcatStream> packed;
        std::vector<rar::Member> members;
        std::vector<GroupEntry> entries;
        uint64_t unpacked = 0;
    };
    std::optional<Group> group_;

private:
    struct ListedEntry {
        Codec* codec;
        int64_t offset, packedSize, size;
        EntryChecks checks;
        std::vector<uint8_t> properties;
    };

    void placeFile(FileRecord& file);
    void placeCompressed(FileRecord& file);
    // An encrypted file in one part outside a solid group: listed with the
    // codec that decrypts it, so that a missing or wrong password fails its
    // stream alone.
    void placeEncrypted(FileRecord& file);
    // The parts of an encrypted file read decrypted, for a solid group or a
    // file split over volumes.
    bool decryptParts(FileRecord& file);
    void openGroup(const FileRecord& file);
    void closeGroup();
    void list(const std::u16string& name, Codec* codec, int64_t offset, int64_t packedSize, int64_t size,
              int64_t time, const EntryChecks& checks, const EntryMetadata& metadata,
              const std::vector<uint8_t>& properties = {});
    void resolveLinks();

    Archive* archive_;
    ConcatStream* data_;
    std::u16string volumeName_;
    std::set<std::u16string> opened_;

    // A file whose parts continue in the next volume.
    std::optional<FileRecord> pending_;
    bool pendingOrphan_ = false;

    std::unordered_map<std::u16string, ListedEntry> listed_;
    std::vector<FileRecord> links_;
};

// Each format's parser over a reader's state; false when the archive is refused.
bool readArchive4(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first);
bool readArchive5(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first);

}  // namespace rar_reader
}  // namespace zorvex
