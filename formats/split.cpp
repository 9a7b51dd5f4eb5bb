#include "formats/split.h"

#include <cstdio>
#include <new>
#include <string>

#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/format_registry.h"
#include "engine/stream.h"

namespace zorvex {

Archive* openSplit(const char16_t* name, Archive* container, InStream* stream) {
    constexpr std::u16string_view kFirst = u".001";
    std::u16string_view full = name ? name : u"";
    if (full.size() <= kFirst.size() || !full.ends_with(kFirst)) return nullptr;  // case matters here

    Ref<ConcatStream> joined(new (std::nothrow) ConcatStream(stream->name(), nullptr, stream->tag()));
    if (!joined) return nullptr;
    Archive* archive = newArchive(name, container, joined.get());
    if (!archive) return nullptr;

    size_t slash = full.rfind(u'\\');
    std::u16string piece(slash == std::u16string_view::npos ? full : full.substr(slash + 1));
    if (piece.size() <= kFirst.size()) {
        archive->release();
        return nullptr;
    }
    joined->appendPart(stream, 0, stream->size());
    std::u16string base = piece.substr(0, piece.size() - kFirst.size());
    for (int i = 2; i <= 999; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03d", i);
        std::u16string sibling = base + std::u16string(suffix, suffix + 4);
        Ref<InStream> next(stream->openSibling(sibling.c_str()));
        if (!next || !joined->appendPart(next.get(), 0, next->size())) break;
    }
    int64_t size = joined->size();
    addEntry(archive, findCodec(u"store"), base, 0, size, size, stream->tag());
    // The pieces of an archive often lose its extension ("backup.split.001"):
    // the joined data still opens as the archive it is.
    if (!isArchiveName(base.c_str()) && startsWithArchive(joined.get())) markHoldsArchive(archive, base);
    return archive;
}

}  // namespace zorvex
