#include "codecs/crypto/rar_keys.h"

#include <cstring>
#include <vector>

#include "codecs/crypto/hash.h"
#include "codecs/crypto/secret.h"
#include "engine/byte_order.h"

namespace zorvex {
namespace rar_crypto {
namespace {

constexpr uint32_t kRounds3 = 0x40000;
constexpr uint32_t kIvStep3 = kRounds3 / 16;

// The archiver's SHA-1 hashes whole blocks straight from the caller's buffer
// and leaves its message schedule there: after hashing such a block, its 64
// bytes hold W[64..79] as little-endian words, and later rounds hash those
// bytes instead of the password. Reproduced here, since archives made with
// long passwords depend on it.
void leaveSchedule(uint8_t* block) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = be32(block + 4 * t);
    for (int t = 16; t < 80; ++t) {
        uint32_t x = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
        w[t] = x << 1 | x >> 31;
    }
    for (int k = 0; k < 16; ++k) {
        uint32_t v = w[64 + k];
        block[4 * k] = static_cast<uint8_t>(v);
        block[4 * k + 1] = static_cast<uint8_t>(v >> 8);
        block[4 * k + 2] = static_cast<uint8_t>(v >> 16);
        block[4 * k + 3] = static_cast<uint8_t>(v >> 24);
    }
}

// Hashes `data` as the archiver does, `hashed` being the byte count so far.
// Its hash tops up the buffered partial block first, then takes whole
// blocks directly from `data`: those are the ones overwritten.
void updateAsArchiver(crypto::Sha1* sha, std::vector<uint8_t>& data, uint64_t* hashed) {
    constexpr size_t kBlock = crypto::Sha1::kBlockSize;
    const size_t filled = static_cast<size_t>(*hashed % kBlock);
    sha->update(data.data(), data.size());
    *hashed += data.size();
    for (size_t at = kBlock - filled; at + kBlock <= data.size(); at += kBlock) leaveSchedule(data.data() + at);
}

// One HMAC-SHA-256 of `a` and `b` under the keyed states of `hmac`.
void mac(crypto::HmacSha256& hmac, const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize, uint8_t* out) {
    hmac.update(a, aSize);
    if (bSize) hmac.update(b, bSize);
    hmac.final(out);
}

}  // namespace

Key3 deriveKey3(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
    std::vector<uint8_t> raw(password.begin(), password.end());
    raw.insert(raw.end(), salt.begin(), salt.end());

    Key3 out;
    crypto::Sha1 sha;
    uint64_t hashed = 0;
    uint8_t digest[crypto::Sha1::kDigestSize];
    for (uint32_t i = 0; i < kRounds3; ++i) {
        updateAsArchiver(&sha, raw, &hashed);
        const uint8_t counter[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                                    static_cast<uint8_t>(i >> 16)};
        sha.update(counter, sizeof counter);
        hashed += sizeof counter;
        if (i % kIvStep3 == 0) {
            crypto::Sha1 sofar = sha;
            sofar.final(digest);
            out.iv[i / kIvStep3] = digest[sizeof digest - 1];
        }
    }
    sha.final(digest);
    // The first four words of the digest, each byte-reversed.
    for (size_t i = 0; i < out.key.size(); ++i) out.key[i] = digest[(i & ~size_t{3}) + 3 - (i & 3)];
    crypto::secureZero(digest, sizeof digest);
    crypto::secureZero(raw.data(), raw.size());
    return out;
}

bool deriveKeys5(std::span<const uint8_t> password, std::span<const uint8_t, kSalt5Size> salt, int lg2Count,
                 Keys5* keys) {
    if (lg2Count < 0 || lg2Count > kMaxLg2Count) return false;
    crypto::HmacSha256 hmac(password);
    // One PBKDF2 chain (a single output block) gives all three values: its
    // running xor after n, n + 16 and n + 32 rounds.
    const uint32_t n = uint32_t{1} << lg2Count;
    const uint8_t blockIndex[4] = {0, 0, 0, 1};
    uint8_t u[crypto::HmacSha256::kDigestSize], sum[sizeof u];
    mac(hmac, salt.data(), salt.size(), blockIndex, sizeof blockIndex, u);
    std::memcpy(sum, u, sizeof sum);
    for (uint32_t round = 1;; ++round) {
        if (round == n) std::memcpy(keys->aesKey.data(), sum, sizeof sum);
        if (round == n + 16) std::memcpy(keys->hashKey.data(), sum, sizeof sum);
        if (round == n + 32) break;
        mac(hmac, u, sizeof u, nullptr, 0, u);
        for (size_t i = 0; i < sizeof sum; ++i) sum[i] ^= u[i];
    }
    keys->checkValue.fill(0);
    for (size_t i = 0; i < sizeof sum; ++i) keys->checkValue[i % kCheckValueSize] ^= sum[i];
    crypto::secureZero(u, sizeof u);
    crypto::secureZero(sum, sizeof sum);
    return true;
}

bool checkValueIntact(std::span<const uint8_t, kCheckValueSize> value,
                      std::span<const uint8_t, kCheckSumSize> checksum) {
    crypto::Sha256 sha;
    sha.update(value.data(), value.size());
    uint8_t digest[crypto::Sha256::kDigestSize];
    sha.final(digest);
    return crypto::constantTimeEqual(digest, checksum.data(), checksum.size());
}

uint32_t tweakCrc(std::span<const uint8_t, 32> hashKey, uint32_t crc) {
    const uint8_t plain[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                              static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    crypto::HmacSha256 hmac(hashKey);
    uint8_t digest[crypto::HmacSha256::kDigestSize];
    mac(hmac, plain, sizeof plain, nullptr, 0, digest);
    uint32_t folded = 0;
    for (size_t i = 0; i < sizeof digest; i += 4) folded ^= le32(digest + i);
    return folded;
}

std::array<uint8_t, 32> tweakDigest(std::span<const uint8_t, 32> hashKey, std::span<const uint8_t, 32> digest) {
    crypto::HmacSha256 hmac(hashKey);
    std::array<uint8_t, 32> out;
    mac(hmac, digest.data(), digest.size(), nullptr, 0, out.data());
    return out;
}

}  // namespace rar_crypto
}  // namespace zorvex
