// The "rar" 1.5-4.x header parser: fixed-size blocks, each with a base header
// of CRC, type, flags and size.
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "formats/rar.h"
#include "formats/rar_reader.h"

namespace zorvex {
namespace rar_reader {
namespace {

// Format 1.5-4.x block types and flags.
constexpr uint8_t kMainBlock = 0x73;
constexpr uint8_t kFileBlock = 0x74;
constexpr uint8_t kSubBlock = 0x7A;
constexpr uint8_t kEndBlock = 0x7B;
// Authenticity, old service, old recovery record and signature blocks.
constexpr uint8_t kFirstSkippedBlock = 0x76;
constexpr uint8_t kLastSkippedBlock = 0x79;

constexpr uint16_t kMainVolume = 0x0001;
constexpr uint16_t kMainSolid = 0x0008;
constexpr uint16_t kMainNewNumbering = 0x0010;
constexpr uint16_t kMainEncryptedHeaders = 0x0080;

constexpr uint16_t kFileFromPrevious = 0x0001;
constexpr uint16_t kFileToNext = 0x0002;
constexpr uint16_t kFileEncrypted = 0x0004;
constexpr uint16_t kFileSolid = 0x0010;
constexpr uint16_t kFileDirectoryMask = 0x00E0;
constexpr uint16_t kFileLargeSizes = 0x0100;
constexpr uint16_t kFileUnicodeName = 0x0200;
constexpr uint16_t kFileSalt = 0x0400;
constexpr uint16_t kBlockHasData = 0x8000;

constexpr uint16_t kEndNextVolume = 0x0001;
constexpr uint16_t kEndDataCrc = 0x0002;
constexpr uint16_t kEndVolumeNumber = 0x0008;

constexpr int kBaseHeaderSize = 7;
constexpr int kFileHeaderFixed = 32;  // base header + fields up to the attributes
constexpr uint8_t kStoredMethod = 0x30;
// Files packed by version 2.9 and later are encrypted with AES; older ones
// with ciphers that are not decrypted here.
constexpr uint8_t kFirstAesVersion = 29;
constexpr uint8_t kHostDos = 0, kHostWindows = 2, kHostUnix = 3;
constexpr uint32_t kDosReadOnly = 0x01;

// The CRC-16 is the low half of the CRC-32 of the header after the CRC field.
// Old writers that kept a comment inside the header covered only what comes
// before it: the main header's fixed 13 bytes, a file header's fixed fields
// and name.
bool headerCrcHolds(const uint8_t* header, int size) {
    constexpr int kFixedMainHeader = 13;
    auto crcOver = [&](int length) { return crc32Update(0, header + 2, static_cast<size_t>(length) - 2) & 0xFFFF; };
    uint16_t stored = le16(header);
    if (crcOver(size) == stored) return true;
    if (header[2] == kMainBlock) return size > kFixedMainHeader && crcOver(kFixedMainHeader) == stored;
    if (header[2] != kFileBlock || size < kFileHeaderFixed) return false;
    int named = kFileHeaderFixed + le16(header + 26);
    return named < size && crcOver(named) == stored;
}

class Reader4 final : public Reader {
public:
    using Reader::Reader;

private:
    enum class HeaderRead { kRead, kNothing, kCut, kTooSmall, kNoKey };

    bool readBlocks() override;
    HeaderRead readHeader(int64_t blockStart, bool encrypted, std::vector<uint8_t>* header, int64_t* dataStart);
    HeaderRead readEncryptedHeader(int64_t blockStart, std::vector<uint8_t>* header, int64_t* dataStart);
    bool readFileHeader(const std::vector<uint8_t>& header, uint16_t flags, int64_t dataStart, int64_t* next);
    bool serviceBlockCrcHolds(const std::vector<uint8_t>& header, int64_t dataStart, bool encrypted);
    Codec* codecFor(uint8_t version, uint8_t method);
    std::u16string nameFromHeader(const uint8_t* name, size_t size, uint16_t flags, uint8_t host);

    // The main header says that every block after it is encrypted.
    bool encryptedHeaders_ = false;
    bool readEncrypted_ = false;  // an encrypted header was read whole: the password is right
};

Codec* Reader4::codecFor(uint8_t version, uint8_t method) {
    if (method == kStoredMethod) return store_;
    switch (version) {
        case 15: return findCodec(u"rar15");
        case 20:
        case 26: return findCodec(u"rar20");
        case 29:
        case 36: return findCodec(u"rar29");
        default: return nullptr;
    }
}

std::u16string Reader4::nameFromHeader(const uint8_t* name, size_t size, uint16_t flags, uint8_t host) {
    std::string_view bytes(reinterpret_cast<const char*>(name), size);
    // Unix hosts store names as UTF-8 without saying so.
    if (host == kHostUnix && !(flags & kFileUnicodeName))
        if (std::optional<std::u16string> utf8 = utf8ToWide(bytes)) return *utf8;
    if (flags & kFileUnicodeName) {
        size_t zero = bytes.find('\0');
        if (zero == std::string_view::npos) return utf8ToWide(bytes).value_or(u"");
        std::u16string decoded = decodeRarUnicodeName(name, zero, name + zero + 1, size - zero - 1);
        if (!decoded.empty()) return decoded;
        bytes = bytes.substr(0, zero);
    }
    return ansiToWide(bytes).value_or(u"");
}

// The block header at `blockStart`, whole; its data follows at `dataStart`.
Reader4::HeaderRead Reader4::readHeader(int64_t blockStart, bool encrypted, std::vector<uint8_t>* header,
                                        int64_t* dataStart) {
    if (encrypted) return readEncryptedHeader(blockStart, header, dataStart);
    uint8_t base[kBaseHeaderSize];
    if (!volume_->seek(blockStart) || !readExact(volume_.get(), base, kBaseHeaderSize)) return HeaderRead::kNothing;
    uint16_t headerSize = le16(base + 5);
    if (headerSize < kBaseHeaderSize) return HeaderRead::kTooSmall;
    header->resize(headerSize);
    std::memcpy(header->data(), base, kBaseHeaderSize);
    if (!readExact(volume_.get(), header->data() + kBaseHeaderSize, headerSize - kBaseHeaderSize))
        return HeaderRead::kCut;
    *dataStart = blockStart + headerSize;
    return HeaderRead::kRead;
}

// An encrypted block header: its salt, then the header padded to whole
// cipher blocks. The first block tells the header's size.
Reader4::HeaderRead Reader4::readEncryptedHeader(int64_t blockStart, std::vector<uint8_t>* header,
                                                 int64_t* dataStart) {
    using rar_crypto::kBlockSize;
    rar_crypto::Cipher cipher;
    cipher.saltSize = rar_crypto::kSalt3Size;
    if (!volume_->seek(blockStart) || !readExact(volume_.get(), cipher.salt.data(), cipher.saltSize))
        return HeaderRead::kNothing;
    uint8_t first[kBlockSize];
    if (!readExact(volume_.get(), first, kBlockSize)) return HeaderRead::kCut;
    rar_crypto::DerivedKey key;
    if (!headerKey(cipher, &key)) return HeaderRead::kNoKey;
    uint8_t plain[kBlockSize];
    std::memcpy(plain, first, kBlockSize);
    rar_crypto::decryptBlocks(key, key.iv.data(), plain, kBlockSize);
    uint16_t headerSize = le16(plain + 5);
    if (headerSize < kBaseHeaderSize) return HeaderRead::kTooSmall;
    size_t padded = (headerSize + kBlockSize - 1) / kBlockSize * kBlockSize;
    header->resize(padded);
    std::memcpy(header->data(), first, kBlockSize);
    if (!readExact(volume_.get(), header->data() + kBlockSize, static_cast<int>(padded - kBlockSize)))
        return HeaderRead::kCut;
    rar_crypto::decryptBlocks(key, key.iv.data(), header->data(), padded);
    header->resize(headerSize);
    *dataStart = blockStart + cipher.saltSize + static_cast<int64_t>(padded);
    return HeaderRead::kRead;
}

bool Reader4::readBlocks() {
    position_ = kSignature4Size;
    for (;;) {
        int64_t blockStart = position_;
        const int64_t volumeSize = volume_->size();
        if (volumeSize >= 0 && blockStart > volumeSize) return stopDamaged("archive cut inside a file's data");
        // Every volume starts with its main header in plain.
        const bool encrypted = encryptedHeaders_ && blockStart != kSignature4Size;
        std::vector<uint8_t> header;
        int64_t next = 0;
        HeaderRead got = readHeader(blockStart, encrypted, &header, &next);
        // Nothing tells a wrong password from damage but the first header's
        // CRC: until one header decrypted whole, a failure is taken for it.
        if (encrypted && !readEncrypted_ && got != HeaderRead::kNothing && got != HeaderRead::kNoKey &&
            (got != HeaderRead::kRead || !headerCrcHolds(header.data(), static_cast<int>(header.size()))))
            return refuse(Status::wrongPassword());
        switch (got) {
            case HeaderRead::kRead: break;
            case HeaderRead::kNoKey: return false;
            case HeaderRead::kTooSmall: return stopDamaged("header size too small");
            case HeaderRead::kCut: return stopDamaged("archive cut inside a header");
            case HeaderRead::kNothing:
                if (blockStart < volumeSize) return stopDamaged("archive cut inside a header");
                // The end of a volume without an end block (older writers
                // wrote none): the next one, if any.
                if (isVolume_ && moveToVolume(volumeIndex_ + 1, false)) continue;
                return true;
        }
        if (encrypted) readEncrypted_ = true;
        uint8_t type = header[2];
        uint16_t flags = le16(header.data() + 3);
        uint16_t headerSize = static_cast<uint16_t>(header.size());
        // Old service blocks are passed over by their sizes. A header that
        // fails its CRC is still read as far as it parses.
        bool skipped = type >= kFirstSkippedBlock && type <= kLastSkippedBlock;
        if (!(skipped ? serviceBlockCrcHolds(header, next, encrypted) : headerCrcHolds(header.data(), headerSize)))
            noteDamage("header CRC mismatch");

        if (type == kMainBlock) {
            encryptedHeaders_ = flags & kMainEncryptedHeaders;
            isVolume_ = flags & kMainVolume;
            solid_ = flags & kMainSolid;
            newNumbering_ = flags & kMainNewNumbering;
            if (!sawMain_) {
                sawMain_ = true;
                if (isVolume_ && newNumbering_ && restartAtFirstVolume()) continue;
                volumeIndex_ = newNumbering_ ? 0 : volumeIndexFromName();
                startedMidSet_ = volumeIndex_ > 0;
            }
        } else if (type == kFileBlock || type == kSubBlock) {
            if (headerSize < kFileHeaderFixed || !readFileHeader(header, flags, next, &next))
                return stopDamaged("file header does not parse");
        } else if (type == kEndBlock) {
            HeaderCursor h(header.data() + kBaseHeaderSize, headerSize - kBaseHeaderSize);
            uint16_t number = 0;
            if (flags & kEndDataCrc) h.skip(4);
            if (!(flags & kEndVolumeNumber) || !h.u16(&number)) number = static_cast<uint16_t>(volumeIndex_);
            if (!(flags & kEndNextVolume) || !isVolume_) return true;
            if (!moveToVolume(uint64_t{number} + 1, false)) return true;
            continue;
        } else if (skipped) {
            if (flags & kBlockHasData) {
                if (headerSize < kBaseHeaderSize + 4) return stopDamaged("header size too small");
                next += le32(header.data() + kBaseHeaderSize);
            }
        } else {
            return stopDamaged("unknown block type");
        }
        position_ = next;
    }
}

// An old service block's CRC covers its header alone or, as some writers
// made it, the header and the data behind it (read only when the header
// alone fails, and only while it is small).
bool Reader4::serviceBlockCrcHolds(const std::vector<uint8_t>& header, int64_t dataStart, bool encrypted) {
    constexpr uint32_t kLargestCoveredData = 1 << 16;
    const int headerSize = static_cast<int>(header.size());
    if (headerCrcHolds(header.data(), headerSize)) return true;
    if (encrypted || !(le16(header.data() + 3) & kBlockHasData) || headerSize < kBaseHeaderSize + 4) return false;
    uint32_t dataSize = le32(header.data() + kBaseHeaderSize);
    if (dataSize > kLargestCoveredData) return false;
    std::vector<uint8_t> data(dataSize);
    if (!volume_->seek(dataStart) || !readExact(volume_.get(), data.data(), dataSize)) return false;
    uint32_t crc = crc32Update(crc32Update(0, header.data() + 2, header.size() - 2), data.data(), dataSize);
    return (crc & 0xFFFF) == le16(header.data());
}

bool Reader4::readFileHeader(const std::vector<uint8_t>& header, uint16_t flags, int64_t dataStart,
                                int64_t* next) {
    HeaderCursor h(header.data() + kBaseHeaderSize, header.size() - kBaseHeaderSize);
    uint32_t packedLow, unpackedLow, crc, dosTime, attributes, packedHigh = 0, unpackedHigh = 0;
    uint8_t host, version, method;
    uint16_t nameSize;
    h.u32(&packedLow);
    h.u32(&unpackedLow);
    h.u8(&host);
    h.u32(&crc);
    h.u32(&dosTime);
    h.u8(&version);
    h.u8(&method);
    h.u16(&nameSize);
    h.u32(&attributes);
    if ((flags & kFileLargeSizes) && (!h.u32(&packedHigh) || !h.u32(&unpackedHigh))) return false;
    if (h.left() < nameSize) return false;
    uint64_t packed = uint64_t{packedHigh} << 32 | packedLow;
    if (packed > uint64_t{INT64_MAX} - static_cast<uint64_t>(dataStart)) return false;
    *next = dataStart + static_cast<int64_t>(packed);
    if (header[2] == kSubBlock) return true;

    FileRecord file;
    file.name = nameFromHeader(h.here(), nameSize, flags, host);
    if (file.name.empty()) return true;
    if (flags & kFileEncrypted) {
        rar_crypto::Cipher cipher;
        // The salt follows the name.
        if (flags & kFileSalt) {
            cipher.saltSize = rar_crypto::kSalt3Size;
            if (!h.skip(nameSize) || h.left() < cipher.saltSize) return false;
            std::memcpy(cipher.salt.data(), h.here(), cipher.saltSize);
        }
        file.cipher = cipher;
        if (version < kFirstAesVersion) file.unreadable = Status::unsupportedEncryption();
    }
    file.time = timeFromDosPacked(dosTime);
    // A Unix host keeps the mode; a symbolic link's data is its target.
    if (host == kHostUnix) file.metadata = unixMetadata(attributes);
    else if (host == kHostDos || host == kHostWindows) file.metadata.readOnly = (attributes & kDosReadOnly) != 0;
    file.checks.crc = crc;
    file.unpackedSize = uint64_t{unpackedHigh} << 32 | unpackedLow;
    file.directory = (flags & kFileDirectoryMask) == kFileDirectoryMask;
    file.stored = method == kStoredMethod;
    file.codec = codecFor(version, method);
    file.version = version;
    // Before version 2.0 the archive's solid flag alone makes a group.
    file.solid = version >= 20 ? (flags & kFileSolid) != 0 : solid_ && group_.has_value();
    return takePart(std::move(file), flags & kFileFromPrevious, flags & kFileToNext, dataStart,
                    static_cast<int64_t>(packed));
}

}  // namespace

bool mainBlockChecks4(InStream* stream, int64_t blockStart) {
    uint8_t base[kBaseHeaderSize];
    if (!stream->seek(blockStart) || !readExact(stream, base, kBaseHeaderSize) || base[2] != kMainBlock) return false;
    int size = le16(base + 5);
    if (size < kBaseHeaderSize) return false;
    std::unique_ptr<uint8_t[]> header(new (std::nothrow) uint8_t[size]);
    return header && stream->seek(blockStart) && readExact(stream, header.get(), size) &&
           headerCrcHolds(header.get(), size);
}

bool readArchive4(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first) {
    return Reader4(archive, data, path, first).read();
}

}  // namespace rar_reader

std::u16string decodeRarUnicodeName(const uint8_t* plain, size_t plainSize, const uint8_t* encoded,
                                    size_t encodedSize) {
    std::u16string out;
    if (encodedSize == 0) return out;
    size_t in = 0;
    uint16_t high = static_cast<uint16_t>(encoded[in++] << 8);
    unsigned flags = 0;
    int flagBits = 0;
    auto next = [&](uint8_t* b) {
        if (in >= encodedSize) return false;
        *b = encoded[in++];
        return true;
    };
    while (in < encodedSize && out.size() < plainSize) {
        if (flagBits == 0) {
            uint8_t f;
            if (!next(&f)) break;
            flags = f;
            flagBits = 8;
        }
        flagBits -= 2;
        uint8_t a, b;
        switch ((flags >> flagBits) & 3) {
            case 0:
                if (!next(&a)) return out;
                out.push_back(a);
                break;
            case 1:
                if (!next(&a)) return out;
                out.push_back(static_cast<char16_t>(high | a));
                break;
            case 2:
                if (!next(&a) || !next(&b)) return out;
                out.push_back(static_cast<char16_t>(a | b << 8));
                break;
            default: {
                if (!next(&a)) return out;
                if (a & 0x80) {
                    if (!next(&b)) return out;
                    for (int n = (a & 0x7F) + 2; n > 0 && out.size() < plainSize; --n)
                        out.push_back(static_cast<char16_t>(high | ((plain[out.size()] + b) & 0xFF)));
                } else {
                    for (int n = a + 2; n > 0 && out.size() < plainSize; --n) out.push_back(plain[out.size()]);
                }
            }
        }
    }
    return out;
}

}  // namespace zorvex
