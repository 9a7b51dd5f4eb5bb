#include "formats/entry_name.h"

#include "engine/format_registry.h"
#include "engine/stream.h"

namespace zorvex {

std::u16string singleEntryName(InStream* stream, std::initializer_list<SuffixRule> rules,
                               const char16_t* fallback) {
    std::u16string name = stream->name();
    if (size_t cut = name.rfind(u'\\'); cut != std::u16string::npos) name.erase(0, cut + 1);
    if (name.empty()) return fallback;
    for (const SuffixRule& rule : rules) {
        if (endsWithExtension(name.c_str(), rule.suffix)) {
            name.resize(name.size() - std::char_traits<char16_t>::length(rule.suffix));
            return name + rule.replacement;
        }
    }
    return name + u".out";
}

}  // namespace zorvex
