// Encrypted zip entries: traditional encryption and AES (AE-1, AE-2). The
// zip reader describes such an entry in its property bytes; the
// "zip-encrypted" codec checks the password, decrypts the data and hands it
// to the entry's own method.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/codec.h"

namespace zorvex {

struct ZipEncryption {
    enum Scheme : uint8_t { kTraditional = 1, kAes = 2 };
    Scheme scheme = kTraditional;
    // Traditional: what the last byte of the 12-byte encryption header must
    // be (the CRC's high byte, or the time's with a data descriptor).
    uint8_t check = 0;
    uint8_t strength = 0;     // AES: 1, 2, 3 for 128, 192, 256-bit keys
    std::u16string method;    // the codec of the decrypted data
    uint8_t headerBytes = 0;  // leading decrypted bytes that belong to the method (zip's lzma: 9)
    uint8_t propertyBytes = 0;       // the last of them: the codec's properties
    std::vector<uint8_t> properties;  // the codec's properties when the headers give them
};

std::vector<uint8_t> encodeZipEncryption(const ZipEncryption& encryption);
std::optional<ZipEncryption> decodeZipEncryption(std::span<const uint8_t> bytes);

// Salt bytes in front of an AES entry's data for strength 1..3; 0 for another.
int zipAesSaltSize(uint8_t strength);

InStream* makeZipEncryptedStream(const CodecRequest& request);

}  // namespace zorvex
