#include "codecs/crypto/zip_crypto.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>

#include "codecs/crypto/aes.h"
#include "codecs/crypto/cipher_stream.h"
#include "codecs/crypto/hash.h"
#include "codecs/crypto/secret.h"
#include "engine/convert.h"
#include "engine/crc32.h"
#include "engine/password.h"
#include "engine/pipeline.h"
#include "engine/refobject.h"

namespace zorvex {
namespace {

using crypto::SecretBytes;

constexpr int kTraditionalHeader = 12;
constexpr int kVerifierSize = 2;
constexpr int kMacSize = 10;
constexpr uint32_t kAesIterations = 1000;

// The three keys of traditional encryption, fed with every plain byte.
class TraditionalKeys {
public:
    explicit TraditionalKeys(std::span<const uint8_t> password) {
        for (uint8_t b : password) update(b);
    }
    ~TraditionalKeys() { crypto::secureZero(keys_, sizeof keys_); }

    void decrypt(uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            uint32_t t = (keys_[2] | 2) & 0xFFFF;
            data[i] ^= uint8_t((t * (t ^ 1)) >> 8);
            update(data[i]);
        }
    }

private:
    static uint32_t crcByte(uint32_t crc, uint8_t b) {
        // crc32Update inverts before and after; undoing both leaves one table step.
        return ~crc32Update(~crc, &b, 1);
    }
    void update(uint8_t b) {
        keys_[0] = crcByte(keys_[0], b);
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
        keys_[2] = crcByte(keys_[2], uint8_t(keys_[1] >> 24));
    }

    uint32_t keys_[3] = {0x12345678, 0x23456789, 0x34567890};
};

// Traditional encryption over the data after the 12-byte encryption header.
class TraditionalStream final : public crypto::CipherStream {
public:
    TraditionalStream(const CodecRequest& request, SecretBytes password)
        : CipherStream(request, request.offset + kTraditionalHeader, request.packedSize - kTraditionalHeader,
                       request.packedSize - kTraditionalHeader),
          password_(std::move(password)),
          keys_(password_),
          headerAt_(request.offset) {}

    // Deciphers the encryption header: its last byte, when not `check`,
    // rejects the password. False when it cannot be read.
    bool readHeader(uint8_t* last) {
        uint8_t header[kTraditionalHeader];
        if (!source()->seek(headerAt_) || !readExact(source(), header, kTraditionalHeader)) return false;
        keys_.decrypt(header, kTraditionalHeader);
        *last = header[kTraditionalHeader - 1];
        return true;
    }

private:
    bool restart(int64_t position) override {
        if (position != 0) return false;
        keys_ = TraditionalKeys(password_);
        uint8_t last;
        return readHeader(&last);
    }
    void decipher(uint8_t* data, size_t size) override { keys_.decrypt(data, size); }

    SecretBytes password_;
    TraditionalKeys keys_;
    int64_t headerAt_;
};

// AES in counter mode over the data between the salt and verifier in front
// and the authentication code behind, which is checked once every byte was
// read in order.
class AesStream final : public crypto::CipherStream {
public:
    AesStream(const CodecRequest& request, int saltSize, std::span<const uint8_t> aesKey,
              std::span<const uint8_t> macKey)
        : CipherStream(request, request.offset + saltSize + kVerifierSize,
                       request.packedSize - saltSize - kVerifierSize - kMacSize,
                       request.packedSize - saltSize - kVerifierSize - kMacSize),
          mac_(macKey) {
        aes_.startCounterMode(aesKey);
    }

private:
    bool restart(int64_t position) override {
        aes_.setCounter(uint64_t(position) / crypto::Aes::kBlockSize);
        return true;
    }
    void decipher(uint8_t* data, size_t size) override {
        size_t whole = size / crypto::Aes::kBlockSize;
        aes_.process(data, whole);
        size_t tail = size % crypto::Aes::kBlockSize;
        if (!tail) return;
        alignas(16) uint8_t last[crypto::Aes::kBlockSize] = {};
        std::copy_n(data + whole * crypto::Aes::kBlockSize, tail, last);
        aes_.process(last, 1);
        std::copy_n(last, tail, data + whole * crypto::Aes::kBlockSize);
    }
    void sawPacked(const uint8_t* data, size_t size) override { mac_.update(data, size); }
    Status finish() override {
        uint8_t stored[kMacSize], computed[crypto::HmacSha1::kDigestSize];
        if (!source()->seek(packedEnd()) || !readExact(source(), stored, kMacSize)) return Status::truncated();
        mac_.final(computed);
        if (!crypto::constantTimeEqual(stored, computed, kMacSize))
            return Status::checkFailed("authentication code mismatch (wrong password or damaged data)");
        return Status();
    }

    crypto::Aes aes_;
    crypto::HmacSha1 mac_;
};

// The password in a legacy code page, one byte per character; nothing when
// a character has no byte there.
std::optional<SecretBytes> legacyBytes(const Password& password, bool (*toWide)(char, char16_t[2])) {
    SecretBytes bytes;
    for (char16_t unit : password) {
        int found = -1;
        for (int b = 0x80; b < 0x100 && unit >= 0x80 && found < 0; ++b) {
            char16_t wide[2];
            if (toWide(char(b), wide) && wide[0] == unit) found = b;
        }
        if (unit < 0x80) found = unit;
        if (found < 0) return std::nullopt;
        bytes.push_back(uint8_t(found));
    }
    return bytes;
}

// No encoding of the password is recorded. The writers here use UTF-8; older
// ones used the OEM or ANSI code page. The check byte or verifier picks one.
std::vector<SecretBytes> passwordCandidates(const Password& password) {
    std::vector<SecretBytes> candidates{passwordUtf8(password)};
    for (auto toWide : {oemCharToWide, ansiCharToWide})
        if (std::optional<SecretBytes> legacy = legacyBytes(password, toWide))
            if (std::find(candidates.begin(), candidates.end(), *legacy) == candidates.end())
                candidates.push_back(std::move(*legacy));
    return candidates;
}

InStream* openTraditional(const CodecRequest& request, const ZipEncryption& encryption, const Password& password) {
    if (request.packedSize < kTraditionalHeader) return nullptr;
    for (SecretBytes& bytes : passwordCandidates(password)) {
        Ref<TraditionalStream> stream(new (std::nothrow) TraditionalStream(request, std::move(bytes)));
        uint8_t last;
        if (!stream || !stream->readHeader(&last)) return nullptr;
        if (last == encryption.check) return stream.detach();
    }
    return failedStream(request, Status::wrongPassword());
}

InStream* openAes(const CodecRequest& request, const ZipEncryption& encryption, const Password& password) {
    const int saltSize = zipAesSaltSize(encryption.strength);
    const size_t keySize = size_t(saltSize) * 2;
    if (!saltSize || request.packedSize < saltSize + kVerifierSize + kMacSize) return nullptr;
    uint8_t salt[16 + kVerifierSize];
    if (!request.source->seek(request.offset) || !readExact(request.source, salt, saltSize + kVerifierSize))
        return nullptr;
    for (const SecretBytes& bytes : passwordCandidates(password)) {
        SecretBytes derived(keySize * 2 + kVerifierSize);
        crypto::pbkdf2HmacSha1(bytes, std::span(salt, size_t(saltSize)), kAesIterations, derived);
        if (!crypto::constantTimeEqual(derived.data() + keySize * 2, salt + saltSize, kVerifierSize)) continue;
        std::span<const uint8_t> keys(derived);
        return new (std::nothrow)
            AesStream(request, saltSize, keys.subspan(0, keySize), keys.subspan(keySize, keySize));
    }
    return failedStream(request, Status::wrongPassword());
}

// The decrypting stream of the request, or a stream that says why there is
// none (no password, a wrong one). Null for an unreadable entry.
InStream* openDecrypting(const CodecRequest& request, const ZipEncryption& encryption) {
    const Password* password = request.password ? request.password->get() : nullptr;
    if (!password) return failedStream(request, Status::encrypted());
    return encryption.scheme == ZipEncryption::kTraditional ? openTraditional(request, encryption, *password)
                                                           : openAes(request, encryption, *password);
}

}  // namespace

int zipAesSaltSize(uint8_t strength) { return strength >= 1 && strength <= 3 ? 4 + 4 * strength : 0; }

std::vector<uint8_t> encodeZipEncryption(const ZipEncryption& e) {
    std::vector<uint8_t> bytes = {e.scheme, e.check, e.strength, e.headerBytes, e.propertyBytes,
                                  uint8_t(e.method.size())};
    for (char16_t unit : e.method) {
        bytes.push_back(uint8_t(unit));
        bytes.push_back(uint8_t(unit >> 8));
    }
    bytes.insert(bytes.end(), e.properties.begin(), e.properties.end());
    return bytes;
}

std::optional<ZipEncryption> decodeZipEncryption(std::span<const uint8_t> bytes) {
    constexpr size_t kFixed = 6;
    if (bytes.size() < kFixed || (bytes[0] != ZipEncryption::kTraditional && bytes[0] != ZipEncryption::kAes))
        return std::nullopt;
    ZipEncryption e;
    e.scheme = ZipEncryption::Scheme(bytes[0]);
    e.check = bytes[1];
    e.strength = bytes[2];
    e.headerBytes = bytes[3];
    e.propertyBytes = bytes[4];
    size_t nameEnd = kFixed + size_t(bytes[5]) * 2;
    if (nameEnd > bytes.size() || e.propertyBytes > e.headerBytes) return std::nullopt;
    for (size_t i = kFixed; i < nameEnd; i += 2) e.method += char16_t(bytes[i] | bytes[i + 1] << 8);
    e.properties.assign(bytes.begin() + nameEnd, bytes.end());
    return e;
}

InStream* makeZipEncryptedStream(const CodecRequest& request) {
    std::optional<ZipEncryption> encryption = decodeZipEncryption(request.properties);
    if (!encryption || request.packedSize < 0) return nullptr;
    Ref<InStream> decrypted(openDecrypting(request, *encryption));
    if (!decrypted || !decrypted->status().ok() || encryption->method == u"store") return decrypted.detach();
    const int64_t dataSize = decrypted->size();
    // The method's own header bytes (zip's lzma: version, size, properties)
    // are part of the encrypted data.
    std::vector<uint8_t> properties = encryption->properties;
    if (encryption->headerBytes) {
        uint8_t header[255];
        if (dataSize < encryption->headerBytes || !readExact(decrypted.get(), header, encryption->headerBytes))
            return failedStream(request, decrypted->damaged() ? decrypted->status() : Status::truncated());
        properties.assign(header + encryption->headerBytes - encryption->propertyBytes,
                          header + encryption->headerBytes);
    }
    CodecRequest inner = request;
    inner.method = encryption->method.c_str();
    inner.source = decrypted.get();
    inner.offset = encryption->headerBytes;
    inner.packedSize = dataSize - encryption->headerBytes;
    inner.properties = properties;
    inner.password = nullptr;
    return openCodecStream(inner);
}

}  // namespace zorvex
