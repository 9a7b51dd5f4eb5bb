// Decrypting "rar" archives: the parameters an encrypted file or header
// block stores, the keys one archive derives from its password (once per
// salt), the stream that decrypts a file's packed data, and the keyed
// checksums of format 5.0 files.
//
// Keys are derived when encrypted data is first read, not when the archive
// is listed: an archive whose headers are plain lists without a password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/crypto/rar_keys.h"
#include "engine/archive.h"
#include "engine/status.h"

namespace zorvex {

class ArchivePassword;
class InStream;
struct CodecRequest;

namespace rar_crypto {

constexpr size_t kBlockSize = 16;

// What an encrypted file, or the archive's header encryption, stores.
struct Cipher {
    enum class Scheme : uint8_t { kAes128, kAes256 };  // formats 1.5-4.x, 5.0
    Scheme scheme = Scheme::kAes128;
    std::array<uint8_t, kSalt5Size> salt{};
    uint8_t saltSize = 0;
    std::array<uint8_t, kBlockSize> iv{};  // 5.0 file data: the record's; 1.5-4.x: derived with the key
    uint8_t lg2Count = 0;                  // 5.0
    bool hasCheck = false;                 // 5.0: a password check value is stored
    std::array<uint8_t, kCheckValueSize> checkValue{};
    std::array<uint8_t, kCheckSumSize> checkSum{};
    bool tweakedChecksums = false;  // 5.0: stored checksums are keyed (tweakCrc, tweakDigest)
};

// Why a file or archive whose key derivation costs more than 2^kMaxLg2Count rounds is refused.
constexpr Status costTooHigh() {
    return Status::unsupportedEncryption("password key derivation cost too high (over 2^24 rounds)");
}

// The AES key and IV for one cipher, and for 5.0 the checksum key.
struct DerivedKey {
    std::vector<uint8_t> aesKey;  // 16 or 32 bytes
    std::array<uint8_t, kBlockSize> iv{};
    std::array<uint8_t, 32> hashKey{};
    ~DerivedKey();
};

// The key for `cipher`, derived from the archive's password once per salt
// and cost and kept with the password (ArchivePassword::derivedKey), or why
// there is none: Status::encrypted() when no password was given,
// wrongPassword() when the stored check value disagrees.
Status keyFor(ArchivePassword* password, const Cipher& cipher, DerivedKey* key);

// Decrypts `size` bytes from `offset` of `source` (CBC, restarted with the
// cipher's IV). The key is derived at the first read; when that fails the
// stream delivers nothing and carries the reason. Seeks anywhere. Null when
// memory is short.
InStream* openDecrypted(InStream* source, int64_t offset, int64_t size, const Cipher& cipher,
                        std::shared_ptr<ArchivePassword> password);

// The "rar-aes" codec: decrypts an entry's packed data, then decodes it with
// the codec the properties name. The key is derived when the stream is made:
// a wrong password the check value shows, or a missing one, gives a stream
// that delivers nothing and carries the reason.
std::vector<uint8_t> encodeCodecProperties(const Cipher& cipher, const char16_t* innerCodec,
                                           const std::vector<uint8_t>& innerProperties);
InStream* makeDecryptingStream(const CodecRequest& request);

// Decrypts whole blocks in place (header blocks of archives with encrypted
// headers); `size` a multiple of kBlockSize.
void decryptBlocks(const DerivedKey& key, const uint8_t* iv, uint8_t* data, size_t size);

// The stored checksums of a file whose cipher tweaks them, checked by
// converting the plain ones with the key derived for the file's data.
std::shared_ptr<const ChecksumKey> checksumKey(std::shared_ptr<ArchivePassword> password, const Cipher& cipher);

}  // namespace rar_crypto
}  // namespace zorvex
