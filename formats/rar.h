// The "rar" archive reader (formats 1.5-4.x and 5.0, with volumes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvex {

class Archive;
class InStream;
enum class Bid;
struct ProbeInput;

Archive* openRar(const char16_t* name, Archive* container, InStream* stream);
Bid probeRar(const ProbeInput& input);

// The name of volume `index` (0 = the first) of the set `name` belongs to:
// old numbering replaces the extension (x.rar, x.r00, x.r01, ...), new
// numbering the digit run between the last two dots at its own width
// (x.part01.rar, x.part02.rar). Nullopt when the name has no such place or
// the number does not fit.
std::optional<std::u16string> rarVolumeName(std::u16string_view name, bool newNumbering, uint64_t index);

// The dictionary size a format 5.0 file's compression information gives:
// 128 KiB shifted by the exponent in bits 10-13.
uint64_t rar5DictionarySize(uint64_t compressionInfo);

// A format 1.5-4.x Unicode name stored as a compact encoding against its
// plain (single-byte) form.
std::u16string decodeRarUnicodeName(const uint8_t* plain, size_t plainSize, const uint8_t* encoded,
                                    size_t encodedSize);

}  // namespace zorvex
