// Key derivations and ciphers against published vectors and the ones the
// encrypted archives here were checked with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codecs/crypto/aes.h"
#include "codecs/crypto/hash.h"
#include "codecs/crypto/secret.h"
#include "engine/password.h"

namespace zorvex {
namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> fromHex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string toHex(std::span<const uint8_t> data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

struct KdfCase {
    bool sha256;
    std::string_view password, salt;
    uint32_t iterations;
    std::string_view key;  // hex
};

TEST(Crypto, Pbkdf2Vectors) {
    using namespace std::string_view_literals;
    const KdfCase cases[] = {
        // RFC 6070
        {false, "password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {false, "password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {false, "password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {false, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {false, "pass\0word"sv, "sa\0lt"sv, 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
        // RFC 7914, two blocks
        {true, "passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {true, "password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    };
    for (const KdfCase& c : cases) {
        std::vector<uint8_t> key(c.key.size() / 2);
        auto password = bytes(c.password), salt = bytes(c.salt);
        if (c.sha256) crypto::pbkdf2HmacSha256(password, salt, c.iterations, key);
        else crypto::pbkdf2HmacSha1(password, salt, c.iterations, key);
        EXPECT_EQ(toHex(key), c.key) << c.password << " " << c.iterations;
    }
}

// A zip AES-256 entry: the key, MAC key and verifier come from one PBKDF2
// output; its first counter block and its MAC decide the rest.
TEST(Crypto, ZipAesVectorDecrypts) {
    std::vector<uint8_t> derived(66);
    crypto::pbkdf2HmacSha1(bytes("password"), fromHex("26d6d9bd3f671051d60d6c4529151012"), 1000, derived);
    EXPECT_EQ(toHex(std::span(derived).subspan(0, 32)),
              "c6c7d1eb9035a498f34cfb517daeff2c9eeef9bf01b338c718c67ceb3e017625");
    EXPECT_EQ(toHex(std::span(derived).subspan(64, 2)), "57f3");

    crypto::Aes aes;
    ASSERT_TRUE(aes.startCounterMode(std::span(derived).subspan(0, 32)));
    alignas(16) uint8_t block[16] = {};
    std::vector<uint8_t> cipher = fromHex("8af8e0cea582d9e91a85349cff");
    std::memcpy(block, cipher.data(), cipher.size());
    aes.process(block, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), cipher.size()), "hello, world\n");

    crypto::HmacSha1 mac{std::span(derived).subspan(32, 32)};
    mac.update(cipher.data(), cipher.size());
    uint8_t code[20];
    mac.final(code);
    EXPECT_EQ(toHex(std::span(code, 10)), "e795a69e0b9a6d8c3e39");
}

TEST(Crypto, PasswordEncodings) {
    // 密码🔑pässwörd€
    Password password = {0x5BC6, 0x7801, 0xD83D, 0xDD11, u'p', 0xE4, u's', 0x20AC};
    EXPECT_EQ(toHex(passwordUtf16le(password)), "c65b01783dd811dd7000e4007300ac20");
    EXPECT_EQ(toHex(passwordUtf8(password)), "e5af86e7a081f09f9491" "70c3a473e282ac");
}

TEST(Crypto, ConstantTimeEqual) {
    const uint8_t a[] = {1, 2, 3, 4}, b[] = {1, 2, 3, 5};
    EXPECT_TRUE(crypto::constantTimeEqual(a, a, 4));
    EXPECT_FALSE(crypto::constantTimeEqual(a, b, 4));
    EXPECT_TRUE(crypto::constantTimeEqual(a, b, 3));
}

}  // namespace
}  // namespace zorvex
