// UTF-8 <-> UTF-16 shared by the conversions and the native path forms.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zorvex::posix {

// Strict decoding rejects malformed input. Lenient decoding (for file names
// from the system, which need not be UTF-8) keeps each invalid byte as a lone
// surrogate U+DC80..U+DCFF, which encodeUtf8 turns back into that byte.
std::optional<std::u16string> decodeUtf8(std::string_view text, bool lenient);
// Lone surrogates other than those escapes become U+FFFD.
std::string encodeUtf8(std::u16string_view text, bool restoreEscapes);

}  // namespace zorvex::posix
