// AES (the LZMA SDK's, with AES-NI where the CPU has it) in the two modes
// archives use: CBC decryption and counter mode with a little-endian counter
// that starts at 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <Aes.h>

namespace zorvex::crypto {

class Aes {
public:
    static constexpr size_t kBlockSize = AES_BLOCK_SIZE;

    Aes();
    ~Aes();  // zeroes the key schedule

    // `key` is 16, 24 or 32 bytes; `iv` 16 bytes. False for another key size.
    bool startCbcDecryption(std::span<const uint8_t> key, const uint8_t* iv);
    // Counter mode: the first block's counter is 1, written little-endian in 16 bytes.
    bool startCounterMode(std::span<const uint8_t> key);

    // Where the next block starts: CBC, the previous ciphertext block (the IV
    // for the first); counter mode, the number of blocks before it.
    void setIv(const uint8_t* iv);
    void setCounter(uint64_t blocksBefore);

    // Decrypts (CBC) or xors with the key stream (counter mode) `blocks`
    // whole blocks in place; `data` must be 16-byte aligned.
    void process(uint8_t* data, size_t blocks);

private:
    bool setKey(std::span<const uint8_t> key, AES_SET_KEY_FUNC setKey);

    alignas(16) UInt32 state_[AES_NUM_IVMRK_WORDS];  // IV or counter, key mode, round keys
    AES_CODE_FUNC code_ = nullptr;
};

}  // namespace zorvex::crypto
