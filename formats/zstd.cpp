// zstd: one entry decoded by the "zstd" codec over the whole file.
#include "engine/archive.h"
#include "engine/codec.h"
#include "engine/stream.h"
#include "formats/entry_name.h"
#include "formats/single.h"

namespace zorvex {

Archive* openZstd(const char16_t* name, Archive* container, InStream* stream) {
    Archive* archive = newArchive(name, container, stream);
    if (!archive) return nullptr;
    std::u16string entryName = singleEntryName(stream, {{u".zst", u""}, {u".tzst", u".tar"}}, u"zst.out");
    addEntry(archive, findCodec(u"zstd"), entryName, 0, stream->size(), -1, stream->tag());
    return archive;
}

}  // namespace zorvex
