// SHA-1 and SHA-256 (the LZMA SDK's, with the CPU's instructions where it has
// them), HMAC over either, and PBKDF2 over either HMAC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <Sha1.h>
#include <Sha256.h>

namespace zorvex::crypto {

class Sha1 {
public:
    static constexpr size_t kDigestSize = SHA1_DIGEST_SIZE;
    static constexpr size_t kBlockSize = SHA1_BLOCK_SIZE;
    Sha1();
    ~Sha1();
    void update(const void* data, size_t size);
    void final(uint8_t* digest);  // kDigestSize bytes; the state starts over

private:
    CSha1 state_;
};

class Sha256 {
public:
    static constexpr size_t kDigestSize = SHA256_DIGEST_SIZE;
    static constexpr size_t kBlockSize = SHA256_BLOCK_SIZE;
    Sha256();
    ~Sha256();
    void update(const void* data, size_t size);
    void final(uint8_t* digest);

private:
    CSha256 state_;
};

// HMAC (RFC 2104). The keyed inner and outer states are kept, so that one
// object computes many MACs under the same key (as PBKDF2 does) without
// hashing the key again.
template <class Hash>
class Hmac {
public:
    static constexpr size_t kDigestSize = Hash::kDigestSize;
    explicit Hmac(std::span<const uint8_t> key);
    void update(const void* data, size_t size) { running_.update(data, size); }
    // The MAC of everything updated since construction or the last final.
    void final(uint8_t* mac);

private:
    Hash inner_, outer_, running_;
};

using HmacSha1 = Hmac<Sha1>;
using HmacSha256 = Hmac<Sha256>;

// PBKDF2 (RFC 8018) of `password` and `salt` with `iterations` rounds, filling `key`.
void pbkdf2HmacSha1(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
                    std::span<uint8_t> key);
void pbkdf2HmacSha256(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
                      std::span<uint8_t> key);

}  // namespace zorvex::crypto
