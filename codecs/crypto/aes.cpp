#include "codecs/crypto/aes.h"

#include <cstring>

#include "codecs/crypto/secret.h"

namespace zorvex::crypto {

Aes::Aes() {
    static const bool prepared = (AesGenTables(), true);
    (void)prepared;
    std::memset(state_, 0, sizeof state_);
}

Aes::~Aes() { secureZero(state_, sizeof state_); }

bool Aes::setKey(std::span<const uint8_t> key, AES_SET_KEY_FUNC setKey) {
    if (key.size() != 16 && key.size() != 24 && key.size() != 32) return false;
    setKey(state_ + 4, key.data(), static_cast<unsigned>(key.size()));
    return true;
}

bool Aes::startCbcDecryption(std::span<const uint8_t> key, const uint8_t* iv) {
    if (!setKey(key, Aes_SetKey_Dec)) return false;
    AesCbc_Init(state_, iv);
    code_ = g_AesCbc_Decode;
    return true;
}

bool Aes::startCounterMode(std::span<const uint8_t> key) {
    if (!setKey(key, Aes_SetKey_Enc)) return false;
    // The SDK raises the counter before it encrypts it: from 0, block 1 gets 1.
    std::memset(state_, 0, 16);
    code_ = g_AesCtr_Code;
    return true;
}

void Aes::setIv(const uint8_t* iv) { AesCbc_Init(state_, iv); }

void Aes::setCounter(uint64_t blocksBefore) {
    state_[0] = static_cast<UInt32>(blocksBefore);
    state_[1] = static_cast<UInt32>(blocksBefore >> 32);
    state_[2] = state_[3] = 0;
}

void Aes::process(uint8_t* data, size_t blocks) {
    if (blocks) code_(state_, data, blocks);
}

}  // namespace zorvex::crypto
