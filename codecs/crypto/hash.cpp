#include "codecs/crypto/hash.h"

#include <algorithm>
#include <cstring>

#include "codecs/crypto/secret.h"

namespace zorvex::crypto {
namespace {

// The SDK picks its hardware code once per process.
void prepareHashes() {
    static const bool prepared = (Sha1Prepare(), Sha256Prepare(), true);
    (void)prepared;
}

}  // namespace

Sha1::Sha1() {
    prepareHashes();
    Sha1_Init(&state_);
}
Sha1::~Sha1() { secureZero(&state_, sizeof state_); }
void Sha1::update(const void* data, size_t size) { Sha1_Update(&state_, static_cast<const Byte*>(data), size); }
void Sha1::final(uint8_t* digest) { Sha1_Final(&state_, digest); }

Sha256::Sha256() {
    prepareHashes();
    Sha256_Init(&state_);
}
Sha256::~Sha256() { secureZero(&state_, sizeof state_); }
void Sha256::update(const void* data, size_t size) { Sha256_Update(&state_, static_cast<const Byte*>(data), size); }
void Sha256::final(uint8_t* digest) { Sha256_Final(&state_, digest); }

template <class Hash>
Hmac<Hash>::Hmac(std::span<const uint8_t> key) {
    uint8_t block[Hash::kBlockSize] = {};
    if (key.size() > Hash::kBlockSize) {
        Hash shortened;
        shortened.update(key.data(), key.size());
        shortened.final(block);
    } else {
        std::copy(key.begin(), key.end(), block);
    }
    for (uint8_t& b : block) b ^= 0x36;
    inner_.update(block, sizeof block);
    for (uint8_t& b : block) b ^= 0x36 ^ 0x5C;
    outer_.update(block, sizeof block);
    secureZero(block, sizeof block);
    running_ = inner_;
}

template <class Hash>
void Hmac<Hash>::final(uint8_t* mac) {
    uint8_t innerDigest[kDigestSize];
    running_.final(innerDigest);
    Hash outer = outer_;
    outer.update(innerDigest, sizeof innerDigest);
    outer.final(mac);
    secureZero(innerDigest, sizeof innerDigest);
    running_ = inner_;
}

template class Hmac<Sha1>;
template class Hmac<Sha256>;

namespace {

template <class Hash>
void pbkdf2(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
            std::span<uint8_t> key) {
    constexpr size_t kSize = Hash::kDigestSize;
    Hmac<Hash> prf(password);
    uint8_t u[kSize], sum[kSize];
    for (uint32_t block = 1; !key.empty(); ++block) {
        const uint8_t index[4] = {uint8_t(block >> 24), uint8_t(block >> 16), uint8_t(block >> 8), uint8_t(block)};
        prf.update(salt.data(), salt.size());
        prf.update(index, sizeof index);
        prf.final(u);
        std::memcpy(sum, u, kSize);
        for (uint32_t i = 1; i < iterations; ++i) {
            prf.update(u, kSize);
            prf.final(u);
            for (size_t k = 0; k < kSize; ++k) sum[k] ^= u[k];
        }
        size_t take = std::min(kSize, key.size());
        std::memcpy(key.data(), sum, take);
        key = key.subspan(take);
    }
    secureZero(u, kSize);
    secureZero(sum, kSize);
}

}  // namespace

void pbkdf2HmacSha1(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
                    std::span<uint8_t> key) {
    pbkdf2<Sha1>(password, salt, iterations, key);
}

void pbkdf2HmacSha256(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
                      std::span<uint8_t> key) {
    pbkdf2<Sha256>(password, salt, iterations, key);
}

}  // namespace zorvex::crypto
