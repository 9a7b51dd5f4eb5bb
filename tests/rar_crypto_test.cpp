// The "rar" key derivations and checksum tweaks against known values taken
// from real archives (and the long-password path, which no archive here uses).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/crypto/rar_keys.h"
#include "engine/checked_stream.h"

namespace zorvex {
namespace {

using namespace rar_crypto;

std::vector<uint8_t> unhex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

template <size_t N>
std::string hex(const std::array<uint8_t, N>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

TEST(RarKeys, Format3KeyAndIv) {
    struct Case {
        std::u16string password;
        const char* salt;
        const char* key;
        const char* iv;
    };
    const Case cases[] = {
        {u"test", "1a4b02cad2825f8c", "90043dd28234dc8567cec732f5ef1b32", "e365ec02876e5b2fd721380004fea4c3"},
        {u"password", "aa52eb68e74c03dd", "0ff276a3deefc134a3f669393c507a52", "09dd39f4b27e1d784a94526099c986b4"},
        {u"unrar", "8904ba8c93064322", "3132ef67ffdf01d47c8ca41ab9712a9e", "44ead3116c7a3726e9ca4e6fe562df32"},
        {u"password", "0001020304050607", "20f3fb49c2976b56cf873c55fbf242ed", "04c8774671e283d90519dca70a85fb65"},
        // Long enough that whole blocks are hashed from the password itself.
        {std::u16string(40, u'x'), "0001020304050607", "548d90a03d1323e2dbb745ea3cb7edd8",
         "6cd51fd9a536aebc2b6749963f02c501"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> password;
        for (char16_t unit : c.password) password.insert(password.end(), {uint8_t(unit), uint8_t(unit >> 8)});
        Key3 key = deriveKey3(password, unhex(c.salt));
        EXPECT_EQ(hex(key.key), c.key) << c.salt;
        EXPECT_EQ(hex(key.iv), c.iv) << c.salt;
    }
}

TEST(RarKeys, Format5KeysAndCheckValue) {
    struct Case {
        std::string password;
        const char* salt;
        const char* aesKey;
        const char* hashKey;  // null: not given
        const char* check;
        const char* checksum;
    };
    const Case cases[] = {
        {"password", "7e982cdd1ae21c36c7a391da8d088a68",
         "be931a62d2708cb9781b4fcb7ceeca45316a9b12318d52cca4e372bfaee212a7",
         "29adb79ce960adb7ceb0741e61ad78dcb2a77ab1027fb6e414294a8fc4146f7a", "8151cff63649c16e", "186a220f"},
        {"utf\xF0\x9F\x8E\xB1", "8051790400c63e78a1d4f780281c74c8",
         "741deee199a7308b3efa22e4394e1658bc51b7e39819902a69554564316a4c68",
         "559aff4dafb628f2cf0acee7e9e0526d9391b580c276cba14d24cbc2ffb8c377", "10271167290b9474", "68307ffc"},
        {"password", "6069363a0a3be91b9556e8f0c96f70de",
         "3b3c3f77964bd28f1920031561b17963f6e031b75311bd2a65aa3c5e46142245", nullptr, "5954f88a85edea85",
         "bb951df1"},
        {"password", "000102030405060708090a0b0c0d0e0f",
         "345bf51b5fe7f1716cfac8af9de4f57d7ceba914be4ebc8a6afbfe88678a10e8", nullptr, "04442c9e2f50b54b",
         "68c7ecc1"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> salt = unhex(c.salt);
        Keys5 keys;
        std::span<const uint8_t> password(reinterpret_cast<const uint8_t*>(c.password.data()), c.password.size());
        ASSERT_TRUE(deriveKeys5(password, std::span<const uint8_t, kSalt5Size>(salt.data(), kSalt5Size), 15, &keys));
        EXPECT_EQ(hex(keys.aesKey), c.aesKey) << c.salt;
        if (c.hashKey) EXPECT_EQ(hex(keys.hashKey), c.hashKey) << c.salt;
        EXPECT_EQ(hex(keys.checkValue), c.check) << c.salt;
        std::vector<uint8_t> checksum = unhex(c.checksum);
        EXPECT_TRUE(checkValueIntact(keys.checkValue, std::span<const uint8_t, kCheckSumSize>(checksum.data(), 4)));
        checksum[3] ^= 1;
        EXPECT_FALSE(checkValueIntact(keys.checkValue, std::span<const uint8_t, kCheckSumSize>(checksum.data(), 4)));
    }
}

TEST(RarKeys, Format5RefusesCostsAboveTheBound) {
    const std::array<uint8_t, kSalt5Size> salt{};
    Keys5 keys;
    const uint8_t password[] = {'p', 'w'};
    EXPECT_FALSE(deriveKeys5(password, salt, kMaxLg2Count + 1, &keys));
    EXPECT_FALSE(deriveKeys5(password, salt, 63, &keys));
    EXPECT_TRUE(deriveKeys5(password, salt, 0, &keys));
}

TEST(RarKeys, TweakedChecksums) {
    std::vector<uint8_t> hashKey = unhex("29adb79ce960adb7ceb0741e61ad78dcb2a77ab1027fb6e414294a8fc4146f7a");
    std::span<const uint8_t, 32> key(hashKey.data(), 32);
    EXPECT_EQ(tweakCrc(key, 0xc5b7e6a2), 0xba28eeeau);
}

// Format 5.0 files may store a BLAKE2sp digest in place of a CRC-32.
TEST(RarKeys, Blake2spKnownAnswers) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "dd0e891776933f43c7d032b08a917e25741f8aa9a12c12e1cac8801500f2ca4f"},
        {"abc", "70f75b58f1fecab821db43c88ad84edde5a52600616cd22517b7bb14d440a7d5"},
        {"Hello", "0d6bae0db99f99183d060f7994bb94b45c6490b2a0a628b8b1346ebea8ec1d66"},
    };
    for (const auto& [text, digest] : cases) {
        EntryChecks stored;
        stored.blake2sp.emplace();
        std::vector<uint8_t> bytes = unhex(digest);
        std::copy(bytes.begin(), bytes.end(), stored.blake2sp->begin());
        DataCheck check(stored);
        check.update(text.data(), text.size());
        EXPECT_TRUE(check.blake2spMatches()) << text;
    }
}

}  // namespace
}  // namespace zorvex
