// Keys of the two "rar" encryption schemes, derived from a password and the
// salt an archive stores: AES-128 key and IV for formats 1.5-4.x (unpack
// version 29 and later), and for format 5.0 the AES-256 key, the key that
// turns plain checksums into stored ones, and the password check value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zorvex {
namespace rar_crypto {

// ---- Formats 1.5-4.x ----------------------------------------------------------

constexpr size_t kSalt3Size = 8;

struct Key3 {
    std::array<uint8_t, 16> key{};
    std::array<uint8_t, 16> iv{};
};

// `password` as UTF-16LE bytes; `salt` is 8 bytes or empty. 2^18 rounds of
// SHA-1 over the password and salt, as the archiver hashes them.
Key3 deriveKey3(std::span<const uint8_t> password, std::span<const uint8_t> salt);

// ---- Format 5.0 ---------------------------------------------------------------

constexpr size_t kSalt5Size = 16;
constexpr size_t kCheckValueSize = 8;
constexpr size_t kCheckSumSize = 4;
// PBKDF2 runs 2^Lg2Count rounds; the count comes from the file, so it is
// bounded: 2^24 rounds take a few seconds, and nothing written today uses
// more than 2^15.
constexpr int kMaxLg2Count = 24;

struct Keys5 {
    std::array<uint8_t, 32> aesKey{};
    std::array<uint8_t, 32> hashKey{};
    std::array<uint8_t, kCheckValueSize> checkValue{};
};

// `password` as UTF-8 bytes. False (nothing derived) when lg2Count exceeds kMaxLg2Count.
bool deriveKeys5(std::span<const uint8_t> password, std::span<const uint8_t, kSalt5Size> salt, int lg2Count,
                 Keys5* keys);

// Whether a stored check value is intact: its checksum is the first bytes of
// its SHA-256. A damaged one says nothing about the password.
bool checkValueIntact(std::span<const uint8_t, kCheckValueSize> value,
                      std::span<const uint8_t, kCheckSumSize> checksum);

// The CRC-32 and BLAKE2sp digest as an encrypted file with "tweaked"
// checksums stores them: keyed with the hash key, so that a known plain text
// cannot be confirmed without the password.
uint32_t tweakCrc(std::span<const uint8_t, 32> hashKey, uint32_t crc);
std::array<uint8_t, 32> tweakDigest(std::span<const uint8_t, 32> hashKey, std::span<const uint8_t, 32> digest);

}  // namespace rar_crypto
}  // namespace zorvex
