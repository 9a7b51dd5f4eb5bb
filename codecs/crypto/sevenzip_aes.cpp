#include "codecs/crypto/sevenzip_aes.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <new>
#include <vector>

#include "codecs/crypto/aes.h"
#include "codecs/crypto/cipher_stream.h"
#include "codecs/crypto/hash.h"
#include "codecs/crypto/secret.h"
#include "engine/password.h"
#include "engine/pipeline.h"

namespace zorvex {
namespace {

using crypto::SecretBytes;

constexpr int kKeySize = 32;
// 0x3F: the key is the salt and password themselves, unhashed.
constexpr int kUnhashed = 0x3F;

struct AesProperties {
    int cyclesPower = 0;
    std::vector<uint8_t> salt;
    uint8_t iv[16] = {};
};

std::optional<AesProperties> parseProperties(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    AesProperties p;
    p.cyclesPower = bytes[0] & 0x3F;
    if ((bytes[0] & 0xC0) == 0) return bytes.size() == 1 ? std::optional(p) : std::nullopt;
    if (bytes.size() < 2) return std::nullopt;
    size_t saltSize = (bytes[0] >> 7 & 1) + (bytes[1] >> 4);
    size_t ivSize = (bytes[0] >> 6 & 1) + (bytes[1] & 0x0F);
    if (bytes.size() != 2 + saltSize + ivSize) return std::nullopt;
    p.salt.assign(bytes.begin() + 2, bytes.begin() + 2 + saltSize);
    std::copy_n(bytes.begin() + 2 + saltSize, ivSize, p.iv);
    return p;
}

SecretBytes deriveKey(const SecretBytes& password, const AesProperties& p) {
    SecretBytes key(kKeySize);
    if (p.cyclesPower == kUnhashed) {
        SecretBytes joined(p.salt.begin(), p.salt.end());
        joined.insert(joined.end(), password.begin(), password.end());
        std::copy_n(joined.begin(), std::min<size_t>(joined.size(), kKeySize), key.begin());
        return key;
    }
    // Each round hashes salt, password and an 8-byte counter; done in one
    // buffer of many rounds, the hash sees long updates.
    const size_t round = p.salt.size() + password.size() + 8;
    constexpr size_t kRoundsPerUpdate = 64;
    SecretBytes rounds(round * kRoundsPerUpdate);
    for (size_t r = 0; r < kRoundsPerUpdate; ++r) {
        std::copy(p.salt.begin(), p.salt.end(), rounds.begin() + r * round);
        std::copy(password.begin(), password.end(), rounds.begin() + r * round + p.salt.size());
    }
    crypto::Sha256 sha;
    const uint64_t total = uint64_t{1} << p.cyclesPower;
    for (uint64_t done = 0; done < total;) {
        size_t batch = size_t(std::min<uint64_t>(kRoundsPerUpdate, total - done));
        for (size_t r = 0; r < batch; ++r) {
            uint64_t counter = done + r;
            uint8_t* at = rounds.data() + r * round + round - 8;
            for (int b = 0; b < 8; ++b) at[b] = uint8_t(counter >> (8 * b));
        }
        sha.update(rounds.data(), batch * round);
        done += batch;
    }
    sha.final(key.data());
    return key;
}

class SevenZipAesStream final : public crypto::CipherStream {
public:
    SevenZipAesStream(const CodecRequest& request, const SecretBytes& key, const uint8_t* iv)
        : CipherStream(request, request.offset, request.packedSize,
                       request.unpackedSize >= 0 ? request.unpackedSize : request.packedSize) {
        std::copy_n(iv, 16, iv_);
        aes_.startCbcDecryption(key, iv_);
    }

private:
    // CBC starts anywhere: the block before is the IV.
    bool restart(int64_t position) override {
        if (position == 0) {
            aes_.setIv(iv_);
            return true;
        }
        uint8_t previous[16];
        if (!source()->seek(packedStart() + position - 16) || !readExact(source(), previous, 16)) return false;
        aes_.setIv(previous);
        return true;
    }
    void decipher(uint8_t* data, size_t size) override { aes_.process(data, size / crypto::Aes::kBlockSize); }

    crypto::Aes aes_;
    uint8_t iv_[16];
};

}  // namespace

InStream* makeSevenZipAesStream(const CodecRequest& request) {
    std::optional<AesProperties> properties = parseProperties(request.properties);
    if (!properties || request.packedSize < 0) return nullptr;
    if (properties->cyclesPower > kMaxSevenZipCyclesPower && properties->cyclesPower != kUnhashed)
        return failedStream(request,
                            Status::unsupportedEncryption("key derivation asks for more than 2^24 rounds; refused"));
    // The packed stream is whole AES blocks.
    if (request.packedSize % 16 != 0) return failedStream(request, Status::corrupt());
    if (!request.password || !request.password->get()) return failedStream(request, Status::encrypted());
    // All folders of an archive usually share salt and cost: the key is derived once.
    std::vector<uint8_t> recipe = {'7', 'z', uint8_t(properties->cyclesPower)};
    recipe.insert(recipe.end(), properties->salt.begin(), properties->salt.end());
    SecretBytes key = request.password->derivedKey(
        recipe, [&](const Password& password) { return deriveKey(passwordUtf16le(password), *properties); });
    return new (std::nothrow) SevenZipAesStream(request, key, properties->iv);
}

}  // namespace zorvex
