// Name comparison for entry lookups and listings, and the stem of a name.
#pragma once

#include <string>
#include <string_view>

namespace zorvex {

// Natural order: digit runs compare as numbers, letters without case; ties by
// case-insensitive order, then by exact code units, so that only equal names
// compare equal and names that differ only in case keep a stable order.
// Negative, zero or positive.
int naturalCompare(std::u16string_view a, std::u16string_view b);
// The same order without the last tie: names that differ only in case compare
// equal (and sit next to each other in natural order).
int naturalCompareNoCase(std::u16string_view a, std::u16string_view b);
// Case-insensitive ordinal comparison and folding, as used for entry names.
int compareNoCase(std::u16string_view a, std::u16string_view b);
char16_t foldCase(char16_t c);
std::u16string foldCase(std::u16string_view s);
// The last component of a "\\"-separated full name without its extension
// ("photos" for "C:\\x\\photos.zip").
std::u16string stemOf(std::u16string_view fullName);

// Whether the older versions of a file that an archiver keeps beside the
// current one (RAR 5.0 file versions) are listed, as "name;N". Off: only
// the current version stands under its name. One setting for the process,
// made before archives are opened.
void setOlderVersionsListed(bool listed);
bool olderVersionsListed();

}  // namespace zorvex
