// The "rar" 5.0 header parser: blocks sized by variable-length integers, with
// extra records after a file's fixed fields.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "engine/byte_order.h"
#include "engine/codec.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/names.h"
#include "formats/rar.h"
#include "formats/rar_reader.h"

namespace zorvex {

// RAR 5.0 dictionaries are 128 KiB << N.
constexpr uint64_t kDictionaryBase5 = 0x20000;

uint64_t rar5DictionarySize(uint64_t compressionInfo) { return kDictionaryBase5 << ((compressionInfo >> 10) & 0xF); }

namespace rar_reader {
namespace {

// Format 5.0 header types and flags.
constexpr uint64_t kMain5 = 1;
constexpr uint64_t kFile5 = 2;
constexpr uint64_t kEncryption5 = 4;
constexpr uint64_t kEnd5 = 5;

constexpr uint64_t kHeaderExtra = 0x0001;
constexpr uint64_t kHeaderData = 0x0002;
constexpr uint64_t kHeaderFromPrevious = 0x0008;
constexpr uint64_t kHeaderToNext = 0x0010;

constexpr uint64_t kArchiveVolume = 0x0001;
constexpr uint64_t kArchiveVolumeNumber = 0x0002;
constexpr uint64_t kArchiveSolid = 0x0004;

// The end block's flag for a volume that is not the last.
constexpr uint64_t kEndNextVolume = 0x0001;

constexpr uint64_t kFile5Directory = 0x0001;
constexpr uint64_t kFile5Time = 0x0002;
constexpr uint64_t kFile5Crc = 0x0004;

constexpr uint64_t kRecordEncryption = 1;
constexpr uint64_t kCipherAes256 = 0;
constexpr uint64_t kCipherHasCheck = 0x0001;
constexpr uint64_t kCipherTweaked = 0x0002;
constexpr uint64_t kRecordHash = 2;
constexpr uint64_t kHashBlake2sp = 0;
constexpr uint64_t kRecordTime = 3;
constexpr uint64_t kRecordVersion = 4;
constexpr uint64_t kRecordRedirection = 5;
constexpr uint64_t kRedirectionUnixLink = 1, kRedirectionWindowsLink = 2, kRedirectionJunction = 3;
constexpr uint64_t kRedirectionHardLink = 4;
constexpr uint64_t kRedirectionFileCopy = 5;

constexpr uint64_t kMaxHeader5 = 0x200000;

// An encryption record of a file, or the archive's encryption header:
// version, flags, cost, salt, the IV (files only) and the password check
// value with its checksum. False when it does not parse; `unreadable` says
// why a record that parses cannot be used.
bool readCipher(HeaderCursor& h, bool withIv, rar_crypto::Cipher* cipher, Status* unreadable) {
    using namespace rar_crypto;
    uint64_t version, flags;
    uint8_t lg2Count;
    if (!h.vint(&version) || !h.vint(&flags)) return false;
    if (version != kCipherAes256) {
        *unreadable = Status::unsupportedEncryption();
        return true;
    }
    cipher->scheme = Cipher::Scheme::kAes256;
    cipher->saltSize = kSalt5Size;
    cipher->hasCheck = flags & kCipherHasCheck;
    cipher->tweakedChecksums = flags & kCipherTweaked;
    size_t need = kSalt5Size + (withIv ? kBlockSize : 0) + (cipher->hasCheck ? kCheckValueSize + kCheckSumSize : 0);
    if (!h.u8(&lg2Count) || h.left() < need) return false;
    cipher->lg2Count = lg2Count;
    auto take = [&](uint8_t* to, size_t n) {
        std::memcpy(to, h.here(), n);
        h.skip(n);
    };
    take(cipher->salt.data(), kSalt5Size);
    if (withIv) take(cipher->iv.data(), kBlockSize);
    if (cipher->hasCheck) {
        take(cipher->checkValue.data(), kCheckValueSize);
        take(cipher->checkSum.data(), kCheckSumSize);
    }
    // The cost comes from the file: bounded, so that a small file cannot
    // keep a command busy for hours.
    if (lg2Count > kMaxLg2Count) *unreadable = costTooHigh();
    return true;
}

class Reader5 final : public Reader {
public:
    using Reader::Reader;

private:
    enum class HeaderRead { kRead, kNothing, kCut, kBadSize };

    bool readBlocks() override;
    // The header at `blockStart`: the CRC stored before it, and the bytes that
    // CRC covers (the size field and the header); its data follows at `dataStart`.
    HeaderRead readHeader(int64_t blockStart, uint32_t* crc, std::vector<uint8_t>* covered, size_t* sizeFieldLength,
                          int64_t* dataStart);
    HeaderRead readEncryptedHeader(int64_t blockStart, uint32_t* crc, std::vector<uint8_t>* covered,
                                   size_t* sizeFieldLength, int64_t* dataStart);
    bool readFileHeader(HeaderCursor& h, uint64_t headerFlags, int64_t dataStart, uint64_t dataSize,
                        size_t extraStart);
    void readExtraRecords(HeaderCursor& h, FileRecord* file);

    // Set by the encryption header: every header after it is encrypted with this key.
    bool encryptedHeaders_ = false;
    rar_crypto::DerivedKey headerKey_;
    bool readEncrypted_ = false;  // an encrypted header was read whole
};

// The size field (at most three bytes: 2 MiB) at the start of `bytes`.
bool headerSizeField(const uint8_t* bytes, size_t available, uint64_t* headerSize, size_t* length) {
    HeaderCursor field(bytes, std::min<size_t>(available, 3));
    if (!field.vint(headerSize) || *headerSize == 0 || *headerSize > kMaxHeader5) return false;
    *length = field.position();
    return true;
}

Reader5::HeaderRead Reader5::readHeader(int64_t blockStart, uint32_t* crc, std::vector<uint8_t>* covered,
                                        size_t* sizeFieldLength, int64_t* dataStart) {
    if (encryptedHeaders_ && blockStart != kSignature5Size)
        return readEncryptedHeader(blockStart, crc, covered, sizeFieldLength, dataStart);
    uint8_t prefix[4 + 3];
    if (!volume_->seek(blockStart)) return HeaderRead::kNothing;
    int got = std::max(volume_->read(prefix, sizeof prefix), 0);
    if (got == 0) return HeaderRead::kNothing;
    if (got < 5) return HeaderRead::kCut;
    uint64_t headerSize;
    if (!headerSizeField(prefix + 4, static_cast<size_t>(got) - 4, &headerSize, sizeFieldLength))
        return HeaderRead::kBadSize;
    *crc = le32(prefix);
    covered->resize(*sizeFieldLength + static_cast<size_t>(headerSize));
    std::memcpy(covered->data(), prefix + 4, *sizeFieldLength);
    int64_t headerStart = blockStart + 4 + static_cast<int64_t>(*sizeFieldLength);
    if (!volume_->seek(headerStart) ||
        !readExact(volume_.get(), covered->data() + *sizeFieldLength, static_cast<int>(headerSize)))
        return HeaderRead::kCut;
    *dataStart = headerStart + static_cast<int64_t>(headerSize);
    return HeaderRead::kRead;
}

// An encrypted header: its IV, then the CRC, size field and header padded
// to whole cipher blocks. The first block tells the size.
Reader5::HeaderRead Reader5::readEncryptedHeader(int64_t blockStart, uint32_t* crc, std::vector<uint8_t>* covered,
                                                 size_t* sizeFieldLength, int64_t* dataStart) {
    using rar_crypto::kBlockSize;
    uint8_t iv[kBlockSize], first[kBlockSize];
    if (!volume_->seek(blockStart)) return HeaderRead::kNothing;
    int got = std::max(volume_->read(iv, kBlockSize), 0);
    if (got == 0) return HeaderRead::kNothing;
    if (got < static_cast<int>(kBlockSize) || !readExact(volume_.get(), first, kBlockSize)) return HeaderRead::kCut;
    uint8_t plain[kBlockSize];
    std::memcpy(plain, first, kBlockSize);
    rar_crypto::decryptBlocks(headerKey_, iv, plain, kBlockSize);
    uint64_t headerSize;
    if (!headerSizeField(plain + 4, kBlockSize - 4, &headerSize, sizeFieldLength)) return HeaderRead::kBadSize;
    size_t length = 4 + *sizeFieldLength + static_cast<size_t>(headerSize);
    size_t padded = (length + kBlockSize - 1) / kBlockSize * kBlockSize;
    std::vector<uint8_t> block(padded);
    std::memcpy(block.data(), first, kBlockSize);
    if (!readExact(volume_.get(), block.data() + kBlockSize, static_cast<int>(padded - kBlockSize)))
        return HeaderRead::kCut;
    rar_crypto::decryptBlocks(headerKey_, iv, block.data(), padded);
    *crc = le32(block.data());
    covered->assign(block.begin() + 4, block.begin() + static_cast<std::ptrdiff_t>(length));
    *dataStart = blockStart + static_cast<int64_t>(kBlockSize + padded);
    return HeaderRead::kRead;
}

bool Reader5::readBlocks() {
    position_ = kSignature5Size;
    for (;;) {
        int64_t blockStart = position_;
        const int64_t volumeSize = volume_->size();
        if (volumeSize >= 0 && blockStart > volumeSize) return stopDamaged("archive cut inside a file's data");
        uint32_t storedCrc = 0;
        std::vector<uint8_t> covered;
        size_t sizeFieldLength = 0;
        int64_t dataStart = 0;
        HeaderRead got = readHeader(blockStart, &storedCrc, &covered, &sizeFieldLength, &dataStart);
        // The CRC covers the size field and the header. A header that fails
        // it is still read as far as it parses.
        const bool crcHolds = got == HeaderRead::kRead && crc32Update(0, covered.data(), covered.size()) == storedCrc;
        // Without a check value nothing tells a wrong password from damage but
        // the first encrypted header: until one decrypted whole, a failure is taken for it.
        if (encryptedHeaders_ && !readEncrypted_ && blockStart != kSignature5Size && got != HeaderRead::kNothing) {
            if (!crcHolds) return refuse(Status::wrongPassword());
            readEncrypted_ = true;
        }
        switch (got) {
            case HeaderRead::kRead: break;
            case HeaderRead::kNothing: return stopDamaged("no end of archive block");
            case HeaderRead::kCut: return stopDamaged("archive cut inside a header");
            case HeaderRead::kBadSize: return stopDamaged("header size out of range");
        }
        if (!crcHolds) noteDamage("header CRC mismatch");
        std::vector<uint8_t> header(covered.begin() + static_cast<std::ptrdiff_t>(sizeFieldLength), covered.end());
        HeaderCursor h(header.data(), header.size());
        uint64_t type, flags, extraSize = 0, dataSize = 0;
        bool parsed = h.vint(&type) && h.vint(&flags) && (!(flags & kHeaderExtra) || h.vint(&extraSize)) &&
                      (!(flags & kHeaderData) || h.vint(&dataSize)) && extraSize <= header.size();
        if (!parsed) return stopDamaged("header does not parse");
        if (dataSize > uint64_t{INT64_MAX} - static_cast<uint64_t>(dataStart)) return stopDamaged("data size out of range");
        int64_t next = dataStart + static_cast<int64_t>(dataSize);

        if (type == kMain5) {
            uint64_t archiveFlags, number = 0;
            if (!h.vint(&archiveFlags) || ((archiveFlags & kArchiveVolumeNumber) && !h.vint(&number)))
                return stopDamaged("main header does not parse");
            isVolume_ = archiveFlags & kArchiveVolume;
            solid_ = archiveFlags & kArchiveSolid;
            newNumbering_ = true;
            if (!sawMain_) {
                sawMain_ = true;
                if (isVolume_ && number != 0 && restartAtFirstVolume()) continue;
                volumeIndex_ = number;
                startedMidSet_ = number > 0;
            } else if (number != volumeIndex_) {
                return stopDamaged("volume out of order");
            }
        } else if (type == kFile5) {
            if (!readFileHeader(h, flags, dataStart, dataSize, header.size() - extraSize))
                return stopDamaged("file header does not parse");
        } else if (type == kEncryption5) {
            rar_crypto::Cipher cipher;
            Status unreadable;
            if (!readCipher(h, false, &cipher, &unreadable))
                return refuse(Status::corrupt("encryption header does not parse"));
            if (!unreadable.ok()) return refuse(unreadable);
            if (!headerKey(cipher, &headerKey_)) return false;
            encryptedHeaders_ = true;
        } else if (type == kEnd5) {
            uint64_t endFlags;
            // Some writers leave the flags out: then this is the last volume.
            if (!h.vint(&endFlags) || !(endFlags & kEndNextVolume) || !isVolume_) return true;
            if (!moveToVolume(volumeIndex_ + 1, false)) return true;
            continue;
        }
        // Other types are skipped by their sizes: a newer writer's blocks.
        position_ = next;
    }
}

void Reader5::readExtraRecords(HeaderCursor& h, FileRecord* file) {
    while (h.left() > 0) {
        uint64_t size, type;
        if (!h.vint(&size) || size == 0 || size > h.left()) return;
        HeaderCursor record(h.here(), static_cast<size_t>(size));
        h.skip(size);
        if (!record.vint(&type)) continue;
        if (type == kRecordEncryption) {
            file->cipher.emplace();
            if (!readCipher(record, true, &*file->cipher, &file->unreadable))
                file->unreadable = Status::corrupt("encryption record does not parse");
        } else if (type == kRecordHash) {
            uint64_t hashType;
            Blake2spDigest digest;
            if (!record.vint(&hashType) || hashType != kHashBlake2sp || record.left() < digest.size()) continue;
            std::memcpy(digest.data(), record.here(), digest.size());
            file->checks.blake2sp = digest;
        } else if (type == kRecordTime) {
            uint64_t timeFlags;
            if (!record.vint(&timeFlags) || !(timeFlags & 0x2)) continue;
            if (timeFlags & 0x1) {
                uint32_t unixTime;
                if (record.u32(&unixTime)) file->time = unixTime;
            } else {
                uint64_t filetime;
                if (record.u64(&filetime)) file->time = timeFromFiletime(filetime);
            }
        } else if (type == kRecordVersion) {
            uint64_t versionFlags;
            file->olderVersion = true;
            if (!record.vint(&versionFlags) || !record.vint(&file->versionNumber)) file->versionNumber = 0;
        } else if (type == kRecordRedirection) {
            uint64_t kind, linkFlags, nameLength;
            if (!record.vint(&kind) || !record.vint(&linkFlags) || !record.vint(&nameLength) ||
                nameLength > record.left())
                continue;
            std::string_view target(reinterpret_cast<const char*>(record.here()), static_cast<size_t>(nameLength));
            std::u16string wide = utf8ToWide(target).value_or(u"");
            if (kind == kRedirectionHardLink || kind == kRedirectionFileCopy) file->linkTarget = wide;
            file->link = file->linkTarget.empty();
            std::replace(wide.begin(), wide.end(), u'/', u'\\');
            if (kind == kRedirectionUnixLink || kind == kRedirectionWindowsLink || kind == kRedirectionJunction) {
                file->metadata.link = LinkKind::kSymbolic;
                file->metadata.linkTarget = std::move(wide);
            } else if (kind == kRedirectionHardLink) {
                file->metadata.link = LinkKind::kHard;
                file->metadata.linkTarget = std::move(wide);
            }
        }
    }
}

bool Reader5::readFileHeader(HeaderCursor& h, uint64_t headerFlags, int64_t dataStart, uint64_t dataSize,
                                size_t extraStart) {
    uint64_t fileFlags, unpackedSize, attributes, compression, host, nameLength;
    uint32_t mtime = 0, crc = 0;
    if (!h.vint(&fileFlags) || !h.vint(&unpackedSize) || !h.vint(&attributes)) return false;
    if ((fileFlags & kFile5Time) && !h.u32(&mtime)) return false;
    if ((fileFlags & kFile5Crc) && !h.u32(&crc)) return false;
    if (!h.vint(&compression) || !h.vint(&host) || !h.vint(&nameLength)) return false;
    if (nameLength > h.left() || h.position() + nameLength > extraStart) return false;

    FileRecord file;
    file.name = utf8ToWide(std::string_view(reinterpret_cast<const char*>(h.here()), nameLength)).value_or(u"");
    h.skip(nameLength);
    file.time = mtime;
    constexpr uint64_t kHostWindows = 0, kHostUnix = 1;
    constexpr uint64_t kWindowsReadOnly = 0x01;
    if (host == kHostUnix) file.metadata = unixMetadata(uint32_t(attributes));
    else if (host == kHostWindows) file.metadata.readOnly = (attributes & kWindowsReadOnly) != 0;
    if (fileFlags & kFile5Crc) file.checks.crc = crc;
    file.unpackedSize = unpackedSize;
    file.directory = fileFlags & kFile5Directory;
    file.solid = compression & 0x40;
    file.stored = ((compression >> 7) & 7) == 0;
    // A later algorithm version is listed, and reading it names the version.
    file.version = static_cast<uint8_t>(compression & 0x3F);
    file.codec = file.version == 0 ? findCodec(u"rar50") : nullptr;
    file.dictionary = rar5DictionarySize(compression);
    HeaderCursor extra(h.here() + (extraStart - h.position()), h.left() - (extraStart - h.position()));
    readExtraRecords(extra, &file);
    if (file.link) file.unpackedSize = 0;
    // A link to a folder (a symbolic link with the directory flag, or a
    // junction) is a link entry, never a folder of its own.
    if (file.metadata.link == LinkKind::kSymbolic) file.directory = false;
    if (file.olderVersion && olderVersionsListed()) {
        file.name += u";" + utf8ToWide(std::to_string(file.versionNumber)).value_or(u"0");
        file.olderVersion = false;
    }
    if (file.name.empty()) return true;
    if (unpackedSize > uint64_t{INT64_MAX} / 2) return false;
    return takePart(std::move(file), headerFlags & kHeaderFromPrevious, headerFlags & kHeaderToNext, dataStart,
                    static_cast<int64_t>(dataSize));
}

}  // namespace

// A block's CRC-32 covers its size field and the header that field sizes.
bool blockChecks5(InStream* stream, int64_t blockStart) {
    // The CRC and a header size of at most three bytes (2 MiB).
    uint8_t prefix[4 + 3];
    if (!stream->seek(blockStart) || !readExact(stream, prefix, sizeof prefix)) return false;
    HeaderCursor sizeField(prefix + 4, 3);
    uint64_t headerSize;
    if (!sizeField.vint(&headerSize) || headerSize == 0) return false;
    int covered = static_cast<int>(sizeField.position() + headerSize);
    std::unique_ptr<uint8_t[]> header(new (std::nothrow) uint8_t[covered]);
    if (!header || !stream->seek(blockStart + 4) || !readExact(stream, header.get(), covered)) return false;
    return crc32Update(0, header.get(), static_cast<size_t>(covered)) == le32(prefix);
}

bool readArchive5(Archive* archive, ConcatStream* data, const char16_t* path, InStream* first) {
    return Reader5(archive, data, path, first).read();
}

}  // namespace rar_reader

}  // namespace zorvex
