#include "codecs/crypto/rar_keys.h"

#include <cstring>
#include <vector>

#include "engine/byte_order.h"

extern "C" {
#include "Sha1.h"
#include "Sha256.h"
}

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
void updateAsArchiver(CSha1* sha, std::vector<uint8_t>& data, uint64_t* hashed) {
    const size_t filled = static_cast<size_t>(*hashed % SHA1_BLOCK_SIZE);
    Sha1_Update(sha, data.data(), data.size());
    *hashed += data.size();
    for (size_t at = SHA1_BLOCK_SIZE - filled; at + SHA1_BLOCK_SIZE <= data.size(); at += SHA1_BLOCK_SIZE)
        leaveSchedule(data.data() + at);
}

void prepareHashes() {
    // Picks the code this processor runs, once per process.
    static const bool prepared = (Sha1Prepare(), Sha256Prepare(), true);
    (void)prepared;
}

// HMAC-SHA-256 with the key's inner and outer states computed once.
class HmacSha256 {
public:
    explicit HmacSha256(std::span<const uint8_t> key) {
        uint8_t block[SHA256_BLOCK_SIZE] = {};
        if (key.size() > SHA256_BLOCK_SIZE) {
            CSha256 sha;
            Sha256_Init(&sha);
            Sha256_Update(&sha, key.data(), key.size());
            Sha256_Final(&sha, block);
        } else {
            std::memcpy(block, key.data(), key.size());
        }
        for (uint8_t& b : block) b ^= 0x36;
        Sha256_Init(&inner_);
        Sha256_Update(&inner_, block, sizeof block);
        for (uint8_t& b : block) b ^= 0x36 ^ 0x5C;
        Sha256_Init(&outer_);
        Sha256_Update(&outer_, block, sizeof block);
        std::memset(block, 0, sizeof block);
    }
    ~HmacSha256() {
        std::memset(&inner_, 0, sizeof inner_);
        std::memset(&outer_, 0, sizeof outer_);
    }

    void mac(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize, uint8_t out[SHA256_DIGEST_SIZE]) const {
        CSha256 sha = inner_;
        Sha256_Update(&sha, a, aSize);
        if (bSize) Sha256_Update(&sha, b, bSize);
        Sha256_Final(&sha, out);
        sha = outer_;
        Sha256_Update(&sha, out, SHA256_DIGEST_SIZE);
        Sha256_Final(&sha, out);
    }

private:
    CSha256 inner_, outer_;
};

}  // namespace

Key3 deriveKey3(std::u16string_view password, std::span<const uint8_t> salt) {
    prepareHashes();
    std::vector<uint8_t> raw;
    raw.reserve(password.size() * 2 + salt.size());
    for (char16_t c : password) {
        raw.push_back(static_cast<uint8_t>(c));
        raw.push_back(static_cast<uint8_t>(c >> 8));
    }
    raw.insert(raw.end(), salt.begin(), salt.end());

    Key3 out;
    CSha1 sha;
    Sha1_Init(&sha);
    uint64_t hashed = 0;
    uint8_t digest[SHA1_DIGEST_SIZE];
    for (uint32_t i = 0; i < kRounds3; ++i) {
        updateAsArchiver(&sha, raw, &hashed);
        const uint8_t counter[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                                    static_cast<uint8_t>(i >> 16)};
        Sha1_Update(&sha, counter, sizeof counter);
        hashed += sizeof counter;
        if (i % kIvStep3 == 0) {
            CSha1 sofar = sha;
            Sha1_Final(&sofar, digest);
            out.iv[i / kIvStep3] = digest[SHA1_DIGEST_SIZE - 1];
        }
    }
    Sha1_Final(&sha, digest);
    // The first four words of the digest, each byte-reversed.
    for (size_t i = 0; i < out.key.size(); ++i) out.key[i] = digest[(i & ~size_t{3}) + 3 - (i & 3)];
    std::memset(digest, 0, sizeof digest);
    std::memset(raw.data(), 0, raw.size());
    std::memset(&sha, 0, sizeof sha);
    return out;
}

bool deriveKeys5(std::string_view password, std::span<const uint8_t, kSalt5Size> salt, int lg2Count, Keys5* keys) {
    if (lg2Count < 0 || lg2Count > kMaxLg2Count) return false;
    prepareHashes();
    const HmacSha256 hmac({reinterpret_cast<const uint8_t*>(password.data()), password.size()});
    // One PBKDF2 chain (a single output block) gives all three values: its
    // running xor after n, n + 16 and n + 32 rounds.
    const uint32_t n = uint32_t{1} << lg2Count;
    const uint8_t blockIndex[4] = {0, 0, 0, 1};
    uint8_t u[SHA256_DIGEST_SIZE], sum[SHA256_DIGEST_SIZE];
    hmac.mac(salt.data(), salt.size(), blockIndex, sizeof blockIndex, u);
    std::memcpy(sum, u, sizeof sum);
    for (uint32_t round = 1;; ++round) {
        if (round == n) std::memcpy(keys->aesKey.data(), sum, sizeof sum);
        if (round == n + 16) std::memcpy(keys->hashKey.data(), sum, sizeof sum);
        if (round == n + 32) break;
        hmac.mac(u, sizeof u, nullptr, 0, u);
        for (size_t i = 0; i < sizeof sum; ++i) sum[i] ^= u[i];
    }
    keys->checkValue.fill(0);
    for (size_t i = 0; i < sizeof sum; ++i) keys->checkValue[i % kCheckValueSize] ^= sum[i];
    std::memset(u, 0, sizeof u);
    std::memset(sum, 0, sizeof sum);
    return true;
}

bool checkValueIntact(std::span<const uint8_t, kCheckValueSize> value,
                      std::span<const uint8_t, kCheckSumSize> checksum) {
    prepareHashes();
    CSha256 sha;
    Sha256_Init(&sha);
    Sha256_Update(&sha, value.data(), value.size());
    uint8_t digest[SHA256_DIGEST_SIZE];
    Sha256_Final(&sha, digest);
    return std::memcmp(digest, checksum.data(), checksum.size()) == 0;
}

uint32_t tweakCrc(std::span<const uint8_t, 32> hashKey, uint32_t crc) {
    prepareHashes();
    const uint8_t plain[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                              static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    uint8_t mac[SHA256_DIGEST_SIZE];
    HmacSha256(hashKey).mac(plain, sizeof plain, nullptr, 0, mac);
    uint32_t folded = 0;
    for (size_t i = 0; i < sizeof mac; i += 4) folded ^= le32(mac + i);
    return folded;
}

std::array<uint8_t, 32> tweakDigest(std::span<const uint8_t, 32> hashKey, std::span<const uint8_t, 32> digest) {
    prepareHashes();
    std::array<uint8_t, 32> out;
    HmacSha256(hashKey).mac(digest.data(), digest.size(), nullptr, 0, out.data());
    return out;
}

}  // namespace rar_crypto
}  // namespace zorvex
