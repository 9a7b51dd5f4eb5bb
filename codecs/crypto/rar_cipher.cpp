#include "codecs/crypto/rar_cipher.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "codecs/crypto/aes.h"
#include "codecs/crypto/secret.h"
#include "engine/codec.h"
#include "engine/password.h"
#include "engine/pipeline.h"
#include "engine/stream.h"

namespace zorvex {
namespace rar_crypto {

DerivedKey::~DerivedKey() {
    crypto::secureZero(aesKey.data(), aesKey.size());
    crypto::secureZero(iv.data(), iv.size());
    crypto::secureZero(hashKey.data(), hashKey.size());
}

namespace {

Status derive(const Password& password, const Cipher& cipher, DerivedKey* key) {
    if (cipher.scheme == Cipher::Scheme::kAes128) {
        crypto::SecretBytes text = passwordUtf16le(password);
        Key3 derived = deriveKey3(text, std::span(cipher.salt.data(), cipher.saltSize));
        key->aesKey.assign(derived.key.begin(), derived.key.end());
        key->iv = derived.iv;
        crypto::secureZero(&derived, sizeof derived);
        return Status();
    }
    crypto::SecretBytes text = passwordUtf8(password);
    Keys5 derived;
    if (!deriveKeys5(text, cipher.salt, cipher.lg2Count, &derived))
        return costTooHigh();
    Status result;
    // A check value whose own checksum fails is damaged: it says nothing, and
    // the data's checksum is left to tell.
    if (cipher.hasCheck && checkValueIntact(cipher.checkValue, cipher.checkSum) &&
        !crypto::constantTimeEqual(derived.checkValue.data(), cipher.checkValue.data(), kCheckValueSize))
        result = Status::wrongPassword();
    key->aesKey.assign(derived.aesKey.begin(), derived.aesKey.end());
    key->iv = cipher.iv;
    key->hashKey = derived.hashKey;
    crypto::secureZero(&derived, sizeof derived);
    return result;
}

}  // namespace

namespace {

// A derived key as the password keeps it: whether the check value refused
// the password, the AES key's size, the AES key, the IV and the hash key.
constexpr uint8_t kKeptWell = 0, kKeptWrongPassword = 1;

crypto::SecretBytes keep(const Status& failure, const DerivedKey& key) {
    crypto::SecretBytes bytes;
    bytes.push_back(failure.ok() ? kKeptWell : kKeptWrongPassword);
    bytes.push_back(static_cast<uint8_t>(key.aesKey.size()));
    bytes.insert(bytes.end(), key.aesKey.begin(), key.aesKey.end());
    bytes.insert(bytes.end(), key.iv.begin(), key.iv.end());
    bytes.insert(bytes.end(), key.hashKey.begin(), key.hashKey.end());
    return bytes;
}

}  // namespace

Status keyFor(ArchivePassword* password, const Cipher& cipher, DerivedKey* key) {
    if (!password || !password->get()) return Status::encrypted();
    if (cipher.scheme == Cipher::Scheme::kAes256 && cipher.lg2Count > kMaxLg2Count) return costTooHigh();
    std::vector<uint8_t> recipe = {'r', 'a', 'r', static_cast<uint8_t>(cipher.scheme), cipher.lg2Count};
    recipe.insert(recipe.end(), cipher.salt.begin(), cipher.salt.begin() + cipher.saltSize);
    crypto::SecretBytes kept = password->derivedKey(recipe, [&](const Password& text) {
        DerivedKey derived;
        Status failure = derive(text, cipher, &derived);
        return keep(failure, derived);
    });
    const size_t aesSize = kept.size() > 2 ? kept[1] : 0;
    if (kept.size() != 2 + aesSize + kBlockSize + key->hashKey.size()) return Status::outOfMemory();
    if (kept[0] == kKeptWrongPassword) return Status::wrongPassword();
    const uint8_t* at = kept.data() + 2;
    key->aesKey.assign(at, at + aesSize);
    // Format 5.0 files each store their own IV; the derived one is 1.5-4.x's.
    if (cipher.scheme == Cipher::Scheme::kAes256) key->iv = cipher.iv;
    else std::memcpy(key->iv.data(), at + aesSize, kBlockSize);
    std::memcpy(key->hashKey.data(), at + aesSize + kBlockSize, key->hashKey.size());
    return Status();
}

void decryptBlocks(const DerivedKey& key, const uint8_t* iv, uint8_t* data, size_t size) {
    crypto::Aes aes;
    aes.startCbcDecryption(key.aesKey, iv);
    alignas(16) uint8_t chunk[1024];
    for (size_t at = 0; at < size; at += sizeof chunk) {
        size_t n = std::min(sizeof chunk, size - at);
        std::memcpy(chunk, data + at, n);
        aes.process(chunk, n / kBlockSize);
        std::memcpy(data + at, chunk, n);
    }
    crypto::secureZero(chunk, sizeof chunk);
}

namespace {

class DecryptedStream final : public InStream {
public:
    // `password` is kept by `keeper`, or lives until the first read.
    DecryptedStream(InStream* source, int64_t offset, int64_t size, const Cipher& cipher, ArchivePassword* password,
                    std::shared_ptr<ArchivePassword> keeper)
        : InStream(source->name(), nullptr, source->tag()),
          source_(source),
          offset_(offset),
          // A size that is no multiple of the block size ends in a piece no
          // key decrypts: what is whole is delivered, and reading on finds it short.
          size_(size - size % kBlockSize),
          cipher_(cipher),
          password_(password),
          keeper_(std::move(keeper)) {
        source_->addRef();
    }
    ~DecryptedStream() override {
        source_->release();
        crypto::secureZero(buffer_, sizeof buffer_);
    }

    int64_t tell() override { return position_; }
    int64_t size() override { return size_; }
    bool seek(int64_t position) override {
        if (position < 0 || position > size_) return false;
        position_ = position;
        return true;
    }

    int read(void* buf, int count) override {
        if (!buf || count <= 0 || !keyed()) return 0;
        uint8_t* out = static_cast<uint8_t*>(buf);
        int done = 0;
        while (done < count && position_ < size_) {
            if (position_ < bufferStart_ || position_ >= bufferStart_ + bufferFill_) {
                if (!fill(position_ - position_ % kBlockSize)) break;
            }
            size_t at = static_cast<size_t>(position_ - bufferStart_);
            size_t n = std::min<size_t>(static_cast<size_t>(bufferFill_) - at, static_cast<size_t>(count - done));
            std::memcpy(out + done, buffer_ + at, n);
            done += static_cast<int>(n);
            position_ += static_cast<int64_t>(n);
        }
        return done;
    }

    // Derives the key on the first call; false (and the stream failed) when there is none.
    bool keyed() {
        if (keyedOnce_) return keyedWell_;
        keyedOnce_ = true;
        Status failure = keyFor(password_, cipher_, &key_);
        keyedWell_ = failure.ok();
        fail(failure);
        return keyedWell_;
    }

private:
    // Decrypts the blocks from `start` (a block boundary) into the buffer.
    // CBC goes on from the last fill when it ends there; anywhere else it
    // restarts with the block before as IV.
    bool fill(int64_t start) {
        const int64_t want = std::min<int64_t>(sizeof buffer_, size_ - start);
        if (start != bufferStart_ + bufferFill_ || !started_) {
            uint8_t iv[kBlockSize];
            if (start == 0) {
                std::memcpy(iv, key_.iv.data(), kBlockSize);
            } else if (!source_->seek(offset_ + start - kBlockSize) || !readExact(source_, iv, kBlockSize)) {
                return failRead();
            }
            aes_.startCbcDecryption(key_.aesKey, iv);
            started_ = true;
        }
        if (!source_->seek(offset_ + start) || !readExact(source_, buffer_, static_cast<int>(want))) return failRead();
        aes_.process(buffer_, static_cast<size_t>(want) / kBlockSize);
        bufferStart_ = start;
        bufferFill_ = want;
        return true;
    }

    bool failRead() {
        fail(source_->status());
        fail(Status::truncated());
        bufferFill_ = 0;
        started_ = false;
        return false;
    }

    InStream* source_;
    int64_t offset_, size_;
    Cipher cipher_;
    ArchivePassword* password_;
    std::shared_ptr<ArchivePassword> keeper_;
    DerivedKey key_;
    bool keyedOnce_ = false, keyedWell_ = false;
    crypto::Aes aes_;
    bool started_ = false;
    int64_t position_ = 0;
    int64_t bufferStart_ = 0;
    int64_t bufferFill_ = 0;
    alignas(16) uint8_t buffer_[0x4000];
};

class TweakedChecksums final : public ChecksumKey {
public:
    TweakedChecksums(std::shared_ptr<ArchivePassword> password, const Cipher& cipher)
        : password_(std::move(password)), cipher_(cipher) {}

    std::optional<uint32_t> storedCrc(uint32_t crc) const override {
        DerivedKey key;
        if (!keyFor(password_.get(), cipher_, &key).ok()) return std::nullopt;
        return tweakCrc(key.hashKey, crc);
    }
    std::optional<Blake2spDigest> storedDigest(const Blake2spDigest& digest) const override {
        DerivedKey key;
        if (!keyFor(password_.get(), cipher_, &key).ok()) return std::nullopt;
        return tweakDigest(key.hashKey, digest);
    }

private:
    std::shared_ptr<ArchivePassword> password_;
    Cipher cipher_;
};

}  // namespace

InStream* openDecrypted(InStream* source, int64_t offset, int64_t size, const Cipher& cipher,
                        std::shared_ptr<ArchivePassword> password) {
    if (!source || offset < 0 || size < 0) return nullptr;
    ArchivePassword* raw = password.get();
    return new (std::nothrow) DecryptedStream(source, offset, size, cipher, raw, std::move(password));
}

namespace {

// The codec's properties: the cipher, then the inner codec and its properties.
//   u8 scheme, u8 salt size, 16 salt, 16 IV, u8 Lg2Count, u8 flags (1 check value, 2 tweaked),
//   8 check value, 4 checksum, u8 inner codec (index in kInnerCodecs), inner properties
constexpr size_t kCipherPropertiesSize = 2 + kSalt5Size + kBlockSize + 2 + kCheckValueSize + kCheckSumSize;
constexpr const char16_t* kInnerCodecs[] = {u"store", u"rar29", u"rar50"};

bool decodeCipher(std::span<const uint8_t> p, Cipher* cipher, Codec** inner, std::span<const uint8_t>* rest) {
    if (p.size() < kCipherPropertiesSize + 1 || p[0] > 1 || p[1] > kSalt5Size ||
        p[kCipherPropertiesSize] >= std::size(kInnerCodecs))
        return false;
    cipher->scheme = p[0] ? Cipher::Scheme::kAes256 : Cipher::Scheme::kAes128;
    cipher->saltSize = p[1];
    const uint8_t* at = p.data() + 2;
    std::memcpy(cipher->salt.data(), at, kSalt5Size);
    std::memcpy(cipher->iv.data(), at + kSalt5Size, kBlockSize);
    at += kSalt5Size + kBlockSize;
    cipher->lg2Count = at[0];
    cipher->hasCheck = at[1] & 1;
    cipher->tweakedChecksums = at[1] & 2;
    std::memcpy(cipher->checkValue.data(), at + 2, kCheckValueSize);
    std::memcpy(cipher->checkSum.data(), at + 2 + kCheckValueSize, kCheckSumSize);
    *inner = findCodec(kInnerCodecs[p[kCipherPropertiesSize]]);
    *rest = p.subspan(kCipherPropertiesSize + 1);
    return *inner != nullptr;
}

}  // namespace

std::vector<uint8_t> encodeCodecProperties(const Cipher& cipher, const char16_t* innerCodec,
                                           const std::vector<uint8_t>& innerProperties) {
    size_t index = 0;
    while (index < std::size(kInnerCodecs) && std::u16string_view(kInnerCodecs[index]) != innerCodec) ++index;
    if (index == std::size(kInnerCodecs)) return {};
    std::vector<uint8_t> p;
    p.push_back(cipher.scheme == Cipher::Scheme::kAes256);
    p.push_back(cipher.saltSize);
    p.insert(p.end(), cipher.salt.begin(), cipher.salt.end());
    p.insert(p.end(), cipher.iv.begin(), cipher.iv.end());
    p.push_back(cipher.lg2Count);
    p.push_back(static_cast<uint8_t>((cipher.hasCheck ? 1 : 0) | (cipher.tweakedChecksums ? 2 : 0)));
    p.insert(p.end(), cipher.checkValue.begin(), cipher.checkValue.end());
    p.insert(p.end(), cipher.checkSum.begin(), cipher.checkSum.end());
    p.push_back(static_cast<uint8_t>(index));
    p.insert(p.end(), innerProperties.begin(), innerProperties.end());
    return p;
}

InStream* makeDecryptingStream(const CodecRequest& request) {
    Cipher cipher;
    Codec* inner = nullptr;
    std::span<const uint8_t> innerProperties;
    if (!request.source || request.offset < 0 || request.packedSize < 0 ||
        !decodeCipher(request.properties, &cipher, &inner, &innerProperties))
        return nullptr;
    Ref<DecryptedStream> decrypted(new (std::nothrow) DecryptedStream(request.source, request.offset,
                                                                       request.packedSize, cipher, request.password,
                                                                       nullptr));
    if (!decrypted) return nullptr;
    // Deriving the key now tells a wrong or missing password before any data.
    if (!decrypted->keyed()) return failedStream(request, decrypted->status());
    CodecRequest decoding = request;
    decoding.source = decrypted.get();
    decoding.offset = 0;
    decoding.packedSize = decrypted->size();
    // Stored data ends before the padding to whole cipher blocks.
    if (inner == findCodec(u"store") && request.unpackedSize >= 0)
        decoding.packedSize = std::min(decoding.packedSize, request.unpackedSize);
    decoding.properties = innerProperties;
    return inner->createStream(decoding);
}

std::shared_ptr<const ChecksumKey> checksumKey(std::shared_ptr<ArchivePassword> password, const Cipher& cipher) {
    if (!cipher.tweakedChecksums) return nullptr;
    return std::shared_ptr<const ChecksumKey>(new (std::nothrow) TweakedChecksums(std::move(password), cipher));
}

}  // namespace rar_crypto
}  // namespace zorvex
